#pragma once

// The reserved parts of atoms column names, in one place. A column's name is its member's
// path under "root", the keys joined by "_"; the keys and suffixes below mark the columns that
// are not a plain member's values, and unshredding reads a name back by the same marks.

#include <string_view>

namespace shredder {

/// The first segment of every column name: the document itself.
inline constexpr std::string_view kRootSegment = "root";

/// Member keys that the Tagger writes and leaves out of every digest.
inline constexpr std::string_view kTxnIdKey = "__txn_id";
inline constexpr std::string_view kObjIdKey = "__obj_id";

/// The member exact mode adds to an object holding the compact JSON text of the members the
/// columns cannot hold (an object whose members key, in the columns, is read back by it).
inline constexpr std::string_view kRestKey = "__rest";

/// The end of a column holding an array's element positions.
inline constexpr std::string_view kIndexSuffix = "__idx";

/// The ends of the columns of those members: the joining "_" and the key.
inline constexpr std::string_view kTxnIdSuffix = "___txn_id";
inline constexpr std::string_view kObjIdSuffix = "___obj_id";
inline constexpr std::string_view kRestSuffix = "___rest";

/// The root's transaction stamp, the column that groups the rows into documents.
inline constexpr std::string_view kRootTxnName = "root___txn_id";

/// Exact atoms number every row by the input row of its document, so that documents come back
/// in input order and repeats stay apart.
inline constexpr std::string_view kDocumentColumn = "__doc";

}  // namespace shredder
