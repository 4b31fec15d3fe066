#include "search.hpp"

#include <cstddef>
#include <utility>

#include "assignment.hpp"     // Completion
#include "candidates.hpp"     // prepare_candidates
#include "layout.hpp"         // number_chains
#include "run_result.hpp"     // kNoMapping
#include "search_budget.hpp"  // score_structures_with_budget
#include "tuples.hpp"         // TupleStore
#include "walk.hpp"           // Walk

namespace tarvo {

namespace {

// The work a walk may do before it gives up, in steps: one per partial
// assignment looked at and one per entry read while bounding it (a few ns
// each), kTupleCost per interface scored during the walk (about 40 µs for a
// 115-residue pair). The walk runs on one core: a billion steps take 5 to 7 s,
// so with the tuples scored up front (under 1 s on two cores) a search that
// exhausts the budget ends within 10 s. A native-like 24-mer needs under 1 %.
constexpr std::size_t kStepBudget = 1'000'000'000;

// Up to this many interface tuples are all scored before the walk (a 24-mer has
// 33 000): exact values make the tightest bounds. Beyond it, tuples are scored
// as the walk reaches them.
constexpr std::size_t kUpfrontTuples = 50'000;

}  // namespace

Result<RunResult> score_structures(const Structure& model, const Structure& native,
                                   const ScoreOptions& options, std::stop_token stop) {
  return score_structures_with_budget(model, native, options, kStepBudget, kUpfrontTuples, std::move(stop));
}

Result<RunResult> score_structures_with_budget(const Structure& model, const Structure& native,
                                               const ScoreOptions& options, std::size_t step_budget,
                                               std::size_t upfront_tuples, std::stop_token stop) {
  auto setup = prepare_candidates(model, native, options);
  if (!setup) return std::unexpected(setup.error());
  const Layout layout = number_chains(model, native, *setup);
  if (!Completion(layout.choices, layout.choice_universe).possible({}))
    return fail(err::Mapping{kNoMapping});
  if (auto error = layout.first_lookup_error()) return std::unexpected(std::move(*error));
  TupleStore tuples(layout, *setup, options);
  tuples.find_contacts();
  if (auto done = tuples.prepare_tuples(upfront_tuples); !done) return std::unexpected(done.error());
  if (stop.stop_requested()) return fail(err::Cancelled{});
  return Walk(model, native, *setup, layout, tuples, step_budget, std::move(stop)).run();
}

}  // namespace tarvo
