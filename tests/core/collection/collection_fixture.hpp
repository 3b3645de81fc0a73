// Test helpers for the collection tests: a scratch collection directory, configurations,
// vectors, and read-only looks at what a collection has committed to its store.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../storage/test_dir.hpp"
#include "base/clock.hpp"
#include "collection/batch_insert.hpp"
#include "collection/collection.hpp"
#include "storage/records.hpp"

namespace tornquil::testing {

inline CollectionConfig make_config(uint64_t dims, Metric metric = Metric::L2,
                                    std::optional<HnswConfig> hnsw = std::nullopt) {
  CollectionConfig c;
  c.name = "notes";
  c.dimensions = dims;
  c.metric = metric;
  c.created_at = 1700000000;
  c.hnsw = hnsw;
  return c;
}

inline HnswConfig small_hnsw() {
  HnswConfig h;
  h.m = 4;
  h.m0 = 8;
  h.m_max = 4;
  h.ef_construction = 16;
  h.ef_search = 16;
  h.level_multiplier = 0.0;
  return h;
}

// A vector of `dims` floats that differs for every `seed`.
inline std::vector<float> vec(uint64_t dims, uint64_t seed) {
  std::vector<float> v(dims);
  for (uint64_t i = 0; i < dims; ++i) v[i] = static_cast<float>(seed * 10 + i + 1);
  return v;
}

class CollectionTest : public ::testing::Test {
 protected:
  std::string coll_dir() const { return dir_.file("collections/notes"); }

  std::shared_ptr<Collection> open(const CollectionConfig& config) {
    auto c = open_collection(coll_dir(), config);
    EXPECT_TRUE(c) << c.error().render();
    return c ? *c : nullptr;
  }

  TestDir dir_;
};

// While alive, the wall clock that the collection reads (record times, the age of the write
// buffer) stands still at the moment it was made and moves only by advance(), so whether a
// buffer is old enough to flush is the test's choice and never the machine's speed. One at a
// time.
class ManualClock {
 public:
  ManualClock() {
    ns().store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count());
    TEST_set_wall_clock(&read);
  }
  ~ManualClock() { TEST_set_wall_clock(nullptr); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  void advance(std::chrono::milliseconds by) {
    ns().fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(by).count());
  }

 private:
  static std::atomic<int64_t>& ns() {
    static std::atomic<int64_t> now{0};
    return now;
  }
  static int64_t read() { return ns().load(); }
};

// A collection test whose buffered records stay in the buffer until the test flushes them or
// adds the hundredth, however long its steps take.
class ManualClockTest : public CollectionTest {
 protected:
  ManualClock clock_;
};

// Every committed record, in key order.
inline std::vector<Record> committed_records(Collection& c) {
  std::vector<Record> out;
  auto txn = c.meta->begin_read();
  EXPECT_TRUE(txn);
  auto cur = txn->cursor(kRecordsTable);
  EXPECT_TRUE(cur);
  std::string_view k, v;
  while (true) {
    auto more = cur->next(k, v);
    EXPECT_TRUE(more);
    if (!more || !*more) break;
    auto r = decode_record(v);
    EXPECT_TRUE(r);
    if (r) out.push_back(*r);
  }
  return out;
}

inline std::optional<Record> committed_record(Collection& c, std::string_view id) {
  auto txn = begin_read_txn(*c.meta);
  EXPECT_TRUE(txn);
  auto r = get_record(*txn, id);
  EXPECT_TRUE(r);
  return r ? *r : std::nullopt;
}

// The free list as stored under "slots"; nullopt when nothing was ever saved.
inline std::optional<std::vector<uint64_t>> stored_freelist(Collection& c) {
  auto txn = c.meta->begin_read();
  EXPECT_TRUE(txn);
  auto list = load_freelist(*txn);
  EXPECT_TRUE(list);
  auto raw = txn->get(kFreelistTable, kFreelistKey);
  EXPECT_TRUE(raw);
  if (!raw || !*raw) return std::nullopt;
  return list->slots();
}

inline std::vector<uint64_t> memory_freelist(Collection& c) {
  std::shared_lock lk(c.slots.freelist_lock);
  return c.slots.freelist.slots();
}

// record_count, failing the test on an error.
inline uint64_t count(Collection& c) {
  auto n = record_count(c);
  EXPECT_TRUE(n) << n.error().render();
  return n ? *n : 0;
}

inline size_t buffered(Collection& c) {
  std::lock_guard lk(c.pending_lock);
  return c.pending.size();
}

inline std::vector<std::string> buffered_ids(Collection& c) {
  std::lock_guard lk(c.pending_lock);
  std::vector<std::string> ids;
  for (const PendingRecord& p : c.pending) ids.push_back(p.record.id);
  return ids;
}

inline uint64_t slot_count(Collection& c) {
  std::shared_lock lk(c.slots.vectors_lock);
  return c.slots.vectors.slot_count();
}

// The slot's floats, copied; empty when the slot cannot be read.
inline std::vector<float> slot_floats(Collection& c, uint64_t slot) {
  std::shared_lock lk(c.slots.vectors_lock);
  auto v = c.slots.vectors.slot_view(slot);
  return std::vector<float>(v.begin(), v.end());
}

inline std::string add(Collection& c, uint64_t seed, std::optional<std::string> id = {},
                       std::optional<uint64_t> ttl = {}) {
  auto r = add_record(c, vec(c.config.dimensions, seed), JsonValue(), std::move(id), ttl);
  EXPECT_TRUE(r) << r.error().render();
  return r ? *r : std::string();
}

// A batch built row by row in the packed form a list of vectors takes.
struct Batch {
  std::vector<float> floats;
  std::vector<size_t> offsets{0};
  std::vector<std::string> metadata;
  std::optional<std::vector<std::string>> ids;
  std::optional<std::vector<std::optional<uint64_t>>> ttls;
  mutable std::vector<std::string_view> id_views;

  Batch& row(const std::vector<float>& v, std::string meta = "{}") {
    floats.insert(floats.end(), v.begin(), v.end());
    offsets.push_back(floats.size());
    metadata.push_back(std::move(meta));
    return *this;
  }
  BatchInput input() const {
    BatchInput in;
    in.vectors = BatchRows::packed(floats, offsets);
    in.metadata = metadata;
    if (ids) {
      id_views.assign(ids->begin(), ids->end());
      in.ids = std::span<const std::string_view>(id_views);
    }
    if (ttls) in.ttls = std::span<const std::optional<uint64_t>>(*ttls);
    return in;
  }
};

}  // namespace tornquil::testing
