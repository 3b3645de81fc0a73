// The snapshot range walk: one table of one store walked by several read transactions at
// once, each over contiguous key ranges, once every transaction is shown to see the same
// snapshot as the caller's own. Scans, compaction, export and the rebuild's reads of the live
// records share it; what is done with each entry is the caller's.
//
// The key space between the table's first and last key is cut into ranges by interpolation,
// in an alphabet learnt from a small sample of the keys (key_split.hpp). Ranges are
// contiguous and cover every key exactly once, so a caller that merges the ranges' results in
// range order gets key order, however the keys fall into ranges; skewed keys only cost
// balance.
//
// Thread safety: a planned walk's transactions and cursors are each used by one thread at a
// time (a cursor belongs to its transaction). Planning may run on any number of threads at
// once; the extra reader places are counted process-wide.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
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

// Everything a range walk holds: the extra transactions and one cursor per transaction (the
// caller's own first). Views into any of them stay valid while this lives, so it must
// outlive every use of what the walk read.
struct SnapshotRangeWalk {
  std::optional<ReaderGrant> grant;
  std::vector<ReadTxn> extra;
  std::vector<Cursor> cursors;  // after `extra`: closed before their transactions end
  std::vector<std::string> bounds;

  // False when the caller walks alone, with a cursor of its own transaction.
  bool parallel() const { return !cursors.empty(); }
  size_t range_count() const { return bounds.size() + 1; }
  // Where range r begins, in the form the cursor's seek takes ("" for the first range).
  std::string_view range_begin(size_t r) const {
    return r == 0 ? std::string_view() : std::string_view(bounds[r - 1]);
  }
  // The bound range r ends before, or nullptr for the last range.
  const std::string* range_end(size_t r) const { return r < bounds.size() ? &bounds[r] : nullptr; }
};

// True while `key` (as the cursor gives it) still belongs to the range that ends at `end`.
inline bool in_range(std::string_view key, const std::string* end) {
  return end == nullptr || stored_key_before(key, *end);
}

// Prepares a range walk of `table` as `txn` sees it, with up to `wanted` transactions in
// all (the worker count unless the test hooks say otherwise), or leaves `walk` without
// cursors when the caller is to walk alone: fewer than two wanted, a small table, no reader
// places, an extra transaction that shows another snapshot (a commit came in between; the
// walk must see the table as the caller's own transaction does), or keys that leave no
// room to split. Errors are those of counting the entries and of the caller's own cursor.
Result<void> plan_range_walk(KvStore& store, ReadTxn& txn, std::string_view table,
                             SnapshotRangeWalk& walk);

}  // namespace tornquil
