// KvStore: one meta.redb file, an LMDB environment of named tables with text keys and
// byte-string values. Read transactions never wait; one write transaction at a time is
// the store's writer lock. A missing table reads as empty; a write transaction creates a
// table it opens. Every key is stored as its UTF-8 bytes followed by one 0x00 byte, which
// keeps ascending byte order and lets the empty key be stored; callers never see it.
//
// A store may be asked to log the writes of one table: every write transaction begun while
// the log is on keeps, beside its writes, the key and the new value (or the removal) of each
// write to that table, in order, for whoever keeps a copy of the table in memory to follow
// the commit with. While the log is off a write costs nothing more.
//
// Thread safety: a KvStore may be used from any number of threads. A transaction object
// belongs to one thread at a time. Views returned by a transaction are valid until that
// transaction ends (commit, abort or destruction), never longer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"

typedef struct MDB_env MDB_env;
typedef struct MDB_txn MDB_txn;
typedef struct MDB_cursor MDB_cursor;

namespace tornquil {

// Longest key the store accepts, in bytes, before the terminator.
constexpr size_t kMaxKeyBytes = 510;

class KvStore;

// The writes one write transaction made to the logged table, in the order made. Values are
// copies, valid for the log's life. A log that grew past its bound keeps nothing and says so.
class WriteLog {
 public:
  struct Entry {
    std::string_view key;
    std::optional<std::string_view> value;  // nullopt: the key was removed
  };
  // Bytes of keys and values a log keeps; past them it gives up (a change that large is
  // cheaper to take again from the table than to follow).
  static constexpr size_t kMaxBytes = size_t{64} << 20;

  bool overflowed() const { return overflowed_; }
  size_t size() const { return entries_.size(); }
  Entry operator[](size_t i) const;

  void put(std::string_view key, std::string_view value) { add(key, value, true); }
  void remove(std::string_view key) { add(key, {}, false); }

 private:
  struct Stored {
    size_t at;  // in bytes_: the key, then the value
    uint32_t key_len;
    uint32_t value_len;
    bool has_value;
  };
  void add(std::string_view key, std::string_view value, bool has_value);
  std::string bytes_;
  std::vector<Stored> entries_;
  bool overflowed_ = false;
};

// Walks one table in ascending key order. An absent table gives an empty walk.
class Cursor {
 public:
  Cursor() = default;
  ~Cursor();
  Cursor(Cursor&& o) noexcept : cur_(o.cur_), log_(o.log_), first_(o.first_), ended_(o.ended_) {
    o.cur_ = nullptr;
  }
  Cursor& operator=(Cursor&&) = delete;
  Cursor(const Cursor&) = delete;

  // Advances; false at the end. Key (without the terminator) and value view the store's
  // pages and stay valid for the transaction. A storage failure is Database.
  Result<bool> next(std::string_view& key, std::string_view& value);

  // Moves to the first entry whose stored key (the id bytes and the terminator) is at or
  // after the probe bytes, compared as they are: a probe "abc" finds the key "abc", whose
  // stored form "abc\0" sorts after it. An empty probe finds the first entry. False when
  // no entry is that far; next() then stays at the end. After a seek, next() continues from
  // the entry found. Views as for next(). A storage failure is Database.
  Result<bool> seek(std::string_view probe, std::string_view& key, std::string_view& value);

  // Moves to the last entry; false for an empty or absent table. next() then ends.
  Result<bool> last(std::string_view& key, std::string_view& value);

  // Steps back from the entry the cursor stands on; false before the first (the cursor then
  // stays where it was). Only after a seek() or last() that found an entry.
  Result<bool> prev(std::string_view& key, std::string_view& value);

  // Writing, through a cursor from WriteTxn::writer only. Each search starts from the page
  // the cursor stands on, so keys taken in ascending order cost a short search instead of
  // a walk from the root.
  //
  // Stores the value under the key, replacing any; the cursor then stands on it. A key too
  // long to be stored or a storage failure is Database.
  Result<void> put(std::string_view key, std::string_view value);
  // Stores a key that sorts after every key of the table: no search, and a full page is
  // split at its end, so a run of appends fills its pages. A key that does not sort last is
  // Database (MDB_KEYEXIST); nothing is stored then.
  Result<void> append(std::string_view key, std::string_view value);
  // Moves to the key; its value (valid until the next write or the transaction's end), or
  // nullopt when absent (or too long to be stored).
  Result<std::optional<std::string_view>> find(std::string_view key);
  // Replaces the value of the entry that find(key) just found, without searching again.
  // Database on failure.
  Result<void> replace(std::string_view key, std::string_view value);

  // Takes ownership of an open LMDB cursor (store-internal); writes go to `log` too when
  // it is not null.
  explicit Cursor(MDB_cursor* c, WriteLog* log = nullptr) : cur_(c), log_(log) {}

 private:
  MDB_cursor* cur_ = nullptr;
  WriteLog* log_ = nullptr;
  bool first_ = true;   // the next step is the table's first entry
  bool ended_ = false;  // seek() or last() found nothing: over until the next positioning
};

// A read-only snapshot of the store as last committed when it began.
class ReadTxn {
 public:
  ~ReadTxn();
  ReadTxn(ReadTxn&& o) noexcept : store_(o.store_), txn_(o.txn_) { o.txn_ = nullptr; }
  ReadTxn& operator=(ReadTxn&&) = delete;
  ReadTxn(const ReadTxn&) = delete;

  // The value under key, or nullopt when the key or the whole table is absent.
  Result<std::optional<std::string_view>> get(std::string_view table, std::string_view key);
  Result<Cursor> cursor(std::string_view table);
  // Entries in the table as this snapshot sees it; 0 for an absent table. Database when the
  // store fails.
  Result<uint64_t> entry_count(std::string_view table);
  // The committed transaction this snapshot shows. Two read transactions with the same id
  // see exactly the same data.
  uint64_t snapshot_id() const;
  // Ends the snapshot early; later calls on this object are not allowed.
  void end();

 private:
  friend class KvStore;
  ReadTxn(KvStore* s, MDB_txn* t) : store_(s), txn_(t) {}
  KvStore* store_;
  MDB_txn* txn_;
};

// The store's single write transaction. Dropped without commit, it is abandoned.
class WriteTxn {
 public:
  ~WriteTxn();
  WriteTxn(WriteTxn&& o) noexcept;
  WriteTxn& operator=(WriteTxn&&) = delete;
  WriteTxn(const WriteTxn&) = delete;

  // Sees this transaction's own writes.
  Result<std::optional<std::string_view>> get(std::string_view table, std::string_view key);
  Result<void> put(std::string_view table, std::string_view key, std::string_view value);
  // True when a value was removed.
  Result<bool> remove(std::string_view table, std::string_view key);
  Result<Cursor> cursor(std::string_view table);
  // A cursor that also writes (Cursor::put, find, replace), the table created if absent. It
  // must be gone before the transaction commits or ends.
  Result<Cursor> writer(std::string_view table);
  // Makes every write durable. Failure is Transaction with the store's text; the
  // transaction is gone either way.
  Result<void> commit();

  // The committed transaction this one began from: its snapshot is what a read transaction
  // begun before this commit sees.
  uint64_t parent_snapshot_id() const { return parent_id_; }
  // After a commit: the snapshot readers now see, this transaction's own when it wrote
  // anything, else still the parent's (a transaction that changed nothing makes none).
  uint64_t committed_snapshot_id() const { return committed_id_; }
  // The writes to the logged table, or null when the log was off as this transaction began.
  // Still there after the commit.
  const WriteLog* log() const { return log_.get(); }

 private:
  friend class KvStore;
  WriteTxn(KvStore* s, MDB_txn* t);
  Result<unsigned> table(std::string_view name);
  // The log for writes to table `dbi`, or null.
  WriteLog* log_for(unsigned dbi) const { return log_ && dbi == logged_dbi_ ? log_.get() : nullptr; }
  KvStore* store_;
  MDB_txn* txn_;
  uint64_t parent_id_ = 0;
  uint64_t committed_id_ = 0;
  std::unique_ptr<WriteLog> log_;
  unsigned logged_dbi_ = ~0u;  // the logged table's handle, once known
  // Tables this transaction created; published to the store's handle cache on commit.
  std::vector<std::pair<std::string, unsigned>> created_;
};

class KvStore {
 public:
  ~KvStore();
  KvStore(const KvStore&) = delete;
  KvStore& operator=(const KvStore&) = delete;

  // Opens or creates the file at path, locked for this object's lifetime. A file held by
  // another opener, in this process or another, fails with Database "Database already
  // open. Cannot acquire lock." Readers left by a crashed process are cleared.
  static Result<std::unique_ptr<KvStore>> open(const std::string& path);

  // Transaction when the store refuses.
  Result<ReadTxn> begin_read();
  // Waits while another write transaction is live.
  Result<WriteTxn> begin_write();

  const std::string& path() const { return path_; }

  // Turns the log of writes to `table` on or off for write transactions begun from now on.
  // One table per store: the name given first is the only one ever logged.
  void set_write_log(std::string_view table, bool on);
  bool write_log_on() const;

 private:
  friend class ReadTxn;
  friend class WriteTxn;
  KvStore() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string path_;
};

// The store's own text for an LMDB return code.
std::string kv_error_text(int rc);

}  // namespace tornquil
