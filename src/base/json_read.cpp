// The parser, its cursor and the in-place object walker. One cursor serves parsing,
// validation and walking, so they accept exactly the same texts.
#include "base/json_read.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#include "base/error.hpp"
#include "base/json_write.hpp"

namespace tornquil {
namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kExpectedListComma = "expected `,` or `]`";
constexpr std::string_view kExpectedObjectComma = "expected `,` or `}`";
constexpr std::string_view kKeyMustBeString = "key must be a string";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kUnpairedSurrogate = "unpaired surrogate in hex escape";
constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kInvalidUtf8 = "invalid UTF-8 in string";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kNumberOutOfRange = "number out of range";
constexpr std::string_view kRecursionLimit = "recursion limit exceeded";
constexpr std::string_view kTrailingCharacters = "trailing characters";

// Bytes that end the plain run of a string: the quote, the backslash, control characters
// and every non-ASCII byte (which is checked as UTF-8).
constexpr std::array<bool, 256> kStringStop = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
  return t;
}();

// The end of the run of bytes at `p` that need no attention inside a string, eight at a time
// while whole words remain.
const char* plain_run(const char* p, const char* end) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    uint64_t quote = w ^ (kOnes * '"');
    uint64_t backslash = w ^ (kOnes * '\\');
    // A high bit marks a zero byte of `quote` or `backslash`, a byte below 0x20 or a
    // non-ASCII byte. A borrow can mark a byte falsely only above a byte that truly needs
    // attention, so the lowest mark (the first byte in memory) is exact.
    uint64_t stop = ((quote - kOnes) | (backslash - kOnes) | (w - kOnes * 0x20) | w) & kHigh;
    if (stop) return p + (std::countr_zero(stop) >> 3);
    p += 8;
  }
  while (p != end && !kStringStop[static_cast<unsigned char>(*p)]) ++p;
  return p;
}

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

const char* skip_ws(const char* p, const char* end) {
  while (p != end && is_ws(*p)) ++p;
  return p;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the well-formed UTF-8 sequence whose lead byte (0x80 or above) is at `p`; 0
// when it is not one (overlong forms, surrogates and values above U+10FFFF included).
[[gnu::noinline]] size_t utf8_sequence(const char* p, const char* end) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(p[i]); };
  auto cont = [&](size_t i) { return p + i < end && (b(i) & 0xC0) == 0x80; };
  unsigned char c = b(0);
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && b(1) < 0xA0) return 0;
    if (c == 0xED && b(1) > 0x9F) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && b(1) < 0x90) return 0;
    if (c == 0xF4 && b(1) > 0x8F) return 0;
    return 4;
  }
  return 0;
}

size_t encode_utf8(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// The code point of a surrogate pair.
uint32_t combine_surrogates(uint32_t hi, uint32_t lo) {
  return 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00);
}

// For a number text the double range refused: whether it lies below the range (and so
// reads as a zero) rather than above it. Decides by the decimal exponent of the leading
// non-zero digit, which is at least 308 above the range and at most -324 below it.
bool below_double_range(const char* p, const char* end) {
  if (*p == '-') ++p;
  const char* q = p;
  while (q != end && is_digit(*q)) ++q;
  int64_t lead = 0;
  bool found = false;
  for (const char* r = p; r != q; ++r) {
    if (*r != '0') {
      lead = (q - r) - 1;
      found = true;
      break;
    }
  }
  if (q != end && *q == '.') {
    const char* frac = ++q;
    for (; q != end && is_digit(*q); ++q) {
      if (!found && *q != '0') {
        lead = -(q - frac) - 1;
        found = true;
      }
    }
  }
  int64_t exp = 0;
  if (q != end && (*q == 'e' || *q == 'E')) {
    ++q;
    bool negative = false;
    if (*q == '+' || *q == '-') negative = *q++ == '-';
    for (; q != end && is_digit(*q); ++q) {
      if (exp < 1'000'000'000) exp = exp * 10 + (*q - '0');
    }
    if (negative) exp = -exp;
  }
  return found && lead + exp < 0;
}

}  // namespace

void JsonCursor::skip_ws() { p_ = tornquil::skip_ws(p_, end_); }

bool JsonCursor::value(JsonValue* out, int depth) {
  skip_ws();
  if (p_ == end_) return fail(kEofValue, end_);
  switch (*p_) {
    case 'n':
      if (!literal("null")) return false;
      if (out) *out = JsonValue();
      return true;
    case 't':
      if (!literal("true")) return false;
      if (out) *out = JsonValue::from_bool(true);
      return true;
    case 'f':
      if (!literal("false")) return false;
      if (out) *out = JsonValue::from_bool(false);
      return true;
    case '"': {
      if (!out) return string(nullptr, nullptr);
      std::string s;
      if (!string(&s, nullptr)) return false;
      *out = JsonValue::from_string(std::move(s));
      return true;
    }
    case '[':
      return array(out, depth);
    case '{':
      return object(out, depth);
    default:
      if (*p_ == '-' || is_digit(*p_)) return number(out);
      return fail(kExpectedValue, p_);
  }
}

bool JsonCursor::string(std::string* out, bool* escaped) {
  ++p_;
  const char* chunk = p_;
  for (;;) {
    p_ = plain_run(p_, end_);
    if (p_ == end_) return fail(kEofString, end_);
    unsigned char c = static_cast<unsigned char>(*p_);
    if (c == '"') {
      if (out) out->append(chunk, p_);
      ++p_;
      return true;
    }
    if (c == '\\') {
      if (out) out->append(chunk, p_);
      if (escaped) *escaped = true;
      char buf[4];
      size_t n = escape(buf);
      if (n == 0) return false;
      if (out) out->append(buf, n);
      chunk = p_;
    } else if (c < 0x20) {
      return fail(kControlCharacter, p_);
    } else {
      size_t n = utf8_sequence(p_, end_);
      if (n == 0) return fail(kInvalidUtf8, p_);
      p_ += n;
    }
  }
}

bool JsonCursor::fail(std::string_view reason, const char* at) {
  reason_ = reason;
  at_ = at;
  return false;
}

JsonError JsonCursor::error() const {
  uint64_t line = 1;
  const char* line_start = begin_;
  for (const char* q = begin_; q < at_; ++q) {
    if (*q == '\n') {
      ++line;
      line_start = q + 1;
    }
  }
  uint64_t column = static_cast<uint64_t>(at_ - line_start) + (at_ == end_ ? 0 : 1);
  return JsonError{reason_, line, column};
}

bool JsonCursor::literal(std::string_view word) {
  for (char c : word) {
    if (p_ == end_) return fail(kEofValue, end_);
    if (*p_ != c) return fail(kExpectedIdent, p_);
    ++p_;
  }
  return true;
}

bool JsonCursor::hex4(uint32_t* cp) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    if (p_ == end_) return fail(kEofString, end_);
    int h = hex_value(*p_);
    if (h < 0) return fail(kInvalidEscape, p_);
    v = v * 16 + static_cast<uint32_t>(h);
    ++p_;
  }
  *cp = v;
  return true;
}

// Kept out of line: escapes are rare in stored texts, and the string loop stays small
// without them.
[[gnu::noinline]] size_t JsonCursor::escape(char out[4]) {
  const char* start = p_;
  ++p_;
  if (p_ == end_) return fail(kEofString, end_);
  char c = *p_++;
  switch (c) {
    case '"':
    case '\\':
    case '/':
      out[0] = c;
      return 1;
    case 'b':
      out[0] = '\b';
      return 1;
    case 'f':
      out[0] = '\f';
      return 1;
    case 'n':
      out[0] = '\n';
      return 1;
    case 'r':
      out[0] = '\r';
      return 1;
    case 't':
      out[0] = '\t';
      return 1;
    case 'u': {
      uint32_t cp;
      if (!hex4(&cp)) return 0;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(kUnpairedSurrogate, start);
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        // A leading surrogate counts only with a trailing one escaped right after it.
        if (p_ == end_) return fail(kEofString, end_);
        if (*p_ != '\\') return fail(kUnpairedSurrogate, start);
        if (p_ + 1 == end_) return fail(kEofString, end_);
        if (p_[1] != 'u') return fail(kUnpairedSurrogate, start);
        p_ += 2;
        uint32_t lo;
        if (!hex4(&lo)) return 0;
        if (lo < 0xDC00 || lo > 0xDFFF) return fail(kUnpairedSurrogate, start);
        cp = combine_surrogates(cp, lo);
      }
      return encode_utf8(cp, out);
    }
    default:
      return fail(kInvalidEscape, p_ - 1);
  }
}

// At least one digit at the cursor, then the rest of the run.
bool JsonCursor::required_digits() {
  if (p_ == end_) return fail(kEofValue, end_);
  if (!is_digit(*p_)) return fail(kInvalidNumber, p_);
  while (p_ != end_ && is_digit(*p_)) ++p_;
  return true;
}

bool JsonCursor::number(JsonValue* out) {
  const char* start = p_;
  bool negative = *p_ == '-';
  if (negative) ++p_;
  if (p_ == end_) return fail(kEofValue, end_);
  if (*p_ == '0') {
    ++p_;
    if (p_ != end_ && is_digit(*p_)) return fail(kInvalidNumber, p_);
  } else if (!required_digits()) {
    return false;
  }
  size_t int_digits = static_cast<size_t>(p_ - start) - (negative ? 1 : 0);
  bool integer = true;
  bool exponent = false;
  if (p_ != end_ && *p_ == '.') {
    ++p_;
    integer = false;
    if (!required_digits()) return false;
  }
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
    ++p_;
    integer = false;
    exponent = true;
    if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (!required_digits()) return false;
  }
  // Validation needs only the range test, and no text without an exponent and with at
  // most 300 integer digits can leave the double range.
  if (!out && !exponent && int_digits <= 300) return true;
  if (integer) {
    if (!negative) {
      uint64_t u;
      auto r = std::from_chars(start, p_, u);
      if (r.ec == std::errc{}) {
        if (out) *out = JsonValue::from_uint(u);
        return true;
      }
    } else {
      int64_t i;
      auto r = std::from_chars(start, p_, i);
      // "-0" is no negative integer: it reads as the float -0.0.
      if (r.ec == std::errc{} && i != 0) {
        if (out) *out = JsonValue::from_int(i);
        return true;
      }
    }
  }
  double d;
  auto r = std::from_chars(start, p_, d);
  if (r.ec == std::errc::result_out_of_range) {
    if (!below_double_range(start, p_)) return fail(kNumberOutOfRange, start);
    d = negative ? -0.0 : 0.0;
  } else if (r.ec != std::errc{} || r.ptr != p_) {
    fatal("a validated JSON number did not convert");
  }
  if (out) *out = JsonValue::from_double(d);
  return true;
}

template <class Item, class Comma>
bool JsonCursor::elements(int depth, char close, std::string_view eof, std::string_view expected,
                          const Item& item, const Comma& comma) {
  if (depth >= kJsonMaxDepth) return fail(kRecursionLimit, p_);
  ++p_;
  skip_ws();
  if (p_ == end_) return fail(eof, end_);
  if (*p_ == close) {
    ++p_;
    return true;
  }
  for (;;) {
    if (!item()) return false;
    skip_ws();
    if (p_ == end_) return fail(eof, end_);
    if (*p_ == ',') {
      ++p_;
      comma();
      continue;
    }
    if (*p_ != close) return fail(expected, p_);
    ++p_;
    return true;
  }
}

bool JsonCursor::member_key() {
  skip_ws();
  if (p_ == end_) return fail(kEofObject, end_);
  if (*p_ != '"') return fail(kKeyMustBeString, p_);
  return true;
}

bool JsonCursor::array(JsonValue* out, int depth) {
  JsonValue::Array items;
  auto item = [&] {
    if (!out) return value(nullptr, depth + 1);
    JsonValue v;
    if (!value(&v, depth + 1)) return false;
    items.push_back(std::move(v));
    return true;
  };
  if (!elements(depth, ']', kEofList, kExpectedListComma, item, [] {})) return false;
  if (out) *out = JsonValue::from_array(std::move(items));
  return true;
}

bool JsonCursor::colon() {
  skip_ws();
  if (p_ == end_) return fail(kEofObject, end_);
  if (*p_ != ':') return fail(kExpectedColon, p_);
  ++p_;
  return true;
}

bool JsonCursor::object(JsonValue* out, int depth) {
  JsonValue::Object members;
  auto member = [&] {
    if (!member_key()) return false;
    if (!out) return string(nullptr, nullptr) && colon() && value(nullptr, depth + 1);
    JsonMember m;
    if (!string(&m.key, nullptr) || !colon() || !value(&m.value, depth + 1)) return false;
    members.push_back(std::move(m));
    return true;
  };
  if (!elements(depth, '}', kEofObject, kExpectedObjectComma, member, [] {})) return false;
  if (out) *out = JsonValue::from_object(std::move(members));
  return true;
}

bool JsonCursor::compact(std::string& out, JsonCompactScratch& scratch, int depth) {
  skip_ws();
  if (p_ == end_) return fail(kEofValue, end_);
  switch (*p_) {
    case '"':
      scratch.decoded.clear();
      if (!string(&scratch.decoded, nullptr)) return false;
      write_json_string(scratch.decoded, out);
      return true;
    case '[':
      return compact_array(out, scratch, depth);
    case '{':
      return compact_object(out, scratch, depth);
    default: {
      // Literals and numbers: their values hold nothing on the heap.
      JsonValue v;
      if (!value(&v, depth)) return false;
      write_json(v, out);
      return true;
    }
  }
}

// The structure and the faults of array(), the items written as they come.
bool JsonCursor::compact_array(std::string& out, JsonCompactScratch& scratch, int depth) {
  out.push_back('[');
  auto item = [&] { return compact(out, scratch, depth + 1); };
  if (!elements(depth, ']', kEofList, kExpectedListComma, item, [&] { out.push_back(','); })) {
    return false;
  }
  out.push_back(']');
  return true;
}

// The structure and the faults of object(). The members are written in text order, each
// remembered with its key; when the keys are not strictly ascending, the members are then
// put in key order, the last of a repeated key kept, as JsonValue::from_object does.
bool JsonCursor::compact_object(std::string& out, JsonCompactScratch& scratch, int depth) {
  using Member = JsonCompactScratch::Member;
  out.push_back('{');
  const size_t first = scratch.members.size();
  const size_t keys_mark = scratch.decoded_keys.size();
  const size_t body = out.size();
  auto member = [&] {
    if (!member_key()) return false;
    Member m;
    m.begin = out.size();
    const char* raw = p_ + 1;
    bool escaped = false;
    scratch.decoded.clear();
    if (!string(&scratch.decoded, &escaped)) return false;
    m.key_decoded = escaped;
    m.key_size = scratch.decoded.size();
    if (escaped) {
      m.key_at = scratch.decoded_keys.size();
      scratch.decoded_keys.append(scratch.decoded);
    } else {
      m.key_at = static_cast<size_t>(raw - begin_);
    }
    write_json_string(scratch.decoded, out);
    if (!colon()) return false;
    out.push_back(':');
    if (!compact(out, scratch, depth + 1)) return false;
    m.end = out.size();
    scratch.members.push_back(m);
    return true;
  };
  if (!elements(depth, '}', kEofObject, kExpectedObjectComma, member,
                [&] { out.push_back(','); })) {
    return false;
  }
  auto key = [&](size_t i) {
    const Member& m = scratch.members[i];
    const char* base = m.key_decoded ? scratch.decoded_keys.data() : begin_;
    return std::string_view(base + m.key_at, m.key_size);
  };
  const size_t last = scratch.members.size();
  bool ascending = true;
  for (size_t i = first + 1; i < last && ascending; ++i) ascending = key(i - 1) < key(i);
  if (!ascending) {
    std::vector<size_t>& order = scratch.order;
    order.clear();
    for (size_t i = first; i < last; ++i) order.push_back(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return key(a) < key(b); });
    scratch.moved.assign(out, body, out.size() - body);
    out.resize(body);
    bool lead = true;
    for (size_t k = 0; k < order.size(); ++k) {
      // Equal keys stand together in text order: the last of each run is kept.
      if (k + 1 < order.size() && key(order[k + 1]) == key(order[k])) continue;
      const Member& m = scratch.members[order[k]];
      if (!lead) out.push_back(',');
      lead = false;
      out.append(scratch.moved, m.begin - body, m.end - m.begin);
    }
  }
  out.push_back('}');
  scratch.members.resize(first);
  scratch.decoded_keys.resize(keys_mark);
  return true;
}

std::expected<void, JsonError> JsonCompactor::append(std::string_view text, std::string& out) {
  const size_t mark = out.size();
  scratch_.members.clear();
  scratch_.decoded_keys.clear();
  JsonCursor s(text.data(), text.data(), text.data() + text.size());
  bool ok = s.compact(out, scratch_, 0);
  if (ok) {
    s.skip_ws();
    if (!s.at_end()) ok = s.fail(kTrailingCharacters, s.pos());
  }
  if (!ok) {
    out.resize(mark);
    return std::unexpected(s.error());
  }
  return {};
}

std::string JsonError::describe() const {
  return std::string(reason) + " at line " + std::to_string(line) + " column " +
         std::to_string(column);
}

std::expected<JsonValue, JsonError> parse_json(std::string_view text) {
  JsonCursor s(text.data(), text.data(), text.data() + text.size());
  JsonValue v;
  if (!s.value(&v, 0)) return std::unexpected(s.error());
  s.skip_ws();
  if (!s.at_end()) {
    s.fail(kTrailingCharacters, s.pos());
    return std::unexpected(s.error());
  }
  return v;
}

JsonValue parse_metadata_text(std::string_view text) {
  auto v = parse_json(text);
  if (!v) return JsonValue();
  return std::move(*v);
}

int compare_json_string(const JsonRawString& s, std::string_view bytes) {
  if (!s.escaped) {
    int c = s.raw.compare(bytes);
    return (c > 0) - (c < 0);
  }
  const char* p = s.raw.data();
  const char* end = p + s.raw.size();
  size_t i = 0;
  // Compares one decoded piece with the next bytes; nonzero ends the comparison.
  auto piece = [&](const char* data, size_t n) {
    size_t m = std::min(n, bytes.size() - i);
    int c = std::memcmp(data, bytes.data() + i, m);
    if (c != 0) return c < 0 ? -1 : 1;
    if (m < n) return 1;  // `bytes` is a proper prefix
    i += n;
    return 0;
  };
  while (p != end) {
    int c;
    if (*p == '\\') {
      JsonCursor escape(p, p, end);
      char buf[4];
      size_t n = escape.escape(buf);
      if (n == 0) fatal("a validated JSON escape did not decode");
      p = escape.pos();
      c = piece(buf, n);
    } else {
      const void* hit = std::memchr(p, '\\', static_cast<size_t>(end - p));
      const char* run_end = hit ? static_cast<const char*>(hit) : end;
      c = piece(p, static_cast<size_t>(run_end - p));
      p = run_end;
    }
    if (c != 0) return c;
  }
  return i == bytes.size() ? 0 : -1;
}

JsonObjectWalker::JsonObjectWalker(std::string_view text)
    : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {
  p_ = skip_ws(p_, end_);
  if (p_ != end_ && *p_ == '{') {
    ++p_;
    object_ = true;
  } else {
    state_ = State::Done;
  }
}

bool JsonObjectWalker::finish(bool ok) {
  if (ok) {
    // Only white space may follow the object.
    p_ = skip_ws(p_, end_);
    ok = p_ == end_;
  }
  state_ = State::Done;
  ok_ = ok;
  return false;
}

bool JsonObjectWalker::next(JsonRawString& key, std::string_view& value) {
  if (state_ == State::Done) return false;
  JsonCursor s(begin_, p_, end_);
  s.skip_ws();
  if (s.at_end()) return finish(false);
  if (s.peek() == '}') {
    s.advance();
    p_ = s.pos();
    return finish(true);
  }
  if (state_ == State::Rest) {
    if (s.peek() != ',') return finish(false);
    s.advance();
    s.skip_ws();
    if (s.at_end()) return finish(false);
  }
  if (s.peek() != '"') return finish(false);
  const char* key_start = s.pos() + 1;
  bool escaped = false;
  if (!s.string(nullptr, &escaped)) return finish(false);
  key = JsonRawString{std::string_view(key_start, static_cast<size_t>(s.pos() - 1 - key_start)),
                      escaped};
  if (!s.colon()) return finish(false);
  s.skip_ws();
  const char* value_start = s.pos();
  if (!s.value(nullptr, 1)) return finish(false);
  value = std::string_view(value_start, static_cast<size_t>(s.pos() - value_start));
  p_ = s.pos();
  state_ = State::Rest;
  return true;
}

}  // namespace tornquil
