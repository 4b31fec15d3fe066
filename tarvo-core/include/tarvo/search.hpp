// Scoring a model against a native under the best chain mapping: a
// branch-and-bound search over the mappings the options allow, exact when it
// completes within its budget, else the best mapping found with a proven bound
// (RunResult::mapping_gap), or the budget error when options.exact asks for it.
#pragma once

#include <stop_token>

#include "tarvo/error.hpp"  // Result
#include "tarvo/model.hpp"  // Structure
#include "tarvo/run.hpp"    // ScoreOptions, RunResult

namespace tarvo {

class NativeMatrices;

// A stop request ends the search early with a Cancelled error. A caller scoring
// many models against one native passes one NativeMatrices for all of them.
Result<RunResult> score_structures(const Structure& model, const Structure& native,
                                   const ScoreOptions& options, std::stop_token stop = {},
                                   NativeMatrices* native_matrices = nullptr);

}  // namespace tarvo
