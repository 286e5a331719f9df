#pragma once

// The key lists that atoms columns carry as Arrow field metadata, so that a column is read
// back as the member it holds and not by splitting its name at "_". Columns without them
// (atoms written before, or a name that two key lists share in a batch) are read by the name.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shredder/column_names.h"
#include "shredder/shredding.h"
#include "shredder/exact_plan.h"

namespace arrow {
class Field;
class KeyValueMetadata;
}  // namespace arrow

namespace shredder::controller_internal {

/// Field metadata keys: a JSON array of the member keys of the column's path below the root
/// (an index column's are its array's, a rescue column's its object's), and the column's role
/// when it holds no member's value: "index", "rest" or "document".
inline constexpr std::string_view kKeysField = "shredder.keys";
inline constexpr std::string_view kRoleField = "shredder.role";
inline constexpr std::string_view kIndexRole = "index";
inline constexpr std::string_view kRestRole = "rest";
inline constexpr std::string_view kDocumentRole = "document";


/// The metadata of a column the walk learned `info` of: none for an ambiguous name, or keys
/// that cannot be written as JSON text (ill-formed UTF-8).
std::shared_ptr<const arrow::KeyValueMetadata> ColumnMetadata(const shredding::NameInfo& info);
/// The metadata of the document column.
std::shared_ptr<const arrow::KeyValueMetadata> DocumentMetadata();

/// A column as its metadata describes it.
struct ColumnPath {
  bool keyed = false;              ///< `keys` and `role` come from the metadata
  bool document = false;           ///< the document column
  std::vector<std::string> keys;  ///< a rescue column's keys end with "__rest"
  ColumnRole role = ColumnRole::Value;
};

/// Reads a field's metadata; a field without it, or with metadata it cannot read, is not keyed.
ColumnPath ReadColumnPath(const arrow::Field& field);

}  // namespace shredder::controller_internal
