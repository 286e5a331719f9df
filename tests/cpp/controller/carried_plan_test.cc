// Exact mode starts a batch from the owners the batch before found in its first round, a guess
// the batch confirms or drops. Guessing is invisible: over generated batches whose names
// collide now and then (keys with "_" beside nested keys, shapes and kinds that change) and
// over GitHub events, a Controller that guesses gives the atoms and refusals of one that does
// not, also when it starts from another Controller's guess or from nonsense.

#include <fstream>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "pipeline_support.h"
#include "random_documents.h"

namespace shredder {
namespace {

using testing::JsonBatch;

struct GuessingPipeline {
  Normalizer normalizer;
  Tagger tagger;
  Controller controller;

  explicit GuessingPipeline(bool carry)
      : controller(std::make_unique<JsonTextCodec>(MakeSerialization(SerializationFormat::Json)),
                   {normalizer, tagger}, BoxToStringPolicy(),
                   Controller::ExactMode{&normalizer, &tagger, true, {}, carry},
                   Controller::KnownParts{&tagger, true}) {}
};

// Shreds `batches` through a guessing and a plain Controller, skipping refused documents, and
// expects the same from both; `seed` is handed to the guessing one first.
void ExpectSameAtoms(const std::vector<std::vector<std::string>>& batches,
                     const std::unordered_map<std::string, std::string>& seed = {}) {
  GuessingPipeline guessing(true);
  GuessingPipeline plain(false);
  guessing.controller.carry_owners(seed);
  for (std::size_t b = 0; b < batches.size(); ++b) {
    std::vector<Error> refused_guessing;
    std::vector<Error> refused_plain;
    const auto atoms = guessing.controller.shred(JsonBatch(batches[b]), refused_guessing);
    const auto expected = plain.controller.shred(JsonBatch(batches[b]), refused_plain);
    ASSERT_TRUE(atoms->Equals(*expected, /*check_metadata=*/true)) << "batch " << b;
    ASSERT_EQ(refused_guessing.size(), refused_plain.size()) << "batch " << b;
    for (std::size_t i = 0; i < refused_plain.size(); ++i) {
      EXPECT_EQ(refused_guessing[i].row(), refused_plain[i].row());
      EXPECT_STREQ(refused_guessing[i].what(), refused_plain[i].what());
    }
  }
}

TEST(CarriedPlan, GuessesChangeNothingOnCollidingGeneratedBatches) {
  testing::DocumentKnobs knobs;
  knobs.keys = {"a", "b", "a_b", "b_c", "c", "a_b_c", "x"};
  knobs.members = 3;
  knobs.max_array = 3;
  knobs.agreeing_arrays = 0.7;
  knobs.small_ints = 3;
  knobs.plain_doubles = true;
  knobs.texts = {"s", "t"};
  knobs.stable_paths = true;
  knobs.path_breaks = 0.03;
  knobs.shape_breaks = 0.03;
  std::mt19937_64 random(20261210);
  for (std::uint64_t seed = 0; seed < 60; ++seed) {
    testing::RandomDocuments documents(seed, knobs);
    std::vector<std::vector<std::string>> batches(2 + random() % 5);
    for (auto& batch : batches) {
      for (std::size_t n = 1 + random() % 30; n > 0; --n) batch.push_back(documents.Document().dump());
    }
    SCOPED_TRACE("seed " + std::to_string(seed));
    ExpectSameAtoms(batches);
  }
}

TEST(CarriedPlan, GuessesChangeNothingOnGitHubEventsWhateverTheSeed) {
  std::ifstream file(testing::kSharedData / "real" / "gharchive_2021-07-21-few-hours.ndjson");
  std::vector<std::vector<std::string>> batches(1);
  for (std::string line; std::getline(file, line);) {
    if (batches.back().size() == 150) batches.emplace_back();
    batches.back().push_back(line);
  }
  ASSERT_GT(batches.size(), 4u);
  // The events make a name with two key lists in every batch: guessed from the second on.
  GuessingPipeline first(true);
  first.controller.shred(JsonBatch(batches[0]));
  const auto guess = first.controller.carried_owners();
  ASSERT_FALSE(guess.empty());
  ExpectSameAtoms(batches);
  ExpectSameAtoms({batches.begin() + 2, batches.end()}, guess);
  std::unordered_map<std::string, std::string> nonsense = guess;
  for (auto& [name, code] : nonsense) code = KeyListCode({"payload", "issue", "labels_url"}, ColumnRole::Value);
  nonsense.emplace("root_payload_action", "\x01");
  ExpectSameAtoms({batches.begin() + 1, batches.end()}, nonsense);
}

}  // namespace
}  // namespace shredder
