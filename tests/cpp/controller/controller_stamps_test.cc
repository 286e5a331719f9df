// A Tagger the Controller is told of, which runs last, leaves its stamps beside the document,
// and the Controller walks them from there; a Tagger it is not told of stamps the tree. Both must give
// the same atoms batch, or the same failure at the same row, for every document: stamp keys
// already present (with values of every shape, also in ignored or unstamped objects), empty
// objects, arrays of objects, paths that meet a stamp's column, documents large enough to be
// measured, every Tagger option and both kinds of policy.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include <nlohmann/json.hpp>

#include "controller/pipeline_support.h"
#include "random_documents.h"
#include "shredder/controller.h"
#include "shredder/json_text_codec.h"
#include "shredder/normalizer.h"
#include "shredder/serialization.h"
#include "shredder/tagger.h"

namespace shredder {
namespace {

using testing::Json;

// Stamps the tree as `Tagger` does, through `modify`.
class TreeStampingTagger : public Tagger {
 public:
  using Tagger::Tagger;
};

struct StampedOutcome {
  std::shared_ptr<arrow::RecordBatch> batch;
  std::string failure;  // type, row and text
};

StampedOutcome ShredWith(Controller& controller, const std::vector<std::string>& lines) {
  StampedOutcome outcome;
  try {
    outcome.batch = controller.shred(testing::JsonBatch(lines));
  } catch (const std::exception& e) {
    const auto* at = dynamic_cast<const Error*>(&e);
    outcome.failure = std::string(typeid(e).name()) + " row " +
                      std::to_string(at != nullptr ? at->row().value_or(-1) : -1) + ": " +
                      e.what();
  }
  return outcome;
}

// Documents built to meet the stamps: stamp keys holding anything, keys that join into a
// stamp's column name, nested and empty objects, arrays of objects and of scalars.
class StampedDocuments {
 public:
  explicit StampedDocuments(std::uint64_t seed) : random_(seed, Knobs()) {}

  std::string Make() {
    Json root = random_.Document();
    if (random_.Uniform(0, 40) == 0) {
      // Wide and long: past the cell allowance, so the walk must measure the document.
      for (int i = 0; i < 1100; ++i) root["w" + std::to_string(i)] = i;
      root["long"] = Json::array();
      for (int i = 0; i < 1000; ++i) root["long"].push_back(i);
    }
    return root.dump();
  }

 private:
  static testing::DocumentKnobs Knobs() {
    testing::DocumentKnobs knobs;
    knobs.keys = {"a", "b", "a_b", "__obj_id", "__txn_id", "__obj_ie", "__a", "A", "x",
                  "x___obj_id", "skip", "_"};
    knobs.members_deep = 1;
    knobs.deep_from = 3;
    knobs.weights = {{testing::Pick::Null, 1}, {testing::Pick::Int, 1},
                     {testing::Pick::String, 1}, {testing::Pick::Object, 1},
                     {testing::Pick::Array, 3}};
    knobs.scalars_from = 12;
    knobs.max_array = 2;
    knobs.agreeing_arrays = 1;
    knobs.small_ints = 3;
    knobs.edge_numbers = 0;
    knobs.texts = {"text"};
    return knobs;
  }

  testing::RandomDocuments random_;
};

struct TaggerSetup {
  const char* label;
  Tagger::Options options;
  bool boxing;
};

std::vector<TaggerSetup> TaggerSetups() {
  Tagger::Options plain;
  Tagger::Options ignoring;
  ignoring.ignore_paths = {"skip", "**/b/*", "a/**"};
  Tagger::Options unstamped_root;
  unstamped_root.stamp_root = false;
  Tagger::Options short_digests;
  short_digests.hash_bytes = 5;
  return {{"shipped", plain, true},          {"ignore paths", ignoring, true},
          {"root unstamped", unstamped_root, true}, {"5-byte digests", short_digests, true},
          {"other policy", plain, false}};
}

CoercePolicy PolicyOf(const TaggerSetup& setup) {
  if (setup.boxing) return BoxToStringPolicy();
  // Kinds must agree, nulls aside; values pass unchanged.
  CoercePolicy policy;
  policy.kind_resolver = [](Kind current, Kind incoming,
                            const std::string&) -> std::optional<Kind> {
    if (current == Kind::Null) return incoming;
    if (incoming == Kind::Null || incoming == current) return current;
    return std::nullopt;
  };
  policy.value_converter = BoxToStringPolicy().value_converter;
  return policy;
}

// Two pipelines alike but for their Tagger: `fast` walks its stamps beside the document,
// `tree` (a subclass, which the Controller is not told of) stamps the tree.
struct Twins {
  explicit Twins(const TaggerSetup& setup)
      : fast_tagger(setup.options),
        tree_tagger(setup.options),
        fast(std::make_unique<JsonTextCodec>(MakeSerialization(SerializationFormat::Json)),
             {fast_normalizer, fast_tagger}, PolicyOf(setup),
             Controller::KnownParts{&fast_tagger, setup.boxing}),
        tree(std::make_unique<JsonTextCodec>(MakeSerialization(SerializationFormat::Json)),
             {tree_normalizer, tree_tagger}, PolicyOf(setup),
             Controller::KnownParts{nullptr, setup.boxing}) {}

  Normalizer fast_normalizer;
  Normalizer tree_normalizer;
  Tagger fast_tagger;
  TreeStampingTagger tree_tagger;
  Controller fast;
  Controller tree;
};

TEST(ControllerStamps, BesideTheDocumentAsInTheTree) {
  std::size_t batches = 0;
  std::size_t failed = 0;
  for (const TaggerSetup& setup : TaggerSetups()) {
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
      Twins twins(setup);
      Controller& fast = twins.fast;
      Controller& tree = twins.tree;
      StampedDocuments maker(seed);
      for (int b = 0; b < 12; ++b) {
        std::vector<std::string> lines;
        for (int d = 0; d < 1 + b % 4; ++d) lines.push_back(maker.Make());
        const StampedOutcome want = ShredWith(tree, lines);
        const StampedOutcome got = ShredWith(fast, lines);
        const std::string where = std::string(setup.label) + " seed " + std::to_string(seed) +
                                  " batch " + std::to_string(b) + ": " + lines.front();
        ASSERT_EQ(got.failure, want.failure) << where;
        if (want.batch) {
          ASSERT_TRUE(got.batch->Equals(*want.batch, /*check_metadata=*/true)) << where;
        } else {
          ++failed;
        }
        ++batches;
      }
    }
  }
  // Both outcomes occur often enough to mean something.
  EXPECT_GT(failed, batches / 10);
  EXPECT_GT(batches - failed, batches / 10);
}

// The digest pass walks stamps beside the document too: the same digests, refusals and
// flags as through a Tagger that stamps the tree.
TEST(ControllerStamps, DigestsBesideTheDocumentAsInTheTree) {
  std::size_t refused = 0;
  std::size_t rows = 0;
  for (const TaggerSetup& setup : TaggerSetups()) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
      Twins twins(setup);
      Controller& fast = twins.fast;
      Controller& tree = twins.tree;
      StampedDocuments maker(seed);
      std::vector<std::string> lines;
      for (int d = 0; d < 40; ++d) lines.push_back(maker.Make());
      const auto want = tree.digest(testing::JsonBatch(lines));
      const auto got = fast.digest(testing::JsonBatch(lines));
      ASSERT_TRUE(got->Equals(*want, /*check_metadata=*/true))
          << setup.label << " seed " << seed << "\n" << got->ToString() << "\n" << want->ToString();
      refused += static_cast<std::size_t>(want->GetColumnByName("refusal")->length() -
                                          want->GetColumnByName("refusal")->null_count());
      rows += lines.size();
    }
  }
  EXPECT_GT(refused, rows / 20);
  EXPECT_LT(refused, rows / 2);
}

// Debug mode writes its lines from `modify`, so the Controller then stamps the tree; the
// lines and the batch are those of a Tagger it is not told of.
TEST(ControllerStamps, DebugModeStampsTheTree) {
  Tagger::Options options;
  options.debug = true;
  const std::vector<std::string> lines = {R"({"a":{"b":1},"c":[{"d":2},{"d":3}]})"};
  auto run = [&](Tagger& tagger, Tagger* known, std::string& log) {
    Normalizer normalizer;
    Controller controller(
        std::make_unique<JsonTextCodec>(MakeSerialization(SerializationFormat::Json)),
        {normalizer, tagger}, BoxToStringPolicy(), Controller::KnownParts{known, true});
    ::testing::internal::CaptureStderr();
    auto batch = controller.shred(testing::JsonBatch(lines));
    log = ::testing::internal::GetCapturedStderr();
    return batch;
  };
  Tagger fast(options);
  TreeStampingTagger tree(options);
  std::string fast_log;
  std::string tree_log;
  const auto got = run(fast, &fast, fast_log);
  const auto want = run(tree, nullptr, tree_log);
  EXPECT_TRUE(got->Equals(*want, /*check_metadata=*/true));
  EXPECT_EQ(fast_log, tree_log);
  EXPECT_NE(fast_log.find("[Tagger] stamped object #4 __obj_id="), std::string::npos);
}

}  // namespace
}  // namespace shredder
