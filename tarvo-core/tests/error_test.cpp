#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarvo/error.hpp"
#include "tarvo/model.hpp"
#include "utf8.hpp"  // next_code_point, append_utf8

namespace tarvo {
namespace {

struct DisplayCase {
  TarvoError error;
  std::string text;
};

class DisplayText : public testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayText, RendersTheKindsMessage) { EXPECT_EQ(GetParam().error.message(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    AllKinds, DisplayText,
    testing::Values(
        DisplayCase{{err::Io{"x.pdb", "No such file or directory"}},
                    "I/O error reading x.pdb: No such file or directory"},
        DisplayCase{{err::Parse{"p.pdb", "m"}}, "failed to parse structure p.pdb: m"},
        DisplayCase{{err::UnknownFormat{"f", "d"}},
                    "unrecognized structure format for f: not valid PDB or mmCIF (d)"},
        DisplayCase{{err::ChainNotFound{"X"}}, "chain 'X' not found in the structure"},
        DisplayCase{{err::ChainNotFound{"ZZ", "model", "m.cif", {"A", "BB"}}},
                    "chain 'ZZ' not found in the structure: the model \"m.cif\" has the chains [\"A\", \"BB\"]"},
        DisplayCase{{err::ChainNotFound{"Q", "native", "", {}}},
                    "chain 'Q' not found in the structure: the native has the chains []"},
        DisplayCase{{err::ModelIndexOutOfRange{3, 1}},
                    "model index 3 out of range (structure has 1 model(s))"},
        DisplayCase{{err::Geometry{"no CA"}}, "geometry error: no CA"},
        DisplayCase{{err::InterfaceSizeMismatch{{12, 7}, {3, 4}}},
                    "native and model interfaces have incompatible sizes ((12, 7) != (3, 4))"},
        DisplayCase{{err::NoIdenticalNativeChain{{}}},
                    "no identical corresponding native chain found for: []"},
        DisplayCase{{err::NoIdenticalNativeChain{{"B", "C"}}},
                    "no identical corresponding native chain found for: [\"B\", \"C\"]"},
        DisplayCase{{err::NoIdenticalNativeChain{{"B"}, "closest: C"}},
                    "no identical corresponding native chain found for: [\"B\"]; closest: C"},
        DisplayCase{{err::SmallMoleculeUnsupported{}},
                    "small-molecule scoring (--small_molecule) is not implemented in this build. "
                    "The protein/nucleic-acid core deliberately does not silently fall back; use "
                    "the reference Tarvo for ligand poses."},
        DisplayCase{{err::Mapping{"bad mapping"}}, "bad mapping"}));

TEST(ErrorKind, FollowsDeclarationOrder) {
  EXPECT_EQ(TarvoError{err::Io{}}.kind(), ErrorKind::Io);
  EXPECT_EQ(TarvoError{err::SmallMoleculeUnsupported{}}.kind(), ErrorKind::SmallMoleculeUnsupported);
  EXPECT_EQ(TarvoError{err::Mapping{}}.kind(), ErrorKind::Mapping);
}

struct QuotedCase {
  std::string text;
  std::string expected;
};

class QuotedForm : public testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedForm, EscapesSpecialCharacters) { EXPECT_EQ(tarvo::quoted(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Characters, QuotedForm,
    testing::Values(QuotedCase{"", "\"\""}, QuotedCase{"   ", "\"   \""},
                    QuotedCase{"a\"b", "\"a\\\"b\""}, QuotedCase{"a\\b", "\"a\\\\b\""},
                    QuotedCase{"\t\r\n", "\"\\t\\r\\n\""}, QuotedCase{std::string("a\0b", 3), "\"a\\0b\""},
                    QuotedCase{"\x01\x1f", "\"\\u{1}\\u{1f}\""}, QuotedCase{"\x7f", "\"\\u{7f}\""},
                    QuotedCase{"\xC2\x85", "\"\\u{85}\""}, QuotedCase{"O5'", "\"O5'\""},
                    QuotedCase{"\xC3\xA9", "\"\xC3\xA9\""},
                    QuotedCase{"a\xFF" "b", "\"a\xEF\xBF\xBD" "b\""},
                    QuotedCase{"\xE2\x82", "\"\xEF\xBF\xBD\""}));

TEST(QuotedList, JoinsQuotedFormsInBrackets) {
  EXPECT_EQ(quoted_list(std::vector<std::string>{}), "[]");
  EXPECT_EQ(quoted_list(std::vector<std::string>{"A"}), "[\"A\"]");
  EXPECT_EQ(quoted_list(std::vector<std::string>{"A", "b\"", ""}), "[\"A\", \"b\\\"\", \"\"]");
}

struct CodePointCase {
  std::string bytes;
  std::vector<char32_t> code_points;
};

class NextCodePoint : public testing::TestWithParam<CodePointCase> {};

// Invalid input is replaced by its maximal valid prefix, always making progress.
TEST_P(NextCodePoint, DecodesWithMaximalPrefixReplacement) {
  const std::string& bytes = GetParam().bytes;
  std::vector<char32_t> decoded;
  for (std::size_t pos = 0; pos < bytes.size();) decoded.push_back(next_code_point(bytes, pos));
  EXPECT_EQ(decoded, GetParam().code_points);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, NextCodePoint,
    testing::Values(CodePointCase{"A\xC3\xA9", {U'A', U'\u00E9'}},
                    CodePointCase{"\xF0\x9F\x98\x80", {U'\U0001F600'}},
                    CodePointCase{"\xF0\x9F\x98" "A", {U'\uFFFD', U'A'}},
                    CodePointCase{"\xC0\xAF", {U'\uFFFD', U'\uFFFD'}},
                    CodePointCase{"\xED\xA0\x80", {U'\uFFFD', U'\uFFFD', U'\uFFFD'}},
                    CodePointCase{"\xF5\x80", {U'\uFFFD', U'\uFFFD'}},
                    CodePointCase{"\xE2\x82", {U'\uFFFD'}}));

TEST(AppendUtf8, EncodesEveryLength) {
  std::string out;
  for (char32_t c : {U'A', U'\u00E9', U'\u20AC', U'\U0001F600'}) append_utf8(out, c);
  EXPECT_EQ(out, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

Structure two_chains() {
  Structure s;
  s.chains.insert_or_assign("B", Chain{"B", {}, "G", std::nullopt});
  s.chains.insert_or_assign("A", Chain{"A", {}, "K", std::nullopt});
  return s;
}

TEST(StructureLookup, ChainIsExactAndCaseSensitive) {
  const Structure s = two_chains();
  ASSERT_NE(s.chain("A"), nullptr);
  EXPECT_EQ(s.chain("A")->sequence, "K");
  EXPECT_EQ(s.chain("a"), nullptr);
  EXPECT_EQ(s.chain("A "), nullptr);
  EXPECT_EQ(s.chain(""), nullptr);
}

TEST(StructureLookup, ChainIdsFollowInsertionOrder) {
  EXPECT_EQ(two_chains().chain_ids(), (std::vector<std::string>{"B", "A"}));
  EXPECT_TRUE(Structure{}.chain_ids().empty());
}

}  // namespace
}  // namespace tarvo
