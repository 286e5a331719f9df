#include "shredder/short_bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Every length the helpers take and every start within a word, against the C library.
TEST(ShortBytes, CopyAndEqualityAgreeWithTheLibraryForEveryLength) {
  std::mt19937 random(7);
  std::vector<std::uint8_t> source(80);
  for (std::uint8_t& b : source) b = static_cast<std::uint8_t>(random());
  for (std::size_t n = 0; n <= 64; ++n) {
    for (std::size_t offset = 0; offset < 8; ++offset) {
      std::vector<std::uint8_t> copied(80, 0xAB);
      shredder_copy_short(copied.data() + offset, source.data() + offset, n);
      std::vector<std::uint8_t> expected(80, 0xAB);
      if (n > 0) std::memcpy(expected.data() + offset, source.data() + offset, n);
      ASSERT_EQ(copied, expected) << "copy of " << n << " at " << offset;

      ASSERT_TRUE(shredder_equal_bytes(copied.data() + offset, source.data() + offset, n));
      for (std::size_t at = 0; at < n; ++at) {
        copied[offset + at] ^= 0x10;
        ASSERT_FALSE(shredder_equal_bytes(copied.data() + offset, source.data() + offset, n))
            << "byte " << at << " of " << n << " differs";
        copied[offset + at] ^= 0x10;
      }
    }
  }
  EXPECT_FALSE(shredder::SameText("ab", "abc"));
  EXPECT_TRUE(shredder::SameText(std::string(100, 'x'), std::string(100, 'x')));
}

}  // namespace
