// The import's line reader: a file read line by line through a fixed buffer, from its start
// to its end, so that a pipe or a device reads like a file; each line bounded in length and
// checked as UTF-8. And the Unicode white space a record line may carry at its ends.
//
// Thread safety: a LineReader is used by one thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/platform.hpp"

namespace tornquil {

class LineReader {
 public:
  explicit LineReader(platform::File file);

  enum class Status { End, Line, TooLong };

  // Appends the next line to `out`, its LF included when there is one, so that many lines
  // can share one buffer. End, appending nothing, at the end of the file; TooLong, with part
  // of the line appended, once the line passes `max_bytes` without its LF, so that a file
  // without line breaks (a device of zeros, a binary file) costs no more memory than that.
  // A line that is not UTF-8 is Io "stream did not contain valid UTF-8".
  Result<Status> append_line(std::string& out, size_t max_bytes);

 private:
  platform::File file_;
  std::vector<char> buf_;
  size_t pos_ = 0;
  size_t len_ = 0;
};

// The line without the Unicode white space at its ends (tab, LF, vertical tab, form feed,
// CR, blank, U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F,
// U+3000). `s` must be valid UTF-8.
std::string_view trim_unicode_space(std::string_view s);

}  // namespace tornquil
