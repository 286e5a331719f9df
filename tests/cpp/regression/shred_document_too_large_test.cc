// Regressions: a small document made Shredder::Shred allocate without bound, through a dense
// table of rows x columns cells or through column names that repeat long paths.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "shredder/shredder.h"

namespace shredder {
namespace {

constexpr const char* kDocumentTooLarge = "Shredder::Shred: document too large to shred: ";

// A four-digit key, so that keys sort as their numbers do.
std::string Key(std::string_view prefix, int n) {
  const std::string digits = std::to_string(n);
  std::string key(prefix);
  if (digits.size() < 4) key.append(4 - digits.size(), '0');
  key.append(digits);
  return key;
}

// `members` integer members and an array of `elements` integers. The array's key sorts after
// the members' keys or before them; either way the table has `elements` rows and `members` + 2
// columns, and the document has 1 + `members` + 1 + `elements` values.
Object MembersAndArray(int members, int elements, bool array_first) {
  Object document;
  for (int i = 0; i < members; ++i) document.emplace(Key("m", i), Value(i));
  Array array;
  for (int j = 0; j < elements; ++j) array.emplace_back(j);
  document.emplace(array_first ? "a" : "z", Value(std::move(array)));
  return document;
}

std::string ShredFailureText(const Object& document) {
  try {
    Shredder().Shred(document);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no failure";
}

struct CellCase {
  const char* name;
  int members;
  int elements;
  bool array_first;
  const char* message;  // empty: the document is shredded
};

class ShredTableOfBillionsOfCells : public ::testing::TestWithParam<CellCase> {};

// The bound is 2^20 cells plus 1024 per value. 3070 members and 2048 elements give
// 2048 x 3072 = 6,291,456 cells, exactly 2^20 + 1024 x 5120; one more member is one column too
// many, whichever of the two grows last.
TEST_P(ShredTableOfBillionsOfCells, RefusesBeyondTheBoundAndNotBefore) {
  const CellCase& c = GetParam();
  const Object document = MembersAndArray(c.members, c.elements, c.array_first);
  if (std::string(c.message).empty()) {
    const ShredResult result = Shredder().Shred(document);
    ASSERT_EQ(result.columns.size(), static_cast<std::size_t>(c.members) + 2);
    EXPECT_EQ(result.columns[0]->size(), static_cast<std::uint64_t>(c.elements));
  } else {
    EXPECT_EQ(ShredFailureText(document), std::string(kDocumentTooLarge) + c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boundary, ShredTableOfBillionsOfCells,
    ::testing::Values(
        CellCase{"AtTheLimitArrayLast", 3070, 2048, false, ""},
        CellCase{"AtTheLimitArrayFirst", 3070, 2048, true, ""},
        CellCase{"OneColumnTooManyArrayLast", 3071, 2048, false,
                 "2048 rows x 3073 columns exceeds the limit of 6292480 cells"},
        CellCase{"OneColumnTooManyArrayFirst", 3071, 2048, true,
                 "2048 rows x 3073 columns exceeds the limit of 6292480 cells"},
        // Members beside a long array, as real records with a series have them.
        CellCase{"TwoHundredMembersAndAThousandElements", 200, 1000, false, ""},
        CellCase{"TwoHundredMembersAndTenThousandElements", 200, 10000, false, ""},
        // 50,000 keys that sort before 50,000 elements: 2.5e9 cells from 500 kB of text,
        // refused before the rows are made.
        CellCase{"FiftyThousandKeysBeforeFiftyThousandElements", 50000, 50000, false,
                 "50000 rows x 50002 columns exceeds the limit of 103450624 cells"}),
    [](const ::testing::TestParamInfo<CellCase>& info) { return info.param.name; });

// Every element of an array of objects has a key of its own: element k makes row k and column
// k + 3. With 3000 elements the table would be 3000 x 3002; the bound, 2^20 + 1024 x 6002 =
// 7,194,624, is first passed when the row of element 2681 is made (2682 x 2683).
TEST(ShredTableOfBillionsOfCells, DistinctKeysInEveryElementStopWhereTheBoundIsPassed) {
  Array elements;
  for (int k = 0; k < 3000; ++k) elements.emplace_back(Object{{Key("k", k), Value(k)}});
  Object document;
  document.emplace("a", Value(std::move(elements)));
  EXPECT_EQ(ShredFailureText(document),
            std::string(kDocumentTooLarge) +
                "2682 rows x 2683 columns exceeds the limit of 7194624 cells");
}

// A wide row copied by a chain of nested arrays of two objects: the copies kept for later
// elements are counted before they are made, so the document is refused while the walk goes
// down, long before the rows of the later elements exist.
TEST(ShredTableOfBillionsOfCells, WideRowUnderNestedArraysIsRefusedOnTheWayDown) {
  constexpr int kMembers = 50000;
  constexpr int kLevels = 2000;
  Value inner(Object{});
  for (int level = 0; level < kLevels; ++level) {
    Array pair;
    pair.emplace_back(Object{{"z", std::move(inner)}});
    pair.emplace_back(Object{});
    inner = Value(std::move(pair));
  }
  Object document;
  for (int i = 0; i < kMembers; ++i) document.emplace(Key("m", i), Value(i));
  document.emplace("z", std::move(inner));
  const std::string failure = ShredFailureText(document);
  ASSERT_TRUE(failure.starts_with(kDocumentTooLarge)) << failure;
  // The rows counted are the copies: fewer than the levels, and the table has one row so far.
  const int rows = std::stoi(failure.substr(std::string(kDocumentTooLarge).size()));
  EXPECT_GT(rows, 1);
  EXPECT_LT(rows, kLevels);
}

struct NameCase {
  const char* name;
  int leaves;
  const char* message;  // empty: the document is shredded
};

class ShredQuadraticColumnNames : public ::testing::TestWithParam<NameCase> {};

// A chain of 34 objects under keys of 282 bytes, then `leaves` members with four-byte keys:
// every leaf's name repeats the chain's 9,622 bytes and adds 9 ("root" and "_0000"). The bound
// is 2^24 bytes plus 256 per value and per key byte: for 2304 leaves both are 22,189,824.
TEST_P(ShredQuadraticColumnNames, RefusesBeyondTheBoundAndNotBefore) {
  constexpr int kChain = 34;
  const std::string chain_key(282, 'k');
  Object leaves;
  for (int i = 0; i < GetParam().leaves; ++i) leaves.emplace(Key("", i), Value(i));
  Value inner(std::move(leaves));
  for (int level = 1; level < kChain; ++level) inner = Value(Object{{chain_key, std::move(inner)}});
  Object document;
  document.emplace(chain_key, std::move(inner));
  if (std::string(GetParam().message).empty()) {
    const ShredResult result = Shredder().Shred(document);
    ASSERT_EQ(result.headers.size(), static_cast<std::size_t>(GetParam().leaves));
    EXPECT_EQ(result.headers.back().size(), 9631u);
  } else {
    EXPECT_EQ(ShredFailureText(document), std::string(kDocumentTooLarge) + GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boundary, ShredQuadraticColumnNames,
    ::testing::Values(NameCase{"AtTheLimit", 2304, ""},
                      NameCase{"OneLeafTooMany", 2305,
                               "column names take 22199455 bytes, more than the limit of "
                               "22191104 bytes"}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.name; });

// Every column costs kilobytes wherever the atoms go: a document makes at most 2^16 of them,
// whatever its size, and the walk stops at the first past the limit.
TEST(ShredDocumentOfManyColumns, RefusedPastTheLimitAndNotBefore) {
  Object document;
  for (int i = 0; i < 65536; ++i) document.emplace("k" + std::to_string(i), Value(i));
  EXPECT_EQ(Shredder().Shred(document).columns.size(), 65536u);
  document.emplace("z", Value(0));
  EXPECT_EQ(ShredFailureText(document),
            std::string(kDocumentTooLarge) + "more than the limit of 65536 columns");
}

}  // namespace
}  // namespace shredder
