#include "shredder/value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(Value, CopyIsDeep) {
  Value source(Object{{"a", Value(Array{Value(Object{{"b", Value(1)}})})}});
  Value copy = source;
  std::get<Object>(std::get<Array>(std::get<Object>(copy.data)["a"].data)[0].data)["b"] = Value(2);
  const auto& inner = std::get<Object>(std::get<Array>(std::get<Object>(source.data).at("a").data)[0].data);
  EXPECT_EQ(inner.at("b"), Value(1));
}

}  // namespace
}  // namespace shredder
