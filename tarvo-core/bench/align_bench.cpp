// Time and memory of align_chains on random protein sequences of growing size;
// then the same pair again, which the memo of made alignments answers.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>

#include "tarvo/align.hpp"

namespace {

// Every heap allocation of the process is counted, so the peak during one
// call is what the alignment itself allocates (tables, rows, result texts).
std::size_t live_bytes = 0;
std::size_t peak_bytes = 0;

void* counted_alloc(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  live_bytes += malloc_usable_size(p);
  peak_bytes = std::max(peak_bytes, live_bytes);
  return p;
}

void counted_free(void* p) {
  if (!p) return;
  live_bytes -= malloc_usable_size(p);
  std::free(p);
}

long max_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

tarvo::Chain random_chain(std::size_t length, std::mt19937& rng) {
  static constexpr char kAminoAcids[] = "ACDEFGHIKLMNPQRSTVWY";
  std::uniform_int_distribution<int> letter(0, 19);
  tarvo::Chain chain;
  chain.id = "A";
  for (std::size_t i = 0; i < length; ++i) chain.sequence += kAminoAcids[letter(rng)];
  return chain;
}

}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

int main() {
  constexpr int kRepeats = 3;
  std::mt19937 rng(2024);
  std::printf("%-11s %12s %12s %16s %18s\n", "size", "best ms", "mean ms", "peak alloc MB",
              "max RSS delta MB");
  // Sizes run in increasing order, so each RSS high-water mark belongs to the current size.
  for (std::size_t length : {300, 1000, 3000}) {
    const tarvo::Chain second = random_chain(length, rng);
    tarvo::Chain first;
    const long rss_before = max_rss_kib();
    const std::size_t live_before = live_bytes;
    peak_bytes = live_bytes;
    double best = 1e300, total = 0;
    std::size_t columns = 0;
    for (int r = 0; r < kRepeats; ++r) {
      first = random_chain(length, rng);  // a pair not aligned before
      const auto start = std::chrono::steady_clock::now();
      const tarvo::Alignment alignment = tarvo::align_chains(first, second, false);
      const std::chrono::duration<double, std::milli> took =
          std::chrono::steady_clock::now() - start;
      columns = alignment.match_line.size();
      best = std::min(best, took.count());
      total += took.count();
    }
    const std::string size = std::to_string(length) + "x" + std::to_string(length);
    std::printf("%-11s %12.2f %12.2f %16.2f %18.2f   (%zu columns)\n", size.c_str(), best,
                total / kRepeats, (peak_bytes - live_before) / 1e6,
                (max_rss_kib() - rss_before) / 1024.0, columns);
    const auto start = std::chrono::steady_clock::now();
    tarvo::align_chains(first, second, false);
    const std::chrono::duration<double, std::milli> again = std::chrono::steady_clock::now() - start;
    std::printf("%-11s %12.3f   (the same pair again)\n", size.c_str(), again.count());
  }
  std::printf("three full score and flag tables for 3000x3000 would take %.1f MB\n",
              27.0 * 3001 * 3001 / 1e6);
}
