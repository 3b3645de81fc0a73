// The exact k-nearest-neighbour search: every eligible record is scored against a prepared
// query and the best k are kept in a bounded, ordered top list. Two entry points: the
// committed records of table "records" (vectors read in place from the mapped vector file)
// and a private copy of the write buffer (vectors scored from memory).
//
// Ordering: every comparison of scores is strict and a NaN score is worse than every real
// score, so NaN hits come last; equal scores (NaN with NaN included) keep arrival order:
// committed records in ascending byte order of their ids, buffered records in buffer order.
//
// Scans of 500 items or more run on the process-wide worker pool. Work is placed by
// candidate index and merged in candidate order, so the hits never depend on the number of
// threads. A large record table is walked by several read transactions at once, each over
// ranges of keys, once they are shown to see the same snapshot; otherwise by one.
//
// Thread safety: every function here works on its arguments only and may run on any number
// of threads at once; none keeps state between calls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/json_value.hpp"
#include "base/types.hpp"
#include "search/filter.hpp"
#include "storage/kv_store.hpp"
#include "storage/pending_record.hpp"
#include "storage/records.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {

// Scans of at least this many items run on the worker pool: for the committed scan the
// stored values walked (each is decoded and tested there, not only scored), for the buffer
// scan the copies. Both roads give the same hits.
constexpr uint64_t kParallelScanThreshold = 500;

// One result of any search, before it reaches Python.
struct SearchHit {
  std::string id;      // an owned copy of the record id
  JsonValue metadata;  // the stored text parsed; null when that text is not valid JSON
  float score = 0;     // distance between the prepared query and the record's vector
};

// A scored item in a top list: `position` is its index in the caller's candidate list.
struct TopEntry {
  float score;
  uint64_t position;
};

// The best scores pushed so far. Between calls `entries` is sorted best first (descending
// when higher_is_better, ascending otherwise, NaN last), equal scores stand in push order,
// and there are at most `limit` entries.
struct TopK {
  std::vector<TopEntry> entries;
  uint64_t limit = 0;
  bool higher_is_better = true;
};

// A top list for a metric's sense of better. Room is reserved for limit + 1 entries, but
// never for more than `most_items` + 1, so a huge limit reserves only what can be filled.
TopK make_top_k(uint64_t limit, bool higher_is_better, uint64_t most_items);

// True when score a is strictly better than b: higher (or lower) and never NaN; every real
// score is better than NaN, and NaN is better than nothing.
inline bool score_better(float a, float b, bool higher_is_better) {
  if (higher_is_better ? a > b : a < b) return true;
  return b != b && a == a;
}

namespace detail {
void insert_top_k(TopK& top, float score, uint64_t position);
}  // namespace detail

// Inserts one scored item. When the list is full, a score that is not strictly better than
// the last entry is dropped at the cost of one comparison; otherwise the item moves ahead of
// every strictly worse entry and the list is cut back to `limit`. After any sequence of
// pushes, `entries` holds the first `limit` items of a stable best-first sort of everything
// pushed. Allocates only beyond the room the list was made with.
inline void push_top_k(TopK& top, float score, uint64_t position) {
  if (top.entries.size() >= top.limit) {
    if (top.entries.empty()) return;  // a limit of 0 keeps nothing
    if (!score_better(score, top.entries.back().score, top.higher_is_better)) return;
  }
  detail::insert_top_k(top, score, position);
}

// A committed record that passed the state, expiry and filter tests, as the scan keeps it
// until it is scored: its vector in place in the mapped vector file (its slot resolved and
// found inside the mapping) and the views of its id and metadata text, which point into the
// store's pages and are valid for the scan's read transaction.
struct ScanCandidate {
  const float* vector;
  std::string_view id;
  std::string_view metadata;
};

// The best k committed records for `query` (prepared for `metric`), best first. With a filter
// of at least one field the top list holds 10 * k entries (saturating) and the first k become
// hits. A record is a candidate when it is Active, not expired (its expiry strictly after the
// current second) and, when a filter is present (even an empty one), matches it. A
// candidate's slot must be allocated, lie inside the mapping and not carry a NaN first float,
// or it is skipped without a report. Only hits have their id copied and metadata parsed.
//
// The caller holds the collection's `vectors` lock for reading for the whole call. k = 0
// returns at once, without beginning a transaction. Errors: Transaction when the read
// transaction cannot begin, Database when the table cannot be walked, Serialization for the
// first stored value (in key order) that does not decode, DimensionMismatch for a query whose
// length differs from the vector file's dimensions. A missing table gives no hits.
Result<std::vector<SearchHit>> scan_committed(KvStore& store, const VectorStorage& vectors,
                                              Metric metric, std::span<const float> query,
                                              uint64_t k,
                                              const std::optional<MetadataFilter>& filter);

// Test hooks for the walk of scan_committed. While set, every scan takes its choice of walk
// from here and reports the walk it made; nullptr restores the defaults.
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

// The best k buffered records for `query`, best first, from copies in buffer order (the top
// list holds k, never 10 * k). The tests are those of scan_committed, except that each
// copy's own vector is scored and the vector file is not read; a copy whose vector is
// shorter than the query is skipped. Never fails.
std::vector<SearchHit> scan_write_buffer(std::span<const PendingRecord> copies, Metric metric,
                                         std::span<const float> query, uint64_t k,
                                         const std::optional<MetadataFilter>& filter);

// Stable sorts by score, best first for Cosine/Dot (descending) and for L2 (ascending). An
// element moves ahead of another only when its score is strictly better; NaN scores go last.
void sort_hits_descending(std::vector<SearchHit>& hits);
void sort_hits_ascending(std::vector<SearchHit>& hits);

}  // namespace tornquil
