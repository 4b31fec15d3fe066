// Best-mapping search on homo-oligomers of 4 to 24 identical chains, then on
// grids of 3,000 and 100,000 two-residue chains scored against themselves: time
// and peak memory per case. Each case runs in a child process of its own, so the
// peak resident size it prints belongs to that case alone.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "../tests/oligomer_models.hpp"
#include "tarvo/search.hpp"  // score_structures

namespace {

using namespace tarvo;
using namespace tarvo::oligomer;

// Times the search of `model` against `native` and prints it under `label`.
void run_search(const char* label, const Structure& model, const Structure& native) {
  auto start = std::chrono::steady_clock::now();
  auto result = score_structures(model, native, ScoreOptions{});
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%-21s  %8.3f s  peak RSS %7.1f MB  ", label, seconds, usage.ru_maxrss / 1024.0);
  if (result)
    std::printf("GlobalTarvo %.4f  %s\n", result->GlobalTarvo, result->best_mapping_str.c_str());
  else
    std::printf("error: %s\n", result.error().message().c_str());
  std::fflush(stdout);
}

void run_case(std::size_t chains, ModelKind kind) {
  Structure native = homo_native(chains);
  Structure model = make_model(native, kind, 7);
  char label[64];
  std::snprintf(label, sizeof label, "%2zu chains  %s", chains, kind_name(kind));
  run_search(label, model, native);
}

void run_grid(std::size_t chains) {
  Structure grid = grid_of_chains(chains);
  char label[64];
  std::snprintf(label, sizeof label, "%zu-chain grid", chains);
  run_search(label, grid, grid);
}

template <class Case>
void in_child(Case run) {
  pid_t child = fork();
  if (child == 0) {
    run();
    std::_Exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t largest = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 24;
  for (std::size_t chains : {4, 6, 8, 12, 24}) {
    if (chains > largest) continue;
    for (ModelKind kind : {ModelKind::NativeLike, ModelKind::Shuffled, ModelKind::PartlyWrong,
                           ModelKind::Random})
      in_child([&] { run_case(chains, kind); });
  }
  for (std::size_t chains : {3'000, 100'000}) in_child([&] { run_grid(chains); });
}
