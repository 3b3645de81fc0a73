// The wall clock and its test hook.
#include "base/clock.hpp"

#include <atomic>

#include "base/platform.hpp"

namespace tornquil {

namespace {

std::atomic<int64_t (*)()> g_wall_clock{&platform::wall_clock_ns};

// Nanoseconds since 1970 divided by `unit`; 0 before 1970.
uint64_t now_in(int64_t unit) {
  const int64_t ns = g_wall_clock.load(std::memory_order_relaxed)();
  if (ns < 0) return 0;
  return static_cast<uint64_t>(ns / unit);
}

}  // namespace

uint64_t now_unix_secs() { return now_in(1000000000); }

uint64_t now_unix_millis() { return now_in(1000000); }

void TEST_set_wall_clock(int64_t (*clock_ns)()) {
  g_wall_clock.store(clock_ns != nullptr ? clock_ns : &platform::wall_clock_ns,
                     std::memory_order_relaxed);
}

}  // namespace tornquil
