// Mappings guessed from the geometry, for the walk to start from: superpose the
// model on the native through one model chain and the native chain it may stand
// for, then give each anchor the choice that lands nearest it.
#pragma once

#include <cstddef>
#include <vector>

#include "layout.hpp"  // Layout, Index

namespace tarvo {

// Complete assignments (per anchor, its choice) from the seed pairs (the first
// anchor with each of its choices) that fit closest, the closest first, repeats
// dropped. Adds its work to `nodes`.
std::vector<std::vector<Index>> superposed_mappings(const Layout& layout, std::size_t& nodes);

}  // namespace tarvo
