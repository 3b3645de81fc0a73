// Test helpers shared by the JSON tests.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "base/json_read.hpp"

namespace tornquil {

inline JsonValue parse_ok(std::string_view text) {
  auto v = parse_json(text);
  EXPECT_TRUE(v.has_value()) << text << ": " << (v ? "" : v.error().describe());
  return v ? *v : JsonValue();
}

}  // namespace tornquil
