#include "modifiers/scalar_digest_cache.h"

#include <cstring>

#include "modifiers/tagger_internal.h"
#include "shredder/short_bytes.h"

namespace shredder::tagger_internal {

void ScalarDigestCache::digest(std::span<const std::uint8_t> head, std::string_view tail,
                               std::uint8_t* out) {
  const std::size_t length = head.size() + tail.size();
  if (length > kMaxKey || hash_bytes_ > kMaxDigest) {
    blake3_digest(head, tail, hash_bytes_, out);
    return;
  }
  std::uint8_t key[kMaxKey] = {};
  shredder_copy_short(key, head.data(), head.size());
  shredder_copy_short(key + head.size(), reinterpret_cast<const std::uint8_t*>(tail.data()),
                      tail.size());
  if (slots_.empty()) slots_.resize(kSlots);
  Slot& slot = slots_[SlotOf(key, length)];
  if (slot.length == length + 1 && std::memcmp(slot.key, key, kMaxKey) == 0) {
    copy_digest(out, slot.digest);
    return;
  }
  blake3_digest({key, length}, {}, hash_bytes_, out);
  std::memcpy(slot.key, key, kMaxKey);
  slot.length = static_cast<std::uint8_t>(length + 1);
  copy_digest(slot.digest, out);
}

std::size_t ScalarDigestCache::SlotOf(const std::uint8_t* key, std::size_t length) {
  std::uint64_t h = length * 0x9E3779B97F4A7C15u;
  for (std::size_t i = 0; i < kMaxKey; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, key + i, sizeof word);
    h = (h ^ word) * 0xBF58476D1CE4E5B9u;
    h ^= h >> 31;
  }
  return static_cast<std::size_t>(h) & (kSlots - 1);
}

}  // namespace shredder::tagger_internal
