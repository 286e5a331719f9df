#include "shredder/value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "random_documents.h"

namespace shredder {
namespace {

TEST(KindName, NamesEveryKindAndUnknownOutsideTheRange) {
  const std::vector<std::pair<int, std::string>> cases = {
      {0, "null"},   {1, "bool"},  {2, "int64"},  {3, "double"},   {4, "string"},
      {5, "array"},  {6, "object"}, {7, "unknown"}, {255, "unknown"}};
  for (const auto& [number, name] : cases) {
    EXPECT_EQ(kind_name(static_cast<Kind>(number)), name) << number;
  }
}

TEST(KindOf, MatchesTheAlternativeIndex) {
  EXPECT_EQ(kind_of(Value()), Kind::Null);
  EXPECT_EQ(kind_of(Value(true)), Kind::Bool);
  EXPECT_EQ(kind_of(Value(std::int64_t{1})), Kind::Int64);
  EXPECT_EQ(kind_of(Value(1.0)), Kind::Double);
  EXPECT_EQ(kind_of(Value("s")), Kind::String);
  EXPECT_EQ(kind_of(Value(Array{})), Kind::Array);
  EXPECT_EQ(kind_of(Value(Object{})), Kind::Object);
}

TEST(Object, IteratesKeysInUnsignedByteOrder) {
  Object object;
  for (const char* key : {"b", "B", "a", "ab", "", "\xc3\xa9", "~"}) object[key] = Value(1);
  std::vector<std::string> keys;
  for (const auto& [key, value] : object) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "ab", "b", "~", "\xc3\xa9"}));
}

// Member order is hashed into every object's digest, so the key order must be std::string's
// own for every pair, NUL and high bytes, prefixes and the empty key among them.
TEST(Object, KeyOrderIsStdStringOrderForEveryPair) {
  std::vector<std::string> keys = {"", std::string(1, '\0'), std::string("\0a", 2), "a"};
  const char alphabet[] = {'\0', 'a', 'b', '_', '\x7f', '\x80', '\xff'};
  std::uint32_t seed = 12345;
  for (int i = 0; i < 400; ++i) {
    std::string key;
    for (int n = static_cast<int>(seed % 5); n > 0; --n) {
      seed = seed * 1664525u + 1013904223u;
      key.push_back(alphabet[(seed >> 16) % sizeof alphabet]);
    }
    seed = seed * 1664525u + 1013904223u;
    keys.push_back(key);
  }
  const KeyLess less;
  for (const std::string& a : keys) {
    for (const std::string& b : keys) ASSERT_EQ(less(a, b), a < b) << a << " | " << b;
  }
}

// Freed members are kept for reuse by the thread that frees them, whichever thread made them,
// up to a bound past which they are freed at once. Documents made on one thread and freed on
// another, round after round (each thread's kept members freed when it ends), stay intact.
TEST(Object, MembersFreedOnAnotherThreadStayIntactWhenReused) {
  testing::DocumentKnobs knobs;
  knobs.members_at_root = 12;
  knobs.plain_doubles = true;  // no NaN, which equals nothing
  knobs.edge_numbers = 0;
  testing::RandomDocuments random(11, knobs);
  std::vector<Object> sources;
  for (int i = 0; i < 200; ++i) sources.push_back(random.Dom());
  Object wide;  // more members than a thread keeps
  for (std::size_t i = 0; i < 3 * NodeAllocator<int*>::kKeptNodes / 2 + 7; ++i) {
    wide[std::to_string(i)] = Value(static_cast<std::int64_t>(i));
  }
  sources.push_back(wide);
  std::vector<Object> handed(sources.size());
  for (int round = 0; round < 6; ++round) {
    std::thread([&] { for (std::size_t i = 0; i < sources.size(); ++i) handed[i] = sources[i]; })
        .join();
    std::thread([&] {
      for (std::size_t i = 0; i < sources.size(); ++i) {
        EXPECT_EQ(Object(handed[i]), sources[i]) << "round " << round << ", document " << i;
        handed[i] = Object();
      }
    }).join();
  }
}

TEST(Value, CopyIsDeep) {
  Value source(Object{{"a", Value(Array{Value(Object{{"b", Value(1)}})})}});
  Value copy = source;
  std::get<Object>(std::get<Array>(std::get<Object>(copy.data)["a"].data)[0].data)["b"] = Value(2);
  const auto& inner = std::get<Object>(std::get<Array>(std::get<Object>(source.data).at("a").data)[0].data);
  EXPECT_EQ(inner.at("b"), Value(1));
}

}  // namespace
}  // namespace shredder
