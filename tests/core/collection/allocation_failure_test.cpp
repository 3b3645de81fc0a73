// Allocation failures: the worker pool carries a task's exception to the caller, and every
// collection operation that runs out of memory on its way throws std::bad_alloc with its
// in-memory state whole: no slot handed to two records, no record lost from the buffer,
// nothing left that stops the next call. The sweep fails each allocation of an operation in
// turn, one run per allocation, on a collection that holds committed, buffered, replaced
// and freed records.
//
// The binary's operator new counts the calling thread's allocations while a test arms it,
// and fails the chosen one; other threads (the pool's workers) are never failed by it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/json_read.hpp"
#include "base/worker_pool.hpp"
#include "collection/compact.hpp"
#include "collection/get.hpp"
#include "collection/ndjson.hpp"
#include "collection/search.hpp"
#include "collection_fixture.hpp"

namespace {

// Allocations the calling thread may still make before one fails; negative: none fails.
thread_local long t_allocations_left = -1;
thread_local bool t_failed = false;
// The same for the threads other than the one that armed it (the pool's workers), with the
// count of allocations they made meanwhile.
std::atomic<long> g_workers_left{-1};
std::atomic<long> g_worker_allocations{0};
thread_local bool t_armed_workers = false;

}  // namespace

// Only the plain forms are replaced: the library routes new[] and the nothrow form through
// them, and a sanitizer's own forms stay paired with its own deletes.
void* operator new(std::size_t n) {
  if (t_allocations_left >= 0 && t_allocations_left-- == 0) {
    t_failed = true;
    throw std::bad_alloc();
  }
  if (!t_armed_workers && g_workers_left.load(std::memory_order_relaxed) >= 0) {
    g_worker_allocations.fetch_add(1, std::memory_order_relaxed);
    if (g_workers_left.fetch_sub(1, std::memory_order_relaxed) == 0) throw std::bad_alloc();
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
// Out of line, so that the compiler does not take free() of what new returned for a mismatch.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace tornquil::testing {
namespace {

// Fails the calling thread's allocation number `n` (0 the first) from now on, until the
// scope ends; failed() tells whether it came.
class FailAllocation {
 public:
  explicit FailAllocation(long n) {
    t_failed = false;
    t_allocations_left = n;
  }
  ~FailAllocation() { t_allocations_left = -1; }
  bool failed() const { return t_failed; }
};

// ---- The worker pool

TEST(WorkerPoolExceptions, ATaskExceptionReachesTheCallerAndThePoolGoesOn) {
  for (size_t grain : {size_t{1}, size_t{7}, size_t{10000}}) {
    std::atomic<size_t> ran{0};
    EXPECT_THROW(parallel_for(1000, grain,
                              [&](size_t begin, size_t end) {
                                ran.fetch_add(end - begin);
                                if (begin <= 500 && 500 < end) throw std::bad_alloc();
                              }),
                 std::bad_alloc)
        << "grain " << grain;
    EXPECT_GE(ran.load(), 1u);
    // The pool is whole: the next work covers every item.
    std::atomic<size_t> covered{0};
    parallel_for(1000, grain, [&](size_t begin, size_t end) { covered.fetch_add(end - begin); });
    EXPECT_EQ(covered.load(), 1000u);
  }
  // From a nested parallel_for, through run_isolated, to the outermost caller.
  EXPECT_THROW(run_isolated([] {
                 parallel_for(64, 1, [](size_t begin, size_t) {
                   parallel_for(64, 1, [&](size_t b, size_t) {
                     if (begin == 63 && b == 0) throw std::bad_alloc();
                   });
                 });
               }),
               std::bad_alloc);
}

// A scan whose workers run out of memory while they score: the walk that hands them its
// chunks must not wait for a chunk that never comes back, and the failure reaches the
// caller. Every allocation of the workers fails in turn, on the single walk of a fresh
// collection (a filter of many fields parses every record's metadata on the workers).
TEST_F(CollectionTest, AScanWhoseWorkersRunOutOfMemoryEndsWithTheFailure) {
  std::string where = "{";
  for (int f = 0; f < 17; ++f) where += (f ? ",\"f" : "\"f") + std::to_string(f) + "\":{\"$ne\":1}";
  where += "}";
  auto parsed = parse_json(where);
  ASSERT_TRUE(parsed);
  const std::optional<MetadataFilter> filter = parse_where_filter(*parsed);
  auto meta = parse_json(R"({"tags":["a","b"],"n":{"deep":[1,2,3]}})");
  ASSERT_TRUE(meta);
  // The walk of one cursor, whose workers score the chunks it hands them.
  // The pool starts its threads (which allocate in the scheduler, where a failure ends the
  // process) before any allocation is made to fail.
  (void)worker_pool();
  ScanWalkTestHooks single;
  single.transactions = 1;
  TEST_set_scan_walk_hooks(&single);
  int failures = 0;
  for (long n = 0;; n = 2 * n + 1) {
    auto c = open(make_config(4, Metric::L2));
    ASSERT_TRUE(c);
    // More chunks than the walk keeps in hand for the workers, so that it waits for them.
    for (uint64_t i = 0; i < 4 * 256 * uint64_t{worker_count()} + 3000; ++i) {
      ASSERT_TRUE(add_record(*c, vec(4, i), *meta, "r" + std::to_string(10000 + i), std::nullopt,
                             false));
    }
    ASSERT_TRUE(flush_pending(*c));
    // The walker scores a chunk itself when no worker has taken it, and on a busy machine it
    // may score them all: a scan in which no worker took part shows nothing, and runs again.
    bool threw = false;
    long made = 0;
    for (int run = 0; run < 1000 && !threw && made == 0; ++run) {
      t_armed_workers = true;
      g_worker_allocations.store(0);
      g_workers_left.store(n);
      try {
        (void)search_collection(*c, vec(4, 1), 5, filter);
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      g_workers_left.store(-1);
      t_armed_workers = false;
      made = g_worker_allocations.load();
    }
    ASSERT_GT(made, 0) << "no worker took part in 1000 scans";
    if (!threw) {
      // Allocation number n of the workers failed whenever they made more: none was lost.
      EXPECT_LE(made, n);
      break;
    }
    ++failures;
    auto again = search_collection(*c, vec(4, 1), 5, filter);
    ASSERT_TRUE(again) << again.error().render();
    c.reset();
    std::filesystem::remove_all(coll_dir());
  }
  TEST_set_scan_walk_hooks(nullptr);
  EXPECT_GT(failures, 0);
  EXPECT_EQ(single.walked_transactions, 1u);
}

// ---- The sweep

constexpr uint64_t kDims = 4;

// What the collection answers for the ids a scenario uses: each live id with its metadata,
// and the count len gives.
struct View {
  std::map<std::string, std::string> live;
  uint64_t count = 0;
  bool operator==(const View&) const = default;
};

void PrintTo(const View& v, std::ostream* os) {
  *os << "count " << v.count << ":";
  for (const auto& [id, meta] : v.live) *os << " " << id << "=" << meta;
}

const char* const kIds[] = {"a", "b", "c", "d", "e", "g", "h", "x"};

View view_of(Collection& c) {
  View v;
  for (const char* id : kIds) {
    auto found = get_by_id(c, id);
    EXPECT_TRUE(found) << found.error().render();
    if (found && *found) v.live[id] = (*found)->metadata;
  }
  v.count = count(c);
  return v;
}

// How many hands hold each slot below slot_count: stored records (a Tombstone's slot is its
// delete's to free, so it does not count), buffered and in-flight copies, the free list.
std::vector<int> hands(Collection& c) {
  std::vector<int> n(slot_count(c), 0);
  auto mark = [&](uint64_t s) {
    if (s < n.size()) ++n[s];
  };
  for (const Record& r : committed_records(c)) {
    if (r.state != RecordState::Tombstone) mark(r.slot);
  }
  {
    std::lock_guard lk(c.pending_lock);
    for (const PendingRecord& p : c.in_flight) mark(p.record.slot);
    for (const PendingRecord& p : c.pending) mark(p.record.slot);
  }
  for (uint64_t s : memory_freelist(c)) mark(s);
  return n;
}

// No slot in two hands: two records on one slot, or a named slot that the next allocation
// hands out again, would lose a vector. Returns how many slots are in no hand.
size_t expect_no_slot_shared(Collection& c, const std::string& where) {
  size_t unheld = 0;
  const std::vector<int> n = hands(c);
  for (size_t s = 0; s < n.size(); ++s) {
    EXPECT_LE(n[s], 1) << "slot " << s << ", " << where;
    unheld += n[s] == 0 ? 1 : 0;
  }
  return unheld;
}

void ok(const Result<void>& r) { EXPECT_TRUE(r) << r.error().render(); }
template <class T>
void ok(const Result<T>& r) {
  EXPECT_TRUE(r) << r.error().render();
}

Batch batch_of(std::vector<std::string> ids) {
  Batch b;
  for (size_t i = 0; i < ids.size(); ++i) {
    b.row(vec(kDims, 40 + i), "{\"batch\":" + std::to_string(i) + "}");
  }
  b.ids = std::move(ids);
  return b;
}

struct Scenario {
  const char* name;
  // The operation; its errors are the test's failures, its exceptions the sweep's.
  std::function<void(Collection&)> op;
  // No release of a slot after a commit: a failure leaves no slot in no hand.
  bool releases_nothing = false;
  // Changes nothing: a failed run leaves the view as it was.
  bool reads_only = false;
};

class AllocationFailureTest : public CollectionTest {
 protected:
  // Committed a, b and an expired x, c deleted (its slot free), a buffered again and d
  // buffered: the state every run of the sweep starts from.
  std::shared_ptr<Collection> prepared(const std::string& name) {
    auto opened = open_collection(dir_.file(name), make_config(kDims));
    EXPECT_TRUE(opened) << opened.error().render();
    if (!opened) return nullptr;
    Collection& c = **opened;
    auto put = [&](uint64_t seed, const char* id, std::optional<uint64_t> ttl = {}) {
      ok(add_record(c, vec(kDims, seed), JsonValue(), id, ttl, false));
    };
    put(1, "a");
    put(2, "b");
    put(3, "c");
    put(4, "x", 0);
    ok(flush_pending(c));
    ok(delete_by_id(c, "c"));
    put(5, "a");
    put(6, "d");
    return *opened;
  }

  // Runs the scenario once per allocation of its operation on the calling thread, failing
  // that one, until a run completes without reaching it. After each failure: no slot in two
  // hands, the operation succeeds when tried again and leaves what an undisturbed run
  // leaves, and compaction's sweep leaves every slot in exactly one hand.
  void sweep(const Scenario& s) {
    View expected;
    {
      auto c = prepared(std::string(s.name) + "-control");
      ASSERT_TRUE(c);
      s.op(*c);
      expected = view_of(*c);
      EXPECT_EQ(expect_no_slot_shared(*c, "undisturbed"), 0u) << s.name;
    }
    for (long n = 0;; ++n) {
      const std::string where = std::string(s.name) + ", allocation " + std::to_string(n);
      auto c = prepared(std::string(s.name) + "-" + std::to_string(n));
      ASSERT_TRUE(c);
      const View before = s.reads_only ? view_of(*c) : View();
      bool failed = false;
      {
        FailAllocation fail(n);
        try {
          s.op(*c);
        } catch (const std::bad_alloc&) {
          EXPECT_TRUE(fail.failed()) << where;
        }
        failed = fail.failed();
      }
      if (!failed) break;  // every allocation of the operation has failed once
      const size_t unheld = expect_no_slot_shared(*c, where);
      if (s.releases_nothing) {
        EXPECT_EQ(unheld, 0u) << where;
      }
      if (s.reads_only) {
        EXPECT_EQ(view_of(*c), before) << where;
      }
      s.op(*c);
      EXPECT_EQ(view_of(*c), expected) << where;
      ok(sync_collection(*c));
      expect_no_slot_shared(*c, where + ", tried again");
      ok(compact_collection(*c));
      EXPECT_EQ(expect_no_slot_shared(*c, where + ", compacted"), 0u);
      EXPECT_EQ(view_of(*c), expected) << where;
      if (HasFailure()) return;
    }
  }
};

TEST_F(AllocationFailureTest, EveryFailedAllocationLeavesTheCollectionWhole) {
  const std::string import_file = dir_.file("import.ndjson");
  {
    auto c = prepared("export");
    ASSERT_TRUE(c);
    ok(add_record(*c, vec(kDims, 9), JsonValue(), "h", 3600, false));
    ok(export_to_file(*c, import_file));
  }
  const Scenario scenarios[] = {
      {"add",
       [](Collection& c) {
         ok(add_record(c, vec(kDims, 7), JsonValue(), "e", std::nullopt, false));
       },
       true},
      {"flush", [](Collection& c) { ok(flush_pending(c)); }},
      {"upsert of a committed id",
       [](Collection& c) { ok(upsert_record(c, "b", vec(kDims, 8), JsonValue(), std::nullopt)); }},
      {"upsert of a buffered id",
       [](Collection& c) {
         ok(upsert_record(c, "d", vec(kDims, 9), JsonValue(), std::nullopt, false));
       },
       true},
      {"batch that replaces and repeats ids",
       [](Collection& c) {
         const Batch b = batch_of({"b", "g", "g", "h", "a"});
         ok(add_batch_records(c, b.input()));
       }},
      {"delete of a buffered and committed id", [](Collection& c) { ok(delete_by_id(c, "a")); }},
      {"delete of a committed id", [](Collection& c) { ok(delete_by_id(c, "b")); }},
      {"compact", [](Collection& c) { ok(compact_collection(c)); }},
      {"sync", [](Collection& c) { ok(sync_collection(c)); }},
      {"import", [&import_file](Collection& c) { ok(import_from_file(c, import_file)); }},
      {"get", [](Collection& c) { ok(get_by_id(c, "a")); }, true, true},
      {"len", [](Collection& c) { ok(record_count(c)); }, true, true},
      {"search", [](Collection& c) { ok(search_collection(c, vec(kDims, 2), 3, std::nullopt)); },
       true, true},
  };
  for (const Scenario& s : scenarios) {
    sweep(s);
    if (HasFailure()) break;
  }
}

// The first commit of a collection creates its tables. An allocation failure after the
// store committed must neither be reported as a failure nor hide the tables from the
// readers that follow.
TEST_F(AllocationFailureTest, TheFirstCommitKeepsItsTablesVisible) {
  int n = 0;
  sweep({"first flush", [&](Collection&) {
           auto fresh =
               open_collection(dir_.file("fresh" + std::to_string(n++)), make_config(kDims));
           ok(fresh);
           ok(add_record(**fresh, vec(kDims, 1), JsonValue(), "a", std::nullopt, false));
           ok(flush_pending(**fresh));
           auto got = get_by_id(**fresh, "a");
           ok(got);
           EXPECT_TRUE(got && *got);
         }});
}

// ---- The failure paths one by one

// Throws std::bad_alloc from the collection's next commit, before the store commits.
void fail_next_commit_for_memory(Collection& c) {
  c.TEST_before_next_commit([] { throw std::bad_alloc(); });
}

TEST_F(AllocationFailureTest, AFlushPutsItsRecordsBackInOrder) {
  auto c = open(make_config(kDims));
  add(*c, 1, "a");
  add(*c, 2, "b");
  add(*c, 3, "a");
  const uint64_t since = c->pending_since_ms.load();
  fail_next_commit_for_memory(*c);
  EXPECT_THROW((void)flush_pending(*c), std::bad_alloc);
  EXPECT_TRUE(committed_records(*c).empty());
  EXPECT_EQ(buffered_ids(*c), (std::vector<std::string>{"a", "b", "a"}));
  EXPECT_TRUE(c->in_flight.empty());
  EXPECT_EQ(c->pending_since_ms.load(), since);
  EXPECT_EQ(expect_no_slot_shared(*c, "after the failed flush"), 0u);

  ASSERT_TRUE(flush_pending(*c));
  EXPECT_EQ(committed_record(*c, "a")->slot, 2u);  // the newer copy of a
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
  EXPECT_EQ(count(*c), 2u);
}

// With no memory to join the records added meanwhile, the records stay in flight: they
// still read as the older buffered copies, the next flush commits them ahead of the buffer,
// and a delete of one of them finds it without waiting for a flush that is not running.
TEST_F(AllocationFailureTest, RecordsAFlushCannotPutBackStayInFlightAheadOfTheBuffer) {
  auto c = open(make_config(kDims));
  // Four records fill the buffer's room exactly (1, 2, 4), so that joining one more needs
  // an allocation.
  add(*c, 1, "a");
  add(*c, 2, "b");
  add(*c, 3, "c");
  add(*c, 4, "d");
  ASSERT_EQ(c->pending.capacity(), 4u);
  std::optional<FailAllocation> fail;
  c->TEST_before_next_commit([&] {
    // Buffered while the flush runs: a newer copy of a, and e.
    ok(add_record(*c, vec(kDims, 5), JsonValue(), "a", std::nullopt, false));
    ok(add_record(*c, vec(kDims, 6), JsonValue(), "e", std::nullopt, false));
    fail.emplace(0);  // the put-back's join is the next allocation
    throw std::bad_alloc();
  });
  EXPECT_THROW((void)flush_pending(*c), std::bad_alloc);
  ASSERT_TRUE(fail && fail->failed());
  fail.reset();
  {
    std::lock_guard lk(c->pending_lock);
    ASSERT_EQ(c->in_flight.size(), 4u);
    ASSERT_EQ(c->pending.size(), 2u);
  }
  EXPECT_EQ(count(*c), 5u);
  EXPECT_EQ(expect_no_slot_shared(*c, "left in flight"), 0u);
  auto hits = search_collection(*c, vec(kDims, 5), 1, std::nullopt);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].id, "a");
  EXPECT_EQ((*hits)[0].score, 0.0f);  // the newer copy's vector

  // Deleting b, in flight with no flush running, does not wait for one.
  auto deleted = delete_by_id(*c, "b");
  ASSERT_TRUE(deleted);
  EXPECT_TRUE(*deleted);
  EXPECT_EQ(count(*c), 4u);

  // The next flush commits the older records first: a keeps its newer copy.
  ASSERT_TRUE(flush_pending(*c));
  EXPECT_TRUE(c->in_flight.empty());
  EXPECT_EQ(buffered(*c), 0u);
  EXPECT_EQ(committed_record(*c, "a")->slot, 4u);
  EXPECT_EQ(committed_records(*c).size(), 4u);  // a, c, d, e
  EXPECT_EQ(count(*c), 4u);
  EXPECT_EQ(expect_no_slot_shared(*c, "flushed"), 0u);
}

TEST_F(AllocationFailureTest, AFailedUpsertGivesItsNewSlotBackAndKeepsTheOldRecord) {
  auto c = open(make_config(kDims));
  add(*c, 1, "x");
  ASSERT_TRUE(flush_pending(*c));  // slot 0
  const std::optional<Record> old = committed_record(*c, "x");
  fail_next_commit_for_memory(*c);
  EXPECT_THROW((void)upsert_record(*c, "x", vec(kDims, 5), JsonValue(), std::nullopt),
               std::bad_alloc);
  EXPECT_EQ(committed_record(*c, "x"), old);
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{1});  // the new slot, back
  EXPECT_EQ(expect_no_slot_shared(*c, "after the failed upsert"), 0u);

  ASSERT_TRUE(upsert_record(*c, "x", vec(kDims, 6), JsonValue(), std::nullopt));
  EXPECT_EQ(committed_record(*c, "x")->slot, 1u);
  EXPECT_EQ(slot_floats(*c, 1), vec(kDims, 6));
  EXPECT_EQ(memory_freelist(*c), std::vector<uint64_t>{0});
}

// A batch gives back every slot it took when it fails before phase 1 commits, and the
// slots of the items phase 1 stored no record for when it fails after.
TEST_F(AllocationFailureTest, AFailedBatchGivesBackTheSlotsNoRecordNames) {
  struct Case {
    const char* when;
    bool after_phase_one;
    size_t pending_records;  // stored Pending by the failed batch
  };
  const Case cases[] = {{"in phase 1", false, 0}, {"after phase 1", true, 2}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.when);
    auto opened = open_collection(dir_.file(k.when), make_config(kDims));
    ASSERT_TRUE(opened);
    Collection& c = **opened;
    ok(add_record(c, vec(kDims, 1), JsonValue(), "b", std::nullopt, false));
    ok(flush_pending(c));
    // b replaces a live record and g repeats: phase 1 stores only g (once) and h.
    const Batch b = batch_of({"b", "g", "g", "h"});
    if (k.after_phase_one) {
      TEST_set_batch_phase_hook(
          [](int phase, void*) {
            if (phase == 1) throw std::bad_alloc();
          },
          nullptr);
    } else {
      fail_next_commit_for_memory(c);
    }
    EXPECT_THROW((void)add_batch_records(c, b.input()), std::bad_alloc);
    TEST_set_batch_phase_hook(nullptr, nullptr);
    EXPECT_EQ(committed_records(c).size(), 1 + k.pending_records);
    EXPECT_EQ(count(c), 1u);
    EXPECT_EQ(expect_no_slot_shared(c, k.when), 0u);
    EXPECT_EQ(memory_freelist(c).size(), 4 - k.pending_records);

    ok(add_batch_records(c, b.input()));
    EXPECT_EQ(count(c), 3u);
    ok(compact_collection(c));
    EXPECT_EQ(expect_no_slot_shared(c, "compacted"), 0u);
  }
}

}  // namespace
}  // namespace tornquil::testing
