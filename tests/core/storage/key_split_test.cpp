// The key split of a parallel walk: bounds that follow the keys' alphabet, rise strictly and
// never end in a 0x00 byte, whatever the keys.
#include "storage/key_split.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tornquil {
namespace {

TEST(SplitKeyRangeTest, BoundsFollowTheAlphabetOfTheKeys) {
  using V = std::vector<std::string>;
  // Every byte value: the interpolation between the two keys, trailing zeros trimmed.
  EXPECT_EQ(split_key_range("a", "c", 2), V{"b"});
  EXPECT_EQ(split_key_range("", "b", 2), V{"1"});  // the empty id is stored as one 0x00
  EXPECT_EQ(split_key_range("ab", "ab", 4), V{});  // one key: nothing to split
  // Ids "x" and "x\0\0": the stored keys leave no number between them.
  EXPECT_EQ(split_key_range("x", std::string("x\0\0", 3), 4), V{});
  // The sample's alphabet: sixteen one-digit keys give fifteen ranges, not 256 mostly empty.
  std::vector<std::string> hex;
  for (const char* d = "0123456789abcdef"; *d; ++d) hex.emplace_back(1, *d);
  const std::vector<std::string_view> sample(hex.begin(), hex.end());
  EXPECT_EQ(split_key_range_sampled(sample, 16),
            (V{"1", "2", "3", "4", "5", "6", "7", "8", "9", "a", "b", "c", "d", "e"}));
  // From the first and last key alone, a split of "0" to "f" by every byte value puts
  // bounds where no hex digit is.
  const V plain = split_key_range("0", "f", 16);
  EXPECT_TRUE(std::any_of(plain.begin(), plain.end(),
                          [](const std::string& b) { return b[0] > '9' && b[0] < 'a'; }));
}

TEST(SplitKeyRangeTest, BoundsRiseStrictlyAndNeverEndInAZeroByteForAnyKeys) {
  // What a walk relies on to cover each key exactly once, over keys of every sort: short,
  // long, sharing long prefixes, full of 0x00 and 0xff.
  std::mt19937_64 rng(21);
  auto random_key = [&rng](const std::string& stem) {
    std::string k = stem;
    const size_t n = rng() % 12;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t r = rng() % 8;
      k.push_back(r == 0 ? '\0' : r == 1 ? '\xff' : static_cast<char>(rng()));
    }
    return k;
  };
  for (int round = 0; round < 400; ++round) {
    const std::string stem = round % 3 == 0 ? "" : std::string(rng() % 500, 'k');
    std::vector<std::string> keys;
    const size_t n = 2 + rng() % 40;
    for (size_t i = 0; i < n; ++i) keys.push_back(random_key(stem));
    const std::vector<std::string_view> sample(keys.begin(), keys.end());
    const auto [lo, hi] = std::minmax_element(keys.begin(), keys.end());
    const uint32_t ranges = 1 + static_cast<uint32_t>(rng() % 600);
    for (const auto& bounds :
         {split_key_range(*lo, *hi, ranges), split_key_range_sampled(sample, ranges)}) {
      SCOPED_TRACE("round " + std::to_string(round));
      EXPECT_LT(bounds.size(), std::max<uint32_t>(ranges, 1));
      for (size_t i = 0; i < bounds.size(); ++i) {
        ASSERT_FALSE(!bounds[i].empty() && bounds[i].back() == '\0') << i;
        if (i > 0) {
          ASSERT_LT(bounds[i - 1], bounds[i]) << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tornquil
