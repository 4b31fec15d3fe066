// The candidate table of a chain-mapping search: the fixed pairs, the anchors
// (the free chains of one side) and, per anchor, the chains of the other side
// that may pair with it.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "align.hpp"         // Alignment
#include "error.hpp"         // Result
#include "mapping_text.hpp"  // ChainMapping
#include "model.hpp"         // Structure
#include "search.hpp"        // ScoreOptions

namespace tarvo {

// Everything of a run up to the candidate table, shared by both searches.
struct Setup {
  ChainMapping fixed;
  bool native_anchors = true;
  std::vector<std::string> anchors;
  std::vector<std::string> candidates;
  std::vector<std::vector<std::size_t>> lists;  // per anchor, positions in `candidates`
  // Sequence alignments of the table that double as scoring alignments, by (model, native).
  std::map<std::pair<std::string, std::string>, Alignment> alignments;
};

// Refuses small molecules, then reports the options' mapping error, then builds the table.
Result<Setup> prepare_candidates(const Structure& model, const Structure& native,
                                 const ScoreOptions& options);

}  // namespace tarvo
