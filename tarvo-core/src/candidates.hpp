// The candidate table of a chain-mapping search: the fixed pairs, the anchors
// (the free chains of one side) and, per anchor, the chains of the other side
// that may pair with it.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tarvo/align.hpp"         // Alignment
#include "tarvo/error.hpp"         // Result
#include "tarvo/mapping_text.hpp"  // ChainMapping, ChainText
#include "tarvo/model.hpp"         // Structure
#include "tarvo/run.hpp"           // ScoreOptions
#include "budget.hpp"              // Budget

namespace tarvo {

// Everything of a run up to the candidate table, shared by both searches.
struct Setup {
  ChainText form = ChainText::OneCharacter;
  std::vector<std::string> natives;  // the native chains taking part, in order
  ChainMapping fixed;
  bool native_anchors = true;
  std::vector<std::string> anchors;
  std::vector<std::string> candidates;
  std::vector<std::vector<std::size_t>> lists;  // per anchor, positions in `candidates`
  // Sequence alignments of the table that double as scoring alignments, by (model, native).
  std::map<std::pair<std::string, std::string>, Alignment> alignments;
};

// Refuses small molecules, then builds the table, charging its comparisons and entries to `budget`.
Result<Setup> prepare_candidates(const Structure& model, const Structure& native,
                                 const ScoreOptions& options, Budget& budget);

// The budget error of a search over this table: how many anchors had a choice.
TarvoError interchangeable_error(const Budget& budget, const Setup& setup);

}  // namespace tarvo
