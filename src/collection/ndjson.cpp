// NDJSON export and import: the line writers, the strict line reader, and the two file
// operations on a collection.
#include "collection/ndjson.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <shared_mutex>

#include "base/platform.hpp"
#include "base/worker_pool.hpp"
#include "collection/collection.hpp"
#include "search/distance.hpp"
#include "storage/records.hpp"

namespace tornquil {

namespace {

// Records an import buffers between two flushes of the write buffer.
constexpr size_t kImportFlushRecords = 1000;

// ---- Writing ----

template <class I>
void append_integer(I v, std::string& out) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Writes through a fixed buffer; a piece larger than the buffer goes straight to the file.
// Bytes still buffered when it is dropped are written out, their errors ignored.
class BufferedWriter {
 public:
  explicit BufferedWriter(platform::File file) : file_(std::move(file)) {
    buf_.reserve(kNdjsonBufferBytes);
  }
  ~BufferedWriter() { (void)flush(); }
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  Result<void> write(std::string_view s) {
    if (buf_.size() + s.size() > kNdjsonBufferBytes) TQ_TRY(flush());
    if (s.size() >= kNdjsonBufferBytes) return file_.write_all(s.data(), s.size());
    buf_.append(s);
    return {};
  }

  Result<void> flush() {
    if (buf_.empty()) return {};
    // Cleared first: after a failed write the bytes are not written again on drop.
    std::string pending;
    pending.swap(buf_);
    Result<void> r = file_.write_all(pending.data(), pending.size());
    pending.clear();
    buf_.swap(pending);
    return r;
  }

  // Writes out what is buffered and closes the file.
  Result<void> finish() {
    TQ_TRY(flush());
    file_.close();
    return {};
  }

 private:
  platform::File file_;
  std::string buf_;
};

// Live records taken from the scan and laid out as lines together, on the worker pool:
// laying out the floats is most of an export's work. The views stay valid while the
// read transaction and the vectors lock are held.
class ExportChunk {
 public:
  static constexpr size_t kRecords = 64;

  void add(const RecordView& r, std::span<const float> v, std::optional<uint64_t> ttl) {
    items_[n_++] = Item{r, v, ttl};
  }
  bool full() const { return n_ == kRecords; }
  size_t size() const { return n_; }
  void clear() { n_ = 0; }

  Result<void> write_to(BufferedWriter& w) {
    parallel_for(n_, 4, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) {
        const Item& it = items_[i];
        std::string& line = lines_[i];
        line.clear();
        write_export_record(it.record.id, it.vector, parse_metadata_text(it.record.metadata),
                            it.record.created_at, it.ttl, line);
        line.push_back('\n');
      }
    });
    for (size_t i = 0; i < n_; ++i) TQ_TRY(w.write(lines_[i]));
    return {};
  }

 private:
  struct Item {
    RecordView record;
    std::span<const float> vector;
    std::optional<uint64_t> ttl;
  };
  std::array<Item, kRecords> items_;
  std::array<std::string, kRecords> lines_;
  size_t n_ = 0;
};

// ---- Reading ----

// Reads a file line by line through a fixed buffer.
class LineReader {
 public:
  explicit LineReader(platform::File file) : file_(std::move(file)), buf_(kNdjsonBufferBytes) {}

  // Replaces `line` with the next line, its LF included when there is one. False at the
  // end of the file. A line that is not UTF-8 is Io "stream did not contain valid UTF-8".
  Result<bool> next(std::string& line) {
    line.clear();
    for (;;) {
      if (pos_ == len_) {
        TQ_ASSIGN(size_t n, file_.read_at(buf_.data(), buf_.size(), offset_));
        offset_ += n;
        pos_ = 0;
        len_ = n;
        if (n == 0) break;
      }
      const char* start = buf_.data() + pos_;
      const void* lf = std::memchr(start, '\n', len_ - pos_);
      const size_t take =
          lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1 : len_ - pos_;
      line.append(start, take);
      pos_ += take;
      if (lf) break;
    }
    if (line.empty()) return false;
    if (!valid_utf8(line))
      return std::unexpected(CoreError::io("stream did not contain valid UTF-8"));
    return true;
  }

 private:
  static bool valid_utf8(std::string_view s);

  platform::File file_;
  std::vector<char> buf_;
  size_t pos_ = 0;
  size_t len_ = 0;
  uint64_t offset_ = 0;
};

bool LineReader::valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p != end) {
    if (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    auto cont = [&](ptrdiff_t i) { return end - p > i && (p[i] & 0xC0) == 0x80; };
    size_t n;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (end - p > 1 && ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F))) return false;
      n = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (end - p > 1 && ((c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] > 0x8F))) return false;
      n = 4;
    } else {
      return false;
    }
    for (size_t i = 1; i < n; ++i) {
      if (!cont(static_cast<ptrdiff_t>(i))) return false;
    }
    p += n;
  }
  return true;
}

// The line without the Unicode white space at its ends. The line is valid UTF-8, so a
// matching byte pattern is always the whole character.
std::string_view trim_unicode_space(std::string_view s) {
  auto ascii = [](unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); };
  // Length of the white-space character that starts (or ends) at the given bytes, or 0.
  auto wide = [](const unsigned char* b, size_t avail) -> size_t {
    if (avail >= 2 && b[0] == 0xC2 && (b[1] == 0x85 || b[1] == 0xA0)) return 2;
    if (avail < 3) return 0;
    if (b[0] == 0xE1 && b[1] == 0x9A && b[2] == 0x80) return 3;  // U+1680
    if (b[0] == 0xE3 && b[1] == 0x80 && b[2] == 0x80) return 3;  // U+3000
    if (b[0] == 0xE2 && b[1] == 0x81 && b[2] == 0x9F) return 3;  // U+205F
    if (b[0] != 0xE2 || b[1] != 0x80) return 0;
    const unsigned char t = b[2];
    return (t >= 0x80 && t <= 0x8A) || t == 0xA8 || t == 0xA9 || t == 0xAF ? 3 : 0;
  };
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  size_t lo = 0, hi = s.size();
  while (lo < hi) {
    if (ascii(b[lo])) {
      ++lo;
    } else if (size_t n = wide(b + lo, hi - lo)) {
      lo += n;
    } else {
      break;
    }
  }
  while (hi > lo) {
    if (ascii(b[hi - 1])) {
      --hi;
    } else if (hi - lo >= 2 && wide(b + hi - 2, 2) == 2) {
      hi -= 2;
    } else if (hi - lo >= 3 && wide(b + hi - 3, 3) == 3) {
      hi -= 3;
    } else {
      break;
    }
  }
  return s.substr(lo, hi - lo);
}

// ---- The strict reader ----

// A reader message and the byte offset in the text it refers to.
struct ReadError {
  std::string message;
  size_t offset = 0;
};

// "{message} at line {} column {}", positions as the JSON parser reports them: 1-based
// line, 1-based byte column, and at the end of the text the column of its last byte.
std::string locate(std::string_view text, const ReadError& e) {
  const size_t at = std::min(e.offset, text.size());
  uint64_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < at; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  const uint64_t column = at - line_start + (at == text.size() ? 0 : 1);
  return e.message + " at line " + std::to_string(line) + " column " + std::to_string(column);
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
      append_integer(v.uint_value(), s);
      break;
    case JsonKind::Int:
      s = "integer `";
      append_integer(v.int_value(), s);
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

// The vector of a record line straight from its text, which the walker has validated:
// numbers need no value objects. Gives false at the first element that is not a number,
// where the general conversion takes over to name it.
bool scan_floats(std::string_view raw, std::vector<float>& out) {
  out.clear();
  const char* p = raw.data();
  const char* end = p + raw.size();
  auto skip_ws = [&] {
    while (p != end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
  };
  if (p == end || *p != '[') return false;
  ++p;
  skip_ws();
  if (p != end && *p == ']') return true;
  for (;;) {
    skip_ws();
    if (p == end || !(*p == '-' || (*p >= '0' && *p <= '9'))) return false;
    const char* b = p;
    bool integer = true;
    for (; p != end; ++p) {
      const char c = *p;
      if (c >= '0' && c <= '9') continue;
      if (c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-') {
        integer = integer && c == '-';
        continue;
      }
      break;
    }
    float f;
    bool done = false;
    if (integer) {
      if (*b != '-') {
        uint64_t u;
        auto r = std::from_chars(b, p, u);
        if (r.ec == std::errc{} && r.ptr == p) f = static_cast<float>(u), done = true;
      } else {
        int64_t i;
        auto r = std::from_chars(b, p, i);
        // "-0" is the float -0.0, as the JSON parser reads it.
        if (r.ec == std::errc{} && r.ptr == p && i != 0) f = static_cast<float>(i), done = true;
      }
    }
    if (!done) {
      double d;
      auto r = std::from_chars(b, p, d);
      // Validated text overflows nothing: a range error is an underflow to zero.
      if (r.ec == std::errc::result_out_of_range) d = *b == '-' ? -0.0 : 0.0;
      f = narrow_to_f32(d);
    }
    out.push_back(f);
    skip_ws();
    if (p != end && *p == ',') {
      ++p;
      continue;
    }
    return true;  // the closing bracket
  }
}

// A line of either form, read against a list of field names. `assign(i, raw, value)`
// stores field i: `raw` is its text when the line is an object, `value` its parsed value
// when the line is an array (or when the raw path asks for it by returning nullopt).
struct Fields {
  std::span<const std::string_view> names;
  size_t required;  // fields [0, required) must be present in an object
  std::string_view struct_name;
};

template <class Assign>
std::expected<void, ReadError> read_fields(std::string_view text, const Fields& f,
                                           Assign&& assign) {
  const size_t n = f.names.size();
  auto syntax_error = [&]() -> std::expected<void, ReadError> {
    auto parsed = parse_json(text);
    if (parsed) return std::unexpected(ReadError{"expected value", 0});  // cannot happen
    // The JSON parser's own position text is kept exactly.
    return std::unexpected(ReadError{parsed.error().describe(), std::string::npos});
  };

  JsonObjectWalker walker(text);
  if (walker.is_object()) {
    uint64_t seen = 0;
    JsonRawString key;
    std::string_view raw;
    while (walker.next(key, raw)) {
      size_t i = 0;
      while (i < n && compare_json_string(key, f.names[i]) != 0) ++i;
      if (i == n) continue;  // another key: ignored
      const size_t key_end = static_cast<size_t>(key.raw.data() + key.raw.size() - text.data());
      if (seen & (uint64_t{1} << i)) {
        return std::unexpected(
            ReadError{"duplicate field `" + std::string(f.names[i]) + "`", key_end});
      }
      seen |= uint64_t{1} << i;
      const size_t value_end = static_cast<size_t>(raw.data() + raw.size() - text.data());
      auto r = assign(i, raw, nullptr);
      if (!r) return std::unexpected(ReadError{std::move(r.error()), value_end - 1});
    }
    if (!walker.valid()) return syntax_error();
    for (size_t i = 0; i < n; ++i) {
      if (seen & (uint64_t{1} << i)) continue;
      if (i < f.required) {
        return std::unexpected(
            ReadError{"missing field `" + std::string(f.names[i]) + "`", text.size()});
      }
      JsonValue null;
      auto r = assign(i, std::string_view(), &null);
      if (!r) return std::unexpected(ReadError{std::move(r.error()), text.size()});
    }
    return {};
  }

  auto parsed = parse_json(text);
  if (!parsed) return std::unexpected(ReadError{parsed.error().describe(), std::string::npos});
  if (!parsed->is_array()) {
    return std::unexpected(ReadError{invalid_type(*parsed, f.struct_name), text.size()});
  }
  const JsonValue::Array& items = parsed->array_items();
  for (size_t i = 0; i < std::min(n, items.size()); ++i) {
    auto r = assign(i, std::string_view(), const_cast<JsonValue*>(&items[i]));
    if (!r) return std::unexpected(ReadError{std::move(r.error()), text.size()});
  }
  if (items.size() < n) {
    return std::unexpected(ReadError{"invalid length " + std::to_string(items.size()) +
                                         ", expected " + std::string(f.struct_name) + " with " +
                                         std::to_string(n) + " elements",
                                     text.size()});
  }
  if (items.size() > n) return std::unexpected(ReadError{"trailing characters", text.size()});
  return {};
}

// The value of a field: the array element given, or the member's text parsed (it was
// validated, so it parses).
JsonValue field_value(std::string_view raw, JsonValue* value) {
  if (value != nullptr) return std::move(*value);
  auto v = parse_json(raw);
  return v ? std::move(*v) : JsonValue();
}

std::string finish_error(std::string_view text, const ReadError& e) {
  if (e.offset == std::string::npos) return e.message;  // already located by the parser
  return locate(text, e);
}

}  // namespace

void write_export_header(const ExportHeader& h, std::string& out) {
  out.append("{\"version\":");
  append_integer(h.version, out);
  out.append(",\"collection\":");
  write_json_string(h.collection, out);
  out.append(",\"dimensions\":");
  append_integer(h.dimensions, out);
  out.append(",\"metric\":");
  write_json_string(h.metric, out);
  out.append(",\"record_count\":");
  append_integer(h.record_count, out);
  out.append(",\"exported_at\":");
  append_integer(h.exported_at, out);
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
  append_integer(created_at, out);
  if (ttl) {
    out.append(",\"ttl\":");
    append_integer(*ttl, out);
  }
  out.push_back('}');
}

std::expected<ExportHeader, std::string> parse_export_header(std::string_view text) {
  static constexpr std::string_view kNames[] = {"version", "collection",   "dimensions",
                                                "metric",  "record_count", "exported_at"};
  ExportHeader h;
  auto assign = [&](size_t i, std::string_view raw,
                    JsonValue* value) -> std::expected<void, std::string> {
    JsonValue v = field_value(raw, value);
    constexpr uint64_t kU64 = std::numeric_limits<uint64_t>::max();
    std::expected<uint64_t, std::string> u;
    switch (i) {
      case 0:
        u = to_uint(v, std::numeric_limits<uint32_t>::max(), "u32");
        if (u) h.version = static_cast<uint32_t>(*u);
        break;
      case 1: {
        auto s = to_string(std::move(v));
        if (!s) return std::unexpected(std::move(s.error()));
        h.collection = std::move(*s);
        return {};
      }
      case 2:
        u = to_uint(v, kU64, "u64");
        if (u) h.dimensions = *u;
        break;
      case 3: {
        auto s = to_string(std::move(v));
        if (!s) return std::unexpected(std::move(s.error()));
        h.metric = std::move(*s);
        return {};
      }
      case 4:
        u = to_uint(v, kU64, "u64");
        if (u) h.record_count = *u;
        break;
      default:
        u = to_uint(v, kU64, "u64");
        if (u) h.exported_at = *u;
        break;
    }
    if (!u) return std::unexpected(std::move(u.error()));
    return {};
  };
  auto r = read_fields(text, Fields{kNames, 6, "struct ExportHeader"}, assign);
  if (!r) return std::unexpected(finish_error(text, r.error()));
  return h;
}

std::expected<void, std::string> parse_export_record(std::string_view text, ExportRecord& out) {
  static constexpr std::string_view kNames[] = {"id", "vector", "metadata", "created_at", "ttl"};
  out.created_at.reset();
  out.ttl.reset();
  auto assign = [&](size_t i, std::string_view raw,
                    JsonValue* value) -> std::expected<void, std::string> {
    if (i == 1 && value == nullptr && scan_floats(raw, out.vector)) return {};
    JsonValue v = field_value(raw, value);
    switch (i) {
      case 0: {
        auto s = to_string(std::move(v));
        if (!s) return std::unexpected(std::move(s.error()));
        out.id = std::move(*s);
        return {};
      }
      case 1:
        return to_floats(v, out.vector);
      case 2:
        out.metadata = std::move(v);
        return {};
      default: {
        auto u = to_optional_u64(v);
        if (!u) return std::unexpected(std::move(u.error()));
        (i == 3 ? out.created_at : out.ttl) = *u;
        return {};
      }
    }
  };
  auto r = read_fields(text, Fields{kNames, 3, "struct ExportRecord"}, assign);
  if (!r) return std::unexpected(finish_error(text, r.error()));
  return {};
}

// ---- The file operations ----

Result<uint64_t> export_to_file(Collection& c, const std::string& path) {
  TQ_TRY(flush_pending(c));
  TQ_ASSIGN(uint64_t count, record_count(c));
  TQ_ASSIGN(platform::File file, platform::File::open(path, platform::File::Mode::CreateTruncate));
  BufferedWriter writer(std::move(file));

  std::string line;
  line.reserve(128);
  ExportHeader header;
  header.collection = c.config.name;
  header.dimensions = c.config.dimensions;
  header.metric = std::string(metric_name(c.config.metric));
  header.record_count = count;
  header.exported_at = now_unix_secs();
  write_export_header(header, line);
  line.push_back('\n');
  TQ_TRY(writer.write(line));

  uint64_t written = 0;
  {
    std::shared_lock vectors(c.slots.vectors_lock);
    TQ_ASSIGN(ReadTxn txn, begin_read_txn(*c.meta));
    TQ_ASSIGN(Cursor cur, txn.cursor(kRecordsTable));
    ExportChunk chunk;
    auto emit = [&]() -> Result<void> {
      const size_t n = chunk.size();
      Result<void> r = chunk.write_to(writer);
      chunk.clear();
      if (r) written += n;
      return r;
    };
    Result<void> scanned = [&]() -> Result<void> {
      std::string_view key, value;
      for (;;) {
        TQ_ASSIGN(bool more, cur.next(key, value));
        if (!more) return {};
        TQ_ASSIGN(RecordView r, decode_record_view(value));
        if (!is_live(r)) continue;
        TQ_ASSIGN(std::span<const float> v, read_vector(c.slots.vectors, r.slot));
        std::optional<uint64_t> ttl;
        if (r.expires_at) {
          const uint64_t now = now_unix_secs();
          ttl = *r.expires_at > now ? *r.expires_at - now : 0;
        }
        chunk.add(r, v, ttl);
        if (chunk.full()) TQ_TRY(emit());
      }
    }();
    // Lines found before a failure are still written.
    TQ_TRY(emit());
    TQ_TRY(scanned);
  }
  TQ_TRY(writer.finish());
  return written;
}

namespace {

// Whether the stored form of the vector would begin with a NaN, which reads as a deleted
// slot: the record would be counted but never found.
bool stored_form_starts_with_nan(Metric metric, std::span<const float> v) {
  if (v.empty()) return false;
  if (metric != Metric::Cosine) return std::isnan(v[0]);
  return std::isnan(prepare_vector(metric, v)[0]);
}

// expires_at = now + ttl must not wrap to a time already past: a ttl beyond what the
// clock can still add is cut down to it. The margin covers the clock advancing before the
// record is stored.
uint64_t bounded_ttl(uint64_t ttl) {
  constexpr uint64_t kMargin = uint64_t{1} << 32;
  const uint64_t room = std::numeric_limits<uint64_t>::max() - now_unix_secs() - kMargin;
  return std::min(ttl, room);
}

}  // namespace

Result<ImportStats> import_from_file(Collection& c, const std::string& path) {
  const uint64_t start = platform::monotonic_ns();
  TQ_ASSIGN(platform::File file, platform::File::open(path, platform::File::Mode::ReadOnly));
  LineReader reader(std::move(file));

  std::string line;
  TQ_TRY(reader.next(line));
  auto header = parse_export_header(line);
  if (!header) {
    return std::unexpected(CoreError::deserialization("Invalid export header: " + header.error()));
  }
  if (header->version > kExportVersion) {
    return std::unexpected(CoreError::invalid_format(
        "Export version " + std::to_string(header->version) + " is newer than supported version " +
        std::to_string(kExportVersion)));
  }
  if (header->dimensions != c.config.dimensions) {
    return std::unexpected(CoreError::invalid_dimensions(c.config.dimensions, header->dimensions));
  }

  ImportStats stats;
  uint64_t line_no = 1;
  ExportRecord rec;
  size_t since_flush = 0;
  for (;;) {
    TQ_ASSIGN(bool more, reader.next(line));
    if (!more) break;
    ++line_no;
    const std::string_view text = trim_unicode_space(line);
    if (text.empty()) continue;
    auto parsed = parse_export_record(text, rec);
    if (!parsed) {
      return std::unexpected(CoreError::deserialization(
          "Invalid record at line " + std::to_string(line_no) + ": " + parsed.error()));
    }
    if (rec.vector.size() != c.config.dimensions ||
        stored_form_starts_with_nan(c.config.metric, rec.vector)) {
      ++stats.failed;
      continue;
    }
    std::optional<uint64_t> ttl;
    if (rec.ttl) ttl = bounded_ttl(*rec.ttl);
    if (upsert_record(c, rec.id, rec.vector, rec.metadata, ttl, false)) {
      ++stats.imported;
    } else {
      ++stats.failed;
    }
    // One durable commit per step instead of one per 100 records; a failed flush ends the
    // import like the last one, its records staying buffered.
    if (++since_flush == kImportFlushRecords) {
      since_flush = 0;
      TQ_TRY(flush_pending(c));
    }
  }
  TQ_TRY(flush_pending(c));
  stats.duration_ms = (platform::monotonic_ns() - start) / 1000000;
  return stats;
}

}  // namespace tornquil
