// The builder the readers feed, and the element and residue-code rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builder.hpp"         // Builder, set_residue_sequence
#include "residue_tables.hpp"  // is_known_element, assign_element

namespace tarvo {
namespace {

// ---- Builder

TEST(Builder, PreconditionsAreInternalErrors) {
  Builder b;
  try {
    b.init_chain("A");
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "model open");
  }
  b.init_model();
  try {
    b.init_residue("ALA", U' ', 1, U' ');
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "chain open");
  }
  b.init_chain("A");
  try {
    b.init_atom({"CA", "C"}, 1.0);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "residue open");
  }
}

TEST(Builder, AtomNameTableSurvivesGrowthAndResidueChanges) {
  Builder b;
  b.init_model();
  b.init_chain("A");
  for (int residue = 0; residue < 3; ++residue) {
    b.init_residue("ALA", U' ', residue, U' ');
    for (int i = 0; i < 500; ++i) b.init_atom({"N" + std::to_string(i), "N"}, 1.0);
    for (int i = 0; i < 500; i += 7) b.init_atom({"N" + std::to_string(i), "C", U'B'}, 2.0);
  }
  auto s = std::move(b).finish();
  ASSERT_TRUE(s);
  for (const Residue& r : s->chain("A")->residues) {
    ASSERT_EQ(r.atoms.size(), 500u);
    EXPECT_EQ(r.atoms[7].element, "C");
    EXPECT_EQ(r.atoms[8].element, "N");
  }
}

TEST(AtomName, KeepsEveryLengthThroughCopiesMovesAndGrowth) {
  // Inline up to 15 bytes, on the heap beyond: both sides of the edge, in a list
  // that regrows (moves) and is copied, and names assigned over each other.
  std::vector<std::string> texts;
  for (std::size_t size = 0; size <= 40; ++size) texts.push_back(std::string(size, 'a') + std::to_string(size));
  std::vector<Atom> atoms;
  for (const std::string& text : texts) atoms.push_back(Atom{std::string_view(text)});
  const std::vector<Atom> copied = atoms;
  for (std::size_t k = 0; k < texts.size(); ++k) {
    EXPECT_EQ(atoms[k].name, texts[k]);
    EXPECT_EQ(copied[k].name, texts[k]);
  }
  AtomName name("CA");
  name = copied.back().name;  // inline, then heap
  EXPECT_EQ(name, texts.back());
  name = AtomName("N");  // heap, then inline by move
  EXPECT_EQ(name, "N");
  name = copied.back().name;
  name.assign(name.view().substr(1));  // a slice of itself, on the heap
  EXPECT_EQ(name, texts.back().substr(1));
  AtomName taken(std::move(atoms.back().name));
  EXPECT_EQ(taken, texts.back());
  EXPECT_EQ(atoms.back().name, "");
}

TEST(Builder, FinishKeepsOnlyTheChosenModel) {
  Builder b{.wanted_model = 1};
  for (const char* id : {"A", "B"}) {
    ASSERT_TRUE(b.init_model());
    if (!b.keeps_atoms) continue;  // model 0 is only counted
    b.init_chain(id);
    b.init_residue("GLY", U' ', 1, U' ');
    set_residue_sequence(b, U' ', "GLY");
    b.init_atom({"CA", "C"}, 1.0);
  }
  EXPECT_FALSE(b.init_model());  // past the wanted model: the reader stops
  auto second = std::move(b).finish();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->chain_ids(), (std::vector<std::string>{"B"}));
  EXPECT_EQ(second->chain("B")->sequence, "G");
  Builder beyond{.wanted_model = 2};
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(beyond.init_model());
  auto out = std::move(beyond).finish();
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message(), "model index 2 out of range (structure has 2 model(s))");
}

// ---- Elements and sequences

TEST(KnownElement, NormalisesCaseBeforeLookup) {
  for (const char* yes : {"fe", "FE", "Fe", "C", "c", "D", "Mt", "\xC5\xBF", "B\xE2\x84\xAA"})
    EXPECT_TRUE(is_known_element(yes)) << yes;
  for (const char* no : {"", "X", "Q", "CAL", "Uue", "\xC3\x9F", " C", "C ", "\xFF"})
    EXPECT_FALSE(is_known_element(no)) << no;
}

struct ElementCase {
  std::string element, name, raw, expected;
};

class AssignElement : public testing::TestWithParam<ElementCase> {};

TEST_P(AssignElement, PicksFieldOrNameCandidate) {
  const ElementCase& c = GetParam();
  EXPECT_EQ(assign_element(c.element, c.name, c.raw), c.expected) << c.name << "|" << c.raw;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AssignElement,
    testing::Values(ElementCase{"SE", "SE", "SE  ", "SE"}, ElementCase{"QQ", "CA", " CA ", "C"},
                    ElementCase{"", "CA", " CA ", "C"}, ElementCase{"", "CA", "CA  ", "CA"},
                    ElementCase{"", "1HB", "1HB ", "H"}, ElementCase{"", "H112", "H112", "H"},
                    ElementCase{"", "QQ", " QQ ", "X"}, ElementCase{"", "", "", "X"},
                    ElementCase{"", "1", "1   ", "X"}, ElementCase{"", "fe", "fe  ", "fe"},
                    ElementCase{"", "CX", "CX  ", "X"}, ElementCase{"", "OXT", "OXT", "X"},
                    ElementCase{"", "O5'", "O5'", "X"}, ElementCase{"X", "N", " N  ", "N"}));

struct CodeCase {
  std::string name;
  std::string code;
};

class ResidueCode : public testing::TestWithParam<CodeCase> {};

TEST_P(ResidueCode, ExtendsTheChainSequence) {
  Builder b;
  b.init_model();
  b.init_chain("A");
  b.init_residue(GetParam().name, U' ', 1, U' ');
  set_residue_sequence(b, U' ', GetParam().name);
  EXPECT_EQ(b.residue().code, GetParam().code);
  EXPECT_EQ(b.chain().sequence, GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ResidueCode,
    testing::Values(CodeCase{"ALA", "A"}, CodeCase{"ala", "A"}, CodeCase{"Ala", "A"}, CodeCase{"MSE", "M"},
                    CodeCase{"XLE", "J"}, CodeCase{"PYL", "O"}, CodeCase{"HOH", "X"}, CodeCase{"DA", "A"},
                    CodeCase{"DT", "T"}, CodeCase{"A", "A"}, CodeCase{"U", "U"}, CodeCase{"", "X"},
                    CodeCase{"ABCD", "X"}, CodeCase{"A1AAA", "X"}, CodeCase{"\xC3\xA9LA", "X"}, CodeCase{"D\xC3\xA9", "\xC3\xA9"},
                    // Protonation-state and force-field names of docking and MD tools.
                    CodeCase{"HID", "H"}, CodeCase{"HIE", "H"}, CodeCase{"HIP", "H"}, CodeCase{"HSD", "H"},
                    CodeCase{"HSE", "H"}, CodeCase{"HSP", "H"}, CodeCase{"NEP", "H"}, CodeCase{"CYX", "C"},
                    CodeCase{"CYM", "C"}, CodeCase{"ASH", "D"}, CodeCase{"GLH", "E"}, CodeCase{"LYN", "K"},
                    // Modified residues and nucleotides under their parents' codes.
                    CodeCase{"SEP", "S"}, CodeCase{"TPO", "T"}, CodeCase{"PTR", "Y"}, CodeCase{"MLY", "K"},
                    CodeCase{"M3L", "K"}, CodeCase{"ALY", "K"}, CodeCase{"KCX", "K"}, CodeCase{"LLP", "K"},
                    CodeCase{"HYP", "P"}, CodeCase{"CSO", "C"}, CodeCase{"CSD", "C"}, CodeCase{"OCS", "C"},
                    CodeCase{"CSS", "C"}, CodeCase{"CGU", "E"}, CodeCase{"PSU", "U"}, CodeCase{"H2U", "U"},
                    CodeCase{"5MU", "U"}, CodeCase{"4SU", "U"}, CodeCase{"5MC", "C"}, CodeCase{"OMC", "C"},
                    CodeCase{"1MA", "A"}, CodeCase{"2MG", "G"}, CodeCase{"7MG", "G"}, CodeCase{"M2G", "G"},
                    CodeCase{"OMG", "G"}, CodeCase{"nep", "H"}));

TEST(ResidueCode, HeteroResidueNamesTheChain) {
  Builder b;
  b.init_model();
  b.init_chain("A");
  b.init_residue("GLY", U' ', 1, U' ');
  set_residue_sequence(b, U' ', "GLY");
  b.init_residue("HEM", U'H', 2, U' ');
  set_residue_sequence(b, U'H', "HEM");
  EXPECT_EQ(b.residue().code, "");
  EXPECT_EQ(b.chain().sequence, "HEM");
  EXPECT_EQ(b.chain().het_name, "HEM");
}

}  // namespace
}  // namespace tarvo
