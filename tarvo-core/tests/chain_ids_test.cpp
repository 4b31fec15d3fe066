// Chain ids of any length written back as text, and searches over assemblies of
// thousands of chains, which the work budget must end cleanly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarvo/mapping_text.hpp"  // format_mapping_string, interface_name, chain_text
#include "tarvo/search.hpp"        // score_structures
#include "oligomer_models.hpp"

namespace tarvo {
namespace {

Structure with_chains(const std::vector<std::string>& ids) {
  Structure s;
  for (const auto& id : ids) s.chains.insert_or_assign(id, Chain{id, {}, "", std::nullopt});
  return s;
}

struct FormCase {
  std::vector<std::string> model, native;
  std::string mapping_text;  // native i -> model i, written back
  std::string first_interface;
};

class ChainTextForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(ChainTextForm, OneCharacterIdsAsBeforeLongerOnesJoinedByCommas) {
  const FormCase& c = GetParam();
  const ChainText form = chain_text(with_chains(c.model), with_chains(c.native));
  ChainMapping mapping;
  for (std::size_t i = 0; i < c.native.size(); ++i) mapping.insert_or_assign(c.native[i], c.model[i]);
  EXPECT_EQ(format_mapping_string(mapping, form), c.mapping_text);
  EXPECT_EQ(interface_name(c.native[0], c.native[1], form), c.first_interface);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ChainTextForm,
    ::testing::Values(FormCase{{"B", "A"}, {"A", "B"}, "BA:AB", "AB"},
                      FormCase{{"Å", "B"}, {"A", "B"}, "ÅB:AB", "AB"},  // one character, two bytes
                      FormCase{{"AA", "B2"}, {"A", "B"}, "AA,B2:A,B", "A,B"},
                      FormCase{{"A", "B"}, {"A", "BC"}, "A,B:A,BC", "A,BC"}));

struct LargeCase {
  std::size_t chains;
};

class LargeAssembly : public ::testing::TestWithParam<LargeCase> {};

// The set-up (candidate table, bound tables, contact matrices) draws on the
// budget too: it ends with the budget error, naming how many chains were
// interchangeable, instead of working on or running out of memory.
TEST_P(LargeAssembly, EndsWithTheBudgetError) {
  const Structure s = oligomer::grid_of_chains(GetParam().chains);
  auto result = score_structures(s, s, {});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Mapping);
  EXPECT_NE(result.error().message().find(std::to_string(GetParam().chains) + " chains were interchangeable"),
            std::string::npos)
      << result.error().message();
}

INSTANTIATE_TEST_SUITE_P(Sizes, LargeAssembly, ::testing::Values(LargeCase{300}, LargeCase{100'000}));

}  // namespace
}  // namespace tarvo
