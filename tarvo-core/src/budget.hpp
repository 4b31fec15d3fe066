// The work budget of a chain-mapping search. Every part of it draws on one count
// of steps (a few ns each): the candidate table, the bound tables, the contact
// matrices, the interfaces scored and the walk, so no search runs on past it,
// however many chains it is given.
#pragma once

#include <cstddef>
#include <limits>
#include <string>

#include "tarvo/error.hpp"  // TarvoError

namespace tarvo {

// Steps charged per kind of work, each about its time or its bytes held.
inline constexpr std::size_t kCompareCost = 16;       // a pair of chains in the candidate table, and its entry
inline constexpr std::size_t kAlignCost = 64;         // an alignment's set-up; each of its cells costs one more
inline constexpr std::size_t kBoundEntryCost = 8;     // a double of the walk's bound tables
inline constexpr std::size_t kPairCost = 32;          // two choices one mapping may hold together, and their key
inline constexpr std::size_t kResiduePairCost = 1;    // a residue pair of a distance matrix (under 1 ns, 4 bytes)
// An interface scored: about 40 µs for a 115-residue pair.
inline constexpr std::size_t kTupleCost = 8'000;

struct Budget {
  std::size_t spent = 0;
  std::size_t limit = std::numeric_limits<std::size_t>::max();

  // Adds `steps` (saturating); false once more than the limit is spent.
  bool charge(std::size_t steps) {
    constexpr std::size_t kMost = std::numeric_limits<std::size_t>::max();
    spent = steps > kMost - spent ? kMost : spent + steps;
    return spent <= limit;
  }
  bool exceeded() const { return spent > limit; }
};

// The error of a search that ran out of budget; `cause` says what made it large,
// e.g. "24 chains were interchangeable".
TarvoError budget_error(const Budget& budget, const std::string& cause);

}  // namespace tarvo
