// Best-mapping search on homo-oligomers of 4 to 24 identical chains: time and
// peak memory per case. Each case runs in a child process of its own, so the
// peak resident size it prints belongs to that case alone.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "../tests/oligomer_models.hpp"
#include "search.hpp"  // score_structures

namespace {

using namespace tarvo;
using namespace tarvo::oligomer;

void run_case(std::size_t chains, ModelKind kind) {
  Structure native = homo_native(chains);
  Structure model = make_model(native, kind, 7);
  auto start = std::chrono::steady_clock::now();
  auto result = score_structures(model, native, ScoreOptions{});
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%2zu chains  %-11s  %8.3f s  peak RSS %7.1f MB  ", chains, kind_name(kind), seconds,
              usage.ru_maxrss / 1024.0);
  if (result)
    std::printf("GlobalTarvo %.4f  %s\n", result->GlobalTarvo, result->best_mapping_str.c_str());
  else
    std::printf("error: %s\n", result.error().message().c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t largest = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 24;
  for (std::size_t chains : {4, 6, 8, 12, 24}) {
    if (chains > largest) continue;
    for (ModelKind kind : {ModelKind::NativeLike, ModelKind::Shuffled, ModelKind::PartlyWrong,
                           ModelKind::Random}) {
      pid_t child = fork();
      if (child == 0) {
        run_case(chains, kind);
        std::_Exit(0);
      }
      int status = 0;
      waitpid(child, &status, 0);
    }
  }
}
