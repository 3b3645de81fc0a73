// The sorts of scored node lists and the greedy walk shared by the query and the insertion.
#include "search/hnsw/walk.hpp"

#include <algorithm>
#include <atomic>

namespace tornquil {
namespace {

// Lists up to this long are sorted by insertion.
constexpr size_t kInsertionSortMax = 20;

// Stable merge of two sorted runs into `out`: the right element goes first only when it is
// strictly before the left one.
template <class Before>
void merge_runs(const ScoredNode* a, const ScoredNode* a_end, const ScoredNode* b,
                const ScoredNode* b_end, ScoredNode* out, Before before) {
  while (a != a_end && b != b_end) *out++ = before(*b, *a) ? *b++ : *a++;
  out = std::copy(a, a_end, out);
  std::copy(b, b_end, out);
}

// Moves each element of [first + from, last) left past every element it is strictly
// before, so with [first, first + from) already in order the range ends sorted, stably.
template <class Before>
void insertion_sort(ScoredNode* first, ScoredNode* last, size_t from, Before before) {
  for (ScoredNode* i = first + std::max<size_t>(from, 1); i < last; ++i) {
    ScoredNode v = *i;
    ScoredNode* j = i;
    while (j != first && before(v, *(j - 1))) {
      *j = *(j - 1);
      --j;
    }
    *j = v;
  }
}

// Stable bottom-up merge sort of [first, last) through a buffer of the same length.
template <class Before>
void merge_sort(ScoredNode* first, ScoredNode* last, ScoredNode* buf, Before before) {
  const size_t n = static_cast<size_t>(last - first);
  // Runs of a few elements by insertion first: the same stable order, fewer passes.
  constexpr size_t kRun = 8;
  for (size_t i = 0; i < n; i += kRun)
    insertion_sort(first + i, first + std::min(n, i + kRun), 0, before);
  ScoredNode* src = first;
  ScoredNode* dst = buf;
  for (size_t width = kRun; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = std::min(n, lo + width), hi = std::min(n, lo + 2 * width);
      merge_runs(src + lo, src + mid, src + mid, src + hi, dst + lo, before);
    }
    std::swap(src, dst);
  }
  if (src != first) std::copy(src, src + n, first);
}

template <class Before>
void resort(std::vector<ScoredNode>& list, size_t sorted_end, std::vector<ScoredNode>& buffer,
            Before before) {
  const size_t n = list.size();
  sorted_end = std::min(sorted_end, n);
  if (sorted_end == n) return;
  ScoredNode* first = list.data();
  if (n <= kInsertionSortMax) {
    insertion_sort(first, first + n, sorted_end, before);
    return;
  }
  if (buffer.size() < n) buffer.resize(n);
  // Sort what was appended, then merge it behind the sorted prefix: the stable order of the
  // whole list, since every prefix element stands before every appended one.
  merge_sort(first + sorted_end, first + n, buffer.data(), before);
  if (sorted_end == 0) return;
  std::copy(first, first + n, buffer.data());
  merge_runs(buffer.data(), buffer.data() + sorted_end, buffer.data() + sorted_end,
             buffer.data() + n, first, before);
}

struct BestBefore {
  bool hib;
  bool operator()(const ScoredNode& a, const ScoredNode& b) const {
    return strictly_better(a.score, b.score, hib);
  }
};

struct WorstBefore {
  bool hib;
  bool operator()(const ScoredNode& a, const ScoredNode& b) const {
    return strictly_better(b.score, a.score, hib);
  }
};

// Idle scratch the pool keeps; a walk beyond that many at once frees its own at the end.
constexpr size_t kPoolPlaces = 64;

struct ScratchPool {
  std::atomic<WalkScratch*> places[kPoolPlaces] = {};
};

// Never destroyed: a walk on a thread that outlives the static destructors still finds it.
ScratchPool& scratch_pool() {
  static ScratchPool* const pool = new ScratchPool;
  return *pool;
}

}  // namespace

ScratchLease::ScratchLease() : s_(nullptr) {
  ScratchPool& pool = scratch_pool();
  for (std::atomic<WalkScratch*>& place : pool.places) {
    if (place.load(std::memory_order_relaxed) == nullptr) continue;
    s_ = place.exchange(nullptr, std::memory_order_acquire);
    if (s_ != nullptr) return;
  }
  s_ = new WalkScratch;
}

ScratchLease::~ScratchLease() {
  ScratchPool& pool = scratch_pool();
  for (std::atomic<WalkScratch*>& place : pool.places) {
    WalkScratch* empty = nullptr;
    if (place.load(std::memory_order_relaxed) == nullptr &&
        place.compare_exchange_strong(empty, s_, std::memory_order_release,
                                      std::memory_order_relaxed)) {
      return;
    }
  }
  delete s_;
}

void resort_scored_best_first(std::vector<ScoredNode>& list, size_t sorted_end, bool hib,
                              std::vector<ScoredNode>& buffer) {
  resort(list, sorted_end, buffer, BestBefore{hib});
}

void resort_scored_worst_first(std::vector<ScoredNode>& list, size_t sorted_end, bool hib,
                               std::vector<ScoredNode>& buffer) {
  resort(list, sorted_end, buffer, WorstBefore{hib});
}

void sort_scored_best_first(std::vector<ScoredNode>& list, bool hib,
                            std::vector<ScoredNode>& buffer) {
  resort_scored_best_first(list, 0, hib, buffer);
}

void sort_scored_worst_first(std::vector<ScoredNode>& list, bool hib,
                             std::vector<ScoredNode>& buffer) {
  resort_scored_worst_first(list, 0, hib, buffer);
}

void sort_scored_best_first(std::vector<ScoredNode>& list, bool hib) {
  std::vector<ScoredNode> buffer;
  sort_scored_best_first(list, hib, buffer);
}

void sort_scored_worst_first(std::vector<ScoredNode>& list, bool hib) {
  std::vector<ScoredNode> buffer;
  sort_scored_worst_first(list, hib, buffer);
}

NodeScorer::NodeScorer(const HnswGraph& graph, std::span<const float> query,
                       const VectorStorage& vectors, Metric metric)
    : graph_(graph),
      query_(query.data()),
      n_(query.size()),
      fn_(distance_kernel(metric)),
      fn_x4_(distance_x4_kernel(metric)),
      worst_(worst_score(metric)),
      hib_(higher_is_better(metric)) {
  if (n_ > vectors.dimensions()) fatal("HNSW walk: query longer than the stored vectors");
  // The mapping is one range from slot 0 on, so the readable slots are a prefix of the
  // allocated ones; its end is found with the storage's own test, by bisection when the
  // mapping is shorter than slot_count claims.
  uint64_t lo = 0, hi = vectors.slot_count();
  if (hi > 0 && !vectors.slot_view(hi - 1).empty()) lo = hi;
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    if (vectors.slot_view(mid).empty()) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  readable_ = lo;
  if (readable_ > 0) {
    base_ = vectors.slot_view(0).data();
    stride_ = vectors.slot_bytes() / sizeof(float);
  }
}

void NodeScorer::score_many(const uint32_t* nodes, size_t count, float* out) const {
  if (count > kBatch) fatal("HNSW walk: too many nodes scored at once");
  const float* where[kBatch];
  score_list(nodes, count, out, where);
}

void NodeScorer::score_list(const uint32_t* nodes, size_t count, float* out,
                            const float** where) const {
  const float** v = where;
  for (size_t i = 0; i < count; ++i) v[i] = vector_of(nodes[i]);
  // Every line of the vectors [from, to) into the level-2 cache (Locality 2) or the first
  // level (3). The level-2 loads run a window of kWindow vectors ahead of the kernel, so
  // that a long list keeps as many misses in flight at its end as at its start, and the
  // first-level loads run four vectors ahead.
  const auto load = [&]<int Locality>(size_t from, size_t to) {
    for (size_t i = from; i < std::min(count, to); ++i) {
      if (v[i] == nullptr) continue;
      const auto first = reinterpret_cast<uintptr_t>(v[i]) & ~uintptr_t{63};
      const auto end = reinterpret_cast<uintptr_t>(v[i] + n_);
      for (uintptr_t at = first; at < end; at += 64) {
        __builtin_prefetch(reinterpret_cast<const void*>(at), 0, Locality);
      }
    }
  };
  constexpr size_t kWindow = 16;
  load.template operator()<2>(4, kWindow);
  load.template operator()<3>(0, 4);
  for (size_t i = 0; i < count; i += 4) {
    load.template operator()<2>(i + kWindow, i + kWindow + 4);
    load.template operator()<3>(i + 4, i + 8);
    const size_t m = std::min<size_t>(4, count - i);
    // Places past the end, and unreadable slots, score the query against itself, which is
    // in the cache; their results are not used.
    const float* b[4];
    for (size_t j = 0; j < 4; ++j) b[j] = j < m && v[i + j] != nullptr ? v[i + j] : query_;
    float r[4];
    fn_x4_(query_, b, n_, r);
    for (size_t j = 0; j < m; ++j) out[i + j] = v[i + j] != nullptr ? r[j] : worst_;
  }
}

uint32_t greedy_walk(const NodeScorer& score, uint32_t start, size_t layer) {
  const HnswGraph& g = score.graph();
  const bool hib = score.hib();
  uint32_t current = start;
  float best = score(current);
  float scores[NodeScorer::kBatch];
  for (;;) {
    std::span<const uint32_t> list = g.neighbors(layer, current);
    uint32_t chosen = current;
    bool moved = false;
    // Scores depend on nothing the comparisons change, so a chunk is scored first and then
    // compared in list order.
    for (size_t at = 0; at < list.size(); at += NodeScorer::kBatch) {
      const size_t count = std::min(NodeScorer::kBatch, list.size() - at);
      score.score_many(list.data() + at, count, scores);
      for (size_t i = 0; i < count; ++i) {
        if (strictly_better(scores[i], best, hib)) {
          best = scores[i];
          chosen = list[at + i];
          moved = true;
        }
      }
    }
    // Every move is to a strictly better score, so the walk ends.
    if (!moved) return current;
    current = chosen;
  }
}

}  // namespace tornquil
