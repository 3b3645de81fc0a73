// The pieces every walk over the HNSW graph shares: the scored node, the metric's sense of
// "better", the scorer that reads a node's vector in place from the vector file, and the
// pooled scratch (visited marks and heap storage) that lets a walk allocate nothing once
// the pool has served walks over a graph of that size.
//
// Thread safety: a NodeScorer is a view used by one thread; a WalkScratch belongs to the
// one walk that leases it; the lease and the return may run on any number of threads.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"
#include "search/distance.hpp"
#include "search/hnsw/graph.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {

// A node of the graph with its score against the query of the walk.
struct ScoredNode {
  uint32_t node = 0;
  float score = 0;

  bool operator==(const ScoredNode&) const = default;
};

constexpr bool higher_is_better(Metric m) { return m != Metric::L2; }

// Higher (lower for L2); false whenever a NaN is involved.
inline bool strictly_better(float a, float b, bool hib) { return hib ? a > b : a < b; }
// Higher or equal (lower or equal for L2); false whenever a NaN is involved.
inline bool at_least_as_good(float a, float b, bool hib) { return hib ? a >= b : a <= b; }

// Scores graph nodes against one query. A node whose slot is not allocated, or lies outside
// the mapping, scores worst_score. The caller holds the graph (read) and the `vectors` lock
// (read) for as long as the scorer is used.
//
// What is fixed for the query (the kernels, where the slots start, how many of them can be
// read) is found once here, so scoring a node costs one compare and one multiply before the
// kernel runs.
class NodeScorer {
 public:
  // Most nodes scored by one score_many call; callers walk longer lists in chunks.
  static constexpr size_t kBatch = 64;

  // A query longer than the stored vectors is a broken invariant of the caller.
  NodeScorer(const HnswGraph& graph, std::span<const float> query, const VectorStorage& vectors,
             Metric metric);

  // The node's floats in place, or null when its slot cannot be read.
  const float* vector_of(uint32_t node) const {
    const uint64_t slot = graph_.slot(node);
    return slot < readable_ ? base_ + slot * stride_ : nullptr;
  }
  float score_vector(const float* v) const { return v == nullptr ? worst_ : fn_(query_, v, n_); }
  float operator()(uint32_t node) const { return score_vector(vector_of(node)); }

  // out[i] = (*this)(nodes[i]) for i < count, bit for bit, with `where` (count entries) as
  // scratch for the vectors' places. Four vectors are scored together, so their sums
  // overlap instead of waiting on each other, and the vectors ahead are loaded into the
  // cache meanwhile.
  void score_list(const uint32_t* nodes, size_t count, float* out, const float** where) const;
  // The same for at most kBatch nodes, with scratch of its own.
  void score_many(const uint32_t* nodes, size_t count, float* out) const;

  // Starts loading the node's vector into the cache.
  void prefetch(uint32_t node) const {
    if (const float* v = vector_of(node)) {
      __builtin_prefetch(v);
      __builtin_prefetch(reinterpret_cast<const char*>(v) + 64);
    }
  }

  bool hib() const { return hib_; }
  const HnswGraph& graph() const { return graph_; }

 private:
  const HnswGraph& graph_;
  const float* query_;
  size_t n_;
  const float* base_ = nullptr;  // slot 0 in the mapping; null when no slot can be read
  uint64_t readable_ = 0;        // slots below this are allocated and wholly mapped
  uint64_t stride_ = 0;          // floats from one slot to the next
  DistanceFn fn_;
  DistanceX4Fn fn_x4_;
  float worst_;
  bool hib_;
};

// Marks the nodes a walk has met. Each walk takes a new epoch, so nothing is cleared between
// walks; the tags are cleared only when the epoch wraps.
class VisitedSet {
 public:
  // Starts a walk over node indices below n; every node reads as unvisited.
  void begin(uint32_t n) {
    if (tags_.size() < n) tags_.resize(n, 0);
    if (++epoch_ == 0) {
      std::fill(tags_.begin(), tags_.end(), 0);
      epoch_ = 1;
    }
  }
  // Marks the node; true when it was already marked in this walk.
  bool test_and_mark(uint32_t node) {
    if (tags_[node] == epoch_) return true;
    tags_[node] = epoch_;
    return false;
  }
  void prefetch(uint32_t node) const { __builtin_prefetch(tags_.data() + node); }
  // Marks every node of the list and writes those not marked before to `fresh`, in list
  // order; returns how many. Without a branch per node, whose outcome no predictor knows.
  size_t mark_list(std::span<const uint32_t> list, uint32_t* fresh) {
    for (const uint32_t n : list) prefetch(n);
    size_t count = 0;
    for (const uint32_t n : list) {
      const bool seen = tags_[n] == epoch_;
      tags_[n] = epoch_;
      fresh[count] = n;
      count += seen ? 0 : 1;
    }
    return count;
  }

 private:
  std::vector<uint16_t> tags_;
  uint16_t epoch_ = 0;
};

// A heap element: `key` orders it (higher is better whatever the metric, NaN as -inf, so
// the heaps always see a strict weak order), `score` is the true score.
struct HeapNode {
  float key;
  float score;
  uint32_t node;
};

inline HeapNode heap_node(uint32_t node, float score, bool hib) {
  float key = hib ? score : -score;
  if (key != key) key = -std::numeric_limits<float>::infinity();
  return {key, score, node};
}

// Storage a walk works in: the visited marks and the lists of one walk. Walks lease it
// from a process-wide pool and give it back, so a walk allocates nothing once the pool's
// scratch has grown to the graph.
struct WalkScratch {
  VisitedSet visited;
  std::vector<HeapNode> queue;      // candidates still to expand
  std::vector<HeapNode> results;    // the result set W
  std::vector<ScoredNode> sorted;   // the result of a walk, best first
  std::vector<ScoredNode> pending;  // the insertion's candidate list
  std::vector<ScoredNode> merge_buffer;
  // The unvisited neighbours of the node being expanded, their scores and their vectors.
  std::vector<uint32_t> fresh;
  std::vector<float> fresh_scores;
  std::vector<const float*> fresh_where;
};

// A WalkScratch held for the duration of one walk, taken from the pool and given back to
// it by the destructor.
//
// The pool is a fixed row of atomic places, each empty or holding one idle scratch; a
// lease takes the first it finds by an exchange, and the return puts it into the first
// empty place (or frees it when every place is full), so no lock is taken and a walk
// waits for nothing. Scratch is neither tied to a thread nor freed when a thread ends: the
// threads that search are the host's own (each Python thread), and the pool keeps no more
// than its places, whatever number of threads come and go.
class ScratchLease {
 public:
  ScratchLease();
  ~ScratchLease();
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  WalkScratch* operator->() const { return s_; }
  WalkScratch& operator*() const { return *s_; }

 private:
  WalkScratch* s_;
};

// True when the node still owns its vector slot: the slot map sends the node's slot to it.
// Only such a node stands for a live record; the others (deleted records, records whose
// slot was taken over) are walked through but never answer.
inline bool owns_slot(const HnswGraph& g, uint32_t node) {
  return g.slot_to_node.owner(g.slot(node)) == node;
}

// Stable sorts: best first (descending scores where higher is better, ascending for L2)
// and worst first (the reverse order). An element moves ahead of another only when its
// score is strictly better (worse), so equal scores keep their order and NaN moves nowhere
// past its neighbours. Up to 20 elements by insertion, longer lists by a merge sort over
// `buffer`.
void sort_scored_best_first(std::vector<ScoredNode>& list, bool hib,
                            std::vector<ScoredNode>& buffer);
void sort_scored_worst_first(std::vector<ScoredNode>& list, bool hib,
                             std::vector<ScoredNode>& buffer);
void sort_scored_best_first(std::vector<ScoredNode>& list, bool hib);
void sort_scored_worst_first(std::vector<ScoredNode>& list, bool hib);

// The same sorts for a list whose first `sorted_end` elements are already in that order and
// whose rest was appended since: the result is exactly that of the whole sort.
void resort_scored_best_first(std::vector<ScoredNode>& list, size_t sorted_end, bool hib,
                              std::vector<ScoredNode>& buffer);
void resort_scored_worst_first(std::vector<ScoredNode>& list, size_t sorted_end, bool hib,
                               std::vector<ScoredNode>& buffer);

// The end of a greedy walk on one layer: from `start`, move to the best neighbour while it
// is strictly better than the current node (the first of equal bests); ties never move.
uint32_t greedy_walk(const NodeScorer& score, uint32_t start, size_t layer);

}  // namespace tornquil
