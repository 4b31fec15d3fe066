// Chemical elements and one-letter residue codes: the tables atom and residue
// names are looked up in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo {

// Whether the text is an element symbol, in any letter case.
bool is_known_element(std::string_view text);

// The symbol the atom name gives (`raw_name` is the name as written, blanks
// included), or "X".
std::string_view symbol_of_name(std::string_view name, std::string_view raw_name);

// The element field when it is a known symbol; otherwise symbol_of_name.
// Inline, as is is_hydrogen: both run for every atom record.
inline std::string_view element_symbol(std::string_view element, std::string_view name,
                                       std::string_view raw_name) {
  if (!element.empty() && is_known_element(element)) return element;
  return symbol_of_name(name, raw_name);
}
std::string assign_element(std::string_view element, std::string_view name, std::string_view raw_name);

// Whether a decided element symbol is hydrogen or deuterium, which are never read.
inline bool is_hydrogen(std::string_view symbol) {
  return symbol.size() == 1 && (symbol[0] == 'H' || symbol[0] == 'h' || symbol[0] == 'D' || symbol[0] == 'd');
}

// Three upper-case letters packed into one integer, so that a lookup compares integers.
constexpr std::uint32_t residue_key(char a, char b, char c) {
  return static_cast<unsigned char>(a) | static_cast<unsigned char>(b) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16;
}

// `heavy_atoms` (without the terminal OXT) only sizes a new residue's atom list,
// so that it is not regrown atom by atom.
struct ResidueCode {
  std::uint32_t key;
  std::string_view code;
  std::size_t heavy_atoms;
  constexpr ResidueCode(std::string_view name, std::string_view one, std::size_t atoms)
      : key(residue_key(name[0], name[1], name[2])), code(one), heavy_atoms(atoms) {}
};

// The table entry of a residue name, case-insensitively; null when absent.
const ResidueCode* find_residue_code(std::string_view name);
// The one-letter code of a three-letter name; "X" when it has none.
std::string_view three_letter_code(std::string_view name);

}  // namespace tarvo
