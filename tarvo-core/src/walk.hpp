// The walk of the chain-mapping search: assignments depth first in enumeration
// order, a branch dropped when an upper bound on every total below it cannot
// beat the best total so far.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <stop_token>
#include <vector>

#include "tarvo/error.hpp"  // Result, TarvoError
#include "tarvo/model.hpp"  // Structure
#include "tarvo/run.hpp"    // RunResult
#include "bounds.hpp"       // Bounds
#include "budget.hpp"       // Budget
#include "candidates.hpp"   // Setup
#include "layout.hpp"       // Layout, Index
#include "tuples.hpp"       // TupleStore
#include "walk_state.hpp"   // WalkState

namespace tarvo {

// Reads the table and the numbering, scores into the tuple store the tuples a
// branch needs, and owns the bounds and the walk's state.
class Walk {
 public:
  // Goes on from the steps the set-up spent of `budget`.
  Walk(const Structure& model, const Structure& native, const ScoreOptions& options, const Setup& setup,
       const Layout& layout, TupleStore& tuples, const Budget& budget, std::stop_token stop);

  Result<RunResult> run();

 private:
  Result<void> refine(std::size_t depth);
  Result<void> visit(std::size_t depth);
  void leave(std::size_t depth, std::size_t from);
  Result<std::vector<Index>> prepare_leaves(std::size_t depth);
  double leaf_total() const;
  bool enumerated_before(const std::vector<Index>& a, const std::vector<Index>& b) const;
  Result<void> seed();
  Result<void> dive();
  double pairs_of(std::size_t p, const std::vector<Index>& assignment) const;
  Result<void> climb();
  Result<RunResult> best_run(const std::vector<Index>& assignment, double total) const;
  Result<RunResult> best_found();

  const Structure& model_;
  const Structure& native_;
  const ScoreOptions& options_;
  const Setup& setup_;
  const Layout& layout_;
  TupleStore& tuples_;
  Bounds bounds_;
  WalkState state_;
  std::optional<std::vector<Index>> selected_;
  std::optional<std::vector<Index>> floor_mapping_;  // the mapping whose total is state_.floor
  // Per depth, the bound of the branch the walk is in; and the highest bound
  // of a branch that the budget left unexplored.
  std::vector<double> entered_;
  double unexplored_ = -std::numeric_limits<double>::infinity();
};

}  // namespace tarvo
