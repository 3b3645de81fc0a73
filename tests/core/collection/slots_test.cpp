// Slot ownership: what a release does to the vector file, the graph, the rebuild mark and
// the free list for an indexed slot, one the graph never held, one already free and one
// outside the file; group releases; deferral to a running batch; the sweep's quiet moments;
// and the refresh that keeps a graph in step.
#include "collection/slots.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "collection/index_refresh.hpp"
#include "collection_fixture.hpp"

namespace tornquil::testing {
namespace {

constexpr uint64_t kDims = 4;
constexpr uint32_t kMarker = 0x7FC00000u;

uint32_t first_bits(Collection& c, uint64_t slot) {
  auto f = slot_floats(c, slot);
  return f.empty() ? 0 : std::bit_cast<uint32_t>(f[0]);
}

std::vector<uint64_t> held_slots(Collection& c) {
  std::shared_lock lk(c.hnsw_lock);
  std::vector<uint64_t> out;
  if (!c.hnsw) return out;
  auto g = c.hnsw->read_graph();
  for (const auto& [slot, node] : g->slot_to_node) out.push_back(slot);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<uint64_t> deleted_slots(Collection& c) {
  std::shared_lock lk(c.hnsw_lock);
  std::vector<uint64_t> out;
  if (!c.hnsw) return out;
  auto d = c.hnsw->read_deleted();
  out.assign(d->begin(), d->end());
  std::sort(out.begin(), out.end());
  return out;
}

void push_free(Collection& c, uint64_t slot) {
  std::unique_lock lk(c.slots.freelist_lock);
  free_slot(c.slots.freelist, slot);
}

class SlotsTest : public CollectionTest {
 protected:
  // Records a, b, c in slots 0 to 2, indexed by a built graph, and x in slot 3, added with
  // ttl 0 and so never live and never indexed. The mark is cleared, as the refresh left it.
  std::shared_ptr<Collection> indexed(std::string name = "notes", bool with_index = true) {
    auto opened = open_collection(dir_.file("collections/" + name),
                                  make_config(kDims, Metric::L2, small_hnsw()));
    EXPECT_TRUE(opened);
    auto c = *opened;
    for (uint64_t i = 0; i < 3; ++i) add(*c, i, std::string(1, static_cast<char>('a' + i)));
    add(*c, 3, "x", 0);
    EXPECT_TRUE(flush_pending(*c));
    if (with_index) {
      EXPECT_TRUE(refresh_index(*c));
    }
    c->needs_rebuild.store(false);
    return c;
  }
};

// One release of one slot, from each state that matters.
TEST_F(SlotsTest, ReleaseTouchesOnlyWhatTheSlotHeld) {
  struct Case {
    const char* what;
    uint64_t slot;
    bool with_index;
    bool already_free;  // pushed onto the free list before the release
    bool marked;        // the first float becomes the deleted marker
    std::vector<uint64_t> held_after;
    std::vector<uint64_t> deleted_after;
    bool rebuild;
  };
  const Case cases[] = {
      {"indexed", 1, true, false, true, {0, 2}, {1}, true},
      {"never indexed", 3, true, false, true, {0, 1, 2}, {}, false},
      {"already free", 2, true, true, false, {0, 1, 2}, {}, false},
      // Without an index yet, the mark asks for the first build, as a delete always has.
      {"no index yet", 1, false, false, true, {}, {}, true},
  };
  int n = 0;
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.what);
    auto c = indexed("case" + std::to_string(n++), tc.with_index);
    if (tc.already_free) push_free(*c, tc.slot);
    const std::vector<float> before = slot_floats(*c, tc.slot);

    ASSERT_TRUE(release_slot(*c, tc.slot));
    if (tc.marked) {
      EXPECT_EQ(first_bits(*c, tc.slot), kMarker);
    } else {
      EXPECT_EQ(slot_floats(*c, tc.slot), before);
    }
    EXPECT_EQ(held_slots(*c), tc.held_after);
    EXPECT_EQ(deleted_slots(*c), tc.deleted_after);
    EXPECT_EQ(c->needs_rebuild.load(), tc.rebuild);
    EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{tc.slot});

    // A second release of the now free slot does nothing at all.
    c->needs_rebuild.store(false);
    ASSERT_TRUE(release_slot(*c, tc.slot));
    EXPECT_EQ(held_slots(*c), tc.held_after);
    EXPECT_EQ(deleted_slots(*c), tc.deleted_after);
    EXPECT_FALSE(c->needs_rebuild.load());
    EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{tc.slot});
  }
}

TEST_F(SlotsTest, WithoutGraphParametersNothingIsMarkedForARebuild) {
  auto c = open(make_config(kDims));
  add(*c, 0, "a");
  ASSERT_TRUE(flush_pending(*c));
  ASSERT_TRUE(release_slot(*c, 0));
  EXPECT_EQ(first_bits(*c, 0), kMarker);
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
  EXPECT_FALSE(c->needs_rebuild.load());
  EXPECT_TRUE(c->slot_book.freelist_unsaved.load());
}

// A slot outside the file cannot take the marker: release_slot reports it, and a group
// release skips it and releases the rest, each slot once, counting those that held a vector.
TEST_F(SlotsTest, GroupReleaseCountsVectorsAndSkipsWhatItCannotMark) {
  auto c = indexed();
  auto outside = release_slot(*c, 5000);
  ASSERT_FALSE(outside);
  EXPECT_TRUE(memory_freelist(*c).empty());
  EXPECT_FALSE(c->needs_rebuild.load());

  {
    // Slot 2 already carries the marker (a slot a kill leaked after its release began).
    std::unique_lock lk(c->slots.vectors_lock);
    ASSERT_TRUE(write_deleted_marker(c->slots.vectors, 2));
  }
  push_free(*c, 3);
  const uint64_t slots[] = {0, 5000, 0, 2, 3};
  EXPECT_EQ(release_slots(*c, slots), 1u);  // slot 0; 2 held none, 3 was free
  EXPECT_EQ(memory_freelist(*c), (std::vector<uint64_t>{3, 0, 2}));
  EXPECT_EQ(held_slots(*c), (std::vector<uint64_t>{1}));
  EXPECT_EQ(deleted_slots(*c), (std::vector<uint64_t>{0, 2}));
  EXPECT_TRUE(c->needs_rebuild.load());
}

// A running batch's slot released by another operation waits for the batch's end: until
// then the batch may still write its vector there.
TEST_F(SlotsTest, ARunningBatchsSlotIsReleasedWhenTheBatchEnds) {
  auto c = indexed();
  {
    SlotUse use(c->slot_book);
    std::optional<BatchRegistration> batch;
    batch.emplace(*c, std::vector<uint64_t>{2, 1});
    EXPECT_EQ(running_batch_slots(*c), (std::vector<uint64_t>{1, 2}));
    ASSERT_TRUE(release_slot(*c, 1));
    EXPECT_NE(first_bits(*c, 1), kMarker);
    EXPECT_TRUE(memory_freelist(*c).empty());
    EXPECT_EQ(held_slots(*c), (std::vector<uint64_t>{0, 1, 2}));
    EXPECT_FALSE(c->needs_rebuild.load());
    batch.reset();
  }
  EXPECT_TRUE(running_batch_slots(*c).empty());
  EXPECT_EQ(first_bits(*c, 1), kMarker);
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{1});
  EXPECT_EQ(held_slots(*c), (std::vector<uint64_t>{0, 2}));
  EXPECT_TRUE(c->needs_rebuild.load());
}

TEST_F(SlotsTest, ABufferedCopysSlotGoesBackWithoutAMarker) {
  auto c = open(make_config(kDims));
  add(*c, 0, "a");
  c->slot_book.freelist_unsaved.store(false);
  {
    std::lock_guard lk(c->pending_lock);
    c->pending.clear();
    free_buffered_slot(*c, 0);
  }
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
  EXPECT_EQ(slot_floats(*c, 0), vec(kDims, 0));
  EXPECT_TRUE(c->slot_book.freelist_unsaved.load());
}

// The sweep looks only at a moment when no stretch holds a slot, and only trusts its look
// when no stretch began meanwhile, however short.
TEST(SlotUseTest, QuietMomentsAndStretchesBetweenLooks) {
  SlotBook book;
  const std::optional<uint64_t> first = quiet_moment(book);
  ASSERT_TRUE(first);
  EXPECT_TRUE(still_quiet(book, *first));
  {
    SlotUse a(book);
    EXPECT_FALSE(quiet_moment(book));
    {
      SlotUse b(book);
      EXPECT_FALSE(quiet_moment(book));
    }
    EXPECT_FALSE(quiet_moment(book));
  }
  const std::optional<uint64_t> second = quiet_moment(book);
  ASSERT_TRUE(second);
  EXPECT_NE(*second, *first);
  EXPECT_FALSE(still_quiet(book, *first));
  { SlotUse brief(book); }
  EXPECT_FALSE(still_quiet(book, *second));
}

// A refresh asked for by a writer whose records never went live keeps the graph: it has one
// node per live record and indexes each. A graph that lacks a record or holds a node beyond
// them is refreshed as before.
TEST_F(SlotsTest, ARefreshKeepsAGraphInStep) {
  auto c = indexed();
  const HnswIndex* built = c->hnsw.get();
  add(*c, 4, "y", 0);  // never live
  ASSERT_TRUE(flush_pending(*c));
  ASSERT_TRUE(c->needs_rebuild.load());
  ASSERT_TRUE(refresh_index(*c));
  EXPECT_EQ(c->hnsw.get(), built);
  EXPECT_EQ(index_node_count(*c->hnsw), 3u);
  EXPECT_FALSE(c->needs_rebuild.load());

  add(*c, 5, "z");  // live: the incremental road adds it to the same index
  ASSERT_TRUE(flush_pending(*c));
  ASSERT_TRUE(refresh_index(*c));
  EXPECT_EQ(c->hnsw.get(), built);
  EXPECT_EQ(index_node_count(*c->hnsw), 4u);

  ASSERT_TRUE(delete_record(*c, "a", 0));  // a node beyond the live records: built again
  ASSERT_TRUE(refresh_index(*c));
  EXPECT_NE(c->hnsw.get(), built);
  EXPECT_EQ(index_node_count(*c->hnsw), 3u);
}

}  // namespace
}  // namespace tornquil::testing
