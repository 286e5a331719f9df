#pragma once

// BLAKE3 of inputs that fit one chunk, computed with the library's own compression kernels
// instead of a `blake3_hasher`. The Tagger hashes one short encoding per value, and for such
// inputs the hasher's set-up, buffering and finalisation cost about as much as the
// compressions themselves.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Longest input `shredder_blake3_one_chunk` takes: one BLAKE3 chunk.
#define SHREDDER_BLAKE3_CHUNK_BYTES 1024

/// Writes `out_len` bytes of the plain BLAKE3 hash (extended output past 32 bytes) of `head`
/// followed by `tail` to `out`: the bytes `blake3_hasher_init`, `blake3_hasher_update` over
/// both parts and `blake3_hasher_finalize` give. Requires head_len + tail_len to be at most
/// SHREDDER_BLAKE3_CHUNK_BYTES; either part may be empty (and then null).
void shredder_blake3_one_chunk(const uint8_t* head, size_t head_len, const uint8_t* tail,
                               size_t tail_len, uint8_t* out, size_t out_len);

#ifdef __cplusplus
}
#endif
