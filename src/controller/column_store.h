#pragma once

// The atoms batch while documents are merged into it: one sparse column per name, holding
// only the cells that documents supplied, unconverted.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "controller/controller_internal.h"
#include "shredder/cell_view.h"
#include "shredder/shredding.h"
#include "shredder/coerce_policy.h"
#include "shredder/exact_plan.h"
#include "shredder/tagger.h"
#include "shredder/value.h"

namespace shredder::controller_internal {

// A stretch of consecutive batch rows that one document gave a column.
struct Run {
  std::int64_t row;
  std::size_t count;
};

// One column of the atoms batch while documents are merged. Only the cells that documents
// supplied are stored; the rows in between are nulls, produced again when the column is
// converted, so a column that few documents have costs nothing in the others' rows. A
// supplied cell is kept unconverted as its atom alternative and an 8-byte payload (the bool,
// the integer, the double's bits, or for a string the end of its bytes in `text`, where the
// strings follow one another), not as an owned atom. Consecutive rows of one document that
// hold the same leaf (a member above an array, copied into every row of its elements) are
// stored once, with a repeat count.
struct MergedColumn {
  // An entry that stands for `count` consecutive rows.
  struct Repeat {
    std::size_t entry;
    std::uint64_t count;
  };

  const std::string* name = nullptr;  // the walker's name text, stable for the whole call
  std::uint32_t name_id = 0;          // the walker's number of the name
  Kind kind = Kind::Null;             // settled so far by the policy's resolver
  std::uint8_t kinds_seen = 0;        // KindBit of every kind supplied
  std::vector<Kind> kinds;            // kind of every entry, in row order
  std::vector<std::uint64_t> payloads;
  std::vector<Repeat> repeats;        // entries that stand for more than one row, in order
  std::string text;
  std::uint64_t string_bytes = 0;     // bytes of all string cells, repeats included
  std::uint64_t last_text_length = 0;  // bytes of the last string entry
  std::vector<Run> runs;              // where the supplied cells sit, in row order

  // Gives up the stored cells once the column is built; their buffers go to the columns of
  // a later batch (see column_store.cc).
  void release();
};

// Reads a column's supplied cells back in row order, each as a `CellView`.
class CellReader {
 public:
  explicit CellReader(const MergedColumn& column) : column_(column) {}

  // The current entry.
  shredding::CellView view() const {
    const Kind kind = column_.kinds[next_];
    const std::uint64_t payload = column_.payloads[next_];
    if (kind != Kind::String) return shredding::CellView{kind, payload, {}};
    // The entries' ends rise through `text`, so the bytes lie within it.
    return shredding::CellView{
        kind, 0, std::string_view(column_.text.data() + text_start_, payload - text_start_)};
  }
  // The number of consecutive rows the current entry stands for.
  std::uint64_t count() const {
    return next_repeat_ < column_.repeats.size() && column_.repeats[next_repeat_].entry == next_
               ? column_.repeats[next_repeat_].count
               : 1;
  }
  // Moves to the next entry.
  void advance() {
    if (column_.kinds[next_] == Kind::String) text_start_ = column_.payloads[next_];
    if (next_repeat_ < column_.repeats.size() && column_.repeats[next_repeat_].entry == next_) {
      ++next_repeat_;
    }
    ++next_;
  }

 private:
  const MergedColumn& column_;
  std::size_t next_ = 0;
  std::size_t next_repeat_ = 0;
  std::size_t text_start_ = 0;
};

// Calls, in row order over `total_rows` rows, `filler(n)` for every stretch of n rows the
// column has no cell in and `cell(view)` for every row of a supplied cell.
template <typename Filler, typename Cell>
void ForEachRow(const MergedColumn& column, std::int64_t total_rows, Filler&& filler,
                  Cell&& cell) {
  CellReader reader(column);
  std::int64_t row = 0;
  for (const Run& run : column.runs) {
    if (row < run.row) filler(run.row - row);
    for (std::size_t left = run.count; left > 0; reader.advance()) {
      const std::uint64_t count = reader.count();
      const shredding::CellView view = reader.view();
      for (std::uint64_t i = 0; i < count; ++i) cell(view);
      left -= count;
    }
    row = run.row + static_cast<std::int64_t>(run.count);
  }
  if (row < total_rows) filler(total_rows - row);
}

// The kind the shipped policy's resolver settles on for a column, from the set of kinds it
// received (the order does not matter for that policy).
inline Kind BoxedKind(std::uint8_t kinds_seen) {
  using shredding::KindBit;
  // Nulls give way to any kind.
  const unsigned present = kinds_seen & ~unsigned{KindBit(Kind::Null)};
  if (present == 0) return Kind::Null;
  if ((present & (present - 1)) == 0) return static_cast<Kind>(std::countr_zero(present));
  if (present == (KindBit(Kind::Int64) | KindBit(Kind::Double))) return Kind::Double;
  return Kind::String;
}

/// `StampAccess::Compute`, as the stamps the walker takes.
shredding::Stamps ComputeStamps(Tagger& tagger, Object& document);

/// Walks `document` as `tagger.modify` would leave it, with the same failures: the stamps are
/// computed beside the document and walked from there, and written into it only when the walk
/// refuses it or must measure it (the refusal then comes from the stamped document, as
/// without this shortcut). `txn_id` is set to the root's `__txn_id` stamp, or to null when the
/// Tagger leaves the root unstamped (the root's own members then stand). `tagger` must not be in debug mode.
const shredding::DocumentTable& WalkTagged(shredding::TableWalker& walker,
                                                Object& document, Tagger& tagger,
                                                const Value*& txn_id);

/// Working state of one shred call: the walker that shreds each document, and the merged
/// columns. Failures throw through `Fail` or pass the walker's exceptions unchanged.
class Merger {
 public:
  /// `boxing`: `policy` is the shipped one, applied inline (see `Controller::KnownParts`). In
  /// exact mode the documents are those exact mode's Normalizer leaves (see `TableWalker`),
  /// and every document's rows are numbered by its input row.
  Merger(const CoercePolicy& policy, bool boxing, bool exact = false);

  /// Shreds one document and appends the rows of its table.
  void add(const Object& document);

  /// The same for `document` as `tagger.modify` would leave it, with the same failures:
  /// the stamps are computed beside the document and walked from there, and written into it
  /// only when the walk refuses it or must measure it (the refusal then comes from the
  /// stamped document, as without this shortcut). `tagger` must not be in debug mode.
  void add(Object& document, Tagger& tagger);

  /// Exact mode: shreds `document` with `stamps` walked beside it (written into it when the
  /// walk must measure it) and numbers its rows by `row`.
  void add_exact(Object& document, const shredding::Stamps& stamps, std::int64_t row);

  /// Exact mode: what the batch merged so far needs a plan for that `plan` lacks: names made
  /// by several key lists, with their owners, and columns of several kinds. Empty when the
  /// batch can be built as it is.
  ExactPlan findings(const ExactPlan& plan) const;

  /// The documents' input rows, and how many atom rows each gave, in order (exact mode).
  const std::vector<Run>& document_rows() const { return document_rows_; }
  bool exact() const { return exact_; }
  const shredding::TableWalker& walker() const { return walker_; }

  // Refuses the batch once its columns, padded to full length, would pass the cell bound, or
  // once they are more than a shred makes.
  // Columns are stored sparsely while documents are merged; the padding comes only when they
  // are built.
  void check_size() const {
    CheckCells(static_cast<std::uint64_t>(total_rows_), columns_.size(),
                "shred fewer documents per batch");
    CheckColumns(columns_.size());
  }

  /// The merged columns, in order of first registration.
  std::vector<MergedColumn>& columns() { return columns_; }
  const std::vector<MergedColumn>& columns() const { return columns_; }
  /// Rows merged so far.
  std::int64_t total_rows() const { return total_rows_; }
  /// The most rows, and the most columns, of one document's table so far.
  std::size_t tallest_document() const { return tallest_document_; }
  std::size_t widest_document() const { return widest_document_; }
  /// Whether the shipped policy is applied inline (its resolver at the end, by `BoxedKind`).
  bool boxing() const { return boxing_; }
  const CoercePolicy& policy() const { return policy_; }

 private:
  static constexpr std::uint32_t kNoId = UINT32_MAX;

  // Appends the rows of the table of the document just walked.
  void append(const shredding::DocumentTable& table);
  // The column of a name number, registering a new name at the end of the column order.
  std::uint32_t column_id(std::uint32_t name);
  // Records that the column has `count` more rows, starting at the current total.
  void extend_runs(MergedColumn& column, std::size_t count);
  // The shipped policy, whose resolver is applied at the end: the table is read row by row,
  // in the order it lies in memory.
  void append_rows(const shredding::DocumentTable& table);
  // Any other policy: the kind of every header of `table` once its cells are merged
  // (`settled_`), asking the resolver for every atom after the column's first, column by
  // column as the policy expects to be asked. Throws before anything is stored.
  void settle_kinds(const shredding::DocumentTable& table);
  // Then the cells of header j, the column taking its settled kind.
  void append_column(MergedColumn& column, const shredding::DocumentTable& table,
                     std::size_t j, Kind settled);

  const CoercePolicy& policy_;
  const bool boxing_;  // the shipped policy, applied inline
  const bool exact_;
  shredding::TableWalker walker_;
  std::vector<Run> document_rows_;
  std::vector<MergedColumn> columns_;       // in order of first registration
  std::vector<std::uint32_t> column_of_name_;  // by the walker's name number
  std::vector<std::uint32_t> ids_;             // the columns of the current document's headers
  std::vector<MergedColumn*> targets_;
  std::vector<Kind> settled_;  // by header of the current document, for any other policy
  std::int64_t total_rows_ = 0;
  std::size_t tallest_document_ = 0;
  std::size_t widest_document_ = 0;
};

}  // namespace shredder::controller_internal
