// LMDB implementation of KvStore.
//
// Table handles are environment-wide in LMDB and mdb_dbi_open must never run in two live
// transactions at once. So handles are opened in exactly two places: for every table that
// exists, once at open before the store is shared; and for a table a write transaction
// creates, inside that (single) write transaction, published to the cache on commit.
// Readers only look the cache up: a table not in it, or one created after the reader's
// snapshot began, reads as absent.
#include "storage/kv_store.hpp"

#include <lmdb.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "base/platform.hpp"
#include "storage/store_check.hpp"

namespace tornquil {

namespace {

// Virtual reservation per store. Nothing is allocated until pages are used; 64 GiB holds
// tens of millions of records and still lets a process keep a thousand stores open.
constexpr size_t kMapSize = size_t{64} << 30;
constexpr unsigned kMaxReaders = 1024;
constexpr const char* kLockedText = "Database already open. Cannot acquire lock.";

std::unexpected<CoreError> database_error(int rc) {
  return std::unexpected(CoreError::database(kv_error_text(rc)));
}

// Keys carry one 0x00 terminator; a small stack buffer avoids allocation for ordinary ids.
class KeyBuf {
 public:
  explicit KeyBuf(std::string_view key) {
    len_ = key.size() + 1;
    char* p = len_ <= sizeof(small_) ? small_ : (big_.resize(len_), big_.data());
    std::memcpy(p, key.data(), key.size());
    p[key.size()] = '\0';
    val_.mv_data = p;
    val_.mv_size = len_;
  }
  MDB_val* val() { return &val_; }
  bool too_long() const { return len_ > kMaxKeyBytes + 1; }

 private:
  char small_[128];
  std::string big_;
  size_t len_;
  MDB_val val_;
};

std::string_view view(const MDB_val& v) { return {static_cast<const char*>(v.mv_data), v.mv_size}; }

std::string_view strip_key(const MDB_val& v) {
  std::string_view k = view(v);
  if (!k.empty() && k.back() == '\0') k.remove_suffix(1);
  return k;
}

bool absent_table(int rc) { return rc == EINVAL || rc == MDB_BAD_DBI; }

}  // namespace

std::string kv_error_text(int rc) { return mdb_strerror(rc); }

struct KvStore::Impl {
  MDB_env* env = nullptr;
  platform::File lock_file;  // holds the exclusive flock until after mdb_env_close
  platform::RwLock tables_mu;
  std::vector<std::pair<std::string, MDB_dbi>> tables;  // guarded by tables_mu
  // Held across a commit and the look at the snapshot it made, so that no other commit of
  // this store comes between the two.
  std::mutex commit_mu;
  std::atomic<bool> log_on{false};
  std::mutex log_mu;
  std::string log_table;  // guarded by log_mu; set once, never changed after

  bool find(std::string_view name, MDB_dbi* out) {
    std::shared_lock lk(tables_mu);
    for (auto& [n, d] : tables) {
      if (n == name) {
        *out = d;
        return true;
      }
    }
    return false;
  }

  ~Impl() {
    if (env != nullptr) mdb_env_close(env);
    lock_file.close();
  }
};

KvStore::~KvStore() = default;

Result<std::unique_ptr<KvStore>> KvStore::open(const std::string& path) {
  std::unique_ptr<KvStore> store(new KvStore());
  store->path_ = path;
  store->impl_ = std::make_unique<Impl>();
  Impl& im = *store->impl_;

  auto file = platform::File::open(path, platform::File::Mode::Create);
  if (!file) return std::unexpected(CoreError::database("I/O error: " + file.error().text()));
  auto locked = file->try_lock_exclusive();
  if (!locked) return std::unexpected(CoreError::database("I/O error: " + locked.error().text()));
  if (!*locked) return std::unexpected(CoreError::database(kLockedText));
  im.lock_file = std::move(*file);
  // LMDB trusts its file; the lock held keeps it unchanged from the check to the open.
  if (auto checked = check_store_file(im.lock_file, path); !checked) {
    if (checked.error().kind() != ErrorKind::Io) return std::unexpected(checked.error());
    return std::unexpected(CoreError::database("I/O error: " + checked.error().text()));
  }

  int rc = mdb_env_create(&im.env);
  if (rc != 0) {
    im.env = nullptr;
    return database_error(rc);
  }
  mdb_env_set_mapsize(im.env, kMapSize);
  mdb_env_set_maxdbs(im.env, 16);
  mdb_env_set_maxreaders(im.env, kMaxReaders);
  rc = mdb_env_open(im.env, path.c_str(), MDB_NOSUBDIR | MDB_NOTLS | MDB_NORDAHEAD, 0644);
  if (rc != 0) return database_error(rc);
  int dead = 0;
  mdb_reader_check(im.env, &dead);

  // Open a handle for every table that exists, before anyone else can use the store.
  MDB_txn* txn = nullptr;
  rc = mdb_txn_begin(im.env, nullptr, MDB_RDONLY, &txn);
  if (rc != 0) return std::unexpected(CoreError::transaction(kv_error_text(rc)));
  MDB_dbi main_dbi;
  rc = mdb_dbi_open(txn, nullptr, 0, &main_dbi);
  std::vector<std::string> names;
  if (rc == 0) {
    MDB_cursor* c = nullptr;
    rc = mdb_cursor_open(txn, main_dbi, &c);
    if (rc == 0) {
      MDB_val k, v;
      for (int op = MDB_FIRST; mdb_cursor_get(c, &k, &v, static_cast<MDB_cursor_op>(op)) == 0;
           op = MDB_NEXT) {
        names.emplace_back(static_cast<const char*>(k.mv_data), k.mv_size);
      }
      mdb_cursor_close(c);
    }
  }
  for (const std::string& n : names) {
    if (n.empty() || n.find('\0') != std::string::npos) continue;
    MDB_dbi d;
    if (mdb_dbi_open(txn, n.c_str(), 0, &d) == 0) im.tables.emplace_back(n, d);
  }
  rc = mdb_txn_commit(txn);
  if (rc != 0) return std::unexpected(CoreError::transaction(kv_error_text(rc)));
  return store;
}

Result<ReadTxn> KvStore::begin_read() {
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(impl_->env, nullptr, MDB_RDONLY, &txn);
  if (rc != 0) return std::unexpected(CoreError::transaction(kv_error_text(rc)));
  return ReadTxn(this, txn);
}

void KvStore::set_write_log(std::string_view table, bool on) {
  std::lock_guard lk(impl_->log_mu);
  if (impl_->log_table.empty()) impl_->log_table = std::string(table);
  if (impl_->log_table != table) return;
  impl_->log_on.store(on, std::memory_order_release);
}

bool KvStore::write_log_on() const { return impl_->log_on.load(std::memory_order_acquire); }

Result<WriteTxn> KvStore::begin_write() {
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(impl_->env, nullptr, 0, &txn);
  if (rc != 0) return std::unexpected(CoreError::transaction(kv_error_text(rc)));
  return WriteTxn(this, txn);
}

// ---- Cursor

Cursor::~Cursor() {
  if (cur_ != nullptr) mdb_cursor_close(cur_);
}

namespace {

// One positioning step of a cursor: true with the views set, false at the end.
Result<bool> cursor_step(MDB_cursor* cur, MDB_val* k, MDB_cursor_op op, std::string_view& key,
                         std::string_view& value) {
  MDB_val v;
  int rc = mdb_cursor_get(cur, k, &v, op);
  if (rc == MDB_NOTFOUND) return false;
  if (rc != 0) return database_error(rc);
  key = strip_key(*k);
  value = view(v);
  return true;
}

}  // namespace

Result<bool> Cursor::next(std::string_view& key, std::string_view& value) {
  if (cur_ == nullptr || ended_) return false;
  MDB_val k;
  const MDB_cursor_op op = first_ ? MDB_FIRST : MDB_NEXT;
  first_ = false;
  return cursor_step(cur_, &k, op, key, value);
}

Result<bool> Cursor::seek(std::string_view probe, std::string_view& key, std::string_view& value) {
  if (cur_ == nullptr) return false;
  first_ = false;
  // LMDB refuses an empty probe; every stored key is at or after it anyway.
  MDB_val k{probe.size(), const_cast<char*>(probe.data())};
  Result<bool> found = cursor_step(cur_, &k, probe.empty() ? MDB_FIRST : MDB_SET_RANGE, key, value);
  // A failed positioning leaves LMDB's cursor unpositioned, where its next step would be
  // the first entry again.
  ended_ = !found || !*found;
  return found;
}

Result<bool> Cursor::prev(std::string_view& key, std::string_view& value) {
  if (cur_ == nullptr || ended_ || first_) return false;
  MDB_val k;
  return cursor_step(cur_, &k, MDB_PREV, key, value);
}

Result<bool> Cursor::last(std::string_view& key, std::string_view& value) {
  if (cur_ == nullptr) return false;
  first_ = false;
  MDB_val k;
  Result<bool> found = cursor_step(cur_, &k, MDB_LAST, key, value);
  ended_ = !found || !*found;
  return found;
}

namespace {

Result<void> cursor_put(MDB_cursor* cur, std::string_view key, std::string_view value,
                        unsigned flags) {
  KeyBuf kb(key);
  if (kb.too_long()) return database_error(MDB_BAD_VALSIZE);
  MDB_val v{value.size(), const_cast<char*>(value.data())};
  const int rc = mdb_cursor_put(cur, kb.val(), &v, flags);
  if (rc != 0) return database_error(rc);
  return {};
}

}  // namespace

Result<void> Cursor::put(std::string_view key, std::string_view value) {
  TQ_TRY(cursor_put(cur_, key, value, 0));
  if (log_ != nullptr) log_->put(key, value);
  return {};
}

Result<void> Cursor::append(std::string_view key, std::string_view value) {
  TQ_TRY(cursor_put(cur_, key, value, MDB_APPEND));
  if (log_ != nullptr) log_->put(key, value);
  return {};
}

Result<std::optional<std::string_view>> Cursor::find(std::string_view key) {
  KeyBuf kb(key);
  if (kb.too_long()) return std::optional<std::string_view>{};
  MDB_val v;
  const int rc = mdb_cursor_get(cur_, kb.val(), &v, MDB_SET);
  if (rc == MDB_NOTFOUND) return std::optional<std::string_view>{};
  if (rc != 0) return database_error(rc);
  return std::optional<std::string_view>{view(v)};
}

Result<void> Cursor::replace(std::string_view key, std::string_view value) {
  // LMDB writes at the cursor under MDB_CURRENT; it needs the key only when the value no
  // longer fits where it stood.
  TQ_TRY(cursor_put(cur_, key, value, MDB_CURRENT));
  if (log_ != nullptr) log_->put(key, value);
  return {};
}

namespace {

Result<std::optional<std::string_view>> txn_get(MDB_txn* txn, MDB_dbi dbi, std::string_view key) {
  KeyBuf kb(key);
  if (kb.too_long()) return std::optional<std::string_view>{};
  MDB_val v;
  int rc = mdb_get(txn, dbi, kb.val(), &v);
  if (rc == MDB_NOTFOUND || absent_table(rc)) return std::optional<std::string_view>{};
  if (rc != 0) return database_error(rc);
  return std::optional<std::string_view>{view(v)};
}

Result<Cursor> txn_cursor(MDB_txn* txn, MDB_dbi dbi, WriteLog* log = nullptr) {
  MDB_cursor* c = nullptr;
  int rc = mdb_cursor_open(txn, dbi, &c);
  if (absent_table(rc)) return Cursor();
  if (rc != 0) return database_error(rc);
  return Cursor(c, log);
}

}  // namespace

// ---- ReadTxn

ReadTxn::~ReadTxn() { end(); }

void ReadTxn::end() {
  if (txn_ != nullptr) mdb_txn_abort(txn_);
  txn_ = nullptr;
}

Result<std::optional<std::string_view>> ReadTxn::get(std::string_view table, std::string_view key) {
  MDB_dbi dbi;
  if (!store_->impl_->find(table, &dbi)) return std::optional<std::string_view>{};
  return txn_get(txn_, dbi, key);
}

Result<Cursor> ReadTxn::cursor(std::string_view table) {
  MDB_dbi dbi;
  if (!store_->impl_->find(table, &dbi)) return Cursor();
  return txn_cursor(txn_, dbi);
}

Result<uint64_t> ReadTxn::entry_count(std::string_view table) {
  MDB_dbi dbi;
  if (!store_->impl_->find(table, &dbi)) return uint64_t{0};
  MDB_stat st;
  int rc = mdb_stat(txn_, dbi, &st);
  if (absent_table(rc)) return uint64_t{0};
  if (rc != 0) return database_error(rc);
  return static_cast<uint64_t>(st.ms_entries);
}

uint64_t ReadTxn::snapshot_id() const { return static_cast<uint64_t>(mdb_txn_id(txn_)); }

// ---- WriteLog

void WriteLog::add(std::string_view key, std::string_view value, bool has_value) {
  if (overflowed_) return;
  if (bytes_.size() + key.size() + value.size() > kMaxBytes) {
    overflowed_ = true;
    // Swapped out, not assigned: an assignment of an empty string keeps the buffer.
    std::string().swap(bytes_);
    std::vector<Stored>().swap(entries_);
    return;
  }
  entries_.push_back(Stored{bytes_.size(), static_cast<uint32_t>(key.size()),
                            static_cast<uint32_t>(value.size()), has_value});
  bytes_.append(key);
  bytes_.append(value);
}

WriteLog::Entry WriteLog::operator[](size_t i) const {
  const Stored& s = entries_[i];
  const std::string_view all(bytes_);
  Entry e{all.substr(s.at, s.key_len), std::nullopt};
  if (s.has_value) e.value = all.substr(s.at + s.key_len, s.value_len);
  return e;
}

// ---- WriteTxn

WriteTxn::WriteTxn(KvStore* s, MDB_txn* t) : store_(s), txn_(t) {
  parent_id_ = static_cast<uint64_t>(mdb_txn_id(t)) - 1;
  committed_id_ = parent_id_;
  KvStore::Impl& im = *s->impl_;
  if (!im.log_on.load(std::memory_order_acquire)) return;
  // A constructor that throws runs no destructor: the transaction, which holds the store's
  // writer lock, is abandoned here or every later write would wait for it for good.
  try {
    log_ = std::make_unique<WriteLog>();
    std::string table;
    {
      std::lock_guard lk(im.log_mu);
      table = im.log_table;
    }
    MDB_dbi dbi;
    if (im.find(table, &dbi)) logged_dbi_ = dbi;
  } catch (...) {
    mdb_txn_abort(t);
    throw;
  }
}

WriteTxn::WriteTxn(WriteTxn&& o) noexcept
    : store_(o.store_),
      txn_(o.txn_),
      parent_id_(o.parent_id_),
      committed_id_(o.committed_id_),
      log_(std::move(o.log_)),
      logged_dbi_(o.logged_dbi_),
      created_(std::move(o.created_)) {
  o.txn_ = nullptr;
}

WriteTxn::~WriteTxn() {
  if (txn_ != nullptr) mdb_txn_abort(txn_);
}

Result<unsigned> WriteTxn::table(std::string_view name) {
  MDB_dbi dbi;
  if (store_->impl_->find(name, &dbi)) return dbi;
  for (auto& [n, d] : created_) {
    if (n == name) return d;
  }
  std::string n(name);
  int rc = mdb_dbi_open(txn_, n.c_str(), MDB_CREATE, &dbi);
  if (rc != 0) return database_error(rc);
  if (log_) {
    std::lock_guard lk(store_->impl_->log_mu);
    if (n == store_->impl_->log_table) logged_dbi_ = dbi;
  }
  created_.emplace_back(std::move(n), dbi);
  return dbi;
}

Result<std::optional<std::string_view>> WriteTxn::get(std::string_view table,
                                                      std::string_view key) {
  MDB_dbi dbi;
  if (store_->impl_->find(table, &dbi)) return txn_get(txn_, dbi, key);
  for (auto& [n, d] : created_) {
    if (n == table) return txn_get(txn_, d, key);
  }
  return std::optional<std::string_view>{};
}

Result<Cursor> WriteTxn::cursor(std::string_view table) {
  MDB_dbi dbi;
  if (store_->impl_->find(table, &dbi)) return txn_cursor(txn_, dbi, log_for(dbi));
  for (auto& [n, d] : created_) {
    if (n == table) return txn_cursor(txn_, d, log_for(d));
  }
  return Cursor();
}

Result<Cursor> WriteTxn::writer(std::string_view table) {
  TQ_ASSIGN(MDB_dbi dbi, this->table(table));
  return txn_cursor(txn_, dbi, log_for(dbi));
}

Result<void> WriteTxn::put(std::string_view table, std::string_view key, std::string_view value) {
  TQ_ASSIGN(MDB_dbi dbi, this->table(table));
  KeyBuf kb(key);
  if (kb.too_long()) return database_error(MDB_BAD_VALSIZE);
  MDB_val v{value.size(), const_cast<char*>(value.data())};
  int rc = mdb_put(txn_, dbi, kb.val(), &v, 0);
  if (rc != 0) return database_error(rc);
  if (WriteLog* log = log_for(dbi)) log->put(key, value);
  return {};
}

Result<bool> WriteTxn::remove(std::string_view table, std::string_view key) {
  TQ_ASSIGN(MDB_dbi dbi, this->table(table));
  KeyBuf kb(key);
  if (kb.too_long()) return false;
  int rc = mdb_del(txn_, dbi, kb.val(), nullptr);
  if (rc == MDB_NOTFOUND) return false;
  if (rc != 0) return database_error(rc);
  if (WriteLog* log = log_for(dbi)) log->remove(key);
  return true;
}

Result<void> WriteTxn::commit() {
  if (!created_.empty()) {
    // Room for the new tables' handles before the commit, so that no allocation can fail
    // between a commit that made them and the cache that lets readers find them.
    std::unique_lock lk(store_->impl_->tables_mu);
    store_->impl_->tables.reserve(store_->impl_->tables.size() + created_.size());
  }
  MDB_txn* txn = std::exchange(txn_, nullptr);
  int rc;
  {
    // A transaction that wrote nothing makes no snapshot; LMDB says which by its last id.
    std::lock_guard lk(store_->impl_->commit_mu);
    rc = mdb_txn_commit(txn);
    if (rc == 0) {
      MDB_envinfo info;
      mdb_env_info(store_->impl_->env, &info);
      if (static_cast<uint64_t>(info.me_last_txnid) == parent_id_ + 1) committed_id_ = parent_id_ + 1;
    }
  }
  if (rc != 0) return std::unexpected(CoreError::transaction(kv_error_text(rc)));
  if (!created_.empty()) {
    std::unique_lock lk(store_->impl_->tables_mu);
    for (auto& t : created_) store_->impl_->tables.push_back(std::move(t));
    created_.clear();
  }
  return {};
}

}  // namespace tornquil
