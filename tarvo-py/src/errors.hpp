// Core errors as Python exceptions, one class per kind, and internal faults as
// an exception that ordinary `except Exception` handlers do not catch.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <exception>
#include <new>

#include "tarvo/error.hpp"  // TarvoError
#include "module_state.hpp"

namespace tarvo::py {

// Makes TarvoError and its subclasses (module attributes, outside __all__) and
// the internal-fault class (not an attribute) into `state`; false with an exception set.
bool make_error_classes(PyObject* module, ModuleState& state);

// Raises the error's class of `state` with the error's display text as the only argument.
std::nullptr_t to_pyerr(const ModuleState& state, const TarvoError& error);

void raise_internal(const ModuleState& state, const char* what) noexcept;

// Runs an entry point's body so that no C++ exception reaches the interpreter.
template <class R, class Body>
R guarded(const ModuleState& state, R failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {  // memory ran out outside any one pair's work
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_internal(state, fault.what());
  } catch (...) {
    raise_internal(state, "unknown C++ exception");
  }
  return failure;
}

}  // namespace tarvo::py
