#pragma once

// Reading Arrow arrays into documents for ArrowDomCodec: readers compiled once per array from
// its type, then used for every cell.

#include <arrow/type_fwd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "shredder/value.h"

namespace shredder::arrow_dom {

/// The readers of one array and of every array under it, one per array, each chosen once by
/// the array's type and holding the addresses of its validity bitmap, offsets and values.
/// Reading a cell gives exactly what `cell_to_value` gives (the same value, or the same
/// failure, raised at the same point of the walk).
///
/// A reader holds no reference to the arrays, only their addresses and a weak reference to
/// the top array: it may outlive them, but reads only while the caller keeps the top array
/// alive. Safe to share between threads.
class ArrayReader {
 public:
  /// Compiles the readers of `data`, whose cells sit at nesting level `depth` (a document's
  /// root is at 1). Lists and structs below kMaxNestingDepth get readers that refuse any
  /// present cell, so compiling stops there however deep the type goes.
  static std::shared_ptr<const ArrayReader> Compile(const std::shared_ptr<arrow::ArrayData>& data,
                                                    int depth);

  ArrayReader(const ArrayReader&) = delete;
  ArrayReader& operator=(const ArrayReader&) = delete;
  ~ArrayReader();

  /// True when this reader was compiled from `data` (the same array object, still alive).
  bool Reads(const std::shared_ptr<arrow::ArrayData>& data) const noexcept;
  /// The type id of the top array.
  arrow::Type::type type_id() const noexcept;
  /// Arrow's own null test of cell `i` of the top array.
  bool IsNull(std::int64_t i) const;
  /// Writes cell `i` of the top array into `out`, which holds null on entry.
  void Read(std::int64_t i, Value& out) const;

  /// One array's reader.
  struct Node;

 private:
  ArrayReader();

  friend class Compiler;
  friend class CellWalk;
  std::weak_ptr<arrow::ArrayData> source_;
  const arrow::ArrayData* source_address_ = nullptr;
  std::vector<Node> nodes_;                 // nodes_[0] reads the top array.
  std::vector<std::uint32_t> children_;     // the child nodes of every struct, in field order
  std::vector<std::uint32_t> slots_;        // per struct field, its member's place in the struct's
                                            // template (kShadowed for a repeated name)
  std::vector<Object> templates_;           // per struct, its members, all null, ordered by key
  std::size_t stack_capacity_ = 0;          // the fields of all structs read out of order
  // Room for the members of the structs read out of order, lent to one reading at a time (a
  // reading that finds it taken brings its own): a fresh block of that size for every row
  // would make glibc's allocator consolidate its fast bins each time.
  mutable std::vector<Value*> stack_;
  mutable std::atomic_flag stack_taken_;
};

}  // namespace shredder::arrow_dom
