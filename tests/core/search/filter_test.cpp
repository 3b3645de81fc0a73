// The metadata filter: the parse of `where_` values, the rules of equality and ordering, and
// the in-place evaluation on stored texts checked against the evaluation on parsed values.
#include "search/filter.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/json_write.hpp"

namespace tornquil {
namespace {

JsonValue json(std::string_view text) {
  auto v = parse_json(text);
  EXPECT_TRUE(v.has_value()) << text;
  return v ? *v : JsonValue();
}

MetadataFilter where(std::string_view text) { return parse_where_filter(json(text)); }

const char* op_name(FilterOp op) {
  switch (op) {
    case FilterOp::Eq:
      return "Eq";
    case FilterOp::Ne:
      return "Ne";
    case FilterOp::Gt:
      return "Gt";
    case FilterOp::Gte:
      return "Gte";
    case FilterOp::Lt:
      return "Lt";
    case FilterOp::Lte:
      return "Lte";
    case FilterOp::In:
      return "In";
    case FilterOp::Nin:
      return "Nin";
  }
  return "?";
}

// "field:Op operand,Op operand;field:..."
std::string describe(const MetadataFilter& f) {
  std::string out;
  for (const FieldFilter& field : f.fields) {
    if (!out.empty()) out += ';';
    out += field.field + ":";
    for (size_t i = 0; i < field.conditions.size(); ++i) {
      if (i) out += ',';
      out += op_name(field.conditions[i].op);
      out += ' ';
      out += to_compact_json(field.conditions[i].operand);
    }
  }
  return out;
}

TEST(ParseWhereFilter, BuildsFieldsAndConditionsInKeyOrder) {
  struct Case {
    const char* where;
    const char* want;
  };
  const Case cases[] = {
      {"{}", ""},
      {"[]", ""},
      {"null", ""},
      {R"("a")", ""},
      {R"({"a":1})", "a:Eq 1"},
      {R"({"b":1,"a":{"$ne":null}})", "a:Ne null;b:Eq 1"},
      {R"({"a":{"$gt":1,"$lt":5}})", "a:Gt 1,Lt 5"},
      {R"({"a":{"$nin":[1],"$ne":2,"$lte":3,"$lt":4,"$in":[5],"$gte":6,"$gt":7,"$eq":8}})",
       "a:Eq 8,Gt 7,Gte 6,In [5],Lt 4,Lte 3,Ne 2,Nin [1]"},
      {R"({"a":{"$regex":"x"}})", ""},
      {R"({"a":{"$in":5}})", ""},
      {R"({"a":{"$nin":{"x":1}}})", ""},
      {R"({"a":{"$in":5,"$eq":1}})", "a:Eq 1"},
      {R"({"a":{"$eq":1,"b":2}})", "a:Eq 1"},
      {R"({"a":{"$EQ":1}})", ""},
      {R"({"a":{"$eq ":1}})", ""},
      {R"({"a":{"":1,"$":2}})", ""},
      {R"({"a":{"":1,"b":2}})", R"(a:Eq {"":1,"b":2})"},
      {R"({"a":{"b":"s"}})", R"(a:Eq {"b":"s"})"},
      {R"({"a":{}})", "a:Eq {}"},
      {R"({"a":[1,2]})", "a:Eq [1,2]"},
      {R"({"$or":[{"a":1}]})", R"($or:Eq [{"a":1}])"},
      {R"({"a.b":1})", "a.b:Eq 1"},
      {R"({"a":{"$in":[1,"x",null]}})", R"(a:In [1,"x",null])"},
      {R"({"a":{"$eq":{"$gt":1}}})", R"(a:Eq {"$gt":1})"},
      {R"({"a":{"$in":[]},"b":{"$bad":1},"c":2})", "a:In [];c:Eq 2"},
  };
  for (const Case& c : cases) EXPECT_EQ(describe(where(c.where)), c.want) << c.where;
}

// Every rule of equality and ordering, each case through both evaluations.
TEST(MatchesFilter, EqualityAndOrderingRules) {
  struct Case {
    const char* where;
    const char* metadata;  // stored text; need not be valid
    bool want;
  };
  const Case cases[] = {
      // An empty filter, present or made empty by dropped fields, accepts everything.
      {"{}", R"({"a":1})", true},
      {"{}", "[1]", true},
      {"{}", "not json", true},
      {"{}", "{}", true},
      {R"({"a":{"$regex":"x"}})", R"({"b":1})", true},
      {R"({"a":{"$in":5}})", "null", true},
      // A non-empty filter needs a non-empty object holding every named field.
      {R"({"a":1})", "[1]", false},
      {R"({"a":1})", R"([{"a":1}])", false},
      {R"({"a":1})", "{}", false},
      {R"({"a":1})", "", false},
      {R"({"a":1})", R"({"a":1)", false},
      {R"({"a":1})", R"({"a":1}x)", false},
      {R"({"a":{"$nin":[]}})", "{}", false},
      // Object and array operands match exactly.
      {R"({"a":{"b":"s"}})", R"({"a":{"b":"s"}})", true},
      {R"({"a":{"b":"s"}})", R"({"a":{"b":"s","c":1}})", false},
      {R"({"a":{"b":"s"}})", R"({"a":"s"})", false},
      {R"({"a":{}})", R"({"a":{}})", true},
      {R"({"a":{}})", R"({"a":{"b":1}})", false},
      {R"({"a":{}})", R"({"b":{}})", false},
      {R"({"a":[1,2]})", R"({"a":[1,2]})", true},
      {R"({"a":[1,2]})", R"({"a":1})", false},
      {R"({"a":[1,2]})", R"({"a":[2,1]})", false},
      {R"({"a":{"$eq":{"b":1}}})", R"({"a":{ "b" : 1 }})", true},
      {R"({"a":{"$in":[[1,2],{"b":1}]}})", R"({"a":[1,2]})", true},
      {R"({"a":{"$in":[[1,2],{"b":1}]}})", R"({"a":{"b":1}})", true},
      {R"({"a":{"$in":[[1,2],{"b":1}]}})", R"({"a":1})", false},
      // Null is a value; a missing field fails every condition, Ne and Nin included.
      {R"({"a":null})", R"({"a":null})", true},
      {R"({"a":null})", R"({"b":1})", false},
      {R"({"a":{"$ne":1}})", R"({"b":1})", false},
      {R"({"a":{"$nin":[1]}})", R"({"b":1})", false},
      {R"({"a":{"$nin":[]}})", R"({"a":null})", true},
      {R"({"a":{"$in":[]}})", R"({"a":1})", false},
      {R"({"a":{"$ne":1}})", R"({"a":2})", true},
      {R"({"a":{"$ne":1}})", R"({"a":1})", false},
      {R"({"a":{"$ne":1}})", R"({"a":1.0})", true},
      {R"({"a":{"$ne":1}})", R"({"a":"1"})", true},
      {R"({"a":{"$nin":[1,2]}})", R"({"a":3})", true},
      {R"({"a":{"$nin":[1,2]}})", R"({"a":2})", false},
      {R"({"a":{"$in":[1,"x"]}})", R"({"a":"x"})", true},
      // Kinds never mix in equality; ordering compares numbers as doubles.
      {R"({"a":1})", R"({"a":1})", true},
      {R"({"a":1})", R"({"a":1.0})", false},
      {R"({"a":1})", R"({"a":true})", false},
      {R"({"a":true})", R"({"a":true})", true},
      {R"({"a":-1})", R"({"a":-1})", true},
      {R"({"a":-1})", R"({"a":-1.0})", false},
      {R"({"a":0.0})", R"({"a":-0.0})", true},
      {R"({"a":0.0})", R"({"a":0})", false},
      {R"({"a":{"$gte":1,"$lte":1}})", R"({"a":1.0})", true},
      {R"({"a":{"$gte":1,"$lte":1}})", R"({"a":1})", true},
      {R"({"a":{"$gte":1,"$lte":1}})", R"({"a":true})", false},
      {R"({"a":{"$lt":0}})", R"({"a":-5})", true},
      {R"({"a":{"$gt":1.5}})", R"({"a":2})", true},
      {R"({"a":{"$gt":-9223372036854775808}})", R"({"a":18446744073709551615})", true},
      {R"({"a":{"$gt":9007199254740992}})", R"({"a":9007199254740993})", false},
      {R"({"a":{"$gte":9007199254740992}})", R"({"a":9007199254740993})", true},
      {R"({"a":{"$gt":1}})", R"({"a":"2"})", false},
      {R"({"a":{"$lt":"2"}})", R"({"a":1})", false},
      // Strings order by unsigned bytes, a prefix first.
      {R"({"a":{"$gt":"m"}})", R"({"a":"z"})", true},
      {R"({"a":{"$gt":"m"}})", R"({"a":"ma"})", true},
      {R"({"a":{"$gt":"m"}})", R"({"a":"M"})", false},
      {R"({"a":{"$gt":"m"}})", R"({"a":"m"})", false},
      {R"({"a":{"$gt":"m"}})", R"({"a":5})", false},
      {R"({"a":{"$gte":"m"}})", R"({"a":"m"})", true},
      {R"({"a":{"$gt":"z"}})", R"({"a":"é"})", true},
      {R"({"a":{"$lt":"a"}})", R"({"a":""})", true},
      {R"({"a":"é"})", R"({"a":"\u00e9"})", true},
      {R"({"a":"a\nb"})", R"({"a":"a\u000ab"})", true},
      {R"({"a":{"$lt":"b"}})", R"({"a":"\u0061z"})", true},
      // Only strings and numbers order.
      {R"({"a":{"$gte":null}})", R"({"a":null})", false},
      {R"({"a":{"$lte":true}})", R"({"a":true})", false},
      {R"({"a":{"$lte":[1]}})", R"({"a":[1]})", false},
      {R"({"a":{"$gte":{}}})", R"({"a":{}})", false},
      // Field names are taken literally, top level only.
      {R"({"a.b":1})", R"({"a":{"b":1}})", false},
      {R"({"a.b":1})", R"({"a.b":1})", true},
      {R"({"$or":[{"a":1}]})", R"({"a":1})", false},
      {R"({"$or":[{"a":1}]})", R"({"$or":[{"a":1}]})", true},
      {R"({"é":1})", R"({"\u00e9":1})", true},
      // Every field must hold; the order of the keys makes no difference.
      {R"({"a":1,"b":{"$lt":3}})", R"({"a":1,"b":2})", true},
      {R"({"b":{"$lt":3},"a":1})", R"({"b":2,"a":1})", true},
      {R"({"a":1,"b":{"$lt":3}})", R"({"a":1,"b":3})", false},
      {R"({"a":1,"b":{"$lt":3}})", R"({"a":1})", false},
      // A repeated key keeps its last value.
      {R"({"a":1})", R"({"a":2,"a":1})", true},
      {R"({"a":1})", R"({"a":1,"a":2})", false},
      {R"({"a":1})", R"({"\u0061":2,"a":1})", true},
      {R"({"a":1})", R"({"a":1,"\u0061":2})", false},
  };
  for (const Case& c : cases) {
    MetadataFilter f = where(c.where);
    EXPECT_EQ(matches_filter(f, parse_metadata_text(c.metadata)), c.want)
        << c.where << " on " << c.metadata;
    EXPECT_EQ(matches_filter_text(f, c.metadata), c.want) << c.where << " on " << c.metadata;
  }
}

std::string nested(int levels) {
  return std::string(static_cast<size_t>(levels), '[') + "1" +
         std::string(static_cast<size_t>(levels), ']');
}

const std::vector<std::string>& metadata_corpus() {
  static const std::vector<std::string> corpus = {
      R"({"a":1,"b":"x"})",
      R"({"a":1.0,"b":"x\u0000y"})",
      R"({"a":-3,"b":"\u00e9t\u00e9"})",
      R"({"a":18446744073709551615,"b":true})",
      R"({"a":18446744073709551616,"b":false})",
      R"({"a":-9223372036854775808,"b":null})",
      R"({"a":-9223372036854775809})",
      R"({"a":1e-400,"b":1E+2})",
      R"({"a":-0,"b":0})",
      R"({"a":0.0,"b":-0.0})",
      R"({"a":[1,2,{"c":[]}],"b":{"y":1,"x":2}})",
      R"({"a":{"b":1},"a":[1,2]})",
      R"({"a":1,"a":"1","a":2})",
      R"({"b":"k","\u0061":5})",
      R"({"k\"q":1,"é":"é","":0})",
      R"({"\u00e9":"\u00e9","k\u0022q":1})",
      " { \"a\" : \"m\" , \"b\" : [ ] } \n",
      R"({"a":"ma","b":{}})",
      R"({"a":"M","b":"kk"})",
      R"({"a":"z\n","b":"x\\"})",
      R"({"a":"\ud83d\ude00"})",
      R"({"a":"😀","b":"j"})",
      R"({"a":null,"b":null})",
      R"({"z":1,"y":2,"x":3,"w":4,"a":2,"b":"x"})",
      R"([{"a":1}])",
      R"("str")",
      "42",
      "null",
      "{}",
      "",
      "   ",
      R"({"a":1}})",
      R"({"a":1,})",
      R"({"a":1}x)",
      R"({"a":1e999})",
      R"({"a":1,"z":-1e999})",
      R"({"a":"\ud800"})",
      R"({"a":1,"z":"\udc00x"})",
      R"({"a":tru})",
      R"({"a":01})",
      R"({"a":1 "b":2})",
      R"({'a':1})",
      "{\"a\":\"x\ty\"}",
      "{\"a\":1,\"z\":\"\xff\"}",
      "{\"a\":1,\"z\":\"\xc3\"}",
      R"({"a":1,"z":"\x"})",
      R"({"a":1,"b":)" + nested(126) + "}",
      R"({"a":1,"b":)" + nested(127) + "}",
      R"({"b":[1e400],"a":1})",
      R"({"a":1,"b":"x"} )"
      "\n",
      R"({"a" :1 , "b":"x"   )",
  };
  return corpus;
}

const std::vector<std::string>& filter_corpus() {
  static const std::vector<std::string> filters = [] {
    std::vector<std::string> f = {
        "{}",
        R"({"a":1})",
        R"({"a":1.0})",
        R"({"a":"1"})",
        R"({"a":2})",
        R"({"a":5})",
        R"({"a":-3})",
        R"({"a":{"$gt":0}})",
        R"({"a":{"$gte":1,"$lt":2}})",
        R"({"a":{"$lt":"n"}})",
        R"({"a":{"$gt":"m"}})",
        R"({"a":{"$ne":1}})",
        R"({"a":{"$in":[1,"1",[1,2],{"b":1}]}})",
        R"({"a":{"$nin":[1,2]}})",
        R"({"a":[1,2,{"c":[]}]})",
        R"({"a":[1,2]})",
        R"({"a":{"b":1}})",
        R"({"a":null})",
        R"({"a":18446744073709551615})",
        R"({"a":{"$gte":18446744073709551616}})",
        R"({"a":-9223372036854775808})",
        R"({"a":0.0})",
        R"({"a":-0.0})",
        R"({"a":"😀"})",
        R"({"a":{"$gt":"z"}})",
        R"({"a":"z\n"})",
        R"({"a":{"$lte":"M"}})",
        R"({"b":"x"})",
        R"({"b":"x\u0000y"})",
        R"({"b":"été"})",
        R"({"b":{"$gte":"k"}})",
        R"({"b":{"x":2,"y":1}})",
        R"({"b":[]})",
        R"({"b":{}})",
        R"({"b":true})",
        R"({"b":100.0})",
        R"({"b":{"$lt":1000}})",
        R"({"b":"x\\"})",
        R"({"a":1,"b":"x"})",
        R"({"a":{"$ne":null},"b":{"$ne":null}})",
        R"({"é":"é"})",
        R"({"k\"q":1})",
        R"({"":0})",
        R"({"a":2,"x":3,"z":1})",
    };
    // More fields than the in-place path keeps track of.
    std::string wide = "{";
    for (int i = 0; i < 17; ++i) wide += "\"f" + std::to_string(100 + i) + "\":{\"$ne\":0},";
    wide += "\"a\":{\"$ne\":null}}";
    f.push_back(wide);
    return f;
  }();
  return filters;
}

// The text is copied into a buffer of exactly its size, so that a sanitizer build catches
// any read past its end.
void expect_same_answer(const MetadataFilter& f, const std::string& where_text,
                        const std::string& text) {
  std::unique_ptr<char[]> exact(new char[text.size()]);
  std::memcpy(exact.get(), text.data(), text.size());
  std::string_view view(exact.get(), text.size());
  ASSERT_EQ(matches_filter_text(f, view), matches_filter(f, parse_metadata_text(view)))
      << where_text << " on " << text;
}

TEST(MatchesFilterText, AgreesWithTheParsedEvaluation) {
  for (const std::string& w : filter_corpus()) {
    MetadataFilter f = where(w);
    for (const std::string& m : metadata_corpus()) expect_same_answer(f, w, m);
  }
}

// Damage every text of the corpus at every position: cut it short, or replace one byte.
// Both evaluations must still agree, so the in-place walk accepts exactly what parses.
TEST(MatchesFilterText, AgreesOnDamagedTexts) {
  const char replacements[] = {'"', '\\', '}', '{', ',',    ':',    ' ',
                               '1', 'e',  '-', 'x', '\x01', '\xc3', '['};
  std::vector<MetadataFilter> filters;
  std::vector<std::string> names;
  for (const std::string& w : filter_corpus()) {
    filters.push_back(where(w));
    names.push_back(w);
  }
  for (const std::string& m : metadata_corpus()) {
    if (m.size() > 100) continue;
    std::vector<std::string> damaged;
    for (size_t n = 0; n < m.size(); ++n) damaged.push_back(m.substr(0, n));
    for (size_t i = 0; i < m.size(); ++i) {
      for (char r : replacements) {
        std::string t = m;
        t[i] = r;
        damaged.push_back(t);
      }
    }
    for (const std::string& t : damaged) {
      for (size_t k = 0; k < filters.size(); ++k) expect_same_answer(filters[k], names[k], t);
    }
  }
}

TEST(MatchesFilterText, WideFiltersAndRepeatedKeys) {
  std::string wide_where = "{";
  std::string meta = "{";
  for (int i = 0; i < 20; ++i) {
    std::string k = "\"k" + std::to_string(10 + i) + "\"";
    wide_where += (i ? "," : "") + k + ":" + std::to_string(i);
    meta += k + ":" + std::to_string(i) + ",";
  }
  wide_where += "}";
  MetadataFilter f = where(wide_where);
  ASSERT_EQ(f.fields.size(), 20u);
  EXPECT_TRUE(matches_filter_text(f, meta + "\"z\":1}"));
  EXPECT_FALSE(matches_filter_text(f, meta + "\"k29\":0}"));  // the last k29 wins
  EXPECT_FALSE(matches_filter_text(f, meta + "\"z\":1"));     // cut short

  // Sixteen fields stay on the in-place path; the answer is the same either way.
  MetadataFilter sixteen;
  sixteen.fields.assign(f.fields.begin(), f.fields.begin() + 16);
  EXPECT_TRUE(matches_filter_text(sixteen, meta + "\"z\":1}"));
  EXPECT_FALSE(matches_filter_text(sixteen, meta + "\"k25\":0}"));
  EXPECT_TRUE(matches_filter_text(sixteen, meta + "\"k29\":0}"));
}

}  // namespace
}  // namespace tornquil
