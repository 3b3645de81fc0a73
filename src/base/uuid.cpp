// Version-4 UUIDs from the operating system's random source.
#include "base/uuid.hpp"

#include <cstring>

#include "base/platform.hpp"

namespace tornquil {

std::string format_uuid_v4(std::array<uint8_t, 16> b) {
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[b[i] >> 4]);
    out.push_back(kHex[b[i] & 0x0F]);
  }
  return out;
}

std::string new_uuid_v4() {
  std::array<uint8_t, 16> bytes;
  platform::random_bytes(bytes.data(), bytes.size());
  return format_uuid_v4(bytes);
}

std::string UuidGenerator::next() {
  if (used_ + 16 > block_.size()) {
    platform::random_bytes(block_.data(), block_.size());
    used_ = 0;
  }
  std::array<uint8_t, 16> bytes;
  std::memcpy(bytes.data(), block_.data() + used_, bytes.size());
  used_ += bytes.size();
  return format_uuid_v4(bytes);
}

}  // namespace tornquil
