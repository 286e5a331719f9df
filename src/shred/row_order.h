#pragma once

// The order in which unshredding reads rows: grouped by transaction atom in ascending order,
// within a document by the index atoms of the arrays (shallow arrays deciding first), as a
// stable sort per index column (deepest first) and a last one by the transaction column
// would leave them.

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "shred/unshred_cells.h"

namespace shredder::unshredding {

/// One index column: the array path it numbers, its column, and the segment count of the
/// path.
struct IndexColumnRef {
  std::string_view base_path;
  std::uint64_t column;
  std::int32_t depth;
};

/// The rows of one document: a range of the sorted row order.
struct RowGroup {
  std::size_t begin;
  std::size_t end;
};

/// The sort passes in the order they run: index columns of deeper arrays first, equal depths
/// by array path, and the transaction column last, so that it decides first.
std::vector<std::uint64_t> SortPassColumns(std::vector<IndexColumnRef> refs,
                                           std::uint64_t txn_column);

/// Orders `rows` rows as the successive stable sorts by each pass column would, reading
/// cells through `readers`, and fills `groups` with the rows of each document in document
/// order. `holds_value[c]` tells whether column c has a non-null cell.
template <typename Row, typename Reader>
std::vector<Row> OrderRows(std::vector<Reader>& readers, const std::vector<std::uint64_t>& passes,
                           std::uint64_t txn_column, const std::vector<bool>& holds_value,
                           std::uint64_t rows, std::vector<RowGroup>& groups) {
  if (rows >= 2) {
    // Every row takes part in some comparison of every pass, so a pass column that lacks a
    // row fails with its own text, the first such column in pass order first.
    for (std::uint64_t column : passes) {
      if (readers[column].size() < rows) readers[column].touch(readers[column].size());
    }
  }
  // Sorting by a column of nulls only changes nothing: its pass is dropped rather than
  // copying the atoms of a column that stores none.
  std::vector<std::uint64_t> kept;
  kept.reserve(passes.size());
  for (std::uint64_t column : passes) {
    if (column == txn_column || holds_value[column]) kept.push_back(column);
  }
  for (std::uint64_t column : kept) readers[column].materialize(rows);

  std::vector<Row> order(rows);
  for (std::uint64_t r = 0; r < rows; ++r) order[r] = static_cast<Row>(r);
  groups.clear();
  if (rows < 2) {
    if (rows == 1) groups.push_back(RowGroup{0, 1});
    return order;
  }

  // The transaction column decides first (it is the last pass), then the index columns.
  // Rows of one transaction mostly stand together, so the stable sort by all of them is
  // done as: the runs of rows of one transaction atom, stably sorted by that atom; the runs
  // of equal atoms joined in that order; each group stably sorted by the index columns.
  // That is the order of one stable sort by all the keys, with one comparison of
  // transaction atoms per run instead of several per row.
  Reader& txn = readers[txn_column];
  std::vector<Reader*> keys;
  keys.reserve(kept.size());
  for (auto it = kept.rbegin() + 1; it != kept.rend(); ++it) keys.push_back(&readers[*it]);
  struct TxnRun {
    Row first;
    Row end;
  };
  std::vector<TxnRun> runs;
  Row start = 0;
  CellView previous = txn.get(0);
  for (std::uint64_t r = 1; r <= rows; ++r) {
    if (r == rows) {
      runs.push_back(TxnRun{start, static_cast<Row>(r)});
      break;
    }
    const CellView current = txn.get(r);
    if (CompareCells(current, previous) != 0) {
      runs.push_back(TxnRun{start, static_cast<Row>(r)});
      start = static_cast<Row>(r);
    }
    previous = current;
  }
  // Already ascending runs (a batch as shred wrote it, documents in a row) need no sort.
  bool sorted = true;
  for (std::size_t i = 1; i < runs.size() && sorted; ++i) {
    sorted = CompareCells(txn.get(runs[i - 1].first), txn.get(runs[i].first)) < 0;
  }
  if (!sorted) {
    std::stable_sort(runs.begin(), runs.end(), [&txn](const TxnRun& a, const TxnRun& b) {
      return CompareCells(txn.get(a.first), txn.get(b.first)) < 0;
    });
  }
  auto by_index = [&keys](Row a, Row b) {
    for (Reader* key : keys) {
      const int c = CompareCells(key->get(a), key->get(b));
      if (c != 0) return c < 0;
    }
    return false;
  };
  std::size_t out = 0;
  for (std::size_t i = 0; i < runs.size();) {
    const std::size_t group = out;
    std::size_t j = i;
    do {
      for (Row r = runs[j].first; r < runs[j].end; ++r) order[out++] = r;
      ++j;
    } while (j < runs.size() &&
             CompareCells(txn.get(runs[j].first), txn.get(runs[i].first)) == 0);
    if (!keys.empty() && out - group > 1) {
      auto first = order.begin() + static_cast<std::ptrdiff_t>(group);
      auto last = order.begin() + static_cast<std::ptrdiff_t>(out);
      // Rows that are already in order (as shred writes them) are left as they are.
      if (!std::is_sorted(first, last, by_index)) std::stable_sort(first, last, by_index);
    }
    groups.push_back(RowGroup{group, out});
    i = j;
  }
  return order;
}

/// The numbers of `groups` (ranges of `order`) in the order of their first rows in the table:
/// the order in which their rows lie in memory.
template <typename Row>
std::vector<std::size_t> GroupsInTableOrder(const std::vector<Row>& order,
                                            const std::vector<RowGroup>& groups) {
  std::vector<std::size_t> by_table_order(groups.size());
  std::vector<Row> first_rows(groups.size());
  bool in_order = true;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    by_table_order[g] = g;
    first_rows[g] =
        *std::min_element(order.begin() + groups[g].begin, order.begin() + groups[g].end);
    in_order = in_order && (g == 0 || first_rows[g - 1] < first_rows[g]);
  }
  if (!in_order) {
    std::sort(by_table_order.begin(), by_table_order.end(),
              [&](std::size_t a, std::size_t b) { return first_rows[a] < first_rows[b]; });
  }
  return by_table_order;
}

}  // namespace shredder::unshredding
