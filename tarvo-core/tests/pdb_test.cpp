// PDB records: fields, models, chains, residues and alternate locations.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pdb_records.hpp"

namespace tarvo {
namespace {

// ---- Records

TEST(Records, EndAndConectStopReading) {
  for (const char* stop : {"END", "END   ", "CONECT    1    2"}) {
    const Structure s = load_ok(lines({atom('A', "   1").line(), stop, atom('B', "   1").line()}));
    EXPECT_EQ(s.chain_ids(), (std::vector<std::string>{"A"})) << stop;
  }
  // Only the exact record names stop: "ENDX" and "END\t" are other records.
  const Structure s = load_ok(lines({atom('A', "   1").line(), "ENDX", "END\t", atom('B', "   1").line()}));
  EXPECT_EQ(s.chain_ids(), (std::vector<std::string>{"A", "B"}));
}

TEST(Records, ModelsAreChosenByIndex) {
  const std::string text = lines({"MODEL        1", atom('A', "   1").line(), "ENDMDL", "MODEL        2",
                                  atom('B', "   1").line(), atom('B', "   2").line(), "ENDMDL"});
  EXPECT_EQ(load_ok(text).chain_ids(), (std::vector<std::string>{"A"}));
  EXPECT_EQ(load_ok(text, {.n_model = 1}).chain_ids(), (std::vector<std::string>{"B"}));
  EXPECT_EQ(error_of(text, {.n_model = 2}), "model index 2 out of range (structure has 2 model(s))");
}

TEST(Records, AtomsWithoutModelFormModelZero) {
  const std::string text = lines({atom('A', "   1").line(), atom('A', "   2").line()});
  EXPECT_EQ(load_ok(text).chain("A")->residues.size(), 2u);
  EXPECT_EQ(error_of(text, {.n_model = 1}), "model index 1 out of range (structure has 1 model(s))");
}

TEST(Records, AtomsAfterEndmdlOpenAnotherModel) {
  const std::string text =
      lines({"MODEL        1", atom('A', "   1").line(), "ENDMDL", atom('B', "   1").line()});
  EXPECT_EQ(load_ok(text, {.n_model = 1}).chain_ids(), (std::vector<std::string>{"B"}));
}

TEST(Records, ModelWithoutAtomRecordsIsNoModel) {
  const std::string text = lines({"MODEL        1", "ENDMDL", "MODEL        2", atom('A', "   1").line(), "ENDMDL",
                                  "MODEL        3", "MODEL        4", atom('B', "   1").line()});
  EXPECT_EQ(load_ok(text).chain_ids(), (std::vector<std::string>{"A"}));
  EXPECT_EQ(load_ok(text, {.n_model = 1}).chain_ids(), (std::vector<std::string>{"B"}));
  EXPECT_EQ(error_of(text, {.n_model = 2}), "model index 2 out of range (structure has 2 model(s))");
}

TEST(Records, EndmdlWithoutModelEndsNothing) {
  const std::string text = lines({atom('A', "   1").line(), "TER", "ENDMDL", atom('B', "   1").line(), "ENDMDL"});
  EXPECT_EQ(load_ok(text).chain_ids(), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(error_of(text, {.n_model = 1}), "model index 1 out of range (structure has 1 model(s))");
}

TEST(Records, HetatmOnlyFileYieldsNoModelWithoutSmallMolecule) {
  Rec het;
  het.record = "HETATM";
  het.residue = "HOH";
  het.name = " O  ";
  het.element = " O";
  EXPECT_EQ(error_of(het.line()), "model index 0 out of range (structure has 0 model(s))");

  const Structure s = load_ok(lines({Rec{}.line(), het.line()}), {.small_molecule = true});
  const Chain& a = *s.chain("A");
  ASSERT_EQ(a.residues.size(), 2u);
  EXPECT_EQ(a.residues[1].het, U'H');
  EXPECT_EQ(a.residues[1].code, "");
  EXPECT_EQ(a.sequence, "HOH");
  EXPECT_EQ(a.het_name, "HOH");
}

TEST(Records, HydrogensWithExplicitElementAreSkipped) {
  Rec h = atom('A', "   1", " HA ");
  h.element = " H";
  Rec lower = atom('A', "   1", " HB ");
  lower.element = "h ";
  Rec deuterium = atom('A', "   1", " DA ");
  deuterium.element = " D";
  const Structure s = load_ok(lines({h.line(), Rec{}.line(), lower.line(), deuterium.line()}));
  const Residue& r = s.chain("A")->residues[0];
  ASSERT_EQ(r.atoms.size(), 1u);
  EXPECT_EQ(r.atoms[0].name, "CA");
}

std::vector<std::string> atom_names(const Structure& s) {
  std::vector<std::string> names;
  for (const auto& [id, chain] : s.chains)
    for (const Residue& r : chain.residues)
      for (const Atom& a : r.atoms) names.push_back(std::string(a.name) + "/" + std::string(a.element));
  return names;
}

TEST(Records, HydrogensAreSkippedWhetherOrNotElementColumnsExist) {
  // Element columns, then the same records without them: the name decides.
  const std::vector<std::pair<std::string, std::string>> atoms = {
      {" N  ", " N"}, {" H  ", " H"}, {" CA ", " C"}, {" HA ", " H"}, {"1HB ", " H"},
      {"HB12", " H"}, {" D  ", " D"}, {"2DG ", " D"}, {" CB ", " C"}, {"HG  ", "HG"}};
  std::string with_columns, without_columns;
  for (const auto& [name, element] : atoms) {
    Rec r = atom('A', "   1", name);
    r.element = element;
    with_columns += r.line() + "\n";
    without_columns += r.line().substr(0, 66) + "\n";
  }
  const std::vector<std::string> expected = {"N/N", "CA/C", "CB/C", "HG/HG"};
  EXPECT_EQ(atom_names(load_ok(with_columns)), expected);
  EXPECT_EQ(atom_names(load_ok(without_columns)), expected);
}

TEST(Records, ShortAtomLineIsAnAtomRecordWithoutResidueNumber) {
  EXPECT_EQ(error_of("ATOM\n"), "failed to parse structure t.pdb: missing residue sequence number in line: \"ATOM\"");
}

TEST(Records, RecordCutAtAnyColumnFromTheOccupancyOnReadsTheSameAtom) {
  // From column 78 on a record is cut at fixed places, below it with a check per
  // column: both give the same atom, the element columns read as far as they reach.
  Rec r;
  r.element = "SE";
  const std::string whole = r.line() + "  ";
  for (std::size_t size = 66; size <= whole.size(); ++size) {
    SCOPED_TRACE(size);
    const Structure s = load_ok(whole.substr(0, size));
    ASSERT_EQ(atom_count(s), 1u);
    const Atom& a = s.chain("A")->residues[0].atoms[0];
    EXPECT_EQ(a.name, "CA");
    EXPECT_EQ(a.element, size < 77 ? "C" : size == 77 ? "S" : "SE");
    EXPECT_EQ(a.x, 1.0f);
    EXPECT_EQ(a.z, 3.0f);
    EXPECT_EQ(s.chain("A")->residues[0].name, "ALA");
  }
}

TEST(Records, ColumnsBeyondShortLineReadAsBlanks) {
  // "ATOM" alone has a blank chain: filtered out by "A", kept (and failing) with " ".
  EXPECT_TRUE(load_ok("ATOM\n", {.chains = {"A"}}).chains.empty());
  EXPECT_EQ(error_of("ATOM\n", {.chains = {" "}}),
            "failed to parse structure t.pdb: missing residue sequence number in line: \"ATOM\"");
  EXPECT_EQ(error_of("ATOM      1  CA  ALA A   5"), "failed to parse structure t.pdb: invalid coordinate \"\"");
  const Structure s = load_ok("ATOM      1  CA  ALA     5      1.000   2.000   3.000");
  const Residue& r = s.chain(" ")->residues[0];
  EXPECT_EQ(r.number, 5);
  EXPECT_EQ(r.insertion_code, U' ');
  EXPECT_EQ(r.atoms[0].alt_loc, U' ');
  EXPECT_EQ(r.atoms[0].element, "C");
}

struct FieldErrorCase {
  const char* what;
  Rec rec;
  std::string message;
};

Rec with(std::string Rec::*field, std::string value) {
  Rec r;
  r.*field = std::move(value);
  return r;
}

class FieldError : public testing::TestWithParam<FieldErrorCase> {};

TEST_P(FieldError, ReportsTheFirstBadField) {
  EXPECT_EQ(error_of(lines({Rec{}.line(), GetParam().rec.line()})),
            "failed to parse structure t.pdb: " + GetParam().message)
      << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, FieldError,
    testing::Values(
        FieldErrorCase{"letter", with(&Rec::number, "  A "), "invalid residue sequence number \"A\""},
        FieldErrorCase{"sign only", with(&Rec::number, "   -"), "invalid residue sequence number \"-\""},
        FieldErrorCase{"double sign", with(&Rec::number, " +-1"), "invalid residue sequence number \"+-1\""},
        FieldErrorCase{"decimal", with(&Rec::number, " 1.5"), "invalid residue sequence number \"1.5\""},
        FieldErrorCase{"blank number", with(&Rec::number, "    "),
                       "missing residue sequence number in line: \"" + with(&Rec::number, "    ").line() + "\""},
        FieldErrorCase{"x", with(&Rec::x, "   1.0.0"), "invalid coordinate \"1.0.0\""},
        FieldErrorCase{"y blank", with(&Rec::y, "        "), "invalid coordinate \"\""},
        FieldErrorCase{"z hex", with(&Rec::z, "    0x10"), "invalid coordinate \"0x10\""},
        FieldErrorCase{"nan payload", with(&Rec::x, "  nan(1)"), "invalid coordinate \"nan(1)\""},
        FieldErrorCase{"inner blank", with(&Rec::y, "   1 000"), "invalid coordinate \"1 000\""},
        FieldErrorCase{"not a number", with(&Rec::x, "     NaN"),
                       "coordinate x (columns 31-38) of line 2 is not a finite single-precision number: \"NaN\""},
        FieldErrorCase{"infinite", with(&Rec::y, "    -inf"),
                       "coordinate y (columns 39-46) of line 2 is not a finite single-precision number: \"-inf\""},
        FieldErrorCase{"infinity", with(&Rec::z, "infinity"),
                       "coordinate z (columns 47-54) of line 2 is not a finite single-precision number: "
                       "\"infinity\""},
        FieldErrorCase{"beyond double", with(&Rec::x, "   1e400"),
                       "coordinate x (columns 31-38) of line 2 is not a finite single-precision number: \"1e400\""},
        FieldErrorCase{"beyond single", with(&Rec::x, "    1e39"),
                       "coordinate x (columns 31-38) of line 2 is not a finite single-precision number: \"1e39\""},
        FieldErrorCase{"rounds to infinity", with(&Rec::x, "3.403e38"),
                       "coordinate x (columns 31-38) of line 2 is not a finite single-precision number: "
                       "\"3.403e38\""},
        // Finite, but squares and sums of such numbers overflow single precision.
        FieldErrorCase{"huge", with(&Rec::x, "  3.0e38"),
                       "coordinate x (columns 31-38) of line 2 is larger in magnitude than 1e9 Å: \"3.0e38\""},
        FieldErrorCase{"just past the limit", with(&Rec::z, "-1.01e+9"),
                       "coordinate z (columns 47-54) of line 2 is larger in magnitude than 1e9 Å: \"-1.01e+9\""}));

struct CutCase {
  std::size_t length;
  std::string message;
};

class CutShort : public testing::TestWithParam<CutCase> {};

TEST_P(CutShort, CoordinateFieldEndedByTheLineIsAnError) {
  // Line ends of every kind count: the record is on line 4.
  const std::string text = "REMARK\r\nREMARK\rREMARK\n" + Rec{}.line().substr(0, GetParam().length) + "\n";
  const std::string message = GetParam().message;
  EXPECT_EQ(error_of(text), message.empty() ? "<loaded>" : "failed to parse structure t.pdb: " + message);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, CutShort,
    testing::Values(
        CutCase{31, "coordinate x (columns 31-38) of line 4 is cut short by the end of the line: \"\""},
        CutCase{36, "coordinate x (columns 31-38) of line 4 is cut short by the end of the line: \"1.0\""},
        CutCase{45, "coordinate y (columns 39-46) of line 4 is cut short by the end of the line: \"2.00\""},
        CutCase{53, "coordinate z (columns 47-54) of line 4 is cut short by the end of the line: \"3.00\""},
        CutCase{54, ""}));

TEST(Records, OnlyTheWantedModelIsParsed) {
  const std::string text = lines({"MODEL        1", atom('A', "   1").line(), "ENDMDL", "MODEL        2",
                                  with(&Rec::x, "     bad").line(), "ENDMDL", "MODEL        3", atom('B', "   1").line(),
                                  "ENDMDL"});
  EXPECT_EQ(load_ok(text).chain_ids(), (std::vector<std::string>{"A"}));
  EXPECT_EQ(load_ok(text, {.n_model = 2}).chain_ids(), (std::vector<std::string>{"B"}));
  EXPECT_EQ(error_of(text, {.n_model = 1}), "failed to parse structure t.pdb: invalid coordinate \"bad\"");
}

TEST(Records, ResidueNumberIsCheckedBeforeCoordinates) {
  Rec r = with(&Rec::number, "  A ");
  r.x = "     bad";
  EXPECT_EQ(error_of(r.line()), "failed to parse structure t.pdb: invalid residue sequence number \"A\"");
  r = with(&Rec::x, "     bad");
  r.y = "    bad2";
  EXPECT_EQ(error_of(r.line()), "failed to parse structure t.pdb: invalid coordinate \"bad\"");
}

TEST(Records, ResidueNumberTakesTheFirstPieceWithSign) {
  EXPECT_EQ(load_ok(with(&Rec::number, "-12 ").line()).chain("A")->residues[0].number, -12);
  EXPECT_EQ(load_ok(with(&Rec::number, " +7 ").line()).chain("A")->residues[0].number, 7);
  EXPECT_EQ(load_ok(with(&Rec::number, "1 2 ").line()).chain("A")->residues[0].number, 1);
}

struct CoordCase {
  std::string text;
  float value;
};

class Coordinate : public testing::TestWithParam<CoordCase> {};

TEST_P(Coordinate, ParsesAsDoubleThenRoundsToFloat) {
  const float x = load_ok(with(&Rec::x, GetParam().text).line()).chain("A")->residues[0].atoms[0].x;
  if (std::isnan(GetParam().value))
    EXPECT_TRUE(std::isnan(x));
  else
    EXPECT_EQ(x, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Coordinate,
    testing::Values(CoordCase{"0.100000", 0.1f}, CoordCase{"  -3.250", -3.25f},
                    CoordCase{"  +2.500", 2.5f}, CoordCase{"   1e2  ", 100.0f}, CoordCase{"     .5 ", 0.5f},
                    CoordCase{"      7.", 7.0f}, CoordCase{"     1e9", 1e9f},
                    CoordCase{"  1e-400", 0.0f}));

// Right-aligned %8.3f fields are read without trimming; the same text padded
// on the right takes the general parser. Both must give strtod's double
// rounded to single precision, for every digit count, sign and rounding case.
TEST(Records, FixedPointCoordinatesMatchTheGeneralParser) {
  std::vector<std::string> texts = {"   0.000", "  -0.000", "9999.999", "-999.999", "   0.001", "  -0.001",
                                    "  16.777", "1677.722", "   0.500", " 123.456", "4096.001"};
  std::uint64_t state = 12345;
  for (int i = 0; i < 4000; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const long units = static_cast<long>(state >> 33) % 10'999'999 - 999'999;  // -999.999 to 9999.999
    char text[16];
    std::snprintf(text, sizeof text, "%8.3f", static_cast<double>(units) / 1000.0);
    texts.push_back(text);
  }
  std::string file;
  std::vector<std::string> used;
  for (const std::string& text : texts) {
    if (text.size() != 8) continue;
    Rec r = atom('A', std::to_string(used.size() % 9000 + 1));
    r.number.insert(0, 4 - r.number.size(), ' ');
    r.x = text;
    std::string left = text.substr(text.find_first_not_of(' '));
    r.y = left + std::string(8 - left.size(), ' ');
    file += r.line() + "\n";
    used.push_back(text);
  }
  const Structure s = load_ok(file);
  const std::vector<Residue>& residues = s.chain("A")->residues;
  ASSERT_EQ(residues.size(), used.size());
  for (std::size_t i = 0; i < used.size(); ++i) {
    const Atom& a = residues[i].atoms[0];
    const float expected = static_cast<float>(std::strtod(used[i].c_str(), nullptr));
    EXPECT_EQ(a.x, expected) << used[i];
    EXPECT_EQ(std::signbit(a.x), std::signbit(expected)) << used[i];
    EXPECT_EQ(a.y, a.x) << used[i];
    EXPECT_EQ(std::signbit(a.y), std::signbit(a.x)) << used[i];
  }
}

TEST(Records, FixedPointFieldsFallBackOnOtherLayouts) {
  for (const char* text : {"  1.2345", " 12.3456", "  +1.500", "   -.500", "  - 1.50", "  1.5e1 ", "1.000000",
                           " 1,000.0", "  1 .000", "  1.00 0"}) {
    const std::string trimmed = std::string(text).substr(std::string(text).find_first_not_of(' '));
    double value;
    const auto [end, ec] = std::from_chars(trimmed.data() + (trimmed[0] == '+'),
                                           trimmed.data() + trimmed.find_last_not_of(' ') + 1, value);
    const bool valid = ec == std::errc{} && end == trimmed.data() + trimmed.find_last_not_of(' ') + 1;
    auto loaded = load(with(&Rec::x, text).line());
    ASSERT_EQ(loaded.has_value(), valid) << text;
    if (valid) EXPECT_EQ(loaded->chain("A")->residues[0].atoms[0].x, static_cast<float>(value)) << text;
  }
}

TEST(Records, RightAlignedResidueNumbersMatchTheGeneralReader) {
  for (auto [text, number] : {std::pair{"   0", 0}, std::pair{"  -0", 0}, std::pair{"9999", 9999},
                              std::pair{"-999", -999}, std::pair{"  42", 42}, std::pair{" 42 ", 42},
                              std::pair{"0042", 42}, std::pair{" -7x", 0}}) {
    auto loaded = load(with(&Rec::number, text).line());
    if (std::string_view(text).ends_with('x')) {
      EXPECT_EQ(loaded.error().message(),
                "failed to parse structure t.pdb: invalid residue sequence number \"-7x\"");
      continue;
    }
    ASSERT_TRUE(loaded) << text;
    EXPECT_EQ(loaded->chain("A")->residues[0].number, number) << text;
  }
}

TEST(Records, FixedPointOccupancyComparesLikeTheGeneralReader) {
  // "  0.50" is read by the fixed-point path, "0.5   " by the general one.
  Rec first = atom('A', "   1");
  first.alt = 'A';
  first.occupancy = "  0.50";
  Rec equal = first;
  equal.alt = 'B';
  equal.occupancy = "0.5   ";
  equal.x = "   9.000";
  EXPECT_EQ(load_ok(lines({first.line(), equal.line()})).chain("A")->residues[0].atoms[0].x, 1.0f);
  Rec higher = equal;
  higher.occupancy = "0.5001";
  EXPECT_EQ(load_ok(lines({first.line(), higher.line()})).chain("A")->residues[0].atoms[0].x, 9.0f);
  Rec negative = first;
  negative.occupancy = " -0.10";
  Rec zero = equal;
  zero.occupancy = "0     ";
  EXPECT_EQ(load_ok(lines({negative.line(), zero.line()})).chain("A")->residues[0].atoms[0].x, 9.0f);
}

TEST(Records, OccupancyBlankOrBadCountsAsZero) {
  // A later alternate location wins only with a strictly greater occupancy.
  Rec blank = with(&Rec::occupancy, "      ");
  Rec second = with(&Rec::x, "   9.000");
  second.alt = 'B';
  second.occupancy = "  0.01";
  EXPECT_EQ(load_ok(lines({blank.line(), second.line()})).chain("A")->residues[0].atoms[0].x, 9.0f);
  Rec bad = with(&Rec::occupancy, "  zz  ");
  EXPECT_EQ(load_ok(lines({bad.line(), second.line()})).chain("A")->residues[0].atoms[0].x, 9.0f);
}

TEST(Records, AtomNameIsTheSinglePieceOrTheRawField) {
  const Structure s = load_ok(lines({atom('A', "   1", " CA ").line(), atom('A', "   1", "C A ").line(),
                                     atom('A', "   1", "    ").line(), atom('A', "   1", "O5' ").line()}));
  const Residue& r = s.chain("A")->residues[0];
  ASSERT_EQ(r.atoms.size(), 4u);
  EXPECT_EQ(r.atoms[0].name, "CA");
  EXPECT_EQ(r.atoms[1].name, "C A ");
  EXPECT_EQ(r.atoms[2].name, "    ");
  EXPECT_EQ(r.atoms[3].name, "O5'");
}

// ---- Chains, residues and alternate locations

TEST(Chains, FilterKeepsFileOrderAndIgnoresAbsentIds) {
  const std::string text = lines({atom('A', "   1").line(), atom('B', "   1").line(), atom('C', "   1").line()});
  EXPECT_EQ(load_ok(text, {.chains = {"C", "A", "Z"}}).chain_ids(), (std::vector<std::string>{"A", "C"}));
  const Structure none = load_ok(text, {.chains = {"Z"}});
  EXPECT_TRUE(none.chains.empty());
  EXPECT_EQ(load_ok(text, {.chains = {"a"}}).chains.size(), 0u);
}

TEST(Chains, ResumedChainContinuesItsResiduesAndSequence) {
  const Structure s = load_ok(lines({atom('A', "   1", " CA ", "GLY").line(), atom('B', "   1").line(),
                                     atom('A', "   2", " CA ", "TRP").line()}));
  EXPECT_EQ(s.chain_ids(), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(s.chain("A")->residues.size(), 2u);
  EXPECT_EQ(s.chain("A")->sequence, "GW");
}

TEST(Residues, BoundariesFollowNumberInsertionNameAndHetero) {
  Rec inserted = atom('A', "   1");
  inserted.insertion = 'A';
  const Structure s = load_ok(lines({atom('A', "   1").line(), atom('A', "   1", " CB ").line(),
                                     inserted.line(), atom('A', "   1", " N  ", "GLY").line(),
                                     atom('A', "   2").line(), atom('A', "   1").line()}));
  const Chain& a = *s.chain("A");
  ASSERT_EQ(a.residues.size(), 5u);
  EXPECT_EQ(a.residues[0].atoms.size(), 2u);
  EXPECT_EQ(a.residues[1].insertion_code, U'A');
  EXPECT_EQ(a.sequence, "AAGAA");
  EXPECT_EQ(a.residues[4].number, 1);  // the reappearing residue is a new entry
}

struct AltCase {
  const char* what;
  char first_alt;
  std::string first_occupancy;
  char second_alt;
  std::string second_occupancy;
  bool second_wins;
};

class AlternateLocation : public testing::TestWithParam<AltCase> {};

TEST_P(AlternateLocation, KeepsOneAtomAtItsFirstPosition) {
  const AltCase& c = GetParam();
  Rec first = atom('A', "   1");
  first.alt = c.first_alt;
  first.occupancy = c.first_occupancy;
  Rec second = first;
  second.alt = c.second_alt;
  second.occupancy = c.second_occupancy;
  second.x = "   9.000";
  const Structure s = load_ok(lines({first.line(), atom('A', "   1", " N  ").line(), second.line()}));
  const Residue& r = s.chain("A")->residues[0];
  ASSERT_EQ(r.atoms.size(), 2u) << c.what;
  EXPECT_EQ(r.atoms[0].name, "CA");
  EXPECT_EQ(r.atoms[0].x, c.second_wins ? 9.0f : 1.0f) << c.what;
  EXPECT_EQ(r.atoms[0].alt_loc, static_cast<char32_t>(c.second_wins ? c.second_alt : c.first_alt));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AlternateLocation,
    testing::Values(AltCase{"higher later", 'A', "  0.40", 'B', "  0.60", true},
                    AltCase{"lower later", 'B', "  0.60", 'A', "  0.40", false},
                    AltCase{"blank never replaces", ' ', "  0.30", ' ', "  0.90", false},
                    AltCase{"equal keeps first", 'A', "  0.50", 'B', "  0.50", false},
                    AltCase{"nan never wins", 'A', "  0.50", 'B', "   nan", false},
                    AltCase{"blank first, lettered later", ' ', "  0.30", 'B', "  0.90", true}));

// A HETATM record of a residue the code table knows belongs to the polymer of
// its chain when ATOM records of the chain surround it (no TER before it, or
// more ATOM records after it).
TEST(Residues, HetatmResiduesInsideAPolymerChainAreReadAsItsResidues) {
  auto het = [](char chain, std::string number, std::string residue) {
    Rec r = atom(chain, std::move(number), " CA ", std::move(residue));
    r.record = "HETATM";
    return r.line();
  };
  const std::string text =
      lines({het('A', "   1", "MSE"), atom('A', "   2").line(), het('A', "   3", "SEP"), atom('A', "   4").line(),
             "TER", het('A', " 101", "GLU"), het('B', " 201", "GLU"), het('A', " 301", "HOH")});
  const Structure plain = load_ok(text);
  EXPECT_EQ(plain.chain_ids(), (std::vector<std::string>{"A"}));
  const Chain& a = *plain.chain("A");
  EXPECT_EQ(a.sequence, "MASA");
  EXPECT_EQ(a.residues[0].het, U' ');
  EXPECT_FALSE(a.het_name);

  // The free ligands stay hetero residues; the polymer's residues do not.
  const Structure small = load_ok(text, {.small_molecule = true});
  EXPECT_EQ(small.chain_ids(), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(small.chain("A")->residues[2].het, U' ');
  EXPECT_EQ(small.chain("A")->residues[4].het, U'H');
  EXPECT_EQ(small.chain("B")->het_name, "GLU");

  // A TER that marks a gap inside a chain: the chain's ATOM records go on after it.
  EXPECT_EQ(load_ok(lines({atom('A', "   1").line(), "TER", het('A', "   5", "MSE"), atom('A', "   6").line()}))
                .chain("A")
                ->sequence,
            "AMA");

  // Each model is judged on its own; TER with a chain column ends that chain.
  const std::string models = lines({"MODEL        1", het('A', "   1", "MSE"), "ENDMDL", "MODEL        2",
                                    het('A', "   1", "MSE"), atom('A', "   2").line(), "ENDMDL"});
  EXPECT_TRUE(load_ok(models).chains.empty());
  EXPECT_EQ(load_ok(models, {.n_model = 1}).chain("A")->sequence, "MA");
  EXPECT_EQ(load_ok(lines({atom('A', "   1").line(), atom('B', "   1").line(), "TER       3      ALA A   1",
                           het('A', "   2", "MSE"), het('B', "   2", "MSE")}))
                .chain("B")
                ->sequence,
            "AM");
}

}  // namespace
}  // namespace tarvo
