#pragma once

// How unshredding reads a table's columns as paths: which column groups the rows into
// documents, and for every other column the steps from the document's root to the place of
// its atoms, either read from its name or, in a layout, from the keys the column holds.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "shred/row_order.h"
#include "shredder/unshredding.h"

namespace shredder::unshredding {

inline constexpr std::uint64_t kNoIndexColumn = std::numeric_limits<std::uint64_t>::max();

// One segment of a placed column's path: the member key it names (and the key's rank in byte
// order among all keys) and, when the path up to and including it is an array path, the
// index column that numbers that array.
struct Step {
  std::string key;
  std::uint64_t index_column;
  // Numbers the whole path up to and including this step (keys and index columns): two steps
  // of the same number lead, in one row, to the same place.
  std::uint32_t prefix;
  std::uint32_t rank = 0;
};

// How one column's atoms are placed: its steps are `steps[first_step, end_step)`; a column
// that is never placed (index columns, "root", the empty name) has no steps. `repeatable`
// tells that placing an atom again, as the last placement of this column put it, may be
// skipped (see `DocumentPlacement::BuildDocuments`).
struct ColumnPlan {
  std::string_view name;
  std::uint64_t column;
  std::size_t first_step;
  std::size_t end_step;
  bool repeatable;
};

/// "root___txn_id" when present: the member of the document itself. Otherwise the first
/// column ending with "__txn_id". Throws `Error` "Shredder::Unshred: missing
/// __txn_id column" when there is none.
std::uint64_t FindTransactionColumn(const std::vector<std::string>& headers);

/// The column that groups rows into documents: the document column of a layout, or else the
/// transaction column.
std::uint64_t GroupingColumn(const std::vector<std::string>& headers,
                             const UnshredLayout* layout);

/// The plans of every column of a table, made once per call. The steps' keys, and the views
/// of `keys()`, live as long as the plans; the plans' names view `headers`.
class ColumnPlans {
 public:
  /// Reads every column by its name, or, with a `layout` (which must name every column),
  /// as the layout says. Throws `Error` "Shredder::Unshred: column name nested
  /// too deeply at NAME" for a path deeper than the documents accepted.
  ColumnPlans(const std::vector<std::string>& headers, const UnshredLayout* layout);
  ColumnPlans(const ColumnPlans&) = delete;
  ColumnPlans& operator=(const ColumnPlans&) = delete;

  /// Marks the plans that may skip repeating their last placement; `in_place[c]` tells that
  /// column c is read in place for every row.
  void MarkRepeatablePlans(const std::vector<bool>& in_place);

  const std::vector<ColumnPlan>& plans() const { return plans_; }
  const std::vector<Step>& steps() const { return steps_; }
  const std::vector<IndexColumnRef>& index_refs() const { return index_refs_; }
  /// The distinct keys of all steps in byte order: the ranks of the steps.
  const std::vector<std::string_view>& keys() const { return keys_; }
  /// By key rank: the stamps' keys, which JSON text leaves out when the stamps are dropped.
  std::vector<bool> StampRanks() const;
  /// Whether some column holds rescued members, and the key they are placed under.
  bool has_rests() const { return has_rests_; }
  const std::string& rest_marker() const { return rest_marker_; }

 private:
  void BuildPlans(const std::vector<std::string>& headers);
  void BuildKeyedPlans(const std::vector<std::string>& headers,
                       const std::vector<ColumnLayout>& layout);
  void RankKeys();

  std::vector<IndexColumnRef> index_refs_;
  std::vector<Step> steps_;
  std::vector<ColumnPlan> plans_;
  std::vector<std::string_view> keys_;
  std::string rest_marker_;
  bool has_rests_ = false;
};

}  // namespace shredder::unshredding
