// Scoring files: one pair, lists of pairs and many models against one native.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tarvo/batch.hpp"

namespace tarvo {
namespace {

const std::string kExamples = TARVO_EXAMPLES_DIR;
const std::string kModel = kExamples + "/2GTP_model.pdb";
const std::string kNative = kExamples + "/2GTP_native.pdb";
const std::string kMissing = kExamples + "/no_such_file.pdb";

TEST(ScorePair, ScoresATwoChainComplexAndKeepsThePathsAsIds) {
  auto result = score_pair(kModel, kNative, {});
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->model, kModel);
  EXPECT_EQ(result->native, kNative);
  EXPECT_EQ(result->best_mapping_str, "AB:AB");
  ASSERT_EQ(result->best_result.size(), 1u);
  EXPECT_GT(result->GlobalTarvo, 0.0);
  EXPECT_LE(result->GlobalTarvo, 1.0);
}

TEST(ScorePairs, MappingTextIsCheckedBeforeAnyFileIsOpened) {
  const std::pair<std::string, std::string> missing{kMissing, kMissing};
  auto outcomes = score_pairs({&missing, 1}, parse_option_texts({}, "AB", std::nullopt));
  ASSERT_FALSE(outcomes.at(0).result);
  EXPECT_EQ(outcomes[0].result.error().kind(), ErrorKind::Mapping);
}

TEST(ScorePair, ModelFileFailsBeforeNativeFile) {
  auto result = score_pair(kMissing, kExamples + "/also_missing.pdb", {});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Io);
  EXPECT_NE(result.error().message().find("no_such_file.pdb"), std::string::npos);
}

TEST(ScorePair, SmallMoleculeReadsTheFilesThenFails) {
  ScoreOptions options;
  options.small_molecule = true;
  EXPECT_EQ(score_pair(kMissing, kNative, options).error().kind(), ErrorKind::Io);
  EXPECT_EQ(score_pair(kModel, kNative, options).error().kind(), ErrorKind::SmallMoleculeUnsupported);
}

TEST(ScorePair, MappingTextChainsRestrictTheRun) {
  // Only chains A and B of the 24-chain assembly are read and paired.
  const std::string homo = kExamples + "/homo24_native.pdb.gz";
  ScoreOptions options;
  options.mapping = format_mapping("BA:AB").value();
  auto result = score_pair(homo, homo, options);
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->best_mapping_str, "BA:AB");
  ASSERT_EQ(result->best_result.size(), 1u);
  EXPECT_EQ(result->best_result.begin()->first, "AB");
}

TEST(ScorePairs, OneOutcomePerPairInInputOrder) {
  std::vector<std::pair<std::string, std::string>> pairs = {
      {kModel, kNative}, {kMissing, kNative}, {kNative, kNative}};
  auto outcomes = score_pairs(pairs, {});
  ASSERT_EQ(outcomes.size(), 3u);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_EQ(outcomes[i].model, pairs[i].first);
    EXPECT_EQ(outcomes[i].native, pairs[i].second);
  }
  ASSERT_TRUE(outcomes[0].result);
  EXPECT_EQ(outcomes[0].result->GlobalTarvo, score_pair(kModel, kNative, {})->GlobalTarvo);
  ASSERT_FALSE(outcomes[1].result);
  EXPECT_EQ(outcomes[1].result.error().kind(), ErrorKind::Io);
  ASSERT_TRUE(outcomes[2].result);
  EXPECT_NEAR(outcomes[2].result->GlobalTarvo, 1.0, 1e-6);
}

TEST(ScoreOneVsMany, EveryItemNamesTheOneNative) {
  std::vector<std::string> models = {kNative, kMissing, kModel};
  auto outcomes = score_one_vs_many(kNative, models, {});
  ASSERT_EQ(outcomes.size(), 3u);
  for (std::size_t i = 0; i < models.size(); ++i) {
    EXPECT_EQ(outcomes[i].model, models[i]);
    EXPECT_EQ(outcomes[i].native, kNative);
  }
  EXPECT_TRUE(outcomes[0].result);
  EXPECT_FALSE(outcomes[1].result);
  EXPECT_TRUE(outcomes[2].result);
}

// The native is read, and its matrices computed, once for all models at once:
// every model must still score exactly as it does alone.
TEST(ScoreOneVsMany, SharedNativeScoresAsEachPairAlone) {
  std::vector<std::string> models;
  for (int i = 0; i < 16; ++i) models.insert(models.end(), {kModel, kNative});
  const auto outcomes = score_one_vs_many(kNative, models, {});
  const auto alone = score_pair(kModel, kNative, {}), itself = score_pair(kNative, kNative, {});
  ASSERT_TRUE(alone && itself);
  for (std::size_t i = 0; i < models.size(); ++i) {
    ASSERT_TRUE(outcomes[i].result);
    const RunResult& expected = i % 2 ? *itself : *alone;
    EXPECT_EQ(outcomes[i].result->GlobalTarvo, expected.GlobalTarvo);
    EXPECT_EQ(outcomes[i].result->best_result.at("AB").iRMSD, expected.best_result.at("AB").iRMSD);
    EXPECT_EQ(outcomes[i].result->best_result.at("AB").nat_correct, expected.best_result.at("AB").nat_correct);
  }
  // An unreadable native fails each model that can be read, with the native's error.
  const auto missing_native = score_one_vs_many(kMissing, std::vector<std::string>{kModel, kMissing}, {});
  EXPECT_EQ(missing_native[0].result.error().message(), score_pair(kModel, kMissing, {}).error().message());
  EXPECT_EQ(missing_native[1].result.error().message(), score_pair(kMissing, kMissing, {}).error().message());
}

// Items reach the sink from the pool's threads as they finish: each exactly once,
// and those taken in input order start in it, so none waits for the whole batch.
TEST(ScoreOneVsMany, EachItemReachesTheSinkOnceAsItFinishes) {
  std::vector<std::string> models(64, kModel);
  models[5] = kMissing;
  std::mutex lock;
  std::vector<std::size_t> arrived;
  std::vector<BatchOutcome> outcomes(models.size());
  score_one_vs_many_each(kNative, models, ScoreOptions{}, [&](std::size_t item, std::vector<BatchOutcome>&& given) {
    std::lock_guard hold(lock);
    arrived.push_back(item);
    ASSERT_EQ(given.size(), 1u);
    outcomes[item] = std::move(given[0]);
  });
  ASSERT_EQ(arrived.size(), models.size());
  EXPECT_LT(arrived.front(), 8u);  // started among the first, not at the far end of a split range
  std::ranges::sort(arrived);
  EXPECT_EQ(std::ranges::adjacent_find(arrived), arrived.end());
  for (std::size_t i = 0; i < models.size(); ++i) EXPECT_EQ(outcomes[i].result.has_value(), i != 5) << i;
}

TEST(ScoreOneVsMany, NoModelsReadsNothing) {
  // The native path does not exist: reading it would have to fail somewhere.
  EXPECT_TRUE(score_one_vs_many(kMissing, {}, {}).empty());
  EXPECT_TRUE(score_pairs({}, {}).empty());
}

// Two chains per file, one atom per residue: chain A of `length` residues named
// `residue`, chain B a short one.
std::string long_chain_file(const std::string& name, const char* residue, int length) {
  const std::string path = testing::TempDir() + name;
  std::FILE* out = std::fopen(path.c_str(), "w");
  int serial = 0;
  auto write = [&](char chain, const char* resname, int count, float z) {
    for (int i = 0; i < count; ++i)
      std::fprintf(out, "ATOM  %5d  CA  %s %c%4d    %8.3f%8.3f%8.3f  1.00  0.00           C\n", ++serial % 100000,
                   resname, chain, i % 10000, (i % 100) * 3.8f, (i / 100) * 3.8f, z);
  };
  write('A', residue, length, 0.0f);
  write('B', "GLY", 3, 4.0f);
  std::fclose(out);
  return path;
}

TEST(ScorePairs, ChainsTooLongToAlignFailTheirPairOnly) {
  const std::string model = long_chain_file("long_model.pdb", "ALA", 16384);
  const std::string native = long_chain_file("long_native.pdb", "SER", 16384);
  const std::string refusal =
      "cannot align chain 'A' of length 16384 with chain 'A' of length 16384: the alignment table would have "
      "more than 268435456 cells";
  auto outcomes = score_pairs(std::vector<std::pair<std::string, std::string>>{{model, native}, {kModel, kNative}}, {});
  ASSERT_EQ(outcomes.size(), 2u);
  ASSERT_FALSE(outcomes[0].result);
  EXPECT_EQ(outcomes[0].result.error().kind(), ErrorKind::Mapping);
  EXPECT_EQ(outcomes[0].result.error().message(), refusal);
  EXPECT_TRUE(outcomes[1].result);
}

}  // namespace
}  // namespace tarvo
