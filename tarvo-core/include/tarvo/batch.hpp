// Scoring structure files: one pair, or many pairs in parallel on the oneTBB pool.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "tarvo/error.hpp"
#include "tarvo/run.hpp"  // ScoreOptions, RunResult

namespace tarvo {

struct BatchOutcome {
  std::string model;
  std::string native;
  Result<RunResult> result;
  std::optional<std::size_t> model_index{};  // which model of the file, when every model is scored
};

// After a stop request, work not yet done ends with a Cancelled error.
Result<RunResult> score_pair(const std::string& model_path, const std::string& native_path,
                             const ScoreOptions& options, std::stop_token stop = {});

// One outcome per input item, in input order; a failing item never fails the
// batch. `options` may be the error of an option text that did not parse: every
// item then reports it, as a run reports a malformed mapping text, before any
// file is read. With `all_models`, an item gives one outcome per model of its
// model file, in file order, each with its model_index (a file that cannot be
// read gives one outcome, index 0, with the error).
std::vector<BatchOutcome> score_pairs(std::span<const std::pair<std::string, std::string>> pairs,
                                      const Result<ScoreOptions>& options, std::stop_token stop = {},
                                      bool all_models = false);
std::vector<BatchOutcome> score_one_vs_many(const std::string& native_path,
                                            std::span<const std::string> model_paths,
                                            const Result<ScoreOptions>& options, std::stop_token stop = {},
                                            bool all_models = false);

// Takes each input item's outcomes (one, or with all_models one per model of its
// file) as soon as the item is done. Called from the pool's threads, possibly
// from several at once.
using OutcomeSink = std::function<void(std::size_t item, std::vector<BatchOutcome>&& outcomes)>;

// score_one_vs_many handing each model file's outcomes to `sink` as they come
// rather than all at the end. Items start in input order, so they finish in
// about that order.
void score_one_vs_many_each(const std::string& native_path, std::span<const std::string> model_paths,
                            const Result<ScoreOptions>& options, const OutcomeSink& sink,
                            std::stop_token stop = {}, bool all_models = false);

}  // namespace tarvo
