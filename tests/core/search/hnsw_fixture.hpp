// Test helpers for the HNSW walks: a vector file and a record store in a scratch directory,
// and hand-built graphs.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "../storage/test_dir.hpp"
#include "search/distance.hpp"
#include "search/hnsw/graph.hpp"
#include "storage/kv_store.hpp"
#include "storage/records.hpp"
#include "storage/vector_file.hpp"

namespace tornquil::testing {

// A vector file of `dims` floats and the record table beside it.
struct VectorsAndRecords {
  TestDir dir;
  VectorStorage vectors;
  std::unique_ptr<KvStore> store;

  explicit VectorsAndRecords(uint64_t dims) {
    auto v = create_vector_file(dir.file("vectors.bin"), dims);
    if (!v) ADD_FAILURE() << v.error().render();
    vectors = std::move(*v);
    auto s = KvStore::open(dir.file("meta.redb"));
    if (!s) ADD_FAILURE() << s.error().render();
    store = std::move(*s);
  }

  // Stores the vector in a fresh slot and returns the slot.
  uint64_t add_vector(std::span<const float> v) {
    auto slot = append_slot(vectors);
    EXPECT_TRUE(slot.has_value());
    EXPECT_TRUE(write_vector(vectors, *slot, v).has_value());
    return *slot;
  }
  void set_vector(uint64_t slot, std::span<const float> v) {
    EXPECT_TRUE(write_vector(vectors, slot, v).has_value());
  }

  void put(const std::string& id, uint64_t slot, RecordState state = RecordState::Active,
           std::optional<uint64_t> expires_at = std::nullopt, const std::string& metadata = "{}") {
    auto txn = begin_write_txn(*store);
    ASSERT_TRUE(txn.has_value());
    Record r{id, slot, metadata, 1, expires_at, state};
    ASSERT_TRUE(put_record(*txn, r).has_value());
    ASSERT_TRUE(txn->commit().has_value());
  }
  // Active records, all in one transaction.
  void put_all(const std::vector<std::pair<std::string, uint64_t>>& records) {
    auto txn = begin_write_txn(*store);
    ASSERT_TRUE(txn.has_value());
    for (const auto& [id, slot] : records) {
      ASSERT_TRUE(put_record(*txn, Record{id, slot, "{}", 1, std::nullopt, RecordState::Active})
                      .has_value());
    }
    ASSERT_TRUE(txn->commit().has_value());
  }
  void remove(const std::string& id) {
    auto txn = begin_write_txn(*store);
    ASSERT_TRUE(txn.has_value());
    ASSERT_TRUE(remove_record(*txn, id).has_value());
    ASSERT_TRUE(txn->commit().has_value());
  }

  std::span<const float> vec(uint64_t slot) const { return vectors.slot_view(slot); }
};

// Points on a line: vectors (x, 0), so L2 scores are squared differences of x.
struct LineWorld : VectorsAndRecords {
  LineWorld() : VectorsAndRecords(2) {}
  uint64_t at(float x) {
    const float v[2] = {x, 0.0f};
    return add_vector(v);
  }
  static std::vector<float> query(float x) { return {x, 0.0f}; }
};

inline HnswConfig small_config(uint64_t m = 4, uint64_t m0 = 8, uint64_t m_max = 4,
                               uint64_t ef_construction = 20, uint64_t ef_search = 10,
                               double level_multiplier = 0.0) {
  HnswConfig c;
  c.m = m;
  c.m0 = m0;
  c.m_max = m_max;
  c.ef_construction = ef_construction;
  c.ef_search = ef_search;
  c.level_multiplier = level_multiplier;
  return c;
}

// Appends a node that owns its slot (no entry point change).
inline uint32_t put_node(HnswGraph& g, const std::string& id, uint64_t slot, uint8_t level = 0) {
  const uint32_t n = g.add_node(id, slot, level);
  g.slot_to_node[slot] = n;
  return n;
}

inline void set_list(HnswGraph& g, size_t layer, uint32_t node,
                     std::initializer_list<uint32_t> list) {
  std::vector<uint32_t> v(list);
  g.set_neighbors(layer, node, v);
}

inline std::vector<uint32_t> list_of(const HnswGraph& g, size_t layer, uint32_t node) {
  std::span<const uint32_t> s = g.neighbors(layer, node);
  return {s.begin(), s.end()};
}

inline std::vector<float> random_vector(std::mt19937& rng, size_t dims) {
  std::normal_distribution<float> d(0.0f, 1.0f);
  std::vector<float> v(dims);
  for (float& x : v) x = d(rng);
  return v;
}

}  // namespace tornquil::testing
