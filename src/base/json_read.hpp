// The one JSON parser of the system, its cursor, and an in-place scanner for callers that
// only need to look at a few members of a stored text without building its value. Nesting
// is limited to 127 levels. Everything here validates by the same rules, so a text the
// walker accepts is exactly a text parse_json accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_value.hpp"

namespace tornquil {

// Arrays and objects nested inside each other, the outermost included.
inline constexpr int kJsonMaxDepth = 127;

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

struct JsonCompactScratch;

// A recursive-descent cursor over one text, for readers that take values one at a time.
// Each reading function takes its token at the cursor, moves past it and returns true; on a
// fault it returns false and remembers the reason and place for error(). With a null `out`
// it only validates, by exactly the rules it parses with. Views point into the text; the
// nesting limit bounds the recursion.
//
// Hidden visibility: the core is compiled position-independent, where calls between exported
// functions may not be inlined; the in-place walker runs once per candidate of a filtered
// scan and would lose about half its speed.
class __attribute__((visibility("hidden"))) JsonCursor {
 public:
  // `pos` lies in [begin, end]; `begin` only anchors the line and column of an error.
  JsonCursor(const char* begin, const char* pos, const char* end)
      : begin_(begin), p_(pos), end_(end) {}

  void skip_ws();
  bool at_end() const { return p_ == end_; }
  char peek() const { return *p_; }  // requires !at_end()
  const char* pos() const { return p_; }
  void advance() { ++p_; }

  // One value after optional white space. `depth`: containers already open around it.
  bool value(JsonValue* out, int depth);
  // A string token whose opening quote is at the cursor; decoded into `out` when given, and
  // `*escaped` set when it holds a backslash escape.
  bool string(std::string* out, bool* escaped);
  // A number token starting at the cursor ('-' or a digit): UInt, negative Int, or else a
  // Float; a number above the double range is refused, one below it reads as a zero.
  bool number(JsonValue* out);
  // The escape whose backslash is at the cursor, decoded as UTF-8 into `out`; its length
  // (1 to 4), or 0 on a fault.
  size_t escape(char out[4]);
  // The colon after an object key, white space around it allowed.
  bool colon();

  // One value after optional white space, appended to `out` as the compact writer writes the
  // value that value() would give, without building it. Fails exactly where and why value()
  // fails; `out` then holds a partial text.
  bool compact(std::string& out, JsonCompactScratch& scratch, int depth);

  // Records a fault; always false.
  bool fail(std::string_view reason, const char* at);
  // The last fault, with its line and column.
  JsonError error() const;

 private:
  bool literal(std::string_view word);
  bool hex4(uint32_t* cp);
  bool required_digits();
  // The brackets, separators and faults of an array or object whose opening bracket is at
  // the cursor, the nesting limit included; item() reads one element (false on a fault),
  // comma() runs at each comma between two.
  template <class Item, class Comma>
  bool elements(int depth, char close, std::string_view eof, std::string_view expected,
                const Item& item, const Comma& comma);
  // An object member's key is next, after optional white space.
  bool member_key();
  bool array(JsonValue* out, int depth);
  bool object(JsonValue* out, int depth);
  bool compact_array(std::string& out, JsonCompactScratch& scratch, int depth);
  bool compact_object(std::string& out, JsonCompactScratch& scratch, int depth);

  const char* begin_;
  const char* p_;
  const char* end_;
  std::string_view reason_;
  const char* at_ = nullptr;
};

// Room that JsonCursor::compact reuses from text to text: the members of the objects still
// open (a stack), the decoded keys that held escapes, and the buffers of one reordering.
struct JsonCompactScratch {
  struct Member {
    size_t key_at;  // into the text when !key_decoded, else into decoded_keys
    size_t key_size;
    bool key_decoded;
    size_t begin, end;  // its compact "key":value in the output
  };
  std::vector<Member> members;
  std::string decoded_keys;
  std::string decoded;  // one string token
  std::string moved;    // an object's members while they are put in key order
  std::vector<size_t> order;
};

// Rewrites JSON texts into the compact text of their values in one pass: what
// write_json(*parse_json(text)) gives (keys in ascending byte order, of a repeated key the
// last kept, numbers in the writer's layout), or parse_json's error, without building the
// value. Reuses its room from call to call, so a stream of small texts allocates nothing
// but the output. One compactor belongs to one thread.
class JsonCompactor {
 public:
  // Appends the compact text to `out`; on failure `out` is left as it was.
  std::expected<void, JsonError> append(std::string_view text, std::string& out);

 private:
  JsonCompactScratch scratch_;
};

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
