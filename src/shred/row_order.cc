#include "shred/row_order.h"

namespace shredder::unshredding {

std::vector<std::uint64_t> SortPassColumns(std::vector<IndexColumnRef> refs,
                                           std::uint64_t txn_column) {
  std::stable_sort(refs.begin(), refs.end(), [](const IndexColumnRef& a, const IndexColumnRef& b) {
    if (a.depth != b.depth) return a.depth > b.depth;
    return a.base_path < b.base_path;
  });
  std::vector<std::uint64_t> passes;
  passes.reserve(refs.size() + 1);
  for (const IndexColumnRef& ref : refs) passes.push_back(ref.column);
  passes.push_back(txn_column);
  return passes;
}

}  // namespace shredder::unshredding
