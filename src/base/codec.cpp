// Decoder side of the binary encoding, the hex form of stored 32-bit values, and the UTF-8 check
// behind its text fields.
#include "base/codec.hpp"

#include <algorithm>
#include <cstdio>

namespace tornquil {

std::string hex_u32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "0x%08X", v);
  return buf;
}

CoreError Reader::eof_error() {
  return CoreError::serialization("io error: unexpected end of file");
}
CoreError Reader::short_text_error() { return CoreError::serialization("io error: "); }
CoreError Reader::bad_tag_error(uint8_t tag) {
  return CoreError::serialization("tag for enum is not valid, found " + std::to_string(tag));
}
CoreError Reader::bad_variant_error(uint32_t value, uint32_t variants) {
  return CoreError::serialization("invalid value: integer `" + std::to_string(value) +
                                  "`, expected variant index 0 <= i < " + std::to_string(variants));
}

Result<uint8_t> Reader::u8() {
  if (remaining() < 1) return std::unexpected(eof_error());
  return static_cast<uint8_t>(p_[pos_++]);
}

Result<std::string_view> Reader::text_view() {
  auto len = u64();
  if (!len) return std::unexpected(std::move(len).error());
  if (*len > remaining()) return std::unexpected(short_text_error());
  std::string_view s = p_.substr(pos_, static_cast<size_t>(*len));
  pos_ += s.size();
  if (auto e = utf8_error(s)) {
    return std::unexpected(CoreError::serialization("string is not valid utf8: " + *e));
  }
  return s;
}

Result<bool> Reader::tag() {
  auto t = u8();
  if (!t) return std::unexpected(std::move(t).error());
  if (*t > 1) return std::unexpected(bad_tag_error(*t));
  return *t == 1;
}

Result<std::optional<uint64_t>> Reader::opt_u64() {
  auto t = tag();
  if (!t) return std::unexpected(std::move(t).error());
  if (!*t) return std::optional<uint64_t>{};
  auto v = u64();
  if (!v) return std::unexpected(std::move(v).error());
  return std::optional<uint64_t>{*v};
}

Result<uint32_t> Reader::variant(uint32_t variants) {
  auto v = u32();
  if (!v) return std::unexpected(std::move(v).error());
  if (*v >= variants) return std::unexpected(bad_variant_error(*v, variants));
  return *v;
}

Result<std::vector<uint64_t>> decode_u64_vec(Reader& r) {
  auto n = r.u64();
  if (!n) return std::unexpected(std::move(n).error());
  std::vector<uint64_t> out;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(*n, 131072)));
  for (uint64_t i = 0; i < *n; ++i) {
    auto v = r.u64();
    if (!v) return std::unexpected(std::move(v).error());
    out.push_back(*v);
  }
  return out;
}

std::optional<std::string> utf8_error(std::string_view s) {
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  auto invalid = [&](size_t start, int len) {
    return "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " +
           std::to_string(start);
  };
  auto incomplete = [&](size_t start) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(start);
  };
  auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
  while (i < n) {
    // Runs of ASCII eight bytes at a time: stored ids and metadata are mostly ASCII, and
    // every scan decodes every stored value.
    uint64_t word;
    while (i + 8 <= n && (std::memcpy(&word, b + i, 8), (word & 0x8080808080808080ull) == 0)) {
      i += 8;
    }
    if (i >= n) break;
    const unsigned char first = b[i];
    if (first < 0x80) {
      ++i;
      continue;
    }
    const size_t start = i;
    int width = 0;
    if (first >= 0xC2 && first <= 0xDF)
      width = 2;
    else if (first >= 0xE0 && first <= 0xEF)
      width = 3;
    else if (first >= 0xF0 && first <= 0xF4)
      width = 4;
    if (width == 0) return invalid(start, 1);
    if (start + 1 >= n) return incomplete(start);
    const unsigned char second = b[start + 1];
    bool ok2;
    if (width == 2) {
      ok2 = cont(second);
    } else if (width == 3) {
      ok2 = (first == 0xE0 && second >= 0xA0 && second <= 0xBF) ||
            (first >= 0xE1 && first <= 0xEC && cont(second)) ||
            (first == 0xED && second >= 0x80 && second <= 0x9F) || (first >= 0xEE && cont(second));
    } else {
      ok2 = (first == 0xF0 && second >= 0x90 && second <= 0xBF) ||
            (first >= 0xF1 && first <= 0xF3 && cont(second)) ||
            (first == 0xF4 && second >= 0x80 && second <= 0x8F);
    }
    if (!ok2) return invalid(start, 1);
    for (int k = 2; k < width; ++k) {
      if (start + k >= n) return incomplete(start);
      if (!cont(b[start + k])) return invalid(start, k);
    }
    i = start + width;
  }
  return std::nullopt;
}

}  // namespace tornquil
