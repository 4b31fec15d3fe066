#include "tarvo/run.hpp"

#include <algorithm>
#include <utility>

namespace tarvo {

namespace {

// Grouped chains take part whatever the mapping text names: a chain list that
// leaves one out gains it, and then any model chain may stand for it.
void take_grouped_chains(MappingSpec& spec, const ChainGroups& groups) {
  if (!spec.native_chains) return;
  for (const auto* side : {&groups.receptor, &groups.ligand})
    for (const auto& id : *side)
      if (std::ranges::find(*spec.native_chains, id) == spec.native_chains->end()) {
        spec.native_chains->push_back(id);
        spec.model_chains.reset();
      }
}

}  // namespace

Result<ScoreOptions> parse_option_texts(ScoreOptions options, const std::optional<std::string>& mapping,
                                        const std::optional<std::string>& groups) {
  auto spec = format_mapping(mapping);
  if (!spec) return std::unexpected(std::move(spec.error()));
  auto grouped = format_groups(groups);
  if (!grouped) return std::unexpected(std::move(grouped.error()));
  options.mapping = std::move(*spec);
  options.groups = std::move(*grouped);
  if (options.groups) take_grouped_chains(options.mapping, *options.groups);
  return options;
}

}  // namespace tarvo
