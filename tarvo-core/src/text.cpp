#include "text.hpp"

#include <cstdint>
#include <cstring>

#include "utf8.hpp"  // next_code_point, is_continuation

namespace tarvo {

namespace {

bool is_space(char32_t c) {
  if (c < 0x80) return is_ascii_space(static_cast<unsigned char>(c));
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim_end(std::string_view s) {
  while (!s.empty()) {
    if (static_cast<unsigned char>(s.back()) < 0x80) {
      if (!is_ascii_space(s.back())) break;
      s.remove_suffix(1);
      continue;
    }
    std::size_t start = s.size() - 1;
    while (start > 0 && s.size() - start < 4 && is_continuation(s[start])) --start;
    std::size_t pos = start;
    char32_t cp = next_code_point(s, pos);
    if (pos != s.size() || !is_space(cp)) break;
    s.remove_suffix(s.size() - start);
  }
  return s;
}

}  // namespace

std::string_view trim_start(std::string_view s) {
  while (!s.empty()) {
    if (static_cast<unsigned char>(s[0]) < 0x80) {
      if (!is_ascii_space(s[0])) break;
      s.remove_prefix(1);
      continue;
    }
    std::size_t pos = 0;
    if (!is_space(next_code_point(s, pos))) break;
    s.remove_prefix(pos);
  }
  return s;
}

std::string_view trim_unicode(std::string_view s) { return trim_end(trim_start(s)); }

std::size_t find_space_from(std::string_view s, std::size_t pos) {
  while (pos < s.size()) {
    std::size_t start = pos;
    if (static_cast<unsigned char>(s[pos]) < 0x80) {
      if (is_ascii_space(s[pos++])) return start;
    } else if (is_space(next_code_point(s, pos))) {
      return start;
    }
  }
  return std::string_view::npos;
}

// Tested eight bytes at a time.
bool is_ascii(std::string_view s) {
  std::uint64_t bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    bits |= word;
  }
  if (i < s.size() && s.size() >= 8) {  // the last eight bytes, overlapping
    std::uint64_t word;
    std::memcpy(&word, s.data() + s.size() - 8, 8);
    bits |= word;
  } else {
    for (; i < s.size(); ++i) bits |= static_cast<unsigned char>(s[i]);
  }
  return (bits & 0x8080808080808080ULL) == 0;
}

}  // namespace tarvo
