#include "pdb.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "builder.hpp"  // Builder, add_atom, listed
#include "input.hpp"  // Lines
#include "numbers.hpp"
#include "residue_tables.hpp"  // element_symbol
#include "text.hpp"
#include "utf8.hpp"  // is_continuation

namespace tarvo {

namespace {

// Whether every byte is ASCII, tested eight bytes at a time.
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

std::string_view first_piece(std::string_view s) {
  s = trim_start(s);
  return s.substr(0, find_space(s));
}

// Bytes [begin, end) of a line as text: cut at the line's end, and empty when
// the cut splits a multi-byte character (the line itself is valid UTF-8).
std::string_view byte_range(std::string_view line, std::size_t begin, std::size_t end) {
  if (begin >= line.size()) return {};
  end = std::min(end, line.size());
  if (is_continuation(line[begin]) || (end < line.size() && is_continuation(line[end]))) return {};
  return line.substr(begin, end - begin);
}

// 1-based inclusive columns, as in the PDB format description.
std::string_view columns(std::string_view line, std::size_t first, std::size_t last) {
  return byte_range(line, first - 1, last);
}

// The byte in a 1-based column taken as the character with that code; blank past the end.
char32_t column_char(std::string_view line, std::size_t column) {
  return line.size() >= column ? static_cast<unsigned char>(line[column - 1]) : U' ';
}

// PDB columns hold right-aligned fixed-point numbers (coordinates %8.3f,
// occupancy %6.2f): blanks, an optional minus, digits, a point, `Decimals`
// digits, filling `Width` bytes. Read without trimming, with the same exact
// division as parse_plain_decimal; any other text is left to the general parser.
template <std::size_t Width, std::size_t Decimals>
bool parse_fixed(std::string_view field, double& out) {
  constexpr std::size_t kPoint = Width - Decimals - 1;
  if (field.size() != Width || field[kPoint] != '.') return false;
  auto digit = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(field[i]) - '0'); };
  std::size_t i = 0;
  while (i < kPoint && field[i] == ' ') ++i;
  const bool negative = i < kPoint && field[i] == '-';
  i += negative;
  if (i == kPoint) return false;
  std::uint64_t units = 0;
  for (; i < kPoint; ++i) {
    if (digit(i) > 9) return false;
    units = units * 10 + digit(i);
  }
  for (i = kPoint + 1; i < Width; ++i) {
    if (digit(i) > 9) return false;
    units = units * 10 + digit(i);
  }
  out = static_cast<double>(units) / kPow10[Decimals];
  if (negative) out = -out;
  return true;
}

// Residue numbers are right-aligned integers: blanks, an optional minus, digits.
bool parse_right_aligned(std::string_view field, std::int64_t& out) {
  std::size_t i = 0;
  while (i < field.size() && field[i] == ' ') ++i;
  const bool negative = i < field.size() && field[i] == '-';
  i += negative;
  if (i == field.size() || field.size() > 18) return false;
  std::int64_t value = 0;
  for (; i < field.size(); ++i) {
    const unsigned digit = static_cast<unsigned char>(field[i]) - unsigned{'0'};
    if (digit > 9) return false;
    value = value * 10 + digit;
  }
  out = negative ? -value : value;
  return true;
}

// Record names packed into integers, so that telling records apart is one comparison.
constexpr std::uint64_t record_key(std::string_view six) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 6; ++i) key |= std::uint64_t{static_cast<unsigned char>(six[i])} << (8 * i);
  return key;
}

constexpr std::uint64_t kAtom = record_key("ATOM  "), kHetatm = record_key("HETATM"),
                        kModel = record_key("MODEL "), kEndmdl = record_key("ENDMDL"),
                        kEnd = record_key("END   "), kConect = record_key("CONECT");

// The first six bytes padded with blanks; blank when they are not valid text.
std::uint64_t record_name(std::string_view line) {
  const std::string_view head = byte_range(line, 0, 6);
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 6; ++i)
    key |= std::uint64_t{i < head.size() ? static_cast<unsigned char>(head[i]) : unsigned{' '}} << (8 * i);
  return key;
}

bool has_atom_record(Lines lines) {
  std::string_view line;
  while (lines.next(line)) {
    const std::uint64_t name = record_name(line);
    if (name == kAtom || name == kHetatm) return true;
  }
  return false;
}

struct PdbReader {
  const std::string& path;
  std::span<const std::string> chains;
  bool small_molecule;
  Builder& b;
  bool model_open = false;
  std::array<signed char, 256> chain_kept{};  // 0 undecided, 1 kept, -1 filtered out

  bool keep_chain(unsigned char byte, std::string_view id) {
    if (chain_kept[byte] == 0) chain_kept[byte] = listed(chains, id) ? 1 : -1;
    return chain_kept[byte] > 0;
  }

  Result<void> atom_record(std::string_view line, bool hetatm) {
    if (!model_open) {
      b.init_model();
      model_open = true;
    }
    const unsigned char chain_byte = line.size() >= 22 ? static_cast<unsigned char>(line[21]) : ' ';
    // The byte's character in UTF-8, on the stack: at most two bytes.
    char chain_text[2];
    std::size_t chain_size = 1;
    if (chain_byte < 0x80) {
      chain_text[0] = static_cast<char>(chain_byte);
    } else {
      chain_text[0] = static_cast<char>(0xC0 | chain_byte >> 6);
      chain_text[1] = static_cast<char>(0x80 | (chain_byte & 0x3F));
      chain_size = 2;
    }
    const std::string_view chain_id(chain_text, chain_size);
    if (!keep_chain(chain_byte, chain_id)) return {};

    // A record that is ASCII up to column 78 (nearly every one) is cut into
    // columns without looking for split characters: none can be split.
    const bool ascii = is_ascii(line.substr(0, 78));
    auto cols = [&](std::size_t first, std::size_t last) {
      if (!ascii) return columns(line, first, last);
      if (first > line.size()) return std::string_view{};
      return std::string_view(line.data() + first - 1, std::min(last, line.size()) - first + 1);
    };

    // Two columns, so at most two bytes once trimmed.
    const std::string_view element_field = trim(cols(77, 78));
    char element_text[2];
    const std::size_t element_size = std::min<std::size_t>(element_field.size(), 2);
    for (std::size_t i = 0; i < element_size; ++i) element_text[i] = to_upper(element_field[i]);
    const std::string_view element(element_text, element_size);
    if (element == "H") return {};

    const std::string_view raw_name = cols(13, 16);
    std::string_view name = trim(raw_name);
    if (name.empty() || find_space(name) != std::string_view::npos) name = raw_name;
    const std::string_view symbol = element_symbol(element, name, raw_name);
    const char32_t alt_loc = column_char(line, 17);
    const std::string_view residue_name = trim(cols(18, 20));
    const char32_t het = hetatm ? U'H' : U' ';

    std::int64_t number;
    if (!parse_right_aligned(cols(23, 26), number)) {
      const std::string_view number_text = first_piece(cols(23, 26));
      if (number_text.empty())
        return fail(err::Parse{path, "missing residue sequence number in line: " + quoted(line)});
      if (!parse_i64(number_text, number))
        return fail(err::Parse{path, "invalid residue sequence number " + quoted(number_text)});
    }
    const char32_t insertion_code = column_char(line, 27);

    float xyz[3];
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const std::string_view field = cols(31 + 8 * axis, 38 + 8 * axis);
      double value;
      if (parse_fixed<8, 3>(field, value)) {
        xyz[axis] = static_cast<float>(value);
        continue;
      }
      auto coord = parse_coord(path, field);
      if (!coord) return std::unexpected(std::move(coord.error()));
      xyz[axis] = *coord;
    }
    const std::string_view occupancy_field = cols(55, 60);
    double occupancy;
    if (!parse_fixed<6, 2>(occupancy_field, occupancy)) occupancy = parse_occupancy(occupancy_field);

    add_atom(b, chain_id, residue_name, het, number, insertion_code,
             Atom{std::string(name), std::string(symbol), alt_loc, xyz[0], xyz[1], xyz[2]}, occupancy);
    return {};
  }

  // Whether the text has an ATOM/HETATM line at all (which makes it PDB).
  Result<bool> read(std::string_view text) {
    Lines lines{text, 0, LineEnds::Pdb};
    bool seen_atom_record = false;
    std::string_view line;
    while (lines.next(line)) {
      const std::uint64_t name = record_name(line);
      const bool atom = name == kAtom;
      const bool hetatm = name == kHetatm;
      if (atom || hetatm) {
        seen_atom_record = true;
        if (atom || small_molecule) {
          if (auto ok = atom_record(line, hetatm); !ok) return std::unexpected(std::move(ok.error()));
        }
      } else if (name == kModel) {
        b.init_model();
        model_open = true;
      } else if (name == kEndmdl) {
        b.close_chain();
        model_open = false;
      } else if (name == kEnd || name == kConect) {
        return seen_atom_record || has_atom_record(lines);
      }
    }
    return seen_atom_record;
  }
};

}  // namespace

Result<bool> read_pdb(const std::string& path, std::string_view text, std::span<const std::string> chains,
                      bool small_molecule, Builder& b) {
  return PdbReader{path, chains, small_molecule, b}.read(text);
}

}  // namespace tarvo
