#pragma once

// Helpers that the units of the Controller share: its failure text and the cell bound of an
// atoms batch.

#include <cstdint>
#include <string>
#include <string_view>

#include "shredder/error.h"

namespace shredder::controller_internal {

/// Throws `Error` "Controller: " followed by `detail`.
[[noreturn]] void Fail(ErrorCode code, std::string_view detail, std::string path = {});

/// Every column of an atoms batch has a cell in every row, so documents with many distinct
/// keys make rows x columns grow with the square of the batch (1,000 documents of 1,000 keys
/// of their own give 1e9 cells from 10 MB of text). Batches are refused beyond this many
/// cells, in both directions, before any column is built or read; a batch shredded within the
/// bound can always be unshredded.
inline constexpr std::uint64_t kMaxAtomCells = std::uint64_t{1} << 28;

/// Throws (through `Fail`) "atoms batch too large: R rows x C columns exceeds N cells; "
/// followed by `advice` when rows x columns passes `kMaxAtomCells`.
void CheckCells(std::uint64_t rows, std::uint64_t columns, std::string_view advice);

/// Throws (through `Fail`) "atoms batch too wide: C columns exceed the limit of N columns;
/// shred fewer documents per batch" when a shred's batch passes `kMaxShredColumns`.
void CheckColumns(std::uint64_t columns);

}  // namespace shredder::controller_internal
