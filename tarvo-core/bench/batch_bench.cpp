// score_pair on real complexes, and score_one_vs_many throughput on one and on
// two threads.
#include <tbb/global_control.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tarvo/batch.hpp"

namespace {

using namespace tarvo;
using Clock = std::chrono::steady_clock;

const std::string kExamples = TARVO_EXAMPLES_DIR;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void time_pair(const char* label, const std::string& model, const std::string& native,
               std::optional<std::string> mapping, int repeats) {
  ScoreOptions options;
  options.mapping = format_mapping(mapping).value();
  double best = 1e9;
  std::string outcome;
  for (int i = 0; i < repeats; ++i) {
    auto start = Clock::now();
    auto result = score_pair(model, native, options);
    best = std::min(best, seconds_since(start));
    outcome = result ? "GlobalTarvo " + std::to_string(result->GlobalTarvo) + " " + result->best_mapping_str
                     : "error: " + result.error().message();
  }
  std::printf("score_pair %-34s best of %d: %8.1f ms  %s\n", label, repeats, best * 1e3, outcome.c_str());
}

void throughput(std::size_t threads) {
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
  std::vector<std::string> models(200, kExamples + "/2GTP_model.pdb");
  auto start = Clock::now();
  auto outcomes = score_one_vs_many(kExamples + "/2GTP_native.pdb", models, {});
  double elapsed = seconds_since(start);
  std::size_t ok = 0;
  for (const auto& o : outcomes) ok += o.result.has_value();
  std::printf("score_one_vs_many 200 x 2GTP, %zu thread(s): %6.2f s  %6.1f pairs/s  (%zu ok)\n", threads,
              elapsed, outcomes.size() / elapsed, ok);
}

}  // namespace

int main() {
  time_pair("2GTP (2 chains)", kExamples + "/2GTP_model.pdb", kExamples + "/2GTP_native.pdb",
            std::nullopt, 5);
  time_pair("homo24 6 native chains of 24", kExamples + "/homo24_native.pdb.gz",
            kExamples + "/homo24_native.pdb.gz", ":ABCDEF", 3);
  time_pair("homo24 all 24 chains", kExamples + "/homo24_native.pdb.gz",
            kExamples + "/homo24_native.pdb.gz", std::nullopt, 1);
  throughput(1);
  throughput(2);
}
