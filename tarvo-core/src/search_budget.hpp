// The chain-mapping search with its limits spelled out. score_structures runs
// it with the defaults below; smaller ones reach the budget error, the best
// mapping found, or the walk's own scoring of interface tuples, on structures
// small enough for a test.
#pragma once

#include <cstddef>
#include <stop_token>

#include "tarvo/error.hpp"  // Result
#include "tarvo/model.hpp"  // Structure
#include "tarvo/run.hpp"    // ScoreOptions, RunResult

namespace tarvo {

class NativeMatrices;

// The work a search may do before it gives up, in steps (see budget.hpp): one
// per partial assignment looked at and one per entry read while bounding it (a
// few ns each), kTupleCost per interface scored, and the set-up's share. The
// walk runs on one core: a billion steps take 5 to 7 s, so a search that
// exhausts the budget answers within 10 s. A native-like 24-mer needs under half.
inline constexpr std::size_t kStepBudget = 1'000'000'000;

// Up to this many interface tuples are all scored before the walk (a 24-mer has
// 33 000): exact values make the tightest bounds. Beyond it, tuples are scored
// as the walk reaches them.
inline constexpr std::size_t kUpfrontTuples = 50'000;

// score_structures with `step_budget` in place of kStepBudget, scoring every
// tuple before the walk only when there are at most `upfront_tuples`.
Result<RunResult> score_structures_with_budget(const Structure& model, const Structure& native,
                                               const ScoreOptions& options, std::size_t step_budget,
                                               std::size_t upfront_tuples, std::stop_token stop = {},
                                               NativeMatrices* native_matrices = nullptr);

}  // namespace tarvo
