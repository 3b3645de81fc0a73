// The parallel batch insertion of a full index rebuild: the neighbour lists under
// construction, each behind a reader-writer lock of its own, the build context the
// insertion tasks share, and insert_batch_parallel, which links one range of nodes.
//
// Each node descends and searches its layers with asymmetric distances (its exact vector
// against the other nodes' one-byte codes), chooses its neighbours by exact distance,
// puts them at the front of its own lists and appends back-links to its neighbours' lists.
// Back-links are never pruned or dropped here, so a list can grow past m or m0. A node can
// receive back-links before it links a layer itself (another task entered the layer through
// it from the layer above, or it is the entry node); they stay behind its own choice, so
// that no node loses the only link that reaches it.
//
// Thread safety: the tasks of one batch share the locked lists and the distance counter;
// everything else in the context is read-only while a batch runs. A task holds at most one
// list lock at a time: reads copy a list out and release the lock before using it. Within a
// batch the order in which nodes run depends on thread timing, and so do the lists; with a
// pool of one worker the nodes run in ascending order and the result is deterministic.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/hnsw_config.hpp"
#include "base/types.hpp"
#include "search/pq.hpp"

namespace tornquil {

// A reader-writer spin lock of one word, for locks held only while a short list is copied
// or written.
class ListLock {
 public:
  void lock_shared() noexcept;
  void unlock_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  void lock() noexcept;
  void unlock() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr uint32_t kWriter = uint32_t{1} << 31;
  std::atomic<uint32_t> state_{0};
};

// The neighbour lists of a rebuild, on layers 0 .. layer_count - 1. A node of level L has
// a list on layers 0 .. L; on a higher layer its list is empty and never written (no search
// of that layer can reach it). Lists start empty. A row holds a list of up to twice the
// layer's degree in place; a longer list moves to a buffer of its own.
//
// Thread safety: the locked operations may run on any number of threads at once. list() and
// the destructor only once no locked operation runs any more.
class LockedLayerLists {
 public:
  LockedLayerLists(std::span<const uint8_t> levels, size_t layer_count, const HnswConfig& config);
  LockedLayerLists(const LockedLayerLists&) = delete;
  LockedLayerLists& operator=(const LockedLayerLists&) = delete;

  size_t layer_count() const { return layers_.size(); }

  // The node's list copied into `out` (its old content dropped) under the read lock.
  void copy_out(size_t layer, uint32_t node, std::vector<uint32_t>& out) const;
  // The node's list length, under the read lock.
  size_t length(size_t layer, uint32_t node) const;
  // Under the node's write lock, makes `list` its list, followed by the entries it already
  // held that `list` lacks, in their order.
  void set_keeping_links(size_t layer, uint32_t node, std::span<const uint32_t> list);
  // Appends `to` under the node's write lock unless already present; true when appended.
  bool append_unique(size_t layer, uint32_t node, uint32_t to);

  // The list without a lock, once insertion is over.
  std::span<const uint32_t> list(size_t layer, uint32_t node) const;

 private:
  static constexpr uint32_t kNoRow = UINT32_MAX;
  struct Layer {
    uint32_t cap = 0;
    std::vector<uint32_t> row_of;                // node -> row; empty on layer 0, where row = node
    std::vector<uint32_t> rows;                  // per row: [size, cap links]
    std::vector<std::vector<uint32_t>> spilled;  // per row: the list once it outgrows cap
    std::unique_ptr<ListLock[]> locks;           // per row
  };
  // The node's row; ends the process for a node without a list on the layer.
  uint32_t row(const Layer& layer, uint32_t node) const;
  std::span<const uint32_t> view(const Layer& layer, uint32_t row) const;

  std::vector<Layer> layers_;
};

struct InsertScratchPool;

// Everything the insertion tasks of one rebuild share. Read-only during a batch except the
// locked lists and the distance counter. The spans and pointers are borrowed from the
// rebuild, which keeps them alive until the last batch returns.
struct HnswBuildContext {
  HnswBuildContext(const HnswConfig& config, Metric metric, std::span<const uint8_t> levels,
                   LockedLayerLists& lists, std::span<const float> vectors, size_t dimensions,
                   const ProductQuantizer& pq, const PqCodes& codes, uint32_t entry_node,
                   uint8_t entry_level);
  ~HnswBuildContext();
  HnswBuildContext(const HnswBuildContext&) = delete;
  HnswBuildContext& operator=(const HnswBuildContext&) = delete;

  const HnswConfig config;
  const Metric metric;
  const bool higher_is_better;
  const std::span<const uint8_t> levels;  // level of each node, in node order
  LockedLayerLists& lists;
  const std::span<const float> vectors;  // node vectors, n x dimensions, in node order
  const size_t dimensions;
  const ProductQuantizer& pq;
  const PqCodes& codes;
  const uint32_t entry_node;
  const uint8_t entry_level;
  // Beam width of every layer search: ef_construction as stored.
  const uint64_t ef;
  // Asymmetric distances evaluated by the layer searches.
  std::atomic<uint64_t> distance_count{0};

  // Per-thread search state, reused by every node a thread inserts.
  std::unique_ptr<InsertScratchPool> scratch;
};

// Links the nodes [start, end) on the worker pool; each task inserts the nodes of a
// sub-range one after another in ascending order. Returns when every node is linked.
void insert_batch_parallel(HnswBuildContext& ctx, uint32_t start, uint32_t end);

}  // namespace tornquil
