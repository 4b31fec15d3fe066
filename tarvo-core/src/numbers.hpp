// Number fields shared by the PDB and mmCIF readers: integers, and decimals
// read exactly as strtod would.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error.hpp"

namespace tarvo {

// Exact powers of ten: the divisors of the plain-decimal fast paths.
inline constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// Optional sign, then decimal digits only; false on anything else or overflow.
bool parse_i64(std::string_view s, std::int64_t& out);

// The trimmed text as a number; 0 when it is not one.
double parse_occupancy(std::string_view s);

// The trimmed text as a coordinate; anything but a number is a parse error naming `path`.
Result<float> parse_coord(const std::string& path, std::string_view s);

}  // namespace tarvo
