#include "shredder/coerce_policy.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace shredder {
namespace {

using Converted = std::variant<Atom, std::string>;

constexpr Kind kAllKinds[] = {Kind::Null,   Kind::Bool,  Kind::Int64, Kind::Double,
                              Kind::String, Kind::Array, Kind::Object};

struct ResolveCase {
  Kind current;
  Kind incoming;
  Kind expected;
};

class BoxToStringResolver : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(BoxToStringResolver, SettlesTheColumnKind) {
  const auto& c = GetParam();
  const CoercePolicy policy = BoxToStringPolicy();
  EXPECT_EQ(policy.kind_resolver(c.current, c.incoming, "col"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BoxToStringResolver,
    ::testing::Values(
        // Integers widen to doubles, in either order.
        ResolveCase{Kind::Int64, Kind::Double, Kind::Double},
        ResolveCase{Kind::Double, Kind::Int64, Kind::Double},
        // Nulls give way to any kind, in either order.
        ResolveCase{Kind::Null, Kind::Bool, Kind::Bool},
        ResolveCase{Kind::Bool, Kind::Null, Kind::Bool},
        ResolveCase{Kind::Null, Kind::Null, Kind::Null},
        ResolveCase{Kind::Null, Kind::Object, Kind::Object},
        ResolveCase{Kind::Array, Kind::Null, Kind::Array},
        // Equal kinds stay.
        ResolveCase{Kind::String, Kind::String, Kind::String},
        ResolveCase{Kind::Array, Kind::Array, Kind::Array},
        ResolveCase{Kind::Object, Kind::Object, Kind::Object},
        ResolveCase{Kind::Int64, Kind::Int64, Kind::Int64},
        ResolveCase{Kind::Bool, Kind::Bool, Kind::Bool},
        // Every other disagreement boxes into strings.
        ResolveCase{Kind::Bool, Kind::Int64, Kind::String},
        ResolveCase{Kind::Double, Kind::Bool, Kind::String},
        ResolveCase{Kind::Int64, Kind::String, Kind::String},
        ResolveCase{Kind::Array, Kind::Object, Kind::String},
        ResolveCase{Kind::Object, Kind::Int64, Kind::String},
        ResolveCase{Kind::Double, Kind::Array, Kind::String}));

TEST(BoxToStringResolverConflicts, NeverReportsOne) {
  const CoercePolicy policy = BoxToStringPolicy();
  for (Kind current : kAllKinds) {
    for (Kind incoming : kAllKinds) {
      EXPECT_TRUE(policy.kind_resolver(current, incoming, "col").has_value())
          << static_cast<int>(current) << "," << static_cast<int>(incoming);
    }
  }
}

struct ConvertCase {
  std::string name;
  Kind target;
  Value value;
  Converted expected;
};

Converted ConversionError(std::string text) {
  return Converted{std::in_place_index<1>, std::move(text)};
}
Converted Text(std::string text) {
  return Converted{Atom{std::in_place_index<4>, std::move(text)}};
}

class BoxToStringConverter : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(BoxToStringConverter, ConvertsOrNamesTheMismatch) {
  const auto& c = GetParam();
  const CoercePolicy policy = BoxToStringPolicy();
  const Converted result = policy.value_converter(c.target, c.value, "root_a");
  EXPECT_EQ(result, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BoxToStringConverter,
    ::testing::Values(
        // Null stays null whatever the target, even one outside the kinds.
        ConvertCase{"NullToBool", Kind::Bool, Value(), Atom{}},
        ConvertCase{"NullToString", Kind::String, Value(), Atom{}},
        ConvertCase{"NullToInvalidTarget", static_cast<Kind>(9), Value(), Atom{}},
        ConvertCase{"InvalidTarget", static_cast<Kind>(7), Value(1),
                    ConversionError("unknown target type at root_a")},
        ConvertCase{"NullTargetDropsValue", Kind::Null, Value("x"), Atom{}},
        ConvertCase{"BoolKept", Kind::Bool, Value(true), Atom{true}},
        ConvertCase{"BoolFromInt", Kind::Bool, Value(1),
                    ConversionError("coerce mismatch at root_a: expected bool")},
        ConvertCase{"IntKept", Kind::Int64, Value(-5), Atom{std::int64_t{-5}}},
        ConvertCase{"IntFromDoubleNotNarrowed", Kind::Int64, Value(2.0),
                    ConversionError("coerce mismatch at root_a: expected int64")},
        ConvertCase{"IntFromBool", Kind::Int64, Value(false),
                    ConversionError("coerce mismatch at root_a: expected int64")},
        ConvertCase{"DoubleKept", Kind::Double, Value(0.25), Atom{0.25}},
        ConvertCase{"DoubleFromInt", Kind::Double, Value(3), Atom{3.0}},
        ConvertCase{"DoubleFromIntRoundsToEven", Kind::Double,
                    Value(std::int64_t{9007199254740993}), Atom{9007199254740992.0}},
        ConvertCase{"DoubleFromString", Kind::Double, Value("3"),
                    ConversionError("coerce mismatch at root_a: expected double (or int64 upcast)")},
        ConvertCase{"DoubleFromArray", Kind::Double, Value(Array{1}),
                    ConversionError("coerce mismatch at root_a: expected double (or int64 upcast)")},
        ConvertCase{"StringFromInt", Kind::String, Value(-7), Text("-7")},
        ConvertCase{"StringFromDouble", Kind::String, Value(0.1), Text("0.10000000000000001")},
        ConvertCase{"StringFromBool", Kind::String, Value(true), Text("true")},
        ConvertCase{"StringKeptUnquoted", Kind::String, Value("a\"b"), Text("a\"b")},
        ConvertCase{"StringFromArray", Kind::String, Value(Array{1, "x", nullptr}),
                    Text("[1,\"x\",null]")},
        ConvertCase{"StringFromObjectInKeyOrder", Kind::String,
                    Value(Object{{"b", 1}, {"a", 2}}), Text("{\"a\":2,\"b\":1}")},
        ConvertCase{"ArrayTargetBoxesScalar", Kind::Array, Value(false), Text("false")},
        ConvertCase{"ArrayTargetBoxesArray", Kind::Array, Value(Array{1.5, Array{}}),
                    Text("[1.5,[]]")},
        ConvertCase{"ObjectTargetBoxesObject", Kind::Object,
                    Value(Object{{"k", Object{}}, {"", Array{true}}}),
                    Text("{\"\":[true],\"k\":{}}")},
        ConvertCase{"ControlByteInArrayEscaped", Kind::String, Value(Array{"\x01"}),
                    Text("[\"\\u0001\"]")},
        ConvertCase{"DeleteByteInArrayUnchanged", Kind::String, Value(Array{"\x7f"}),
                    Text("[\"\x7f\"]")}),
    [](const ::testing::TestParamInfo<ConvertCase>& info) { return info.param.name; });

struct TextCase {
  Value value;
  std::string expected;
};

TEST(ValueToText, WritesEveryKind) {
  const std::vector<TextCase> cases = {
      {Value(), "null"},
      {Value(false), "false"},
      {Value(0), "0"},
      {Value(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Value(std::numeric_limits<std::int64_t>::max()), "9223372036854775807"},
      {Value(1.5), "1.5"},
      {Value(0.1), "0.10000000000000001"},
      {Value(100.0), "100"},
      {Value(1e21), "1e+21"},
      {Value(1e16), "10000000000000000"},
      {Value(1e17), "1e+17"},
      {Value(1e-5), "1.0000000000000001e-05"},
      {Value(-0.0), "-0"},
      {Value(5e-324), "4.9406564584124654e-324"},
      {Value(std::numeric_limits<double>::max()), "1.7976931348623157e+308"},
      {Value(std::numeric_limits<double>::quiet_NaN()), "nan"},
      {Value(-std::numeric_limits<double>::quiet_NaN()), "-nan"},
      {Value(std::numeric_limits<double>::infinity()), "inf"},
      {Value(-std::numeric_limits<double>::infinity()), "-inf"},
      {Value(std::string("a\0\n\"\\", 5)), std::string("a\0\n\"\\", 5)},
      {Value(Array{}), "[]"},
      {Value(Object{}), "{}"},
      {Value(Array{0.1, -0.0, std::numeric_limits<double>::infinity()}),
       "[0.10000000000000001,-0,inf]"},
  };
  for (const auto& c : cases) EXPECT_EQ(value_to_text(c.value), c.expected) << c.expected;
}

std::string StreamText(double number) {
  std::ostringstream stream;
  stream << std::setprecision(17) << number;
  return stream.str();
}

TEST(ValueToText, DoublesMatchTheStreamAtPrecision17) {
  std::vector<double> numbers = {0.0, 1.0, 0.5, 123456789.125, 1e15, 9.999999999999999e22,
                                 1e-300, 2.2250738585072014e-308, 1e100, -3.75e-7};
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) numbers.push_back(std::bit_cast<double>(rng()));
  for (int i = 0; i < 2000; ++i) {
    numbers.push_back(static_cast<double>(static_cast<std::int64_t>(rng() >> (rng() % 64))));
  }
  for (double number : numbers) {
    ASSERT_EQ(value_to_text(Value(number)), StreamText(number)) << std::hexfloat << number;
  }
}

struct QuoteCase {
  std::string bytes;
  std::string expected;
};

TEST(AppendQuoted, EscapesQuotesBackslashesAndControlBytes) {
  const std::vector<QuoteCase> cases = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string(1, '\0'), R"("\u0000")"},
      {"\x01", R"("\u0001")"},
      {"\x0b", R"("\u000b")"},
      {"\x1f", R"("\u001f")"},
      {" ~\x7f", "\" ~\x7f\""},
      {"\xc3\xa9\xff\x80", "\"\xc3\xa9\xff\x80\""},
      {"a\"b\\c\nd", R"("a\"b\\c\nd")"},
  };
  for (const auto& c : cases) {
    std::string out = "<";
    append_quoted(out, c.bytes);
    EXPECT_EQ(out, "<" + c.expected) << c.expected;
  }
}

TEST(AppendQuoted, EveryByteBelow32IsEscaped) {
  for (int byte = 0; byte < 32; ++byte) {
    std::string out;
    append_quoted(out, std::string(1, static_cast<char>(byte)));
    EXPECT_EQ(out.size(), out[2] == 'u' ? 8u : 4u) << byte;
    EXPECT_EQ(out.substr(0, 2), "\"\\") << byte;
  }
}

TEST(AppendJson, AppendsCompactFormToExistingText) {
  std::string out = "x=";
  append_json(out, Value(Object{{"z", Array{nullptr, false, -1, 2.5, "q\"", Object{}}},
                                {"a\n", Object{{"b", Array{Array{}}}}}}));
  EXPECT_EQ(out, R"(x={"a\n":{"b":[[]]},"z":[null,false,-1,2.5,"q\"",{}]})");
}

TEST(AppendJson, NestingOfTwiceTheDepthLimitFitsASmallStack) {
  const int depth = 2 * kMaxNestingDepth;
  Value value(1);
  for (int level = depth; level > 0; --level) {
    if (level % 2 == 0) {
      Array array;
      array.push_back(std::move(value));
      value = Value(std::move(array));
    } else {
      Object object;
      object.emplace("k", std::move(value));
      value = Value(std::move(object));
    }
  }
  std::string text;
  testing::RunWithStack(testing::kOneMiB, [&] { text = value_to_text(value); });
  std::string expected;
  for (int level = 0; level < depth / 2; ++level) expected += "{\"k\":[";
  expected += "1";
  for (int level = 0; level < depth / 2; ++level) expected += "]}";
  EXPECT_EQ(text, expected);
}

}  // namespace
}  // namespace shredder
