// NDJSON import: the header checked against the collection, then the record lines read and
// parsed in groups on the worker pool, one group ahead, and committed group by group in
// file order on the calling thread.
#include <oneapi/tbb/task_group.h>

#include <optional>
#include <string>
#include <vector>

#include "base/json_write.hpp"
#include "base/platform.hpp"
#include "base/worker_pool.hpp"
#include "collection/batch_insert.hpp"
#include "collection/collection.hpp"
#include "collection/ndjson.hpp"
#include "collection/ndjson_lines.hpp"
#include "collection/vector_check.hpp"

namespace tornquil {

namespace {

// An import commits its records in groups of at most this many lines, or of at most
// kGroupBytes of line text, whichever comes first: one batch per group instead of one
// durable transaction per record, and the memory of one group whatever the file holds.
constexpr size_t kGroupLines = 1000;
constexpr size_t kGroupBytes = size_t{16} << 20;
// What a group, and the batch the groups share, keep of their buffers from one group to the
// next: enough for the lines of an ordinary group to reuse their buffers, and a bound on
// what long lines leave behind wherever they sit in their groups.
constexpr size_t kKeptBytes = size_t{16} << 20;

// The longest text export writes for a float32 element, "-0.000001234567891", and its comma.
constexpr uint64_t kElementBytes = 19;
// An id of 510 bytes, each escaped as \u00XX, within its quotes.
constexpr uint64_t kIdBytes = 510 * 6 + 2;
// The keys, the punctuation and two 20-digit integers, with room to spare.
constexpr uint64_t kFixedBytes = 256;

// Gives a buffer back to the allocator. Assigning an empty string would not: the empty
// string's short form is copied into the buffer already held.
void release(std::string& s) { std::string().swap(s); }

std::string too_long(uint64_t bound) {
  return "line too long (more than " + std::to_string(bound) + " bytes)";
}

// The text of the group being read: its lines back to back in one buffer, so that long
// lines leave no buffer per line behind and lines of different lengths do not scatter the
// heap. Only reading and parsing use it; the groups are read one after the other, and a
// group being committed needs only what its lines parsed into, so all groups share it.
//
// The buffer is taken once, large enough for any group: a group stops taking lines once
// it holds kGroupBytes, and each line is at most the line bound. So it never grows, and a
// block that large (over 32 MiB) the allocator maps on its own and gives back whole when the
// import ends, instead of keeping it among its free blocks; only the pages that lines have
// reached are ever resident.
class GroupText {
 public:
  explicit GroupText(size_t max_line) { text_.reserve(kGroupBytes + max_line + 1); }

  void clear() {
    text_.clear();
    ends_.clear();
  }

  // Appends the reader's next line, as LineReader::append_line.
  Result<LineReader::Status> append(LineReader& reader, size_t max_line) {
    TQ_ASSIGN(LineReader::Status s, reader.append_line(text_, max_line));
    if (s == LineReader::Status::Line) ends_.push_back(text_.size());
    return s;
  }

  size_t bytes() const { return text_.size(); }
  std::string_view line(size_t i) const {
    const size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_).substr(begin, ends_[i] - begin);
  }

 private:
  std::string text_;
  std::vector<size_t> ends_;  // where each line ends in text_; the next begins there
};

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

  // Reads the group's lines into `text` and parses them; `text` may be reused once this
  // returns.
  Fill read(LineReader& reader, GroupText& text, size_t max_line) {
    text.clear();
    const Fill out = fill(reader, text, max_line);
    parse(text);
    return out;
  }

  // Lets go of every parsed metadata value, as the next parse of its slot would replace it
  // anyway, and keeps at most kKeptBytes of the ids' and vectors' buffers, in slot order.
  // Slots past this group's lines count too.
  void trim() {
    size_t kept = 0;
    for (size_t i = 0; i < records_.size(); ++i) {
      ExportRecord& r = records_[i];
      r.metadata = JsonValue();
      const size_t bytes = r.id.capacity() + r.vector.capacity() * sizeof(float);
      if (kept + bytes <= kKeptBytes) {
        kept += bytes;
        continue;
      }
      release(r.id);
      std::vector<float>().swap(r.vector);
      release(errors_[i]);
    }
  }

  enum class State : uint8_t { Blank, Record, Invalid };
  size_t size() const { return n_; }
  State state(size_t i) const { return state_[i]; }
  ExportRecord& record(size_t i) { return records_[i]; }
  const std::string& error(size_t i) const { return errors_[i]; }

 private:
  Fill fill(LineReader& reader, GroupText& text, size_t max_line) {
    n_ = 0;
    Fill out;
    while (n_ < kGroupLines && text.bytes() < kGroupBytes) {
      if (n_ == records_.size()) {
        records_.emplace_back();
        errors_.emplace_back();
        state_.push_back(State::Blank);
      }
      Result<LineReader::Status> r = text.append(reader, max_line);
      if (!r) {
        out.error = std::move(r.error());
        return out;
      }
      if (*r == LineReader::Status::End) return out;
      if (*r == LineReader::Status::TooLong) {
        out.too_long = true;
        return out;
      }
      ++n_;
    }
    out.more = true;
    return out;
  }

  void parse(const GroupText& text) {
    parallel_for(n_, 4, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) {
        const std::string_view line = trim_unicode_space(text.line(i));
        errors_[i].clear();
        if (line.empty()) {
          state_[i] = State::Blank;
          continue;
        }
        auto r = parse_export_record(line, records_[i]);
        state_[i] = r ? State::Record : State::Invalid;
        if (!r) errors_[i] = std::move(r.error());
      }
    });
  }

  std::vector<ExportRecord> records_;
  std::vector<std::string> errors_;
  std::vector<State> state_;
  size_t n_ = 0;
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
  // wrong length or with a non-finite element, an id too long to be stored. The record's
  // metadata value goes once it is laid out as text; its id must outlive the batch.
  bool add(ExportRecord& r, uint64_t dimensions) {
    if (r.vector.size() != dimensions || first_non_finite(r.vector) || !check_record_id(r.id)) {
      return false;
    }
    floats_.insert(floats_.end(), r.vector.begin(), r.vector.end());
    offsets_.push_back(floats_.size());
    if (texts_used_ == texts_.size()) texts_.emplace_back();
    std::string& text = texts_[texts_used_++];
    text.clear();
    write_json(r.metadata, text);
    r.metadata = JsonValue();
    ids_.push_back(r.id);
    ttls_.push_back(r.ttl);
    return true;
  }

  size_t size() const { return ids_.size(); }

  // After the batch: keeps at most kKeptBytes of the metadata texts' buffers, in order, and
  // lets go of the rest, so that long texts leave no more behind than ordinary ones.
  void trim() {
    size_t kept = 0;
    for (std::string& text : texts_) {
      if (kept + text.capacity() <= kKeptBytes) {
        kept += text.capacity();
      } else {
        release(text);
      }
    }
  }

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
  TQ_ASSIGN(LineReader::Status first, reader.append_line(line, bound));
  if (first == LineReader::Status::TooLong) {
    return std::unexpected(
        CoreError::deserialization("Invalid export header: " + too_long(bound) + " at line 1"));
  }
  auto header = parse_export_header(line);
  release(line);
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
      batch.trim();
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
  GroupText text(bound);
  auto read_group = [&](size_t k) { fills[k] = groups[k].read(reader, text, bound); };
  read_group(0);
  Result<bool> more = true;
  for (size_t k = 0; more && *more; k ^= 1) {
    tbb::task_group next;
    const bool ahead = fills[k].more;
    if (ahead) worker_pool().execute([&, k] { next.run([&, k] { read_group(k ^ 1); }); });
    more = commit_group(groups[k], fills[k]);
    // The reader, the text and the other group are the task's until it ends.
    if (ahead) worker_pool().execute([&] { next.wait(); });
  }
  if (!more) return std::unexpected(std::move(more.error()));
  TQ_TRY(flush_pending(c));
  stats.duration_ms = (platform::monotonic_ns() - start) / 1000000;
  return stats;
}

}  // namespace tornquil
