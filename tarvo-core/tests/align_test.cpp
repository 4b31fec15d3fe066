#include "tarvo/align.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "utf8.hpp"  // next_code_point, append_utf8

namespace tarvo {
namespace {

std::string utf8(std::u32string_view text) {
  std::string out;
  for (char32_t c : text) append_utf8(out, c);
  return out;
}

std::u32string u32(std::string_view text) {
  std::u32string out;
  for (std::size_t pos = 0; pos < text.size();) out.push_back(next_code_point(text, pos));
  return out;
}

Chain sequence_chain(std::string sequence) {
  Chain chain;
  chain.id = "A";
  chain.sequence = std::move(sequence);
  return chain;
}

Chain numbered_chain(std::vector<std::int64_t> numbers) {
  Chain chain;
  chain.id = "A";
  for (std::int64_t n : numbers) {
    Residue residue;
    residue.name = "ALA";
    residue.code = "A";
    residue.number = n;
    chain.residues.push_back(residue);
    chain.sequence += "A";
  }
  return chain;
}

// Three full score tables and three flag tables, written out plainly; the
// packed two-row version must reproduce it exactly.
Alignment full_table_alignment(const std::u32string& a, const std::u32string& b) {
  const double none = -std::numeric_limits<double>::infinity();
  const std::size_t n = a.size(), m = b.size();
  if (n == 0 && m == 0) return {};
  using Scores = std::vector<std::vector<double>>;
  using Flags = std::vector<std::vector<std::uint8_t>>;
  Scores M(n + 1, std::vector<double>(m + 1, none)), X = M, Y = M;
  Flags FM(n + 1, std::vector<std::uint8_t>(m + 1, 0)), FX = FM, FY = FM;
  auto pick = [&](std::vector<std::pair<double, std::uint8_t>> candidates, double& score,
                  std::uint8_t& flags) {
    double best = none;
    for (auto [value, bit] : candidates) best = std::max(best, value);
    score = best;
    if (best == none) return;
    for (auto [value, bit] : candidates)
      if (value != none && std::abs(value - best) <= 1e-9) flags |= bit;
  };
  M[0][0] = 0;
  for (std::size_t i = 1; i <= n; ++i)
    pick({{M[i - 1][0] - 4, 1}, {X[i - 1][0] - 0.5, 2}}, X[i][0], FX[i][0]);
  for (std::size_t j = 1; j <= m; ++j)
    pick({{M[0][j - 1] - 4, 1}, {Y[0][j - 1] - 0.5, 4}}, Y[0][j], FY[0][j]);
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      pick({{M[i - 1][j - 1], 1}, {X[i - 1][j - 1], 2}, {Y[i - 1][j - 1], 4}}, M[i][j], FM[i][j]);
      if (M[i][j] != none) M[i][j] += a[i - 1] == b[j - 1] ? 5 : 0;
      pick({{M[i - 1][j] - 4, 1}, {X[i - 1][j] - 0.5, 2}}, X[i][j], FX[i][j]);
      pick({{M[i][j - 1] - 4, 1}, {Y[i][j - 1] - 0.5, 4}}, Y[i][j], FY[i][j]);
    }
  }
  const double best = std::max({M[n][m], X[n][m], Y[n][m]});
  char table = std::abs(M[n][m] - best) <= 1e-9   ? 'M'
               : std::abs(X[n][m] - best) <= 1e-9 ? 'X'
                                                  : 'Y';
  std::u32string first, second;
  std::size_t i = n, j = m;
  while (i > 0 || j > 0) {
    std::uint8_t flags;
    if (table == 'M') {
      first += a[i - 1], second += b[j - 1], flags = FM[i][j], --i, --j;
    } else if (table == 'X') {
      first += a[i - 1], second += U'-', flags = FX[i][j], --i;
    } else {
      first += U'-', second += b[j - 1], flags = FY[i][j], --j;
    }
    table = flags & 1 ? 'M' : flags & 2 ? 'X' : 'Y';
  }
  std::reverse(first.begin(), first.end());
  std::reverse(second.begin(), second.end());
  std::u32string match;
  for (std::size_t k = 0; k < first.size(); ++k)
    match += first[k] == second[k] ? U'|' : first[k] == U'-' || second[k] == U'-' ? U' ' : U'.';
  return {first, match, second};
}

std::u32string without_gaps(std::u32string text) {
  std::erase(text, U'-');
  return text;
}

// ---- fixed cases ----

struct Case {
  const char* name;
  std::string first, second;
  std::string first_aligned, match_line, second_aligned;
};

class AlignSequenceCase : public testing::TestWithParam<Case> {};

TEST_P(AlignSequenceCase, GivesExpectedTexts) {
  const Case& c = GetParam();
  const Alignment got = align_chains(sequence_chain(c.first), sequence_chain(c.second), false);
  EXPECT_EQ(utf8(got.first_aligned), c.first_aligned);
  EXPECT_EQ(utf8(got.match_line), c.match_line);
  EXPECT_EQ(utf8(got.second_aligned), c.second_aligned);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, AlignSequenceCase,
    testing::Values(
        Case{"IdenticalGivesOnlyMatches", "MKTAYIAK", "MKTAYIAK", "MKTAYIAK", "||||||||",
             "MKTAYIAK"},
        Case{"SingleGapEndsInMatch", "A", "AA", "-A", " |", "AA"},
        Case{"SecondEmpty", "AC", "", "AC", "  ", "--"},
        Case{"FirstEmpty", "", "AC", "--", "  ", "AC"},
        Case{"BothEmpty", "", "", "", "", ""},
        Case{"MismatchBeatsTwoGaps", "AXB", "AYB", "AXB", "|.|", "AYB"},
        Case{"InnerDeletionIsOneGap", "MKTAYIAKQRQISFVKSHFSRQ", "MKTAYIAKQRQSFVKSHFSRQ",
             "MKTAYIAKQRQISFVKSHFSRQ", "||||||||||| ||||||||||", "MKTAYIAKQRQ-SFVKSHFSRQ"},
        Case{"PointMutationIsOneMismatch", "MKTAYIAKQRQISFVKSHFSRQ", "MKTAYIAKQRWISFVKSHFSRQ",
             "MKTAYIAKQRQISFVKSHFSRQ", "||||||||||.|||||||||||", "MKTAYIAKQRWISFVKSHFSRQ"},
        Case{"ColumnsAreCodePoints", "A\xC3\xA9", "\xC3\xA9", "A\xC3\xA9", " |", "-\xC3\xA9"},
        Case{"InvalidByteIsReplacementSymbol", "A\xFF", "A\xEF\xBF\xBD", "A\xEF\xBF\xBD", "||",
             "A\xEF\xBF\xBD"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// ---- equivalence with the full tables on random input ----

struct RandomSetup {
  const char* name;
  std::u32string alphabet;
  std::size_t max_length;
  int pairs;
};

class PackedMatchesFullTables : public testing::TestWithParam<RandomSetup> {};

TEST_P(PackedMatchesFullTables, OnRandomPairs) {
  const RandomSetup& setup = GetParam();
  std::mt19937 rng(12345);
  std::uniform_int_distribution<std::size_t> length(0, setup.max_length);
  std::uniform_int_distribution<std::size_t> letter(0, setup.alphabet.size() - 1);
  auto random_text = [&] {
    std::u32string text(length(rng), U' ');
    for (char32_t& c : text) c = setup.alphabet[letter(rng)];
    return text;
  };
  for (int k = 0; k < setup.pairs; ++k) {
    const std::u32string a = random_text(), b = random_text();
    const Alignment want = full_table_alignment(a, b);
    const Alignment got = align_chains(sequence_chain(utf8(a)), sequence_chain(utf8(b)), false);
    ASSERT_EQ(got.first_aligned, want.first_aligned) << utf8(a) << " / " << utf8(b);
    ASSERT_EQ(got.match_line, want.match_line);
    ASSERT_EQ(got.second_aligned, want.second_aligned);
    ASSERT_EQ(without_gaps(got.first_aligned), a);
    ASSERT_EQ(without_gaps(got.second_aligned), b);
    for (std::size_t c = 0; c < got.first_aligned.size(); ++c)
      ASSERT_FALSE(got.first_aligned[c] == U'-' && got.second_aligned[c] == U'-');
  }
}

INSTANTIATE_TEST_SUITE_P(
    Alphabets, PackedMatchesFullTables,
    testing::Values(RandomSetup{"OneLetterRepeats", U"A", 12, 200},
                    RandomSetup{"TwoLettersShort", U"AC", 6, 1500},
                    RandomSetup{"FourLetters", U"ACGU", 30, 600},
                    RandomSetup{"Protein", U"ACDEFGHIKLMNPQRSTVWY", 60, 300},
                    RandomSetup{"NonAscii", U"A\u00e9\u20ac\U0001D11E", 20, 300},
                    RandomSetup{"Long", U"ACG", 400, 6}),
    [](const testing::TestParamInfo<RandomSetup>& info) { return std::string(info.param.name); });

TEST(PackedMatchesFullTables, OnRelatedSequences) {
  // Mutants of one sequence: long runs of matches with scattered gaps and
  // mismatches, the shape real model/native pairs have.
  std::mt19937 rng(777);
  const std::u32string alphabet = U"ACDEFGHIKLMNPQRSTVWY";
  std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> edit(0, 19);
  for (int k = 0; k < 40; ++k) {
    std::u32string a(150, U' ');
    for (char32_t& c : a) c = alphabet[letter(rng)];
    std::u32string b;
    for (char32_t c : a) {
      const int e = edit(rng);
      if (e == 0) continue;
      b += e == 1 ? alphabet[letter(rng)] : c;
      if (e == 2) b += alphabet[letter(rng)];
    }
    const Alignment want = full_table_alignment(a, b);
    const Alignment got = align_chains(sequence_chain(utf8(a)), sequence_chain(utf8(b)), false);
    ASSERT_EQ(got.first_aligned, want.first_aligned);
    ASSERT_EQ(got.second_aligned, want.second_aligned);
  }
}

// ---- alignment by residue number ----

std::u32string symbols_from(std::initializer_list<std::uint32_t> code_points) {
  std::u32string out;
  for (std::uint32_t c : code_points) out.push_back(static_cast<char32_t>(c));
  return out;
}

TEST(AlignByNumber, OverlappingRangesPairEqualNumbers) {
  const Alignment got =
      align_chains(numbered_chain({1, 2, 3, 4, 5}), numbered_chain({3, 4, 5, 6, 7}), true);
  EXPECT_EQ(got.first_aligned, symbols_from({46, 47, 48, 49, 50, '-', '-'}));
  EXPECT_EQ(got.match_line, U"  |||  ");
  EXPECT_EQ(got.second_aligned, symbols_from({'-', '-', 48, 49, 50, 51, 52}));
}

TEST(AlignByNumber, ResidueZeroAndNegativesAreNeverGaps) {
  const Alignment got =
      align_chains(numbered_chain({-2, -1, 0, 1, 2}), numbered_chain({0, 1, 2, 3, 4}), true);
  EXPECT_EQ(got.match_line, U"  |||  ");
  EXPECT_EQ(without_gaps(got.first_aligned), symbols_from({46, 47, 48, 49, 50}));
  EXPECT_EQ(without_gaps(got.second_aligned), symbols_from({48, 49, 50, 51, 52}));
}

TEST(AlignByNumber, RememberedApartFromTheSequenceAlignmentOfThePair) {
  // Both are remembered, one keyed by the texts and one by the numbers: asked
  // again, in either order, each call gets its own.
  const Chain first = numbered_chain({1, 2, 3, 4, 5});
  Chain second = numbered_chain({3, 4, 5, 6, 7});
  second.sequence = "AAAAC";
  const Alignment by_sequence = align_chains(first, second, false);
  EXPECT_EQ(without_gaps(by_sequence.second_aligned), U"AAAAC");
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(align_chains(first, second, true).match_line, U"  |||  ");
    EXPECT_EQ(align_chains(first, second, false).match_line, by_sequence.match_line);
  }
}

TEST(AlignByNumber, SmallestNumberMapsAboveGapSymbol) {
  const Alignment got = align_chains(numbered_chain({-100, -99}), numbered_chain({-99}), true);
  EXPECT_EQ(got.first_aligned, symbols_from({46, 47}));
  EXPECT_EQ(got.match_line, U" |");
  EXPECT_EQ(got.second_aligned, symbols_from({'-', 47}));
}

Chain with_insertion_codes(std::vector<std::int64_t> numbers, std::u32string codes) {
  Chain chain = numbered_chain(std::move(numbers));
  for (std::size_t i = 0; i < codes.size(); ++i) chain.residues[i].insertion_code = codes[i];
  return chain;
}

struct InsertionCase {
  Chain first, second;
  std::u32string match_line;
};

class AlignByNumberAndCode : public ::testing::TestWithParam<InsertionCase> {};

// Residues pair by number and insertion code: 10 and 10A are different residues.
TEST_P(AlignByNumberAndCode, PairsOnlyEqualNumbersAndCodes) {
  const Alignment got = align_chains(GetParam().first, GetParam().second, true);
  EXPECT_EQ(got.match_line, GetParam().match_line);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, AlignByNumberAndCode,
    ::testing::Values(
        InsertionCase{numbered_chain({9, 10, 11}), with_insertion_codes({9, 10, 11}, U" A "), U"|.|"},
        // 100, 100A, 100B, 101 against 100, 100B, 101: 100A has no partner.
        InsertionCase{with_insertion_codes({100, 100, 100, 101}, U" AB "),
                      with_insertion_codes({100, 100, 101}, U" B "), U"| ||"},
        InsertionCase{with_insertion_codes({5, 5}, U"AB"), with_insertion_codes({5, 5}, U"AB"), U"||"}));

TEST(AlignByNumber, NumbersBeyondUnicodeBecomeReplacementAndCompareEqual) {
  constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
  // With min at lo, only lo itself is a scalar; every other number overflows past U+10FFFF.
  const Alignment got = align_chains(numbered_chain({lo, 0, hi}), numbered_chain({lo, 5}), true);
  EXPECT_EQ(got.first_aligned, symbols_from({46, 0xFFFD, 0xFFFD}));
  EXPECT_EQ(got.match_line, U"| |");
  EXPECT_EQ(got.second_aligned, symbols_from({46, '-', 0xFFFD}));
}

TEST(AlignByNumber, SurrogateRangeBecomesReplacement) {
  // Offset 45: 0xD800 - 45 lands on the first surrogate, 0xDFFF - 45 on the last.
  const Alignment got =
      align_chains(numbered_chain({1, 0xD800 - 45, 0xDFFF - 45}), numbered_chain({1}), true);
  EXPECT_EQ(got.first_aligned, symbols_from({46, 0xFFFD, 0xFFFD}));
}

TEST(AlignByNumber, IgnoresSequenceText) {
  Chain first = numbered_chain({1, 2, 3});
  first.sequence = "XYZW";  // a four-letter residue name makes the text longer than the residues
  const Alignment got = align_chains(first, numbered_chain({1, 2, 3}), true);
  EXPECT_EQ(got.match_line, U"|||");
}

TEST(AlignByNumber, OneChainEmpty) {
  const Alignment got = align_chains(numbered_chain({}), numbered_chain({-5, 7}), true);
  EXPECT_EQ(got.first_aligned, U"--");
  EXPECT_EQ(got.second_aligned, symbols_from({46, 58}));
}

// 16385 x 16385 cells is just over 2^28: the table is refused before it is made.
TEST(AlignLimit, RefusesATableAboveTheCellLimitNamingBothChains) {
  Chain first = sequence_chain(std::string(16384, 'A'));
  Chain second = sequence_chain(std::string(16384, 'G'));
  second.id = "B";
  std::string message = "<aligned>";
  try {
    align_chains(first, second, false);
  } catch (const ThrownError& refused) {
    EXPECT_EQ(refused.error.kind(), ErrorKind::Mapping);
    message = refused.error.message();
  }
  EXPECT_EQ(message,
            "cannot align chain 'A' of length 16384 with chain 'B' of length 16384: the alignment table would "
            "have more than 268435456 cells");
}

TEST(AlignLimit, IdenticalSequencesNeedNoTable) {
  const Chain chain = sequence_chain(std::string(100000, 'W'));
  const Alignment a = align_chains(chain, chain, false);
  EXPECT_EQ(a.first_aligned, std::u32string(100000, U'W'));
  EXPECT_EQ(a.match_line, std::u32string(100000, U'|'));
  EXPECT_EQ(a.second_aligned, a.first_aligned);
}

TEST(AlignLimit, IdenticalSequencesGiveWhatTheTableGives) {
  for (const char* text : {"A", "AAAA", "ACDEFGHIKL", "WWAWW", "\xC3\xA9\xC3\xA9x"}) {
    const Alignment a = align_chains(sequence_chain(text), sequence_chain(text), false);
    const Alignment table = full_table_alignment(u32(text), u32(text));
    EXPECT_EQ(a.first_aligned, table.first_aligned) << text;
    EXPECT_EQ(a.match_line, table.match_line) << text;
    EXPECT_EQ(a.second_aligned, table.second_aligned) << text;
  }
}

// The candidate table's shortcut: it may only say "more mismatches than allowed"
// when the alignment has them. Point mutants, shifted, truncated, repetitive
// and unrelated sequences over a small alphabet (many chance matches), against
// the alignment itself; point mutants it must tell apart.
TEST(SurelyMoreMismatches, NeverRefusesAPairTheAlignmentAccepts) {
  std::mt19937 rng(7);
  auto random_text = [&](std::size_t length, const char* alphabet) {
    std::string out;
    const std::size_t size = std::string_view(alphabet).size();
    for (std::size_t k = 0; k < length; ++k) out += alphabet[rng() % size];
    return out;
  };
  std::size_t refused = 0, mutants_told_apart = 0;
  for (int round = 0; round < 400; ++round) {
    const char* alphabet = round % 3 == 0 ? "AC" : round % 3 == 1 ? "ACDEFGHIKL" : "ACDEFGHIKLMNPQRSTVWY";
    std::string a = random_text(1 + rng() % 150, alphabet);
    std::string b = a;
    const int edit = round % 5;
    const std::size_t changes = 1 + rng() % 4;
    for (std::size_t k = 0; k < changes && !b.empty(); ++k) {
      const std::size_t at = rng() % b.size();
      if (edit == 0 || edit == 4) b[at] = 'X';                    // substitutions
      if (edit == 1) b.erase(at, 1 + rng() % 3);                  // deletions
      if (edit == 2) b.insert(at, random_text(1 + rng() % 3, alphabet));  // insertions
    }
    if (edit == 3) b = random_text(1 + rng() % 150, alphabet);    // unrelated
    if (edit == 4) b = b.substr(std::min<std::size_t>(b.size(), rng() % 3)) + random_text(rng() % 3, alphabet);  // mutated and shifted
    if (a == b) continue;
    const Chain first = sequence_chain(a), second = sequence_chain(b);
    const std::size_t count = mismatches(align_chains(first, second, false));
    for (std::size_t allowed : {0, 1, 3}) {
      SCOPED_TRACE(a + " / " + b + " allowed " + std::to_string(allowed));
      if (!surely_more_mismatches(first, second, allowed)) continue;
      ++refused;
      EXPECT_GT(count, allowed);
    }
    if (edit == 0 && std::string_view(alphabet).size() == 20 && changes >= 2 &&
        surely_more_mismatches(first, second, 0))
      ++mutants_told_apart;
  }
  EXPECT_GT(refused, 100u);
  EXPECT_GT(mutants_told_apart, 5u);
}

}  // namespace
}  // namespace tarvo
