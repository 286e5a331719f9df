#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shredder/column_names.h"
#include "shredder/exact_plan.h"
#include "shredder/shredder.h"

namespace shredder {

void AppendKeyCode(std::string& prefix, std::string_view key) {
  const auto length = static_cast<std::uint32_t>(key.size());
  for (int shift = 0; shift < 32; shift += 8) {
    prefix.push_back(static_cast<char>((length >> shift) & 0xFF));
  }
  prefix.append(key);
}

std::string KeyListCode(const std::vector<std::string>& keys, ColumnRole role) {
  std::string code;
  for (const std::string& key : keys) AppendKeyCode(code, key);
  code.push_back(static_cast<char>(role));
  return code;
}

namespace {

// Whether `name` reads back, by the name rule alone, as the path of `keys`.
bool ReadsBackAs(std::string_view name, const std::vector<std::string>& keys, ColumnRole role) {
  if (role == ColumnRole::Index) {
    name.remove_suffix(std::min<std::size_t>(name.size(), kIndexSuffix.size()));
  }
  const std::vector<std::string> segments = split_path(name);
  if (segments.empty() || segments.front() != kRootSegment || segments.size() != keys.size() + 1) {
    return false;
  }
  return std::equal(keys.begin(), keys.end(), segments.begin() + 1);
}

}  // namespace

std::size_t OwnerOf(std::string_view name, const std::vector<KeyList>& candidates) {
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (ReadsBackAs(name, candidates[i].first, candidates[i].second)) return i;
  }
  std::size_t owner = 0;
  std::string owner_code = KeyListCode(candidates[0].first, candidates[0].second);
  for (std::size_t i = 1; i < candidates.size(); ++i) {
    std::string code = KeyListCode(candidates[i].first, candidates[i].second);
    const std::size_t keys = candidates[i].first.size();
    const std::size_t owner_keys = candidates[owner].first.size();
    if (keys < owner_keys || (keys == owner_keys && code < owner_code)) {
      owner = i;
      owner_code = std::move(code);
    }
  }
  return owner;
}

}  // namespace shredder
