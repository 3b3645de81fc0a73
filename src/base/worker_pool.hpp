// The process-wide worker pool: one task arena that every parallel scan, index rebuild,
// quantiser training and batch runs on, sized once per process.
//
// Size: the environment variable RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else one worker
// per logical processor available to the process. A value that is not a positive decimal
// integer (an optional leading '+', digits only, at most INT_MAX) is ignored and the next
// rule applies. The environment is read once, on first use.
//
// Thread safety: worker_pool() and worker_count() may be called from any thread; the arena
// is created on first use. Any number of threads may run parallel_for at once, and a task
// may itself call parallel_for. Work placed by index gives the same result on any number of
// workers, which is the rule for every caller.
//
// Exceptions: the only exception the core lets fly is an allocation failure. One thrown by
// a task is carried to the thread that waits for the work (run_isolated and parallel_for
// throw it there, once every task of the work has stopped), so a task must leave nothing
// that its caller cannot clean up by unwinding; a task that another task waits for by a
// handshake of their own must catch it and end the handshake.
#pragma once

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <cstddef>
#include <optional>
#include <string_view>

namespace tornquil {

// The worker count an environment value asks for, or nullopt when the value is not a
// positive integer that fits an int.
std::optional<unsigned> parse_worker_count(std::string_view text);

// The sizing rule over the two environment values (null when unset) and the processor
// count; never 0.
unsigned choose_worker_count(const char* num_threads, const char* rs_num_cpus,
                             unsigned logical_processors);

// The number of workers of the pool, the calling thread of a parallel_for included.
unsigned worker_count();

// Makes the calling thread's C++ runtime state (where a throw is recorded) exist now. The
// C library makes it on the thread's first throw, and ends the process when that needs
// memory it cannot have: a thread whose first exception is an allocation failure would
// abort instead of reporting it. The pool's threads do this as they start, the binding on
// each call it takes.
void prepare_thread_to_throw();

// The process's arena, created on first use with all its threads started, and never
// destroyed (threads still inside it at interpreter shutdown must not find it gone). Wait
// in it only through run_isolated or parallel_for.
tbb::task_arena& worker_pool();

// Runs f() inside the pool, isolated: while the calling thread waits there for the work that
// f starts (a parallel_for, a task_group), it runs only that work, never a task of another
// caller. Every wait in the pool goes through here, because the caller may hold a lock of a
// collection, and another caller's task may need that lock (or wait for a writer that waits
// for it). f itself may run on a worker when the pool has no room for the calling thread;
// what f throws, or a task it waits for, is thrown again on the calling thread.
template <class F>
void run_isolated(const F& f) {
  worker_pool().execute([&] { tbb::this_task_arena::isolate(f); });
}

// Runs f(begin, end) over disjoint consecutive ranges that together cover [0, n), inside the
// pool, and returns when every range is done. A range of `grain` items or fewer is not split
// further; the sizes of the ranges and the order they run in are otherwise unspecified,
// except that with one worker (or n <= grain) f runs once, on the calling thread, over
// [0, n). When f throws (an allocation failure), ranges not begun yet are skipped, those
// under way run to their end, and the first exception is then thrown to the caller.
template <class F>
void parallel_for(size_t n, size_t grain, const F& f) {
  if (n == 0) return;
  if (grain == 0) grain = 1;
  if (n <= grain || worker_count() == 1) {
    f(size_t{0}, n);
    return;
  }
  run_isolated([&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n, grain),
                      [&](const tbb::blocked_range<size_t>& r) { f(r.begin(), r.end()); });
  });
}

}  // namespace tornquil
