#pragma once

// Copies and comparisons of short byte strings without a call into the C library. Most of
// what the engine copies and compares per member is a few bytes long (keys, names, short
// values, digests), where the call costs more than the work. Shared by C and C++ sources.

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// Copies n <= 64 bytes from `from` to `to` (which do not overlap) with fixed-size moves the
// compiler inlines: the first and last 2^k bytes for the largest 2^k <= n, overlapping in the
// middle.
static inline void shredder_copy_short(uint8_t* to, const uint8_t* from, size_t n) {
  if (n >= 32) {
    memcpy(to, from, 32);
    memcpy(to + n - 32, from + n - 32, 32);
  } else if (n >= 16) {
    memcpy(to, from, 16);
    memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    memcpy(to, from, 8);
    memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    memcpy(to, from, 4);
    memcpy(to + n - 4, from + n - 4, 4);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

// Copies n bytes, inline when they are at most 64.
static inline void shredder_copy_bytes(uint8_t* to, const uint8_t* from, size_t n) {
  if (n <= 64) {
    shredder_copy_short(to, from, n);
  } else {
    memcpy(to, from, n);
  }
}

static inline uint64_t shredder_load64(const uint8_t* p) {
  uint64_t word;
  memcpy(&word, p, 8);
  return word;
}

static inline uint32_t shredder_load32(const uint8_t* p) {
  uint32_t word;
  memcpy(&word, p, 4);
  return word;
}

// Whether the n bytes at `a` and at `b` are equal.
static inline int shredder_equal_bytes(const uint8_t* a, const uint8_t* b, size_t n) {
  if (n > 64) return memcmp(a, b, n) == 0;
  if (n >= 8) {
    uint64_t diff = shredder_load64(a + n - 8) ^ shredder_load64(b + n - 8);
    for (size_t i = 0; i + 8 < n; i += 8) diff |= shredder_load64(a + i) ^ shredder_load64(b + i);
    return diff == 0;
  }
  if (n >= 4) {
    return ((shredder_load32(a) ^ shredder_load32(b)) |
            (shredder_load32(a + n - 4) ^ shredder_load32(b + n - 4))) == 0;
  }
  return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

#ifdef __cplusplus
#include <string_view>

namespace shredder {

// `a == b`, for the short texts of keys and names.
inline bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         shredder_equal_bytes(reinterpret_cast<const uint8_t*>(a.data()),
                              reinterpret_cast<const uint8_t*>(b.data()), a.size());
}

}  // namespace shredder
#endif
