// UTF-8 decoding and encoding, shared by the reader and the quoted form of
// messages, and the repair of invalid input into valid text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvo {

// Decodes the scalar at `pos` and advances past it; a malformed sequence gives
// U+FFFD and consumes its longest valid prefix (at least one byte), so decoding
// always makes progress.
char32_t next_code_point(std::string_view text, std::size_t& pos);
void append_utf8(std::string& out, char32_t code_point);

// next_code_point with the ASCII case inline.
inline char32_t next_char(std::string_view s, std::size_t& pos) {
  const unsigned char c = static_cast<unsigned char>(s[pos]);
  if (c >= 0x80) return next_code_point(s, pos);
  ++pos;
  return c;
}

inline bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Valid text is returned as is; otherwise every maximal invalid subsequence
// becomes U+FFFD in `storage`, which the result then views. `ascii`, when
// given, tells whether every byte was ASCII (found on the same pass).
std::string_view decode_utf8_lossy(std::string_view bytes, std::string& storage, bool* ascii = nullptr);
std::string lossy_string(std::string_view bytes);

}  // namespace tarvo
