// The HNSW query: the descent and the layer-0 beam on hand-built graphs, the beam width and
// the candidate count, the records a query skips, nodes that no longer own their slot,
// unreadable and NaN slots, and recall against a brute-force oracle on a grown graph.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hnsw_fixture.hpp"
#include "search/hnsw/insert.hpp"
#include "search/hnsw/query.hpp"

namespace tornquil {
namespace {

using namespace testing;  // the HNSW fixture helpers

constexpr uint64_t kNow = 1700000000;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

int64_t fixed_clock() { return static_cast<int64_t>(kNow) * 1000000000; }

std::vector<std::string> ids_of(const std::vector<SearchHit>& hits) {
  std::vector<std::string> out;
  for (const SearchHit& h : hits) out.push_back(h.id);
  return out;
}

std::vector<uint32_t> nodes_of(const std::vector<ScoredNode>& list) {
  std::vector<uint32_t> out;
  for (const ScoredNode& s : list) out.push_back(s.node);
  return out;
}

class HnswQueryTest : public ::testing::Test {
 protected:
  void SetUp() override { TEST_set_wall_clock(&fixed_clock); }
  void TearDown() override { TEST_set_wall_clock(nullptr); }
};

TEST_F(HnswQueryTest, NoWalkForCountZeroOrAGraphWithoutEntryPoint) {
  struct Case {
    const char* name;
    bool with_nodes;
    bool with_entry;
    uint64_t count;
    size_t hits;
  };
  const Case cases[] = {
      {"count 0", true, true, 0, 0},
      {"no nodes", false, false, 5, 0},
      {"nodes but no entry point", true, false, 5, 0},
      {"huge count on an empty graph", false, false, kMax, 0},
      {"a walk for comparison", true, true, 5, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineWorld w;
    HnswGraph g;
    g.config = small_config();
    if (c.with_nodes) {
      const uint32_t a = put_node(g, "a", w.at(0));
      const uint32_t b = put_node(g, "b", w.at(1));
      set_list(g, 0, a, {b});
      set_list(g, 0, b, {a});
      w.put("a", 0);
      w.put("b", 1);
      if (c.with_entry) g.entry_point = a;
    }
    HnswIndex index(std::move(g), Metric::L2);
    auto hits = hnsw_search(index, LineWorld::query(0), c.count, w.vectors, *w.store);
    ASSERT_TRUE(hits.has_value()) << hits.error().render();
    EXPECT_EQ(hits->size(), c.hits);
  }
}

TEST_F(HnswQueryTest, QueryOfTheWrongLengthIsRefused) {
  LineWorld w;
  HnswIndex index(HnswGraph{}, Metric::L2);
  const std::vector<float> q = {1, 2, 3};
  auto hits = hnsw_search(index, q, 1, w.vectors, *w.store);
  ASSERT_FALSE(hits.has_value());
  EXPECT_EQ(hits.error().kind(), ErrorKind::DimensionMismatch);
}

// E and X are linked on layer 1; on layer 0, E reaches only Z and X only Y. Only a descent
// through layer 1 finds X's part of the graph.
TEST_F(HnswQueryTest, DescentRunsOnlyAboveLayerZero) {
  struct Case {
    uint8_t max_level;
    std::vector<std::string> hits;
  };
  const Case cases[] = {{1, {"x", "y"}}, {0, {"z", "e"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.max_level));
    LineWorld w;
    HnswGraph g;
    g.config = small_config();
    const uint32_t e = put_node(g, "e", w.at(10), 1);
    const uint32_t x = put_node(g, "x", w.at(0), 1);
    const uint32_t y = put_node(g, "y", w.at(1));
    const uint32_t z = put_node(g, "z", w.at(9));
    set_list(g, 1, e, {x});
    set_list(g, 1, x, {e});
    set_list(g, 0, e, {z});
    set_list(g, 0, z, {e});
    set_list(g, 0, x, {y});
    set_list(g, 0, y, {x});
    for (uint32_t n : {e, x, y, z}) w.put(g.id(n), g.slot(n));
    g.entry_point = e;
    g.max_level = c.max_level;
    HnswIndex index(std::move(g), Metric::L2);
    auto hits = hnsw_search(index, LineWorld::query(0), 5, w.vectors, *w.store);
    ASSERT_TRUE(hits.has_value());
    EXPECT_EQ(ids_of(*hits), c.hits);
  }
}

// The entry point's record was deleted: its slot is in the deleted set and out of the slot
// map, as a delete leaves it. It is expanded, so its neighbours are found, but never
// returned, even while its record is still readable.
TEST_F(HnswQueryTest, DeletedEntryPointIsExpandedButNeverReturned) {
  LineWorld w;
  HnswGraph g;
  g.config = small_config();
  const uint32_t e = put_node(g, "e", w.at(0));
  const uint32_t a = put_node(g, "a", w.at(1));
  const uint32_t b = put_node(g, "b", w.at(2));
  set_list(g, 0, e, {a, b});
  set_list(g, 0, a, {e});
  set_list(g, 0, b, {e});
  g.entry_point = e;
  w.put("e", 0);
  w.put("a", 1);
  w.put("b", 2);
  HnswIndex index(std::move(g), Metric::L2);
  index.write_deleted()->insert(0);
  index.write_graph()->slot_to_node.erase(0);

  const auto q = LineWorld::query(0);
  const std::vector<ScoredNode> w0 =
      search_base_layer(*index.read_graph(), q, e, 10, w.vectors, Metric::L2);
  EXPECT_EQ(w0, (std::vector<ScoredNode>{{a, 1.0f}, {b, 4.0f}}));
  auto hits = hnsw_search(index, q, 5, w.vectors, *w.store);
  ASSERT_TRUE(hits.has_value());
  EXPECT_EQ(ids_of(*hits), (std::vector<std::string>{"a", "b"}));
}

// Thirty nodes, all linked to all, at x = 0..29, queried at -1: node i ranks i-th. The best
// ten have no usable record (gone, Pending, Tombstone, expired); the rest are Active. The
// beam is max(ef_search, 2 x count) and 2 x count candidates are looked up, no more.
TEST_F(HnswQueryTest, BeamWidthAndCandidateCount) {
  struct Case {
    uint64_t ef_search;
    uint64_t count;
    size_t beam;            // nodes the layer-0 search returns
    std::vector<int> hits;  // node numbers
  };
  std::vector<int> ten_to_29;
  for (int i = 10; i < 30; ++i) ten_to_29.push_back(i);
  const Case cases[] = {
      {100, 5, 30, {}},                       // ef 100; 10 candidates, all unusable
      {10, 20, 30, ten_to_29},                // ef 40; all 30 are candidates
      {10, 8, 16, {10, 11, 12, 13, 14, 15}},  // ef 16; 16 candidates, 6 usable
      {3, 1, 3, {}},                          // ef 3; 2 candidates
      {12, 1, 12, {}},                        // ef 12; still only 2 candidates
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.ef_search << " " << c.count);
    LineWorld w;
    HnswGraph g;
    g.config = small_config(4, 8, 4, 20, c.ef_search);
    for (int i = 0; i < 30; ++i) put_node(g, "n" + std::to_string(i), w.at(float(i)));
    for (uint32_t i = 0; i < 30; ++i) {
      std::vector<uint32_t> all;
      for (uint32_t j = 0; j < 30; ++j)
        if (j != i) all.push_back(j);
      g.set_neighbors(0, i, all);
    }
    g.entry_point = 29;
    for (int i = 0; i < 30; ++i) {
      const std::string id = "n" + std::to_string(i);
      if (i < 4) continue;  // gone
      if (i < 6) {
        w.put(id, i, RecordState::Pending);
      } else if (i < 8) {
        w.put(id, i, RecordState::Tombstone);
      } else if (i < 10) {
        w.put(id, i, RecordState::Active, kNow);  // expires this second
      } else {
        w.put(id, i, RecordState::Active, kNow + 1);
      }
    }
    HnswIndex index(std::move(g), Metric::L2);
    const auto q = LineWorld::query(-1);
    const uint64_t ef = query_beam_width(c.ef_search, c.count);
    EXPECT_EQ(search_base_layer(*index.read_graph(), q, 29, ef, w.vectors, Metric::L2).size(),
              c.beam);
    auto hits = hnsw_search(index, q, c.count, w.vectors, *w.store);
    ASSERT_TRUE(hits.has_value());
    std::vector<std::string> want;
    for (int i : c.hits) want.push_back("n" + std::to_string(i));
    EXPECT_EQ(ids_of(*hits), want);
    for (const SearchHit& h : *hits) {
      const float x = std::stof(h.id.substr(1));
      EXPECT_EQ(h.score, (x + 1) * (x + 1));
      EXPECT_TRUE(h.metadata.is_object());
    }
  }
}

TEST(HnswQueryBeamWidth, NeverWraps) {
  struct Case {
    uint64_t ef_search, count, want;
  };
  const Case cases[] = {
      {10, 20, 40},
      {100, 5, 100},
      {0, 0, 0},
      {10, kMax / 2, kMax - 1},
      {10, kMax / 2 + 1, kMax},
      {10, kMax, kMax},
      {kMax, 1, kMax},
  };
  for (const Case& c : cases) EXPECT_EQ(query_beam_width(c.ef_search, c.count), c.want);
}

TEST_F(HnswQueryTest, HugeCountReturnsWhatTheGraphHolds) {
  LineWorld w;
  HnswGraph g;
  g.config = small_config(4, 8, 4, 20, kMax);  // a huge ef_search as well
  for (int i = 0; i < 5; ++i) {
    put_node(g, "n" + std::to_string(i), w.at(float(i)));
    w.put("n" + std::to_string(i), i);
  }
  for (uint32_t i = 0; i + 1 < 5; ++i) {
    g.add_link(0, i, i + 1);
    g.add_link(0, i + 1, i);
  }
  g.entry_point = 4;
  HnswIndex index(std::move(g), Metric::L2);
  for (uint64_t count : {kMax, kMax / 2 + 1, uint64_t{1} << 40}) {
    auto hits = hnsw_search(index, LineWorld::query(0), count, w.vectors, *w.store);
    ASSERT_TRUE(hits.has_value());
    EXPECT_EQ(ids_of(*hits), (std::vector<std::string>{"n0", "n1", "n2", "n3", "n4"}));
    EXPECT_LE(hits->capacity(), 5u);
  }
}

// A node whose slot is not allocated scores the metric's worst score; greedy steps never
// move to it, and walks through it do not fail.
TEST_F(HnswQueryTest, UnallocatedSlotScoresWorst) {
  struct Case {
    Metric metric;
    float worst;
  };
  for (const Case& c :
       {Case{Metric::L2, kInf}, Case{Metric::Cosine, -kInf}, Case{Metric::Dot, -kInf}}) {
    SCOPED_TRACE(metric_name(c.metric));
    LineWorld w;
    HnswGraph g;
    g.config = small_config();
    const uint32_t e = put_node(g, "e", w.at(1), 1);
    const uint32_t u = put_node(g, "u", w.vectors.slot_count() + 100, 1);
    const uint32_t far = put_node(g, "far", uint64_t{1} << 62, 1);
    set_list(g, 1, e, {u, far});
    set_list(g, 0, e, {u, far});
    g.entry_point = e;
    g.max_level = 1;
    const auto q = LineWorld::query(1);
    EXPECT_EQ(node_score(g, q, u, w.vectors, c.metric), c.worst);
    EXPECT_EQ(node_score(g, q, far, w.vectors, c.metric), c.worst);
    EXPECT_EQ(greedy_closest(g, q, e, 1, w.vectors, c.metric), e);
    const auto found = search_base_layer(g, q, e, 10, w.vectors, c.metric);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].node, e);
    w.put("e", 0);
    HnswIndex index(std::move(g), c.metric);
    auto hits = hnsw_search(index, q, 3, w.vectors, *w.store);
    ASSERT_TRUE(hits.has_value());
    EXPECT_EQ(ids_of(*hits), (std::vector<std::string>{"e"}));
  }
}

// Greedy steps: the first of equal best neighbours, never a tie with the current node, never
// a NaN, and a missing layer or list ends the walk where it starts.
TEST_F(HnswQueryTest, GreedyStepsTakeOnlyStrictlyBetterNeighbours) {
  LineWorld w;
  HnswGraph g;
  g.config = small_config();
  const uint32_t s = put_node(g, "s", w.at(4), 1);
  const uint32_t worse = put_node(g, "worse", w.at(2), 1);
  const uint32_t nan = put_node(g, "nan", w.at(3), 1);       // marked deleted below
  const uint32_t left = put_node(g, "left", w.at(2.5f), 1);  // first of two equals
  const uint32_t right = put_node(g, "right", w.at(3.5f), 1);
  ASSERT_TRUE(write_deleted_marker(w.vectors, g.slot(nan)).has_value());
  set_list(g, 1, s, {nan, left, right});
  set_list(g, 1, left, {right, worse, nan});  // right only ties with left
  const auto q = LineWorld::query(3);
  EXPECT_EQ(greedy_closest(g, q, s, 1, w.vectors, Metric::L2), left);
  EXPECT_EQ(greedy_closest(g, q, right, 1, w.vectors, Metric::L2), right);  // empty list
  EXPECT_EQ(greedy_closest(g, q, s, 5, w.vectors, Metric::L2), s);          // no such layer
  EXPECT_TRUE(std::isnan(node_score(g, q, nan, w.vectors, Metric::L2)));
}

// A node that lost its slot to a later node is walked through but not returned; a record
// that moved to another slot is not returned through its old node, so the one hit for it
// carries the score of its current vector.
TEST_F(HnswQueryTest, OnlyNodesOwningTheRecordsSlotAnswer) {
  LineWorld w;
  HnswGraph g;
  g.config = small_config();
  const uint64_t old_slot = w.at(0), b_slot = w.at(1), new_slot = w.at(5), taken = w.at(0.5f);
  const uint32_t a_old = put_node(g, "a", old_slot);
  const uint32_t b = put_node(g, "b", b_slot);
  const uint32_t a_new = put_node(g, "a", new_slot);
  const uint32_t gone = put_node(g, "gone", taken);
  const uint32_t c = put_node(g, "c", taken);  // took the slot over from "gone"
  set_list(g, 0, a_old, {b, a_new, gone, c});
  set_list(g, 0, b, {a_old});
  set_list(g, 0, a_new, {a_old});
  set_list(g, 0, gone, {a_old});
  set_list(g, 0, c, {a_old});
  g.entry_point = a_old;
  w.put("a", new_slot);
  w.put("b", b_slot);
  w.put("c", taken);
  w.put("gone", taken);  // even a readable record does not make the old node answer
  HnswIndex index(std::move(g), Metric::L2);
  const auto q = LineWorld::query(0);
  EXPECT_EQ(nodes_of(search_base_layer(*index.read_graph(), q, a_old, 10, w.vectors, Metric::L2)),
            (std::vector<uint32_t>{a_old, c, b, a_new}));
  auto hits = hnsw_search(index, q, 10, w.vectors, *w.store);
  ASSERT_TRUE(hits.has_value());
  ASSERT_EQ(ids_of(*hits), (std::vector<std::string>{"c", "b", "a"}));
  EXPECT_EQ((*hits)[0].score, 0.25f);
  EXPECT_EQ((*hits)[2].score, 25.0f);
}

// Nodes whose slot holds the deleted marker score NaN: the walk goes through them without
// failing and returns the others in order.
TEST_F(HnswQueryTest, NaNScoresDoNotBreakTheWalk) {
  LineWorld w;
  HnswGraph g;
  g.config = small_config();
  std::vector<uint32_t> all;
  for (int i = 0; i < 12; ++i) all.push_back(put_node(g, "n" + std::to_string(i), w.at(float(i))));
  for (uint32_t i : all) {
    std::vector<uint32_t> others;
    for (uint32_t j : all)
      if (j != i) others.push_back(j);
    g.set_neighbors(0, i, others);
    w.put("n" + std::to_string(i), i);
  }
  for (uint64_t slot : {0, 3, 4, 11})
    ASSERT_TRUE(write_deleted_marker(w.vectors, slot).has_value());
  g.entry_point = 0;
  HnswIndex index(std::move(g), Metric::L2);
  auto hits = hnsw_search(index, LineWorld::query(0), 4, w.vectors, *w.store);
  ASSERT_TRUE(hits.has_value());
  std::vector<std::string> real;
  for (const SearchHit& h : *hits)
    if (!std::isnan(h.score)) real.push_back(h.id);
  EXPECT_FALSE(real.empty());
  EXPECT_TRUE(
      std::is_sorted(real.begin(), real.end(), [](const std::string& a, const std::string& b) {
        return std::stoi(a.substr(1)) < std::stoi(b.substr(1));
      }));
  EXPECT_EQ(real[0], "n1");
}

// A graph grown record by record answers like a brute-force scan: recall@10 over random
// vectors, and every hit carries the exact score of its vector, best first.
TEST_F(HnswQueryTest, RecallAgainstBruteForce) {
  constexpr size_t kDims = 24, kCount = 3000, kQueries = 100, kK = 10;
  for (Metric metric : {Metric::L2, Metric::Cosine}) {
    SCOPED_TRACE(metric_name(metric));
    VectorsAndRecords w(kDims);
    std::mt19937 rng(7);
    std::vector<LiveEntry> entries;
    std::vector<std::pair<std::string, uint64_t>> records;
    for (size_t i = 0; i < kCount; ++i) {
      const std::vector<float> v = prepare_vector(metric, testing::random_vector(rng, kDims));
      const uint64_t slot = w.add_vector(v);
      entries.push_back({slot, "r" + std::to_string(i)});
      records.emplace_back(entries.back().id, slot);
    }
    w.put_all(records);
    HnswGraph g;
    g.config = small_config(12, 24, 12, 100, 40, 1.0 / std::log(12.0));
    HnswIndex index(std::move(g), metric);
    insert_nodes(index, entries, w.vectors);
    ASSERT_EQ(index_node_count(index), kCount);

    const bool hib = higher_is_better(metric);
    size_t found = 0;
    for (size_t qi = 0; qi < kQueries; ++qi) {
      const std::vector<float> q = prepare_vector(metric, testing::random_vector(rng, kDims));
      std::vector<std::pair<float, size_t>> all;
      for (size_t i = 0; i < kCount; ++i) all.push_back({distance(metric, q, w.vec(i)), i});
      std::partial_sort(all.begin(), all.begin() + kK, all.end(), [&](auto& a, auto& b) {
        return hib ? a.first > b.first : a.first < b.first;
      });
      std::set<std::string> truth;
      for (size_t i = 0; i < kK; ++i) truth.insert("r" + std::to_string(all[i].second));

      auto hits = hnsw_search(index, q, kK, w.vectors, *w.store);
      ASSERT_TRUE(hits.has_value());
      ASSERT_EQ(hits->size(), kK);
      for (size_t i = 0; i < hits->size(); ++i) {
        const SearchHit& h = (*hits)[i];
        const size_t slot = std::stoul(h.id.substr(1));
        EXPECT_EQ(h.score, distance(metric, q, w.vec(slot)));
        if (i > 0) {
          EXPECT_FALSE(strictly_better(h.score, (*hits)[i - 1].score, hib));
        }
        found += truth.count(h.id);
      }
    }
    const double recall = double(found) / double(kQueries * kK);
    EXPECT_GE(recall, 0.9) << recall;
    RecordProperty(std::string("recall_") + std::string(metric_name(metric)),
                   std::to_string(recall));
  }
}

// Queries on several threads at once share the index and each lease scratch of their own:
// every thread gets the hits a lone query gets. Threads come and go in waves, as the host's
// threads do, and one wave holds more leases at once than the pool keeps.
TEST_F(HnswQueryTest, ConcurrentQueriesGiveTheSameHits) {
  constexpr size_t kDims = 16, kCount = 800, kQueries = 40;
  VectorsAndRecords w(kDims);
  std::mt19937 rng(5);
  std::vector<LiveEntry> entries;
  std::vector<std::pair<std::string, uint64_t>> records;
  for (size_t i = 0; i < kCount; ++i) {
    const uint64_t slot = w.add_vector(random_vector(rng, kDims));
    entries.push_back({slot, "r" + std::to_string(i)});
    records.emplace_back(entries.back().id, slot);
  }
  w.put_all(records);
  HnswGraph g;
  g.config = small_config(8, 16, 8, 40, 30, 1.0 / std::log(8.0));
  HnswIndex index(std::move(g), Metric::L2);
  insert_nodes(index, entries, w.vectors);

  std::vector<std::vector<float>> queries;
  std::vector<std::vector<std::string>> alone;
  for (size_t i = 0; i < kQueries; ++i) {
    queries.push_back(random_vector(rng, kDims));
    auto hits = hnsw_search(index, queries.back(), 10, w.vectors, *w.store);
    ASSERT_TRUE(hits.has_value());
    alone.push_back(ids_of(*hits));
  }
  for (int wave = 0; wave < 3; ++wave) {
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        // The last wave's first thread holds a hundred leases while it queries.
        std::vector<std::unique_ptr<ScratchLease>> held;
        if (wave == 2 && t == 0)
          for (int i = 0; i < 100; ++i) held.push_back(std::make_unique<ScratchLease>());
        for (int round = 0; round < 5; ++round)
          for (size_t i = 0; i < kQueries; ++i) {
            auto hits = hnsw_search(index, queries[i], 10, w.vectors, *w.store);
            if (!hits || ids_of(*hits) != alone[i]) ++mismatches[t];
          }
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0)) << "wave " << wave;
  }
}

// The walks score whole chunks of a list before comparing; they must give what scoring each
// node on its own, in list order, gives. A reference written that way (one slot read and
// one distance call per node, the same heaps) is run against them on a graph built to
// catch the differences: lists longer than one chunk, unvisited nodes spread over a chunk,
// unreadable and NaN slots, nodes that lost their slot, and a length with a kernel tail.
class HnswWalkReference {
 public:
  HnswWalkReference(const HnswGraph& g, std::span<const float> q, const VectorStorage& v, Metric m)
      : g_(g), q_(q), v_(v), m_(m), hib_(higher_is_better(m)) {}

  float score(uint32_t node) const {
    const std::span<const float> x = v_.slot_view(g_.slot(node));
    return x.empty() ? worst_score(m_) : distance(m_, q_.data(), x.data(), q_.size());
  }

  uint32_t greedy(uint32_t current, size_t layer) const {
    float best = score(current);
    for (;;) {
      uint32_t chosen = current;
      for (const uint32_t n : g_.neighbors(layer, current)) {
        const float s = score(n);
        if (strictly_better(s, best, hib_)) {
          best = s;
          chosen = n;
        }
      }
      if (chosen == current) return current;
      current = chosen;
    }
  }

  std::vector<ScoredNode> base_layer(uint32_t e, size_t ef) const {
    const auto less = [](const HeapNode& a, const HeapNode& b) { return a.key < b.key; };
    const auto greater = [](const HeapNode& a, const HeapNode& b) { return a.key > b.key; };
    const auto owns = [&](uint32_t n) {
      auto it = g_.slot_to_node.find(g_.slot(n));
      return it != g_.slot_to_node.end() && it->second == n;
    };
    std::set<uint32_t> visited{e};
    std::vector<HeapNode> queue{heap_node(e, score(e), hib_)}, w;
    if (owns(e)) w.push_back(queue[0]);
    while (!queue.empty()) {
      std::pop_heap(queue.begin(), queue.end(), less);
      const HeapNode c = queue.back();
      queue.pop_back();
      if (w.size() >= ef && at_least_as_good(w.front().score, c.score, hib_)) break;
      for (const uint32_t n : g_.neighbors(0, c.node)) {
        if (!visited.insert(n).second) continue;
        const float sn = score(n);
        if (w.size() >= ef && at_least_as_good(w.front().score, sn, hib_)) continue;
        const HeapNode h = heap_node(n, sn, hib_);
        queue.push_back(h);
        std::push_heap(queue.begin(), queue.end(), less);
        if (!owns(n)) continue;
        w.push_back(h);
        std::push_heap(w.begin(), w.end(), greater);
        if (w.size() > ef) {
          std::pop_heap(w.begin(), w.end(), greater);
          w.pop_back();
        }
      }
    }
    std::vector<ScoredNode> out;
    for (const HeapNode& h : w) out.push_back({h.node, h.score});
    sort_scored_best_first(out, hib_);
    return out;
  }

 private:
  const HnswGraph& g_;
  std::span<const float> q_;
  const VectorStorage& v_;
  Metric m_;
  bool hib_;
};

// Node and score bits, so that NaN scores compare too.
std::vector<std::pair<uint32_t, uint32_t>> bits_of(const std::vector<ScoredNode>& list) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const ScoredNode& s : list) out.push_back({s.node, std::bit_cast<uint32_t>(s.score)});
  return out;
}

TEST_F(HnswQueryTest, ChunkedScoringWalksLikeOneNodeAtATime) {
  constexpr size_t kDims = 13, kNodes = 400;
  for (Metric metric : {Metric::L2, Metric::Cosine, Metric::Dot}) {
    SCOPED_TRACE(metric_name(metric));
    VectorsAndRecords w(kDims);
    std::mt19937 rng(11);
    HnswGraph g;
    g.config = small_config();
    for (uint32_t i = 0; i < kNodes; ++i) {
      const uint64_t slot = w.add_vector(prepare_vector(metric, random_vector(rng, kDims)));
      uint64_t node_slot = slot;
      if (i % 37 == 5) node_slot = w.vectors.slot_count() + 1000 + i;  // unreadable
      if (i % 41 == 7) node_slot = slot - 1;  // takes the slot of the node before it
      put_node(g, "n" + std::to_string(i), node_slot, i % 9 == 0 ? 1 : 0);
      if (i % 43 == 2) {
        ASSERT_TRUE(write_deleted_marker(w.vectors, slot).has_value());
      }
    }
    for (uint32_t i = 0; i < kNodes; ++i) {
      // Mostly short lists, some longer than a chunk and than their row.
      const size_t len = i % 10 == 0 ? 150 : 3 + rng() % 12;
      std::vector<uint32_t> list;
      for (size_t j = 0; j < len; ++j) list.push_back(rng() % kNodes);
      g.set_neighbors(0, i, list);
      if (g.level(i) >= 1) {
        std::vector<uint32_t> up;
        for (size_t j = 0; j < (i % 2 ? 70 : 5); ++j) up.push_back(9 * (rng() % (kNodes / 9)));
        g.set_neighbors(1, i, up);
      }
    }
    for (int qi = 0; qi < 20; ++qi) {
      const std::vector<float> q = prepare_vector(metric, random_vector(rng, kDims));
      const HnswWalkReference ref(g, q, w.vectors, metric);
      const NodeScorer scorer(g, q, w.vectors, metric);
      // score_many and score_list against single scores for every length: short ones, ones
      // around the load window and past a chunk.
      std::vector<uint32_t> nodes(150);
      for (uint32_t& n : nodes) n = rng() % kNodes;
      for (size_t count = 0; count <= nodes.size(); count += (count < 24 ? 1 : 11)) {
        std::vector<float> many(count), listed(count);
        std::vector<const float*> where(count);
        if (count <= NodeScorer::kBatch) scorer.score_many(nodes.data(), count, many.data());
        scorer.score_list(nodes.data(), count, listed.data(), where.data());
        for (size_t i = 0; i < count; ++i) {
          const uint32_t want = std::bit_cast<uint32_t>(ref.score(nodes[i]));
          ASSERT_EQ(std::bit_cast<uint32_t>(listed[i]), want) << "count " << count << " at " << i;
          if (count <= NodeScorer::kBatch) {
            ASSERT_EQ(std::bit_cast<uint32_t>(many[i]), want) << "count " << count << " at " << i;
          }
        }
      }
      const uint32_t start = 9 * (rng() % (kNodes / 9));
      EXPECT_EQ(greedy_closest(g, q, start, 1, w.vectors, metric), ref.greedy(start, 1));
      for (const size_t ef : {1, 10, 60}) {
        const uint32_t entry = rng() % kNodes;
        EXPECT_EQ(bits_of(search_base_layer(g, q, entry, ef, w.vectors, metric)),
                  bits_of(ref.base_layer(entry, ef)))
            << "query " << qi << " ef " << ef;
      }
    }
  }
}

}  // namespace
}  // namespace tornquil
