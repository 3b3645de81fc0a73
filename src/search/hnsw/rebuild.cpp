// The full rebuild: setup (levels, lists, vectors, quantiser), the batches, the profile,
// and the lists handed over to a new graph.
#include "search/hnsw/rebuild.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

#include "base/platform.hpp"
#include "base/worker_pool.hpp"
#include "search/hnsw/level.hpp"
#include "search/hnsw/parallel.hpp"
#include "search/pq.hpp"

namespace tornquil {
namespace {

// A duration as whole seconds plus nanoseconds, turned into seconds.
double seconds(uint64_t ns) {
  return static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
}

// `v` rounded to `decimals` places (nearest, halves to even, on the exact binary value),
// right-aligned in `width` characters.
void append_fixed(std::string& out, double v, int decimals, size_t width = 0) {
  char buf[400];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  const size_t len = static_cast<size_t>(r.ptr - buf);
  if (len < width) out.append(width - len, ' ');
  out.append(buf, len);
}

}  // namespace

std::string format_build_profile(const BuildProfile& p) {
  std::string out = "HNSW Build Profile (" + std::to_string(p.nodes) + " nodes):\n";
  const auto phase = [&](const char* label, double secs) {
    out += label;
    append_fixed(out, secs, 2, 8);
    out += "s (";
    append_fixed(out, secs / p.total * 100.0, 1, 5);
    out += "%)\n";
  };
  phase("  Phase 1 (setup):   ", p.setup);
  phase("  Phase 2 (insert):  ", p.insert);
  phase("  Phase 3 (repair):  ", p.repair);
  out += "  Total:             ";
  append_fixed(out, p.total, 2, 8);
  out += "s (";
  append_fixed(out, static_cast<double>(p.nodes) / p.total, 0);
  out += " vec/s)\n";
  out += "  Distance calcs:    " + std::to_string(p.distance_calcs) + "\n";
  out += "  Nodes improved:    0\n";
  return out;
}

std::vector<float> fetch_vectors_parallel(const VectorStorage& vectors,
                                          std::span<const LiveEntry> entries, size_t dimensions) {
  std::vector<float> out(entries.size() * dimensions, 0.0f);
  parallel_for(entries.size(), 256, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const auto v = read_vector(vectors, entries[i].slot);
      if (!v) continue;  // zeros stand in for a vector the file cannot serve
      std::copy_n(v->data(), std::min(v->size(), dimensions), out.data() + i * dimensions);
    }
  });
  return out;
}

RebuildResult rebuild_graph(std::vector<LiveEntry> entries, const VectorStorage& vectors,
                            size_t dimensions, const HnswConfig& config, Metric metric) {
  RebuildResult result;
  result.graph.config = config;
  const auto n = static_cast<uint32_t>(entries.size());
  if (n == 0) return result;
  const uint64_t total_start = platform::monotonic_ns();
  const uint64_t setup_start = total_start;

  std::vector<uint8_t> levels(n);
  parallel_for(n, 1024, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      levels[i] = draw_level(entries[i].slot, config.level_multiplier);
    }
  });
  // The entry node: the first node of the highest level.
  const uint32_t entry =
      static_cast<uint32_t>(std::max_element(levels.begin(), levels.end()) - levels.begin());
  const uint8_t max_level = levels[entry];
  LockedLayerLists lists(levels, static_cast<size_t>(max_level) + 1, config);
  uint64_t t = platform::monotonic_ns();
  result.setup.levels = t - setup_start;

  const std::vector<float> node_vectors = fetch_vectors_parallel(vectors, entries, dimensions);
  uint64_t now = platform::monotonic_ns();
  result.setup.fetch = now - t;
  t = now;
  const bool higher_is_better = metric != Metric::L2;
  const ProductQuantizer pq = train_product_quantizer(pq_config_for_dimensions(dimensions),
                                                      dimensions, node_vectors, higher_is_better);
  now = platform::monotonic_ns();
  result.setup.train = now - t;
  t = now;
  const PqCodes codes = encode_all_parallel(pq, node_vectors, n);
  now = platform::monotonic_ns();
  result.setup.encode = now - t;

  const uint64_t setup_ns = now - setup_start;
  const uint64_t insert_start = platform::monotonic_ns();
  HnswBuildContext ctx(config, metric, levels, lists, node_vectors, dimensions, pq, codes, entry,
                       max_level);
  for (uint32_t start = 0; start < n; start += std::min(kRebuildBatchSize, n - start)) {
    insert_batch_parallel(ctx, start, start + std::min(kRebuildBatchSize, n - start));
    ++result.batches;
  }
  const uint64_t insert_ns = platform::monotonic_ns() - insert_start;
  // Nothing is repaired; the phase is kept so the profile keeps its shape.
  const uint64_t repair_start = platform::monotonic_ns();
  const uint64_t repair_ns = platform::monotonic_ns() - repair_start;

  if (n >= kBuildProfileMinNodes) {
    BuildProfile p;
    p.nodes = n;
    p.setup = seconds(setup_ns);
    p.insert = seconds(insert_ns);
    p.repair = seconds(repair_ns);
    p.total = seconds(platform::monotonic_ns() - total_start);
    p.distance_calcs = ctx.distance_count.load();
    const std::string text = format_build_profile(p);
    std::fwrite(text.data(), 1, text.size(), stderr);  // one write: stderr is unbuffered
    std::fflush(stderr);
    result.profile = p;
  }

  HnswGraph& g = result.graph;
  std::vector<std::string> ids(n);
  std::vector<uint64_t> slots(n);
  g.slot_to_node.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    ids[i] = std::move(entries[i].id);
    slots[i] = entries[i].slot;
    g.slot_to_node[slots[i]] = i;
  }
  g.assign_nodes(std::move(ids), std::move(slots), std::move(levels), lists.layer_count());
  for (size_t l = 0; l < lists.layer_count(); ++l) {
    g.assign_layer(l, [&](uint32_t i) { return lists.list(l, i); });
  }
  g.entry_point = entry;
  g.max_level = max_level;
  return result;
}

}  // namespace tornquil
