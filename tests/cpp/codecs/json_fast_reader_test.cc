// The fast reader against nlohmann/json's strict SAX parser: whenever the fast reader accepts
// a text, the library must accept it too and report the very same events, and the fast
// reader must accept the well-formed documents that make up real data.
#include "codecs/json_event_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "shredder/value.h"
#include "test_support.h"

namespace shredder::json_text {
namespace {

// Accepting what the library refuses, or reporting other events, is the fault to catch.
void ExpectNoDisagreement(std::string_view text) {
  const Outcome outcome = Compare(text);
  if (!outcome.fast_accepted) return;
  EXPECT_TRUE(outcome.library_accepted) << "accepted what the library refuses: " << text;
  EXPECT_TRUE(outcome.same_events) << "other events than the library's: " << text;
}

TEST(FastJsonReader, AgreesWithTheLibraryOnEdgeCases) {
  struct Case {
    std::string text;
    bool accepted;  // by the fast reader; the library accepts every accepted case
  };
  const std::vector<Case> cases = {
      {R"({})", true},
      {" \t\r\n{ } \n", true},
      {"\xEF\xBB\xBF{}", true},
      {std::string("{\"a\":1}\0trailing", 16), true},
      {R"({"a":1,"a":[true,false,null],"":{}})", true},
      {R"({"n":[0,-0,1,-1,18446744073709551615,9223372036854775807,-9223372036854775808]})", true},
      {R"({"n":[18446744073709551616,-9223372036854775809,1.5,-0.0,1E2,1e+2,2.5e-3]})", true},
      {R"({"n":123456789012345678901234567890e-5})", true},
      {R"({"n":4.9406564584124654e-324,"m":1.7976931348623157e308})", true},
      {R"({"s":"\"\\\/\b\f\n\r\t\u0000\u00e9\uD834\uDD1E\u007f"})", true},
      {"{\"s\":\"\x7f\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\"}", true},
      // Declined: the library's parser decides these.
      {R"({"n":1e400})", false},
      {R"({"n":1e-400})", false},
      {R"([1])", false},
      {R"("text")", false},
      {"", false},
      {"\xEF\xBB{}", false},
      {R"({"a":1,})", false},
      {R"({"a":[1,]})", false},
      {R"({"a" 1})", false},
      {R"({"a":01})", false},
      {R"({"a":1.})", false},
      {R"({"a":.5})", false},
      {R"({"a":-})", false},
      {R"({"a":1e})", false},
      {R"({"a":+1})", false},
      {R"({"a":tru})", false},
      {R"({"a":truex})", false},
      {R"({"a":"\x"})", false},
      {R"({"a":"\uD834"})", false},
      {R"({"a":"\uDD1E"})", false},
      {R"({"a":"\uD834\u0041"})", false},
      {R"({"a":"\u12G4"})", false},
      {"{\"a\":\"\x01\"}", false},
      {"{\"a\":\"\xC0\x80\"}", false},
      {"{\"a\":\"\xED\xA0\x80\"}", false},
      {"{\"a\":\"\xF4\x90\x80\x80\"}", false},
      {"{\"a\":\"\xE2\x82\"}", false},
      {std::string("{\"a\":\0}", 7), false},
      {R"({"a":1} x)", false},
      {R"({"a":1}})", false},
      {R"({"a":"open)", false},
      {"{/* comment */}", false},
  };
  for (const Case& c : cases) {
    const Outcome outcome = Compare(c.text);
    EXPECT_EQ(outcome.fast_accepted, c.accepted) << c.text;
    if (outcome.fast_accepted) {
      EXPECT_TRUE(outcome.library_accepted) << c.text;
      EXPECT_TRUE(outcome.same_events) << c.text;
    }
  }
}

// Every byte, and every pair of bytes, in each place where the rules differ by byte: inside a
// string (also past the sixteen bytes the reader steps over at once, and within its second
// sixteen), between tokens, after a value, as a literal's or number's next byte, after an escape.
TEST(FastJsonReader, AgreesWithTheLibraryOnEveryByteInEveryPlace) {
  const std::vector<std::pair<std::string, std::string>> places = {
      {"{\"s\":\"", "\"}"}, {"{\"s\":\"" + std::string(16, 'a'), "\"}"},
      {"{\"s\":\"" + std::string(23, 'a'), std::string(20, 'b') + "\"}"}, {"{", "}"}, {"{\"a\":1", "}"}, {"{\"a\":[1", "]}"},
      {"{}", ""},         {"{\"a\":tru", "}"}, {"{\"a\":\"\\", "\"}"}, {"{\"a\":1e", "}"},
      {"{\"a\":\"\\u00", "\"}"}};
  for (const auto& [before, after] : places) {
    for (int first = 0; first < 256; ++first) {
      for (int second = -1; second < 256; second += (second < 0x80 ? 1 : 7)) {
        std::string text = before;
        text.push_back(static_cast<char>(first));
        if (second >= 0) text.push_back(static_cast<char>(second));
        text += after;
        ExpectNoDisagreement(text);
      }
    }
  }
}

TEST(FastJsonReader, DeclinesNestingPastTheLimitAndAcceptsIt) {
  const auto nested = [](std::size_t levels) {
    std::string text;
    for (std::size_t i = 1; i < levels; ++i) text += "{\"a\":";
    text += "{}";
    for (std::size_t i = 1; i < levels; ++i) text += "}";
    return text;
  };
  EXPECT_TRUE(Compare(nested(4), 4).fast_accepted);
  EXPECT_FALSE(Compare(nested(5), 4).fast_accepted);
  EXPECT_TRUE(Compare(nested(kMaxNestingDepth)).same_events);
  EXPECT_FALSE(Compare(nested(kMaxNestingDepth + 1)).fast_accepted);
}

#ifdef SHREDDER_SHARED_DATA_DIR
std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

using testing::kSharedData;
using testing::ReadWhole;

TEST(FastJsonReader, AgreesWithTheLibraryOnEveryTestSuiteFile) {
  std::size_t accepted = 0;
  for (const auto& path : FilesIn(kSharedData / "jsontestsuite")) {
    const std::string text = ReadWhole(path);
    ExpectNoDisagreement(text);
    const std::string name = path.filename().string();
    if (name.starts_with("n_")) {
      EXPECT_FALSE(Compare(text).fast_accepted) << name;
    }
    accepted += Compare(text).fast_accepted;
  }
  EXPECT_GT(accepted, 10u);
}

TEST(FastJsonReader, AcceptsEveryObjectDocumentOfTheRealData) {
  std::size_t documents = 0;
  for (const auto& path : FilesIn(kSharedData / "real")) {
    const std::string ext = path.extension().string();
    std::vector<std::string> texts;
    if (ext == ".ndjson" || ext == ".jsonl") {
      texts = ReadLines(path);
    } else if (ext == ".json") {
      texts.push_back(ReadWhole(path));
    }
    for (const std::string& text : texts) {
      const Outcome outcome = Compare(text);
      const bool object_root = outcome.library_accepted && Json::parse(text).is_object();
      if (!object_root) continue;
      ++documents;
      EXPECT_TRUE(outcome.fast_accepted) << path;
      EXPECT_TRUE(outcome.same_events) << path;
    }
  }
  EXPECT_GT(documents, 100u);
}

// Random byte edits of real documents: most become ill-formed somewhere, and wherever the
// fast reader still accepts the text, the library must agree on every event.
TEST(FastJsonReader, AgreesWithTheLibraryOnMutatedDocuments) {
  const std::vector<std::string> seeds =
      ReadLines(kSharedData / "real" / "gharchive_2021-07-21-few-hours.ndjson");
  ASSERT_FALSE(seeds.empty());
  std::mt19937_64 random(20261208);
  const std::string alphabet = "{}[]:,\"\\/ubfnrt0123456789.eE+-aelsu \t\n\x7f\xc3\xa9\xed\xf4\x80";
  std::size_t accepted = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string text = seeds[round % std::min<std::size_t>(seeds.size(), 200)];
    const int edits = 1 + static_cast<int>(random() % 3);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at = random() % text.size();
      const char byte = alphabet[random() % alphabet.size()];
      switch (random() % 3) {
        case 0: text[at] = byte; break;
        case 1: text = text.substr(0, at) + byte + text.substr(at); break;
        default: text = text.substr(0, at) + text.substr(at + 1); break;
      }
    }
    ExpectNoDisagreement(text);
    accepted += Compare(text).fast_accepted;
  }
  EXPECT_GT(accepted, 100u);  // the edits left many documents well-formed
}
#endif

}  // namespace
}  // namespace shredder::json_text
