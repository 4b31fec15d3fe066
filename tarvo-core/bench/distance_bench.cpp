// All-atom residue distance matrix of two 1000-residue chains on 1 and 2 threads.
// The chains are copies of the real 2GTP complex laid side by side, so each
// copy of chain A faces its copy of chain B and most residue pairs are far apart,
// as in a real large interface.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <tbb/global_control.h>

#include "tarvo/geometry.hpp"
#include "tarvo/reader.hpp"  // load_structure

namespace {

constexpr std::size_t kResidues = 1000;
constexpr float kCopyShift = 90.0f;  // Å between copies of the complex, wider than 2GTP itself
constexpr int kRepeats = 15;

// Residues of `chain`, copied with shifts of kCopyShift along x until `count` are collected.
std::vector<tarvo::Residue> replicate(const tarvo::Chain& chain, std::size_t count) {
  std::vector<tarvo::Residue> out;
  for (int copy = 0; out.size() < count; ++copy) {
    for (const tarvo::Residue& residue : chain.residues) {
      if (out.size() == count) break;
      tarvo::Residue shifted = residue;
      for (tarvo::Atom& atom : shifted.atoms) atom.x += kCopyShift * static_cast<float>(copy);
      out.push_back(std::move(shifted));
    }
  }
  return out;
}

std::vector<const tarvo::Residue*> refs(const std::vector<tarvo::Residue>& residues) {
  std::vector<const tarvo::Residue*> out;
  for (const tarvo::Residue& r : residues) out.push_back(&r);
  return out;
}

double median_ms(const tarvo::FlatGroup& a, const tarvo::FlatGroup& b) {
  std::vector<double> times;
  for (int k = 0; k < kRepeats; ++k) {
    auto start = std::chrono::steady_clock::now();
    tarvo::DistanceMatrix m = tarvo::residue_distances(a.points, b.points, a.counts, b.counts);
    auto stop = std::chrono::steady_clock::now();
    if (m.rows == 0) std::puts("empty matrix");
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::ranges::sort(times);
  return times[times.size() / 2];
}

}  // namespace

int main() {
  const std::vector<std::string> chains = {"A", "B"};
  auto native = tarvo::load_structure(TARVO_EXAMPLES_DIR "/2GTP_native.pdb", chains, false, 0);
  if (!native) {
    std::fprintf(stderr, "%s\n", native.error().message().c_str());
    return 1;
  }
  const std::vector<tarvo::Residue> first = replicate(*native->chain("A"), kResidues);
  const std::vector<tarvo::Residue> second = replicate(*native->chain("B"), kResidues);
  const tarvo::FlatGroup a = tarvo::group_coords_and_counts(refs(first));
  const tarvo::FlatGroup b = tarvo::group_coords_and_counts(refs(second));

  const tarvo::DistanceMatrix m = tarvo::residue_distances(a.points, b.points, a.counts, b.counts);
  std::printf("distance matrix %zu x %zu residues, %zu x %zu atoms; cells < 10 A (stored): %.2f%%\n", m.rows,
              m.cols, a.points.size(), b.points.size(),
              100.0 * static_cast<double>(m.stored()) / static_cast<double>(m.rows * m.cols));
  for (int threads : {1, 2}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    std::printf("  %d thread(s): median %.2f ms over %d runs\n", threads, median_ms(a, b), kRepeats);
  }
  return 0;
}
