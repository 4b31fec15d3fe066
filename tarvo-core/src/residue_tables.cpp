#include "residue_tables.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

#include "text.hpp"  // is_digit, to_upper, trim
#include "utf8.hpp"  // next_char

namespace tarvo {

namespace {

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

constexpr std::string_view kElements[] = {
    "Ac", "Ag", "Al", "Am", "Ar", "As", "At", "Au", "B",  "Ba", "Be", "Bh", "Bi", "Bk", "Br", "C",
    "Ca", "Cd", "Ce", "Cf", "Cl", "Cm", "Co", "Cr", "Cs", "Cu", "D",  "Db", "Dy", "Er", "Es", "Eu",
    "F",  "Fe", "Fm", "Fr", "Ga", "Gd", "Ge", "H",  "He", "Hf", "Hg", "Ho", "Hs", "I",  "In", "Ir",
    "K",  "Kr", "La", "Li", "Lr", "Lu", "Md", "Mg", "Mn", "Mo", "Mt", "N",  "Na", "Nb", "Nd", "Ne",
    "Ni", "No", "Np", "O",  "Os", "P",  "Pa", "Pb", "Pd", "Pm", "Po", "Pr", "Pt", "Pu", "Ra", "Rb",
    "Re", "Rf", "Rh", "Rn", "Ru", "S",  "Sb", "Sc", "Se", "Sg", "Si", "Sm", "Sn", "Sr", "Ta", "Tb",
    "Tc", "Te", "Th", "Ti", "Tl", "Tm", "U",  "V",  "W",  "Xe", "Y",  "Yb", "Zn", "Zr"};

// known[first letter][0 for none, else 1 + second letter]
struct ElementTable {
  bool known[26][27] = {};
  constexpr ElementTable() {
    for (std::string_view symbol : kElements)
      known[symbol[0] - 'A'][symbol.size() == 1 ? 0 : symbol[1] - 'a' + 1] = true;
  }
};
constexpr ElementTable kElementTable;

// Upper case of a first character when it is a single ASCII letter (the dotless
// i and the long s map onto I and S), else 0.
char upper_ascii(char32_t c) {
  if (c < 0x80 && is_ascii_letter(static_cast<char>(c))) return to_upper(static_cast<char>(c));
  if (c == 0x131) return 'I';
  if (c == 0x17F) return 'S';
  return 0;
}

// Lower case of a following character when it is a single ASCII letter (the
// Kelvin sign maps onto k), else 0.
char lower_ascii(char32_t c) {
  if (c < 0x80 && is_ascii_letter(static_cast<char>(c))) return static_cast<char>(c | 0x20);
  if (c == 0x212A) return 'k';
  return 0;
}

// The name's first character, or the one after a leading digit.
std::string_view first_character_candidate(std::string_view name) {
  if (name.empty()) return {};
  std::size_t pos = 0;
  next_char(name, pos);
  if (!is_digit(name[0])) return name.substr(0, pos);
  if (pos == name.size()) return {};
  std::size_t end = pos;
  next_char(name, end);
  return name.substr(pos, end - pos);
}

bool digits_from_third(std::string_view raw) {
  return raw.size() >= 3 && std::all_of(raw.begin() + 2, raw.end(), is_digit);
}

}  // namespace

bool is_known_element(std::string_view text) {
  if (text.empty()) return false;
  std::size_t pos = 0;
  const char first = upper_ascii(next_char(text, pos));
  if (!first) return false;
  if (pos == text.size()) return kElementTable.known[first - 'A'][0];
  const char second = lower_ascii(next_char(text, pos));
  return second && pos == text.size() && kElementTable.known[first - 'A'][second - 'a' + 1];
}

std::string_view symbol_of_name(std::string_view name, std::string_view raw_name) {
  std::string_view candidate;
  if (!raw_name.empty() && !digits_from_third(raw_name) && is_ascii_letter(raw_name[0]))
    candidate = trim(name);  // two-letter elements (CA calcium, FE) start in the first column
  else
    candidate = first_character_candidate(name);
  return is_known_element(candidate) ? candidate : "X";
}

std::string assign_element(std::string_view element, std::string_view name, std::string_view raw_name) {
  return std::string(element_symbol(element, name, raw_name));
}

namespace {

constexpr ResidueCode kResidueCodes[] = {
    {"ALA", "A", 5},  {"ARG", "R", 11}, {"ASN", "N", 8},  {"ASP", "D", 8},  {"ASX", "B", 8},
    {"CME", "C", 10}, {"CYS", "C", 6},  {"GLN", "Q", 9},  {"GLU", "E", 9},  {"GLX", "Z", 9},
    {"GLY", "G", 4},  {"HIS", "H", 10}, {"ILE", "I", 8},  {"LEU", "L", 8},  {"LYS", "K", 9},
    {"MET", "M", 8},  {"MSE", "M", 8},  {"PHE", "F", 11}, {"PRO", "P", 7},  {"PYL", "O", 17},
    {"SEC", "U", 6},  {"SER", "S", 6},  {"THR", "T", 7},  {"TRP", "W", 14}, {"TYR", "Y", 12},
    {"VAL", "V", 7},  {"XLE", "J", 8},
    // Protonation states and force-field names written by docking and MD tools.
    {"HID", "H", 10}, {"HIE", "H", 10}, {"HIP", "H", 10}, {"HSD", "H", 10}, {"HSE", "H", 10},
    {"HSP", "H", 10}, {"NEP", "H", 10}, {"CYX", "C", 6},  {"CYM", "C", 6},  {"ASH", "D", 8},
    {"GLH", "E", 9},  {"LYN", "K", 9},
    // Common modified residues, each under its parent's code.
    {"SEP", "S", 10}, {"TPO", "T", 11}, {"PTR", "Y", 16}, {"MLY", "K", 11}, {"M3L", "K", 12},
    {"ALY", "K", 12}, {"KCX", "K", 12}, {"LLP", "K", 24}, {"HYP", "P", 8},  {"CSO", "C", 7},
    {"CSD", "C", 8},  {"OCS", "C", 9},  {"CSS", "C", 7},  {"CGU", "E", 11},
    // Modified nucleotides.
    {"PSU", "U", 20}, {"H2U", "U", 20}, {"5MU", "U", 21}, {"4SU", "U", 20}, {"5MC", "C", 21},
    {"OMC", "C", 21}, {"1MA", "A", 23}, {"2MG", "G", 24}, {"7MG", "G", 24}, {"M2G", "G", 25},
    {"OMG", "G", 24}};

// The codes by slot of their key's hash, probed linearly, a fourth full: every
// new residue is looked up twice (its code, its size), and a scan of the table
// took dozens of comparisons for the commonest ones.
constexpr std::size_t kCodeSlots = 256;

constexpr std::size_t code_slot(std::uint32_t key) { return (key * 0x9E3779B1u) >> 24; }

constexpr auto kCodeTable = [] {
  std::array<std::uint8_t, kCodeSlots> slots{};  // 1 + the entry's index; 0 when empty
  static_assert(std::size(kResidueCodes) < kCodeSlots / 2);
  for (std::size_t k = 0; k < std::size(kResidueCodes); ++k) {
    std::size_t slot = code_slot(kResidueCodes[k].key);
    while (slots[slot] != 0) slot = (slot + 1) % kCodeSlots;
    slots[slot] = static_cast<std::uint8_t>(k + 1);
  }
  return slots;
}();

}  // namespace

const ResidueCode* find_residue_code(std::string_view name) {
  if (name.size() != 3) return nullptr;  // three characters but not three bytes
  const std::uint32_t key = residue_key(to_upper(name[0]), to_upper(name[1]), to_upper(name[2]));
  for (std::size_t slot = code_slot(key);; slot = (slot + 1) % kCodeSlots) {
    const std::size_t entry = kCodeTable[slot];
    if (entry == 0) return nullptr;
    if (kResidueCodes[entry - 1].key == key) return &kResidueCodes[entry - 1];
  }
}

std::string_view three_letter_code(std::string_view name) {
  const ResidueCode* entry = find_residue_code(name);
  return entry ? entry->code : "X";
}

}  // namespace tarvo
