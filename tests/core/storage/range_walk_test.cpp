// The snapshot range walk over tables of many id shapes: every key is visited once and in
// key order however many ranges the walk has, whether its bounds are guessed, learnt, or
// learnt from a table that has changed since; and the learnt bounds share a table evenly
// whatever the shape of its ids.
#include "storage/range_walk.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "storage/kv_store.hpp"
#include "test_dir.hpp"

namespace tornquil {
namespace {

constexpr char kTable[] = "records";

// Id i of a shape; every shape gives distinct ids for distinct i.
std::string shaped_id(const std::string& shape, uint64_t i, std::mt19937_64& rng) {
  char buf[96];
  if (shape == "r%07d") {
    std::snprintf(buf, sizeof(buf), "r%07llu", static_cast<unsigned long long>(i));
  } else if (shape == "uuid") {
    std::snprintf(buf, sizeof(buf), "%08llx-%04llx-4%03llx-%016llx",
                  static_cast<unsigned long long>(rng() >> 32),
                  static_cast<unsigned long long>(rng() >> 48),
                  static_cast<unsigned long long>(rng() >> 52), static_cast<unsigned long long>(i));
  } else if (shape == "doc-%d") {
    std::snprintf(buf, sizeof(buf), "doc-%llu", static_cast<unsigned long long>(i));
  } else if (shape == "user%03d/msg%05d") {
    std::snprintf(buf, sizeof(buf), "user%03llu/msg%05llu",
                  static_cast<unsigned long long>(i % 1000),
                  static_cast<unsigned long long>(i / 1000));
  } else if (shape == "long shared prefix, NUL-ended") {
    // Ids "x", "x\0" and "x\0\0": a bound taken from an id that ends in 0x00 must never
    // split the stored key of another id from itself.
    std::snprintf(buf, sizeof(buf), "%llu", static_cast<unsigned long long>(i / 3 * 7919 % 100003));
    return std::string(400, 'p') + buf + std::string(i % 3, '\0');
  } else {
    ADD_FAILURE() << shape;
  }
  return buf;
}

class RangeWalkTest : public ::testing::Test {
 protected:
  void TearDown() override { TEST_set_scan_walk_hooks(nullptr); }

  // A new empty store for each table.
  void open_store() {
    store_.reset();
    auto s = KvStore::open(dir_.file("meta" + std::to_string(++stores_) + ".redb"));
    ASSERT_TRUE(s) << s.error().render();
    store_ = std::move(*s);
  }

  // Puts the ids in one write transaction, and removes those of `removed`.
  void commit(const std::vector<std::string>& added, const std::vector<std::string>& removed) {
    auto txn = store_->begin_write();
    ASSERT_TRUE(txn);
    for (const std::string& id : added) ASSERT_TRUE(txn->put(kTable, id, "v"));
    for (const std::string& id : removed) ASSERT_TRUE(txn->remove(kTable, id));
    ASSERT_TRUE(txn->commit());
  }

  // One walk of the table with `transactions` transactions and `ranges` ranges in all (one
  // transaction: the lone walk), every range walked as a scan walks it, by the cursor of
  // the transaction its number falls to. Returns the keys in the order visited and the
  // entries of each range.
  std::vector<std::string> walk(uint32_t transactions, uint32_t ranges, ScanBounds& bounds,
                                std::vector<uint64_t>& range_sizes) {
    hooks_.min_entries = 0;
    hooks_.transactions = transactions;
    hooks_.ranges_per_transaction = ranges / transactions;
    TEST_set_scan_walk_hooks(&hooks_);
    std::vector<std::string> seen;
    auto txn = store_->begin_read();
    EXPECT_TRUE(txn);
    SnapshotRangeWalk w;
    auto planned = plan_range_walk(*store_, *txn, kTable, w, &bounds);
    EXPECT_TRUE(planned) << planned.error().render();
    std::string_view key, value;
    if (!w.parallel()) {
      auto cursor = txn->cursor(kTable);
      EXPECT_TRUE(cursor);
      RangeTally* tally = w.tallies.empty() ? nullptr : &w.tallies[0];
      while (*cursor->next(key, value)) {
        if (tally != nullptr) tally->see(key);
        seen.emplace_back(key);
      }
      range_sizes = {seen.size()};
    } else {
      EXPECT_GT(w.range_count(), 1u);
      EXPECT_LE(w.range_count(), ranges);
      if (w.learnt) {
        EXPECT_EQ(w.range_count(), ranges);
      }
      range_sizes.assign(w.range_count(), 0);
      for (size_t r = 0; r < w.range_count(); ++r) {
        Cursor& c = w.cursors[r % w.cursors.size()];
        auto at = c.seek(w.range_begin(r), key, value);
        EXPECT_TRUE(at);
        for (bool more = *at; more && in_range(key, w.range_end(r)); more = *c.next(key, value)) {
          w.tallies[r].see(key);
          seen.emplace_back(key);
          ++range_sizes[r];
        }
      }
    }
    finish_range_walk(w);
    return seen;
  }

  testing::TestDir dir_;
  std::unique_ptr<KvStore> store_;
  int stores_ = 0;
  ScanWalkTestHooks hooks_;
};

TEST_F(RangeWalkTest, EveryKeyOnceInKeyOrderWithGuessedLearntAndStaleBounds) {
  const char* const kShapes[] = {"r%07d", "uuid", "doc-%d", "user%03d/msg%05d",
                                 "long shared prefix, NUL-ended"};
  struct Split {
    uint32_t transactions, ranges;
  };
  const Split kSplits[] = {{1, 1}, {2, 2}, {3, 3}, {2, 8}, {13, 13}};
  for (const char* shape : kShapes) {
    SCOPED_TRACE(shape);
    open_store();
    std::mt19937_64 rng(7);
    constexpr uint64_t kFirst = 6000;
    std::vector<std::string> ids;
    for (uint64_t i = 0; i < kFirst; ++i) ids.push_back(shaped_id(shape, i, rng));
    commit(ids, {});
    std::set<std::string> live(ids.begin(), ids.end());
    ASSERT_EQ(live.size(), ids.size());
    ScanBounds bounds;
    // Walks by each split in turn against the table as it stands, the bounds shared.
    auto walk_every_split = [&](const char* when) {
      SCOPED_TRACE(when);
      const std::vector<std::string> want(live.begin(), live.end());
      for (const Split& s : kSplits) {
        SCOPED_TRACE(std::to_string(s.ranges) + " ranges");
        std::vector<uint64_t> sizes;
        ASSERT_EQ(walk(s.transactions, s.ranges, bounds, sizes), want);
      }
    };
    walk_every_split("guessed, then learnt");
    ASSERT_TRUE(bounds.load());
    EXPECT_EQ(bounds.load()->entries, kFirst);
    // Keys added past the end and in the middle, a run of the first ones removed: the
    // learnt bounds now stand where the table no longer is.
    std::vector<std::string> added, removed(ids.begin(), ids.begin() + 2500);
    for (uint64_t i = kFirst; i < kFirst + 4000; ++i) added.push_back(shaped_id(shape, i, rng));
    added.push_back(std::string(ids[10]) + "~");
    commit(added, removed);
    for (const std::string& id : removed) live.erase(id);
    live.insert(added.begin(), added.end());
    const auto stale = bounds.load();
    walk_every_split("stale, then learnt again");
    EXPECT_NE(bounds.load(), stale);
    EXPECT_EQ(bounds.load()->entries, live.size());
  }
}

TEST_F(RangeWalkTest, LearntBoundsShareEveryShapeOfIdsEvenly) {
  // The guess balances some shapes and not others; learnt bounds balance all of them,
  // including after the table has changed in one part only with its count kept.
  const char* const kShapes[] = {"r%07d", "uuid", "doc-%d", "user%03d/msg%05d",
                                 "long shared prefix, NUL-ended"};
  constexpr uint32_t kRanges = 8;
  for (const char* shape : kShapes) {
    SCOPED_TRACE(shape);
    open_store();
    std::mt19937_64 rng(3);
    std::vector<std::string> ids;
    for (uint64_t i = 0; i < 20000; ++i) ids.push_back(shaped_id(shape, i, rng));
    commit(ids, {});
    ScanBounds bounds;
    std::vector<uint64_t> sizes;
    // No range holds more than `factor` times its share of the table.
    auto expect_even = [&](const char* when, double factor) {
      SCOPED_TRACE(when);
      ASSERT_EQ(sizes.size(), kRanges);
      uint64_t total = 0;
      for (uint64_t n : sizes) total += n;
      for (uint64_t n : sizes) EXPECT_LE(n, factor * total / kRanges);
    };
    walk(2, kRanges, bounds, sizes);  // learns
    walk(2, kRanges, bounds, sizes);
    expect_even("learnt", 1.25);
    // A sliding window: the oldest half removed and as many new ids added, the count kept.
    // A walk that finds one range holding more than twice its share asks for new bounds;
    // the next walk learns them.
    std::vector<std::string> added;
    for (uint64_t i = 20000; i < 30000; ++i) added.push_back(shaped_id(shape, i, rng));
    std::vector<std::string> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    commit(added, std::vector<std::string>(sorted.begin(), sorted.begin() + 10000));
    for (int i = 0; i < 3; ++i) walk(2, kRanges, bounds, sizes);
    expect_even("after a sliding window", 2);
  }
}

}  // namespace
}  // namespace tornquil
