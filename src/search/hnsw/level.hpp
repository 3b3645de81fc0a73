// The level of an HNSW node, drawn from its vector slot alone, so that a record keeps its
// level across full rebuilds and incremental insertions as long as it keeps its slot.
//
// The draw is fixed bit for bit: the slot is expanded into a 32-byte key by the PCG32
// output function over an advancing 64-bit LCG state, the key feeds a ChaCha12 block
// (counter 0, nonce 0), and the first 64-bit word of that keystream gives a uniform
// u in [0, 1); the level is floor(-ln(u) x level_multiplier), clamped to 0..32.
#pragma once

#include <array>
#include <cstdint>

namespace tornquil {

// The node level for a slot: 0 to 32. A multiplier of 0 or below (or NaN) gives 0.
uint8_t draw_level(uint64_t slot, double level_multiplier);

namespace level_detail {

// The eight PCG32 words of the key, in the order produced.
std::array<uint32_t, 8> pcg32_key(uint64_t slot);

// The ChaCha block function over a full 16-word input state with the given number of
// double rounds (6 for ChaCha12, 10 for ChaCha20): the rounds, then the input added back.
std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 16>& input, int double_rounds);

}  // namespace level_detail
}  // namespace tornquil
