#include "error.hpp"

#include <cstdint>
#include <cstdio>

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

std::string shape(std::pair<std::size_t, std::size_t> s) {
  std::string out = "(";
  out += std::to_string(s.first);
  out += ", ";
  out += std::to_string(s.second);
  out += ')';
  return out;
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t cp = next_code_point(text, pos);
    switch (cp) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      default:
        // C0 and C1 controls and DEL are not printable.
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
          char escape[16];
          std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(cp));
          out += escape;
        } else
          append_utf8(out, cp);
    }
  }
  out += '"';
  return out;
}

std::string quoted_list(std::span<const std::string> texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i) out += ", ";
    out += quoted(texts[i]);
  }
  out += ']';
  return out;
}

std::string TarvoError::message() const {
  struct Display {
    std::string operator()(const err::Io& e) const {
      return "I/O error reading " + e.path + ": " + e.source;
    }
    std::string operator()(const err::Parse& e) const {
      return "failed to parse structure " + e.path + ": " + e.message;
    }
    std::string operator()(const err::UnknownFormat& e) const {
      return "unrecognized structure format for " + e.path + ": not valid PDB or mmCIF (" +
             e.detail + ")";
    }
    std::string operator()(const err::ChainNotFound& e) const {
      return "chain '" + e.chain + "' not found in the structure";
    }
    std::string operator()(const err::ModelIndexOutOfRange& e) const {
      return "model index " + std::to_string(e.index) + " out of range (structure has " +
             std::to_string(e.count) + " model(s))";
    }
    std::string operator()(const err::Geometry& e) const {
      return "geometry error: " + e.message;
    }
    std::string operator()(const err::InterfaceSizeMismatch& e) const {
      return "native and model interfaces have incompatible sizes (" + shape(e.first_shape) +
             " != " + shape(e.second_shape) + ")";
    }
    std::string operator()(const err::NoIdenticalNativeChain& e) const {
      return "no identical corresponding native chain found for: " + quoted_list(e.chains);
    }
    std::string operator()(const err::SmallMoleculeUnsupported&) const {
      return "small-molecule scoring (--small_molecule) is not implemented in this build. The "
             "protein/nucleic-acid core deliberately does not silently fall back; use the "
             "reference Tarvo for ligand poses.";
    }
    std::string operator()(const err::Mapping& e) const { return e.message; }
  };
  return std::visit(Display{}, payload);
}

}  // namespace tarvo
