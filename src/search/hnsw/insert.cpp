// Incremental insertion into the HNSW graph.
#include "search/hnsw/insert.hpp"

#include <algorithm>

#include "search/distance.hpp"
#include "search/hnsw/level.hpp"

namespace tornquil {
namespace {

// The layer search of search_layer_for_insert; leaves the result, best first, in s.sorted.
void insert_layer_walk(const NodeScorer& score, uint32_t entry, size_t layer, uint64_t ef,
                       WalkScratch& s) {
  const HnswGraph& g = score.graph();
  const bool hib = score.hib();
  std::vector<ScoredNode>& cands = s.pending;  // worst first: the best is taken from the back
  std::vector<ScoredNode>& results = s.sorted;
  cands.clear();
  results.clear();
  s.visited.begin(g.node_count());
  s.visited.test_and_mark(entry);

  float bound = score(entry);  // read only once the result list has been filled
  cands.push_back({entry, bound});
  size_t results_sorted = 0;  // results[0, results_sorted) is in best-first order
  while (!cands.empty()) {
    const ScoredNode c = cands.back();
    cands.pop_back();
    if (!(results.size() < ef || strictly_better(c.score, bound, hib))) continue;

    results.push_back(c);
    if (results.size() >= ef) {
      resort_scored_best_first(results, results_sorted, hib, s.merge_buffer);
      results.resize(static_cast<size_t>(ef));
      results_sorted = results.size();
      bound = results.back().score;
    }

    const size_t cands_sorted = cands.size();
    std::span<const uint32_t> list = g.neighbors(layer, c.node);
    for (size_t i = 0; i < list.size(); ++i) {
      const uint32_t x = list[i];
      if (i + 1 < list.size()) score.prefetch(list[i + 1]);
      if (s.visited.test_and_mark(x)) continue;
      const float sx = score(x);
      if (results.size() < ef || strictly_better(sx, bound, hib)) cands.push_back({x, sx});
    }
    resort_scored_worst_first(cands, cands_sorted, hib, s.merge_buffer);
  }
  resort_scored_best_first(results, results_sorted, hib, s.merge_buffer);
}

// Lists one insertion reuses from node to node.
struct InsertScratch {
  std::vector<uint32_t> selection;
  std::vector<uint32_t> ids;
  std::vector<ScoredNode> scored;
  std::vector<ScoredNode> merge_buffer;
};

// Cuts n's list on the layer back to `limit` entries when it holds more: by exact distance
// to n, best first, dropping entries whose slot cannot be read; by position when n's own
// slot cannot be read.
void prune(HnswGraph& g, uint32_t n, size_t layer, uint64_t limit, const VectorStorage& vectors,
           Metric metric, InsertScratch& s) {
  std::span<const uint32_t> list = g.neighbors(layer, n);
  if (list.size() <= limit) return;
  const size_t keep = static_cast<size_t>(limit);
  s.ids.clear();
  std::span<const float> own = vectors.slot_view(g.slot(n));
  if (own.empty()) {
    s.ids.assign(list.begin(), list.begin() + keep);
  } else {
    const DistanceFn fn = distance_kernel(metric);
    s.scored.clear();
    for (uint32_t e : list) {
      std::span<const float> v = vectors.slot_view(g.slot(e));
      if (!v.empty()) s.scored.push_back({e, fn(own.data(), v.data(), own.size())});
    }
    sort_scored_best_first(s.scored, higher_is_better(metric), s.merge_buffer);
    for (size_t i = 0; i < s.scored.size() && i < keep; ++i) s.ids.push_back(s.scored[i].node);
  }
  g.set_neighbors(layer, n, s.ids);
}

void insert_one(HnswGraph& g, const LiveEntry& e, uint64_t ef, const VectorStorage& vectors,
                Metric metric, WalkScratch& ws, InsertScratch& is) {
  const uint8_t level = draw_level(e.slot, g.config.level_multiplier);
  if (!g.entry_point) {
    add_node(g, e.slot, e.id, level);
    return;
  }
  uint32_t t = *g.entry_point;
  const uint32_t added = add_node(g, e.slot, e.id, level);
  std::span<const float> query = vectors.slot_view(e.slot);
  if (query.empty()) return;  // an unreadable slot: a node without neighbours

  const NodeScorer score(g, query, vectors, metric);
  for (int layer = g.max_level; layer > level; --layer) t = greedy_walk(score, t, layer);
  for (int layer = level; layer >= 0; --layer) {
    insert_layer_walk(score, t, layer, ef, ws);
    const std::vector<ScoredNode>& cands = ws.sorted;
    const uint64_t want = layer == 0 ? g.config.m0 : g.config.m;
    const uint64_t limit = layer == 0 ? g.config.m0 : g.config.m_max;
    is.selection.clear();
    for (const ScoredNode& c : cands) {
      if (is.selection.size() >= want) break;
      if (c.node != added) is.selection.push_back(c.node);
    }
    g.set_neighbors(layer, added, is.selection);
    for (uint32_t n : is.selection) {
      g.add_link(layer, n, added);
      prune(g, n, layer, limit, vectors, metric, is);
    }
    if (!cands.empty()) t = cands.front().node;
  }
}

}  // namespace

bool is_indexed(const HnswGraph& graph, uint64_t slot, std::string_view id) {
  auto it = graph.slot_to_node.find(slot);
  return it != graph.slot_to_node.end() && it->second < graph.node_count() &&
         graph.id(it->second) == id;
}

void retain_unindexed(std::vector<LiveEntry>& entries, const HnswIndex& index) {
  HnswIndex::GraphRead g = index.read_graph();
  std::erase_if(entries, [&](const LiveEntry& e) { return is_indexed(*g, e.slot, e.id); });
}

uint32_t add_node(HnswGraph& graph, uint64_t slot, std::string_view id, uint8_t level) {
  const uint32_t node = graph.add_node(id, slot, level);
  graph.slot_to_node[slot] = node;
  if (!graph.entry_point || level > graph.max_level) {
    graph.entry_point = node;
    graph.max_level = level;
  }
  return node;
}

std::vector<ScoredNode> search_layer_for_insert(const HnswGraph& graph,
                                                std::span<const float> query, uint32_t entry,
                                                size_t layer, uint64_t ef,
                                                const VectorStorage& vectors, Metric metric) {
  ScratchLease s;
  insert_layer_walk(NodeScorer(graph, query, vectors, metric), entry, layer, ef, *s);
  return s->sorted;
}

void insert_nodes(HnswIndex& index, std::span<const LiveEntry> entries,
                  const VectorStorage& vectors) {
  std::vector<LiveEntry> todo;
  {
    HnswIndex::GraphRead g = index.read_graph();
    for (const LiveEntry& e : entries) {
      if (!is_indexed(*g, e.slot, e.id)) todo.push_back(e);
    }
  }
  if (todo.empty()) return;
  uint64_t ef;
  {
    HnswIndex::GraphRead g = index.read_graph();
    ef = std::min(g->config.ef_construction, kInsertEfCap);
  }
  HnswIndex::GraphWrite g = index.write_graph();
  ScratchLease ws;
  InsertScratch is;
  for (const LiveEntry& e : todo) insert_one(*g, e, ef, vectors, index.metric(), *ws, is);
}

}  // namespace tornquil
