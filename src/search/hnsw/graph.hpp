// The in-memory HNSW graph of a collection (HnswGraph) and the index that owns it
// (HnswIndex): nodes, per-layer neighbour lists, entry point, the slot-to-node map and the
// parameters, plus the set of vector slots deleted since the graph was built or loaded.
//
// The query, the incremental insertion, the full rebuild, record deletion and the index
// file all work on these two types through the graph's accessors; none of them depends on
// how the lists are laid out.
//
// Layout. Nodes are dense u32 indices; their ids, slots and levels sit in arrays of their
// own beside the links, so a traversal touches only link memory. Each layer keeps its lists
// in rows of one fixed stride: a row is [size, spill, up to `cap` links], so reading a list
// that fits costs one contiguous read and no pointer chase. Layer 0 has a row for every
// node (row = node index); a layer above 0 gives a row only to the nodes that have a list
// there and maps the others to "no row". A list longer than its layer's capacity lives in
// the layer's spill arena (one shared array), and its row names the spill entry. No list
// is ever a heap allocation of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/hnsw_config.hpp"
#include "base/types.hpp"

namespace tornquil {

// The highest level a node can have; the level draw caps at it.
constexpr uint8_t kHnswMaxLevel = 32;

// The lists of every node on one layer. A plain value without locks.
class HnswLayerLinks {
 public:
  // An empty layer for `nodes` nodes. Dense: a row per node; otherwise rows on demand.
  // `cap` is the number of links a row holds before its list moves to the spill arena.
  HnswLayerLinks(bool dense, uint32_t cap, uint32_t nodes);

  uint32_t node_count() const { return nodes_; }
  uint32_t cap() const { return cap_; }

  std::span<const uint32_t> list(uint32_t node) const {
    if (node >= nodes_) return {};
    const uint32_t row = dense_ ? node : row_of_[node];
    if (row == kNoRow) return {};
    const uint32_t* h = rows_.data() + static_cast<size_t>(row) * stride();
    if (h[1] == 0) return {h + 2, h[0]};
    return {spill_links_.data() + spills_[h[1] - 1].offset, h[0]};
  }

  // One more node, with an empty list.
  void add_node();
  void set(uint32_t node, std::span<const uint32_t> list);
  bool add(uint32_t node, uint32_t to);

 private:
  static constexpr uint32_t kNoRow = UINT32_MAX;
  struct Spill {
    uint64_t offset = 0;
    uint32_t capacity = 0;
  };

  size_t stride() const { return static_cast<size_t>(cap_) + 2; }
  uint32_t* header(uint32_t row) { return rows_.data() + static_cast<size_t>(row) * stride(); }
  // The node's row, made when it has none.
  uint32_t row_for(uint32_t node);
  // Room for `size` links of the row's list; returns where they go. Keeps the first
  // `keep` links already there.
  uint32_t* reserve(uint32_t* h, uint32_t size, uint32_t keep);
  void compact_spill();

  bool dense_;
  uint32_t cap_;
  uint32_t nodes_;
  std::vector<uint32_t> row_of_;  // sparse layers only: node -> row or kNoRow
  std::vector<uint32_t> rows_;    // rows of stride cap_ + 2
  std::vector<Spill> spills_;     // a row's spill field is its index here plus one
  std::vector<uint32_t> spill_links_;
  uint64_t spill_waste_ = 0;  // spill_links_ entries no list uses any more
};

// A plain value: whoever holds it decides the locking (inside an HnswIndex, the graph
// lock guards everything).
//
// Invariants kept by every builder: the graph has at least max_level + 1 layers once there
// is a node; every layer answers a list (possibly empty) for every node; every listed
// index is below node_count(); the entry point, when present, is a node whose level
// equals max_level; levels are at most 32. A loaded graph is held to the list and index
// bounds and the level limit (the loader refuses files that break them), but may lack an
// entry point, lack layers up to max_level, or have an entry point of another level;
// neighbors() answers an empty list for a missing layer or list.
class HnswGraph {
 public:
  // Nodes (node index = position; nodes are only appended).
  uint32_t node_count() const { return static_cast<uint32_t>(slots_.size()); }
  const std::string& id(uint32_t node) const { return ids_[node]; }
  uint64_t slot(uint32_t node) const { return slots_[node]; }
  uint8_t level(uint32_t node) const { return levels_[node]; }
  // Appends a node with an empty list on every layer; when level + 1 > layer_count(),
  // layers are added up to level + 1, with an empty list for every node. Returns the new
  // node's index.
  uint32_t add_node(std::string_view id, uint64_t slot, uint8_t level);
  // Replaces every node and layer at once: the nodes of the three lists (of equal
  // length) and `layers` layers of empty lists. Entry point, slot map, config and
  // max_level are left to the caller.
  void assign_nodes(std::vector<std::string> ids, std::vector<uint64_t> slots,
                    std::vector<uint8_t> levels, size_t layers);

  // Layers.
  size_t layer_count() const { return layers_.size(); }
  // Node's list on the layer, or an empty span when there is no such layer or list.
  // Valid until the next mutation of the graph.
  std::span<const uint32_t> neighbors(size_t layer, uint32_t node) const {
    if (layer >= layers_.size()) return {};
    return layers_[layer].list(node);
  }
  void set_neighbors(size_t layer, uint32_t node, std::span<const uint32_t> list);
  // Appends `to` to node's list on the layer unless already present; true when appended.
  bool add_link(size_t layer, uint32_t node, uint32_t to);
  // Replaces a whole existing layer: node i's list becomes list_of(i) (a span of u32) for
  // every node. The row capacity is chosen from the lists, so that most fit in their row.
  template <class ListOf>
  void assign_layer(size_t layer, const ListOf& list_of) {
    const uint32_t n = node_count();
    sizes_scratch_.resize(n);
    for (uint32_t i = 0; i < n; ++i) sizes_scratch_[i] = static_cast<uint32_t>(list_of(i).size());
    layers_[layer] = HnswLayerLinks(layer == 0, capacity_for(layer, sizes_scratch_), n);
    for (uint32_t i = 0; i < n; ++i) {
      if (sizes_scratch_[i] != 0) layers_[layer].set(i, list_of(i));
    }
    sizes_scratch_ = {};
  }

  std::optional<uint32_t> entry_point;
  // Slot of every node, minus the slots deleted since the graph was built or loaded.
  // A slot held by two nodes maps to the later one.
  std::unordered_map<uint64_t, uint32_t> slot_to_node;
  HnswConfig config;
  // Level of the entry point; 0 for an empty graph.
  uint8_t max_level = 0;

  // Same nodes, lists, entry point, slot map, config and max_level, whatever the layout.
  bool operator==(const HnswGraph& other) const;

 private:
  // The row capacity of a new layer: from the degree limits of the config, or, given the
  // list sizes of the layer, the smallest capacity that holds nine lists in ten.
  uint32_t capacity_for(size_t layer, std::span<const uint32_t> sizes) const;
  void add_layer();

  std::vector<std::string> ids_;
  std::vector<uint64_t> slots_;
  std::vector<uint8_t> levels_;
  std::vector<HnswLayerLinks> layers_;
  std::vector<uint32_t> sizes_scratch_;  // used only inside assign_layer
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
