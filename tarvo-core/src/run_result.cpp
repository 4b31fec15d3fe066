#include "run_result.hpp"

#include <algorithm>
#include <cmath>

#include "near_chains.hpp"  // near_pairs

namespace tarvo {

namespace {

constexpr const char* kNoInterfaces =
    "Could not find interfaces in the native. Check the inputs or select chains with --mapping.";

// The native chain pairs in contact with at least one chain unmapped; only near
// pairs reach a distance matrix.
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
  const float reach = contact_reach(capri_peptide);
  std::vector<std::pair<std::size_t, std::size_t>> near = near_pairs(chains, reach);
  std::erase_if(near, [&](const auto& pair) { return mapped[pair.first] && mapped[pair.second]; });
  std::vector<std::string> names;
  for (auto [i, j] : near)
    if (count_below(contact_distances(*chains[i], *chains[j]), cutoff) > 0)
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
