#include "superposed.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "tarvo/geometry.hpp"  // Point, kabsch
#include "assignment.hpp"      // best_assignment, kUnreachable
#include "near_chains.hpp"     // trace_points

namespace tarvo {

namespace {

// Seed pairs tried, and of them the closest fits completed by a maximum-weight
// assignment (the others only by each anchor's nearest choice).
constexpr std::size_t kSeeds = 256;
constexpr std::size_t kAssigned = 3;

Point centroid(const std::vector<Point>& points) {
  double x = 0, y = 0, z = 0;
  for (const Point& p : points) x += p.x, y += p.y, z += p.z;
  const double n = static_cast<double>(std::max<std::size_t>(points.size(), 1));
  return {static_cast<float>(x / n), static_cast<float>(y / n), static_cast<float>(z / n)};
}

}  // namespace

std::vector<std::vector<Index>> superposed_mappings(const Layout& layout, std::size_t& nodes) {
  const std::size_t anchors = layout.choices.size();
  if (anchors == 0) return {};
  std::vector<std::vector<Point>> model_points, native_points;
  auto trace = [](const Chain* chain) { return chain ? trace_points(*chain) : std::vector<Point>{}; };
  for (const Chain* chain : layout.models.chains) model_points.push_back(trace(chain));
  for (const Chain* chain : layout.natives.chains) native_points.push_back(trace(chain));
  std::vector<Point> model_centres, native_centres;
  for (const auto& points : model_points) model_centres.push_back(centroid(points));
  for (const auto& points : native_points) native_centres.push_back(centroid(points));

  // Nearness in (0, 1] of every anchor's choice under a fit: a chain within a
  // few Å of its place counts almost fully.
  const std::size_t universe = layout.choice_universe;
  const std::size_t first = layout.fixed_count;
  std::vector<double> weights;
  auto weigh = [&](const Transform& fit) {
    weights.assign(anchors * universe, kUnreachable);
    for (std::size_t k = 0; k < anchors; ++k)
      for (Index c : layout.choices[k]) {
        auto [cm, cn] = layout.resolve(first + k, c);
        const Point moved = fit.apply(model_centres[cm]);
        const Point& target = native_centres[cn];
        const double dx = moved.x - target.x, dy = moved.y - target.y, dz = moved.z - target.z;
        weights[k * universe + c] = 1.0 / (1.0 + (dx * dx + dy * dy + dz * dz) / 100.0);
      }
    nodes += anchors * universe;
  };
  // Every seed fitted, ranked by the nearness of each anchor's nearest choice.
  std::vector<std::pair<double, Transform>> fits;
  for (std::size_t s = 0; s < std::min(kSeeds, layout.choices[0].size()); ++s) {
    auto [m, n] = layout.resolve(first, layout.choices[0][s]);
    const std::size_t common = std::min(model_points[m].size(), native_points[n].size());
    if (common < 3) continue;
    const Transform fit = kabsch(std::span(native_points[n]).first(common), std::span(model_points[m]).first(common));
    nodes += common;
    weigh(fit);
    double nearest = 0.0;
    for (std::size_t k = 0; k < anchors; ++k)
      nearest += *std::max_element(weights.begin() + k * universe, weights.begin() + (k + 1) * universe);
    fits.emplace_back(nearest, fit);
  }
  std::stable_sort(fits.begin(), fits.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  if (fits.size() > kAssigned) fits.resize(kAssigned);

  std::vector<std::vector<Index>> out;
  std::vector<std::size_t> columns;
  for (const auto& [nearest, fit] : fits) {
    weigh(fit);
    if (!best_assignment(weights, anchors, universe, nodes, &columns)) continue;
    std::vector<Index> assignment(columns.begin(), columns.end());
    if (std::find(out.begin(), out.end(), assignment) == out.end()) out.push_back(std::move(assignment));
  }
  return out;
}

}  // namespace tarvo
