#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace shredder::tagger_internal {

/// Digests of short scalar encodings, remembered by their encoding: documents repeat many
/// values (flags, small numbers, codes, names from a short list), and a digest depends only on
/// the encoding and the digest length. A direct-mapped table of bounded size; a slot holds the
/// last encoding that hashed to it, compared in full before its digest is used.
class ScalarDigestCache {
 public:
  static constexpr std::size_t kMaxKey = 32;
  static constexpr std::size_t kMaxDigest = 32;

  explicit ScalarDigestCache(std::uint64_t hash_bytes) : hash_bytes_(hash_bytes) {}

  /// Writes the digest of `head` followed by `tail` (hash_bytes bytes) to `out`, computing
  /// it only when it is not remembered.
  void digest(std::span<const std::uint8_t> head, std::string_view tail, std::uint8_t* out);

 private:
  static constexpr std::size_t kSlots = 4096;

  struct Slot {
    std::uint8_t key[kMaxKey];
    std::uint8_t length = 0;  // encoding length + 1; 0 for an empty slot
    std::uint8_t digest[kMaxDigest];
  };

  static std::size_t SlotOf(const std::uint8_t* key, std::size_t length);

  // The standard 32-byte digest is copied with a fixed-size move.
  void copy_digest(std::uint8_t* to, const std::uint8_t* from) const {
    if (hash_bytes_ == kMaxDigest) {
      std::memcpy(to, from, kMaxDigest);
    } else {
      std::memcpy(to, from, hash_bytes_);
    }
  }

  const std::uint64_t hash_bytes_;
  std::vector<Slot> slots_;  // allocated on first use
};

}  // namespace shredder::tagger_internal
