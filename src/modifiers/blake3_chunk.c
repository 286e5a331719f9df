#include "modifiers/blake3_chunk.h"

#include <string.h>

#include "blake3_impl.h"
#include "shredder/short_bytes.h"

// Copies bytes [from, from + n) of head || tail to `to`; n is at most one block.
static void copy_joined(uint8_t* to, const uint8_t* head, size_t head_len, const uint8_t* tail,
                        size_t from, size_t n) {
  if (from < head_len) {
    const size_t take = head_len - from < n ? head_len - from : n;
    shredder_copy_short(to, head + from, take);
    to += take;
    from += take;
    n -= take;
  }
  if (n > 0) shredder_copy_short(to, tail + (from - head_len), n);
}

// A one-chunk input is its own root: every block but the last is compressed into the
// chaining value (the first with CHUNK_START), and the last block, zero-padded and with its
// true length, is compressed with CHUNK_END and ROOT once per 64 output bytes, the output
// block number as the counter. This is the order of calls the library's hasher makes for
// such an input.
void shredder_blake3_one_chunk(const uint8_t* head, size_t head_len, const uint8_t* tail,
                               size_t tail_len, uint8_t* out, size_t out_len) {
  const size_t total = head_len + tail_len;
  const size_t blocks = total == 0 ? 1 : (total + BLAKE3_BLOCK_LEN - 1) / BLAKE3_BLOCK_LEN;
  uint32_t cv[8];
  memcpy(cv, IV, BLAKE3_KEY_LEN);
  uint8_t block[BLAKE3_BLOCK_LEN];
  size_t at = 0;
  for (size_t b = 0; b + 1 < blocks; ++b, at += BLAKE3_BLOCK_LEN) {
    const uint8_t* bytes = block;
    if (at + BLAKE3_BLOCK_LEN <= head_len) {
      bytes = head + at;
    } else if (at >= head_len) {
      bytes = tail + (at - head_len);
    } else {
      copy_joined(block, head, head_len, tail, at, BLAKE3_BLOCK_LEN);
    }
    blake3_compress_in_place(cv, bytes, BLAKE3_BLOCK_LEN, 0, b == 0 ? CHUNK_START : 0);
  }
  const size_t last_len = total - at;
  memset(block, 0, sizeof block);
  copy_joined(block, head, head_len, tail, at, last_len);
  const uint8_t flags = (uint8_t)((blocks == 1 ? CHUNK_START : 0) | CHUNK_END | ROOT);
  if (out_len == BLAKE3_OUT_LEN) {
    // The first 32 bytes of the root's output are the chaining value the same compression
    // leaves in place.
    blake3_compress_in_place(cv, block, (uint8_t)last_len, 0, flags);
    store_cv_words(out, cv);
    return;
  }
  uint8_t wide[64];
  for (uint64_t counter = 0; out_len > 0; ++counter) {
    blake3_compress_xof(cv, block, (uint8_t)last_len, counter, flags, wide);
    const size_t take = out_len < sizeof wide ? out_len : sizeof wide;
    memcpy(out, wide, take);
    out += take;
    out_len -= take;
  }
}
