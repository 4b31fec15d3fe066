// Text helpers shared by the PDB and mmCIF readers. Every text handed to the
// readers is valid UTF-8; the white-space test is Unicode's White_Space,
// independent of the locale.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarvo {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline char to_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Leading white space removed.
std::string_view trim_start(std::string_view s);

// ASCII white space is removed inline; the general loops run only when a
// non-ASCII byte is left at either end.
std::string_view trim(std::string_view s);

// Position of the first white-space character, or npos.
std::size_t find_space(std::string_view s);

}  // namespace tarvo
