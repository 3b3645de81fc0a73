// The insertion of one rebuild node: asymmetric greedy descent, asymmetric layer searches
// with a bound that moves only when the result list overflows, exact re-scoring of the
// results, and the linking under per-list locks.
#include "search/hnsw/parallel.hpp"

#include <oneapi/tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "base/error.hpp"
#include "base/worker_pool.hpp"
#include "search/distance.hpp"

namespace tornquil {

// ---- ListLock ----

namespace {

inline void spin_pause(uint32_t& spins) {
  if (++spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  } else {
    spins = 0;
    std::this_thread::yield();
  }
}

}  // namespace

void ListLock::lock_shared() noexcept {
  uint32_t spins = 0;
  for (;;) {
    uint32_t v = state_.load(std::memory_order_relaxed);
    if ((v & kWriter) == 0 && state_.compare_exchange_weak(v, v + 1, std::memory_order_acquire,
                                                           std::memory_order_relaxed)) {
      return;
    }
    spin_pause(spins);
  }
}

void ListLock::lock() noexcept {
  uint32_t spins = 0;
  for (;;) {
    uint32_t v = 0;
    if (state_.compare_exchange_weak(v, kWriter, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      return;
    }
    spin_pause(spins);
  }
}

// ---- LockedLayerLists ----

LockedLayerLists::LockedLayerLists(std::span<const uint8_t> levels, size_t layer_count,
                                   const HnswConfig& config) {
  const auto n = static_cast<uint32_t>(levels.size());
  layers_.resize(layer_count);
  for (size_t l = 0; l < layer_count; ++l) {
    Layer& layer = layers_[l];
    const uint64_t degree = l == 0 ? config.m0 : config.m;
    layer.cap = static_cast<uint32_t>(std::min<uint64_t>(degree, 128) * 2);
    uint32_t rows = n;
    if (l > 0) {
      layer.row_of.assign(n, kNoRow);
      rows = 0;
      for (uint32_t i = 0; i < n; ++i) {
        if (levels[i] >= l) layer.row_of[i] = rows++;
      }
    }
    layer.rows.assign(static_cast<size_t>(rows) * (layer.cap + 1), 0);
    layer.spilled.resize(rows);
    layer.locks = std::make_unique<ListLock[]>(rows);
  }
}

uint32_t LockedLayerLists::row(const Layer& layer, uint32_t node) const {
  const uint32_t r = layer.row_of.empty() ? node : layer.row_of[node];
  if (r == kNoRow) fatal("HNSW rebuild touched a list of a node above its level");
  return r;
}

std::span<const uint32_t> LockedLayerLists::view(const Layer& layer, uint32_t r) const {
  const uint32_t* h = layer.rows.data() + static_cast<size_t>(r) * (layer.cap + 1);
  if (h[0] <= layer.cap) return {h + 1, h[0]};
  return layer.spilled[r];
}

void LockedLayerLists::copy_out(size_t l, uint32_t node, std::vector<uint32_t>& out) const {
  const Layer& layer = layers_[l];
  const uint32_t r = row(layer, node);
  std::shared_lock lock(layer.locks[r]);
  const auto list = view(layer, r);
  out.assign(list.begin(), list.end());
}

size_t LockedLayerLists::length(size_t l, uint32_t node) const {
  const Layer& layer = layers_[l];
  const uint32_t r = row(layer, node);
  std::shared_lock lock(layer.locks[r]);
  return layer.rows[static_cast<size_t>(r) * (layer.cap + 1)];
}

void LockedLayerLists::set_keeping_links(size_t l, uint32_t node, std::span<const uint32_t> list) {
  Layer& layer = layers_[l];
  const uint32_t r = row(layer, node);
  std::unique_lock lock(layer.locks[r]);
  uint32_t* h = layer.rows.data() + static_cast<size_t>(r) * (layer.cap + 1);
  const std::span<const uint32_t> held = view(layer, r);
  std::vector<uint32_t> merged;
  if (!held.empty()) {
    // Rare: only a node that others reached before it linked this layer gets here.
    merged.assign(list.begin(), list.end());
    for (const uint32_t e : held) {
      if (std::find(list.begin(), list.end(), e) == list.end()) merged.push_back(e);
    }
    list = merged;
  }
  if (list.size() <= layer.cap) {
    std::copy(list.begin(), list.end(), h + 1);
  } else {
    layer.spilled[r].assign(list.begin(), list.end());
  }
  h[0] = static_cast<uint32_t>(list.size());
}

bool LockedLayerLists::append_unique(size_t l, uint32_t node, uint32_t to) {
  Layer& layer = layers_[l];
  const uint32_t r = row(layer, node);
  std::unique_lock lock(layer.locks[r]);
  const auto cur = view(layer, r);
  if (std::find(cur.begin(), cur.end(), to) != cur.end()) return false;
  uint32_t* h = layer.rows.data() + static_cast<size_t>(r) * (layer.cap + 1);
  const uint32_t size = h[0];
  if (size < layer.cap) {
    h[1 + size] = to;
  } else {
    std::vector<uint32_t>& spill = layer.spilled[r];
    if (size == layer.cap) spill.assign(h + 1, h + 1 + size);
    spill.push_back(to);
  }
  h[0] = size + 1;
  return true;
}

std::span<const uint32_t> LockedLayerLists::list(size_t l, uint32_t node) const {
  if (l >= layers_.size()) return {};
  const Layer& layer = layers_[l];
  const uint32_t r = layer.row_of.empty() ? node : layer.row_of[node];
  if (r == kNoRow) return {};
  return view(layer, r);
}

// ---- Search state ----

namespace {

// A node with its asymmetric score, and the score's rank key for the candidate heap:
// larger key = better, a NaN ranked below everything.
struct Scored {
  float score;
  float key;
  uint32_t node;
  uint32_t pos;  // place in the list before a sort, so that equal keys keep their order
};

struct Exact {
  uint32_t node;
  float score;
  float key;
  uint32_t pos;
};

// Best first, equal keys in their earlier order: a stable sort that needs no buffer.
template <class T>
void sort_best_first(std::vector<T>& v) {
  for (size_t j = 0; j < v.size(); ++j) v[j].pos = static_cast<uint32_t>(j);
  std::sort(v.begin(), v.end(), [](const T& a, const T& b) {
    return a.key > b.key || (a.key == b.key && a.pos < b.pos);
  });
}

}  // namespace

// The private state of one thread's insertions; sized once, reused for every node.
struct InsertScratch {
  explicit InsertScratch(uint32_t nodes, uint64_t ef, size_t table_size)
      : visited(nodes, 0), table(table_size) {
    const size_t room = static_cast<size_t>(std::min<uint64_t>(ef, nodes)) + 1;
    candidates.reserve(2 * room);
    results.reserve(room);
    exact.reserve(room);
    selection.reserve(room);
    list.reserve(64);
  }

  // Visit marks by epoch: a node is visited in the current search when its mark equals
  // `epoch`; a new search only bumps the epoch.
  std::vector<uint16_t> visited;
  uint16_t epoch = 0;
  std::vector<float> table;
  std::vector<Scored> candidates;  // a heap, best on top
  std::vector<Scored> results;
  std::vector<Exact> exact;
  std::vector<uint32_t> selection;
  std::vector<uint32_t> list;

  void new_search() {
    if (++epoch == 0) {
      std::fill(visited.begin(), visited.end(), 0);
      epoch = 1;
    }
  }
};

struct InsertScratchPool {
  InsertScratchPool(uint32_t nodes, uint64_t ef, size_t table_size)
      : local([=] { return InsertScratch(nodes, ef, table_size); }) {}
  tbb::enumerable_thread_specific<InsertScratch> local;
};

HnswBuildContext::HnswBuildContext(const HnswConfig& config, Metric metric,
                                   std::span<const uint8_t> levels, LockedLayerLists& lists,
                                   std::span<const float> vectors, size_t dimensions,
                                   const ProductQuantizer& pq, const PqCodes& codes,
                                   uint32_t entry_node, uint8_t entry_level)
    : config(config),
      metric(metric),
      higher_is_better(metric != Metric::L2),
      levels(levels),
      lists(lists),
      vectors(vectors),
      dimensions(dimensions),
      pq(pq),
      codes(codes),
      entry_node(entry_node),
      entry_level(entry_level),
      ef(config.ef_construction),
      scratch(std::make_unique<InsertScratchPool>(static_cast<uint32_t>(levels.size()),
                                                  config.ef_construction, pq.table_size())) {}

HnswBuildContext::~HnswBuildContext() = default;

namespace {

class NodeInserter {
 public:
  NodeInserter(HnswBuildContext& ctx, InsertScratch& s)
      : ctx_(ctx),
        s_(s),
        higher_(ctx.higher_is_better),
        code_len_(ctx.codes.code_len),
        exact_(distance_kernel(ctx.metric)),
        exact_x4_(distance_x4_kernel(ctx.metric)) {}

  void insert(uint32_t i) {
    const uint8_t level = ctx_.levels[i];
    // The entry node starts the graph: with nobody linked to it yet it has nothing to
    // search, and keeps only the back-links later nodes give it.
    if (i == ctx_.entry_node && ctx_.lists.length(0, i) == 0) return;
    const float* x = vector(i);
    adc_table(ctx_.pq, x, s_.table);

    uint32_t ep = ctx_.entry_node;
    if (level < ctx_.entry_level) ep = descend(level);
    uint64_t distances = 0;
    for (size_t l = level + 1; l-- > 0;) {
      distances += search_layer(ep, l);
      sort_best_first(s_.results);
      const uint32_t next_ep = s_.results.empty() ? ep : s_.results.front().node;
      select(i, x, l == 0 ? ctx_.config.m0 : ctx_.config.m);
      ctx_.lists.set_keeping_links(l, i, s_.selection);
      for (const uint32_t e : s_.selection) ctx_.lists.append_unique(l, e, i);
      ep = next_ep;
    }
    ctx_.distance_count.fetch_add(distances, std::memory_order_relaxed);
  }

 private:
  const float* vector(uint32_t node) const { return ctx_.vectors.data() + node * ctx_.dimensions; }

  float adc(uint32_t node) const {
    return adc_distance(s_.table.data(), ctx_.codes.codes.data() + node * code_len_, code_len_);
  }

  // Strictly better; a NaN is never better, and nothing is better than a NaN.
  bool better(float a, float b) const { return higher_ ? a > b : a < b; }

  float key(float score) const {
    if (score != score) return -std::numeric_limits<float>::infinity();
    return higher_ ? score : -score;
  }

  // Greedy descent from the entry node down to layer level + 1: on each layer move to the
  // first best-scoring neighbour while one improves on the current node.
  uint32_t descend(uint8_t level) {
    uint32_t cur = ctx_.entry_node;
    float cur_score = adc(cur);
    for (size_t l = ctx_.entry_level; l > level; --l) {
      for (;;) {
        ctx_.lists.copy_out(l, cur, s_.list);
        bool improved = false;
        for (const uint32_t e : s_.list) {
          const float score = adc(e);
          if (better(score, cur_score)) {
            cur = e;
            cur_score = score;
            improved = true;
          }
        }
        if (!improved) break;
      }
    }
    return cur;
  }

  void push_candidate(uint32_t node, float score) {
    s_.candidates.push_back(Scored{score, key(score), node, 0});
    std::push_heap(s_.candidates.begin(), s_.candidates.end(),
                   [](const Scored& a, const Scored& b) { return a.key < b.key; });
  }

  Scored pop_candidate() {
    std::pop_heap(s_.candidates.begin(), s_.candidates.end(),
                  [](const Scored& a, const Scored& b) { return a.key < b.key; });
    const Scored c = s_.candidates.back();
    s_.candidates.pop_back();
    return c;
  }

  // Drops the worst result (for L2 the highest score, the last of equals; otherwise the
  // lowest, the first of equals) by moving the last entry into its place, and answers the
  // worst score of those left, NaN ignored; with none, a bound nothing is better than.
  float drop_worst() {
    std::vector<Scored>& r = s_.results;
    size_t worst = 0;
    for (size_t j = 1; j < r.size(); ++j) {
      if (higher_ ? r[worst].score > r[j].score : !(r[worst].score > r[j].score)) worst = j;
    }
    r[worst] = r.back();
    r.pop_back();
    float bound =
        higher_ ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    for (const Scored& e : r) {
      if (e.score != e.score) continue;
      bound = higher_ ? std::min(bound, e.score) : std::max(bound, e.score);
    }
    return bound;
  }

  // The layer search from ep on layer l; leaves the expanded best (at most ef) in
  // results and answers the number of asymmetric distances it evaluated.
  uint64_t search_layer(uint32_t ep, size_t l) {
    const uint64_t ef = ctx_.ef;
    s_.new_search();
    s_.candidates.clear();
    s_.results.clear();
    s_.visited[ep] = s_.epoch;
    uint64_t distances = 1;
    push_candidate(ep, adc(ep));
    float bound = worst_score(ctx_.metric);
    while (!s_.candidates.empty()) {
      const Scored c = pop_candidate();
      if (s_.results.size() >= ef && !better(c.score, bound)) break;
      s_.results.push_back(c);
      if (s_.results.size() > ef) bound = drop_worst();
      ctx_.lists.copy_out(l, c.node, s_.list);
      for (const uint32_t e : s_.list) {
        if (s_.visited[e] == s_.epoch) continue;
        s_.visited[e] = s_.epoch;
        ++distances;
        const float score = adc(e);
        if (s_.results.size() >= ef && !better(score, bound)) continue;
        push_candidate(e, score);
      }
    }
    return distances;
  }

  // Re-scores the results (best asymmetric first) exactly against x, leaving out node i,
  // and keeps the first k of a stable best-first sort as the selection.
  void select(uint32_t i, const float* x, uint64_t k) {
    s_.exact.clear();
    for (const Scored& r : s_.results) {
      if (r.node != i) s_.exact.push_back(Exact{r.node, 0.0f, 0.0f, 0});
    }
    const size_t n = s_.exact.size();
    const size_t d = ctx_.dimensions;
    size_t j = 0;
    for (; j + 4 <= n; j += 4) {
      const float* b[4] = {vector(s_.exact[j].node), vector(s_.exact[j + 1].node),
                           vector(s_.exact[j + 2].node), vector(s_.exact[j + 3].node)};
      float out[4];
      exact_x4_(x, b, d, out);
      for (size_t q = 0; q < 4; ++q) s_.exact[j + q].score = out[q];
    }
    for (; j < n; ++j) s_.exact[j].score = exact_(x, vector(s_.exact[j].node), d);
    for (Exact& e : s_.exact) e.key = key(e.score);
    sort_best_first(s_.exact);
    s_.selection.clear();
    const size_t take = static_cast<size_t>(std::min<uint64_t>(k, n));
    for (size_t q = 0; q < take; ++q) s_.selection.push_back(s_.exact[q].node);
  }

  HnswBuildContext& ctx_;
  InsertScratch& s_;
  const bool higher_;
  const size_t code_len_;
  const DistanceFn exact_;
  const DistanceX4Fn exact_x4_;
};

}  // namespace

void insert_batch_parallel(HnswBuildContext& ctx, uint32_t start, uint32_t end) {
  if (start >= end) return;
  parallel_for(end - start, 4, [&](size_t begin, size_t stop) {
    InsertScratch& s = ctx.scratch->local.local();
    NodeInserter inserter(ctx, s);
    for (size_t k = begin; k < stop; ++k) inserter.insert(static_cast<uint32_t>(start + k));
  });
}

}  // namespace tornquil
