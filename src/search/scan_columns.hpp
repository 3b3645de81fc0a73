// The record columns: what an exact scan needs of the committed records, held in memory
// so that a scan skips the store entirely and runs through dense arrays, split evenly
// among the workers. A scan over the store decodes every stored value on every query; an
// agent's memory is searched far more often than it is written, and is written in small
// steps, so the columns are taken out of the store once per open collection and then
// follow every commit: each write transaction logs its writes to the record table, and its
// commit applies them to the columns of the snapshot it began from.
//
// The columns hold the Active records of one snapshot, indexed by vector slot (so a scan
// reads the vector file straight through): expiry, key rank, id and metadata text. State
// cannot change without a commit, so only Active records are kept; everything that can
// change within a snapshot (the clock against the expiry, the vector file's length, the
// deleted mark in a slot) is still tested by every scan, exactly as the store walk does.
// Ties are broken by key rank: ranks rise with the keys and leave gaps, so a key inserted
// between two others takes a rank between theirs; only when a gap runs out are all ranks
// spread out again. A scan over the columns gives the same hits in the same order as the
// walk.
//
// The texts lie in slot order too, so that a filtered scan reads the metadata texts in the
// order it meets them, whatever order the keys are in (generated ids are random, and a
// table walked in key order would scatter them). Slots fall into blocks of kBlockSlots, and
// each block's texts have a buffer of their own: laid out in slot order by the build, then
// followed by the texts commits place there, in the room left at the end. A block whose
// room runs out, or whose texts given up come to outweigh those held, is laid out afresh in
// slot order, with room for an eighth more; so at most that much of a block stands out of
// order, within the block, and the copying is a block at a time, amortised over the texts
// placed or given up since the last layout.
//
// Thread safety: a ScanColumnsCache may be used by any number of threads. Its lock is held
// for reading by a scan of the columns, and for writing by a commit that brings them along
// (inside its write transaction) and by the scan that builds them. A scan never waits for
// a writer: while one wants the lock, scans walk the store.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/platform.hpp"
#include "storage/kv_store.hpp"
#include "storage/range_walk.hpp"

namespace tornquil {

// The expiry column's value for a record without one: every clock reading is before it.
constexpr uint64_t kNeverExpires = std::numeric_limits<uint64_t>::max();

// The texts of a block of kBlockSlots consecutive slots: each held record's id followed by its
// metadata, in slot order as the block was last laid out, then those placed since in the
// order they came, then room. A scan in slot order thus reads the texts in the order they
// lie, whatever order the keys are in.
struct TextBlock {
  std::unique_ptr<char[]> bytes;
  uint64_t used = 0;      // bytes taken: laid out, placed since, or given up since
  uint64_t capacity = 0;  // bytes of `bytes`
  uint64_t live = 0;      // bytes of the texts held
};

// The Active records of one snapshot, by vector slot.
struct RecordColumns {
  static constexpr uint64_t kNoText = std::numeric_limits<uint64_t>::max();
  // In meta_lens: the text is a plain object (is_plain_object_text); the rest is its length.
  static constexpr uint32_t kPlainObject = uint32_t{1} << 31;
  static constexpr uint32_t kMaxMetadataBytes = kPlainObject - 1;
  // Slots per text block.
  static constexpr unsigned kBlockShift = 10;
  static constexpr uint64_t kBlockSlots = uint64_t{1} << kBlockShift;

  uint64_t snapshot_id = 0;  // the committed transaction the columns show
  // By slot. A slot without a record has text kNoText and expiry 0 (never live).
  std::vector<uint64_t> expires_at;
  std::vector<uint64_t> ranks;
  std::vector<uint64_t> texts;  // where the id, then the metadata, begin in the slot's block
  std::vector<uint32_t> id_lens;
  std::vector<uint32_t> meta_lens;
  std::vector<TextBlock> blocks;  // block b holds the texts of slots b << kBlockShift on
  uint64_t records = 0;
  uint64_t text_bytes = 0;  // of the records held; the blocks hold more, room included

  size_t size() const { return expires_at.size(); }  // slots covered
  bool holds(uint64_t slot) const { return slot < size() && texts[slot] != kNoText; }
  std::string_view id(uint64_t slot) const { return {text(slot), id_lens[slot]}; }
  std::string_view metadata(uint64_t slot) const {
    return {text(slot) + id_lens[slot], meta_lens[slot] & kMaxMetadataBytes};
  }
  // Whether the metadata text is a plain object, which a filter reads without validating.
  bool plain_metadata(uint64_t slot) const { return (meta_lens[slot] & kPlainObject) != 0; }

 private:
  const char* text(uint64_t slot) const {
    return blocks[slot >> kBlockShift].bytes.get() + texts[slot];
  }
};

// Walks the record table as `txn` sees it (in parallel over the ranges of `bounds` when it
// is large) and takes its columns. Null when any stored value does not decode, two Active
// records name one slot, a slot is beyond what the columns index, or the walk fails: the
// store walk then meets the same and reports it, or gives the same hits. Null as well when
// memory runs out on the way.
std::unique_ptr<RecordColumns> build_record_columns(KvStore& store, ReadTxn& txn,
                                                    ScanBounds* bounds);

// Applies the writes of one committed write transaction to the columns of the snapshot it
// began from: `before` shows that snapshot, `after` the one the commit made, and `log` is
// its writes to the record table. False when the change cannot be applied (a value that
// does not decode, a record the columns do not hold as they should, a key whose neighbours
// in the table are far from any record held, memory running out); the columns are then
// left half changed and must be dropped.
bool apply_write_log(RecordColumns& columns, const WriteLog& log, ReadTxn& before, ReadTxn& after);

// The columns of a collection's record table, kept from the collection's second scan on and
// brought along by every commit.
class ScanColumnsCache {
 public:
  // A scan's hold on the columns, for reading, while it is alive.
  class Lease {
   public:
    const RecordColumns* columns() const { return columns_; }
    explicit operator bool() const { return columns_ != nullptr; }

   private:
    friend class ScanColumnsCache;
    std::shared_lock<platform::RwLock> lock_;
    const RecordColumns* columns_ = nullptr;
  };

  // The columns of `txn`'s snapshot, held for reading; or none, and the scan walks. A scan
  // that finds none while the columns are not being kept turns the store's log of record
  // writes on; the next one builds them, from a snapshot of its own taken while no commit
  // can come between (so that every later commit finds them at its parent).
  Lease acquire(KvStore& store, ReadTxn& txn, ScanBounds* bounds);

  // Commits `txn` (through `commit`, which returns its result) and brings the columns to the
  // snapshot it made, or drops them when they cannot follow: columns of another snapshot, a
  // transaction begun before the log was on, a change that cannot be applied. A failed
  // commit leaves them as they were. The caller holds the write transaction and no lock
  // that a scan may hold.
  template <class Commit>
  Result<void> commit(KvStore& store, WriteTxn& txn, const Commit& commit) {
    if (txn.log() == nullptr && !following_.load(std::memory_order_acquire)) return commit();
    Writing w(*this);
    std::optional<ReadTxn> before = snapshot_before(store, txn);
    Result<void> r = commit();
    if (r) follow(store, txn, before);
    return r;
  }

  // The columns' snapshot and record count, for tests; nullopt when none are kept.
  std::optional<std::pair<uint64_t, uint64_t>> TEST_state();
  // Builds since the cache was made.
  uint64_t TEST_builds() const { return builds_.load(); }
  // Runs `check` on the columns under the lock, when there are any.
  template <class Check>
  void TEST_inspect(const Check& check) {
    std::shared_lock lk(mu_);
    if (columns_) check(*columns_);
  }

 private:
  // Holds the lock for writing, scans kept off it from before the wait.
  class Writing {
   public:
    explicit Writing(ScanColumnsCache& c) : c_(c) {
      c_.writers_.fetch_add(1, std::memory_order_acq_rel);
      c_.mu_.lock();
    }
    ~Writing() {
      c_.mu_.unlock();
      c_.writers_.fetch_sub(1, std::memory_order_acq_rel);
    }
    Writing(const Writing&) = delete;
    Writing& operator=(const Writing&) = delete;

   private:
    ScanColumnsCache& c_;
  };

  // A read transaction on the snapshot `txn` began from, when the columns are at it.
  std::optional<ReadTxn> snapshot_before(KvStore& store, WriteTxn& txn);
  // After a commit, under the lock for writing.
  void follow(KvStore& store, WriteTxn& txn, std::optional<ReadTxn>& before);
  // Drops the columns. After a failure the log goes too, and the next scans build them
  // again later each time; otherwise (a change too large to follow) the second scan builds
  // them. Under the lock for writing.
  void retire(KvStore& store, bool failed);

  platform::RwLock mu_;
  std::unique_ptr<RecordColumns> columns_;  // guarded by mu_
  std::atomic<int> writers_{0};             // waiting for or holding mu_ for writing
  std::atomic<uint64_t> builds_{0};
  // True from the moment a build begins while columns are kept: every commit then takes
  // the lock.
  std::atomic<bool> following_{false};
  std::mutex count_mu_;
  uint32_t misses_ = 0;       // guarded by count_mu_: scans without columns since the last build
  uint32_t build_after_ = 2;  // guarded by count_mu_: the miss that builds
};

}  // namespace tornquil
