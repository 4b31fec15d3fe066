#include "near_chains.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>

namespace tarvo {

namespace {

struct Box {
  std::array<float, 3> low{std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                           std::numeric_limits<float>::max()};
  std::array<float, 3> high{std::numeric_limits<float>::lowest(), std::numeric_limits<float>::lowest(),
                            std::numeric_limits<float>::lowest()};
};

// Not inlined: inside near_pairs' loop GCC kept the six bounds on the stack,
// and each atom waited on six store-to-load round trips.
[[gnu::noinline]] Box box_of(const Chain& chain) {
  Box box;
  float low_x = box.low[0], low_y = box.low[1], low_z = box.low[2];
  float high_x = box.high[0], high_y = box.high[1], high_z = box.high[2];
  for (const Residue& residue : chain.residues)
    for (const Atom& atom : residue.atoms) {
      low_x = std::min(low_x, atom.x);
      low_y = std::min(low_y, atom.y);
      low_z = std::min(low_z, atom.z);
      high_x = std::max(high_x, atom.x);
      high_y = std::max(high_y, atom.y);
      high_z = std::max(high_z, atom.z);
    }
  box.low = {low_x, low_y, low_z};
  box.high = {high_x, high_y, high_z};
  return box;
}

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> near_pairs(std::span<const Chain* const> chains, float reach) {
  std::vector<Box> boxes;
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < chains.size(); ++i) {
    boxes.push_back(chains[i] ? box_of(*chains[i]) : Box{});
    if (chains[i] && boxes.back().low[0] <= boxes.back().high[0]) order.push_back(i);
  }
  std::ranges::sort(order, [&](std::size_t a, std::size_t b) {
    return boxes[a].low[0] < boxes[b].low[0] || (boxes[a].low[0] == boxes[b].low[0] && a < b);
  });
  std::vector<std::pair<std::size_t, std::size_t>> near;
  for (std::size_t p = 0; p < order.size(); ++p)
    for (std::size_t q = p + 1; q < order.size() && boxes[order[q]].low[0] <= boxes[order[p]].high[0] + reach; ++q) {
      const std::size_t a = order[p], b = order[q];
      bool overlap = true;
      for (std::size_t k = 1; k < 3; ++k)
        overlap = overlap && boxes[a].low[k] <= boxes[b].high[k] + reach && boxes[b].low[k] <= boxes[a].high[k] + reach;
      if (overlap) near.emplace_back(std::min(a, b), std::max(a, b));
    }
  std::ranges::sort(near);
  return near;
}

std::vector<Point> trace_points(const Chain& chain) {
  std::vector<Point> points;
  for (const Residue& residue : chain.residues)
    for (const Atom& atom : residue.atoms)
      if (atom.name == "CA" || atom.name == "C4'") points.push_back({atom.x, atom.y, atom.z});
  return points;
}

std::vector<std::pair<std::size_t, std::size_t>> touching_pairs(std::span<const Chain* const> chains, float reach) {
  std::vector<std::vector<Point>> traces;
  for (const Chain* chain : chains) traces.push_back(chain ? trace_points(*chain) : std::vector<Point>{});
  auto touch = [&](const std::vector<Point>& a, const std::vector<Point>& b) {
    for (const Point& p : a)
      for (const Point& q : b) {
        const float dx = p.x - q.x, dy = p.y - q.y, dz = p.z - q.z;
        if (dx * dx + dy * dy + dz * dz < reach * reach) return true;
      }
    return false;
  };
  auto pairs = near_pairs(chains, reach);
  std::erase_if(pairs, [&](const auto& pair) { return !touch(traces[pair.first], traces[pair.second]); });
  return pairs;
}

}  // namespace tarvo
