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

#include "collection_fixture.hpp"

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

}  // namespace
}  // namespace tornquil::testing
