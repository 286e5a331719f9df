// `Controller::digest` against `Controller::shred` on a twin pipeline: for every batch, the same
// root `__txn_id` per document or the same failure (type, text, row), and the same pipeline
// state afterwards, which the batches that follow show.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#include "arrow/array/array_binary.h"
#include "controller/pipeline_support.h"

namespace shredder {
namespace {

using testing::ColumnAtoms;
using testing::JsonBatch;
using testing::ModulePipeline;

struct Outcome {
  std::vector<std::optional<std::string>> digests;  // consecutive equal ones merged
  std::size_t count = 0;                            // entries before merging
  std::string failure;                              // type, row and text; empty on success
};

std::string FailureOf(const std::exception& error) {
  std::string text = typeid(error).name();
  if (const auto* located = dynamic_cast<const RowError*>(&error)) {
    text += " row " + std::to_string(located->row());
  }
  return text + ": " + error.what();
}

void AddRun(Outcome& outcome, std::optional<std::string> digest) {
  ++outcome.count;
  if (outcome.digests.empty() || outcome.digests.back() != digest) {
    outcome.digests.push_back(std::move(digest));
  }
}

// The rows of one document follow one another and all carry its digest, so the runs of equal
// digests in the atoms are the documents, neighbours with equal digests merged.
Outcome ShredOutcome(ModulePipeline& pipeline, const std::shared_ptr<arrow::RecordBatch>& batch) {
  Outcome outcome;
  try {
    const auto atoms = pipeline.controller.shred(batch);
    if (atoms->num_rows() == 0) return outcome;
    for (const Atom& atom : ColumnAtoms(*atoms, "root___txn_id")) {
      const auto* text = std::get_if<std::string>(&atom);
      AddRun(outcome, text ? std::optional<std::string>(*text) : std::nullopt);
    }
  } catch (const std::exception& error) {
    outcome.failure = FailureOf(error);
  }
  return outcome;
}

Outcome DigestOutcome(ModulePipeline& pipeline,
                      const std::shared_ptr<arrow::RecordBatch>& batch) {
  Outcome outcome;
  try {
    const auto digests = pipeline.controller.digest(batch);
    EXPECT_EQ(digests->length(), batch->num_rows());
    for (std::int64_t i = 0; i < digests->length(); ++i) {
      AddRun(outcome, digests->IsNull(i) ? std::nullopt
                                         : std::optional<std::string>(digests->GetString(i)));
    }
  } catch (const std::exception& error) {
    outcome.failure = FailureOf(error);
  }
  return outcome;
}

// Feeds every batch to both twins in turn; returns how many batches failed.
std::size_t ExpectTwinsAgree(const std::vector<std::vector<std::string>>& batches,
                             const std::string& label) {
  ModulePipeline shredding;
  ModulePipeline digesting;
  std::size_t failed = 0;
  for (std::size_t b = 0; b < batches.size(); ++b) {
    const auto batch = JsonBatch(batches[b]);
    const Outcome expected = ShredOutcome(shredding, batch);
    const Outcome got = DigestOutcome(digesting, batch);
    EXPECT_EQ(got.failure, expected.failure) << label << " batch " << b;
    EXPECT_EQ(got.digests, expected.digests) << label << " batch " << b;
    if (expected.failure.empty()) {
      EXPECT_EQ(got.count, batches[b].size()) << label << " batch " << b;
      EXPECT_EQ(std::count(got.digests.begin(), got.digests.end(), std::nullopt), 0) << label;
    } else {
      ++failed;
    }
  }
  return failed;
}

TEST(ControllerDigest, AgreesWithShredOnChosenBatches) {
  const std::vector<std::vector<std::string>> batches = {
      {R"({"a": [1, 2], "b": {"c": [{"d": 1}, {"d": 2}]}})", R"({"a": 3})", R"({})"},
      {R"({"a": 4, "x": null})", R"({"a": 4, "x": null})"},  // equal neighbours
      {R"({"b": 5})"},                                       // refused: b is an object
      {R"({"b": {"c": {"d": 1}}})"},                         // wrapped into an array
      {R"({"e": [[1]]})", R"({"e": 1})"},
      {R"({"e": [1, "x"]})"},
      {R"({"": 1})"},
      {R"({"f_id": 1})", R"({"g__idx": 1})", R"({"h": {"__txn_id": 2}})"},
      {R"({"i": "s"})", R"({"i": 1})"},  // kinds that differ between documents are boxed
      {R"({"j": 1, "j_k": 2, "j": {"k": 3}})"},
      {R"({"labels_url": "A", "labels": [{"url": "B1"}, {"url": "B2"}]})"},
      {R"({"k": )", R"([1])", R"("text")"},
      {R"({"__txn_id": 7, "__obj_id": "mine", "m": "\u00e9\ud83d\ude00"})"},
      {},
      {R"({"a": 9})"},
  };
  EXPECT_GE(ExpectTwinsAgree(batches, "chosen"), 6u);
}

// The cell bound of a whole batch: every document alone is small, together they pass it.
TEST(ControllerDigest, RefusesTheBatchPastTheCellBoundAsShredDoes) {
  std::vector<std::string> lines;
  for (int d = 0; d < 2200; ++d) {
    std::string line = "{";
    for (int k = 0; k < 60; ++k) {
      line += (k ? ",\"" : "\"") + std::to_string(d) + "_" + std::to_string(k) + "\":1";
    }
    lines.push_back(line + "}");
  }
  const std::vector<std::string> after = {R"({"0_0": 2})"};
  EXPECT_EQ(ExpectTwinsAgree({lines, after}, "cells"), 1u);
  ModulePipeline pipeline;
  EXPECT_EQ(testing::MessageOf([&] { pipeline.controller.digest(JsonBatch(lines)); }),
            "Controller: atoms batch too large: 2116 rows x 126962 columns exceeds 268435456 "
            "cells; shred fewer documents per batch");
}

// Any other policy is applied as `shred` applies it, conflicts between documents included.
TEST(ControllerDigest, AppliesAnotherPolicyAsShredDoes) {
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
  const std::vector<std::vector<std::string>> batches = {
      {R"({"a": 1})", R"({"a": 2})"}, {R"({"a": 1})", R"({"a": "x"})"}, {R"({"a": 3})"}};
  ModulePipeline shredding(strict);
  ModulePipeline digesting(strict);
  std::vector<std::string> failures;
  for (const auto& lines : batches) {
    const auto batch = JsonBatch(lines);
    const Outcome expected = ShredOutcome(shredding, batch);
    const Outcome got = DigestOutcome(digesting, batch);
    EXPECT_EQ(got.failure, expected.failure);
    EXPECT_EQ(got.digests, expected.digests);
    failures.push_back(got.failure);
  }
  EXPECT_EQ(failures[0], "");
  EXPECT_TRUE(failures[1].ends_with(" row 1: Controller: schema conflict at root_a"))
      << failures[1];
}

// Random documents: every kind of value, arrays of objects, lone values beside arrays, nulls,
// keys with "_" and beyond ASCII, deep nesting, and documents the pipeline refuses.
class RandomDocuments {
 public:
  explicit RandomDocuments(std::uint32_t seed) : random_(seed) {}

  std::string Document() {
    if (Chance(0.03)) return R"({"a": )";  // not JSON
    return Object(0);
  }

 private:
  bool Chance(double p) { return std::bernoulli_distribution(p)(random_); }
  int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  std::string Key() {
    static const char* const kKeys[] = {"a", "b", "a_b", "_", "b_", "c", "\u00e9", "\u043a",
                                        "\\u0061", "x_id", "d__idx", "", "__txn_id", "t"};
    return std::string("\"") + kKeys[Below(Chance(0.05) ? 14 : 11)] + "\"";
  }

  std::string Scalar() {
    switch (Below(6)) {
      case 0: return "null";
      case 1: return Chance(0.5) ? "true" : "false";
      case 2: return std::to_string(Below(5) - 2);
      case 3: return "1.5";
      case 4: return R"("x\u00e9\ud83d\ude00")";
      default: return R"("y")";
    }
  }

  std::string Value(int depth) {
    const int choice = depth > 6 ? 0 : Below(10);
    if (choice < 4) return Scalar();
    if (choice < 6) return Object(depth + 1);
    std::string array = "[";
    const int count = Below(4);
    const int element = Below(3);  // scalars, objects, or a mix (refused)
    const std::string scalar = Scalar();
    for (int i = 0; i < count; ++i) {
      if (i) array += ",";
      if (Chance(0.03)) {
        array += "[1]";  // nested: refused
      } else if (element == 0) {
        array += Chance(0.9) ? scalar : Scalar();
      } else if (element == 1) {
        array += Object(depth + 1);
      } else {
        array += Chance(0.5) ? Scalar() : Object(depth + 1);
      }
    }
    return array + "]";
  }

  std::string Object(int depth) {
    if (depth == 0 && Chance(0.05)) {  // deep nesting
      const int levels = 20 + Below(40);
      std::string deep;
      for (int i = 0; i < levels; ++i) deep += R"({"n":)";
      deep += "1";
      for (int i = 0; i < levels; ++i) deep += "}";
      return deep;
    }
    std::string object = "{";
    const int count = Below(depth == 0 ? 5 : 3);
    for (int i = 0; i < count; ++i) {
      if (i) object += ",";
      object += Key() + ":" + Value(depth);
    }
    return object + "}";
  }

  std::mt19937 random_;
};

TEST(ControllerDigest, AgreesWithShredOnRandomDocuments) {
  std::size_t failed = 0;
  std::size_t batches_seen = 0;
  for (std::uint32_t seed = 1; seed <= 150; ++seed) {
    RandomDocuments random(seed);
    std::vector<std::vector<std::string>> batches(12);
    for (auto& lines : batches) {
      lines.resize(1 + seed % 5);
      for (std::string& line : lines) line = random.Document();
    }
    failed += ExpectTwinsAgree(batches, "seed " + std::to_string(seed));
    batches_seen += batches.size();
  }
  // Both outcomes must be well represented for the comparison to mean anything.
  EXPECT_GT(failed, batches_seen / 10);
  EXPECT_LT(failed, batches_seen * 9 / 10);
}

#ifdef SHREDDER_SHARED_DATA_DIR
const std::filesystem::path kData = SHREDDER_SHARED_DATA_DIR;

std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Every line of a JSON Lines file (up to 400, in batches of 50), every other file whole.
TEST(ControllerDigest, AgreesWithShredOnTheRealData) {
  std::size_t documents = 0;
  for (const auto& path : FilesIn(kData / "real")) {
    const std::string ext = path.extension().string();
    std::vector<std::vector<std::string>> batches;
    if (ext == ".ndjson" || ext == ".jsonl") {
      std::ifstream in(path, std::ios::binary);
      std::string line;
      for (int n = 0; n < 400 && std::getline(in, line); ++n) {
        if (n % 50 == 0) batches.emplace_back();
        batches.back().push_back(line);
      }
    } else if (ext == ".json") {
      batches.push_back({ReadWhole(path)});
    } else {
      continue;
    }
    for (const auto& lines : batches) documents += lines.size();
    ExpectTwinsAgree(batches, path.filename().string());
  }
  EXPECT_GT(documents, 800u);
}

TEST(ControllerDigest, AgreesWithShredOnTheTestSuiteFiles) {
  std::vector<std::vector<std::string>> batches;
  for (const auto& path : FilesIn(kData / "jsontestsuite")) {
    if (batches.empty() || batches.back().size() == 4) batches.emplace_back();
    batches.back().push_back(ReadWhole(path));
  }
  const std::size_t failed = ExpectTwinsAgree(batches, "jsontestsuite");
  EXPECT_GT(failed, 0u);
  EXPECT_LT(failed, batches.size());
}
#endif

}  // namespace
}  // namespace shredder
