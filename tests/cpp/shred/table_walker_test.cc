#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "shredder/serialization.h"
#include "shredder/shredder.h"
#include "shredder/shredding.h"

// The walker that the Controller merges from gives, document after document, exactly the
// tables that Shredder::Shred gives for each document alone, although it keeps its buffers
// and name numbers between documents.

namespace shredder::shredding {
namespace {

Object Doc(const std::string& text) { return JsonSerialization().ToDom(text); }

// A table read back as header names and rows of atoms (no entry reads as null).
struct Table {
  std::vector<std::string> headers;
  std::vector<std::vector<Atom>> rows;
  friend bool operator==(const Table&, const Table&) = default;
};

Atom ToAtom(Cell cell) {
  switch (AtomKindOf(cell)) {
    case Kind::Null: return Atom{};
    case Kind::Int64:
      if (IsIndexCell(cell)) return Atom{IndexOf(cell)};
      return Atom{std::get<std::int64_t>(LeafOf(cell).data)};
    case Kind::Bool: return Atom{std::get<bool>(LeafOf(cell).data)};
    case Kind::Double: return Atom{std::get<double>(LeafOf(cell).data)};
    default: return Atom{std::get<std::string>(LeafOf(cell).data)};
  }
}

Table FromWalker(const TableWalker& walker, const DocumentTable& table) {
  Table out;
  for (std::uint32_t id : table.headers) out.headers.push_back(walker.name(id));
  // A table without columns records no rows, as a result without columns has none.
  if (table.headers.empty()) return out;
  for (std::size_t r = 0; r < table.row_count; ++r) {
    auto& row = out.rows.emplace_back();
    for (std::size_t h = 0; h < table.headers.size(); ++h) {
      const auto& cells = table.rows[r];
      row.push_back(ToAtom(h < cells.size() ? cells[h] : kNoCell));
    }
  }
  return out;
}

Table FromShred(const Object& document) {
  const ShredResult result = Shredder().Shred(document);
  Table out{result.headers, {}};
  const std::uint64_t rows = result.columns.empty() ? 0 : result.columns[0]->size();
  for (std::uint64_t r = 0; r < rows; ++r) {
    auto& row = out.rows.emplace_back();
    for (const auto& column : result.columns) row.push_back(column->at(r));
  }
  return out;
}

// Documents of changing shapes, fed to one walker in this order: shared names at other
// positions, names met again after documents without them, more and fewer rows than the
// document before, and documents with no columns at all.
const std::vector<std::string> kSequence = {
    R"({"id": 1, "tags": ["x", "y", "z"], "items": [{"n": 1}, {"n": 2, "m": "a"}]})",
    R"({"items": [{"m": "b"}], "id": 2})",
    R"({})",
    R"({"z": {"deep": {"er": [true, false]}}, "tags": ["only"]})",
    R"({"a": {}, "b": []})",
    R"({"__txn_id": "t", "A": [1, 2], "items": [{"n": 3}, {"n": 4}, {"n": 5}], "id": 3})",
    R"({"id": 1, "tags": ["x", "y", "z"], "items": [{"n": 1}, {"n": 2, "m": "a"}]})",
    R"({"a_b": 1, "a": {"c": 2}, "x": [{"a_b": 1}, {"a": {"b": 2}}]})",
};

TEST(TableWalker, GivesTheTablesOfShredDocumentAfterDocument) {
  TableWalker walker;
  for (const std::string& text : kSequence) {
    const Object document = Doc(text);
    const DocumentTable& table = walker.Walk(document);
    EXPECT_EQ(FromWalker(walker, table), FromShred(document)) << text;
    // Rows past the table's own are spare buffers; the table always has its top-level row.
    EXPECT_GE(table.rows.size(), table.row_count);
    EXPECT_GE(table.row_count, 1u);
  }
}

TEST(TableWalker, KeepsTheNumberOfANameInLaterDocuments) {
  TableWalker walker;
  const Object first = Doc(R"({"a": 1, "b": 2})");
  const std::vector<std::uint32_t> first_ids = walker.Walk(first).headers;
  const Object second = Doc(R"({"b": 3, "c": 4})");
  const std::vector<std::uint32_t> second_ids = walker.Walk(second).headers;
  ASSERT_EQ(first_ids.size(), 2u);
  ASSERT_EQ(second_ids.size(), 2u);
  EXPECT_EQ(second_ids[0], first_ids[1]);
  EXPECT_EQ(walker.name(second_ids[0]), "root_b");
  EXPECT_EQ(walker.name(second_ids[1]), "root_c");
}

// The same failures as Shred, and the walker is usable again after one.
TEST(TableWalker, FailsAsShredDoesAndRecovers) {
  struct Case {
    const char* document;
    const char* message;
  };
  const std::vector<Case> cases = {
      {R"({"a": [{"b": "x"}, {"b": 1}]})", "StringColumn::push: only null or string allowed"},
      {R"({"a__idx": "s", "a": [1, 2]})",
       "Shredder::Shred: member /a__idx maps to column root_a__idx, which is read back as an "
       "array index"},
      {R"({"a": [1, 2.5]})", "Shredder::Shred: array elements are not homogeneous at /a"},
      {R"({"a": [[1]]})", "Shredder::Shred: nested arrays are not supported at /a"},
      {R"({"k": [{"a": {"b": 1}}], "k_a_b": 2})",
       "Shredder::Shred: members /k/a/b and /k_a_b both map to column root_k_a_b"},
      {R"({"": 1})",
       "Shredder::Shred: member / has the empty key, so its value would be written under its "
       "parent's name root"},
  };
  TableWalker walker;
  for (const Case& c : cases) {
    const Object document = Doc(c.document);
    std::string walked;
    std::string shredded;
    try {
      walker.Walk(document);
    } catch (const std::exception& e) {
      walked = e.what();
    }
    try {
      (void)Shredder().Shred(document);
    } catch (const std::exception& e) {
      shredded = e.what();
    }
    EXPECT_EQ(walked, c.message) << c.document;
    EXPECT_EQ(shredded, c.message) << c.document;
    const Object good = Doc(R"({"k": [{"v": 1}, {"v": 2}]})");
    EXPECT_EQ(FromWalker(walker, walker.Walk(good)), FromShred(good));
  }
}

}  // namespace
}  // namespace shredder::shredding
