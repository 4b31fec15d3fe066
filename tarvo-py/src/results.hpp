// Core results as new Python dictionaries, in the key orders callers see.
#pragma once

#include "py_ref.hpp"

#include "tarvo/batch.hpp"  // BatchOutcome
#include "tarvo/run.hpp"    // RunResult
#include "tarvo/tarvo.hpp"  // InterfaceResult

namespace tarvo::py {

PyRef interface_dict(const InterfaceResult& result);
PyRef run_result_dict(const RunResult& result);
PyRef outcome_dict(const BatchOutcome& outcome);

}  // namespace tarvo::py
