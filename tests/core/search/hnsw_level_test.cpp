// The node level draw: known levels per slot, the multiplier edge cases, the cap at 32,
// and the ChaCha block function against a published ChaCha20 block.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "search/hnsw/level.hpp"

namespace tornquil {
namespace {

struct KnownLevel {
  uint64_t slot;
  uint8_t at_1;   // multiplier 1.0
  uint8_t at_10;  // multiplier 10.0
};

TEST(HnswLevelTest, KnownLevelsPerSlot) {
  const KnownLevel cases[] = {
      {0, 0, 3}, {1, 0, 0}, {2, 1, 12}, {3, 2, 23}, {7, 3, 32},  // 34 before the cap
  };
  for (const KnownLevel& c : cases) {
    SCOPED_TRACE(c.slot);
    EXPECT_EQ(draw_level(c.slot, 1.0), c.at_1);
    EXPECT_EQ(draw_level(c.slot, 10.0), c.at_10);
  }
}

TEST(HnswLevelTest, MultiplierAtOrBelowZeroGivesLevelZero) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const double multipliers[] = {0.0, -0.0, -1.0, -1e300, std::nan(""), -kInf};
  for (double mult : multipliers) {
    SCOPED_TRACE(mult);
    for (uint64_t slot : {0ULL, 1ULL, 2ULL, 3ULL, 7ULL, 1000ULL, ~0ULL}) {
      EXPECT_EQ(draw_level(slot, mult), 0) << "slot " << slot;
    }
  }
}

TEST(HnswLevelTest, LevelsNeverExceedThirtyTwo) {
  // A huge multiplier sends nearly every draw past 255 before the caps; an infinite one
  // sends every draw with u < 1 there.
  int capped = 0;
  for (uint64_t slot = 0; slot < 2000; ++slot) {
    const uint8_t huge = draw_level(slot, 1e6);
    EXPECT_LE(huge, 32);
    capped += huge == 32;
    EXPECT_EQ(draw_level(slot, std::numeric_limits<double>::infinity()), 32) << slot;
    EXPECT_LE(draw_level(slot, 10.0), 32);
  }
  EXPECT_GT(capped, 1990);
}

TEST(HnswLevelTest, ChaChaBlockMatchesPublishedChaCha20Block) {
  // Key 00..1f, block counter 1, nonce 00 00 00 09 00 00 00 4a 00 00 00 00: the ChaCha20
  // block test vector of RFC 7539, section 2.3.2.
  std::array<uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (int i = 0; i < 8; ++i) {
    const uint32_t b = 4 * i;
    input[4 + i] = b | (b + 1) << 8 | (b + 2) << 16 | (b + 3) << 24;
  }
  input[12] = 1;
  input[13] = 0x09000000;
  input[14] = 0x4a000000;
  input[15] = 0;
  const std::array<uint32_t, 16> expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                             0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                             0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                             0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(level_detail::chacha_block(input, 10), expected);
}

}  // namespace
}  // namespace tornquil
