#include "utf8.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

namespace tarvo {

char32_t next_code_point(std::string_view text, std::size_t& pos) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  std::uint8_t lead = byte(pos++);
  if (lead < 0x80) return lead;
  int length;
  std::uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return U'\uFFFD';
  }
  char32_t cp = lead & (0x7F >> length);
  // A truncated sequence is replaced as a whole (its maximal valid prefix).
  for (int k = 1; k < length; ++k, low = 0x80, high = 0xBF) {
    if (pos >= text.size() || byte(pos) < low || byte(pos) > high) return U'\uFFFD';
    cp = (cp << 6) | (byte(pos++) & 0x3F);
  }
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

namespace {

// Position of the first byte that starts an invalid sequence; the size when the
// whole text is valid. ASCII is skipped 64 bytes at a time; `ascii`, when
// given, tells whether no other byte was met.
std::size_t first_invalid_utf8(std::string_view text, bool* ascii) {
  if (ascii) *ascii = true;
  std::size_t pos = 0;
  const std::size_t n = text.size();
  while (pos < n) {
    if (pos + 64 <= n) {
      std::uint64_t words[8];
      std::memcpy(words, text.data() + pos, 64);
      const std::uint64_t any = (words[0] | words[1]) | (words[2] | words[3]) | (words[4] | words[5]) | (words[6] | words[7]);
      if ((any & 0x8080808080808080ULL) == 0) {
        pos += 64;
        continue;
      }
    }
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    if (ascii) *ascii = false;
    std::size_t start = pos;
    if (next_code_point(text, pos) == U'\uFFFD' &&
        text.substr(start, pos - start) != "\xEF\xBF\xBD")
      return start;
  }
  return n;
}

}  // namespace

std::string_view decode_utf8_lossy(std::string_view bytes, std::string& storage, bool* ascii) {
  std::size_t bad = first_invalid_utf8(bytes, ascii);
  if (bad == bytes.size()) return bytes;
  storage.reserve(bytes.size() + bytes.size() / 8 + 16);
  storage.assign(bytes.substr(0, bad));
  for (std::size_t pos = bad; pos < bytes.size();) {
    if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
      storage += bytes[pos++];
      continue;
    }
    append_utf8(storage, next_code_point(bytes, pos));
  }
  return storage;
}

std::string lossy_string(std::string_view bytes) {
  std::string storage;
  std::string_view text = decode_utf8_lossy(bytes, storage);
  return storage.empty() ? std::string(text) : std::move(storage);
}

}  // namespace tarvo
