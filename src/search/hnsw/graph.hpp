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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
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
#include "base/platform.hpp"
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

// How many times a value was changed. Being assigned over counts as a change too, whatever
// the count of the value assigned, so that two reads of the count give the same number only
// when nothing changed the value between them.
class EditCount {
 public:
  EditCount() = default;
  EditCount(const EditCount&) = default;
  EditCount& operator=(const EditCount& other) {
    n_ = std::max(n_, other.n_) + 1;
    return *this;
  }
  void bump() { ++n_; }
  uint64_t value() const { return n_; }

 private:
  uint64_t n_ = 0;
};

// Map from vector slot to the node that owns it. Slots are small dense integers, so a
// slot below the dense bound is an index into an array holding the node or kNone, and
// the query's ownership test is one array read. A slot above that bound (only a damaged
// index file would name one) goes to a hash map instead, so no file can make the array
// grow past a few entries per held slot plus a fixed floor. Every slot below the array's
// length lives in the array, every other one in the hash map.
//
// Thread safety: none of its own; it lives inside HnswGraph, under the graph lock.
class SlotToNode {
 public:
  using value_type = std::pair<uint64_t, uint32_t>;
  // The node of a slot held by no node; no node has this index.
  static constexpr uint32_t kNone = UINT32_MAX;

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = SlotToNode::value_type;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;

    const_iterator() = default;
    reference operator*() const { return cur_; }
    pointer operator->() const { return &cur_; }
    const_iterator& operator++() {
      if (index_ < map_->dense_.size()) {
        ++index_;
        settle();
      } else {
        ++sparse_;
        load_sparse();
      }
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const const_iterator& o) const {
      return index_ == o.index_ && sparse_ == o.sparse_;
    }

   private:
    friend class SlotToNode;
    // Positioned at dense index `index` (moved on to the next held slot), or, when
    // `index` is the array's length, at the sparse entry `sparse`.
    const_iterator(const SlotToNode* map, size_t index,
                   std::unordered_map<uint64_t, uint32_t>::const_iterator sparse)
        : map_(map), index_(index), sparse_(sparse) {
      if (index_ < map_->dense_.size()) {
        settle();
      } else {
        load_sparse();
      }
    }
    void settle() {
      const auto& d = map_->dense_;
      while (index_ < d.size() && d[index_] == kNone) ++index_;
      if (index_ < d.size()) {
        cur_ = {index_, d[index_]};
      } else {
        sparse_ = map_->sparse_.begin();
        load_sparse();
      }
    }
    void load_sparse() {
      if (sparse_ != map_->sparse_.end()) cur_ = *sparse_;
    }

    const SlotToNode* map_ = nullptr;
    size_t index_ = 0;
    std::unordered_map<uint64_t, uint32_t>::const_iterator sparse_;
    value_type cur_{};
  };
  using iterator = const_iterator;

  SlotToNode() = default;
  SlotToNode(std::initializer_list<value_type> entries) {
    for (const auto& [slot, node] : entries) (*this)[slot] = node;
  }

  // The node that owns the slot, or kNone. The query's hot path.
  uint32_t owner(uint64_t slot) const {
    if (slot < dense_.size()) return dense_[slot];
    if (sparse_.empty()) return kNone;
    auto it = sparse_.find(slot);
    return it == sparse_.end() ? kNone : it->second;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t count(uint64_t slot) const { return owner(slot) == kNone ? 0 : 1; }
  const_iterator find(uint64_t slot) const;
  // The node of a held slot; throws std::out_of_range for a slot held by none.
  uint32_t at(uint64_t slot) const;
  // The node of the slot, for writing; a slot held by none is first given node 0. The
  // value written must be a node index (never kNone).
  uint32_t& operator[](uint64_t slot);
  // Removes the slot; returns how many entries went (0 or 1).
  size_t erase(uint64_t slot);
  // Room for `n` held slots without regrowing, and lets the array reach about 2n.
  void reserve(size_t n);
  void clear();

  const_iterator begin() const { return const_iterator(this, 0, sparse_.end()); }
  const_iterator end() const { return const_iterator(this, dense_.size(), sparse_.end()); }

  // Same slots held by the same nodes, however they are stored.
  bool operator==(const SlotToNode& other) const;

  // Grows with every write through operator[], erase and clear, and with every assignment.
  uint64_t edits() const { return edits_.value(); }

 private:
  // The largest array length the map will grow to now: a fixed floor, or twice the
  // number of slots held or reserved.
  size_t dense_limit() const;

  std::vector<uint32_t> dense_;                    // slot -> node or kNone
  std::unordered_map<uint64_t, uint32_t> sparse_;  // slots at or past dense_.size()
  size_t size_ = 0;                                // slots held
  size_t reserved_ = 0;                            // the last reserve() request
  EditCount edits_;
};

// A plain value: whoever holds it decides the locking (inside an HnswIndex, the graph
// lock guards everything).
//
// Invariants kept by every builder: the graph has at least max_level + 1 layers once there
// is a node; every layer answers a list (possibly empty) for every node; a node has lists
// only on its own layers (0 to its level), and a list on layer l names only nodes whose
// level is at least l; every listed index is below node_count(); the entry point, when
// present, is a node whose level equals max_level; levels are at most 32; a list never
// names its own node or one node twice. The loader refuses files that break any of these.
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
    edits_.bump();
  }

  // Grows with every change of the nodes, the lists or the slot map made through their
  // mutators, and with every assignment of the graph or the map (not with changes of the
  // plain fields below): the same number twice means the same nodes, lists and owners.
  uint64_t edits() const { return edits_.value() + slot_to_node.edits(); }

  std::optional<uint32_t> entry_point;
  // Slot of every node, minus the slots deleted since the graph was built or loaded.
  // A slot held by two nodes maps to the later one.
  SlotToNode slot_to_node;
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
  EditCount edits_;
};

using SlotSet = std::unordered_set<uint64_t>;

// What the incremental road keeps between its runs (insert.cpp): opaque here, owned and
// destroyed by the index.
struct RoadState;
struct RoadStateDeleter {
  void operator()(RoadState* state) const;
};
using RoadStatePtr = std::unique_ptr<RoadState, RoadStateDeleter>;

// A collection's HNSW index: the graph and the deleted-slot set, each behind its own
// reader-writer lock, and the collection's metric.
//
// Thread safety: the graph lock guards the graph and the road's kept state, the deleted
// lock guards the set. When both are held the graph lock is taken first (a query holds both
// for reading). Record deletion takes them one after the other and never both. Both locks
// shut new readers out while a writer waits (platform::RwLock): a thread never takes one of
// them for reading twice. The metric never changes.
// The index is neither copied nor moved: it is shared in place by whoever holds it.
class HnswIndex {
 public:
  // A reference to a guarded field that holds its lock for as long as it lives.
  template <class T, class Lock>
  class Locked {
   public:
    Locked(T& value, platform::RwLock& mu) : lock_(mu), value_(&value) {}
    T& operator*() const { return *value_; }
    T* operator->() const { return value_; }

   private:
    Lock lock_;
    T* value_;
  };
  using GraphRead = Locked<const HnswGraph, std::shared_lock<platform::RwLock>>;
  using GraphWrite = Locked<HnswGraph, std::unique_lock<platform::RwLock>>;
  using DeletedRead = Locked<const SlotSet, std::shared_lock<platform::RwLock>>;
  using DeletedWrite = Locked<SlotSet, std::unique_lock<platform::RwLock>>;

  // A new index over the graph, with an empty deleted-slot set.
  HnswIndex(HnswGraph graph, Metric metric) : graph_(std::move(graph)), metric_(metric) {}
  HnswIndex(const HnswIndex&) = delete;
  HnswIndex& operator=(const HnswIndex&) = delete;

  GraphRead read_graph() const { return GraphRead(graph_, graph_mu_); }
  GraphWrite write_graph() { return GraphWrite(graph_, graph_mu_); }
  DeletedRead read_deleted() const { return DeletedRead(deleted_slots_, deleted_mu_); }
  DeletedWrite write_deleted() { return DeletedWrite(deleted_slots_, deleted_mu_); }

  Metric metric() const { return metric_; }

  // The incremental road's state kept between its runs; null until a run leaves one. The
  // caller shows that it holds the graph lock for writing by passing its guard.
  RoadStatePtr& road_state(const GraphWrite& held);

 private:
  mutable platform::RwLock graph_mu_;
  HnswGraph graph_;    // guarded by graph_mu_
  RoadStatePtr road_;  // guarded by graph_mu_
  mutable platform::RwLock deleted_mu_;
  SlotSet deleted_slots_;  // guarded by deleted_mu_; never saved
  const Metric metric_;
};

// Number of nodes; holds the graph lock for reading only while it reads the count.
size_t index_node_count(const HnswIndex& index);

}  // namespace tornquil
