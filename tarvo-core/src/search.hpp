// Scoring a model against a native under the best chain mapping: an exact
// branch-and-bound search over the mappings the options allow.
#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "error.hpp"         // Result
#include "mapping_text.hpp"  // MappingSpec, ChainMapping
#include "model.hpp"         // Structure, OrderedMap
#include "native_matrices.hpp"  // NativeMatrices
#include "tarvo.hpp"         // InterfaceResult

namespace tarvo {

struct ScoreOptions {
  // The mapping text as the caller parsed it once (format_mapping), or its error:
  // the error is the first thing a scoring call reports.
  Result<MappingSpec> mapping = MappingSpec{};
  std::uint64_t allowed_mismatches = 0;
  bool no_align = false;
  bool capri_peptide = false;
  bool small_molecule = false;
  // Chain groups scored as one interface (format_groups), or the text's error.
  Result<std::optional<ChainGroups>> groups = std::optional<ChainGroups>{};
};

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
};

// A stop request ends the search early with a Cancelled error. A caller scoring
// many models against one native passes one NativeMatrices for all of them.
Result<RunResult> score_structures(const Structure& model, const Structure& native,
                                   const ScoreOptions& options, std::stop_token stop = {},
                                   NativeMatrices* native_matrices = nullptr);

}  // namespace tarvo
