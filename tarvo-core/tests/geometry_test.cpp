#include "tarvo/geometry.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace tarvo {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Residue residue_at(std::vector<Point> points) {
  Residue residue;
  residue.name = "GLY";
  for (const Point& p : points) residue.atoms.push_back(Atom{"X", "C", U' ', p.x, p.y, p.z});
  return residue;
}

DistanceMatrix distances(const std::vector<Residue>& a, const std::vector<Residue>& b,
                         float exact_within = kExactWithin) {
  std::vector<const Residue*> refs_a, refs_b;
  for (const Residue& r : a) refs_a.push_back(&r);
  for (const Residue& r : b) refs_b.push_back(&r);
  FlatGroup group_a = group_coords_and_counts(refs_a);
  FlatGroup group_b = group_coords_and_counts(refs_b);
  return residue_distances(group_a.points, group_b.points, group_a.counts, group_b.counts, exact_within);
}

// Every cell, stored or not, row after row.
std::vector<float> dense(const DistanceMatrix& m) {
  std::vector<float> out;
  for (std::size_t i = 0; i < m.rows; ++i)
    for (std::size_t j = 0; j < m.cols; ++j) out.push_back(m.at(i, j));
  return out;
}

TEST(GroupCoordsAndCounts, FlattensResiduesInOrderWithOneCountEach) {
  std::vector<Residue> residues = {residue_at({{1, 2, 3}, {4, 5, 6}}), residue_at({}), residue_at({{7, 8, 9}})};
  std::vector<const Residue*> refs = {&residues[0], &residues[1], &residues[2]};
  FlatGroup group = group_coords_and_counts(refs);
  EXPECT_EQ(group.counts, (std::vector<std::uint32_t>{2, 0, 1}));
  ASSERT_EQ(group.points.size(), 3u);
  EXPECT_EQ(group.points[1].z, 6.0f);
  EXPECT_EQ(group.points[2].x, 7.0f);
}

struct CellCase {
  const char* name;
  std::vector<Point> a;
  std::vector<Point> b;
  float expected;
};

class CellValue : public testing::TestWithParam<CellCase> {};

TEST_P(CellValue, IsTheScannedMinimumSquaredDistance) {
  const CellCase& c = GetParam();
  DistanceMatrix m = distances({residue_at(c.a)}, {residue_at(c.b)});
  ASSERT_EQ(m.rows, 1u);
  ASSERT_EQ(m.cols, 1u);
  EXPECT_EQ(m.at(0, 0), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CellValue,
    testing::Values(
        CellCase{"ThreeAngstromsGiveNine", {{0, 0, 0}}, {{0, 3, 0}}, 9.0f},
        // 1600 > 1000 stops the scan even though the second atoms touch; a
        // cell settled at 10 Å or more is not kept and reads as far apart.
        CellCase{"FirstPairBeyondCutoffStopsScan", {{0, 0, 0}, {40, 0, 1}}, {{40, 0, 0}}, kFarApart},
        CellCase{"FirstPairWithinCutoffScansAll", {{0, 0, 0}, {30, 0, 1}}, {{30, 0, 0}}, 1.0f},
        CellCase{"EmptyResidueIsFarApart", {}, {{0, 0, 0}}, kFarApart},
        CellCase{"NaNDistanceIsSkipped", {{kNaN, 0, 0}, {0, 0, 2}}, {{0, 0, 0}}, 4.0f},
        CellCase{"EverythingBeyondStartKeepsStart", {{0, 0, 0}}, {{400, 0, 0}}, kFarApart}),
    [](const testing::TestParamInfo<CellCase>& info) { return info.param.name; });

TEST(ResidueDistances, ResidueWithoutAtomsIsFarFromEveryResidue) {
  DistanceMatrix m = distances({residue_at({{0, 0, 0}}), residue_at({})},
                               {residue_at({{1, 0, 0}}), residue_at({}), residue_at({{0, 2, 0}})});
  EXPECT_EQ(dense(m), (std::vector<float>{1.0f, kFarApart, 4.0f, kFarApart, kFarApart, kFarApart}));
}

// Pruning by bounding balls must not lose a contact of a residue whose first
// atom has no coordinates, beside neighbours far from the other group.
TEST(ResidueDistances, ResidueStartingWithANaNAtomKeepsItsContacts) {
  std::vector<Residue> b = {residue_at({{kNaN, kNaN, kNaN}, {0, 3, 0}})};
  for (int k = 1; k < 8; ++k) b.push_back(residue_at({{100.0f * k, 100, 0}}));
  for (const bool as_rows : {false, true}) {
    DistanceMatrix m = as_rows ? distances(b, {residue_at({{0, 0, 0}})}) : distances({residue_at({{0, 0, 0}})}, b);
    EXPECT_EQ(m.at(0, 0), 9.0f) << (as_rows ? "rows" : "columns");
  }
}

TEST(ResidueDistances, EmptyGroupGivesEmptyMatrix) {
  DistanceMatrix m = distances({}, {residue_at({{0, 0, 0}})});
  EXPECT_EQ(m.rows, 0u);
  EXPECT_EQ(m.cols, 1u);
  EXPECT_EQ(m.stored(), 0u);
}

// Residues of a few atoms scattered over a box so that near and far pairs mix.
std::vector<Residue> scattered_residues(std::size_t count, float shift) {
  std::vector<Residue> residues;
  unsigned state = 12345u + static_cast<unsigned>(shift);
  auto next = [&] {
    state = state * 1103515245u + 12345u;
    return static_cast<float>((state >> 8) % 4000) / 100.0f;
  };
  for (std::size_t k = 0; k < count; ++k) {
    std::vector<Point> points;
    for (std::size_t atom = 0; atom < 1 + k % 6; ++atom) points.push_back({next(), next() + shift, next()});
    residues.push_back(residue_at(points));
  }
  return residues;
}

TEST(ResidueDistances, PooledRowsEqualRowsComputedOneByOne) {
  const std::vector<Residue> a = scattered_residues(128, 0.0f);
  const std::vector<Residue> b = scattered_residues(90, 5.0f);
  const DistanceMatrix pooled = distances(a, b);
  ASSERT_EQ(pooled.rows, 128u);
  for (std::size_t i = 0; i < a.size(); ++i) {
    const DistanceMatrix row = distances({a[i]}, b);
    for (std::size_t j = 0; j < b.size(); ++j) ASSERT_EQ(pooled.at(i, j), row.at(0, j)) << i << "," << j;
  }
  const DistanceMatrix serial = distances(std::vector<Residue>(a.begin(), a.begin() + 127), b);
  ASSERT_EQ(serial.rows, 127u);
  for (std::size_t i = 0; i < serial.rows; ++i) EXPECT_TRUE(std::ranges::equal(serial.row(i), pooled.row(i))) << i;
}

// A matrix made exact within 5 Å is the full one cut at 25 Å², cell for cell.
TEST(ResidueDistances, SmallerExactDistanceKeepsTheFullMatrixCellsBelowItsSquare) {
  const std::vector<Residue> a = scattered_residues(128, 0.0f), b = scattered_residues(90, 5.0f);
  const DistanceMatrix full = distances(a, b);
  const DistanceMatrix near = distances(a, b, 5.0f);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < full.rows; ++i) {
    std::vector<DistanceMatrix::Cell> below;
    std::ranges::copy_if(full.row(i), std::back_inserter(below), [](const auto& cell) { return cell.value < 25.0f; });
    EXPECT_TRUE(std::ranges::equal(near.row(i), below)) << i;
    kept += below.size();
  }
  EXPECT_GT(kept, 10u);
  EXPECT_LT(kept, full.stored());
}

// One-atom residues at random points of a box: each cell is a plain squared
// distance, so enumerating every pair gives the dense reference.
std::vector<Point> random_points(std::size_t count, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<float> coordinate(0.0f, 40.0f);
  std::vector<Point> out(count);
  for (Point& p : out) p = {coordinate(engine), coordinate(engine), coordinate(engine)};
  return out;
}

DistanceMatrix point_distances(const std::vector<Point>& a, const std::vector<Point>& b) {
  std::vector<Residue> residues_a, residues_b;
  for (const Point& p : a) residues_a.push_back(residue_at({p}));
  for (const Point& p : b) residues_b.push_back(residue_at({p}));
  return distances(residues_a, residues_b);
}

float squared(const Point& a, const Point& b) {
  const float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
  return (dx * dx + dy * dy) + dz * dz;
}

TEST(SparseDistances, ReadsAndRowMergesAgreeWithADenseReference) {
  const std::vector<Point> a = random_points(150, 1), b = random_points(90, 2);
  std::vector<Point> moved = b;  // keeps most contacts, loses and gains a few
  std::mt19937 engine(3);
  std::uniform_real_distribution<float> shift(-1.5f, 1.5f);
  for (Point& p : moved) p = {p.x + shift(engine), p.y + shift(engine), p.z + shift(engine)};
  const DistanceMatrix first = point_distances(a, b), second = point_distances(a, moved);
  constexpr float kCutoff = 25.0f;
  std::size_t near = 0;
  SharedBelow expected;
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = 0; j < b.size(); ++j) {
      const float d = squared(a[i], b[j]);
      near += d < kExactBelow;
      ASSERT_EQ(first.at(i, j), d < kExactBelow ? d : kFarApart) << i << "," << j;
      expected.first += d < kCutoff;
      expected.both += d < kCutoff && squared(a[i], moved[j]) < kCutoff;
    }
  EXPECT_EQ(first.stored(), near);
  ASSERT_LT(0u, expected.both);
  ASSERT_LT(expected.both, expected.first);
  const SharedBelow merged = shared_below(first, second, kCutoff);
  EXPECT_EQ(merged.first, expected.first);
  EXPECT_EQ(merged.both, expected.both);
}

// Residues of 1 to 9 atoms (whole lanes of four, and tails of every length)
// strung along x over more than their reach, so that blocks of rows and of
// columns face near and far blocks; 150 rows take the pooled path.
TEST(ResidueDistances, CellsOfResiduesOfManyAtomsAreTheirClosestPairs) {
  std::mt19937 engine(7);
  std::uniform_real_distribution<float> jitter(-2.5f, 2.5f);
  auto strung = [&](std::size_t count, float y) {
    std::vector<Residue> residues;
    for (std::size_t k = 0; k < count; ++k) {
      std::vector<Point> atoms(1 + k % 9);
      for (Point& p : atoms) p = {1.7f * static_cast<float>(k) + jitter(engine), y + jitter(engine), jitter(engine)};
      residues.push_back(residue_at(atoms));
    }
    return residues;
  };
  const std::vector<Residue> a = strung(150, 0.0f), b = strung(61, 6.0f);
  const DistanceMatrix m = distances(a, b);
  std::size_t near = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = 0; j < b.size(); ++j) {
      float closest = kFarApart;
      for (const Atom& p : a[i].atoms)
        for (const Atom& q : b[j].atoms) closest = std::min(closest, squared({p.x, p.y, p.z}, {q.x, q.y, q.z}));
      near += closest < kExactBelow;
      ASSERT_EQ(m.at(i, j), closest < kExactBelow ? closest : kFarApart) << i << "," << j;
    }
  EXPECT_EQ(m.stored(), near);
  EXPECT_LT(b.size(), near);
  EXPECT_LT(near, a.size() * b.size() / 2);  // far blocks were there to prune
}

Point rotate_z90(const Point& p) { return {-p.y, p.x, p.z}; }

const std::vector<Point> kTetrahedron = {{0, 0, 0}, {3, 0.5f, 0}, {1, 2.5f, 0.2f}, {0.7f, 1, 2.2f}, {-1, 1.5f, 1}};

float rmsd_after(const Transform& t, std::span<const Point> target, std::span<const Point> mobile) {
  float sum = 0;
  for (std::size_t k = 0; k < mobile.size(); ++k) {
    Point q = t.apply(mobile[k]);
    sum += (q.x - target[k].x) * (q.x - target[k].x) + (q.y - target[k].y) * (q.y - target[k].y) +
           (q.z - target[k].z) * (q.z - target[k].z);
  }
  return std::sqrt(sum / static_cast<float>(mobile.size()));
}

float determinant(const Transform& t) {
  const auto& r = t.rotation;
  return r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) - r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
         r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
}

TEST(Kabsch, SamePointsGiveIdentity) {
  Transform t = kabsch(kTetrahedron, kTetrahedron);
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) EXPECT_NEAR(t.rotation[row][col], row == col ? 1.0f : 0.0f, 1e-5f);
    EXPECT_NEAR(t.translation[row], 0.0f, 1e-5f);
  }
}

TEST(Kabsch, RecoversInverseOfRotationAboutZAndShift) {
  std::vector<Point> mobile;
  for (const Point& p : kTetrahedron) {
    Point r = rotate_z90(p);
    mobile.push_back({r.x + 1, r.y + 2, r.z + 3});
  }
  Transform t = kabsch(kTetrahedron, mobile);
  // The inverse of a +90° turn about z is a -90° turn: (x, y, z) -> (y, -x, z).
  const float expected[3][3] = {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}};
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col) EXPECT_NEAR(t.rotation[row][col], expected[row][col], 1e-5f);
  for (std::size_t k = 0; k < mobile.size(); ++k) {
    Point q = t.apply(mobile[k]);
    EXPECT_NEAR(q.x, kTetrahedron[k].x, 1e-5f);
    EXPECT_NEAR(q.y, kTetrahedron[k].y, 1e-5f);
    EXPECT_NEAR(q.z, kTetrahedron[k].z, 1e-5f);
  }
}

TEST(Kabsch, MirrorImageStillGivesProperRotation) {
  std::vector<Point> mirrored;
  for (const Point& p : kTetrahedron) mirrored.push_back({-p.x, p.y, p.z});
  Transform t = kabsch(kTetrahedron, mirrored);
  EXPECT_NEAR(determinant(t), 1.0f, 1e-5f);
  // A proper rotation cannot undo a mirror image: some residual must remain.
  EXPECT_GT(rmsd_after(t, kTetrahedron, mirrored), 0.1f);
}

TEST(Kabsch, UsesOnlyAsManyTargetPointsAsMobilePoints) {
  std::vector<Point> target = kTetrahedron;
  target.push_back({100, 100, 100});
  Transform t = kabsch(target, kTetrahedron);
  EXPECT_NEAR(rmsd_after(t, kTetrahedron, kTetrahedron), 0.0f, 1e-5f);
}

TEST(Kabsch, OnePointIsSuperposedExactly) {
  const std::vector<Point> target = {{1, 2, 3}};
  const std::vector<Point> mobile = {{-4, 5, 0.5f}};
  Point q = kabsch(target, mobile).apply(mobile[0]);
  EXPECT_NEAR(q.x, 1.0f, 1e-5f);
  EXPECT_NEAR(q.y, 2.0f, 1e-5f);
  EXPECT_NEAR(q.z, 3.0f, 1e-5f);
}

TEST(Kabsch, NoPointsGiveNaNTranslation) {
  Transform t = kabsch({}, {});
  for (float component : t.translation) EXPECT_TRUE(std::isnan(component));
  EXPECT_TRUE(std::isnan(t.apply({1, 2, 3}).x));
}

}  // namespace
}  // namespace tarvo
