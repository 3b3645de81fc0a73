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
// of threads at once; none keeps state between calls other than the ScanBounds it is given.
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
#include "search/scan_columns.hpp"
#include "search/top_k.hpp"
#include "storage/kv_store.hpp"
#include "storage/pending_record.hpp"
#include "storage/range_walk.hpp"  // ScanBounds and the test hooks of the walk
#include "storage/records.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {

// Scans of at least this many items run on the worker pool: for the committed scan the
// stored values walked (each is decoded and tested there, not only scored), for the buffer
// scan the copies. Both roads give the same hits.
constexpr uint64_t kParallelScanThreshold = 500;

// A committed record that passed the state, expiry and filter tests, as the scan keeps it
// until it is scored: its vector in place in the mapped vector file (its slot resolved and
// found inside the mapping) and the views of its id and metadata text, which point into the
// store's pages and are valid for the scan's read transaction.
struct ScanCandidate {
  const float* vector;
  std::string_view id;
  std::string_view metadata;
  uint64_t slot;
};

// The best k committed records for `query` (prepared for `metric`), best first. With a filter
// of at least one field the top list holds 10 * k entries (saturating) and the first k become
// hits. A record is a candidate when it is Active, not expired (its expiry strictly after the
// current second) and, when a filter is present (even an empty one), matches it. A
// candidate's slot must be allocated, lie inside the mapping and not carry a NaN first float,
// or it is skipped without a report. Only hits have their id copied and metadata parsed.
//
// The records are those of `txn`, the caller's read transaction of `store`; a large table is
// walked by further transactions only when they show the same snapshot. The caller holds
// the collection's `vectors` lock for reading for the whole call. Errors: Database when the
// table cannot be walked, Serialization for the first stored value (in key order) that does
// not decode, DimensionMismatch for a query whose length differs from the vector file's
// dimensions. A missing table gives no hits.
//
// A large table is cut into ranges at the separators of `bounds` (the record table's, kept
// by its owner between scans; null to learn nothing), and a walk that finds them missing or
// stale learns new ones into it. They only share the work out: the hits are the same
// whatever they hold. A scan given `columns` (the record table's, kept by its owner; null to
// keep none) searches the columns when they show its snapshot, filtered or not, and builds
// them at the second scan that finds none; the hits are the same either way.
Result<std::vector<SearchHit>> scan_committed(KvStore& store, ReadTxn& txn,
                                              const VectorStorage& vectors, Metric metric,
                                              std::span<const float> query, uint64_t k,
                                              const std::optional<MetadataFilter>& filter,
                                              ScanBounds* bounds = nullptr,
                                              ScanColumnsCache* columns = nullptr);

// scan_committed in a read transaction of its own. k = 0 returns at once, without beginning
// a transaction; Transaction when it cannot begin.
Result<std::vector<SearchHit>> scan_committed(KvStore& store, const VectorStorage& vectors,
                                              Metric metric, std::span<const float> query,
                                              uint64_t k,
                                              const std::optional<MetadataFilter>& filter,
                                              ScanBounds* bounds = nullptr,
                                              ScanColumnsCache* columns = nullptr);

// The best k buffered records for `query`, best first, from copies in buffer order (the top
// list holds k, never 10 * k). The tests are those of scan_committed, except that each
// copy's own vector is scored and the vector file is not read; a copy whose vector is
// shorter than the query is skipped. Never fails.
std::vector<SearchHit> scan_write_buffer(std::span<const PendingRecord> copies, Metric metric,
                                         std::span<const float> query, uint64_t k,
                                         const std::optional<MetadataFilter>& filter);

}  // namespace tornquil
