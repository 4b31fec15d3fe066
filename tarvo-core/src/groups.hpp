// One interface between two groups of native chains (an antibody's heavy and
// light chains against its antigen, say) under the best mapping of those chains.
#pragma once

#include <stop_token>

#include "tarvo/error.hpp"  // Result
#include "tarvo/model.hpp"  // Structure
#include "tarvo/run.hpp"    // ScoreOptions, RunResult
#include "budget.hpp"       // Budget

namespace tarvo {

// options.groups holds the groups. Only the grouped native chains
// take part; each assignment the candidate table allows is scored, in table order.
// When the budget ends the enumeration, the best assignment scored so far, with
// the gap an unscored one could add (options.exact asks for the budget error).
Result<RunResult> score_groups(const Structure& model, const Structure& native, const ScoreOptions& options,
                               Budget& budget, std::stop_token stop);

}  // namespace tarvo
