// The index refresh of a collection: when it does nothing, the empty and built index it
// installs, the build profile on standard error, a failing record read that leaves
// everything as it was, and a flush that commits during a rebuild.
#include "collection/index_refresh.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "collection_fixture.hpp"
#include "search/hnsw/level.hpp"

namespace tornquil::testing {
namespace {

HnswConfig graph_config() {
  HnswConfig h = small_hnsw();
  h.level_multiplier = 0.5;
  return h;
}

class RefreshTest : public CollectionTest {
 protected:
  void TearDown() override { TEST_set_refresh_hooks(nullptr); }

  std::shared_ptr<Collection> open_with_records(uint64_t n, uint64_t dims = 4) {
    auto c = open(make_config(dims, Metric::L2, graph_config()));
    for (uint64_t i = 0; i < n; ++i) add(*c, i, "r" + std::to_string(100000 + i));
    EXPECT_TRUE(flush_pending(*c));
    return c;
  }

  static size_t node_count(Collection& c) {
    std::shared_lock lk(c.hnsw_lock);
    return c.hnsw ? index_node_count(*c.hnsw) : SIZE_MAX;
  }
};

TEST_F(RefreshTest, NothingHappensWithoutParametersOrWithoutTheMark) {
  auto plain = open(make_config(4));
  add(*plain, 1);
  ASSERT_TRUE(flush_pending(*plain));
  plain->needs_rebuild.store(true);
  ASSERT_TRUE(refresh_index(*plain));
  EXPECT_EQ(plain->hnsw, nullptr);
  EXPECT_TRUE(plain->needs_rebuild.load());
  plain.reset();

  auto c = open_with_records(3);
  c->needs_rebuild.store(false);
  ASSERT_TRUE(refresh_index(*c));
  EXPECT_EQ(c->hnsw, nullptr);
}

TEST_F(RefreshTest, BuildsFromTheLiveRecordsAndClearsTheMark) {
  auto c = open(make_config(4, Metric::L2, graph_config()));
  c->needs_rebuild.store(true);
  ASSERT_TRUE(refresh_index(*c));  // no records table yet: an empty index, not none
  ASSERT_NE(c->hnsw, nullptr);
  EXPECT_EQ(node_count(*c), 0u);
  EXPECT_FALSE(c->needs_rebuild.load());

  for (uint64_t i = 0; i < 5; ++i) add(*c, i, "id" + std::to_string(4 - i));
  add(*c, 9, "expired", 0);  // expires at once: not live
  ASSERT_TRUE(flush_pending(*c));
  ASSERT_TRUE(c->needs_rebuild.load());
  ASSERT_TRUE(refresh_index(*c));
  EXPECT_FALSE(c->needs_rebuild.load());
  const auto g = c->hnsw->read_graph();
  ASSERT_EQ(g->node_count(), 5u);
  for (uint32_t i = 0; i < 5; ++i) {
    // Node order is key order; the slots are the records'.
    EXPECT_EQ(g->id(i), "id" + std::to_string(i));
    EXPECT_EQ(g->slot(i), 4u - i);
    EXPECT_EQ(g->level(i), draw_level(4 - i, 0.5));
  }
  EXPECT_EQ(g->config, graph_config());
}

// A rebuild of 1000 nodes prints seven lines in one write; 999 print nothing.
TEST_F(RefreshTest, ProfileFromOneThousandNodes) {
  auto c = open_with_records(999);
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(refresh_index(*c));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(node_count(*c), 999u);

  add(*c, 5000, "z");
  ASSERT_TRUE(flush_pending(*c));
  {
    // Without an index the refresh takes the full road.
    std::unique_lock lk(c->hnsw_lock);
    c->hnsw.reset();
  }
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(refresh_index(*c));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(node_count(*c), 1000u);
  const std::regex layout(
      "HNSW Build Profile \\(1000 nodes\\):\n"
      "  Phase 1 \\(setup\\):   [ \\d]{5}\\.\\d\\ds \\([ \\d]{3}\\.\\d%\\)\n"
      "  Phase 2 \\(insert\\):  [ \\d]{5}\\.\\d\\ds \\([ \\d]{3}\\.\\d%\\)\n"
      "  Phase 3 \\(repair\\):  [ \\d]{5}\\.\\d\\ds \\([ \\d]{3}\\.\\d%\\)\n"
      "  Total:             [ \\d]{5}\\.\\d\\ds \\(\\d+ vec/s\\)\n"
      "  Distance calcs:    [1-9]\\d*\n"
      "  Nodes improved:    0\n");
  EXPECT_TRUE(std::regex_match(err, layout)) << err;
}

// The second read of the records fails (a record that no longer decodes appears in the
// store just before it): the old index, its node count and the mark stay.
TEST_F(RefreshTest, AFailedSecondReadLeavesEverythingAsItWas) {
  auto c = open_with_records(4);
  ASSERT_TRUE(refresh_index(*c));
  const HnswIndex* old = c->hnsw.get();
  add(*c, 7, "r100003");  // a second copy of the same id: live count equals node count
  ASSERT_TRUE(flush_pending(*c));
  ASSERT_TRUE(c->needs_rebuild.load());

  static const RefreshTestHooks hooks{[](Collection& coll) {
    // Another writer's commit, done on a thread of its own (this one holds locks the
    // writer may not wait for).
    std::thread([&coll] {
      auto txn = begin_write_txn(*coll.meta);
      ASSERT_TRUE(txn);
      ASSERT_TRUE(txn->put(kRecordsTable, "broken", "\x01"));
      ASSERT_TRUE(txn->commit());
    }).join();
  }};
  TEST_set_refresh_hooks(&hooks);
  auto r = refresh_index(*c);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  EXPECT_EQ(c->hnsw.get(), old);
  EXPECT_EQ(node_count(*c), 4u);
  EXPECT_TRUE(c->needs_rebuild.load());
}

// Records committed after the rebuild read its list are not in the new graph; the mark
// their flush set must survive the refresh so that the next one takes them in.
TEST_F(RefreshTest, AFlushDuringARebuildKeepsTheMark) {
  auto c = open_with_records(3);
  add(*c, 50, "late");  // buffered; its vector is already written
  static const RefreshTestHooks hooks{
      nullptr,
      [](Collection& coll) { std::thread([&coll] { ASSERT_TRUE(flush_pending(coll)); }).join(); }};
  TEST_set_refresh_hooks(&hooks);
  ASSERT_TRUE(refresh_index(*c));
  TEST_set_refresh_hooks(nullptr);
  EXPECT_EQ(node_count(*c), 3u);
  EXPECT_TRUE(c->needs_rebuild.load());
  ASSERT_TRUE(refresh_index(*c));
  EXPECT_EQ(node_count(*c), 4u);
  EXPECT_FALSE(c->needs_rebuild.load());
}

}  // namespace
}  // namespace tornquil::testing
