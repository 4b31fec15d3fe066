#include "tarvo/run.hpp"

#include <utility>

namespace tarvo {

Result<ScoreOptions> parse_option_texts(ScoreOptions options, const std::optional<std::string>& mapping,
                                        const std::optional<std::string>& groups) {
  auto spec = format_mapping(mapping);
  if (!spec) return std::unexpected(std::move(spec.error()));
  auto grouped = format_groups(groups);
  if (!grouped) return std::unexpected(std::move(grouped.error()));
  options.mapping = std::move(*spec);
  options.groups = std::move(*grouped);
  return options;
}

}  // namespace tarvo
