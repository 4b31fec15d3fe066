// Scoring structure files: one pair, or many pairs in parallel on the oneTBB pool.
#pragma once

#include <span>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"
#include "search.hpp"  // ScoreOptions, RunResult

namespace tarvo {

struct BatchOutcome {
  std::string model;
  std::string native;
  Result<RunResult> result;
};

// After a stop request, work not yet done ends with a Cancelled error.
Result<RunResult> score_pair(const std::string& model_path, const std::string& native_path,
                             const ScoreOptions& options, std::stop_token stop = {});

// One outcome per input item, in input order; a failing item never fails the batch.
std::vector<BatchOutcome> score_pairs(std::span<const std::pair<std::string, std::string>> pairs,
                                      const ScoreOptions& options, std::stop_token stop = {});
std::vector<BatchOutcome> score_one_vs_many(const std::string& native_path,
                                            std::span<const std::string> model_paths,
                                            const ScoreOptions& options, std::stop_token stop = {});

}  // namespace tarvo
