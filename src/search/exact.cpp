// The exact scan.
//
// The committed scan cuts the stored values into chunks of views into the store's pages.
// A chunk is decoded, tested for state, expiry and filter, and its survivors are scored
// straight from the mapped vector file into a small top list of its own. Chunk lists are
// merged in key order. Because a chunk's list keeps the first `limit` items of its own
// stable best-first order, and the merge takes chunk after chunk, equal scores still come
// out in key order: the hits are exactly those of pushing every candidate in key order into
// one list, whatever the number of threads.
//
// Two walks feed the chunks. The single walk runs one cursor on the calling thread and
// hands chunks to the pool's workers while it goes on (below 500 stored values it scores
// them itself). It is bound by that one cursor, so a large table is walked in parallel
// instead, by the snapshot range walk of the store (storage/range_walk.hpp): each of its
// transactions walks and scores ranges of its own. Ranges are contiguous and cover every key
// exactly once, and their lists are merged in range order, so both walks give the same hits however
// the keys fall into ranges; skewed keys only cost balance.
#include "search/exact.hpp"

#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "base/worker_pool.hpp"
#include "search/distance.hpp"

namespace tornquil {

namespace {

// Stored values per chunk: enough work per hand-over to hide its cost, few enough that the
// first chunks reach the workers quickly.
constexpr uint32_t kChunkEntries = 256;
// A merger sorts after about four chunks' worth of entries.
static_assert(kMergeBatch == 4 * kChunkEntries);

// The top list of a filtered scan holds ten times k, without wrapping.
uint64_t scan_limit(uint64_t k, bool has_fields) {
  if (!has_fields) return k;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  return k > kMax / 10 ? kMax : k * 10;
}

bool is_nan(float x) { return x != x; }

// Read by every scoring thread; fixed for the scan.
struct ScoreContext {
  const VectorStorage* vectors;
  const float* query;
  size_t dims;
  const MetadataFilter* filter;  // null when absent
  DistanceFn one;
  DistanceX4Fn four;
};

// Where a chunk of the pooled road stands: the walker fills a free chunk and hands it out;
// one thread claims and scores it; the walker merges it and frees it again.
enum ChunkState : int { kChunkFree, kChunkFilled, kChunkClaimed, kChunkScored };

// A run of consecutive stored values. The walker fills `values`; scoring fills the rest.
struct Chunk {
  uint32_t count = 0;
  std::string_view values[kChunkEntries];
  uint32_t candidate_count = 0;
  ScanCandidate candidates[kChunkEntries];  // in key order
  TopK top;                                 // positions index `candidates`
  std::optional<CoreError> error;           // the chunk's first value that does not decode
  std::atomic<int> state{0};                // a ChunkState, for the pooled road
  uintptr_t last_page = 0;                  // the store page the walk last entered
};

std::unique_ptr<Chunk> make_chunk(uint64_t limit, bool hib) {
  auto c = std::make_unique<Chunk>();
  c->top = make_top_k(limit, hib, kChunkEntries);
  return c;
}

// The store's page size (the operating system's); only a prefetch depends on it.
constexpr uintptr_t kStorePageBytes = 4096;

// Asks for the whole store page a value lies in when the walk enters a new one. Records
// inserted in random key order stand in a page in insertion order, so a walk in key order
// jumps around the page and would otherwise wait for each cache line in turn.
inline void prefetch_page(std::string_view value, uintptr_t& last_page) {
  const uintptr_t page = reinterpret_cast<uintptr_t>(value.data()) & ~(kStorePageBytes - 1);
  if (page == last_page) return;
  last_page = page;
  for (uintptr_t at = 0; at < kStorePageBytes; at += 64) {
    __builtin_prefetch(reinterpret_cast<const char*>(page + at), 0, 3);
  }
}

// Appends values from the cursor until the chunk holds `upto`, telling `tally` (when there
// is one) of each key. Returns false once the walk is over: the table's end, or a storage
// failure, which is kept in `walk_error`.
bool fill_chunk(Chunk& c, Cursor& cursor, RangeTally* tally, uint32_t upto,
                std::optional<CoreError>& walk_error) {
  std::string_view key, value;
  while (c.count < upto) {
    Result<bool> more = cursor.next(key, value);
    if (!more) {
      walk_error = std::move(more).error();
      return false;
    }
    if (!*more) return false;
    if (tally != nullptr) tally->see(key);
    prefetch_page(value, c.last_page);
    c.values[c.count++] = value;
  }
  return true;
}

// Slots of neighbouring keys lie anywhere in the file, so no hardware prefetcher sees the
// next vector coming: it is asked for explicitly, a few candidates ahead.
constexpr uint32_t kPrefetchAhead = 8;

// Asks for a whole vector ahead of its use, without keeping it in the shared cache: each
// vector is read once per scan, while the store's pages are worth keeping there.
void prefetch_vector(const float* v, size_t dims) {
  const char* p = reinterpret_cast<const char*>(v);
  const char* end = p + dims * sizeof(float);
  for (; p < end; p += 64) __builtin_prefetch(p, 0, 3);
  __builtin_prefetch(end - 1, 0, 3);
}

// Scores candidates 0..n-1 (`vector_of(j)` gives each one's vector, in place) into
// `scores`, with each score's candidate index in `positions`; returns how many. Four
// independent accumulations at a time (one alone is bound by its own latency), in candidate
// order. Vectors in no particular order (`ahead`) are asked for a few candidates ahead;
// vectors read straight through are left to the hardware, which sees them coming. A vector
// whose first float is NaN, the mark of a deleted slot, is skipped.
template <bool ahead, class VectorOf>
uint32_t score_vectors(const ScoreContext& ctx, uint32_t n, const VectorOf& vector_of,
                       float* scores, uint32_t* positions) {
  uint32_t scored = 0;
  const float* vecs[4];
  for (uint32_t j = 0; j < n; ++j) {
    if (ahead && j + kPrefetchAhead < n) {
      prefetch_vector(vector_of(j + kPrefetchAhead), ctx.dims);
    }
    const float* v = vector_of(j);
    if (is_nan(v[0])) continue;
    vecs[scored % 4] = v;
    positions[scored++] = j;
    if (scored % 4 == 0) ctx.four(ctx.query, vecs, ctx.dims, &scores[scored - 4]);
  }
  for (uint32_t b = scored - scored % 4; b < scored; ++b) {
    scores[b] = ctx.one(ctx.query, vecs[b % 4], ctx.dims);
  }
  return scored;
}

// Decodes, tests and scores one chunk into its own top list. Stops at the first value that
// does not decode: that error ends the scan, so nothing after it matters.
void score_chunk(const ScoreContext& ctx, Chunk& c) {
  c.top.entries.clear();
  c.error.reset();
  // The cheap tests first, over the whole chunk; vectors are only located here.
  uint32_t n = 0;
  for (uint32_t i = 0; i < c.count; ++i) {
    Result<RecordView> decoded = decode_record_view(c.values[i]);
    if (!decoded) {
      c.error = std::move(decoded).error();
      c.candidate_count = 0;
      return;
    }
    const RecordView& r = *decoded;
    if (r.state != RecordState::Active) continue;
    if (r.expires_at && !(now_unix_secs() < *r.expires_at)) continue;
    if (ctx.filter != nullptr && !matches_filter_text(*ctx.filter, r.metadata)) continue;
    // Unallocated or outside the mapping: never read.
    const std::span<const float> v = ctx.vectors->slot_view(r.slot);
    if (v.empty()) continue;
    if (n < kPrefetchAhead) prefetch_vector(v.data(), ctx.dims);
    c.candidates[n++] = ScanCandidate{v.data(), r.id, r.metadata, r.slot};
  }
  c.candidate_count = n;

  float scores[kChunkEntries];
  uint32_t positions[kChunkEntries];
  const uint32_t scored = score_vectors<true>(
      ctx, n, [&c](uint32_t j) { return c.candidates[j].vector; }, scores, positions);
  build_top(c.top, scores, positions, scored);
}

// What a committed hit is built from: views into the store's pages.
struct HitSource {
  std::string_view id;
  std::string_view metadata;
  uint64_t slot;
};

using HitMerger = Merger<HitSource>;

// Takes a scored chunk into `merger`.
void merge_chunk(HitMerger& merger, const Chunk& c) {
  merger.add(c.top, [&c](uint64_t position) {
    const ScanCandidate& s = c.candidates[position];
    return HitSource{s.id, s.metadata, s.slot};
  });
}

// The single walk: one cursor from the table's first entry, chunks scored on the pool once
// there are enough values, merged in key order; `tally` (or null) sees every key. Returns
// the error the scan ends with: a value that does not decode comes before a storage failure
// met later in the walk.
std::optional<CoreError> single_walk(const ScoreContext& ctx, Cursor& cursor, RangeTally* tally,
                                     uint64_t limit, bool hib, HitMerger& merger) {
  std::optional<CoreError> decode_error;  // of the first chunk, in key order, that had one
  std::optional<CoreError> walk_error;
  // Takes a scored chunk, the next in key order; after a decoding error, none.
  auto take = [&](const Chunk& c) {
    if (decode_error) return;
    if (c.error) {
      decode_error = *c.error;
      return;
    }
    merge_chunk(merger, c);
  };

  // Read as far as the threshold to choose the road.
  std::unique_ptr<Chunk> first = make_chunk(limit, hib);
  std::unique_ptr<Chunk> second = make_chunk(limit, hib);
  constexpr uint32_t kSecondPart = static_cast<uint32_t>(kParallelScanThreshold) - kChunkEntries;
  static_assert(kParallelScanThreshold > kChunkEntries &&
                kParallelScanThreshold <= 2 * kChunkEntries);
  bool more = fill_chunk(*first, cursor, tally, kChunkEntries, walk_error) &&
              fill_chunk(*second, cursor, tally, kSecondPart, walk_error);

  if (!more || worker_count() == 1) {
    for (Chunk* c : {first.get(), second.get()}) {
      score_chunk(ctx, *c);
      take(*c);
    }
    while (more && !decode_error) {
      first->count = 0;
      more = fill_chunk(*first, cursor, tally, kChunkEntries, walk_error);
      score_chunk(ctx, *first);
      take(*first);
    }
  } else {
    // The calling thread walks and merges; the pool's workers score. Chunks go round a ring
    // big enough to keep every worker busy while the walk runs ahead; a chunk is merged (in
    // key order) and reused once it is scored. When the ring is full the walker scores a
    // waiting chunk itself rather than idle.
    const size_t ring = size_t{4} * worker_count();
    std::vector<std::unique_ptr<Chunk>> chunks;
    chunks.reserve(ring);
    chunks.push_back(std::move(first));
    chunks.push_back(std::move(second));
    while (chunks.size() < ring) chunks.push_back(make_chunk(limit, hib));
    uint64_t filled = 0;  // chunks handed out, in key order
    uint64_t merged = 0;  // of those, merged
    std::atomic<bool> stop{false};
    // An allocation that failed while a chunk was scored: the chunk still counts as scored,
    // so that the walker never waits for it, and the failure reaches the caller once every
    // task is done.
    std::mutex failure_mu;
    std::exception_ptr failure;  // guarded by failure_mu

    // Scores a chunk unless another thread claimed it first.
    auto claim_and_score = [&](Chunk& c) {
      int expected = kChunkFilled;
      if (!c.state.compare_exchange_strong(expected, kChunkClaimed, std::memory_order_acquire)) {
        return false;
      }
      try {
        score_chunk(ctx, c);
      } catch (...) {
        std::lock_guard lk(failure_mu);
        if (!failure) failure = std::current_exception();
        stop.store(true, std::memory_order_relaxed);
      }
      if (c.error) stop.store(true, std::memory_order_relaxed);
      c.state.store(kChunkScored, std::memory_order_release);
      return true;
    };
    auto merge_scored = [&] {
      while (merged < filled) {
        Chunk& c = *chunks[merged % ring];
        if (c.state.load(std::memory_order_acquire) != kChunkScored) break;
        take(c);
        c.state.store(kChunkFree, std::memory_order_relaxed);
        ++merged;
      }
    };

    run_isolated([&] {
      tbb::task_group tasks;
      auto hand_out = [&](Chunk& c) {
        c.state.store(kChunkFilled, std::memory_order_release);
        ++filled;
        tasks.run([&claim_and_score, &c] { claim_and_score(c); });
      };
      hand_out(*chunks[0]);
      more = fill_chunk(*chunks[1], cursor, tally, kChunkEntries, walk_error);
      hand_out(*chunks[1]);
      while (more && !stop.load(std::memory_order_relaxed)) {
        merge_scored();
        if (filled - merged == ring) {
          bool helped = false;
          for (uint64_t s = merged; s < filled && !helped; ++s) {
            helped = claim_and_score(*chunks[s % ring]);
          }
          if (!helped) std::this_thread::yield();
          continue;
        }
        Chunk& c = *chunks[filled % ring];
        c.count = 0;
        more = fill_chunk(c, cursor, tally, kChunkEntries, walk_error);
        if (c.count == 0) break;
        hand_out(c);
      }
      // The walk is over: score what no worker has taken yet, then wait for the rest.
      for (uint64_t s = merged; s < filled; ++s) claim_and_score(*chunks[s % ring]);
      tasks.wait();
      if (failure) std::rethrow_exception(failure);
      merge_scored();
    });
  }
  if (decode_error) return decode_error;
  return walk_error;
}

// ---- The parallel walk

// The hits of one range: its own list, best first, or the error that ended it.
struct RangeResult {
  std::vector<HitMerger::Item> best;
  std::optional<CoreError> error;
};

// Walks range r of `walk` with `cursor` into `out`, chunk by chunk, exactly as the single
// walk scores its chunks, and tallies it. Stops early once a range before it has failed,
// since nothing after a failure is reported.
void walk_range(const ScoreContext& ctx, Cursor& cursor, SnapshotRangeWalk& walk, size_t r,
                Chunk& c, uint64_t limit, bool hib, const std::atomic<size_t>& first_failed,
                RangeResult& out) {
  const std::string_view* end = walk.range_end(r);
  RangeTally& tally = walk.tallies[r];
  std::string_view key, value;
  Result<bool> at = cursor.seek(walk.range_begin(r), key, value);
  if (!at) {
    out.error = std::move(at).error();
    return;
  }
  bool more = *at;
  HitMerger merger(limit, hib);
  std::optional<CoreError> walk_error;
  while (more) {
    c.count = 0;
    while (more && c.count < kChunkEntries) {
      if (!in_range(key, end)) {
        more = false;
        break;
      }
      tally.see(key);
      prefetch_page(value, c.last_page);
      c.values[c.count++] = value;
      Result<bool> step = cursor.next(key, value);
      if (!step) walk_error = std::move(step).error();
      more = step && *step;
    }
    if (c.count > 0) {
      score_chunk(ctx, c);
      // A value that does not decode comes before a storage failure after it.
      if (c.error) {
        out.error = std::move(c.error);
        return;
      }
      merge_chunk(merger, c);
    }
    if (first_failed.load(std::memory_order_relaxed) < r) return;
  }
  if (walk_error) {
    out.error = std::move(walk_error);
    return;
  }
  out.best = merger.take();
}

// Runs the ranges of `walk` on the pool, one task per transaction, each taking the next
// range not yet taken; a transaction and its cursor are only ever used by their own task,
// on one thread at a time. The ranges' lists are merged in range order, which is key
// order. Returns the error of the first range that failed.
std::optional<CoreError> run_parallel_walk(const ScoreContext& ctx, SnapshotRangeWalk& walk,
                                           uint64_t limit, bool hib, HitMerger& merger) {
  const size_t n_ranges = walk.range_count();
  const size_t n_tasks = walk.cursors.size();
  std::vector<RangeResult> results(n_ranges);
  std::vector<std::unique_ptr<Chunk>> chunks;
  chunks.reserve(n_tasks);
  for (size_t t = 0; t < n_tasks; ++t) chunks.push_back(make_chunk(limit, hib));
  std::atomic<size_t> first_failed{n_ranges};
  run_range_tasks(
      walk,
      [&](size_t t, size_t r) {
        walk_range(ctx, walk.cursors[t], walk, r, *chunks[t], limit, hib, first_failed, results[r]);
        if (results[r].error) {
          size_t seen = first_failed.load(std::memory_order_relaxed);
          while (r < seen && !first_failed.compare_exchange_weak(seen, r)) {
          }
        }
      },
      // Nothing after a failure is reported.
      [&](size_t r) { return r <= first_failed.load(std::memory_order_relaxed); });

  if (ScanWalkTestHooks* hooks = scan_walk_test_hooks()) {
    hooks->walked_transactions = static_cast<uint32_t>(n_tasks);
    hooks->walked_ranges = static_cast<uint32_t>(n_ranges);
  }
  for (RangeResult& r : results) {
    if (r.error) return std::move(r.error);
    merger.add_items(r.best);
  }
  return std::nullopt;
}

// ---- The column road
//
// The columns stand in slot order, so each worker reads its share of the vector file
// straight through. Arrival order then says nothing of key order, so the column road's top
// lists break ties by key rank instead: better score first (NaN last), then the lower rank.
// That is a total order, and it is the order of the walk's hits, whose equal scores come in
// key order; any split of the work gives the same list. A filter is tested on the metadata
// text the columns keep, as the walk tests the stored text; its widened top list only ever
// changes which items are kept past the first k, so the first k by that order are the hits.

// A scored record of the columns: its score, its key rank and its slot.
struct RankedItem {
  float score;
  uint64_t rank;
  uint64_t slot;
};

bool ranked_before(const RankedItem& a, const RankedItem& b, bool hib) {
  if (score_better(a.score, b.score, hib)) return true;
  if (score_better(b.score, a.score, hib)) return false;
  return a.rank < b.rank;
}

// The best `limit` items pushed so far, in no order until finish(). Items are gathered and
// cut back to the limit once a limit's worth (or half a chunk's worth) has piled up, so a
// push is a comparison with the worst kept item and, now and then, a selection; a small
// batch lets the worst kept item turn most pushes away early.
class RankedTop {
  static constexpr uint64_t kCutBatch = 128;

 public:
  RankedTop(uint64_t limit, bool hib, uint64_t most_items)
      : limit_(limit),
        hib_(hib),
        cut_at_(limit > std::numeric_limits<uint64_t>::max() / 2
                    ? limit
                    : limit + std::max<uint64_t>(limit, kCutBatch)) {
    items_.reserve(static_cast<size_t>(std::min(most_items, cut_at_)));
  }

  void push(const RankedItem& item) {
    if (full_ && !ranked_before(item, worst_, hib_)) return;
    items_.push_back(item);
    if (items_.size() >= cut_at_) cut();
  }

  // The kept items, best first.
  std::vector<RankedItem>& finish() {
    cut();
    const bool hib = hib_;
    std::sort(items_.begin(), items_.end(),
              [hib](const RankedItem& a, const RankedItem& b) { return ranked_before(a, b, hib); });
    return items_;
  }

 private:
  void cut() {
    if (limit_ == 0) items_.clear();
    if (items_.size() < limit_ || items_.empty()) return;
    const bool hib = hib_;
    auto before = [hib](const RankedItem& a, const RankedItem& b) {
      return ranked_before(a, b, hib);
    };
    const auto last = items_.begin() + static_cast<ptrdiff_t>(limit_ - 1);
    std::nth_element(items_.begin(), last, items_.end(), before);
    items_.resize(static_cast<size_t>(limit_));
    worst_ = items_.back();
    full_ = true;
  }

  uint64_t limit_;
  bool hib_;
  uint64_t cut_at_;
  bool full_ = false;
  RankedItem worst_{};
  std::vector<RankedItem> items_;
};

// Tests and scores the slots [begin, end) of the columns into `top`, a chunk at a time,
// with the tests the walk makes of a decoded record that is Active: expiry, filter, the
// slot inside the mapping, the deleted mark. An empty slot has expiry 0 and never passes.
template <bool filtered>
void score_columns(const ScoreContext& ctx, const RecordColumns& cols, size_t begin, size_t end,
                   RankedTop& top) {
  const float* vectors[kChunkEntries];
  uint64_t index[kChunkEntries];
  float scores[kChunkEntries];
  uint32_t positions[kChunkEntries];
  for (size_t at = begin; at < end;) {
    const size_t stop = std::min(end, at + kChunkEntries);
    const uint64_t now = now_unix_secs();
    uint32_t n = 0;
    for (; at < stop; ++at) {
      if (!(now < cols.expires_at[at])) continue;
      if (filtered &&
          !(cols.plain_metadata(at) ? matches_plain_object_text(*ctx.filter, cols.metadata(at))
                                    : matches_filter_text(*ctx.filter, cols.metadata(at)))) {
        continue;
      }
      const std::span<const float> v = ctx.vectors->slot_view(at);
      if (v.empty()) continue;
      vectors[n] = v.data();
      index[n++] = at;
    }
    const uint32_t scored = score_vectors<false>(
        ctx, n, [&vectors](uint32_t j) { return vectors[j]; }, scores, positions);
    for (uint32_t j = 0; j < scored; ++j) {
      const uint64_t slot = index[positions[j]];
      top.push(RankedItem{scores[j], cols.ranks[slot], slot});
    }
  }
}

// Shares of the column road per worker. Workers that slept since the last query take tens
// of microseconds each to wake, which on a small collection is as long as a share takes;
// with four smaller shares each, handed out as threads come, those already running (the
// caller first) take over the shares of those still waking.
constexpr size_t kSharesPerWorker = 4;

// The best k of the columns, as hits: contiguous shares of the slots, each read straight
// through by whichever thread takes it, merged by rank.
std::vector<SearchHit> scan_columns(const ScoreContext& ctx, const RecordColumns& cols, uint64_t k,
                                    bool hib) {
  const size_t n = cols.size();
  const ScanWalkTestHooks* hooks = scan_walk_test_hooks();
  const size_t shares = hooks && hooks->column_shares != 0 ? hooks->column_shares
                        : n < kParallelScanThreshold
                            ? 1
                            : std::min<size_t>(kSharesPerWorker * worker_count(),
                                               (n + kChunkEntries - 1) / kChunkEntries);
  const bool filtered = ctx.filter != nullptr && !ctx.filter->empty();
  std::vector<std::vector<RankedItem>> best_of(shares);
  auto score_share = [&](size_t s) {
    RankedTop top(k, hib, n / shares + 1);
    const size_t begin = n * s / shares, end = n * (s + 1) / shares;
    if (filtered) {
      score_columns<true>(ctx, cols, begin, end, top);
    } else {
      score_columns<false>(ctx, cols, begin, end, top);
    }
    best_of[s] = std::move(top.finish());
  };
  parallel_for(shares, 1, [&](size_t begin, size_t end) {
    for (size_t s = begin; s < end; ++s) score_share(s);
  });
  RankedTop merged(k, hib, n);
  for (const auto& b : best_of) {
    for (const RankedItem& item : b) merged.push(item);
  }

  const std::vector<RankedItem>& best = merged.finish();
  std::vector<SearchHit> hits;
  hits.reserve(best.size());
  for (const RankedItem& item : best) {
    hits.push_back(SearchHit{std::string(cols.id(item.slot)),
                             parse_metadata_text(cols.metadata(item.slot)), item.score, item.slot});
  }
  return hits;
}

}  // namespace

Result<std::vector<SearchHit>> scan_committed(KvStore& store, const VectorStorage& vectors,
                                              Metric metric, std::span<const float> query,
                                              uint64_t k,
                                              const std::optional<MetadataFilter>& filter,
                                              ScanBounds* bounds, ScanColumnsCache* columns) {
  if (k == 0) return std::vector<SearchHit>{};
  TQ_TRY(check_dimensions(vectors.dimensions(), query.size()));
  TQ_ASSIGN(ReadTxn txn, begin_read_txn(store));
  return scan_committed(store, txn, vectors, metric, query, k, filter, bounds, columns);
}

Result<std::vector<SearchHit>> scan_committed(KvStore& store, ReadTxn& txn,
                                              const VectorStorage& vectors, Metric metric,
                                              std::span<const float> query, uint64_t k,
                                              const std::optional<MetadataFilter>& filter,
                                              ScanBounds* bounds, ScanColumnsCache* columns) {
  if (k == 0) return std::vector<SearchHit>{};
  // A query of another length would read past its slot.
  TQ_TRY(check_dimensions(vectors.dimensions(), query.size()));
  const uint64_t limit = scan_limit(k, filter && !filter->empty());
  const bool hib = metric != Metric::L2;
  const ScoreContext ctx{&vectors,
                         query.data(),
                         query.size(),
                         filter ? &*filter : nullptr,
                         distance_kernel(metric),
                         distance_x4_kernel(metric)};

  ScanWalkTestHooks* const hooks = scan_walk_test_hooks();
  if (hooks && hooks->after_first_txn) hooks->after_first_txn(hooks->arg);
  if (columns != nullptr) {
    const ScanColumnsCache::Lease lease = columns->acquire(store, txn, bounds);
    if (lease) return scan_columns(ctx, *lease.columns(), k, hib);
  }
  HitMerger merger(limit, hib);
  SnapshotRangeWalk walk;  // holds its transactions until the hits are built
  TQ_TRY(plan_range_walk(store, txn, kRecordsTable, walk, bounds));
  std::optional<Cursor> cursor;
  std::optional<CoreError> error;
  if (walk.parallel()) {
    error = run_parallel_walk(ctx, walk, limit, hib, merger);
  } else {
    Result<Cursor> opened = txn.cursor(kRecordsTable);
    if (!opened) return std::unexpected(std::move(opened).error());
    cursor.emplace(std::move(*opened));
    error = single_walk(ctx, *cursor, walk.tallies.empty() ? nullptr : &walk.tallies[0], limit, hib,
                        merger);
    if (hooks) {
      hooks->walked_transactions = 1;
      hooks->walked_ranges = 1;
    }
  }
  if (error) return std::unexpected(std::move(*error));
  finish_range_walk(walk);

  // Hits are built while the transactions still hold the pages the views point into.
  const auto& best = merger.finish();
  const size_t n = static_cast<size_t>(std::min<uint64_t>(k, best.size()));
  std::vector<SearchHit> hits;
  hits.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const HitSource& h = best[i].payload;
    hits.push_back(
        SearchHit{std::string(h.id), parse_metadata_text(h.metadata), best[i].score, h.slot});
  }
  return hits;
}

std::vector<SearchHit> scan_write_buffer(std::span<const PendingRecord> copies, Metric metric,
                                         std::span<const float> query, uint64_t k,
                                         const std::optional<MetadataFilter>& filter) {
  if (k == 0) return {};
  const bool hib = metric != Metric::L2;
  const DistanceFn dist = distance_kernel(metric);
  const MetadataFilter* f = filter ? &*filter : nullptr;

  // The copies go in fixed ranges, each scored into a list of its own, merged in range order:
  // the same list as pushing every copy in buffer order, on any number of threads.
  const size_t n_ranges = (copies.size() + kChunkEntries - 1) / kChunkEntries;
  auto score_range = [&](size_t range, TopK& top) {
    const size_t begin = range * kChunkEntries;
    const size_t end = std::min(copies.size(), begin + kChunkEntries);
    float scores[kChunkEntries];
    uint32_t positions[kChunkEntries];
    uint32_t n = 0;
    for (size_t i = begin; i < end; ++i) {
      const PendingRecord& p = copies[i];
      const Record& r = p.record;
      if (r.state != RecordState::Active) continue;
      if (r.expires_at && !(now_unix_secs() < *r.expires_at)) continue;
      if (f != nullptr && !matches_filter_text(*f, r.metadata)) continue;
      if (p.vector.size() < query.size()) continue;
      scores[n] = dist(query.data(), p.vector.data(), query.size());
      positions[n++] = static_cast<uint32_t>(i - begin);
    }
    top.entries.clear();
    build_top(top, scores, positions, n);
  };

  Merger<size_t> merger(k, hib);
  auto take = [&](size_t range, const TopK& top) {
    merger.add(top, [base = range * kChunkEntries](uint64_t p) { return base + p; });
  };
  if (copies.size() < kParallelScanThreshold || worker_count() == 1) {
    TopK local = make_top_k(k, hib, kChunkEntries);
    for (size_t r = 0; r < n_ranges; ++r) {
      score_range(r, local);
      take(r, local);
    }
  } else {
    std::vector<TopK> locals;
    locals.reserve(n_ranges);
    for (size_t r = 0; r < n_ranges; ++r) locals.push_back(make_top_k(k, hib, kChunkEntries));
    parallel_for(n_ranges, 1, [&](size_t rb, size_t re) {
      for (size_t r = rb; r < re; ++r) score_range(r, locals[r]);
    });
    for (size_t r = 0; r < n_ranges; ++r) take(r, locals[r]);
  }

  const auto& best = merger.finish();
  const size_t n = static_cast<size_t>(std::min<uint64_t>(k, best.size()));
  std::vector<SearchHit> hits;
  hits.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const Record& r = copies[best[i].payload].record;
    hits.push_back(SearchHit{r.id, parse_metadata_text(r.metadata), best[i].score, r.slot});
  }
  return hits;
}

}  // namespace tornquil
