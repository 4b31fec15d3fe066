#include "tarvo/error.hpp"

#include <cstdio>

#include "utf8.hpp"  // next_code_point, append_utf8

namespace tarvo {

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
      std::string out = "chain '";
      out += e.chain;
      out += "' not found in the structure";
      if (e.side.empty()) return out;
      out += ": the ";
      out += e.side;
      if (!e.path.empty()) {
        out += ' ';
        out += quoted(e.path);
      }
      out += " has the chains ";
      return out + quoted_list(e.chains);
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
      std::string out = "no identical corresponding native chain found for: " + quoted_list(e.chains);
      return e.closest.empty() ? out : out + "; " + e.closest;
    }
    std::string operator()(const err::SmallMoleculeUnsupported&) const {
      return "small-molecule scoring (--small_molecule) is not implemented in this build. The "
             "protein/nucleic-acid core deliberately does not silently fall back; use the "
             "reference Tarvo for ligand poses.";
    }
    std::string operator()(const err::Mapping& e) const { return e.message; }
    std::string operator()(const err::Cancelled&) const { return "cancelled"; }
  };
  return std::visit(Display{}, payload);
}

}  // namespace tarvo
