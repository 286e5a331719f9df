#pragma once

// The walk behind `Shredder::Shred`, for a caller that merges many documents: it leaves each
// document's table as cells that point into the document instead of owned atoms, and keeps
// its buffers and the column names it has met from one document to the next.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "shredder/error.h"
#include "shredder/exact_plan.h"
#include "shredder/value.h"

namespace shredder::shredding {

/// One cell of a document table, one word wide. 0: the row has no entry for the column.
/// Even: the address of the leaf value in the document (values are at least 2-aligned).
/// Odd: an array position p, stored as 2p+1.
using Cell = std::uintptr_t;

inline constexpr Cell kNoCell = 0;

/// The cells of a document's table, and the bytes of its column names, that a document may
/// fill whatever its size; beyond them its bounds grow with its values (and key bytes).
inline constexpr std::uint64_t kFreeDocumentCells = std::uint64_t{1} << 20;
inline constexpr std::uint64_t kFreeDocumentNameBytes = std::uint64_t{1} << 24;

/// The most columns a shred makes, for one document's table and for one batch's merged
/// columns (the values and ids; exact atoms add their document numbers). Each column
/// costs kilobytes wherever the batch goes (its Arrow arrays, a Parquet column chunk and its
/// metadata), so a few megabytes of distinct keys would otherwise ask for gigabytes. Atoms
/// batches with more columns, written before, are still unshredded.
inline constexpr std::uint64_t kMaxShredColumns = std::uint64_t{1} << 16;

inline bool IsIndexCell(Cell cell) { return (cell & 1) != 0; }
inline std::int64_t IndexOf(Cell cell) { return static_cast<std::int64_t>(cell >> 1); }
inline const Value& LeafOf(Cell cell) { return *reinterpret_cast<const Value*>(cell); }

/// The atom kind a cell stands for: Null (also no entry), Bool, Int64 (every index), Double
/// or String.
inline Kind AtomKindOf(Cell cell) {
  if (cell == kNoCell) return Kind::Null;
  if (IsIndexCell(cell)) return Kind::Int64;
  const std::size_t index = LeafOf(cell).data.index();
  return index <= static_cast<std::size_t>(Kind::String) ? static_cast<Kind>(index) : Kind::Null;
}

/// The table of the last walked document, exactly the table `Shredder::Shred` would return:
/// `headers[j]` is the name number of column j (columns in first-registration order) and
/// `rows[r][j]` the cell of row r, for r below `row_count`; a row shorter than the headers
/// has no entry in the columns past its end. Rows past `row_count` are spare buffers.
struct DocumentTable {
  std::vector<std::uint32_t> headers;
  std::vector<std::vector<Cell>> rows;
  std::size_t row_count = 0;
};

/// The stamps the Tagger would write into a document, kept beside it instead: `objects` are
/// the objects it would stamp, in the order a depth-first walk in key order enters them (the
/// root first when it is stamped), `obj_ids[i]` the "__obj_id" text of `objects[i]`, and
/// `txn_id` the "__txn_id" text of all of them. The values stay alive and unchanged while
/// the cells of a table walked with them are read.
struct Stamps {
  std::span<const Object* const> objects;
  std::span<const Value> obj_ids;
  const Value* txn_id = nullptr;
};

/// Thrown by a walk with `Stamps` where only the stamped document can decide: the caller
/// writes the stamps into the document and walks it again.
struct NeedsStampedDocument {};

/// What a walk learned of a column name: the keys of the path that first made it (from the
/// document's root; array elements add none; an index column has its array's keys, a
/// stamp's or a rescue column's end with "__txn_id", "__obj_id" or "__rest") and its role;
/// and whether other key lists made it too, which are then listed.
struct NameInfo {
  std::vector<std::string> keys;
  ColumnRole role = ColumnRole::Value;
  bool underscored = false;  // some key of `keys` holds "_": only then can another list clash
  bool ambiguous = false;
  std::vector<std::pair<std::vector<std::string>, ColumnRole>> others;
};

/// Shreds documents one after another into `DocumentTable`s. Column names are numbered in
/// the order they are first met over the walker's life, so a name keeps its number in every
/// document. Not thread-safe; one walker per merging call.
class TableWalker {
 public:
  /// In exact mode the walk takes the documents exact mode's Normalizer leaves: members
  /// "__rest" are rescue columns, and two members of different key lists that meet in one
  /// cell, or a column of strings and other scalars, are only noted (`NameInfo::ambiguous`,
  /// the column's kinds), for the batch to be walked again with a plan that rescues them.
  explicit TableWalker(bool exact = false);
  ~TableWalker();
  TableWalker(const TableWalker&) = delete;
  TableWalker& operator=(const TableWalker&) = delete;

  /// Shreds `document` and returns its table, valid until the next `Walk`; its leaf cells
  /// point into `document`, which must stay alive and unchanged while they are read. Throws
  /// what `Shredder::Shred` throws for the document, with the same texts and in the same
  /// order (`Error` "StringColumn::push: only null or string allowed" for a
  /// name that holds strings and other scalars).
  const DocumentTable& Walk(const Object& document);

  /// The same walk of `document` as it would stand with `stamps` written into it (each
  /// stamped object's members "__obj_id" and "__txn_id" set to its stamps, added or replacing
  /// members of those keys), where the stamp cells point into `stamps`. The table is the one
  /// `Walk` gives for the stamped document. Any exception (NeedsStampedDocument where a bound
  /// must measure the document, or a refusal, whose text may name stamp members) means:
  /// write the stamps and call `Walk`, which then fails or succeeds exactly as it should.
  const DocumentTable& Walk(const Object& document, const Stamps& stamps);

  /// The text of name number `id`; the reference stays valid for the walker's life.
  const std::string& name(std::uint32_t id) const;
  /// What the walks so far learned of name number `id`.
  const NameInfo& info(std::uint32_t id) const;
  /// The number of names met so far.
  std::size_t name_count() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace shredder::shredding
