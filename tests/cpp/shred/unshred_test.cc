#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "shredder/atom_column.h"
#include "shredder/shredder.h"
#include "shredder/value.h"
#include "test_support.h"
#include "value_support.h"

namespace shredder {
namespace {

// ---------------------------------------------------------------------------------------------
// split_path

struct SplitCase {
  std::string name;
  std::vector<std::string> segments;
};

class SplitPath : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitPath, InvertsTheJoiningRule) {
  EXPECT_EQ(split_path(GetParam().name), GetParam().segments) << "name: " << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitPath,
    ::testing::Values(SplitCase{"root_a_b", {"root", "a", "b"}},
                      SplitCase{"root___txn_id", {"root", "__txn_id"}},
                      SplitCase{"root__b", {"root", "_b"}},
                      SplitCase{"root_a__b_c", {"root", "a", "_b", "c"}},
                      SplitCase{"_a_b", {"a", "b"}},
                      SplitCase{"__a", {"_a"}},
                      SplitCase{"___a_b", {"__a_b"}},
                      SplitCase{"", {}},
                      SplitCase{"root", {"root"}},
                      SplitCase{"_", {""}},
                      SplitCase{"root_", {"root", ""}},
                      SplitCase{"a__", {"a", "_"}},
                      SplitCase{"a___", {"a", "__"}},
                      SplitCase{"root____x__y_z", {"root", "___x__y_z"}},
                      SplitCase{"root_a__b__c", {"root", "a", "_b", "_c"}},
                      SplitCase{"root_items__idx", {"root", "items", "_idx"}}));

// ---------------------------------------------------------------------------------------------
// Tables built by hand

using testing::B;
using testing::D;
using testing::I;
using testing::S;

Atom N() { return Atom{}; }

struct Col {
  std::string name;
  std::vector<Atom> atoms;
};

// How the columns of a hand-built table are held: columns that expose their atoms through
// `storage` (the engine's owning columns, or a test column for atoms of mixed alternatives,
// as a reader of an atoms batch may hold), or read-only views that expose no storage (as an
// Arrow-backed column may), so that atoms are read through `at`.
enum class Flavour { kOwning, kViewEmptyStorage, kViewThrowingStorage };

class TestColumn final : public IColumn {
 public:
  TestColumn(std::vector<Atom> atoms, Flavour flavour)
      : atoms_(std::move(atoms)), flavour_(flavour) {}
  Kind kind() const override { return Kind::Scalar; }
  std::uint64_t size() const override { return atoms_.size(); }
  Atom at(std::uint64_t i) const override {
    if (i >= atoms_.size()) throw std::out_of_range("TestColumn::at");
    return atoms_[i];
  }
  void push(Atom) override { throw std::logic_error("TestColumn is read-only"); }
  std::span<Atom> storage() override {
    if (flavour_ == Flavour::kViewThrowingStorage) throw std::logic_error("no storage");
    if (flavour_ == Flavour::kViewEmptyStorage) return {};
    return atoms_;
  }

 private:
  std::vector<Atom> atoms_;
  Flavour flavour_;
};

std::unique_ptr<IColumn> MakeColumn(const std::vector<Atom>& atoms, Flavour flavour) {
  bool has_string = false;
  bool has_other = false;
  for (const Atom& a : atoms) {
    has_string |= std::holds_alternative<std::string>(a);
    has_other |= a.index() != 0 && !std::holds_alternative<std::string>(a);
  }
  if (flavour != Flavour::kOwning || (has_string && has_other)) {
    return std::make_unique<TestColumn>(atoms, flavour);
  }
  auto column = IColumn::Make(has_string ? IColumn::Kind::String : IColumn::Kind::Scalar,
                              atoms.size());
  for (const Atom& a : atoms) column->push(a);
  return column;
}

ShredResult MakeTable(const std::vector<Col>& cols, Flavour flavour = Flavour::kOwning) {
  ShredResult table;
  for (const Col& c : cols) {
    table.headers.push_back(c.name);
    table.columns.push_back(MakeColumn(c.atoms, flavour));
  }
  return table;
}

// A faithful text form for failure output and comparison: kinds stay distinguishable (1 and
// 1.0d, "1" and 1) and NaN compares equal to itself.
std::string Dump(const Value& v);

std::string Dump(const Object& o) {
  std::string out = "{";
  for (const auto& [key, value] : o) {
    if (out.size() > 1) out += ",";
    out += "\"" + key + "\":" + Dump(value);
  }
  return out + "}";
}

std::string Dump(const Value& v) {
  switch (kind_of(v)) {
    case Kind::Null: return "null";
    case Kind::Bool: return std::get<bool>(v.data) ? "true" : "false";
    case Kind::Int64: return std::to_string(std::get<std::int64_t>(v.data));
    case Kind::Double: {
      const double d = std::get<double>(v.data);
      return std::isnan(d) ? "nan" : std::to_string(d) + "d";
    }
    case Kind::String: return "\"" + std::get<std::string>(v.data) + "\"";
    case Kind::Array: {
      std::string out = "[";
      for (const Value& e : std::get<Array>(v.data)) {
        if (out.size() > 1) out += ",";
        out += Dump(e);
      }
      return out + "]";
    }
    case Kind::Object: return Dump(std::get<Object>(v.data));
  }
  return "?";
}

std::string Dump(const std::vector<Object>& docs) {
  std::string out;
  for (const Object& d : docs) out += Dump(d) + "\n";
  return out;
}

using testing::Obj;
Value Arr(Array a) { return Value(std::move(a)); }

// ---------------------------------------------------------------------------------------------
// Rebuilding: cases that must give documents, and cases that must fail with a runtime error.

struct UnshredCase {
  std::string label;
  std::vector<Col> cols;
  std::vector<Object> expected;  // when `error` is empty
  std::string error = "";
};

class Unshred : public ::testing::TestWithParam<std::tuple<UnshredCase, Flavour>> {};

TEST_P(Unshred, RebuildsOrFails) {
  const auto& [c, flavour] = GetParam();
  const ShredResult table = MakeTable(c.cols, flavour);
  if (!c.error.empty()) {
    try {
      Shredder().Unshred(table);
      FAIL() << "no failure";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
    return;
  }
  EXPECT_EQ(Dump(Shredder().Unshred(table)), Dump(c.expected));
}

const Atom kT = S("t");

std::vector<UnshredCase> RebuildCases() {
  return {
      // Three rows as `Shred` writes them for {id: 7, items: [{n: 1}, {n: 2}], tags: [x, y]}.
      // Both index columns have depth 2; the sort by root_tags__idx runs last and decides,
      // so row 1 (null there) comes first: the order is 1, 0, 2. The probes show that order:
      // the last row holding an atom wins, root_p1 is row 0's and root_p2 is row 2's.
      {"WorkedExampleRowOrder102",
       {{"root_id", {I(7), I(7), I(7)}},
        {"root_items", {N(), N(), N()}},
        {"root_items__idx", {I(0), I(1), I(0)}},
        {"root_items_n", {I(1), I(2), I(1)}},
        {"root_tags", {S("x"), N(), S("y")}},
        {"root_tags__idx", {I(0), N(), I(1)}},
        {"root___txn_id", {kT, kT, kT}},
        {"root_p1", {S("row0"), S("row1"), N()}},
        {"root_p2", {S("row0"), N(), S("row2")}}},
       {Object{{"__txn_id", "t"},
               {"id", 7},
               {"items", Arr({Obj({{"n", 1}}), Obj({{"n", 2}})})},
               {"p1", "row0"},
               {"p2", "row2"},
               {"tags", Arr({"x", "y"})}}}},
      // Rows of one transaction form one document wherever they stand; the later row in
      // sorted order wins a shared member.
      {"GroupsByTransactionAscending",
       {{"root___txn_id", {S("t1"), S("t2"), S("t1")}}, {"root_a", {I(1), I(2), I(3)}}},
       {Object{{"__txn_id", "t1"}, {"a", 3}}, Object{{"__txn_id", "t2"}, {"a", 2}}}},
      // Rows of one transaction apart from each other are gathered, then ordered by their
      // index atoms; rows equal in all keys keep their table order, so the later one wins.
      {"ScatteredTransactionRowsOrderedByIndex",
       {{"root___txn_id", {S("t2"), S("t1"), S("t2"), S("t1"), S("t1")}},
        {"root_a__idx", {I(1), I(0), I(0), I(1), I(0)}},
        {"root_a", {S("x"), S("a"), S("y"), S("b"), S("c")}}},
       {Object{{"__txn_id", "t1"}, {"a", Arr({"c", "b"})}},
        Object{{"__txn_id", "t2"}, {"a", Arr({"y", "x"})}}}},
      {"IntegerTransactionBeforeString",
       {{"root___txn_id", {S("s"), I(9)}}, {"root_a", {I(1), I(2)}}},
       {Object{{"__txn_id", 9}, {"a", 2}}, Object{{"__txn_id", "s"}, {"a", 1}}}},
      // 1 and 1.0 are different transactions; NaN rows form one document, after the numbers.
      {"DoubleTransactionsNaNGroupsTogether",
       {{"root___txn_id", {D(NAN), I(1), D(1.0), D(NAN), D(-0.0), D(0.0)}},
        {"root_a", {I(1), I(2), I(3), I(4), I(5), I(6)}}},
       {Object{{"__txn_id", 1}, {"a", 2}}, Object{{"__txn_id", 0.0}, {"a", 6}},
        Object{{"__txn_id", 1.0}, {"a", 3}}, Object{{"__txn_id", NAN}, {"a", 4}}}},
      // Rows of a document repeat most atoms; a repeated placement may only be left out
      // when it cannot change the document. Here row 1 turns the array under a into an
      // object, and row 2, whose atoms for root_a_b equal row 0's, must turn it back.
      {"RepeatedAtomsPlacedAgainAfterAContainerWasReplaced",
       {{"root___txn_id", {kT, kT, kT}},
        {"root_x__idx", {I(0), I(1), I(2)}},
        {"root_x", {I(10), I(11), I(12)}},
        {"root_a__idx", {I(0), N(), I(0)}},
        {"root_a_b", {I(1), N(), I(1)}},
        {"root_a_c", {N(), I(5), N()}}},
       {Object{{"__txn_id", "t"}, {"a", Arr({Obj({{"b", 1}})})}, {"x", Arr({10, 11, 12})}}}},
      // Two columns that reach the same member: the repeated atom of the first one still
      // overwrites what the second one wrote in the row before.
      {"RepeatedAtomOfAColumnSharingItsPlace",
       {{"root___txn_id", {kT, kT}}, {"root_a", {I(1), I(1)}}, {"a", {I(2), N()}}},
       {Object{{"__txn_id", "t"}, {"a", 1}}}},
      // -0.0 orders equal to 0.0 but is another value: the later row's sign stands.
      {"RepeatedZeroOfTheOtherSign",
       {{"root___txn_id", {kT, kT}}, {"root_a", {D(0.0), D(-0.0)}}},
       {Object{{"__txn_id", "t"}, {"a", -0.0}}}},
      {"NullAtomsAreNeverPlaced",
       {{"root___txn_id", {kT, kT}},
        {"root_a", {N(), N()}},
        {"root_b", {N(), N()}},
        {"root_b__idx", {I(0), I(1)}},
        {"root_c", {N(), N()}},
        {"root_c__idx", {I(0), I(1)}},
        {"root_c_x", {N(), N()}}},
       {Object{{"__txn_id", "t"}}}},
      {"SparseIndicesLeaveNullFillers",
       {{"root___txn_id", {kT, kT}}, {"root_a", {S("x"), S("y")}}, {"root_a__idx", {I(2), I(0)}}},
       {Object{{"__txn_id", "t"}, {"a", Arr({"y", nullptr, "x"})}}}},
      {"NegativeIndexDropsTheAtom",
       {{"root___txn_id", {kT, kT}}, {"root_a", {S("x"), S("y")}}, {"root_a__idx", {I(-1), I(-1)}}},
       {Object{{"__txn_id", "t"}}}},
      {"StringIndexDropsTheAtom",
       {{"root___txn_id", {kT}}, {"root_a", {I(1)}}, {"root_a__idx", {S("0")}}},
       {Object{{"__txn_id", "t"}}}},
      {"DoubleAndBoolIndicesDropTheAtom",
       {{"root___txn_id", {kT, kT}}, {"root_a", {I(1), I(2)}}, {"root_a__idx", {D(0.0), B(false)}}},
       {Object{{"__txn_id", "t"}}}},
      // The array and its first element exist before the deeper index stops the atom.
      {"StoppedAtomKeepsWhatItCreated",
       {{"root___txn_id", {kT}},
        {"root_a__idx", {I(0)}},
        {"root_a_b", {I(1)}},
        {"root_a_b__idx", {I(-1)}}},
       {Object{{"__txn_id", "t"}, {"a", Arr({Obj({})})}}}},
      {"NullIndexReadsAnObjectPath",
       {{"root___txn_id", {kT}}, {"root_a__idx", {N()}}, {"root_a_b", {I(1)}}},
       {Object{{"__txn_id", "t"}, {"a", Obj({{"b", 1}})}}}},
      {"RootAndEmptyNamesAreNeverPlaced",
       {{"root___txn_id", {kT}}, {"root", {I(5)}}, {"", {I(6)}}},
       {Object{{"__txn_id", "t"}}}},
      {"NameWithoutRootIsReadFromTheDocument",
       {{"root___txn_id", {kT}}, {"a_b", {I(1)}}, {"_c", {I(2)}}},
       {Object{{"__txn_id", "t"}, {"a", Obj({{"b", 1}})}, {"c", 2}}}},
      // The data key k__idx is taken for an index column: never placed, and it makes k an
      // array path.
      {"DataKeyEndingWithIdxIsAnIndex",
       {{"root___txn_id", {kT}}, {"root_k__idx", {I(1)}}, {"root_k_v", {I(1)}}},
       {Object{{"__txn_id", "t"}, {"k", Arr({nullptr, Obj({{"v", 1}})})}}}},
      {"UnderscoreKeysSplitIntoObjects",
       {{"root___txn_id", {kT}},
        {"root_a_b", {I(1)}},
        {"root_a__b_c", {I(2)}},
        {"root___obj_id", {S("o")}}},
       {Object{{"__obj_id", "o"},
               {"__txn_id", "t"},
               {"a", Obj({{"_b", Obj({{"c", 2}})}, {"b", 1}})}}}},
      // Deeper arrays sort first, so the shallower array's index decides first: rows come in
      // the order 2, 1, 0 (a index 0, 0, 1; then b index 0, 1), and row 0 writes the probe last.
      {"ShallowerArrayIndexDecidesFirst",
       {{"root___txn_id", {kT, kT, kT}},
        {"root_a__idx", {I(1), I(0), I(0)}},
        {"root_a_b", {S("v0"), S("v1"), S("v2")}},
        {"root_a_b__idx", {I(0), I(1), I(0)}},
        {"root_p", {S("row0"), S("row1"), S("row2")}}},
       {Object{{"__txn_id", "t"},
               {"a", Arr({Obj({{"b", Arr({"v2", "v1"})}}), Obj({{"b", Arr({"v0"})}})})},
               {"p", "row0"}}}},
      {"FirstIndexColumnOfAPathNumbersIt",
       {{"root___txn_id", {kT}},
        {"root_a__idx", {I(0)}},
        {"root_a__idx", {I(2)}},
        {"root_a", {S("x")}}},
       {Object{{"__txn_id", "t"}, {"a", Arr({"x"})}}}},
      {"NoRowsGiveNoDocuments", {{"root___txn_id", {}}, {"root_a", {}}}, {}},
      // Mended: root___txn_id is the transaction column even when another column ending with
      // "__txn_id" comes first (an array of objects under a key sorting before "__txn_id").
      // The second document has no Items and holds null in root_Items___txn_id.
      {"RootTransactionColumnPreferred",
       {{"root_Items", {N(), N(), N()}},
        {"root_Items__idx", {I(0), I(1), N()}},
        {"root_Items___txn_id", {S("i0"), S("i1"), N()}},
        {"root_Items_n", {I(1), I(2), N()}},
        {"root___txn_id", {S("d1"), S("d1"), S("d2")}}},
       {Object{{"Items", Arr({Obj({{"__txn_id", "i0"}, {"n", 1}}),
                              Obj({{"__txn_id", "i1"}, {"n", 2}})})},
               {"__txn_id", "d1"}},
        Object{{"__txn_id", "d2"}}}},
      // Without root___txn_id the first column ending with "__txn_id" decides; the others are
      // placed as ordinary columns.
      {"FirstTxnColumnWithoutRootOne",
       {{"root_x___txn_id", {S("b"), S("a")}}, {"root_y___txn_id", {S("y1"), S("y2")}}},
       {Object{{"x", Obj({{"__txn_id", "a"}})}, {"y", Obj({{"__txn_id", "y2"}})}},
        Object{{"x", Obj({{"__txn_id", "b"}})}, {"y", Obj({{"__txn_id", "y1"}})}}}},
      // Mended: a scalar never replaces an object. {retweeted: false, retweeted_status: {id: 5,
      // ids: [62, 63]}} collides at root_retweeted; whatever the row order, the object stays
      // whole and only the scalar is lost (before, the array came back as [null, 63]).
      {"ScalarNeverReplacesObjectMember",
       {{"root___txn_id", {kT, kT}},
        {"root_retweeted", {B(false), B(false)}},
        {"root_retweeted_status_id", {I(5), I(5)}},
        {"root_retweeted_status_ids", {I(62), I(63)}},
        {"root_retweeted_status_ids__idx", {I(0), I(1)}}},
       {Object{{"__txn_id", "t"},
               {"retweeted", Obj({{"status", Obj({{"id", 5}, {"ids", Arr({62, 63})}})}})}}}},
      {"ScalarNeverReplacesObjectMemberRowsReversed",
       {{"root___txn_id", {kT, kT}},
        {"root_retweeted", {B(false), B(false)}},
        {"root_retweeted_status_id", {I(5), I(5)}},
        {"root_retweeted_status_ids", {I(63), I(62)}},
        {"root_retweeted_status_ids__idx", {I(1), I(0)}}},
       {Object{{"__txn_id", "t"},
               {"retweeted", Obj({{"status", Obj({{"id", 5}, {"ids", Arr({62, 63})}})}})}}}},
      // Row 0 makes element 0 of items an object; row 1's scalar for the same element, placed
      // after it, is dropped.
      {"ScalarNeverReplacesObjectElement",
       {{"root___txn_id", {kT, kT}},
        {"root_items", {N(), I(9)}},
        {"root_items__idx", {I(0), I(0)}},
        {"root_items_n", {I(1), N()}}},
       {Object{{"__txn_id", "t"}, {"items", Arr({Obj({{"n", 1}})})}}}},
      // Arrays of equal depth: root_b sorts last and decides first, so row 1 (b index 1, null a
      // index) comes after row 0 made a an array; its scalar y is dropped, a stays [x].
      {"ScalarNeverReplacesArrayMember",
       {{"root___txn_id", {kT, kT}},
        {"root_a", {S("x"), S("y")}},
        {"root_a__idx", {I(0), N()}},
        {"root_b", {S("p"), S("q")}},
        {"root_b__idx", {I(0), I(1)}}},
       {Object{{"__txn_id", "t"}, {"a", Arr({"x"})}, {"b", Arr({"p", "q"})}}}},
      // Failures.
      {"NullTransactionFails",
       {{"root___txn_id", {kT, N()}}, {"root_a", {I(1), I(2)}}},
       {},
       "Shredder::Unshred: null __txn_id encountered"},
      // The first transaction column holds null although another one holds a value.
      {"NullInFirstTxnColumnFails",
       {{"root_x___txn_id", {N()}}, {"root_y___txn_id", {S("y")}}},
       {},
       "Shredder::Unshred: null __txn_id encountered"},
      {"MissingTransactionColumnFails",
       {{"root_a", {I(1)}}, {"root_txn_id", {I(1)}}},
       {},
       "Shredder::Unshred: missing __txn_id column"},
      {"NoColumnsFails", {}, {}, "Shredder::Unshred: missing __txn_id column"},
      // Mended: one cell may not make the call allocate without bound.
      {"HugeIndexFailsAtOnce",
       {{"root___txn_id", {kT}}, {"root_a", {I(1)}}, {"root_a__idx", {I(1'000'000'000'000'000)}}},
       {},
       "Shredder::Unshred: array index out of range at root_a"},
      {"HugeIndexUnderArrayOfObjectsNamesThePlacedColumn",
       {{"root___txn_id", {kT}},
        {"root_a__idx", {I(std::numeric_limits<std::int64_t>::max())}},
        {"root_a_b", {I(1)}}},
       {},
       "Shredder::Unshred: array index out of range at root_a_b"},
  };
}

std::string UnshredCaseName(const ::testing::TestParamInfo<Unshred::ParamType>& info) {
  static const char* const kFlavours[] = {"Owning", "ViewEmptyStorage", "ViewThrowingStorage"};
  return std::get<0>(info.param).label + "_" +
         kFlavours[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Cases, Unshred,
                         ::testing::Combine(::testing::ValuesIn(RebuildCases()),
                                            ::testing::Values(Flavour::kOwning,
                                                              Flavour::kViewEmptyStorage,
                                                              Flavour::kViewThrowingStorage)),
                         UnshredCaseName);

// ---------------------------------------------------------------------------------------------
// Failures that are not runtime errors of the shredder's own

TEST(UnshredFailure, HeadersColumnsSizeMismatch) {
  ShredResult table = MakeTable({{"root___txn_id", {kT}}, {"root_a", {I(1)}}});
  table.headers.push_back("root_b");
  try {
    Shredder().Unshred(table);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Shredder::Unshred: headers/columns size mismatch");
  }
}

struct ShortColumnCase {
  std::string label;
  std::vector<Col> cols;
  Flavour flavour;
  std::string text;
};

class ShortColumn : public ::testing::TestWithParam<ShortColumnCase> {};

// A column shorter than the first fails with its own out-of-range text, whether it is a data
// column, an index column read while sorting, or the transaction column of a single row.
TEST_P(ShortColumn, FailsWithTheColumnsOwnText) {
  const ShortColumnCase& c = GetParam();
  const ShredResult table = MakeTable(c.cols, c.flavour);
  try {
    Shredder().Unshred(table);
    FAIL();
  } catch (const std::exception& e) {  // the test's own column throws a standard type
    EXPECT_EQ(std::string(e.what()), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShortColumn,
    ::testing::Values(
        ShortColumnCase{"DataColumn",
                        {{"root___txn_id", {kT, kT}}, {"root_a", {S("x")}}},
                        Flavour::kOwning,
                        "StringColumn::at"},
        ShortColumnCase{"IndexColumnWhileSorting",
                        {{"root___txn_id", {S("a"), S("b")}}, {"root_a__idx", {I(0)}}},
                        Flavour::kOwning,
                        "ScalarColumn::at"},
        ShortColumnCase{"IndexColumnOfAView",
                        {{"root___txn_id", {S("a"), S("b")}}, {"root_a__idx", {I(0)}}},
                        Flavour::kViewThrowingStorage,
                        "TestColumn::at"},
        ShortColumnCase{"TransactionColumnOfOneRow",
                        {{"root_a", {I(1)}}, {"root___txn_id", {}}},
                        Flavour::kOwning,
                        "ScalarColumn::at"},
        // Documents are ordered by transaction: the first failure in that order is the one
        // reported (root_y lacks row 2, which comes first; root_x lacks rows 1 and 2).
        ShortColumnCase{"FirstFailureInTransactionOrder",
                        {{"root___txn_id", {S("t3"), S("t2"), S("t1")}},
                         {"root_y", {I(1), I(2)}},
                         {"root_x", {S("a")}}},
                        Flavour::kOwning,
                        "ScalarColumn::at"},
        ShortColumnCase{"IndexColumnOfOneRow",
                        {{"root___txn_id", {kT}}, {"root_b__idx", {}}},
                        Flavour::kOwning,
                        "ScalarColumn::at"}),
    [](const auto& info) { return info.param.label; });

// ---------------------------------------------------------------------------------------------
// Mended: array slots are bounded by the table's cells plus 1,048,576 over the whole call.

constexpr std::int64_t kAllowance = 1 << 20;
const std::string kTooDeep = "Shredder::Unshred: column name nested too deeply at ";

TEST(UnshredSlots, OneDocumentMayUseTheWholeAllowance) {
  // 1 row x 3 columns: 3 + 2^20 slots; index 3 + 2^20 - 1 needs exactly that many.
  const ShredResult table = MakeTable(
      {{"root___txn_id", {kT}}, {"root_a", {I(1)}}, {"root_a__idx", {I(3 + kAllowance - 1)}}});
  const std::vector<Object> docs = Shredder().Unshred(table);
  ASSERT_EQ(docs.size(), 1u);
  const Array& a = std::get<Array>(docs[0].at("a").data);
  ASSERT_EQ(a.size(), static_cast<std::size_t>(3 + kAllowance));
  EXPECT_EQ(a.back(), Value(1));
  EXPECT_EQ(a.front(), Value(nullptr));
}

TEST(UnshredSlots, CountedOverTheWholeCall) {
  // 2 rows x 3 columns allow 6 + 2^20 slots. Two documents of (6 + 2^20) / 2 slots each fit;
  // one slot more each does not, although either document alone would fit.
  const std::int64_t half = (6 + kAllowance) / 2;
  const ShredResult fits = MakeTable({{"root___txn_id", {S("t1"), S("t2")}},
                                      {"root_a", {I(1), I(2)}},
                                      {"root_a__idx", {I(half - 1), I(half - 1)}}});
  EXPECT_EQ(Shredder().Unshred(fits).size(), 2u);
  const ShredResult over = MakeTable({{"root___txn_id", {S("t1"), S("t2")}},
                                      {"root_a", {I(1), I(2)}},
                                      {"root_a__idx", {I(half), I(half)}}});
  try {
    Shredder().Unshred(over);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Shredder::Unshred: array index out of range at root_a");
  }
}

// ---------------------------------------------------------------------------------------------
// Mended: depth. Names of more than kMaxNestingDepth + 1 segments (root plus one key per
// level of the deepest accepted document) are refused; the deepest accepted ones rebuild and
// release on a 1 MiB stack.

std::string DeepName(int segments, const std::string& suffix = "") {
  std::string name = "root";
  for (int i = 1; i < segments; ++i) name += "_k";
  return name + suffix;
}

TEST(UnshredDepth, HundredThousandSegmentsRefusedOnSmallStack) {
  const std::string name = DeepName(100'000);
  testing::RunWithStack(testing::kOneMiB, [&] {
    const ShredResult table = MakeTable({{"root___txn_id", {kT}}, {name, {I(1)}}});
    try {
      Shredder().Unshred(table);
      FAIL();
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), kTooDeep + name);
    }
  });
}

TEST(UnshredDepth, LimitIsCountedInSegments) {
  const std::string deepest = DeepName(kMaxNestingDepth + 1);
  EXPECT_EQ(Shredder().Unshred(MakeTable({{"root___txn_id", {kT}}, {deepest, {I(1)}}})).size(), 1u);
  const std::string over = DeepName(kMaxNestingDepth + 2);
  const ShredResult refused = MakeTable({{"root___txn_id", {kT}}, {over, {I(1)}}});
  try {
    Shredder().Unshred(refused);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), kTooDeep + over);
  }
  // An index column is a column name like any other.
  const std::string index = DeepName(kMaxNestingDepth + 1, "__idx");
  ASSERT_EQ(split_path(index).size(), static_cast<std::size_t>(kMaxNestingDepth + 2));
  const ShredResult refused_index = MakeTable({{"root___txn_id", {kT}}, {index, {I(0)}}});
  try {
    Shredder().Unshred(refused_index);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), kTooDeep + index);
  }
}

TEST(UnshredDepth, DeepestArraysOfObjectsRebuildOnSmallStack) {
  // A leaf of kMaxNestingDepth - 1 segments under arrays of objects at every level below root:
  // the rebuilt document nests an array and an object per level.
  const int segments = kMaxNestingDepth - 1;
  std::vector<Col> cols = {{"root___txn_id", {kT}}, {DeepName(segments), {S("leaf")}}};
  for (int s = 2; s <= segments; ++s) cols.push_back({DeepName(s, "__idx"), {I(0)}});
  ASSERT_EQ(split_path(cols.back().name).size(), static_cast<std::size_t>(kMaxNestingDepth));

  testing::RunWithStack(testing::kOneMiB, [&] {
    const ShredResult table = MakeTable(cols);
    std::vector<Object> docs = Shredder().Unshred(table);
    ASSERT_EQ(docs.size(), 1u);
    ASSERT_EQ(docs[0].size(), 2u);
    EXPECT_EQ(docs[0].at("__txn_id"), Value("t"));
    // Walked level by level: {k: [{k: [... ["leaf"]]}]}, one array and one object per level.
    const Object* level = &docs[0];
    for (int s = 2; s <= segments; ++s) {
      const Value& member = level->at("k");
      ASSERT_TRUE(std::holds_alternative<Array>(member.data)) << "level " << s;
      const Array& array = std::get<Array>(member.data);
      ASSERT_EQ(array.size(), 1u) << "level " << s;
      if (s == segments) {
        EXPECT_EQ(array[0], Value("leaf"));
        break;
      }
      ASSERT_TRUE(std::holds_alternative<Object>(array[0].data)) << "level " << s;
      level = &std::get<Object>(array[0].data);
      ASSERT_EQ(level->size(), 1u) << "level " << s;
    }
    docs.clear();  // released on the small stack too
  });
}

}  // namespace
}  // namespace shredder
