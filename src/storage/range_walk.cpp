// Planning a range walk: the extra transactions, the snapshot check and the key split.
#include "storage/range_walk.hpp"

#include <algorithm>
#include <atomic>

#include "base/worker_pool.hpp"

namespace tornquil {

namespace {

// Below this many entries the single walk is as fast: beginning the extra transactions,
// sampling the keys and splitting them cost more than the walk they share out.
constexpr uint64_t kParallelWalkMinEntries = 8192;

// Ranges per transaction, from kMinRangesPerTxn to kRangesPerTxn: one per kEntriesPerRange
// entries. Each transaction takes the next range as it finishes one, so many small ranges
// keep the transactions equally busy to the end, while each range costs a seek and a merge.
constexpr uint64_t kRangesPerTxn = 64;
constexpr uint64_t kMinRangesPerTxn = 4;
constexpr uint64_t kEntriesPerRange = 64;

// Keys the split learns the keys' alphabet from: the first, the last, and those found at
// this many evenly interpolated probes.
constexpr uint32_t kSampleProbes = 32;

// Read transactions all range walks of the process may hold beyond their callers' own. A
// store has a fixed number of reader places, and readers that are not scans (get, len,
// flush's own reads) must always find one; a walk that gets no grant walks alone.
constexpr int kMaxExtraReaders = 256;
std::atomic<int> g_extra_readers_in_use{0};

ScanWalkTestHooks* g_test_hooks = nullptr;

}  // namespace

void TEST_set_scan_walk_hooks(ScanWalkTestHooks* hooks) { g_test_hooks = hooks; }

ScanWalkTestHooks* scan_walk_test_hooks() { return g_test_hooks; }

ReaderGrant::ReaderGrant(int want) {
  int used = g_extra_readers_in_use.load(std::memory_order_relaxed);
  do {
    n_ = std::max(0, std::min(want, kMaxExtraReaders - used));
  } while (n_ > 0 && !g_extra_readers_in_use.compare_exchange_weak(used, used + n_,
                                                                   std::memory_order_relaxed));
}

ReaderGrant::~ReaderGrant() { g_extra_readers_in_use.fetch_sub(n_, std::memory_order_relaxed); }

Result<void> plan_range_walk(KvStore& store, ReadTxn& txn, std::string_view table,
                             SnapshotRangeWalk& walk) {
  const ScanWalkTestHooks* hooks = g_test_hooks;
  const uint32_t wanted = hooks ? hooks->transactions : worker_count();
  if (wanted < 2) return {};
  TQ_ASSIGN(const uint64_t entries, txn.entry_count(table));
  if (entries < (hooks ? hooks->min_entries : kParallelWalkMinEntries) || entries < 2) return {};

  walk.grant.emplace(static_cast<int>(std::min<uint32_t>(wanted - 1, kMaxExtraReaders)));
  walk.extra.reserve(static_cast<size_t>(walk.grant->count()));
  for (int i = 0; i < walk.grant->count(); ++i) {
    Result<ReadTxn> t = store.begin_read();
    if (!t) break;  // no reader place left: walk with fewer
    walk.extra.push_back(std::move(*t));
  }
  bool same = true;
  for (const ReadTxn& t : walk.extra) same = same && t.snapshot_id() == txn.snapshot_id();
  auto walk_alone = [&walk] {
    walk.extra.clear();
    walk.grant.reset();
    walk.bounds.clear();
  };
  if (!same || walk.extra.empty()) {
    walk_alone();
    return {};
  }

  // The first and last keys and a sample between them, all from the caller's snapshot.
  TQ_ASSIGN(Cursor own, txn.cursor(table));
  std::string_view first, last, value;
  TQ_ASSIGN(const bool has_first, own.seek("", first, value));
  TQ_ASSIGN(const bool has_last, own.last(last, value));
  if (!has_first || !has_last) {
    walk_alone();
    return {};
  }
  std::vector<std::string_view> sample = {first, last};
  for (const std::string& probe : split_key_range(first, last, kSampleProbes)) {
    std::string_view key;
    TQ_ASSIGN(const bool found, own.seek(probe, key, value));
    if (found) sample.push_back(key);
  }
  const uint64_t txns = walk.extra.size() + 1;
  const uint64_t ranges = hooks
                              ? hooks->ranges_per_transaction * txns
                              : std::clamp<uint64_t>(entries / kEntriesPerRange,
                                                     kMinRangesPerTxn * txns, kRangesPerTxn * txns);
  walk.bounds = split_key_range_sampled(sample, static_cast<uint32_t>(ranges));
  if (walk.bounds.empty()) {
    walk_alone();
    return {};
  }
  walk.cursors.reserve(walk.extra.size() + 1);
  walk.cursors.push_back(std::move(own));
  for (ReadTxn& t : walk.extra) {
    TQ_ASSIGN(Cursor c, t.cursor(table));
    walk.cursors.push_back(std::move(c));
  }
  return {};
}

}  // namespace tornquil
