#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "shredder/document_codec.h"
#include "shredder/error.h"

namespace shredder {

namespace arrow_dom {
class ArrayReader;
}

/// A value whose kind does not fit the column type merged over the documents (a string where
/// other documents gave the member an integer): struct columns hold one kind per member. Its
/// text names the member path, as the Normalizer writes paths, and both kinds, and suggests
/// the JSON codec: "ArrowDomCodec: kind conflict at /a/b: string where other documents have
/// int64; a struct column holds one kind per member, use the JSON codec for these documents".
class ArrowKindConflict : public Error {
 public:
  /// `have` is the kind of the value met, `want` the column's type.
  ArrowKindConflict(std::string have, std::string want);
  /// Puts the member `key` in front of the path, as the conflict travels up the document.
  void prepend_member(std::string_view key);

 private:
  void compose();

  std::string member_path_;
  std::string have_;
  std::string want_;
};

/// Codec for a batch holding one struct column; writes documents back as one struct
/// column "doc" whose type is merged across the documents. Immutable in what it does; it
/// keeps the readers it compiled for the last column it read (no reference to the column
/// itself), so that the rows of one batch share them. Safe to use from several threads.
class ArrowDomCodec final : public DocumentCodec {
 public:
  ArrowDomCodec();
  ~ArrowDomCodec() override;

  /// Throws `Error` "ArrowDomCodec: null RecordBatch" for an empty pointer,
  /// "ArrowDomCodec: expected 1 column, got <n>" unless the batch has exactly one column,
  /// "ArrowDomCodec: " and Arrow's text for a malformed column, and "ArrowDomCodec: root value
  /// must be an Object (Struct in Arrow)" for a column of rows that is not a struct.
  void ValidateInput(const std::shared_ptr<arrow::RecordBatch>& batch) const override;
  /// Reads row `row` of column 0 straight from the arrays (offsets and validity included).
  /// Booleans, integers of every width (unsigned 64-bit above the int64 range as the nearest
  /// double), float and double, string and large string, list and large list, struct (the
  /// first of equally named fields wins) and the null type are read; null cells of any type
  /// are null.
  /// Throws `Error` "ArrowDomCodec: root value must be an Object (Struct in Arrow)"
  /// when the column is not a struct or the row is null, "ArrowDomCodec: unsupported Arrow
  /// type: <type>" for a non-null cell of any other type, "ArrowDomCodec: nesting depth
  /// exceeds 512" for lists and structs nested deeper than kMaxNestingDepth, and
  /// `Error` when `row` is outside the column.
  Object ToDom(const std::shared_ptr<arrow::RecordBatch>& batch, std::int64_t row) const override;
  /// A new batch of one nullable column "doc" holding one struct per document, of the type
  /// merged over all documents (null gives way, int64 widens to float64, struct fields are
  /// united in ascending name order, an array's element type is merged over all its
  /// elements, otherwise the earlier type wins); with no documents, a zero-row null-typed
  /// column. Throws `ArrowKindConflict` when a value's kind does not fit its bool, int64,
  /// float64 or utf8 column (its row the document's index), and `Error` "ArrowDomCodec: " +
  /// the Arrow status text when building fails.
  std::shared_ptr<arrow::RecordBatch> FromDom(const std::vector<Object>& documents) const override;
  /// `ToDom`, with the text of every uint64 cell above the int64 range (which the document
  /// holds as the nearest double) in `literals`.
  Object ToDomWithLiterals(const std::shared_ptr<arrow::RecordBatch>& batch, std::int64_t row,
                           IntegerLiterals& literals) const override;
  /// `FromDom`, where an integer of `literals` (above the int64 range, not negative) makes
  /// its column uint64 when every other value there is an integer of zero or more, and is
  /// written as the integer of its text.
  std::shared_ptr<arrow::RecordBatch> FromDomWithLiterals(
      const std::vector<Object>& documents,
      const std::vector<IntegerLiterals>& literals) const override;

 private:
  mutable std::atomic<std::shared_ptr<const arrow_dom::ArrayReader>> reader_;
};

}  // namespace shredder
