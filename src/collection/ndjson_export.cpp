// NDJSON export: the header line, then the live committed records in byte order of their
// ids, laid out on the worker pool and written through a fixed buffer to a file that
// replaces the target only once complete.
#include <array>
#include <shared_mutex>

#include "base/json_read.hpp"
#include "base/platform.hpp"
#include "base/worker_pool.hpp"
#include "collection/collection.hpp"
#include "collection/export_target.hpp"
#include "collection/ndjson.hpp"
#include "storage/records.hpp"

namespace tornquil {

namespace {

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

}  // namespace

Result<uint64_t> export_to_file(Collection& c, const std::string& path) {
  // Before anything is opened for writing: nothing of the database is touched.
  TQ_TRY(refuse_database_file(c, path));
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

}  // namespace tornquil
