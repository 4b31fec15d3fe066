// Core results as new Python dictionaries, core errors and internal faults as
// Python exceptions.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <exception>

#include "batch.hpp"
#include "mapping.hpp"
#include "tarvo.hpp"

namespace tarvo::py {

PyRef interface_dict(const InterfaceResult& result);
PyRef run_result_dict(const RunResult& result);
PyRef outcome_dict(const BatchOutcome& outcome);

// Raises the error as ValueError (small-molecule refusal) or RuntimeError.
std::nullptr_t to_pyerr(const TarvoError& error);

// The class of internal faults, derived from BaseException so that `except
// Exception` does not swallow a broken invariant; created once (borrowed).
PyObject* internal_error_type();
void raise_internal(const char* what) noexcept;

// Runs an entry point's body so that no C++ exception reaches the interpreter.
template <class R, class Body>
R guarded(R failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& fault) {
    raise_internal(fault.what());
  } catch (...) {
    raise_internal("unknown C++ exception");
  }
  return failure;
}

}  // namespace tarvo::py
