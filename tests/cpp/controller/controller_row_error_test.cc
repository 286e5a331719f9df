// Which row of a batch made `Controller::shred` fail: a failure of one document carries its row,
// its code and the member at fault, and keeps its own type and text; a failure of the whole
// batch carries no row.
#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "arrow/array/builder_primitive.h"
#include "controller/pipeline_support.h"
#include "shredder/serialization.h"

namespace shredder {
namespace {

using testing::JsonBatch;
using testing::ModulePipeline;

// What a failed shred threw: its text, row, code and path, and whether it is still of the
// expected type.
struct Failure {
  std::string text;
  std::optional<std::int64_t> row;
  std::optional<ErrorCode> code;
  std::string path;
  bool expected_type = false;
};

template <typename Expected>
Failure RowFailureOf(ModulePipeline& pipeline, const std::shared_ptr<arrow::RecordBatch>& batch) {
  Failure failure;
  try {
    pipeline.controller.shred(batch);
    failure.text = "<no exception>";
  } catch (const std::exception& error) {
    failure.text = error.what();
    failure.expected_type = dynamic_cast<const Expected*>(&error) != nullptr;
    if (const auto* located = dynamic_cast<const Error*>(&error)) {
      failure.row = located->row();
      failure.code = located->code();
      failure.path = located->path();
    }
  }
  return failure;
}

TEST(ControllerRowError, NamesTheRowOfTheFailingDocument) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::int64_t row;
    std::string text;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"ShapeMismatchAfterAnEarlierRow",
       {R"({"a": {"b": 1}})", R"({"c": 1})", R"({"a": 5})"},
       2,
       "Normalizer shape mismatch at /a (have leaf, want object)",
       "/a"},
      {"NestedArray", {R"({"m": [[1, 2]]})", R"({"m": [1]})"}, 0,
       "Shredder::Shred: nested arrays are not supported at /m", "/m"},
      {"Collision",
       {R"({"x": 1})", R"({"labels_url": "A", "labels": [{"url": "B1"}, {"url": "B2"}]})"},
       1,
       "Shredder::Shred: members /labels/url and /labels_url both map to column "
       "root_labels_url",
       "/labels_url"},
  };
  for (const Case& c : cases) {
    ModulePipeline pipeline;
    const Failure failure = RowFailureOf<std::runtime_error>(pipeline, JsonBatch(c.lines));
    EXPECT_EQ(failure.text, c.text) << c.name;
    EXPECT_EQ(failure.row, c.row) << c.name;
    EXPECT_EQ(failure.code, ErrorCode::Shape) << c.name;
    EXPECT_EQ(failure.path, c.path) << c.name;
    EXPECT_TRUE(failure.expected_type) << c.name;
  }
}

// The original exception's own type is kept, so callers that catch it still do; a failure of
// no known kind is one of the engine's own.
TEST(ControllerRowError, KeepsTheTypeOfTheOriginalFailure) {
  ModulePipeline pipeline;
  const Failure parse = RowFailureOf<JsonParseError>(pipeline, JsonBatch({R"({})", R"({"a":)"}));
  EXPECT_TRUE(parse.expected_type);
  EXPECT_EQ(parse.row, 1);
  EXPECT_TRUE(parse.text.starts_with("JSON parse failure: ")) << parse.text;
  EXPECT_EQ(parse.code, ErrorCode::InvalidJson);

  const Failure clash = RowFailureOf<Error>(
      pipeline, JsonBatch({R"({"s": [{"b": "x"}, {"b": 1}]})"}));
  EXPECT_TRUE(clash.expected_type);
  EXPECT_EQ(clash.row, 0);
  EXPECT_EQ(clash.text, "StringColumn::push: only null or string allowed");
}

TEST(ControllerRowError, FailuresOfTheWholeBatchNameNoRow) {
  ModulePipeline pipeline;
  arrow::Int64Builder numbers;
  ASSERT_TRUE(numbers.Append(1).ok());
  std::shared_ptr<arrow::Array> array;
  ASSERT_TRUE(numbers.Finish(&array).ok());
  const auto not_text = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("doc", arrow::int64())}), 1, {array});
  const Failure type = RowFailureOf<std::runtime_error>(pipeline, not_text);
  EXPECT_EQ(type.text, "JsonTextCodec: expected string/binary column, got int64");
  EXPECT_EQ(type.row, std::nullopt);
  EXPECT_EQ(type.code, ErrorCode::BadBatch);

  // The rows of one document times the columns of another pass the bound of the batch: no
  // document is at fault.
  std::string array_text = R"({"a":[0)";
  for (int i = 1; i < 16384; ++i) array_text += ",0";
  array_text += "]}";
  std::string keys = "{";
  for (int i = 0; i < 16382; ++i) keys += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
  keys += "}";
  ModulePipeline untagged(/*tag=*/false);
  const Failure size = RowFailureOf<std::runtime_error>(untagged, JsonBatch({array_text, keys}));
  EXPECT_TRUE(size.text.starts_with("Controller: atoms batch too large: ")) << size.text;
  EXPECT_EQ(size.row, std::nullopt);
  EXPECT_EQ(size.code, ErrorCode::TooLarge);
}

}  // namespace
}  // namespace shredder
