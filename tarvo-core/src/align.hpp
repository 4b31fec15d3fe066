// Global affine-gap alignment of two chains, by sequence or by residue number.
#pragma once

#include <string>

#include "model.hpp"

namespace tarvo {

// Three texts of equal length, one code point per column; '-' marks a gap.
struct Alignment {
  std::u32string first_aligned;
  std::u32string match_line;  // '|' equal, ' ' gap, '.' mismatch
  std::u32string second_aligned;
};

Alignment align_chains(const Chain& first, const Chain& second, bool no_align);

}  // namespace tarvo
