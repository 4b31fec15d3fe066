// Groups texts and the interface between two groups of native chains.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tarvo/mapping_text.hpp"  // format_groups, format_mapping
#include "tarvo/search.hpp"        // score_structures
#include "oligomer_models.hpp"
#include "search_budget.hpp"       // score_structures_with_budget

namespace tarvo {
namespace {

std::string joined(const std::vector<std::string>& ids) {
  std::string out;
  for (const auto& id : ids) out += (out.empty() ? "" : "|") + id;
  return out;
}

struct GroupsCase {
  std::string text;
  std::string receptor;  // ids joined by '|', or the error's message part
  std::string ligand;
};

class FormatGroups : public ::testing::TestWithParam<GroupsCase> {};

TEST_P(FormatGroups, ReadsBothForms) {
  auto groups = format_groups(GetParam().text);
  ASSERT_TRUE(groups && *groups) << (groups ? "no groups" : groups.error().message());
  EXPECT_EQ((*groups)->text, GetParam().text);
  EXPECT_EQ(joined((*groups)->receptor), GetParam().receptor);
  EXPECT_EQ(joined((*groups)->ligand), GetParam().ligand);
}

INSTANTIATE_TEST_SUITE_P(Texts, FormatGroups,
                         ::testing::Values(GroupsCase{"HL:A", "H|L", "A"}, GroupsCase{"A:HL", "A", "H|L"},
                                           GroupsCase{"H1,L1:AG", "H1|L1", "AG"},
                                           GroupsCase{"H,L:A", "H|L", "A"}));

class FormatGroupsRefuses : public ::testing::TestWithParam<GroupsCase> {};

TEST_P(FormatGroupsRefuses, SaysWhatIsWrong) {
  auto groups = format_groups(GetParam().text);
  ASSERT_FALSE(groups);
  EXPECT_EQ(groups.error().kind(), ErrorKind::Mapping);
  EXPECT_NE(groups.error().message().find(GetParam().receptor), std::string::npos) << groups.error().message();
}

INSTANTIATE_TEST_SUITE_P(Texts, FormatGroupsRefuses,
                         ::testing::Values(GroupsCase{"HLA", "not exactly one ':'", ""},
                                           GroupsCase{"HL:A:B", "not exactly one ':'", ""},
                                           GroupsCase{":A", "the receptor has no chain", ""},
                                           GroupsCase{"HL:", "the ligand has no chain", ""},
                                           GroupsCase{"HL:LA", "chain \"L\" is named twice", ""},
                                           GroupsCase{"H1,:A", "an empty chain id", ""},
                                           GroupsCase{"H\tL:A", "white space", ""}));

TEST(FormatGroups, NoTextIsNoGroups) {
  for (const std::optional<std::string>& text : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    auto groups = format_groups(text);
    ASSERT_TRUE(groups);
    EXPECT_FALSE(*groups);
  }
}

// Chains A and B of the 24-chain example touch each other and M; G touches none of them.
const Structure& homo() {
  static const Structure structure = [] {
    auto loaded = load_structure(oligomer::kHomo24, std::vector<std::string>{"A", "B", "G", "M"}, false, 0);
    if (!loaded) throw std::runtime_error(loaded.error().message());
    return std::move(*loaded);
  }();
  return structure;
}

const Structure& native() {
  static const Structure structure = oligomer::pick(homo(), {{"A", "A"}, {"B", "B"}, {"M", "M"}}, "native");
  return structure;
}

ScoreOptions grouped(const std::string& groups, const std::string& mapping = "") {
  return parse_option_texts({}, mapping, groups).value();
}

TEST(ScoreGroups, EqualScoresGoToTheFirstMapping) {
  // Model chains A and B at the same place: both assignments score bit for bit alike.
  auto first = score_structures(oligomer::pick(homo(), {{"A", "A"}, {"A", "B"}, {"M", "M"}}, "model"), native(),
                                grouped("AB:M"));
  ASSERT_TRUE(first) << first.error().message();
  EXPECT_EQ(first->best_mapping_str, "ABM:ABM");
  auto second = score_structures(oligomer::pick(homo(), {{"A", "B"}, {"A", "A"}, {"M", "M"}}, "model"), native(),
                                 grouped("AB:M"));
  ASSERT_TRUE(second) << second.error().message();
  EXPECT_EQ(second->best_mapping_str, "BAM:ABM");
  EXPECT_EQ(second->best_result.at("AB:M").chain1, "BA");
}

TEST(ScoreGroups, AGroupedChainWithoutModelChainStillCountsInTheNative) {
  // Two model chains for three native: native B keeps its residues and contacts, no model chain.
  auto result = score_structures(oligomer::pick(homo(), {{"A", "A"}, {"M", "M"}}, "model"), native(), grouped("AB:M"));
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->best_mapping_str, "AM:AM");
  const InterfaceResult& interface = result->best_result.at("AB:M");
  EXPECT_EQ(interface.chain1, "A");
  EXPECT_EQ(interface.len1, 230u);
  EXPECT_LT(interface.nat_correct, interface.nat_total);
  EXPECT_TRUE(result->missing_interfaces.empty());
}

TEST(ScoreGroups, SidesOutOfContactAreAMappingError) {
  auto result = score_structures(homo(), homo(), grouped("A:G"));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Mapping);
  EXPECT_EQ(result.error().message(), "groups text \"A:G\": the two sides have no contact in the native");
}

TEST(ScoreGroups, MappingErrorComesBeforeTheGroupsError) {
  auto result = parse_option_texts({}, "AB", "A");
  ASSERT_FALSE(result);
  EXPECT_NE(result.error().message().find("When using --mapping"), std::string::npos) << result.error().message();
}

TEST(ScoreGroups, TooManyAssignmentsExhaustTheBudgetWhenExactIsAsked) {
  ScoreOptions exact = grouped("AB:M");
  exact.exact = true;
  auto result = score_structures_with_budget(homo(), homo(), exact, 100'000, 0);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Mapping);
  EXPECT_NE(result.error().message().find("chains were interchangeable"), std::string::npos)
      << result.error().message();
}

// A budget for a few of the 24 assignments: the best of those scored, with a
// gap that covers the best of all, and the budget error when `exact` asks.
TEST(ScoreGroups, OutOfBudgetGivesTheBestScoredWithASoundGap) {
  const Structure model = oligomer::make_model(homo(), oligomer::ModelKind::PartlyWrong, 5);
  auto all = score_structures(model, native(), grouped("AB:M"));
  ASSERT_TRUE(all) << all.error().message();
  EXPECT_TRUE(all->mapping_exact);
  std::size_t cut = 0;
  for (std::size_t budget : {150'000, 300'000, 600'000}) {
    SCOPED_TRACE(budget);
    auto found = score_structures_with_budget(model, native(), grouped("AB:M"), budget, 0);
    ASSERT_TRUE(found) << found.error().message();
    if (found->mapping_exact) continue;
    ++cut;
    EXPECT_GT(found->mapping_gap, 0.0);
    EXPECT_LE(found->best_tarvo, all->best_tarvo);
    EXPECT_GE(found->best_tarvo + found->mapping_gap, all->best_tarvo);
    ScoreOptions exact = grouped("AB:M");
    exact.exact = true;
    EXPECT_FALSE(score_structures_with_budget(model, native(), exact, budget, 0));
  }
  EXPECT_EQ(cut, 3u);
}

}  // namespace
}  // namespace tarvo
