// Many threads on one collection: adds, deletes (of buffered and committed records, the
// same id sometimes twice at once) and counts, then a reopen that must find every
// acknowledged, undeleted record exactly once, in a slot of its own, with its own vector.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "collection/search.hpp"
#include "collection_fixture.hpp"
#include "search/exact.hpp"

namespace tornquil::testing {
namespace {

using ConcurrencyTest = CollectionTest;

constexpr uint64_t kDims = 8;

uint64_t seed_of(int thread, uint64_t i) { return static_cast<uint64_t>(thread) * 1000000 + i; }

// Deletes the way a user's delete does: the buffered copy first, else the committed record.
bool delete_one(Collection& c, const std::string& id) {
  auto d = delete_by_id(c, id);
  EXPECT_TRUE(d) << d.error().render();
  return d && *d;
}

TEST_F(ConcurrencyTest, AddsDeletesAndCountsKeepEveryAcknowledgedRecord) {
  auto c = open(make_config(kDims));
  ASSERT_TRUE(c);

  std::mutex mu;
  std::map<std::string, uint64_t> acknowledged;  // id -> seed of its vector
  std::vector<std::string> recent;               // ids deleters pick from
  std::set<std::string> deleted;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> counts{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (uint64_t i = 0; !stop.load(); ++i) {
        const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
        auto r = add_record(*c, vec(kDims, seed_of(t, i)), JsonValue(), id, std::nullopt);
        ASSERT_TRUE(r) << r.error().render();
        std::lock_guard lk(mu);
        acknowledged[id] = seed_of(t, i);
        recent.push_back(id);
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      while (!stop.load()) {
        std::string id;
        {
          std::lock_guard lk(mu);
          if (recent.empty()) continue;
          // Among the newest few, so that both deleters sometimes pick the same id and
          // buffered as well as committed records are deleted.
          const size_t window = std::min<size_t>(recent.size(), 8);
          id = recent[recent.size() - 1 - rng() % window];
        }
        if (delete_one(*c, id)) {
          std::lock_guard lk(mu);
          deleted.insert(id);
        }
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        auto n = record_count(*c);
        ASSERT_TRUE(n) << n.error().render();
        counts.fetch_add(1);
      }
    });
  }

  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop.store(true);
  for (auto& th : threads) th.join();
  ASSERT_GT(counts.load(), 0u);
  ASSERT_GT(deleted.size(), 0u);

  // The last reference flushes what is still buffered.
  c.reset();
  c = open(make_config(kDims));
  ASSERT_TRUE(c);

  std::set<std::string> expected;
  for (const auto& [id, seed] : acknowledged) {
    if (!deleted.count(id)) expected.insert(id);
  }
  std::set<std::string> found;
  std::set<uint64_t> used_slots;
  for (const Record& r : committed_records(*c)) {
    EXPECT_TRUE(found.insert(r.id).second) << r.id;
    EXPECT_TRUE(used_slots.insert(r.slot).second) << "slot " << r.slot << " shared";
    ASSERT_TRUE(acknowledged.count(r.id)) << r.id;
    EXPECT_EQ(slot_floats(*c, r.slot), vec(kDims, acknowledged[r.id])) << r.id;
  }
  EXPECT_EQ(found, expected);

  // No slot is both used and free, and none is free twice.
  std::set<uint64_t> free_slots;
  for (uint64_t s : memory_freelist(*c)) {
    EXPECT_TRUE(free_slots.insert(s).second) << "slot " << s << " free twice";
    EXPECT_FALSE(used_slots.count(s)) << "slot " << s << " free and used";
  }
}

// Four threads search while one writes every kind of commit. Records written before the
// threads start are never touched, and each search for one of their vectors must find it
// first, filtered or not, on whichever road the search takes; when the writer is done, the
// columns that followed its commits give exactly the walk's hits.
TEST_F(ConcurrencyTest, FourSearchesBesideOneWriterFindWhatStaysAndEndOnTheWalksHits) {
  auto c = open(make_config(kDims));
  ASSERT_TRUE(c);
  constexpr uint64_t kStable = 300;
  for (uint64_t i = 0; i < kStable; ++i) {
    ASSERT_TRUE(add_record(*c, vec(kDims, i), JsonValue(), "s" + std::to_string(i), std::nullopt,
                           false));
  }
  ASSERT_TRUE(flush_pending(*c));
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> searches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      const std::optional<MetadataFilter> everything = MetadataFilter{};
      while (!stop.load()) {
        const uint64_t i = rng() % kStable;
        auto hits = search_collection(*c, vec(kDims, i), 3, t % 2 ? everything : std::nullopt);
        ASSERT_TRUE(hits) << hits.error().render();
        ASSERT_FALSE(hits->empty());
        EXPECT_EQ((*hits)[0].id, "s" + std::to_string(i));
        EXPECT_EQ((*hits)[0].score, 0.0f);
        searches.fetch_add(1);
      }
    });
  }
  threads.emplace_back([&] {
    std::mt19937 rng(9);
    for (uint64_t round = 0; !stop.load(); ++round) {
      const uint64_t base = 1000 + round * 20;
      for (uint64_t j = 0; j < 5; ++j) {
        ASSERT_TRUE(add_record(*c, vec(kDims, base + j), JsonValue(), "w" + std::to_string(base + j),
                               std::nullopt, false));
      }
      ASSERT_TRUE(flush_pending(*c));
      Batch b;
      b.ids.emplace();
      for (uint64_t j = 5; j < 10; ++j) {
        b.row(vec(kDims, base + j));
        b.ids->push_back("w" + std::to_string(base + j));
      }
      ASSERT_TRUE(add_batch_records(*c, b.input()));
      ASSERT_TRUE(upsert_record(*c, "w" + std::to_string(base + 1), vec(kDims, base + 11),
                                JsonValue(), std::nullopt, false));
      ASSERT_TRUE(delete_by_id(*c, "w" + std::to_string(base + 2)));
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop.store(true);
  for (auto& th : threads) th.join();
  ASSERT_GT(searches.load(), 0u);

  for (uint64_t i = 0; i < kStable; i += 37) {
    auto got = search_collection(*c, vec(kDims, i), 50, std::nullopt);
    ASSERT_TRUE(got);
    std::shared_lock lk(c->slots.vectors_lock);
    auto walked = scan_committed(*c->meta, c->slots.vectors, Metric::L2, vec(kDims, i), 50,
                                 std::nullopt);
    ASSERT_TRUE(walked);
    ASSERT_EQ(got->size(), walked->size());
    for (size_t j = 0; j < got->size(); ++j) {
      EXPECT_EQ((*got)[j].id, (*walked)[j].id);
      EXPECT_EQ((*got)[j].score, (*walked)[j].score);
    }
  }
}

}  // namespace
}  // namespace tornquil::testing
