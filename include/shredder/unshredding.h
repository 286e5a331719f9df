#pragma once

// Rebuilding documents from columns held in Arrow's memory layout, read where they lie: for a
// caller that has an atoms batch and need not make an atom of every cell first.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "shredder/document_codec.h"
#include "shredder/error.h"
#include "shredder/exact_plan.h"
#include "shredder/value.h"

namespace arrow {
class RecordBatch;
}  // namespace arrow

namespace shredder::unshredding {

/// One column of an atoms table as the buffers of an Arrow array of one of the accepted
/// types (no Arrow types are needed here). Cell i is at position `offset + i` of the buffers.
struct RawColumn {
  enum class Type : std::uint8_t { Null, Bool, Int64, Double, Utf8, LargeUtf8 };
  Type type = Type::Null;
  std::int64_t offset = 0;
  /// One bit per position, set for a valid cell; without it every cell is valid, or every
  /// cell is null when `all_null` is set.
  const std::uint8_t* validity = nullptr;
  bool all_null = false;
  /// Bool: one bit per position; Int64 and Double: 8 bytes per position.
  const std::uint8_t* values = nullptr;
  /// Utf8: 32-bit offsets; LargeUtf8: 64-bit offsets, into `data`.
  const void* offsets = nullptr;
  const char* data = nullptr;
};

/// How the columns of a table are read, beyond their names.
struct ColumnLayout {
  /// `keys` and `role` say which member the column holds; otherwise its name does.
  bool keyed = false;
  /// The column numbering every row by its document: rows are grouped into documents by it
  /// (in ascending order), and it is never placed.
  bool document = false;
  std::vector<std::string> keys;  ///< a rescue column's end with "__rest"
  ColumnRole role = ColumnRole::Value;
};

struct UnshredLayout {
  /// One per column; empty when no column has more than its name.
  std::vector<ColumnLayout> columns;
  /// Whether the stamps "__txn_id" and "__obj_id" stay in the rebuilt objects.
  bool stamps = true;
};

/// What `codec.FromDom` returns for the documents of a table whose column i is named
/// `headers[i]`, is read from `columns[i]` and holds `rows` cells (the documents
/// `Shredder::Unshred` rebuilds from a ShredResult with the same names and the atoms of those
/// cells), or throws what either of them would throw first. For the JSON text codec each document is written as text as
/// soon as it is rebuilt, and no `Object` is made.
///
/// With a `layout`: keyed columns are placed by their keys, the others by their names; with a
/// document column, documents are grouped by it and come back in its order, and every
/// object's rescued members (its rescue column's JSON text) are put back as they came in,
/// after the stamps are dropped when `layout->stamps` is false (rescued members of a stamp's
/// key are then given back too; with the stamps they stay under the stamps).
///
/// With `refused`, a document that cannot be rebuilt or written is left out instead of
/// failing the call, and its error, carrying the table row of its first atom, goes there in
/// document order (`Controller::unshred` with refusals).
std::shared_ptr<arrow::RecordBatch> UnshredToBatch(const DocumentCodec& codec,
                                                   const std::vector<std::string>& headers,
                                                   const std::vector<RawColumn>& columns,
                                                   std::uint64_t rows,
                                                   const UnshredLayout* layout = nullptr,
                                                   std::vector<Error>* refused = nullptr);

}  // namespace shredder::unshredding
