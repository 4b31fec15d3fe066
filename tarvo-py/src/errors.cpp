#include "errors.hpp"

#include <array>
#include <string>

namespace tarvo::py {

namespace {

static_assert(static_cast<std::size_t>(ErrorKind::Cancelled) + 1 == kErrorKinds);

struct ErrorClass {
  const char* name;        // nullptr: the built-in class itself is raised
  PyObject* builtin_base;  // the class callers caught before these existed
  const char* doc;
};

// By ErrorKind. Every class made here also derives from TarvoError.
std::array<ErrorClass, kErrorKinds> error_classes() {
  return {{
      {"IoError", PyExc_RuntimeError, "A structure file could not be read."},
      {"ParseError", PyExc_RuntimeError, "A structure file holds a malformed record."},
      {"UnknownFormatError", PyExc_RuntimeError, "A file is neither PDB nor mmCIF."},
      {"ChainNotFoundError", PyExc_RuntimeError, "A chain named by a mapping is not in its structure."},
      {"ModelIndexOutOfRangeError", PyExc_RuntimeError, "The file has fewer models than the index asked for."},
      {"GeometryError", PyExc_RuntimeError, "A residue lacks the atoms a measure needs."},
      {"InterfaceSizeMismatchError", PyExc_RuntimeError, "Model and native interface matrices differ in shape."},
      {"NoIdenticalNativeChainError", PyExc_RuntimeError, "A chain has no counterpart of the same sequence."},
      {"SmallMoleculeUnsupportedError", PyExc_ValueError, "Small-molecule scoring is not part of this build."},
      {"MappingError", PyExc_RuntimeError, "A mapping text or the chain mapping search failed."},
      {nullptr, PyExc_KeyboardInterrupt, nullptr},  // work stopped by Ctrl-C raises the built-in class
  }};
}

PyObject* new_class(const char* name, const char* doc, PyObject* bases) {
  std::string qualified = std::string("_tarvo_rs.") + name;
  return PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
}

}  // namespace

bool make_error_classes(PyObject* module, ModuleState& state) {
  state.internal_error = new_class("InternalError", "A broken invariant inside _tarvo_rs.", PyExc_BaseException);
  state.tarvo_error = new_class("TarvoError", "Base class of the errors of scoring and reading.", PyExc_Exception);
  if (!state.internal_error || !state.tarvo_error ||
      PyObject_SetAttrString(module, "TarvoError", state.tarvo_error) < 0)
    return false;
  auto classes = error_classes();
  for (std::size_t kind = 0; kind < kErrorKinds; ++kind) {
    const ErrorClass& c = classes[kind];
    if (c.name == nullptr) {
      state.error_classes[kind] = PyRef::from_borrowed(c.builtin_base).release();
      continue;
    }
    PyRef bases(PyTuple_Pack(2, state.tarvo_error, c.builtin_base));
    if (!bases) return false;
    state.error_classes[kind] = new_class(c.name, c.doc, bases.get());
    if (!state.error_classes[kind] || PyObject_SetAttrString(module, c.name, state.error_classes[kind]) < 0)
      return false;
  }
  return true;
}

std::nullptr_t to_pyerr(const ModuleState& state, const TarvoError& error) {
  PyRef message = new_path_str(error.message());
  if (message) PyErr_SetObject(state.error_classes[static_cast<std::size_t>(error.kind())], message.get());
  return nullptr;
}

void raise_internal(const ModuleState& state, const char* what) noexcept {
  PyRef message(PyUnicode_FromFormat("internal error: %s", what));
  if (!message) return;  // the failure to make the message is the exception
  PyErr_SetObject(state.internal_error ? state.internal_error : PyExc_SystemError, message.get());
}

}  // namespace tarvo::py
