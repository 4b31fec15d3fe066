// Anchors assigned to distinct choices: the best assignment over a weight
// matrix, and whether a partial assignment extends to a full one.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "layout.hpp"  // Index

namespace tarvo {

// Weight of an anchor-choice pair no completion can hold, in the assignment
// bound: low enough that the best assignment avoids it whenever it can.
inline constexpr double kUnreachable = -1e6;

// Maximum-weight assignment of the rows of a rows x cols matrix (rows <= cols)
// to distinct columns (Hungarian method with potentials, O(rows^2 * cols));
// nothing when the best one holds an unreachable entry. Adds its work to `nodes`.
// With `columns`, also each row's column.
std::optional<double> best_assignment(std::span<const double> weights, std::size_t rows,
                                      std::size_t cols, std::size_t& nodes,
                                      std::vector<std::size_t>* columns = nullptr);

// Bipartite matching of anchors to choices (augmenting paths), with some
// anchors' choices forced: does the partial assignment extend to a full one?
class Completion {
 public:
  Completion(const std::vector<std::vector<Index>>& choices, std::size_t universe)
      : choices_(choices), universe_(universe) {}

  bool possible(std::span<const std::pair<std::size_t, Index>> forced);

 private:
  static constexpr std::size_t kFree = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t kForced = kFree - 1;

  bool augment(std::size_t anchor);

  const std::vector<std::vector<Index>>& choices_;
  std::size_t universe_;
  std::vector<std::size_t> owner_;
  std::vector<char> seen_;
};

}  // namespace tarvo
