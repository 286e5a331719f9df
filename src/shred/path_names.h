#pragma once

// Column names read back as paths: the segments of a name under the splitting rule of
// `split_path`, without copying them.

#include <cstddef>
#include <string_view>

#include "shredder/column_names.h"

namespace shredder::unshredding {


/// Calls `emit` with every segment of `name` under the splitting rule of `split_path`, in
/// order, until `emit` returns false. Every segment is a substring of the name: a run of k
/// underscores ends the segment before it and the next one starts after the run's first
/// underscore, so it keeps the k - 1 others; a run of three or more keeps the rest of the
/// name whole. Returns false when `emit` stopped the walk.
template <typename Emit>
bool ForEachSegment(std::string_view name, Emit&& emit) {
  const std::size_t n = name.size();
  bool first = true;
  // The list never starts with an empty segment (a name that begins with "_", or is empty).
  auto push = [&](std::size_t from, std::size_t to) {
    const bool drop = first && from == to;
    first = false;
    return drop || emit(name.substr(from, to - from));
  };
  std::size_t start = 0;
  std::size_t search = 0;
  while (true) {
    const std::size_t run = name.find('_', search);
    if (run == std::string_view::npos) return push(start, n);
    std::size_t run_end = name.find_first_not_of('_', run);
    if (run_end == std::string_view::npos) run_end = n;
    if (!push(start, run)) return false;
    start = run + 1;
    if (run_end - run >= 3) return push(start, n);
    search = run_end;
  }
}

/// Number of segments of `name`; counting stops once it exceeds `limit`.
std::size_t CountSegments(std::string_view name, std::size_t limit);

}  // namespace shredder::unshredding
