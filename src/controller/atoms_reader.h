#pragma once

// Arrow arrays of an atoms batch read as atoms: the one reader of atoms columns, in place.

#include <cstdint>
#include <vector>

#include "shredder/unshredding.h"
#include "shredder/atom_column.h"

namespace arrow {
class Array;
}

namespace shredder::controller_internal {

/// An atoms batch column as buffers to read in place; they stay valid while `array` lives.
/// A null, boolean, int64, float64, utf8 or large utf8 column is read as that type. A column
/// of any other type throws `Error` "Controller: unshred: unsupported atom column
/// type: " followed by the type's text at its first valid cell, and reads as all null when it
/// has none.
unshredding::RawColumn ReadRawColumn(const arrow::Array& array);

}  // namespace shredder::controller_internal

namespace shredder {

/// Reads the first `rows` cells of an atoms batch column (rows <= array.length()) into
/// atoms, through `ReadRawColumn` (with its types and failure): a null cell gives the null
/// atom whatever the type; a valid cell gives the atom of its type's alternative (string bytes
/// copied).
std::vector<Atom> ReadAtomColumn(const arrow::Array& array, std::int64_t rows);

}  // namespace shredder
