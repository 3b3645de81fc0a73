// KvStore: one meta.redb file, an LMDB environment of named tables with text keys and
// byte-string values. Read transactions never wait; one write transaction at a time is
// the store's writer lock. A missing table reads as empty; a write transaction creates a
// table it opens. Every key is stored as its UTF-8 bytes followed by one 0x00 byte, which
// keeps ascending byte order and lets the empty key be stored; callers never see it.
//
// Thread safety: a KvStore may be used from any number of threads. A transaction object
// belongs to one thread at a time. Views returned by a transaction are valid until that
// transaction ends (commit, abort or destruction), never longer.
#pragma once

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

// Walks one table in ascending key order. An absent table gives an empty walk.
class Cursor {
 public:
  Cursor() = default;
  ~Cursor();
  Cursor(Cursor&& o) noexcept : cur_(o.cur_), first_(o.first_), ended_(o.ended_) {
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

  // Takes ownership of an open LMDB cursor (store-internal).
  explicit Cursor(MDB_cursor* c) : cur_(c) {}

 private:
  MDB_cursor* cur_ = nullptr;
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

 private:
  friend class KvStore;
  WriteTxn(KvStore* s, MDB_txn* t) : store_(s), txn_(t) {}
  Result<unsigned> table(std::string_view name);
  KvStore* store_;
  MDB_txn* txn_;
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
