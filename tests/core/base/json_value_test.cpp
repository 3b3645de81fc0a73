// The JSON value type: structural equality that never mixes kinds.
#include "base/json_value.hpp"

#include <gtest/gtest.h>

#include "json_test_util.hpp"

namespace tornquil {
namespace {

TEST(JsonValueEquality, KindsNeverMix) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"1", "1.0", false},
      {"1", "true", false},
      {"\"1\"", "1", false},
      {"null", "null", true},
      {"0.0", "-0.0", true},
      {"-1", "-1.0", false},
      {"1e2", "100.0", true},
      {"[1,2]", "[1,2]", true},
      {"[1,2]", "[2,1]", false},
      {"[1]", "[1,1]", false},
      {R"({"a":1,"b":2})", R"({"b":2,"a":1})", true},
      {R"({"a":1})", R"({"a":1,"b":2})", false},
      {R"({"a":1})", R"({"b":1})", false},
      {"{}", "[]", false},
      {"\"é\"", R"("\u00e9")", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_ok(c.a) == parse_ok(c.b), c.equal) << c.a << " vs " << c.b;
  }
}

}  // namespace
}  // namespace tornquil
