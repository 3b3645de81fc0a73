// The in-memory HNSW graph of a collection (HnswGraph) and the index that owns it
// (HnswIndex): nodes, per-layer neighbour lists, entry point, the slot-to-node map and the
// parameters, plus the set of vector slots deleted since the graph was built or loaded.
//
// The query, the incremental insertion, the full rebuild, record deletion and the index
// file all work on these two types; none of them needs anything else from this file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/hnsw_config.hpp"
#include "base/types.hpp"

namespace tornquil {

// The highest level a node can have; the level draw caps at it.
constexpr uint8_t kHnswMaxLevel = 32;

// One graph node: the record it stands for, that record's vector slot, and the highest
// layer it belongs to.
struct HnswNode {
  std::string id;
  uint64_t slot = 0;
  uint8_t level = 0;

  bool operator==(const HnswNode&) const = default;
};

// Neighbour node indices of one node on one layer; never holds an index twice.
using NeighborList = std::vector<uint32_t>;
// One list per node, indexed by node index.
using HnswLayer = std::vector<NeighborList>;

// A plain value: whoever holds it decides the locking (inside an HnswIndex, the graph
// lock guards every field).
//
// Invariants kept by every builder: `layers` has at least max_level + 1 layers once there
// is a node; every layer holds exactly one list (possibly empty) per node; every listed
// index is below nodes.size(); the entry point, when present, is a node whose level equals
// max_level; levels are at most 32. A loaded graph is held to the list and index bounds
// and the level limit (the loader refuses files that break them), but may lack an entry
// point, lack layers up to max_level, or have an entry point of another level; readers
// use neighbors(), which answers an empty list for a missing layer or list.
struct HnswGraph {
  // Node index = position; nodes are only appended while the graph lives.
  std::vector<HnswNode> nodes;
  // layers[l][i]: neighbours of node i on layer l.
  std::vector<HnswLayer> layers;
  std::optional<uint32_t> entry_point;
  // Slot of every node, minus the slots deleted since the graph was built or loaded.
  // A slot held by two nodes maps to the later one.
  std::unordered_map<uint64_t, uint32_t> slot_to_node;
  HnswConfig config;
  // Level of the entry point; 0 for an empty graph.
  uint8_t max_level = 0;

  // Node i's list on layer l, or an empty span when the graph has no such layer or list.
  std::span<const uint32_t> neighbors(size_t layer, uint32_t node) const {
    if (layer >= layers.size() || node >= layers[layer].size()) return {};
    return layers[layer][node];
  }

  bool operator==(const HnswGraph&) const = default;
};

using SlotSet = std::unordered_set<uint64_t>;

// A collection's HNSW index: the graph and the deleted-slot set, each behind its own
// reader-writer lock, and the collection's metric.
//
// Thread safety: the graph lock guards the graph, the deleted lock guards the set. When
// both are held the graph lock is taken first (a query holds both for reading). Record
// deletion takes them one after the other and never both. The metric never changes.
// The index is neither copied nor moved: it is shared in place by whoever holds it.
class HnswIndex {
 public:
  // A reference to a guarded field that holds its lock for as long as it lives.
  template <class T, class Lock>
  class Locked {
   public:
    Locked(T& value, std::shared_mutex& mu) : lock_(mu), value_(&value) {}
    T& operator*() const { return *value_; }
    T* operator->() const { return value_; }

   private:
    Lock lock_;
    T* value_;
  };
  using GraphRead = Locked<const HnswGraph, std::shared_lock<std::shared_mutex>>;
  using GraphWrite = Locked<HnswGraph, std::unique_lock<std::shared_mutex>>;
  using DeletedRead = Locked<const SlotSet, std::shared_lock<std::shared_mutex>>;
  using DeletedWrite = Locked<SlotSet, std::unique_lock<std::shared_mutex>>;

  // A new index over the graph, with an empty deleted-slot set.
  HnswIndex(HnswGraph graph, Metric metric) : graph_(std::move(graph)), metric_(metric) {}
  HnswIndex(const HnswIndex&) = delete;
  HnswIndex& operator=(const HnswIndex&) = delete;

  GraphRead read_graph() const { return GraphRead(graph_, graph_mu_); }
  GraphWrite write_graph() { return GraphWrite(graph_, graph_mu_); }
  DeletedRead read_deleted() const { return DeletedRead(deleted_slots_, deleted_mu_); }
  DeletedWrite write_deleted() { return DeletedWrite(deleted_slots_, deleted_mu_); }

  Metric metric() const { return metric_; }

 private:
  mutable std::shared_mutex graph_mu_;
  HnswGraph graph_;  // guarded by graph_mu_
  mutable std::shared_mutex deleted_mu_;
  SlotSet deleted_slots_;  // guarded by deleted_mu_; never saved
  const Metric metric_;
};

// Number of nodes; holds the graph lock for reading only while it reads the count.
size_t index_node_count(const HnswIndex& index);

}  // namespace tornquil
