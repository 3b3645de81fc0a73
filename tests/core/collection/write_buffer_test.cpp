// The write buffer: when adds flush, what a flush commits, what a failed flush keeps, the
// flush when the last reference goes, and the inputs refused before anything changes.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "base/uuid.hpp"
#include "collection_fixture.hpp"

namespace tornquil::testing {
namespace {

using WriteBufferTest = ManualClockTest;

TEST_F(WriteBufferTest, HundredthAddFlushesTheWholeBufferInOneTransaction) {
  auto c = open(make_config(4));
  for (int i = 0; i < 99; ++i) add(*c, i);
  EXPECT_EQ(buffered(*c), 99u);
  EXPECT_TRUE(committed_records(*c).empty());
  EXPECT_EQ(count(*c), 99u);

  // The 100th add commits all or nothing: with its commit failing, none of the 100 is
  // stored and all stay buffered.
  c->TEST_fail_next_commit();
  auto failed = add_record(*c, vec(4, 99), JsonValue(), "r99", std::nullopt);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().render(), "Transaction error: injected commit failure");
  EXPECT_TRUE(committed_records(*c).empty());
  EXPECT_EQ(buffered(*c), 100u);

  // The next add finds the buffer full and flushes all 101.
  add(*c, 100);
  EXPECT_EQ(buffered(*c), 0u);
  EXPECT_EQ(committed_records(*c).size(), 101u);
  EXPECT_EQ(c->pending_since_ms.load(), 0u);
  EXPECT_EQ(count(*c), 101u);
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{});
}

TEST_F(WriteBufferTest, AnAddIntoAnOldBufferFlushesItButTimeAloneDoesNot) {
  auto c = open(make_config(4));
  const uint64_t before = now_unix_millis();
  add(*c, 1, "a");
  const uint64_t since = c->pending_since_ms.load();
  EXPECT_GE(since, before);
  EXPECT_LE(since, now_unix_millis());
  clock_.advance(std::chrono::milliseconds(99));
  add(*c, 2, "b");
  EXPECT_EQ(buffered(*c), 2u);  // not old enough yet
  clock_.advance(std::chrono::milliseconds(1));
  EXPECT_EQ(buffered(*c), 2u);  // there is no timer
  add(*c, 3, "c");
  EXPECT_EQ(buffered(*c), 0u);
  EXPECT_EQ(committed_records(*c).size(), 3u);
  EXPECT_EQ(c->pending_since_ms.load(), 0u);
}

TEST_F(WriteBufferTest, TtlZeroIsCountedOnlyWhileBuffered) {
  auto c = open(make_config(4));
  add(*c, 1, "gone", 0);
  add(*c, 2, "kept", 3600);
  {
    std::lock_guard lk(c->pending_lock);
    const Record& r = c->pending[0].record;
    EXPECT_EQ(r.expires_at, r.created_at);
    EXPECT_EQ(c->pending[1].record.expires_at, c->pending[1].record.created_at + 3600);
  }
  EXPECT_EQ(count(*c), 2u);
  ASSERT_TRUE(flush_pending(*c));
  EXPECT_EQ(count(*c), 1u);
  // Stored all the same; only the liveness test leaves it out.
  auto gone = committed_record(*c, "gone");
  ASSERT_TRUE(gone);
  EXPECT_FALSE(is_live(*gone));
}

// The older copy's slot and the replaced record's slot are freed by the flush that stores
// the newest copy, in its own transaction; ten adds of one id leave one slot taken.
TEST_F(WriteBufferTest, DuplicateIdsKeepTheNewestAndFreeTheOlderSlots) {
  auto c = open(make_config(4));
  // Twice in the buffer, then once more after the first two were committed.
  add(*c, 1, "x");
  add(*c, 2, "x");
  EXPECT_EQ(buffered_ids(*c), (std::vector<std::string>{"x", "x"}));
  ASSERT_TRUE(flush_pending(*c));
  auto first = committed_records(*c);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].slot, 1u);
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{0});
  EXPECT_TRUE(std::isnan(slot_floats(*c, 0)[0]));

  add(*c, 3, "x");  // takes slot 0 again
  ASSERT_TRUE(flush_pending(*c));
  auto second = committed_records(*c);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].slot, 0u);
  EXPECT_EQ(slot_floats(*c, 0), vec(4, 3));
  EXPECT_EQ(slot_count(*c), 2u);
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{1});
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{1});

  for (int i = 0; i < 10; ++i) {
    add(*c, 10 + i, "z");
    ASSERT_TRUE(flush_pending(*c));
  }
  EXPECT_EQ(committed_records(*c).size(), 2u);
  EXPECT_EQ(slot_count(*c), 3u);
  EXPECT_EQ(memory_freelist(*c).size(), 1u);
}

TEST_F(WriteBufferTest, RefusedInputChangesNothing) {
  auto c = open(make_config(4));
  add(*c, 1, "a");
  add(*c, 2, "b");
  ASSERT_TRUE(drop_buffered_record(*c, "a"));  // slot 0 is free again
  ASSERT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});

  struct Case {
    std::vector<float> vector;
    std::string id;
    std::string error;
  };
  const std::vector<Case> cases = {
      {vec(3, 1), "short", "Dimension mismatch: expected 4, got 3"},
      {vec(5, 1), "long", "Dimension mismatch: expected 4, got 5"},
      {{}, "empty", "Dimension mismatch: expected 4, got 0"},
      {vec(4, 1), std::string(511, 'i'),
       "Invalid input: Record id is too long: 511 bytes (at most 510)"},
  };
  for (const Case& tc : cases) {
    auto r = add_record(*c, tc.vector, JsonValue(), tc.id, std::nullopt);
    ASSERT_FALSE(r) << tc.error;
    EXPECT_EQ(r.error().render(), tc.error);
    auto u = upsert_record(*c, tc.id, tc.vector, JsonValue(), std::nullopt);
    ASSERT_FALSE(u) << tc.error;
    EXPECT_EQ(u.error().render(), tc.error);
  }
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
  EXPECT_EQ(slot_count(*c), 2u);
  EXPECT_EQ(buffered_ids(*c), std::vector<std::string>{"b"});

  // The longest id the store can hold is accepted.
  add(*c, 3, std::string(510, 'i'));
  ASSERT_TRUE(flush_pending(*c));
  EXPECT_TRUE(committed_record(*c, std::string(510, 'i')));
}

TEST_F(WriteBufferTest, GeneratedIdsAreVersion4Uuids) {
  auto c = open(make_config(4));
  const std::string a = add(*c, 1);
  const std::string b = add(*c, 2);
  EXPECT_NE(a, b);
  for (const std::string& id : {a, b}) {
    ASSERT_EQ(id.size(), 36u) << id;
    for (size_t i = 0; i < id.size(); ++i) {
      if (i == 8 || i == 13 || i == 18 || i == 23) {
        EXPECT_EQ(id[i], '-') << id;
      } else {
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(id[i])) && !std::isupper(id[i])) << id;
      }
    }
    EXPECT_EQ(id[14], '4') << id;
    EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
  }
  std::array<uint8_t, 16> ones;
  ones.fill(0xFF);
  EXPECT_EQ(format_uuid_v4(ones), "ffffffff-ffff-4fff-bfff-ffffffffffff");
  EXPECT_EQ(format_uuid_v4({}), "00000000-0000-4000-8000-000000000000");
}

TEST_F(WriteBufferTest, CosineVectorsAreStoredAtUnitLengthWithTheirMetadata) {
  auto c = open(make_config(2, Metric::Cosine));
  JsonValue meta =
      JsonValue::from_object({{"z", JsonValue::from_uint(1)}, {"a", JsonValue::from_string("t")}});
  ASSERT_TRUE(add_record(*c, std::vector<float>{3, 4}, meta, "v", std::nullopt));
  {
    std::lock_guard lk(c->pending_lock);
    EXPECT_EQ(c->pending[0].vector, (std::vector<float>{0.6f, 0.8f}));
  }
  EXPECT_EQ(slot_floats(*c, 0), (std::vector<float>{0.6f, 0.8f}));
  ASSERT_TRUE(flush_pending(*c));
  auto r = committed_record(*c, "v");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->metadata, R"({"a":"t","z":1})");
  EXPECT_EQ(r->state, RecordState::Active);
  EXPECT_EQ(r->expires_at, std::nullopt);
}

TEST_F(WriteBufferTest, FlushOfAnEmptyBufferTouchesNothing) {
  auto c = open(make_config(4));
  ASSERT_TRUE(flush_pending(*c));
  EXPECT_EQ(stored_freelist(*c), std::nullopt);
  EXPECT_TRUE(committed_records(*c).empty());
}

TEST_F(WriteBufferTest, RecordsAddedWithoutSyncSurviveTheLastReference) {
  {
    auto c = open(make_config(4));
    for (int i = 0; i < 3; ++i) add(*c, i, "r" + std::to_string(i));
    ASSERT_EQ(buffered(*c), 3u);
  }
  auto c = open(make_config(4));
  auto recs = committed_records(*c);
  ASSERT_EQ(recs.size(), 3u);
  for (const Record& r : recs) EXPECT_EQ(slot_floats(*c, r.slot), vec(4, r.id[1] - '0'));
  EXPECT_EQ(count(*c), 3u);
}

TEST_F(WriteBufferTest, FailedReleaseFlushDoesNotCrash) {
  {
    auto c = open(make_config(4));
    add(*c, 1, "lost");
    c->TEST_fail_next_commit();
  }
  auto c = open(make_config(4));
  EXPECT_TRUE(committed_records(*c).empty());
  // The slot the unstored record had stays allocated: nothing hands it out twice.
  EXPECT_EQ(slot_count(*c), 1u);
  EXPECT_TRUE(memory_freelist(*c).empty());
}

TEST_F(WriteBufferTest, FailedFlushKeepsItsRecordsAheadOfNewerOnes) {
  auto c = open(make_config(4));
  add(*c, 1, "x");
  add(*c, 2, "y");
  const uint64_t since = c->pending_since_ms.load();
  ASSERT_NE(since, 0u);

  c->TEST_fail_next_commit();
  auto r = flush_pending(*c);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Transaction);
  EXPECT_EQ(buffered_ids(*c), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(c->pending_since_ms.load(), since);
  EXPECT_EQ(count(*c), 2u);
  EXPECT_TRUE(committed_records(*c).empty());
  EXPECT_EQ(stored_freelist(*c), std::nullopt);

  // A newer copy of x goes behind the kept one, so it wins at the next flush.
  add(*c, 3, "x");
  EXPECT_EQ(buffered_ids(*c), (std::vector<std::string>{"x", "y", "x"}));
  ASSERT_TRUE(sync_collection(*c));
  EXPECT_EQ(c->pending_since_ms.load(), 0u);
  auto recs = committed_records(*c);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].id, "x");
  EXPECT_EQ(recs[0].slot, 2u);
  EXPECT_EQ(recs[1].id, "y");
  EXPECT_EQ(recs[1].slot, 1u);
}

TEST_F(WriteBufferTest, AgedBufferWhoseFlushFailedIsRetriedByTheNextAdd) {
  auto c = open(make_config(4));
  add(*c, 1, "a");
  clock_.advance(std::chrono::milliseconds(100));
  c->TEST_fail_next_commit();
  ASSERT_FALSE(add_record(*c, vec(4, 2), JsonValue(), "b", std::nullopt));
  EXPECT_EQ(buffered(*c), 2u);
  add(*c, 3, "c");
  EXPECT_EQ(buffered(*c), 0u);
  EXPECT_EQ(committed_records(*c).size(), 3u);
}

}  // namespace
}  // namespace tornquil::testing
