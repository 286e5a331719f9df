#pragma once

// Rebuilding documents from columns held in Arrow's memory layout, read where they lie: for a
// caller that has an atoms batch and need not make an atom of every cell first.

#include <cstdint>
#include <string>
#include <vector>

#include "shredder/value.h"

namespace shredder::unshred_internal {

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

/// Rebuilds the documents of a table whose column i is named `headers[i]`, is read from
/// `columns[i]` and holds `rows` cells: exactly what `Shredder::Unshred` returns, or throws,
/// for a ShredResult with the same names and the atoms of those cells.
std::vector<Object> Unshred(const std::vector<std::string>& headers,
                            const std::vector<RawColumn>& columns, std::uint64_t rows);

}  // namespace shredder::unshred_internal
