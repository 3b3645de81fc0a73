// Splitting a key interval into evenly filled ranges, digit by digit in an alphabet.
#include "storage/key_split.hpp"

#include <algorithm>
#include <iterator>

namespace tornquil {

namespace {

std::string stored_form(std::string_view key) {
  std::string s(key);
  s.push_back('\0');
  return s;
}

// The bounds of `ranges` ranges between the least and the greatest of `stored` (stored key
// forms), evenly spaced in a mixed-radix space. Each byte position after the common prefix of
// those two keys is a digit in an alphabet: every byte value when `every_byte`; otherwise the
// bytes the keys show at that position, together with every byte they show at any position
// that lies between that position's least and greatest (0 stands past a key's end). Digits
// are taken while the space fits 64 bits.
std::vector<std::string> split_in_alphabets(std::span<const std::string> stored, uint32_t ranges,
                                            bool every_byte) {
  std::vector<std::string> bounds;
  if (stored.empty() || ranges < 2) return bounds;
  const auto [lo, hi] = std::minmax_element(stored.begin(), stored.end());
  const std::string& f = *lo;
  const std::string& l = *hi;
  size_t prefix = 0;
  while (prefix < f.size() && prefix < l.size() && f[prefix] == l[prefix]) ++prefix;
  size_t longest = 0;
  for (const std::string& k : stored) longest = std::max(longest, k.size());
  auto byte_at = [](const std::string& k, size_t at) -> unsigned {
    return at < k.size() ? static_cast<unsigned char>(k[at]) : 0u;
  };
  // Bytes the keys show anywhere after the prefix. A sample shows each position's alphabet
  // only in part, and ids mostly draw every position from one alphabet.
  bool shown[256] = {};
  for (const std::string& k : stored) {
    for (size_t at = prefix; at < longest; ++at) shown[byte_at(k, at)] = true;
  }

  struct Digit {
    uint8_t byte_of[256];   // digit -> byte, ascending
    uint8_t digit_of[256];  // byte -> digit, for the bytes of the alphabet
    uint32_t radix = 0;
  };
  using u128 = unsigned __int128;
  const u128 kMaxSpace = u128{1} << 64;
  std::vector<Digit> digits;
  u128 space = 1;
  for (size_t at = prefix; every_byte || at < longest; ++at) {
    bool in[256] = {};
    if (every_byte) {
      std::fill(std::begin(in), std::end(in), true);
    } else {
      unsigned least = 255, greatest = 0;
      for (const std::string& k : stored) {
        least = std::min(least, byte_at(k, at));
        greatest = std::max(greatest, byte_at(k, at));
      }
      for (unsigned b = least; b <= greatest; ++b) in[b] = shown[b];
    }
    Digit d{};
    for (unsigned b = 0; b < 256; ++b) {
      if (!in[b]) continue;
      d.digit_of[b] = static_cast<uint8_t>(d.radix);
      d.byte_of[d.radix++] = static_cast<uint8_t>(b);
    }
    if (space * d.radix > kMaxSpace) break;
    space *= d.radix;
    digits.push_back(d);
  }
  auto number_of = [&](const std::string& k) {
    u128 x = 0;
    for (size_t j = 0; j < digits.size(); ++j) {
      x = x * digits[j].radix + digits[j].digit_of[byte_at(k, prefix + j)];
    }
    return x;
  };
  const u128 a = number_of(f), b = number_of(l);
  if (b <= a) return bounds;
  const u128 n = std::min<u128>(ranges, b - a);
  bounds.reserve(static_cast<size_t>(n) - 1);
  for (u128 i = 1; i < n; ++i) {
    // Strictly increasing in i, since b - a >= n; and so are the keys made from them: digits
    // compare as the numbers do, and each alphabet is ascending.
    u128 x = a + (b - a) * i / n;
    std::string key(f, 0, prefix);
    key.resize(prefix + digits.size());
    for (size_t j = digits.size(); j-- > 0;) {
      key[prefix + j] =
          static_cast<char>(digits[j].byte_of[static_cast<size_t>(x % digits[j].radix)]);
      x /= digits[j].radix;
    }
    // Trimming the trailing zeros of keys of one length keeps their order strict, and a
    // bound that never ends in 0x00 never falls between a key and its terminator.
    while (!key.empty() && key.back() == '\0') key.pop_back();
    bounds.push_back(std::move(key));
  }
  return bounds;
}

}  // namespace

std::vector<std::string> split_key_range(std::string_view first, std::string_view last,
                                         uint32_t ranges) {
  const std::string stored[] = {stored_form(first), stored_form(last)};
  return split_in_alphabets(stored, ranges, true);
}

std::vector<std::string> split_key_range_sampled(std::span<const std::string_view> sample,
                                                 uint32_t ranges) {
  std::vector<std::string> stored;
  stored.reserve(sample.size());
  for (std::string_view k : sample) stored.push_back(stored_form(k));
  return split_in_alphabets(stored, ranges, false);
}

}  // namespace tornquil
