#include "blake3.h"
#include "modifiers/blake3_chunk.h"
#include "modifiers/tagger_internal.h"

namespace shredder::tagger_internal {

// Never inlined: the hasher state takes about 2 KB, which must stay out of the frames of the
// recursive digest walk.
[[gnu::noinline]] void blake3_digest(std::span<const std::uint8_t> head, std::string_view tail,
                                     std::uint64_t out_len, std::uint8_t* out) {
  // Nearly every encoding fits one chunk; those skip the hasher's buffering.
  if (head.size() + tail.size() <= SHREDDER_BLAKE3_CHUNK_BYTES) {
    shredder_blake3_one_chunk(head.data(), head.size(),
                              reinterpret_cast<const std::uint8_t*>(tail.data()), tail.size(),
                              out, out_len);
    return;
  }
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, head.data(), head.size());
  if (!tail.empty()) blake3_hasher_update(&hasher, tail.data(), tail.size());
  blake3_hasher_finalize(&hasher, out, out_len);
}

std::string blake3_digest(std::string_view bytes, std::uint64_t out_len) {
  std::string digest(out_len, '\0');
  blake3_digest({}, bytes, out_len, reinterpret_cast<std::uint8_t*>(digest.data()));
  return digest;
}

}  // namespace shredder::tagger_internal
