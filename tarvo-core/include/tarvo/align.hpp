// Global affine-gap alignment of two chains, by sequence or by residue number.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

#include "tarvo/error.hpp"  // ThrownError, which align_chains raises
#include "tarvo/model.hpp"

namespace tarvo {

// Three texts of equal length, one code point per column; '-' marks a gap.
struct Alignment {
  std::u32string first_aligned;
  std::u32string match_line;  // '|' equal, ' ' gap, '.' mismatch
  std::u32string second_aligned;
};

// The '.' columns: how far two sequences are from pairing.
inline std::size_t mismatches(const Alignment& alignment) {
  return static_cast<std::size_t>(std::ranges::count(alignment.match_line, U'.'));
}

// The most cells one alignment table may have (a byte each, seconds of work).
inline constexpr std::size_t kMaxAlignmentCells = std::size_t{1} << 28;

// Two identical symbol sequences align without a table. A pair whose table would
// exceed kMaxAlignmentCells is refused: the error is thrown as a ThrownError
// (alignments run inside parallel loops), naming both chains and their lengths.
Alignment align_chains(const Chain& first, const Chain& second, bool no_align);

// Whether the sequence alignment of the two chains (align_chains without
// no_align) is sure to hold more than `allowed` mismatches, found in
// O(n * m / 64) without the table: no alignment with that few mismatches can
// score as well as the gapless one. False when unsure.
bool surely_more_mismatches(const Chain& first, const Chain& second, std::size_t allowed);

}  // namespace tarvo
