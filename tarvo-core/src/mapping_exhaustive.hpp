// Internal entry points of the chain-mapping search, for the tests: the plain
// enumeration that the branch-and-bound search must reproduce, and the search
// with chosen limits. Not part of the interface the Python module uses.
#pragma once

#include <cstddef>

#include "mapping.hpp"

namespace tarvo {

// Materialises every assignment, scores every interface tuple they contain and
// keeps the best mapping: exponential in the number of interchangeable chains.
Result<RunResult> score_structures_exhaustive(const Structure& model, const Structure& native,
                                              const ScoreOptions& options);

// score_structures with `step_budget` in place of the default budget, scoring
// every tuple before the walk only when there are at most `upfront_tuples`.
Result<RunResult> score_structures_with_budget(const Structure& model, const Structure& native,
                                               const ScoreOptions& options, std::size_t step_budget,
                                               std::size_t upfront_tuples);

}  // namespace tarvo
