// The plain enumeration that the branch-and-bound mapping search must
// reproduce, for the tests: not part of the product.
#pragma once

#include "tarvo/search.hpp"  // ScoreOptions, RunResult

namespace tarvo {

// Materialises every assignment, scores every interface tuple they contain and
// keeps the best mapping: exponential in the number of interchangeable chains.
Result<RunResult> score_structures_exhaustive(const Structure& model, const Structure& native,
                                              const ScoreOptions& options);

}  // namespace tarvo
