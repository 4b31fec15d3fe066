#include "run_result.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>

namespace tarvo {

namespace {

constexpr const char* kNoInterfaces =
    "Could not find interfaces in the native. Check the inputs or select chains with --mapping.";

struct Box {
  std::array<float, 3> low{std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                           std::numeric_limits<float>::max()};
  std::array<float, 3> high{std::numeric_limits<float>::lowest(), std::numeric_limits<float>::lowest(),
                            std::numeric_limits<float>::lowest()};
};

Box box_of(const Chain& chain) {
  Box box;
  for (const Residue& residue : chain.residues)
    for (const Atom& atom : residue.atoms) {
      const std::array<float, 3> point{atom.x, atom.y, atom.z};
      for (std::size_t k = 0; k < 3; ++k) {
        box.low[k] = std::min(box.low[k], point[k]);
        box.high[k] = std::max(box.high[k], point[k]);
      }
    }
  return box;
}

// The native chain pairs in contact with at least one chain unmapped. Boxes
// around the chains, swept along x, leave only near pairs to the distance
// matrices, so a native of thousands of chains costs no more than its contacts.
std::vector<std::string> missing_interfaces(const Structure& native, const Setup& setup,
                                            const ChainMapping& mapping, bool capri_peptide) {
  const std::vector<std::string>& ids = setup.natives;
  std::vector<const Chain*> chains;
  std::vector<char> mapped;
  for (const auto& id : ids) {
    chains.push_back(native.chain(id));
    mapped.push_back(mapping.contains(id) || !chains.back());  // a missing chain has no interface
  }
  if (std::ranges::all_of(mapped, [](char m) { return m; })) return {};
  const float cutoff = contact_cutoff(capri_peptide);
  const float reach = std::sqrt(cutoff) + 0.01f;  // beyond it no two atoms touch
  std::vector<Box> boxes;
  for (const Chain* chain : chains) boxes.push_back(chain ? box_of(*chain) : Box{});
  std::vector<std::size_t> order(ids.size());
  std::iota(order.begin(), order.end(), 0);
  std::ranges::sort(order, [&](std::size_t a, std::size_t b) { return boxes[a].low[0] < boxes[b].low[0]; });
  std::vector<std::pair<std::size_t, std::size_t>> near;
  for (std::size_t p = 0; p < order.size(); ++p)
    for (std::size_t q = p + 1; q < order.size() && boxes[order[q]].low[0] <= boxes[order[p]].high[0] + reach; ++q) {
      const std::size_t a = order[p], b = order[q];
      if (mapped[a] && mapped[b]) continue;
      bool overlap = true;
      for (std::size_t k = 1; k < 3; ++k)
        overlap = overlap && boxes[a].low[k] <= boxes[b].high[k] + reach && boxes[b].low[k] <= boxes[a].high[k] + reach;
      if (overlap) near.emplace_back(std::min(a, b), std::max(a, b));
    }
  std::ranges::sort(near);
  std::vector<std::string> names;
  for (auto [i, j] : near)
    if (count_below(native_distances(*chains[i], *chains[j]), cutoff) > 0)
      names.push_back(interface_name(ids[i], ids[j], setup.form));
  return names;
}

}  // namespace

Result<RunResult> finish(const Structure& model, const Structure& native, const Setup& setup,
                         bool capri_peptide, ChainMapping mapping,
                         OrderedMap<std::string, InterfaceResult> results, double total) {
  auto missing = missing_interfaces(native, setup, mapping, capri_peptide);
  if (results.empty()) {
    if (missing.empty()) return fail(err::Mapping{kNoInterfaces});
    // The native has interfaces: what failed is the model, which lacks their chains.
    std::string names;
    for (const auto& name : missing) names += (names.empty() ? "" : ", ") + name;
    return fail(err::Mapping{"No native interface could be scored: every one (" + names +
                             ") has a native chain without a model chain in the best mapping " +
                             format_mapping_string(mapping, setup.form)});
  }
  RunResult run;
  run.model = model.id;
  run.native = native.id;
  run.best_mapping_str = format_mapping_string(mapping, setup.form);
  run.missing_interfaces = std::move(missing);
  run.best_mapping = std::move(mapping);
  run.best_tarvo = total;
  run.GlobalTarvo = total / static_cast<double>(results.size());
  run.best_result = std::move(results);
  return run;
}

}  // namespace tarvo
