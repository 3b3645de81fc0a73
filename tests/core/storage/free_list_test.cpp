// The free list: its stored bytes, loading of damaged values, and reuse order across a
// reopen of the store.
#include "storage/free_list.hpp"

#include <gtest/gtest.h>

#include "storage/records.hpp"
#include "storage/slot_allocator.hpp"
#include "test_dir.hpp"

namespace tornquil {
namespace {

using testing::TestDir;

std::string le64(uint64_t v) {
  std::string s;
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

std::unique_ptr<KvStore> open_store(const TestDir& dir) {
  auto s = KvStore::open(dir.file("meta.redb"));
  if (!s) ADD_FAILURE() << s.error().render();
  return s ? std::move(*s) : nullptr;
}

std::optional<std::string> stored_slots(KvStore& store) {
  auto txn = store.begin_read();
  auto v = txn->get("freelist", "slots");
  if (!v || !*v) return std::nullopt;
  return std::string(**v);
}

TEST(FreeListTest, FreshStoreLoadsEmptyAndSavesEightZeroBytes) {
  TestDir dir;
  auto store = open_store(dir);
  {
    auto txn = store->begin_read();
    auto list = load_freelist(*txn);
    ASSERT_TRUE(list) << list.error().render();
    EXPECT_TRUE(list->slots().empty());
  }
  FreeList empty;
  auto w = store->begin_write();
  ASSERT_TRUE(save_freelist(empty, *w));
  ASSERT_TRUE(w->commit());
  EXPECT_EQ(stored_slots(*store), std::string(8, '\0'));
}

TEST(FreeListTest, SavedBytesAndReuseOrderAfterReopen) {
  TestDir dir;
  auto vs = create_vector_file(dir.file("vectors.bin"), 2);
  ASSERT_TRUE(vs);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(append_slot(*vs));
  {
    auto store = open_store(dir);
    FreeList list;
    free_slot(list, 3);
    free_slot(list, 7);
    free_slot(list, 5);
    auto w = store->begin_write();
    ASSERT_TRUE(save_freelist(list, *w));
    ASSERT_TRUE(w->commit());
    EXPECT_EQ(stored_slots(*store), le64(3) + le64(3) + le64(7) + le64(5));
  }
  auto store = open_store(dir);
  auto txn = store->begin_read();
  auto loaded = load_freelist(*txn);
  ASSERT_TRUE(loaded) << loaded.error().render();
  SlotSpace space(std::move(*vs), std::move(*loaded));
  EXPECT_EQ(*allocate_slot(space), 5u);
  EXPECT_EQ(*allocate_slot(space), 7u);
  EXPECT_EQ(*allocate_slot(space), 3u);
  EXPECT_EQ(*allocate_slot(space), 10u);
}

TEST(FreeListTest, LoadingStoredValues) {
  struct Case {
    const char* name;
    std::string value;
    std::vector<uint64_t> want;
    const char* error;  // null: loads `want`
  } cases[] = {
      {"zero bytes", "", {}, nullptr},
      {"zero count", le64(0), {}, nullptr},
      {"two slots", le64(2) + le64(9) + le64(4), {9, 4}, nullptr},
      {"extra bytes ignored", le64(1) + le64(6) + "junk", {6}, nullptr},
      {"count of two, one slot",
       le64(2) + le64(9),
       {},
       "Serialization error: io error: unexpected end of file"},
      {"cut inside a slot",
       le64(1) + "\x01\x02",
       {},
       "Serialization error: io error: unexpected end of file"},
      {"cut inside the count",
       "\x01\x00\x00",
       {},
       "Serialization error: io error: unexpected end of file"},
      // A damaged count may not force a huge allocation before the bytes run out.
      {"huge count",
       le64(~uint64_t{0}) + le64(1),
       {},
       "Serialization error: io error: unexpected end of file"},
  };
  for (const Case& c : cases) {
    TestDir dir;
    auto store = open_store(dir);
    auto w = store->begin_write();
    ASSERT_TRUE(w->put("freelist", "slots", c.value));
    ASSERT_TRUE(w->commit());
    auto txn = store->begin_read();
    auto list = load_freelist(*txn);
    if (c.error != nullptr) {
      ASSERT_FALSE(list) << c.name;
      EXPECT_EQ(list.error().render(), c.error) << c.name;
    } else {
      ASSERT_TRUE(list) << c.name << ": " << list.error().render();
      EXPECT_EQ(list->slots(), c.want) << c.name;
    }
  }
}

TEST(FreeListTest, PopIsLastFreedFirstAndContainsScansTheList) {
  FreeList list({4, 8});
  EXPECT_TRUE(freelist_contains(list, 4));
  EXPECT_FALSE(freelist_contains(list, 5));
  free_slot(list, 1);
  EXPECT_EQ(pop(list), 1u);
  EXPECT_EQ(pop(list), 8u);
  EXPECT_FALSE(freelist_contains(list, 8));
  EXPECT_EQ(pop(list), 4u);
  EXPECT_EQ(pop(list), std::nullopt);
}

}  // namespace
}  // namespace tornquil
