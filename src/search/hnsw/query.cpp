// The HNSW query over the graph and the record table.
#include "search/hnsw/query.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "base/json_read.hpp"
#include "storage/records.hpp"

namespace tornquil {
namespace {

bool key_less(const HeapNode& a, const HeapNode& b) { return a.key < b.key; }
bool key_greater(const HeapNode& a, const HeapNode& b) { return a.key > b.key; }

// The beam search of search_base_layer; leaves the result, best first, in s.sorted.
void base_layer_walk(const NodeScorer& score, uint32_t entry, uint64_t ef, WalkScratch& s) {
  const HnswGraph& g = score.graph();
  const bool hib = score.hib();
  std::vector<HeapNode>& queue = s.queue;      // max-heap by key: best on top
  std::vector<HeapNode>& results = s.results;  // min-heap by key: worst on top
  queue.clear();
  results.clear();
  s.visited.begin(g.node_count());
  s.visited.test_and_mark(entry);

  const HeapNode first = heap_node(entry, score(entry), hib);
  queue.push_back(first);
  if (owns_slot(g, entry)) results.push_back(first);

  while (!queue.empty()) {
    std::pop_heap(queue.begin(), queue.end(), key_less);
    const HeapNode c = queue.back();
    queue.pop_back();
    if (results.size() >= ef && at_least_as_good(results.front().score, c.score, hib)) break;

    // Marking and scoring depend on nothing the result set does, so the whole list is
    // marked and its unvisited nodes scored first, the loads of their vectors overlapping
    // from the first to the last; the result set then sees them in list order.
    std::span<const uint32_t> list = g.neighbors(0, c.node);
    if (s.fresh.size() < list.size()) {
      s.fresh.resize(list.size());
      s.fresh_scores.resize(list.size());
      s.fresh_where.resize(list.size());
    }
    const size_t fresh_count = s.visited.mark_list(list, s.fresh.data());
    score.score_list(s.fresh.data(), fresh_count, s.fresh_scores.data(), s.fresh_where.data());
    for (size_t i = 0; i < fresh_count; ++i) {
      const uint32_t n = s.fresh[i];
      const float sn = s.fresh_scores[i];
      if (results.size() >= ef && at_least_as_good(results.front().score, sn, hib)) continue;
      const HeapNode h = heap_node(n, sn, hib);
      queue.push_back(h);
      std::push_heap(queue.begin(), queue.end(), key_less);
      if (!owns_slot(g, n)) continue;
      results.push_back(h);
      std::push_heap(results.begin(), results.end(), key_greater);
      if (results.size() > ef) {
        std::pop_heap(results.begin(), results.end(), key_greater);
        results.pop_back();
      }
    }
  }

  s.sorted.clear();
  for (const HeapNode& h : results) s.sorted.push_back({h.node, h.score});
  sort_scored_best_first(s.sorted, hib, s.merge_buffer);
}

}  // namespace

float node_score(const HnswGraph& graph, std::span<const float> query, uint32_t node,
                 const VectorStorage& vectors, Metric metric) {
  return NodeScorer(graph, query, vectors, metric)(node);
}

uint32_t greedy_closest(const HnswGraph& graph, std::span<const float> query, uint32_t start,
                        size_t layer, const VectorStorage& vectors, Metric metric) {
  return greedy_walk(NodeScorer(graph, query, vectors, metric), start, layer);
}

std::vector<ScoredNode> search_base_layer(const HnswGraph& graph, std::span<const float> query,
                                          uint32_t entry, uint64_t ef, const VectorStorage& vectors,
                                          Metric metric) {
  ScratchLease s;
  base_layer_walk(NodeScorer(graph, query, vectors, metric), entry, ef, *s);
  return s->sorted;
}

uint64_t query_beam_width(uint64_t ef_search, uint64_t count) {
  const uint64_t twice = count > std::numeric_limits<uint64_t>::max() / 2
                             ? std::numeric_limits<uint64_t>::max()
                             : 2 * count;
  return std::max(ef_search, twice);
}

namespace {

// A node the walk kept, with what its record lookup needs.
struct Candidate {
  std::string id;
  uint64_t slot;
  float score;
};

// The walk: up to 2 x count candidates, best first, under the graph lock for reading.
std::vector<Candidate> walk_candidates(const HnswIndex& index, std::span<const float> query,
                                       uint64_t count, const VectorStorage& vectors) {
  std::vector<Candidate> candidates;
  HnswIndex::GraphRead g = index.read_graph();
  if (count == 0 || !g->entry_point || *g->entry_point >= g->node_count()) return candidates;
  const uint64_t ef = query_beam_width(g->config.ef_search, count);
  const uint64_t wanted = query_beam_width(0, count);
  const NodeScorer score(*g, query, vectors, index.metric());
  uint32_t current = *g->entry_point;
  for (size_t layer = g->max_level; layer >= 1; --layer) {
    current = greedy_walk(score, current, layer);
  }
  ScratchLease s;
  base_layer_walk(score, current, ef, *s);
  const size_t take = static_cast<size_t>(std::min<uint64_t>(s->sorted.size(), wanted));
  candidates.reserve(take);
  for (size_t i = 0; i < take; ++i) {
    const ScoredNode& sn = s->sorted[i];
    candidates.push_back({g->id(sn.node), g->slot(sn.node), sn.score});
  }
  return candidates;
}

// The candidates' records, read in `txn`, as hits: at most count, in the candidates' order.
Result<std::vector<SearchHit>> look_up(const std::vector<Candidate>& candidates, uint64_t count,
                                       ReadTxn& txn) {
  std::vector<SearchHit> hits;
  hits.reserve(static_cast<size_t>(std::min<uint64_t>(count, candidates.size())));
  for (const Candidate& c : candidates) {
    if (hits.size() >= count) break;
    TQ_ASSIGN(std::optional<RecordView> rec, get_record_view(txn, c.id));
    // A record on another slot was replaced under the same id: this node scored its old
    // vector.
    if (!rec || !is_live(*rec) || rec->slot != c.slot) continue;
    hits.push_back({std::string(rec->id), parse_metadata_text(rec->metadata), c.score, c.slot});
  }
  return hits;
}

}  // namespace

Result<std::vector<SearchHit>> hnsw_search(const HnswIndex& index, std::span<const float> query,
                                           uint64_t count, const VectorStorage& vectors,
                                           ReadTxn& txn) {
  TQ_TRY(check_dimensions(vectors.dimensions(), query.size()));
  return look_up(walk_candidates(index, query, count, vectors), count, txn);
}

Result<std::vector<SearchHit>> hnsw_search(const HnswIndex& index, std::span<const float> query,
                                           uint64_t count, const VectorStorage& vectors,
                                           KvStore& store) {
  TQ_TRY(check_dimensions(vectors.dimensions(), query.size()));
  const std::vector<Candidate> candidates = walk_candidates(index, query, count, vectors);
  TQ_ASSIGN(ReadTxn txn, begin_read_txn(store));
  return look_up(candidates, count, txn);
}

}  // namespace tornquil
