// Encoder, decoder and consistency checks of the index file, and the whole-file save and
// load through the platform layer.
#include "search/hnsw/persist.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "base/checksum.hpp"
#include "base/codec.hpp"
#include "base/platform.hpp"

namespace tornquil {
namespace {

constexpr size_t kChecksumBytes = 4;

std::string str(uint64_t v) { return std::to_string(v); }

CoreError corrupt(std::string text) { return CoreError::corruption(std::move(text)); }

std::string hex8(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

// Exact encoded size of the image, checksum included.
size_t encoded_size(const HnswPersist& p) {
  size_t n = 4 + 2 + kHnswConfigBytes + 4 + 1 + 1 + (p.entry_point ? 4 : 0);
  n += 8 + 8 * p.node_slots.size();
  n += 8;
  for (const std::string& id : p.node_ids) n += 8 + id.size();
  n += 8 + p.node_levels.size();
  n += 8;
  for (const auto* lists : {&p.layer_offsets, &p.layer_neighbors}) {
    n += 8;
    for (const auto& list : *lists) n += 8 + 4 * list.size();
  }
  return n + kChecksumBytes;
}

void encode_u32_lists(Writer& w, const std::vector<std::vector<uint32_t>>& lists) {
  w.u64(lists.size());
  for (const auto& list : lists) {
    w.u64(list.size());
    w.raw(list.data(), 4 * list.size());  // little-endian host
  }
}

// A u64 count, then that many u32. The count is checked against the bytes left before
// anything is reserved; a count they cannot back fails exactly as reading element by
// element would, with the end-of-input error.
Result<std::vector<uint32_t>> decode_u32_list(Reader& r) {
  TQ_ASSIGN(const uint64_t n, r.u64());
  if (n > r.remaining() / 4) return std::unexpected(Reader::eof_error());
  std::vector<uint32_t> out;
  out.reserve(static_cast<size_t>(n));
  for (uint64_t i = 0; i < n; ++i) {
    TQ_ASSIGN(const uint32_t v, r.u32());
    out.push_back(v);
  }
  return out;
}

// A u64 number of lists, then each list. Every list takes at least its 8-byte count, which
// bounds the reservation by the bytes left.
Result<std::vector<std::vector<uint32_t>>> decode_u32_lists(Reader& r) {
  TQ_ASSIGN(const uint64_t n, r.u64());
  std::vector<std::vector<uint32_t>> out;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(n, r.remaining() / 8)));
  for (uint64_t i = 0; i < n; ++i) {
    TQ_ASSIGN(auto list, decode_u32_list(r));
    out.push_back(std::move(list));
  }
  return out;
}

Result<std::vector<std::string>> decode_texts(Reader& r) {
  TQ_ASSIGN(const uint64_t n, r.u64());
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(n, r.remaining() / 8)));
  for (uint64_t i = 0; i < n; ++i) {
    TQ_ASSIGN(auto text, r.text());
    out.push_back(std::move(text));
  }
  return out;
}

Result<std::vector<uint8_t>> decode_bytes(Reader& r) {
  TQ_ASSIGN(const uint64_t n, r.u64());
  if (n > r.remaining()) return std::unexpected(Reader::eof_error());
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(n));
  for (uint64_t i = 0; i < n; ++i) {
    TQ_ASSIGN(const uint8_t v, r.u8());
    out.push_back(v);
  }
  return out;
}

Result<HnswPersist> decode_fields(Reader& r) {
  HnswPersist p;
  TQ_ASSIGN(p.magic, r.u32());
  TQ_ASSIGN(p.version, r.u16());
  TQ_ASSIGN(p.config, decode_hnsw_config(r));
  TQ_ASSIGN(p.node_count, r.u32());
  TQ_ASSIGN(p.max_level, r.u8());
  TQ_ASSIGN(const bool has_entry, r.tag());
  if (has_entry) {
    TQ_ASSIGN(p.entry_point, r.u32());
  }
  TQ_ASSIGN(p.node_slots, decode_u64_vec(r));
  TQ_ASSIGN(p.node_ids, decode_texts(r));
  TQ_ASSIGN(p.node_levels, decode_bytes(r));
  TQ_ASSIGN(p.num_layers, r.u64());
  TQ_ASSIGN(p.layer_offsets, decode_u32_lists(r));
  TQ_ASSIGN(p.layer_neighbors, decode_u32_lists(r));
  return p;
}

// The counts every later step indexes by: node lists hold node_count entries, the layer
// lists num_layers lists.
Result<void> check_counts(const HnswPersist& p) {
  const uint64_t n = p.node_count;
  auto short_nodes = [&](size_t have, const char* what) {
    return corrupt("HNSW index holds " + str(have) + " node " + what + " for " + str(n) + " nodes");
  };
  if (p.node_slots.size() < n) return std::unexpected(short_nodes(p.node_slots.size(), "slots"));
  if (p.node_ids.size() < n) return std::unexpected(short_nodes(p.node_ids.size(), "ids"));
  if (p.node_levels.size() < n) {
    return std::unexpected(short_nodes(p.node_levels.size(), "levels"));
  }
  auto short_layers = [&](size_t have, const char* what) {
    return corrupt("HNSW index holds " + str(have) + " " + what + " lists for " +
                   str(p.num_layers) + " layers");
  };
  if (p.layer_offsets.size() < p.num_layers) {
    return std::unexpected(short_layers(p.layer_offsets.size(), "offset"));
  }
  if (p.layer_neighbors.size() < p.num_layers) {
    return std::unexpected(short_layers(p.layer_neighbors.size(), "neighbour"));
  }
  if (p.entry_point && *p.entry_point >= n) {
    return std::unexpected(corrupt("HNSW entry point " + str(*p.entry_point) +
                                   " is not below the node count " + str(n)));
  }
  if (p.max_level > kHnswMaxLevel) {
    return std::unexpected(
        corrupt("HNSW maximum level " + str(p.max_level) + " is above " + str(kHnswMaxLevel)));
  }
  for (uint64_t i = 0; i < n; ++i) {
    if (p.node_levels[i] > kHnswMaxLevel) {
      return std::unexpected(corrupt("HNSW node " + str(i) + " has level " + str(p.node_levels[i]) +
                                     ", above " + str(kHnswMaxLevel)));
    }
  }
  return {};
}

// The entry point, the maximum level, the levels and the layer count agree: a graph with
// nodes has an entry point whose level is the maximum level, no node above it, and a layer
// for every level up to it. Every search starts at the entry point and descends from the
// maximum level, so a graph that breaks this would answer nothing or skip its top.
Result<void> check_shape(const HnswPersist& p) {
  const uint64_t n = p.node_count;
  if (n == 0) {
    if (p.max_level != 0) {
      return std::unexpected(
          corrupt("HNSW index without nodes has maximum level " + str(p.max_level)));
    }
    return {};
  }
  if (!p.entry_point) {
    return std::unexpected(corrupt("HNSW index holds " + str(n) + " nodes but no entry point"));
  }
  const uint8_t entry_level = p.node_levels[*p.entry_point];
  if (entry_level != p.max_level) {
    return std::unexpected(corrupt("HNSW entry point " + str(*p.entry_point) + " has level " +
                                   str(entry_level) + ", not the maximum level " +
                                   str(p.max_level)));
  }
  for (uint64_t i = 0; i < n; ++i) {
    if (p.node_levels[i] > p.max_level) {
      return std::unexpected(corrupt("HNSW node " + str(i) + " has level " + str(p.node_levels[i]) +
                                     ", above the maximum level " + str(p.max_level)));
    }
  }
  if (p.num_layers < static_cast<uint64_t>(p.max_level) + 1) {
    return std::unexpected(corrupt("HNSW index holds " + str(p.num_layers) +
                                   " layers for the maximum level " + str(p.max_level)));
  }
  return {};
}

// Checks that every node's slice of one layer lies inside the layer's neighbour list and
// names only other, existing nodes, each once, and only nodes on that layer; a node below
// the layer has no list there. A walk down the layers moves only to nodes on the layer it
// walks, so a list that leads below it is damage. `seen` is scratch of n entries.
Result<void> check_layer(uint64_t l, uint32_t n, const std::vector<uint8_t>& levels,
                         const std::vector<uint32_t>& offsets,
                         const std::vector<uint32_t>& neighbors, std::vector<uint32_t>& seen) {
  // seen[x] == i + 1 once node i's list has named x.
  seen.assign(n, 0);
  if (offsets.size() < static_cast<uint64_t>(n) + 1) {
    return std::unexpected(corrupt("HNSW layer " + str(l) + " holds " + str(offsets.size()) +
                                   " offsets for " + str(n) + " nodes"));
  }
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t start = offsets[i];
    const uint32_t end = offsets[i + 1];
    if (start > end || end > neighbors.size()) {
      return std::unexpected(corrupt("HNSW layer " + str(l) + " gives node " + str(i) +
                                     " the neighbour range " + str(start) + ".." + str(end) +
                                     " of a list of " + str(neighbors.size())));
    }
    if (start != end && levels[i] < l) {
      return std::unexpected(corrupt("HNSW layer " + str(l) + " gives node " + str(i) +
                                     " of level " + str(levels[i]) + " a list of " +
                                     str(end - start)));
    }
    for (uint32_t k = start; k < end; ++k) {
      if (neighbors[k] >= n) {
        return std::unexpected(corrupt("HNSW layer " + str(l) + " lists neighbour " +
                                       str(neighbors[k]) + " for node " + str(i) +
                                       ", not below the node count " + str(n)));
      }
      if (neighbors[k] == i) {
        return std::unexpected(
            corrupt("HNSW layer " + str(l) + " lists node " + str(i) + " as its own neighbour"));
      }
      if (levels[neighbors[k]] < l) {
        return std::unexpected(corrupt("HNSW layer " + str(l) + " lists neighbour " +
                                       str(neighbors[k]) + " of level " +
                                       str(levels[neighbors[k]]) + " for node " + str(i)));
      }
      if (seen[neighbors[k]] == i + 1) {
        return std::unexpected(corrupt("HNSW layer " + str(l) + " lists neighbour " +
                                       str(neighbors[k]) + " twice for node " + str(i)));
      }
      seen[neighbors[k]] = i + 1;
    }
  }
  return {};
}

}  // namespace

Result<HnswPersist> persist_from_graph(const HnswGraph& graph) {
  constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();
  const uint32_t n = graph.node_count();
  HnswPersist p;
  p.config = graph.config;
  p.node_count = n;
  p.max_level = graph.max_level;
  p.entry_point = graph.entry_point;
  p.node_slots.reserve(n);
  p.node_ids.reserve(n);
  p.node_levels.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    p.node_slots.push_back(graph.slot(i));
    p.node_ids.push_back(graph.id(i));
    p.node_levels.push_back(graph.level(i));
  }
  const size_t layers = graph.layer_count();
  p.num_layers = layers;
  p.layer_offsets.resize(layers);
  p.layer_neighbors.resize(layers);
  for (size_t l = 0; l < layers; ++l) {
    size_t total = 0;
    for (uint32_t i = 0; i < n; ++i) total += graph.neighbors(l, i).size();
    if (total > kU32Max) {
      return std::unexpected(
          CoreError::serialization("HNSW layer " + str(l) + " holds " + str(total) +
                                   " neighbour entries, more than its u32 offsets can hold"));
    }
    std::vector<uint32_t>& offsets = p.layer_offsets[l];
    std::vector<uint32_t>& neighbors = p.layer_neighbors[l];
    offsets.reserve(static_cast<size_t>(n) + 1);
    neighbors.reserve(total);
    offsets.push_back(0);
    for (uint32_t i = 0; i < n; ++i) {
      const auto list = graph.neighbors(l, i);
      neighbors.insert(neighbors.end(), list.begin(), list.end());
      offsets.push_back(static_cast<uint32_t>(neighbors.size()));
    }
  }
  return p;
}

std::string encode_index_file(const HnswPersist& p) {
  const size_t size = encoded_size(p);
  std::string out;
  out.reserve(size);
  Writer w(out);
  w.u32(p.magic);
  w.u16(p.version);
  encode_hnsw_config(w, p.config);
  w.u32(p.node_count);
  w.u8(p.max_level);
  w.u8(p.entry_point ? 1 : 0);
  if (p.entry_point) w.u32(*p.entry_point);
  w.u64(p.node_slots.size());
  w.raw(p.node_slots.data(), 8 * p.node_slots.size());
  w.u64(p.node_ids.size());
  for (const std::string& id : p.node_ids) w.text(id);
  w.u64(p.node_levels.size());
  w.raw(p.node_levels.data(), p.node_levels.size());
  w.u64(p.num_layers);
  encode_u32_lists(w, p.layer_offsets);
  encode_u32_lists(w, p.layer_neighbors);
  w.u32(crc32_ieee(out.data(), out.size()));
  if (out.size() != size) fatal("index file size differs from its computed length");
  return out;
}

Result<HnswPersist> decode_index_file(std::string_view file) {
  if (file.size() < kChecksumBytes) {  // 3 bytes or fewer
    return std::unexpected(corrupt("HNSW index file too small"));
  }
  const std::string_view payload = file.substr(0, file.size() - kChecksumBytes);
  uint32_t stored;
  std::memcpy(&stored, file.data() + payload.size(), kChecksumBytes);
  const uint32_t computed = crc32_ieee(payload.data(), payload.size());
  if (stored != computed) {
    return std::unexpected(corrupt("HNSW index checksum mismatch: expected " + hex8(stored) +
                                   ", got " + hex8(computed)));
  }
  Reader r(payload);
  TQ_ASSIGN(HnswPersist p, decode_fields(r));
  if (p.magic != kHnswMagic) {
    return std::unexpected(corrupt("Invalid HNSW magic number: " + hex8(p.magic)));
  }
  if (p.version != kHnswVersion) {
    return std::unexpected(corrupt("Unsupported HNSW version: " + str(p.version) + " (expected " +
                                   str(kHnswVersion) + ")"));
  }
  return p;
}

Result<HnswGraph> graph_from_persist(HnswPersist&& p) {
  TQ_TRY(check_counts(p));
  TQ_TRY(check_shape(p));
  const uint32_t n = p.node_count;
  {
    std::vector<uint32_t> seen;
    for (uint64_t l = 0; l < p.num_layers; ++l) {
      TQ_TRY(check_layer(l, n, p.node_levels, p.layer_offsets[l], p.layer_neighbors[l], seen));
    }
  }
  HnswGraph g;
  g.config = p.config;
  g.max_level = p.max_level;
  g.entry_point = p.entry_point;
  p.node_ids.resize(n);
  p.node_slots.resize(n);
  p.node_levels.resize(n);
  g.slot_to_node.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    g.slot_to_node[p.node_slots[i]] = i;  // a repeated slot goes to the later node
  }
  g.assign_nodes(std::move(p.node_ids), std::move(p.node_slots), std::move(p.node_levels),
                 static_cast<size_t>(p.num_layers));
  for (uint64_t l = 0; l < p.num_layers; ++l) {
    const std::vector<uint32_t>& offsets = p.layer_offsets[l];
    const std::vector<uint32_t>& neighbors = p.layer_neighbors[l];
    g.assign_layer(l, [&](uint32_t i) {
      return std::span<const uint32_t>(neighbors.data() + offsets[i], offsets[i + 1] - offsets[i]);
    });
  }
  return g;
}

Result<void> save_index(const HnswGraph& graph, const std::string& path) {
  std::string bytes;
  {
    TQ_ASSIGN(const HnswPersist image, persist_from_graph(graph));
    bytes = encode_index_file(image);
  }
  // Nothing asks the system to force the data to disk: the index is rebuilt from the
  // records whenever the file turns out short or damaged.
  TQ_ASSIGN(platform::File file, platform::File::open(path, platform::File::Mode::CreateTruncate));
  TQ_TRY(file.write_all(bytes.data(), bytes.size()));
  file.close();
  return {};
}

Result<std::unique_ptr<HnswIndex>> load_index(const std::string& path, Metric metric) {
  HnswPersist image;
  {
    TQ_ASSIGN(platform::File file, platform::File::open(path, platform::File::Mode::ReadOnly));
    TQ_ASSIGN(const uint64_t length, file.length());
    std::string bytes(static_cast<size_t>(length), '\0');
    TQ_ASSIGN(const size_t got, file.read_at(bytes.data(), bytes.size(), 0));
    bytes.resize(got);  // a file cut short meanwhile is judged by what was read
    file.close();
    TQ_ASSIGN(image, decode_index_file(bytes));
  }
  TQ_ASSIGN(HnswGraph graph, graph_from_persist(std::move(image)));
  return std::make_unique<HnswIndex>(std::move(graph), metric);
}

}  // namespace tornquil
