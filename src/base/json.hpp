// JSON values, the one parser and the one compact writer of the system. Numbers keep their
// kind (unsigned, negative signed, double), objects keep their keys in ascending byte order
// with each key once, nesting is limited to 127 levels, and floats are written with the
// fewest digits that read back. A small in-place scanner serves callers that only need to
// look at a few members of a stored text without building its value.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/error.hpp"

namespace tornquil {

// The index of each kind is its position in JsonValue's variant.
enum class JsonKind : uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

struct JsonMember;

// A JSON value. Int holds negative values only (a non-negative integer is UInt); Float is
// always finite. An object's members stand in ascending byte order of their keys, each key
// once. Values are plain data: copyable, movable, not synchronised.
class JsonValue {
 public:
  using Array = std::vector<JsonValue>;
  using Object = std::vector<JsonMember>;

  JsonValue() = default;  // null

  static JsonValue from_bool(bool b) { return JsonValue(b); }
  static JsonValue from_uint(uint64_t v) { return JsonValue(v); }
  // A non-negative value becomes UInt.
  static JsonValue from_int(int64_t v) {
    return v >= 0 ? JsonValue(static_cast<uint64_t>(v)) : JsonValue(v);
  }
  // No JSON text holds a NaN or an infinity: such a `v` gives null, as the writer writes it.
  static JsonValue from_double(double v);
  static JsonValue from_string(std::string s) { return JsonValue(std::move(s)); }
  static JsonValue from_array(Array items) { return JsonValue(std::move(items)); }
  // Sorts the members by key; of a repeated key the last member is kept.
  static JsonValue from_object(Object members);

  JsonKind kind() const { return static_cast<JsonKind>(v_.index()); }
  bool is_null() const { return kind() == JsonKind::Null; }
  bool is_string() const { return kind() == JsonKind::String; }
  bool is_array() const { return kind() == JsonKind::Array; }
  bool is_object() const { return kind() == JsonKind::Object; }
  bool is_number() const {
    return kind() == JsonKind::UInt || kind() == JsonKind::Int || kind() == JsonKind::Float;
  }

  // Each accessor requires its kind; another kind is a broken invariant and ends the process.
  bool bool_value() const { return get<bool>(); }
  uint64_t uint_value() const { return get<uint64_t>(); }
  int64_t int_value() const { return get<int64_t>(); }
  double float_value() const { return get<double>(); }
  const std::string& string_value() const { return get<std::string>(); }
  const Array& array_items() const { return get<Array>(); }
  const Object& object_members() const { return get<Object>(); }

  // Any number as a double (integers by the usual rounding conversion). Requires a number.
  double number_as_double() const;

  // The value of `key` in an object (binary search over the sorted keys); nullptr when the
  // key is absent or this is not an object.
  const JsonValue* find(std::string_view key) const;

  // Structural equality: same kind, and equal within it (1 is not 1.0; 0.0 equals -0.0;
  // arrays element by element; objects member by member in key order).
  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  explicit JsonValue(bool b) : v_(b) {}
  explicit JsonValue(uint64_t v) : v_(v) {}
  explicit JsonValue(int64_t v) : v_(v) {}
  explicit JsonValue(double v) : v_(v) {}
  explicit JsonValue(std::string s) : v_(std::move(s)) {}
  explicit JsonValue(Array a) : v_(std::move(a)) {}
  explicit JsonValue(Object o) : v_(std::move(o)) {}

  template <class T>
  const T& get() const {
    const T* p = std::get_if<T>(&v_);
    if (!p) fatal("JSON value read as the wrong kind");
    return *p;
  }

  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object> v_;
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

bool operator==(const JsonMember& a, const JsonMember& b);

// Why a text did not parse, and where: the 1-based line and the 1-based byte column of the
// offending byte (at the end of the text, the column of its last byte; 0 on an empty line).
struct JsonError {
  std::string_view reason;  // a static text such as "expected value"
  uint64_t line = 0;
  uint64_t column = 0;

  // "{reason} at line {line} column {column}"
  std::string describe() const;
};

// Parses exactly one JSON value, optionally surrounded by white space (space, tab, line
// feed, carriage return).
std::expected<JsonValue, JsonError> parse_json(std::string_view text);

// A stored metadata text as a value; a text that is not one JSON value gives null.
JsonValue parse_metadata_text(std::string_view text);

// The compact text: no white space, keys in ascending byte order, shortest floats.
void write_json(const JsonValue& value, std::string& out);
std::string to_compact_json(const JsonValue& value);  // starts from a 128-byte buffer

// Single pieces of the compact text, for writers that lay out their own objects.
void write_json_string(std::string_view utf8, std::string& out);  // quotes included
// A NaN or an infinity is written as null.
void write_json_double(double v, std::string& out);
void write_json_float32(float v, std::string& out);  // bounds -6 and 12, float digits

// ---- In-place scanning ----

// The raw content of a string token (between its quotes, escapes not decoded) of a text
// that was validated.
struct JsonRawString {
  std::string_view raw;
  bool escaped = false;  // the content holds at least one backslash escape
};

// Three-way comparison of a raw string's decoded bytes with `bytes` (unsigned byte order,
// a prefix first). Allocates nothing.
int compare_json_string(const JsonRawString& s, std::string_view bytes);

// Walks the top-level object of a text member by member, validating the whole text exactly
// as parse_json would accept it, without building any value. Views point into the text.
//
//   JsonObjectWalker w(text);
//   if (w.is_object()) while (w.next(key, value)) { ... }
//   w.valid() now tells whether the whole text parses.
//
// `value` is the raw text of the member's value; it parses on its own with parse_json.
class JsonObjectWalker {
 public:
  explicit JsonObjectWalker(std::string_view text);

  // Whether the text starts (after white space) with an object; when false, next() gives
  // nothing and valid() is false, whatever the text is.
  bool is_object() const { return object_; }

  // The next member in text order (repeated keys included). False at the end of the object
  // or at the first fault.
  bool next(JsonRawString& key, std::string_view& value);

  // After next() returned false: true when the whole text is one valid JSON object.
  bool valid() const { return state_ == State::Done && ok_; }

 private:
  enum class State : uint8_t { First, Rest, Done };
  bool finish(bool ok);

  const char* begin_;
  const char* p_;
  const char* end_;
  State state_ = State::First;
  bool object_ = false;
  bool ok_ = false;
};

}  // namespace tornquil
