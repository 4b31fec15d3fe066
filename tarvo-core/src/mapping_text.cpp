#include "tarvo/mapping_text.hpp"

#include <algorithm>
#include <cstddef>
#include <unordered_set>
#include <utility>

#include "utf8.hpp"  // next_code_point

namespace tarvo {

namespace {

constexpr const char* kNeedNativeChains =
    "When using --mapping, native chains must be set (e.g. ABC:ABC or :ABC)";
constexpr const char* kExpected =
    "expected model chains, ':', native chains, one character per chain (e.g. BA:AB) or chain ids "
    "joined by ',' (e.g. B2,AA:A,B), a lone '*' for chains left to the search (e.g. AB*:AB* or "
    "H,L,*:H,L,*), or native chains alone (e.g. :AB)";
constexpr const char* kUnnamable =
    "; a chain id that holds ',', ':', '*' or white space cannot be named in a mapping text";

TarvoError bad_text(std::string_view text, const std::string& what) {
  return TarvoError{err::Mapping{"mapping text " + quoted(text) + ": " + what + "; " + kExpected}};
}

std::string chains(std::size_t count, const char* side) {
  return std::to_string(count) + " " + side + (count == 1 ? " chain" : " chains");
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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

std::vector<std::string> split_commas(std::string_view text) {
  std::vector<std::string> out;
  for (std::size_t start = 0;;) {
    std::size_t comma = std::min(text.find(',', start), text.size());
    out.emplace_back(text.substr(start, comma - start));
    if (comma == text.size()) return out;
    start = comma + 1;
  }
}

// The chain ids of one side; in the comma form every id is non-empty and a
// "*" stands alone.
Result<std::vector<std::string>> split_side(std::string_view text, std::string_view part, bool comma) {
  if (!comma) return split_chars(part);
  auto ids = split_commas(part);
  for (const auto& id : ids) {
    if (id.empty()) return std::unexpected(bad_text(text, std::string("an empty chain id") + kUnnamable));
    if (id != "*" && id.find('*') != std::string::npos)
      return std::unexpected(bad_text(text, "chain id " + quoted(id) + " holds '*'" + kUnnamable));
  }
  return ids;
}

std::optional<std::string> repeated_id(const std::vector<std::string>& ids) {
  std::unordered_set<std::string_view> seen;
  for (const auto& id : ids)
    if (id != "*" && !seen.insert(id).second) return id;
  return std::nullopt;
}

// A side's chains as a list of the chains taking part, or none when it holds a
// "*": any chain of that structure may then take part.
std::optional<std::vector<std::string>> chain_list(std::vector<std::string> ids) {
  if (std::ranges::find(ids, "*") != ids.end()) return std::nullopt;
  return ids;
}

constexpr const char* kGroupsExpected =
    "expected receptor chains, ':', ligand chains, native chain ids one character per chain (e.g. HL:A) "
    "or joined by ',' (e.g. H1,L1:AG), each chain named once";

TarvoError bad_groups(std::string_view text, const std::string& what) {
  return TarvoError{err::Mapping{"groups text " + quoted(text) + ": " + what + "; " + kGroupsExpected}};
}

Result<std::vector<std::string>> group_side(std::string_view text, std::string_view part, bool comma,
                                            const char* side) {
  if (part.empty()) return std::unexpected(bad_groups(text, std::string("the ") + side + " has no chain"));
  auto ids = comma ? split_commas(part) : split_chars(part);
  if (std::ranges::find(ids, "") != ids.end()) return std::unexpected(bad_groups(text, "an empty chain id"));
  return ids;
}

}  // namespace

Result<std::optional<ChainGroups>> format_groups(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::string_view view = *text;
  if (std::ranges::any_of(view, is_space)) return std::unexpected(bad_groups(view, "white space"));
  if (std::ranges::count(view, ':') != 1) return std::unexpected(bad_groups(view, "not exactly one ':'"));
  const std::size_t colon = view.find(':');
  const bool comma = view.find(',') != std::string_view::npos;
  auto receptor = group_side(view, view.substr(0, colon), comma, "receptor");
  if (!receptor) return std::unexpected(receptor.error());
  auto ligand = group_side(view, view.substr(colon + 1), comma, "ligand");
  if (!ligand) return std::unexpected(ligand.error());
  std::unordered_set<std::string_view> seen;
  for (const auto* side : {&*receptor, &*ligand})
    for (const auto& id : *side)
      if (!seen.insert(id).second) return std::unexpected(bad_groups(view, "chain " + quoted(id) + " is named twice"));
  return ChainGroups{std::string(view), std::move(*receptor), std::move(*ligand)};
}

ChainText chain_text(const Structure& model, const Structure& native) {
  auto one_character = [](const std::string& id) {
    std::size_t pos = 0;
    if (!id.empty()) next_code_point(id, pos);
    return !id.empty() && pos == id.size();
  };
  for (const Structure* structure : {&model, &native})
    for (const auto& [id, chain] : structure->chains)
      if (!one_character(id)) return ChainText::Comma;
  return ChainText::OneCharacter;
}

Result<MappingSpec> format_mapping(const std::optional<std::string>& text) {
  MappingSpec spec;
  if (!text || text->empty()) return spec;
  std::string_view view = *text;
  if (std::ranges::any_of(view, is_space))
    return std::unexpected(bad_text(view, std::string("white space") + kUnnamable));
  if (std::ranges::count(view, ':') > 1)
    return std::unexpected(bad_text(view, std::string("more than one ':'") + kUnnamable));
  std::size_t colon = view.find(':');
  if (colon == std::string_view::npos || colon + 1 == view.size())
    return fail(err::Mapping{kNeedNativeChains});
  const bool comma = view.find(',') != std::string_view::npos;
  std::string_view model_part = view.substr(0, colon);
  auto natives = split_side(view, view.substr(colon + 1), comma);
  if (!natives) return std::unexpected(natives.error());
  if (model_part.empty() || model_part == "*") {
    spec.native_chains = chain_list(std::move(*natives));
    return spec;
  }
  auto models = split_side(view, model_part, comma);
  if (!models) return std::unexpected(models.error());
  if (models->size() != natives->size())
    return std::unexpected(bad_text(view, chains(models->size(), "model") + " for " +
                                              chains(natives->size(), "native") +
                                              "; give one model chain per native chain"));
  if (auto twice = repeated_id(*models))
    return std::unexpected(bad_text(view, "model chain " + quoted(*twice) +
                                              " is named twice; a model chain stands for one native chain"));
  if (auto twice = repeated_id(*natives))
    return std::unexpected(bad_text(view, "native chain " + quoted(*twice) +
                                              " is named twice; a native chain has one model chain"));
  for (std::size_t k = 0; k < models->size(); ++k)
    if ((*models)[k] != "*" && (*natives)[k] != "*") spec.fixed.insert_or_assign((*natives)[k], (*models)[k]);
  // A trailing "*" leaves every chain of both structures to the search; one
  // inside a side frees that side's chains alone.
  if (models->back() != "*" && natives->back() != "*") {
    spec.model_chains = chain_list(std::move(*models));
    spec.native_chains = chain_list(std::move(*natives));
  }
  return spec;
}

std::string format_mapping_string(const ChainMapping& mapping, ChainText form) {
  const char* separator = form == ChainText::Comma ? "," : "";
  std::string models, natives;
  bool first = true;
  for (const auto& [native_id, model_id] : mapping) {
    if (!std::exchange(first, false)) {
      models += separator;
      natives += separator;
    }
    models += model_id;
    natives += native_id;
  }
  return models + ":" + natives;
}

std::optional<char> unnamable_character(std::string_view id) {
  auto bad = std::ranges::find_if(id, [](char c) { return c == ',' || c == ':' || c == '*' || is_space(c); });
  if (bad == id.end()) return std::nullopt;
  return *bad;
}

std::string interface_name(std::string_view native1, std::string_view native2, ChainText form) {
  std::string name(native1);
  if (form == ChainText::Comma) name += ',';
  name += native2;
  return name;
}

}  // namespace tarvo
