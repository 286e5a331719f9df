#include "shredder/serialization.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "value_support.h"

namespace shredder {
namespace {

using testing::kInt64Max;
using testing::kInt64Min;
using testing::kOneMiB;
using testing::RunWithStack;
using testing::ValuelessValue;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Object ToDom(std::string_view text) { return JsonSerialization().ToDom(text); }
std::string FromDom(const Object& document) { return JsonSerialization().FromDom(document); }

// "JSON parse failure: " + the library's text for a parse error at line 1, `column`.
std::string LibraryError(int column, const std::string& cause) {
  return "JSON parse failure: [json.exception.parse_error.101] parse error at line 1, column " +
         std::to_string(column) + ": " + cause;
}

std::string Repeat(std::string_view piece, int times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (int i = 0; i < times; ++i) out.append(piece);
  return out;
}

// `{"a":[[...]]}` holding `arrays` nested arrays: depth arrays + 1.
std::string NestedArraysText(int arrays) {
  return "{\"a\":" + Repeat("[", arrays) + Repeat("]", arrays) + "}";
}

// `{"a":{"a":...{}}}` whose root is at depth 1 and whose deepest object is at `depth`.
std::string NestedObjectsText(int depth) {
  return Repeat("{\"a\":", depth - 1) + "{}" + Repeat("}", depth - 1);
}

// Depth of a document (root object = 1), walked without recursion.
int DepthOf(const Object& document) {
  int deepest = 1;
  std::vector<std::pair<const Value*, int>> pending;
  for (const auto& [key, value] : document) pending.emplace_back(&value, 2);
  while (!pending.empty()) {
    auto [value, depth] = pending.back();
    pending.pop_back();
    if (const auto* array = std::get_if<Array>(&value->data)) {
      deepest = std::max(deepest, depth);
      for (const Value& element : *array) pending.emplace_back(&element, depth + 1);
    } else if (const auto* object = std::get_if<Object>(&value->data)) {
      deepest = std::max(deepest, depth);
      for (const auto& [key, member] : *object) pending.emplace_back(&member, depth + 1);
    }
  }
  return deepest;
}

// A document `depth` levels deep (root included), alternating arrays and objects below the
// root, built from the inside out without recursion.
Object DeepDocument(int depth) {
  Value inner(Array{Value(1.5)});
  for (int level = depth - 1; level > 1; --level) {
    if (level % 2 == 0) {
      inner = Value(Object{{"k", std::move(inner)}});
    } else {
      inner = Value(Array{std::move(inner)});
    }
  }
  return Object{{"d", std::move(inner)}};
}

TEST(MakeSerialization, JsonGivesAWorkingJsonSerialization) {
  auto serialization = MakeSerialization(SerializationFormat::Json);
  ASSERT_NE(dynamic_cast<JsonSerialization*>(serialization.get()), nullptr);
  EXPECT_EQ(serialization->FromDom(serialization->ToDom("{\"a\":[1,2.0]}")), "{\"a\":[1,2.0]}");
}

TEST(MakeSerialization, RefusesEveryOtherFormat) {
  for (int format : {1, 2, 255}) {
    SCOPED_TRACE(format);
    try {
      MakeSerialization(static_cast<SerializationFormat>(format));
      FAIL() << "no exception";
    } catch (const JsonParseError&) {
      FAIL() << "a format error is not a parse error";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Unsupported SerializationFormat (YAML removed)");
    }
  }
}

struct MappingCase {
  std::string text;
  Object expected;
};

TEST(JsonToDom, MapsEveryJsonValueOntoItsKind) {
  const std::vector<MappingCase> cases = {
      {"{}", Object{}},
      {" \t\r\n{\"a\":null} \n", Object{{"a", Value()}}},
      {"\xEF\xBB\xBF{\"bom\":1}", Object{{"bom", Value(1)}}},
      {"{\"t\":true,\"f\":false}", Object{{"f", Value(false)}, {"t", Value(true)}}},
      {"{\"a\":0,\"b\":-1,\"c\":9223372036854775807,\"d\":-9223372036854775808}",
       Object{{"a", Value(0)}, {"b", Value(-1)}, {"c", Value(kInt64Max)}, {"d", Value(kInt64Min)}}},
      // Integers above the int64 range become the nearest double, never their bit pattern;
      // the largest int64 stays an integer.
      {"{\"a\":9223372036854775808,\"b\":18446744073709551615,\"c\":12345678901234567890}",
       Object{{"a", Value(9223372036854775808.0)},
              {"b", Value(18446744073709551615.0)},
              {"c", Value(12345678901234567890.0)}}},
      // The same where the library's parser reads the text (the fast reader declines 1e-400).
      {"{\"a\":9223372036854775808,\"t\":1e-400,\"z\":9223372036854775807}",
       Object{{"a", Value(9223372036854775808.0)}, {"t", Value(0.0)}, {"z", Value(kInt64Max)}}},
      // Integers beyond 64 bits become doubles.
      {"{\"a\":18446744073709551616,\"b\":-9223372036854775809}",
       Object{{"a", Value(18446744073709551616.0)}, {"b", Value(-9223372036854775808.0)}}},
      {"{\"a\":-0,\"b\":1.0,\"c\":1e2,\"d\":1E-2,\"e\":-2.5e+3}",
       Object{{"a", Value(0)},
              {"b", Value(1.0)},
              {"c", Value(100.0)},
              {"d", Value(0.01)},
              {"e", Value(-2500.0)}}},
      {"{\"s\":\"\\u00e9\\ud83d\\ude00\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0000x\",\"r\":\"\xC3\xA9\"}",
       Object{{"r", Value("\xC3\xA9")},
              {"s", Value(std::string("\xC3\xA9\xF0\x9F\x98\x80\"\\/\b\f\n\r\t\0x", 16))}}},
      {"{\"a\":[1,[2,{\"b\":null}],{}],\"c\":{\"d\":[]}}",
       Object{{"a", Value(Array{Value(1), Value(Array{Value(2), Value(Object{{"b", Value()}})}),
                                Value(Object{})})},
              {"c", Value(Object{{"d", Value(Array{})}})}}},
      // A repeated key keeps its last value, whatever kinds the two values have.
      {"{\"a\":1,\"a\":2}", Object{{"a", Value(2)}}},
      {"{\"a\":{\"x\":1},\"b\":0,\"a\":[2]}",
       Object{{"a", Value(Array{Value(2)})}, {"b", Value(0)}}},
      {"{\"o\":{\"k\":\"x\",\"z\":1,\"k\":null}}",
       Object{{"o", Value(Object{{"k", Value()}, {"z", Value(1)}})}}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    // Value equality compares the alternative too: 1 and 1.0 differ.
    EXPECT_EQ(ToDom(text), expected);
  }
}

TEST(JsonToDom, NegativeZeroIsAnIntegerZeroButNegativeZeroPointZeroADouble) {
  const Object document = ToDom("{\"i\":-0,\"d\":-0.0}");
  EXPECT_EQ(document.at("i"), Value(0));
  ASSERT_EQ(kind_of(document.at("d")), Kind::Double);
  EXPECT_TRUE(std::signbit(std::get<double>(document.at("d").data)));
}

TEST(JsonToDom, MembersIterateInByteOrderOfTheirKeys) {
  const Object document = ToDom("{\"b\":1,\"a\":2,\"\":3,\"B\":4,\"\xC3\xA9\":5,\"ab\":6}");
  std::vector<std::string> keys;
  for (const auto& [key, value] : document) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "ab", "b", "\xC3\xA9"}));
}

struct ParseFailureCase {
  std::string text;
  std::string message;
  std::int32_t line;
  std::int32_t column;
};

void ExpectParseFailure(const ParseFailureCase& failure) {
  try {
    ToDom(failure.text);
    ADD_FAILURE() << "no exception";
  } catch (const JsonParseError& error) {
    EXPECT_EQ(error.what(), failure.message);
    EXPECT_EQ(error.line, failure.line);
    EXPECT_EQ(error.column, failure.column);
  }
}

TEST(JsonToDom, ReportsTheLibraryParseErrorWithItsPosition) {
  const std::string kValueEnd = "unexpected end of input; expected '[', '{', or a literal";
  const std::vector<ParseFailureCase> cases = {
      {"",
       LibraryError(1, "attempting to parse an empty input; check that your input string or "
                       "stream contains the expected JSON"),
       1, 1},
      {std::string(1, '\0'),
       LibraryError(1, "attempting to parse an empty input; check that your input string or "
                       "stream contains the expected JSON"),
       1, 1},
      {"   ", LibraryError(4, "syntax error while parsing value - " + kValueEnd), 1, 4},
      {"{} x",
       LibraryError(4, "syntax error while parsing value - invalid literal; last read: '{} x'; "
                       "expected end of input"),
       1, 4},
      {"{}{}",
       LibraryError(3, "syntax error while parsing value - unexpected '{'; expected end of input"),
       1, 3},
      {"{/*c*/}",
       LibraryError(2, "syntax error while parsing object key - invalid literal; last read: "
                       "'{/'; expected string literal"),
       1, 2},
      {"{\"a\":1,}",
       LibraryError(8, "syntax error while parsing object key - unexpected '}'; expected string "
                       "literal"),
       1, 8},
      {"{\"a\":[1,2}",
       LibraryError(10, "syntax error while parsing array - unexpected '}'; expected ']'"), 1, 10},
      {"{\"a\":\"\xFF\"}",
       LibraryError(7, "syntax error while parsing value - invalid string: ill-formed UTF-8 "
                       "byte; last read: '\"\xFF'"),
       1, 7},
      {"{\"a\":-}",
       LibraryError(7, "syntax error while parsing value - invalid number; expected digit after "
                       "'-'; last read: '-}'"),
       1, 7},
  };
  for (const auto& failure : cases) {
    SCOPED_TRACE(failure.text);
    ExpectParseFailure(failure);
  }
}

TEST(JsonToDom, PositionCountsLinesAndColumnsUpToTheOffendingByte) {
  // The offending byte is the "2" at the fifth byte of the third line. The library's own
  // text counts columns differently; the error's fields follow the bytes.
  ExpectParseFailure({"{\n\"a\": 1,\n\"bc\"2\n}",
                      "JSON parse failure: [json.exception.parse_error.101] parse error at line "
                      "3, column 0: syntax error while parsing object separator - unexpected "
                      "number literal; expected ':'",
                      3, 5});
  ExpectParseFailure({"{\"a\":1}\n\n  x",
                      "JSON parse failure: [json.exception.parse_error.101] parse error at line "
                      "3, column 3: syntax error while parsing value - invalid literal; last "
                      "read: '1}<U+000A><U+000A>  x'; expected end of input",
                      3, 3});
}

TEST(JsonToDom, OtherLibraryErrorsHaveNoPosition) {
  ExpectParseFailure({"{\"a\":1e400}",
                      "JSON parse failure: [json.exception.out_of_range.406] number overflow "
                      "parsing '1e400'",
                      -1, -1});
}

TEST(JsonToDom, RefusesARootThatIsNotAnObject) {
  for (const char* text : {"[1]", "[]", "1", "-0.5", "\"s\"", "null", "true"}) {
    SCOPED_TRACE(text);
    ExpectParseFailure({text, "JSON parse failure: JSON root is not an object", -1, -1});
  }
}

TEST(JsonToDom, AcceptsNestingUpToTheDepthLimitOnASmallStack) {
  RunWithStack(kOneMiB, [] {
    for (const std::string& text :
         {NestedArraysText(kMaxNestingDepth - 1), NestedObjectsText(kMaxNestingDepth)}) {
      const Object document = ToDom(text);
      EXPECT_EQ(DepthOf(document), kMaxNestingDepth);
      EXPECT_EQ(FromDom(document), text);
    }
  });
}

TEST(JsonToDom, RefusesNestingPastTheDepthLimit) {
  const std::string message =
      "JSON parse failure: nesting depth exceeds the limit of " + std::to_string(kMaxNestingDepth);
  RunWithStack(kOneMiB, [&] {
    for (const std::string& text :
         {NestedArraysText(kMaxNestingDepth), NestedObjectsText(kMaxNestingDepth + 1),
          NestedArraysText(100000), NestedObjectsText(100000)}) {
      SCOPED_TRACE(text.size());
      ExpectParseFailure({text, message, -1, -1});
    }
  });
}

TEST(JsonToDom, DeepTextThatIsIllFormedOrNotAnObjectKeepsItsOwnError) {
  RunWithStack(kOneMiB, [] {
    // Unclosed: the library's error at the end of the text.
    ExpectParseFailure({"{\"a\":" + Repeat("[", 100000),
                        LibraryError(100006, "syntax error while parsing value - unexpected end "
                                             "of input; expected '[', '{', or a literal"),
                        1, 100006});
    ExpectParseFailure({Repeat("[", 100000) + Repeat("]", 100000),
                        "JSON parse failure: JSON root is not an object", -1, -1});
  });
}

struct WriteCase {
  Object document;
  std::string text;
};

TEST(JsonFromDom, WritesCompactTextInKeyOrder) {
  Object inserted_b_then_a;
  inserted_b_then_a["b"] = Value(1);
  inserted_b_then_a["a"] = Value(2);
  const std::vector<WriteCase> cases = {
      {Object{}, "{}"},
      {inserted_b_then_a, "{\"a\":2,\"b\":1}"},
      {Object{{"", Value()}, {"t", Value(true)}, {"f", Value(false)}},
       "{\"\":null,\"f\":false,\"t\":true}"},
      {Object{{"a",
               Value(Array{Value(Array{}), Value(Object{}), Value(Array{Value(1), Value()})})}},
       "{\"a\":[[],{},[1,null]]}"},
      {Object{{"i", Value(Array{Value(2), Value(-1), Value(kInt64Min), Value(kInt64Max)})}},
       "{\"i\":[2,-1,-9223372036854775808,9223372036854775807]}"},
  };
  for (const auto& [document, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(FromDom(document), text);
  }
}

TEST(JsonFromDom, WritesDoublesShortestWithAFractionOrExponent) {
  const std::vector<std::pair<double, std::string>> cases = {
      {2.0, "2.0"},
      {1e16, "1e+16"},
      {1e15, "1e+15"},
      {1e14, "100000000000000.0"},
      {1e-05, "1e-05"},
      {0.0001, "0.0001"},
      {0.1, "0.1"},
      {-0.0, "-0.0"},
      {123.456, "123.456"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {5e-324, "5e-324"},
      {kNaN, "null"},
      {kInf, "null"},
      {-kInf, "null"},
  };
  for (const auto& [number, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(FromDom(Object{{"d", Value(number)}}), "{\"d\":" + text + "}");
  }
}

TEST(JsonFromDom, EscapesStringsAsTheLibraryDoes) {
  const std::string raw("\"\\/\b\f\n\r\t\x01\x1f\x7f\0 \xC3\xA9\xF0\x9F\x98\x80", 19);
  const std::string expected =
      "\"\\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\\u0000 \xC3\xA9\xF0\x9F\x98\x80\"";
  EXPECT_EQ(FromDom(Object{{raw, Value(raw)}}), "{" + expected + ":" + expected + "}");
}

TEST(JsonFromDom, StringsMatchTheLibraryWriterByteForByte) {
  // Every single byte, every lead byte before every continuation byte and before a byte
  // at each edge of the ranges well-formed UTF-8 uses, and three- and four-byte sequences
  // after the leads with special ranges, written by both; failures must carry the same text.
  const int edges[] = {0x00, 0x22, 0x41, 0x5C, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0,
                       0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  std::vector<std::string> strings;
  for (int a = 0; a < 256; ++a) {
    strings.emplace_back(1, static_cast<char>(a));
    for (int b : edges) strings.push_back({static_cast<char>(a), static_cast<char>(b)});
    if (a < 0xC0) continue;
    for (int b = 0x80; b < 0xC0; ++b) {
      strings.push_back({static_cast<char>(a), static_cast<char>(b)});
    }
  }
  for (int a : {0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5}) {
    for (int b : edges) {
      for (int c : edges) {
        strings.push_back({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
        if (a < 0xF0) continue;
        for (int d : {0x00, 0x80, 0xBF, 0xC2}) {
          strings.push_back({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c),
                             static_cast<char>(d)});
        }
      }
    }
  }
  // The same bytes and sequences at every position of strings long enough to be scanned
  // eight bytes at a time.
  const std::string plain = "abcdefghijklmnopqrstuvwxyz";
  std::vector<std::string> pieces;
  for (int a = 0; a < 256; ++a) pieces.emplace_back(1, static_cast<char>(a));
  for (const char* sequence : {"\xC3\xA9", "\xF0\x9F\x98\x80", "\xED\xA0\x80", "\xE2\x82"}) {
    pieces.emplace_back(sequence);
  }
  for (const std::string& piece : pieces) {
    for (std::size_t at = 0; at <= 18; ++at) {
      strings.push_back(plain.substr(0, at) + piece + plain.substr(at, 18 - at));
    }
  }
  int mismatches = 0;
  for (const std::string& s : strings) {
    std::string library;
    try {
      library = nlohmann::json{{"k", s}}.dump();
    } catch (const std::exception& error) {
      library = std::string("JSON emit failure: ") + error.what();
    }
    std::string ours;
    try {
      ours = FromDom(Object{{"k", Value(s)}});
    } catch (const std::runtime_error& error) {
      ours = error.what();
    }
    if (ours != library && ++mismatches <= 5) ADD_FAILURE() << library << " vs " << ours;
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(JsonFromDom, ReportsEmitFailures) {
  const std::vector<std::pair<Object, std::string>> cases = {
      {Object{{"a", Value("\xFF")}},
       "JSON emit failure: [json.exception.type_error.316] invalid UTF-8 byte at index 0: 0xFF"},
      {Object{{"a", Value("ok\xC3")}},
       "JSON emit failure: [json.exception.type_error.316] incomplete UTF-8 string; last byte: "
       "0xC3"},
      {Object{{"a", Value(Array{Value(1), Value("\xED\xA0\x80")})}},
       "JSON emit failure: [json.exception.type_error.316] invalid UTF-8 byte at index 1: 0xA0"},
      {Object{{"x\xC0\x80", Value(1)}},
       "JSON emit failure: [json.exception.type_error.316] invalid UTF-8 byte at index 1: 0xC0"},
      {Object{{"a", Value(Object{{"b", ValuelessValue()}})}},
       "JSON emit failure: Unsupported DOM value type for JSON emit"},
  };
  for (const auto& [document, message] : cases) {
    SCOPED_TRACE(message);
    try {
      FromDom(document);
      ADD_FAILURE() << "no exception";
    } catch (const JsonParseError&) {
      ADD_FAILURE() << "an emit failure is not a parse error";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), message);
    }
  }
}

TEST(JsonRoundTrip, KeepsIntegersAndDoublesApart) {
  const Object document{{"i", Value(2)},
                        {"d", Value(2.0)},
                        {"big", Value(1e16)},
                        {"small", Value(1e-05)},
                        {"neg", Value(-0.0)},
                        {"s", Value("\n\xC3\xA9")}};
  const std::string text = FromDom(document);
  EXPECT_EQ(text,
            "{\"big\":1e+16,\"d\":2.0,\"i\":2,\"neg\":-0.0,\"s\":\"\\n\xC3\xA9\",\"small\":1e-05}");
  const Object back = ToDom(text);
  EXPECT_EQ(back, document);
  EXPECT_EQ(kind_of(back.at("d")), Kind::Double);
  EXPECT_EQ(kind_of(back.at("i")), Kind::Int64);
  EXPECT_EQ(FromDom(back), text);
}

TEST(JsonFromDom, WritesDocumentsTwiceTheDepthLimitOnASmallStack) {
  RunWithStack(kOneMiB, [] {
    const int depth = 2 * kMaxNestingDepth;
    const Object document = DeepDocument(depth);
    ASSERT_EQ(DepthOf(document), depth);
    std::string opening = "{\"d\":";
    std::string closing;
    for (int level = depth - 1; level >= 2; --level) closing += level % 2 == 0 ? '}' : ']';
    for (int level = 2; level < depth; ++level) opening += level % 2 == 0 ? "{\"k\":" : "[";
    EXPECT_EQ(FromDom(document), opening + "[1.5]" + closing + "}");
  });
}

}  // namespace
}  // namespace shredder
