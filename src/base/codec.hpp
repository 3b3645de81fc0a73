// The little-endian field-by-field binary encoding of every stored value: fixed-width
// integers, u64 length prefixes for texts and sequences, one-byte option tags and u32
// enum indices. The reader stops at the end of its bytes with the fixed decoder texts,
// so no stored value, however damaged, makes it read outside its buffer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace tornquil {

static_assert(std::endian::native == std::endian::little, "little-endian host assumed");

// One fixed-width little-endian field at a raw address, for layouts read and written in
// place (a mapped file header). The address need not be aligned.
template <class T>
inline void store_le(unsigned char* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}
template <class T>
inline T load_le(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

// A 32-bit value as the corruption messages show it: "0x" and eight upper-case hex digits.
std::string hex_u32(uint32_t v);

// Appends encoded fields to a caller-owned buffer (reserve the exact size first).
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u16(uint16_t v) { raw(&v, 2); }
  void u32(uint32_t v) { raw(&v, 4); }
  void u64(uint64_t v) { raw(&v, 8); }
  void f64(double v) { raw(&v, 8); }
  void f32(float v) { raw(&v, 4); }
  // u64 byte length, then the bytes.
  void text(std::string_view s) {
    u64(s.size());
    out_.append(s.data(), s.size());
  }
  // One-byte tag: 0 absent, 1 present followed by the u64.
  void opt_u64(const std::optional<uint64_t>& v) {
    u8(v ? 1 : 0);
    if (v) u64(*v);
  }
  void raw(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }

 private:
  std::string& out_;
};

// Reads fields from a view; every read checks the bytes left first.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : p_(bytes) {}

  Result<uint8_t> u8();
  Result<uint16_t> u16() { return fixed<uint16_t>(); }
  Result<uint32_t> u32() { return fixed<uint32_t>(); }
  Result<uint64_t> u64() { return fixed<uint64_t>(); }
  Result<double> f64() { return fixed<double>(); }
  // A u64 length and that many bytes, which must be UTF-8. The view points into the input.
  Result<std::string_view> text_view();
  Result<std::string> text() {
    auto v = text_view();
    if (!v) return std::unexpected(std::move(v).error());
    return std::string(*v);
  }
  Result<std::optional<uint64_t>> opt_u64();
  // A u32 enum index below `variants`.
  Result<uint32_t> variant(uint32_t variants);
  // A one-byte option tag: 0 or 1.
  Result<bool> tag();

  size_t remaining() const { return p_.size() - pos_; }
  size_t position() const { return pos_; }

 private:
  template <class T>
  Result<T> fixed() {
    if (remaining() < sizeof(T)) return std::unexpected(eof_error());
    T v;
    std::memcpy(&v, p_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return v;
  }

  std::string_view p_;
  size_t pos_ = 0;

 public:
  // The decoder's fixed texts, shared by every stored value.
  static CoreError eof_error();         // "io error: unexpected end of file"
  static CoreError short_text_error();  // "io error: "
  static CoreError bad_tag_error(uint8_t tag);
  static CoreError bad_variant_error(uint32_t value, uint32_t variants);
};

// A u64 count then that many u64 values (the free list and the saved index use it). At
// most 131072 entries are reserved before the bytes are read, so a damaged count cannot
// force a huge allocation.
Result<std::vector<uint64_t>> decode_u64_vec(Reader& r);

// Checks UTF-8 and describes the first fault the way the stored texts' decoder reports it:
// "invalid utf-8 sequence of {} bytes from index {}" or
// "incomplete utf-8 byte sequence from index {}". Empty when the text is valid.
std::optional<std::string> utf8_error(std::string_view s);

}  // namespace tornquil
