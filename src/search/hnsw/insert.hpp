// Incremental insertion: adds the committed live records that the graph does not index yet,
// one node at a time on the calling thread, each linked on the layers it shares with the
// graph (its level or the graph's top, whichever is lower, down to 0) to the candidates
// that the selection heuristic (select.hpp) picks from its layer search, with back-links
// from the nodes it chose. A node drawn above the graph's top becomes the entry point with
// empty lists up there, until later nodes link to it. A neighbour list that outgrows its
// limit is re-scored exactly and cut back by the same heuristic. On layer 0 a cut never
// takes away what keeps a record's node in reach of the entry point and the entry point in
// reach of it (see Road in insert.cpp), so records that share one vector, whose lists
// would otherwise name only one another, keep their ways in and out. What the road knows of
// layer 0 for that stays with the index from one run to the next, kept up as it links and
// cuts, so that a run costs what its records cost, not what the graph holds. Records whose
// vector slot cannot be read become nodes without neighbours; nothing is reported. The
// same records added in the same runs to the same graph always give the same graph.
//
// A live record counts as indexed only when a node with its id owns its slot. So a record
// that took over the slot of a deleted or compacted record gets a node of its own, which
// then owns the slot, and the old node stops answering.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/types.hpp"
#include "search/hnsw/graph.hpp"
#include "search/hnsw/rebuild.hpp"
#include "search/hnsw/walk.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {

// The beam width of incremental insertion never exceeds this, whatever ef_construction is,
// so that adding a few records to a large graph stays cheap.
constexpr uint64_t kInsertEfCap = 75;

// True when a node with this id owns the slot. The caller holds the graph lock.
bool is_indexed(const HnswGraph& graph, uint64_t slot, std::string_view id);

// Keeps, in place and in order, the entries the graph does not index. Holds the graph lock
// for reading while it filters.
void retain_unindexed(std::vector<LiveEntry>& entries, const HnswIndex& index);

// Inserts, in order, every entry the graph does not index yet, with a beam of
// min(ef_construction, 75). The caller holds the collection's `hnsw` lock for writing and
// its `vectors` lock for reading; this takes the graph lock for writing for the insertion.
void insert_nodes(HnswIndex& index, std::span<const LiveEntry> entries,
                  const VectorStorage& vectors);

// Appends a node with empty lists on every layer up to its level (and empty lists for it on
// every existing layer), maps the slot to it (replacing any earlier mapping), and makes it
// the entry point when the graph has none or its level exceeds max_level. Returns its index.
uint32_t add_node(HnswGraph& graph, uint64_t slot, std::string_view id, uint8_t level);

// The layer search of insertion: at most ef nodes, best first. Candidate and result lists
// are plain lists kept sorted; a node is accepted when the result list is not full or it
// scores strictly better than the list's bound, and only an accepted node is expanded. With
// ef 0 the result is empty, with ef of 1 or more it holds at least the entry. The caller
// holds the graph and the `vectors` lock for reading.
std::vector<ScoredNode> search_layer_for_insert(const HnswGraph& graph,
                                                std::span<const float> query, uint32_t entry,
                                                size_t layer, uint64_t ef,
                                                const VectorStorage& vectors, Metric metric);

// Test-only looks at the state the road keeps with the index between runs; each takes the
// graph lock for writing. Kept: the index holds a state that still fits its graph, so the
// next run walks nothing. Mismatch: the first node whose kept counts differ from a count
// over the graph's layer-0 lists under the kept ranks, or "" when all agree or none is kept.
bool TEST_road_state_kept(HnswIndex& index);
std::string TEST_road_state_mismatch(HnswIndex& index);

}  // namespace tornquil
