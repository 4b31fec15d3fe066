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

// Minimum of a cell with no points on either side, and the start of every scan.
inline constexpr float kFarApart = 100000.0f;

// 10 Å: the farthest any score looks. Cells are exact below its square, the
// largest cutoff any score compares cells with.
inline constexpr float kExactWithin = 10.0f;
inline constexpr float kExactBelow = kExactWithin * kExactWithin;

// Squared distances in Å² between residue i of the first group and residue j of
// the second, kept only where below the square of the distance it was made
// exact within, kExactBelow unless a smaller one was asked for (there the exact
// minimum over atom pairs); every other cell reads as kFarApart. Readers compare
// cells with strict cutoffs no larger than that square, so a left-out cell tells
// them nothing, and a long chain's matrix grows with its contacts, not its area.
// Rows follow one another, each with its columns ascending.
struct DistanceMatrix {
  struct Cell {
    std::uint32_t col;
    float value;
    bool operator==(const Cell&) const = default;
  };
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<std::size_t> row_starts;  // rows + 1 positions in `cells`
  std::vector<Cell> cells;

  std::span<const Cell> row(std::size_t i) const {
    return std::span(cells).subspan(row_starts[i], row_starts[i + 1] - row_starts[i]);
  }
  float at(std::size_t i, std::size_t j) const;
  std::size_t stored() const { return cells.size(); }
};

// Cells below a cutoff in one matrix, and how many of them are below it in a
// second matrix of the same shape too.
struct SharedBelow {
  std::uint32_t first = 0;
  std::uint32_t both = 0;
};
SharedBelow shared_below(const DistanceMatrix& first, const DistanceMatrix& second, float cutoff);

struct FlatGroup {
  std::vector<Point> points;          // all atoms, residue after residue
  std::vector<std::uint32_t> counts;  // atoms per residue
};

FlatGroup group_coords_and_counts(std::span<const Residue* const> residues);

// Rows of 128 or more are split over the oneTBB pool; fewer run on the caller.
// Cells are exact, and kept, below exact_within²: the smaller it is, the fewer
// residue pairs are scanned.
DistanceMatrix residue_distances(std::span<const Point> points_a, std::span<const Point> points_b,
                                 std::span<const std::uint32_t> counts_a,
                                 std::span<const std::uint32_t> counts_b, float exact_within = kExactWithin);

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
