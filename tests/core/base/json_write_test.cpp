// The compact writer: string escapes, float layout, shortest round-trip floats.
#include "base/json_write.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "json_test_util.hpp"

namespace tornquil {
namespace {

TEST(JsonWrite, StringsEscapeOnlyQuoteBackslashAndControls) {
  struct Case {
    std::string in;
    const char* out;
  };
  const Case cases[] = {
      {"é\n", "\"é\\n\""},
      {"\x01", R"("\u0001")"},
      {"\x1f\x7f", "\"\\u001f\x7f\""},
      {"a/b", R"("a/b")"},
      {"\"\\", R"("\"\\")"},
      {"\b\t\f\r", R"("\b\t\f\r")"},
      {std::string("\0", 1), R"("\u0000")"},
      {"€😀", "\"€😀\""},
  };
  for (const Case& c : cases) {
    std::string out;
    write_json_string(c.in, out);
    EXPECT_EQ(out, c.out);
    JsonValue back = parse_ok(out);
    EXPECT_EQ(back.string_value(), c.in);
  }
  EXPECT_EQ(to_compact_json(parse_ok(R"({"t": "é\n"})")), "{\"t\":\"é\\n\"}");
}

TEST(JsonWrite, DoublesTakeTheLayoutOfTheirExponent) {
  struct Case {
    double v;
    const char* text;
  };
  const Case cases[] = {
      {1.0, "1.0"},
      {250.0, "250.0"},
      {12.5, "12.5"},
      {-2.5, "-2.5"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {0.3, "0.3"},
      {0.00001, "0.00001"},
      {0.000012, "0.000012"},
      {0.000001, "1e-6"},
      {1e30, "1e+30"},
      {1.5e-7, "1.5e-7"},
      {18446744073709551616.0, "1.8446744073709552e+19"},
      {1e15, "1000000000000000.0"},
      {1234567890123456.0, "1234567890123456.0"},
      {1e16, "1e+16"},
      {123.456, "123.456"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {1e100, "1e+100"},
      {-1.25e-10, "-1.25e-10"},
  };
  for (const Case& c : cases) {
    std::string out;
    write_json_double(c.v, out);
    EXPECT_EQ(out, c.text);
    EXPECT_EQ(to_compact_json(JsonValue::from_double(c.v)), c.text);
  }
}

TEST(JsonWrite, Float32LayoutUsesBoundsMinus6And12) {
  struct Case {
    float v;
    const char* text;
  };
  const Case cases[] = {
      {1.0f, "1.0"},
      {0.1f, "0.1"},
      {1.0f / 3.0f, "0.33333334"},
      {-0.5f, "-0.5"},
      {0.000001f, "0.000001"},
      {0.0000001f, "1e-7"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e+13"},
      {16777216.0f, "16777216.0"},
      {3.4028235e38f, "3.4028235e+38"},
      {1.4e-45f, "1e-45"},
      {-0.0f, "-0.0"},
  };
  for (const Case& c : cases) {
    std::string out;
    write_json_float32(c.v, out);
    EXPECT_EQ(out, c.text);
  }
}

TEST(JsonWrite, NonFiniteFloatsBecomeNull) {
  std::string out;
  write_json_double(std::numeric_limits<double>::quiet_NaN(), out);
  out += ',';
  write_json_float32(-std::numeric_limits<float>::infinity(), out);
  EXPECT_EQ(out, "null,null");
  EXPECT_TRUE(JsonValue::from_double(std::numeric_limits<double>::infinity()).is_null());
}

TEST(JsonWrite, ShortestFloatsReadBackBitForBit) {
  std::mt19937_64 rng(42);
  for (int n = 0; n < 20000; ++n) {
    double d = std::bit_cast<double>(rng());
    if (!std::isfinite(d)) continue;
    std::string text;
    write_json_double(d, text);
    JsonValue back = parse_ok(text);
    ASSERT_EQ(back.kind(), JsonKind::Float) << text;
    ASSERT_EQ(std::bit_cast<uint64_t>(back.float_value()), std::bit_cast<uint64_t>(d)) << text;

    float f = std::bit_cast<float>(static_cast<uint32_t>(rng()));
    if (!std::isfinite(f)) continue;
    std::string ftext;
    write_json_float32(f, ftext);
    float fb = 0;
    auto r = std::from_chars(ftext.data(), ftext.data() + ftext.size(), fb);
    ASSERT_TRUE(r.ec == std::errc{} && r.ptr == ftext.data() + ftext.size()) << ftext;
    ASSERT_EQ(std::bit_cast<uint32_t>(fb), std::bit_cast<uint32_t>(f)) << ftext;
  }
}

TEST(JsonWrite, CompactTextRoundTrips) {
  const char* texts[] = {
      R"({"a":1,"b":[true,null]})",
      R"([-1,0,18446744073709551615,-9223372036854775808,1.5,"x",{},[]])",
      R"({"":{"":{"":[[[]]]}},"k":"\u0001\"\\"})",
  };
  for (const char* t : texts) {
    std::string once = to_compact_json(parse_ok(t));
    EXPECT_EQ(once, t);
    EXPECT_EQ(to_compact_json(parse_ok(once)), once);
  }
  EXPECT_EQ(to_compact_json(parse_ok(" { \"b\" : [ true , null ] , \"a\" : 1 } ")),
            R"({"a":1,"b":[true,null]})");
}

}  // namespace
}  // namespace tornquil
