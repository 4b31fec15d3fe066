// The branch-and-bound mapping search against the plain enumeration: on
// homo-oligomers of 2 to 8 chains both must give the same RunResult, bit for
// bit, whether every tuple is scored before the walk, only those whose chains
// touch, or each during it.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include <tbb/task_arena.h>

#include "budget.hpp"              // Budget
#include "candidates.hpp"          // prepare_candidates
#include "layout.hpp"              // number_chains
#include "mapping_exhaustive.hpp"  // score_structures_exhaustive
#include "oligomer_models.hpp"
#include "search_budget.hpp"       // score_structures_with_budget
#include "walk_state.hpp"          // pruning_margin

namespace tarvo {
namespace {

using oligomer::ModelKind;

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

void expect_same_interface(const InterfaceResult& a, const InterfaceResult& b) {
  EXPECT_EQ(bits(a.Tarvo), bits(b.Tarvo));
  EXPECT_EQ(bits(a.F1), bits(b.F1));
  EXPECT_EQ(bits(a.iRMSD), bits(b.iRMSD));
  EXPECT_EQ(bits(a.LRMSD), bits(b.LRMSD));
  EXPECT_EQ(bits(a.fnat), bits(b.fnat));
  EXPECT_EQ(bits(a.fnonnat), bits(b.fnonnat));
  EXPECT_EQ(a.nat_correct, b.nat_correct);
  EXPECT_EQ(a.nat_total, b.nat_total);
  EXPECT_EQ(a.nonnat_count, b.nonnat_count);
  EXPECT_EQ(a.model_total, b.model_total);
  EXPECT_EQ(a.clashes, b.clashes);
  EXPECT_EQ(a.len1, b.len1);
  EXPECT_EQ(a.len2, b.len2);
  EXPECT_EQ(a.class1, b.class1);
  EXPECT_EQ(a.class2, b.class2);
  EXPECT_EQ(a.chain1, b.chain1);
  EXPECT_EQ(a.chain2, b.chain2);
}

void expect_same_run(const Result<RunResult>& search, const Result<RunResult>& plain) {
  ASSERT_EQ(search.has_value(), plain.has_value())
      << (search ? plain.error().message() : search.error().message());
  if (!search) {
    EXPECT_EQ(search.error().kind(), plain.error().kind());
    EXPECT_EQ(search.error().message(), plain.error().message());
    return;
  }
  EXPECT_EQ(search->model, plain->model);
  EXPECT_EQ(search->native, plain->native);
  EXPECT_EQ(search->best_mapping_str, plain->best_mapping_str);
  EXPECT_EQ(search->missing_interfaces, plain->missing_interfaces);
  EXPECT_EQ(search->mapping_exact, plain->mapping_exact);
  EXPECT_EQ(bits(search->mapping_gap), bits(plain->mapping_gap));
  EXPECT_EQ(bits(search->best_tarvo), bits(plain->best_tarvo));
  EXPECT_EQ(bits(search->GlobalTarvo), bits(plain->GlobalTarvo));
  ASSERT_EQ(search->best_mapping.size(), plain->best_mapping.size());
  for (auto a = search->best_mapping.begin(), b = plain->best_mapping.begin();
       a != search->best_mapping.end(); ++a, ++b) {
    EXPECT_EQ(a->first, b->first);
    EXPECT_EQ(a->second, b->second);
  }
  ASSERT_EQ(search->best_result.size(), plain->best_result.size());
  for (auto a = search->best_result.begin(), b = plain->best_result.begin();
       a != search->best_result.end(); ++a, ++b) {
    SCOPED_TRACE(a->first);
    EXPECT_EQ(a->first, b->first);
    expect_same_interface(a->second, b->second);
  }
}

// Makes each named chain a sequence of its own (the k-th: residue 3 + k
// unknown): one candidate only, the copy made from it.
void make_distinct(Structure& structure, const std::string& chain_ids) {
  for (std::size_t k = 0; k < chain_ids.size(); ++k) {
    Chain& chain = structure.chains.at(chain_ids.substr(k, 1));
    chain.residues.at(3 + k).name = "UNK";
    chain.residues.at(3 + k).code = "X";
    chain.sequence.clear();
    for (const auto& r : chain.residues) chain.sequence += r.code;
  }
}

// Drops the first two residues of a chain: its alignments have gaps.
void trim_start(Structure& structure, const std::string& chain_id) {
  Chain& chain = structure.chains.at(chain_id);
  chain.residues.erase(chain.residues.begin(), chain.residues.begin() + 2);
  chain.sequence.erase(0, 2);
}

// Removes every backbone atom of a chain: its interfaces get no LRMSD and a NaN score.
void strip_backbone(Structure& structure, const std::string& chain_id) {
  Chain& chain = structure.chains.at(chain_id);
  for (auto& residue : chain.residues)
    std::erase_if(residue.atoms, [](const Atom& a) { return a.name != "CB"; });
}

struct Case {
  std::size_t model_chains;
  std::size_t native_chains;
  ModelKind kind;
  std::uint32_t seed;
  std::optional<std::string> mapping;
  bool strip_first_model_chain;
  bool trim_first_chains = false;
  bool scrambled_native = false;  // native chains stored out of contact order
  std::string distinct = "";       // native chains given a sequence of their own, with their model copies
};

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  const Case& c = info.param;
  std::string name = std::to_string(c.model_chains) + "on" + std::to_string(c.native_chains) +
                     oligomer::kind_name(c.kind) + std::to_string(c.seed);
  if (c.mapping) name += "Fixed";
  if (c.strip_first_model_chain) name += "NoBackbone";
  if (c.trim_first_chains) name += "Trimmed";
  if (c.scrambled_native) name += "Scrambled";
  if (!c.distinct.empty()) name += "Distinct" + c.distinct;
  return name;
}

class SearchMatchesEnumeration : public ::testing::TestWithParam<Case> {};

TEST_P(SearchMatchesEnumeration, SameRunResultBitForBit) {
  const Case& c = GetParam();
  Structure native = oligomer::thinned(oligomer::homo_native(c.native_chains));
  if (c.scrambled_native) {
    // First, last, second, second to last...: the walk visits them in another order.
    std::vector<std::pair<std::string, std::string>> order;
    for (std::size_t i = 0; i < c.native_chains; ++i) {
      const std::size_t k = i % 2 == 0 ? i / 2 : c.native_chains - 1 - i / 2;
      const std::string id(1, static_cast<char>('A' + k));
      order.emplace_back(id, id);
    }
    native = oligomer::pick(native, order, "native");
  }
  native.id = "native";
  make_distinct(native, c.distinct);
  Structure source = oligomer::thinned(oligomer::homo_native(c.model_chains));
  make_distinct(source, c.distinct);
  Structure model = oligomer::make_model(source, c.kind, c.seed);
  if (c.strip_first_model_chain) strip_backbone(model, model.chains.begin()->first);
  if (c.trim_first_chains) {
    trim_start(model, model.chains.begin()->first);
    trim_start(native, native.chains.begin()->first);
  }
  ScoreOptions options;
  options.mapping = format_mapping(c.mapping).value();
  if (!c.distinct.empty()) {
    Budget budget;
    auto setup = prepare_candidates(model, native, options, budget);
    ASSERT_TRUE(setup);
    EXPECT_EQ(number_chains(model, native, *setup).fixed_count, setup->fixed.size() + c.distinct.size());
  }
  auto plain = score_structures_exhaustive(model, native, options);
  {
    SCOPED_TRACE("every tuple scored before the walk");
    expect_same_run(score_structures(model, native, options), plain);
  }
  {
    SCOPED_TRACE("tuples scored during the walk");
    expect_same_run(score_structures_with_budget(model, native, options, 1'000'000'000, 0), plain);
  }
  {
    SCOPED_TRACE("only the tuples whose chains touch scored before the walk");
    expect_same_run(score_structures_with_budget(model, native, options, 1'000'000'000, 300), plain);
  }
}

std::vector<Case> cases() {
  std::vector<Case> out;
  for (std::size_t n = 2; n <= 7; ++n)
    for (ModelKind kind : {ModelKind::NativeLike, ModelKind::Shuffled, ModelKind::PartlyWrong,
                           ModelKind::Random})
      out.push_back({n, n, kind, 11, std::nullopt, false});
  out.push_back({8, 8, ModelKind::NativeLike, 3, std::nullopt, false});
  // Fixed pairs with a wildcard tail, the rest searched.
  out.push_back({6, 6, ModelKind::NativeLike, 5, "AB****:AB****", false});
  out.push_back({6, 6, ModelKind::PartlyWrong, 5, "C*A***:ABCDEF", false});
  // Every pair fixed: one mapping, nothing to search.
  out.push_back({4, 4, ModelKind::NativeLike, 5, "DCBA:ABCD", false});
  // Fewer model chains: the model chains are the anchors and some native chains stay out.
  out.push_back({4, 6, ModelKind::NativeLike, 7, std::nullopt, false});
  out.push_back({3, 6, ModelKind::Random, 7, std::nullopt, false});
  // More model chains: one of them scores NaN wherever it goes, so it must stay out.
  out.push_back({6, 5, ModelKind::NativeLike, 9, std::nullopt, true});
  out.push_back({5, 4, ModelKind::PartlyWrong, 9, std::nullopt, true});
  // Every mapping holds the NaN chain: nothing can be selected.
  out.push_back({4, 4, ModelKind::NativeLike, 9, std::nullopt, true});
  // A model chain and a native chain shorter than their partners: gapped
  // alignments, on the model side and on the native side.
  out.push_back({5, 5, ModelKind::PartlyWrong, 13, std::nullopt, false, true});
  // Native chains that the walk visits out of table order: ties (the shuffled
  // model is exact, so symmetric mappings tie) still go to the first enumerated.
  for (ModelKind kind : {ModelKind::Shuffled, ModelKind::NativeLike, ModelKind::Random})
    out.push_back({7, 7, kind, 17, std::nullopt, false, false, true});
  // Chains of one candidate each, among the interchangeable ones: fixed for the
  // walk, in their places in the mapping; native and model chains as anchors.
  for (ModelKind kind : {ModelKind::Shuffled, ModelKind::PartlyWrong, ModelKind::Random})
    out.push_back({6, 6, kind, 19, std::nullopt, false, false, false, "BE"});
  out.push_back({6, 6, ModelKind::NativeLike, 19, "A*****:A*****", false, false, false, "D"});
  out.push_back({4, 6, ModelKind::NativeLike, 19, std::nullopt, false, false, false, "AB"});
  return out;
}

INSTANTIATE_TEST_SUITE_P(HomoOligomers, SearchMatchesEnumeration, ::testing::ValuesIn(cases()),
                         case_name);

// A budget too small for the proof: the best mapping found, whose total plus
// the reported gap is never below the best total; a proven result is the plain
// one bit for bit; `exact` asks for the budget error instead; and the same call
// on one thread gives the same result.
TEST(AnytimeSearch, BestFoundWithASoundGap) {
  Structure native = oligomer::thinned(oligomer::homo_native(7));
  native.id = "native";
  std::size_t cut = 0;
  for (ModelKind kind : {ModelKind::Random, ModelKind::PartlyWrong})
    for (std::uint32_t seed : {2u, 4u}) {
      Structure model = oligomer::make_model(native, kind, seed);
      auto plain = score_structures_exhaustive(model, native, {});
      ASSERT_TRUE(plain) << plain.error().message();
      for (std::size_t upfront : {std::size_t{0}, kUpfrontTuples})
        for (std::size_t budget = 20'000; budget < 200'000'000; budget *= 2) {
          SCOPED_TRACE(std::string(oligomer::kind_name(kind)) + " seed " + std::to_string(seed) + " budget " +
                       std::to_string(budget) + " upfront " + std::to_string(upfront));
          auto found = score_structures_with_budget(model, native, {}, budget, upfront);
          if (!found) {
            EXPECT_NE(found.error().message().find("chains were interchangeable"), std::string::npos);
            continue;
          }
          if (found->mapping_exact) {
            EXPECT_EQ(bits(found->mapping_gap), bits(0.0));
            expect_same_run(found, plain);
            continue;
          }
          ++cut;
          EXPECT_GT(found->mapping_gap, 0.0);
          EXPECT_LE(found->best_tarvo, plain->best_tarvo);
          EXPECT_GE(found->best_tarvo + found->mapping_gap, plain->best_tarvo);
          // The budget counts steps, not time: one thread gives the same answer.
          Result<RunResult> again = std::unexpected(TarvoError{err::Cancelled{}});
          tbb::task_arena(1).execute([&] { again = score_structures_with_budget(model, native, {}, budget, upfront); });
          expect_same_run(again, found);
          EXPECT_EQ(bits(again->mapping_gap), bits(found->mapping_gap));
          ScoreOptions exact;
          exact.exact = true;
          auto refused = score_structures_with_budget(model, native, exact, budget, upfront);
          ASSERT_FALSE(refused);
          EXPECT_NE(refused.error().message().find("7 chains were interchangeable"), std::string::npos);
        }
    }
  EXPECT_GT(cut, 0u);
}

// With tuples scored as the walk needs them, exchanges still improve the best
// mapping found: they score what they need. Under this budget the walk alone
// stops at a mapping one exchange away from the best.
TEST(AnytimeSearch, ExchangesScoreTheTuplesTheyNeed) {
  Structure native = oligomer::thinned(oligomer::homo_native(6));
  native.id = "native";
  const Structure model = oligomer::make_model(native, ModelKind::Random, 3);
  auto plain = score_structures_exhaustive(model, native, {});
  ASSERT_TRUE(plain) << plain.error().message();
  auto found = score_structures_with_budget(model, native, {}, 640'000, 0);
  ASSERT_TRUE(found) << found.error().message();
  EXPECT_FALSE(found->mapping_exact);
  EXPECT_EQ(found->best_mapping_str, plain->best_mapping_str);
  EXPECT_EQ(bits(found->best_tarvo), bits(plain->best_tarvo));
}

// Summing 0.1 a hundred thousand times drifts by 2e-8: a margin of 1e-9 would
// let pruning drop a branch whose bound ties the best total; the margin grows
// with the interfaces summed and stays 1e-9 up to 2,000 of them.
TEST(PruningMargin, CoversTheRoundingOfLongSums) {
  const std::size_t n = 100'000;
  double total = 0.0;
  for (std::size_t k = 0; k < n; ++k) total += 0.1;
  const double drift = std::abs(total - 0.1 * static_cast<double>(n));
  EXPECT_GT(drift, 1e-9);
  EXPECT_LT(2 * drift, pruning_margin(n));
  EXPECT_EQ(pruning_margin(2'000), 1e-9);
  EXPECT_EQ(pruning_margin(24), 1e-9);
}

// The search scores tuples from sides prepared once; the plain call prepares
// them itself. Both must agree, with whole and with gapped alignments.
TEST(PreparedSides, ScoreAsThePlainCall) {
  Structure native = oligomer::thinned(oligomer::homo_native(4));
  Structure model = oligomer::make_model(native, ModelKind::PartlyWrong, 3);
  trim_start(model, model.chains.begin()->first);
  trim_start(native, "B");
  std::size_t scored = 0;
  for (const auto& [m1_id, model1] : model.chains)
    for (const auto& [m2_id, model2] : model.chains)
      for (const auto& [n1_id, native1] : native.chains)
        for (const auto& [n2_id, native2] : native.chains) {
          if (m1_id == m2_id || n1_id == n2_id) continue;
          SCOPED_TRACE(m1_id + m2_id + n1_id + n2_id);
          Alignment alignment1 = align_chains(model1, native1, false);
          Alignment alignment2 = align_chains(model2, native2, false);
          auto plain = calc_tarvo(model1, model2, native1, native2, alignment1, alignment2, false);
          auto side1 = align_chain_pair(model1, native1, alignment1);
          auto side2 = align_chain_pair(model2, native2, alignment2);
          ASSERT_TRUE(plain && side1 && side2);
          DistanceMatrix model_matrix =
              *residue_group_distances(side1->residues.model, side2->residues.model, true);
          auto prepared = calc_tarvo(native1, native2, *side1, *side2, false,
                                     native_distances(native1, native2), model_matrix);
          ASSERT_TRUE(prepared);
          ASSERT_EQ(plain->has_value(), prepared->has_value());
          if (!*plain) continue;
          expect_same_interface(**prepared, **plain);
          ++scored;
        }
  EXPECT_GT(scored, 0u);
}

}  // namespace
}  // namespace tarvo
