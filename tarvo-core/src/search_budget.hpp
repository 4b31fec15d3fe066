// The chain-mapping search with chosen limits, for the tests: the interface the
// Python module uses is score_structures.
#pragma once

#include <cstddef>
#include <stop_token>

#include "search.hpp"  // ScoreOptions, RunResult

namespace tarvo {

// score_structures with `step_budget` in place of the default budget, scoring
// every tuple before the walk only when there are at most `upfront_tuples`.
Result<RunResult> score_structures_with_budget(const Structure& model, const Structure& native,
                                               const ScoreOptions& options, std::size_t step_budget,
                                               std::size_t upfront_tuples, std::stop_token stop = {},
                                               NativeMatrices* native_matrices = nullptr);

}  // namespace tarvo
