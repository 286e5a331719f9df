#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shredder/exact_plan.h"

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

}  // namespace shredder
