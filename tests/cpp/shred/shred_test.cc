#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "shredder/shredder.h"
#include "test_support.h"

namespace shredder {
namespace {

using nlohmann::json;
using testing::CaseName;

// Builds a document value from JSON text; 1 stays an integer and 1.0 a double.
Value ValueFromJson(const json& j) {
  switch (j.type()) {
    case json::value_t::null: return Value();
    case json::value_t::boolean: return Value(j.get<bool>());
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return Value(j.get<std::int64_t>());
    case json::value_t::number_float: return Value(j.get<double>());
    case json::value_t::string: return Value(j.get<std::string>());
    case json::value_t::array: {
      Array array;
      for (const json& element : j) array.push_back(ValueFromJson(element));
      return Value(std::move(array));
    }
    default: {
      Object object;
      for (const auto& [key, member] : j.items()) object.emplace(key, ValueFromJson(member));
      return Value(std::move(object));
    }
  }
}

Object Doc(const char* text) { return std::get<Object>(ValueFromJson(json::parse(text)).data); }

Atom ToAtom(const json& j) {
  switch (j.type()) {
    case json::value_t::boolean: return Atom{j.get<bool>()};
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return Atom{j.get<std::int64_t>()};
    case json::value_t::number_float: return Atom{j.get<double>()};
    case json::value_t::string: return Atom{j.get<std::string>()};
    default: return Atom{};
  }
}

// A result read back in full: column kinds as one letter each (S: StringColumn, N: the
// ScalarColumn), and every row's atoms in header order.
struct Table {
  std::vector<std::string> headers;
  std::string kinds;
  std::vector<std::vector<Atom>> rows;
  friend bool operator==(const Table&, const Table&) = default;
};

std::ostream& operator<<(std::ostream& out, const Atom& atom) {
  switch (atom.index()) {
    case 0: return out << "null";
    case 1: return out << (std::get<bool>(atom) ? "true" : "false");
    case 2: return out << std::get<std::int64_t>(atom);
    case 3: return out << std::get<double>(atom) << "d";
    default: return out << '"' << std::get<std::string>(atom) << '"';
  }
}

void PrintTo(const Table& table, std::ostream* out) {
  for (const auto& header : table.headers) *out << header << " ";
  *out << "[" << table.kinds << "]";
  for (const auto& row : table.rows) {
    *out << "\n  ";
    for (const Atom& atom : row) *out << atom << " ";
  }
}

Table Read(const ShredResult& result) {
  Table table{result.headers, "", {}};
  EXPECT_EQ(result.headers.size(), result.columns.size());
  const std::uint64_t rows = result.columns.empty() ? 0 : result.columns[0]->size();
  for (const auto& column : result.columns) {
    table.kinds += column->kind() == IColumn::Kind::String ? 'S' : 'N';
    EXPECT_EQ(column->size(), rows);
  }
  for (std::uint64_t r = 0; r < rows; ++r) {
    auto& row = table.rows.emplace_back();
    for (const auto& column : result.columns) row.push_back(column->at(r));
  }
  return table;
}

Table Expect(std::vector<std::string> headers, std::string kinds, const char* rows) {
  Table table{std::move(headers), std::move(kinds), {}};
  for (const json& row : json::parse(rows)) {
    auto& atoms = table.rows.emplace_back();
    for (const json& cell : row) atoms.push_back(ToAtom(cell));
  }
  return table;
}

Table ShredToTable(const Object& document) { return Read(Shredder().Shred(document)); }

struct ShredCase {
  const char* name;
  const char* document;
  Table expected;
};

void PrintTo(const ShredCase& c, std::ostream* out) { *out << c.name; }

class ShredTable : public ::testing::TestWithParam<ShredCase> {};

TEST_P(ShredTable, GivesHeadersKindsAndCells) {
  const Object document = Doc(GetParam().document);
  const Object before = document;
  EXPECT_EQ(ShredToTable(document), GetParam().expected);
  EXPECT_EQ(document, before);
}

// The worked example: items is shredded before tags, so the row of items' element 1 is made
// before tags writes anything; the row of tags' element 1 copies row 0 with x already in it.
INSTANTIATE_TEST_SUITE_P(
    WorkedExample, ShredTable,
    ::testing::Values(ShredCase{
        "IdItemsTags",
        R"({"id": 7, "tags": ["x", "y"], "items": [{"n": 1}, {"n": 2}]})",
        Expect({"root_id", "root_items", "root_items__idx", "root_items_n", "root_tags",
                "root_tags__idx"},
               "NNNNSN",
               R"([[7, null, 0, 1, "x", 0],
                   [7, null, 1, 2, null, null],
                   [7, null, 0, 1, "y", 1]])")}),
    CaseName<ShredCase>);

INSTANTIATE_TEST_SUITE_P(
    Leaves, ShredTable,
    ::testing::Values(
        ShredCase{"EmptyDocument", "{}", Expect({}, "", "[]")},
        ShredCase{"NullMember", R"({"a": null})", Expect({"root_a"}, "N", "[[null]]")},
        ShredCase{"EmptyObjectLeavesNoTrace", R"({"a": {}, "b": {"c": {}}})",
                  Expect({}, "", "[]")},
        ShredCase{"EmptyArrayLeavesNoTrace", R"({"a": []})", Expect({}, "", "[]")},
        ShredCase{"EveryScalarKind", R"({"b": true, "d": 1.0, "i": 1, "n": null, "s": ""})",
                  Expect({"root_b", "root_d", "root_i", "root_n", "root_s"}, "NNNNS",
                         R"([[true, 1.0, 1, null, ""]])")},
        ShredCase{"NestedObjects", R"({"a": {"b": {"c": 1}, "d": 2}})",
                  Expect({"root_a_b_c", "root_a_d"}, "NN", "[[1, 2]]")}),
    CaseName<ShredCase>);

INSTANTIATE_TEST_SUITE_P(
    Naming, ShredTable,
    ::testing::Values(
        // Keys with "_" share names with nested keys; without a cell written twice, both
        // members keep their atoms.
        ShredCase{"UnderscoreKeyBesideNestedKeys", R"({"a_b": 1, "a": {"c": 2}})",
                  Expect({"root_a_c", "root_a_b"}, "NN", "[[2, 1]]")},
        ShredCase{"SameNameInOtherRows", R"({"x": [{"a_b": 1}, {"a": {"b": 2}}]})",
                  Expect({"root_x", "root_x__idx", "root_x_a_b"}, "NNN",
                         "[[null, 0, 1], [null, 1, 2]]")},
        ShredCase{"TopLevelTxnId", R"({"__txn_id": "t"})",
                  Expect({"root___txn_id"}, "S", R"([["t"]])")},
        ShredCase{"StampsOfNestedObjects", R"({"o": {"__obj_id": "p", "__txn_id": "t"}})",
                  Expect({"root_o___obj_id", "root_o___txn_id"}, "SS", R"([["p", "t"]])")},
        ShredCase{"UnderscoreRuns", R"({"_": {"_a": 1}, "a__": {"_": 2}})",
                  Expect({"root____a", "root_a____"}, "NN", "[[1, 2]]")},
        // Names that only end like the system's own columns are read back as values.
        ShredCase{"AlmostSystemNames", R"({"idx": 1, "a_idx": 2, "a__id": 3, "b_obj_id": 4})",
                  Expect({"root_a__id", "root_a_idx", "root_b_obj_id", "root_idx"}, "NNNN",
                         "[[3, 2, 4, 1]]")}),
    CaseName<ShredCase>);

INSTANTIATE_TEST_SUITE_P(
    Arrays, ShredTable,
    ::testing::Values(
        ShredCase{"Scalars", R"({"a": [1, 2, 3]})",
                  Expect({"root_a", "root_a__idx"}, "NN", "[[1, 0], [2, 1], [3, 2]]")},
        ShredCase{"NullsOnly", R"({"a": [null, null]})",
                  Expect({"root_a", "root_a__idx"}, "NN", "[[null, 0], [null, 1]]")},
        // Members visited after the array are written into the enclosing row only; members
        // before it are in every copy.
        ShredCase{"ScalarsBetweenMembers", R"({"a": 1, "b": [true, false], "c": "z"})",
                  Expect({"root_a", "root_b", "root_b__idx", "root_c"}, "NNNS",
                         R"([[1, true, 0, "z"], [1, false, 1, null]])")},
        ShredCase{"EmptyObjects", R"({"a": [{}, {}]})",
                  Expect({"root_a", "root_a__idx"}, "NN", "[[null, 0], [null, 1]]")},
        ShredCase{"IntegersAndDoublesShareAScalarColumn", R"({"a": [{"b": 1}, {"b": 2.5}]})",
                  Expect({"root_a", "root_a__idx", "root_a_b"}, "NNN",
                         "[[null, 0, 1], [null, 1, 2.5]]")},
        // Rows are appended in the order they are made: the rows of element 0's inner array
        // come before element 1's row.
        ShredCase{"ScalarsInsideObjects", R"({"a": [{"t": [1, 2]}, {"t": [3]}], "z": 9})",
                  Expect({"root_a", "root_a__idx", "root_a_t", "root_a_t__idx", "root_z"},
                         "NNNNN",
                         R"([[null, 0, 1, 0, 9],
                             [null, 0, 2, 1, null],
                             [null, 1, 3, 0, null]])")},
        ShredCase{"ObjectsInsideObjects",
                  R"({"a": [{"b": [{"c": 1}, {"c": 2}]}, {"b": [{"c": 3}]}]})",
                  Expect({"root_a", "root_a__idx", "root_a_b", "root_a_b__idx", "root_a_b_c"},
                         "NNNNN",
                         R"([[null, 0, null, 0, 1],
                             [null, 0, null, 1, 2],
                             [null, 1, null, 0, 3]])")},
        ShredCase{"SingleElement", R"({"a": [{"b": "x"}]})",
                  Expect({"root_a", "root_a__idx", "root_a_b"}, "NNS", R"([[null, 0, "x"]])")}),
    CaseName<ShredCase>);

// Element k of an array of objects starts from the row as it stood before element 0, so a
// member that only an earlier element has stays null in the later rows.
INSTANTIATE_TEST_SUITE_P(
    ElementRowsStartClean, ShredTable,
    ::testing::Values(
        ShredCase{"MissingMember", R"({"a": [{"b": 1, "c": 2}, {"b": 3}]})",
                  Expect({"root_a", "root_a__idx", "root_a_b", "root_a_c"}, "NNNN",
                         "[[null, 0, 1, 2], [null, 1, 3, null]]")},
        ShredCase{"EmptyContainersInLaterElement",
                  R"({"a": [{"c": 1, "d": [5]}, {"c": {}, "d": []}]})",
                  Expect({"root_a", "root_a__idx", "root_a_c", "root_a_d", "root_a_d__idx"},
                         "NNNNN", "[[null, 0, 1, 5, 0], [null, 1, null, null, null]]")},
        ShredCase{"ContextAndAncestorIndexesStay",
                  R"({"k": 1, "o": [{"p": [{"q": 1}, {"r": 2}, {}]}]})",
                  Expect({"root_k", "root_o", "root_o__idx", "root_o_p", "root_o_p__idx",
                          "root_o_p_q", "root_o_p_r"},
                         "NNNNNNN",
                         R"([[1, null, 0, null, 0, 1, null],
                             [1, null, 0, null, 1, null, 2],
                             [1, null, 0, null, 2, null, null]])")}),
    CaseName<ShredCase>);

// The root's leaf "__txn_id" is in every row, even rows made before it was visited; no other
// member is spread that way.
INSTANTIATE_TEST_SUITE_P(
    TxnIdInEveryRow, ShredTable,
    ::testing::Values(
        ShredCase{"KeyABeforeTxnId", R"({"A": [1, 2], "__txn_id": "t"})",
                  Expect({"root_A", "root_A__idx", "root___txn_id"}, "NNS",
                         R"([[1, 0, "t"], [2, 1, "t"]])")},
        ShredCase{"ObjectsBeforeTxnIdAndMembersAfter",
                  R"({"B": [{"x": 1}, {"x": 2}], "__txn_id": "t", "a": 5})",
                  Expect({"root_B", "root_B__idx", "root_B_x", "root___txn_id", "root_a"},
                         "NNNSN", R"([[null, 0, 1, "t", 5], [null, 1, 2, "t", null]])")},
        ShredCase{"NullTxnId", R"({"A": ["x", "y"], "__txn_id": null})",
                  Expect({"root_A", "root_A__idx", "root___txn_id"}, "SNN",
                         R"([["x", 0, null], ["y", 1, null]])")},
        ShredCase{"NestedTxnIdIsNotSpread", R"({"o": {"A": [1, 2], "__txn_id": "u"}})",
                  Expect({"root_o_A", "root_o_A__idx", "root_o___txn_id"}, "NNS",
                         R"([[1, 0, "u"], [2, 1, null]])")},
        ShredCase{"ObjectTxnIdIsNotSpread", R"({"A": [1, 2], "__txn_id": {"v": 3}})",
                  Expect({"root_A", "root_A__idx", "root___txn_id_v"}, "NNN",
                         "[[1, 0, 3], [2, 1, null]]")}),
    CaseName<ShredCase>);

TEST(ShredKeyOrder, FollowsUnsignedBytes) {
  Object document;
  for (const char* key : {"\xff", "\xc3\xa9", "~", "b", "a_", "a", "_", "B", "0"}) {
    document.emplace(key, Value(1));
  }
  EXPECT_EQ(ShredToTable(document).headers,
            (std::vector<std::string>{"root_0", "root_B", "root__", "root_a",
                                      "root_a_", "root_b", "root_~", "root_\xc3\xa9",
                                      "root_\xff"}));
}

struct FailureCase {
  const char* name;
  const char* document;
  const char* message;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class ShredFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ShredFailure, ThrowsItsMessage) {
  const Object document = Doc(GetParam().document);
  const bool from_column = std::string(GetParam().message).starts_with("StringColumn::push");
  try {
    Shredder().Shred(document);
    FAIL() << "no failure";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), ErrorCode::Shape);
    EXPECT_EQ(e.path().empty(), from_column);
    EXPECT_STREQ(e.what(), GetParam().message);
  }
}

constexpr const char* kClash = "StringColumn::push: only null or string allowed";

INSTANTIATE_TEST_SUITE_P(
    Messages, ShredFailure,
    ::testing::Values(
        FailureCase{"IntThenNull", R"({"a": [1, null]})",
                    "Shredder::Shred: array elements are not homogeneous at /a"},
        FailureCase{"NullThenInt", R"({"a": [null, 1]})",
                    "Shredder::Shred: array elements are not homogeneous at /a"},
        FailureCase{"IntThenDouble", R"({"a": [1, 2.5]})",
                    "Shredder::Shred: array elements are not homogeneous at /a"},
        FailureCase{"IntThenArray", R"({"a": [1, [2]]})",
                    "Shredder::Shred: array elements are not homogeneous at /a"},
        FailureCase{"StringThenObject", R"({"a": ["x", {}]})",
                    "Shredder::Shred: array elements are not homogeneous at /a"},
        // The whole array is checked before any element of an array of objects is visited.
        FailureCase{"ObjectThenInt", R"({"a": [{"b": [[1]]}, 1]})",
                    "Shredder::Shred: array elements are not homogeneous at /a"},
        FailureCase{"ArrayFirst", R"({"m": [[1], [2]]})",
                    "Shredder::Shred: nested arrays are not supported at /m"},
        FailureCase{"ArrayFirstThenInt", R"({"a": [[1], 2]})",
                    "Shredder::Shred: nested arrays are not supported at /a"},
        // Elements add nothing to the path; keys are shown as they are.
        FailureCase{"DeepInsideObjects", R"({"a": [{"b": {"c/d": [[]]}}]})",
                    "Shredder::Shred: nested arrays are not supported at /a/b/c/d"},
        FailureCase{"StringAndIntUnderOneName", R"({"a": [{"b": "x"}, {"b": 1}]})", kClash},
        FailureCase{"BoolAndStringUnderOneName", R"({"a": [{"b": true}, {"b": "x"}]})", kClash}),
    CaseName<FailureCase>);

// A cell that one member filled is never written again by another: the document is refused,
// naming the member that filled it, then the one that would have replaced it.
INSTANTIATE_TEST_SUITE_P(
    Collisions, ShredFailure,
    ::testing::Values(
        FailureCase{"ElementMemberThenTopLevelKey",
                    R"({"labels_url": "A", "labels": [{"url": "B1"}, {"url": "B2"}]})",
                    "Shredder::Shred: members /labels/url and /labels_url both map to column "
                    "root_labels_url"},
        FailureCase{"NestedKeysThenUnderscoreKey", R"({"a_b": 1, "a": {"b": 2}})",
                    "Shredder::Shred: members /a/b and /a_b both map to column root_a_b"},
        FailureCase{"ScalarArrayThenUnderscoreKey", R"({"a": {"b": [1, 2]}, "a_b": "x"})",
                    "Shredder::Shred: members /a/b and /a_b both map to column root_a_b"},
        FailureCase{"LeafThenScalarArray", R"({"a": {"b": 1}, "a_b": [2, 3]})",
                    "Shredder::Shred: members /a/b and /a_b both map to column root_a_b"},
        // Index cells belong to their array.
        FailureCase{"IndexesOfTwoArrays",
                    R"({"x": {"y": {"a": [{"b": 1}]}}, "x_y": {"a": [{"c": 2}]}})",
                    "Shredder::Shred: members /x/y/a and /x_y/a both map to column "
                    "root_x_y_a__idx"},
        // A later element starts from the row before the array, which already holds the cell.
        FailureCase{"OnlyInALaterElement", R"({"p": {"a_b": 5}, "p_a": [{"x": 1}, {"b": 2}]})",
                    "Shredder::Shred: members /p/a_b and /p_a/b both map to column root_p_a_b"},
        // Within one element.
        FailureCase{"InsideAnElement", R"({"a": [{"b": {"c": 1}, "b_c": 2}]})",
                    "Shredder::Shred: members /a/b/c and /a/b_c both map to column root_a_b_c"},
        FailureCase{"UnderTheRootOfAnArrayElement",
                    R"({"a": [{"b": {"c": 1}}, {"b_c": 2}], "a_b": {"c": 3}})",
                    "Shredder::Shred: members /a/b/c and /a_b/c both map to column root_a_b_c"}),
    CaseName<FailureCase>);

// Names that unshredding reads as an index or a stamp, and the empty key, which writes under
// its parent's name.
INSTANTIATE_TEST_SUITE_P(
    NamesReadBackAsSomethingElse, ShredFailure,
    ::testing::Values(
        FailureCase{"IndexSuffixBesideItsArray", R"({"tags": ["a", "b"], "tags__idx": 7})",
                    "Shredder::Shred: member /tags__idx maps to column root_tags__idx, which is "
                    "read back as an array index"},
        FailureCase{"IndexSuffixAlone", R"({"n": 1, "n__idx": "z"})",
                    "Shredder::Shred: member /n__idx maps to column root_n__idx, which is read "
                    "back as an array index"},
        FailureCase{"IndexSuffixOnAnArray", R"({"o": {"x__idx": [1, 2]}})",
                    "Shredder::Shred: member /o/x__idx maps to column root_o_x__idx, which is "
                    "read back as an array index"},
        FailureCase{"IndexSuffixFromAParentKey", R"({"a_": {"_idx": 1}})",
                    "Shredder::Shred: member /a_/_idx maps to column root_a___idx, which is "
                    "read back as an array index"},
        FailureCase{"ObjectIdSuffix", R"({"k": [1, 2], "k___obj_id": "q"})",
                    "Shredder::Shred: member /k___obj_id maps to column root_k___obj_id, which "
                    "is read back as an object id stamp"},
        FailureCase{"TransactionIdSuffix", R"({"a": [{"k___txn_id": "q"}]})",
                    "Shredder::Shred: member /a/k___txn_id maps to column root_a_k___txn_id, "
                    "which is read back as a transaction id stamp"},
        FailureCase{"TransactionIdUnderAnUnderscoreKey", R"({"_": {"txn_id": "q"}})",
                    "Shredder::Shred: member /_/txn_id maps to column root___txn_id, which is "
                    "read back as a transaction id stamp"},
        FailureCase{"EmptyKeyAtTheRoot", R"({"": 1})",
                    "Shredder::Shred: member / has the empty key, so its value would be "
                    "written under its parent's name root"},
        FailureCase{"EmptyKeyInAnObject", R"({"a": {"": 1}})",
                    "Shredder::Shred: member /a/ has the empty key, so its value would be "
                    "written under its parent's name root_a"},
        FailureCase{"EmptyKeyInElements", R"({"a": [{"": 1}, {"": 2}]})",
                    "Shredder::Shred: member /a/ has the empty key, so its value would be "
                    "written under its parent's name root_a"},
        FailureCase{"EmptyKeyHoldingAnObject", R"({"": {"b": 1}})",
                    "Shredder::Shred: member / has the empty key, so its value would be "
                    "written under its parent's name root"}),
    CaseName<FailureCase>);

// The first failure in walk order decides the message, and any failure of the walk comes
// before a clash of string and non-string atoms.
INSTANTIATE_TEST_SUITE_P(
    FirstFailureWins, ShredFailure,
    ::testing::Values(
        FailureCase{"NotHomogeneousFirst", R"({"a": [1, "x"], "b": [[1]]})",
                    "Shredder::Shred: array elements are not homogeneous at /a"},
        FailureCase{"NestedFirst", R"({"a": [[1]], "b": [1, "x"]})",
                    "Shredder::Shred: nested arrays are not supported at /a"},
        FailureCase{"WalkBeforeClash", R"({"a": [{"b": "x"}, {"b": 1}], "c": [[1]]})",
                    "Shredder::Shred: nested arrays are not supported at /c"},
        FailureCase{"CollisionBeforeClash", R"({"a": [{"b": "x"}, {"b": 1}], "a_b": 2})",
                    "Shredder::Shred: members /a/b and /a_b both map to column root_a_b"},
        FailureCase{"NameBeforeCollision", R"({"a": [1], "a__idx": 0})",
                    "Shredder::Shred: member /a__idx maps to column root_a__idx, which is read "
                    "back as an array index"}),
    CaseName<FailureCase>);

TEST(ShredCopies, ResultOwnsItsAtoms) {
  Object document = Doc(R"({"s": "before", "t": ["x", "y"]})");
  ShredResult result = Shredder().Shred(document);
  std::get<std::string>(document["s"].data) = "after";
  std::get<Array>(document["t"].data).clear();
  EXPECT_EQ(Read(result), Expect({"root_s", "root_t", "root_t__idx"}, "SSN",
                                 R"([["before", "x", 0], ["before", "y", 1]])"));
}

// Alternating objects and one-element arrays of objects, twice the accepted nesting depth,
// shredded on a small stack.
TEST(ShredDepth, TwiceTheNestingLimitOnASmallStack) {
  constexpr int kDepth = 2 * kMaxNestingDepth;
  Value inner(Object{{"v", Value("leaf")}});
  for (int depth = kDepth - 1; depth > 1; --depth) {
    if (depth % 2 == 0) {
      Array array;
      array.push_back(std::move(inner));
      inner = Value(std::move(array));
    } else {
      inner = Value(Object{{"a", std::move(inner)}});
    }
  }
  Object document;
  document.emplace("a", std::move(inner));

  Table table;
  testing::RunWithStack(testing::kOneMiB,
                        [&] { table = Read(Shredder().Shred(document)); });
  // Each of the kDepth/2 - 1 arrays gives a value and an index column; then the leaf.
  const std::size_t arrays = kDepth / 2 - 1;
  ASSERT_EQ(table.headers.size(), 2 * arrays + 1);
  std::string leaf = "root";
  for (std::size_t i = 0; i <= arrays; ++i) leaf += "_a";
  EXPECT_EQ(table.headers.back(), leaf + "_v");
  EXPECT_EQ(table.headers[1], "root_a__idx");
  ASSERT_EQ(table.rows.size(), 1u);
  EXPECT_EQ(table.rows[0].back(), Atom{std::string("leaf")});
  EXPECT_EQ(table.rows[0][1], Atom{std::int64_t{0}});
}

}  // namespace
}  // namespace shredder
