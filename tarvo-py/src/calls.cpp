#include "calls.hpp"

#include <array>
#include <cstddef>

#include "convert.hpp"
#include "mapping_text.hpp"  // format_mapping, format_groups

namespace tarvo::py {

namespace {

bool extract_mapping(PyObject* object, Result<MappingSpec>& out) {
  std::optional<std::string> text;
  if (!extract_optional_text(object, text)) return false;
  out = format_mapping(text);
  return true;
}

bool extract_groups(PyObject* object, Result<std::optional<ChainGroups>>& out) {
  std::optional<std::string> text;
  if (!extract_optional_text(object, text)) return false;
  out = format_groups(text);
  return true;
}

// The six options of ScoreOptions, in signature order from parameter `first`.
bool convert_options(const BoundArgs& bound, std::size_t first, ScoreOptions& options) {
  return convert(bound, first, extract_flag, options.no_align) &&
         convert(bound, first + 1, extract_flag, options.capri_peptide) &&
         convert(bound, first + 2, extract_flag, options.small_molecule) &&
         convert(bound, first + 3, extract_mapping, options.mapping) &&
         convert(bound, first + 4, extract_count, options.allowed_mismatches) &&
         convert(bound, first + 5, extract_groups, options.groups);
}

}  // namespace

std::optional<ScoreCall> read_score_call(PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 8> names{
      "model", "native", "no_align", "capri_peptide", "small_molecule", "mapping", "allowed_mismatches", "groups"};
  auto bound = bind_arguments("score", names, 2, args, kwargs);
  ScoreCall call;
  if (!bound || !convert(*bound, 0, extract_path, call.model) || !convert(*bound, 1, extract_path, call.native) ||
      !convert_options(*bound, 2, call.options))
    return std::nullopt;
  return call;
}

std::optional<ScorePairsCall> read_score_pairs_call(PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 7> names{
      "pairs", "no_align", "capri_peptide", "small_molecule", "mapping", "allowed_mismatches", "groups"};
  auto bound = bind_arguments("score_pairs", names, 1, args, kwargs);
  ScorePairsCall call;
  if (!bound || !convert(*bound, 0, extract_pair_list, call.pairs) || !convert_options(*bound, 1, call.options))
    return std::nullopt;
  return call;
}

std::optional<ScoreOneVsManyCall> read_score_one_vs_many_call(PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 8> names{
      "native", "models", "no_align", "capri_peptide", "small_molecule", "mapping", "allowed_mismatches", "groups"};
  auto bound = bind_arguments("score_one_vs_many", names, 2, args, kwargs);
  ScoreOneVsManyCall call;
  if (!bound || !convert(*bound, 0, extract_path, call.native) ||
      !convert(*bound, 1, extract_path_list, call.models) || !convert_options(*bound, 2, call.options))
    return std::nullopt;
  return call;
}

}  // namespace tarvo::py
