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

// Leading and trailing white space removed when either end is not ASCII.
std::string_view trim_unicode(std::string_view s);

inline bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// ASCII white space is removed inline (the readers trim a few columns of every
// record); the general loops run only when a non-ASCII byte is left at either end.
inline std::string_view trim(std::string_view s) {
  while (!s.empty() && is_ascii_space(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && is_ascii_space(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  if (!s.empty() && (static_cast<unsigned char>(s.front()) >= 0x80 || static_cast<unsigned char>(s.back()) >= 0x80))
    return trim_unicode(s);
  return s;
}

// Whether every byte is ASCII.
bool is_ascii(std::string_view s);

// Position of the first white-space character at or after `pos`, or npos.
std::size_t find_space_from(std::string_view s, std::size_t pos);

// Position of the first white-space character, or npos. ASCII bytes are looked
// at inline, as in trim: every atom name of a PDB file passes through here.
inline std::size_t find_space(std::string_view s) {
  for (std::size_t pos = 0; pos < s.size(); ++pos) {
    const auto c = static_cast<unsigned char>(s[pos]);
    if (c >= 0x80) return find_space_from(s, pos);
    if (is_ascii_space(c)) return pos;
  }
  return std::string_view::npos;
}

}  // namespace tarvo
