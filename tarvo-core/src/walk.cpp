#include "walk.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>

#include "run_result.hpp"  // for_each_pair, finish, kAllUndefined
#include "superposed.hpp"  // superposed_mappings

namespace tarvo {

Walk::Walk(const Structure& model, const Structure& native, const ScoreOptions& options, const Setup& setup,
           const Layout& layout, TupleStore& tuples, const Budget& budget,
           std::stop_token stop)
    : model_(model), native_(native), options_(options), setup_(setup), layout_(layout), tuples_(tuples),
      bounds_(layout, tuples) {
  state_.assignment.assign(layout.choices.size(), kChosen);
  state_.used.assign(layout.choice_universe, 0);
  state_.nodes = budget.spent;
  state_.budget = budget.limit;
  state_.stop = std::move(stop);
  state_.margin = pruning_margin(static_cast<std::size_t>(tuples.most_total()));
  entered_.assign(layout.choices.size() + 1, 0.0);
}

// Scores the tuples, fixed at this depth, of the choices that the cheap bounds
// keep, all in one parallel step; each costs the budget as much as many nodes.
Result<void> Walk::refine(std::size_t depth) {
  if (tuples_.all_scored()) return {};
  std::vector<std::uint64_t> missing;
  std::unordered_set<std::uint64_t> listed;
  for (Index c : layout_.choices[depth]) {
    if (state_.used[c]) continue;
    if (state_.nodes > state_.budget) return {};  // the walk leaves this depth at once
    auto upper = bounds_.expand(depth, c, state_);
    if (upper && !state_.prunable(*upper))
      tuples_.collect_fixed_by(depth, c, state_.assignment, false, missing, listed);
  }
  state_.nodes += kTupleCost * missing.size();
  return tuples_.score_tuples(missing);
}

// The last anchor's choices that may still beat the best total, with every
// tuple of their mappings scored.
Result<std::vector<Index>> Walk::prepare_leaves(std::size_t depth) {
  std::vector<Index> leaves;
  std::vector<std::uint64_t> missing;
  std::unordered_set<std::uint64_t> listed;
  tuples_.collect_between_fixed(missing, listed);
  for (std::size_t d = 0; d < depth; ++d)
    tuples_.collect_fixed_by(d, state_.assignment[d], state_.assignment, true, missing, listed);
  bool out_of_budget = false;
  for (Index c : layout_.choices[depth]) {
    if (state_.used[c]) continue;
    out_of_budget = out_of_budget || state_.over_budget();
    bool undefined = false;
    double upper = bounds_.known(depth) + bounds_.known_increment(depth, c, state_.assignment, undefined);
    if (undefined || state_.prunable(upper)) continue;
    if (out_of_budget) {
      unexplored_ = std::max(unexplored_, upper);
      continue;
    }
    leaves.push_back(c);
    tuples_.collect_fixed_by(depth, c, state_.assignment, true, missing, listed);
  }
  if (leaves.empty() || out_of_budget) return std::vector<Index>{};
  state_.nodes += kTupleCost * missing.size();
  if (auto done = tuples_.score_tuples(missing); !done) return std::unexpected(done.error());
  return leaves;
}

// The total of the complete assignment, summed as the result map sums it.
double Walk::leaf_total() const {
  std::vector<std::pair<Index, Index>> chains;
  for (std::size_t p : layout_.mapping_order) chains.push_back(layout_.resolve_in(p, state_.assignment));
  double total = 0.0;
  OrderedMap<std::string, double> by_name;
  for (std::size_t p = 0; p < chains.size(); ++p)
    for (std::size_t q = p + 1; q < chains.size(); ++q) {
      auto [m1, n1] = chains[p];
      auto [m2, n2] = chains[q];
      if (m1 == m2 || !tuples_.native_contact(n1, n2)) continue;
      const auto& outcome = tuples_.outcome(tuple_key(m1, m2, n1, n2));
      if (!outcome) continue;
      if (layout_.names_unique)
        total += outcome->Tarvo;
      else
        by_name.insert_or_assign(interface_name(layout_.natives.ids[n1], layout_.natives.ids[n2], setup_.form),
                                 outcome->Tarvo);
    }
  for (const auto& [name, value] : by_name) total += value;
  return total;
}

Result<void> Walk::visit(std::size_t depth) {
  if (depth + 1 == layout_.choices.size()) {
    auto leaves = prepare_leaves(depth);
    if (!leaves) return std::unexpected(leaves.error());
    for (Index c : *leaves) {
      state_.assignment[depth] = c;
      double total = leaf_total();
      const bool tie_first = selected_ && total == state_.best && enumerated_before(state_.assignment, *selected_);
      if (total > state_.best || tie_first) {
        state_.best = total;
        selected_ = state_.assignment;
      }
    }
    return {};
  }
  if (auto done = refine(depth); !done) return done;
  const auto& choices = layout_.choices[depth];
  for (std::size_t k = 0; k < choices.size(); ++k) {
    const Index c = choices[k];
    if (state_.used[c]) continue;
    if (state_.over_budget()) {
      leave(depth, k);
      return {};
    }
    auto upper = bounds_.expand(depth, c, state_);
    if (!upper || state_.prunable(*upper)) continue;
    entered_[depth + 1] = *upper;
    state_.assignment[depth] = c;
    state_.used[c] = 1;
    auto done = visit(depth + 1);
    state_.used[c] = 0;
    if (!done) return done;
  }
  return {};
}

// Whether the plain enumeration, anchors in table order and each anchor's
// candidates in order, meets mapping `a` before mapping `b`: of equal totals it
// keeps the first, whatever order the walk visits them in.
bool Walk::enumerated_before(const std::vector<Index>& a, const std::vector<Index>& b) const {
  for (std::size_t p : layout_.mapping_order) {
    if (p < layout_.fixed_count) continue;
    const std::size_t k = p - layout_.fixed_count;
    if (a[k] == b[k]) continue;
    const auto& list = layout_.choices[k];
    return std::find(list.begin(), list.end(), a[k]) < std::find(list.begin(), list.end(), b[k]);
  }
  return false;
}

// Out of budget at `depth` with the choices from `from` on left unexplored:
// their bounds, each expanded while half as much again as the budget lasts,
// then the bound of their branch.
void Walk::leave(std::size_t depth, std::size_t from) {
  if (!selected_ && !floor_mapping_) return;  // no mapping to report, no gap to bound
  const auto& choices = layout_.choices[depth];
  for (std::size_t k = from; k < choices.size(); ++k) {
    if (state_.used[choices[k]]) continue;
    if (state_.nodes > state_.budget + state_.budget / 2) {
      unexplored_ = std::max(unexplored_, entered_[depth]);
      return;
    }
    auto upper = bounds_.expand(depth, choices[k], state_);
    if (upper && !state_.prunable(*upper)) unexplored_ = std::max(unexplored_, *upper);
  }
}

// A first mapping found greedily (at each depth the choice with the highest
// bound). Its total is reached by some mapping, so any branch whose bound stays
// below it cannot hold the selected mapping; the walk prunes with it from the start.
Result<void> Walk::dive() {
  const std::size_t n = layout_.choices.size();
  std::size_t depth = 0;
  for (; depth + 1 < n; ++depth) {
    if (auto done = refine(depth); !done) return done;
    std::optional<Index> pick;
    double pick_upper = 0.0;
    for (Index c : layout_.choices[depth]) {
      if (state_.used[c] || state_.over_budget()) continue;
      auto upper = bounds_.expand(depth, c, state_);
      if (upper && (!pick || *upper > pick_upper)) {
        pick = c;
        pick_upper = *upper;
      }
    }
    if (!pick) break;
    bounds_.expand(depth, *pick, state_);
    state_.assignment[depth] = *pick;
    state_.used[*pick] = 1;
  }
  if (depth + 1 == n) {
    auto leaves = prepare_leaves(depth);
    if (!leaves) return std::unexpected(leaves.error());
    std::optional<Index> pick;
    for (Index c : *leaves) {
      state_.assignment[depth] = c;
      double total = leaf_total();
      if (!std::isnan(total) && total > state_.floor) {
        state_.floor = total;
        pick = c;
      }
    }
    if (pick) {
      state_.assignment[depth] = *pick;
      floor_mapping_ = state_.assignment;
    }
  }
  std::fill(state_.used.begin(), state_.used.end(), 0);
  return {};
}

// The mappings that superposing model on native suggests, the closest fits
// first, each with its tuples scored: the best of them raises the floor.
Result<void> Walk::seed() {
  constexpr std::size_t kScored = 3;  // mappings scored of those suggested
  auto suggested = superposed_mappings(layout_, state_.nodes);
  if (suggested.size() > kScored) suggested.resize(kScored);
  for (auto& assignment : suggested) {
    if (state_.nodes > state_.budget) break;
    std::vector<std::uint64_t> missing;
    std::unordered_set<std::uint64_t> listed;
    tuples_.collect_between_fixed(missing, listed);
    for (std::size_t d = 0; d < assignment.size(); ++d)
      tuples_.collect_fixed_by(d, assignment[d], assignment, true, missing, listed);
    state_.nodes += kTupleCost * missing.size();
    if (auto done = tuples_.score_tuples(missing); !done) return done;
    state_.assignment = assignment;
    const double total = leaf_total();
    if (!std::isnan(total) && total > state_.floor) {
      state_.floor = total;
      floor_mapping_ = std::move(assignment);
    }
  }
  std::fill(state_.assignment.begin(), state_.assignment.end(), kChosen);
  return {};
}

// The scores of the pairs that position p forms in the complete assignment.
double Walk::pairs_of(std::size_t p, const std::vector<Index>& assignment) const {
  double sum = 0.0;
  const auto at_p = layout_.resolve_in(p, assignment);
  for (std::size_t q = 0; q < layout_.positions.size(); ++q)
    if (q != p) sum += tuples_.bound_between(p, at_p, q, layout_.resolve_in(q, assignment));
  return sum;
}

// From the best mapping found, exchanges of two anchors' choices and moves to a
// free choice while they raise the total, each change weighed by the pairs it
// touches: a higher floor prunes more of the walk. A change is weighed first
// with the bounds of the tuples not yet scored; only one that may still gain has
// them scored, charged to the budget, and is weighed again, so every total
// compared is a true one and every tuple of the climbed mapping is scored.
Result<void> Walk::climb() {
  constexpr double kGain = 1e-12;  // below it a change is rounding, not a gain
  const std::size_t n = layout_.choices.size(), fixed = layout_.fixed_count;
  std::vector<std::vector<char>> allowed(n, std::vector<char>(layout_.choice_universe, 0));
  for (std::size_t k = 0; k < n; ++k)
    for (Index c : layout_.choices[k]) allowed[k][c] = 1;
  std::vector<Index> current = state_.assignment;
  std::vector<char> used(layout_.choice_universe, 0);
  for (Index c : current) used[c] = 1;
  // Scoring for exchanges takes at most a quarter of the budget left: the walk needs the rest.
  const std::size_t scoring_ends = state_.nodes + (state_.budget - std::min(state_.nodes, state_.budget)) / 4;
  auto both = [&](std::size_t a, std::size_t b) {
    return pairs_of(fixed + a, current) + pairs_of(fixed + b, current) -
           tuples_.bound_between(fixed + a, layout_.resolve_in(fixed + a, current), fixed + b,
                                 layout_.resolve_in(fixed + b, current));
  };
  // Whether the change just made to anchors a and b raises `before` of the
  // pairs `weigh` adds up, scoring what it needs when its bounds allow a gain.
  auto gains = [&](std::size_t a, std::size_t b, double before, auto weigh) -> Result<bool> {
    if (!(weigh() > before + kGain)) return false;
    std::vector<std::uint64_t> missing;
    std::unordered_set<std::uint64_t> listed;
    tuples_.collect_around(fixed + a, current, missing, listed);
    tuples_.collect_around(fixed + b, current, missing, listed);
    if (missing.empty()) return true;
    if (state_.nodes + kTupleCost * missing.size() > scoring_ends) return false;  // left untried
    state_.nodes += kTupleCost * missing.size();
    if (auto done = tuples_.score_tuples(missing); !done) return std::unexpected(done.error());
    return weigh() > before + kGain;
  };
  bool improved = true;
  while (improved && state_.nodes <= state_.budget) {
    improved = false;
    for (std::size_t a = 0; a < n; ++a) {
      for (std::size_t b = a + 1; b < n; ++b) {
        if (!allowed[a][current[b]] || !allowed[b][current[a]]) continue;
        state_.nodes += 4 * layout_.positions.size();
        const double before = both(a, b);
        std::swap(current[a], current[b]);
        auto gain = gains(a, b, before, [&] { return both(a, b); });
        if (!gain) return std::unexpected(gain.error());
        if (*gain)
          improved = true;
        else
          std::swap(current[a], current[b]);
      }
      for (Index c : layout_.choices[a]) {
        if (used[c]) continue;
        state_.nodes += 2 * layout_.positions.size();
        const Index old = current[a];
        const double before = pairs_of(fixed + a, current);
        current[a] = c;
        auto gain = gains(a, a, before, [&] { return pairs_of(fixed + a, current); });
        if (!gain) return std::unexpected(gain.error());
        if (*gain) {
          improved = true;
          used[old] = 0;
          used[c] = 1;
        } else {
          current[a] = old;
        }
      }
    }
  }
  std::vector<Index> dived = std::exchange(state_.assignment, current);
  double total = leaf_total();
  if (!std::isnan(total) && total > state_.floor) {
    state_.floor = total;
    floor_mapping_ = state_.assignment;
  }
  state_.assignment = std::move(dived);
  return {};
}

Result<RunResult> Walk::best_run(const std::vector<Index>& assignment, double total) const {
  // The fixed pairs as the text gave them, then each anchor's pair in table order.
  ChainMapping mapping = setup_.fixed;
  for (std::size_t place = setup_.fixed.size(); place < layout_.mapping_order.size(); ++place) {
    auto [m, n] = layout_.resolve_in(layout_.mapping_order[place], assignment);
    mapping.insert_or_assign(layout_.natives.ids[n], layout_.models.ids[m]);
  }
  OrderedMap<std::string, InterfaceResult> results;
  for_each_pair(mapping, [&](const Tuple& t) {
    Index m1 = layout_.models.index.at(t[0]), m2 = layout_.models.index.at(t[1]);
    Index n1 = layout_.natives.index.at(t[2]), n2 = layout_.natives.index.at(t[3]);
    if (!tuples_.native_contact(n1, n2)) return;
    const auto& outcome = tuples_.outcome(tuple_key(m1, m2, n1, n2));
    if (!outcome) return;
    InterfaceResult copy = *outcome;
    copy.chain1 = t[0];
    copy.chain2 = t[1];
    results.insert_or_assign(interface_name(t[2], t[3], setup_.form), std::move(copy));
  });
  return finish(model_, native_, setup_, options_.capri_peptide, std::move(mapping), std::move(results),
                total);
}

// The budget ended the walk: the better of its best mapping and the dive's (the
// one enumerated first on a tie), exact when no unexplored branch could beat it.
Result<RunResult> Walk::best_found() {
  const bool floor_wins =
      floor_mapping_ && (!selected_ || state_.floor > state_.best ||
                         (state_.floor == state_.best && enumerated_before(*floor_mapping_, *selected_)));
  if (!floor_wins && !selected_)
    return std::unexpected(interchangeable_error(Budget{state_.nodes, state_.budget}, setup_));
  const double total = floor_wins ? state_.floor : state_.best;
  auto run = best_run(floor_wins ? *floor_mapping_ : *selected_, total);
  if (run && unexplored_ + state_.margin > total) {
    run->mapping_exact = false;
    run->mapping_gap = unexplored_ + state_.margin - total;
  }
  return run;
}

Result<RunResult> Walk::run() {
  const bool bounded = bounds_.prepare_bounds(state_.nodes, state_.budget);

  if (layout_.choices.empty()) {
    // Only the fixed pairs: one mapping, unless one of its interfaces is NaN.
    std::vector<std::uint64_t> missing;
    std::unordered_set<std::uint64_t> listed;
    tuples_.collect_between_fixed(missing, listed);
    if (auto done = tuples_.score_tuples(missing); !done) return std::unexpected(done.error());
    selected_ = std::vector<Index>{};
    state_.best = leaf_total();
    if (std::isnan(state_.best)) selected_.reset();
  } else {
    if (bounds_.add_fixed_pairs()) {
      // Without the bound tables only the superposed guesses remain, and no
      // total exceeds one per native interface.
      entered_[0] = bounded ? bounds_.root() : tuples_.most_total();
      if (auto done = seed(); !done) return std::unexpected(done.error());
      if (!bounded) {
        unexplored_ = entered_[0];
      } else {
        if (auto done = dive(); !done) return std::unexpected(done.error());
        if (floor_mapping_) {
          state_.assignment = *floor_mapping_;
          if (auto done = climb(); !done) return std::unexpected(done.error());
        }
        if (auto done = visit(0); !done) return std::unexpected(done.error());
      }
    }
    if (state_.stop.stop_requested()) return fail(err::Cancelled{});
    if (state_.nodes > state_.budget) {
      if (options_.exact) return std::unexpected(interchangeable_error(Budget{state_.nodes, state_.budget}, setup_));
      return best_found();
    }
  }
  if (!selected_) return fail(err::Mapping{kAllUndefined});
  return best_run(*selected_, state_.best);
}

}  // namespace tarvo
