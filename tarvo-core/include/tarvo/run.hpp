// The value types of one model-versus-native run: the options it is scored
// with and the result it gives. They sit below every layer that uses them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarvo/error.hpp"         // Result
#include "tarvo/mapping_text.hpp"  // MappingSpec, ChainGroups, ChainMapping
#include "tarvo/model.hpp"         // OrderedMap
#include "tarvo/tarvo.hpp"         // InterfaceResult

namespace tarvo {

// Valid values only: the texts behind `mapping` and `groups` were parsed by the
// caller (parse_option_texts), which reports a text that does not parse.
struct ScoreOptions {
  MappingSpec mapping;
  std::uint64_t allowed_mismatches = 0;
  bool no_align = false;
  bool capri_peptide = false;
  bool small_molecule = false;
  // A search that cannot prove its mapping best within the budget fails instead
  // of returning the best mapping found.
  bool exact = false;
  std::optional<ChainGroups> groups;  // chain groups scored as one interface
};

// `options` with its mapping and groups texts parsed, in that order: the first
// text that does not parse gives the error.
Result<ScoreOptions> parse_option_texts(ScoreOptions options, const std::optional<std::string>& mapping,
                                        const std::optional<std::string>& groups);

struct RunResult {
  std::string model;
  std::string native;
  std::string best_mapping_str;
  OrderedMap<std::string, InterfaceResult> best_result;  // by interface name, e.g. "AB"
  ChainMapping best_mapping;
  double best_tarvo = 0;
  double GlobalTarvo = 0;
  // Native interfaces (chains in contact, among those taking part) that the best
  // mapping cannot score because a native chain has no model chain, in native order.
  std::vector<std::string> missing_interfaces;
  // True when no other mapping scores higher (ties resolved in enumeration
  // order); else the budget ended the proof and `mapping_gap` bounds by how much
  // the best total may exceed `best_tarvo`.
  bool mapping_exact = true;
  double mapping_gap = 0.0;
};

}  // namespace tarvo
