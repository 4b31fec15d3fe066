#include "bounds.hpp"

#include <algorithm>
#include <cmath>

#include "assignment.hpp"  // best_assignment, kUnreachable
#include "budget.hpp"      // kPairCost

namespace tarvo {

// Bounds that do not depend on the walk: for each anchor and choice, the pairs
// with the fixed positions; for each pair of anchors, the best any two choices
// can give, summed over the anchors from depth d on.
bool Bounds::prepare_bounds(std::size_t& nodes, std::size_t budget) {
  const std::size_t n = layout_.choices.size();
  offsets_.assign(n + 1, 0);
  for (std::size_t k = 0; k < n; ++k) offsets_[k + 1] = offsets_[k] + layout_.choices[k].size();
  rows_.assign(n + 1, std::vector<double>(offsets_[n], 0.0));
  known_.assign(n + 1, 0.0);
  auto clean = [](double v) { return std::isnan(v) ? 0.0 : v; };
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t j = 0; j < layout_.choices[k].size(); ++j) {
      auto [m2, n2] = layout_.resolve(layout_.fixed_count + k, layout_.choices[k][j]);
      double sum = 0.0;
      for (std::size_t f = 0; f < layout_.fixed_count; ++f)
        sum += clean(tuples_.bound_between(f, layout_.resolve(f, 0), layout_.fixed_count + k, {m2, n2}));
      rows_[0][offsets_[k] + j] = sum;
    }
  // Native anchors whose chains do not touch score nothing together, whatever
  // their choices.
  auto apart = [&](std::size_t k, std::size_t l) {
    const Index a = layout_.positions[layout_.fixed_count + k].native;
    const Index b = layout_.positions[layout_.fixed_count + l].native;
    return a != kChosen && b != kChosen && !tuples_.native_contact(a, b) && !tuples_.native_contact(b, a);
  };
  // Each pair of choices of two anchors that may touch is looked up and ranked.
  std::size_t lookups = 0;
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t l = 0; l < n; ++l)
      if (l != k && !apart(k, l)) lookups += layout_.choices[k].size() * layout_.choices[l].size();
  nodes += kPairCost * lookups;
  if (nodes > budget) return false;
  others_.assign(n, {});
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t l = 0; l < n; ++l) {
      if (l == k || apart(k, l)) continue;
      OtherAnchor pair{l, std::vector<std::vector<std::pair<double, Index>>>(layout_.choices[k].size())};
      bool scores = false;
      for (std::size_t j = 0; j < layout_.choices[k].size(); ++j) {
        auto [m1, n1] = layout_.resolve(layout_.fixed_count + k, layout_.choices[k][j]);
        auto& ranked = pair.ranked[j];
        for (Index d : layout_.choices[l]) {
          if (d == layout_.choices[k][j]) continue;
          auto [m2, n2] = layout_.resolve(layout_.fixed_count + l, d);
          double v = clean(tuples_.bound_between(layout_.fixed_count + k, {m1, n1}, layout_.fixed_count + l, {m2, n2}));
          if (v > 0.0) ranked.emplace_back(v, d);
        }
        std::stable_sort(ranked.begin(), ranked.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        scores = scores || !ranked.empty();
      }
      if (scores) others_[k].push_back(std::move(pair));
    }
  column_of_.assign(layout_.choice_universe, 0);
  if (!tuples_.all_scored()) return true;
  // Per anchor, choice and set of open neighbours (those after a depth, a
  // suffix of others_): the best their pairs with it can give when the
  // neighbours take distinct choices, whichever are still free.
  pair_caps_.assign(offsets_[n], {});
  std::vector<double> weights;
  for (std::size_t k = 0; k < n; ++k) {
    const auto& others = others_[k];
    std::size_t earlier = 0;
    while (earlier < others.size() && others[earlier].anchor < k) ++earlier;
    for (std::size_t j = 0; j < layout_.choices[k].size(); ++j) {
      auto& caps = pair_caps_[offsets_[k] + j];
      caps.assign(earlier + 1, 0.0);
      for (std::size_t from = 0; from <= earlier; ++from) {
        std::size_t rows = others.size() - from;
        weights.assign(rows * layout_.choice_universe, 0.0);
        for (std::size_t r = 0; r < rows; ++r)
          for (auto [value, e] : others[from + r].ranked[j]) weights[r * layout_.choice_universe + e] = value;
        caps[from] = *best_assignment(weights, rows, layout_.choice_universe, nodes);
      }
    }
  }
  return true;
}

// The pairs between fixed positions, into the bound of depth 0. False when one
// of them is NaN with unique names: then every total is NaN.
bool Bounds::add_fixed_pairs() {
  bool undefined = false;
  for (std::size_t f = 0; f < layout_.fixed_count && !undefined; ++f)
    for (std::size_t g = f + 1; g < layout_.fixed_count; ++g) {
      double v = tuples_.bound_between(f, layout_.resolve(f, 0), g, layout_.resolve(g, 0));
      if (std::isnan(v) && layout_.names_unique) undefined = true;
      known_[0] += std::isnan(v) ? 0.0 : v;
    }
  return !undefined;
}

double Bounds::root() const {
  double total = known_[0];
  for (std::size_t k = 0; k < layout_.choices.size(); ++k) {
    double best = 0.0;
    for (std::size_t j = 0; j < layout_.choices[k].size(); ++j) {
      double value = rows_[0][offsets_[k] + j];
      for (const OtherAnchor& other : others_[k])
        if (other.anchor > k && !other.ranked[j].empty()) value += other.ranked[j].front().first;
      best = std::max(best, value);
    }
    total += best;
  }
  return total;
}

// The pairs that choosing `choice` at `depth` fixes: with every fixed position
// and with every anchor chosen before.
double Bounds::known_increment(std::size_t depth, Index choice, std::span<const Index> assignment,
                               bool& undefined) const {
  const std::size_t q = layout_.fixed_count + depth;
  const auto at_q = layout_.resolve(q, choice);
  double sum = 0.0;
  auto add = [&](std::size_t p, std::pair<Index, Index> at_p) {
    double v = tuples_.bound_between(p, at_p, q, at_q);
    if (std::isnan(v)) {
      // With unique names a NaN entry stays in the result map and the total is NaN.
      if (layout_.names_unique) undefined = true;
      return;
    }
    sum += v;
  };
  for (std::size_t p = 0; p < q; ++p) add(p, layout_.resolve_in(p, assignment));
  return sum;
}

// Fills the state of depth + 1 for `choice` at `depth`; returns the upper bound
// on every total below, or nothing when no mapping below can be selected.
std::optional<double> Bounds::expand(std::size_t depth, Index choice, WalkState& state) {
  bool undefined = false;
  double known = known_[depth] + known_increment(depth, choice, state.assignment, undefined);
  if (undefined) return std::nullopt;
  known_[depth + 1] = known;
  const std::size_t p = layout_.fixed_count + depth;
  const auto at_p = layout_.resolve(p, choice);
  const auto& row = rows_[depth];
  auto& next = rows_[depth + 1];
  double upper = known;
  const std::size_t open = layout_.choices.size() - depth - 1;
  const bool assignment = open > 1;
  if (assignment) {
    columns_.clear();
    for (Index c = 0; c < layout_.choice_universe; ++c)
      if (!state.used[c] && c != choice) {
        column_of_[c] = columns_.size();
        columns_.push_back(c);
      }
    weights_.assign(open * columns_.size(), kUnreachable);
  }
  for (std::size_t l = depth + 1; l < layout_.choices.size(); ++l) {
    double best = -1.0;
    for (std::size_t j = 0; j < layout_.choices[l].size(); ++j) {
      Index d = layout_.choices[l][j];
      std::size_t at = offsets_[l] + j;
      if (d == choice || state.used[d]) continue;
      const std::size_t q = layout_.fixed_count + l;
      double v = tuples_.bound_between(p, at_p, q, layout_.resolve(q, d));
      next[at] = row[at] + (std::isnan(v) ? 0.0 : v);
      // Each pair of open anchors counts at the earlier one, with the best
      // partner still free; for the assignment, half at each end, and no more
      // than what distinct partners can give.
      double pairs = 0.0, halves = 0.0;
      std::size_t closed = 0;
      for (const OtherAnchor& other : others_[l]) {
        if (other.anchor <= depth) {
          ++closed;
          continue;
        }
        if (!assignment && other.anchor < l) continue;
        for (auto [value, e] : other.ranked[j]) {
          ++state.nodes;
          if (e == d || e == choice || state.used[e]) continue;
          if (other.anchor > l) pairs += value;
          halves += value;
          break;
        }
      }
      best = std::max(best, next[at] + pairs);
      if (assignment)
        weights_[(l - depth - 1) * columns_.size() + column_of_[d]] =
            next[at] + 0.5 * (pair_caps_.empty() ? halves : std::min(halves, pair_caps_[at][closed]));
    }
    if (best < 0.0) return std::nullopt;  // an anchor below has no choice left
    upper += best;
  }
  if (!assignment || state.prunable(upper)) return upper;
  // The open anchors take distinct choices: the best assignment of choices to
  // them, each counted at its per-choice bound, bounds every completion too.
  auto assigned = best_assignment(weights_, open, columns_.size(), state.nodes);
  return assigned ? std::min(upper, known + *assigned) : upper;
}

}  // namespace tarvo
