// The JSON parser: number kinds, error reasons and positions, nesting limit, key order,
// string escapes, and the in-place object walker.
#include "base/json_read.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "base/json_write.hpp"
#include "json_test_util.hpp"

namespace tornquil {
namespace {

std::string nested(int levels, const char* open, const char* close) {
  std::string s;
  for (int i = 0; i < levels; ++i) s += open;
  s += "1";
  for (int i = 0; i < levels; ++i) s += close;
  return s;
}

TEST(JsonParse, NumberKinds) {
  const auto u = [](uint64_t v) { return JsonValue::from_uint(v); };
  const auto i = [](int64_t v) { return JsonValue::from_int(v); };
  const auto f = [](double v) { return JsonValue::from_double(v); };
  struct Case {
    const char* text;
    JsonValue want;
  };
  const Case cases[] = {
      {"0", u(0)},
      {"7", u(7)},
      {"18446744073709551615", u(UINT64_MAX)},
      {"18446744073709551616", f(18446744073709551616.0)},  // 2^64: beyond both integer ranges
      {"-1", i(-1)},
      {"-9223372036854775808", i(INT64_MIN)},  // -2^63 stays an integer
      {"-9223372036854775809", f(-9223372036854775808.0)},
      {"1.0", f(1.0)},
      {"1e2", f(100.0)},
      {"1E+2", f(100.0)},
      {"-2.5e-3", f(-0.0025)},
      {"0.1", f(0.1)},
      {"1e-400", f(0.0)},  // below the double range: a zero, not an error
      {"-1e-400", f(-0.0)},
      {"1.7976931348623157e308", f(1.7976931348623157e308)},
      {" \t\r\n5 \n", u(5)},
  };
  for (const Case& c : cases) {
    JsonValue got = parse_ok(c.text);
    EXPECT_EQ(got.kind(), c.want.kind()) << c.text;
    EXPECT_EQ(got, c.want) << c.text;
  }
  // "-0" is no negative integer: it is the float -0.0 and is written back as such.
  JsonValue negative_zero = parse_ok("-0");
  ASSERT_EQ(negative_zero.kind(), JsonKind::Float);
  EXPECT_TRUE(std::signbit(negative_zero.float_value()));
  EXPECT_EQ(to_compact_json(negative_zero), "-0.0");
  EXPECT_EQ(to_compact_json(parse_ok("18446744073709551616")), "1.8446744073709552e+19");
  EXPECT_EQ(to_compact_json(parse_ok("-9223372036854775808")), "-9223372036854775808");
}

TEST(JsonParse, ErrorsNameReasonLineAndColumn) {
  struct Case {
    std::string text;
    const char* want;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {R"({"x": NaN})", "expected value at line 1 column 7"},
      {R"({"x": Infinity})", "expected value at line 1 column 7"},
      {R"({"x": -Infinity})", "invalid number at line 1 column 8"},
      {"[1] x", "trailing characters at line 1 column 5"},
      {"{} {}", "trailing characters at line 1 column 4"},
      {"{\n  \"a\": tru }", "expected ident at line 2 column 11"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"01", "invalid number at line 1 column 2"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-a", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"1" + std::string(400, '0'), "number out of range at line 1 column 1"},
      {"[1e400]", "number out of range at line 1 column 2"},
      {"-1e400", "number out of range at line 1 column 1"},
      {R"({"a" 1})", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {R"({"a":1,})", "key must be a string at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1,]", "expected value at line 1 column 4"},
      {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
      {R"("abc)", "EOF while parsing a string at line 1 column 4"},
      {R"("\x")", "invalid escape at line 1 column 3"},
      {R"("\u12g4")", "invalid escape at line 1 column 6"},
      {R"("\u12)", "EOF while parsing a string at line 1 column 5"},
      {R"("\ud800")", "unpaired surrogate in hex escape at line 1 column 2"},
      {R"("\udc00")", "unpaired surrogate in hex escape at line 1 column 2"},
      {R"("a\ud800\u0041")", "unpaired surrogate in hex escape at line 1 column 3"},
      {R"("\ud800\n")", "unpaired surrogate in hex escape at line 1 column 2"},
      {"\"a\nb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
       "column 3"},
      {"\"\xff\"", "invalid UTF-8 in string at line 1 column 2"},
      {"\"\xc3\"", "invalid UTF-8 in string at line 1 column 2"},          // cut sequence
      {"\"\xed\xa0\x80\"", "invalid UTF-8 in string at line 1 column 2"},  // surrogate
      {"\"\xc0\xaf\"", "invalid UTF-8 in string at line 1 column 2"},      // overlong
      {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},             // byte-order mark
      {std::string("[1,\0]", 5), "expected value at line 1 column 4"},
  };
  for (const Case& c : cases) {
    auto v = parse_json(c.text);
    ASSERT_FALSE(v.has_value()) << c.text;
    EXPECT_EQ(v.error().describe(), c.want) << c.text;
    EXPECT_TRUE(parse_metadata_text(c.text).is_null()) << c.text;
  }
}

TEST(JsonParse, NestingLimitIs127Levels) {
  struct Case {
    const char* open;
    const char* close;
  };
  for (const Case& c : {Case{"[", "]"}, Case{"{\"a\":", "}"}}) {
    EXPECT_TRUE(parse_json(nested(127, c.open, c.close)).has_value()) << c.open;
    auto deep = parse_json(nested(128, c.open, c.close));
    ASSERT_FALSE(deep.has_value()) << c.open;
    EXPECT_EQ(deep.error().reason, "recursion limit exceeded");
    EXPECT_EQ(deep.error().column, 1 + 127 * std::strlen(c.open));
  }
  // Mixed nesting counts every container; siblings do not add up.
  std::string siblings = "[";
  siblings += nested(126, "{\"k\":", "}");
  siblings += ",";
  siblings += nested(126, "[", "]");
  siblings += "]";
  EXPECT_TRUE(parse_json(siblings).has_value());
  std::string too_deep = "[";
  too_deep += nested(127, "{\"k\":", "}");
  too_deep += "]";
  EXPECT_FALSE(parse_json(too_deep).has_value());
}

TEST(JsonParse, ObjectsSortKeysAndKeepTheLastOfARepeatedKey) {
  struct Case {
    const char* text;
    const char* compact;
  };
  const Case cases[] = {
      {R"({"b": 1, "a": {"d": 2, "c": 3}})", R"({"a":{"c":3,"d":2},"b":1})"},
      {R"({"1": "a", "1": "b"})", R"({"1":"b"})"},
      {R"({"b":1,"a":2,"b":3,"a":4,"c":5})", R"({"a":4,"b":3,"c":5})"},
      {R"({"é":1,"z":2,"":3,"aa":4,"a":5,"B":6})", R"({"":3,"B":6,"a":5,"aa":4,"z":2,"é":1})"},
      {R"({"\u0061":1,"a":2})", R"({"a":2})"},  // equal once decoded
      {R"({})", R"({})"},
      {R"([{"y":[],"x":{}}, true, null, false])", R"([{"x":{},"y":[]},true,null,false])"},
  };
  for (const Case& c : cases) EXPECT_EQ(to_compact_json(parse_ok(c.text)), c.compact) << c.text;

  JsonValue v = parse_ok(R"({"b":1,"a":2})");
  ASSERT_NE(v.find("a"), nullptr);
  EXPECT_EQ(*v.find("a"), JsonValue::from_uint(2));
  EXPECT_EQ(v.find("c"), nullptr);
  EXPECT_EQ(parse_ok("[1]").find("a"), nullptr);
}

TEST(JsonParse, StringEscapesDecodeToUtf8) {
  struct Case {
    const char* text;
    std::string want;
  };
  const Case cases[] = {
      {R"("plain")", "plain"},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0041\u00e9\u00E9\u20ac")", "Aéé€"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\u0000")", std::string(1, '\0')},
      {"\"é€😀\"", "é€😀"},
      {R"("x\u0000y")", std::string("x\0y", 3)},
  };
  for (const Case& c : cases) {
    JsonValue v = parse_ok(c.text);
    ASSERT_TRUE(v.is_string()) << c.text;
    EXPECT_EQ(v.string_value(), c.want) << c.text;
  }
}

TEST(JsonParse, MetadataTextGivesNullForAnythingButOneValue) {
  EXPECT_EQ(parse_metadata_text(" {\"a\":1} \n"), parse_ok(R"({"a":1})"));
  EXPECT_EQ(parse_metadata_text("[1,2]"), parse_ok("[1,2]"));
  for (const char* bad : {"", "{", "{\"a\":1}}", "{\"a\":1} x", "nul", "{'a':1}"}) {
    EXPECT_TRUE(parse_metadata_text(bad).is_null()) << bad;
  }
}

TEST(JsonRawString, ComparesDecodedBytes) {
  struct Case {
    const char* raw;
    std::string bytes;
    int want;
  };
  const Case cases[] = {
      {"abc", "abc", 0},
      {"ab", "abc", -1},
      {"abc", "ab", 1},
      {"", "", 0},
      {"", "a", -1},
      {R"(a\u0062c)", "abc", 0},
      {R"(\u00e9)", "é", 0},
      {R"(\u00e9)", "z", 1},  // 0xC3 orders after 'z'
      {R"(a\n)", "a\n", 0},
      {R"(a\n)", "a", 1},
      {R"(a\n)", "a\nb", -1},
      {R"(\ud83d\ude00!)", "\xF0\x9F\x98\x80!", 0},
      {R"(\"q\\)", "\"q\\", 0},
      {R"(x\/y)", "x/y", 0},
      {R"(\u0041)", "B", -1},
      {R"(\u0000)", std::string(1, '\0'), 0},
      {R"(ab\tc)", "ab\tc", 0},
      {R"(ab\td)", "ab\tc", 1},
  };
  for (const Case& c : cases) {
    std::string_view raw = c.raw;
    JsonRawString s{raw, raw.find('\\') != std::string_view::npos};
    EXPECT_EQ(compare_json_string(s, c.bytes), c.want) << c.raw;
  }
}

TEST(JsonObjectWalker, YieldsMembersInTextOrderAndValidatesTheWholeText) {
  struct Member {
    std::string key;
    std::string value;
  };
  struct Case {
    const char* text;
    bool is_object;
    std::vector<Member> members;
    bool valid;
  };
  const Case cases[] = {
      {R"( { "b" : [1, {"x":2}] , "a":"s\"t", "b": null } )",
       true,
       {{"b", R"([1, {"x":2}])"}, {"a", R"("s\"t")"}, {"b", "null"}},
       true},
      {"{}", true, {}, true},
      {"{} ", true, {}, true},
      {"{} x", true, {}, false},
      {R"({"a":1,})", true, {{"a", "1"}}, false},
      {R"({"a":1} {)", true, {{"a", "1"}}, false},
      {R"({"a":1e999})", true, {}, false},
      {R"({"a\u0062":-0.5e1})", true, {{R"(a\u0062)", "-0.5e1"}}, true},
      {R"({"a":1)", true, {{"a", "1"}}, false},
      {"[1]", false, {}, false},
      {"\"{\"", false, {}, false},
      {"", false, {}, false},
  };
  for (const Case& c : cases) {
    JsonObjectWalker w(c.text);
    EXPECT_EQ(w.is_object(), c.is_object) << c.text;
    std::vector<Member> got;
    JsonRawString key;
    std::string_view value;
    while (w.next(key, value)) got.push_back({std::string(key.raw), std::string(value)});
    ASSERT_EQ(got.size(), c.members.size()) << c.text;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].key, c.members[i].key) << c.text;
      EXPECT_EQ(got[i].value, c.members[i].value) << c.text;
    }
    EXPECT_EQ(w.valid(), c.valid) << c.text;
    EXPECT_EQ(w.valid(), parse_json(c.text).has_value() && c.is_object) << c.text;
  }
  // The nesting limit holds inside the walked object as well.
  std::string deep = "{\"a\":" + nested(126, "[", "]") + "}";
  std::string deeper = "{\"a\":" + nested(127, "[", "]") + "}";
  for (const std::string& t : {deep, deeper}) {
    JsonObjectWalker w(t);
    JsonRawString key;
    std::string_view value;
    while (w.next(key, value)) {
    }
    EXPECT_EQ(w.valid(), parse_json(t).has_value());
  }
  EXPECT_TRUE(parse_json(deep).has_value());
  EXPECT_FALSE(parse_json(deeper).has_value());
}

// The one-pass rewrite must give exactly what parsing and writing give: the same text, or
// the same error at the same place. Each text is also tried cut short at every byte, so
// every fault of an unfinished text is compared too.
TEST(JsonCompactor, MatchesParseThenWriteOnTrickyTexts) {
  const std::string deep_ok = nested(kJsonMaxDepth - 1, "{\"a\": ", "}");
  const std::string too_deep = nested(kJsonMaxDepth, "[", "]");
  const std::string texts[] = {
      // json.dumps layouts: separators ", " and ": ", insertion order, ASCII escapes.
      R"({"source": "chat", "turn": 3, "tag": "t3"})",
      R"({"b": 1, "a": {"z": [1, 2, {"y": null, "x": true}], "m": false}, "c": []})",
      R"({"\u00e9t\u00e9": "\ud83d\ude00", "e": "caf\u00e9", "\u0000": "\b\f\n\r\t\"\\\/"})",
      // Keys whose escaped and decoded orders differ, and repeated keys (last kept).
      R"({"a\"b": 1, "a!": 2, "a#": 3, "\u0061": 4, "a": 5, "\u0041": 6})",
      R"({"k": 1, "k": {"k": 2, "k": 3}, "j": 0, "k": [4]})",
      R"({"": 1, "\u0000": 2, " ": 3})",
      // Numbers: kinds, layouts, range edges.
      R"({"n": [0, -0, 1.0, -1.5, 1e2, 1E-7, 123456789012345678901234567890, 1e16, 1e15]})",
      R"([18446744073709551615, 18446744073709551616, -9223372036854775808, -9223372036854775809])",
      R"([0.1, 1e-5, 1e-6, 5e-324, 1e-400, -1e-400, 1.7976931348623157e308, 12345.678e-3])",
      "[1e400]",
      "{\"big\": 1" + std::string(400, '0') + "}",
      // What json.dumps writes for values JSON has no room for.
      R"({"x": NaN})",
      R"({"x": Infinity})",
      R"({"x": -Infinity})",
      R"({"s": "\ud800"})",
      R"({"s": "\udc00x"})",
      R"({"s": "\ud800\u0041"})",
      // Faults of structure, escapes and white space.
      R"({"a" 1})",
      R"({"a": 1 "b": 2})",
      R"([1 2])",
      R"({1: 2})",
      R"({"a": 1,})",
      R"([1,])",
      R"("\x")",
      R"("\u12G4")",
      "\"a\tb\"",
      "\"\xC3\x28\"",
      "\"\xE2\x82\xAC\"",
      R"(01)",
      R"(-)",
      R"(1.)",
      R"(1e+)",
      "tru",
      "nul",
      "falsy",
      "  \n {\"a\" :\t[ 1 ,\r\n2 ] }  \n",
      "{} x",
      "",
      "   ",
      "\n\n  {\"a\": \n nul}",
      // Scalars at the top.
      "null",
      "true",
      "-12",
      "\"top\"",
      "[]",
      "{}",
      deep_ok,
      too_deep,
  };
  JsonCompactor compactor;
  for (const std::string& full : texts) {
    for (size_t cut = 0; cut <= full.size(); ++cut) {
      const std::string_view text(full.data(), cut);
      auto want = parse_json(text);
      std::string got = "prefix:";
      auto r = compactor.append(text, got);
      if (want) {
        ASSERT_TRUE(r.has_value()) << text << ": " << r.error().describe();
        EXPECT_EQ(got, "prefix:" + to_compact_json(*want)) << text;
      } else {
        ASSERT_FALSE(r.has_value()) << text << " gave " << got;
        EXPECT_EQ(r.error().describe(), want.error().describe()) << text;
        EXPECT_EQ(got, "prefix:") << text;  // nothing left behind
      }
    }
  }
}

}  // namespace
}  // namespace tornquil
