// Key ranges for walking one table with several cursors at once: bounds that cut the keys
// between two ids into contiguous ranges covering every key exactly once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tornquil {

// Where the ranges of a parallel walk of the keys from `first` to `last` (ids as the cursor
// gives them, first < last) begin: at most ranges - 1 bounds, strictly increasing, in the
// stored-key form the cursor's seek takes, none ending in a 0x00 byte. Range 0 is every key
// before the first bound, range i the keys from bound i - 1 up to bound i, the last range
// everything from the last bound on, so the ranges cover each key exactly once. The bounds
// split the interval evenly by the 8 bytes after the common prefix of the two keys, read
// as a big-endian number; no bounds when those numbers leave no room.
std::vector<std::string> split_key_range(std::string_view first, std::string_view last,
                                         uint32_t ranges);

// The same kind of bounds between the least and the greatest key of `sample`, with each byte
// position after their common prefix counted in an alphabet learnt from the sample instead
// of all 256 values: every byte the sample shows anywhere after the prefix that lies between
// the least and the greatest byte it shows at that position (0 past a key's end). Ids drawn
// from a small alphabet (hex digits, decimal digits) then fill the ranges evenly instead of
// leaving most of them empty.
std::vector<std::string> split_key_range_sampled(std::span<const std::string_view> sample,
                                                 uint32_t ranges);

// True when the stored key behind `key` (its bytes and the 0x00 terminator) sorts before
// `bound`. Comparing the id alone gives the same answer, because no bound ends in 0x00: the
// two answers could differ only for a bound that is the id followed by 0x00. A stored key
// without the terminator, which only a foreign file could hold, is compared as it is.
inline bool stored_key_before(std::string_view key, std::string_view bound) { return key < bound; }

}  // namespace tornquil
