// The full rebuild of a graph from a collection's live records: levels drawn per slot, the
// node vectors copied out of the vector file in parallel, a product quantiser trained and
// every vector encoded, then the nodes linked in batches of 5000 by the worker pool. A
// rebuild of 1000 nodes or more writes its build profile to standard error.
//
// The graph is built privately and handed back whole; the caller installs it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/hnsw_config.hpp"
#include "base/types.hpp"
#include "search/hnsw/graph.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {

// One live committed record, as the refresh lists them (ascending byte order of ids).
struct LiveEntry {
  uint64_t slot = 0;
  std::string id;
};

// Nodes linked together before the next group starts; the groups are fixed by the node
// count alone.
constexpr uint32_t kRebuildBatchSize = 5000;
// Rebuilds of at least this many nodes print their profile.
constexpr uint64_t kBuildProfileMinNodes = 1000;

// Phase durations of a rebuild, in seconds.
struct BuildProfile {
  uint64_t nodes = 0;
  double setup = 0;   // level draws, list creation, vector copy, training, encoding
  double insert = 0;  // the batches
  double repair = 0;  // a phase without work
  double total = 0;   // setup start to just before the profile is printed
  uint64_t distance_calcs = 0;
};

// The profile's seven lines, each ending with a newline.
std::string format_build_profile(const BuildProfile& p);

// Where the setup time goes, in nanoseconds (for benchmarks; never printed).
struct SetupTimings {
  uint64_t levels = 0;  // level draws and list creation
  uint64_t fetch = 0;
  uint64_t train = 0;
  uint64_t encode = 0;
};

struct RebuildResult {
  HnswGraph graph;
  uint64_t batches = 0;
  std::optional<BuildProfile> profile;  // present from kBuildProfileMinNodes nodes
  SetupTimings setup;
};

// Each entry's vector of `dimensions` floats, in entry order, copied on the worker pool. A
// slot the vector file cannot serve (not allocated, or outside the mapping) gives zeros.
// The caller holds the collection's `vectors` lock for reading.
std::vector<float> fetch_vectors_parallel(const VectorStorage& vectors,
                                          std::span<const LiveEntry> entries, size_t dimensions);

// A new graph over the entries: node i is entry i, with the level its slot draws; the entry
// point is the first node of the highest level. Never fails. With no entry the graph is
// empty (no node, no layer, no entry point) and nothing is timed or printed. The caller
// holds the collection's `vectors` lock for reading for the whole call.
RebuildResult rebuild_graph(std::vector<LiveEntry> entries, const VectorStorage& vectors,
                            size_t dimensions, const HnswConfig& config, Metric metric);

}  // namespace tornquil
