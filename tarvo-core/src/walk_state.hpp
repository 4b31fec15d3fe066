// Where the walk of a chain-mapping search stands: the choices made down to the
// current depth, the totals a bound must beat, and the steps spent.
#pragma once

#include <cstddef>
#include <limits>
#include <stop_token>
#include <vector>

#include "layout.hpp"  // Index

namespace tarvo {

// Totals and bounds are sums of values of at most 1: over k interfaces each
// rounds by under k^2 * 1.2e-16, below 5e-10 up to 2,000 interfaces, so this
// margin keeps every pruning decision on the safe side. It is also as close as
// totals may come and still count as tied: mappings that symmetry makes equal
// up to rounding are each walked to the end, so a wider margin would make
// symmetric assemblies walk many more of them.
inline constexpr double kMargin = 1e-9;

struct WalkState {
  std::vector<Index> assignment;  // per anchor, its choice
  std::vector<char> used;         // per choice: held by an anchor above the current depth
  double best = -1.0;
  double floor = -std::numeric_limits<double>::infinity();
  std::size_t nodes = 0;  // steps spent, counted against `budget`
  std::size_t budget = 0;
  std::stop_token stop;  // a stop request spends the whole budget at once

  bool prunable(double upper) const { return upper + kMargin <= best || upper + kMargin < floor; }
  bool over_budget() {
    if ((++nodes & 0x3FF) == 0 && stop.stop_requested()) nodes = budget + 1;
    return nodes > budget;
  }
};

}  // namespace tarvo
