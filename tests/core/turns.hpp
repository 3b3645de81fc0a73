// Threads that mix fixed amounts of work, interleaved by a handshake instead of the clock, so
// that what a test checks never depends on how fast the machine is or how it schedules.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tornquil::testing {

// One thread of a mix. `step(i)` does its i-th turn of fixed work. A worker with a count of
// `turns` stops after that many; one without repeats its step until every counted worker is
// done (a searcher beside writers, say).
struct TurnWorker {
  std::optional<uint64_t> turns;
  std::function<void(uint64_t)> step;
};

// Runs each worker on a thread of its own and joins them all. Before each turn after its
// first, a counted worker waits until every other worker still at work has finished a turn
// since its own last one, so each of its turns meets the others' work. (The worker whose
// last turn ended first never waits, so the handshake cannot deadlock.) A fatal failure in a
// step stops every worker at its next turn; a wait longer than `timeout`, a guard against a
// hang and never a speed bound, fails the test and stops them too. Returns the turns each
// worker finished.
inline std::vector<uint64_t> run_turns(const std::vector<TurnWorker>& workers,
                                       std::chrono::seconds timeout = std::chrono::seconds(300)) {
  const size_t n = workers.size();
  std::mutex mu;
  std::condition_variable moved;
  std::vector<uint64_t> done(n, 0);
  std::vector<std::vector<uint64_t>> seen(n, done);  // done as it stood at each one's last turn
  std::vector<bool> gone(n, false);
  bool stop = false;

  // Caller holds mu.
  auto laggard = [&](size_t w) -> std::optional<size_t> {
    for (size_t o = 0; o < n; ++o) {
      if (o != w && !gone[o] && done[o] <= seen[w][o]) return o;
    }
    return std::nullopt;
  };
  auto counted_at_work = [&] {
    for (size_t o = 0; o < n; ++o) {
      if (workers[o].turns && !gone[o]) return true;
    }
    return false;
  };

  auto run = [&](size_t w) {
    const TurnWorker& me = workers[w];
    for (uint64_t i = 0;; ++i) {
      {
        std::unique_lock lk(mu);
        if (stop) break;
        if (!me.turns) {
          if (!counted_at_work()) break;
        } else {
          if (i == *me.turns) break;
          if (i > 0 && !moved.wait_for(lk, timeout, [&] { return stop || !laggard(w); })) {
            ADD_FAILURE() << "worker " << w << " waited " << timeout.count()
                          << " s for a turn of worker " << *laggard(w);
            stop = true;
          }
          if (stop) break;
        }
      }
      me.step(i);
      std::lock_guard lk(mu);
      if (::testing::Test::HasFatalFailure()) stop = true;
      ++done[w];
      seen[w] = done;
      moved.notify_all();
    }
    std::lock_guard lk(mu);
    gone[w] = true;
    moved.notify_all();
  };

  std::vector<std::thread> threads;
  for (size_t w = 0; w < n; ++w) threads.emplace_back(run, w);
  for (std::thread& t : threads) t.join();
  return done;
}

}  // namespace tornquil::testing
