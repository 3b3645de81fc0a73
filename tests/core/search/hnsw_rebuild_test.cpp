// The full rebuild over a vector file: the graph's invariants after a large rebuild, the
// degenerate parameters, one node, the batch boundary, determinism with one worker, the
// zero vector of a slot the file cannot serve, and the profile's number layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../storage/test_dir.hpp"
#include "base/worker_pool.hpp"
#include "search/hnsw/level.hpp"
#include "search/hnsw/rebuild.hpp"

namespace tornquil {
namespace {

using testing::TestDir;

constexpr size_t kDims = 16;

HnswConfig test_config() {
  HnswConfig c;
  c.m = 6;
  c.m0 = 12;
  c.m_max = 6;
  c.ef_construction = 24;
  c.ef_search = 24;
  c.level_multiplier = 1.0 / std::log(6.0);
  return c;
}

// A vector file holding `n` unit vectors with some cluster structure, slot i for record i.
class RebuildTest : public ::testing::Test {
 protected:
  VectorStorage make_vectors(uint32_t n, uint32_t seed = 1) {
    auto s = create_vector_file(dir_.file("vectors.bin"), kDims);
    EXPECT_TRUE(s) << s.error().render();
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal;
    std::vector<std::vector<float>> centres(32, std::vector<float>(kDims));
    for (auto& c : centres) {
      for (float& x : c) x = normal(rng);
    }
    std::vector<float> v(kDims);
    for (uint32_t i = 0; i < n; ++i) {
      const auto& c = centres[rng() % centres.size()];
      float norm = 0;
      for (size_t j = 0; j < kDims; ++j) {
        v[j] = c[j] + 0.3f * normal(rng);
        norm += v[j] * v[j];
      }
      for (float& x : v) x /= std::sqrt(norm);
      auto slot = append_slot(*s);
      EXPECT_TRUE(slot);
      EXPECT_TRUE(write_vector(*s, *slot, v));
    }
    return std::move(*s);
  }

  static std::vector<LiveEntry> entries(uint32_t n) {
    std::vector<LiveEntry> out(n);
    for (uint32_t i = 0; i < n; ++i) out[i] = LiveEntry{i, "r" + std::to_string(100000 + i)};
    return out;
  }

  TestDir dir_;
};

// Node order, slots, ids and levels as the entries give them, the entry point, the layer
// count, and every list within bounds, free of self-links and duplicates, and empty above
// its node's level.
void expect_invariants(const HnswGraph& g, const std::vector<LiveEntry>& in,
                       const HnswConfig& config) {
  ASSERT_EQ(g.node_count(), in.size());
  EXPECT_EQ(g.config, config);
  uint8_t max_level = 0;
  std::optional<uint32_t> entry;
  for (uint32_t i = 0; i < g.node_count(); ++i) {
    ASSERT_EQ(g.id(i), in[i].id);
    ASSERT_EQ(g.slot(i), in[i].slot);
    ASSERT_EQ(g.level(i), draw_level(in[i].slot, config.level_multiplier));
    ASSERT_EQ(g.slot_to_node.at(in[i].slot), i);
    if (!entry || g.level(i) > max_level) {
      max_level = g.level(i);
      entry = i;
    }
  }
  EXPECT_EQ(g.slot_to_node.size(), in.size());
  EXPECT_EQ(g.max_level, max_level);
  EXPECT_EQ(g.entry_point, entry);
  if (in.empty()) {
    EXPECT_EQ(g.layer_count(), 0u);
    return;
  }
  ASSERT_EQ(g.layer_count(), max_level + 1u);
  for (size_t l = 0; l < g.layer_count(); ++l) {
    for (uint32_t i = 0; i < g.node_count(); ++i) {
      const auto list = g.neighbors(l, i);
      if (l > g.level(i)) {
        ASSERT_TRUE(list.empty()) << "layer " << l << " node " << i;
      }
      std::set<uint32_t> seen;
      for (const uint32_t e : list) {
        ASSERT_LT(e, g.node_count());
        ASSERT_NE(e, i) << "self-link on layer " << l;
        ASSERT_TRUE(seen.insert(e).second) << "duplicate " << e << " in node " << i;
        ASSERT_GE(g.level(e), l) << "node " << e << " linked above its level";
      }
    }
  }
}

size_t edge_count(const HnswGraph& g, size_t layer) {
  size_t edges = 0;
  for (uint32_t i = 0; i < g.node_count(); ++i) edges += g.neighbors(layer, i).size();
  return edges;
}

TEST_F(RebuildTest, LargeRebuildKeepsEveryInvariant) {
  const uint32_t n = 20000;
  const VectorStorage vectors = make_vectors(n);
  for (const Metric metric : {Metric::Cosine, Metric::L2}) {
    SCOPED_TRACE(metric_name(metric));
    const HnswConfig config = test_config();
    RebuildResult r = rebuild_graph(entries(n), vectors, kDims, config, metric);
    expect_invariants(r.graph, entries(n), config);
    EXPECT_EQ(r.batches, 4u);
    ASSERT_TRUE(r.profile);
    EXPECT_EQ(r.profile->nodes, n);
    EXPECT_GT(r.profile->distance_calcs, 0u);
    EXPECT_GT(r.graph.layer_count(), 1u);
    // Every node is reachable from somewhere on layer 0, and lists may pass m0 (back-links
    // are never pruned) but each node's own choice is at most m0.
    size_t longest = 0;
    for (uint32_t i = 0; i < n; ++i) {
      EXPECT_FALSE(r.graph.neighbors(0, i).empty()) << i;
      longest = std::max(longest, r.graph.neighbors(0, i).size());
    }
    EXPECT_GT(longest, config.m0);
  }
}

TEST_F(RebuildTest, DegenerateParametersLeaveLayersWithoutEdges) {
  struct Case {
    const char* name;
    void (*change)(HnswConfig&);
    bool layer0_edges;
    bool upper_edges;
  };
  const Case cases[] = {
      {"ef_construction 0", [](HnswConfig& c) { c.ef_construction = 0; }, false, false},
      {"m 0", [](HnswConfig& c) { c.m = 0; }, true, false},
      {"m0 0", [](HnswConfig& c) { c.m0 = 0; }, false, true},
  };
  const uint32_t n = 1500;
  const VectorStorage vectors = make_vectors(n);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HnswConfig config = test_config();
    c.change(config);
    RebuildResult r = rebuild_graph(entries(n), vectors, kDims, config, Metric::Dot);
    expect_invariants(r.graph, entries(n), config);
    ASSERT_GT(r.graph.layer_count(), 1u);
    EXPECT_EQ(edge_count(r.graph, 0) > 0, c.layer0_edges);
    size_t upper = 0;
    for (size_t l = 1; l < r.graph.layer_count(); ++l) upper += edge_count(r.graph, l);
    EXPECT_EQ(upper > 0, c.upper_edges);
  }
}

TEST_F(RebuildTest, SizesAtTheEdges) {
  struct Case {
    uint32_t nodes;
    uint64_t batches;
    bool profile;
  };
  const Case cases[] = {
      {0, 0, false},   {1, 1, false},   {999, 1, false},
      {1000, 1, true}, {5000, 1, true}, {5001, 2, true},
  };
  const VectorStorage vectors = make_vectors(5001);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nodes);
    RebuildResult r = rebuild_graph(entries(c.nodes), vectors, kDims, test_config(), Metric::L2);
    expect_invariants(r.graph, entries(c.nodes), test_config());
    EXPECT_EQ(r.batches, c.batches);
    EXPECT_EQ(r.profile.has_value(), c.profile);
    if (c.nodes == 1) {
      EXPECT_EQ(r.graph.entry_point, 0u);
      for (size_t l = 0; l < r.graph.layer_count(); ++l) EXPECT_EQ(edge_count(r.graph, l), 0u);
    }
    if (c.nodes == 5001) {
      // The one node of the second batch found its place among the first five thousand.
      EXPECT_FALSE(r.graph.neighbors(0, 5000).empty());
    }
  }
}

TEST_F(RebuildTest, ASlotTheFileCannotServeIsAZeroVector) {
  const VectorStorage vectors = make_vectors(3);
  std::vector<LiveEntry> in = entries(3);
  in.push_back(LiveEntry{999, "beyond"});
  const std::vector<float> got = fetch_vectors_parallel(vectors, in, kDims);
  ASSERT_EQ(got.size(), 4 * kDims);
  const auto slot0 = read_vector(vectors, 0);
  ASSERT_TRUE(slot0);
  EXPECT_TRUE(std::equal(slot0->begin(), slot0->end(), got.begin()));
  EXPECT_TRUE(std::all_of(got.begin() + 3 * kDims, got.end(), [](float x) { return x == 0; }));

  RebuildResult r = rebuild_graph(in, vectors, kDims, test_config(), Metric::Cosine);
  expect_invariants(r.graph, in, test_config());
}

// With one worker the nodes of a batch run in ascending order, so the graph is a function
// of the records. The worker count is fixed per process: the check runs in a child
// started with one worker.
TEST_F(RebuildTest, OneWorkerRebuildsIdenticalLayers) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::setenv("RAYON_NUM_THREADS", "1", 1);
        if (worker_count() != 1) std::_Exit(2);
        const VectorStorage vectors = make_vectors(6000);
        const HnswGraph a =
            rebuild_graph(entries(6000), vectors, kDims, test_config(), Metric::Cosine).graph;
        const HnswGraph b =
            rebuild_graph(entries(6000), vectors, kDims, test_config(), Metric::Cosine).graph;
        std::_Exit(a == b && edge_count(a, 0) > 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(BuildProfileTest, LinesAndNumberLayouts) {
  BuildProfile p;
  p.nodes = 1000;
  p.setup = 0.5;
  p.insert = 1.5;
  p.repair = 0.0;
  p.total = 2.0;
  p.distance_calcs = 123456;
  EXPECT_EQ(format_build_profile(p),
            "HNSW Build Profile (1000 nodes):\n"
            "  Phase 1 (setup):       0.50s ( 25.0%)\n"
            "  Phase 2 (insert):      1.50s ( 75.0%)\n"
            "  Phase 3 (repair):      0.00s (  0.0%)\n"
            "  Total:                 2.00s (500 vec/s)\n"
            "  Distance calcs:    123456\n"
            "  Nodes improved:    0\n");
  // Halves go to the even neighbour of the exact binary value; wide numbers overflow the
  // column instead of being cut.
  p.nodes = 5;
  p.setup = 0.125;   // exactly representable: 0.12
  p.insert = 0.375;  // 0.38
  p.repair = 1e-9;   // 0.00
  p.total = 2.0;     // 5 / 2 = 2.5 -> "2"
  const std::string text = format_build_profile(p);
  EXPECT_NE(text.find("  Phase 1 (setup):       0.12s (  6.2%)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  Phase 2 (insert):      0.38s ( 18.8%)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("(2 vec/s)"), std::string::npos) << text;
  p.setup = 123456.0;
  p.total = 100.0;
  EXPECT_NE(format_build_profile(p).find("  Phase 1 (setup):   123456.00s (123456.0%)\n"),
            std::string::npos);
}

}  // namespace
}  // namespace tornquil
