// The two checksums of the stored files: CRC-32 (IEEE, zlib's) and FNV-1a 32-bit, which
// vector files of the first format version still use for their header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tornquil {

uint32_t crc32_ieee(const void* data, size_t n);
// Continues a CRC-32 over more bytes (start with 0).
uint32_t crc32_update(uint32_t crc, const void* data, size_t n);

inline uint32_t fnv1a32(const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t h = 0x811C9DC5u;
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 16777619u;
  }
  return h;
}

}  // namespace tornquil
