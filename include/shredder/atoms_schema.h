#pragma once

// What an atoms schema's field metadata tells about the columns of a dataset: the key list
// each column holds, and which key list keeps a name that several parts give to different
// members.

#include <string>
#include <unordered_map>
#include <vector>

#include "shredder/error.h"

namespace arrow {
class Schema;
}  // namespace arrow

namespace shredder {

/// For every name that fields of `fields` with different key lists share (several fields may
/// have one name), the index of the field whose key list keeps the name, by `OwnerOf`. Fields
/// without key lists, and the document column, take no part. In the order of the names' first
/// fields.
std::vector<int> ColumnOwners(const arrow::Schema& fields);

/// Exact mode's owners (column name to the code of the key list that keeps it) from fields
/// that carry their key lists, one field a name. Throws `Error` naming a field
/// without a key list, or a name given twice.
std::unordered_map<std::string, std::string> OwnedNames(const arrow::Schema& owners);

}  // namespace shredder
