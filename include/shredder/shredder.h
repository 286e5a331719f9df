#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "shredder/error.h"
#include "shredder/atom_column.h"
#include "shredder/value.h"

namespace shredder {

/// Flattens documents into tables of atoms and rebuilds documents from such tables.
/// Stateless; both operations are const and may run concurrently.
class Shredder {
 public:
  /// Flattens one document into a table whose column names are paths beginning with "root"
  /// and whose rows come from unrolling arrays. Never changes `document`.
  /// Throws `Error` ("Shredder::Shred: ...") for arrays it cannot flatten ("nested
  /// arrays are not supported at /m"), for members whose values would be lost ("members
  /// /labels/url and /labels_url both map to column root_labels_url" when a member would
  /// write a cell another member filled; "member /tags__idx maps to column root_tags__idx,
  /// which is read back as an array index", likewise for columns ending in "___obj_id" or
  /// "___txn_id" other than the stamps "__obj_id" and "__txn_id"; "member /a/ has the empty
  /// key, so its value would be written under its parent's name root_a"), and
  /// `Error` from a column when one name holds strings and non-strings.
  ShredResult Shred(const Object& document) const;

  /// Rebuilds the documents of a table, grouped by the transaction column and returned in
  /// ascending order of their transaction atoms. Throws `Error`
  /// ("Shredder::Unshred: ...") and passes column errors through.
  std::vector<Object> Unshred(const ShredResult& table) const;
};

/// Splits a column name into path segments, the inverse of the joining rule of `Shred`
/// (runs of underscores introduce keys that start with underscores).
std::vector<std::string> split_path(std::string_view name);

}  // namespace shredder
