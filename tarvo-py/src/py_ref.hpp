// Owning handle for one strong reference to a Python object, plus the few
// interpreter helpers every file of the module needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

namespace tarvo::py {

// Owns one reference; released on destruction, on every path.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (or nullptr after a failed call).
  explicit PyRef(PyObject* owned) : object_(owned) {}
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_DecRef(object_); }

  // A new reference to an object that is only borrowed.
  static PyRef from_borrowed(PyObject* borrowed) {
    Py_IncRef(borrowed);
    return PyRef(borrowed);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (a return value or a stealing call).
  PyObject* release() { return std::exchange(object_, nullptr); }
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  PyObject* object_ = nullptr;
};

inline PyRef new_str(std::string_view text) {
  return PyRef(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// A path or a message that may hold a path: bytes that are not UTF-8 become
// surrogate escapes, as os.fsdecode makes them, so no file name is refused.
inline PyRef new_path_str(std::string_view text) {
  return PyRef(PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// A new tuple of `items`; nothing when it or any item could not be made.
template <class... Items>
PyRef new_tuple(Items... items) {
  PyRef fields[] = {std::move(items)...};
  for (const PyRef& field : fields)
    if (!field) return {};
  PyRef tuple(PyTuple_New(sizeof...(Items)));
  if (!tuple) return {};
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(sizeof...(Items)); ++i)
    PyTuple_SetItem(tuple.get(), i, fields[i].release());  // steals
  return tuple;
}

// The type of `object`, as a new reference; never fails.
inline PyRef type_of(PyObject* object) { return PyRef(PyObject_Type(object)); }

// A function as the value of a type slot.
template <class Fn>
void* slot_function(Fn* fn) {
  return reinterpret_cast<void*>(fn);
}

// The last step of a heap type's dealloc: frees the instance and drops the
// reference to the type that each instance holds.
inline void free_instance(PyObject* self) {
  PyRef type = type_of(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type.get()), Py_tp_free));
  free_object(self);
  Py_DecRef(type.get());
}

inline bool has_type_flag(PyObject* object, unsigned long flag) {
  PyRef type = type_of(object);
  return (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type.get())) & flag) != 0;
}

inline bool is_str(PyObject* object) { return has_type_flag(object, Py_TPFLAGS_UNICODE_SUBCLASS); }

}  // namespace tarvo::py
