#include <array>
#include <cstring>
#include <emmintrin.h>
#include <variant>

#include "modifiers/tagger_internal.h"

namespace shredder::tagger_internal {

namespace {

// The two hex digits of every byte value, high nibble first.
constexpr std::array<char, 512> kHexPairs = [] {
  constexpr char kDigits[] = "0123456789abcdef";
  std::array<char, 512> pairs{};
  for (int b = 0; b < 256; ++b) {
    pairs[2 * b] = kDigits[b >> 4];
    pairs[2 * b + 1] = kDigits[b & 0x0F];
  }
  return pairs;
}();

}  // namespace

void write_hex(char* out, std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  // Sixteen bytes at a time (SSE2): each nibble n becomes '0' + n, plus 'a' - '0' - 10 where
  // n > 9, and the high and low nibbles of each byte are interleaved.
  const __m128i low_mask = _mm_set1_epi8(0x0F);
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i letter_gap = _mm_set1_epi8('a' - '0' - 10);
  auto to_digits = [&](__m128i nibbles) {
    const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letter_gap);
    return _mm_add_epi8(_mm_add_epi8(nibbles, zero), letters);
  };
  for (; i + 16 <= bytes.size(); i += 16) {
    const __m128i block =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
    const __m128i high = to_digits(_mm_and_si128(_mm_srli_epi16(block, 4), low_mask));
    const __m128i low = to_digits(_mm_and_si128(block, low_mask));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi8(high, low));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16), _mm_unpackhi_epi8(high, low));
  }
  for (; i < bytes.size(); ++i) std::memcpy(out + 2 * i, &kHexPairs[2 * bytes[i]], 2);
}

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  const std::size_t start = out.size();
  out.resize(start + 2 * bytes.size());
  write_hex(out.data() + start, bytes);
}

std::string to_hex(std::string_view bytes) {
  std::string out;
  append_hex(out, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  return out;
}

void assign_hex(ValueData& slot, std::span<const std::uint8_t> bytes) {
  auto* text = std::get_if<std::string>(&slot);
  if (text == nullptr) text = &slot.emplace<std::string>();
  text->resize(2 * bytes.size());
  write_hex(text->data(), bytes);
}

}  // namespace shredder::tagger_internal
