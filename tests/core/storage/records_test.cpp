// The record table: stored bytes, decoder errors, liveness around the expiry second and
// before 1970, and the table operations inside transactions.
#include "storage/records.hpp"

#include <gtest/gtest.h>
#include <lmdb.h>

#include "test_dir.hpp"

namespace tornquil {
namespace {

using testing::le;
using testing::TestDir;

// Hand-built value: the fields in their stored order.
std::string value(std::string_view id, uint64_t slot, std::string_view meta, uint64_t created,
                  std::optional<uint64_t> expires, uint32_t state) {
  std::string v = le(id.size(), 8) + std::string(id) + le(slot, 8) + le(meta.size(), 8) +
                  std::string(meta) + le(created, 8);
  v += expires ? std::string("\x01") + le(*expires, 8) : std::string(1, '\0');
  return v + le(state, 4);
}

int64_t g_now_ns = 0;
int64_t test_clock() { return g_now_ns; }

class FixedClock {
 public:
  explicit FixedClock(int64_t ns) {
    g_now_ns = ns;
    TEST_set_wall_clock(&test_clock);
  }
  ~FixedClock() { TEST_set_wall_clock(nullptr); }
};

constexpr int64_t kSec = 1000000000;

Record rec(std::string id, uint64_t slot, RecordState state = RecordState::Active,
           std::optional<uint64_t> expires = std::nullopt) {
  return {std::move(id), slot, "{\"k\":1}", 100, expires, state};
}

class RecordStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto s = KvStore::open(dir_.file("meta.redb"));
    ASSERT_TRUE(s) << s.error().render();
    store_ = std::move(*s);
  }
  void put_committed(const std::vector<Record>& records) {
    auto w = begin_write_txn(*store_);
    ASSERT_TRUE(w);
    for (const Record& r : records) ASSERT_TRUE(put_record(*w, r));
    ASSERT_TRUE(w->commit());
  }
  std::optional<Record> committed(std::string_view id) {
    auto txn = begin_read_txn(*store_);
    auto r = get_record(*txn, id);
    if (!r) ADD_FAILURE() << r.error().render();
    return r ? *r : std::nullopt;
  }

  TestDir dir_;
  std::unique_ptr<KvStore> store_;
};

TEST(RecordCodecTest, StoredBytes) {
  struct Case {
    Record r;
    size_t len;
  } cases[] = {
      {{"", 0, "", 0, std::nullopt, RecordState::Active}, 37},
      {{"", 0, "", 0, 0, RecordState::Active}, 45},
      {{"doc-1", 42, "{\"a\":[1,2]}", 1700000000, 1700003600, RecordState::Tombstone}, 45 + 5 + 11},
      {{"é", 1ull << 40, "{}", 5, std::nullopt, RecordState::Pending}, 37 + 2 + 2},
  };
  for (const Case& c : cases) {
    const std::string bytes = encode_record(c.r);
    EXPECT_EQ(bytes.size(), c.len) << c.r.id;
    EXPECT_EQ(bytes, value(c.r.id, c.r.slot, c.r.metadata, c.r.created_at, c.r.expires_at,
                           static_cast<uint32_t>(c.r.state)));
    auto back = decode_record(bytes);
    ASSERT_TRUE(back) << back.error().render();
    EXPECT_EQ(*back, c.r);
  }
}

TEST(RecordCodecTest, ViewPointsIntoTheBytes) {
  const std::string bytes = value("id-7", 7, "{\"x\":true}", 9, 11, 1) + "trailing";
  auto v = decode_record_view(bytes);
  ASSERT_TRUE(v) << v.error().render();
  EXPECT_EQ(v->id, "id-7");
  EXPECT_EQ(v->id.data(), bytes.data() + 8);
  EXPECT_EQ(v->metadata, "{\"x\":true}");
  EXPECT_EQ(v->metadata.data(), bytes.data() + 8 + 4 + 16);
  EXPECT_EQ(v->slot, 7u);
  EXPECT_EQ(v->created_at, 9u);
  EXPECT_EQ(v->expires_at, 11u);
  EXPECT_EQ(v->state, RecordState::Pending);
  EXPECT_EQ(to_record(*v), (Record{"id-7", 7, "{\"x\":true}", 9, 11, RecordState::Pending}));
}

TEST(RecordCodecTest, DecoderErrors) {
  const std::string good = value("ab", 1, "{}", 2, std::nullopt, 0);
  const std::string eof = "Serialization error: io error: unexpected end of file";
  struct Case {
    const char* name;
    std::string bytes;
    std::string want;
  } cases[] = {
      {"empty", "", eof},
      {"cut in the id length", good.substr(0, 5), eof},
      {"id longer than the bytes", le(100, 8) + "ab", "Serialization error: io error: "},
      {"cut inside the id", good.substr(0, 9), "Serialization error: io error: "},
      {"cut in the slot", good.substr(0, 14), eof},
      {"cut inside the metadata", good.substr(0, 27), "Serialization error: io error: "},
      {"cut in created_at", good.substr(0, 30), eof},
      {"cut before the tag", good.substr(0, 36), eof},
      {"cut in expires_at", value("ab", 1, "{}", 2, 3, 0).substr(0, 42), eof},
      {"cut in the state", good.substr(0, good.size() - 1), eof},
      {"tag 2", le(0, 8) + le(0, 8) + le(0, 8) + le(0, 8) + "\x02" + le(0, 4),
       "Serialization error: tag for enum is not valid, found 2"},
      {"tag 255", le(0, 8) + le(0, 8) + le(0, 8) + le(0, 8) + "\xFF" + le(0, 4),
       "Serialization error: tag for enum is not valid, found 255"},
      {"state 3", value("", 0, "", 0, std::nullopt, 3),
       "Serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"state 4294967295", value("", 0, "", 0, 5, 0xFFFFFFFF),
       "Serialization error: invalid value: integer `4294967295`, expected variant index 0 "
       "<= i < 3"},
      {"invalid utf-8 id", value("a\xFFz", 0, "", 0, std::nullopt, 0),
       "Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes "
       "from index 1"},
      {"incomplete utf-8 metadata", value("", 0, "{\xE2\x82", 0, std::nullopt, 0),
       "Serialization error: string is not valid utf8: incomplete utf-8 byte sequence from "
       "index 1"},
  };
  for (const Case& c : cases) {
    auto r = decode_record(c.bytes);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().render(), c.want) << c.name;
    EXPECT_EQ(decode_record_view(c.bytes).error().render(), c.want) << c.name;
  }
  // Bytes after the state are ignored.
  auto extra = decode_record(good + "\x07\x07\x07");
  ASSERT_TRUE(extra);
  EXPECT_EQ(*extra, (Record{"ab", 1, "{}", 2, std::nullopt, RecordState::Active}));
}

TEST(RecordIdTest, LengthLimit) {
  EXPECT_TRUE(check_record_id(""));
  EXPECT_TRUE(check_record_id(std::string(510, 'x')));
  auto r = check_record_id(std::string(511, 'x'));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().render(), "Invalid input: Record id is too long: 511 bytes (at most 510)");
}

TEST(LivenessTest, ClockAndExpiry) {
  constexpr uint64_t T = 1700000000;
  struct Case {
    const char* name;
    int64_t now_ns;
    RecordState state;
    std::optional<uint64_t> expires;
    bool live;
  } cases[] = {
      {"no expiry", T * kSec, RecordState::Active, std::nullopt, true},
      {"second before expiry", (T - 1) * kSec + kSec - 1, RecordState::Active, T, true},
      {"at the expiry second", T * kSec, RecordState::Active, T, false},
      {"after expiry", (T + 5) * kSec, RecordState::Active, T, false},
      {"pending", T * kSec, RecordState::Pending, std::nullopt, false},
      {"tombstone", T * kSec, RecordState::Tombstone, T + 10, false},
      // Before 1970 the clock counts as 0: any later expiry is still ahead.
      {"before 1970, expires at 1", -5 * kSec, RecordState::Active, 1, true},
      {"before 1970, expires at 0", -1, RecordState::Active, 0, false},
      {"half a second before 1970", -kSec / 2, RecordState::Active, 1, true},
  };
  for (const Case& c : cases) {
    FixedClock clock(c.now_ns);
    Record r = rec("x", 0, c.state, c.expires);
    EXPECT_EQ(is_live(r), c.live) << c.name;
    EXPECT_EQ(is_live(as_view(r)), c.live) << c.name;
  }
  {
    FixedClock clock(-1);
    EXPECT_EQ(now_unix_secs(), 0u);
  }
  {
    FixedClock clock(T * kSec + kSec - 1);
    EXPECT_EQ(now_unix_secs(), T);
  }
  // The real clock is back.
  EXPECT_GT(now_unix_secs(), T);
}

TEST(ExpiryTest, SaturatesInsteadOfWrapping) {
  constexpr uint64_t kMax = UINT64_MAX;
  struct Case {
    uint64_t created;
    std::optional<uint64_t> ttl;
    std::optional<uint64_t> expires;
  } cases[] = {
      {100, std::nullopt, std::nullopt},
      {100, 0, 100},
      {100, 3600, 3700},
      {100, kMax - 100, kMax},
      {100, kMax - 99, kMax},
      {100, kMax, kMax},
      {kMax, 1, kMax},
      {0, kMax, kMax},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(expiry_for(c.created, c.ttl), c.expires) << c.created << " + " << c.ttl.value_or(0);
  }
  FixedClock clock(1700000000 * kSec);
  EXPECT_TRUE(is_live(rec("x", 0, RecordState::Active, expiry_for(now_unix_secs(), kMax))));
}

TEST_F(RecordStoreTest, PutGetAndReplace) {
  EXPECT_EQ(committed("a"), std::nullopt);  // no table yet
  put_committed({rec("a", 1), rec("b", 2)});
  put_committed({rec("a", 9, RecordState::Pending)});
  EXPECT_EQ(committed("a"), rec("a", 9, RecordState::Pending));
  EXPECT_EQ(committed("b"), rec("b", 2));
  EXPECT_EQ(committed("c"), std::nullopt);

  // The stored value is exactly the encoding.
  auto txn = begin_read_txn(*store_);
  auto raw = txn->get("records", "b");
  ASSERT_TRUE(raw && *raw);
  EXPECT_EQ(**raw, encode_record(rec("b", 2)));
}

TEST_F(RecordStoreTest, EmptyAndOverlongIds) {
  put_committed({rec("", 5)});
  EXPECT_EQ(committed(""), rec("", 5));

  const std::string too_long(511, 'q');
  auto w = begin_write_txn(*store_);
  auto put = put_record(*w, rec(too_long, 1));
  ASSERT_FALSE(put);
  EXPECT_EQ(put.error().render(), "Invalid input: Record id is too long: 511 bytes (at most 510)");
  auto removed = remove_record(*w, too_long);
  ASSERT_TRUE(removed);
  EXPECT_FALSE(*removed);
  ASSERT_TRUE(put_record(*w, rec(std::string(510, 'q'), 2)));
  ASSERT_TRUE(w->commit());
  EXPECT_EQ(committed(too_long), std::nullopt);
  EXPECT_EQ(committed(std::string(510, 'q')), rec(std::string(510, 'q'), 2));
}

TEST_F(RecordStoreTest, GetReturnsEveryStateAsStored) {
  FixedClock clock(1000 * kSec);
  put_committed({rec("p", 1, RecordState::Pending), rec("t", 2, RecordState::Tombstone),
                 rec("e", 3, RecordState::Active, 500)});
  EXPECT_EQ(committed("p"), rec("p", 1, RecordState::Pending));
  EXPECT_EQ(committed("t"), rec("t", 2, RecordState::Tombstone));
  EXPECT_EQ(committed("e"), rec("e", 3, RecordState::Active, 500));
}

TEST_F(RecordStoreTest, CountLiveRecords) {
  {
    auto txn = begin_read_txn(*store_);
    EXPECT_EQ(count_live_records(*txn), 0u);  // no table
  }
  FixedClock clock(1000 * kSec);
  put_committed({rec("a", 1), rec("b", 2, RecordState::Pending),
                 rec("c", 3, RecordState::Tombstone), rec("d", 4, RecordState::Active, 1000),
                 rec("e", 5, RecordState::Active, 1001), rec("f", 6, RecordState::Active, 0)});
  {
    auto txn = begin_read_txn(*store_);
    EXPECT_EQ(count_live_records(*txn), 2u);  // a and e
  }
  // One malformed value fails the count although every other record is fine.
  auto w = begin_write_txn(*store_);
  ASSERT_TRUE(w->put("records", "zz", value("zz", 7, "", 0, std::nullopt, 3)));
  ASSERT_TRUE(w->commit());
  auto txn = begin_read_txn(*store_);
  auto n = count_live_records(*txn);
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error().render(),
            "Serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3");
}

TEST_F(RecordStoreTest, SetRecordStateSeesOnlyCommittedRecords) {
  put_committed({rec("old", 1, RecordState::Pending)});
  auto w = begin_write_txn(*store_);
  ASSERT_TRUE(put_record(*w, rec("new", 2, RecordState::Pending)));
  auto r = set_record_state(*store_, *w, "new", RecordState::Active);
  ASSERT_TRUE(r) << r.error().render();
  EXPECT_FALSE(*r);
  r = set_record_state(*store_, *w, "absent", RecordState::Active);
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  r = set_record_state(*store_, *w, "old", RecordState::Tombstone);
  ASSERT_TRUE(r);
  EXPECT_TRUE(*r);
  ASSERT_TRUE(w->commit());
  EXPECT_EQ(committed("new"), rec("new", 2, RecordState::Pending));
  EXPECT_EQ(committed("old"), rec("old", 1, RecordState::Tombstone));
}

TEST_F(RecordStoreTest, RemoveRecord) {
  put_committed({rec("a", 1), rec("b", 2)});
  auto w = begin_write_txn(*store_);
  EXPECT_EQ(remove_record(*w, "a"), true);
  EXPECT_EQ(remove_record(*w, "a"), false);
  EXPECT_EQ(remove_record(*w, "zzz"), false);
  ASSERT_TRUE(w->commit());
  EXPECT_EQ(committed("a"), std::nullopt);
  EXPECT_EQ(committed("b"), rec("b", 2));
}

// Whether the LMDB file at path holds a named table, looked at with LMDB itself.
bool lmdb_has_table(const std::string& path, const char* name) {
  MDB_env* env = nullptr;
  if (mdb_env_create(&env) != 0) return false;
  mdb_env_set_maxdbs(env, 16);
  bool found = false;
  if (mdb_env_open(env, path.c_str(), MDB_NOSUBDIR | MDB_RDONLY, 0644) == 0) {
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) == 0) {
      MDB_dbi dbi;
      found = mdb_dbi_open(txn, name, 0, &dbi) == 0;
      mdb_txn_abort(txn);
    }
  }
  mdb_env_close(env);
  return found;
}

TEST(RecordTableTest, RemoveFromAStoreWithoutTheTableCreatesIt) {
  TestDir dir;
  const std::string path = dir.file("meta.redb");
  {
    auto store = KvStore::open(path);
    ASSERT_TRUE(store);
    auto w = begin_write_txn(**store);
    ASSERT_TRUE(w->put("other", "k", "v"));  // the file exists with some other table
    ASSERT_TRUE(w->commit());
  }
  EXPECT_FALSE(lmdb_has_table(path, "records"));
  {
    auto store = KvStore::open(path);
    ASSERT_TRUE(store);
    auto w = begin_write_txn(**store);
    auto r = remove_record(*w, "nothing");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_FALSE(*r);
    ASSERT_TRUE(w->commit());
    auto txn = begin_read_txn(**store);
    EXPECT_EQ(count_live_records(*txn), 0u);
  }
  EXPECT_TRUE(lmdb_has_table(path, "records"));
}

}  // namespace
}  // namespace tornquil
