// The graph's roads through a collection: which road a refresh takes after adds and
// deletes, how many candidates a search asks the graph for with and without a filter, and
// searches that run while another thread adds, deletes, replaces and syncs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../turns.hpp"
#include "base/json_read.hpp"
#include "base/json_write.hpp"
#include "collection/index_refresh.hpp"
#include "collection/search.hpp"
#include "collection_fixture.hpp"
#include "search/distance.hpp"
#include "search/hnsw/insert.hpp"

namespace tornquil::testing {
namespace {

using HnswRoadTest = CollectionTest;

constexpr uint64_t kDims = 8;

HnswConfig road_hnsw() {
  return HnswConfig{.m = 8,
                    .m0 = 16,
                    .m_max = 8,
                    .ef_construction = 64,
                    .ef_search = 64,
                    .level_multiplier = 0.5};
}

// A vector with no structure shared between seeds, so that every record has its own
// nearest neighbour.
std::vector<float> rand_vec(uint64_t seed) {
  std::mt19937_64 rng(seed * 7919 + 1);
  std::normal_distribution<float> d;
  std::vector<float> v(kDims);
  for (float& x : v) x = d(rng);
  return v;
}

std::string rid(uint64_t i) { return "r" + std::to_string(i); }

void add_seeded(Collection& c, uint64_t i, const char* metadata = "null") {
  auto r = add_record(c, rand_vec(i), parse_metadata_text(metadata), rid(i), std::nullopt);
  ASSERT_TRUE(r) << r.error().render();
}

std::vector<std::string> ids_of(const std::vector<SearchHit>& hits) {
  std::vector<std::string> out;
  for (const SearchHit& h : hits) out.push_back(h.id);
  return out;
}

std::vector<SearchHit> must_search(Collection& c, uint64_t seed, uint64_t k,
                                   const std::optional<MetadataFilter>& filter = std::nullopt) {
  auto hits = search_collection(c, rand_vec(seed), k, filter);
  EXPECT_TRUE(hits) << hits.error().render();
  return hits ? std::move(*hits) : std::vector<SearchHit>();
}

TEST_F(HnswRoadTest, RefreshExtendsTheGraphOnlyWhenMoreRecordsWereAddedThanLost) {
  struct Case {
    const char* name;
    uint64_t deletes;  // of r0, r1, ... of the ten indexed records
    uint64_t adds;     // new records r100, r101, ...
    bool in_place;     // the incremental road keeps the index and extends it
    size_t nodes;
  };
  const Case cases[] = {
      {"adds only", 0, 3, true, 13},
      {"one delete, one add", 1, 1, false, 10},
      // The graph keeps the node of the deleted record, whose slot the first add reuses.
      {"one delete, two adds", 1, 2, true, 12},
      {"deletes only", 2, 0, false, 8},
      {"everything deleted", 10, 0, false, 0},
  };
  int n = 0;
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto opened = open_collection(dir_.file("c" + std::to_string(n++)),
                                  make_config(kDims, Metric::L2, road_hnsw()));
    ASSERT_TRUE(opened) << opened.error().render();
    Collection& c = **opened;
    for (uint64_t i = 0; i < 10; ++i) add_seeded(c, i);
    ASSERT_TRUE(sync_collection(c));
    ASSERT_TRUE(c.hnsw);
    ASSERT_EQ(index_node_count(*c.hnsw), 10u);
    const HnswIndex* before = c.hnsw.get();

    for (uint64_t i = 0; i < tc.deletes; ++i) ASSERT_TRUE(*delete_by_id(c, rid(i)));
    for (uint64_t i = 0; i < tc.adds; ++i) add_seeded(c, 100 + i);
    ASSERT_TRUE(flush_pending(c));
    ASSERT_TRUE(refresh_index(c));

    ASSERT_TRUE(c.hnsw);
    EXPECT_EQ(c.hnsw.get() == before, tc.in_place);
    EXPECT_EQ(index_node_count(*c.hnsw), tc.nodes);
    EXPECT_FALSE(c.needs_rebuild.load());
    // Every live record has a node that owns its slot; the new ones, linked one at a time
    // into a graph that reaches their neighbours, are their own nearest hit; a deleted
    // record never answers, though its node may stay in the graph.
    for (const Record& r : committed_records(c)) {
      EXPECT_TRUE(is_indexed(*c.hnsw->read_graph(), r.slot, r.id)) << r.id;
    }
    if (tc.in_place) {
      for (uint64_t i = 0; i < tc.adds; ++i) {
        EXPECT_EQ(ids_of(must_search(c, 100 + i, 1)), std::vector<std::string>{rid(100 + i)});
      }
    }
    for (uint64_t i = 0; i < tc.deletes; ++i) {
      for (const std::string& id : ids_of(must_search(c, i, 20))) EXPECT_NE(id, rid(i));
    }
  }
}

TEST_F(HnswRoadTest, AFullRebuildAnswersEveryLinkWithALinkBack) {
  // The nodes of a batch are linked concurrently: a node reached through the layer above
  // before it linked a layer itself, or the entry node, already holds back-links there when
  // it sets its own list, and must keep them, or the nodes that gave them can become
  // unreachable.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto opened = open_collection(dir_.file("c" + std::to_string(round)),
                                  make_config(kDims, Metric::L2, road_hnsw()));
    ASSERT_TRUE(opened) << opened.error().render();
    Collection& c = **opened;
    for (uint64_t i = 0; i < 300; ++i) add_seeded(c, i);
    ASSERT_TRUE(sync_collection(c));
    HnswIndex::GraphRead g = c.hnsw->read_graph();
    for (size_t l = 0; l < g->layer_count(); ++l) {
      for (uint32_t x = 0; x < g->node_count(); ++x) {
        for (const uint32_t y : g->neighbors(l, x)) {
          const auto back = g->neighbors(l, y);
          EXPECT_NE(std::find(back.begin(), back.end(), x), back.end())
              << "layer " << l << ": " << x << " -> " << y << " without a link back";
        }
      }
    }
    std::vector<bool> seen(g->node_count());
    std::vector<uint32_t> todo{*g->entry_point};
    seen[*g->entry_point] = true;
    size_t reached = 1;
    while (!todo.empty()) {
      const uint32_t x = todo.back();
      todo.pop_back();
      for (const uint32_t y : g->neighbors(0, x)) {
        if (seen[y]) continue;
        seen[y] = true;
        ++reached;
        todo.push_back(y);
      }
    }
    EXPECT_EQ(reached, 300u);
  }
}

TEST_F(HnswRoadTest, AFilterAsksTheGraphForFourTimesKCandidatesCappedAtTheNodeCount) {
  auto c = open(make_config(kDims, Metric::L2, road_hnsw()));
  ASSERT_TRUE(c);
  for (uint64_t i = 0; i < 300; ++i) add_seeded(*c, i, i % 10 == 0 ? R"({"g":1})" : R"({"g":0})");
  ASSERT_TRUE(sync_collection(*c));
  const MetadataFilter empty = parse_where_filter(parse_metadata_text("{}"));
  const MetadataFilter rare = parse_where_filter(parse_metadata_text(R"({"g":1})"));

  // An empty filter passes every candidate, so it gives the first k of a search for 4 x k:
  // the same walk, with the beam of 4 x k.
  for (uint64_t k : {1u, 5u, 20u}) {
    SCOPED_TRACE(k);
    auto wide = must_search(*c, 7, 4 * k);
    wide.resize(std::min<size_t>(wide.size(), k));
    EXPECT_EQ(ids_of(must_search(*c, 7, k, empty)), ids_of(wide));
  }

  // Past the node count, 4 x k is cut to it; a k whose 4 x k does not fit in 64 bits must
  // not wrap around to a small count (nor 2 x k on the road without a filter). A beam wider
  // than the graph reaches every node.
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  const auto all = ids_of(must_search(*c, 7, 300));
  ASSERT_EQ(all.size(), 300u);
  const std::vector<std::string> first_100(all.begin(), all.begin() + 100);
  EXPECT_EQ(ids_of(must_search(*c, 7, 100, empty)), first_100);
  for (uint64_t k : {uint64_t{1} << 62, uint64_t{1} << 63, max}) {
    SCOPED_TRACE(k);
    EXPECT_EQ(ids_of(must_search(*c, 7, k, empty)), all);
    EXPECT_EQ(ids_of(must_search(*c, 7, k)), all);
  }

  // A selective filter keeps only what passes among the 4 x k nearest: fewer than k come
  // back although 30 records match.
  auto few = must_search(*c, 7, 5, rare);
  EXPECT_LT(few.size(), 5u);
  for (const SearchHit& h : few) EXPECT_EQ(to_compact_json(h.metadata), R"({"g":1})");
}

// Hits of a search that ran while records came and went: each is a record that was added,
// scored against the vector it was added with, and passes the filter.
void check_hits(const std::vector<SearchHit>& hits, const std::vector<float>& query, uint64_t k,
                bool filtered) {
  EXPECT_LE(hits.size(), k);
  for (const SearchHit& h : hits) {
    ASSERT_EQ(h.id[0], 'r');
    const uint64_t seed = std::stoull(h.id.substr(1));
    const std::vector<float> v = rand_vec(seed);
    EXPECT_EQ(h.score, distance(Metric::L2, query, v)) << h.id;
    if (filtered) {
      EXPECT_EQ(to_compact_json(h.metadata), R"({"g":1})");
    }
  }
}

TEST_F(HnswRoadTest, SearchesRunWhileAnotherThreadAddsDeletesReplacesAndSyncs) {
  auto c = open(make_config(kDims, Metric::L2, road_hnsw()));
  ASSERT_TRUE(c);
  for (uint64_t i = 0; i < 200; ++i) add_seeded(*c, i, i % 2 ? R"({"g":1})" : R"({"g":0})");
  ASSERT_TRUE(sync_collection(*c));

  // The searchers run until the writer is done; each step of the writer waits until every
  // searcher has searched since the last one.
  std::vector<TurnWorker> workers;
  workers.push_back({400, [&, rng = std::mt19937_64(99)](uint64_t step) mutable {
                       // The ids cycle through 0..399, so later adds replace records under
                       // their ids (with the vector they always had, so scores stay checkable).
                       const uint64_t i = 200 + step;
                       const uint64_t seed = i % 400;
                       add_seeded(*c, seed, seed % 2 ? R"({"g":1})" : R"({"g":0})");
                       if (rng() % 4 == 0) {
                         ASSERT_TRUE(delete_by_id(*c, rid(rng() % 400)));
                       }
                       if (i % 25 == 0) {
                         auto s = sync_collection(*c);
                         ASSERT_TRUE(s) << s.error().render();
                       }
                     }});
  for (int t = 0; t < 4; ++t) {
    workers.push_back({std::nullopt, [&, rng = std::mt19937_64(t),
                                      odd = parse_where_filter(parse_metadata_text(R"({"g":1})"))](
                                         uint64_t) mutable {
                         const uint64_t seed = rng() % 400;
                         const uint64_t k = 1 + rng() % 12;
                         const bool filtered = rng() % 2;
                         auto hits = search_collection(
                             *c, rand_vec(seed), k, filtered ? std::optional(odd) : std::nullopt);
                         ASSERT_TRUE(hits) << hits.error().render();
                         check_hits(*hits, rand_vec(seed), k, filtered);
                       }});
  }
  run_turns(workers);
  ASSERT_FALSE(HasFatalFailure());

  // Once everything is synced, every live record has a node that owns its slot, and nearly
  // every one is its own first hit (an insertion can prune away the only link to a node). A
  // few hits are asked for: nodes of records replaced under their ids keep the vector and
  // score as well, though they never answer.
  ASSERT_TRUE(sync_collection(*c));
  const std::vector<Record> live = committed_records(*c);
  size_t found = 0;
  for (const Record& r : live) {
    EXPECT_TRUE(is_indexed(*c->hnsw->read_graph(), r.slot, r.id)) << r.id;
    const auto hits = must_search(*c, std::stoull(r.id.substr(1)), 3);
    if (!hits.empty() && hits[0].id == r.id) ++found;
  }
  EXPECT_GE(found * 100, live.size() * 98) << found << " of " << live.size();
}

}  // namespace
}  // namespace tornquil::testing
