// The one compact JSON writer of the system: no white space, keys in ascending byte order,
// floats with the fewest digits that read back. Its pieces (strings, integers, floats) serve
// writers that lay out their own objects or arrays.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/json_value.hpp"

namespace tornquil {

// The compact text of `value`, appended to `out`.
void write_json(const JsonValue& value, std::string& out);
std::string to_compact_json(const JsonValue& value);  // starts from a 128-byte buffer

// Single pieces of the compact text, each appended to `out`.
void write_json_string(std::string_view utf8, std::string& out);  // quotes included
void write_json_uint(uint64_t v, std::string& out);
void write_json_int(int64_t v, std::string& out);
// Shortest digits, fixed for decimal exponents -5 .. 15, otherwise d.ddde±x. A NaN or an
// infinity is written as null.
void write_json_double(double v, std::string& out);
void write_json_float32(float v, std::string& out);  // bounds -6 and 12, float digits

}  // namespace tornquil
