#include "controller/column_store.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "arrow/record_batch.h"
#include "controller/pipeline_support.h"
#include "shredder/coerce_policy.h"
#include "shredder/controller.h"
#include "shredder/json_text_codec.h"
#include "shredder/normalizer.h"
#include "shredder/serialization.h"
#include "shredder/tagger.h"

namespace shredder::controller_internal {
namespace {

// A column holding `text_bytes` bytes of one string cell, in rows 0 and 1 (the second a
// repeat).
MergedColumn FilledColumn(const std::string* name, std::size_t text_bytes) {
  MergedColumn column;
  column.name = name;
  column.kind = Kind::String;
  column.kinds_seen = 1u << 4;
  column.text.assign(text_bytes, 'x');
  column.kinds.push_back(4);
  column.payloads.push_back(text_bytes);
  column.repeats.push_back(MergedColumn::Repeat{0, 2});
  column.string_bytes = 2 * text_bytes;
  column.last_text_length = text_bytes;
  column.runs.push_back(Run{0, 2});
  return column;
}

void ExpectEmpty(const MergedColumn& column) {
  EXPECT_EQ(column.name, nullptr);
  EXPECT_EQ(column.kind, Kind::Null);
  EXPECT_EQ(column.kinds_seen, 0);
  EXPECT_TRUE(column.kinds.empty());
  EXPECT_TRUE(column.payloads.empty());
  EXPECT_TRUE(column.repeats.empty());
  EXPECT_TRUE(column.text.empty());
  EXPECT_EQ(column.string_bytes, 0u);
  EXPECT_EQ(column.last_text_length, 0u);
  EXPECT_TRUE(column.runs.empty());
}

TEST(ColumnPool, KeptColumnsComeBackEmptyInTheirOrderWithTheirMemory) {
  const std::string a = "a", b = "b";
  ColumnPool pool;
  std::vector<MergedColumn> columns;
  columns.push_back(FilledColumn(&a, 1000));
  columns.push_back(FilledColumn(&b, 50));
  const std::size_t bytes = columns[0].capacity_bytes() + columns[1].capacity_bytes();
  pool.keep(columns);
  EXPECT_TRUE(columns.empty());
  EXPECT_EQ(pool.kept_bytes(), bytes);

  const MergedColumn first = pool.take();
  ExpectEmpty(first);
  EXPECT_GE(first.text.capacity(), 1000u);
  const MergedColumn second = pool.take();
  ExpectEmpty(second);
  EXPECT_GE(second.text.capacity(), 50u);
  EXPECT_LT(second.text.capacity(), 1000u);
  EXPECT_EQ(pool.kept_bytes(), 0u);
  // Once the kept columns are used up, new ones.
  const MergedColumn third = pool.take();
  ExpectEmpty(third);
  EXPECT_EQ(third.capacity_bytes(), MergedColumn{}.capacity_bytes());
}

TEST(ColumnPool, KeepsOnlyTheFirstColumnsWithinItsLimit) {
  const std::string a = "a", b = "b", c = "c";
  std::vector<MergedColumn> columns;
  columns.push_back(FilledColumn(&a, 100));
  columns.push_back(FilledColumn(&b, 10'000));
  columns.push_back(FilledColumn(&c, 10));  // small, but after one that did not fit
  ColumnPool pool(columns[0].capacity_bytes() + 5'000);
  const std::size_t first = columns[0].capacity_bytes();
  pool.keep(columns);
  EXPECT_EQ(pool.kept_bytes(), first);
  EXPECT_GE(pool.take().text.capacity(), 100u);
  EXPECT_EQ(pool.take().capacity_bytes(), MergedColumn{}.capacity_bytes());

  // A later batch replaces what an earlier one left, whether taken or not.
  std::vector<MergedColumn> later;
  later.push_back(FilledColumn(&c, 20));
  const std::size_t later_bytes = later[0].capacity_bytes();
  pool.keep(later);
  EXPECT_EQ(pool.kept_bytes(), later_bytes);
}

// The same batches through one Controller and through a new Controller per batch that
// shares the modifiers (so that what they learn carries over alike): the atoms batches are
// equal, whatever the memory kept from batch to batch held.
class ColumnMemoryAcrossBatches : public ::testing::TestWithParam<bool> {};

CoercePolicy PolicyFor(bool boxing) {
  CoercePolicy policy = BoxToStringPolicy();
  if (boxing) return policy;
  // The same rules behind other function objects: the policy is then applied column by
  // column as it is asked, not inline.
  auto resolver = policy.kind_resolver;
  auto converter = policy.value_converter;
  return CoercePolicy{
      [resolver](Kind a, Kind b, const std::string& name) { return resolver(a, b, name); },
      [converter](Kind kind, const Value& value, const std::string& name) {
        return converter(kind, value, name);
      }};
}

std::unique_ptr<Controller> MakeController(Normalizer& normalizer, Tagger& tagger, bool boxing) {
  return std::make_unique<Controller>(
      std::make_unique<JsonTextCodec>(MakeSerialization(SerializationFormat::Json)),
      std::vector<std::reference_wrapper<DomModifier>>{normalizer, tagger}, PolicyFor(boxing));
}

TEST_P(ColumnMemoryAcrossBatches, GiveTheSameAtomsAsFreshControllers) {
  const std::string long_text(5'000, 'y');
  const std::vector<std::vector<std::string>> batches = {
      // many columns, long strings, repeated cells above arrays
      {R"({"a": "one", "b": [1, 2, 3], "c": {"d": ")" + long_text + R"(", "e": [true, null]}})",
       R"({"a": "two", "b": [], "c": {"d": "z", "e": [false]}, "f": 1.5})"},
      // fewer columns, in another order, other kinds in the same names
      {R"({"f": "text", "a": 7})", R"({"z": [{"q": 1}, {"q": "w"}]})"},
      // refused: the batch is undone, the next one starts from the memory it left
      {R"({"a": 1})", R"({"a": )"},
      {R"({"c": {"d": 2, "e": []}, "a": [")" + long_text + R"(", "s"]})"},
      {R"({"a": "one", "b": [1, 2, 3]})"},
  };
  Normalizer normalizer_one, normalizer_fresh;
  Tagger tagger_one, tagger_fresh;
  const auto one = MakeController(normalizer_one, tagger_one, GetParam());
  for (std::size_t i = 0; i < batches.size(); ++i) {
    SCOPED_TRACE("batch " + std::to_string(i));
    const auto fresh = MakeController(normalizer_fresh, tagger_fresh, GetParam());
    std::shared_ptr<arrow::RecordBatch> kept, expected;
    const std::string kept_error = testing::MessageOf(
        [&] { kept = one->shred(testing::JsonBatch(batches[i])); });
    const std::string expected_error = testing::MessageOf(
        [&] { expected = fresh->shred(testing::JsonBatch(batches[i])); });
    EXPECT_EQ(kept_error, expected_error);
    ASSERT_EQ(kept == nullptr, expected == nullptr);
    if (expected) {
      EXPECT_TRUE(kept->Equals(*expected)) << kept->ToString() << "\n" << expected->ToString();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Policies, ColumnMemoryAcrossBatches, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Boxing" : "AskedPolicy"; });

}  // namespace
}  // namespace shredder::controller_internal
