// The filter read from a plain object text (valid, keys unescaped and strictly ascending, as
// the compact writer lays metadata out) without validating it again: the same answer as the
// validating reader, for every kind of value and condition, fields before, between and after
// the text's keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/json_read.hpp"
#include "search/filter.hpp"

namespace tornquil {
namespace {

TEST(PlainObjectTextTest, OnlyValidObjectsWithPlainAscendingKeysArePlain) {
  struct Case {
    const char* text;
    bool plain;
  };
  const Case kCases[] = {
      {"{}", true},
      {"{\"a\":1,\"b\":[1,{\"z\":\"}\"}],\"c\":\"x\\\"y\"}", true},
      {" { \"a\" : 1 , \"b\" : null } ", true},
      {"{\"b\":1,\"a\":2}", false},      // keys out of order
      {"{\"a\":1,\"a\":2}", false},      // a repeated key
      {"{\"a\\u0062\":1}", false},       // an escaped key
      {"{\"a\":1,}", false},             // invalid
      {"{\"a\":1} x", false},            // text after the object
      {"[1]", false},
      {"null", false},
      {"", false},
      {"{\"\\u00e9\":1}", false},
      {"{\"A\":1,\"a\":2,\"\xc3\xa9\":3}", true},  // byte order: upper case, lower, then UTF-8
  };
  for (const Case& c : kCases) EXPECT_EQ(is_plain_object_text(c.text), c.plain) << c.text;
}

TEST(PlainObjectTextTest, FiltersGiveTheValidatingReadersAnswer) {
  const char* const kTexts[] = {
      "{}",
      "{\"g\":1}",
      "{\"g\":1.0,\"n\":-3}",
      "{\"a\":\"m\",\"g\":2,\"tags\":[1,2],\"z\":{\"q\":[true,null]}}",
      "{\"a\":\"x\\\"\\\\\",\"b\":{\"c\":\"}]\"},\"g\":true}",
      " { \"g\" : 1 , \"h\" : [ 1 , 2 ] } ",
      "{\"$or\":[1],\"a.b\":1,\"g\":null}",
      "{\"g\":18446744073709551615,\"h\":1e300}",
  };
  const char* const kFilters[] = {
      "{}",
      "{\"g\": 1}",
      "{\"g\": {\"$gte\": 1, \"$lt\": 3}}",
      "{\"g\": {\"$ne\": 1}}",
      "{\"g\": {\"$nin\": []}}",
      "{\"g\": {\"$in\": [true, 2]}}",
      "{\"a\": {\"$gt\": \"l\"}, \"g\": 2}",
      "{\"a\": \"x\\\"\\\\\"}",
      "{\"b\": {\"c\": \"}]\"}}",
      "{\"tags\": [1, 2], \"z\": {\"q\": [true, null]}}",
      "{\"0\": 1}",
      "{\"zz\": 1}",
      "{\"h\": [1, 2]}",
      "{\"g\": null}",
      "{\"$or\": [1], \"a.b\": 1}",
      "{\"a\": \"m\", \"n\": -3}",
      "{\"g\": 18446744073709551615}",
      "{\"h\": {\"$gt\": 1e299}}",
  };
  for (const char* f : kFilters) {
    auto where = parse_json(f);
    ASSERT_TRUE(where) << f;
    const MetadataFilter filter = parse_where_filter(*where);
    for (const char* t : kTexts) {
      ASSERT_TRUE(is_plain_object_text(t)) << t;
      EXPECT_EQ(matches_plain_object_text(filter, t), matches_filter_text(filter, t))
          << f << " on " << t;
    }
  }
}

}  // namespace
}  // namespace tornquil
