// Deleting committed records (and deletes that fail half-way), replacing records by id,
// and sync.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>

#include "collection_fixture.hpp"
#include "search/hnsw/persist.hpp"

namespace tornquil::testing {
namespace {

using DeleteTest = ManualClockTest;
using UpsertTest = ManualClockTest;
using SyncTest = ManualClockTest;

uint32_t first_float_bits(Collection& c, uint64_t slot) {
  auto f = slot_floats(c, slot);
  return f.empty() ? 0 : std::bit_cast<uint32_t>(f[0]);
}

size_t occurrences(const std::vector<uint64_t>& list, uint64_t slot) {
  return static_cast<size_t>(std::count(list.begin(), list.end(), slot));
}

// Three committed records a, b, c in slots 0, 1, 2.
std::shared_ptr<Collection> with_abc(std::shared_ptr<Collection> c) {
  for (int i = 0; i < 3; ++i) add(*c, i, std::string(1, static_cast<char>('a' + i)));
  EXPECT_TRUE(flush_pending(*c));
  return c;
}

TEST_F(DeleteTest, MarksTheSlotFreesItAndRemovesTheRecord) {
  auto c = with_abc(open(make_config(4)));
  ASSERT_TRUE(delete_record(*c, "b", 1));

  EXPECT_EQ(first_float_bits(*c, 1), 0x7FC00000u);
  // Only the first float carries the marker.
  const std::vector<float> before = vec(4, 1);
  const std::vector<float> now = slot_floats(*c, 1);
  ASSERT_EQ(now.size(), 4u);
  EXPECT_TRUE(std::equal(now.begin() + 1, now.end(), before.begin() + 1));
  EXPECT_EQ(committed_record(*c, "b"), std::nullopt);
  EXPECT_TRUE(committed_record(*c, "a"));
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{1});
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{1});
  EXPECT_FALSE(c->needs_rebuild.load());  // no HNSW parameters

  add(*c, 7, "d");
  std::lock_guard lk(c->pending_lock);
  EXPECT_EQ(c->pending.back().record.slot, 1u);
  EXPECT_EQ(slot_count(*c), 3u);
}

TEST_F(DeleteTest, SlotBeyondTheFileFailsAndChangesNothing) {
  auto c = with_abc(open(make_config(4)));
  auto r = delete_record(*c, "b", 3);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().render(), "Record not found: Slot 3 not allocated");
  EXPECT_EQ(committed_record(*c, "b")->state, RecordState::Active);
  EXPECT_TRUE(memory_freelist(*c).empty());
  EXPECT_EQ(first_float_bits(*c, 1), std::bit_cast<uint32_t>(vec(4, 1)[0]));
}

TEST_F(DeleteTest, FailedFirstTransactionLeavesTheRecordAndItsSlotAlone) {
  auto c = with_abc(open(make_config(4)));
  c->TEST_fail_next_commit();
  auto r = delete_record(*c, "b", 1);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Transaction);
  EXPECT_EQ(committed_record(*c, "b")->state, RecordState::Active);
  EXPECT_EQ(slot_floats(*c, 1), vec(4, 1));
  EXPECT_TRUE(memory_freelist(*c).empty());
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{});

  // The slot b still names is not handed to a new record.
  add(*c, 8, "d");
  ASSERT_TRUE(flush_pending(*c));
  EXPECT_EQ(committed_record(*c, "d")->slot, 3u);
  ASSERT_TRUE(delete_record(*c, "b", 1));
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{1});
}

TEST_F(DeleteTest, RetryAfterAFailedSecondTransactionFreesTheSlotOnlyOnce) {
  auto c = with_abc(open(make_config(4)));
  c->TEST_fail_next_commit(1);  // transaction 1 commits, transaction 2 fails
  ASSERT_FALSE(delete_record(*c, "b", 1));
  EXPECT_EQ(committed_record(*c, "b")->state, RecordState::Tombstone);
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{1});
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{1});

  ASSERT_TRUE(delete_record(*c, "b", 1));
  EXPECT_EQ(committed_record(*c, "b"), std::nullopt);
  EXPECT_EQ(occurrences(memory_freelist(*c), 1), 1u);
  EXPECT_EQ(occurrences(*stored_freelist(*c), 1), 1u);
}

TEST_F(DeleteTest, RetryAfterTheSlotWasReusedLeavesTheNewRecordAlone) {
  auto c = with_abc(open(make_config(4)));
  c->TEST_fail_next_commit(1);
  ASSERT_FALSE(delete_record(*c, "b", 1));
  add(*c, 9, "n");  // takes slot 1, which the Tombstone of b still names
  ASSERT_TRUE(flush_pending(*c));
  ASSERT_EQ(committed_record(*c, "n")->slot, 1u);

  ASSERT_TRUE(delete_record(*c, "b", 1));
  EXPECT_EQ(committed_record(*c, "b"), std::nullopt);
  EXPECT_EQ(slot_floats(*c, 1), vec(4, 9));
  EXPECT_TRUE(memory_freelist(*c).empty());
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{});
}

TEST_F(DeleteTest, StaleSlotOfAReplacedRecordDeletesNothing) {
  auto c = open(make_config(4));
  add(*c, 1, "x");
  ASSERT_TRUE(flush_pending(*c));
  add(*c, 2, "x");
  ASSERT_TRUE(flush_pending(*c));  // x now names slot 1

  // The flush that replaced x freed slot 0; the stale delete frees it no second time.
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
  ASSERT_TRUE(delete_record(*c, "x", 0));
  EXPECT_EQ(committed_record(*c, "x")->slot, 1u);
  EXPECT_EQ(slot_floats(*c, 1), vec(4, 2));
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
  // And an id with no record at all: nothing to free.
  ASSERT_TRUE(delete_record(*c, "nobody", 0));
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
}

TEST_F(DeleteTest, WithHnswParametersMarksTheIndexForRefresh) {
  const CollectionConfig config = make_config(4, Metric::L2, small_hnsw());
  auto c = with_abc(open(config));
  EXPECT_TRUE(c->needs_rebuild.load());  // set by the flush
  c->needs_rebuild.store(false);
  ASSERT_TRUE(delete_record(*c, "a", 0));
  EXPECT_TRUE(c->needs_rebuild.load());  // no index yet, and still set

  // With an index, the slot leaves the slot map and joins the deleted set; the node stays.
  HnswGraph g;
  g.config = small_hnsw();
  for (uint32_t i = 0; i < 3; ++i) {
    g.add_node(std::string(1, static_cast<char>('a' + i)), i, 0);
    g.slot_to_node[i] = i;
  }
  g.entry_point = 0;
  {
    std::unique_lock lk(c->hnsw_lock);
    c->hnsw = std::make_unique<HnswIndex>(std::move(g), Metric::L2);
  }
  c->needs_rebuild.store(false);
  ASSERT_TRUE(delete_record(*c, "c", 2));
  EXPECT_TRUE(c->needs_rebuild.load());
  EXPECT_EQ(*c->hnsw->read_deleted(), (SlotSet{2}));
  auto graph = c->hnsw->read_graph();
  EXPECT_EQ(graph->node_count(), 3u);
  EXPECT_EQ(graph->slot_to_node.count(2), 0u);
  EXPECT_EQ(graph->slot_to_node.count(1), 1u);
}

TEST_F(UpsertTest, BufferedCopyIsReplacedWithoutTheDeletedMarker) {
  auto c = open(make_config(4));
  add(*c, 1, "x");
  add(*c, 2, "other");
  ASSERT_TRUE(upsert_record(*c, "x", vec(4, 5), JsonValue(), std::nullopt));
  // The freed slot 0 went straight to the new copy, with its vector and no marker.
  std::lock_guard lk(c->pending_lock);
  ASSERT_EQ(c->pending.size(), 2u);
  EXPECT_EQ(c->pending[0].record.id, "other");
  EXPECT_EQ(c->pending[1].record.id, "x");
  EXPECT_EQ(c->pending[1].record.slot, 0u);
  EXPECT_EQ(slot_count(*c), 2u);
}

TEST_F(UpsertTest, CommittedRecordIsReplacedInOneTransaction) {
  auto c = open(make_config(4));
  add(*c, 1, "x");
  ASSERT_TRUE(flush_pending(*c));  // committed in slot 0
  ASSERT_TRUE(upsert_record(*c, "x", vec(4, 5), JsonValue(), 60));
  // The new record is committed at once in a new slot; the old slot was freed after the
  // commit, with the deleted marker, and is saved in the free list.
  EXPECT_EQ(buffered(*c), 0u);
  auto x = committed_record(*c, "x");
  ASSERT_TRUE(x);
  EXPECT_EQ(x->slot, 1u);
  EXPECT_EQ(x->expires_at, x->created_at + 60);
  EXPECT_EQ(slot_floats(*c, 1), vec(4, 5));
  EXPECT_TRUE(std::isnan(slot_floats(*c, 0)[0]));
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{0});
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
  EXPECT_EQ(committed_records(*c).size(), 1u);
}

TEST_F(UpsertTest, BufferedAndCommittedCopiesAreBothReplaced) {
  auto c = open(make_config(4));
  add(*c, 1, "x");
  ASSERT_TRUE(flush_pending(*c));  // committed in slot 0
  add(*c, 2, "x");                 // buffered in slot 1
  ASSERT_TRUE(upsert_record(*c, "x", vec(4, 5), JsonValue(), std::nullopt));
  // The buffered copy's slot 1 was freed and taken by the new record; slot 0 was freed
  // after the replacing commit.
  EXPECT_EQ(buffered(*c), 0u);
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
  auto recs = committed_records(*c);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].slot, 1u);
  EXPECT_EQ(slot_floats(*c, 1), vec(4, 5));
}

TEST_F(UpsertTest, UnknownIdIsAnAddAndATwiceBufferedIdLosesEveryCopy) {
  auto c = open(make_config(4));
  ASSERT_TRUE(upsert_record(*c, "new", vec(4, 1), JsonValue(), std::nullopt));
  EXPECT_EQ(buffered_ids(*c), std::vector<std::string>{"new"});

  add(*c, 2, "x");  // slot 1
  add(*c, 3, "x");  // slot 2
  ASSERT_TRUE(upsert_record(*c, "x", vec(4, 4), JsonValue(), std::nullopt));
  {
    std::lock_guard lk(c->pending_lock);
    ASSERT_EQ(c->pending.size(), 2u);
    EXPECT_EQ(c->pending[1].record.slot, 2u);  // the last freed of the two copies' slots
  }
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{1});
  ASSERT_TRUE(flush_pending(*c));
  auto x = committed_record(*c, "x");
  ASSERT_TRUE(x);
  EXPECT_EQ(x->slot, 2u);
  EXPECT_EQ(slot_floats(*c, 2), vec(4, 4));
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{1});
  EXPECT_EQ(slot_count(*c), 3u);
}

TEST_F(SyncTest, EmptyBufferStillSucceedsAndWritesNoIndexWithoutParameters) {
  auto c = open(make_config(4));
  ASSERT_TRUE(sync_collection(*c));
  add(*c, 1, "a");
  ASSERT_TRUE(sync_collection(*c));
  EXPECT_EQ(buffered(*c), 0u);
  EXPECT_TRUE(committed_record(*c, "a"));
  EXPECT_FALSE(std::filesystem::exists(coll_dir() + "/hnsw.index"));
}

TEST_F(SyncTest, SavesThePresentIndex) {
  const CollectionConfig config = make_config(4, Metric::L2, small_hnsw());
  auto c = open(config);
  ASSERT_TRUE(sync_collection(*c));
  EXPECT_FALSE(std::filesystem::exists(coll_dir() + "/hnsw.index"));  // no index yet

  HnswGraph g;
  g.config = small_hnsw();
  g.add_node("a", 0, 0);
  g.slot_to_node[0] = 0;
  g.entry_point = 0;
  const HnswGraph expected = g;
  {
    std::unique_lock lk(c->hnsw_lock);
    c->hnsw = std::make_unique<HnswIndex>(std::move(g), Metric::L2);
  }
  ASSERT_TRUE(sync_collection(*c));
  auto loaded = load_index(coll_dir() + "/hnsw.index", Metric::L2);
  ASSERT_TRUE(loaded) << loaded.error().render();
  EXPECT_EQ(*(*loaded)->read_graph(), expected);
}

}  // namespace
}  // namespace tornquil::testing
