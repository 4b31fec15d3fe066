// Which chains of an assembly come near each other: boxes around the chains,
// swept along x, so that only pairs that may touch reach a distance matrix and
// an assembly of thousands of chains costs no more than its contacts.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "tarvo/geometry.hpp"  // Point
#include "tarvo/model.hpp"     // Chain

namespace tarvo {

// The pairs (i, j), i < j, of chains whose atoms may come within `reach` of each
// other, in increasing order; a null chain is near none.
std::vector<std::pair<std::size_t, std::size_t>> near_pairs(std::span<const Chain* const> chains, float reach);

// The chain's trace: its CA atoms (C4' of nucleotides), in residue order.
std::vector<Point> trace_points(const Chain& chain);

// The near pairs whose traces come within `reach` of each other.
std::vector<std::pair<std::size_t, std::size_t>> touching_pairs(std::span<const Chain* const> chains, float reach);

}  // namespace tarvo
