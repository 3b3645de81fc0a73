// CRC-32 through zlib, fed in pieces small enough for its 32-bit length argument.
#include "base/checksum.hpp"

#include <zlib.h>

namespace tornquil {

uint32_t crc32_update(uint32_t crc, const void* data, size_t n) {
  const auto* p = static_cast<const Bytef*>(data);
  uLong c = crc;
  while (n > 0) {
    const uInt chunk = n > (1u << 30) ? (1u << 30) : static_cast<uInt>(n);
    c = ::crc32(c, p, chunk);
    p += chunk;
    n -= chunk;
  }
  return static_cast<uint32_t>(c);
}

uint32_t crc32_ieee(const void* data, size_t n) { return crc32_update(0, data, n); }

}  // namespace tornquil
