// The Tagger's digest function hashes one-chunk inputs with BLAKE3's compression kernels
// directly. Every input length from 0 to past one chunk, split anywhere between its two parts,
// must give the bytes the library's hasher gives, for short, standard and extended outputs.

#include "modifiers/blake3_chunk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "blake3.h"
#include "modifiers/tagger_internal.h"

namespace shredder {
namespace {

std::vector<std::uint8_t> HasherDigest(const std::vector<std::uint8_t>& input,
                                       std::size_t out_len) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, input.data(), input.size());
  std::vector<std::uint8_t> out(out_len);
  blake3_hasher_finalize(&hasher, out.data(), out.size());
  return out;
}

// The Tagger's entry point, with the input cut into a head and a tail at `split`.
std::vector<std::uint8_t> TaggerDigest(const std::vector<std::uint8_t>& input, std::size_t split,
                                       std::size_t out_len) {
  std::vector<std::uint8_t> out(out_len);
  const std::string_view tail(reinterpret_cast<const char*>(input.data()) + split,
                              input.size() - split);
  tagger_internal::blake3_digest(std::span<const std::uint8_t>(input.data(), split), tail,
                                 out_len, out.data());
  return out;
}

std::vector<std::uint8_t> RandomBytes(std::mt19937_64& random, std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

// Output lengths around the 32-byte standard hash and the 64-byte output blocks, and the
// short ones the Tagger's hash_bytes option allows.
const std::vector<std::size_t> kOutLengths = {1, 8, 16, 31, 32, 33, 63, 64, 65, 100, 128, 129, 200};

TEST(Blake3OneChunk, EveryInputLengthMatchesTheHasher) {
  std::mt19937_64 random(15);
  for (std::size_t length = 0; length <= 1100; ++length) {
    const std::vector<std::uint8_t> input = RandomBytes(random, length);
    const std::size_t split = length == 0 ? 0 : random() % (length + 1);
    for (std::size_t out_len : kOutLengths) {
      ASSERT_EQ(TaggerDigest(input, split, out_len), HasherDigest(input, out_len))
          << "length " << length << ", split " << split << ", out_len " << out_len;
    }
  }
}

TEST(Blake3OneChunk, EverySplitAroundBlockBoundaries) {
  std::mt19937_64 random(16);
  for (std::size_t length : {0, 1, 63, 64, 65, 127, 128, 129, 191, 192, 1023, 1024}) {
    const std::vector<std::uint8_t> input = RandomBytes(random, length);
    const std::vector<std::uint8_t> want = HasherDigest(input, 32);
    for (std::size_t split = 0; split <= length; ++split) {
      std::vector<std::uint8_t> out(32);
      shredder_blake3_one_chunk(input.data(), split, input.data() + split, length - split,
                                out.data(), out.size());
      ASSERT_EQ(out, want) << "length " << length << ", split " << split;
    }
  }
}

TEST(Blake3OneChunk, EveryOutputLengthUpToFourBlocks) {
  std::mt19937_64 random(17);
  for (std::size_t length : {0, 9, 42, 64, 700}) {
    const std::vector<std::uint8_t> input = RandomBytes(random, length);
    for (std::size_t out_len = 1; out_len <= 256; ++out_len) {
      ASSERT_EQ(TaggerDigest(input, length / 2, out_len), HasherDigest(input, out_len))
          << "length " << length << ", out_len " << out_len;
    }
  }
}

// The published digest of the empty input, as a fixed point outside both implementations.
TEST(Blake3OneChunk, EmptyInputIsTheKnownHash) {
  std::vector<std::uint8_t> out(32);
  shredder_blake3_one_chunk(nullptr, 0, nullptr, 0, out.data(), out.size());
  std::string hex;
  for (std::uint8_t b : out) {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  EXPECT_EQ(hex, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
}

}  // namespace
}  // namespace shredder
