#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrow/array/builder_primitive.h"
#include "controller/pipeline_support.h"
#include "test_support.h"

// Batches of JSON documents shredded and unshredded by one module-style Controller come back
// as they went in, apart from the documented changes.

namespace shredder {
namespace {

using testing::Documents;
using testing::MessageOf;
using testing::ModulePipeline;
using testing::Parse;

void StripIds(Value& value);

void StripIds(Object& object) {
  object.erase("__txn_id");
  object.erase("__obj_id");
  for (auto& [key, member] : object) StripIds(member);
}

void StripIds(Value& value) {
  if (auto* object = std::get_if<Object>(&value.data)) {
    StripIds(*object);
  } else if (auto* array = std::get_if<Array>(&value.data)) {
    for (Value& element : *array) StripIds(element);
  }
}

// Every "__txn_id" anywhere in the document must be the root's.
void ExpectTxnIdEverywhere(const Value& value, const std::string& txn) {
  if (const auto* object = std::get_if<Object>(&value.data)) {
    if (auto found = object->find("__txn_id"); found != object->end()) {
      EXPECT_EQ(found->second, Value(txn));
    }
    for (const auto& [key, member] : *object) ExpectTxnIdEverywhere(member, txn);
  } else if (const auto* array = std::get_if<Array>(&value.data)) {
    for (const Value& element : *array) ExpectTxnIdEverywhere(element, txn);
  }
}

// The inputs as the pipeline tags them, with a Normalizer that sees them in the same order.
std::vector<Object> TaggedInputs(const std::vector<std::string>& inputs) {
  Normalizer normalizer;
  Tagger tagger;
  std::vector<Object> tagged;
  for (const std::string& input : inputs) {
    Object document = Parse(input);
    normalizer.modify(document);
    tagger.modify(document);
    tagged.push_back(std::move(document));
  }
  return tagged;
}

std::vector<Object> RoundTrip(const std::vector<std::string>& inputs) {
  ModulePipeline p;
  const auto atoms = p.Shred(inputs);
  return Documents(*p.controller.unshred(atoms));
}

// `expected[i]` is input i as it must come back, without its identity members. Documents
// come back once per transaction id, in ascending order of it.
void ExpectRoundTrip(const std::vector<std::string>& inputs,
                     const std::vector<std::string>& expected) {
  ASSERT_EQ(inputs.size(), expected.size());
  const std::vector<Object> tagged = TaggedInputs(inputs);
  std::map<std::string, Object> by_txn;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    by_txn.emplace(std::get<std::string>(tagged[i].at("__txn_id").data), Parse(expected[i]));
  }
  const std::vector<Object> output = RoundTrip(inputs);
  ASSERT_EQ(output.size(), by_txn.size());
  std::size_t i = 0;
  for (const auto& [txn, document] : by_txn) {
    Value back(output[i++]);
    EXPECT_EQ(std::get<Object>(back.data).at("__txn_id"), Value(txn));
    EXPECT_EQ(std::get<Object>(back.data).at("__obj_id"), Value(txn));
    ExpectTxnIdEverywhere(back, txn);
    StripIds(back);
    EXPECT_EQ(std::get<Object>(back.data), document) << "document with txn id " << txn;
  }
}

TEST(ControllerRoundTrip, UnchangedDocumentComesBackWithItsStamps) {
  const std::string input =
      R"({"name": "x", "n": -3, "f": 0.25, "ok": false, "o": {"p": true, "q": {"r": "s"}},)"
      R"( "l": [{"k": 1}, {"k": 2, "m": "z"}], "t": ["a", "b", "c"], "u": "\u00e9\"\\"})";
  const std::vector<Object> output = RoundTrip({input});
  ASSERT_EQ(output.size(), 1u);
  EXPECT_EQ(output[0], TaggedInputs({input})[0]);
}

struct ChangeCase {
  std::string name;
  std::vector<std::string> inputs;
  std::vector<std::string> expected;
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }

class ControllerRoundTripChanges : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ControllerRoundTripChanges, OnlyTheDocumentedChanges) {
  ExpectRoundTrip(GetParam().inputs, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControllerRoundTripChanges,
    ::testing::Values(
        ChangeCase{"NullMembersVanish", {R"({"a": null, "b": 1})"}, {R"({"b": 1})"}},
        ChangeCase{"EmptyArraysAndArraysOfNullsVanish",
                   {R"({"e": [], "f": [null, null], "g": 2})"},
                   {R"({"g": 2})"}},
        ChangeCase{"LoneValuesAtArrayPathsAreWrapped",
                   {R"({"t": [1, 2]})", R"({"t": 3})"},
                   {R"({"t": [1, 2]})", R"({"t": [3]})"}},
        ChangeCase{"IntegersWidenAndOtherMixturesAreBoxed",
                   {R"({"v": 1, "w": 1})", R"({"v": 2.5, "w": "s"})", R"({"w": [true]})"},
                   {R"({"v": 1.0, "w": "1"})", R"({"v": 2.5, "w": "s"})",
                    R"({"w": ["true"]})"}},
        // The columns carry their key lists: a key's "_" is no nesting step.
        ChangeCase{"KeysWithUnderscoresComeBackWhole",
                   {R"({"a_b": 1, "x": {"y_z": [1, 2]}})"},
                   {R"({"a_b": 1, "x": {"y_z": [1, 2]}})"}},
        ChangeCase{"IdenticalDocumentsComeBackOnce",
                   {R"({"k": 1})", R"({"k": 2})", R"({"k": 1})", R"({"k": 3})"},
                   {R"({"k": 1})", R"({"k": 2})", R"({"k": 1})", R"({"k": 3})"}},
        // The first document registers root_A___txn_id before root___txn_id; the
        // transaction column is still root___txn_id, so the second document comes back.
        ChangeCase{"ArrayOfObjectsUnderAKeyBeforeTxnId",
                   {R"({"A": [{"x": 1}], "b": 2})", R"({"c": 3})", R"({"0": [{"y": 1}]})"},
                   {R"({"A": [{"x": 1}], "b": 2})", R"({"c": 3})", R"({"0": [{"y": 1}]})"}},
        ChangeCase{"ScalarArrayUnderAKeyBeforeTxnId",
                   {R"({"A": [1, 2], "b": "q"})"},
                   {R"({"A": [1, 2], "b": "q"})"}},
        ChangeCase{"ElementLackingAMemberOfAnEarlierElement",
                   {R"({"L": [{"x": 1, "y": 2}, {"x": 3}, {"y": 4}]})"},
                   {R"({"L": [{"x": 1, "y": 2}, {"x": 3}, {"y": 4}]})"}},
        // root_retweeted and root_retweeted_status_... share a prefix, not a path.
        ChangeCase{"ScalarBesideAKeyItPrefixes",
                   {R"({"retweeted": true, "retweeted_status": {"ids": [62, 63], "n": 1}})"},
                   {R"({"retweeted": true, "retweeted_status": {"ids": [62, 63], "n": 1}})"}}),
    [](const auto& info) { return info.param.name; });

std::shared_ptr<arrow::Array> Ints(const std::vector<std::optional<std::int64_t>>& values) {
  arrow::Int64Builder builder;
  for (const auto& v : values) {
    EXPECT_TRUE((v ? builder.Append(*v) : builder.AppendNull()).ok());
  }
  std::shared_ptr<arrow::Array> array;
  EXPECT_TRUE(builder.Finish(&array).ok());
  return array;
}

std::shared_ptr<arrow::Array> Texts(const std::vector<std::string>& values) {
  arrow::StringBuilder builder;
  EXPECT_TRUE(builder.AppendValues(values).ok());
  std::shared_ptr<arrow::Array> array;
  EXPECT_TRUE(builder.Finish(&array).ok());
  return array;
}

TEST(ControllerUnshredBounds, SparseIndicesGiveNullFillers) {
  const auto atoms = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("root___txn_id", arrow::utf8()),
                     arrow::field("root_a", arrow::utf8()),
                     arrow::field("root_a__idx", arrow::int64())}),
      2, {Texts({"t", "t"}), Texts({"x", "y"}), Ints({2, 0})});
  ModulePipeline p;
  const std::vector<Object> output = Documents(*p.controller.unshred(atoms));
  ASSERT_EQ(output.size(), 1u);
  EXPECT_EQ(output[0], Parse(R"({"__txn_id": "t", "a": ["y", null, "x"]})"));
}

TEST(ControllerUnshredBounds, HugeIndexFailsAtOnce) {
  const auto atoms = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("root___txn_id", arrow::utf8()),
                     arrow::field("root_a", arrow::int64()),
                     arrow::field("root_a__idx", arrow::int64())}),
      1, {Texts({"t"}), Ints({5}), Ints({1000000000000000})});
  ModulePipeline p;
  const std::string message = MessageOf([&] { p.controller.unshred(atoms); });
  EXPECT_EQ(message.rfind("Shredder::Unshred: array index out of range at ", 0), 0u) << message;
}

TEST(ControllerUnshredBounds, OverlongColumnNameIsRefused) {
  std::string name = "root";
  for (int i = 0; i < 100000; ++i) name += "_a";
  const auto atoms = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("root___txn_id", arrow::utf8()),
                     arrow::field(name, arrow::int64())}),
      1, {Texts({"t"}), Ints({1})});
  ModulePipeline p;
  std::string message;
  testing::RunWithStack(testing::kOneMiB,
                        [&] { message = MessageOf([&] { p.controller.unshred(atoms); }); });
  EXPECT_EQ(message.rfind("Shredder::Unshred: ", 0), 0u) << message.substr(0, 200);
  EXPECT_NE(message.find("root_a_a_a"), std::string::npos);
}

TEST(ControllerRoundTrip, DeepestDocumentOnASmallStack) {
  // Root object plus nested objects up to the nesting limit, a leaf at the bottom.
  std::string input;
  for (int level = 1; level < kMaxNestingDepth; ++level) input += R"({"a":)";
  input += R"({"a":1})";
  input += std::string(kMaxNestingDepth - 1, '}');
  std::vector<Object> output;
  testing::RunWithStack(testing::kOneMiB, [&] {
    output = RoundTrip({input});
    ASSERT_EQ(output.size(), 1u);
    Value back(std::move(output[0]));
    StripIds(back);
    EXPECT_EQ(std::get<Object>(back.data), Parse(input));
    output.clear();
  });
}

}  // namespace
}  // namespace shredder
