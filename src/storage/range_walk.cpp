// Planning a range walk: the extra transactions, the snapshot check and the key split.
#include "storage/range_walk.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <span>

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
constexpr uint64_t kEntriesPerRange = 256;

// Learnt bounds are learnt again once the entry count moves by more than this fraction of
// what it was, or once a walk finds a range holding this many times its share.
constexpr uint64_t kRenewFraction = 8;
constexpr uint64_t kUnbalancedShare = 2;
// Keys a learning walk keeps per separator it learns.
constexpr uint64_t kKeptPerSeparator = 4;

// Keys the split learns the keys' alphabet from: the first, the last, and those found at
// this many evenly interpolated probes.
constexpr uint32_t kSampleProbes = 32;

// Read transactions all range walks of the process may hold beyond their callers' own. A
// store has a fixed number of reader places, and readers that are not scans (get, len,
// flush's own reads) must always find one; a walk that gets no grant walks alone.
constexpr int kMaxExtraReaders = 256;
std::atomic<int> g_extra_readers_in_use{0};

// Ranges of the bounds a walk learns: as many as a walk by every worker wants, and never
// fewer than one transaction may take, so that the learnt bounds serve any walk of the table.
uint64_t learn_ranges(uint64_t entries) {
  const uint64_t most = kRangesPerTxn * std::max(1u, worker_count());
  return std::min(entries, std::clamp(entries / kEntriesPerRange, kRangesPerTxn, most));
}

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

namespace {

// Ranges of a walk of `entries` entries by `txns` transactions.
uint64_t ranges_for(uint64_t entries, uint64_t txns) {
  return std::clamp<uint64_t>(entries / kEntriesPerRange, kMinRangesPerTxn * txns,
                              kRangesPerTxn * txns);
}

// True when bounds learnt at `then` entries may have lost their balance at `now`.
bool drifted(uint64_t then, uint64_t now) {
  const uint64_t moved = then > now ? then - now : now - then;
  return moved > then / kRenewFraction;
}

// Evenly chosen separators for `ranges` ranges; all of them when they give fewer.
std::vector<std::string_view> thin_separators(const std::vector<std::string>& keys,
                                              uint64_t ranges) {
  if (ranges < 2) return {};
  const uint64_t have = keys.size() + 1;  // ranges the separators give
  if (have <= ranges) return std::vector<std::string_view>(keys.begin(), keys.end());
  std::vector<std::string_view> out;
  out.reserve(static_cast<size_t>(ranges) - 1);
  for (uint64_t i = 1; i < ranges; ++i) out.push_back(keys[i * have / ranges - 1]);
  return out;
}

// The guess for a table never walked: the first and last keys and a sample between them,
// all from the caller's snapshot, give an alphabet to interpolate in.
Result<std::vector<std::string>> guess_bounds(Cursor& own, uint64_t ranges) {
  std::string_view first, last, value;
  TQ_ASSIGN(const bool has_first, own.seek("", first, value));
  TQ_ASSIGN(const bool has_last, own.last(last, value));
  if (!has_first || !has_last) return std::vector<std::string>{};
  std::vector<std::string_view> sample = {first, last};
  for (const std::string& probe : split_key_range(first, last, kSampleProbes)) {
    std::string_view key;
    TQ_ASSIGN(const bool found, own.seek(probe, key, value));
    if (found) sample.push_back(key);
  }
  return split_key_range_sampled(sample, static_cast<uint32_t>(ranges));
}

// The extra transactions, the bounds and the cursors; leaves `walk` without cursors when
// the caller is to walk alone.
Result<void> plan_parallel(KvStore& store, ReadTxn& txn, std::string_view table,
                           const ScanWalkTestHooks* hooks, uint32_t wanted,
                           std::shared_ptr<const KeySeparators> learnt, SnapshotRangeWalk& walk) {
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
    walk.learnt.reset();
    walk.guessed.clear();
  };
  if (!same || walk.extra.empty()) {
    walk_alone();
    return {};
  }

  const uint64_t txns = walk.extra.size() + 1;
  const uint64_t ranges =
      hooks ? uint64_t{hooks->ranges_per_transaction} * txns : ranges_for(walk.entries, txns);
  TQ_ASSIGN(Cursor own, txn.cursor(table));
  if (learnt != nullptr && !learnt->keys.empty()) {
    walk.bounds = thin_separators(learnt->keys, ranges);
    walk.learnt = std::move(learnt);
  } else {
    TQ_ASSIGN(walk.guessed, guess_bounds(own, ranges));
    walk.bounds.assign(walk.guessed.begin(), walk.guessed.end());
  }
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

// Separators of `ranges` ranges at evenly spaced positions of the tallied keys: for each
// even position, the first kept key at or after it (so no further from it than the keep
// interval). Fewer when the kept keys give fewer distinct bounds.
std::vector<std::string> separators_from_tallies(std::span<const RangeTally> tallies,
                                                 uint64_t ranges) {
  uint64_t total = 0;
  for (const RangeTally& t : tallies) total += t.count;
  using u128 = unsigned __int128;
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(ranges) - 1);
  uint64_t next = 1;  // the even position wanted next: next * total / ranges
  uint64_t base = 0;  // entries of the ranges before this one
  for (const RangeTally& t : tallies) {
    for (const auto& [pos, key] : t.kept) {
      if (next >= ranges) return out;
      const u128 at = u128{base + pos} * ranges;
      if (at < u128{next} * total) continue;
      while (next < ranges && at >= u128{next} * total) ++next;
      // The bound form: a bound never ends in 0x00 (stored_key_before), and trimming keeps
      // the order of the keys, though two may meet.
      std::string_view b = key;
      while (!b.empty() && b.back() == '\0') b.remove_suffix(1);
      if (!b.empty() && (out.empty() || out.back() < b)) out.emplace_back(b);
    }
    base += t.count;
  }
  return out;
}

}  // namespace

void RangeTally::keep(std::string_view key) {
  kept.emplace_back(count, std::string(key));
  until_next = every - 1;
}

Result<void> plan_range_walk(KvStore& store, ReadTxn& txn, std::string_view table,
                             SnapshotRangeWalk& walk, ScanBounds* bounds) {
  const ScanWalkTestHooks* hooks = g_test_hooks;
  const uint32_t wanted = hooks ? hooks->transactions : worker_count();
  if (wanted < 2) return {};
  TQ_ASSIGN(const uint64_t entries, txn.entry_count(table));
  if (entries < (hooks ? hooks->min_entries : kParallelWalkMinEntries) || entries < 2) return {};
  walk.entries = entries;
  walk.learn_from = bounds;
  std::shared_ptr<const KeySeparators> learnt;
  if (bounds != nullptr) {
    learnt = bounds->load();
    walk.learning = !learnt || drifted(learnt->entries, entries) || bounds->renewal_requested();
  }
  TQ_TRY(plan_parallel(store, txn, table, hooks, wanted, std::move(learnt), walk));

  walk.tallies.resize(walk.range_count());
  if (walk.learning) {
    // A few kept keys per separator, so each lands close to its even position.
    const uint64_t every =
        std::max<uint64_t>(1, entries / (kKeptPerSeparator * learn_ranges(entries)));
    for (RangeTally& t : walk.tallies) t.every = every;
  }
  return {};
}

void finish_range_walk(SnapshotRangeWalk& walk) {
  if (walk.learn_from == nullptr || walk.tallies.empty()) return;
  if (walk.learning) {
    auto learnt = std::make_shared<KeySeparators>();
    learnt->entries = walk.entries;
    learnt->keys = separators_from_tallies(walk.tallies, learn_ranges(walk.entries));
    walk.learn_from->store(std::move(learnt));
    return;
  }
  // Learnt bounds whose balance has drifted (keys added or removed in one part of the
  // table, the count staying) are learnt again by the next walk.
  if (!walk.parallel() || !walk.learnt) return;
  uint64_t largest = 0;
  for (const RangeTally& t : walk.tallies) largest = std::max(largest, t.count);
  const uint64_t share = std::max(walk.entries / walk.range_count(), kEntriesPerRange);
  if (largest > kUnbalancedShare * share) walk.learn_from->request_renewal();
}

}  // namespace tornquil
