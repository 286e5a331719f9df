// The one compact JSON writer in both dialects against plain references: the Json dialect
// against nlohmann/json's own dump of the same tree (the serializer's definition), the Boxing
// dialect against the boxing rules written out directly (printf "%.17g", byte escapes).
// Random trees and every real document must give the same bytes, or the same error text.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "shredder/coerce_policy.h"
#include "shredder/serialization.h"
#include "shredder/value.h"
#include "random_documents.h"
#include "test_support.h"

namespace shredder {
namespace {

using testing::Json;

Json ToLibrary(const Value& value) {
  switch (value.data.index()) {
    case 0: return nullptr;
    case 1: return std::get<bool>(value.data);
    case 2: return std::get<std::int64_t>(value.data);
    case 3: return std::get<double>(value.data);
    case 4: return std::get<std::string>(value.data);
    case 5: {
      Json array = Json::array();
      for (const Value& element : std::get<Array>(value.data)) array.push_back(ToLibrary(element));
      return array;
    }
    default: {
      Json object = Json::object();
      for (const auto& [key, member] : std::get<Object>(value.data)) {
        object[key] = ToLibrary(member);
      }
      return object;
    }
  }
}

// The serializer's text by its definition, or "JSON emit failure: " and the library's text.
std::string LibraryText(const Object& document) {
  try {
    return ToLibrary(Value(document)).dump();
  } catch (const std::exception& error) {
    return std::string("JSON emit failure: ") + error.what();
  }
}

std::string WriterText(const Object& document) {
  try {
    return JsonSerialization().FromDom(document);
  } catch (const std::exception& error) {
    return error.what();
  }
}

void BoxQuoted(std::string& out, const std::string& bytes) {
  out += '"';
  for (unsigned char byte : bytes) {
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 8: out += "\\b"; break;
      case 9: out += "\\t"; break;
      case 10: out += "\\n"; break;
      case 12: out += "\\f"; break;
      case 13: out += "\\r"; break;
      default:
        if (byte < 32) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", byte);
          out += escape;
        } else {
          out += static_cast<char>(byte);
        }
    }
  }
  out += '"';
}

// The boxing form of a value, straight from its rules.
void BoxText(std::string& out, const Value& value) {
  char number[64];
  switch (value.data.index()) {
    case 0: out += "null"; return;
    case 1: out += std::get<bool>(value.data) ? "true" : "false"; return;
    case 2:
      std::snprintf(number, sizeof number, "%lld",
                    static_cast<long long>(std::get<std::int64_t>(value.data)));
      out += number;
      return;
    case 3:
      std::snprintf(number, sizeof number, "%.17g", std::get<double>(value.data));
      out += number;
      return;
    case 4: BoxQuoted(out, std::get<std::string>(value.data)); return;
    case 5: {
      out += '[';
      bool first = true;
      for (const Value& element : std::get<Array>(value.data)) {
        if (!first) out += ',';
        first = false;
        BoxText(out, element);
      }
      out += ']';
      return;
    }
    default: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : std::get<Object>(value.data)) {
        if (!first) out += ',';
        first = false;
        BoxQuoted(out, key);
        out += ':';
        BoxText(out, member);
      }
      out += '}';
    }
  }
}

void ExpectSameTexts(const Object& document, const std::string& label) {
  ASSERT_EQ(WriterText(document), LibraryText(document)) << label;
  std::string boxed;
  BoxText(boxed, Value(document));
  ASSERT_EQ(value_to_text(Value(document)), boxed) << label;
  std::string appended = "prefix";
  append_json(appended, Value(document));
  ASSERT_EQ(appended, "prefix" + boxed) << label;
}

// Trees of every kind: keys and strings with escapes, control bytes, UTF-8 of every length
// and now and then an ill-formed sequence; integers and doubles at their edges and of any
// bit pattern, NaN and the infinities among them.
testing::DocumentKnobs WriterKnobs() {
  testing::DocumentKnobs knobs;
  knobs.members_at_root = 6;
  knobs.members = 6;
  knobs.members_deep = 2;
  knobs.deep_from = 4;
  knobs.ill_formed = 1.0 / 61;
  return knobs;
}

TEST(JsonWriter, RandomTreesInBothDialects) {
  int failures = 0;
  for (std::uint64_t seed = 1; seed <= 3000; ++seed) {
    const Object document = testing::RandomDocuments(seed, WriterKnobs()).Dom();
    ExpectSameTexts(document, "seed " + std::to_string(seed));
    if (::testing::Test::HasFatalFailure()) return;
    failures += WriterText(document).starts_with("JSON emit failure: ");
  }
  // Both outcomes must occur in numbers, or the comparison proves little.
  EXPECT_GT(failures, 50);
  EXPECT_LT(failures, 1500);
}

TEST(JsonWriter, ValuesAtTheTopOfTheBoxingText) {
  for (const Value& value : {Value(), Value(true), Value(std::int64_t{-7}), Value(0.1),
                             Value(std::numeric_limits<double>::quiet_NaN()),
                             Value(-std::numeric_limits<double>::infinity()), Value(Array{}),
                             Value(Array{Value(1), Value("x\x01"), Value()})}) {
    std::string boxed;
    BoxText(boxed, value);
    std::string appended;
    append_json(appended, value);
    EXPECT_EQ(appended, boxed);
  }
}

#ifdef SHREDDER_SHARED_DATA_DIR
// Every real document, read by the serializer, written in both dialects.
TEST(JsonWriter, EveryRealDocument) {
  const std::filesystem::path data = std::filesystem::path(SHREDDER_SHARED_DATA_DIR) / "real";
  JsonSerialization serialization;
  std::size_t written = 0;
  for (const auto& path : testing::DataFilesUnder(data)) {
    for (const std::string& document : testing::DocumentsOf(path, testing::ArrayRoot::WholeOnly)) {
      Object parsed;
      try {
        parsed = serialization.ToDom(document);
      } catch (const JsonParseError&) {
        continue;  // a root that is not an object
      }
      ExpectSameTexts(parsed, path.string());
      if (::testing::Test::HasFatalFailure()) return;
      ++written;
    }
  }
  EXPECT_GT(written, 500u);
}
#endif

}  // namespace
}  // namespace shredder
