// The HNSW query: a greedy descent through the upper layers from the entry point, a beam
// search on layer 0, and the best nodes turned into hits by looking their records up.
//
// Which nodes answer: a node answers only while it owns its vector slot (the slot map sends
// its slot to it). Nodes of deleted records and nodes whose slot a newer node took over are
// walked through like any other but never returned, and a record whose stored slot is not
// the node's slot (it was replaced under the same id) is not returned through that node.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"
#include "search/hnsw/graph.hpp"
#include "search/hnsw/walk.hpp"
#include "search/top_k.hpp"
#include "storage/kv_store.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {

// The distance of the query to the node's vector, or worst_score(metric) when the node's
// slot is not allocated or lies outside the mapping. A slot holding the deleted marker
// scores NaN. The caller holds the graph and the `vectors` lock for reading; the query is
// no longer than the stored vectors.
float node_score(const HnswGraph& graph, std::span<const float> query, uint32_t node,
                 const VectorStorage& vectors, Metric metric);

// The end of a greedy walk on the layer from `start`: moves to the best neighbour while it
// scores strictly better than the current node; ties never move. A missing layer or list
// ends the walk where it stands. Locks as for node_score.
uint32_t greedy_closest(const HnswGraph& graph, std::span<const float> query, uint32_t start,
                        size_t layer, const VectorStorage& vectors, Metric metric);

// The beam search of width ef on layer 0 from `entry`: at most ef nodes that own their slot,
// best first with their true scores (a stable sort of the result set). Nodes that do not
// own their slot are expanded but never enter the result. Locks as for node_score.
std::vector<ScoredNode> search_base_layer(const HnswGraph& graph, std::span<const float> query,
                                          uint32_t entry, uint64_t ef, const VectorStorage& vectors,
                                          Metric metric);

// The beam width of a query for `count` hits: max(ef_search, 2 x count), saturating.
uint64_t query_beam_width(uint64_t ef_search, uint64_t count);

// At most `count` hits for the prepared query, best first. The walk uses a beam of
// query_beam_width and keeps up to 2 x count nodes as candidates; their records are read by
// id in `txn`, the caller's read transaction of the collection's store, after the graph
// lock is released, so the hits show the records as that snapshot holds them. A candidate
// is skipped when its record is gone, not Active, expired, or names another slot than the
// node; skipped candidates are not made up for.
//
// The caller holds the collection's `hnsw` and `vectors` locks for reading. Errors:
// DimensionMismatch when the query length differs from the stored vectors, and any error of
// the record lookup, which ends the query with no hits.
Result<std::vector<SearchHit>> hnsw_search(const HnswIndex& index, std::span<const float> query,
                                           uint64_t count, const VectorStorage& vectors,
                                           ReadTxn& txn);

// hnsw_search in a read transaction of its own, begun once the graph walk is over:
// Transaction when it cannot begin (also for count 0 or an empty graph).
Result<std::vector<SearchHit>> hnsw_search(const HnswIndex& index, std::span<const float> query,
                                           uint64_t count, const VectorStorage& vectors,
                                           KvStore& store);

}  // namespace tornquil
