// The snapshot range walk: one table of one store walked by several read transactions at
// once, each over contiguous key ranges, once every transaction is shown to see the same
// snapshot as the caller's own. Scans, compaction, export and the rebuild's reads of the live
// records share it; what is done with each entry is the caller's.
//
// The range bounds follow the real keys: a walk that is asked to learn copies the keys it
// meets at evenly spaced positions, and the next walks of that table cut it at those keys
// (ScanBounds keeps them between walks). Bounds learnt from an older snapshot are still
// valid separators, only their balance may have drifted; they are learnt again once the
// entry count has moved by more than an eighth, or once a walk finds one range far larger
// than its share. A table never walked before is cut by interpolation in an alphabet learnt
// from a small sample of its keys (key_split.hpp), and that first walk learns the real
// bounds. Ranges are contiguous and cover every key exactly once, whatever the bounds, so a
// caller that merges the ranges' results in range order gets key order however the keys
// fall into ranges; skewed bounds only cost balance.
//
// Thread safety: a planned walk's transactions and cursors are each used by one thread at a
// time (a cursor belongs to its transaction), and so is the tally of each range. Planning
// may run on any number of threads at once; the extra reader places are counted
// process-wide. A ScanBounds may be used by any number of walks at once.
#pragma once

#include <oneapi/tbb/task_group.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "base/worker_pool.hpp"
#include "storage/key_split.hpp"
#include "storage/kv_store.hpp"

namespace tornquil {

// Test hooks for the walk of the committed scan. While set, every walk takes its choice of
// walk from here and the scan reports the walk it made; nullptr restores the defaults.
struct ScanWalkTestHooks {
  uint64_t min_entries = 0;             // walk in parallel from this many entries on
  uint32_t transactions = 1;            // read transactions of a parallel walk, the first included
  uint32_t ranges_per_transaction = 1;  // ranges asked for, per transaction
  // Runs once the scan's own read transaction has begun, before any other does.
  void (*after_first_txn)(void* arg) = nullptr;
  void* arg = nullptr;
  // Shares of a scan of the record columns; 0 for one per worker.
  uint32_t column_shares = 0;
  // Written by each scan: 1 and 1 for the single walk.
  uint32_t walked_transactions = 0;
  uint32_t walked_ranges = 0;
};
void TEST_set_scan_walk_hooks(ScanWalkTestHooks* hooks);
// The hooks in force, or nullptr.
ScanWalkTestHooks* scan_walk_test_hooks();

// A share of the read transactions all range walks of the process may hold beyond their
// callers' own, given back when it ends. A store has a fixed number of reader places, and
// readers that are not walks (get, len, a flush's own reads) must always find one.
class ReaderGrant {
 public:
  explicit ReaderGrant(int want);
  ~ReaderGrant();
  ReaderGrant(const ReaderGrant&) = delete;
  ReaderGrant& operator=(const ReaderGrant&) = delete;
  int count() const { return n_; }

 private:
  int n_ = 0;
};

// The separators learnt from one walk of a table: keys at evenly spaced positions in the
// bound form (strictly increasing, none empty or ending in 0x00), and the entry count of the
// snapshot they were learnt from.
struct KeySeparators {
  std::vector<std::string> keys;
  uint64_t entries = 0;
};

// Where one table's keys fall, kept between its walks; owned by whoever owns the table (a
// collection keeps one for its record table). Its own mutex guards the separators, taken
// briefly and with nothing else waited for inside it, so it may be used under any other lock.
class ScanBounds {
 public:
  std::shared_ptr<const KeySeparators> load() const {
    std::lock_guard lk(mu_);
    return learnt_;
  }
  void store(std::shared_ptr<const KeySeparators> learnt) {
    std::lock_guard lk(mu_);
    learnt_ = std::move(learnt);
    renew_.store(false, std::memory_order_relaxed);
  }
  // The next walk learns the bounds again.
  void request_renewal() { renew_.store(true, std::memory_order_relaxed); }
  bool renewal_requested() const { return renew_.load(std::memory_order_relaxed); }

 private:
  mutable std::mutex mu_;
  std::shared_ptr<const KeySeparators> learnt_;  // guarded by mu_
  std::atomic<bool> renew_{false};
};

// What a walk saw of one range: how many entries, and when the walk learns, copies of the
// keys at every `every`-th of them (0 when it does not learn).
struct RangeTally {
  uint64_t count = 0;
  uint64_t every = 0;
  uint64_t until_next = 0;                             // entries before the next copy
  std::vector<std::pair<uint64_t, std::string>> kept;  // (position in the range, key)

  // Called by the walker for each entry of its range, in key order.
  void see(std::string_view key) {
    if (every != 0 && until_next-- == 0) keep(key);
    ++count;
  }

 private:
  void keep(std::string_view key);
};

// Everything a range walk holds: the extra transactions and one cursor per transaction (the
// caller's own first). Views into any of them stay valid while this lives, so it must
// outlive every use of what the walk read.
struct SnapshotRangeWalk {
  std::optional<ReaderGrant> grant;
  std::vector<ReadTxn> extra;
  std::vector<Cursor> cursors;  // after `extra`: closed before their transactions end
  // Where the ranges after the first begin: views into `learnt` or `guessed`.
  std::vector<std::string_view> bounds;
  std::shared_ptr<const KeySeparators> learnt;  // the separators the bounds were taken from
  std::vector<std::string> guessed;             // or the guess they were taken from
  // One per range (a single one when the caller walks alone), filled by the walkers.
  std::vector<RangeTally> tallies;
  uint64_t entries = 0;              // in the caller's snapshot; 0 when not counted
  ScanBounds* learn_from = nullptr;  // where the bounds came from and go back to
  bool learning = false;             // the tallies keep keys to learn the bounds from

  // False when the caller walks alone, with a cursor of its own transaction.
  bool parallel() const { return !cursors.empty(); }
  size_t range_count() const { return bounds.size() + 1; }
  // Where range r begins, in the form the cursor's seek takes ("" for the first range).
  std::string_view range_begin(size_t r) const {
    return r == 0 ? std::string_view() : bounds[r - 1];
  }
  // The bound range r ends before, or nullptr for the last range.
  const std::string_view* range_end(size_t r) const {
    return r < bounds.size() ? &bounds[r] : nullptr;
  }
};

// True while `key` (as the cursor gives it) still belongs to the range that ends at `end`.
inline bool in_range(std::string_view key, const std::string_view* end) {
  return end == nullptr || stored_key_before(key, *end);
}

// Prepares a range walk of `table` as `txn` sees it, with up to `wanted` transactions in
// all (the worker count unless the test hooks say otherwise), cut at the separators of
// `bounds` when it holds any, or leaves `walk` without cursors when the caller is to walk
// alone: fewer than two wanted, a small table, no reader places, an extra transaction that
// shows another snapshot (a commit came in between; the walk must see the table as the
// caller's own transaction does), or, with nothing learnt yet, keys that leave no room to
// split. `bounds` may be null (nothing is learnt then). The tallies are set up either way
// for a table large enough to walk in parallel: one per range, or one for the lone walk.
// Errors are those of counting the entries and of the caller's own cursor.
Result<void> plan_range_walk(KvStore& store, ReadTxn& txn, std::string_view table,
                             SnapshotRangeWalk& walk, ScanBounds* bounds = nullptr);

// Walks the ranges of a planned parallel walk on the worker pool: one task per transaction,
// each taking the next range not yet taken and calling walk_range(t, r) with its own
// transaction's index t, until the ranges are gone or wanted(r) says that no range from r on
// is wanted any more. The calling thread walks too, so the walk finishes even when every
// worker is busy elsewhere; a task that starts after the ranges are gone returns at once.
template <class WalkRange, class Wanted>
void run_range_tasks(SnapshotRangeWalk& walk, const WalkRange& walk_range, const Wanted& wanted) {
  const size_t n_ranges = walk.range_count();
  const size_t n_tasks = walk.cursors.size();
  std::atomic<size_t> next_range{0};
  auto task = [&](size_t t) {
    for (;;) {
      const size_t r = next_range.fetch_add(1, std::memory_order_relaxed);
      if (r >= n_ranges || !wanted(r)) return;
      walk_range(t, r);
    }
  };
  run_isolated([&] {
    tbb::task_group tasks;
    for (size_t t = 1; t < n_tasks; ++t) tasks.run([&task, t] { task(t); });
    task(0);
    tasks.wait();
  });
}

// After a walk that saw every entry of the table: hands the separators it learnt to its
// ScanBounds, or asks for new ones when one range held far more than its share. Nothing
// for a walk without tallies or without bounds to learn into.
void finish_range_walk(SnapshotRangeWalk& walk);

}  // namespace tornquil
