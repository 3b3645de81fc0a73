// Sizing and creation of the process-wide worker pool.
#include "base/worker_pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>

#include <climits>
#include <cstdlib>

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

tbb::task_arena& worker_pool() {
  static tbb::task_arena* const arena = [] {
    const int n = static_cast<int>(worker_count());
    // The scheduler keeps no more threads than the processors by default; a pool asked to be
    // larger needs the process-wide limit raised, for as long as the process lives.
    if (n > tbb::info::default_concurrency()) {
      new tbb::global_control(tbb::global_control::max_allowed_parallelism, static_cast<size_t>(n));
    }
    auto* a = new tbb::task_arena(n);
    a->initialize();
    return a;
  }();
  return *arena;
}

}  // namespace tornquil
