// Incremental insertion into the HNSW graph.
#include "search/hnsw/insert.hpp"

#include <algorithm>
#include <memory>
#include <optional>

#include "search/distance.hpp"
#include "search/hnsw/level.hpp"
#include "search/hnsw/select.hpp"

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
  std::vector<ScoredNode> cands;
  std::vector<uint32_t> selection;
  std::vector<uint32_t> ids;
  std::vector<ScoredNode> scored;
  std::vector<ScoredNode> merge_buffer;
  SelectScratch select;
};

}  // namespace

// What the road keeps about layer 0 so that no cut strands a record. Counting the links
// into each node is not enough: a group of nodes can keep every count above zero by
// naming one another while nothing outside names them (many copies of one vector do
// exactly that, their lists being full of copies), and a walk then never gets in; a group
// that names nothing outside traps a walk that gets in. So the nodes are ranked twice from
// the entry point: in the order a breadth-first walk along the links reaches them
// (`from_root`), and along the links backwards (`to_root`). Every node so ranked, the root
// aside, is named by a node ranked before it (its parent) and names one ranked before it
// (its exit); a cut never takes away a node's last parent or last exit, so every ranked
// node stays reachable from the root and reaches it. A new node ranks after every node
// there is: it names the nodes it chose, all ranked before it, and the first of them that
// links back is its parent. The ranks keep their root when a new node becomes the entry
// point: a new node that links is in reach of the root and reaches it, so whatever the root
// reaches both ways the new entry point reaches too.
//
// Only nodes that stand for a record (own their slot) are ranked and walked through: a
// node whose slot left the graph needs no way in, and no record's way may lead through it.
// A node no walk reached keeps the older rule: its last link in is not cut.
//
// The walks read the whole graph, so they run only when the index has no state that fits
// its graph: none yet (a graph just built or loaded), or one that the graph left behind
// because something other than the road changed it since the road's last run (a list, the
// nodes, a slot's owner, as when a record's slot leaves the graph, or the entry point); the
// graph's edit count tells. Otherwise the state stays with the index from one run to the
// next, kept up by the road itself as it links and cuts, and a run costs what its records
// cost, not what the graph holds. A run on a kept state goes on exactly as one run adding
// the records of every run since the walks would have gone on, so the guarantee above is
// the same. It takes 20 bytes per node (five u32, plus the room the arrays keep to grow
// into), for as long as the index lives.
struct RoadState {
  static constexpr uint32_t kUnranked = UINT32_MAX;

  // By node index; one array each, so that the walks over the whole graph read only what
  // they need.
  std::vector<uint32_t> in0;        // layer-0 lists that name the node
  std::vector<uint32_t> from_root;  // rank along the links, or kUnranked
  std::vector<uint32_t> to_root;    // rank along the links backwards, or kUnranked
  std::vector<uint32_t> parents;    // lists of nodes ranked before it (from_root) naming it
  std::vector<uint32_t> exits;      // entries of its list ranked before it (to_root)
  uint32_t next_rank = 0;           // the rank of the next new node
  // The graph as the road's last run left it.
  bool made = false;
  uint64_t edits = 0;
  uint32_t node_count = 0;
  std::optional<uint32_t> entry_point;

  static bool before(const std::vector<uint32_t>& rank, uint32_t a, uint32_t b) {
    return rank[b] != kUnranked && rank[a] < rank[b];
  }
  // Places for `n` nodes; the new ones are unranked and unnamed.
  void resize(size_t n) {
    in0.resize(n, 0);
    from_root.resize(n, kUnranked);
    to_root.resize(n, kUnranked);
    parents.resize(n, 0);
    exits.resize(n, 0);
  }
  bool fits(const HnswGraph& g) const {
    return made && g.edits() == edits && g.node_count() == node_count &&
           g.entry_point == entry_point;
  }
  // Notes the graph as this run leaves it, with a place for every node.
  void seal(const HnswGraph& g) {
    if (in0.size() != g.node_count()) fatal("HNSW road state out of step with its graph");
    made = true;
    edits = g.edits();
    node_count = g.node_count();
    entry_point = g.entry_point;
  }
};

void RoadStateDeleter::operator()(RoadState* state) const { delete state; }

namespace {

constexpr uint32_t kUnranked = RoadState::kUnranked;

// One run's hold on the state, with what that run scores by.
struct Road {
  RoadState& st;
  const NodeScorer* score = nullptr;
  PairDistance dist;

  // Every change to a layer-0 list goes through these two.
  void link(uint32_t from, uint32_t to) {
    ++st.in0[to];
    if (RoadState::before(st.from_root, from, to)) ++st.parents[to];
    if (RoadState::before(st.to_root, to, from)) ++st.exits[from];
  }
  void unlink(uint32_t from, uint32_t to) {
    --st.in0[to];
    if (RoadState::before(st.from_root, from, to)) --st.parents[to];
    if (RoadState::before(st.to_root, to, from)) --st.exits[from];
  }
  void rank_new(uint32_t node) { st.from_root[node] = st.to_root[node] = st.next_rank++; }

  // The cut of owner's layer-0 list must keep its link to e: e's last parent, owner's last
  // exit, or, for a record's node no walk ranked, e's last way in.
  bool must_keep(const HnswGraph& g, uint32_t owner, uint32_t e) const {
    return (st.parents[e] == 1 && RoadState::before(st.from_root, owner, e)) ||
           (st.exits[owner] == 1 && RoadState::before(st.to_root, e, owner)) ||
           (st.in0[e] == 1 && st.from_root[e] == kUnranked && owns_slot(g, e));
  }
};

// Ranks the nodes a breadth-first walk from `root` reaches through nodes that own their
// slot; next(u) gives u's neighbours in the walk's direction. Each ranked node's list is
// read once, and by then every node it names has its final rank (or none), so `ranked_after`
// counts, for each node it names, the links from a node ranked before it.
template <class Next>
void rank_from(const HnswGraph& g, uint32_t root, std::vector<uint32_t>& rank,
               std::vector<uint32_t>& ranked_after, std::vector<uint32_t>& queue,
               const Next& next) {
  queue.clear();
  queue.push_back(root);
  rank[root] = 0;
  for (size_t head = 0; head < queue.size(); ++head) {
    const uint32_t u = queue[head];
    if (head + 1 < queue.size()) {
      const std::span<const uint32_t> ahead = next(queue[head + 1]);
      if (!ahead.empty()) __builtin_prefetch(ahead.data());
    }
    for (const uint32_t v : next(u)) {
      if (rank[v] == kUnranked && owns_slot(g, v)) {
        rank[v] = static_cast<uint32_t>(queue.size());
        queue.push_back(v);
      }
      if (RoadState::before(rank, u, v)) ++ranked_after[v];
    }
  }
}

// The state of a graph the road has not kept up: counts and ranks from the whole graph.
void make_road_state(const HnswGraph& g, size_t added, RoadState& st) {
  const uint32_t n = g.node_count();
  st.in0.assign(n + added, 0);
  st.from_root.assign(n + added, kUnranked);
  st.to_root.assign(n + added, kUnranked);
  st.parents.assign(n + added, 0);
  st.exits.assign(n + added, 0);
  st.next_rank = n;  // after every rank a walk can give
  st.made = false;
  // Every entry counts, so that each one a cut drops can be taken off again (a graph from
  // this road or from the loader never lists a node in its own list or twice).
  for (uint32_t i = 0; i < n; ++i) {
    for (const uint32_t e : g.neighbors(0, i)) ++st.in0[e];
  }
  if (!g.entry_point || *g.entry_point >= n) return;
  const uint32_t root = *g.entry_point;
  std::vector<uint32_t> queue;
  queue.reserve(n);
  // Along the links: a node's parents are the lists that name it from a node ranked before.
  rank_from(g, root, st.from_root, st.parents, queue,
            [&](uint32_t u) { return g.neighbors(0, u); });
  // Backwards, over who names each node (in node order): an entry of w's list that the
  // walk ranked before w is one of w's exits.
  std::vector<uint64_t> start(static_cast<size_t>(n) + 1, 0);
  for (uint32_t i = 0; i < n; ++i) start[i + 1] = start[i] + st.in0[i];
  // Every place is written below, so the array is not cleared first.
  const std::unique_ptr<uint32_t[]> named_by(new uint32_t[start[n]]);
  {
    std::vector<uint64_t> at(start.begin(), start.end() - 1);
    for (uint32_t i = 0; i < n; ++i) {
      for (const uint32_t e : g.neighbors(0, i)) named_by[at[e]++] = i;
    }
  }
  rank_from(g, root, st.to_root, st.exits, queue, [&](uint32_t u) {
    return std::span<const uint32_t>(named_by.get() + start[u], start[u + 1] - start[u]);
  });
}

// Cuts n's list on the layer back to `limit` entries when it holds more, by the selection
// heuristic over its entries re-scored exactly against n, nearest first; entries whose
// slot cannot be read are dropped. When n's own slot cannot be read the entries keep their
// order and the first ones stay. On layer 0 the links Road::must_keep names stay.
void prune(HnswGraph& g, uint32_t n, size_t layer, uint64_t limit, Road& road, InsertScratch& s) {
  std::span<const uint32_t> list = g.neighbors(layer, n);
  if (list.size() <= limit) return;
  const NodeScorer& score = *road.score;
  const bool hib = score.hib();
  s.scored.clear();
  const float* own = score.vector_of(n);
  for (const uint32_t e : list) {
    if (own == nullptr) {
      s.scored.push_back({e, 0.0f});  // by position: no vector to measure against
    } else if (score.vector_of(e) != nullptr) {
      s.scored.push_back({e, 0.0f});
    } else if (layer == 0) {
      road.unlink(n, e);
    }
  }
  if (own != nullptr) {
    // Scored four at a time; the tail pads with the owner's own vector.
    for (size_t i = 0; i < s.scored.size(); i += 4) {
      const float* b[4];
      for (size_t j = 0; j < 4; ++j) {
        b[j] = i + j < s.scored.size() ? score.vector_of(s.scored[i + j].node) : own;
      }
      float d[4];
      road.dist.four(own, b, road.dist.dims, d);
      for (size_t j = 0; j < 4 && i + j < s.scored.size(); ++j) s.scored[i + j].score = d[j];
    }
    sort_scored_best_first(s.scored, hib, s.merge_buffer);
  }
  const auto vector_of = [&](uint32_t node) {
    return own == nullptr ? nullptr : score.vector_of(node);
  };
  if (layer == 0) {
    select_neighbors_heuristic(
        s.scored, static_cast<size_t>(limit), vector_of, road.dist, hib,
        [&](uint32_t e) { return road.must_keep(g, n, e); }, s.ids, s.select);
    for (const uint32_t e : s.select.dropped) road.unlink(n, e);
  } else {
    select_neighbors_heuristic(
        s.scored, static_cast<size_t>(limit), vector_of, road.dist, hib,
        [](uint32_t) { return false; }, s.ids, s.select);
  }
  g.set_neighbors(layer, n, s.ids);
}

void insert_one(HnswGraph& g, const LiveEntry& e, uint64_t ef, const VectorStorage& vectors,
                Metric metric, Road& road, WalkScratch& ws, InsertScratch& is) {
  const uint8_t level = draw_level(e.slot, g.config.level_multiplier);
  if (!g.entry_point) {
    road.rank_new(add_node(g, e.slot, e.id, level));
    return;
  }
  uint32_t t = *g.entry_point;
  // The layers the graph had before this node: above them nobody else is there to link
  // to (the old entry point is not on them), so a node drawn higher becomes the entry
  // point with empty lists up there until later nodes link to it.
  const int old_top = g.max_level;
  const uint32_t added = add_node(g, e.slot, e.id, level);
  road.rank_new(added);
  std::span<const float> query = vectors.slot_view(e.slot);
  if (query.empty()) return;  // an unreadable slot: a node without neighbours

  const NodeScorer score(g, query, vectors, metric);
  road.score = &score;
  const auto vector_of = [&](uint32_t node) { return score.vector_of(node); };
  for (int layer = old_top; layer > level; --layer) t = greedy_walk(score, t, layer);
  for (int layer = std::min<int>(level, old_top); layer >= 0; --layer) {
    insert_layer_walk(score, t, layer, ef, ws);
    is.cands.clear();
    for (const ScoredNode& c : ws.sorted) {
      if (c.node != added) is.cands.push_back(c);
    }
    const uint64_t want = layer == 0 ? g.config.m0 : g.config.m;
    const uint64_t limit = layer == 0 ? g.config.m0 : g.config.m_max;
    select_neighbors_heuristic(
        is.cands, static_cast<size_t>(want), vector_of, road.dist, score.hib(),
        [](uint32_t) { return false; }, is.selection, is.select);
    g.set_neighbors(layer, added, is.selection);
    for (const uint32_t n : is.selection) {
      if (layer == 0) road.link(added, n);
    }
    for (const uint32_t n : is.selection) {
      if (g.add_link(layer, n, added) && layer == 0) road.link(n, added);
      prune(g, n, layer, limit, road, is);
    }
    if (!ws.sorted.empty()) t = ws.sorted.front().node;
  }
  road.score = nullptr;
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
  RoadStatePtr& kept = index.road_state(g);
  if (!kept) kept.reset(new RoadState);
  // Every entry becomes a node.
  if (kept->fits(*g)) {
    kept->resize(g->node_count() + todo.size());
  } else {
    make_road_state(*g, todo.size(), *kept);
  }
  ScratchLease ws;
  InsertScratch is;
  Road road{*kept, nullptr,
            PairDistance(index.metric(), static_cast<size_t>(vectors.dimensions()))};
  for (const LiveEntry& e : todo) insert_one(*g, e, ef, vectors, index.metric(), road, *ws, is);
  kept->seal(*g);
}

bool TEST_road_state_kept(HnswIndex& index) {
  HnswIndex::GraphWrite g = index.write_graph();
  const RoadStatePtr& kept = index.road_state(g);
  return kept && kept->fits(*g);
}

std::string TEST_road_state_mismatch(HnswIndex& index) {
  HnswIndex::GraphWrite g = index.write_graph();
  const RoadStatePtr& kept = index.road_state(g);
  if (!kept || !kept->fits(*g)) return "";
  const RoadState& st = *kept;
  const uint32_t n = g->node_count();
  std::vector<uint32_t> in0(n, 0), parents(n, 0), exits(n, 0);
  for (uint32_t i = 0; i < n; ++i) {
    for (const uint32_t e : g->neighbors(0, i)) {
      ++in0[e];
      if (RoadState::before(st.from_root, i, e)) ++parents[e];
      if (RoadState::before(st.to_root, e, i)) ++exits[i];
    }
  }
  const auto str = [](uint32_t v) { return std::to_string(v); };
  for (uint32_t i = 0; i < n; ++i) {
    if (st.in0[i] != in0[i] || st.parents[i] != parents[i] || st.exits[i] != exits[i]) {
      return "node " + str(i) + ": kept in0 " + str(st.in0[i]) + " parents " + str(st.parents[i]) +
             " exits " + str(st.exits[i]) + ", counted " + str(in0[i]) + " " + str(parents[i]) +
             " " + str(exits[i]);
    }
    for (const uint32_t rank : {st.from_root[i], st.to_root[i]}) {
      if (rank != kUnranked && rank >= st.next_rank) {
        return "node " + str(i) + " ranked at or after the next rank";
      }
    }
  }
  return "";
}

}  // namespace tornquil
