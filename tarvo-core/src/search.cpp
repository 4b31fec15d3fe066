#include "tarvo/search.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <utility>

#include "assignment.hpp"     // Completion
#include "budget.hpp"         // Budget, costs
#include "candidates.hpp"     // prepare_candidates
#include "groups.hpp"         // score_groups
#include "layout.hpp"         // number_chains
#include "run_result.hpp"     // kNoMapping
#include "search_budget.hpp"  // score_structures_with_budget
#include "tuples.hpp"         // TupleStore
#include "walk.hpp"           // Walk

namespace tarvo {

namespace {

// Chains of one structure that tuple keys can number (16 bits each).
constexpr std::size_t kMostChains = 0xFFFF;

std::size_t saturated(double steps) {
  constexpr auto kMost = std::numeric_limits<std::size_t>::max();
  return steps >= static_cast<double>(kMost) ? kMost : static_cast<std::size_t>(steps);
}

// Charges what numbering the chains will hold before it is built: the walk's
// bound tables (a row per depth over every choice) and the contact flags of
// every two chains of a side.
std::optional<TarvoError> charge_layout(const Setup& setup, Budget& budget) {
  const std::size_t anchor_side = setup.fixed.size() + setup.anchors.size();
  const std::size_t choice_side = setup.fixed.size() + setup.candidates.size();
  if (std::max(anchor_side, choice_side) > kMostChains)
    return budget_error(budget, std::to_string(std::max(anchor_side, choice_side)) +
                                    " chains of one structure took part, more than one search can number (65535)");
  double choices = 0;
  for (const auto& list : setup.lists) choices += static_cast<double>(list.size());
  const double bound_entries = static_cast<double>(setup.anchors.size() + 1) * choices;
  const double contact_entries = static_cast<double>(anchor_side) * static_cast<double>(anchor_side) +
                                 static_cast<double>(choice_side) * static_cast<double>(choice_side);
  if (!budget.charge(saturated(bound_entries * kBoundEntryCost + 2 * contact_entries)))
    return interchangeable_error(budget, setup);
  return std::nullopt;
}

}  // namespace

Result<RunResult> score_structures(const Structure& model, const Structure& native,
                                   const ScoreOptions& options, std::stop_token stop,
                                   NativeMatrices* native_matrices) {
  return score_structures_with_budget(model, native, options, kStepBudget, kUpfrontTuples, std::move(stop),
                                      native_matrices);
}

Result<RunResult> score_structures_with_budget(const Structure& model, const Structure& native,
                                               const ScoreOptions& options, std::size_t step_budget,
                                               std::size_t upfront_tuples, std::stop_token stop,
                                               NativeMatrices* native_matrices) {
  Budget budget{0, step_budget};
  if (options.groups) return score_groups(model, native, options, budget, std::move(stop));
  auto setup = prepare_candidates(model, native, options, budget);
  if (!setup) return std::unexpected(setup.error());
  if (auto error = charge_layout(*setup, budget)) return std::unexpected(std::move(*error));
  const Layout layout = number_chains(model, native, *setup);
  if (!Completion(layout.choices, layout.choice_universe).possible({}))
    return fail(err::Mapping{kNoMapping});
  if (auto error = layout.first_lookup_error(model, native)) return std::unexpected(std::move(*error));
  NativeMatrices own_matrices;
  TupleStore tuples(layout, *setup, options, budget, native_matrices ? *native_matrices : own_matrices);
  if (auto done = tuples.find_contacts(); !done) return std::unexpected(done.error());
  if (auto done = tuples.prepare_tuples(upfront_tuples); !done) return std::unexpected(done.error());
  if (stop.stop_requested()) return fail(err::Cancelled{});
  return Walk(model, native, options, *setup, layout, tuples, budget, std::move(stop)).run();
}

}  // namespace tarvo
