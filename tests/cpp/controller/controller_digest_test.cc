// `Controller::digest` against a shred of each document alone, through a fresh pipeline: a
// document the pass accepts without a modifier changing it for earlier documents has the
// digest of that lone shred, and the first document a pipeline sees is judged exactly as alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "arrow/array/array_binary.h"
#include "arrow/array/array_primitive.h"
#include "controller/pipeline_support.h"
#include "random_documents.h"
#include "test_support.h"

namespace shredder {
namespace {

using testing::ColumnAtoms;
using testing::JsonBatch;
using testing::ModulePipeline;

// A document's digest, or the text of its refusal.
struct Judged {
  std::optional<std::string> digest;
  std::string refusal;
  bool decided_by_earlier = false;
  bool operator==(const Judged&) const = default;
};

Judged ShredAlone(const std::string& line) {
  Judged judged;
  try {
    ModulePipeline pipeline;
    const auto atoms = pipeline.Shred({line});
    const std::vector<Atom> digests = ColumnAtoms(*atoms, "root___txn_id");
    const auto* text = std::get_if<std::string>(&digests.at(0));
    if (text != nullptr) judged.digest = *text;
  } catch (const std::exception& error) {
    judged.refusal = error.what();
  }
  return judged;
}

std::vector<Judged> DigestPass(ModulePipeline& pipeline, const std::vector<std::string>& lines) {
  const auto result = pipeline.controller.digest(JsonBatch(lines));
  EXPECT_EQ(result->num_rows(), static_cast<std::int64_t>(lines.size()));
  const auto& digests = static_cast<const arrow::StringArray&>(*result->GetColumnByName("txn_id"));
  const auto& refusals =
      static_cast<const arrow::BinaryArray&>(*result->GetColumnByName("refusal"));
  const auto& changed =
      static_cast<const arrow::BooleanArray&>(*result->GetColumnByName("decided_by_earlier"));
  std::vector<Judged> judged(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto row = static_cast<std::int64_t>(i);
    if (!digests.IsNull(row)) judged[i].digest = digests.GetString(row);
    if (!refusals.IsNull(row)) judged[i].refusal = refusals.GetString(row);
    EXPECT_NE(digests.IsNull(row), refusals.IsNull(row)) << "row " << i;
    judged[i].decided_by_earlier = changed.Value(row);
  }
  return judged;
}

struct Tally {
  std::size_t as_alone = 0;  // not decided by earlier documents: accepted or refused
  std::size_t refused = 0;   // of those, refused
  std::size_t decided = 0;   // decided by earlier documents
};

// Runs the batches one after another through one pipeline and checks every document that the
// pass says earlier documents did not decide against its lone shred.
Tally ExpectJudgedAsAlone(const std::vector<std::vector<std::string>>& batches,
                          const std::string& label) {
  ModulePipeline pipeline;
  Tally tally;
  bool first = true;
  for (std::size_t b = 0; b < batches.size(); ++b) {
    const std::vector<Judged> got = DigestPass(pipeline, batches[b]);
    for (std::size_t i = 0; i < got.size(); ++i) {
      const std::string where = label + " batch " + std::to_string(b) + " row " +
                                std::to_string(i) + ": " + batches[b][i].substr(0, 200);
      if (first) {
        EXPECT_FALSE(got[i].decided_by_earlier) << where;
      }
      first = false;
      if (got[i].decided_by_earlier) {
        ++tally.decided;
        continue;
      }
      ++tally.as_alone;
      if (!got[i].refusal.empty()) ++tally.refused;
      EXPECT_EQ(got[i], ShredAlone(batches[b][i])) << where;
    }
  }
  return tally;
}

TEST(ControllerDigest, JudgesChosenDocumentsAsAlone) {
  const std::vector<std::vector<std::string>> batches = {
      {R"({"a": [1, 2], "b": {"c": [{"d": 1}, {"d": 2}]}})", R"({"a": 3})", R"({})"},
      {R"({"a": 4, "x": null})", R"({"a": 4, "x": null})"},  // equal neighbours
      {R"({"b": 5})"},                                       // refused: b is an object
      {R"({"b": {"c": {"d": 1}}})"},                         // wrapped for an earlier one
      {R"({"e": [[1]]})", R"({"e": 1})"},
      {R"({"e": [1, "x"]})"},
      {R"({"": 1})"},
      {R"({"f_id": 1})", R"({"g__idx": 1})", R"({"h": {"__txn_id": 2}})"},
      {R"({"i": "s"})", R"({"i": 1})"},
      {R"({"j": 1, "j_k": 2, "j": {"k": 3}})"},
      {R"({"labels_url": "A", "labels": [{"url": "B1"}, {"url": "B2"}]})"},
      {R"({"k": )", R"([1])", R"("text")"},
      {R"({"__txn_id": 7, "__obj_id": "mine", "m": "\u00e9\ud83d\ude00"})"},
      {},
      {R"({"a": 9})"},
  };
  const Tally tally = ExpectJudgedAsAlone(batches, "chosen");
  EXPECT_GE(tally.refused, 5u);
  // at least {"a": 3}, {"b": 5}, {"b": {"c": {"d": 1}}} and {"a": 9}
  EXPECT_GE(tally.decided, 4u);
}

TEST(ControllerDigest, GoesOnPastARefusedDocument) {
  ModulePipeline pipeline;
  const std::vector<std::string> lines = {R"({"a": 1})", R"({"a": {"b": 1}})", R"({"a": 2})",
                                          R"({"c": )"};
  const std::vector<Judged> got = DigestPass(pipeline, lines);
  EXPECT_EQ(got[0], ShredAlone(lines[0]));
  EXPECT_EQ(got[1].refusal, "Normalizer shape mismatch at /a (have object, want leaf)");
  EXPECT_EQ(got[2], ShredAlone(lines[2]));
  EXPECT_FALSE(got[3].refusal.empty());
  EXPECT_FALSE(got[3].digest.has_value());
}

// Which wraps and refusals earlier documents decided: those against a shape the document had
// not shown at that path before.
TEST(ControllerDigest, FlagsOnlyWhatEarlierDocumentsDecided) {
  struct Case {
    std::vector<std::string> lines;
    bool decided;
  };
  const std::vector<Case> cases = {
      {{R"({"a": [1]})", R"({"a": 1})"}, true},
      {{R"({"a": [1]})", R"({"b": {"a": 1}})"}, false},  // another path
      {{R"({"a": [1]})", R"({"a": null})"}, false},      // null is never wrapped
      {{R"({"o": [{"a": [1]}, {"a": 2}]})"}, false},     // wrapped for its own array
      {{R"({"x": [{"a": [1]}]})", R"({"x": [{"a": [5]}, {"a": 6}]})"}, false},
      {{R"({"x": [{"a": [1]}]})", R"({"x": [{"a": 6}, {"a": [5]}]})"}, true},
      {{R"({"x": {"a": [1]}})", R"({"x": [{"a": 6}]})"}, false},  // x becomes an array path
      {{R"({"a": {"b": 1}})", R"({"a": 2})"}, true},               // refused for the earlier
      {{R"({"a": 1})", R"({"o": [{"a": 1}, {"a": {"b": 2}}], "a": 3})"}, false},
      {{R"({"a": 1})", R"({"a": 1, "o": [{"c": 1}, {"c": {"d": 2}}]})"}, false},  // its own
      {{R"({"o": [{"c": 1}]})", R"({"o": [{"c": 1}, {"c": {"d": 2}}]})"}, false},
      {{R"({"o": [{"c": 1}]})", R"({"o": [{"c": {"d": 2}}, {"c": 1}]})"}, true},
  };
  for (const Case& c : cases) {
    ModulePipeline pipeline;
    const std::vector<Judged> got = DigestPass(pipeline, c.lines);
    EXPECT_EQ(got.back().decided_by_earlier, c.decided) << c.lines.back();
    if (!c.decided) {
      EXPECT_EQ(got.back(), ShredAlone(c.lines.back())) << c.lines.back();
    }
  }
}

// A shred that fails leaves numbers behind in the shapes it rolled back; the documents after
// it are judged as before.
TEST(ControllerDigest, JudgesAsAloneAfterARolledBackShred) {
  ModulePipeline pipeline;
  EXPECT_THROW(pipeline.Shred({R"({"a": [1]})", R"({"a": {"b": 1}})"}), std::runtime_error);
  const std::vector<Judged> got = DigestPass(pipeline, {R"({"a": 1})"});
  EXPECT_EQ(got[0], ShredAlone(R"({"a": 1})"));
}

// A document too large alone is refused as alone; across documents nothing adds up.
TEST(ControllerDigest, AppliesTheBoundsOfEachDocumentAlone) {
  std::vector<std::string> lines;
  for (int d = 0; d < 2200; ++d) {
    std::string line = "{";
    for (int k = 0; k < 60; ++k) {
      line += (k ? ",\"" : "\"") + std::to_string(d) + "_" + std::to_string(k) + "\":1";
    }
    lines.push_back(line + "}");
  }
  ModulePipeline pipeline;
  const std::vector<Judged> got = DigestPass(pipeline, lines);
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Judged& j) { return j.digest; }),
            2200);
  std::string wide = R"({"w": [)";
  for (int i = 0; i < 70000; ++i) wide += (i ? ",{\"" : "{\"") + std::to_string(i) + "\":1}";
  wide += "]}";
  const std::vector<Judged> alone = DigestPass(pipeline, {wide});
  EXPECT_NE(alone[0].refusal, "");
  EXPECT_EQ(alone[0].refusal, ShredAlone(wide).refusal);
}

// Any other policy is applied as a shred of the document alone applies it.
TEST(ControllerDigest, AppliesAnotherPolicyToEachDocumentAlone) {
  const CoercePolicy strict{
      [](Kind current, Kind incoming, const std::string&) -> std::optional<Kind> {
        if (incoming == Kind::Null || current == incoming) return current;
        if (current == Kind::Null) return incoming;
        return std::nullopt;
      },
      [](Kind, const Value& value, const std::string&) -> std::variant<Atom, std::string> {
        if (const auto* text = std::get_if<std::string>(&value.data)) return Atom{*text};
        if (const auto* number = std::get_if<std::int64_t>(&value.data)) return Atom{*number};
        return Atom{};
      }};
  ModulePipeline pipeline(strict);
  const std::vector<Judged> got = DigestPass(pipeline, {R"({"a": 1})", R"({"a": "x"})"});
  // In one batch the second row conflicts with the first; alone it does not.
  EXPECT_EQ(got[0].refusal, "");
  EXPECT_EQ(got[1].refusal, "");
  ModulePipeline twin(strict);
  EXPECT_EQ(got[1].digest, DigestPass(twin, {R"({"a": "x"})"})[0].digest);
}

// Random documents: every kind of value, arrays of objects, lone values beside arrays, nulls,
// keys with "_" and beyond ASCII, keys and strings spelled with escapes, deep nesting, and
// documents the pipeline refuses (arrays of mixed or nested elements, text that is not JSON).
class DigestDocuments {
 public:
  explicit DigestDocuments(std::uint32_t seed) : random_(seed, Knobs()) {}

  std::string Document() {
    if (random_.Chance(0.03)) return R"({"a": )";  // not JSON
    return random_.Text(random_.Document(), /*escapes=*/0.05);
  }

 private:
  static testing::DocumentKnobs Knobs() {
    testing::DocumentKnobs knobs;
    knobs.keys = {"a", "b", "a_b", "_", "b_", "c", "é", "к", "x_id", "d__idx", "",
                  "__txn_id", "t"};
    knobs.rare_keys = 3;
    knobs.rare_key_chance = 0.05;
    knobs.members_at_root = 4;
    knobs.members = 2;
    knobs.members_deep = 2;
    knobs.weights = {{testing::Pick::Null, 1},   {testing::Pick::Bool, 1},
                     {testing::Pick::Int, 1},    {testing::Pick::Double, 1},
                     {testing::Pick::String, 2}, {testing::Pick::Object, 4},
                     {testing::Pick::Array, 8}};
    knobs.scalars_from = 8;
    knobs.max_array = 3;
    knobs.agreeing_arrays = 2.0 / 3;
    knobs.stray_element = 0.03;
    knobs.small_ints = 2;
    knobs.plain_doubles = true;
    knobs.edge_numbers = 0.05;
    knobs.texts = {"xé😀", "y"};
    knobs.deep_chance = 0.05;
    knobs.deep_key = "n";
    return knobs;
  }

  testing::RandomDocuments random_;
};

TEST(ControllerDigest, JudgesRandomDocumentsAsAlone) {
  Tally total;
  for (std::uint32_t seed = 1; seed <= 150; ++seed) {
    DigestDocuments random(seed);
    std::vector<std::vector<std::string>> batches(12);
    for (auto& lines : batches) {
      lines.resize(1 + seed % 5);
      for (std::string& line : lines) line = random.Document();
    }
    const Tally tally = ExpectJudgedAsAlone(batches, "seed " + std::to_string(seed));
    total.as_alone += tally.as_alone;
    total.refused += tally.refused;
    total.decided += tally.decided;
  }
  // Every outcome must be well represented for the comparison to mean anything.
  EXPECT_GT(total.as_alone - total.refused, 1000u);
  EXPECT_GT(total.refused, 100u);
  EXPECT_GT(total.decided, 50u);
}

#ifdef SHREDDER_SHARED_DATA_DIR
using testing::kSharedData;

using testing::DataFilesUnder;
using testing::ReadWhole;

// Every line of a JSON Lines file (up to 400, in batches of 50), every other file whole.
TEST(ControllerDigest, JudgesTheRealDataAsAlone) {
  std::size_t documents = 0;
  for (const auto& path : DataFilesUnder(kSharedData / "real")) {
    const std::string ext = path.extension().string();
    std::vector<std::vector<std::string>> batches;
    if (ext == ".ndjson") {
      std::ifstream in(path, std::ios::binary);
      std::string line;
      for (int n = 0; n < 400 && std::getline(in, line); ++n) {
        if (n % 50 == 0) batches.emplace_back();
        batches.back().push_back(line);
      }
    } else {
      batches.push_back({ReadWhole(path)});
    }
    for (const auto& lines : batches) documents += lines.size();
    ExpectJudgedAsAlone(batches, path.filename().string());
  }
  EXPECT_GT(documents, 800u);
}

TEST(ControllerDigest, JudgesTheTestSuiteFilesAsAlone) {
  std::vector<std::vector<std::string>> batches;
  for (const auto& path : DataFilesUnder(kSharedData / "jsontestsuite")) {
    if (batches.empty() || batches.back().size() == 4) batches.emplace_back();
    batches.back().push_back(ReadWhole(path));
  }
  const Tally tally = ExpectJudgedAsAlone(batches, "jsontestsuite");
  EXPECT_GT(tally.refused, 0u);
  EXPECT_GT(tally.as_alone, tally.refused);
}
#endif

}  // namespace
}  // namespace shredder
