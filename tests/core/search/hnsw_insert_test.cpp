// Incremental insertion: the graph it grows against a reference insertion written out step by
// step, its parameters at their edges (beam 0 and above the cap, zero degrees, a degree limit
// below m), new entry points, unreadable slots, pruning, repeated insertion, which records
// count as indexed, records that took over the slot of a removed one, layer-0 cuts that keep
// every record in reach, and the state the road keeps for them from one run to the next.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hnsw_fixture.hpp"
#include "search/hnsw/insert.hpp"
#include "search/hnsw/level.hpp"
#include "search/hnsw/query.hpp"
#include "search/hnsw/rebuild.hpp"
#include "search/hnsw/select.hpp"

namespace tornquil {
namespace {

using namespace testing;  // the HNSW fixture helpers

// ---------------------------------------------------------------------------------------
// The reference: insertion exactly as its steps read, on a graph of plain nested lists, with
// an ordered visited set and whole-list stable sorts after every change.

struct RefNode {
  std::string id;
  uint64_t slot;
  uint8_t level;
};

struct RefGraph {
  std::vector<RefNode> nodes;
  std::vector<std::vector<std::vector<uint32_t>>> layers;
  std::optional<uint32_t> entry_point;
  std::map<uint64_t, uint32_t> slot_to_node;
  HnswConfig config;
  uint8_t max_level = 0;
};

struct RefInserter {
  RefGraph& g;
  const VectorStorage& vectors;
  Metric metric;

  bool better(float a, float b) const { return metric == Metric::L2 ? a < b : a > b; }
  void sort_best_first(std::vector<ScoredNode>& l) const {
    std::stable_sort(l.begin(), l.end(), [&](const ScoredNode& a, const ScoredNode& b) {
      return better(a.score, b.score);
    });
  }
  void sort_worst_first(std::vector<ScoredNode>& l) const {
    std::stable_sort(l.begin(), l.end(), [&](const ScoredNode& a, const ScoredNode& b) {
      return better(b.score, a.score);
    });
  }
  float score(std::span<const float> q, uint32_t n) const {
    const uint64_t slot = g.nodes[n].slot;
    if (slot >= vectors.slot_count()) return worst_score(metric);
    return distance(metric, q, vectors.slot_view(slot));
  }
  const std::vector<uint32_t>* list(size_t layer, uint32_t n) const {
    if (layer >= g.layers.size() || n >= g.layers[layer].size()) return nullptr;
    return &g.layers[layer][n];
  }

  uint32_t add_node(uint64_t slot, const std::string& id, uint8_t level) {
    const uint32_t idx = uint32_t(g.nodes.size());
    g.nodes.push_back({id, slot, level});
    g.slot_to_node[slot] = idx;
    while (g.layers.size() < size_t(level) + 1) g.layers.emplace_back();
    for (auto& layer : g.layers)
      while (layer.size() < idx + 1) layer.emplace_back();
    if (!g.entry_point || level > g.max_level) {
      g.entry_point = idx;
      g.max_level = level;
    }
    return idx;
  }

  uint32_t greedy(std::span<const float> q, uint32_t current, size_t layer) const {
    float best = score(q, current);
    for (;;) {
      const auto* l = list(layer, current);
      if (l == nullptr || l->empty()) return current;
      std::optional<uint32_t> chosen;
      for (uint32_t n : *l) {
        const float s = score(q, n);
        if (better(s, best)) {
          best = s;
          chosen = n;
        }
      }
      if (!chosen) return current;
      current = *chosen;
    }
  }

  std::vector<ScoredNode> search_layer(std::span<const float> q, uint32_t entry, size_t layer,
                                       uint64_t ef) const {
    std::set<uint32_t> visited = {entry};
    std::vector<ScoredNode> c = {{entry, score(q, entry)}};
    std::vector<ScoredNode> w;
    float bound = c[0].score;
    while (!c.empty()) {
      const ScoredNode top = c.back();
      c.pop_back();
      if (w.size() < ef || better(top.score, bound)) {
        w.push_back(top);
        if (w.size() >= ef) {
          sort_best_first(w);
          w.resize(ef);
          bound = w.back().score;
        }
        if (const auto* l = list(layer, top.node)) {
          for (uint32_t x : *l) {
            if (!visited.insert(x).second) continue;
            const float s = score(q, x);
            if (w.size() < ef || better(s, bound)) c.push_back({x, s});
          }
        }
        sort_worst_first(c);
      }
    }
    sort_best_first(w);
    return w;
  }

  bool readable(uint32_t n) const { return g.nodes[n].slot < vectors.slot_count(); }
  std::span<const float> vec(uint32_t n) const { return vectors.slot_view(g.nodes[n].slot); }

  // Layer-0 lists that name the node, counted afresh over the whole layer.
  size_t in_degree(uint32_t node) const {
    size_t count = 0;
    for (uint32_t i = 0; i < g.layers[0].size(); ++i) {
      if (i == node) continue;
      const auto& l = g.layers[0][i];
      count += size_t(std::count(l.begin(), l.end(), node));
    }
    return count;
  }
  bool owns_slot(uint32_t node) const {
    auto it = g.slot_to_node.find(g.nodes[node].slot);
    return it != g.slot_to_node.end() && it->second == node;
  }

  // The two rankings, by breadth-first walks from the entry point over layer 0 through
  // nodes that own their slot: along the links, and along them backwards (who names a node,
  // in node order). New nodes rank after all of them, in order. The walks run when a call
  // finds no ranks, or `ranks_fit` cleared by whoever changed the graph since the last call;
  // otherwise the ranks of the last call go on.
  static constexpr uint32_t kUnranked = UINT32_MAX;
  std::vector<uint32_t> from_root = {}, to_root = {};
  uint32_t next_rank = 0;
  bool ranks_fit = false;

  std::vector<uint32_t> walk_ranks(bool backwards) const {
    std::vector<uint32_t> rank(g.nodes.size(), kUnranked);
    if (!g.entry_point) return rank;
    std::deque<uint32_t> todo = {*g.entry_point};
    uint32_t next = 0;
    rank[*g.entry_point] = next++;
    while (!todo.empty()) {
      const uint32_t u = todo.front();
      todo.pop_front();
      std::vector<uint32_t> step;
      if (backwards) {
        for (uint32_t i = 0; i < g.nodes.size(); ++i) {
          const auto& l = g.layers[0][i];
          if (std::find(l.begin(), l.end(), u) != l.end()) step.push_back(i);
        }
      } else {
        step = g.layers[0][u];
      }
      for (uint32_t v : step) {
        if (rank[v] != kUnranked || !owns_slot(v)) continue;
        rank[v] = next++;
        todo.push_back(v);
      }
    }
    return rank;
  }
  static bool before(const std::vector<uint32_t>& rank, uint32_t a, uint32_t b) {
    return rank[b] != kUnranked && rank[a] < rank[b];
  }
  // Lists of nodes ranked before e (along the links) that name e.
  size_t parents(uint32_t e) const {
    size_t count = 0;
    for (uint32_t i = 0; i < g.nodes.size(); ++i) {
      const auto& l = g.layers[0][i];
      count += before(from_root, i, e) && std::count(l.begin(), l.end(), e) ? 1 : 0;
    }
    return count;
  }
  // Entries of n's list ranked before n (backwards).
  size_t exits(uint32_t n) const {
    size_t count = 0;
    for (uint32_t e : g.layers[0][n]) count += before(to_root, e, n) ? 1 : 0;
    return count;
  }
  bool must_keep(uint32_t owner, uint32_t e) const {
    return (parents(e) == 1 && before(from_root, owner, e)) ||
           (exits(owner) == 1 && before(to_root, e, owner)) ||
           (in_degree(e) == 1 && from_root[e] == kUnranked && owns_slot(e));
  }
  void rank_new(uint32_t node) {
    from_root.resize(g.nodes.size(), kUnranked);
    to_root.resize(g.nodes.size(), kUnranked);
    from_root[node] = to_root[node] = next_rank++;
  }

  // The heuristic with kept pruned connections, as its steps read: must-keep candidates
  // always, any other one when it is nearer to the owner than to every one taken before it
  // (while places remain), then the passed-over ones in order into the places left.
  std::vector<uint32_t> heuristic(const std::vector<ScoredNode>& cands, size_t limit,
                                  bool have_vectors,
                                  const std::function<bool(uint32_t)>& must) const {
    size_t musts = 0;
    for (const ScoredNode& c : cands) musts += must(c.node) ? 1 : 0;
    const size_t room = limit > musts ? limit - musts : 0;
    std::vector<uint32_t> taken, passed;
    size_t others = 0;
    for (const ScoredNode& c : cands) {
      if (must(c.node)) {
        taken.push_back(c.node);
        continue;
      }
      bool nearer_owner = have_vectors && others < room && readable(c.node);
      for (uint32_t t : taken) {
        if (!nearer_owner || !readable(t)) {
          nearer_owner = false;
          break;
        }
        // Strictly nearer the owner, or as near without standing where t stands.
        const float d = distance(metric, vec(c.node), vec(t));
        nearer_owner = better(c.score, d) ||
                       (c.score == d && distance(Metric::L2, vec(c.node), vec(t)) != 0.0f);
      }
      if (nearer_owner) {
        taken.push_back(c.node);
        ++others;
      } else {
        passed.push_back(c.node);
      }
    }
    for (uint32_t p : passed) {
      if (others < room) {
        taken.push_back(p);
        ++others;
      }
    }
    return taken;
  }

  void prune(uint32_t n, size_t layer, uint64_t limit) {
    std::vector<uint32_t>& l = g.layers[layer][n];
    if (l.size() <= limit) return;
    const auto must = [&](uint32_t e) { return layer == 0 && must_keep(n, e); };
    std::vector<ScoredNode> scored;
    if (!readable(n)) {
      for (uint32_t e : l) scored.push_back({e, 0.0f});
      l = heuristic(scored, limit, false, must);
      return;
    }
    // Entries without a vector go before anything is kept.
    std::erase_if(l, [&](uint32_t e) { return !readable(e); });
    for (uint32_t e : l) scored.push_back({e, distance(metric, vec(n), vec(e))});
    sort_best_first(scored);
    l = heuristic(scored, limit, true, must);
  }

  void insert(const std::vector<LiveEntry>& entries) {
    std::vector<LiveEntry> todo;
    for (const LiveEntry& e : entries)
      if (!g.slot_to_node.count(e.slot)) todo.push_back(e);
    if (todo.empty()) return;
    const uint64_t ef = std::min<uint64_t>(g.config.ef_construction, 75);
    if (!ranks_fit) {
      from_root = walk_ranks(false);
      to_root = walk_ranks(true);
      next_rank = uint32_t(g.nodes.size());
      ranks_fit = true;
    }
    for (const LiveEntry& e : todo) {
      const uint8_t level = draw_level(e.slot, g.config.level_multiplier);
      if (!g.entry_point) {
        rank_new(add_node(e.slot, e.id, level));
        continue;
      }
      uint32_t t = *g.entry_point;
      const int old_top = g.max_level;
      const uint32_t nw = add_node(e.slot, e.id, level);
      rank_new(nw);
      if (e.slot >= vectors.slot_count()) continue;
      std::span<const float> q = vectors.slot_view(e.slot);
      // Down to the node's level, then linked on its own layers that the graph had.
      for (int L = old_top; L >= int(level) + 1; --L) t = greedy(q, t, L);
      for (int l = std::min<int>(level, old_top); l >= 0; --l) {
        const std::vector<ScoredNode> cands = search_layer(q, t, l, ef);
        const uint64_t k = l == 0 ? g.config.m0 : g.config.m;
        std::vector<ScoredNode> others;
        for (const ScoredNode& s : cands)
          if (s.node != nw) others.push_back(s);
        const std::vector<uint32_t> sel =
            heuristic(others, k, true, [](uint32_t) { return false; });
        g.layers[l][nw] = sel;
        for (uint32_t n : sel) {
          auto& nl = g.layers[l][n];
          if (std::find(nl.begin(), nl.end(), nw) == nl.end()) nl.push_back(nw);
          prune(n, l, l == 0 ? g.config.m0 : g.config.m_max);
        }
        if (!cands.empty()) t = cands[0].node;
      }
    }
  }
};

void expect_same_graph(const HnswGraph& got, const RefGraph& want) {
  ASSERT_EQ(got.node_count(), want.nodes.size());
  for (uint32_t i = 0; i < got.node_count(); ++i) {
    EXPECT_EQ(got.id(i), want.nodes[i].id) << i;
    EXPECT_EQ(got.slot(i), want.nodes[i].slot) << i;
    EXPECT_EQ(got.level(i), want.nodes[i].level) << i;
  }
  EXPECT_EQ(got.entry_point, want.entry_point);
  EXPECT_EQ(got.max_level, want.max_level);
  ASSERT_EQ(got.layer_count(), want.layers.size());
  for (size_t l = 0; l < want.layers.size(); ++l)
    for (uint32_t i = 0; i < got.node_count(); ++i)
      EXPECT_EQ(list_of(got, l, i), want.layers[l][i]) << "layer " << l << " node " << i;
  std::map<uint64_t, uint32_t> map(got.slot_to_node.begin(), got.slot_to_node.end());
  EXPECT_EQ(map, want.slot_to_node);
}

// Lists hold valid, distinct indices, never the owner, on every layer for every node.
void expect_sound_lists(const HnswGraph& g) {
  for (size_t l = 0; l < g.layer_count(); ++l)
    for (uint32_t i = 0; i < g.node_count(); ++i) {
      std::set<uint32_t> seen;
      for (uint32_t n : g.neighbors(l, i)) {
        EXPECT_LT(n, g.node_count());
        EXPECT_NE(n, i);
        EXPECT_TRUE(seen.insert(n).second) << "duplicate in layer " << l << " node " << i;
      }
    }
}

// ---------------------------------------------------------------------------------------

// A one-node graph grown by 41 records, checked against the reference: node order, levels,
// entry point, slot map and every list. Duplicate vectors make equal scores, and one
// record has no readable slot. The records come in one call, or in four, where the road
// goes on from the state it kept, which gives the graph of one call; or in four with a
// record's slot taken out of the graph before the last, where the road ranks afresh.
TEST(HnswInsert, GrowsExactlyAsTheReferenceInsertion) {
  struct Case {
    const char* name;
    Metric metric;
    HnswConfig config;
  };
  const Case cases[] = {
      {"narrow L2", Metric::L2, small_config(3, 5, 2, 8, 10, 1.0 / std::log(3.0))},
      {"narrow cosine", Metric::Cosine, small_config(3, 5, 2, 8, 10, 1.0 / std::log(3.0))},
      // ef above the cap, wide lists: candidate lists beyond 20 entries.
      {"wide dot", Metric::Dot, small_config(6, 12, 4, 500, 10, 1.0 / std::log(6.0))},
  };
  struct Schedule {
    const char* name;
    std::vector<size_t> calls;  // records added by each call
    bool unindex_before_last;
  };
  const Schedule schedules[] = {
      {"one call", {41}, false},
      {"four calls", {2, 9, 20, 10}, false},
      {"four calls, a slot out of the graph before the last", {2, 9, 20, 10}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    constexpr size_t kDims = 6;
    VectorsAndRecords w(kDims);
    std::mt19937 rng(11);
    std::vector<std::vector<float>> made;
    std::vector<LiveEntry> entries;
    for (size_t i = 0; i < 41; ++i) {
      std::vector<float> v = i % 7 == 6 ? made[i / 2] : testing::random_vector(rng, kDims);
      made.push_back(v);
      const uint64_t slot = w.add_vector(prepare_vector(c.metric, v));
      entries.push_back({slot, "r" + std::to_string(i)});
    }
    entries.push_back({w.vectors.slot_count() + 3, "unreadable"});
    std::swap(entries[20], entries.back());
    const LiveEntry seed = entries[0];
    entries.erase(entries.begin());

    std::optional<HnswGraph> in_one_call;
    for (const Schedule& sc : schedules) {
      SCOPED_TRACE(sc.name);
      HnswGraph g;
      g.config = c.config;
      add_node(g, seed.slot, seed.id, draw_level(seed.slot, c.config.level_multiplier));
      RefGraph ref;
      ref.config = c.config;
      RefInserter r{ref, w.vectors, c.metric};
      r.add_node(seed.slot, seed.id, draw_level(seed.slot, c.config.level_multiplier));
      HnswIndex index(std::move(g), c.metric);
      auto next = entries.begin();
      for (size_t k = 0; k < sc.calls.size(); ++k) {
        if (sc.unindex_before_last && k + 1 == sc.calls.size()) {
          const uint64_t gone = entries[3].slot;
          ASSERT_EQ(index.write_graph()->slot_to_node.erase(gone), 1u);
          ref.slot_to_node.erase(gone);
          r.ranks_fit = false;
          EXPECT_FALSE(TEST_road_state_kept(index));
        }
        const std::vector<LiveEntry> part(next, next + sc.calls[k]);
        next += sc.calls[k];
        insert_nodes(index, part, w.vectors);
        r.insert(part);
        EXPECT_TRUE(TEST_road_state_kept(index));
        EXPECT_EQ(TEST_road_state_mismatch(index), "");
      }
      const HnswIndex::GraphRead got = index.read_graph();
      ASSERT_EQ(got->node_count(), 42u);
      EXPECT_GT(got->max_level, 0);
      expect_same_graph(*got, ref);
      expect_sound_lists(*got);
      if (!in_one_call) {
        in_one_call = *got;
      } else if (!sc.unindex_before_last) {
        EXPECT_TRUE(*got == *in_one_call);
      }
    }
  }
}

// Builds a graph from `count` random records with the config, starting empty.
struct Grown {
  VectorsAndRecords w{8};
  std::vector<LiveEntry> entries;
  std::unique_ptr<HnswIndex> index;

  Grown(const HnswConfig& config, size_t count, Metric metric = Metric::L2) {
    std::mt19937 rng(3);
    for (size_t i = 0; i < count; ++i) {
      const uint64_t slot = w.add_vector(testing::random_vector(rng, 8));
      entries.push_back({slot, "r" + std::to_string(i)});
    }
    HnswGraph g;
    g.config = config;
    index = std::make_unique<HnswIndex>(std::move(g), metric);
    insert_nodes(*index, entries, w.vectors);
  }
  HnswGraph graph() const { return *index->read_graph(); }
};

TEST(HnswInsert, BeamWidthIsCappedAt75) {
  const double mult = 1.0 / std::log(4.0);
  const HnswGraph at75 = Grown(small_config(4, 8, 4, 75, 10, mult), 300).graph();
  HnswGraph at500 = Grown(small_config(4, 8, 4, 500, 10, mult), 300).graph();
  const HnswGraph at40 = Grown(small_config(4, 8, 4, 40, 10, mult), 300).graph();
  at500.config.ef_construction = 75;
  EXPECT_TRUE(at500 == at75);
  HnswGraph at40_as_75 = at40;
  at40_as_75.config.ef_construction = 75;
  EXPECT_FALSE(at40_as_75 == at75);  // the beam does matter at this size
}

// A beam of 0 finds no candidates: no node gets a neighbour, yet levels still move the
// entry point.
TEST(HnswInsert, BeamOfZeroLinksNothing) {
  const Grown grown(small_config(4, 8, 4, 0, 10, 1.0), 60);
  const HnswGraph g = grown.graph();
  ASSERT_EQ(g.node_count(), 60u);
  for (size_t l = 0; l < g.layer_count(); ++l)
    for (uint32_t i = 0; i < g.node_count(); ++i) EXPECT_TRUE(g.neighbors(l, i).empty());
  uint8_t top = 0;
  uint32_t first_top = 0;
  for (uint32_t i = 0; i < g.node_count(); ++i)
    if (g.level(i) > top) top = g.level(i), first_top = i;
  ASSERT_GT(top, 0);
  EXPECT_EQ(g.max_level, top);
  EXPECT_EQ(g.entry_point, first_top);
}

// m = 0 leaves every list above layer 0 empty (no selection, so no back-links); m0 = 0 does
// the same on layer 0. The other layers are linked.
TEST(HnswInsert, ZeroDegreesLeaveTheirLayersEmpty) {
  struct Case {
    uint64_t m, m0;
    bool layer0_empty, upper_empty;
  };
  for (const Case& c : {Case{0, 8, false, true}, Case{4, 0, true, false}}) {
    SCOPED_TRACE(::testing::Message() << "m " << c.m << " m0 " << c.m0);
    const HnswGraph g = Grown(small_config(c.m, c.m0, 4, 20, 10, 1.0), 80).graph();
    ASSERT_GT(g.layer_count(), 1u);
    size_t links0 = 0, links_up = 0;
    for (size_t l = 0; l < g.layer_count(); ++l)
      for (uint32_t i = 0; i < g.node_count(); ++i)
        (l == 0 ? links0 : links_up) += g.neighbors(l, i).size();
    EXPECT_EQ(links0 == 0, c.layer0_empty);
    EXPECT_EQ(links_up == 0, c.upper_empty);
  }
}

// List lengths: a node's own selection holds up to m0 (layer 0) or m entries; lists cut by
// pruning hold at most m0 or m_max. With m_max below m, only lists that received a link
// after the node's own selection are cut to m_max.
TEST(HnswInsert, DegreeLimits) {
  const HnswGraph g = Grown(small_config(6, 8, 2, 40, 10, 1.0 / std::log(2.0)), 400).graph();
  expect_sound_lists(g);
  size_t above_m_max = 0;
  for (uint32_t i = 0; i < g.node_count(); ++i) {
    EXPECT_LE(g.neighbors(0, i).size(), 8u);
    for (size_t l = 1; l < g.layer_count(); ++l) {
      EXPECT_LE(g.neighbors(l, i).size(), 6u);
      if (g.neighbors(l, i).size() > 2) ++above_m_max;
    }
  }
  EXPECT_GT(above_m_max, 0u);  // own selections beyond m_max do occur
}

// P's layer-0 list is full (m0 = 3) when x links back to it: the list is re-scored against
// P, the unreadable entry dropped, and the 3 nearest kept best first. b's list reaches
// exactly the limit and keeps its order. (a is named by b, which the walk from P reaches
// before a, so P's link is not a's last way in.)
TEST(HnswInsert, PruningKeepsTheNearestBestFirst) {
  LineWorld w;
  HnswGraph g;
  g.config = small_config(3, 3, 3, 20, 10, 0.0);
  const uint32_t p = put_node(g, "p", w.at(0));
  const uint32_t a = put_node(g, "a", w.at(3));
  const uint32_t b = put_node(g, "b", w.at(1));
  const uint32_t c = put_node(g, "c", w.at(2));
  const uint32_t u = put_node(g, "u", 9000);
  set_list(g, 0, p, {b, c, u, a});
  set_list(g, 0, a, {p});
  set_list(g, 0, b, {p, a});
  set_list(g, 0, c, {p});
  g.entry_point = p;
  const uint64_t x_slot = w.at(-0.5f);
  HnswIndex index(std::move(g), Metric::L2);
  insert_nodes(index, std::vector<LiveEntry>{{x_slot, "x"}}, w.vectors);
  const HnswIndex::GraphRead r = index.read_graph();
  const uint32_t x = 5;
  ASSERT_EQ(r->node_count(), 6u);
  EXPECT_EQ(list_of(*r, 0, x), (std::vector<uint32_t>{p, b, c}));
  EXPECT_EQ(list_of(*r, 0, p), (std::vector<uint32_t>{x, b, c}));
  EXPECT_EQ(list_of(*r, 0, b), (std::vector<uint32_t>{p, a, x}));  // at the limit: as it was
  EXPECT_EQ(list_of(*r, 0, c), (std::vector<uint32_t>{p, x}));
  EXPECT_EQ(list_of(*r, 0, a), (std::vector<uint32_t>{p}));
}

// On layer 1 (m = 4, m_max = 3) x selects all four candidates, the unreadable entry point
// P last; P's list overflows and, with no vector of its own, is cut by position. x's own
// list keeps its four entries.
TEST(HnswInsert, UnreadableOwnerIsCutByPositionAndOwnSelectionIsNotPruned) {
  LineWorld w;
  const uint64_t sa = w.at(3), sb = w.at(1), sx = w.at(-0.5f), sc = w.at(2);
  ASSERT_EQ(draw_level(sx, 1.0), 1);
  HnswGraph g;
  g.config = small_config(4, 8, 3, 20, 10, 1.0);
  const uint32_t p = put_node(g, "p", 9000, 1);
  const uint32_t a = put_node(g, "a", sa, 1);
  const uint32_t b = put_node(g, "b", sb, 1);
  const uint32_t c = put_node(g, "c", sc, 1);
  for (size_t l : {0, 1}) {
    set_list(g, l, p, {a, b, c});
    set_list(g, l, a, {p});
    set_list(g, l, b, {p});
    set_list(g, l, c, {p});
  }
  g.entry_point = p;
  g.max_level = 1;
  HnswIndex index(std::move(g), Metric::L2);
  insert_nodes(index, std::vector<LiveEntry>{{sx, "x"}}, w.vectors);
  const HnswIndex::GraphRead r = index.read_graph();
  const uint32_t x = 4;
  EXPECT_EQ(list_of(*r, 1, x), (std::vector<uint32_t>{b, c, a, p}));
  EXPECT_EQ(list_of(*r, 1, p), (std::vector<uint32_t>{a, b, c}));
  EXPECT_EQ(list_of(*r, 1, b), (std::vector<uint32_t>{p, x}));
  EXPECT_EQ(list_of(*r, 0, x), (std::vector<uint32_t>{b, c, a, p}));
  EXPECT_EQ(list_of(*r, 0, p), (std::vector<uint32_t>{a, b, c, x}));
}

// A node above max_level becomes the entry point. It is linked only on the layers the graph
// already had: above them its lists stay empty, and the old entry point gets no list on a
// layer above its own level.
TEST(HnswInsert, HigherNodeBecomesTheEntryPointLinkedOnlyBelowTheOldTop) {
  LineWorld w;
  for (int i = 0; i < 8; ++i) w.at(float(i));
  ASSERT_EQ(draw_level(0, 1.0), 0);
  ASSERT_EQ(draw_level(3, 1.0), 2);
  ASSERT_EQ(draw_level(7, 1.0), 3);
  struct Case {
    const char* name;
    uint64_t old_slot;
    uint8_t old_level;
  };
  for (const Case& c : {Case{"from level 0", 0, 0}, Case{"from level 2", 3, 2}}) {
    SCOPED_TRACE(c.name);
    HnswGraph g;
    g.config = small_config(4, 8, 4, 20, 10, 1.0);
    add_node(g, c.old_slot, "low", c.old_level);
    HnswIndex index(std::move(g), Metric::L2);
    insert_nodes(index, std::vector<LiveEntry>{{7, "high"}}, w.vectors);
    const HnswIndex::GraphRead r = index.read_graph();
    EXPECT_EQ(r->entry_point, 1u);
    EXPECT_EQ(r->max_level, 3);
    ASSERT_EQ(r->layer_count(), 4u);
    for (size_t l = 0; l < 4; ++l) {
      const bool shared = l <= c.old_level;
      EXPECT_EQ(list_of(*r, l, 1), shared ? std::vector<uint32_t>{0} : std::vector<uint32_t>{})
          << l;
      EXPECT_EQ(list_of(*r, l, 0), shared ? std::vector<uint32_t>{1} : std::vector<uint32_t>{})
          << l;
    }
  }
}

// Every list on layer l names only nodes whose level is at least l, and no node has a list
// above its level.
void expect_lists_on_own_layers(const HnswGraph& g) {
  for (size_t l = 1; l < g.layer_count(); ++l) {
    for (uint32_t i = 0; i < g.node_count(); ++i) {
      const auto list = g.neighbors(l, i);
      if (g.level(i) < l) {
        EXPECT_TRUE(list.empty()) << "node " << i << " on layer " << l;
      }
      for (uint32_t e : list) {
        EXPECT_GE(g.level(e), l) << "node " << i << " names " << e << " on layer " << l;
      }
    }
  }
}

// Graphs grown in steps from one node, on every metric: a rebuilt node and then forty on the
// road (where a node above the top used to link to the old entry point on layers it is
// not on), and a graph grown in several steps with tall levels, so that the entry point
// moves up many times.
TEST(HnswInsert, LinksStayOnTheNodesOwnLayers) {
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::Dot}) {
    SCOPED_TRACE(metric_name(metric));
    struct Case {
      const char* name;
      HnswConfig config;
      std::vector<size_t> steps;  // records added by each call, after one rebuilt record
    };
    const Case cases[] = {
        {"m 4, m0 8, one step of 40", small_config(4, 8, 4, 10, 10, 1.0 / std::log(4.0)), {40}},
        {"tall levels, five steps", small_config(3, 6, 2, 20, 10, 1.5), {1, 2, 10, 40, 150}},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      VectorsAndRecords w(8);
      std::mt19937 rng(21);
      std::vector<LiveEntry> entries;
      size_t total = 1;
      for (size_t n : c.steps) total += n;
      for (size_t i = 0; i < total; ++i) {
        entries.push_back({w.add_vector(prepare_vector(metric, testing::random_vector(rng, 8))),
                           "r" + std::to_string(i)});
      }
      HnswIndex index(rebuild_graph({entries[0]}, w.vectors, 8, c.config, metric).graph, metric);
      size_t at = 1;
      uint8_t tops = 0;
      for (size_t n : c.steps) {
        const uint8_t top = index.read_graph()->max_level;
        insert_nodes(index, std::span(entries).subspan(at, n), w.vectors);
        at += n;
        EXPECT_TRUE(TEST_road_state_kept(index));
        EXPECT_EQ(TEST_road_state_mismatch(index), "");
        const HnswIndex::GraphRead g = index.read_graph();
        tops += g->max_level > top;
        expect_lists_on_own_layers(*g);
        expect_sound_lists(*g);
      }
      EXPECT_GT(tops, 0);  // the entry point moved up at least once
    }
  }
}

// A graph without an entry point (possible in a loaded file): the first record becomes it
// without neighbours; a record without a readable slot becomes a node without neighbours
// and the insertion goes on.
TEST(HnswInsert, EmptyGraphAndUnreadableSlots) {
  LineWorld w;
  const uint64_t s0 = w.at(0), s1 = w.at(1), s2 = w.at(2);
  HnswGraph g;
  g.config = small_config(4, 8, 4, 20, 10, 0.0);
  HnswIndex index(std::move(g), Metric::L2);
  insert_nodes(index, std::vector<LiveEntry>{{s0, "a"}, {5000, "gone"}, {s1, "b"}, {s2, "c"}},
               w.vectors);
  const HnswIndex::GraphRead r = index.read_graph();
  ASSERT_EQ(r->node_count(), 4u);
  EXPECT_EQ(r->entry_point, 0u);
  EXPECT_EQ(r->slot_to_node.at(5000), 1u);
  EXPECT_TRUE(r->neighbors(0, 1).empty());  // and nobody links to it
  EXPECT_EQ(list_of(*r, 0, 0), (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(list_of(*r, 0, 2), (std::vector<uint32_t>{0, 3}));
  EXPECT_EQ(list_of(*r, 0, 3), (std::vector<uint32_t>{2, 0}));
}

TEST(HnswInsert, SameEntriesTwiceAddNothing) {
  Grown grown(small_config(4, 8, 4, 20, 10, 1.0), 50);
  const HnswGraph once = grown.graph();
  insert_nodes(*grown.index, grown.entries, grown.w.vectors);
  EXPECT_TRUE(grown.graph() == once);
  std::vector<LiveEntry> again = grown.entries;
  retain_unindexed(again, *grown.index);
  EXPECT_TRUE(again.empty());
}

TEST(HnswInsert, LayerSearchBeamOfZeroAndOne) {
  LineWorld w;
  HnswGraph g;
  g.config = small_config();
  const uint32_t a = put_node(g, "a", w.at(0));
  const uint32_t b = put_node(g, "b", w.at(1));
  set_list(g, 0, a, {b});
  const std::vector<float> q = {5, 0};
  EXPECT_TRUE(search_layer_for_insert(g, q, a, 0, 0, w.vectors, Metric::L2).empty());
  EXPECT_EQ(search_layer_for_insert(g, q, a, 0, 1, w.vectors, Metric::L2),
            (std::vector<ScoredNode>{{b, 16.0f}}));
  EXPECT_EQ(search_layer_for_insert(g, q, a, 0, 5, w.vectors, Metric::L2),
            (std::vector<ScoredNode>{{b, 16.0f}, {a, 25.0f}}));
  EXPECT_EQ(search_layer_for_insert(g, q, a, 7, 5, w.vectors, Metric::L2),
            (std::vector<ScoredNode>{{a, 25.0f}}));  // no such layer
}

TEST(HnswInsert, SortsAreStableBothWays) {
  for (size_t n : {5, 20, 21, 64, 300}) {
    std::mt19937 rng{static_cast<unsigned>(n)};
    std::uniform_int_distribution<int> d(0, 6);
    std::vector<ScoredNode> list;
    for (size_t i = 0; i < n; ++i) list.push_back({uint32_t(i), float(d(rng))});
    for (bool hib : {true, false}) {
      auto best = list, worst = list, want_best = list, want_worst = list;
      sort_scored_best_first(best, hib);
      sort_scored_worst_first(worst, hib);
      std::stable_sort(want_best.begin(), want_best.end(), [&](auto& a, auto& b) {
        return hib ? a.score > b.score : a.score < b.score;
      });
      std::stable_sort(want_worst.begin(), want_worst.end(), [&](auto& a, auto& b) {
        return hib ? a.score < b.score : a.score > b.score;
      });
      EXPECT_EQ(best, want_best) << n;
      EXPECT_EQ(worst, want_worst) << n;
      // A sorted prefix with a tail appended gives the same as the whole sort.
      for (size_t split : {size_t{0}, n / 3, n - 1}) {
        auto head = std::vector<ScoredNode>(want_best.begin(), want_best.begin() + split);
        std::vector<ScoredNode> tail(list.begin(), list.begin() + (n - split));
        auto joined = head;
        joined.insert(joined.end(), tail.begin(), tail.end());
        auto want = joined;
        std::stable_sort(want.begin(), want.end(), [&](auto& a, auto& b) {
          return hib ? a.score > b.score : a.score < b.score;
        });
        std::vector<ScoredNode> buffer;
        resort_scored_best_first(joined, split, hib, buffer);
        EXPECT_EQ(joined, want) << n << " split " << split;
      }
    }
  }
  std::vector<ScoredNode> with_nan;
  for (int i = 0; i < 50; ++i)
    with_nan.push_back({uint32_t(i), i % 3 == 0 ? std::nanf("") : float(i % 7)});
  sort_scored_best_first(with_nan, false);  // accepted; the order of NaN is free
  EXPECT_EQ(with_nan.size(), 50u);
}

// Which live records count as indexed: only those whose slot a node with their id owns.
TEST(HnswInsert, RetainUnindexed) {
  HnswGraph g;
  put_node(g, "a", 1);
  put_node(g, "b", 2);
  const uint32_t old = put_node(g, "c", 3);
  put_node(g, "d", 3);      // took slot 3 from "c"
  g.slot_to_node.erase(2);  // "b" was deleted
  (void)old;
  HnswIndex index(std::move(g), Metric::L2);
  std::vector<LiveEntry> entries = {
      {1, "a"},    // indexed
      {2, "b2"},   // reuses a deleted slot
      {3, "c"},    // its slot belongs to "d" now
      {3, "d"},    // indexed
      {1, "a2"},   // slot owned by another id
      {9, "new"},  // unknown slot
  };
  retain_unindexed(entries, index);
  std::vector<std::string> ids;
  for (const LiveEntry& e : entries) ids.push_back(e.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"b2", "c", "a2", "new"}));
}

// A new record on a slot whose record was removed must be indexed and found. Two routes
// lead there: a delete (the slot joins the deleted set and leaves the slot map) and
// compaction of an expired record (its node keeps the slot in the map).
TEST(HnswInsert, RecordOnAReusedSlotIsIndexedAndFound) {
  for (bool via_delete : {true, false}) {
    SCOPED_TRACE(via_delete ? "delete" : "compaction");
    Grown grown(small_config(4, 8, 4, 20, 10, 1.0), 40);
    VectorsAndRecords& w = grown.w;
    std::vector<std::pair<std::string, uint64_t>> records;
    for (const LiveEntry& e : grown.entries) records.emplace_back(e.id, e.slot);
    w.put_all(records);
    const uint64_t reused = grown.entries[7].slot;
    w.remove("r7");
    if (via_delete) {
      grown.index->write_deleted()->insert(reused);
      grown.index->write_graph()->slot_to_node.erase(reused);
    }
    std::mt19937 rng(99);
    const std::vector<float> v = testing::random_vector(rng, 8);
    w.set_vector(reused, v);
    w.put("fresh", reused);
    const std::vector<float> v2 = testing::random_vector(rng, 8);
    const uint64_t extra = w.add_vector(v2);
    w.put("extra", extra);

    std::vector<LiveEntry> live;
    for (const LiveEntry& e : grown.entries)
      if (e.id != "r7") live.push_back(e);
    live.push_back({reused, "fresh"});
    live.push_back({extra, "extra"});
    retain_unindexed(live, *grown.index);
    ASSERT_EQ(live.size(), 2u);
    insert_nodes(*grown.index, live, w.vectors);
    for (const auto& [q, id] : {std::pair{v, "fresh"}, std::pair{v2, "extra"}}) {
      auto hits = hnsw_search(*grown.index, q, 5, w.vectors, *w.store);
      ASSERT_TRUE(hits.has_value());
      ASSERT_FALSE(hits->empty());
      EXPECT_EQ((*hits)[0].id, id);
      EXPECT_EQ((*hits)[0].score, 0.0f);
      for (const SearchHit& h : *hits) EXPECT_NE(h.id, "r7");
    }
  }
}

// ---------------------------------------------------------------------------------------
// The selection heuristic on hand-built candidate lists. Each case gives the owner and the
// candidates as points, and the cut worked out from their distances.

TEST(HnswSelect, HeuristicCutsOnHandBuiltLists) {
  using P = std::array<float, 2>;
  struct Case {
    const char* name;
    Metric metric;
    P owner;
    std::vector<P> points;  // candidate i is node i, given best first against the owner
    size_t limit;
    std::set<uint32_t> must, unreadable;
    std::vector<uint32_t> kept, dropped;
  };
  // L2 around O = (0, 0): A (1, 0), C (0, 1), D (-1, 0) each at 1 from O, B (1.1, 0.1) at
  // 1.22, E (2, 0) at 4. A is taken; C is nearer O (1) than A (2), D nearer O (1) than A (4)
  // and C (2): both taken. B is nearer A (0.02) and E nearer A (1) than O: passed over.
  const P o{0, 0};
  const std::vector<P> five = {{1, 0}, {0, 1}, {-1, 0}, {1.1f, 0.1f}, {2, 0}};
  enum : uint32_t { A, C, D, B, E };
  // Cosine around (1, 0): p at 10 degrees, q at 15, r at -30, s at 60 (scores .985, .966,
  // .866, .5). q is nearer p (cos 5) than the owner, r nearer the owner than p (cos 40), s
  // nearer p (cos 50 = .643 > .5).
  const auto unit = [](float deg) {
    const float r = deg * float(M_PI) / 180.0f;
    return P{std::cos(r), std::sin(r)};
  };
  const Case cases[] = {
      {"diverse ones, then the nearest passed-over one fills",
       Metric::L2,
       o,
       five,
       4,
       {},
       {},
       {A, C, D, B},
       {E}},
      {"exactly the diverse ones", Metric::L2, o, five, 3, {}, {}, {A, C, D}, {B, E}},
      {"the limit stops the first pass", Metric::L2, o, five, 2, {}, {}, {A, C}, {D, B, E}},
      {"a must-keep link takes the place of the next candidate",
       Metric::L2,
       o,
       five,
       3,
       {E},
       {},
       {A, C, E},
       {D, B}},
      {"must-keep links beyond the limit all stay",
       Metric::L2,
       o,
       five,
       2,
       {D, B, E},
       {},
       {D, B, E},
       {A, C}},
      {"a candidate without a vector only fills",
       Metric::L2,
       o,
       five,
       3,
       {},
       {C},
       {A, D, C},
       {B, E}},
      // F (0.5, 1) is 1.25 from both O and A: as near to the owner as to a taken one, and
      // not standing where it stands, F is taken.
      {"a tie with a taken one keeps nobody out",
       Metric::L2,
       o,
       {{1, 0}, {0.5f, 1}},
       2,
       {},
       {},
       {0, 1},
       {}},
      // A2 stands where A stands: a copy of a taken candidate is passed over, and fills.
      {"a copy of a taken one is passed over",
       Metric::L2,
       o,
       {{1, 0}, {1, 0}, {0, 1}},
       2,
       {},
       {},
       {0, 2},
       {1}},
      // O2 and O3 stand where the owner stands, as near to every candidate as the owner:
      // the first is taken and keeps no other candidate out, the second is its copy.
      {"a copy of the owner keeps nobody out",
       Metric::L2,
       o,
       {{0, 0}, {0, 0}, {1, 0}, {0, 1}, {1.1f, 0.1f}},
       3,
       {},
       {},
       {0, 2, 3},
       {1, 4}},
      {"a copy of the owner keeps nobody out, for dot too",
       Metric::Dot,
       {1, 0},
       {{1, 0}, {1, 0}, {0.8f, 0.6f}, {0.6f, -0.8f}},
       2,
       {},
       {},
       {0, 2},
       {1, 3}},
      {"higher is better for cosine",
       Metric::Cosine,
       unit(0),
       {unit(10), unit(15), unit(-30), unit(60)},
       3,
       {},
       {},
       {0, 2, 1},
       {3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ScoredNode> cands;
    for (uint32_t i = 0; i < c.points.size(); ++i) {
      cands.push_back({i, distance(c.metric, c.owner.data(), c.points[i].data(), 2)});
    }
    std::vector<ScoredNode> sorted = cands;
    sort_scored_best_first(sorted, higher_is_better(c.metric));
    ASSERT_EQ(sorted, cands) << "the points must be given best first";
    const auto vector_of = [&](uint32_t n) -> const float* {
      return c.unreadable.count(n) ? nullptr : c.points[n].data();
    };
    std::vector<uint32_t> out;
    SelectScratch scratch;
    select_neighbors_heuristic(
        cands, c.limit, vector_of, PairDistance(c.metric, 2), higher_is_better(c.metric),
        [&](uint32_t n) { return c.must.count(n) > 0; }, out, scratch);
    EXPECT_EQ(out, c.kept);
    EXPECT_EQ(scratch.dropped, c.dropped);
  }
}

// On a line, m0 = 2, all on layer 0: p 0 (the entry point), a 1, b -1, q 5, with lists
// p [a, q], a [p, b], b [p, a], q [p]. q and b each have a single way in (from p, from a).
HnswGraph line_of_four(LineWorld& w) {
  HnswGraph g;
  g.config = small_config(2, 2, 2, 20, 10, 0.0);
  const uint32_t p = put_node(g, "p", w.at(0));
  const uint32_t a = put_node(g, "a", w.at(1));
  const uint32_t b = put_node(g, "b", w.at(-1));
  const uint32_t q = put_node(g, "q", w.at(5));
  set_list(g, 0, p, {a, q});
  set_list(g, 0, a, {p, b});
  set_list(g, 0, b, {p, a});
  set_list(g, 0, q, {p});
  g.entry_point = p;
  return g;
}

// Layer 0 only: the nodes that own their slot and that the entry point does not reach, or
// that do not reach the entry point, counted separately.
struct OutOfReach {
  size_t not_reached = 0, not_reaching = 0;
};
OutOfReach out_of_reach(const HnswGraph& g) {
  const uint32_t n = g.node_count();
  std::vector<std::vector<uint32_t>> named_by(n);
  for (uint32_t i = 0; i < n; ++i)
    for (uint32_t e : g.neighbors(0, i)) named_by[e].push_back(i);
  OutOfReach out;
  for (bool backwards : {false, true}) {
    std::vector<bool> seen(n, false);
    std::vector<uint32_t> todo = {*g.entry_point};
    seen[*g.entry_point] = true;
    while (!todo.empty()) {
      const uint32_t c = todo.back();
      todo.pop_back();
      const auto next = backwards ? std::span<const uint32_t>(named_by[c]) : g.neighbors(0, c);
      for (uint32_t e : next) {
        if (!seen[e]) seen[e] = true, todo.push_back(e);
      }
    }
    for (uint32_t i = 0; i < n; ++i) {
      if (!seen[i] && owns_slot(g, i)) ++(backwards ? out.not_reaching : out.not_reached);
    }
  }
  return out;
}

void expect_strongly_connected(const HnswGraph& g) {
  const OutOfReach out = out_of_reach(g);
  EXPECT_EQ(out.not_reached, 0u) << "nodes the entry point does not reach";
  EXPECT_EQ(out.not_reaching, 0u) << "nodes that do not reach the entry point";
}

// A cut on layer 0 never takes away what keeps a node that owns its slot in reach: the last
// link into it from a node the walk from the entry point reaches before it (its parent),
// nor the owner's last link to a node the walk along the links backwards reaches before
// the owner (its exit). A new node's parent is the first neighbour it chose. Those links
// stay and the next candidates go instead, even past the limit. Counting the links into a
// node is not enough: the last two cases cut a link that was not any node's last way in
// and still strand a group (an island nobody outside names, a trap that names nobody
// outside).
TEST(HnswInsert, LayerZeroCutsKeepEveryNodeInReach) {
  using P = std::array<float, 2>;
  struct Case {
    const char* name;
    std::vector<P> points;                     // node i is at points[i]; node 0 is the entry
    std::vector<std::vector<uint32_t>> lists;  // layer 0, before
    uint64_t m0;
    P x;                                       // the new node, index points.size()
    std::vector<std::vector<uint32_t>> after;  // layer 0, every node, x last
  };
  const Case cases[] = {
      // On a line: p 0, a 1, b -1, q 5; x = 0.4 takes p (.16) and a (.36, nearer x than p).
      // p's list [a, q, x] (x .16, a 1, q 25) keeps all three: p is x's parent, and the
      // walk reaches a and q from p first (b, which also names a, comes after a). a's list
      // [p, b, x] (x .36, p 1, b 4): p is a's exit and a is b's parent, so x goes.
      {"parents and exits stay, past the limit",
       {{0, 0}, {1, 0}, {-1, 0}, {5, 0}},
       {{1, 3}, {0, 2}, {0, 1}, {0}},
       2,
       {0.4f, 0},
       {{4, 1, 3}, {0, 2}, {0, 1}, {0}, {0, 1}}},
      // In the plane: n (0, 0), N (0, 1), S (0, -1); x = (3, 0.1) is nearest to n (9.01),
      // then N (9.81), S (10.21), and takes n, then N. n's list [N, S, x] by distance to n
      // (N 1, S 1, x 9.01): n is N's and x's parent, S is also named by N, which the walk
      // reaches first: S goes, not x. N's list [n, S, x] (n 1, S 4, x 9.81): n is N's exit,
      // N now S's parent, and x is still named by n: x goes.
      {"the farthest link that is a node's last way in stays",
       {{0, 0}, {0, 1}, {0, -1}},
       {{1, 2}, {0, 2}, {0, 1}},
       2,
       {3, 0.1f},
       {{1, 3}, {0, 2}, {0, 1}, {0, 1}}},
      // p 0, a 10, b 11 with p [a], a [p, b], b [a]; x = -1 takes p (m0 = 1). p's list
      // [a, x] (x 1, a 100): two lists name a (p and b), yet dropping p's link would leave
      // a and b naming only each other, and nothing outside naming them.
      {"no island",
       {{0, 0}, {10, 0}, {11, 0}},
       {{1}, {0, 2}, {1}},
       1,
       {-1, 0},
       {{3, 1}, {0, 2}, {1}, {0}}},
      // p 0, a 10, b 11, c -5 with p [a, c], a [p, b], b [a], c [p]; x = 10.4 takes a. a's
      // list [p, b, x] (x .16, b 1, p 100): two lists name p (a and c), yet dropping a's
      // link to p would leave a, b and x naming only each other: a walk that got in
      // could never get out to c.
      {"no trap",
       {{0, 0}, {10, 0}, {11, 0}, {-5, 0}},
       {{1, 3}, {0, 2}, {1}, {0}},
       1,
       {10.4f, 0},
       {{1, 3}, {4, 2, 0}, {1}, {0}, {1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VectorsAndRecords w(2);
    HnswGraph g;
    g.config = small_config(2, c.m0, 2, 20, 10, 0.0);
    for (size_t i = 0; i < c.points.size(); ++i) {
      put_node(g, "n" + std::to_string(i), w.add_vector(c.points[i]));
    }
    for (uint32_t i = 0; i < c.lists.size(); ++i) g.set_neighbors(0, i, c.lists[i]);
    g.entry_point = 0;
    const uint64_t sx = w.add_vector(c.x);
    HnswIndex index(std::move(g), Metric::L2);
    insert_nodes(index, std::vector<LiveEntry>{{sx, "x"}}, w.vectors);
    const HnswIndex::GraphRead r = index.read_graph();
    ASSERT_EQ(r->node_count(), c.after.size());
    for (uint32_t i = 0; i < c.after.size(); ++i) EXPECT_EQ(list_of(*r, 0, i), c.after[i]) << i;
    expect_strongly_connected(*r);
  }
}

// A node whose slot left the graph (its record deleted or compacted) needs no way in: the
// cut treats its last link like any other.
TEST(HnswInsert, NodesWithoutTheirSlotLoseTheirLastLinkLikeAnyOther) {
  LineWorld w;
  HnswGraph g = line_of_four(w);
  enum : uint32_t { p, a, b, q };
  g.slot_to_node.erase(g.slot(q));  // q's record was deleted
  const uint64_t sx = w.at(0.4f);
  HnswIndex index(std::move(g), Metric::L2);
  insert_nodes(index, std::vector<LiveEntry>{{sx, "x"}}, w.vectors);
  const HnswIndex::GraphRead r = index.read_graph();
  EXPECT_EQ(list_of(*r, 0, p), (std::vector<uint32_t>{4, a}));  // q went, the heuristic's cut
}

// Clustered records with near-duplicates and outliers, 2,000 of them added one by one to a
// rebuilt graph of 200: on layer 0 the entry point reaches every node and every node
// reaches the entry point.
TEST(HnswInsert, ARebuiltGraphGrownBy2000StaysConnected) {
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::Dot}) {
    SCOPED_TRACE(metric_name(metric));
    constexpr size_t kDims = 16, kClusters = 40, kBase = 200, kAdded = 2000;
    VectorsAndRecords w(kDims);
    std::mt19937 rng(5);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    std::vector<std::vector<float>> centres;
    for (size_t k = 0; k < kClusters; ++k) centres.push_back(testing::random_vector(rng, kDims));
    std::vector<LiveEntry> entries;
    std::vector<std::vector<float>> made;
    for (size_t i = 0; i < kBase + kAdded; ++i) {
      std::vector<float> v;
      if (i % 97 == 13) {
        v = testing::random_vector(rng, kDims);  // an outlier
        for (float& x : v) x *= 20.0f;
      } else if (i % 11 == 5 && !made.empty()) {
        v = made[rng() % made.size()];  // a near-duplicate
        v[0] += 1e-4f;
      } else {
        v = centres[rng() % (i < kBase ? kClusters / 2 : kClusters)];  // half the clusters are new
        for (float& x : v) x += noise(rng);
      }
      made.push_back(v);
      entries.push_back({w.add_vector(prepare_vector(metric, v)), "r" + std::to_string(i)});
    }
    const HnswConfig config = small_config(8, 16, 8, 40, 10, 1.0 / std::log(8.0));
    HnswIndex index(
        rebuild_graph({entries.begin(), entries.begin() + kBase}, w.vectors, kDims, config, metric)
            .graph,
        metric);
    insert_nodes(index, std::span(entries).subspan(kBase), w.vectors);

    const HnswIndex::GraphRead g = index.read_graph();
    ASSERT_EQ(g->node_count(), kBase + kAdded);
    // For the inner product too, whose outliers, twenty times longer, score best against
    // nearly everything, so that every list leans towards them and small groups that link
    // only among themselves form unless the cuts keep each node in reach. (The rebuild
    // links its nodes on several threads, so the graph differs from run to run.)
    expect_strongly_connected(*g);
    // A list outgrows m0 only by links that are the last way into a node: rare, except
    // for the inner product's favourites.
    if (metric != Metric::Dot) {
      size_t long_lists = 0;
      for (uint32_t i = 0; i < g->node_count(); ++i) long_lists += g->neighbors(0, i).size() > 16;
      EXPECT_LE(long_lists, g->node_count() / 100);
    }
    expect_sound_lists(*g);
  }
}

// Records that share one vector, and records a tiny offset apart, as an agent stores one
// text under several ids: half of the records in a rebuilt graph of 400, then half of each
// of three steps on the road. Every record stays in reach on layer 0 both ways, and a
// search by the shared vector for as many hits as there are copies returns every copy
// (for dot, whose best match of a vector can be a longer one, the copies are the first
// hits only for unit vectors, so that metric is checked for reach alone).
TEST(HnswInsert, CopiesOfOneVectorStayInReach) {
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::Dot}) {
    for (const float offset : {0.0f, 1e-4f}) {
      SCOPED_TRACE(::testing::Message() << metric_name(metric) << " offset " << offset);
      constexpr size_t kDims = 16;
      VectorsAndRecords w(kDims);
      std::mt19937 rng(17);
      const std::vector<float> shared = testing::random_vector(rng, kDims);
      std::vector<LiveEntry> entries;
      std::vector<std::string> copies;
      for (size_t i = 0; i < 2200; ++i) {
        std::vector<float> v = testing::random_vector(rng, kDims);
        if (i % 2 == 0) {
          v = shared;
          v[i % kDims] += offset * float(1 + i % 3);
          copies.push_back("r" + std::to_string(i));
        }
        entries.push_back({w.add_vector(prepare_vector(metric, v)), "r" + std::to_string(i)});
      }
      std::vector<std::pair<std::string, uint64_t>> records;
      for (const LiveEntry& e : entries) records.emplace_back(e.id, e.slot);
      w.put_all(records);
      const HnswConfig config = small_config(8, 16, 8, 40, 10, 1.0 / std::log(8.0));
      HnswIndex index(
          rebuild_graph({entries.begin(), entries.begin() + 400}, w.vectors, kDims, config, metric)
              .graph,
          metric);
      for (const auto& [from, to] :
           {std::pair<size_t, size_t>{400, 700}, {700, 1200}, {1200, 2200}}) {
        insert_nodes(index, std::span(entries).subspan(from, to - from), w.vectors);
        expect_strongly_connected(*index.read_graph());
        EXPECT_EQ(TEST_road_state_mismatch(index), "");
      }
      if (metric == Metric::Dot) continue;
      auto hits =
          hnsw_search(index, prepare_vector(metric, shared), copies.size(), w.vectors, *w.store);
      ASSERT_TRUE(hits.has_value());
      std::set<std::string> got;
      for (const SearchHit& h : *hits) got.insert(h.id);
      EXPECT_EQ(got, std::set<std::string>(copies.begin(), copies.end()));
    }
  }
}

// The state the road keeps with the index is made afresh when anything but the road
// changed the graph since the road's last run, and that run then gives exactly the graph
// that a new index over a copy of the changed graph gives (one that has no state to keep).
// A change of a parameter the lists do not depend on keeps the state; so does no change,
// where the kept ranks give another graph than fresh ones would, so that the comparison
// tells the two apart. Records in clusters, with copies of one vector.
TEST(HnswInsert, AnyOtherChangeOfTheGraphMakesTheRoadRankAfresh) {
  struct Case {
    const char* name;
    std::function<void(HnswGraph&, VectorsAndRecords&)> change;
    bool kept;
  };
  const Case cases[] = {
      {"no change", [](HnswGraph&, VectorsAndRecords&) {}, true},
      {"a search parameter", [](HnswGraph& g, VectorsAndRecords&) { g.config.ef_search = 99; },
       true},
      {"a record's slot leaves the slot map",
       [](HnswGraph& g, VectorsAndRecords&) { g.slot_to_node.erase(g.slot(7)); }, false},
      {"a slot passes to another node",
       [](HnswGraph& g, VectorsAndRecords&) { g.slot_to_node[g.slot(7)] = 9; }, false},
      {"a layer-0 list set",
       [](HnswGraph& g, VectorsAndRecords&) { g.set_neighbors(0, 7, std::vector<uint32_t>{}); },
       false},
      {"a layer-0 link added",
       [](HnswGraph& g, VectorsAndRecords&) {
         for (uint32_t to = 0; !g.add_link(0, 7, to);) to += to + 1 == 7 ? 2 : 1;
       },
       false},
      {"a node added",
       [](HnswGraph& g, VectorsAndRecords& w) {
         const float v[8] = {1, 2, 3, 4, 5, 6, 7, 8};
         add_node(g, w.add_vector(v), "outsider", 0);
       },
       false},
      {"the entry point moved",
       [](HnswGraph& g, VectorsAndRecords&) { g.entry_point = (*g.entry_point + 1) % 50; }, false},
      {"the graph assigned a copy of itself",
       [](HnswGraph& g, VectorsAndRecords&) {
         const HnswGraph copy = g;
         g = copy;
       },
       false},
  };
  constexpr size_t kDims = 8;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VectorsAndRecords w(kDims);
    std::mt19937 rng(31);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    std::vector<std::vector<float>> centres;
    for (size_t k = 0; k < 6; ++k) centres.push_back(testing::random_vector(rng, kDims));
    const std::vector<float> shared = testing::random_vector(rng, kDims);
    std::vector<LiveEntry> entries;
    for (size_t i = 0; i < 400; ++i) {
      std::vector<float> v = shared;
      if (i % 3 != 0) {
        v = centres[rng() % centres.size()];
        for (float& x : v) x += noise(rng);
      }
      entries.push_back({w.add_vector(v), "r" + std::to_string(i)});
    }
    // Every level 0, so that any node may be the entry point.
    HnswGraph empty;
    empty.config = small_config(3, 4, 3, 16, 10, 0.0);
    HnswIndex index(std::move(empty), Metric::L2);
    insert_nodes(index, std::span(entries).first(300), w.vectors);
    insert_nodes(index, std::span(entries).subspan(300, 30), w.vectors);
    ASSERT_TRUE(TEST_road_state_kept(index));
    c.change(*index.write_graph(), w);
    EXPECT_EQ(TEST_road_state_kept(index), c.kept);
    HnswIndex fresh(HnswGraph(*index.read_graph()), Metric::L2);

    insert_nodes(index, std::span(entries).subspan(330), w.vectors);
    insert_nodes(fresh, std::span(entries).subspan(330), w.vectors);
    EXPECT_TRUE(TEST_road_state_kept(index));
    EXPECT_EQ(TEST_road_state_mismatch(index), "");
    EXPECT_EQ(*index.read_graph() == *fresh.read_graph(), !c.kept);
    // (A cleared list or a node without links strands a node by itself.)
    if (c.kept) expect_strongly_connected(*index.read_graph());
  }
}

}  // namespace
}  // namespace tornquil
