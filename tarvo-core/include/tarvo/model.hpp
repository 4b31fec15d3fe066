// The parsed structure: one model of one coordinate file, owned top-down and
// immutable once the reader has built it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tsl/ordered_map.h>

#include "tarvo/error.hpp"  // TarvoError

namespace tarvo {

// Hash map iterating in first-insertion order; insert_or_assign keeps a key's place.
template <class Key, class Value>
using OrderedMap = tsl::ordered_map<Key, Value>;

// An atom's element as the readers decide it: a known symbol as written, "X"
// when unknown. Held inline, so that an atom carries one string, not two:
// smaller atoms are read and walked faster.
class ElementSymbol {
 public:
  static constexpr std::size_t kMaxBytes = 4;  // "B" and the Kelvin sign, still berkelium

  constexpr ElementSymbol() = default;
  // Keeps at most kMaxBytes bytes: no symbol the readers decide is longer.
  constexpr ElementSymbol(std::string_view symbol) {
    for (std::size_t i = 0; i < symbol.size() && i < kMaxBytes; ++i) bytes_[i] = symbol[i];
  }
  constexpr ElementSymbol(const char* symbol) : ElementSymbol(std::string_view(symbol)) {}

  // A symbol holds no NUL byte, so the first one ends it.
  constexpr std::string_view view() const {
    std::size_t size = 0;
    while (size < kMaxBytes && bytes_[size] != '\0') ++size;
    return {bytes_, size};
  }
  constexpr operator std::string_view() const { return view(); }
  friend constexpr bool operator==(const ElementSymbol& a, std::string_view b) { return a.view() == b; }

 private:
  char bytes_[kMaxBytes] = {};
};

struct Atom {
  std::string name;
  ElementSymbol element;
  char32_t alt_loc = U' ';
  float x = 0, y = 0, z = 0;
};

struct Residue {
  std::string name;
  std::string code;  // one-letter code (see set_residue_sequence); empty for hetero residues
  std::vector<Atom> atoms;
  std::int64_t number = 0;
  char32_t het = U' ';  // U'H' for HETATM
  char32_t insertion_code = U' ';
};

struct Chain {
  std::string id;
  std::vector<Residue> residues;
  std::string sequence;  // UTF-8; usually one character per residue
  std::optional<std::string> het_name;
};

struct Structure {
  OrderedMap<std::string, Chain> chains;
  std::string id;

  // Exact, case-sensitive lookup; nullptr when absent.
  const Chain* chain(std::string_view chain_id) const;
  std::vector<std::string> chain_ids() const;
};

// ChainNotFound for `chain_id`, naming the structure as the run's `side` ("model"
// or "native") with its path and chains.
TarvoError chain_not_found(const Structure& structure, const char* side, const std::string& chain_id);

}  // namespace tarvo
