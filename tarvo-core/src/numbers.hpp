// Number fields shared by the PDB and mmCIF readers: integers, and decimals
// read exactly as strtod would.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tarvo/error.hpp"

namespace tarvo {

// Exact powers of ten: the divisors of the plain-decimal fast paths.
inline constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// Optional sign, then decimal digits only; false on anything else or overflow.
bool parse_i64(std::string_view s, std::int64_t& out);

// The trimmed text as a number; 0 when it is not one.
double parse_occupancy(std::string_view s);

// The largest coordinate magnitude read, in Å. Real structures stay within
// 1e5 Å; within 1e9 Å a squared distance is below 4e18 and sums of them over
// any number of atoms stay far below the single-precision maximum (3.4e38), so
// centroids, covariances and RMSDs never overflow.
inline constexpr double kMaxCoordinate = 1e9;

enum class CoordError { None, NotANumber, NotFinite, TooLarge };

// The trimmed text as a double rounded to single precision; `out` is set only
// when the text is a number no larger in magnitude than kMaxCoordinate.
CoordError parse_coord(std::string_view s, float& out);

// The parse error of a failed coordinate; `field` names the field and its line
// or row, for a number that is not finite or too large.
TarvoError coord_error(const std::string& path, CoordError error, std::string_view s, std::string_view field);

}  // namespace tarvo
