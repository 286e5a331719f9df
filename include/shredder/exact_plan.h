#pragma once

// Exact mode keeps every document whole: what the atoms' columns cannot hold is rescued into
// a text member of its object, "__rest", beside the object's stamps. Most of what must be
// rescued shows in the document itself; two things show only once a whole batch is read,
// and a second pass over the batch rescues them with this plan.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "shredder/column_names.h"
#include "shredder/value.h"

namespace shredder {


/// What a column's cells stand for, beside the keys of its path.
enum class ColumnRole : std::uint8_t {
  Value = 0,  ///< a member's value (a leaf, or the elements of an array of scalars)
  Index = 1,  ///< the positions of an array's elements
  Rest = 2,   ///< an object's rescued members, as JSON text
};

/// A key list with its role as one comparable string: every key as its byte length (4 bytes,
/// little-endian) and bytes, then the role. Two columns share a code exactly when they hold
/// the same member of the same path.
std::string KeyListCode(const std::vector<std::string>& keys, ColumnRole role);
/// The code of `prefix` (keys already coded, no role) extended by `key`.
void AppendKeyCode(std::string& prefix, std::string_view key);

/// A column's key list and role.
using KeyList = std::pair<std::vector<std::string>, ColumnRole>;

/// Which of `candidates` (distinct key lists that all make the column `name`) keeps the name:
/// the one the name reads back as by the name rule, otherwise the one of fewest keys (and the
/// smallest code among those). Chosen by the key lists alone, never by their order, so that
/// every batch and every part of a dataset chooses alike. `candidates` is not empty.
std::size_t OwnerOf(std::string_view name, const std::vector<KeyList>& candidates);

/// What a batch taught that its documents alone do not show.
struct ExactPlan {
  /// Column names that several key lists make in the batch, with the code of the key list
  /// that keeps the name: the one the name reads back as, otherwise the one of fewest keys
  /// (and the smallest code among those). The others' members are rescued.
  std::unordered_map<std::string, std::string> owners;
  /// Columns whose cells are of several kinds, with the kind they settle on (integers widen
  /// to doubles, anything else is boxed to text). A member of another kind keeps its
  /// converted cell in the column, and its value is rescued too.
  std::unordered_map<std::string, Kind> kinds;
  /// Names among `owners` that are a guess (the batch before found them), not yet known to
  /// hold for this batch: the Normalizer notes every member it sets aside for them alone
  /// (`Normalizer::ExactView::guessed`), from which the guess is confirmed or dropped.
  std::unordered_set<std::string> guessed;

  bool empty() const { return owners.empty() && kinds.empty(); }
};

}  // namespace shredder
