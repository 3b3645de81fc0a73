// Random record ids: version-4 UUIDs in the 36-character lower-case hyphenated form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tornquil {

// Formats 16 bytes as a version-4 UUID: the version nibble and the variant bits are set,
// the other 122 bits are taken from the bytes as given.
std::string format_uuid_v4(std::array<uint8_t, 16> bytes);

// A new version-4 UUID from the operating system's random source.
std::string new_uuid_v4();

// Version-4 UUIDs for many records at once: the random bytes are drawn from the operating
// system in blocks, so a UUID costs no system call of its own. One generator belongs to
// one thread and lives for one operation; it is never copied, so no two generators hand
// out the same bytes (not even across a fork).
class UuidGenerator {
 public:
  UuidGenerator() = default;
  UuidGenerator(const UuidGenerator&) = delete;
  UuidGenerator& operator=(const UuidGenerator&) = delete;

  std::string next();

 private:
  static constexpr size_t kBlockBytes = 4096;
  std::array<uint8_t, kBlockBytes> block_;
  size_t used_ = kBlockBytes;  // bytes of block_ already handed out
};

}  // namespace tornquil
