// The RunResult of the selected mapping, as the search and the plain
// enumeration both build it.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "tarvo/error.hpp"         // Result
#include "tarvo/mapping_text.hpp"  // ChainMapping
#include "tarvo/model.hpp"         // Structure, OrderedMap
#include "tarvo/run.hpp"           // RunResult
#include "tarvo/tarvo.hpp"         // InterfaceResult
#include "candidates.hpp"          // Setup

namespace tarvo {

inline constexpr const char* kNoMapping = "No valid chain mapping could be enumerated";
inline constexpr const char* kAllUndefined =
    "No chain mapping produced a defined score: an interface has no backbone atoms in common "
    "between model and native (iRMSD or LRMSD undefined)";

using Tuple = std::array<std::string, 4>;  // model i, model j, native i, native j

// Calls visit(tuple) for every two entries of the mapping, in mapping order,
// whose model chains differ.
template <class Visit>
void for_each_pair(const ChainMapping& mapping, Visit visit) {
  std::vector<std::pair<const std::string*, const std::string*>> entries;
  for (const auto& [native_id, model_id] : mapping) entries.emplace_back(&native_id, &model_id);
  for (std::size_t i = 0; i < entries.size(); ++i)
    for (std::size_t j = i + 1; j < entries.size(); ++j)
      if (*entries[i].second != *entries[j].second)
        visit(Tuple{*entries[i].second, *entries[j].second, *entries[i].first, *entries[j].first});
}

// The run of `mapping` with its interfaces' results and their summed score, and
// the native interfaces it leaves unscored.
Result<RunResult> finish(const Structure& model, const Structure& native, const Setup& setup,
                         bool capri_peptide, ChainMapping mapping,
                         OrderedMap<std::string, InterfaceResult> results, double total);

}  // namespace tarvo
