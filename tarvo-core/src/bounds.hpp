// Upper bounds on the totals below a partial assignment of a chain-mapping
// search: per depth, the pairs already fixed and, per later anchor and choice,
// what its pairs can still give.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "layout.hpp"      // Layout, Index
#include "tuples.hpp"      // TupleStore
#include "walk_state.hpp"  // WalkState

namespace tarvo {

// Another anchor seen from one anchor: per choice of the one, the other's
// choices that score with it, by decreasing bound.
struct OtherAnchor {
  std::size_t anchor;
  std::vector<std::vector<std::pair<double, Index>>> ranked;
};

class Bounds {
 public:
  Bounds(const Layout& layout, const TupleStore& tuples) : layout_(layout), tuples_(tuples) {}

  // False, with the bounds unusable, when their tables would take `nodes` past `budget`.
  bool prepare_bounds(std::size_t& nodes, std::size_t budget);
  bool add_fixed_pairs();
  // Bound on every total, each anchor taking its best choice as if alone.
  double root() const;
  // Bound on the pairs fixed by the choices above `depth`.
  double known(std::size_t depth) const { return known_[depth]; }
  double known_increment(std::size_t depth, Index choice, std::span<const Index> assignment,
                         bool& undefined) const;
  std::optional<double> expand(std::size_t depth, Index choice, WalkState& state);

 private:
  const Layout& layout_;
  const TupleStore& tuples_;

  std::vector<std::size_t> offsets_;       // of each anchor's choices in a flat row
  std::vector<std::vector<OtherAnchor>> others_;  // per anchor, the other anchors it may score with
  std::vector<double> known_;              // per depth: bound on the pairs already fixed
  std::vector<std::vector<double>> rows_;  // per depth: bound per (later anchor, choice)
  std::vector<Index> columns_;     // the free choices, in order
  std::vector<std::size_t> column_of_;  // per choice: its place among the free ones
  std::vector<std::vector<double>> pair_caps_;  // per (anchor, choice), per closed neighbours
  std::vector<double> weights_;    // per open anchor and free choice: its bound, for the assignment
};

}  // namespace tarvo
