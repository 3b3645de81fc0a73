// Random record ids: version-4 UUIDs in the 36-character lower-case hyphenated form.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tornquil {

// Formats 16 bytes as a version-4 UUID: the version nibble and the variant bits are set,
// the other 122 bits are taken from the bytes as given.
std::string format_uuid_v4(std::array<uint8_t, 16> bytes);

// A new version-4 UUID from the operating system's random source.
std::string new_uuid_v4();

}  // namespace tornquil
