#include "mapping_text.hpp"

#include <cstddef>
#include <string_view>
#include <utility>

#include "utf8.hpp"  // next_code_point

namespace tarvo {

namespace {

constexpr const char* kNeedNativeChains =
    "When using --mapping, native chains must be set (e.g. ABC:ABC or :ABC)";

// One character (Unicode scalar) per entry, each kept as its original bytes.
std::vector<std::string> split_chars(std::string_view text) {
  std::vector<std::string> out;
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t start = pos;
    next_code_point(text, pos);
    out.emplace_back(text.substr(start, pos - start));
  }
  return out;
}

}  // namespace

Result<MappingSpec> format_mapping(const std::optional<std::string>& text) {
  MappingSpec spec;
  if (!text || text->empty()) return spec;
  std::string_view view = *text;
  std::size_t colon = view.find(':');
  if (colon == std::string_view::npos || colon + 1 == view.size())
    return fail(err::Mapping{kNeedNativeChains});
  std::string_view model_part = view.substr(0, colon);
  auto natives = split_chars(view.substr(colon + 1));
  if (model_part.empty() || model_part == "*") {
    spec.native_chains = std::move(natives);
    return spec;
  }
  auto models = split_chars(model_part);
  if (models.size() != natives.size()) return spec;
  for (std::size_t k = 0; k < models.size(); ++k)
    if (models[k] != "*" && natives[k] != "*") spec.fixed.insert_or_assign(natives[k], models[k]);
  if (models.back() != "*" && natives.back() != "*") {
    spec.model_chains = std::move(models);
    spec.native_chains = std::move(natives);
  }
  return spec;
}

std::string format_mapping_string(const ChainMapping& mapping) {
  std::string models, natives;
  for (const auto& [native_id, model_id] : mapping) {
    models += model_id;
    natives += native_id;
  }
  return models + ":" + natives;
}

}  // namespace tarvo
