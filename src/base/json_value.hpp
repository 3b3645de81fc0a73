// JSON values as plain data. Numbers keep their kind (unsigned, negative signed, double) and
// objects keep their keys in ascending byte order with each key once, so equal values are
// equal member by member and write the same compact text.
#pragma once

#include <cstdint>
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

}  // namespace tornquil
