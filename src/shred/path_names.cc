#include "shred/path_names.h"

#include <string>
#include <vector>

#include "shredder/shredder.h"

namespace shredder {

namespace unshredding {

std::size_t CountSegments(std::string_view name, std::size_t limit) {
  std::size_t count = 0;
  ForEachSegment(name, [&](std::string_view) { return ++count <= limit; });
  return count;
}

}  // namespace unshredding

std::vector<std::string> split_path(std::string_view name) {
  std::vector<std::string> segments;
  unshredding::ForEachSegment(name, [&](std::string_view segment) {
    segments.emplace_back(segment);
    return true;
  });
  return segments;
}

}  // namespace shredder
