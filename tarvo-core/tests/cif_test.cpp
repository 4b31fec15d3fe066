// The mmCIF atom-site reader and its tokenizer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarvo/reader.hpp"
#include "cif.hpp"  // tokenize_cif

namespace tarvo {
namespace {

using Tokens = std::vector<std::string>;

struct TokenCase {
  const char* what;
  std::string line;
  Tokens tokens;
};

class Tokenize : public testing::TestWithParam<TokenCase> {};

TEST_P(Tokenize, SplitsAtBlanksAndQuotes) {
  EXPECT_EQ(tokenize_cif(GetParam().line), GetParam().tokens) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Tokenize,
    testing::Values(
        TokenCase{"empty", "", {}}, TokenCase{"white space only", " \t\r ", {}},
        TokenCase{"plain", "ATOM 1 N", {"ATOM", "1", "N"}},
        TokenCase{"tabs and CR", "\ta\t b\r", {"a", "b"}},
        TokenCase{"double-quoted prime", "x \"O5'\" y", {"x", "O5'", "y"}},
        TokenCase{"single-quoted prime", "'O5'' y", {"O5'", "y"}},
        TokenCase{"quoted blank", "'a b' c", {"a b", "c"}},
        TokenCase{"unquoted prime", "O5' C5'", {"O5'", "C5'"}},
        TokenCase{"quote inside token", "a\"b c", {"a\"b", "c"}},
        TokenCase{"empty quoted", "'' x", {"", "x"}},
        TokenCase{"unterminated", "a 'b c", {"a", "b c"}},
        TokenCase{"lone quote at end", "a '", {"a", ""}},
        TokenCase{"closing quote needs blank after", "'a'b' c", {"a'b", "c"}},
        TokenCase{"quote before a lone CR closes", "'a'\rb", {"a", "b"}},
        TokenCase{"other quote kind is text", "\"it's\" x", {"it's", "x"}},
        TokenCase{"invalid UTF-8 replaced", "a\xFF b", {"a\xEF\xBF\xBD", "b"}},
        TokenCase{"comment to the line end", "a # b c\nd", {"a", "d"}},
        TokenCase{"comment line", "# x y\n  #z\na", {"a"}},
        TokenCase{"hash inside a token", "a#b '#c'", {"a#b", "#c"}},
        TokenCase{"values across lines", "a\nb\r\nc\rd", {"a", "b", "c", "d"}},
        TokenCase{"quote does not span lines", "'a b\nc'", {"a b", "c'"}},
        TokenCase{"text field", "a\n;x y\nz\n;\nb", {"a", "x y\nz", "b"}},
        TokenCase{"text field content trimmed", ";\n  CA \r\n;", {"CA"}},
        TokenCase{"semicolon not in column 1", "a ;b\n ;c", {"a", ";b", ";c"}},
        TokenCase{"unterminated text field", ";x\ny", {"x\ny"}}));

const std::vector<std::string> kTags = {
    "_atom_site.group_PDB",         "_atom_site.type_symbol",   "_atom_site.label_atom_id",
    "_atom_site.label_alt_id",      "_atom_site.label_comp_id", "_atom_site.label_asym_id",
    "_atom_site.label_seq_id",      "_atom_site.pdbx_PDB_ins_code", "_atom_site.Cartn_x",
    "_atom_site.Cartn_y",           "_atom_site.Cartn_z",       "_atom_site.occupancy",
    "_atom_site.auth_seq_id",       "_atom_site.auth_asym_id",  "_atom_site.pdbx_PDB_model_num"};

// One row in kTags order.
struct Row {
  std::string group = "ATOM", type = "C", atom = "CA", alt = ".", comp = "ALA", label_asym = "A",
              label_seq = "1", ins = "?", x = "1.0", y = "2.0", z = "3.0", occupancy = "1.00",
              auth_seq = "1", auth_asym = "A", model = "1";
  std::string line() const {
    return group + " " + type + " " + atom + " " + alt + " " + comp + " " + label_asym + " " + label_seq +
           " " + ins + " " + x + " " + y + " " + z + " " + occupancy + " " + auth_seq + " " + auth_asym +
           " " + model;
  }
};

std::string header(const std::vector<std::string>& tags = kTags) {
  std::string text = "data_test\n#\nloop_\n";
  for (const std::string& tag : tags) text += tag + "\n";
  return text;
}

std::string cif(const std::vector<Row>& rows) {
  std::string text = header();
  for (const Row& row : rows) text += row.line() + "\n";
  return text + "#\n";
}

struct Options {
  std::vector<std::string> chains;
  bool small_molecule = false;
  std::size_t n_model = 0;
};

Result<Structure> load(const std::string& text, const Options& o = {}) {
  return load_structure_from_bytes("t.cif", text, o.chains, o.small_molecule, o.n_model);
}

Structure load_ok(const std::string& text, const Options& o = {}) {
  auto s = load(text, o);
  if (!s) ADD_FAILURE() << s.error().message();
  return s ? std::move(*s) : Structure{};
}

std::string error_of(const std::string& text, const Options& o = {}) {
  auto s = load(text, o);
  return s ? "<loaded>" : s.error().message();
}

const std::string kPrefix = "failed to parse structure t.cif: ";

Row row(std::string seq, std::string atom = "CA", std::string model = "1") {
  Row r;
  r.auth_seq = r.label_seq = std::move(seq);
  r.atom = std::move(atom);
  r.model = std::move(model);
  return r;
}

std::string example(const char* name) { return std::string(TARVO_EXAMPLES_DIR) + "/" + name; }

TEST(CifExamples, LoadAuthorChains) {
  auto s = load_structure(example("2XHE.cif"), {}, false, 0);
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->chain_ids(), (std::vector<std::string>{"A", "B"}));
  for (const auto& [id, chain] : s->chains) {
    EXPECT_FALSE(chain.het_name);
    EXPECT_EQ(chain.sequence.size(), chain.residues.size());
  }
}

TEST(CifExamples, OccupancyColumnMayBeAbsent) {
  // This file's atom-site loop carries no occupancy column (nor asym ids: ".").
  auto s = load_structure(example("1gid.cif"), {}, false, 0);
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->chain_ids(), (std::vector<std::string>{"."}));
  EXPECT_GT(s->chain(".")->residues.size(), 100u);
}

TEST(CifModels, FollowChangesOfTheModelNumber) {
  auto models = [](std::vector<std::string> numbers) {
    std::vector<Row> rows;
    for (const std::string& n : numbers) rows.push_back(row("1", "CA", n));
    std::size_t count = 0;
    for (auto s = load(cif(rows)); s; s = load(cif(rows), {.n_model = ++count})) {
    }
    return count;
  };
  EXPECT_EQ(models({"1", "1", "2", "2"}), 2u);
  EXPECT_EQ(models({"1", "2", "1"}), 3u);
  EXPECT_EQ(error_of(cif({row("1", "CA", "1"), row("1", "CA", "2")}), {.n_model = 2}),
            "model index 2 out of range (structure has 2 model(s))");
}

TEST(CifModels, OnlyTheWantedModelIsParsed) {
  Row bad = row("1", "CA", "2");
  bad.x = "abc";
  const std::string text = cif({row("1", "CA", "1"), bad, row("1", "CA", "3")});
  EXPECT_EQ(load_ok(text).chain("A")->residues[0].atoms[0].x, 1.0f);
  EXPECT_EQ(load_ok(text, {.n_model = 2}).chain("A")->residues.size(), 1u);
  EXPECT_EQ(error_of(text, {.n_model = 1}), kPrefix + "invalid coordinate \"abc\"");
}

TEST(CifModels, WithoutModelColumnOneModel) {
  std::vector<std::string> tags = kTags;
  tags.pop_back();
  std::string text = header(tags);
  for (int i = 1; i <= 3; ++i) {
    std::string line = row(std::to_string(i)).line();
    text += line.substr(0, line.rfind(' ')) + "\n";
  }
  const Structure s = load_ok(text);
  EXPECT_EQ(s.chain("A")->residues.size(), 3u);
  EXPECT_EQ(error_of(text, {.n_model = 1}), "model index 1 out of range (structure has 1 model(s))");
}

TEST(CifRows, ResidueNumberRules) {
  // Without auth_seq_id, "." in label_seq_id skips the row; "?" is an error.
  std::vector<std::string> tags = kTags;
  tags.erase(tags.begin() + 12);
  auto without_auth_seq = [&](std::vector<Row> rows) {
    std::string text = header(tags);
    for (Row& r : rows) {
      r.auth_seq = "";
      std::string line = r.line();
      const std::size_t pos = line.find("  ");
      text += line.erase(pos, 1) + "\n";
    }
    return text;
  };
  Row water = row(".", "O");
  water.group = "HETATM";
  const Structure s = load_ok(without_auth_seq({row("5"), water, row(".", "N")}));
  ASSERT_EQ(s.chain("A")->residues.size(), 1u);
  EXPECT_EQ(s.chain("A")->residues[0].number, 5);

  EXPECT_EQ(error_of(cif({row("?")})), kPrefix + "invalid mmCIF residue id \"?\"");
  EXPECT_EQ(error_of(cif({row("9223372036854775808")})),
            kPrefix + "invalid mmCIF residue id \"9223372036854775808\"");
  EXPECT_EQ(error_of(cif({row("99999999999999999999999")})),
            kPrefix + "invalid mmCIF residue id \"99999999999999999999999\"");
  EXPECT_EQ(load_ok(cif({row("-9223372036854775808")})).chain("A")->residues[0].number, INT64_MIN);
  EXPECT_EQ(load_ok(cif({row("+9223372036854775807")})).chain("A")->residues[0].number, INT64_MAX);
}

TEST(CifRows, AuthorResidueNumberIsPreferred) {
  Row r;
  r.label_seq = "1";
  r.auth_seq = "42";
  EXPECT_EQ(load_ok(cif({r})).chain("A")->residues[0].number, 42);
}

TEST(CifRows, FieldsAreReadFromTheirColumns) {
  Row r;
  r.type = "se";
  r.atom = "\"O5'\"";
  r.alt = "B";
  r.ins = "C";
  r.comp = "DA";
  r.x = "1.0000001";
  r.occupancy = "?";
  Row dotted;
  dotted.alt = "?";
  dotted.ins = ".";
  dotted.atom = "N";
  dotted.type = "?";  // not an element: the name decides
  const Structure s = load_ok(cif({r, row("2"), dotted}));
  const Chain& a = *s.chain("A");
  ASSERT_EQ(a.residues.size(), 3u);
  const Atom& first = a.residues[0].atoms[0];
  EXPECT_EQ(first.name, "O5'");
  EXPECT_EQ(first.element, "SE");
  EXPECT_EQ(first.alt_loc, U'B');
  EXPECT_EQ(first.x, 1.0000001f);
  EXPECT_EQ(first.x, 1.0f + 0x1p-23f);
  EXPECT_EQ(a.residues[0].insertion_code, U'C');
  EXPECT_EQ(a.residues[2].atoms[0].alt_loc, U' ');
  EXPECT_EQ(a.residues[2].insertion_code, U' ');
  EXPECT_EQ(a.residues[2].atoms[0].element, "N");
  EXPECT_EQ(a.sequence, "AAA");
}

TEST(CifRows, ElementSymbolsAreKeptAsWritten) {
  Row kelvin;
  kelvin.type = "b\u212A";  // B and the Kelvin sign: berkelium, in four bytes
  EXPECT_EQ(load_ok(cif({kelvin})).chain("A")->residues[0].atoms[0].element, "B\u212A");
}

TEST(CifRows, HydrogensAndHeteroRowsAreSkipped) {
  Row h = row("1", "H1");
  h.type = "h";
  Row ligand = row("2", "FE");
  ligand.group = "HETATM";
  ligand.comp = "HEM";
  ligand.label_asym = "C";
  const Structure plain = load_ok(cif({row("1"), h, ligand}));
  EXPECT_EQ(plain.chain_ids(), (std::vector<std::string>{"A"}));
  EXPECT_EQ(plain.chain("A")->residues[0].atoms.size(), 1u);

  // Small-molecule mode keys chains by label asym id, so the ligand is its own chain.
  const Structure small = load_ok(cif({row("1"), h, ligand}), {.small_molecule = true});
  EXPECT_EQ(small.chain_ids(), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(small.chain("C")->het_name, "HEM");
  EXPECT_EQ(small.chain("C")->sequence, "HEM");
}

TEST(CifRows, ChainFilterUsesTheChosenColumn) {
  Row b = row("1");
  b.auth_asym = "B";
  b.label_asym = "Z";
  EXPECT_EQ(load_ok(cif({row("1"), b}), {.chains = {"B"}}).chain_ids(), (std::vector<std::string>{"B"}));
  EXPECT_EQ(load_ok(cif({row("1"), b}), {.chains = {"Z"}, .small_molecule = true}).chain_ids(),
            (std::vector<std::string>{"Z"}));
  EXPECT_EQ(error_of(cif({row("1"), b}), {.chains = {"Q"}}), kPrefix + "mmCIF `_atom_site` loop produced no atoms");
}

TEST(CifRows, UnicodeResidueNameGivesUnknownCode) {
  Row r;
  r.comp = "A\xFF" "B";  // three characters after replacement, five bytes
  const Structure s = load_ok(cif({r}));
  EXPECT_EQ(s.chain("A")->residues[0].name, "A\xEF\xBF\xBD" "B");
  EXPECT_EQ(s.chain("A")->sequence, "X");
}

struct CifErrorCase {
  const char* what;
  std::string text;
  std::string message;
};

class CifError : public testing::TestWithParam<CifErrorCase> {};

TEST_P(CifError, ReportsTheFixedMessage) {
  EXPECT_EQ(error_of(GetParam().text), kPrefix + GetParam().message) << GetParam().what;
}

std::vector<std::string> without(std::vector<std::string> tags, std::initializer_list<const char*> names) {
  for (const char* name : names) tags.erase(std::find(tags.begin(), tags.end(), name));
  return tags;
}

Row with_x(std::string x) {
  Row r;
  r.x = std::move(x);
  return r;
}

Row all_hydrogen(std::string seq) {
  Row r = row(std::move(seq), "H");
  r.type = "H";
  return r;
}

const std::string kWrapped = [] {
  const std::string line = Row{}.line();
  const std::size_t cut = line.find(" 1.0");
  return line.substr(0, cut) + "\n" + line.substr(cut + 1);
}();

// Row 2 of four with a fault that shifts the later rows: a quote that takes the
// rest of its line, or a NUL byte in place of the blank after column 2.
std::string with_second_line(const std::string& line) {
  return header() + Row{}.line() + "\n" + line + "\n" + Row{}.line() + "\n" + Row{}.line() + "\n";
}
const std::string kBadQuote = [] {
  Row r;
  r.atom = "'CA";
  return r.line();
}();
const std::string kJoined = [] {
  std::string line = Row{}.line();
  line[line.find(' ', 5)] = '\0';
  return line;
}();

INSTANTIATE_TEST_SUITE_P(
    Files, CifError,
    testing::Values(
        CifErrorCase{"tag outside a loop", "data_x\n_atom_site.id 1\n", "no `_atom_site` loop found in mmCIF"},
        CifErrorCase{"loop of another category listing atom-site tags later",
                     "data_x\nloop_\n_other.a\n_atom_site.group_PDB\nx y\n",
                     "no `_atom_site` loop found in mmCIF"},
        CifErrorCase{"first missing column is reported",
                     header(without(kTags, {"_atom_site.label_comp_id", "_atom_site.occupancy"})) + "x\n",
                     "mmCIF `_atom_site` loop missing column _atom_site.label_comp_id"},
        CifErrorCase{"label_seq_id required even with auth_seq_id",
                     header(without(kTags, {"_atom_site.label_seq_id"})),
                     "mmCIF `_atom_site` loop missing column _atom_site.label_seq_id"},
        CifErrorCase{"loop ends inside a row", header() + kWrapped.substr(0, kWrapped.find('\n')) + "\n_x.y 1\n",
                     "mmCIF `_atom_site` row has 8 tokens, expected 15: \"" +
                         kWrapped.substr(0, kWrapped.find('\n')) + "\""},
        CifErrorCase{"row wrapped into the text's end", header() + Row{}.line() + "\nATOM C\n  CA",
                     "mmCIF `_atom_site` row has 3 tokens, expected 15: \"ATOM C\\n  CA\""},
        CifErrorCase{"quoted line in the count message", header() + "  a\t'b\n",
                     "mmCIF `_atom_site` row has 2 tokens, expected 15: \"  a\\t'b\""},
        CifErrorCase{"unterminated text field", header() + Row{}.line() + "\n;text\n",
                     "unterminated multiline `;` field inside `_atom_site` loop"},
        CifErrorCase{"bad quote is reported on its row", with_second_line(kBadQuote),
                     "mmCIF `_atom_site` row has 3 tokens, expected 15: " + tarvo::quoted(kBadQuote)},
        CifErrorCase{"NUL byte joining values is reported on its row", with_second_line(kJoined),
                     "mmCIF `_atom_site` row has 14 tokens, expected 15: " + tarvo::quoted(kJoined)},
        CifErrorCase{"bad line wins over an earlier bad value",
                     header() + with_x("abc").line() + "\nshort row\n",
                     "mmCIF `_atom_site` row has 2 tokens, expected 15: \"short row\""},
        CifErrorCase{"coordinate", cif({Row{}, with_x("1,5")}), "invalid coordinate \"1,5\""},
        CifErrorCase{"empty quoted coordinate", cif({with_x("''")}), "invalid coordinate \"\""},
        CifErrorCase{"not a number", cif({Row{}, with_x("nan")}),
                     "_atom_site.Cartn_x of row 2 is not a finite single-precision number: \"nan\""},
        CifErrorCase{"infinite", cif({with_x("-Infinity")}),
                     "_atom_site.Cartn_x of row 1 is not a finite single-precision number: \"-Infinity\""},
        CifErrorCase{"beyond single precision", cif({Row{}, Row{}, with_x("1e39")}),
                     "_atom_site.Cartn_x of row 3 is not a finite single-precision number: \"1e39\""},
        CifErrorCase{"huge", cif({Row{}, with_x("3.0e38")}),
                     "_atom_site.Cartn_x of row 2 is larger in magnitude than 1e9 Å: \"3.0e38\""},
        CifErrorCase{"only hydrogens", cif({all_hydrogen("1"), all_hydrogen("2")}),
                     "mmCIF `_atom_site` loop produced no atoms"},
        CifErrorCase{"no rows", header() + "#\n", "mmCIF `_atom_site` loop produced no atoms"}));

TEST(CifLoop, FoundAfterOtherLoopsAndEndsAtItsTerminator) {
  for (const char* end : {"loop_", "_other.tag x", "data_next", "save_x", "  _indented.tag x"}) {
    const std::string text = "data_x\nloop_\n_entity.id\n_entity.type\n1 polymer\n#\n" + header().substr(10) +
                             row("1").line() + "\n\n" + row("2").line() + "\n" + end + "\nnot a row\n";
    const Structure s = load_ok(text);
    EXPECT_EQ(s.chain("A")->residues.size(), 2u) << end;
  }
}

TEST(CifLoop, TagsEndAtABlankLineAndCrlfIsAccepted) {
  std::string text = header() + "\n" + Row{}.line() + "\n";
  EXPECT_EQ(load_ok(text).chain("A")->residues.size(), 1u);
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(load_ok(crlf).chain("A")->residues.size(), 1u);
}

TEST(CifLoop, IndentedTagsAndLoopKeyword) {
  std::string text = "data_x\n  loop_  \n";
  for (const std::string& tag : kTags) text += "   " + tag + "  \n";
  text += "   " + Row{}.line() + "\n";
  EXPECT_EQ(load_ok(text).chain("A")->residues.size(), 1u);
}

// Every atom with its place and coordinates, to compare two readings of a file.
std::string describe(const Structure& s) {
  std::string out;
  for (const auto& [id, chain] : s.chains) {
    out += id + ":" + chain.sequence + "\n";
    for (const Residue& r : chain.residues)
      for (const Atom& a : r.atoms)
        out += r.name + " " + std::to_string(r.number) + " " + std::string(a.name) + " " + std::string(a.element) + " " +
               std::to_string(a.x) + " " + std::to_string(a.y) + " " + std::to_string(a.z) + "\n";
  }
  return out;
}

struct GrammarCase {
  const char* what;
  std::string text;
};

class CifGrammar : public testing::TestWithParam<GrammarCase> {};

Row moved(std::string seq, std::string atom, std::string x) {
  Row r = row(std::move(seq), std::move(atom));
  r.x = std::move(x);
  return r;
}

const Row kFirst = moved("1", "N", "1.5"), kSecond = moved("1", "CA", "2.5"), kThird = moved("2", "CB", "3.5");
const std::string kTidy = cif({kFirst, kSecond, kThird});

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST_P(CifGrammar, ReadsTheSameAtomsAsTheTidyFile) {
  EXPECT_EQ(describe(load_ok(GetParam().text)), describe(load_ok(kTidy))) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CifGrammar,
    testing::Values(
        GrammarCase{"comment lines inside the loop",
                    header() + "# first\n" + kFirst.line() + "\n#\n  # indented\n" + kSecond.line() + "\n" +
                        kThird.line() + "\n#\n"},
        GrammarCase{"comments after rows", header() + kFirst.line() + " # one\n" + kSecond.line() + "  #two\n" +
                                               kThird.line() + "\t# three\n"},
        GrammarCase{"row wrapped over several lines",
                    header() + kFirst.line() + "\n" + replaced(kSecond.line(), " ", "\n  ") + "\n" + kThird.line()},
        GrammarCase{"several rows on one line",
                    header() + kFirst.line() + " " + kSecond.line() + "\t" + kThird.line() + "\n"},
        GrammarCase{"text field in column 1",
                    header() + kFirst.line() + "\n" + replaced(kSecond.line(), " CA ", "\n;CA\n;\n") + "\n" +
                        replaced(kThird.line(), " ALA ", "\n;\nALA\n; ") + "\n"},
        GrammarCase{"loop_ keyword and tags on one line with a comment",
                    "data_x\nloop_ " + replaced(header().substr(header().find("_atom")), "\n", " ") + "# tags\n" + kFirst.line() +
                        "\n" + kSecond.line() + "\n" + kThird.line() + "\n"},
        GrammarCase{"lone carriage returns", replaced(kTidy, "\n", "\r")},
        GrammarCase{"byte-order mark", "\xEF\xBB\xBF" + kTidy},
        GrammarCase{"loop ends at the end of the text", kTidy.substr(0, kTidy.rfind("#\n"))}));

TEST(CifLoop, CommentsDoNotEndTheLoop) {
  const std::string text = header() + row("1").line() + "\n#\n" + row("2").line() + "\n# note\n" + row("3").line();
  EXPECT_EQ(load_ok(text).chain("A")->residues.size(), 3u);
}

// The rows of `rows` under the columns `tags` only.
std::string loop_of(const std::vector<std::string>& tags, const std::vector<Row>& rows) {
  std::string text = header(tags);
  for (const Row& r : rows) {
    const std::vector<std::string> values = {r.group, r.type,  r.atom, r.alt,       r.comp,     r.label_asym,
                                             r.label_seq, r.ins, r.x, r.y, r.z, r.occupancy, r.auth_seq,
                                             r.auth_asym, r.model};
    for (std::size_t i = 0; i < kTags.size(); ++i)
      if (std::find(tags.begin(), tags.end(), kTags[i]) != tags.end()) text += values[i] + " ";
    text += "\n";
  }
  return text;
}

TEST(CifColumns, AltLocationInsertionCodeAndOccupancyMayBeAbsent) {
  Row b = row("1", "CA");
  b.x = "9.0";  // a second CA: with no alternate locations the first is kept
  const std::vector<Row> rows = {row("1", "CA"), b, row("2", "N")};
  const Structure full = load_ok(loop_of(kTags, rows));
  const Structure bare = load_ok(loop_of(
      without(kTags, {"_atom_site.label_alt_id", "_atom_site.pdbx_PDB_ins_code", "_atom_site.occupancy"}), rows));
  EXPECT_EQ(describe(bare), describe(full));
  EXPECT_EQ(bare.chain("A")->residues[0].atoms[0].alt_loc, U' ');
  EXPECT_EQ(bare.chain("A")->residues[0].insertion_code, U' ');
}

TEST(CifRows, HydrogenAndDeuteriumAreSkippedByTheDecidedElement) {
  // Without a type_symbol column the atom name decides the element.
  const std::vector<std::string> tags = without(kTags, {"_atom_site.type_symbol"});
  const Structure s =
      load_ok(loop_of(tags, {row("1", "N"), row("1", "H"), row("1", "1HB"), row("1", "D"), row("1", "CA")}));
  EXPECT_EQ(describe(s), describe(load_ok(loop_of(tags, {row("1", "N"), row("1", "CA")}))));
  Row deuterium = row("1", "DA");
  deuterium.type = "D";
  EXPECT_EQ(describe(load_ok(cif({row("1", "N"), deuterium}))), describe(load_ok(cif({row("1", "N")}))));
}

TEST(CifRows, HetatmResiduesOfThePolymerAreReadAsItsResidues) {
  Row mse = row("2", "SE");
  mse.group = "HETATM";
  mse.comp = "MSE";
  mse.type = "SE";
  Row ligand = row(".", "CD");
  ligand.group = "HETATM";
  ligand.comp = "GLU";
  ligand.auth_seq = "101";
  ligand.label_asym = "C";
  const std::vector<Row> rows = {row("1"), mse, row("3"), ligand};
  const Structure plain = load_ok(cif(rows));
  EXPECT_EQ(plain.chain_ids(), (std::vector<std::string>{"A"}));
  EXPECT_EQ(plain.chain("A")->sequence, "AMA");
  EXPECT_EQ(plain.chain("A")->residues[1].het, U' ');
  EXPECT_FALSE(plain.chain("A")->het_name);

  const Structure small = load_ok(cif(rows), {.small_molecule = true});
  EXPECT_EQ(small.chain("A")->sequence, "AMA");
  EXPECT_EQ(small.chain("C")->het_name, "GLU");
}

}  // namespace
}  // namespace tarvo
