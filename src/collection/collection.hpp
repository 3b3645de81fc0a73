// Collection: the core object of one open collection, its configuration, directory and
// key-value store, its vector file and free list, its write buffer and its optional HNSW
// index, each behind its own lock; open_collection builds it from the directory.
//
// The directory (collection_dir) holds:
//   vectors.bin   the vector file
//   meta.redb     the collection's own store: tables "records" and "freelist"
//   hnsw.index    the saved graph index, written by sync when there is an index
//
// Thread safety: any number of threads may work on one collection at once. Fields and the
// locks that guard them:
//   config, dir, dir_id, meta, flush_threshold,   immutable after open (the store does
//   flush_interval_ms                              its own locking)
//   pending                  pending_lock
//   pending_since_ms         atomic; meaningful to a reader holding pending_lock
//   slots.freelist           slots.freelist_lock (and the list's inner mutex)
//   slots.vectors            slots.vectors_lock
//   hnsw                     hnsw_lock (the index has its graph and deleted-slot locks)
//   needs_rebuild            atomic
//   slot_book                as noted in slots.hpp (batches under its batches_lock)
//   dropped                  atomic
// Lock order: no thread takes a lock of this list while holding one that comes later, and
// pairs not listed together are never held together:
//   0. flush_lock      (taken by flush_pending alone, with nothing else held; and by
//                       drop_buffered_record, which takes pending_lock inside it)
//   1. pending_lock    (len, compaction and search begin their committed read transaction
//                       while holding it, so that they see the buffer and the table of one
//                       moment; a read transaction never waits for a writer)
//   2. slots.freelist_lock   (inside pending_lock; for reading inside a write transaction)
//   3. hnsw_lock
//   4. slots.vectors_lock    (inside hnsw_lock; never with pending_lock or freelist_lock;
//                            a search begins a second read transaction under it, to tell
//                            whether a commit came since its moment: a record stored
//                            unchanged then names a slot that no release can touch while
//                            the lock is held)
//   5. the index's graph lock
//   6. the index's deleted-slot lock
//   7. scan_columns' lock: for reading by an exact scan, inside vectors_lock; for writing
//      by the scan that builds the columns (inside vectors_lock) and by
//      commit_collection_txn inside its write transaction, with no lock of this list held
//      but flush_lock. A scan never waits for it while a writer wants it (it walks the
//      store instead), so a commit is never held up by a stream of scans.
// No write transaction is begun while any lock above is held, except flush_lock: nothing
// that holds a write transaction or another collection lock ever waits for flush_lock, so
// a flush may wait for the store's writer while holding it. Outside this order:
//   compact_lock    taken by compact_collection alone, with nothing else held; it may
//                   begin write transactions while holding it, like flush_lock
//   slot_book.batches_lock   taken with no other lock held, for one look or change
//                            of the running batches (slots.hpp)
// Reader-writer locks (hnsw_lock, slots.freelist_lock, slots.vectors_lock, the index's
// graph and deleted-slot locks, scan_columns', the handle's cache lock) are
// platform::RwLock: no new reader gets in while a writer waits, so a stream of searches
// cannot keep a writer out for longer than the readers already inside take. Hence two
// rules: no thread takes one of them for reading while it already holds it for reading, and
// no thread that holds one for reading waits for another thread that takes it.
// The worker pool: a thread that holds any lock of this list waits for parallel work only
// through run_isolated or parallel_for (worker_pool.hpp), so that it runs no task of
// another caller meanwhile (such a task may need the lock it holds). Pool tasks take no lock
// of this list and begin no write transaction: work that does (a commit, the import's
// batches) runs on the calling thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/json_value.hpp"
#include "base/platform.hpp"
#include "collection/layout.hpp"
#include "collection/slots.hpp"
#include "search/hnsw/graph.hpp"
#include "search/scan_columns.hpp"
#include "storage/free_list.hpp"
#include "storage/kv_store.hpp"
#include "storage/pending_record.hpp"
#include "storage/range_walk.hpp"
#include "storage/registry.hpp"
#include "storage/slot_allocator.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {

// Buffered records that trigger a flush, and the age of the buffer that does.
constexpr uint64_t kFlushThreshold = 100;
constexpr uint64_t kFlushIntervalMs = 100;

class Collection {
 public:
  // Built by open_collection only.
  Collection(CollectionConfig config, std::string dir, std::optional<platform::FileId> dir_id,
             std::unique_ptr<KvStore> meta, VectorStorage vectors, FreeList freelist,
             std::unique_ptr<HnswIndex> index, bool needs_rebuild);
  // Flushes the write buffer, so that records added without a sync are not lost when the
  // last reference goes. A failure of that flush cannot be reported and is dropped; the
  // records then stay out of the table as after any failed flush.
  ~Collection();
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  const CollectionConfig config;
  const std::string dir;
  // What makes the directory itself, whatever spelling of its path reached it, taken at
  // open: a drop through any spelling finds the collection by it. Absent only when the
  // directory vanished between its creation and the look.
  const std::optional<platform::FileId> dir_id;
  const std::unique_ptr<KvStore> meta;
  const uint64_t flush_threshold = kFlushThreshold;
  const uint64_t flush_interval_ms = kFlushIntervalMs;

  // The vector file and the free list with their two locks; allocate_slot works on it.
  SlotSpace slots;

  std::mutex pending_lock;
  std::vector<PendingRecord> pending;  // guarded by pending_lock, in order of addition
  // The records the running flush is committing, taken from the buffer in its order; empty
  // while no flush runs. Readers take them for buffered records ahead of `pending` until
  // the flush has emptied the list (after its commit, or putting them back on failure), so
  // a record stays visible and countable while it moves into the table. A delete or upsert
  // of an id found here waits for the flush (flush_lock) and looks again. Guarded by
  // pending_lock; changed only by the flush that holds flush_lock, which alone may read it
  // without pending_lock. A flush that failed and had no memory to put its records back
  // leaves them here, still buffered ahead of `pending`: the next flush commits them first,
  // and drop_buffered_record removes them holding flush_lock (then pending_lock).
  std::vector<PendingRecord> in_flight;
  // Wall-clock Unix milliseconds at which the buffer last went from empty to non-empty;
  // 0 after a successful flush.
  std::atomic<uint64_t> pending_since_ms{0};

  platform::RwLock hnsw_lock;
  // Absent unless config.hnsw is set and an index was loaded or built.
  std::unique_ptr<HnswIndex> hnsw;  // guarded by hnsw_lock
  // The index lags the committed records and must be refreshed before the next search
  // or sync.
  std::atomic<bool> needs_rebuild{false};

  // Where the record table's keys fall, learnt by the exact scan's walks to share out the
  // next ones evenly; and the columns an unfiltered scan of an unchanged snapshot reads
  // instead of the table.
  ScanBounds scan_bounds;
  ScanColumnsCache scan_columns;

  // Who holds which slot beside the free list: the running batches, the stretches that
  // hold a slot privately, the unsaved mark of the free list (slots.hpp).
  SlotBook slot_book;

  // Set once the collection was dropped (drop_collection): every operation then fails with
  // CollectionNotFound and writes nothing, the release flush included.
  std::atomic<bool> dropped{false};

  // Serialises compactions: each is the only one to free slots that no record names.
  std::mutex compact_lock;

  // Serialises whole flushes, so that a flush that fails can put its records back at the
  // front of the buffer before any later flush takes the buffer: a newer record of the
  // same id is then always committed after the older one. Also waited on (taken and
  // released with nothing else held) by a delete or upsert of an id that is in flight.
  std::mutex flush_lock;

  // Makes a write transaction of this collection's own operations (flush, delete) fail
  // instead of committing: `skip` commits still succeed, the next one fails with
  // Transaction and is abandoned.
  void TEST_fail_next_commit(int skip = 0) { test_commit_countdown_.store(skip); }
  // True when the commit about to be made must fail (consumes the armed failure).
  bool TEST_take_commit_failure();
  // Runs `hook` once, just before the next commit of a write transaction of this
  // collection's own operations (the transaction is built; nothing is committed yet).
  void TEST_before_next_commit(std::function<void()> hook);
  // The armed hook, taken (empty when none is armed).
  std::function<void()> TEST_take_commit_hook();

 private:
  std::atomic<int> test_commit_countdown_{-1};
  std::mutex test_hook_mu_;
  std::function<void()> test_commit_hook_;  // guarded by test_hook_mu_
};

// Opens the collection in `dir` (created with its parents when missing) for `config`: the
// vector file (created when absent), the store (locked for the collection's life), the
// free list, and the saved index when config carries HNSW parameters. A missing, damaged
// or outdated hnsw.index never fails the open: the collection opens without an index and
// with needs_rebuild set (for a missing file only when live records exist); a failure to
// count the live records does fail it. Every slot that a stored record or the free list
// names must lie below the vector file's slot_count: a header that claims fewer (an older
// copy of the file) is raised to cover them when the file holds them, and refused as
// Corruption otherwise. On failure everything opened so far is closed again; directories
// and files already created stay.
Result<std::shared_ptr<Collection>> open_collection(std::string dir, CollectionConfig config);

// ---- The write buffer (write_buffer.cpp) ----

// Adds one record: the vector is prepared for the metric and written into a new slot at
// once, the record is appended to the write buffer, and the buffer is flushed when it
// holds flush_threshold records or went non-empty flush_interval_ms ago. Returns the id
// (the given one, or a new UUID). A vector of the wrong length (DimensionMismatch), a
// vector with a NaN or infinite element (InvalidInput, see check_storable_vector) or an
// id too long to be stored (InvalidInput) fails
// before anything changes; a failure of the flush is returned instead of the id, the
// record staying buffered for the next flush. With `flush_when_due` false the caller takes
// over flushing (a bulk load that flushes in larger steps). The caller holds no lock of the
// collection.
Result<std::string> add_record(Collection& c, std::span<const float> vector,
                               const JsonValue& metadata, std::optional<std::string> id,
                               std::optional<uint64_t> ttl, bool flush_when_due = true);

// Commits the whole write buffer and the free list in one write transaction, after making
// the vector file durable. An empty buffer touches neither the file nor the store. While
// it runs, the records it took stay visible as `in_flight`. Of several copies of one id the
// newest is stored; the slots of the older copies and of the committed records the flush
// replaced (other than Tombstones, whose delete frees them) are saved in the free list by
// the same transaction and released after the commit (release_slot). On failure the
// records go back to the buffer, in their order and ahead of newer ones, for the next
// flush (or, with no memory to put them back, stay in flight for it), an allocation
// failure included; nothing of the transaction reaches the store. A dropped collection is
// refused with CollectionNotFound and nothing is written. The caller holds no lock of the
// collection.
Result<void> flush_pending(Collection& c);

// The records `len` counts: each id once, as its newest copy shows it. Live committed
// records whose id has no buffered copy, plus one for every id with a buffered copy (the
// buffered copies without a liveness test); a record that a running flush is committing
// counts once, in the table or in flight.
Result<uint64_t> record_count(Collection& c);

// Removes the first buffered record with this id (the others keep their order) and frees
// its slot; false when none is buffered. When a running flush is committing a copy of the
// id, waits for that flush to end first, so that the caller's next look at the table finds
// what it committed. The caller holds no lock of the collection.
bool drop_buffered_record(Collection& c, std::string_view id);

// Removes every buffered copy of the id, as drop_buffered_record does one by one; returns
// how many it removed. Once it returns, no flush is committing a copy of the id.
size_t drop_buffered_copies(Collection& c, std::string_view id);

// The newest buffered copy of each id among the records in flight followed by the buffer,
// from `lists` in that order: a flag per record, true for the newest copy of its id. The
// caller holds pending_lock (or owns the lists).
std::vector<bool> newest_copies(std::span<const std::vector<PendingRecord>* const> lists);

// stage_record, which takes a new record's slot, is in slot_grant.hpp.

// What the newest buffered copy of an id says.
struct BufferedCopy {
  bool found = false;    // the id has a buffered copy (in flight or in the buffer)
  bool live = false;     // its newest copy is live
  std::string metadata;  // that copy's metadata text, as the compact writer laid it out
};

// The newest buffered copy of `id`, which hides every older copy and the committed record.
// The caller holds no lock of the collection.
BufferedCopy buffered_copy(Collection& c, std::string_view id);

// ---- Delete, upsert and sync (delete_upsert.cpp) ----

// Deletes the committed record `id` that names `slot` (as the caller found it, in any
// state): the record is marked Tombstone together with the free list as it will be, then
// its slot gets the deleted marker, leaves the index and joins the free list, then the
// record is removed. NotFound "Slot {} not allocated" for a slot at or above slot_count,
// changing nothing. A record that no longer names `slot` (deleted or replaced meanwhile) is
// left alone; a record already Tombstone (an earlier delete failed before removing it) is
// only removed, its slot having been freed by that delete. The caller holds no lock.
Result<void> delete_record(Collection& c, std::string_view id, uint64_t slot);

// Deletes every copy the id holds: all its buffered copies (waiting for a flush that is
// committing one) and then its committed record in whatever state it is. True when a copy
// existed and none is left; false when none existed, and for an id too long to be stored.
// The caller holds no lock of the collection.
Result<bool> delete_by_id(Collection& c, std::string_view id);

// Replaces whatever the id holds, buffered copies, a committed record or both, with a new
// record; every buffered copy is dropped first. A committed record is replaced in place:
// the new vector is made durable in a new slot, then one write transaction puts the new
// record under the id and saves the free list with the old slot on it, and only then is
// the old slot released (release_slot); a crash at any moment leaves the old record or the
// new one. An id with no committed record gets a new buffered record, as add does.
// Concurrent writers of the same id may interleave. A vector of the wrong length, a vector
// with a NaN or infinite element or an id too long to be stored fails before anything
// changes: the old record is kept. `flush_when_due` as for add_record.
Result<void> upsert_record(Collection& c, std::string_view id, std::span<const float> vector,
                           const JsonValue& metadata, std::optional<uint64_t> ttl,
                           bool flush_when_due = true);

// Flushes the write buffer, makes the vector file durable, refreshes the index and saves
// it to hnsw.index when there is one. The caller holds no lock of the collection.
Result<void> sync_collection(Collection& c);

// ---- Helpers ----

// CollectionNotFound "Collection not found: {name}" once the collection was dropped.
Result<void> check_not_dropped(const Collection& c);

// Commits a write transaction of the collection (see TEST_fail_next_commit). An allocation
// failure thrown from here means that nothing was committed; one that comes after the
// store's commit is dropped and the commit counts as made.
Result<void> commit_collection_txn(Collection& c, WriteTxn& txn);

// The length of the vector file's mapping in bytes, under the `vectors` lock for reading.
uint64_t vector_file_bytes(Collection& c);

}  // namespace tornquil
