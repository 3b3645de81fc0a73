// The index file `hnsw.index`: the HnswPersist image of a graph, its encoder and decoder,
// and the save and load of a whole index.
//
// Layout (little-endian, no padding, no field names):
//   0   4   magic 0x484E5357 (bytes "WSNH")
//   4   2   version, 1
//   6   56  config: m, m0, m_max, ef_construction, ef_search (u64), level_multiplier
//           (IEEE-754 double), reserved (u64)
//   62  4   node_count (u32)
//   66  1   max_level
//   67  1   entry point tag: 0 none, 1 present
//   68  0|4 entry point (u32), only when the tag is 1
//   then    node_slots: u64 count, then that many u64
//   then    node_ids: u64 count, then per id a u64 byte length and its UTF-8 bytes
//   then    node_levels: u64 count, then one byte per node
//   then    num_layers (u64)
//   then    layer_offsets: u64 number of lists, then per list a u64 count and that many u32
//   then    layer_neighbors: same shape as layer_offsets
//   end 4   CRC-32 (IEEE) of every byte before it
// Node i's list on layer l is layer_neighbors[l][layer_offsets[l][i] .. layer_offsets[l][i+1]).
// Bytes between layer_neighbors and the checksum are ignored. A graph without nodes makes
// a file of 120 bytes.
//
// The file holds no slot map, no deleted-slot set and no metric: a load maps every node's
// slot again, starts with an empty deleted set, and takes the metric from its caller.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/hnsw_config.hpp"
#include "base/types.hpp"
#include "search/hnsw/graph.hpp"

namespace tornquil {

constexpr uint32_t kHnswMagic = 0x484E5357;
constexpr uint16_t kHnswVersion = 1;

// The image of a graph in the file, field for field.
struct HnswPersist {
  uint32_t magic = kHnswMagic;
  uint16_t version = kHnswVersion;
  HnswConfig config;
  uint32_t node_count = 0;
  uint8_t max_level = 0;
  std::optional<uint32_t> entry_point;
  std::vector<uint64_t> node_slots;
  std::vector<std::string> node_ids;
  std::vector<uint8_t> node_levels;
  uint64_t num_layers = 0;
  // Per layer: 0, then the running end of each node's list.
  std::vector<std::vector<uint32_t>> layer_offsets;
  // Per layer: every node's list, concatenated in node order.
  std::vector<std::vector<uint32_t>> layer_neighbors;

  bool operator==(const HnswPersist&) const = default;
};

// The image of a graph. A layer lacking a node's list stores it as empty. Serialization
// when the graph has more nodes, or a layer more neighbour entries, than the file's u32
// fields can count.
Result<HnswPersist> persist_from_graph(const HnswGraph& graph);

// The whole file: the encoded image followed by its CRC-32. The buffer is sized exactly
// before anything is written into it.
std::string encode_index_file(const HnswPersist& image);

// Checks and decodes a whole file, in this order: too small (Corruption), checksum
// (Corruption), the fields (Serialization with the decoder's text), magic and version
// (Corruption). No list reserves more room than the bytes left could fill.
Result<HnswPersist> decode_index_file(std::string_view file);

// The graph an image describes, with slot_to_node mapping every node's slot (a slot held
// by two nodes maps to the later). An image that would make the graph read outside its
// lists, or that does not hold together as a graph, is refused as Corruption: lists
// shorter than the node or layer count, offsets that do not fit the layer's neighbour
// list, a neighbour or entry point at or beyond the node count, a level above 32; nodes
// without an entry point, an entry point whose level is not the maximum level, a node
// above the maximum level, fewer layers than the maximum level needs, a maximum level
// above 0 without nodes; a list naming its own node or one node twice; a list on a layer
// above its node's level, or naming a node whose level is below the layer. List entries
// beyond the node or layer count are ignored.
Result<HnswGraph> graph_from_persist(HnswPersist&& image);

// Writes the graph's file to the path, creating or truncating it; the image is built in
// memory before the file is touched. The caller holds the graph for reading (the index's
// graph lock) for the whole call. Io for open and write failures; the file may then be
// left truncated or partial, which a later load reports and the opener rebuilds from.
Result<void> save_index(const HnswGraph& graph, const std::string& path);

// Reads the whole file at the path and builds a private index from it, with an empty
// deleted-slot set and the given metric. Io when the file cannot be opened or read; then
// the errors of decode_index_file and graph_from_persist.
Result<std::unique_ptr<HnswIndex>> load_index(const std::string& path, Metric metric);

}  // namespace tornquil
