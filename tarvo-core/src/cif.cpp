#include "cif.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

#include "builder.hpp"  // Builder, add_atom, listed
#include "input.hpp"  // Lines
#include "numbers.hpp"
#include "residue_tables.hpp"  // element_symbol
#include "text.hpp"
#include "utf8.hpp"  // next_char, lossy_string

namespace tarvo {

namespace {

char32_t first_char(std::string_view s) {
  std::size_t pos = 0;
  return s.empty() ? U' ' : next_char(s, pos);
}

bool is_cif_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits one line into tokens viewing the line; see tokenize_cif_line.
void split_cif_line(std::string_view line, std::vector<std::string_view>& tokens) {
  tokens.clear();
  const std::size_t n = line.size();
  std::size_t i = 0;
  for (;;) {
    while (i < n && is_cif_space(line[i])) ++i;
    if (i == n) return;
    const char c = line[i];
    if (c == '\'' || c == '"') {
      // A quote closes the token only when a blank, a tab or the line end follows it.
      const std::size_t start = i + 1;
      std::size_t close = line.find(c, start);
      while (close != std::string_view::npos && close + 1 < n && line[close + 1] != ' ' &&
             line[close + 1] != '\t')
        close = line.find(c, close + 1);
      if (close == std::string_view::npos) {
        tokens.push_back(line.substr(start));
        return;
      }
      tokens.push_back(line.substr(start, close - start));
      i = close + 1;
    } else {
      const std::size_t start = i;
      while (i < n && !is_cif_space(line[i])) ++i;
      tokens.push_back(line.substr(start, i - start));
    }
  }
}

constexpr std::size_t kNoColumn = std::string_view::npos;

struct CifColumns {
  std::size_t group, type_symbol, atom, comp, auth_asym, label_asym, x, y, z, alt, seq, ins,
      occupancy, model;
};

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
  c.x = required("_atom_site.Cartn_x");
  c.y = required("_atom_site.Cartn_y");
  c.z = required("_atom_site.Cartn_z");
  c.alt = required("_atom_site.label_alt_id");
  const std::size_t auth_seq = find("_atom_site.auth_seq_id");
  const std::size_t label_seq = required("_atom_site.label_seq_id");
  c.seq = auth_seq != kNoColumn ? auth_seq : label_seq;
  c.ins = required("_atom_site.pdbx_PDB_ins_code");
  c.occupancy = required("_atom_site.occupancy");
  c.model = find("_atom_site.pdbx_PDB_model_num");
  if (!missing.empty())
    return fail(err::Parse{path, "mmCIF `_atom_site` loop missing column " + std::string(missing)});
  return c;
}

// "?" and "." stand for no value.
char32_t cif_char(std::string_view token) {
  const char32_t c = first_char(token);
  return c == U'?' || c == U'.' ? U' ' : c;
}

struct AtomSiteLoop {
  std::vector<std::string_view> tags;
  Lines rows;  // positioned at the first line after the tags
};

Result<AtomSiteLoop> find_atom_site_loop(const std::string& path, std::string_view text) {
  Lines lines{text, 0, LineEnds::Cif};
  std::string_view line;
  while (lines.next(line)) {
    if (trim(line) != "loop_") continue;
    std::vector<std::string_view> tags;
    for (Lines ahead = lines; ahead.next(line);) {
      const std::string_view tag = trim(line);
      if (tag.empty() || tag[0] != '_') break;
      tags.push_back(tag);
      lines = ahead;
    }
    if (!tags.empty() && tags[0].starts_with("_atom_site.")) return AtomSiteLoop{std::move(tags), lines};
  }
  return fail(err::Parse{path, "no `_atom_site` loop found in mmCIF"});
}

// Moves to the next data line of the loop; false at the loop's end. Lines that
// cannot be rows are errors; `tokens` holds the row's tokens.
Result<bool> next_row(const std::string& path, Lines& rows, std::size_t tag_count,
                      std::vector<std::string_view>& tokens) {
  std::string_view line;
  while (rows.next(line)) {
    const std::string_view s = trim_start(line);
    if (s.empty()) continue;
    if (s == "loop_" || s[0] == '#' || s[0] == '_' || s.starts_with("data_") || s.starts_with("save_"))
      return false;
    if (s[0] == ';')
      return fail(err::Parse{path, "unexpected multiline `;` field inside `_atom_site` loop"});
    split_cif_line(line, tokens);
    if (tokens.size() != tag_count)
      return fail(err::Parse{path, "mmCIF `_atom_site` row has " + std::to_string(tokens.size()) +
                                       " tokens, expected " + std::to_string(tag_count) + ": " +
                                       quoted(line)});
    return true;
  }
  return false;
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
  bool produced = false;

  bool keep_chain(std::string_view id) {
    if (!chain_decided || id != last_chain) {
      last_chain = id;
      last_chain_kept = listed(chains, id);
      chain_decided = true;
    }
    return last_chain_kept;
  }

  Result<void> row(std::span<const std::string_view> t) {
    const std::string_view chain_id = t[small_molecule ? col.label_asym : col.auth_asym];
    if (!keep_chain(chain_id)) return {};
    const bool hetatm = t[col.group] == "HETATM";
    if (hetatm && !small_molecule) return {};
    element.clear();
    if (col.type_symbol != kNoColumn)
      std::transform(t[col.type_symbol].begin(), t[col.type_symbol].end(), std::back_inserter(element),
                     to_upper);
    if (element == "H") return {};
    const std::string_view residue_name = t[col.comp];
    const char32_t alt_loc = cif_char(t[col.alt]);
    const std::string_view number_text = t[col.seq];
    if (number_text == ".") return {};
    std::int64_t number;
    if (!parse_i64(number_text, number))
      return fail(err::Parse{path, "invalid mmCIF residue id " + quoted(number_text)});
    const char32_t insertion_code = cif_char(t[col.ins]);
    const std::string_view name = t[col.atom];
    const std::string_view symbol = element_symbol(element, name, name);
    auto x = parse_coord(path, t[col.x]);
    if (!x) return std::unexpected(std::move(x.error()));
    auto y = parse_coord(path, t[col.y]);
    if (!y) return std::unexpected(std::move(y.error()));
    auto z = parse_coord(path, t[col.z]);
    if (!z) return std::unexpected(std::move(z.error()));
    const double occupancy = parse_occupancy(t[col.occupancy]);

    if (col.model != kNoColumn) {
      if (!last_model || *last_model != t[col.model]) b.init_model();
      last_model = t[col.model];
    } else if (!produced) {
      b.init_model();
    }
    add_atom(b, chain_id, residue_name, hetatm ? U'H' : U' ', number, insertion_code,
             Atom{std::string(name), std::string(symbol), alt_loc, *x, *y, *z}, occupancy);
    produced = true;
    return {};
  }
};

}  // namespace

std::vector<std::string> tokenize_cif_line(std::string_view line) {
  std::vector<std::string_view> views;
  split_cif_line(line, views);
  std::vector<std::string> tokens;
  tokens.reserve(views.size());
  for (std::string_view token : views) tokens.push_back(lossy_string(token));
  return tokens;
}

Result<void> read_cif(const std::string& path, std::string_view text, std::span<const std::string> chains,
                      bool small_molecule, Builder& b) {
  auto loop = find_atom_site_loop(path, text);
  if (!loop) return std::unexpected(std::move(loop.error()));
  auto col = map_columns(path, loop->tags);
  if (!col) return std::unexpected(std::move(col.error()));

  // Every data line is checked before the first row becomes an atom, so a
  // malformed line wins over a bad value in an earlier row.
  std::vector<std::string_view> tokens;
  for (Lines rows = loop->rows;;) {
    auto more = next_row(path, rows, loop->tags.size(), tokens);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) break;
  }
  CifReader reader{path, chains, small_molecule, b, *col};
  for (Lines rows = loop->rows; next_row(path, rows, loop->tags.size(), tokens).value_or(false);) {
    if (auto ok = reader.row(tokens); !ok) return ok;
  }
  if (!reader.produced) return fail(err::Parse{path, "mmCIF `_atom_site` loop produced no atoms"});
  return {};
}

}  // namespace tarvo
