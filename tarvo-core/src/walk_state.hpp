// Where the walk of a chain-mapping search stands: the choices made down to the
// current depth, the totals a bound must beat, and the steps spent.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stop_token>
#include <vector>

#include "layout.hpp"  // Index

namespace tarvo {

// Totals and bounds are sums of at most n interface values, each at most 1:
// each rounds by under n^2 * 1.12e-16, so two of them compared are off by under
// n^2 * 2.3e-16, and this margin keeps every pruning decision on the safe side.
// It is also as close as totals may come and still count as tied: mappings that
// symmetry makes equal up to rounding are each walked to the end, so it is
// never below 1e-9 (the rounding of up to 2,000 interfaces) and grows only
// beyond them.
inline double pruning_margin(std::size_t interfaces) {
  const double n = static_cast<double>(interfaces);
  return std::max(1e-9, 2.5e-16 * n * n);
}

struct WalkState {
  std::vector<Index> assignment;  // per anchor, its choice
  std::vector<char> used;         // per choice: held by an anchor above the current depth
  double best = -1.0;
  double floor = -std::numeric_limits<double>::infinity();
  double margin = 1e-9;   // pruning_margin of the native interfaces
  std::size_t nodes = 0;  // steps spent, counted against `budget`
  std::size_t budget = 0;
  std::stop_token stop;  // a stop request spends the whole budget at once

  bool prunable(double upper) const { return upper + margin <= best || upper + margin < floor; }
  bool over_budget() {
    if ((++nodes & 0x3FF) == 0 && stop.stop_requested()) nodes = budget + 1;
    return nodes > budget;
  }
};

}  // namespace tarvo
