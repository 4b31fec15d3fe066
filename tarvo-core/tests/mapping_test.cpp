// Mapping texts, the rules of the chain-mapping search and runs over a given mapping.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "tarvo/interfaces.hpp"    // run_on_native_interfaces
#include "tarvo/mapping_text.hpp"  // format_mapping, format_mapping_string, ChainMapping
#include "budget.hpp"              // Budget
#include "candidates.hpp"          // prepare_candidates
#include "layout.hpp"              // number_chains
#include "mapping_exhaustive.hpp"  // score_structures_exhaustive
#include "oligomer_models.hpp"
#include "search_budget.hpp"       // score_structures_with_budget

namespace tarvo {
namespace {

std::string joined(const std::optional<std::vector<std::string>>& list) {
  if (!list) return "none";
  std::string out;
  for (const auto& id : *list) out += (out.empty() ? "" : "|") + id;
  return out;
}

struct TextCase {
  std::optional<std::string> text;
  std::string fixed;  // the fixed pairs written back as a mapping text
  std::string models;
  std::string natives;
};

class FormatMapping : public ::testing::TestWithParam<TextCase> {};

TEST_P(FormatMapping, GivesFixedPairsAndChainLists) {
  const TextCase& c = GetParam();
  auto spec = format_mapping(c.text);
  ASSERT_TRUE(spec) << spec.error().message();
  EXPECT_EQ(format_mapping_string(spec->fixed), c.fixed);
  EXPECT_EQ(joined(spec->model_chains), c.models);
  EXPECT_EQ(joined(spec->native_chains), c.natives);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FormatMapping,
    ::testing::Values(TextCase{std::nullopt, ":", "none", "none"}, TextCase{"", ":", "none", "none"},
                      TextCase{"ABC:ABC", "ABC:ABC", "A|B|C", "A|B|C"},
                      TextCase{"BA:AB", "BA:AB", "B|A", "A|B"},
                      TextCase{":AB", ":", "none", "A|B"}, TextCase{"*:AB", ":", "none", "A|B"},
                      TextCase{"AB*:AB*", "AB:AB", "none", "none"},
                      TextCase{"A*C:ABC", "AC:AC", "none", "A|B|C"}, TextCase{"*A:BA", "A:A", "none", "B|A"},
                      TextCase{":*", ":", "none", "none"},
                      TextCase{":AAB", ":", "none", "A|A|B"},
                      // Characters, not bytes: Å is two bytes but one chain id.
                      TextCase{"ÅB:AB", "ÅB:AB", "Å|B", "A|B"},
                      // A "," anywhere: ids joined by ",", a lone "*" as the wildcard.
                      TextCase{"B2,AA:A,B", "B2AA:AB", "B2|AA", "A|B"},
                      TextCase{"L,H,*:H,L,*", "LH:HL", "none", "none"},
                      TextCase{"A,*,CC:A,B,CC", "ACC:ACC", "none", "A|B|CC"},
                      TextCase{":A,BC", ":", "none", "A|BC"}, TextCase{"*:A,BC", ":", "none", "A|BC"}));

struct BadText {
  std::string text;
  std::string what;  // the part of the message that says what is wrong
};

class FormatMappingRefuses : public ::testing::TestWithParam<BadText> {};

TEST_P(FormatMappingRefuses, SaysWhatIsWrongAndShowsTheForm) {
  auto spec = format_mapping(GetParam().text);
  ASSERT_FALSE(spec) << GetParam().text;
  EXPECT_EQ(spec.error().kind(), ErrorKind::Mapping);
  const std::string message = spec.error().message();
  EXPECT_EQ(message.rfind("mapping text " + tarvo::quoted(GetParam().text) + ": " + GetParam().what, 0), 0u) << message;
  EXPECT_NE(message.find("(e.g. BA:AB) or chain ids joined by ',' (e.g. B2,AA:A,B)"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FormatMappingRefuses,
    ::testing::Values(BadText{"AB:ABC", "2 model chains for 3 native chains"},
                      BadText{"A:BC", "1 model chain for 2 native chains"},
                      BadText{"AB*:AB", "3 model chains for 2 native chains"},
                      BadText{"AB:C:", "more than one ':'"}, BadText{"A:B:C", "more than one ':'"},
                      BadText{"A B:AB", "white space"}, BadText{"AB:AB\t", "white space"},
                      BadText{"AA:AB", "model chain \"A\" is named twice"},
                      BadText{"AB:AA", "native chain \"A\" is named twice"},
                      BadText{"A,B,A:C,D,E", "model chain \"A\" is named twice"},
                      BadText{"A,:A,B", "an empty chain id"}, BadText{":A,,B", "an empty chain id"},
                      BadText{"A*,B:A,B", "chain id \"A*\" holds '*'"}));

TEST(FormatMapping, NativeChainsMissingIsTheOneError) {
  for (const char* text : {"AB:", "AB", "*"}) {
    auto spec = format_mapping(std::string(text));
    ASSERT_FALSE(spec) << text;
    EXPECT_EQ(spec.error().kind(), ErrorKind::Mapping);
    EXPECT_EQ(spec.error().message(),
              "When using --mapping, native chains must be set (e.g. ABC:ABC or :ABC)");
  }
}

// ---------------------------------------------------------------------------
// Structures for the search: chains of the 24-chain example (A-B, B-C and
// A-B-M are in contact; A and G are not).

using oligomer::pick;

const Structure& homo() {
  static const Structure structure = [] {
    auto loaded = load_structure(oligomer::kHomo24, std::vector<std::string>{"A", "B", "C", "G", "M"},
                                 false, 0);
    if (!loaded) throw std::runtime_error(loaded.error().message());
    return std::move(*loaded);
  }();
  return structure;
}

// A chain of another protein, with a sequence no homo chain shares.
const Chain& foreign_chain() {
  static const Chain chain = [] {
    auto loaded = load_structure(std::string(TARVO_EXAMPLES_DIR) + "/3FN1_native.pdb",
                                 std::vector<std::string>{"B"}, false, 0);
    if (!loaded) throw std::runtime_error(loaded.error().message());
    return loaded->chains.at("B");
  }();
  return chain;
}

Structure with_foreign(Structure s, const std::string& name) {
  Chain chain = foreign_chain();
  chain.id = name;
  s.chains.insert_or_assign(name, std::move(chain));
  return s;
}

// Ordered-map values are reached for writing through the iterator's value().
template <class Edit>
void edit_chains(Structure& s, Edit edit) {
  for (auto it = s.chains.begin(); it != s.chains.end(); ++it) edit(it.value());
}

void drop_atoms(Structure& s, bool (*drop)(const Atom&)) {
  edit_chains(s, [&](Chain& chain) {
    for (auto& residue : chain.residues) std::erase_if(residue.atoms, drop);
  });
}

Structure native_of(std::vector<std::string> ids) {
  std::vector<std::pair<std::string, std::string>> chains;
  for (const auto& id : ids) chains.emplace_back(id, id);
  return pick(homo(), chains, "native");
}

Result<RunResult> search(const Structure& model, const Structure& native, ScoreOptions options = {}) {
  auto result = score_structures(model, native, options);
  auto plain = score_structures_exhaustive(model, native, options);
  EXPECT_EQ(result.has_value(), plain.has_value());
  if (result && plain) EXPECT_EQ(result->best_mapping_str, plain->best_mapping_str);
  return result;
}

void expect_error(const Result<RunResult>& result, ErrorKind kind, const std::string& message) {
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), kind);
  EXPECT_EQ(result.error().message(), message);
}

TEST(ScoreStructures, SmallMoleculeFailsBeforeTheMappingIsLookedAt) {
  ScoreOptions options;
  options.small_molecule = true;
  options.mapping = format_mapping(":A").value();
  auto result = score_structures(native_of({"A", "B"}), native_of({"A", "B"}), options);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::SmallMoleculeUnsupported);
}

TEST(ScoreStructures, NeedsTwoChainsOnEachSideAndSaysWhichFallsShort) {
  const std::string text = "Need at least two chains in the two inputs: ";
  Structure one = native_of({"A"});
  one.id = "m.pdb";
  expect_error(search(one, native_of({"A", "B"})), ErrorKind::Mapping,
               text + "the model m.pdb takes part with [\"A\"]");
  ScoreOptions one_native;
  one_native.mapping = format_mapping(":A").value();
  Structure native = native_of({"A", "B"});
  native.id = "n.pdb";
  expect_error(search(native_of({"A", "B"}), native, one_native), ErrorKind::Mapping,
               text + "the native n.pdb takes part with [\"A\"]");
}

TEST(ScoreStructures, RepeatedIdsInTheMappingTextCountOnce) {
  ScoreOptions options;
  options.mapping = format_mapping(":AAB").value();
  auto result = search(native_of({"A", "B"}), native_of({"A", "B"}), options);
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->best_mapping_str, "AB:AB");
  // The check for two chains counts the list as written; one chain is left.
  options.mapping = format_mapping(":AA").value();
  expect_error(search(native_of({"A", "B"}), native_of({"A", "B"}), options), ErrorKind::Mapping,
               "Could not find interfaces in the native. Check the inputs or select chains with "
               "--mapping.");
}

TEST(ScoreStructures, MissingChainOfTheMappingText) {
  ScoreOptions options;
  options.mapping = format_mapping(":AZ").value();
  auto result = search(native_of({"A", "B"}), native_of({"A", "B"}), options);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::ChainNotFound);
  EXPECT_EQ(std::get<err::ChainNotFound>(result.error().payload).chain, "Z");
}

TEST(ScoreStructures, AnchorsWithoutCandidateAreListedInAnchorOrder) {
  // Equal counts: the native chains are the anchors.
  Structure foreign_model = with_foreign(with_foreign(Structure{}, "P"), "Q");
  auto natives = search(foreign_model, native_of({"A", "B"}));
  ASSERT_FALSE(natives);
  EXPECT_EQ(natives.error().kind(), ErrorKind::NoIdenticalNativeChain);
  EXPECT_EQ(std::get<err::NoIdenticalNativeChain>(natives.error().payload).chains,
            (std::vector<std::string>{"A", "B"}));
  // Fewer model chains: the model chains are the anchors, and the error names them.
  auto models = search(foreign_model, native_of({"A", "B", "C"}));
  ASSERT_FALSE(models);
  EXPECT_EQ(std::get<err::NoIdenticalNativeChain>(models.error().payload).chains,
            (std::vector<std::string>{"P", "Q"}));
}

TEST(ScoreStructures, TwoAnchorsWithOneSharedCandidateGiveNoMapping) {
  Structure model = with_foreign(pick(homo(), {{"A", "A"}}, "model"), "C");
  expect_error(search(model, native_of({"A", "B"})), ErrorKind::Mapping,
               "No valid chain mapping could be enumerated");
}

TEST(ScoreStructures, NativeChainsOutOfContactHaveNoInterface) {
  expect_error(search(native_of({"A", "G"}), native_of({"A", "G"})), ErrorKind::Mapping,
               "Could not find interfaces in the native. Check the inputs or select chains with "
               "--mapping.");
}

TEST(ScoreStructures, NoDefinedTotalIsAMappingError) {
  Structure model = native_of({"A", "B"});
  drop_atoms(model, [](const Atom& a) { return a.name != "CB"; });
  auto result = search(model, native_of({"A", "B"}));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Mapping);
  EXPECT_NE(result.error().message().find("No chain mapping produced a defined score"),
            std::string::npos);
}

TEST(ScoreStructures, EqualTotalsGoToTheEarliestMapping) {
  // Two model chains with the same coordinates: both mappings score bit for bit alike.
  Structure same = pick(homo(), {{"A", "A"}, {"A", "B"}}, "model");
  auto first = search(same, native_of({"A", "B"}));
  ASSERT_TRUE(first) << first.error().message();
  EXPECT_EQ(first->best_mapping_str, "AB:AB");
  // Candidates in the model's order: B first makes {A->B, B->A} the first mapping.
  Structure reversed = pick(homo(), {{"A", "B"}, {"A", "A"}}, "model");
  auto second = search(reversed, native_of({"A", "B"}));
  ASSERT_TRUE(second) << second.error().message();
  EXPECT_EQ(second->best_mapping_str, "BA:AB");
  EXPECT_EQ(second->best_result.at("AB").chain1, "B");
  EXPECT_EQ(second->best_result.at("AB").chain2, "A");
}

TEST(ScoreStructures, ShuffledNamesAreMappedBack) {
  Structure model = pick(homo(), {{"B", "X"}, {"M", "Y"}, {"A", "Z"}}, "model");
  auto result = search(model, native_of({"A", "B", "M"}));
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->best_mapping_str, "ZXY:ABM");
  ASSERT_EQ(result->best_result.size(), 3u);
  std::vector<std::string> names;
  double sum = 0.0;
  for (const auto& [name, interface] : result->best_result) {
    names.push_back(name);
    sum += interface.Tarvo;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"AB", "AM", "BM"}));
  EXPECT_EQ(result->best_tarvo, sum);
  EXPECT_EQ(result->GlobalTarvo, sum / 3.0);
  EXPECT_GT(result->GlobalTarvo, 0.99);
}

TEST(ScoreStructures, AnchorSideFollowsTheFreeChainCounts) {
  // Three model chains, two native: native anchors, the third model chain unused.
  auto more_models = search(native_of({"A", "B", "C"}), native_of({"A", "B"}));
  ASSERT_TRUE(more_models) << more_models.error().message();
  EXPECT_EQ(more_models->best_mapping_str, "AB:AB");
  // Two model chains, three native: model anchors; keys are the chosen native chains.
  auto fewer_models = search(pick(homo(), {{"B", "P"}, {"C", "Q"}}, "model"), native_of({"A", "B", "C"}));
  ASSERT_TRUE(fewer_models) << fewer_models.error().message();
  EXPECT_EQ(fewer_models->best_mapping_str, "PQ:BC");
  EXPECT_EQ(fewer_models->best_result.begin()->first, "BC");
}

TEST(ScoreStructures, FixedPairsAreKeptEvenWhenWorse) {
  ScoreOptions options;
  options.mapping = format_mapping("BA:AB").value();
  auto result = search(native_of({"A", "B"}), native_of({"A", "B"}), options);
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->best_mapping_str, "BA:AB");
  EXPECT_EQ(result->best_result.at("AB").chain1, "B");
  // A wildcard tail fixes A and leaves B and M to the search.
  options.mapping = format_mapping("A**:A**").value();
  auto partly = search(pick(homo(), {{"M", "B"}, {"A", "A"}, {"B", "M"}}, "model"),
                       native_of({"A", "B", "M"}), options);
  ASSERT_TRUE(partly) << partly.error().message();
  EXPECT_EQ(partly->best_mapping_str, "AMB:ABM");
}

TEST(FormatMapping, TwoNativeChainsFixedToOneModelChainAreRefused) {
  auto result = format_mapping("AA:AB");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Mapping);
  EXPECT_NE(result.error().message().find("model chain \"A\" is named twice"), std::string::npos);
}

TEST(ScoreStructures, MismatchesAllowedOnlyUpToTheOption) {
  Structure model = native_of({"A", "B"});
  Chain& a = model.chains.at("A");
  // One substitution in the middle (W is not the residue there), nothing else.
  std::size_t middle = a.sequence.size() / 2;
  ASSERT_NE(a.sequence[middle], 'W');
  a.sequence[middle] = 'W';
  a.residues[middle].code = "W";
  ScoreOptions strict;
  expect_error(search(model, native_of({"A", "B"}), strict), ErrorKind::Mapping,
               "No valid chain mapping could be enumerated");
  ScoreOptions tolerant;
  tolerant.allowed_mismatches = 1;
  auto result = search(model, native_of({"A", "B"}), tolerant);
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->best_mapping_str, "AB:AB");
  // A chain that is only shorter has gaps, not mismatches.
  Structure shorter = native_of({"A", "B"});
  shorter.chains.at("A").residues.pop_back();
  shorter.chains.at("A").sequence.pop_back();
  EXPECT_TRUE(search(shorter, native_of({"A", "B"}), strict));
}

TEST(ScoreStructures, HeteroChainsPairOnlyWithTheSameHeteroName) {
  Structure model = native_of({"A", "B"});
  Structure native = native_of({"A", "B"});
  edit_chains(model, [](Chain& c) { c.het_name = "HEM"; });
  auto one_sided = search(model, native);
  ASSERT_FALSE(one_sided);
  EXPECT_EQ(one_sided.error().kind(), ErrorKind::NoIdenticalNativeChain);
  edit_chains(native, [](Chain& c) { c.het_name = "NAG"; });
  EXPECT_EQ(search(model, native).error().kind(), ErrorKind::NoIdenticalNativeChain);
  // Same name: a candidate, but a native hetero chain cannot be scored.
  edit_chains(native, [](Chain& c) { c.het_name = "HEM"; });
  EXPECT_EQ(search(model, native).error().kind(), ErrorKind::SmallMoleculeUnsupported);
}

TEST(ScoreStructures, SeveralFailingInterfacesGiveOneError) {
  // Peptide mode needs CB or CA of every aligned native residue; none has them.
  Structure native = native_of({"A", "B", "M"});
  drop_atoms(native, [](const Atom& a) { return a.name == "CB" || a.name == "CA"; });
  ScoreOptions options;
  options.capri_peptide = true;
  auto result = search(native_of({"A", "B", "M"}), native, options);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Geometry);
}

TEST(ScoreStructures, SearchBudgetEndsWithAClearError) {
  Structure native = oligomer::thinned(oligomer::homo_native(6));
  Structure model = oligomer::make_model(native, oligomer::ModelKind::Random, 1);
  for (std::size_t upfront : {0, 1'000'000}) {
    auto result = score_structures_with_budget(model, native, {}, 50, upfront);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::Mapping);
    EXPECT_NE(result.error().message().find("6 chains were interchangeable"), std::string::npos);
    EXPECT_NE(result.error().message().find("--mapping"), std::string::npos);
  }
}

TEST(ScoreStructures, SearchBudgetErrorWithNothingToExchangeNamesTheChainCount) {
  Structure native = oligomer::thinned(oligomer::homo_native(4));
  ScoreOptions options;
  options.mapping = format_mapping(std::string("DCBA:ABCD")).value();
  auto result = score_structures_with_budget(native, native, options, 50, 0);
  ASSERT_FALSE(result);
  EXPECT_NE(result.error().message().find("stopped after 50 steps: 4 native chains took part"), std::string::npos)
      << result.error().message();
}

// Thirty chains of distinct sequences, each with one candidate: the table tells
// the unlike ones apart without aligning them and the walk has no anchor left,
// so a budget that aligning every pair would exceed finds the plain result.
TEST(ScoreStructures, DistinctChainsAreSettledWithinASmallBudget) {
  Structure native = oligomer::thinned(oligomer::capsid(10));
  oligomer::make_sequences_distinct(native);
  std::string truth;
  const Structure model = oligomer::renamed(native, 3, truth);
  Budget budget;
  auto setup = prepare_candidates(model, native, {}, budget);
  ASSERT_TRUE(setup) << setup.error().message();
  const Layout layout = number_chains(model, native, *setup);
  EXPECT_EQ(layout.fixed_count, 30u);
  EXPECT_TRUE(layout.choices.empty());
  auto found = score_structures_with_budget(model, native, {}, 2'000'000, kUpfrontTuples);
  ASSERT_TRUE(found) << found.error().message();
  auto plain = score_structures_exhaustive(model, native, {});
  ASSERT_TRUE(plain) << plain.error().message();
  EXPECT_TRUE(found->mapping_exact);
  EXPECT_EQ(found->best_mapping_str, plain->best_mapping_str);
  EXPECT_EQ(found->best_tarvo, plain->best_tarvo);
}

// ---------------------------------------------------------------------------

TEST(RunOnNativeInterfaces, SwappedMappingNamesTheNativePair) {
  ChainMapping map;
  map.insert_or_assign("A", "B");
  map.insert_or_assign("B", "A");
  auto run = run_on_native_interfaces(native_of({"A", "B"}), native_of({"A", "B"}), map, false, false);
  ASSERT_TRUE(run) << run.error().message();
  ASSERT_EQ(run->interfaces.size(), 1u);
  const NativeInterface& ab = run->interfaces.at(0);
  EXPECT_EQ(ab.native1, "A");
  EXPECT_EQ(ab.native2, "B");
  EXPECT_EQ(ab.result.chain1, "B");
  EXPECT_EQ(ab.result.chain2, "A");
  EXPECT_EQ(run->total, ab.result.Tarvo);
}

TEST(RunOnNativeInterfaces, PairsFollowTheMapOrder) {
  ChainMapping map;
  map.insert_or_assign("M", "M");
  map.insert_or_assign("A", "A");
  map.insert_or_assign("B", "B");
  Structure s = native_of({"A", "B", "M"});
  auto run = run_on_native_interfaces(s, s, map, false, false);
  ASSERT_TRUE(run) << run.error().message();
  std::vector<std::string> names;
  double total = -0.0;
  for (const NativeInterface& interface : run->interfaces) {
    names.push_back(interface.native1 + interface.native2);
    total += interface.result.Tarvo;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"MA", "MB", "AB"}));
  EXPECT_EQ(run->total, total);
}

TEST(RunOnNativeInterfaces, SkippedPairsAreNeitherScoredNorLookedUp) {
  Structure s = native_of({"A", "B"});
  ChainMapping same_model;
  same_model.insert_or_assign("A", "A");
  same_model.insert_or_assign("Z", "A");  // Z is missing but only paired with the same model chain
  auto run = run_on_native_interfaces(s, s, same_model, false, false);
  ASSERT_TRUE(run) << run.error().message();
  EXPECT_TRUE(run->interfaces.empty());
  EXPECT_TRUE(std::signbit(run->total));
  EXPECT_EQ(run->total, 0.0);

  same_model.insert_or_assign("B", "B");
  auto missing = run_on_native_interfaces(s, s, same_model, false, false);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::ChainNotFound);
}

TEST(RunOnNativeInterfaces, EmptyMapGivesNegativeZero) {
  Structure s = native_of({"A", "B"});
  auto run = run_on_native_interfaces(s, s, ChainMapping{}, false, false);
  ASSERT_TRUE(run);
  EXPECT_TRUE(run->interfaces.empty());
  EXPECT_TRUE(std::signbit(run->total));
}

}  // namespace
}  // namespace tarvo
