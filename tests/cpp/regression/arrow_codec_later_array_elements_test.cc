// Regressions: the Arrow codec typed an array by its first element only, so writing documents
// dropped members that only later elements have (an Arrow list of structs with nullable
// fields lost data on its way through shred and unshred) and failed on ordinary documents
// whose elements differ in number kind or start with null.
#include <arrow/api.h>
#include <arrow/json/from_string.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shredder/arrow_dom_codec.h"
#include "shredder/coerce_policy.h"
#include "shredder/controller.h"
#include "shredder/normalizer.h"
#include "shredder/tagger.h"

namespace shredder {
namespace {

const ArrowDomCodec kArrowCodec;

// Reads back every row of a batch the codec wrote.
std::vector<Object> ReadBack(const std::shared_ptr<arrow::RecordBatch>& batch) {
  EXPECT_TRUE(batch->ValidateFull().ok());
  std::vector<Object> documents;
  for (std::int64_t row = 0; row < batch->num_rows(); ++row) {
    documents.push_back(kArrowCodec.ToDom(batch, row));
  }
  return documents;
}

void DropIds(Value& value) {
  if (auto* object = std::get_if<Object>(&value.data)) {
    object->erase("__txn_id");
    object->erase("__obj_id");
    for (auto& [key, member] : *object) DropIds(member);
  } else if (auto* array = std::get_if<Array>(&value.data)) {
    for (Value& element : *array) DropIds(element);
  }
}

TEST(ArrowCodecLaterArrayElements, MembersOfLaterElementsAreWritten) {
  const std::vector<Object> documents{
      Object{{"l", Array{Object{{"x", 1}}, Object{{"y", "b"}}, Object{{"x", 3}, {"z", true}}}}}};
  const std::vector<Object> back = ReadBack(kArrowCodec.FromDom(documents));
  ASSERT_EQ(back.size(), 1u);
  const Object expected{{"l", Array{Object{{"x", 1}, {"y", nullptr}, {"z", nullptr}},
                                    Object{{"x", nullptr}, {"y", "b"}, {"z", nullptr}},
                                    Object{{"x", 3}, {"y", nullptr}, {"z", true}}}}};
  EXPECT_EQ(back[0], expected);
}

TEST(ArrowCodecLaterArrayElements, IntegersAndDoublesInOneArrayWidenToDouble) {
  const std::vector<Object> documents{
      Object{{"l", Array{Object{{"n", 1}}, Object{{"n", 2.5}}}}, {"m", Array{1, 2.5}}}};
  const std::vector<Object> back = ReadBack(kArrowCodec.FromDom(documents));
  ASSERT_EQ(back.size(), 1u);
  const Object expected{{"l", Array{Object{{"n", 1.0}}, Object{{"n", 2.5}}}},
                        {"m", Array{1.0, 2.5}}};
  EXPECT_EQ(back[0], expected);
}

TEST(ArrowCodecLaterArrayElements, ArrayStartingWithNullKeepsItsValues) {
  const std::vector<Object> documents{Object{{"l", Array{nullptr, 1}}}};
  const std::vector<Object> back = ReadBack(kArrowCodec.FromDom(documents));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0], (Object{{"l", Array{nullptr, 1}}}));
}

// The way it was found: a list of structs with nullable fields, shredded and unshredded with
// the Arrow codec. Nulls are not kept by shredding, so the second element came back without
// x, and the element type taken from it had no y.
TEST(ArrowCodecLaterArrayElements, ListOfStructsWithNullFieldsSurvivesARoundTrip) {
  const auto type = arrow::struct_(
      {arrow::field("l", arrow::list(arrow::struct_({arrow::field("x", arrow::int64()),
                                                     arrow::field("y", arrow::int64())})))});
  const auto column =
      arrow::json::ArrayFromJSONString(type, R"([{"l": [{"x": 1, "y": null},
                                                         {"x": null, "y": 2}]}])")
          .ValueOrDie();
  const auto input = arrow::RecordBatch::Make(arrow::schema({arrow::field("doc", type)}), 1,
                                              {column});
  Normalizer normalizer;
  Tagger tagger;
  Controller controller(std::make_unique<ArrowDomCodec>(), {normalizer, tagger},
                        BoxToStringPolicy(), Controller::KnownParts{&tagger, true});
  const std::vector<Object> back = ReadBack(controller.unshred(controller.shred(input)));
  ASSERT_EQ(back.size(), 1u);
  Value document(back[0]);
  DropIds(document);
  EXPECT_EQ(document, Value(Object{{"l", Array{Object{{"x", 1}, {"y", nullptr}},
                                               Object{{"x", nullptr}, {"y", 2}}}}}));
}

}  // namespace
}  // namespace shredder
