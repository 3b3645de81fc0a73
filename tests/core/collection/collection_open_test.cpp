// Opening a collection: the files and fields of a new one, what a reopen keeps, the saved
// index and when it is trusted, and the exclusive lock on the collection's store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "collection_fixture.hpp"
#include "search/hnsw/persist.hpp"

namespace tornquil::testing {
namespace {

using OpenTest = CollectionTest;

size_t open_fd_count() {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

TEST_F(OpenTest, NewCollectionHasItsFilesAndEmptyState) {
  auto c = open(make_config(384, Metric::Cosine));
  ASSERT_TRUE(c);
  EXPECT_EQ(std::filesystem::file_size(coll_dir() + "/vectors.bin"), 64u + 384u * 4096u);
  EXPECT_TRUE(std::filesystem::exists(coll_dir() + "/meta.redb"));
  EXPECT_FALSE(std::filesystem::exists(coll_dir() + "/hnsw.index"));

  EXPECT_EQ(c->config, make_config(384, Metric::Cosine));
  EXPECT_EQ(c->dir, coll_dir());
  EXPECT_EQ(c->flush_threshold, 100u);
  EXPECT_EQ(c->flush_interval_ms, 100u);
  EXPECT_EQ(slot_count(*c), 0u);
  EXPECT_TRUE(memory_freelist(*c).empty());
  EXPECT_EQ(buffered(*c), 0u);
  EXPECT_EQ(c->pending_since_ms.load(), 0u);
  EXPECT_EQ(c->hnsw, nullptr);
  EXPECT_FALSE(c->needs_rebuild.load());
  // Nothing is committed by an open: the free list has never been saved.
  EXPECT_EQ(stored_freelist(*c), std::nullopt);
}

TEST_F(OpenTest, ReopenKeepsSlotCountAndFreeList) {
  std::vector<uint64_t> freed;
  {
    auto c = open(make_config(4));
    for (int i = 0; i < 5; ++i) add(*c, i, "r" + std::to_string(i));
    ASSERT_TRUE(sync_collection(*c));
    for (const char* id : {"r3", "r1"}) {
      auto rec = committed_record(*c, id);
      ASSERT_TRUE(rec);
      ASSERT_TRUE(delete_record(*c, id, rec->slot));
      freed.push_back(rec->slot);
    }
    EXPECT_EQ(memory_freelist(*c), freed);
  }
  auto c = open(make_config(4));
  EXPECT_EQ(slot_count(*c), 5u);
  EXPECT_EQ(memory_freelist(*c), freed);
  EXPECT_EQ(committed_records(*c).size(), 3u);
  // The slot freed last is reused first.
  add(*c, 9, "new");
  std::lock_guard lk(c->pending_lock);
  EXPECT_EQ(c->pending.back().record.slot, freed.back());
}

TEST_F(OpenTest, SecondOpenerOfTheStoreFailsAndLeavesNothingOpen) {
  auto first = open(make_config(4));
  ASSERT_TRUE(first);
  const size_t fds = open_fd_count();
  auto second = open_collection(coll_dir(), make_config(4));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().render(), "Database error: Database already open. Cannot acquire lock.");
  EXPECT_EQ(open_fd_count(), fds);
  // The failed opener took nothing from the first one, which keeps working.
  add(*first, 1, "still-open");
  ASSERT_TRUE(sync_collection(*first));
  first.reset();
  auto again = open(make_config(4));
  ASSERT_TRUE(again);
  EXPECT_TRUE(committed_record(*again, "still-open"));
}

TEST_F(OpenTest, BadVectorFileFailsBeforeTheStoreIsOpened) {
  std::filesystem::create_directories(coll_dir());
  write_bytes(coll_dir() + "/vectors.bin", std::string(100, 'x'));
  auto c = open_collection(coll_dir(), make_config(4));
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().kind(), ErrorKind::Corruption);
  EXPECT_FALSE(std::filesystem::exists(coll_dir() + "/meta.redb"));
}

TEST_F(OpenTest, WrongDimensionsForAnExistingFileFail) {
  open(make_config(128)).reset();
  auto c = open_collection(coll_dir(), make_config(256));
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().render(), "Dimension mismatch: expected 256, got 128");
}

// The vector file as an older copy would leave it: a header claiming `slots` slots (with a
// valid checksum) and, when `file_slots` is given, room for only that many.
void roll_back_vector_file(const std::string& path, uint64_t slots,
                           std::optional<uint64_t> file_slots = std::nullopt) {
  std::string bytes = read_bytes(path);
  std::memcpy(bytes.data() + 10, &slots, 8);
  const uint32_t sum =
      header_checksum(reinterpret_cast<const unsigned char*>(bytes.data()), kVectorVersion);
  std::memcpy(bytes.data() + 18, &sum, 4);
  if (file_slots) bytes.resize(64 + *file_slots * 16);
  write_bytes(path, bytes);
}

struct RollbackCase {
  const char* name;
  const char* deleted;  // the record whose slot goes to the free list
  uint64_t header_slots;
  std::optional<uint64_t> file_slots;
  const char* error;  // nullptr when the open succeeds
};

class SlotCountTest : public CollectionTest, public ::testing::WithParamInterface<RollbackCase> {};

// Six records take slots 0..5, one is deleted; then the header forgets some of them.
TEST_P(SlotCountTest, SlotCountCoversEverySlotInUse) {
  const RollbackCase& tc = GetParam();
  {
    auto c = open(make_config(4));
    for (int i = 0; i < 6; ++i) add(*c, i, "r" + std::to_string(i));
    ASSERT_TRUE(sync_collection(*c));
    auto rec = committed_record(*c, tc.deleted);
    ASSERT_TRUE(delete_record(*c, tc.deleted, rec->slot));
  }
  roll_back_vector_file(coll_dir() + "/vectors.bin", tc.header_slots, tc.file_slots);
  auto c = open_collection(coll_dir(), make_config(4));
  if (tc.error != nullptr) {
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error().render(), tc.error);
    return;
  }
  ASSERT_TRUE(c) << c.error().render();
  EXPECT_EQ(slot_count(**c), std::max<uint64_t>(6, tc.header_slots));
  // The free slot is reused first, then fresh slots follow the highest one in use: no
  // live record's vector is overwritten.
  add(**c, 10, "a");
  add(**c, 11, "b");
  ASSERT_TRUE(sync_collection(**c));
  const uint64_t freed = tc.deleted[1] - '0';
  EXPECT_EQ(committed_record(**c, "a")->slot, freed);
  EXPECT_EQ(committed_record(**c, "b")->slot, std::max<uint64_t>(6, tc.header_slots));
  for (int i = 0; i < 6; ++i) {
    const std::string id = "r" + std::to_string(i);
    if (id == tc.deleted) continue;
    auto rec = committed_record(**c, id);
    ASSERT_TRUE(rec);
    EXPECT_EQ(slot_floats(**c, rec->slot), vec(4, i)) << id;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SlotCountTest,
    ::testing::Values(
        RollbackCase{"Unchanged", "r2", 6, std::nullopt, nullptr},
        RollbackCase{"RecordsNameTheHighest", "r2", 3, std::nullopt, nullptr},
        RollbackCase{"FreeListNamesTheHighest", "r5", 3, std::nullopt, nullptr},
        RollbackCase{"HeaderClaimsNone", "r0", 0, std::nullopt, nullptr},
        RollbackCase{"FileHoldsExactlyTheSlotsInUse", "r2", 4, 6, nullptr},
        RollbackCase{"FileTooShortForARecord", "r2", 3, 5,
                     "Data corruption: Slot 5 is in use but the vector file holds only 5 slots"},
        RollbackCase{"FileTooShortForTheFreeList", "r5", 3, 5,
                     "Data corruption: Slot 5 is in use but the vector file holds only 5 slots"}),
    [](const auto& info) { return std::string(info.param.name); });

// A graph of `n` nodes on slots 0..n-1, one layer, no links.
HnswGraph graph_of(uint32_t n) {
  HnswGraph g;
  g.config = small_hnsw();
  for (uint32_t i = 0; i < n; ++i) {
    g.add_node("r" + std::to_string(i), i, 0);
    g.slot_to_node[i] = i;
  }
  if (n > 0) g.entry_point = 0;
  return g;
}

enum class IndexFile {
  Absent,
  Nodes10,
  Nodes11,
  Truncated,
  FlippedByte,
  Garbage,
  // Eleven nodes, yet one live record has no node that owns its slot under its id.
  OtherId,
  OtherSlot,
  SharedSlot,
  // Eleven matching nodes, but no entry point.
  NoEntryPoint,
};

// The saved graph of each file kind: r0..r9 on slots 0..9, and a changed eleventh node.
HnswGraph graph_for(IndexFile file) {
  HnswGraph g = graph_of(file == IndexFile::Nodes10 ? 10 : 11);
  if (file == IndexFile::OtherId || file == IndexFile::OtherSlot || file == IndexFile::SharedSlot) {
    HnswGraph changed = graph_of(10);
    const uint64_t slot = file == IndexFile::OtherSlot    ? 40
                          : file == IndexFile::SharedSlot ? 3
                                                          : 10;
    const std::string id = file == IndexFile::OtherId ? "r10-old" : "r10";
    changed.add_node(id, slot, 0);
    changed.slot_to_node[slot] = 10;
    g = std::move(changed);
  }
  if (file == IndexFile::NoEntryPoint) g.entry_point.reset();
  return g;
}

struct IndexCase {
  const char* name;
  int live;
  IndexFile file;
  bool index_kept;
  bool needs_rebuild;
};

class OpenIndexTest : public CollectionTest, public ::testing::WithParamInterface<IndexCase> {};

TEST_P(OpenIndexTest, SavedIndexIsKeptOnlyWhenItMatchesTheLiveRecords) {
  const IndexCase& tc = GetParam();
  const CollectionConfig config = make_config(4, Metric::L2, small_hnsw());
  {
    auto c = open(config);
    for (int i = 0; i < tc.live; ++i) add(*c, i, "r" + std::to_string(i));
    ASSERT_TRUE(sync_collection(*c));
    // An expired record is stored but does not count as live.
    add(*c, 99, "expired", 0);
    ASSERT_TRUE(sync_collection(*c));
  }
  const std::string path = coll_dir() + "/hnsw.index";
  std::filesystem::remove(path);
  if (tc.file != IndexFile::Absent) {
    ASSERT_TRUE(save_index(graph_for(tc.file), path));
    std::string bytes = read_bytes(path);
    if (tc.file == IndexFile::Truncated) bytes.resize(bytes.size() / 2);
    if (tc.file == IndexFile::FlippedByte) bytes[70] ^= 0x01;
    if (tc.file == IndexFile::Garbage) bytes = "not an index";
    write_bytes(path, bytes);
  }
  auto c = open(config);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->hnsw != nullptr, tc.index_kept);
  EXPECT_EQ(c->needs_rebuild.load(), tc.needs_rebuild);
  if (tc.index_kept) {
    EXPECT_EQ(index_node_count(*c->hnsw), 11u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenIndexTest,
    ::testing::Values(
        IndexCase{"AbsentWithoutLiveRecords", 0, IndexFile::Absent, false, false},
        IndexCase{"AbsentWithLiveRecords", 11, IndexFile::Absent, false, true},
        IndexCase{"Matching", 11, IndexFile::Nodes11, true, false},
        IndexCase{"TenNodesElevenLive", 11, IndexFile::Nodes10, false, true},
        IndexCase{"Truncated", 11, IndexFile::Truncated, false, true},
        IndexCase{"FlippedByte", 11, IndexFile::FlippedByte, false, true},
        IndexCase{"Garbage", 11, IndexFile::Garbage, false, true},
        IndexCase{"ElevenNodesOneUnderAnotherId", 11, IndexFile::OtherId, false, true},
        IndexCase{"ElevenNodesOneOnAnotherSlot", 11, IndexFile::OtherSlot, false, true},
        IndexCase{"ElevenNodesTwoOnOneSlot", 11, IndexFile::SharedSlot, false, true},
        IndexCase{"NoEntryPoint", 11, IndexFile::NoEntryPoint, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OpenTest, WithoutHnswParametersAnIndexFileIsIgnored) {
  open(make_config(4)).reset();
  ASSERT_TRUE(save_index(graph_of(3), coll_dir() + "/hnsw.index"));
  auto c = open(make_config(4));
  EXPECT_EQ(c->hnsw, nullptr);
  EXPECT_FALSE(c->needs_rebuild.load());
}

}  // namespace
}  // namespace tornquil::testing
