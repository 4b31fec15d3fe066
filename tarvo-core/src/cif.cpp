#include "cif.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

#include "builder.hpp"  // Builder, add_atom, listed
#include "numbers.hpp"
#include "residue_tables.hpp"  // element_symbol, is_hydrogen, find_residue_code
#include "text.hpp"
#include "utf8.hpp"  // next_char, lossy_string

namespace tarvo {

namespace {

bool is_line_end(char c) { return c == '\n' || c == '\r'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_cif_space(char c) { return is_blank(c) || is_line_end(c); }

struct CifToken {
  std::string_view value;           // quotes and text-field delimiters removed
  std::size_t begin = 0, end = 0;   // the bytes it spans in the text, delimiters included
  bool bare = false;                // unquoted: may be a keyword or a data name
  bool unterminated = false;        // a text field that runs to the end of the text
};

// The token stream of a CIF text; see tokenize_cif.
struct CifTokens {
  std::string_view text;
  std::size_t pos = 0;

  bool next(CifToken& token) {
    const std::size_t n = text.size();
    for (;;) {
      while (pos < n && is_cif_space(text[pos])) ++pos;
      if (pos == n) return false;
      if (text[pos] != '#') break;
      while (pos < n && !is_line_end(text[pos])) ++pos;
    }
    token = CifToken{};
    token.begin = pos;
    const char c = text[pos];
    if (c == ';' && (pos == 0 || is_line_end(text[pos - 1])))
      text_field(token);
    else if (c == '\'' || c == '"')
      quoted_value(token, c);
    else
      bare_value(token);
    pos = token.end;
    return true;
  }

 private:
  void bare_value(CifToken& token) const {
    std::size_t end = token.begin;
    while (end < text.size() && !is_cif_space(text[end])) ++end;
    token.value = text.substr(token.begin, end - token.begin);
    token.end = end;
    token.bare = true;
  }

  // The closing quote is the same quote followed by white space or the end;
  // without one the value is the rest of the line.
  void quoted_value(CifToken& token, char quote) const {
    const std::size_t n = text.size(), start = token.begin + 1;
    std::size_t close = start;
    while (close < n && !is_line_end(text[close]) &&
           !(text[close] == quote && (close + 1 == n || is_cif_space(text[close + 1]))))
      ++close;
    token.value = text.substr(start, close - start);
    token.end = close < n && text[close] == quote ? close + 1 : close;
  }

  void text_field(CifToken& token) const {
    const std::size_t n = text.size(), start = token.begin + 1;
    for (std::size_t at = start; at < n; ++at) {
      if (!is_line_end(text[at])) continue;
      std::size_t next_line = at + 1;
      if (text[at] == '\r' && next_line < n && text[next_line] == '\n') ++next_line;
      if (next_line < n && text[next_line] == ';') {
        token.value = trim(text.substr(start, at - start));
        token.end = next_line + 1;
        return;
      }
      at = next_line - 1;
    }
    token.value = trim(text.substr(start));
    token.end = n;
    token.unterminated = true;
  }
};

// What ends a loop's values: another loop, a data name, a block or a frame.
bool ends_loop(const CifToken& token) {
  return token.bare && (token.value == "loop_" || token.value.starts_with('_') ||
                        token.value.starts_with("data_") || token.value.starts_with("save_"));
}

char32_t first_char(std::string_view s) {
  std::size_t pos = 0;
  return s.empty() ? U' ' : next_char(s, pos);
}

constexpr std::size_t kNoColumn = std::string_view::npos;

struct CifColumns {
  std::size_t group, type_symbol, atom, comp, auth_asym, label_asym, x, y, z, alt, seq, label_seq, ins,
      occupancy, model;
};

constexpr const char* kCoordTags[] = {"_atom_site.Cartn_x", "_atom_site.Cartn_y", "_atom_site.Cartn_z"};

Result<CifColumns> map_columns(const std::string& path, std::span<const std::string_view> tags) {
  auto find = [&](std::string_view tag) {
    auto it = std::find(tags.begin(), tags.end(), tag);
    return it == tags.end() ? kNoColumn : static_cast<std::size_t>(it - tags.begin());
  };
  std::string_view missing;
  auto required = [&](std::string_view tag) {
    std::size_t column = find(tag);
    if (column == kNoColumn && missing.empty()) missing = tag;
    return column;
  };
  CifColumns c;
  c.group = required("_atom_site.group_PDB");
  c.type_symbol = find("_atom_site.type_symbol");
  c.atom = required("_atom_site.label_atom_id");
  c.comp = required("_atom_site.label_comp_id");
  c.auth_asym = required("_atom_site.auth_asym_id");
  c.label_asym = required("_atom_site.label_asym_id");
  c.x = required(kCoordTags[0]);
  c.y = required(kCoordTags[1]);
  c.z = required(kCoordTags[2]);
  // Files written by modelling tools often leave these out.
  c.alt = find("_atom_site.label_alt_id");
  const std::size_t auth_seq = find("_atom_site.auth_seq_id");
  c.label_seq = required("_atom_site.label_seq_id");
  c.seq = auth_seq != kNoColumn ? auth_seq : c.label_seq;
  c.ins = find("_atom_site.pdbx_PDB_ins_code");
  c.occupancy = find("_atom_site.occupancy");
  c.model = find("_atom_site.pdbx_PDB_model_num");
  if (!missing.empty())
    return fail(err::Parse{path, "mmCIF `_atom_site` loop missing column " + std::string(missing)});
  return c;
}

// "?" and "." stand for no value, as does an absent column.
char32_t cif_char(std::span<const std::string_view> t, std::size_t column) {
  if (column == kNoColumn) return U' ';
  const char32_t c = first_char(t[column]);
  return c == U'?' || c == U'.' ? U' ' : c;
}

struct AtomSiteLoop {
  std::vector<std::string_view> tags;
  CifTokens values;  // positioned after the last tag
};

Result<AtomSiteLoop> find_atom_site_loop(const std::string& path, std::string_view text) {
  CifTokens tokens{text};
  CifToken token;
  bool more = tokens.next(token);
  while (more) {
    if (!token.bare || token.value != "loop_") {
      more = tokens.next(token);
      continue;
    }
    std::vector<std::string_view> tags;
    CifTokens after_tags = tokens;
    while ((more = tokens.next(token)) && token.bare && token.value.starts_with('_')) {
      tags.push_back(token.value);
      after_tags = tokens;
    }
    if (!tags.empty() && tags[0].starts_with("_atom_site.")) return AtomSiteLoop{std::move(tags), after_tags};
    // `token` follows the tags and is looked at again: it may open the next loop.
  }
  return fail(err::Parse{path, "no `_atom_site` loop found in mmCIF"});
}

// The lines a row spans, whole, for the token-count message.
std::string_view row_lines(std::string_view text, std::size_t begin, std::size_t end) {
  while (begin > 0 && !is_line_end(text[begin - 1])) --begin;
  while (end < text.size() && !is_line_end(text[end])) ++end;
  return text.substr(begin, end - begin);
}

// A line of a loop's values: where its tokens begin and end, and how many.
struct ValueLine {
  std::size_t begin = 0, end = 0, tokens = 0;
};

// In a loop written a row to a line, a bad quote or a stray byte that joins or
// splits values shifts every later row, so only the loop's last row comes up
// short. The first line whose token count is not `width`, after lines of one
// row each, is where the fault lies; none when the first line already differs
// (rows that wrap). `values` ends at `end`. Looked for only once a loop has
// failed, so kept out of line: inlined, it crowds the tokenizer out of the
// reading loop.
[[gnu::cold]] std::optional<ValueLine> first_odd_line(CifTokens values, std::size_t end, std::size_t width) {
  ValueLine line;
  std::size_t whole_rows = 0, last_end = values.pos;
  for (CifToken token; last_end < end && values.next(token);) {
    const std::string_view gap = values.text.substr(last_end, token.begin - last_end);
    if (line.tokens > 0 && std::any_of(gap.begin(), gap.end(), is_line_end)) {
      if (line.tokens != width) break;
      ++whole_rows;
      line.tokens = 0;
    }
    if (line.tokens++ == 0) line.begin = token.begin;
    line.end = last_end = token.end;
  }
  if (whole_rows == 0 || line.tokens == width) return std::nullopt;
  return line;
}

struct CifReader {
  const std::string& path;
  std::span<const std::string> chains;
  bool small_molecule;
  Builder& b;
  const CifColumns& col;

  std::string element{};
  std::string_view last_chain{};
  bool last_chain_kept = false;
  bool chain_decided = false;
  std::optional<std::string_view> last_model{};
  bool produced = false;  // some row was an atom of some model

  bool keep_chain(std::string_view id) {
    if (!chain_decided || id != last_chain) {
      last_chain = id;
      last_chain_kept = listed(chains, id);
      chain_decided = true;
    }
    return last_chain_kept;
  }

  // A HETATM row of a residue the code table knows, placed in the polymer's
  // sequence (it has a label_seq_id), is read as an ATOM row would be.
  bool polymer_hetatm(std::span<const std::string_view> t) const {
    const std::string_view seq = t[col.label_seq];
    return seq != "." && seq != "?" && find_residue_code(t[col.comp]);
  }

  // Starts a new model whenever the model number changes. False once that is
  // past the wanted model.
  bool follow_model(std::span<const std::string_view> t) {
    bool more = true;
    if (col.model != kNoColumn) {
      if (!last_model || *last_model != t[col.model]) more = b.init_model();
      last_model = t[col.model];
    } else if (!produced) {
      more = b.init_model();
    }
    produced = true;
    return more;
  }

  // `number` counts the rows of the loop from 1, for messages. False once the
  // row is past the wanted model, after which no row is looked at. Only the
  // wanted model's values are parsed.
  Result<bool> row(std::span<const std::string_view> t, std::size_t number) {
    const std::string_view chain_id = t[small_molecule ? col.label_asym : col.auth_asym];
    if (!keep_chain(chain_id)) return true;
    const bool het = t[col.group] == "HETATM" && !polymer_hetatm(t);
    if (het && !small_molecule) return true;
    element.clear();
    if (col.type_symbol != kNoColumn)
      std::transform(t[col.type_symbol].begin(), t[col.type_symbol].end(), std::back_inserter(element),
                     to_upper);
    const std::string_view name = t[col.atom];
    const std::string_view symbol = element_symbol(element, name, name);
    if (is_hydrogen(symbol)) return true;
    const std::string_view number_text = t[col.seq];
    if (number_text == ".") return true;
    if (!follow_model(t)) return false;
    if (!b.keeps_atoms) return true;
    const std::string_view residue_name = t[col.comp];
    const char32_t alt_loc = cif_char(t, col.alt);
    std::int64_t residue_number;
    if (!parse_i64(number_text, residue_number))
      return fail(err::Parse{path, "invalid mmCIF residue id " + quoted(number_text)});
    const char32_t insertion_code = cif_char(t, col.ins);
    float xyz[3];
    const std::size_t coord_columns[] = {col.x, col.y, col.z};
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const std::string_view field = t[coord_columns[axis]];
      if (const CoordError error = parse_coord(field, xyz[axis]); error != CoordError::None)
        return std::unexpected(coord_error(path, error, field,
                                           std::string(kCoordTags[axis]) + " of row " + std::to_string(number)));
    }
    const double occupancy = col.occupancy != kNoColumn ? parse_occupancy(t[col.occupancy]) : 1.0;
    add_atom(b, chain_id, residue_name, het ? U'H' : U' ', residue_number, insertion_code,
             AtomFields{name, ElementSymbol(symbol), alt_loc, xyz[0], xyz[1], xyz[2]}, occupancy);
    return true;
  }
};

}  // namespace

std::vector<std::string> tokenize_cif(std::string_view text) {
  std::vector<std::string> tokens;
  CifTokens stream{text};
  for (CifToken token; stream.next(token);) tokens.push_back(lossy_string(token.value));
  return tokens;
}

Result<void> read_cif(const std::string& path, std::string_view text, std::span<const std::string> chains,
                      bool small_molecule, Builder& b) {
  auto loop = find_atom_site_loop(path, text);
  if (!loop) return std::unexpected(std::move(loop.error()));
  auto col = map_columns(path, loop->tags);
  if (!col) return std::unexpected(std::move(col.error()));

  // Values fill rows whatever the lines: a row may wrap, a line may hold
  // several. A loop that ends inside a row is malformed, and that is reported
  // before a bad value in an earlier row, so rows are counted on past a bad
  // value, and past the wanted model: a row shifted by a fault may look like
  // the start of the next model.
  CifReader reader{path, chains, small_molecule, b, *col};
  const std::size_t width = loop->tags.size();
  std::vector<std::string_view> row(width);
  std::size_t filled = 0, rows = 0, row_begin = 0, row_end = 0;
  const CifTokens values = loop->values;
  std::optional<TarvoError> bad_value;
  bool past_wanted_model = false;
  for (CifToken token; loop->values.next(token) && !ends_loop(token);) {
    if (token.unterminated)
      return fail(err::Parse{path, "unterminated multiline `;` field inside `_atom_site` loop"});
    if (filled == 0) row_begin = token.begin;
    row[filled++] = token.value;
    row_end = token.end;
    if (filled < width) continue;
    filled = 0;
    ++rows;
    if (bad_value || past_wanted_model) continue;
    auto more = reader.row(row, rows);
    if (!more) bad_value = std::move(more.error());
    else past_wanted_model = !*more;
  }
  if (filled != 0) {
    // A row short from its own first line is reported as itself.
    if (const auto odd = first_odd_line(values, row_end, width); odd && odd->begin < row_begin) {
      filled = odd->tokens;
      row_begin = odd->begin;
      row_end = odd->end;
    }
    return fail(err::Parse{path, "mmCIF `_atom_site` row has " + std::to_string(filled) + " tokens, expected " +
                                     std::to_string(width) + ": " +
                                     quoted(row_lines(text, row_begin, row_end))});
  }
  if (bad_value) return std::unexpected(std::move(*bad_value));
  if (!reader.produced) return fail(err::Parse{path, "mmCIF `_atom_site` loop produced no atoms"});
  return {};
}

}  // namespace tarvo
