// Sizing and creation of the process-wide worker pool.
#include "base/worker_pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/task_group.h>
#include <oneapi/tbb/task_scheduler_observer.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>
#include <memory>
#include <thread>

#include "base/platform.hpp"

namespace tornquil {

std::optional<unsigned> parse_worker_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > static_cast<unsigned long long>(INT_MAX)) return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return static_cast<unsigned>(value);
}

unsigned choose_worker_count(const char* num_threads, const char* rs_num_cpus,
                             unsigned logical_processors) {
  for (const char* value : {num_threads, rs_num_cpus}) {
    if (value == nullptr) continue;
    if (std::optional<unsigned> n = parse_worker_count(value)) return *n;
  }
  return logical_processors > 0 ? logical_processors : 1;
}

unsigned worker_count() {
  static const unsigned count =
      choose_worker_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                          platform::logical_processors());
  return count;
}

void prepare_thread_to_throw() {
  // The library declares the call pure; a result that is kept makes the call happen.
  [[maybe_unused]] volatile int kept = std::uncaught_exceptions();
}

namespace {

// Prepares each thread as it enters the pool, before it runs a task there: the workers as
// they start (and any the scheduler starts later), and each caller.
class ThreadPreparer final : public tbb::task_scheduler_observer {
 public:
  explicit ThreadPreparer(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) {}
  void on_scheduler_entry(bool) override { prepare_thread_to_throw(); }
};

// Starts every thread of the pool at once, while memory is still to be had: the scheduler
// would otherwise start them one by one as work comes, and a thread started, or throwing
// for the first time, when memory has run out ends the process instead of raising. Each of
// n tasks waits for the others, so that n threads hold one each. When the scheduler gives
// fewer (another arena in the process holds them), the tasks stop waiting after a while;
// the preparer still prepares a thread that comes later.
void start_every_thread(tbb::task_arena& arena, int n) {
  std::atomic<int> arrived{0};
  arena.execute([&] {
    tbb::this_task_arena::isolate([&] {
      tbb::task_group group;
      for (int i = 0; i < n; ++i) {
        group.run([&] {
          arrived.fetch_add(1, std::memory_order_relaxed);
          const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
          while (arrived.load(std::memory_order_relaxed) < n &&
                 std::chrono::steady_clock::now() < give_up) {
            std::this_thread::yield();
          }
        });
      }
      group.wait();
    });
  });
}

// The arena and what it keeps for as long as the process lives.
struct Pool {
  explicit Pool(int n)
      // The scheduler keeps no more threads than the processors by default; a pool asked
      // to be larger needs the process-wide limit raised.
      : raised_limit(n > tbb::info::default_concurrency()
                         ? std::make_unique<tbb::global_control>(
                               tbb::global_control::max_allowed_parallelism,
                               static_cast<size_t>(n))
                         : nullptr),
        arena(n),
        preparer(arena) {
    arena.initialize();
    preparer.observe(true);
    if (n > 1) start_every_thread(arena, n);
  }
  std::unique_ptr<tbb::global_control> raised_limit;
  tbb::task_arena arena;
  ThreadPreparer preparer;
};

}  // namespace

tbb::task_arena& worker_pool() {
  static Pool* const pool = new Pool(static_cast<int>(worker_count()));
  return pool->arena;
}

}  // namespace tornquil
