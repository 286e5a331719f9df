#include "shredder/tagger.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <iterator>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "modifiers/tagger_internal.h"
#include "test_support.h"
#include "value_support.h"

namespace shredder {
namespace {

using tagger_internal::append_hex;
using tagger_internal::append_scalar_encoding;
using tagger_internal::append_varint;
using tagger_internal::blake3_digest;
using tagger_internal::escape_segment;
using tagger_internal::kIgnoredText;
using tagger_internal::match_pattern;
using tagger_internal::Pattern;
using tagger_internal::split_ignore_paths;
using tagger_internal::to_hex;
using tagger_internal::varint_length;
using testing::ValuelessValue;

// Bytes from hex text ("0a ff" and "0aff" alike).
std::string Bytes(std::string_view hex) {
  std::string out;
  int high = -1;
  for (char c : hex) {
    if (c == ' ') continue;
    const int nibble = c <= '9' ? c - '0' : c - 'a' + 10;
    if (high < 0) {
      high = nibble;
    } else {
      out += static_cast<char>(high * 16 + nibble);
      high = -1;
    }
  }
  return out;
}

std::string Encoding(const Value& value) {
  std::string out;
  append_scalar_encoding(out, value);
  return out;
}

std::string H(std::string_view bytes, std::uint64_t length = 32) {
  return blake3_digest(bytes, length);
}

std::string HexH(std::string_view bytes, std::uint64_t length = 32) {
  return to_hex(H(bytes, length));
}

Object Tag(Object document, Tagger::Options options = {}) {
  Tagger(std::move(options)).modify(document);
  return document;
}

Tagger::Options WithPatterns(std::vector<std::string> patterns) {
  Tagger::Options options;
  options.ignore_paths = std::move(patterns);
  return options;
}

const std::string& TextAt(const Object& object, const std::string& key) {
  return std::get<std::string>(object.at(key).data);
}

const Object& ObjectAt(const Object& parent, const std::string& key) {
  return std::get<Object>(parent.at(key).data);
}

std::string TxnId(Object document, Tagger::Options options = {}) {
  return TextAt(Tag(std::move(document), std::move(options)), "__txn_id");
}

constexpr char kEmptyDigest[] = "a14b2737a874ffdcf75abbf804b5fba38b2b2102285c90f23d688bf6e0b76725";

// ---------------------------------------------------------------------------------------------
// Canonical encoding, byte by byte.

TEST(TaggerEncoding, Leb128) {
  const std::vector<std::pair<std::uint64_t, std::string>> cases = {
      {0, "00"},
      {127, "7f"},
      {128, "80 01"},
      {200, "c8 01"},
      {300, "ac 02"},
      {16384, "80 80 01"},
      {std::numeric_limits<std::uint64_t>::max(), "ff ff ff ff ff ff ff ff ff 01"}};
  for (const auto& [n, hex] : cases) {
    std::string out = "x";
    append_varint(out, n);
    EXPECT_EQ(varint_length(n), out.size() - 1) << n;
    EXPECT_EQ(out, std::string("x").append(Bytes(hex))) << n;
  }
}

TEST(TaggerEncoding, Scalars) {
  const std::vector<std::pair<Value, std::string>> cases = {
      {Value(), "00"},
      {Value(true), "01 01"},
      {Value(false), "01 00"},
      {Value(1), "02 01 00 00 00 00 00 00 00"},
      {Value(-1), "02 ff ff ff ff ff ff ff ff"},
      {Value(std::numeric_limits<std::int64_t>::min()), "02 00 00 00 00 00 00 00 80"},
      {Value(1.0), "03 00 00 00 00 00 00 f0 3f"},
      {Value(-0.0), "03 00 00 00 00 00 00 00 80"},
      {Value(""), "04 00"},
      {Value("ab"), "04 02 61 62"},
      {Value(std::string("a\0b", 3)), "04 03 61 00 62"}};
  for (const auto& [value, hex] : cases) {
    EXPECT_EQ(Encoding(value), Bytes(hex)) << hex;
  }
}

TEST(TaggerEncoding, LongStringLengthIsLeb128) {
  const std::string text(300, 'q');
  EXPECT_EQ(Encoding(Value(text)), Bytes("04 ac 02") + text);
}

TEST(TaggerEncoding, KeyOf200BytesIsPrecededByC801) {
  const std::string key(200, 'k');
  const Object tagged = Tag(Object{{key, Value(1)}});
  const std::string expected =
      Bytes("06 01 c8 01") + key + H(Bytes("02 01 00 00 00 00 00 00 00"));
  EXPECT_EQ(TextAt(tagged, "__txn_id"), HexH(expected));
}

TEST(TaggerEncoding, StringValueDigestIsTheDigestOfItsWholeEncoding) {
  // Strings are hashed as head and bytes without being copied; the digest must equal the
  // one of the joined encoding.
  const std::string text(5000, 'z');
  const std::string expected = Bytes("06 01 01 73") + H(Encoding(Value(text)));
  EXPECT_EQ(TxnId(Object{{"s", Value(text)}}), HexH(expected));
}

TEST(TaggerEncoding, ArrayAndNestedObjectLayout) {
  Object document{{"a", Value(Array{Value(1), Value(Object{})})}};
  const std::string array = Bytes("05 02") + H(Encoding(Value(1))) + H(Bytes("06 00"));
  const std::string root = Bytes("06 01 01 61") + H(array);
  EXPECT_EQ(TxnId(document), HexH(root));
}

TEST(TaggerEncoding, HexIsLowercaseHighNibbleFirst) {
  EXPECT_EQ(to_hex(Bytes("00 0f f0 a5")), "000ff0a5");
}

// The hex writer takes sixteen bytes at a time and the rest one by one: every byte value at
// every position of a block, and random bytes of every length 0-80 written after a prefix,
// read as printf's "%02x" reads them.
TEST(TaggerEncoding, HexOfEveryByteAtEveryLengthAsPrintfWritesIt) {
  auto printf_hex = [](const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char pair[3];
    for (std::uint8_t b : bytes) {
      std::snprintf(pair, sizeof pair, "%02x", b);
      out += pair;
    }
    return out;
  };
  std::vector<std::uint8_t> every(256);
  for (int b = 0; b < 256; ++b) every[b] = static_cast<std::uint8_t>(b);
  std::string all;
  append_hex(all, every);
  EXPECT_EQ(all, printf_hex(every));
  std::mt19937_64 random(15);
  for (std::size_t length = 0; length <= 80; ++length) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    std::string out = "prefix:";
    append_hex(out, bytes);
    ASSERT_EQ(out, "prefix:" + printf_hex(bytes)) << "length " << length;
  }
}

TEST(TaggerEncoding, ValuelessValueIsRefusedAndDocumentStaysUnchanged) {
  Object document{{"a", Value(1)}, {"b", Value(Object{{"c", Value("x")}})}};
  Value& broken = std::get<Object>(document["b"].data)["c"];
  broken = ValuelessValue();
  ASSERT_TRUE(broken.data.valueless_by_exception());
  const Object before = document;
  try {
    Tagger().modify(document);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Tagger: unknown ValueData alternative");
  }
  EXPECT_EQ(document, before);
  EXPECT_EQ(document.count("__txn_id"), 0u);
}

// ---------------------------------------------------------------------------------------------
// Published digests.

TEST(TaggerDigest, EmptyDocument) {
  EXPECT_EQ(HexH(Bytes("06 00")), kEmptyDigest);
  const Object tagged = Tag(Object{});
  EXPECT_EQ(tagged, (Object{{"__obj_id", Value(kEmptyDigest)}, {"__txn_id", Value(kEmptyDigest)}}));
}

TEST(TaggerDigest, EmptyDocumentWith16Bytes) {
  Tagger::Options options;
  options.hash_bytes = 16;
  const Object tagged = Tag(Object{}, options);
  EXPECT_EQ(TextAt(tagged, "__txn_id"), "a14b2737a874ffdcf75abbf804b5fba3");
  EXPECT_EQ(TextAt(tagged, "__obj_id"), "a14b2737a874ffdcf75abbf804b5fba3");
}

TEST(TaggerDigest, SingleMemberAndItsValue) {
  const Object tagged = Tag(Object{{"a", Value(1)}});
  const char* root = "88a5996139fb335d6540ecafadd5a92c60b9c77a964821820edb9bab972953cd";
  EXPECT_EQ(TextAt(tagged, "__txn_id"), root);
  EXPECT_EQ(TextAt(tagged, "__obj_id"), root);
  EXPECT_EQ(tagged.at("a"), Value(1));
  const std::string one = H(Bytes("02 01 00 00 00 00 00 00 00"));
  EXPECT_EQ(to_hex(one), "59ba4ab88ef5a5d3ada25c9ff5460b912477213e0aaddc568ec2c76183f88678");
  EXPECT_EQ(HexH(Bytes("06 01 01 61") + one), root);
}

TEST(TaggerDigest, MixedDocument) {
  const Object tagged = Tag(Object{
      {"a", Value(Array{Value(1), Value("x"), Value(), Value(true), Value(2.5)})},
      {"b", Value(Object{{"c", Value(false)}})}});
  const char* txn = "65b4748c0045ef9e901859fa691e08ca72dab8ee5bd0285a7f670636242de9ca";
  EXPECT_EQ(TextAt(tagged, "__txn_id"), txn);
  EXPECT_EQ(TextAt(tagged, "__obj_id"), txn);
  const Object& b = ObjectAt(tagged, "b");
  EXPECT_EQ(TextAt(b, "__txn_id"), txn);
  EXPECT_EQ(TextAt(b, "__obj_id"),
            "afff258e5808bf61794d6d6bc0cc9e15252868945ca13ea88712c44d0fcf7359");
  EXPECT_EQ(b.size(), 3u);
}

TEST(TaggerDigest, IgnoredDigest) {
  EXPECT_EQ(HexH(kIgnoredText),
            "ab57c228bcd25ddd118e8a2af5f173a33387e1da64bada5a5cb5b995d007d271");
}

TEST(TaggerDigest, IgnoredArrayElementAndItsCounterpart) {
  const Object document{{"list", Value(Array{Value(10), Value(20), Value(30)})}};
  EXPECT_EQ(TxnId(document, WithPatterns({"/list/1"})),
            "e01e9ac4f55001836ad6cee71e9469897aab328f72bebcf0e6acc37dcce3a413");
  EXPECT_EQ(TxnId(document),
            "e0fa1f9c00e4c9e576cb002c3e3e479e86318428ee002c3aeea69099990542a4");
  const std::string array = Bytes("05 03") + H(Encoding(Value(10))) + H(kIgnoredText) +
                            H(Encoding(Value(30)));
  EXPECT_EQ(TxnId(document, WithPatterns({"/list/1"})),
            HexH(Bytes("06 01 04") + "list" + H(array)));
}

TEST(TaggerDigest, SixteenByteVariants) {
  Tagger::Options options;
  options.hash_bytes = 16;
  // Encodings without nested digests give the first 16 bytes of the 32-byte digest.
  for (const Value& scalar : {Value(), Value(7), Value("text"), Value(2.5)}) {
    EXPECT_EQ(H(Encoding(scalar), 16), H(Encoding(scalar)).substr(0, 16));
  }
  const Object tagged = Tag(Object{{"a", Value(1)}, {"o", Value(Object{})}}, options);
  const std::string txn = TextAt(tagged, "__txn_id");
  EXPECT_EQ(txn.size(), 32u);
  EXPECT_EQ(TextAt(ObjectAt(tagged, "o"), "__obj_id"), std::string(kEmptyDigest).substr(0, 32));
  const std::string expected = Bytes("06 02 01 61") + H(Encoding(Value(1)), 16) +
                               Bytes("01 6f") + H(Bytes("06 00"), 16);
  EXPECT_EQ(txn, HexH(expected, 16));
  // With nested digests the encoding itself differs, so the digest is not a prefix.
  const std::string full = TxnId(Object{{"a", Value(1)}, {"o", Value(Object{})}});
  EXPECT_NE(full.substr(0, 32), txn);
}

TEST(TaggerDigest, ExtendedOutput) {
  Tagger::Options options;
  options.hash_bytes = 64;
  const Object tagged = Tag(Object{}, options);
  EXPECT_EQ(TextAt(tagged, "__txn_id").size(), 128u);
  EXPECT_EQ(TextAt(tagged, "__txn_id").substr(0, 64), kEmptyDigest);
}

TEST(TaggerDigest, ZeroHashBytesBecomes32) {
  Tagger::Options options;
  options.hash_bytes = 0;
  Tagger tagger(options);
  EXPECT_EQ(tagger.options().hash_bytes, 32u);
  Object document;
  tagger.modify(document);
  EXPECT_EQ(TextAt(document, "__txn_id"), kEmptyDigest);
}

TEST(TaggerDigest, OneAndOnePointZeroDiffer) {
  EXPECT_NE(TxnId(Object{{"a", Value(1)}}), TxnId(Object{{"a", Value(1.0)}}));
  EXPECT_NE(TxnId(Object{{"a", Value(0.0)}}), TxnId(Object{{"a", Value(-0.0)}}));
}

TEST(TaggerDigest, KeyOrderIsTheObjectOrder) {
  Object ba;
  ba["b"] = Value(2);
  ba["a"] = Value(1);
  const std::string expected = Bytes("06 02 01 61") + H(Encoding(Value(1))) + Bytes("01 62") +
                               H(Encoding(Value(2)));
  EXPECT_EQ(TxnId(ba), HexH(expected));
}

// ---------------------------------------------------------------------------------------------
// Stamping.

TEST(TaggerStamp, ExistingIdentityMembersAreLeftOutAndOverwritten) {
  const std::string plain = TxnId(Object{{"a", Value(1)}});
  const std::vector<Value> olds = {Value("x"), Value(5), Value(Object{{"k", Value(1)}}),
                                   Value(Array{Value(1)})};
  for (const Value& old : olds) {
    const Object tagged = Tag(Object{{"__txn_id", old}, {"__obj_id", old}, {"a", Value(1)}});
    EXPECT_EQ(tagged.at("__txn_id"), Value(plain));
    EXPECT_EQ(tagged.at("__obj_id"), Value(plain));
    EXPECT_EQ(tagged.size(), 3u);
  }
}

TEST(TaggerStamp, TaggingTwiceChangesNothing) {
  const Object once = Tag(Object{{"a", Value(Array{Value(Object{{"x", Value(1)}})})},
                                 {"b", Value(Object{{"c", Value(Object{})}})}});
  EXPECT_EQ(Tag(once), once);
}

TEST(TaggerStamp, IdenticalSiblingsShareTheirObjectId) {
  Tagger::Options options;
  options.debug = true;
  ::testing::internal::CaptureStderr();
  const Object tagged = Tag(
      Object{{"items",
              Value(Array{Value(Object{{"x", Value(1)}}), Value(Object{{"x", Value(1)}})})}},
      options);
  const std::string log = ::testing::internal::GetCapturedStderr();
  const Array& items = std::get<Array>(tagged.at("items").data);
  const Object& first = std::get<Object>(items[0].data);
  const Object& second = std::get<Object>(items[1].data);
  EXPECT_EQ(TextAt(first, "__obj_id"), TextAt(second, "__obj_id"));
  EXPECT_EQ(TextAt(first, "__obj_id"), HexH(Bytes("06 01 01 78") + H(Encoding(Value(1)))));
  EXPECT_EQ(TextAt(first, "__txn_id"), TextAt(tagged, "__txn_id"));
  EXPECT_NE(log.find("end modify: stamped=3 "), std::string::npos) << log;
}

TEST(TaggerStamp, StampRootFalseStampsOnlyNestedObjects) {
  Tagger::Options options;
  options.stamp_root = false;
  options.debug = true;
  Object document{{"a", Value(1)}, {"n", Value(Object{{"m", Value(Object{})}})}};
  const std::string txn = TxnId(document);
  ::testing::internal::CaptureStderr();
  const Object tagged = Tag(document, options);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(tagged.count("__txn_id"), 0u);
  EXPECT_EQ(tagged.count("__obj_id"), 0u);
  EXPECT_EQ(TextAt(ObjectAt(tagged, "n"), "__txn_id"), txn);
  EXPECT_EQ(TextAt(ObjectAt(ObjectAt(tagged, "n"), "m"), "__obj_id"), kEmptyDigest);
  EXPECT_NE(log.find("[Tagger] end modify: stamped=2 txn_id_key=__txn_id obj_id_key=__obj_id\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("objects_seen=3 obj_digests=3\n"), std::string::npos) << log;
}

TEST(TaggerStamp, ReusedTaggerGivesTheResultsOfAFreshOne) {
  // Scratch memory carried between documents must not leak into later digests.
  std::vector<Object> documents = {
      Object{{"deep", Value(Object{{"x", Value(Array{Value(Object{{"y", Value(2)}})})}})}},
      Object{{"a", Value(1)}},
      Object{{"big", Value(std::string(3 << 20, 'b'))}, {"o", Value(Object{})}},
      Object{}};
  Tagger reused(WithPatterns({"**/y"}));
  for (Object& document : documents) {
    Object fresh = document;
    Tagger(WithPatterns({"**/y"})).modify(fresh);
    reused.modify(document);
    EXPECT_EQ(document, fresh);
  }
  Tagger copy = reused;
  EXPECT_EQ(copy.options().ignore_paths, std::vector<std::string>{"**/y"});
  Object again{{"a", Value(1)}};
  copy.modify(again);
  EXPECT_EQ(again, documents[1]);
}

// ---------------------------------------------------------------------------------------------
// Ignore patterns.

TEST(TaggerPatterns, SplitDropsEmptyPieces) {
  const std::vector<std::string> input = {"/a//b/", "", "///", "a~1b/*/**", " x "};
  const std::vector<Pattern> expected = {
      {"a", "b"}, {}, {}, {"a~1b", "*", "**"}, {" x "}};
  EXPECT_EQ(split_ignore_paths(input), expected);
}

struct MatchCase {
  Pattern pattern;
  std::vector<std::string> path;
  bool match;
};

TEST(TaggerPatterns, WholePathMatch) {
  const std::vector<MatchCase> cases = {
      {{"a"}, {"a"}, true},
      {{"a"}, {"a", "b"}, false},
      {{"a", "b"}, {"a"}, false},
      {{"*"}, {"x"}, true},
      {{"*"}, {"x", "y"}, false},
      {{"**"}, {"x", "y"}, true},
      {{"**", "tmp"}, {"tmp"}, true},
      {{"**", "tmp"}, {"a", "b", "tmp"}, true},
      {{"**", "tmp"}, {"a", "tmp", "b"}, false},
      {{"a", "**"}, {"a"}, true},
      {{"a", "**"}, {"a", "b", "c"}, true},
      {{"a", "**", "c"}, {"a", "c"}, true},
      {{"a", "**", "c"}, {"a", "b", "d", "c"}, true},
      {{"a*"}, {"ab"}, false},
      {{"a*"}, {"a*"}, true},
      {{"**", "**"}, {}, true},
      {{}, {}, true},
      {{}, {"a"}, false},
      {{"a~1b"}, {"a~1b"}, true}};
  std::vector<std::uint8_t> rows;
  for (const MatchCase& c : cases) {
    EXPECT_EQ(match_pattern(c.pattern, c.path, rows), c.match)
        << ::testing::PrintToString(c.pattern) << " vs " << ::testing::PrintToString(c.path);
  }
}

TEST(TaggerPatterns, EscapeSegment) {
  std::string out = "stale";
  escape_segment(out, "a/b~c~1");
  EXPECT_EQ(out, "a~1b~0c~01");
}

struct IgnoreCase {
  std::string name;
  std::vector<std::string> patterns;
  Object document;
  Object same_digest_without_patterns;  // the document with the ignored members removed
};

void PrintTo(const IgnoreCase& c, std::ostream* os) { *os << c.name; }

class TaggerIgnore : public ::testing::TestWithParam<IgnoreCase> {};

TEST_P(TaggerIgnore, IgnoredMembersAreLeftOutOfEveryDigest) {
  const IgnoreCase& c = GetParam();
  EXPECT_EQ(TxnId(c.document, WithPatterns(c.patterns)), TxnId(c.same_digest_without_patterns));
}

INSTANTIATE_TEST_SUITE_P(
    Table, TaggerIgnore,
    ::testing::Values(
        IgnoreCase{"StarDropsEveryTopLevelMember",
                   {"*"},
                   Object{{"a", Value(1)}, {"b", Value(Object{{"c", Value(2)}})}},
                   Object{}},
        IgnoreCase{"PatternUnderAObject",
                   {"/a/*"},
                   Object{{"a", Value(Object{{"x", Value(1)}, {"y", Value(Object{})}})},
                          {"b", Value(2)}},
                   Object{{"a", Value(Object{})}, {"b", Value(2)}}},
        IgnoreCase{"DoubleStarAtEveryDepth",
                   {"**/tmp"},
                   Object{{"tmp", Value(1)},
                          {"k", Value(Object{{"tmp", Value(2)}, {"keep", Value(3)}})},
                          {"l", Value(Array{Value(Object{{"tmp", Value(4)}})})}},
                   Object{{"k", Value(Object{{"keep", Value(3)}})},
                          {"l", Value(Array{Value(Object{})})}}},
        IgnoreCase{"TrailingDoubleStarDropsTheMemberItself",
                   {"/a/**"},
                   Object{{"a", Value(Object{{"x", Value(1)}})}, {"b", Value(2)}},
                   Object{{"b", Value(2)}}},
        IgnoreCase{"EscapedSlashNamesAKeyWithASlash",
                   {"a~1b"},
                   Object{{"a/b", Value(1)}, {"a", Value(Object{{"b", Value(2)}})}},
                   Object{{"a", Value(Object{{"b", Value(2)}})}}},
        IgnoreCase{"PlainSlashNamesANestedMember",
                   {"a/b"},
                   Object{{"a/b", Value(1)}, {"a", Value(Object{{"b", Value(2)}})}},
                   Object{{"a/b", Value(1)}, {"a", Value(Object{})}}},
        IgnoreCase{"EscapedTilde",
                   {"/~0x"},
                   Object{{"~x", Value(1)}, {"x", Value(2)}},
                   Object{{"x", Value(2)}}},
        IgnoreCase{"StarInsideASegmentIsLiteral",
                   {"a*"},
                   Object{{"ab", Value(1)}, {"a*", Value(2)}},
                   Object{{"ab", Value(1)}}},
        IgnoreCase{"EmptyPatternMatchesNothing",
                   {"", "///"},
                   Object{{"a", Value(1)}},
                   Object{{"a", Value(1)}}},
        IgnoreCase{"IdentityKeysAreNeverTestedAndAlwaysDropped",
                   {"__txn_id"},
                   Object{{"__txn_id", Value(9)}, {"a", Value(1)}},
                   Object{{"a", Value(1)}}},
        IgnoreCase{"SecondPatternMatches",
                   {"/nope", "/b"},
                   Object{{"a", Value(1)}, {"b", Value(2)}},
                   Object{{"a", Value(1)}}}),
    [](const auto& info) { return info.param.name; });

TEST(TaggerIgnoreStamps, ObjectsBelowIgnoredMembersAreNotStamped) {
  const Object tagged = Tag(
      Object{{"a", Value(Object{{"x", Value(Object{{"y", Value(Object{})}})}})},
             {"l", Value(Array{Value(Object{}), Value(Object{})})}},
      WithPatterns({"/a/*", "/l/0"}));
  const Object& a = ObjectAt(tagged, "a");
  EXPECT_EQ(TextAt(a, "__obj_id"), kEmptyDigest);
  const Object& x = ObjectAt(a, "x");
  EXPECT_EQ(x.count("__obj_id"), 0u);
  EXPECT_EQ(ObjectAt(x, "y").count("__txn_id"), 0u);
  const Array& l = std::get<Array>(tagged.at("l").data);
  EXPECT_TRUE(std::get<Object>(l[0].data).empty());
  EXPECT_EQ(TextAt(std::get<Object>(l[1].data), "__obj_id"), kEmptyDigest);
  const std::string array = Bytes("05 02") + H(kIgnoredText) + H(Bytes("06 00"));
  const std::string root = Bytes("06 02 01 61") + H(Bytes("06 00")) + Bytes("01 6c") + H(array);
  EXPECT_EQ(TextAt(tagged, "__txn_id"), HexH(root));
}

TEST(TaggerIgnoreStamps, ArrayElementsUseTheirDecimalIndex) {
  Object document;
  Array& many = document["v"].data.emplace<Array>();
  for (int i = 0; i < 12; ++i) many.emplace_back(i);
  const Object tagged = Tag(std::move(document), WithPatterns({"/v/10"}));
  std::string array = Bytes("05 0c");
  for (int i = 0; i < 12; ++i) array += i == 10 ? H(kIgnoredText) : H(Encoding(Value(i)));
  EXPECT_EQ(TextAt(tagged, "__txn_id"), HexH(Bytes("06 01 01 76") + H(array)));
}

// ---------------------------------------------------------------------------------------------
// Debug lines.

TEST(TaggerDebug, LogsFirstFiveStampsAndTheCount) {
  Tagger::Options options;
  options.debug = true;
  Object document;
  for (const char* key : {"a", "b", "c", "d", "e", "f"}) document[key] = Value(Object{});
  ::testing::internal::CaptureStderr();
  const Object tagged = Tag(document, options);
  const std::string log = ::testing::internal::GetCapturedStderr();
  const std::string txn = TextAt(tagged, "__txn_id");
  std::string expected = "[Tagger] begin modify: hash_bytes=32 ignore_paths=0\n";
  expected += "[Tagger] computed root txn_id=" + txn + " objects_seen=7 obj_digests=7\n";
  expected += "[Tagger] stamped object #1 __obj_id=" + txn + "\n";
  for (int n = 2; n <= 5; ++n) {
    expected += "[Tagger] stamped object #" + std::to_string(n) + " __obj_id=" + kEmptyDigest;
    expected += "\n";
  }
  expected += "[Tagger] end modify: stamped=7 txn_id_key=__txn_id obj_id_key=__obj_id\n";
  EXPECT_EQ(log, expected);
}

TEST(TaggerDebug, SilentUnlessSetAndSwitchableBetweenCalls) {
  Tagger::Options options;
  options.ignore_paths = {"/x", "/y"};
  options.hash_bytes = 16;
  Tagger tagger(options);
  Object document;
  ::testing::internal::CaptureStderr();
  tagger.modify(document);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  tagger.set_debug(true);
  Object second;
  ::testing::internal::CaptureStderr();
  tagger.modify(second);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.rfind("[Tagger] begin modify: hash_bytes=16 ignore_paths=2\n", 0), 0u) << log;
}

// ---------------------------------------------------------------------------------------------
// Depth.

TEST(TaggerDepth, TwiceTheNestingLimitFitsASmallStack) {
  constexpr int kDepth = 2 * kMaxNestingDepth;
  for (bool arrays : {false, true}) {
    testing::RunWithStack(testing::kOneMiB, [arrays] {
      Object document;
      Value inner(Object{});
      for (int level = kDepth - 2; level > 0; --level) {
        Value outer;
        if (arrays) {
          outer.data.emplace<Array>().push_back(std::move(inner));
        } else {
          outer.data.emplace<Object>().emplace("k", std::move(inner));
        }
        inner = std::move(outer);
      }
      document["k"] = std::move(inner);
      Tagger(WithPatterns({"**/nothing"})).modify(document);
      Tagger().modify(document);
      EXPECT_EQ(TextAt(document, "__txn_id").size(), 64u);
      // Take the tree apart level by level so that its destruction does not recurse.
      Value rest = std::move(document["k"]);
      while (true) {
        Value next;
        if (auto* object = std::get_if<Object>(&rest.data); object && object->count("k")) {
          next = std::move((*object)["k"]);
        } else if (auto* array = std::get_if<Array>(&rest.data); array && !array->empty()) {
          next = std::move(array->front());
        } else {
          break;
        }
        rest = std::move(next);
      }
    });
  }
}

// A Tagger remembers the digests of short scalars from one document to the next. Over many
// documents of values that repeat, collide in its table and push each other out, every
// stamp must still be the one a fresh Tagger gives.
TEST(TaggerReuse, StampsEqualThoseOfAFreshTaggerOverManyDocuments) {
  for (const std::uint64_t hash_bytes : {std::uint64_t{32}, std::uint64_t{16}, std::uint64_t{40}}) {
    Tagger::Options options;
    options.hash_bytes = hash_bytes;
    Tagger reused(options);
    for (int i = 0; i < 6000; ++i) {
      Object document{{"i", Value(i % 7000)},
                      {"d", Value(static_cast<double>(i % 3000) / 7)},
                      {"s", Value("value " + std::to_string(i % 5000))},
                      {"b", Value(i % 3 == 0)},
                      {"n", Value(nullptr)},
                      {"long", Value(std::string(40, static_cast<char>('a' + i % 26)))}};
      Object fresh_copy = document;
      reused.modify(document);
      Tagger(options).modify(fresh_copy);
      ASSERT_EQ(document, fresh_copy) << i << " " << hash_bytes;
    }
  }
}

}  // namespace
}  // namespace shredder
