// Single-precision geometry: residue distance matrices and Kabsch superposition.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvo/model.hpp"

namespace tarvo {

struct Point {
  float x, y, z;
};

// Squared distances in Å², row-major: residue i of the first group, residue j of the second.
// A cell is the exact minimum over atom pairs only when that is below
// kExactBelow; otherwise it holds some value at or above kExactBelow, so every
// reader compares cells with cutoffs no larger than it.
struct DistanceMatrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<float> values;

  float at(std::size_t i, std::size_t j) const { return values[i * cols + j]; }
};

// Minimum of a cell with no points on either side, and the start of every scan.
inline constexpr float kFarApart = 100000.0f;

// 10 Å: the farthest any score looks. Cells are exact below its square, the
// largest cutoff any score compares cells with.
inline constexpr float kExactWithin = 10.0f;
inline constexpr float kExactBelow = kExactWithin * kExactWithin;

struct FlatGroup {
  std::vector<Point> points;          // all atoms, residue after residue
  std::vector<std::uint32_t> counts;  // atoms per residue
};

FlatGroup group_coords_and_counts(std::span<const Residue* const> residues);

// Rows of 128 or more are split over the oneTBB pool; fewer run on the caller.
DistanceMatrix residue_distances(std::span<const Point> points_a, std::span<const Point> points_b,
                                 std::span<const std::uint32_t> counts_a,
                                 std::span<const std::uint32_t> counts_b);

// T(q) = R·q + t.
struct Transform {
  std::array<std::array<float, 3>, 3> rotation;
  std::array<float, 3> translation;

  Point apply(const Point& q) const;
};

// The proper rotation and translation that best map `mobile` onto the first
// mobile.size() points of `target`. No points: the translation is NaN.
Transform kabsch(std::span<const Point> target, std::span<const Point> mobile);

}  // namespace tarvo
