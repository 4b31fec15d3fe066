// Best-mapping search on homo-oligomers of 4 to 24 identical chains, then on
// grids of 3,000 and 100,000 two-residue chains scored against themselves, then
// on large assemblies: icosahedral capsids built from the 24-chain example, many
// distinct or fixed chains, and homodimers of very long chains. Time and peak
// memory per case; each case runs in a child process of its own, so the peak
// resident size it prints belongs to that case alone. `mapping_bench 12` stops
// the oligomers at 12 chains; `mapping_bench large` runs the large cases only.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tarvo/search.hpp"  // score_structures
#include "../tests/oligomer_models.hpp"

namespace {

using namespace tarvo;
using namespace tarvo::oligomer;

// Times the search of `model` against `native` and prints it under `label`.
void run_search(const char* label, const Structure& model, const Structure& native,
                const ScoreOptions& options = {}) {
  auto start = std::chrono::steady_clock::now();
  auto result = score_structures(model, native, options);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%-30s  %8.3f s  peak RSS %7.1f MB  ", label, seconds, usage.ru_maxrss / 1024.0);
  if (result && result->best_mapping_str.size() > 40)
    std::printf("GlobalTarvo %.4f  %s\n", result->GlobalTarvo,
                result->mapping_exact ? "exact" : ("gap " + std::to_string(result->mapping_gap)).c_str());
  else if (result)
    std::printf("GlobalTarvo %.4f  %s  %s\n", result->GlobalTarvo, result->best_mapping_str.c_str(),
                result->mapping_exact ? "exact" : ("gap " + std::to_string(result->mapping_gap)).c_str());
  else
    std::printf("error: %s\n", result.error().message().c_str());
  std::fflush(stdout);
}

void run_case(std::size_t chains, ModelKind kind) {
  Structure native = homo_native(chains);
  Structure model = make_model(native, kind, 7);
  char label[96];
  std::snprintf(label, sizeof label, "%2zu chains  %s", chains, kind_name(kind));
  run_search(label, model, native);
}

void run_grid(std::size_t chains) {
  Structure grid = grid_of_chains(chains);
  char label[96];
  std::snprintf(label, sizeof label, "%zu-chain grid", chains);
  run_search(label, grid, grid);
}

ScoreOptions with_mapping(const std::string& text) {
  ScoreOptions options;
  options.mapping = format_mapping(text).value();
  return options;
}

// A capsid of `copies` copies of a three-chain unit against a model of it with
// shuffled names and `noise` Å on every coordinate; with `fixed`, every chain
// fixed by the mapping text. The true mapping's score is printed beside it.
void run_capsid(std::size_t copies, double noise, bool distinct, bool fixed) {
  Structure native = capsid(copies);
  if (distinct) make_sequences_distinct(native);
  Structure moved = native;
  if (noise > 0) add_noise(moved, noise, 5);
  std::string truth;
  Structure model = renamed(moved, 3, truth);
  char label[96];
  std::snprintf(label, sizeof label, "%zu-chain capsid%s%s", 3 * copies, distinct ? " distinct" : "",
                fixed ? " fixed" : noise > 0 ? " noisy" : " renamed");
  run_search(label, model, native, fixed ? with_mapping(truth) : ScoreOptions{});
  if (noise > 0 && !fixed) {
    auto true_run = score_structures(model, native, with_mapping(truth));
    if (true_run)
      std::printf("%-30s  true mapping's GlobalTarvo %.4f\n", "", true_run->GlobalTarvo);
    else
      std::printf("%-30s  true mapping: %s\n", "", true_run.error().message().c_str());
    std::fflush(stdout);
  }
}

// A homodimer of two identical chains of `length` residues, each the chains of
// one half of the 24-chain example joined and repeated at 200 Å steps.
void run_long_dimer(std::size_t length, const char* mapping) {
  Structure cage = homo_native(24);
  Structure dimer;
  dimer.id = "dimer";
  for (std::size_t half = 0; half < 2; ++half) {
    Chain chain{half == 0 ? "A" : "B", {}, "", std::nullopt};
    for (int copy = 0; chain.residues.size() < length; ++copy)
      for (std::size_t k = 12 * half; k < 12 * half + 12 && chain.residues.size() < length; ++k)
        for (Residue residue : cage.chains.at(std::string(1, static_cast<char>('A' + k))).residues) {
          if (chain.residues.size() == length) break;
          residue.number = static_cast<std::int64_t>(chain.residues.size()) + 1;
          for (Atom& atom : residue.atoms) atom.x += 200.0f * static_cast<float>(copy);
          chain.sequence += residue.code;
          chain.residues.push_back(std::move(residue));
        }
    dimer.chains.insert_or_assign(chain.id, std::move(chain));
  }
  char label[96];
  std::snprintf(label, sizeof label, "%zu-residue dimer%s%s", length, mapping ? " " : "", mapping ? mapping : "");
  run_search(label, dimer, dimer, mapping ? with_mapping(mapping) : ScoreOptions{});
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

// The large cases, or only the one numbered `only` (from 1).
void run_large_cases(std::size_t only = 0) {
  void (*const cases[])() = {
      [] { run_capsid(20, 0.0, false, false); }, [] { run_capsid(20, 0.7, false, false); },
      [] { run_capsid(60, 0.7, false, false); }, [] { run_capsid(40, 0.0, true, false); },
      [] { run_capsid(40, 0.7, true, false); },  [] { run_capsid(48, 0.0, false, true); },
      [] { run_long_dimer(8'280, nullptr); },    [] { run_long_dimer(16'000, "AB:AB"); },
  };
  for (std::size_t k = 0; k < std::size(cases); ++k)
    if (only == 0 || only == k + 1) in_child(cases[k]);
}

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "large") == 0) {
    run_large_cases(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0);
    return 0;
  }
  std::size_t largest = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 24;
  for (std::size_t chains : {4, 6, 8, 12, 24}) {
    if (chains > largest) continue;
    for (ModelKind kind : {ModelKind::NativeLike, ModelKind::Shuffled, ModelKind::PartlyWrong,
                           ModelKind::Random})
      in_child([&] { run_case(chains, kind); });
  }
  for (std::size_t chains : {3'000, 100'000}) in_child([&] { run_grid(chains); });
  run_large_cases();
}
