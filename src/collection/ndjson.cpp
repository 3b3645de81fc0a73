// NDJSON export and import: the line writers, the strict line reader, and the two file
// operations on a collection.
#include "collection/ndjson.hpp"

#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <shared_mutex>

#include "base/codec.hpp"
#include "base/json_read.hpp"
#include "base/json_write.hpp"
#include "base/platform.hpp"
#include "base/worker_pool.hpp"
#include "collection/batch_insert.hpp"
#include "collection/collection.hpp"
#include "collection/layout.hpp"
#include "collection/vector_check.hpp"
#include "storage/records.hpp"

namespace tornquil {

namespace {

// An import commits its records in groups of at most this many lines, or of at most
// kGroupBytes of line text, whichever comes first: one batch per group instead of one
// durable transaction per record, and the memory of one group whatever the file holds.
constexpr size_t kGroupLines = 1000;
constexpr size_t kGroupBytes = size_t{16} << 20;

// ---- Writing ----

// Writes through a fixed buffer; a piece larger than the buffer goes straight to the file.
// Bytes still buffered when it is dropped are written out, their errors ignored.
class BufferedWriter {
 public:
  // The file stays its owner's, and open for as long as the writer is used.
  explicit BufferedWriter(const platform::File& file) : file_(file) {
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

  // Writes out what is buffered.
  Result<void> finish() { return flush(); }

 private:
  const platform::File& file_;
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

// Reads a file line by line through a fixed buffer, from its start to its end, so that a
// pipe or a device reads like a file.
class LineReader {
 public:
  explicit LineReader(platform::File file) : file_(std::move(file)), buf_(kNdjsonBufferBytes) {}

  enum class Status { End, Line, TooLong };

  // Replaces `line` with the next line, its LF included when there is one. End at the end
  // of the file; TooLong, with `line` holding part of it, once the line passes `max_bytes`
  // without its LF, so that a file without line breaks (a device of zeros, a binary file)
  // costs no more memory than that. A line that is not UTF-8 is Io "stream did not contain
  // valid UTF-8".
  Result<Status> next(std::string& line, size_t max_bytes) {
    line.clear();
    for (;;) {
      if (pos_ == len_) {
        TQ_ASSIGN(size_t n, file_.read(buf_.data(), buf_.size()));
        pos_ = 0;
        len_ = n;
        if (n == 0) break;
      }
      const char* start = buf_.data() + pos_;
      const void* lf = std::memchr(start, '\n', len_ - pos_);
      const size_t take =
          lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1 : len_ - pos_;
      if (line.size() + take - (lf ? 1 : 0) > max_bytes) return Status::TooLong;
      line.append(start, take);
      pos_ += take;
      if (lf) break;
    }
    if (line.empty()) return Status::End;
    if (utf8_error(line))
      return std::unexpected(CoreError::io("stream did not contain valid UTF-8"));
    return Status::Line;
  }

 private:
  platform::File file_;
  std::vector<char> buf_;
  size_t pos_ = 0;
  size_t len_ = 0;
};

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

// ---- The file operations ----

namespace {

// Io when `path` names one of the files of the database the collection lives in (the
// registry, or any collection's vector file, store, lock file or index), however it names
// it: writing over a mapped vector file kills the process, and over a store or the
// registry destroys it. The collection's directory is <database>/collections/<name>.
Result<void> refuse_own_file(const Collection& c, const std::string& path) {
  TQ_ASSIGN(std::optional<platform::FileId> target, platform::file_id(path));
  if (!target) return {};  // a new file is no file of the database
  auto same = [&](const std::string& file) -> Result<bool> {
    TQ_ASSIGN(std::optional<platform::FileId> id, platform::file_id(file));
    return id && *id == *target;
  };
  auto refuse = [&](const std::string& file) {
    return std::unexpected(CoreError::io("export target " + path +
                                         " is a file of the open database: " + file));
  };
  auto check_dir = [&](const std::string& dir, bool collection) -> Result<void> {
    const std::string store = platform::join_path(dir, kMetaFileName);
    std::string files[] = {store, store + kStoreLockSuffix,
                           platform::join_path(dir, kVectorsFileName),
                           platform::join_path(dir, kIndexFileName)};
    for (const std::string& file : std::span(files, collection ? 4 : 2)) {
      TQ_ASSIGN(bool hit, same(file));
      if (hit) return refuse(file);
    }
    return {};
  };
  TQ_TRY(check_dir(c.dir, true));
  const std::string collections = platform::join_path(c.dir, "..");
  const std::string root = platform::join_path(collections, "..");
  TQ_TRY(check_dir(root, false));
  // The other collections, whether open or not. Without a collections directory (a
  // collection opened on its own) there are none.
  TQ_ASSIGN(bool listed, platform::path_exists(collections));
  if (!listed) return {};
  TQ_ASSIGN(std::vector<std::string> names, platform::list_dir(collections));
  for (const std::string& name : names) {
    TQ_TRY(check_dir(platform::join_path(collections, name), true));
  }
  return {};
}

}  // namespace

Result<uint64_t> export_to_file(Collection& c, const std::string& path) {
  // Before anything is opened for writing: nothing of the database is touched.
  TQ_TRY(refuse_own_file(c, path));
  TQ_TRY(flush_pending(c));
  TQ_ASSIGN(uint64_t count, record_count(c));
  TQ_ASSIGN(platform::ReplacingFile out, platform::ReplacingFile::create(path));
  BufferedWriter writer(out.file());

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
  TQ_TRY(out.commit());
  return written;
}

namespace {

// The longest text export writes for a float32 element, "-0.000001234567891", and its comma.
constexpr uint64_t kElementBytes = 19;
// An id of 510 bytes, each escaped as \u00XX, within its quotes.
constexpr uint64_t kIdBytes = 510 * 6 + 2;
// The keys, the punctuation and two 20-digit integers, with room to spare.
constexpr uint64_t kFixedBytes = 256;

std::string too_long(uint64_t bound) {
  return "line too long (more than " + std::to_string(bound) + " bytes)";
}

// One group of lines: read, then parsed on the worker pool (reading the numbers is most of
// an import's work), then checked and committed in file order as one batch.
class ImportGroup {
 public:
  // Why reading stopped: the group is full, the file ended, or the next line cannot be
  // read (a line too long, a read failure, text that is not UTF-8).
  struct Fill {
    bool more = false;
    std::optional<CoreError> error;
    bool too_long = false;
  };

  Fill fill(LineReader& reader, size_t max_line) {
    n_ = 0;
    size_t bytes = 0;
    Fill out;
    while (n_ < kGroupLines && bytes < kGroupBytes) {
      if (n_ == lines_.size()) {
        lines_.emplace_back();
        records_.emplace_back();
        errors_.emplace_back();
        state_.push_back(State::Blank);
      }
      Result<LineReader::Status> r = reader.next(lines_[n_], max_line);
      if (!r) {
        out.error = std::move(r.error());
        return out;
      }
      if (*r == LineReader::Status::End) return out;
      if (*r == LineReader::Status::TooLong) {
        out.too_long = true;
        return out;
      }
      bytes += lines_[n_].size();
      ++n_;
    }
    out.more = true;
    return out;
  }

  void parse() {
    parallel_for(n_, 4, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) {
        const std::string_view text = trim_unicode_space(lines_[i]);
        errors_[i].clear();
        if (text.empty()) {
          state_[i] = State::Blank;
          continue;
        }
        auto r = parse_export_record(text, records_[i]);
        state_[i] = r ? State::Record : State::Invalid;
        if (!r) errors_[i] = std::move(r.error());
      }
    });
  }

  // Lets go of what the longest lines took (their text and what it parsed into), so that
  // the memory held from group to group stays that of ordinary lines.
  void trim() {
    for (size_t i = 0; i < n_; ++i) {
      if (lines_[i].capacity() <= kKeptLineBytes) continue;
      lines_[i] = std::string();
      records_[i] = ExportRecord();
    }
  }

  enum class State : uint8_t { Blank, Record, Invalid };
  size_t size() const { return n_; }
  State state(size_t i) const { return state_[i]; }
  const ExportRecord& record(size_t i) const { return records_[i]; }
  const std::string& error(size_t i) const { return errors_[i]; }

 private:
  std::vector<std::string> lines_;
  std::vector<ExportRecord> records_;
  std::vector<std::string> errors_;
  std::vector<State> state_;
  size_t n_ = 0;
  static constexpr size_t kKeptLineBytes = size_t{1} << 20;
};

// The records of one group that the collection can store, laid out for one batch.
class GroupBatch {
 public:
  void clear() {
    floats_.clear();
    offsets_.assign(1, 0);
    texts_used_ = 0;
    ids_.clear();
    ttls_.clear();
  }

  // False, adding nothing, for a record that the collection would refuse: a vector of the
  // wrong length or with a non-finite element, an id too long to be stored.
  bool add(const ExportRecord& r, uint64_t dimensions) {
    if (r.vector.size() != dimensions || first_non_finite(r.vector) || !check_record_id(r.id)) {
      return false;
    }
    floats_.insert(floats_.end(), r.vector.begin(), r.vector.end());
    offsets_.push_back(floats_.size());
    if (texts_used_ == texts_.size()) texts_.emplace_back();
    std::string& text = texts_[texts_used_++];
    text.clear();
    write_json(r.metadata, text);
    ids_.push_back(r.id);
    ttls_.push_back(r.ttl);
    return true;
  }

  size_t size() const { return ids_.size(); }

  BatchInput input() const {
    BatchInput in;
    in.vectors = BatchRows::packed(floats_, offsets_);
    in.metadata = std::span<const std::string>(texts_.data(), texts_used_);
    in.ids = std::span<const std::string_view>(ids_);
    in.ttls = std::span<const std::optional<uint64_t>>(ttls_);
    return in;
  }

 private:
  std::vector<float> floats_;
  std::vector<size_t> offsets_{0};
  std::vector<std::string> texts_;  // reused; the first texts_used_ are this group's
  size_t texts_used_ = 0;
  std::vector<std::string_view> ids_;  // into the group's records
  std::vector<std::optional<uint64_t>> ttls_;
};

}  // namespace

uint64_t import_line_bound(uint64_t dimensions) {
  return kFixedBytes + kIdBytes + dimensions * kElementBytes + kImportMetadataAllowance;
}

Result<ImportStatsData> import_from_file(Collection& c, const std::string& path) {
  const uint64_t start = platform::monotonic_ns();
  const uint64_t bound = import_line_bound(c.config.dimensions);
  TQ_ASSIGN(platform::File file, platform::File::open(path, platform::File::Mode::ReadOnly));
  LineReader reader(std::move(file));

  std::string line;
  TQ_ASSIGN(LineReader::Status first, reader.next(line, bound));
  if (first == LineReader::Status::TooLong) {
    return std::unexpected(
        CoreError::deserialization("Invalid export header: " + too_long(bound) + " at line 1"));
  }
  auto header = parse_export_header(line);
  line = std::string();
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

  ImportStatsData stats;
  uint64_t line_no = 1;
  GroupBatch batch;
  // Commits one group's records up to its first line that does not parse. False when the
  // import ends here: at such a line (`stop`), or where its reading stopped.
  auto commit_group = [&](ImportGroup& group, const ImportGroup::Fill& filled) -> Result<bool> {
    batch.clear();
    std::optional<CoreError> stop;
    for (size_t i = 0; i < group.size() && !stop; ++i) {
      ++line_no;
      switch (group.state(i)) {
        case ImportGroup::State::Blank:
          break;
        case ImportGroup::State::Invalid:
          stop = CoreError::deserialization("Invalid record at line " + std::to_string(line_no) +
                                            ": " + group.error(i));
          break;
        case ImportGroup::State::Record:
          if (!batch.add(group.record(i), c.config.dimensions)) ++stats.failed;
          break;
      }
    }
    if (batch.size() != 0) {
      // A record buffered by an earlier add goes to the store first, so that it cannot
      // replace the imported one of the same id when the buffer is flushed later.
      TQ_TRY(flush_pending(c));
      // Every record of the group is replaced together: one batch, its vectors durable
      // before its records are live. A later line replaces an earlier one of the same id.
      if (add_batch_records(c, batch.input())) {
        stats.imported += batch.size();
      } else {
        stats.failed += batch.size();
      }
    }
    group.trim();
    if (stop) return std::unexpected(std::move(*stop));
    if (filled.too_long) {
      return std::unexpected(CoreError::deserialization(
          "Invalid record at line " + std::to_string(line_no + 1) + ": " + too_long(bound)));
    }
    if (filled.error) return std::unexpected(*filled.error);
    return filled.more;
  };

  // Two groups take turns: the next one is read and parsed on the worker pool while this
  // thread commits the current one, so the parsing costs no time of its own. The commit
  // stays on this thread, outside the pool: it takes the collection's locks and its store's
  // writer, and a pool thread that ran it might be one that waits in the pool while holding
  // those very locks. The wait for the reader holds no lock of the collection.
  ImportGroup groups[2];
  ImportGroup::Fill fills[2];
  auto read_group = [&](size_t k) {
    fills[k] = groups[k].fill(reader, bound);
    groups[k].parse();
  };
  read_group(0);
  Result<bool> more = true;
  for (size_t k = 0; more && *more; k ^= 1) {
    tbb::task_group next;
    const bool ahead = fills[k].more;
    if (ahead) worker_pool().execute([&, k] { next.run([&, k] { read_group(k ^ 1); }); });
    more = commit_group(groups[k], fills[k]);
    // The reader and the other group are the task's until it ends.
    if (ahead) worker_pool().execute([&] { next.wait(); });
  }
  if (!more) return std::unexpected(std::move(more.error()));
  TQ_TRY(flush_pending(c));
  stats.duration_ms = (platform::monotonic_ns() - start) / 1000000;
  return stats;
}

}  // namespace tornquil
