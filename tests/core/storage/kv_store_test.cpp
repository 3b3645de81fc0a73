// The LMDB-backed store: key order with the terminator, absent tables, own-write reads,
// abandoned transactions and the exclusive lock against a second opener.
#include "storage/kv_store.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "base/platform.hpp"

namespace tornquil {
namespace {

class KvStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tq_kv_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "meta.redb").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
  std::string path_;
};

std::vector<std::string> keys_of(KvStore& s, std::string_view table) {
  auto rt = s.begin_read();
  auto cur = rt->cursor(table);
  std::vector<std::string> out;
  std::string_view k, v;
  while (*cur->next(k, v)) out.emplace_back(k);
  return out;
}

TEST_F(KvStoreTest, KeysIterateInByteOrderIncludingTheEmptyKey) {
  auto s = KvStore::open(path_);
  ASSERT_TRUE(s) << s.error().render();
  auto w = (*s)->begin_write();
  for (const char* k : {"b", "", "ab", "a", "B", "\xc3\xa9"}) ASSERT_TRUE(w->put("t", k, "v"));
  ASSERT_TRUE(w->commit());
  EXPECT_EQ(keys_of(**s, "t"), (std::vector<std::string>{"", "B", "a", "ab", "b", "\xc3\xa9"}));
}

TEST_F(KvStoreTest, AbsentTablesReadAsEmpty) {
  auto s = KvStore::open(path_);
  auto r = (*s)->begin_read();
  EXPECT_EQ(*r->get("records", "x"), std::nullopt);
  EXPECT_TRUE(keys_of(**s, "records").empty());
  // A reader whose snapshot predates the table's creation still sees it as absent.
  auto w = (*s)->begin_write();
  ASSERT_TRUE(w->put("records", "x", "1"));
  EXPECT_EQ(**w->get("records", "x"), "1");
  ASSERT_TRUE(w->commit());
  EXPECT_EQ(*r->get("records", "x"), std::nullopt);
  auto r2 = (*s)->begin_read();
  EXPECT_EQ(**r2->get("records", "x"), "1");
}

TEST_F(KvStoreTest, AbandonedWritesAndTablesVanish) {
  auto s = KvStore::open(path_);
  {
    auto w = (*s)->begin_write();
    ASSERT_TRUE(w->put("fresh", "k", "v"));
  }
  auto r = (*s)->begin_read();
  EXPECT_EQ(*r->get("fresh", "k"), std::nullopt);
  auto w = (*s)->begin_write();
  EXPECT_FALSE(*w->remove("fresh", "k"));
  ASSERT_TRUE(w->put("fresh", "k", "v2"));
  EXPECT_TRUE(*w->remove("fresh", "k"));
  ASSERT_TRUE(w->commit());
}

TEST_F(KvStoreTest, ReopenFindsTablesAndValues) {
  {
    auto s = KvStore::open(path_);
    auto w = (*s)->begin_write();
    ASSERT_TRUE(w->put("collections", "c1", std::string("\0\1", 2)));
    ASSERT_TRUE(w->commit());
  }
  auto s = KvStore::open(path_);
  ASSERT_TRUE(s) << s.error().render();
  auto r = (*s)->begin_read();
  EXPECT_EQ(**r->get("collections", "c1"), std::string("\0\1", 2));
}

TEST_F(KvStoreTest, SecondOpenerIsRefusedAndFirstKeepsWorking) {
  auto first = KvStore::open(path_);
  ASSERT_TRUE(first);
  auto second = KvStore::open(path_);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().render(), "Database error: Database already open. Cannot acquire lock.");
  auto w = (*first)->begin_write();
  ASSERT_TRUE(w->put("t", "k", "v"));
  ASSERT_TRUE(w->commit());
  first->reset();
  EXPECT_TRUE(KvStore::open(path_));
}

TEST_F(KvStoreTest, OverlongKeysAreNotStored) {
  auto s = KvStore::open(path_);
  auto w = (*s)->begin_write();
  const std::string ok(kMaxKeyBytes, 'k'), too_long(kMaxKeyBytes + 1, 'k');
  EXPECT_TRUE(w->put("t", ok, "v"));
  EXPECT_FALSE(w->put("t", too_long, "v"));
  EXPECT_EQ(*w->get("t", too_long), std::nullopt);
  EXPECT_FALSE(*w->remove("t", too_long));
  ASSERT_TRUE(w->commit());
}

TEST_F(KvStoreTest, WritersTakeTurnsWhileReadersProceed) {
  auto s = KvStore::open(path_);
  KvStore& store = **s;
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t) {
    ts.emplace_back([&store, t] {
      for (int i = 0; i < 50; ++i) {
        auto w = store.begin_write();
        ASSERT_TRUE(w->put("t", std::to_string(t) + "_" + std::to_string(i), "v"));
        ASSERT_TRUE(w->commit());
        auto r = store.begin_read();
        ASSERT_TRUE(r);
      }
    });
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(keys_of(store, "t").size(), 200u);
}

}  // namespace
}  // namespace tornquil
