#include "pdb.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <bitset>
#include <cstdint>
#include <cstring>
#include <utility>

#include "builder.hpp"  // Builder, add_atom, listed
#include "input.hpp"  // InflatingGzip
#include "numbers.hpp"
#include "residue_tables.hpp"  // element_symbol, is_hydrogen, find_residue_code
#include "text.hpp"
#include "utf8.hpp"  // is_continuation

namespace tarvo {

namespace {

// Some '\r' not followed by '\n': old Mac files end their lines so.
bool has_lone_cr(std::string_view text) {
  for (std::size_t pos = text.find('\r'); pos != std::string_view::npos; pos = text.find('\r', pos + 1))
    if (pos + 1 == text.size() || text[pos + 1] != '\n') return true;
  return false;
}

// Lines end at "\n", and also at a lone "\r" in a text that has one; every
// trailing '\r' is removed, and an empty piece after the last line end is no line.
// A text still arriving has no carriage return (else it is read again whole),
// and a line of it is handed out once its end has arrived.
struct Lines {
  std::string_view text;
  std::size_t pos = 0;
  bool lone_cr = has_lone_cr(text);
  InflatingGzip* arriving = nullptr;

  bool next(std::string_view& line) {
    if (pos >= text.size() && !grown()) return false;
    std::size_t end;
    for (;;) {
      if (lone_cr) {
        end = text.find_first_of("\r\n", pos);
      } else {
        const void* nl = std::memchr(text.data() + pos, '\n', text.size() - pos);
        end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - text.data()) : std::string_view::npos;
      }
      if (end != std::string_view::npos || !grown()) break;
    }
    end = std::min(end, text.size());
    line = text.substr(pos, end - pos);
    pos = end + 1;
    if (lone_cr && end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ++pos;
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
  }

  // More of an arriving text; false once it is whole.
  bool grown() {
    if (!arriving) return false;
    const std::string_view longer = arriving->text_after(text.size());
    const bool more = longer.size() > text.size();
    text = longer;
    return more;
  }
};

// The 1-based number of the line that starts at `at`, for messages.
std::size_t line_number(std::string_view text, const char* at) {
  std::size_t number = 1;
  for (const char* p = text.data(); p < at; ++p)
    if (*p == '\n' || (*p == '\r' && (p + 1 == text.data() + text.size() || p[1] != '\n'))) ++number;
  return number;
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

// Coordinates are written %8.3f, right-aligned: a line that ends inside the
// field has cut digits off unless the number still has its three decimals (a
// record shifted one column left ends there whole).
bool whole_decimals(std::string_view number) {
  const std::size_t point = number.find('.');
  return point != std::string_view::npos && number.size() - point > 3 &&
         std::all_of(number.begin() + point + 1, number.end(), is_digit);
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
                        kEnd = record_key("END   "), kConect = record_key("CONECT"),
                        kTer = record_key("TER   ");

// The first six bytes padded with blanks; blank when they are not valid text.
std::uint64_t record_name(std::string_view line) {
  // Nearly every line: eight bytes loaded at once, as the loop below would pack them.
  if (std::endian::native == std::endian::little && line.size() >= 8 && !is_continuation(line[0]) &&
      !is_continuation(line[6])) {
    std::uint64_t word;
    std::memcpy(&word, line.data(), sizeof word);
    return word & 0xFFFF'FFFF'FFFFULL;
  }
  const std::string_view head = byte_range(line, 0, 6);
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 6; ++i)
    key |= std::uint64_t{i < head.size() ? static_cast<unsigned char>(head[i]) : unsigned{' '}} << (8 * i);
  return key;
}

unsigned char chain_byte(std::string_view line) {
  return line.size() >= 22 ? static_cast<unsigned char>(line[21]) : ' ';
}

bool has_atom_record(Lines lines) {
  std::string_view line;
  while (lines.next(line)) {
    const std::uint64_t name = record_name(line);
    if (name == kAtom || name == kHetatm) return true;
  }
  return false;
}

// Which HETATM records of the open model continue a polymer chain, so that a
// standard or modified residue (MSE, SEP, ...) inside a chain is read as part
// of it, while the same residue as a free ligand is not. It is inside when an
// ATOM record of its chain follows in the model (an N-terminal residue, or one
// after a gap's TER), or when one precedes it with no TER in between.
struct Polymers {
  std::bitset<256> open;  // an ATOM record and no TER since
  unsigned char last_chain = ' ';
  bool looked_ahead = false;
  std::array<std::size_t, 256> last_atom{};  // offset of each chain's last ATOM record ahead, 0 for none

  void atom(unsigned char chain) {
    open.set(chain);
    last_chain = chain;
  }

  // A TER without a chain column closes the chain of the last polymer record.
  void ter(std::string_view line) {
    const unsigned char chain = chain_byte(line);
    open.reset(chain != ' ' ? chain : last_chain);
  }

  // `rest` holds the lines after the record at offset `at`; the rest of the
  // model is searched once, at the first record that needs it.
  bool hold(unsigned char chain, std::size_t at, Lines rest) {
    if (open[chain]) return true;
    if (!looked_ahead) {
      looked_ahead = true;
      std::string_view line;
      while (rest.next(line)) {
        const std::uint64_t name = record_name(line);
        if (name == kModel || name == kEndmdl || name == kEnd || name == kConect) break;
        if (name == kAtom) last_atom[chain_byte(line)] = static_cast<std::size_t>(line.data() - rest.text.data());
      }
    }
    return last_atom[chain] > at;
  }
};

// Where the reader stands in the file's models. A MODEL record's model counts
// only from its first atom record on, so an empty MODEL/ENDMDL pair is no model
// and model 0 is the first that has atoms. ENDMDL ends only a model that a MODEL
// record opened: after atoms without one it ends nothing, and the atoms that
// follow stay in the same model rather than form another.
enum class ModelState { None, Implicit, Pending, Record };

struct PdbReader {
  const std::string& path;
  std::span<const std::string> chains;
  bool small_molecule;
  Builder& b;
  std::string_view text{};
  bool ascii_text = false;
  InflatingGzip* arriving = nullptr;
  ModelState model = ModelState::None;
  std::array<signed char, 256> chain_kept{};  // 0 undecided, 1 kept, -1 filtered out
  Polymers polymers{};

  bool keep_chain(unsigned char byte, std::string_view id) {
    if (chain_kept[byte] == 0) chain_kept[byte] = listed(chains, id) ? 1 : -1;
    return chain_kept[byte] > 0;
  }

  Result<void> atom_record(std::string_view line, bool hetatm) {
    const unsigned char chain = chain_byte(line);
    // The byte's character in UTF-8, on the stack: at most two bytes.
    char chain_text[2];
    std::size_t chain_size = 1;
    if (chain < 0x80) {
      chain_text[0] = static_cast<char>(chain);
    } else {
      chain_text[0] = static_cast<char>(0xC0 | chain >> 6);
      chain_text[1] = static_cast<char>(0x80 | (chain & 0x3F));
      chain_size = 2;
    }
    const std::string_view chain_id(chain_text, chain_size);
    if (!keep_chain(chain, chain_id)) return {};

    // A record that is ASCII up to column 78 (nearly every one) is cut into
    // columns without looking for split characters: none can be split. One that
    // also reaches column 78 is read by a reading of its own, which cuts every
    // column at a fixed place, without a check.
    const bool ascii = ascii_text || is_ascii(line.substr(0, 78));
    if (ascii && line.size() >= 78)
      return atom_fields(line, hetatm, chain_id, [line](std::size_t first, std::size_t last) {
        return std::string_view(line.data() + first - 1, last - first + 1);
      });
    return atom_fields(line, hetatm, chain_id, [line, ascii](std::size_t first, std::size_t last) {
      if (!ascii) return columns(line, first, last);
      if (first > line.size()) return std::string_view{};
      return std::string_view(line.data() + first - 1, std::min(last, line.size()) - first + 1);
    });
  }

  // The fields of an atom record, its columns cut by `cols` (1-based, inclusive).
  template <class Cut>
  Result<void> atom_fields(std::string_view line, bool hetatm, std::string_view chain_id, Cut cols) {
    // Two columns, so at most two bytes once trimmed.
    const std::string_view element_field = trim(cols(77, 78));
    char element_text[2];
    const std::size_t element_size = std::min<std::size_t>(element_field.size(), 2);
    for (std::size_t i = 0; i < element_size; ++i) element_text[i] = to_upper(element_field[i]);
    const std::string_view element(element_text, element_size);

    const std::string_view raw_name = cols(13, 16);
    std::string_view name = trim(raw_name);
    if (name.empty() || find_space(name) != std::string_view::npos) name = raw_name;
    const std::string_view symbol = element_symbol(element, name, raw_name);
    if (is_hydrogen(symbol)) return {};
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
      const std::size_t first = 31 + 8 * axis, last = first + 7;
      const std::string_view field = cols(first, last);
      double value;
      if (parse_fixed<8, 3>(field, value)) {
        xyz[axis] = static_cast<float>(value);
        continue;
      }
      const auto where = [&] {
        return "coordinate " + std::string(1, "xyz"[axis]) + " (columns " + std::to_string(first) + "-" +
               std::to_string(last) + ") of line " + std::to_string(line_number(text, line.data()));
      };
      if (line.size() >= first && line.size() < last && !whole_decimals(trim(field)))
        return fail(err::Parse{path, where() + " is cut short by the end of the line: " + quoted(trim(field))});
      if (const CoordError error = parse_coord(field, xyz[axis]); error != CoordError::None)
        return std::unexpected(coord_error(path, error, field, where()));
    }
    const std::string_view occupancy_field = cols(55, 60);
    double occupancy;
    if (!parse_fixed<6, 2>(occupancy_field, occupancy)) occupancy = parse_occupancy(occupancy_field);

    add_atom(b, chain_id, residue_name, het, number, insertion_code,
             AtomFields{name, ElementSymbol(symbol), alt_loc, xyz[0], xyz[1], xyz[2]}, occupancy);
    return {};
  }

  // False once the model started is past the wanted one.
  bool start_model(ModelState state) {
    model = state;
    return b.init_model();
  }

  // A HETATM record of a residue the code table knows, inside a polymer chain,
  // is read as an ATOM record would be (see Polymers).
  bool polymer_hetatm(std::string_view line, const Lines& rest) {
    return find_residue_code(trim(columns(line, 18, 20))) &&
           polymers.hold(chain_byte(line), static_cast<std::size_t>(line.data() - text.data()), rest);
  }

  // Whether the text has an ATOM/HETATM line at all (which makes it PDB).
  Result<bool> read() {
    Lines lines{.text = text, .lone_cr = !arriving && has_lone_cr(text), .arriving = arriving};
    bool seen_atom_record = false;
    std::string_view line;
    while (lines.next(line)) {
      const std::uint64_t name = record_name(line);
      const bool atom = name == kAtom;
      const bool hetatm = name == kHetatm;
      if (atom || hetatm) {
        // Records of other models are passed over, and reading stops past the wanted one.
        seen_atom_record = true;
        if (model == ModelState::Pending && !start_model(ModelState::Record)) return true;
        if (model != ModelState::None && !b.keeps_atoms) continue;
        const bool polymer = atom || polymer_hetatm(line, lines);
        if (polymer) polymers.atom(chain_byte(line));
        if (!polymer && !small_molecule) continue;
        if (model == ModelState::None) {
          if (!start_model(ModelState::Implicit)) return true;
          if (!b.keeps_atoms) continue;
        }
        if (auto ok = atom_record(line, !polymer); !ok) return std::unexpected(std::move(ok.error()));
      } else if (name == kTer) {
        polymers.ter(line);
      } else if (name == kModel) {
        model = ModelState::Pending;
        polymers = {};
      } else if (name == kEndmdl) {
        if (model != ModelState::Implicit) {
          b.close_chain();
          model = ModelState::None;
        }
        polymers = {};
      } else if (name == kEnd || name == kConect) {
        return seen_atom_record || has_atom_record(lines);
      }
    }
    return seen_atom_record;
  }
};

}  // namespace

Result<bool> read_pdb(const std::string& path, std::string_view text, bool ascii_text,
                      std::span<const std::string> chains, bool small_molecule, Builder& b,
                      InflatingGzip* arriving) {
  return PdbReader{path, chains, small_molecule, b, text, ascii_text, arriving}.read();
}

}  // namespace tarvo
