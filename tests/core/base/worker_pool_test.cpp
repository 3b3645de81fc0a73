// Sizing rules of the worker pool and the coverage of parallel_for.
#include "base/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace tornquil {
namespace {

TEST(WorkerPoolSize, ParsesOnlyPositiveIntegers) {
  struct Case {
    const char* text;
    std::optional<unsigned> count;
  };
  const Case cases[] = {
      {"8", 8},
      {"1", 1},
      {"+4", 4},
      {"007", 7},
      {"2147483647", 2147483647u},
      {"0", std::nullopt},
      {"+0", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-1", std::nullopt},
      {" 4", std::nullopt},
      {"4 ", std::nullopt},
      {"4x", std::nullopt},
      {"0x10", std::nullopt},
      {"1.5", std::nullopt},
      {"++4", std::nullopt},
      {"2147483648", std::nullopt},
      {"99999999999999999999999", std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(parse_worker_count(c.text), c.count) << '"' << c.text << '"';
}

TEST(WorkerPoolSize, FirstUsableValueWinsThenTheProcessors) {
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    unsigned processors;
    unsigned count;
  };
  const Case cases[] = {
      {nullptr, nullptr, 8, 8}, {"3", nullptr, 8, 3},     {"3", "5", 8, 3},
      {nullptr, "5", 8, 5},     {"0", "5", 8, 5},         {"many", "5", 8, 5},
      {"", "5", 8, 5},          {"0", "0", 8, 8},         {"x", nullptr, 2, 2},
      {"16", nullptr, 2, 16},   {nullptr, nullptr, 0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(choose_worker_count(c.num_threads, c.rs_num_cpus, c.processors), c.count)
        << (c.num_threads ? c.num_threads : "unset") << " / "
        << (c.rs_num_cpus ? c.rs_num_cpus : "unset") << " / " << c.processors;
  }
}

TEST(WorkerPool, ArenaHasTheChosenSize) {
  ASSERT_GE(worker_count(), 1u);
  EXPECT_EQ(worker_pool().max_concurrency(), static_cast<int>(worker_count()));
  EXPECT_EQ(&worker_pool(), &worker_pool());
}

// Every index is visited exactly once, by ranges that are in order within themselves.
void expect_exact_cover(size_t n, size_t grain) {
  std::vector<std::atomic<int>> hits(n);
  std::atomic<bool> bad_range{false};
  parallel_for(n, grain, [&](size_t begin, size_t end) {
    if (begin >= end || end > n) bad_range = true;
    for (size_t i = begin; i < end && i < n; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
  });
  EXPECT_FALSE(bad_range) << "n=" << n << " grain=" << grain;
  size_t wrong = 0;
  for (size_t i = 0; i < n; ++i) wrong += hits[i].load() != 1;
  EXPECT_EQ(wrong, 0u) << "n=" << n << " grain=" << grain;
}

TEST(WorkerPool, ParallelForCoversEveryIndexOnce) {
  const size_t sizes[] = {0, 1, 7, 499, 500, 100000};
  const size_t grains[] = {0, 1, 16, 500, 1000000};
  for (size_t n : sizes) {
    for (size_t g : grains) expect_exact_cover(n, g);
  }
}

TEST(WorkerPool, SmallWorkRunsOnceOnTheCallingThread) {
  const std::thread::id caller = std::this_thread::get_id();
  int calls = 0;
  size_t seen_begin = 99, seen_end = 0;
  bool on_caller = false;
  parallel_for(10, 10, [&](size_t begin, size_t end) {
    ++calls;
    seen_begin = begin;
    seen_end = end;
    on_caller = std::this_thread::get_id() == caller;
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen_begin, 0u);
  EXPECT_EQ(seen_end, 10u);
  EXPECT_TRUE(on_caller);
}

// Tasks that start parallel work of their own, and several threads entering the pool at
// once, must finish and cover everything.
TEST(WorkerPool, NestedAndConcurrentCallersComplete) {
  constexpr size_t kOuter = 64, kInner = 1000;
  std::vector<std::atomic<int>> hits(kOuter * kInner);
  auto run = [&] {
    parallel_for(kOuter, 1, [&](size_t begin, size_t end) {
      for (size_t o = begin; o < end; ++o) {
        parallel_for(kInner, 50, [&](size_t b, size_t e) {
          for (size_t i = b; i < e; ++i) hits[o * kInner + i].fetch_add(1);
        });
      }
    });
  };
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) callers.emplace_back(run);
  for (std::thread& t : callers) t.join();
  size_t wrong = 0;
  for (const auto& h : hits) wrong += h.load() != 4;
  EXPECT_EQ(wrong, 0u);
}

}  // namespace
}  // namespace tornquil
