// The import's line reader: a file read line by line through a fixed buffer, each line
// bounded and checked as UTF-8, and the Unicode white space around a line.
#include "collection/ndjson_lines.hpp"

#include <cstring>

#include "base/codec.hpp"
#include "collection/ndjson.hpp"

namespace tornquil {

LineReader::LineReader(platform::File file) : file_(std::move(file)), buf_(kNdjsonBufferBytes) {}

Result<LineReader::Status> LineReader::append_line(std::string& out, size_t max_bytes) {
  const size_t begin = out.size();
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
    if (out.size() - begin + take - (lf ? 1 : 0) > max_bytes) return Status::TooLong;
    out.append(start, take);
    pos_ += take;
    if (lf) break;
  }
  if (out.size() == begin) return Status::End;
  // An LF is never part of a longer character, so the line checks on its own.
  if (utf8_error(std::string_view(out).substr(begin))) {
    return std::unexpected(CoreError::io("stream did not contain valid UTF-8"));
  }
  return Status::Line;
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

}  // namespace tornquil
