#include "convert.hpp"

#include <algorithm>

#include "structure.hpp"

namespace tarvo::py {

namespace {

std::string utf8_of(PyObject* str) {
  PyRef bytes(PyUnicode_AsUTF8String(str));
  if (!bytes) return {};
  const char* data = PyBytes_AsString(bytes.get());
  Py_ssize_t size = PyBytes_Size(bytes.get());
  return data && size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

void raise_type_error(const std::string& message) {
  PyRef text = new_str(message);
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

// Interpreter-style list of names: 'a', 'a' and 'b', 'a', 'b', and 'c'.
std::string name_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool bind_keywords(const char* function, std::span<const char* const> names, PyObject* kwargs,
                   std::vector<PyObject*>& values) {
  Py_ssize_t pos = 0;
  PyObject* key;    // borrowed
  PyObject* value;  // borrowed
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!is_str(key)) {
      raise_type_error(std::string(function) + "() keywords must be strings");
      return false;
    }
    auto match = std::find_if(names.begin(), names.end(), [&](const char* name) {
      return PyUnicode_CompareWithASCIIString(key, name) == 0;
    });
    auto refuse = [&](const char* what) {
      std::string key_text = utf8_of(key);
      if (!PyErr_Occurred()) raise_type_error(std::string(function) + "() " + what + " '" + key_text + "'");
      return false;
    };
    if (match == names.end()) return refuse("got an unexpected keyword argument");
    auto index = static_cast<std::size_t>(match - names.begin());
    if (values[index] != nullptr) return refuse("got multiple values for argument");
    values[index] = value;
  }
  return true;
}

std::string too_many_positional(const char* function, std::size_t required, std::size_t total,
                                std::size_t given) {
  std::string takes = required == total ? std::to_string(total)
                                        : "from " + std::to_string(required) + " to " + std::to_string(total);
  return std::string(function) + "() takes " + takes + " positional argument" +
         (required == total && total == 1 ? "" : "s") + " but " + std::to_string(given) +
         (given == 1 ? " was" : " were") + " given";
}

std::string type_qualname(PyObject* object) {
  PyRef type = type_of(object);
  PyRef name(PyObject_GetAttrString(type.get(), "__qualname__"));
  if (!name || !is_str(name.get())) {
    PyErr_Clear();
    return "?";
  }
  std::string text = utf8_of(name.get());
  PyErr_Clear();
  return text;
}

bool attribute_is(PyObject* object, const char* attribute, std::initializer_list<const char*> texts) {
  PyRef value(PyObject_GetAttrString(object, attribute));
  if (!value || !is_str(value.get())) {
    PyErr_Clear();
    return false;
  }
  return std::any_of(texts.begin(), texts.end(), [&](const char* text) {
    return PyUnicode_CompareWithASCIIString(value.get(), text) == 0;
  });
}

// NumPy's boolean scalar, recognised by name so that NumPy stays optional.
bool is_numpy_bool(PyObject* type) {
  return attribute_is(type, "__module__", {"numpy"}) && attribute_is(type, "__name__", {"bool", "bool_"});
}

// Fills `out` from the items of `object`; a str is refused, and so is anything
// that is not a Sequence unless `any_iterable`.
template <class T>
bool extract_items(PyObject* object, std::vector<T>& out, bool (*extract_item)(PyObject*, T&),
                   bool any_iterable) {
  if (is_str(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!any_iterable && !PySequence_Check(object)) {
    raise_not_instance(object, "Sequence");
    return false;
  }
  // The length only sizes the result; a failing or implausible one is ignored.
  constexpr Py_ssize_t kMaxReserve = 1 << 16;
  Py_ssize_t size = PySequence_Check(object) ? PyObject_Size(object) : -1;
  if (size < 0)
    PyErr_Clear();
  else
    out.reserve(static_cast<std::size_t>(std::min(size, kMaxReserve)));
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) {
    if (any_iterable && PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_not_instance(object, "Iterable");
    }
    return false;
  }
  while (PyRef item = PyRef(PyIter_Next(iterator.get()))) {
    T value;
    if (!extract_item(item.get(), value)) return false;
    out.push_back(std::move(value));
  }
  return PyErr_Occurred() == nullptr;
}

// A (model, native) pair: a tuple or a list of two paths.
bool extract_path_pair(PyObject* object, std::pair<std::string, std::string>& out) {
  bool is_tuple = has_type_flag(object, Py_TPFLAGS_TUPLE_SUBCLASS);
  if (!is_tuple && !has_type_flag(object, Py_TPFLAGS_LIST_SUBCLASS)) {
    raise_not_instance(object, "tuple");
    return false;
  }
  Py_ssize_t size = PyObject_Size(object);
  if (size != 2) {
    std::string message = std::string("expected tuple of length 2, but got ") + (is_tuple ? "tuple" : "list") +
                          " of length " + std::to_string(size);
    PyRef text = new_str(message);
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return false;
  }
  PyRef first(PySequence_GetItem(object, 0));
  PyRef second(PySequence_GetItem(object, 1));
  return first && second && extract_path(first.get(), out.first) && extract_path(second.get(), out.second);
}

}  // namespace

std::optional<BoundArgs> bind_arguments(const char* function, std::span<const char* const> names,
                                        std::size_t required, PyObject* args, PyObject* kwargs) {
  BoundArgs bound{names, std::vector<PyObject*>(names.size(), nullptr)};
  auto given = static_cast<std::size_t>(PyTuple_Size(args));
  for (std::size_t i = 0; i < std::min(given, names.size()); ++i)
    bound.values[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr && !bind_keywords(function, names, kwargs, bound.values)) return std::nullopt;
  if (given > names.size()) {
    raise_type_error(too_many_positional(function, required, names.size(), given));
    return std::nullopt;
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required; ++i)
    if (bound.values[i] == nullptr) missing.push_back(names[i]);
  if (!missing.empty()) {
    raise_type_error(std::string(function) + "() missing " + std::to_string(missing.size()) +
                     " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                     name_list(missing));
    return std::nullopt;
  }
  return bound;
}

void raise_not_instance(PyObject* object, const char* expected) {
  std::string message = "'";
  message += object == Py_None ? "None'" : type_qualname(object) + "' object";
  message += " is not an instance of '";
  message += expected;
  message += '\'';
  raise_type_error(message);
}

void note_parameter(const char* name) {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    // Exceptions gained add_note in Python 3.11; before that the note is left out.
    PyRef add_note(PyObject_GetAttrString(value, "add_note"));
    PyRef note = new_str("while processing '" + std::string(name) + "'");
    if (add_note && note) PyRef(PyObject_CallFunctionObjArgs(add_note.get(), note.get(), nullptr));
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

bool extract_text(PyObject* object, std::string& out) {
  if (!is_str(object)) {
    raise_not_instance(object, "str");
    return false;
  }
  out = utf8_of(object);
  return PyErr_Occurred() == nullptr;
}

bool extract_path(PyObject* object, std::string& out) {
  PyRef text;
  if (is_str(object)) {
    text = PyRef::from_borrowed(object);
  } else {
    PyRef fspath(PyObject_GetAttrString(object, "__fspath__"));
    PyErr_Clear();
    if (fspath) text = PyRef(PyOS_FSPath(object));
    if (fspath && !text) return false;
    if (!text || !is_str(text.get())) {  // bytes paths are refused, as before os.PathLike
      raise_not_instance(object, "str");
      return false;
    }
  }
  PyRef bytes(PyUnicode_EncodeFSDefault(text.get()));
  if (!bytes) return false;
  out.assign(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
  return true;
}

bool extract_optional_text(PyObject* object, std::optional<std::string>& out) {
  if (object == Py_None) {
    out.reset();
    return true;
  }
  std::string text;
  if (!extract_text(object, text)) return false;
  out = std::move(text);
  return true;
}

bool extract_flag(PyObject* object, bool& out) {
  PyRef type = type_of(object);
  if (type.get() != reinterpret_cast<PyObject*>(&PyBool_Type) && !is_numpy_bool(type.get())) {
    raise_not_instance(object, "bool");
    return false;
  }
  int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  out = truth == 1;
  return true;
}

bool extract_count(PyObject* object, std::uint64_t& out) {
  PyRef index(PyNumber_Index(object));
  if (!index) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool extract_text_list(PyObject* object, std::vector<std::string>& out) {
  return extract_items(object, out, extract_text, false);
}

bool extract_path_list(PyObject* object, std::vector<std::string>& out) {
  return extract_items(object, out, extract_path, true);
}

bool extract_pair_list(PyObject* object, std::vector<std::pair<std::string, std::string>>& out) {
  return extract_items(object, out, extract_path_pair, false);
}

bool extract_structure(const ModuleState& state, PyObject* object, const Structure*& out) {
  out = core_structure(state, object);
  if (out == nullptr) raise_not_instance(object, "Structure");
  return out != nullptr;
}

}  // namespace tarvo::py
