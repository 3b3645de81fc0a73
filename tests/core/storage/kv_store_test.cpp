// The LMDB-backed store: key order with the terminator, absent tables, own-write reads,
// abandoned transactions and the exclusive lock against a second opener.
#include "storage/kv_store.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
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

TEST_F(KvStoreTest, SeekFindsTheFirstStoredKeyAtOrAfterTheProbeAndTheWalkGoesOnFromThere) {
  auto s = KvStore::open(path_);
  auto w = (*s)->begin_write();
  for (const char* k : {"", "abc", "abcd", "b", "\xc3\xa9", "\xff"}) ASSERT_TRUE(w->put("t", k, k));
  ASSERT_TRUE(w->commit());
  auto r = (*s)->begin_read();
  auto cur = r->cursor("t");
  ASSERT_TRUE(cur);
  // Probes are raw bytes against the stored keys, which end in 0x00.
  struct Case {
    std::string probe;
    std::vector<std::string> walk;  // the entry found, then what next() gives
  };
  const Case cases[] = {
      {"", {"", "abc", "abcd", "b", "\xc3\xa9", "\xff"}},
      {std::string(1, '\0'), {"", "abc", "abcd", "b", "\xc3\xa9", "\xff"}},
      {std::string("\0\0", 2), {"abc", "abcd", "b", "\xc3\xa9", "\xff"}},
      {"abc", {"abc", "abcd", "b", "\xc3\xa9", "\xff"}},
      {std::string("abc\0", 4), {"abc", "abcd", "b", "\xc3\xa9", "\xff"}},
      {std::string("abc\0\0", 5), {"abcd", "b", "\xc3\xa9", "\xff"}},
      {"abca", {"abcd", "b", "\xc3\xa9", "\xff"}},
      {"abd", {"b", "\xc3\xa9", "\xff"}},
      {"\x80", {"\xc3\xa9", "\xff"}},
      {"\xff", {"\xff"}},
      {"\xff\x01", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.probe));
    std::string_view k, v;
    auto found = cur->seek(c.probe, k, v);
    ASSERT_TRUE(found) << found.error().render();
    std::vector<std::string> got;
    if (*found) {
      EXPECT_EQ(k, v);
      got.emplace_back(k);
      while (*cur->next(k, v)) got.emplace_back(k);
    }
    EXPECT_EQ(got, c.walk);
    EXPECT_FALSE(*cur->next(k, v));  // the end stays the end
  }
  // A probe longer than any stored key is compared like any other.
  std::string_view k, v;
  ASSERT_TRUE(*cur->seek(std::string(kMaxKeyBytes + 2, 'a'), k, v));
  EXPECT_EQ(k, "abc");
  // last() ends the walk; a seek afterwards positions it again.
  ASSERT_TRUE(*cur->last(k, v));
  EXPECT_EQ(k, "\xff");
  EXPECT_FALSE(*cur->next(k, v));
  ASSERT_TRUE(*cur->seek("b", k, v));
  EXPECT_EQ(k, "b");
  ASSERT_TRUE(*cur->next(k, v));
  EXPECT_EQ(k, "\xc3\xa9");
  // An absent table: nothing to find.
  auto none = r->cursor("absent");
  EXPECT_FALSE(*none->seek("", k, v));
  EXPECT_FALSE(*none->last(k, v));
}

TEST_F(KvStoreTest, EntryCountAndSnapshotIdBelongToTheSnapshot) {
  auto s = KvStore::open(path_);
  auto before = (*s)->begin_read();
  EXPECT_EQ(*before->entry_count("t"), 0u);  // absent
  auto w = (*s)->begin_write();
  for (const char* k : {"", "a", "b"}) ASSERT_TRUE(w->put("t", k, "v"));
  ASSERT_TRUE(w->commit());
  auto r1 = (*s)->begin_read();
  auto r2 = (*s)->begin_read();
  EXPECT_EQ(*r1->entry_count("t"), 3u);
  EXPECT_EQ(*before->entry_count("t"), 0u);  // the table came after this snapshot
  EXPECT_EQ(*r1->entry_count("other"), 0u);
  EXPECT_EQ(r1->snapshot_id(), r2->snapshot_id());
  EXPECT_LT(before->snapshot_id(), r1->snapshot_id());
  auto w2 = (*s)->begin_write();
  ASSERT_TRUE(w2->remove("t", "a"));
  ASSERT_TRUE(w2->commit());
  auto r3 = (*s)->begin_read();
  EXPECT_NE(r3->snapshot_id(), r1->snapshot_id());
  EXPECT_EQ(*r3->entry_count("t"), 2u);
  EXPECT_EQ(*r1->entry_count("t"), 3u);
}

// The writing cursor: puts that create the table and replace, a find that positions it, and
// a replace of the found entry by a value of the same length, a longer one (moved off its
// page) and a shorter one; the cursor must leave every other entry as it was.
TEST_F(KvStoreTest, WritingCursorPutsFindsAndReplacesInPlace) {
  auto s = KvStore::open(path_);
  ASSERT_TRUE(s) << s.error().render();
  std::map<std::string, std::string> want;
  {
    auto w = (*s)->begin_write();
    {
      auto cur = w->writer("t");
      ASSERT_TRUE(cur) << cur.error().render();
      for (int i = 0; i < 2000; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "k%05d", i);
        const std::string value(8 + i % 50, static_cast<char>('a' + i % 26));
        ASSERT_TRUE(cur->put(key, value));
        want[key] = value;
      }
      ASSERT_TRUE(cur->put("k00007", "again"));  // replaces
      want["k00007"] = "again";
      for (const char* key : {"k02000", "k02001"}) {
        ASSERT_TRUE(cur->append(key, key));
        want[key] = key;
      }
      for (const char* key : {"k02001", "k00003", "a"}) {  // not after the last key
        auto r = cur->append(key, "refused");
        ASSERT_FALSE(r) << key;
        EXPECT_EQ(r.error().render(), "Database error: MDB_KEYEXIST: Key/data pair already exists");
      }
      EXPECT_EQ(cur->put(std::string(kMaxKeyBytes + 1, 'x'), "v").error().render(),
                "Database error: MDB_BAD_VALSIZE: Unsupported size of key/DB name/data, or wrong "
                "DUPFIXED size");
      EXPECT_EQ(*cur->find("absent"), std::nullopt);
      EXPECT_EQ(*cur->find(std::string(kMaxKeyBytes + 1, 'x')), std::nullopt);
      const struct {
        const char* key;
        std::string value;
      } replaces[] = {{"k00010", std::string(18, 'S')},    // same length
                      {"k00500", std::string(3000, 'L')},  // longer than a page holds
                      {"k01999", "s"},                     // shorter
                      {"k00000", std::string(58, 'z')}};   // longer, still on the page
      for (const auto& r : replaces) {
        auto found = cur->find(r.key);
        ASSERT_TRUE(found && *found) << r.key;
        EXPECT_EQ(**found, want[r.key]);
        ASSERT_TRUE(cur->replace(r.key, r.value)) << r.key;
        want[r.key] = r.value;
      }
    }
    ASSERT_TRUE(w->commit());
  }
  auto r = (*s)->begin_read();
  auto cur = r->cursor("t");
  std::map<std::string, std::string> got;
  std::string_view k, v;
  while (*cur->next(k, v)) got.emplace(k, v);
  EXPECT_EQ(got, want);
}

// What a transaction's log shows: every write to the logged table in order, nothing of
// other tables, and nothing at all for a transaction begun while the log was off.
std::vector<std::string> log_lines(const WriteTxn& txn) {
  std::vector<std::string> out;
  const WriteLog* log = txn.log();
  if (log == nullptr) return {"no log"};
  for (size_t i = 0; i < log->size(); ++i) {
    const WriteLog::Entry e = (*log)[i];
    out.push_back(std::string(e.key) + (e.value ? "=" + std::string(*e.value) : " removed"));
  }
  return out;
}

TEST_F(KvStoreTest, TheWriteLogKeepsEveryWriteToItsTableWhileOn) {
  auto s = KvStore::open(path_);
  ASSERT_TRUE(s);
  KvStore& store = **s;
  auto off = store.begin_write();
  ASSERT_TRUE(off);
  ASSERT_TRUE(off->put("t", "a", "1"));
  EXPECT_EQ(log_lines(*off), std::vector<std::string>{"no log"});
  ASSERT_TRUE(off->commit());

  store.set_write_log("t", true);
  EXPECT_TRUE(store.write_log_on());
  auto txn = store.begin_write();
  ASSERT_TRUE(txn);
  ASSERT_TRUE(txn->put("t", "b", "2"));
  ASSERT_TRUE(txn->put("other", "x", "9"));
  EXPECT_TRUE(*txn->remove("t", "a"));
  EXPECT_FALSE(*txn->remove("t", "absent"));  // nothing changed, nothing logged
  {
    auto cur = txn->writer("t");
    ASSERT_TRUE(cur);
    ASSERT_TRUE(cur->append("c", "3"));
    ASSERT_TRUE(cur->put("b", "4"));
    ASSERT_TRUE(*cur->find("c"));
    ASSERT_TRUE(cur->replace("c", "5"));
  }
  const std::vector<std::string> want = {"b=2", "a removed", "c=3", "b=4", "c=5"};
  EXPECT_EQ(log_lines(*txn), want);
  const uint64_t parent = txn->parent_snapshot_id();
  ASSERT_TRUE(txn->commit());
  EXPECT_EQ(txn->committed_snapshot_id(), parent + 1);
  EXPECT_EQ(log_lines(*txn), want);  // still there after the commit
  EXPECT_EQ(store.begin_read()->snapshot_id(), parent + 1);

  // A transaction that writes nothing makes no snapshot; another table is never logged.
  auto empty = store.begin_write();
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->parent_snapshot_id(), parent + 1);
  ASSERT_TRUE(empty->commit());
  EXPECT_EQ(empty->committed_snapshot_id(), parent + 1);
  store.set_write_log("other", true);
  auto still = store.begin_write();
  ASSERT_TRUE(still->put("other", "y", "1"));
  EXPECT_TRUE(log_lines(*still).empty());
  ASSERT_TRUE(still->commit());

  store.set_write_log("t", false);
  EXPECT_FALSE(store.write_log_on());
  auto after = store.begin_write();
  ASSERT_TRUE(after->put("t", "d", "6"));
  EXPECT_EQ(log_lines(*after), std::vector<std::string>{"no log"});
}

TEST_F(KvStoreTest, ATableCreatedInTheTransactionIsLoggedAndPrevStepsBack) {
  auto s = KvStore::open(path_);
  ASSERT_TRUE(s);
  (*s)->set_write_log("fresh", true);
  auto txn = (*s)->begin_write();
  ASSERT_TRUE(txn->put("fresh", "k", "v"));
  EXPECT_EQ(log_lines(*txn), std::vector<std::string>{"k=v"});
  ASSERT_TRUE(txn->put("fresh", "j", "w"));
  ASSERT_TRUE(txn->commit());

  auto rt = (*s)->begin_read();
  auto cur = rt->cursor("fresh");
  std::string_view k, v;
  ASSERT_TRUE(*cur->seek("k", k, v));
  ASSERT_TRUE(*cur->prev(k, v));
  EXPECT_EQ(k, "j");
  EXPECT_FALSE(*cur->prev(k, v));  // before the first: stays on it
  ASSERT_TRUE(*cur->next(k, v));
  EXPECT_EQ(k, "k");
}

}  // namespace
}  // namespace tornquil
