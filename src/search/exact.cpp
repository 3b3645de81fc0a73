// The exact scan and the top list.
//
// The committed scan walks one read transaction's cursor on the calling thread alone, and
// cuts the stored values into chunks of views into the store's pages. The pool's workers
// decode each chunk, test state, expiry and filter, and score the survivors straight from
// the mapped vector file into a small top list of their own, while the walk goes on. The
// walker merges the chunks' lists in chunk order. Because a chunk's list keeps the first
// `limit` items of its own stable best-first order, and the merge pushes chunk after chunk,
// equal scores still come out in key order: the hits are exactly those of pushing every
// candidate in key order into one list, whatever the number of threads. Below 500 stored
// values the same chunk code runs on the calling thread alone.
#include "search/exact.hpp"

#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <thread>
#include <utility>

#include "base/worker_pool.hpp"
#include "search/distance.hpp"

namespace tornquil {

namespace detail {

void insert_top_k(TopK& top, float score, uint64_t position) {
  std::vector<TopEntry>& e = top.entries;
  const bool hib = top.higher_is_better;
  // The new entry goes behind every entry at least as good as it, ahead of the rest.
  size_t at = e.size();
  if (e.size() < 20) {
    while (at > 0 && score_better(score, e[at - 1].score, hib)) --at;
  } else {
    auto ahead_of = [hib](float s, const TopEntry& x) { return score_better(s, x.score, hib); };
    at = static_cast<size_t>(std::upper_bound(e.begin(), e.end(), score, ahead_of) - e.begin());
  }
  e.insert(e.begin() + static_cast<std::ptrdiff_t>(at), TopEntry{score, position});
  if (e.size() > top.limit) e.pop_back();
}

}  // namespace detail

TopK make_top_k(uint64_t limit, bool higher_is_better, uint64_t most_items) {
  TopK top;
  top.limit = limit;
  top.higher_is_better = higher_is_better;
  top.entries.reserve(static_cast<size_t>(std::min(limit, most_items)) + 1);
  return top;
}

namespace {

// Stored values per chunk: enough work per hand-over to hide its cost, few enough that the
// first chunks reach the workers quickly.
constexpr uint32_t kChunkEntries = 256;

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
};

std::unique_ptr<Chunk> make_chunk(uint64_t limit, bool hib) {
  auto c = std::make_unique<Chunk>();
  c->top = make_top_k(limit, hib, kChunkEntries);
  return c;
}

// Appends values from the cursor until the chunk holds `upto`. Returns false once the walk
// is over: the table's end, or a storage failure, which is kept in `walk_error`.
bool fill_chunk(Chunk& c, Cursor& cursor, uint32_t upto, std::optional<CoreError>& walk_error) {
  std::string_view key, value;
  while (c.count < upto) {
    Result<bool> more = cursor.next(key, value);
    if (!more) {
      walk_error = std::move(more).error();
      return false;
    }
    if (!*more) return false;
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
  for (; p < end; p += 64) __builtin_prefetch(p, 0, 0);
  __builtin_prefetch(end - 1, 0, 0);
}

// Fills `top` (empty, limit >= 1) with n scored items given in push order. A list that can
// hold them all is sorted once instead: a stable sort gives the list pushing would.
void build_top(TopK& top, const float* scores, const uint32_t* positions, uint32_t n) {
  if (top.limit >= n) {
    for (uint32_t i = 0; i < n; ++i) top.entries.push_back(TopEntry{scores[i], positions[i]});
    const bool hib = top.higher_is_better;
    std::stable_sort(top.entries.begin(), top.entries.end(),
                     [hib](const TopEntry& a, const TopEntry& b) {
                       return score_better(a.score, b.score, hib);
                     });
    return;
  }
  for (uint32_t i = 0; i < n; ++i) push_top_k(top, scores[i], positions[i]);
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
    c.candidates[n++] = ScanCandidate{v.data(), r.id, r.metadata};
  }
  c.candidate_count = n;

  // Then the scores, four independent accumulations at a time (one alone is bound by its
  // own latency), in candidate order.
  float scores[kChunkEntries];
  uint32_t positions[kChunkEntries];
  uint32_t scored = 0;
  const float* vecs[4];
  for (uint32_t j = 0; j < n; ++j) {
    if (j + kPrefetchAhead < n) prefetch_vector(c.candidates[j + kPrefetchAhead].vector, ctx.dims);
    const float* v = c.candidates[j].vector;
    if (is_nan(v[0])) continue;  // the mark of a deleted slot
    vecs[scored % 4] = v;
    positions[scored++] = j;
    if (scored % 4 == 0) ctx.four(ctx.query, vecs, ctx.dims, &scores[scored - 4]);
  }
  for (uint32_t b = scored - scored % 4; b < scored; ++b) {
    scores[b] = ctx.one(ctx.query, vecs[b % 4], ctx.dims);
  }
  build_top(c.top, scores, positions, scored);
}

// The scan's own list, fed one best-first chunk list after another in candidate order, on
// one thread. Entries are gathered in feeding order and now and then stably sorted and cut
// to `limit`; once the list has been full, an entry no better than its last cannot get in
// and is not gathered. The result is the list pushing every entry would give, without
// pushing's cost per entry when the limit is large.
template <class Payload>
class Merger {
 public:
  struct Item {
    float score;
    Payload payload;
  };

  Merger(uint64_t limit, bool hib)
      : limit_(limit),
        hib_(hib),
        // Sort once a limit's worth has come in beyond the list (or a few chunks' worth).
        sort_at_(limit > std::numeric_limits<uint64_t>::max() / 2
                     ? std::numeric_limits<uint64_t>::max()
                     : limit + std::max<uint64_t>(limit, 4 * kChunkEntries)) {}

  // `payload_of(position)` gives the payload of an entry of `local`.
  template <class PayloadOf>
  void add(const TopK& local, const PayloadOf& payload_of) {
    for (const TopEntry& e : local.entries) {
      if (full_ && !score_better(e.score, worst_, hib_)) break;  // nor any after it
      items_.push_back(Item{e.score, payload_of(e.position)});
    }
    if (items_.size() >= sort_at_) settle();
  }

  // The list, best first, at most `limit` long.
  const std::vector<Item>& finish() {
    settle();
    return items_;
  }

 private:
  void settle() {
    const bool hib = hib_;
    std::stable_sort(items_.begin(), items_.end(), [hib](const Item& a, const Item& b) {
      return score_better(a.score, b.score, hib);
    });
    if (items_.size() >= limit_) {
      items_.resize(static_cast<size_t>(limit_));
      full_ = true;
      worst_ = items_.back().score;
    }
  }

  uint64_t limit_;
  bool hib_;
  uint64_t sort_at_;
  bool full_ = false;
  float worst_ = 0;
  std::vector<Item> items_;
};

// What a committed hit is built from: views into the store's pages.
struct HitSource {
  std::string_view id;
  std::string_view metadata;
};

}  // namespace

Result<std::vector<SearchHit>> scan_committed(KvStore& store, const VectorStorage& vectors,
                                              Metric metric, std::span<const float> query,
                                              uint64_t k,
                                              const std::optional<MetadataFilter>& filter) {
  if (k == 0) return std::vector<SearchHit>{};
  // A query of another length would read past its slot.
  if (query.size() != vectors.dimensions()) {
    return std::unexpected(CoreError::dimension_mismatch(vectors.dimensions(), query.size()));
  }
  const uint64_t limit = scan_limit(k, filter && !filter->empty());
  const bool hib = metric != Metric::L2;
  const ScoreContext ctx{&vectors,
                         query.data(),
                         query.size(),
                         filter ? &*filter : nullptr,
                         distance_kernel(metric),
                         distance_x4_kernel(metric)};

  TQ_ASSIGN(ReadTxn txn, begin_read_txn(store));
  TQ_ASSIGN(Cursor cursor, txn.cursor(kRecordsTable));

  Merger<HitSource> merger(limit, hib);
  std::optional<CoreError> decode_error;  // of the first chunk, in key order, that had one
  std::optional<CoreError> walk_error;
  // Takes a scored chunk, the next in key order; after a decoding error, none.
  auto take = [&](const Chunk& c) {
    if (decode_error) return;
    if (c.error) {
      decode_error = *c.error;
      return;
    }
    merger.add(c.top, [&c](uint64_t position) {
      const ScanCandidate& s = c.candidates[position];
      return HitSource{s.id, s.metadata};
    });
  };

  // Read as far as the threshold to choose the road.
  std::unique_ptr<Chunk> first = make_chunk(limit, hib);
  std::unique_ptr<Chunk> second = make_chunk(limit, hib);
  constexpr uint32_t kSecondPart = static_cast<uint32_t>(kParallelScanThreshold) - kChunkEntries;
  static_assert(kParallelScanThreshold > kChunkEntries &&
                kParallelScanThreshold <= 2 * kChunkEntries);
  bool more = fill_chunk(*first, cursor, kChunkEntries, walk_error) &&
              fill_chunk(*second, cursor, kSecondPart, walk_error);

  if (!more || worker_count() == 1) {
    for (Chunk* c : {first.get(), second.get()}) {
      score_chunk(ctx, *c);
      take(*c);
    }
    while (more && !decode_error) {
      first->count = 0;
      more = fill_chunk(*first, cursor, kChunkEntries, walk_error);
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

    // Scores a chunk unless another thread claimed it first.
    auto claim_and_score = [&](Chunk& c) {
      int expected = kChunkFilled;
      if (!c.state.compare_exchange_strong(expected, kChunkClaimed, std::memory_order_acquire)) {
        return false;
      }
      score_chunk(ctx, c);
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

    worker_pool().execute([&] {
      tbb::task_group tasks;
      auto hand_out = [&](Chunk& c) {
        c.state.store(kChunkFilled, std::memory_order_release);
        ++filled;
        tasks.run([&claim_and_score, &c] { claim_and_score(c); });
      };
      hand_out(*chunks[0]);
      more = fill_chunk(*chunks[1], cursor, kChunkEntries, walk_error);
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
        more = fill_chunk(c, cursor, kChunkEntries, walk_error);
        if (c.count == 0) break;
        hand_out(c);
      }
      // The walk is over: score what no worker has taken yet, then wait for the rest.
      for (uint64_t s = merged; s < filled; ++s) claim_and_score(*chunks[s % ring]);
      tasks.wait();
      merge_scored();
    });
  }

  // A value that does not decode comes before any storage failure met later in the walk.
  if (decode_error) return std::unexpected(std::move(*decode_error));
  if (walk_error) return std::unexpected(std::move(*walk_error));
  // Hits are built while the transaction still holds the pages the views point into.
  const auto& best = merger.finish();
  const size_t n = static_cast<size_t>(std::min<uint64_t>(k, best.size()));
  std::vector<SearchHit> hits;
  hits.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const HitSource& h = best[i].payload;
    hits.push_back(SearchHit{std::string(h.id), parse_metadata_text(h.metadata), best[i].score});
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
    hits.push_back(SearchHit{r.id, parse_metadata_text(r.metadata), best[i].score});
  }
  return hits;
}

void sort_hits_descending(std::vector<SearchHit>& hits) {
  std::stable_sort(hits.begin(), hits.end(), [](const SearchHit& a, const SearchHit& b) {
    return score_better(a.score, b.score, true);
  });
}

void sort_hits_ascending(std::vector<SearchHit>& hits) {
  std::stable_sort(hits.begin(), hits.end(), [](const SearchHit& a, const SearchHit& b) {
    return score_better(a.score, b.score, false);
  });
}

}  // namespace tornquil
