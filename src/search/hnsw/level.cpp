// The level draw: PCG32 key expansion, the ChaCha block function, and the mapping of the
// first keystream word to a level.
#include "search/hnsw/level.hpp"

#include <bit>
#include <cmath>

#include "search/hnsw/graph.hpp"

namespace tornquil {
namespace level_detail {

std::array<uint32_t, 8> pcg32_key(uint64_t slot) {
  constexpr uint64_t kMul = 0x5851F42D4C957F2DULL;
  constexpr uint64_t kInc = 0xA17654E46FBE17F3ULL;
  std::array<uint32_t, 8> key{};
  uint64_t state = slot;
  for (uint32_t& word : key) {
    state = state * kMul + kInc;  // wraps modulo 2^64
    const auto xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<int>(state >> 59);
    word = std::rotr(xorshifted, rot);
  }
  return key;
}

namespace {

inline void quarter_round(std::array<uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 16>& input, int double_rounds) {
  std::array<uint32_t, 16> x = input;
  for (int i = 0; i < double_rounds; ++i) {
    // Column round.
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    // Diagonal round.
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) x[i] += input[i];
  return x;
}

}  // namespace level_detail

uint8_t draw_level(uint64_t slot, double level_multiplier) {
  // "expand 32-byte k" as four little-endian words.
  std::array<uint32_t, 16> state = {0x61707865u, 0x3320646Eu, 0x79622D32u, 0x6B206574u};
  const std::array<uint32_t, 8> key = level_detail::pcg32_key(slot);
  for (int i = 0; i < 8; ++i) state[4 + i] = key[i];
  // Words 12-13: block counter 0; words 14-15: nonce 0 (already zero).
  const std::array<uint32_t, 16> block = level_detail::chacha_block(state, 6);
  const uint64_t x = static_cast<uint64_t>(block[0]) | (static_cast<uint64_t>(block[1]) << 32);

  const double u = static_cast<double>(x >> 11) * 0x1.0p-53;  // [0, 1); 0 is possible
  double r = std::floor(-std::log(u) * level_multiplier);
  // NaN (u = 0 with a zero multiplier) and negatives count as 0.
  if (!(r > 0.0)) r = 0.0;
  if (r > 255.0) r = 255.0;
  const auto level = static_cast<uint8_t>(r);
  return level > kHnswMaxLevel ? kHnswMaxLevel : level;
}

}  // namespace tornquil
