#include "tarvo/interfaces.hpp"

#include <cstddef>
#include <utility>
#include <vector>

#include "tarvo/align.hpp"  // align_chains

namespace tarvo {

Result<std::optional<InterfaceResult>> run_on_chains(const Chain& model1, const Chain& model2,
                                                     const Chain& native1, const Chain& native2,
                                                     bool no_align, bool capri_peptide,
                                                     bool small_molecule) {
  if (small_molecule) return fail(err::SmallMoleculeUnsupported{});
  Alignment alignment1 = align_chains(model1, native1, no_align);
  Alignment alignment2 = align_chains(model2, native2, no_align);
  return calc_tarvo(model1, model2, native1, native2, alignment1, alignment2, capri_peptide);
}

Result<NativeInterfacesRun> run_on_native_interfaces(const Structure& model, const Structure& native,
                                                     const ChainMapping& chain_map, bool no_align,
                                                     bool capri_peptide) {
  std::vector<std::pair<const std::string*, const std::string*>> entries;
  for (const auto& [native_id, model_id] : chain_map) entries.emplace_back(&native_id, &model_id);
  NativeInterfacesRun run;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    for (std::size_t j = i + 1; j < entries.size(); ++j) {
      const std::string& native_i = *entries[i].first;
      const std::string& native_j = *entries[j].first;
      const std::string& model_i = *entries[i].second;
      const std::string& model_j = *entries[j].second;
      if (model_i == model_j) continue;
      const Chain* n1 = native.chain(native_i);
      if (!n1) return std::unexpected(chain_not_found(native, "native", native_i));
      const Chain* n2 = native.chain(native_j);
      if (!n2) return std::unexpected(chain_not_found(native, "native", native_j));
      const Chain* m1 = model.chain(model_i);
      if (!m1) return std::unexpected(chain_not_found(model, "model", model_i));
      const Chain* m2 = model.chain(model_j);
      if (!m2) return std::unexpected(chain_not_found(model, "model", model_j));
      bool het = n1->het_name.has_value() || n2->het_name.has_value();
      auto result = run_on_chains(*m1, *m2, *n1, *n2, no_align, capri_peptide, het);
      if (!result) return std::unexpected(result.error());
      if (!*result) continue;
      InterfaceResult interface = std::move(**result);
      interface.chain1 = model_i;
      interface.chain2 = model_j;
      run.interfaces.push_back(NativeInterface{native_i, native_j, std::move(interface)});
    }
  }
  run.total = -0.0;
  for (const NativeInterface& interface : run.interfaces) run.total += interface.result.Tarvo;
  return run;
}

std::vector<UnlikePair> unlike_pairs(const Structure& model, const Structure& native, const ChainMapping& mapping,
                                     std::uint64_t allowed_mismatches) {
  std::vector<UnlikePair> out;
  for (const auto& [native_id, model_id] : mapping) {
    const Chain* n = native.chain(native_id);
    const Chain* m = model.chain(model_id);
    if (!n || !m || n->het_name || m->het_name || n->sequence == m->sequence) continue;
    // Compared as the search compares a model chain with a native chain.
    const std::size_t count = mismatches(align_chains(*m, *n, false));
    if (count > allowed_mismatches) out.push_back(UnlikePair{native_id, model_id, count});
  }
  return out;
}

}  // namespace tarvo
