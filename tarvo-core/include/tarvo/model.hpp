// The parsed structure: one model of one coordinate file, owned top-down and
// immutable once the reader has built it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// An atom's name, held inline up to kInline bytes (every name of the PDB format
// and nearly every mmCIF one) and on the heap beyond: a std::string would make
// each atom 16 bytes larger and copy its name through a library call.
class AtomName {
 public:
  static constexpr std::size_t kInline = 15;

  AtomName() noexcept { bytes_[kSizeByte] = 0; }
  AtomName(std::string_view name) { set(name); }
  AtomName(const char* name) : AtomName(std::string_view(name)) {}
  AtomName(const AtomName& other) { set(other.view()); }
  AtomName(AtomName&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.bytes_[kSizeByte] = 0;  // a heap name now belongs to this one
  }
  AtomName& operator=(const AtomName& other) {
    if (this != &other) assign(other.view());
    return *this;
  }
  AtomName& operator=(AtomName&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
      other.bytes_[kSizeByte] = 0;
    }
    return *this;
  }
  ~AtomName() { release(); }

  // Safe for a slice of this very name.
  void assign(std::string_view name) { *this = AtomName(name); }
  std::string_view view() const noexcept {
    if (!on_heap()) return {bytes_, static_cast<unsigned char>(bytes_[kSizeByte])};
    const char* data;
    std::uint32_t size;
    std::memcpy(&data, bytes_, sizeof data);
    std::memcpy(&size, bytes_ + sizeof data, sizeof size);
    return {data, size};
  }
  operator std::string_view() const noexcept { return view(); }
  friend bool operator==(const AtomName& a, std::string_view b) noexcept { return a.view() == b; }

 private:
  // Inline: the bytes, and their count in the last byte. On the heap: a pointer
  // and a 32-bit size (no line is that long), and kOnHeap in the last byte.
  static constexpr std::size_t kSizeByte = kInline;
  static constexpr char kOnHeap = static_cast<char>(0xFF);

  bool on_heap() const noexcept { return bytes_[kSizeByte] == kOnHeap; }
  // Small copies that read only the name's own bytes, overlapping rather than
  // looping: names are one to four bytes nearly always.
  void set(std::string_view name) {
    const std::size_t size = name.size();
    if (size > kInline) return set_on_heap(name);
    const char* from = name.data();
    if (size >= 8) {
      std::memcpy(bytes_, from, 8);
      std::memcpy(bytes_ + size - 8, from + size - 8, 8);
    } else if (size >= 4) {
      std::memcpy(bytes_, from, 4);
      std::memcpy(bytes_ + size - 4, from + size - 4, 4);
    } else if (size > 0) {
      bytes_[0] = from[0];
      bytes_[size / 2] = from[size / 2];
      bytes_[size - 1] = from[size - 1];
    }
    bytes_[kSizeByte] = static_cast<char>(size);
  }
  void set_on_heap(std::string_view name);
  void release() noexcept {
    if (on_heap()) release_heap();
  }
  void release_heap() noexcept;

  alignas(8) char bytes_[kInline + 1];
};

struct Atom {
  AtomName name;
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
