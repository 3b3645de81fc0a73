// The compact writer. Floats go through the shortest round-trip digits of to_chars and are
// then laid out by the decimal exponent of their leading digit.
#include "base/json_write.hpp"

#include <charconv>
#include <cmath>

namespace tornquil {
namespace {

template <class I>
void write_integer(I v, std::string& out) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Lays out the shortest digits of `v` by the decimal exponent e of the leading digit:
// fixed for 0 <= e <= hi, "0.000ddd" for lo <= e < 0, otherwise d.ddde±x.
template <class F>
void write_float(F v, int lo, int hi, std::string& out) {
  if (!std::isfinite(v)) {
    out.append("null");  // no JSON text holds these; never reached through the parser
    return;
  }
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[32];
  int n = 0;
  digits[n++] = *p++;
  if (*p == '.') {
    for (++p; *p != 'e'; ++p) digits[n++] = *p;
  }
  ++p;  // 'e'
  bool negative = *p++ == '-';
  int e = 0;
  for (; p < r.ptr; ++p) e = e * 10 + (*p - '0');
  if (negative) e = -e;
  if (e >= 0 && e <= hi) {
    if (n <= e + 1) {
      out.append(digits, n);
      out.append(e + 1 - n, '0');
      out.append(".0");
    } else {
      out.append(digits, e + 1);
      out.push_back('.');
      out.append(digits + e + 1, n - e - 1);
    }
  } else if (e < 0 && e >= lo) {
    out.append("0.");
    out.append(-e - 1, '0');
    out.append(digits, n);
  } else {
    out.push_back(digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(digits + 1, n - 1);
    }
    out.push_back('e');
    out.push_back(e < 0 ? '-' : '+');
    write_integer(e < 0 ? -e : e, out);
  }
}

}  // namespace

void write_json_string(std::string_view s, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const char* chunk = s.data();
  const char* end = s.data() + s.size();
  for (const char* p = chunk; p != end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(chunk, p);
    chunk = p + 1;
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\r':
        out.append("\\r");
        break;
      default: {
        char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(esc, 6);
      }
    }
  }
  out.append(chunk, end);
  out.push_back('"');
}

void write_json_uint(uint64_t v, std::string& out) { write_integer(v, out); }

void write_json_int(int64_t v, std::string& out) { write_integer(v, out); }

void write_json_double(double v, std::string& out) { write_float(v, -5, 15, out); }

void write_json_float32(float v, std::string& out) { write_float(v, -6, 12, out); }

void write_json(const JsonValue& value, std::string& out) {
  switch (value.kind()) {
    case JsonKind::Null:
      out.append("null");
      break;
    case JsonKind::Bool:
      out.append(value.bool_value() ? "true" : "false");
      break;
    case JsonKind::UInt:
      write_json_uint(value.uint_value(), out);
      break;
    case JsonKind::Int:
      write_json_int(value.int_value(), out);
      break;
    case JsonKind::Float:
      write_json_double(value.float_value(), out);
      break;
    case JsonKind::String:
      write_json_string(value.string_value(), out);
      break;
    case JsonKind::Array: {
      out.push_back('[');
      bool first = true;
      for (const JsonValue& item : value.array_items()) {
        if (!first) out.push_back(',');
        first = false;
        write_json(item, out);
      }
      out.push_back(']');
      break;
    }
    case JsonKind::Object: {
      out.push_back('{');
      bool first = true;
      for (const JsonMember& m : value.object_members()) {
        if (!first) out.push_back(',');
        first = false;
        write_json_string(m.key, out);
        out.push_back(':');
        write_json(m.value, out);
      }
      out.push_back('}');
      break;
    }
  }
}

std::string to_compact_json(const JsonValue& value) {
  std::string out;
  out.reserve(128);
  write_json(value, out);
  return out;
}

}  // namespace tornquil
