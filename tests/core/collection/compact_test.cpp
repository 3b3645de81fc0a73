// Compaction: which records a scan finds dead, what happens to their slots, removal in
// groups, and a group whose commit fails.
#include "collection/compact.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>

#include "base/platform.hpp"
#include "collection_fixture.hpp"
#include "search/hnsw/persist.hpp"

namespace tornquil::testing {
namespace {

using CompactTest = CollectionTest;

constexpr uint64_t kDims = 4;
constexpr uint32_t kMarker = 0x7FC00000u;

uint32_t first_bits(Collection& c, uint64_t slot) {
  auto f = slot_floats(c, slot);
  return f.empty() ? 0 : std::bit_cast<uint32_t>(f[0]);
}

// Rewrites a committed record as given, in a transaction of its own.
void put(Collection& c, const Record& r) {
  auto txn = begin_write_txn(*c.meta);
  ASSERT_TRUE(txn);
  ASSERT_TRUE(put_record(*txn, r));
  ASSERT_TRUE(txn->commit());
}

Record rec(std::string id, uint64_t slot, RecordState state,
           std::optional<uint64_t> expires_at = std::nullopt) {
  Record r;
  r.id = std::move(id);
  r.slot = slot;
  r.metadata = "{}";
  r.created_at = 1700000000;
  r.expires_at = expires_at;
  r.state = state;
  return r;
}

std::vector<std::string> ids(Collection& c) {
  std::vector<std::string> out;
  for (const Record& r : committed_records(c)) out.push_back(r.id);
  return out;
}

CompactStatsData compact_ok(Collection& c) {
  auto s = compact_collection(c);
  EXPECT_TRUE(s) << s.error().render();
  return s ? *s : CompactStatsData{};
}

TEST_F(CompactTest, ACollectionNeverFlushedGivesZeros) {
  auto c = open(make_config(kDims));
  add(*c, 1, "buffered", 0);  // expired, but only in the buffer
  const CompactStatsData s = compact_ok(*c);
  EXPECT_EQ(s.expired_removed, 0u);
  EXPECT_EQ(s.tombstones_removed, 0u);
  EXPECT_EQ(s.bytes_freed, 0u);
  EXPECT_EQ(buffered(*c), 1u);
  EXPECT_EQ(stored_freelist(*c), std::nullopt);  // nothing written

  // Once flushed it is found.
  ASSERT_TRUE(flush_pending(*c));
  EXPECT_EQ(compact_ok(*c).expired_removed, 1u);
  EXPECT_TRUE(committed_records(*c).empty());
}

// Every kind of record at once: which are removed, how they count, and what their slots
// become.
TEST_F(CompactTest, ClassifiesExpiryFirstThenTombstones) {
  auto c = open(make_config(kDims));
  // Slots 0..7, one record each.
  const char* names[] = {"a-live",         "b-ttl0", "c-tomb-expired", "d-tomb",
                         "e-pend-expired", "f-pend", "g-future",       "h-expired"};
  for (int i = 0; i < 8; ++i) add(*c, i, names[i]);
  ASSERT_TRUE(flush_pending(*c));
  const uint64_t now = now_unix_secs();
  put(*c, rec("b-ttl0", 1, RecordState::Active, 1700000000));  // expires_at == created_at
  put(*c, rec("c-tomb-expired", 2, RecordState::Tombstone, 5));
  put(*c, rec("d-tomb", 3, RecordState::Tombstone));
  put(*c, rec("e-pend-expired", 4, RecordState::Pending, now));
  put(*c, rec("f-pend", 5, RecordState::Pending));
  put(*c, rec("g-future", 6, RecordState::Active, now + 3600));
  put(*c, rec("h-expired", 7, RecordState::Active, 0));

  const CompactStatsData s = compact_ok(*c);
  EXPECT_EQ(s.expired_removed, 4u);  // b, c (a Tombstone, but expired), e, h
  // d, and f: no running batch owns a Pending record, so its batch is gone.
  EXPECT_EQ(s.tombstones_removed, 2u);
  EXPECT_EQ(s.bytes_freed, 6u * kDims * 4);
  EXPECT_EQ(ids(*c), (std::vector<std::string>{"a-live", "g-future"}));

  // Key order of the removed records that compaction frees, then the Tombstones' slots,
  // which their deletes would have freed: here no delete did, so the sweep gives them back.
  const std::vector<uint64_t> freed{1, 4, 5, 7, 2, 3};
  EXPECT_EQ(memory_freelist(*c), freed);
  EXPECT_EQ(stored_freelist(*c), freed);
  for (uint64_t s : freed) EXPECT_EQ(first_bits(*c, s), kMarker) << s;
  for (uint64_t s : {0, 6}) EXPECT_NE(first_bits(*c, s), kMarker) << s;
  EXPECT_EQ(slot_count(*c), 8u);

  const CompactStatsData again = compact_ok(*c);
  EXPECT_EQ(again.expired_removed + again.tombstones_removed + again.bytes_freed, 0u);
}

// Slots a removed record names but compaction must not mark or free.
TEST_F(CompactTest, LeavesSlotsItDoesNotOwn) {
  auto c = open(make_config(kDims));
  for (int i = 0; i < 3; ++i) add(*c, i, "r" + std::to_string(i));
  ASSERT_TRUE(flush_pending(*c));
  add(*c, 9, "buffered");  // slot 3, still in the write buffer
  // r0's slot was freed by its delete and then handed to "live"; r0 stayed a Tombstone.
  put(*c, rec("live", 0, RecordState::Active));
  put(*c, rec("r0", 0, RecordState::Tombstone));
  // r1: a Tombstone whose delete marked and freed the slot already.
  ASSERT_TRUE(delete_record(*c, "r1", 1));
  put(*c, rec("r1", 1, RecordState::Tombstone));
  // tb names the buffered record's slot.
  put(*c, rec("tb", 3, RecordState::Tombstone));
  // r2 and r9 name slots the file never allocated; slot 2, which r2 named before, is named
  // by nothing now: a leaked slot.
  put(*c, rec("r2", 4, RecordState::Tombstone));
  put(*c, rec("r9", uint64_t{1} << 30, RecordState::Active, 0));

  const CompactStatsData s = compact_ok(*c);
  EXPECT_EQ(s.tombstones_removed, 4u);
  EXPECT_EQ(s.expired_removed, 1u);
  EXPECT_EQ(s.bytes_freed, kDims * 4);  // the leaked slot 2, given back by the sweep
  EXPECT_EQ(ids(*c), std::vector<std::string>{"live"});
  EXPECT_EQ(slot_floats(*c, 0), vec(kDims, 0));  // the live record's vector is intact
  EXPECT_EQ(slot_floats(*c, 3), vec(kDims, 9));
  EXPECT_EQ(memory_freelist(*c), (std::vector<uint64_t>{1, 2}));  // no second copy of 1
  EXPECT_EQ(stored_freelist(*c), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(slot_count(*c), 4u);
  EXPECT_EQ(buffered_ids(*c), std::vector<std::string>{"buffered"});
}

TEST_F(CompactTest, RemovesInGroupsAndAFailedGroupChangesNothing) {
  auto c = open(make_config(kDims));
  const size_t n = 2 * kCompactGroupSize + 500;
  Batch b;
  b.ids.emplace();
  b.ttls.emplace(n, 0);
  for (size_t i = 0; i < n; ++i) {
    char id[16];
    std::snprintf(id, sizeof id, "k%05zu", i);
    b.row(vec(kDims, i));
    b.ids->push_back(id);
  }
  auto stored = add_batch_records(*c, b.input());
  ASSERT_TRUE(stored) << stored.error().render();
  ASSERT_EQ(committed_records(*c).size(), n);

  c->TEST_fail_next_commit(1);  // the first group commits, the second fails
  auto r = compact_collection(*c);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Transaction);

  // Ids in key order fill slots in the same order, so the first group is slots 0..999.
  EXPECT_EQ(committed_records(*c).size(), n - kCompactGroupSize);
  std::vector<uint64_t> first(kCompactGroupSize);
  for (size_t i = 0; i < first.size(); ++i) first[i] = i;
  EXPECT_EQ(memory_freelist(*c), first);
  EXPECT_EQ(stored_freelist(*c), first);
  EXPECT_EQ(first_bits(*c, 999), kMarker);
  EXPECT_NE(first_bits(*c, 1000), kMarker);  // the failed group's slots are untouched

  const CompactStatsData s = compact_ok(*c);
  EXPECT_EQ(s.expired_removed, n - kCompactGroupSize);
  EXPECT_EQ(s.bytes_freed, (n - kCompactGroupSize) * kDims * 4);
  EXPECT_TRUE(committed_records(*c).empty());
  std::vector<uint64_t> all = memory_freelist(*c);
  EXPECT_EQ(all.size(), n);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(stored_freelist(*c)->size(), n);

  // Freed slots are reused, never beyond the file.
  add(*c, 1, "new");
  EXPECT_LT(c->pending.back().record.slot, n);
  EXPECT_EQ(slot_count(*c), n);
}

// Compaction tells the index, as a delete does: each freed slot leaves the graph's slot map
// and joins its deleted set, and the index is marked for refresh (the refresh itself is the
// next search's or sync's business, so the graph's nodes and the saved file stay).
TEST_F(CompactTest, TellsTheIndexOfEveryFreedSlot) {
  auto c = open(make_config(kDims, Metric::L2, small_hnsw()));
  for (int i = 0; i < 10; ++i) {
    add(*c, i, "r" + std::to_string(i), i < 5 ? std::optional<uint64_t>(0) : std::nullopt);
  }
  ASSERT_TRUE(sync_collection(*c));
  const HnswIndex* index = c->hnsw.get();
  ASSERT_NE(index, nullptr);
  const uint64_t nodes = index_node_count(*index);
  const std::string file = platform::join_path(c->dir, kIndexFileName);
  ASSERT_TRUE(std::filesystem::exists(file));
  const std::string bytes = read_bytes(file);
  EXPECT_FALSE(c->needs_rebuild.load());  // the sync's refresh cleared it
  {
    // As if the expired records had been indexed while they were live (records added with
    // ttl 0 never are): their slots name nodes.
    HnswIndex::GraphWrite g = c->hnsw->write_graph();
    for (uint64_t s = 0; s < 5; ++s) g->slot_to_node[s] = 0;
  }
  c->needs_rebuild.store(false);
  EXPECT_EQ(compact_ok(*c).expired_removed, 5u);
  EXPECT_EQ(c->hnsw.get(), index);
  EXPECT_EQ(index_node_count(*index), nodes);
  EXPECT_TRUE(c->needs_rebuild.load());
  {
    HnswIndex::GraphRead g = c->hnsw->read_graph();
    for (uint64_t s = 0; s < 10; ++s) EXPECT_EQ((g->slot_to_node.count(s) == 1), s >= 5) << s;
  }
  {
    HnswIndex::DeletedRead d = c->hnsw->read_deleted();
    for (uint64_t s = 0; s < 10; ++s) EXPECT_EQ(d->contains(s), s < 5) << s;
  }
  EXPECT_EQ(read_bytes(file), bytes);
}

// Slots the graph never held (records added with ttl 0 are never live, so never indexed)
// leave the graph, its slot map, the rebuild mark and the saved file as they are.
TEST_F(CompactTest, LeavesTheGraphAloneForSlotsItNeverHeld) {
  auto c = open(make_config(kDims, Metric::L2, small_hnsw()));
  for (int i = 0; i < 10; ++i) {
    add(*c, i, "r" + std::to_string(i), i % 2 ? std::optional<uint64_t>(0) : std::nullopt);
  }
  ASSERT_TRUE(sync_collection(*c));
  const HnswIndex* index = c->hnsw.get();
  ASSERT_NE(index, nullptr);
  const std::string file = platform::join_path(c->dir, kIndexFileName);
  const std::string bytes = read_bytes(file);
  const SlotToNode held = c->hnsw->read_graph()->slot_to_node;
  EXPECT_EQ(held.size(), 5u);

  const CompactStatsData s = compact_ok(*c);
  EXPECT_EQ(s.expired_removed, 5u);
  EXPECT_EQ(s.bytes_freed, 5 * kDims * 4);
  EXPECT_EQ(memory_freelist(*c), (std::vector<uint64_t>{1, 3, 5, 7, 9}));
  EXPECT_FALSE(c->needs_rebuild.load());
  EXPECT_TRUE(c->hnsw->read_graph()->slot_to_node == held);
  EXPECT_TRUE(c->hnsw->read_deleted()->empty());

  ASSERT_TRUE(sync_collection(*c));
  EXPECT_EQ(c->hnsw.get(), index);
  EXPECT_EQ(read_bytes(file), bytes);
}

TEST_F(CompactTest, ADamagedRecordFailsBeforeAnythingChanges) {
  auto c = open(make_config(kDims));
  add(*c, 1, "a", 0);
  ASSERT_TRUE(flush_pending(*c));
  {
    auto txn = begin_write_txn(*c->meta);
    ASSERT_TRUE(txn);
    ASSERT_TRUE(txn->put(kRecordsTable, "b", "xx"));
    ASSERT_TRUE(txn->commit());
  }
  auto r = compact_collection(*c);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  EXPECT_TRUE(committed_record(*c, "a"));
  EXPECT_TRUE(memory_freelist(*c).empty());
  EXPECT_NE(first_bits(*c, 0), kMarker);
}

}  // namespace
}  // namespace tornquil::testing
