// Records while the flush that commits them runs: still visible and counted once, and a
// delete or upsert of one of them waits for that flush, so the flush never undoes it.
// Upsert of a committed record: all or nothing at every step.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "collection/get.hpp"
#include "collection/search.hpp"
#include "collection_fixture.hpp"

namespace tornquil::testing {
namespace {

using InFlightTest = ManualClockTest;

// A flush started on its own thread and held just before its commit until release().
class PausedFlush {
 public:
  explicit PausedFlush(Collection& c) {
    c.TEST_before_next_commit([this] {
      reached_.set_value();
      release_.get_future().wait();
    });
    result_ = std::async(std::launch::async, [&c] { return flush_pending(c); });
    reached_.get_future().wait();
  }
  ~PausedFlush() {
    if (!released_) release();
  }
  Result<void> release() {
    released_ = true;
    release_.set_value();
    return result_.get();
  }

 private:
  std::promise<void> reached_, release_;
  std::future<Result<void>> result_;
  bool released_ = false;
};

// Runs `f` on its own thread; the future is ready when it returned.
template <class F>
auto start(F f) {
  return std::async(std::launch::async, std::move(f));
}

// The ids a search for every record's own vector finds, best first (L2: vec(4, s) is
// nearest to itself).
std::vector<std::string> found_ids(Collection& c, uint64_t seed) {
  auto hits = search_collection(c, vec(4, seed), 10, std::nullopt);
  EXPECT_TRUE(hits) << hits.error().render();
  std::vector<std::string> ids;
  if (hits) {
    for (const SearchHit& h : *hits) ids.push_back(h.id);
  }
  return ids;
}

bool visible(Collection& c, const std::string& id) {
  auto r = get_by_id(c, id);
  EXPECT_TRUE(r) << r.error().render();
  return r && *r;
}

bool still_running(const std::future<bool>& f) {
  return f.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout;
}

TEST_F(InFlightTest, RecordsStayVisibleAndCountedWhileTheirFlushCommits) {
  auto c = open(make_config(4));
  add(*c, 1, "a");
  add(*c, 2, "b");
  {
    PausedFlush flush(*c);
    // Out of the buffer, not yet in the table: in flight.
    EXPECT_EQ(buffered(*c), 0u);
    EXPECT_EQ(committed_records(*c).size(), 0u);
    EXPECT_EQ(count(*c), 2u);
    EXPECT_TRUE(visible(*c, "a"));
    EXPECT_EQ(found_ids(*c, 1), (std::vector<std::string>{"a", "b"}));
    add(*c, 3, "c");  // into the new buffer, behind the flush
    EXPECT_EQ(count(*c), 3u);
    EXPECT_EQ(found_ids(*c, 3), (std::vector<std::string>{"c", "b", "a"}));
    ASSERT_TRUE(flush.release());
  }
  EXPECT_EQ(committed_records(*c).size(), 2u);
  EXPECT_EQ(buffered_ids(*c), std::vector<std::string>{"c"});
  EXPECT_EQ(count(*c), 3u);
  EXPECT_EQ(found_ids(*c, 1), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(InFlightTest, RecordsTheTableAlreadyShowsAreCountedOnce) {
  // The moment between the flush's commit and its emptying of the in-flight list.
  auto c = open(make_config(4));
  add(*c, 1, "a");
  add(*c, 2, "b");
  ASSERT_TRUE(flush_pending(*c));
  add(*c, 3, "c");
  {
    std::lock_guard lk(c->pending_lock);
    for (const char* id : {"a", "b"}) {
      c->in_flight.push_back(PendingRecord{*committed_record(*c, id), vec(4, 0)});
    }
  }
  EXPECT_EQ(count(*c), 3u);
  // Each record is found once, though the table and the in-flight list both hold it.
  EXPECT_EQ(found_ids(*c, 1), (std::vector<std::string>{"a", "b", "c"}));
  {
    // A record in flight that the table shows only under an older slot is not committed
    // yet, but it is the newest copy of its id, which counts once.
    std::lock_guard lk(c->pending_lock);
    for (PendingRecord& p : c->in_flight) p.record.slot += 100;
  }
  EXPECT_EQ(count(*c), 3u);
  std::lock_guard lk(c->pending_lock);
  c->in_flight.clear();
}

TEST_F(InFlightTest, AFailedFlushPutsItsRecordsBackAheadOfNewerOnes) {
  auto c = open(make_config(4));
  add(*c, 1, "a");
  c->TEST_fail_next_commit();
  {
    PausedFlush flush(*c);
    add(*c, 2, "b");
    EXPECT_EQ(count(*c), 2u);
    EXPECT_FALSE(flush.release());
  }
  EXPECT_EQ(buffered_ids(*c), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(count(*c), 2u);
  std::lock_guard lk(c->pending_lock);
  EXPECT_TRUE(c->in_flight.empty());
}

TEST_F(InFlightTest, DeleteOfARecordInFlightWaitsAndIsNotUndone) {
  auto c = open(make_config(4));
  add(*c, 1, "a");
  add(*c, 2, "b");
  std::future<bool> deleted;
  {
    PausedFlush flush(*c);
    EXPECT_EQ(drop_buffered_record(*c, "zzz"), false);  // an id not in flight: no wait
    deleted = start([&] {
      auto r = delete_by_id(*c, "a");
      EXPECT_TRUE(r) << r.error().render();
      return r && *r;
    });
    EXPECT_TRUE(still_running(deleted));
    ASSERT_TRUE(flush.release());
  }
  // The flush committed "a"; the delete then found it in the table and removed it there.
  EXPECT_TRUE(deleted.get());
  EXPECT_EQ(committed_record(*c, "a"), std::nullopt);
  EXPECT_FALSE(visible(*c, "a"));
  EXPECT_EQ(count(*c), 1u);
}

TEST_F(InFlightTest, UpsertOfARecordInFlightWaitsAndIsNotUndone) {
  auto c = open(make_config(4));
  add(*c, 1, "x");
  std::future<bool> upserted;
  {
    PausedFlush flush(*c);
    upserted = start([&] {
      auto r = upsert_record(*c, "x", vec(4, 7), JsonValue(), std::nullopt);
      EXPECT_TRUE(r) << r.error().render();
      return bool(r);
    });
    EXPECT_TRUE(still_running(upserted));
    ASSERT_TRUE(flush.release());
  }
  ASSERT_TRUE(upserted.get());
  auto x = committed_record(*c, "x");
  ASSERT_TRUE(x);
  EXPECT_EQ(slot_floats(*c, x->slot), vec(4, 7));
  EXPECT_EQ(committed_records(*c).size(), 1u);
  EXPECT_EQ(count(*c), 1u);
}

using UpsertAtomicityTest = ManualClockTest;

TEST_F(UpsertAtomicityTest, TheOldRecordStaysWholeUntilTheReplacementCommits) {
  auto c = open(make_config(4));
  add(*c, 1, "x");
  ASSERT_TRUE(flush_pending(*c));  // slot 0
  const std::optional<Record> old = committed_record(*c, "x");
  ASSERT_TRUE(old);

  // Just before the commit: the new vector is in a slot of its own, and the old record,
  // its vector and the free list are as they were.
  bool reached = false;
  c->TEST_before_next_commit([&] {
    reached = true;
    EXPECT_EQ(committed_record(*c, "x"), old);
    EXPECT_EQ(slot_floats(*c, 0), vec(4, 1));
    EXPECT_EQ(slot_floats(*c, 1), vec(4, 5));
    EXPECT_TRUE(memory_freelist(*c).empty());
  });
  c->TEST_fail_next_commit();
  auto r = upsert_record(*c, "x", vec(4, 5), JsonValue(), std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Transaction);
  EXPECT_TRUE(reached);
  // Nothing of the failed replacement is stored or freed; its slot stays allocated, as a
  // failed add leaves it.
  EXPECT_EQ(committed_record(*c, "x"), old);
  EXPECT_EQ(slot_floats(*c, 0), vec(4, 1));
  EXPECT_TRUE(memory_freelist(*c).empty());
  EXPECT_EQ(slot_count(*c), 2u);

  ASSERT_TRUE(upsert_record(*c, "x", vec(4, 6), JsonValue(), std::nullopt));
  auto x = committed_record(*c, "x");
  ASSERT_TRUE(x);
  EXPECT_EQ(x->slot, 2u);
  EXPECT_EQ(slot_floats(*c, 2), vec(4, 6));
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
}

TEST_F(UpsertAtomicityTest, ReplacingATombstoneFreesItsSlotNoSecondTime) {
  auto c = open(make_config(4));
  add(*c, 1, "t");
  ASSERT_TRUE(flush_pending(*c));  // slot 0
  // A delete whose second transaction failed leaves "t" a Tombstone with slot 0 freed.
  c->TEST_fail_next_commit(1);
  ASSERT_FALSE(delete_record(*c, "t", 0));
  ASSERT_EQ(committed_record(*c, "t")->state, RecordState::Tombstone);
  ASSERT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});

  ASSERT_TRUE(upsert_record(*c, "t", vec(4, 2), JsonValue(), std::nullopt));
  auto t = committed_record(*c, "t");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->state, RecordState::Active);
  EXPECT_EQ(t->slot, 0u);  // the free slot, taken once
  EXPECT_TRUE(memory_freelist(*c).empty());
  EXPECT_EQ(stored_freelist(*c), std::vector<uint64_t>{});
  EXPECT_EQ(slot_floats(*c, 0), vec(4, 2));
}

}  // namespace
}  // namespace tornquil::testing
