#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "controller/pipeline_support.h"

// Told that its policy is the shipped boxing one, the Controller applies it inline, without
// calling its callables. These tests hold that inline path to the results of the callables
// themselves: the same callables, the Controller not told, take the general path, and both
// must give the same batch.

namespace shredder {
namespace {

using testing::ModulePipeline;

// The shipped policy's callables, wrapped: a policy as any caller may write one.
CoercePolicy WrappedBoxToStringPolicy() {
  CoercePolicy shipped = BoxToStringPolicy();
  return CoercePolicy{
      [resolve = shipped.kind_resolver](Kind current, Kind incoming, const std::string& name) {
        return resolve(current, incoming, name);
      },
      [convert = shipped.value_converter](Kind target, const Value& value,
                                          const std::string& name) {
        return convert(target, value, name);
      }};
}

struct BoxingCase {
  const char* name;
  std::vector<std::string> lines;
};

void PrintTo(const BoxingCase& c, std::ostream* out) { *out << c.name; }

class InlineBoxing : public ::testing::TestWithParam<BoxingCase> {};

TEST_P(InlineBoxing, GivesTheBatchOfThePolicyCallables) {
  for (const bool tag : {false, true}) {
    ModulePipeline inline_path(tag);
    ModulePipeline general_path(WrappedBoxToStringPolicy(), tag);
    const auto expected = general_path.Shred(GetParam().lines);
    const auto actual = inline_path.Shred(GetParam().lines);
    ASSERT_TRUE(actual->ValidateFull().ok());
    EXPECT_TRUE(actual->schema()->Equals(*expected->schema(), /*check_metadata=*/true))
        << actual->schema()->ToString() << "\nexpected:\n" << expected->schema()->ToString();
    EXPECT_TRUE(actual->Equals(*expected, /*check_metadata=*/true))
        << actual->ToString() << "\nexpected:\n" << expected->ToString();
  }
}

INSTANTIATE_TEST_SUITE_P(
    KindMixes, InlineBoxing,
    ::testing::Values(
        BoxingCase{"NullsOnly", {R"({"a": null})", R"({"a": null, "b": null})"}},
        BoxingCase{"Bools", {R"({"a": true})", R"({"a": null})", R"({"a": false})"}},
        BoxingCase{"Integers", {R"({"a": -9223372036854775808})", R"({"a": 7})"}},
        BoxingCase{"Doubles", {R"({"a": 0.1})", R"({"a": -0.0})", R"({"a": 1e300})"}},
        BoxingCase{"IntegersWidenToDoubles",
                   {R"({"a": 9007199254740993})", R"({"a": 2.5})", R"({"a": null})"}},
        BoxingCase{"DoublesThenIntegers", {R"({"a": 2.5})", R"({"a": 3})"}},
        BoxingCase{"StringsWithEscapesAndEmpty",
                   {R"({"a": "x\"y\\z\u0001"})", R"({"a": ""})", R"({"a": "ünï"})"}},
        BoxingCase{"BoolsBoxedWithStrings", {R"({"a": true})", R"({"a": "s"})"}},
        BoxingCase{"IntegersBoxedWithBools", {R"({"a": 1})", R"({"a": false})"}},
        BoxingCase{"NumbersBoxedWithStrings",
                   {R"({"a": 1})", R"({"a": 0.1})", R"({"a": "s"})", R"({"a": 1e21})",
                    R"({"a": -7})", R"({"a": 100.0})", R"({"a": null})"}},
        BoxingCase{"ColumnsMissingFromSomeDocuments",
                   {R"({"a": 1})", R"({"b": [{"c": 1}, {"c": 2}]})", R"({"a": 2, "d": "x"})",
                    R"({})", R"({"e": []})", R"({"a": 3})"}},
        BoxingCase{"ArraysOfEveryScalarKind",
                   {R"({"s": ["x", "y"], "i": [1, 2, 3], "d": [0.5], "b": [true, false]})",
                    R"({"s": [null], "i": [null, null]})"}}),
    [](const ::testing::TestParamInfo<BoxingCase>& info) { return info.param.name; });

}  // namespace
}  // namespace shredder
