#pragma once

// Building blocks of ArrowDomCodec, shared with its tests.

#include <arrow/status.h>
#include <arrow/type_fwd.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "shredder/integer_literals.h"
#include "shredder/value.h"

namespace shredder::arrow_dom {

/// The value of cell `i` of `array`. A cell that Arrow reports as null is null whatever the
/// type; otherwise booleans, integers of every width (an unsigned 64-bit value above the int64
/// range becomes the nearest double), float and double, string and large string, list and large list, struct (the
/// first of two equally named fields wins) are read, reading the offsets and validity of
/// every array on the way. `depth` is the nesting level a list or struct cell would occupy
/// (a document's root is at 1).
/// Throws `Error` "ArrowDomCodec: unsupported Arrow type: <type>" for a non-null
/// cell of any other type, and "ArrowDomCodec: nesting depth exceeds <limit>" for a non-null
/// list or struct cell deeper than kMaxNestingDepth.
/// Compiles the array's readers (`ArrayReader`) for this one cell; ArrowDomCodec keeps them
/// for all rows of a batch instead.
Value cell_to_value(const arrow::Array& array, std::int64_t i, int depth = 1);

/// The output type accumulated over values. It starts as the null type; `merge` folds in the
/// type of one more value: null gives way to anything, int64 and float64 meet in float64
/// (with `literals`, an integer above the int64 range and integers of zero or more meet in
/// uint64), structs gain the union of their fields (kept in ascending order of name, merged
/// field by field), lists merge their element types (an array contributes every element) and
/// on any other disagreement the earlier type stays.
class MergedType {
 public:
  MergedType();
  ~MergedType();
  MergedType(MergedType&&) noexcept;
  MergedType& operator=(MergedType&&) noexcept;

  /// Folds the type of `value` into this type. Recursion follows `value` only.
  void merge(const Value& value);
  /// Folds the type of a document (a struct) into this type.
  void merge(const Object& document, const IntegerLiterals* literals = nullptr);
  /// The Arrow type: null, bool, int64, float64 (double), utf8, list or struct of nullable
  /// fields without metadata.
  std::shared_ptr<arrow::DataType> to_arrow() const;

  /// One node of the type tree.
  struct Node;

 private:
  std::unique_ptr<Node> root_;
};

/// The Arrow type of one value (a list's element type is merged over all its elements; an
/// empty list is a list of null).
std::shared_ptr<arrow::DataType> infer_arrow_type(const Value& value);

/// A new builder for `type` on Arrow's default memory pool, shaped as Arrow's generic builder
/// factory shapes it (one child builder per list element and struct field), built here for
/// the types of `MergedType` with far less stack per nesting level than the factory uses.
arrow::Status make_builder(const std::shared_ptr<arrow::DataType>& type,
                           std::shared_ptr<arrow::ArrayBuilder>* out);

/// Appends `value` to `builder`, which was made for `type`: null appends a null to any
/// builder; bool, int64, float64 (which also takes an int64, converted to the nearest double)
/// and utf8 builders take only their own kind and throw `ArrowKindConflict` for another (its
/// path names the struct fields between `value` and the conflicting one);
/// a list builder takes an array element by element (any other kind gives an empty list); a
/// struct builder takes an object member by field name (missing members are null, members
/// without a field are ignored, any other kind gives null in every field). Returns the first
/// failed Arrow status, for instance TypeError "Unsupported builder type: <type>" for a
/// non-null value on a builder of any other type (in practice the null type).
arrow::Status append_value(arrow::ArrayBuilder* builder, const arrow::DataType& type,
                           const Value& value, const IntegerLiterals* literals = nullptr);

/// `append_value` of a document held as an `Object`, on a struct builder made for `type`.
arrow::Status append_object(arrow::StructBuilder* builder, const arrow::StructType& type,
                            const Object& document, const IntegerLiterals* literals = nullptr);

/// What `literals` records under the member `key`, when anything.
inline const IntegerLiterals* member_of(const IntegerLiterals* literals, std::string_view key) {
  return literals != nullptr ? literals->member(key) : nullptr;
}

/// Whether `literals` records, for the value itself, an integer a uint64 holds; it is then
/// in `number`.
bool unsigned_literal(const IntegerLiterals* literals, std::uint64_t& number);

/// The texts of the integers above the int64 range in the uint64 cells of row `row` of a
/// struct column, by their place in the document `ArrayReader` reads of that row (the first
/// field of a name, as the reader keeps). Empty for a type without uint64.
IntegerLiterals read_literals(const arrow::Array& column, std::int64_t row);

}  // namespace shredder::arrow_dom
