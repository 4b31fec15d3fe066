// The best chain-mapping search and runs over a given mapping.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "interfaces.hpp"
#include "mapping_text.hpp"
#include "model.hpp"
#include "tarvo.hpp"

namespace tarvo {

struct ScoreOptions {
  // The mapping text as the caller parsed it once (format_mapping), or its error:
  // the error is the first thing a scoring call reports.
  Result<MappingSpec> mapping = MappingSpec{};
  std::uint64_t allowed_mismatches = 0;
  bool no_align = false;
  bool capri_peptide = false;
  bool small_molecule = false;
};

struct RunResult {
  std::string model;
  std::string native;
  std::string best_mapping_str;
  OrderedMap<std::string, InterfaceResult> best_result;  // by interface name, e.g. "AB"
  ChainMapping best_mapping;
  double best_tarvo = 0;
  double GlobalTarvo = 0;
};

Result<RunResult> score_structures(const Structure& model, const Structure& native,
                                   const ScoreOptions& options);

}  // namespace tarvo
