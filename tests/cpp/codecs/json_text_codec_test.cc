#include "shredder/json_text_codec.h"

#include <arrow/api.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "arrow_support.h"
#include "shredder/json_text.h"
#include "shredder/serialization.h"
#include "test_support.h"

namespace shredder {
namespace {

using testing::BatchOfColumns;
using testing::RuntimeErrorOf;

using Cells = std::vector<std::optional<std::string>>;

// A column of `type` (a binary or string layout) holding `cells`; nullopt is a null cell.
std::shared_ptr<arrow::Array> TextColumn(const std::shared_ptr<arrow::DataType>& type,
                                         const Cells& cells) {
  std::unique_ptr<arrow::ArrayBuilder> builder = arrow::MakeBuilder(type).ValueOrDie();
  for (const auto& cell : cells) {
    arrow::Status status;
    if (!cell) {
      status = builder->AppendNull();
    } else if (auto* binary = dynamic_cast<arrow::BinaryBuilder*>(builder.get())) {
      status = binary->Append(*cell);
    } else {
      status = dynamic_cast<arrow::LargeBinaryBuilder&>(*builder).Append(*cell);
    }
    EXPECT_TRUE(status.ok()) << status.ToString();
  }
  return builder->Finish().ValueOrDie();
}

JsonTextCodec MakeCodec() { return JsonTextCodec(MakeSerialization(SerializationFormat::Json)); }

const std::vector<std::shared_ptr<arrow::DataType>>& TextTypes() {
  static const auto* types = new std::vector<std::shared_ptr<arrow::DataType>>{
      arrow::utf8(), arrow::binary(), arrow::large_utf8(), arrow::large_binary()};
  return *types;
}

TEST(JsonTextCodecValidateInput, AcceptsOneColumnOfEveryTextLayout) {
  const JsonTextCodec codec = MakeCodec();
  for (const auto& type : TextTypes()) {
    SCOPED_TRACE(type->ToString());
    EXPECT_NO_THROW(codec.ValidateInput(BatchOfColumns({TextColumn(type, {"{}"})})));
  }
}

TEST(JsonTextCodecValidateInput, RefusesOtherColumnCountsAndTypes) {
  const JsonTextCodec codec = MakeCodec();
  const auto text = TextColumn(arrow::utf8(), {"{}"});
  arrow::Int64Builder integer_builder;
  ASSERT_TRUE(integer_builder.Append(1).ok());
  const auto integers = integer_builder.Finish().ValueOrDie();
  const auto lists = arrow::MakeArrayOfNull(arrow::list(arrow::utf8()), 1).ValueOrDie();
  const auto views = arrow::MakeArrayOfNull(arrow::utf8_view(), 1).ValueOrDie();
  const std::vector<std::pair<std::shared_ptr<arrow::RecordBatch>, std::string>> cases = {
      {BatchOfColumns({}), "JsonTextCodec: expected 1 column, got 0"},
      {BatchOfColumns({text, text}), "JsonTextCodec: expected 1 column, got 2"},
      {BatchOfColumns({integers}), "JsonTextCodec: expected string/binary column, got int64"},
      {BatchOfColumns({lists}),
       "JsonTextCodec: expected string/binary column, got list<item: string>"},
      {BatchOfColumns({views}), "JsonTextCodec: expected string/binary column, got string_view"},
  };
  for (const auto& [batch, message] : cases) {
    EXPECT_EQ(RuntimeErrorOf([&] { codec.ValidateInput(batch); }), message);
  }
}

// `column` with the end offset of its first cell moved far past the data buffer; Arrow's cheap
// check reads only the first and last offsets, so it still passes.
template <typename Offset>
std::shared_ptr<arrow::Array> WithRunawayOffset(const std::shared_ptr<arrow::Array>& column) {
  auto offsets = arrow::AllocateBuffer(column->data()->buffers[1]->size()).ValueOrDie();
  std::memcpy(offsets->mutable_data(), column->data()->buffers[1]->data(), offsets->size());
  reinterpret_cast<Offset*>(offsets->mutable_data())[1] = Offset{1} << 30;
  auto data = column->data()->Copy();
  data->buffers[1] = std::move(offsets);
  return arrow::MakeArray(data);
}

TEST(JsonTextCodecValidateInput, RefusesOffsetsPastTheDataInEveryLayout) {
  const JsonTextCodec codec = MakeCodec();
  for (const auto& type : TextTypes()) {
    const auto column = TextColumn(type, {"{\"a\":\"", "x\"}"});
    const auto bad = arrow::is_large_binary_like(type->id()) ? WithRunawayOffset<int64_t>(column)
                                                            : WithRunawayOffset<int32_t>(column);
    ASSERT_TRUE(bad->Validate().ok()) << type->ToString();
    const std::string message = RuntimeErrorOf([&] { codec.ValidateInput(BatchOfColumns({bad})); });
    EXPECT_EQ(message.rfind("JsonTextCodec: Invalid: ", 0), 0u) << message;
  }
}

TEST(JsonTextCodecValidateInput, LeavesInvalidUtf8InAStringColumnToTheParser) {
  const JsonTextCodec codec = MakeCodec();
  // A utf8 column whose bytes are not UTF-8, as a zero-copy cast from binary can make.
  const auto bytes = TextColumn(arrow::binary(), {"{\"a\":\"\xff\"}"});
  auto data = bytes->data()->Copy();
  data->type = arrow::utf8();
  const auto batch = BatchOfColumns({arrow::MakeArray(data)});
  codec.ValidateInput(batch);
  EXPECT_NE(RuntimeErrorOf([&] { codec.ToDom(batch, 0); }).find("ill-formed UTF-8 byte"),
            std::string::npos);
}

TEST(JsonTextCodecToDom, ReadsEveryTextLayoutAlike) {
  const JsonTextCodec codec = MakeCodec();
  const Cells cells = {"{\"a\":1}", " {\"b\":[true,2.5]} ", "{}", std::nullopt};
  for (const auto& type : TextTypes()) {
    SCOPED_TRACE(type->ToString());
    const auto batch = BatchOfColumns({TextColumn(type, cells)});
    EXPECT_EQ(codec.ToDom(batch, 0), (Object{{"a", Value(1)}}));
    EXPECT_EQ(codec.ToDom(batch, 1), (Object{{"b", Value(Array{Value(true), Value(2.5)})}}));
    EXPECT_EQ(codec.ToDom(batch, 2), Object{});
    EXPECT_EQ(RuntimeErrorOf([&] { codec.ToDom(batch, 3); }),
              "JsonTextCodec: null document at row 3");
  }
}

TEST(JsonTextCodecToDom, ReadsTheRowsOfASlicedColumn) {
  const JsonTextCodec codec = MakeCodec();
  const Cells cells = {"{\"r\":0}", "{\"r\":1}", "{\"r\":2}", std::nullopt, "{\"r\":4}"};
  for (const auto& type : TextTypes()) {
    SCOPED_TRACE(type->ToString());
    const auto batch = BatchOfColumns({TextColumn(type, cells)->Slice(2, 3)});
    EXPECT_EQ(codec.ToDom(batch, 0), (Object{{"r", Value(2)}}));
    EXPECT_EQ(RuntimeErrorOf([&] { codec.ToDom(batch, 1); }),
              "JsonTextCodec: null document at row 1");
    EXPECT_EQ(codec.ToDom(batch, 2), (Object{{"r", Value(4)}}));
  }
}

TEST(JsonTextCodecToDom, TestsForNullBeforeTheLayout) {
  const JsonTextCodec codec = MakeCodec();
  arrow::Int64Builder builder;
  ASSERT_TRUE(builder.AppendNull().ok());
  ASSERT_TRUE(builder.Append(5).ok());
  const auto integers = BatchOfColumns({builder.Finish().ValueOrDie()});
  EXPECT_EQ(RuntimeErrorOf([&] { codec.ToDom(integers, 0); }),
            "JsonTextCodec: null document at row 0");
  EXPECT_EQ(RuntimeErrorOf([&] { codec.ToDom(integers, 1); }),
            "JsonTextCodec: unsupported column type int64");
  const auto nulls = BatchOfColumns({arrow::MakeArrayOfNull(arrow::null(), 1).ValueOrDie()});
  EXPECT_EQ(RuntimeErrorOf([&] { codec.ToDom(nulls, 0); }),
            "JsonTextCodec: null document at row 0");
}

TEST(JsonTextCodecToDom, PassesParseErrorsThroughUnchanged) {
  const JsonTextCodec codec = MakeCodec();
  const auto batch =
      BatchOfColumns({TextColumn(arrow::binary(), {"", "[1]", "{\n\"a\": 1,\n\"bc\"2\n}",
                                            "{\"a\":" + std::string(600, '[') +
                                                std::string(600, ']') + "}"})});
  struct Expected {
    std::string message;
    std::int32_t line;
    std::int32_t column;
  };
  const std::vector<Expected> expected = {
      {"JSON parse failure: [json.exception.parse_error.101] parse error at line 1, column 1: "
       "attempting to parse an empty input; check that your input string or stream contains the "
       "expected JSON",
       1, 1},
      {"JSON parse failure: JSON root is not an object", -1, -1},
      {"JSON parse failure: [json.exception.parse_error.101] parse error at line 3, column 0: "
       "syntax error while parsing object separator - unexpected number literal; expected ':'",
       3, 5},
      {"JSON parse failure: nesting depth exceeds the limit of 512", -1, -1},
  };
  for (std::int64_t row = 0; row < batch->num_rows(); ++row) {
    SCOPED_TRACE(row);
    try {
      codec.ToDom(batch, row);
      ADD_FAILURE() << "no exception";
    } catch (const JsonParseError& error) {
      EXPECT_EQ(error.what(), expected[row].message);
      EXPECT_EQ(error.line, expected[row].line);
      EXPECT_EQ(error.column, expected[row].column);
    }
  }
}

TEST(JsonTextCodecToDom, RefusesARowOutsideTheBatch) {
  const JsonTextCodec codec = MakeCodec();
  const auto batch = BatchOfColumns({TextColumn(arrow::utf8(), {"{}", "{}"})->Slice(1)});
  for (std::int64_t row : {-1, 1, 100}) {
    try {
      codec.ToDom(batch, row);
      ADD_FAILURE() << "no exception for row " << row;
    } catch (const Error& error) {
      EXPECT_EQ(error.what(),
                "JsonTextCodec: row " + std::to_string(row) + " out of range for 1 rows");
    }
  }
  EXPECT_EQ(RuntimeErrorOf([&] { codec.ToDom(BatchOfColumns({}), 0); }),
            "JsonTextCodec: expected 1 column, got 0");
}

// Records the text it is handed and writes every document as its member count.
class RecordingSerialization final : public Serialization {
 public:
  explicit RecordingSerialization(std::vector<const char*>* seen) : seen_(seen) {}
  Object ToDom(std::string_view text) const override {
    seen_->push_back(text.data());
    return Object{{"size", Value(static_cast<std::int64_t>(text.size()))}};
  }
  std::string FromDom(const Object& document) const override {
    return "n=" + std::to_string(document.size());
  }

 private:
  std::vector<const char*>* seen_;
};

TEST(JsonTextCodecToDom, ParsesTheCellWhereItLiesInTheColumn) {
  std::vector<const char*> seen;
  const JsonTextCodec codec(std::make_unique<RecordingSerialization>(&seen));
  const Cells cells = {"{}", "{\"a\":1}", "{\"bb\":2}"};
  for (const auto& type : TextTypes()) {
    SCOPED_TRACE(type->ToString());
    seen.clear();
    const auto column = TextColumn(type, cells)->Slice(1);
    const auto batch = BatchOfColumns({column});
    EXPECT_EQ(codec.ToDom(batch, 1), (Object{{"size", Value(8)}}));
    const auto& data = *column->data();
    const std::int64_t start = type->id() == arrow::Type::LARGE_STRING ||
                                       type->id() == arrow::Type::LARGE_BINARY
                                   ? data.GetValues<std::int64_t>(1)[1]
                                   : data.GetValues<std::int32_t>(1)[1];
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], reinterpret_cast<const char*>(data.buffers[2]->data()) + start);
  }
}

TEST(JsonTextCodecFromDom, WritesOneUtf8ColumnNamedDoc) {
  const JsonTextCodec codec = MakeCodec();
  const std::vector<Object> documents = {
      Object{{"b", Value(2.0)}, {"a", Value(Array{Value(1), Value()})}},
      Object{},
  };
  const auto batch = codec.FromDom(documents);
  ASSERT_TRUE(batch->ValidateFull().ok());
  EXPECT_TRUE(batch->schema()->Equals(
      *arrow::schema({arrow::field("doc", arrow::utf8(), /*nullable=*/true)}),
      /*check_metadata=*/true));
  EXPECT_EQ(batch->schema()->metadata(), nullptr);
  ASSERT_EQ(batch->num_rows(), 2);
  const auto& column = static_cast<const arrow::StringArray&>(*batch->column(0));
  EXPECT_EQ(column.null_count(), 0);
  EXPECT_EQ(column.GetView(0), "{\"a\":[1,null],\"b\":2.0}");
  EXPECT_EQ(column.GetView(1), "{}");
}

TEST(JsonTextCodecFromDom, NoDocumentsGiveAnEmptyBatchOfTheSameSchema) {
  const auto batch = MakeCodec().FromDom({});
  ASSERT_TRUE(batch->ValidateFull().ok());
  EXPECT_EQ(batch->num_rows(), 0);
  EXPECT_TRUE(batch->schema()->Equals(*arrow::schema({arrow::field("doc", arrow::utf8())})));
}

TEST(JsonTextCodecFromDom, UsesTheHeldSerialization) {
  std::vector<const char*> seen;
  const JsonTextCodec codec(std::make_unique<RecordingSerialization>(&seen));
  const auto batch = codec.FromDom({Object{{"a", Value(1)}, {"b", Value(2)}}, Object{}});
  const auto& column = static_cast<const arrow::StringArray&>(*batch->column(0));
  EXPECT_EQ(column.GetView(0), "n=2");
  EXPECT_EQ(column.GetView(1), "n=0");
}

TEST(JsonTextCodecFromDom, PropagatesEmitFailures) {
  const std::vector<Object> documents = {Object{{"a", Value(1)}}, Object{{"b", Value("\xFF")}}};
  EXPECT_EQ(RuntimeErrorOf([&] { MakeCodec().FromDom(documents); }),
            "JSON emit failure: [json.exception.type_error.316] invalid UTF-8 byte at index 0: "
            "0xFF");
}

TEST(JsonTextCodecFromDom, ReportsBuilderFailuresWithTheStatusText) {
  // A pool capped at 1 KiB runs out while the second kilobyte of text is appended.
  std::unique_ptr<arrow::MemoryPool> backing = arrow::MemoryPool::CreateDefault();
  arrow::CappedMemoryPool capped(backing.get(), 1024);
  const std::vector<Object> documents(8, Object{{"s", Value(std::string(300, 'x'))}});
  const JsonSerialization serialization;
  const std::string message = RuntimeErrorOf(
      [&] { json_text::BuildDocBatch(serialization, documents, &capped); });
  EXPECT_EQ(message.rfind("JsonTextCodec: Out of memory: ", 0), 0u) << message;
}

TEST(JsonTextCodecFromDom, WritesDocumentsTwiceTheDepthLimitOnASmallStack) {
  testing::RunWithStack(testing::kOneMiB, [] {
    Value inner(Object{});
    for (int level = 2 * kMaxNestingDepth - 1; level > 1; --level) {
      inner = level % 2 == 0 ? Value(Object{{"k", std::move(inner)}})
                             : Value(Array{std::move(inner)});
    }
    const std::vector<Object> documents = {Object{{"d", std::move(inner)}}};
    const auto batch = MakeCodec().FromDom(documents);
    const auto& column = static_cast<const arrow::StringArray&>(*batch->column(0));
    EXPECT_EQ(column.GetView(0), JsonSerialization().FromDom(documents[0]));
  });
}

TEST(JsonTextCodecRoundTrip, DocumentsWrittenReadBackEqual) {
  const JsonTextCodec codec = MakeCodec();
  const std::vector<Object> documents = {
      Object{{"i", Value(2)}, {"d", Value(2.0)}, {"s", Value("\"q\"\n")}},
      Object{{"nested", Value(Array{Value(Object{{"x", Value()}}), Value(Array{})})}},
  };
  const auto batch = codec.FromDom(documents);
  codec.ValidateInput(batch);
  for (std::int64_t row = 0; row < batch->num_rows(); ++row) {
    EXPECT_EQ(codec.ToDom(batch, row), documents[row]);
  }
}

}  // namespace
}  // namespace shredder
