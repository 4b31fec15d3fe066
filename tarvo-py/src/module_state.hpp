// What one _tarvo_rs module object owns: the Structure class and the exception
// classes, made by the module's execution step and released with the module.
#pragma once

#include "py_ref.hpp"

#include <array>
#include <cstddef>

namespace tarvo::py {

// One class per kind of core error, in the order of the core's ErrorKind.
inline constexpr std::size_t kErrorKinds = 11;

struct ModuleState {
  PyObject* structure_type = nullptr;  // each a strong reference, or nullptr before execution
  PyObject* outcome_stream_type = nullptr;
  PyObject* tarvo_error = nullptr;     // base of every core error's class
  std::array<PyObject*, kErrorKinds> error_classes{};
  PyObject* internal_error = nullptr;  // broken invariants; derived from BaseException

  // Calls visit(PyObject*&) on every reference above, for the collector and for clearing.
  template <class Visit>
  void for_each_reference(Visit visit) {
    visit(structure_type);
    visit(outcome_stream_type);
    visit(tarvo_error);
    visit(internal_error);
    for (PyObject*& error_class : error_classes) visit(error_class);
  }
};

// The state of `module`, which must be a _tarvo_rs module object.
ModuleState& module_state(PyObject* module);

}  // namespace tarvo::py
