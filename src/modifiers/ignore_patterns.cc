#include <utility>

#include "modifiers/tagger_internal.h"

namespace shredder::tagger_internal {

void escape_segment(std::string& out, std::string_view key) {
  out.clear();
  for (char c : key) {
    if (c == '~') {
      out += "~0";
    } else if (c == '/') {
      out += "~1";
    } else {
      out += c;
    }
  }
}

std::vector<Pattern> split_ignore_paths(const std::vector<std::string>& ignore_paths) {
  std::vector<Pattern> patterns;
  patterns.reserve(ignore_paths.size());
  for (const std::string& text : ignore_paths) {
    Pattern& pattern = patterns.emplace_back();
    std::size_t begin = 0;
    while (begin <= text.size()) {
      std::size_t end = text.find('/', begin);
      if (end == std::string::npos) end = text.size();
      if (end > begin) pattern.emplace_back(text, begin, end - begin);
      begin = end + 1;
    }
  }
  return patterns;
}

bool match_pattern(const Pattern& pattern, std::span<const std::string> path,
                   std::vector<std::uint8_t>& rows) {
  const std::size_t np = pattern.size();
  const std::size_t nq = path.size();
  // m(i, j) is filled from the last pattern position back; row i needs only row i + 1 and
  // its own later entries, so two rows of |path| + 1 entries hold the whole table.
  rows.assign(2 * (nq + 1), 0);
  std::uint8_t* next = rows.data();
  std::uint8_t* cur = next + nq + 1;
  next[nq] = 1;
  for (std::size_t i = np; i-- > 0;) {
    const std::string& segment = pattern[i];
    if (segment == "**") {
      cur[nq] = next[nq];
      for (std::size_t j = nq; j-- > 0;) cur[j] = next[j] | cur[j + 1];
    } else {
      const bool any = segment == "*";
      cur[nq] = 0;
      for (std::size_t j = nq; j-- > 0;) {
        cur[j] = next[j + 1] && (any || segment == path[j]) ? 1 : 0;
      }
    }
    std::swap(cur, next);
  }
  return next[0] != 0;
}

}  // namespace shredder::tagger_internal
