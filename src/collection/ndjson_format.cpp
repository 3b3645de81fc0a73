// The two line forms of an export file: the writers of the header and record lines, and the
// strict reader that takes each as a JSON object or as an array of its values.
#include "collection/ndjson_format.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/json_read.hpp"
#include "base/json_write.hpp"

namespace tornquil {

namespace {

// "{message} at line {} column {}", positions as the JSON parser reports them: 1-based
// line, 1-based byte column, and at the end of the text the column of its last byte.
std::string locate(std::string_view text, const std::string& message, size_t offset) {
  const size_t at = std::min(offset, text.size());
  uint64_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < at; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  const uint64_t column = at - line_start + (at == text.size() ? 0 : 1);
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// How an unexpected value is named in "invalid type" and "invalid value" messages.
std::string describe(const JsonValue& v) {
  std::string s;
  switch (v.kind()) {
    case JsonKind::Null:
      return "null";
    case JsonKind::Bool:
      return v.bool_value() ? "boolean `true`" : "boolean `false`";
    case JsonKind::UInt:
      s = "integer `";
      write_json_uint(v.uint_value(), s);
      break;
    case JsonKind::Int:
      s = "integer `";
      write_json_int(v.int_value(), s);
      break;
    case JsonKind::Float:
      s = "floating point `";
      write_json_double(v.float_value(), s);
      break;
    case JsonKind::String:
      s = "string ";
      write_json_string(v.string_value(), s);
      return s;
    case JsonKind::Array:
      return "sequence";
    case JsonKind::Object:
      return "map";
  }
  s.push_back('`');
  return s;
}

std::string invalid_type(const JsonValue& v, std::string_view expected) {
  return "invalid type: " + describe(v) + ", expected " + std::string(expected);
}

// The nearest float32 of a double, infinite beyond the float32 range (a plain conversion
// of such a value is undefined).
float narrow_to_f32(double d) {
  constexpr double kMax = std::numeric_limits<float>::max();
  constexpr double kHalfwayToInf = 0x1.ffffffp+127;  // rounds to even, which is infinity
  if (std::fabs(d) > kMax) {
    const float inf = std::numeric_limits<float>::infinity();
    if (std::fabs(d) >= kHalfwayToInf) return d < 0 ? -inf : inf;
    return d < 0 ? -std::numeric_limits<float>::max() : std::numeric_limits<float>::max();
  }
  return static_cast<float>(d);
}

// A vector element: an integer goes to its nearest float32, any other number through a
// double.
std::expected<float, std::string> to_f32(const JsonValue& v) {
  switch (v.kind()) {
    case JsonKind::UInt:
      return static_cast<float>(v.uint_value());
    case JsonKind::Int:
      return static_cast<float>(v.int_value());
    case JsonKind::Float:
      return narrow_to_f32(v.float_value());
    default:
      return std::unexpected(invalid_type(v, "f32"));
  }
}

std::expected<uint64_t, std::string> to_uint(const JsonValue& v, uint64_t max,
                                             std::string_view type) {
  if (v.kind() == JsonKind::UInt && v.uint_value() <= max) return v.uint_value();
  if (v.kind() == JsonKind::UInt || v.kind() == JsonKind::Int) {
    return std::unexpected("invalid value: " + describe(v) + ", expected " + std::string(type));
  }
  return std::unexpected(invalid_type(v, type));
}

std::expected<std::optional<uint64_t>, std::string> to_optional_u64(const JsonValue& v) {
  if (v.is_null()) return std::optional<uint64_t>();
  auto u = to_uint(v, std::numeric_limits<uint64_t>::max(), "u64");
  if (!u) return std::unexpected(std::move(u.error()));
  return std::optional<uint64_t>(*u);
}

std::expected<std::string, std::string> to_string(JsonValue&& v) {
  if (!v.is_string()) return std::unexpected(invalid_type(v, "a string"));
  return std::string(v.string_value());
}

std::expected<void, std::string> to_floats(const JsonValue& v, std::vector<float>& out) {
  if (!v.is_array()) return std::unexpected(invalid_type(v, "a sequence"));
  out.clear();
  out.reserve(v.array_items().size());
  for (const JsonValue& item : v.array_items()) {
    auto f = to_f32(item);
    if (!f) return std::unexpected(std::move(f.error()));
    out.push_back(*f);
  }
  return {};
}

// Why a line did not read: a reader message at a byte offset of the text, or a syntax
// fault, which the JSON parser names and places itself.
struct Fault {
  std::string message;
  size_t offset = 0;
  bool syntax = false;
};
using FieldResult = std::expected<void, Fault>;

FieldResult syntax_fault() { return std::unexpected(Fault{{}, 0, true}); }
FieldResult value_fault(std::string message) {
  return std::unexpected(Fault{std::move(message), 0, false});
}

// Reads the vector array at the cursor element by element, with no value object per
// element. Anything but an array goes through the general conversion to be named.
FieldResult read_floats(JsonCursor& cur, std::vector<float>& out) {
  cur.skip_ws();
  if (cur.at_end() || cur.peek() != '[') {
    JsonValue v;
    if (!cur.value(&v, 1)) return syntax_fault();
    auto r = to_floats(v, out);
    if (!r) return value_fault(std::move(r.error()));
    return {};
  }
  cur.advance();
  out.clear();
  cur.skip_ws();
  if (!cur.at_end() && cur.peek() == ']') {
    cur.advance();
    return {};
  }
  for (;;) {
    JsonValue v;
    cur.skip_ws();
    if (!cur.value(&v, 2)) return syntax_fault();
    auto f = to_f32(v);
    if (!f) return value_fault(std::move(f.error()));
    out.push_back(*f);
    cur.skip_ws();
    if (cur.at_end()) return syntax_fault();
    const char c = cur.peek();
    cur.advance();
    if (c == ']') return {};
    if (c != ',') return syntax_fault();
  }
}

// A line of either form, read against a list of field names. `store_field(i, cur, value)` stores
// field i: from the cursor when the line is an object (the cursor stands at the member's
// value and must be moved past it), otherwise from `value` (an array element, or null for
// an optional member that is absent).
struct Fields {
  std::span<const std::string_view> names;
  size_t required;  // fields [0, required) must be present in an object
  std::string_view struct_name;
};

template <class Read>
std::expected<void, Fault> read_fields(std::string_view text, const Fields& f, Read&& store_field) {
  const size_t n = f.names.size();
  const char* begin = text.data();
  const char* end = begin + text.size();
  JsonCursor cur(begin, begin, end);
  cur.skip_ws();
  if (!cur.at_end() && cur.peek() == '{') {
    cur.advance();
    uint64_t seen = 0;
    std::string key;
    cur.skip_ws();
    bool more = cur.at_end() || cur.peek() != '}';
    if (!more) cur.advance();
    while (more) {
      cur.skip_ws();
      if (cur.at_end() || cur.peek() != '"') return syntax_fault();
      key.clear();
      if (!cur.string(&key, nullptr)) return syntax_fault();
      const size_t key_end = static_cast<size_t>(cur.pos() - 1 - begin);
      if (!cur.colon()) return syntax_fault();
      size_t i = 0;
      while (i < n && key != f.names[i]) ++i;
      if (i == n) {
        if (!cur.value(nullptr, 1)) return syntax_fault();  // another key: ignored
      } else {
        if (seen & (uint64_t{1} << i)) {
          return std::unexpected(
              Fault{"duplicate field `" + std::string(f.names[i]) + "`", key_end, false});
        }
        seen |= uint64_t{1} << i;
        auto r = store_field(i, &cur, nullptr);
        if (!r) {
          if (!r.error().syntax) r.error().offset = static_cast<size_t>(cur.pos() - 1 - begin);
          return r;
        }
      }
      cur.skip_ws();
      if (cur.at_end()) return syntax_fault();
      const char c = cur.peek();
      cur.advance();
      if (c == '}') break;
      if (c != ',') return syntax_fault();
    }
    const size_t close = static_cast<size_t>(cur.pos() - 1 - begin);  // the closing brace
    cur.skip_ws();
    if (!cur.at_end()) return syntax_fault();  // trailing characters
    for (size_t i = 0; i < n; ++i) {
      if (seen & (uint64_t{1} << i)) continue;
      if (i < f.required) {
        return std::unexpected(
            Fault{"missing field `" + std::string(f.names[i]) + "`", close, false});
      }
      JsonValue null;
      auto r = store_field(i, nullptr, &null);
      if (!r) return std::unexpected(Fault{std::move(r.error().message), close, false});
    }
    return {};
  }

  auto parsed = parse_json(text);
  if (!parsed) return syntax_fault();
  auto at_end = [&](FieldResult r) -> std::expected<void, Fault> {
    r.error().offset = text.size();
    return r;
  };
  if (!parsed->is_array()) return at_end(value_fault(invalid_type(*parsed, f.struct_name)));
  const JsonValue::Array& items = parsed->array_items();
  for (size_t i = 0; i < std::min(n, items.size()); ++i) {
    JsonValue item = items[i];
    auto r = store_field(i, nullptr, &item);
    if (!r) return at_end(std::move(r));
  }
  if (items.size() < n) {
    return at_end(value_fault("invalid length " + std::to_string(items.size()) + ", expected " +
                              std::string(f.struct_name) + " with " + std::to_string(n) +
                              " elements"));
  }
  if (items.size() > n) return at_end(value_fault("trailing characters"));
  return {};
}

// The value of a field: read at the cursor, or the one given.
std::expected<JsonValue, Fault> field_value(JsonCursor* cur, JsonValue* given) {
  if (cur == nullptr) return std::move(*given);
  JsonValue v;
  if (!cur->value(&v, 1)) return std::unexpected(Fault{{}, 0, true});
  return v;
}

std::string finish_error(std::string_view text, const Fault& e) {
  if (e.syntax) {
    // The JSON parser stops at the same fault, having accepted everything before it.
    auto parsed = parse_json(text);
    return parsed ? std::string("invalid JSON") : parsed.error().describe();
  }
  return locate(text, e.message, e.offset);
}

}  // namespace

void write_export_header(const ExportHeader& h, std::string& out) {
  out.append("{\"version\":");
  write_json_uint(h.version, out);
  out.append(",\"collection\":");
  write_json_string(h.collection, out);
  out.append(",\"dimensions\":");
  write_json_uint(h.dimensions, out);
  out.append(",\"metric\":");
  write_json_string(h.metric, out);
  out.append(",\"record_count\":");
  write_json_uint(h.record_count, out);
  out.append(",\"exported_at\":");
  write_json_uint(h.exported_at, out);
  out.push_back('}');
}

void write_export_record(std::string_view id, std::span<const float> vector,
                         const JsonValue& metadata, uint64_t created_at,
                         std::optional<uint64_t> ttl, std::string& out) {
  out.append("{\"id\":");
  write_json_string(id, out);
  out.append(",\"vector\":[");
  for (size_t i = 0; i < vector.size(); ++i) {
    if (i != 0) out.push_back(',');
    write_json_float32(vector[i], out);
  }
  out.append("],\"metadata\":");
  write_json(metadata, out);
  out.append(",\"created_at\":");
  write_json_uint(created_at, out);
  if (ttl) {
    out.append(",\"ttl\":");
    write_json_uint(*ttl, out);
  }
  out.push_back('}');
}

namespace {

// Stores a converted field, or gives the conversion's message as a fault.
template <class T, class U>
FieldResult store(std::expected<T, std::string> r, U& into) {
  if (!r) return value_fault(std::move(r.error()));
  into = static_cast<U>(std::move(*r));
  return {};
}

}  // namespace

std::expected<ExportHeader, std::string> parse_export_header(std::string_view text) {
  static constexpr std::string_view kNames[] = {"version", "collection",   "dimensions",
                                                "metric",  "record_count", "exported_at"};
  constexpr uint64_t kU64 = std::numeric_limits<uint64_t>::max();
  ExportHeader h;
  auto read = [&](size_t i, JsonCursor* cur, JsonValue* given) -> FieldResult {
    auto v = field_value(cur, given);
    if (!v) return std::unexpected(std::move(v.error()));
    switch (i) {
      case 0:
        return store(to_uint(*v, std::numeric_limits<uint32_t>::max(), "u32"), h.version);
      case 1:
        return store(to_string(std::move(*v)), h.collection);
      case 2:
        return store(to_uint(*v, kU64, "u64"), h.dimensions);
      case 3:
        return store(to_string(std::move(*v)), h.metric);
      case 4:
        return store(to_uint(*v, kU64, "u64"), h.record_count);
      default:
        return store(to_uint(*v, kU64, "u64"), h.exported_at);
    }
  };
  auto r = read_fields(text, Fields{kNames, 6, "struct ExportHeader"}, read);
  if (!r) return std::unexpected(finish_error(text, r.error()));
  return h;
}

std::expected<void, std::string> parse_export_record(std::string_view text, ExportRecord& out) {
  static constexpr std::string_view kNames[] = {"id", "vector", "metadata", "created_at", "ttl"};
  out.created_at.reset();
  out.ttl.reset();
  auto read = [&](size_t i, JsonCursor* cur, JsonValue* given) -> FieldResult {
    if (i == 1 && cur != nullptr) return read_floats(*cur, out.vector);
    auto v = field_value(cur, given);
    if (!v) return std::unexpected(std::move(v.error()));
    switch (i) {
      case 0:
        return store(to_string(std::move(*v)), out.id);
      case 1: {
        auto r = to_floats(*v, out.vector);
        if (!r) return value_fault(std::move(r.error()));
        return {};
      }
      case 2:
        out.metadata = std::move(*v);
        return {};
      case 3:
        return store(to_optional_u64(*v), out.created_at);
      default:
        return store(to_optional_u64(*v), out.ttl);
    }
  };
  auto r = read_fields(text, Fields{kNames, 3, "struct ExportRecord"}, read);
  if (!r) return std::unexpected(finish_error(text, r.error()));
  return {};
}

}  // namespace tornquil
