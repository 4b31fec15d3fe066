#include "tarvo/geometry.hpp"

#include <Eigen/Core>
#include <Eigen/LU>
#include <Eigen/SVD>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tarvo/error.hpp"

namespace tarvo {

namespace {

// Below this many rows the pool's scheduling costs more than it saves.
constexpr std::size_t kParallelRows = 128;

// Rows filled by one task of the pool, into cells of their own.
constexpr std::size_t kPartRows = 32;

// A ball around each residue's atoms. Two residues whose balls are further
// apart than the reach hold no atom pair within the matrix's exact distance, so
// their cell is settled as far without a scan.
struct Ball {
  double x, y, z, radius;
};

// The ball holds every atom with coordinates: a NaN coordinate takes no part
// (its distances are skipped by the scan), wherever it stands in the residue.
// A residue without any gets a NaN centre, which is never beyond reach.
Ball ball_around(std::span<const Point> atoms) {
  double low[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, high[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (const Point& p : atoms) {
    const double c[3] = {p.x, p.y, p.z};
    for (int k = 0; k < 3; ++k) {
      low[k] = std::min(low[k], c[k]);
      high[k] = std::max(high[k], c[k]);
    }
  }
  Ball ball{(low[0] + high[0]) / 2, (low[1] + high[1]) / 2, (low[2] + high[2]) / 2, 0.0};
  double squared = 0.0;
  for (const Point& p : atoms) {
    const double dx = p.x - ball.x, dy = p.y - ball.y, dz = p.z - ball.z;
    squared = std::max(squared, dx * dx + dy * dy + dz * dz);
  }
  ball.radius = std::sqrt(squared);  // one root: the root of the largest square is the largest root
  return ball;
}

// The scan of a cell stops at a first distance above this (about 31.6 Å): no
// consumer looks beyond 10 Å, so such a residue pair counts as far apart.
constexpr float kEarlyStop = 1000.0f;

// Residues taken together when pruning: one test of their joint ball skips
// all of them for a residue far from the group.
constexpr std::size_t kBlockResidues = 8;

bool beyond_reach(const Ball& a, const Ball& b, double reach) {
  const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
  const double gap = reach + a.radius + b.radius;
  return dx * dx + dy * dy + dz * dz > gap * gap;
}

// A ball holding the balls of each kBlockResidues residues in a row (radius -1
// when none of them has atoms).
std::vector<Ball> blocks_of(const std::vector<Ball>& balls) {
  std::vector<Ball> out;
  for (std::size_t start = 0; start < balls.size(); start += kBlockResidues) {
    const std::span<const Ball> block = std::span(balls).subspan(start, std::min(kBlockResidues, balls.size() - start));
    double low[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, high[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (const Ball& ball : block) {
      if (ball.radius < 0) continue;
      const double c[3] = {ball.x, ball.y, ball.z};
      for (int k = 0; k < 3; ++k) {
        low[k] = std::min(low[k], c[k]);
        high[k] = std::max(high[k], c[k]);
      }
    }
    Ball joint{(low[0] + high[0]) / 2, (low[1] + high[1]) / 2, (low[2] + high[2]) / 2, -1.0};
    for (const Ball& ball : block) {
      if (ball.radius < 0) continue;
      const double dx = ball.x - joint.x, dy = ball.y - joint.y, dz = ball.z - joint.z;
      joint.radius = std::max(joint.radius, std::sqrt(dx * dx + dy * dy + dz * dz) + ball.radius);
    }
    out.push_back(joint);
  }
  return out;
}

std::vector<std::size_t> offsets_of(std::span<const std::uint32_t> counts) {
  std::vector<std::size_t> offsets(counts.size() + 1, 0);
  for (std::size_t k = 0; k < counts.size(); ++k) offsets[k + 1] = offsets[k] + counts[k];
  return offsets;
}

float squared_distance(const Point& a, const Point& b) {
  float dx = a.x - b.x;
  float dy = a.y - b.y;
  float dz = a.z - b.z;
  return (dx * dx + dy * dy) + dz * dz;
}

// The first distance of a cell's scan, in order, that sets a minimum (NaN and
// distances of kFarApart or more never do); kFarApart when none does.
float first_distance(std::span<const Point> residue_a, std::span<const Point> residue_b) {
  for (const Point& a : residue_a)
    for (const Point& b : residue_b)
      if (const float d = squared_distance(a, b); d < kFarApart) return d;
  return kFarApart;
}

// Four floats side by side: the scan below runs on four atoms of the second
// residue at once, each lane with the very operations of squared_distance.
using Lanes = float __attribute__((vector_size(16)));

// The atoms of a group as three columns of coordinates, padded by three so
// that the last atoms' lanes can be loaded whole.
struct Columns {
  std::vector<float> x, y, z;

  explicit Columns(std::span<const Point> points) {
    for (std::vector<float>* column : {&x, &y, &z}) column->reserve(points.size() + 3);
    for (const Point& p : points) {
      x.push_back(p.x);
      y.push_back(p.y);
      z.push_back(p.z);
    }
    for (std::vector<float>* column : {&x, &y, &z}) column->resize(points.size() + 3, 0.0f);
  }
};

Lanes load_lanes(const float* from) {
  Lanes lanes;
  std::memcpy(&lanes, from, sizeof lanes);
  return lanes;
}

// A cell's value, for residues whose balls are within reach. The scan settles a
// cell at its first distance when that exceeds kEarlyStop, even where other
// pairs are closer; otherwise every later minimum is below it and the whole cell
// counts. Every atom pair is scanned: testing each atom against the other
// residue's ball cost more than the pairs it spared. `residue_b` starts at
// atom `first_b` of `columns_b`. A NaN distance compares false and never lowers
// a lane, as it never lowers std::min's running value, and the lanes' least is
// the least of every distance scanned. Not inlined: inside the row loop GCC
// keeps the running minimum on the stack.
[[gnu::noinline]] float cell_minimum(std::span<const Point> residue_a, std::span<const Point> residue_b,
                                     const Columns& columns_b, std::size_t first_b) {
  const float first = first_distance(residue_a, residue_b);
  if (first > kEarlyStop) return first;
  const Lanes lane_index = {0, 1, 2, 3};
  const Lanes unreached = {kFarApart, kFarApart, kFarApart, kFarApart};
  const std::size_t whole = residue_b.size() / 4 * 4;
  // Lanes past the residue's last atom hold other atoms, or padding.
  const auto in_tail = lane_index < static_cast<float>(residue_b.size() - whole);
  const float* xs = &columns_b.x[first_b];
  const float* ys = &columns_b.y[first_b];
  const float* zs = &columns_b.z[first_b];
  Lanes minimum = {first, first, first, first};
  for (const Point& a : residue_a) {
    const Lanes ax = {a.x, a.x, a.x, a.x}, ay = {a.y, a.y, a.y, a.y}, az = {a.z, a.z, a.z, a.z};
    auto distances = [&](std::size_t j) {
      const Lanes dx = ax - load_lanes(xs + j);
      const Lanes dy = ay - load_lanes(ys + j);
      const Lanes dz = az - load_lanes(zs + j);
      return (dx * dx + dy * dy) + dz * dz;
    };
    for (std::size_t j = 0; j < whole; j += 4) {
      const Lanes d = distances(j);
      minimum = d < minimum ? d : minimum;
    }
    if (whole < residue_b.size()) {
      const Lanes d = in_tail ? distances(whole) : unreached;
      minimum = d < minimum ? d : minimum;
    }
  }
  return std::min(std::min(minimum[0], minimum[1]), std::min(minimum[2], minimum[3]));
}

// The rows of `parts` one after another, as one matrix.
DistanceMatrix stacked(std::vector<DistanceMatrix>& parts, std::size_t cols) {
  DistanceMatrix matrix{0, cols, {0}, {}};
  std::size_t stored = 0;
  for (const DistanceMatrix& part : parts) {
    matrix.rows += part.rows;
    stored += part.stored();
  }
  matrix.row_starts.reserve(matrix.rows + 1);
  matrix.cells.reserve(stored);
  for (DistanceMatrix& part : parts) {
    const std::size_t shift = matrix.cells.size();
    for (std::size_t k = 1; k < part.row_starts.size(); ++k) matrix.row_starts.push_back(shift + part.row_starts[k]);
    matrix.cells.insert(matrix.cells.end(), part.cells.begin(), part.cells.end());
    part = {};  // each part freed once copied
  }
  return matrix;
}

struct Centroids {
  Point target;
  Point mobile;
};

Centroids centroids(std::span<const Point> target, std::span<const Point> mobile) {
  float reciprocal = 1.0f / static_cast<float>(mobile.size());
  Point sum_p{0, 0, 0};
  Point sum_q{0, 0, 0};
  for (std::size_t i = 0; i < mobile.size(); ++i) {
    sum_p = {sum_p.x + target[i].x, sum_p.y + target[i].y, sum_p.z + target[i].z};
    sum_q = {sum_q.x + mobile[i].x, sum_q.y + mobile[i].y, sum_q.z + mobile[i].z};
  }
  return {{sum_p.x * reciprocal, sum_p.y * reciprocal, sum_p.z * reciprocal},
          {sum_q.x * reciprocal, sum_q.y * reciprocal, sum_q.z * reciprocal}};
}

Eigen::Matrix3f covariance(std::span<const Point> target, std::span<const Point> mobile,
                           const Centroids& c) {
  Eigen::Matrix3f h = Eigen::Matrix3f::Zero();
  for (std::size_t i = 0; i < mobile.size(); ++i) {
    const float q[3] = {mobile[i].x - c.mobile.x, mobile[i].y - c.mobile.y, mobile[i].z - c.mobile.z};
    const float p[3] = {target[i].x - c.target.x, target[i].y - c.target.y, target[i].z - c.target.z};
    for (int r = 0; r < 3; ++r)
      for (int k = 0; k < 3; ++k) h(r, k) += q[r] * p[k];
  }
  return h;
}

using Rotation = std::array<std::array<float, 3>, 3>;

Point rotate(const Rotation& r, const Point& q) {
  return {(r[0][0] * q.x + r[0][1] * q.y) + r[0][2] * q.z,
          (r[1][0] * q.x + r[1][1] * q.y) + r[1][2] * q.z,
          (r[2][0] * q.x + r[2][1] * q.y) + r[2][2] * q.z};
}

}  // namespace

FlatGroup group_coords_and_counts(std::span<const Residue* const> residues) {
  FlatGroup group;
  group.counts.reserve(residues.size());
  std::size_t atoms = 0;
  for (const Residue* residue : residues) atoms += residue->atoms.size();
  group.points.reserve(atoms);
  for (const Residue* residue : residues) {
    group.counts.push_back(static_cast<std::uint32_t>(residue->atoms.size()));
    for (const Atom& atom : residue->atoms) group.points.push_back({atom.x, atom.y, atom.z});
  }
  return group;
}

DistanceMatrix residue_distances(std::span<const Point> points_a, std::span<const Point> points_b,
                                 std::span<const std::uint32_t> counts_a,
                                 std::span<const std::uint32_t> counts_b, float exact_within) {
  const double reach = exact_within + 0.01;  // the margin covers float rounding of the scan
  const float exact_below = exact_within * exact_within;
  const std::vector<std::size_t> offsets_a = offsets_of(counts_a);
  const std::vector<std::size_t> offsets_b = offsets_of(counts_b);
  const std::size_t rows = counts_a.size(), cols = counts_b.size();
  // Empty residues get no cells, as a scan of no pairs gives kFarApart.
  auto balls = [](std::span<const Point> points, std::span<const std::uint32_t> counts,
                  const std::vector<std::size_t>& offsets) {
    std::vector<Ball> out(counts.size(), Ball{0, 0, 0, -1.0});
    for (std::size_t k = 0; k < counts.size(); ++k)
      if (counts[k] > 0) out[k] = ball_around(points.subspan(offsets[k], counts[k]));
    return out;
  };
  const std::vector<Ball> balls_a = balls(points_a, counts_a, offsets_a);
  const std::vector<Ball> balls_b = balls(points_b, counts_b, offsets_b);
  const std::vector<Ball> blocks_a = blocks_of(balls_a);
  const std::vector<Ball> blocks_b = blocks_of(balls_b);
  const Columns columns_b(points_b);

  // The column blocks within reach of a block of rows: a row's own column
  // blocks are among them, so each row tests only these.
  auto near_blocks = [&](std::size_t row_block, std::vector<std::size_t>& near) {
    near.clear();
    if (blocks_a[row_block].radius < 0) return;
    for (std::size_t block = 0; block < blocks_b.size(); ++block)
      if (blocks_b[block].radius >= 0 && !beyond_reach(blocks_a[row_block], blocks_b[block], reach)) near.push_back(block);
  };
  auto fill_row = [&](std::size_t i, std::span<const std::size_t> near, std::vector<DistanceMatrix::Cell>& cells) {
    if (balls_a[i].radius < 0) return;
    std::span<const Point> residue_a = points_a.subspan(offsets_a[i], counts_a[i]);
    for (std::size_t block : near) {
      if (beyond_reach(balls_a[i], blocks_b[block], reach)) continue;
      const std::size_t end = std::min(cols, (block + 1) * kBlockResidues);
      for (std::size_t j = block * kBlockResidues; j < end; ++j) {
        if (balls_b[j].radius < 0 || beyond_reach(balls_a[i], balls_b[j], reach)) continue;
        const float value = cell_minimum(residue_a, points_b.subspan(offsets_b[j], counts_b[j]), columns_b, offsets_b[j]);
        if (value < exact_below) cells.push_back({static_cast<std::uint32_t>(j), value});
      }
    }
  };
  // Rows [begin, end) as a matrix of their own.
  auto rows_between = [&](std::size_t begin, std::size_t end) {
    DistanceMatrix part{end - begin, cols, {0}, {}};
    part.row_starts.reserve(part.rows + 1);
    std::vector<std::size_t> near;
    for (std::size_t i = begin; i < end; ++i) {
      if (i == begin || i % kBlockResidues == 0) near_blocks(i / kBlockResidues, near);
      fill_row(i, near, part.cells);
      part.row_starts.push_back(part.cells.size());
    }
    return part;
  };

  if (rows < kParallelRows) return rows_between(0, rows);
  // Runs on the arena of the calling worker (or the global one), so it nests
  // inside the interface and batch loops without oversubscribing.
  std::vector<DistanceMatrix> parts((rows + kPartRows - 1) / kPartRows);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, parts.size(), 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t p = range.begin(); p != range.end(); ++p)
                        parts[p] = rows_between(p * kPartRows, std::min(rows, (p + 1) * kPartRows));
                    });
  return stacked(parts, cols);
}

float DistanceMatrix::at(std::size_t i, std::size_t j) const {
  const std::span<const Cell> cells_of_row = row(i);
  const auto found = std::ranges::lower_bound(cells_of_row, j, {}, &Cell::col);
  return found != cells_of_row.end() && found->col == j ? found->value : kFarApart;
}

SharedBelow shared_below(const DistanceMatrix& first, const DistanceMatrix& second, float cutoff) {
  SharedBelow counts;
  for (std::size_t i = 0; i < first.rows; ++i) {
    const std::span<const DistanceMatrix::Cell> other = second.row(i);
    auto next = other.begin();
    for (const DistanceMatrix::Cell& cell : first.row(i)) {
      if (!(cell.value < cutoff)) continue;
      ++counts.first;
      while (next != other.end() && next->col < cell.col) ++next;
      counts.both += next != other.end() && next->col == cell.col && next->value < cutoff;
    }
  }
  return counts;
}

Point Transform::apply(const Point& q) const {
  const Point r = rotate(rotation, q);
  return {r.x + translation[0], r.y + translation[1], r.z + translation[2]};
}

Transform kabsch(std::span<const Point> target, std::span<const Point> mobile) {
  const Centroids c = centroids(target, mobile);
  const Eigen::Matrix3f h = covariance(target, mobile, c);

  Eigen::JacobiSVD<Eigen::Matrix3f> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (!svd.computeU()) throw InternalError("kabsch: SVD U not computed");
  const Eigen::Matrix3f& u = svd.matrixU();
  const Eigen::Matrix3f& v = svd.matrixV();

  // R = V·Uᵀ as a sum of rank-one products; a reflection (det < 0) is turned
  // into the best proper rotation by subtracting the smallest singular value's term.
  const Eigen::Matrix3f leading = v.col(0) * u.col(0).transpose() + v.col(1) * u.col(1).transpose();
  const Eigen::Matrix3f smallest = v.col(2) * u.col(2).transpose();
  Eigen::Matrix3f r = leading + smallest;
  if (r.determinant() < 0.0f) r = leading - smallest;

  Transform transform{};
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col) transform.rotation[row][col] = r(row, col);
  const Point rotated = rotate(transform.rotation, c.mobile);
  transform.translation = {c.target.x - rotated.x, c.target.y - rotated.y, c.target.z - rotated.z};
  return transform;
}

}  // namespace tarvo
