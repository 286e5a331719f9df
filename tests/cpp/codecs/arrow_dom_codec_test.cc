#include "shredder/arrow_dom_codec.h"

#include <arrow/api.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "arrow_support.h"
#include "codecs/arrow_dom_internal.h"
#include "test_support.h"

namespace shredder {
namespace {

using arrow_dom::append_value;
using arrow_dom::cell_to_value;
using arrow_dom::infer_arrow_type;
using arrow_dom::make_builder;
using arrow_dom::MergedType;
using testing::BatchOf;
using testing::FromJson;
using testing::kInt64Min;
using testing::RuntimeErrorOf;

std::shared_ptr<arrow::Array> StructOf(const arrow::ArrayVector& children,
                                       const std::vector<std::string>& names) {
  return arrow::StructArray::Make(children, names).ValueOrDie();
}

const ArrowDomCodec kCodec;

// ----------------------------------------------------------------------------------------
// Reading cells: every readable type

struct ReadCase {
  const char* name;
  std::shared_ptr<arrow::DataType> type;
  const char* json;  // An array; its last cell is read.
  Value expected;
};

class ReadCell : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadCell, ReadsTheLastCellAsItsValue) {
  const ReadCase& c = GetParam();
  auto array = FromJson(c.type, c.json);
  EXPECT_EQ(cell_to_value(*array, array->length() - 1), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Types, ReadCell,
    ::testing::Values(
        ReadCase{"BoolTrue", arrow::boolean(), "[false, true]", Value(true)},
        ReadCase{"BoolFalse", arrow::boolean(), "[true, false]", Value(false)},
        ReadCase{"Int8", arrow::int8(), "[1, -128]", Value(-128)},
        ReadCase{"Int16", arrow::int16(), "[1, -32768]", Value(-32768)},
        ReadCase{"Int32", arrow::int32(), "[1, -2147483648]", Value(-2147483647 - 1)},
        ReadCase{"Int64", arrow::int64(), "[1, -9223372036854775808]", Value(kInt64Min)},
        ReadCase{"UInt8", arrow::uint8(), "[1, 255]", Value(255)},
        ReadCase{"UInt16", arrow::uint16(), "[1, 65535]", Value(65535)},
        ReadCase{"UInt32", arrow::uint32(), "[1, 4294967295]",
                 Value(std::int64_t{4294967295})},
        // Above the int64 range: the nearest double, never the bit pattern's negative number.
        ReadCase{"UInt64Max", arrow::uint64(), "[1, 18446744073709551615]",
                 Value(18446744073709551615.0)},
        ReadCase{"UInt64TwoTo63", arrow::uint64(), "[9223372036854775808]",
                 Value(9223372036854775808.0)},
        ReadCase{"UInt64Big", arrow::uint64(), "[12345678901234567890]",
                 Value(12345678901234567890.0)},
        ReadCase{"UInt64Int64Max", arrow::uint64(), "[9223372036854775807]",
                 Value(std::numeric_limits<std::int64_t>::max())},
        ReadCase{"UInt64Small", arrow::uint64(), "[7]", Value(7)},
        ReadCase{"FloatHalf", arrow::float32(), "[1, 0.5]", Value(0.5)},
        ReadCase{"FloatWidensExactly", arrow::float32(), "[0.1]",
                 Value(static_cast<double>(0.1f))},
        ReadCase{"Double", arrow::float64(), "[1, 2.5]", Value(2.5)},
        ReadCase{"String", arrow::utf8(), R"(["x", "h\u00e9 \u0000!"])",
                 Value(std::string("h\xc3\xa9 \0!", 6))},
        ReadCase{"EmptyString", arrow::utf8(), R"(["x", ""])", Value("")},
        ReadCase{"LargeString", arrow::large_utf8(), R"(["x", "large"])", Value("large")},
        ReadCase{"List", arrow::list(arrow::int64()), "[[9], [1, null, 3]]",
                 Value(Array{1, nullptr, 3})},
        ReadCase{"EmptyList", arrow::list(arrow::int64()), "[[9], []]", Value(Array{})},
        ReadCase{"LargeList", arrow::large_list(arrow::utf8()), R"([["a"], ["b", "c"]])",
                 Value(Array{"b", "c"})},
        ReadCase{"ListOfLists", arrow::list(arrow::list(arrow::float32())),
                 "[[[1.5], null, []]]", Value(Array{Array{1.5}, nullptr, Array{}})},
        ReadCase{"Struct",
                 arrow::struct_({arrow::field("b", arrow::utf8()),
                                 arrow::field("a", arrow::int16())}),
                 R"([{"b": "s", "a": 1}, {"b": null, "a": 2}])",
                 Value(Object{{"a", 2}, {"b", nullptr}})},
        ReadCase{"EmptyStruct", arrow::struct_({}), "[{}]", Value(Object{})},
        ReadCase{"ListOfStruct",
                 arrow::list(arrow::struct_({arrow::field("n", arrow::uint8())})),
                 R"([[{"n": 1}, null, {"n": null}]])",
                 Value(Array{Object{{"n", 1}}, nullptr, Object{{"n", nullptr}}})},
        ReadCase{"StructOfList",
                 arrow::struct_({arrow::field("l", arrow::large_list(arrow::boolean()))}),
                 R"([{"l": [true, null]}])", Value(Object{{"l", Array{true, nullptr}}})},
        ReadCase{"NullType", arrow::null(), "[null, null]", Value()},
        ReadCase{"NullTypeInList", arrow::list(arrow::null()), "[[null, null]]",
                 Value(Array{nullptr, nullptr})},
        ReadCase{"NullTypeInStruct", arrow::struct_({arrow::field("z", arrow::null())}),
                 R"([{"z": null}])", Value(Object{{"z", nullptr}})}),
    [](const auto& info) { return std::string(info.param.name); });

struct NullCase {
  const char* name;
  std::shared_ptr<arrow::DataType> type;
  const char* json;  // Cell 1 is null.
};

class ReadNullCell : public ::testing::TestWithParam<NullCase> {};

TEST_P(ReadNullCell, AnyTypeGivesNullAndNeighboursStayReadable) {
  const NullCase& c = GetParam();
  auto array = FromJson(c.type, c.json);
  EXPECT_EQ(cell_to_value(*array, 1), Value());
  // The validity bitmap is read at the right position: the sliced array's cell 0 is null.
  EXPECT_EQ(cell_to_value(*array->Slice(1), 0), Value());
}

INSTANTIATE_TEST_SUITE_P(
    Types, ReadNullCell,
    ::testing::Values(
        NullCase{"Bool", arrow::boolean(), "[true, null]"},
        NullCase{"Int8", arrow::int8(), "[1, null]"},
        NullCase{"UInt64", arrow::uint64(), "[1, null]"},
        NullCase{"Float", arrow::float32(), "[1, null]"},
        NullCase{"Double", arrow::float64(), "[1, null]"},
        NullCase{"String", arrow::utf8(), R"(["a", null])"},
        NullCase{"LargeString", arrow::large_utf8(), R"(["a", null])"},
        NullCase{"List", arrow::list(arrow::int64()), "[[1], null]"},
        NullCase{"LargeList", arrow::large_list(arrow::int64()), "[[1], null]"},
        NullCase{"Struct", arrow::struct_({arrow::field("a", arrow::int64())}),
                 R"([{"a": 1}, null])"},
        NullCase{"Binary", arrow::binary(), R"(["a", null])"},
        NullCase{"Timestamp", arrow::timestamp(arrow::TimeUnit::MILLI), "[1, null]"},
        NullCase{"Decimal", arrow::decimal128(5, 2), R"(["1.23", null])"},
        NullCase{"Map", arrow::map(arrow::utf8(), arrow::int64()), R"([[["k", 1]], null])"}),
    [](const auto& info) { return std::string(info.param.name); });

// ----------------------------------------------------------------------------------------
// Rejected types

struct RejectCase {
  const char* name;
  std::shared_ptr<arrow::Array> array;  // Cell 0 holds a value, cell 1 is null.
  const char* message;
};

std::vector<RejectCase> RejectCases() {
  auto dictionary =
      arrow::DictionaryArray::FromArrays(arrow::dictionary(arrow::int32(), arrow::utf8()),
                                         FromJson(arrow::int32(), "[0, null]"),
                                         FromJson(arrow::utf8(), R"(["v"])"))
          .ValueOrDie();
  auto run_ends = FromJson(arrow::int32(), "[1, 2]");
  auto ree = arrow::RunEndEncodedArray::Make(2, run_ends, FromJson(arrow::int64(), "[5, null]"))
                 .ValueOrDie();
  return {
      {"Binary", FromJson(arrow::binary(), R"(["a", null])"),
       "ArrowDomCodec: unsupported Arrow type: binary"},
      {"LargeBinary", FromJson(arrow::large_binary(), R"(["a", null])"),
       "ArrowDomCodec: unsupported Arrow type: large_binary"},
      {"FixedSizeBinary", FromJson(arrow::fixed_size_binary(2), R"(["ab", null])"),
       "ArrowDomCodec: unsupported Arrow type: fixed_size_binary[2]"},
      {"HalfFloat", FromJson(arrow::float16(), "[1.5, null]"),
       "ArrowDomCodec: unsupported Arrow type: halffloat"},
      {"Date32", FromJson(arrow::date32(), "[1, null]"),
       "ArrowDomCodec: unsupported Arrow type: date32[day]"},
      {"Time64", FromJson(arrow::time64(arrow::TimeUnit::NANO), "[1, null]"),
       "ArrowDomCodec: unsupported Arrow type: time64[ns]"},
      {"Timestamp", FromJson(arrow::timestamp(arrow::TimeUnit::MILLI, "UTC"), "[1, null]"),
       "ArrowDomCodec: unsupported Arrow type: timestamp[ms, tz=UTC]"},
      {"Duration", FromJson(arrow::duration(arrow::TimeUnit::SECOND), "[1, null]"),
       "ArrowDomCodec: unsupported Arrow type: duration[s]"},
      {"Decimal128", FromJson(arrow::decimal128(5, 2), R"(["1.23", null])"),
       "ArrowDomCodec: unsupported Arrow type: decimal128(5, 2)"},
      {"Dictionary", dictionary,
       "ArrowDomCodec: unsupported Arrow type: dictionary<values=string, indices=int32, "
       "ordered=0>"},
      {"Map", FromJson(arrow::map(arrow::utf8(), arrow::int64()), R"([[["k", 1]], null])"),
       "ArrowDomCodec: unsupported Arrow type: map<string, int64>"},
      {"FixedSizeList", FromJson(arrow::fixed_size_list(arrow::int64(), 2), "[[1, 2], null]"),
       "ArrowDomCodec: unsupported Arrow type: fixed_size_list<item: int64>[2]"},
      {"StringView", FromJson(arrow::utf8_view(), R"(["a", null])"),
       "ArrowDomCodec: unsupported Arrow type: string_view"},
      {"RunEndEncoded", ree,
       "ArrowDomCodec: unsupported Arrow type: run_end_encoded<run_ends: int32, values: "
       "int64>"},
      {"DenseUnion",
       FromJson(arrow::dense_union({arrow::field("i", arrow::int64())}), "[[0, 1], null]"),
       "ArrowDomCodec: unsupported Arrow type: dense_union<i: int64=0>"},
  };
}

class RejectedType : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RejectedType, FailsOnAValueAndReadsANullCellAsNull) {
  const RejectCase& c = GetParam();
  EXPECT_EQ(RuntimeErrorOf([&] { cell_to_value(*c.array, 0); }), c.message);
  EXPECT_EQ(cell_to_value(*c.array, 1), Value());
  // Inside a struct row the same holds, through ToDom.
  auto batch = BatchOf(StructOf({c.array}, {"f"}));
  EXPECT_EQ(RuntimeErrorOf([&] { kCodec.ToDom(batch, 0); }), c.message);
  EXPECT_EQ(kCodec.ToDom(batch, 1), (Object{{"f", nullptr}}));
}

INSTANTIATE_TEST_SUITE_P(Types, RejectedType, ::testing::ValuesIn(RejectCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReadStruct, FirstOfTwoEquallyNamedFieldsWins) {
  auto first = FromJson(arrow::int64(), "[1, null]");
  auto second = FromJson(arrow::utf8(), R"(["x", "y"])");
  auto structs = StructOf({first, second, FromJson(arrow::boolean(), "[true, false]")},
                          {"a", "a", "b"});
  EXPECT_EQ(cell_to_value(*structs, 0), Value(Object{{"a", 1}, {"b", true}}));
  // The first field's null wins over the second field's value too.
  EXPECT_EQ(cell_to_value(*structs, 1), Value(Object{{"a", nullptr}, {"b", false}}));
}

TEST(ReadStruct, ALaterEquallyNamedFieldOfARejectedTypeStillFails) {
  auto structs = StructOf({FromJson(arrow::int64(), "[1, 2]"),
                           FromJson(arrow::binary(), R"(["x", null])")},
                          {"a", "a"});
  EXPECT_EQ(RuntimeErrorOf([&] { cell_to_value(*structs, 0); }),
            "ArrowDomCodec: unsupported Arrow type: binary");
  EXPECT_EQ(cell_to_value(*structs, 1), Value(Object{{"a", 2}}));
}

// ----------------------------------------------------------------------------------------
// Offsets: sliced arrays, struct children with their own offsets, lists over sliced values

TEST(ReadOffsets, SlicedBatchReadsTheRightRows) {
  auto column = FromJson(arrow::struct_({arrow::field("n", arrow::int64()),
                                         arrow::field("s", arrow::list(arrow::utf8()))}),
                         R"([{"n": 0, "s": ["a"]}, {"n": 1, "s": null}, null,
                             {"n": 3, "s": ["b", "c"]}, {"n": 4, "s": []}])");
  auto batch = BatchOf(column)->Slice(1, 3);
  kCodec.ValidateInput(batch);
  EXPECT_EQ(kCodec.ToDom(batch, 0), (Object{{"n", 1}, {"s", nullptr}}));
  EXPECT_EQ(RuntimeErrorOf([&] { kCodec.ToDom(batch, 1); }),
            "ArrowDomCodec: root value must be an Object (Struct in Arrow)");
  EXPECT_EQ(kCodec.ToDom(batch, 2), (Object{{"n", 3}, {"s", Array{"b", "c"}}}));
  // A slice of a slice keeps adding offsets.
  auto twice = batch->Slice(2, 1);
  EXPECT_EQ(kCodec.ToDom(twice, 0), (Object{{"n", 3}, {"s", Array{"b", "c"}}}));
}

TEST(ReadOffsets, StructOffsetAppliesToUnslicedChildren) {
  // The struct's own offset of 2 applies to children that start at 0.
  auto a = FromJson(arrow::int64(), "[0, 1, 2, 3]");
  auto z = std::make_shared<arrow::NullArray>(4);
  auto data = arrow::ArrayData::Make(
      arrow::struct_({arrow::field("a", arrow::int64()), arrow::field("z", arrow::null())}), 2,
      {nullptr}, {a->data(), z->data()}, 0, /*offset=*/2);
  auto structs = arrow::MakeArray(data);
  EXPECT_EQ(cell_to_value(*structs, 0), Value(Object{{"a", 2}, {"z", nullptr}}));
  EXPECT_EQ(cell_to_value(*structs, 1), Value(Object{{"a", 3}, {"z", nullptr}}));
}

TEST(ReadOffsets, ChildrenWithTheirOwnOffsetsAndValidity) {
  // Children sliced differently from each other, under a sliced struct.
  auto a = FromJson(arrow::int64(), "[9, 9, 10, null, 12]")->Slice(2);  // 10, null, 12
  auto b = FromJson(arrow::utf8(), R"([null, "x", "y", "z"])")->Slice(1);  // x, y, z
  auto structs = StructOf({a, b}, {"a", "b"})->Slice(1);
  EXPECT_EQ(cell_to_value(*structs, 0), Value(Object{{"a", nullptr}, {"b", "y"}}));
  EXPECT_EQ(cell_to_value(*structs, 1), Value(Object{{"a", 12}, {"b", "z"}}));
}

TEST(ReadOffsets, ListOverSlicedValuesAndSlicedList) {
  auto values = FromJson(arrow::int64(), "[100, 101, 1, 2, null, 4]")->Slice(2);
  auto offsets = FromJson(arrow::int32(), "[0, 2, 2, 4]");
  auto lists = arrow::ListArray::FromArrays(*offsets, *values).ValueOrDie();
  EXPECT_EQ(cell_to_value(*lists, 0), Value(Array{1, 2}));
  EXPECT_EQ(cell_to_value(*lists, 1), Value(Array{}));
  EXPECT_EQ(cell_to_value(*lists, 2), Value(Array{nullptr, 4}));
  EXPECT_EQ(cell_to_value(*lists->Slice(2), 0), Value(Array{nullptr, 4}));
  auto large = FromJson(arrow::large_list(arrow::int8()), "[[1], [2, 3], null, [4]]")->Slice(1);
  EXPECT_EQ(cell_to_value(*large, 0), Value(Array{2, 3}));
  EXPECT_EQ(cell_to_value(*large, 1), Value());
  EXPECT_EQ(cell_to_value(*large, 2), Value(Array{4}));
}

TEST(ReadOffsets, SlicedNullTypeArraysStayNull) {
  auto nulls = std::make_shared<arrow::NullArray>(5)->Slice(2, 2);
  EXPECT_EQ(cell_to_value(*nulls, 1), Value());
  auto lists = arrow::ListArray::FromArrays(*FromJson(arrow::int32(), "[0, 0, 2]"), *nulls)
                   .ValueOrDie();
  EXPECT_EQ(cell_to_value(*lists, 1), Value(Array{nullptr, nullptr}));
}

// ----------------------------------------------------------------------------------------
// The codec: ValidateInput and ToDom

TEST(ValidateInput, RequiresExactlyOneStructColumn) {
  auto ints = FromJson(arrow::int64(), "[1]");
  auto none = arrow::RecordBatch::Make(arrow::schema({}), 1, arrow::ArrayVector{});
  auto two = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("a", arrow::int64()), arrow::field("b", arrow::int64())}), 1,
      {ints, ints});
  EXPECT_EQ(RuntimeErrorOf([&] { kCodec.ValidateInput(none); }),
            "ArrowDomCodec: expected 1 column, got 0");
  EXPECT_EQ(RuntimeErrorOf([&] { kCodec.ValidateInput(two); }),
            "ArrowDomCodec: expected 1 column, got 2");
  // A column that is not a struct refuses the whole batch; without rows there is nothing
  // to refuse.
  EXPECT_EQ(RuntimeErrorOf([&] { kCodec.ValidateInput(BatchOf(ints)); }),
            "ArrowDomCodec: root value must be an Object (Struct in Arrow)");
  EXPECT_NO_THROW(kCodec.ValidateInput(BatchOf(FromJson(arrow::int64(), "[]"))));
  EXPECT_NO_THROW(
      kCodec.ValidateInput(BatchOf(FromJson(arrow::struct_({arrow::field("a", arrow::int64())}),
                                            R"([{"a": 1}, null])"))));
}

// Malformed data that Arrow's cheap check passes: a string child (inside a list inside the
// struct) whose first offset pair reaches far past its data, and a string that is not UTF-8.
TEST(ValidateInput, RefusesMalformedChildrenBeforeAnyCellIsRead) {
  auto strings = FromJson(arrow::utf8(), R"(["ab", "cd"])");
  auto runaway = strings->data()->Copy();
  auto offsets = arrow::AllocateBuffer(runaway->buffers[1]->size()).ValueOrDie();
  std::memcpy(offsets->mutable_data(), runaway->buffers[1]->data(), offsets->size());
  reinterpret_cast<int32_t*>(offsets->mutable_data())[1] = 1 << 30;
  runaway->buffers[1] = std::move(offsets);
  arrow::BinaryBuilder bytes;
  ASSERT_TRUE(bytes.Append(std::string("\xff")).ok());
  auto not_utf8 = bytes.Finish().ValueOrDie()->data()->Copy();
  not_utf8->type = arrow::utf8();
  auto list_offsets = FromJson(arrow::int32(), "[0, 2]");
  auto list = arrow::ListArray::FromArrays(*list_offsets, *arrow::MakeArray(runaway))
                  .ValueOrDie();
  for (const auto& child : {std::shared_ptr<arrow::Array>(list), arrow::MakeArray(not_utf8)}) {
    auto column = StructOf({child->Slice(0, 1)}, {"s"});
    ASSERT_TRUE(column->Validate().ok());
    const std::string message = RuntimeErrorOf([&] { kCodec.ValidateInput(BatchOf(column)); });
    EXPECT_EQ(message.rfind("ArrowDomCodec: Invalid: ", 0), 0u) << message;
  }
}

struct RootCase {
  const char* name;
  std::shared_ptr<arrow::Array> column;
};

class ToDomRoot : public ::testing::TestWithParam<RootCase> {};

TEST_P(ToDomRoot, EveryCellThatIsNotAPresentStructIsRefused) {
  auto batch = BatchOf(GetParam().column);
  for (std::int64_t row = 0; row < batch->num_rows(); ++row) {
    EXPECT_EQ(RuntimeErrorOf([&] { kCodec.ToDom(batch, row); }),
              "ArrowDomCodec: root value must be an Object (Struct in Arrow)");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Columns, ToDomRoot,
    ::testing::Values(
        RootCase{"Int64", FromJson(arrow::int64(), "[1, null]")},
        RootCase{"NullType", std::make_shared<arrow::NullArray>(2)},
        RootCase{"NullStructRow", FromJson(arrow::struct_({arrow::field("a", arrow::int64())}),
                                           "[null]")},
        RootCase{"List", FromJson(arrow::list(arrow::struct_({})), "[[{}]]")},
        RootCase{"Binary", FromJson(arrow::binary(), R"(["{}"])")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ToDom, ReadsEachRowAndRefusesARowOutOfRange) {
  auto inner = arrow::struct_({arrow::field("x", arrow::float64())});
  auto batch = BatchOf(FromJson(
      arrow::struct_({arrow::field("id", arrow::uint32()),
                      arrow::field("tags", arrow::list(arrow::utf8())),
                      arrow::field("inner", inner)}),
      R"([{"id": 1, "tags": ["a"], "inner": {"x": 0.5}},
          {"id": null, "tags": [], "inner": null}])"));
  EXPECT_EQ(kCodec.ToDom(batch, 0),
            (Object{{"id", 1}, {"tags", Array{"a"}}, {"inner", Object{{"x", 0.5}}}}));
  EXPECT_EQ(kCodec.ToDom(batch, 1),
            (Object{{"id", nullptr}, {"tags", Array{}}, {"inner", nullptr}}));
  for (std::int64_t row : {std::int64_t{-1}, std::int64_t{2}}) {
    EXPECT_THROW(kCodec.ToDom(batch, row), Error);
  }
}

// ----------------------------------------------------------------------------------------
// Depth

// A chain of `levels` structs and lists (alternating when `mixed`, structs only otherwise),
// one row, with the integer 7 at the bottom. Level 1 is the outermost struct.
std::shared_ptr<arrow::Array> DeepColumn(int levels, bool mixed) {
  std::shared_ptr<arrow::Array> inner = FromJson(arrow::int64(), "[7]");
  for (int level = levels; level >= 1; --level) {
    if (mixed && level % 2 == 0) {
      inner = arrow::ListArray::FromArrays(*FromJson(arrow::int32(), "[0, 1]"), *inner)
                  .ValueOrDie();
    } else {
      inner = StructOf({inner}, {"a"});
    }
  }
  return inner;
}

// The document that DeepColumn(levels, mixed) holds.
Object DeepColumnDocument(int levels, bool mixed) {
  // Built by moving each level into the next, never copying a subtree.
  Value inner(7);
  for (int level = levels; level >= 2; --level) {
    Value outer;
    if (mixed && level % 2 == 0) {
      std::get<Array>(outer.data = Array{}).push_back(std::move(inner));
    } else {
      std::get<Object>(outer.data = Object{}).emplace("a", std::move(inner));
    }
    inner = std::move(outer);
  }
  Object document;
  document.emplace("a", std::move(inner));
  return document;
}

class DepthLimit : public ::testing::TestWithParam<bool> {};

TEST_P(DepthLimit, AcceptsTheLimitAndRefusesOneMore) {
  const bool mixed = GetParam();
  auto at_limit = BatchOf(DeepColumn(kMaxNestingDepth, mixed));
  Object document;
  testing::RunWithStack(testing::kOneMiB, [&] { document = kCodec.ToDom(at_limit, 0); });
  EXPECT_EQ(document, DeepColumnDocument(kMaxNestingDepth, mixed));
  auto past = BatchOf(DeepColumn(kMaxNestingDepth + 1, mixed));
  EXPECT_EQ(RuntimeErrorOf([&] { kCodec.ToDom(past, 0); }),
            "ArrowDomCodec: nesting depth exceeds 512");
}

TEST_P(DepthLimit, ThreeThousandLevelsAreRefusedOnASmallStack) {
  auto batch = BatchOf(DeepColumn(3000, GetParam()));
  std::string message;
  testing::RunWithStack(testing::kOneMiB,
                        [&] { message = RuntimeErrorOf([&] { kCodec.ToDom(batch, 0); }); });
  EXPECT_EQ(message, "ArrowDomCodec: nesting depth exceeds 512");
}

INSTANTIATE_TEST_SUITE_P(Shapes, DepthLimit, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Mixed" : "Structs"; });

TEST(DepthLimitTest, OnlyPresentCellsCountSoADeepTypeHoldingAShallowRowIsRead) {
  // The type is 3,001 levels deep but the row is null at the second level.
  auto deep_nulls = arrow::MakeArrayOfNull(DeepColumn(3000, true)->type(), 1).ValueOrDie();
  EXPECT_EQ(kCodec.ToDom(BatchOf(StructOf({deep_nulls}, {"a"})), 0), (Object{{"a", nullptr}}));
}

// ----------------------------------------------------------------------------------------
// Type inference and merging

struct InferCase {
  const char* name;
  Value value;
  std::string type;
};

class InferType : public ::testing::TestWithParam<InferCase> {};

TEST_P(InferType, GivesTheTypeOfOneValue) {
  EXPECT_EQ(infer_arrow_type(GetParam().value)->ToString(), GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, InferType,
    ::testing::Values(
        InferCase{"Null", Value(), "null"}, InferCase{"Bool", Value(false), "bool"},
        InferCase{"Int64", Value(3), "int64"}, InferCase{"Double", Value(0.5), "double"},
        InferCase{"String", Value("s"), "string"},
        InferCase{"EmptyArray", Value(Array{}), "list<item: null>"},
        InferCase{"ArrayMergesEveryElement", Value(Array{1, "x", 2.5}), "list<item: double>"},
        InferCase{"ArrayFirstNull", Value(Array{nullptr, 1}), "list<item: int64>"},
        InferCase{"ObjectFieldsAscending",
                  Value(Object{{"b", 1}, {"a", Array{Object{}}}, {"B", nullptr}}),
                  "struct<B: null, a: list<item: struct<>>, b: int64>"}),
    [](const auto& info) { return std::string(info.param.name); });

struct MergeCase {
  const char* name;
  std::vector<Value> values;
  std::string type;
};

class MergeTypes : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTypes, FoldsValuesInOrder) {
  MergedType merged;
  for (const Value& value : GetParam().values) merged.merge(value);
  EXPECT_EQ(merged.to_arrow()->ToString(), GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MergeTypes,
    ::testing::Values(
        MergeCase{"NothingIsNull", {}, "null"},
        MergeCase{"NullGivesWay", {Value(), Value("s"), Value()}, "string"},
        MergeCase{"Int64ThenDouble", {Value(1), Value(2.5)}, "double"},
        MergeCase{"DoubleThenInt64", {Value(2.5), Value(1)}, "double"},
        MergeCase{"BoolThenInt64KeepsBool", {Value(true), Value(1)}, "bool"},
        MergeCase{"StringThenDoubleKeepsString", {Value("s"), Value(1.5)}, "string"},
        MergeCase{"Int64ThenStringKeepsInt64", {Value(1), Value("s")}, "int64"},
        MergeCase{"ListThenStructKeepsList", {Value(Array{1}), Value(Object{{"a", 1}})},
                  "list<item: int64>"},
        MergeCase{"StructThenListKeepsStruct", {Value(Object{{"a", 1}}), Value(Array{1})},
                  "struct<a: int64>"},
        MergeCase{"ScalarThenContainerKeepsScalar", {Value(1), Value(Array{1})}, "int64"},
        MergeCase{"EmptyListThenElements", {Value(Array{}), Value(Array{3})}, "list<item: int64>"},
        MergeCase{"ListElementsMerge",
                  {Value(Array{1}), Value(Array{2.5}), Value(Array{"s"})},
                  "list<item: double>"},
        MergeCase{"StructFieldsByNameAscending",
                  {Value(Object{{"z", 1}, {"m", Object{{"q", true}}}}),
                   Value(Object{{"a", "s"}, {"m", Object{{"p", 1.5}}}, {"z", 0.5}})},
                  "struct<a: string, m: struct<p: double, q: bool>, z: double>"},
        MergeCase{"FieldOrderIsUnsignedBytes",
                  {Value(Object{{"\xc3\xa9", 1}}), Value(Object{{"a", 1}}),
                   Value(Object{{"", 1}, {"Z", 1}})},
                  "struct<: int64, Z: int64, a: int64, \xc3\xa9: int64>"},
        MergeCase{"ListOfStructs",
                  {Value(Array{Object{{"a", 1}}}), Value(Array{Object{{"b", true}}})},
                  "list<item: struct<a: int64, b: bool>>"}),
    [](const auto& info) { return std::string(info.param.name); });

// ----------------------------------------------------------------------------------------
// Appending values to builders

struct AppendCase {
  const char* name;
  std::shared_ptr<arrow::DataType> type;
  std::vector<Value> values;
  const char* json;  // The finished array.
};

class AppendValue : public ::testing::TestWithParam<AppendCase> {};

TEST_P(AppendValue, BuildsTheExpectedArray) {
  const AppendCase& c = GetParam();
  std::shared_ptr<arrow::ArrayBuilder> builder;
  ASSERT_TRUE(make_builder(c.type, &builder).ok());
  for (const Value& value : c.values) {
    ASSERT_TRUE(append_value(builder.get(), *c.type, value).ok());
  }
  auto array = builder->Finish().ValueOrDie();
  ASSERT_TRUE(array->ValidateFull().ok());
  auto expected = FromJson(c.type, c.json);
  EXPECT_TRUE(array->Equals(*expected)) << array->ToString() << "\nexpected " << c.json;
}

INSTANTIATE_TEST_SUITE_P(
    Builders, AppendValue,
    ::testing::Values(
        AppendCase{"Bool", arrow::boolean(), {Value(true), Value(), Value(false)},
                   "[true, null, false]"},
        AppendCase{"Int64", arrow::int64(), {Value(kInt64Min), Value()},
                   "[-9223372036854775808, null]"},
        AppendCase{"Float64TakesDoublesAndIntegers",
                   arrow::float64(),
                   {Value(2.5), Value(9007199254740993), Value()},
                   "[2.5, 9007199254740992, null]"},
        AppendCase{"Utf8", arrow::utf8(), {Value("a"), Value(), Value("")},
                   R"(["a", null, ""])"},
        AppendCase{"NullTakesNull", arrow::null(), {Value(), Value()}, "[null, null]"},
        AppendCase{"ListOfArrays",
                   arrow::list(arrow::int64()),
                   {Value(Array{1, nullptr}), Value(), Value(Array{})},
                   "[[1, null], null, []]"},
        AppendCase{"ListGivesEmptyForOtherKinds",
                   arrow::list(arrow::int64()),
                   {Value(5), Value("s"), Value(Object{{"a", 1}})},
                   "[[], [], []]"},
        AppendCase{"StructMembersByFieldName",
                   arrow::struct_({arrow::field("a", arrow::int64()),
                                   arrow::field("c", arrow::utf8())}),
                   {Value(Object{{"a", 1}, {"b", "ignored"}, {"c", "x"}}),
                    Value(Object{{"c", "y"}}), Value(Object{}), Value()},
                   R"([{"a": 1, "c": "x"}, {"a": null, "c": "y"},
                       {"a": null, "c": null}, null])"},
        AppendCase{"StructFieldsInAnyOrder",
                   arrow::struct_({arrow::field("c", arrow::utf8()),
                                   arrow::field("a", arrow::int64())}),
                   {Value(Object{{"a", 1}, {"c", "x"}})}, R"([{"c": "x", "a": 1}])"},
        AppendCase{"StructGivesNullFieldsForOtherKinds",
                   arrow::struct_({arrow::field("a", arrow::int64())}),
                   {Value(3), Value(Array{Object{{"a", 1}}})},
                   R"([{"a": null}, {"a": null}])"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MakeBuilder, ShapesBuildersAsArrowsFactoryDoes) {
  auto type = arrow::struct_(
      {arrow::field("b", arrow::boolean()), arrow::field("n", arrow::null()),
       arrow::field("l", arrow::list(arrow::struct_({arrow::field("d", arrow::float64()),
                                                     arrow::field("s", arrow::utf8())}))),
       arrow::field("i", arrow::int64()), arrow::field("other", arrow::int32())});
  std::shared_ptr<arrow::ArrayBuilder> ours;
  ASSERT_TRUE(make_builder(type, &ours).ok());
  auto factory = arrow::MakeBuilder(type).ValueOrDie();
  EXPECT_TRUE(ours->type()->Equals(*factory->type())) << ours->type()->ToString();
  ASSERT_EQ(ours->num_children(), 5);
  auto* lists = dynamic_cast<arrow::ListBuilder*>(ours->child(2));
  ASSERT_NE(lists, nullptr);
  EXPECT_NE(dynamic_cast<arrow::StructBuilder*>(lists->value_builder()), nullptr);
  EXPECT_NE(dynamic_cast<arrow::NullBuilder*>(ours->child(1)), nullptr);
  EXPECT_NE(dynamic_cast<arrow::Int32Builder*>(ours->child(4)), nullptr);
}

struct AppendErrorCase {
  const char* name;
  std::shared_ptr<arrow::DataType> type;
  Value value;
  const char* status;  // Empty: an ArrowKindConflict is expected.
};

class AppendValueFailure : public ::testing::TestWithParam<AppendErrorCase> {};

TEST_P(AppendValueFailure, ReportsAStatusOrThrowsAKindConflict) {
  const AppendErrorCase& c = GetParam();
  std::shared_ptr<arrow::ArrayBuilder> builder;
  ASSERT_TRUE(make_builder(c.type, &builder).ok());
  if (std::string(c.status).empty()) {
    EXPECT_THROW(append_value(builder.get(), *c.type, c.value), ArrowKindConflict);
    // A bare value has no member path. (A list's elements share its path.)
    if (c.type->id() == arrow::Type::LIST) return;
    try {
      (void)append_value(builder.get(), *c.type, c.value);
    } catch (const ArrowKindConflict& conflict) {
      EXPECT_EQ(std::string(conflict.what()),
                "ArrowDomCodec: kind conflict at /: " + std::string(kind_name(kind_of(c.value))) +
                    " where other documents have " + c.type->ToString() +
                    "; a struct column holds one kind per member, use the JSON codec for "
                    "these documents");
    }
    return;
  }
  EXPECT_EQ(append_value(builder.get(), *c.type, c.value).ToString(), c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Builders, AppendValueFailure,
    ::testing::Values(
        AppendErrorCase{"BoolGetsInt64", arrow::boolean(), Value(1), ""},
        AppendErrorCase{"Int64GetsDouble", arrow::int64(), Value(1.5), ""},
        AppendErrorCase{"Int64GetsString", arrow::int64(), Value("1"), ""},
        AppendErrorCase{"Float64GetsBool", arrow::float64(), Value(true), ""},
        AppendErrorCase{"Utf8GetsArray", arrow::utf8(), Value(Array{}), ""},
        AppendErrorCase{"ListElementOfWrongKind", arrow::list(arrow::utf8()),
                        Value(Array{"a", 2}), ""},
        AppendErrorCase{"NullGetsValue", arrow::null(), Value(1),
                        "Type error: Unsupported builder type: null"},
        AppendErrorCase{"Int32Builder", arrow::int32(), Value(1),
                        "Type error: Unsupported builder type: int32"},
        AppendErrorCase{"ValueUnderNullElement", arrow::list(arrow::null()),
                        Value(Array{nullptr, 1}),
                        "Type error: Unsupported builder type: null"}),
    [](const auto& info) { return std::string(info.param.name); });

// ----------------------------------------------------------------------------------------
// FromDom

TEST(FromDom, NoDocumentsGiveANullTypedColumnDoc) {
  auto batch = kCodec.FromDom({});
  ASSERT_TRUE(batch->ValidateFull().ok());
  EXPECT_EQ(batch->schema()->ToString(), "doc: null");
  EXPECT_EQ(batch->num_rows(), 0);
  ASSERT_EQ(batch->num_columns(), 1);
  EXPECT_EQ(batch->column(0)->type_id(), arrow::Type::NA);
  EXPECT_EQ(batch->column(0)->length(), 0);
}

struct FromDomCase {
  const char* name;
  std::vector<Object> documents;
  std::string type;
  const char* json;  // The column "doc".
};

class FromDomBuilds : public ::testing::TestWithParam<FromDomCase> {};

TEST_P(FromDomBuilds, OneStructColumnOfTheMergedType) {
  const FromDomCase& c = GetParam();
  auto batch = kCodec.FromDom(c.documents);
  ASSERT_TRUE(batch->ValidateFull().ok());
  EXPECT_EQ(batch->schema()->ToString(), "doc: " + c.type);
  EXPECT_FALSE(batch->schema()->HasMetadata());
  EXPECT_TRUE(batch->schema()->field(0)->nullable());
  EXPECT_EQ(batch->num_rows(), static_cast<std::int64_t>(c.documents.size()));
  auto expected = FromJson(batch->schema()->field(0)->type(), c.json);
  EXPECT_TRUE(batch->column(0)->Equals(*expected)) << batch->column(0)->ToString();
}

INSTANTIATE_TEST_SUITE_P(
    Documents, FromDomBuilds,
    ::testing::Values(
        FromDomCase{"IntegerWidensToDouble",
                    {Object{{"x", 1}}, Object{{"x", 2.5}}},
                    "struct<x: double>",
                    R"([{"x": 1.0}, {"x": 2.5}])"},
        FromDomCase{"MissingMembersAreNull",
                    {Object{{"a", 1}}, Object{{"b", "s"}}},
                    "struct<a: int64, b: string>",
                    R"([{"a": 1, "b": null}, {"a": null, "b": "s"}])"},
        FromDomCase{"EmptyArrayThenElements",
                    {Object{{"l", Array{}}}, Object{{"l", Array{3}}}},
                    "struct<l: list<item: int64>>",
                    R"([{"l": []}, {"l": [3]}])"},
        FromDomCase{"EmptyArrayAlone", {Object{{"l", Array{}}}}, "struct<l: list<item: null>>",
                    R"([{"l": []}])"},
        FromDomCase{"NullMemberAlone", {Object{{"n", nullptr}}}, "struct<n: null>",
                    R"([{"n": null}])"},
        FromDomCase{"EmptyDocument", {Object{}, Object{}}, "struct<>", "[{}, {}]"},
        FromDomCase{"ListOfStructs",
                    {Object{{"items", Array{Object{{"n", 1}}, Object{{"m", true}}}}},
                     Object{{"items", Array{Object{{"m", false}, {"n", 2}}}}}},
                    "struct<items: list<item: struct<m: bool, n: int64>>>",
                    R"([{"items": [{"m": null, "n": 1}, {"m": true, "n": null}]},
                        {"items": [{"m": false, "n": 2}]}])"},
        FromDomCase{"EarlierListWinsOverStruct",
                    {Object{{"x", Array{1}}}, Object{{"x", Object{{"a", 1}}}}},
                    "struct<x: list<item: int64>>",
                    R"([{"x": [1]}, {"x": []}])"},
        FromDomCase{"EarlierStructWinsOverList",
                    {Object{{"x", Object{{"a", 1}}}}, Object{{"x", Array{1}}}},
                    "struct<x: struct<a: int64>>",
                    R"([{"x": {"a": 1}}, {"x": {"a": null}}])"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ConflictCase {
  const char* name;
  std::vector<Object> documents;
  const char* path;
  const char* have;
  const char* want;
};

void PrintTo(const ConflictCase& c, std::ostream* out) { *out << c.name; }

class FromDomConflict : public ::testing::TestWithParam<ConflictCase> {};

// The designed refusal is an ArrowKindConflict; its text names the member and both kinds.
TEST_P(FromDomConflict, NamesTheMemberAndBothKinds) {
  const ConflictCase& c = GetParam();
  EXPECT_THROW(kCodec.FromDom(c.documents), ArrowKindConflict);
  try {
    kCodec.FromDom(c.documents);
  } catch (const ArrowKindConflict& conflict) {
    EXPECT_EQ(std::string(conflict.what()),
              std::string("ArrowDomCodec: kind conflict at ") + c.path + ": " + c.have +
                  " where other documents have " + c.want +
                  "; a struct column holds one kind per member, use the JSON codec for these "
                  "documents");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FromDomConflict,
    ::testing::Values(
        ConflictCase{"BoolThenInt", {Object{{"x", true}}, Object{{"x", 1}}}, "/x", "int64",
                     "bool"},
        ConflictCase{"InsideAList", {Object{{"l", Array{"a", 1}}}}, "/l", "int64", "string"},
        // The element type is merged over every element: "x" does not widen int64.
        ConflictCase{"ElementOfAnotherKind", {Object{{"l", Array{1, "x"}}}}, "/l", "string",
                     "int64"},
        ConflictCase{"NestedMember",
                     {Object{{"a", Object{{"b", 1}}}}, Object{{"a", Object{{"b", "s"}}}}},
                     "/a/b", "string", "int64"},
        ConflictCase{"MemberOfListElements",
                     {Object{{"l", Array{Object{{"b", 1.5}}}}},
                      Object{{"l", Array{Object{{"b", false}}}}}},
                     "/l/b", "bool", "double"},
        ConflictCase{"ObjectWhereAScalarWas",
                     {Object{{"a", "s"}}, Object{{"a", Object{{"b", 1}}}}}, "/a", "object",
                     "string"},
        ConflictCase{"ArrayWhereAScalarWas", {Object{{"a", 1}}, Object{{"a", Array{1}}}}, "/a",
                     "array", "int64"},
        ConflictCase{"KeysShownAsTheyAre", {Object{{"x/y", 1}}, Object{{"x/y", "s"}}}, "/x/y",
                     "string", "int64"}),
    [](const auto& info) { return std::string(info.param.name); });

// AddressSanitizer's redzones make every frame several times larger (Arrow's own recursive
// finishing of nested builders included); the plain build proves the 1 MiB bound.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kFromDomStack = 4 * testing::kOneMiB;
#else
constexpr std::size_t kFromDomStack = testing::kOneMiB;
#endif

TEST(FromDomDepth, TwiceTheLimitFitsASmallStack) {
  const int levels = 2 * kMaxNestingDepth;
  std::vector<Object> documents{DeepColumnDocument(levels, true),
                                DeepColumnDocument(levels, true)};
  std::shared_ptr<arrow::RecordBatch> batch;
  testing::RunWithStack(kFromDomStack, [&] { batch = kCodec.FromDom(documents); });
  ASSERT_EQ(batch->num_rows(), 2);
  auto expected = DeepColumn(levels, true);
  EXPECT_TRUE(batch->column(0)->Slice(1)->Equals(*expected));
}

// ----------------------------------------------------------------------------------------
// Round trips inside the codec

TEST(CodecRoundTrip, FromDomThenToDomGivesTheDocumentsBack) {
  std::vector<Object> documents{
      Object{{"id", 1}, {"name", "a"}, {"tags", Array{"x", "y"}},
             {"inner", Object{{"ok", true}, {"score", 0.5}}},
             {"items", Array{Object{{"n", 1}}, Object{{"n", 2}}}}},
      Object{{"id", 2}, {"name", nullptr}, {"tags", Array{}}, {"inner", nullptr},
             {"items", Array{Object{{"n", nullptr}}}}},
      DeepColumnDocument(kMaxNestingDepth, true)};
  auto batch = kCodec.FromDom(documents);
  kCodec.ValidateInput(batch);
  // Members missing from a document come back as null members.
  for (std::size_t row = 0; row < documents.size(); ++row) {
    Object expected = documents[row];
    for (const auto& field : batch->schema()->field(0)->type()->fields()) {
      expected.try_emplace(field->name());
    }
    EXPECT_EQ(kCodec.ToDom(batch, static_cast<std::int64_t>(row)), expected) << row;
  }
}

TEST(CodecRoundTrip, ToDomThenFromDomRebuildsTheColumn) {
  auto column = FromJson(
      arrow::struct_({arrow::field("a", arrow::int64()),
                      arrow::field("l", arrow::list(arrow::struct_(
                                            {arrow::field("s", arrow::utf8())})))}),
      R"([{"a": 1, "l": [{"s": "x"}, {"s": null}]}, {"a": null, "l": null}])");
  auto batch = BatchOf(column);
  std::vector<Object> documents;
  for (std::int64_t row = 0; row < batch->num_rows(); ++row) {
    documents.push_back(kCodec.ToDom(batch, row));
  }
  auto rebuilt = kCodec.FromDom(documents);
  EXPECT_TRUE(rebuilt->column(0)->Equals(*column)) << rebuilt->column(0)->ToString();
}

}  // namespace
}  // namespace shredder
