// The full index rebuild against hnswlib on the same data: 100,000 vectors of 384
// dimensions shaped like embeddings (component i scaled by 1/sqrt(i), a random rotation,
// unit length), m = 16, m0 = 32, ef_construction = 200, on the worker pool; hnswlib with
// M = 16, ef_construction = 200 on as many threads, inserting through addPoint. Both are
// compiled with the project's flags. Prints the build profile, where the setup time went,
// both wall times and their ratio, and the recall@10 of a plain beam search (ef 100) over
// each graph against brute force, so that speed is not bought with a worse graph.
//
// Then the query on the same two graphs, one thread, for 1000 held-out queries: recall@10
// against brute force and queries per second, through the core (hnsw_search, whose hits are
// looked up by id in the record table) at ef_search 20 to 200 and through hnswlib's
// searchKnn at ef 50 to 800, so that the two curves overlap in recall; then the core's QPS
// at each of hnswlib's recalls, interpolated between efs, and the ratio of the two. The
// core's time is also given without the record lookups (the descent and the layer-0 beam
// alone), so the cost of each part shows, with a digest of every walk's nodes and scores
// for comparing two builds. Each figure is the median of a few alternating rounds.
//
// Last, where a query's time goes: how many vectors each side scores per query (counted in
// untimed passes: hnswlib through a counting wrapper around its distance function, ours by
// tracing the same walk in this file and checking that it ends with the core's list), the
// time per scored vector, and what the core's scorer takes per vector over lists of random
// nodes, which is what one thread pays to read a vector that is not in its cache.
//
// Usage: bench_hnsw [nodes [rounds [graph_file]]]   (defaults 100000, 3, none)
//
// The incremental case instead (`bench_hnsw incremental ...`): clustered data (cluster
// sizes uneven, centres far apart), a full rebuild of the first 10 % of the records and
// the other 90 % added on the incremental road, one record at a time on one thread; beside
// it a full rebuild of all records and hnswlib built the same way (the first 10 % added,
// then the other 90 %, both steps on every worker). m 16, m0 32, m_max 16, ef_construction
// 100; hnswlib M 16, ef_construction 100. Reports the road's time per inserted record, how
// many layer-0 nodes nothing links to and how many the entry point reaches on layer 0, then
// for ef_search 50, 64, 100 and 200, one thread, 1000 held-out queries from the same clusters:
// recall@10 against brute force, QPS, and how many of 2000 stored vectors (1000 of the
// rebuilt part, 1000 of the added part) find themselves among their own top 10. Last, runs
// of the road that add ten records or one to each graph: what a record costs and what a run
// costs whatever it adds.
//
// Usage: bench_hnsw incremental [nodes [dims [clusters [metric [spread [rounds]]]]]]
//        (defaults 30000, 128, 300, l2, 0.35, 3; metric l2 or cosine)
#include <hnswlib/hnswlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "base/platform.hpp"
#include "base/worker_pool.hpp"
#include "search/distance.hpp"
#include "search/hnsw/insert.hpp"
#include "search/hnsw/persist.hpp"
#include "search/hnsw/query.hpp"
#include "search/hnsw/rebuild.hpp"
#include "search/hnsw/walk.hpp"
#include "storage/kv_store.hpp"
#include "storage/records.hpp"
#include "storage/vector_file.hpp"

namespace tq = tornquil;

namespace {

constexpr size_t kDims = 384;

double secs(uint64_t ns) { return static_cast<double>(ns) / 1e9; }

// n embedding-like unit vectors, row-major.
std::vector<float> make_data(size_t n) {
  std::mt19937_64 rng(42);
  std::normal_distribution<float> normal;
  // A random rotation: Gram-Schmidt over Gaussian rows.
  std::vector<float> q(kDims * kDims);
  for (float& x : q) x = normal(rng);
  for (size_t r = 0; r < kDims; ++r) {
    float* row = &q[r * kDims];
    for (size_t p = 0; p < r; ++p) {
      const float* prev = &q[p * kDims];
      double dot = 0;
      for (size_t j = 0; j < kDims; ++j) dot += double(row[j]) * prev[j];
      for (size_t j = 0; j < kDims; ++j) row[j] -= float(dot) * prev[j];
    }
    double norm = 0;
    for (size_t j = 0; j < kDims; ++j) norm += double(row[j]) * row[j];
    for (size_t j = 0; j < kDims; ++j) row[j] = float(row[j] / std::sqrt(norm));
  }
  std::vector<float> raw(n * kDims);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < kDims; ++j) raw[i * kDims + j] = normal(rng) / std::sqrt(float(j + 1));
  }
  std::vector<float> out(n * kDims);
  tq::parallel_for(n, 256, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      const float* x = &raw[i * kDims];
      float* y = &out[i * kDims];
      double norm = 0;
      for (size_t r = 0; r < kDims; ++r) {
        float s = 0;
        for (size_t j = 0; j < kDims; ++j) s += q[r * kDims + j] * x[j];
        y[r] = s;
        norm += double(s) * s;
      }
      for (size_t r = 0; r < kDims; ++r) y[r] = float(y[r] / std::sqrt(norm));
    }
  });
  return out;
}

// Each row of `data` in a new slot of the vector file, as record "id<row>".
bool store_vectors(tq::VectorStorage& storage, const std::vector<float>& data, size_t dims,
                   std::vector<tq::LiveEntry>& entries) {
  const size_t n = data.size() / dims;
  entries.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const auto slot = tq::append_slot(storage);
    if (!slot || !tq::write_vector(storage, *slot, std::span(&data[i * dims], dims))) return false;
    entries[i] = tq::LiveEntry{*slot, "id" + std::to_string(i)};
  }
  return true;
}

// An Active record without metadata for every entry, in one transaction.
bool put_active_records(tq::KvStore& store, const std::vector<tq::LiveEntry>& entries) {
  auto txn = tq::begin_write_txn(store);
  if (!txn) return false;
  for (const tq::LiveEntry& e : entries) {
    tq::Record r;
    r.id = e.id;
    r.slot = e.slot;
    r.metadata = "{}";
    r.state = tq::RecordState::Active;
    if (!tq::put_record(*txn, r)) return false;
  }
  return txn->commit().has_value();
}

// Beam search over layer 0 of a graph given by `neighbors`, from `entry`; best ef by
// inner product, the first k returned.
template <class Neighbors>
std::vector<uint32_t> beam_search(const std::vector<float>& data, const float* query,
                                  uint32_t entry, size_t ef, size_t k, const Neighbors& neighbors,
                                  std::vector<uint32_t>& seen, uint32_t epoch) {
  using P = std::pair<float, uint32_t>;
  auto score = [&](uint32_t i) {
    return tq::distance(tq::Metric::Dot, query, &data[i * kDims], kDims);
  };
  std::priority_queue<P> cand;                                   // best on top
  std::priority_queue<P, std::vector<P>, std::greater<P>> best;  // worst on top
  seen[entry] = epoch;
  cand.push({score(entry), entry});
  best.push(cand.top());
  while (!cand.empty()) {
    const P c = cand.top();
    cand.pop();
    if (best.size() >= ef && c.first < best.top().first) break;
    for (const uint32_t e : neighbors(c.second)) {
      if (seen[e] == epoch) continue;
      seen[e] = epoch;
      const float s = score(e);
      if (best.size() < ef || s > best.top().first) {
        cand.push({s, e});
        best.push({s, e});
        if (best.size() > ef) best.pop();
      }
    }
  }
  std::vector<P> all;
  while (!best.empty()) {
    all.push_back(best.top());
    best.pop();
  }
  std::sort(all.rbegin(), all.rend());
  std::vector<uint32_t> ids;
  for (size_t i = 0; i < std::min(k, all.size()); ++i) ids.push_back(all[i].second);
  return ids;
}

template <class Neighbors>
double recall_at_10(const std::vector<float>& data, size_t n, uint32_t entry,
                    const Neighbors& neighbors) {
  constexpr size_t kQueries = 200;
  std::vector<uint32_t> seen(n, 0);
  size_t hit = 0;
  for (size_t q = 0; q < kQueries; ++q) {
    const size_t qi = (q * 7919) % n;
    const float* query = &data[qi * kDims];
    std::vector<std::pair<float, uint32_t>> exact(n);
    for (uint32_t i = 0; i < n; ++i) {
      exact[i] = {-tq::distance(tq::Metric::Dot, query, &data[i * kDims], kDims), i};
    }
    std::partial_sort(exact.begin(), exact.begin() + 10, exact.end());
    std::unordered_set<uint32_t> truth;
    for (size_t i = 0; i < 10; ++i) truth.insert(exact[i].second);
    for (uint32_t id :
         beam_search(data, query, entry, 100, 10, neighbors, seen, static_cast<uint32_t>(q + 1))) {
      hit += truth.count(id);
    }
  }
  return double(hit) / (kQueries * 10);
}

constexpr size_t kQueries = 1000;

// The ids of the exact top 10 of every query, by inner product (the data is unit length).
std::vector<std::vector<uint32_t>> exact_top10(const std::vector<float>& data, size_t n,
                                               const float* queries) {
  std::vector<std::vector<uint32_t>> truth(kQueries);
  tq::parallel_for(kQueries, 1, [&](size_t b, size_t e) {
    std::vector<std::pair<float, uint32_t>> all(n);
    for (size_t q = b; q < e; ++q) {
      for (uint32_t i = 0; i < n; ++i) {
        all[i] = {-tq::distance(tq::Metric::Dot, &queries[q * kDims], &data[i * kDims], kDims), i};
      }
      std::partial_sort(all.begin(), all.begin() + 10, all.end());
      for (size_t i = 0; i < 10; ++i) truth[q].push_back(all[i].second);
    }
  });
  return truth;
}

size_t overlap(const std::vector<uint32_t>& found, const std::vector<uint32_t>& truth) {
  size_t hit = 0;
  for (const uint32_t id : found) hit += std::count(truth.begin(), truth.end(), id);
  return hit;
}

// hnswlib's own distance function and how often it ran; the counting pass swaps the
// wrapper in and the timed passes run without it.
hnswlib::DISTFUNC<float> peer_distance = nullptr;
uint64_t peer_distances = 0;
float counted_peer_distance(const void* a, const void* b, const void* param) {
  ++peer_distances;
  return peer_distance(a, b, param);
}

// The core's query walk traced step by step, counting every vector it scores: the greedy
// descent through the upper layers, then the layer-0 beam of width ef. `walk` receives the
// beam's result, best first, to be compared with the core's.
uint64_t traced_walk(const tq::HnswGraph& g, const tq::NodeScorer& score, size_t ef,
                     std::vector<uint32_t>& seen, uint32_t epoch, std::vector<uint32_t>& walk) {
  uint64_t scored = 1;
  uint32_t cur = *g.entry_point;
  float best = score(cur);
  for (size_t l = g.max_level; l >= 1; --l) {
    for (bool moved = true; moved;) {
      moved = false;
      uint32_t chosen = cur;
      for (const uint32_t e : g.neighbors(l, cur)) {
        ++scored;
        const float s = score(e);
        if (s > best) {
          best = s;
          chosen = e;
          moved = true;
        }
      }
      cur = chosen;
    }
  }
  using P = std::pair<float, uint32_t>;
  std::priority_queue<P> cand;                                   // best on top
  std::priority_queue<P, std::vector<P>, std::greater<P>> kept;  // worst on top
  seen[cur] = epoch;
  cand.push({score(cur), cur});
  ++scored;
  kept.push(cand.top());
  while (!cand.empty()) {
    const P c = cand.top();
    cand.pop();
    if (kept.size() >= ef && kept.top().first >= c.first) break;
    for (const uint32_t e : g.neighbors(0, c.second)) {
      if (seen[e] == epoch) continue;
      seen[e] = epoch;
      ++scored;
      const float s = score(e);
      if (kept.size() >= ef && kept.top().first >= s) continue;
      cand.push({s, e});
      kept.push({s, e});
      if (kept.size() > ef) kept.pop();
    }
  }
  walk.clear();
  for (; !kept.empty(); kept.pop()) walk.push_back(kept.top().second);
  std::reverse(walk.begin(), walk.end());
  return scored;
}

// One timed pass over the held-out queries.
struct Pass {
  size_t hits = 0;
  uint64_t ns = 0;
  uint64_t digest = 0xcbf29ce484222325ull;
};

uint64_t mix(uint64_t h, uint32_t v) {
  for (int i = 0; i < 4; ++i) h = (h ^ ((v >> (8 * i)) & 0xff)) * 0x100000001b3ull;
  return h;
}

struct Point {
  double recall;
  double qps;
};

// Prints the recall and the median time of the passes of one configuration.
Point report(const char* who, size_t ef, const std::vector<Pass>& passes) {
  std::vector<uint64_t> ns;
  for (const Pass& p : passes) ns.push_back(p.ns);
  std::sort(ns.begin(), ns.end());
  const uint64_t med = ns[ns.size() / 2];
  const double recall = double(passes[0].hits) / (kQueries * 10);
  const double qps = kQueries / secs(med);
  std::printf("  ef %3zu  %-22s recall@10 %.3f  %8.0f QPS  %7.1f us/query\n", ef, who, recall, qps,
              med / 1e3 / kQueries);
  return {recall, qps};
}

// ---- The incremental case ----

// n + kQueries clustered vectors of `dims` floats: cluster k is drawn with weight
// 1 / sqrt(k + 1), its centre is N(0, 1) per component and its points spread
// N(0, spread) around it. Unit length for cosine.
std::vector<float> make_clustered(size_t n, size_t dims, size_t clusters, float spread, bool unit) {
  std::mt19937_64 rng(7);
  std::normal_distribution<float> normal;
  std::vector<float> centres(clusters * dims);
  for (float& x : centres) x = normal(rng);
  std::vector<double> weights(clusters);
  for (size_t k = 0; k < clusters; ++k) weights[k] = 1.0 / std::sqrt(double(k + 1));
  std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
  std::vector<float> out(n * dims);
  for (size_t i = 0; i < n; ++i) {
    const size_t k = pick(rng);
    float* y = &out[i * dims];
    double norm = 0;
    for (size_t j = 0; j < dims; ++j) {
      y[j] = centres[k * dims + j] + spread * normal(rng);
      norm += double(y[j]) * y[j];
    }
    if (unit) {
      for (size_t j = 0; j < dims; ++j) y[j] = float(y[j] / std::sqrt(norm));
    }
  }
  return out;
}

// Layer-0 nodes that no list names (the entry point aside), and the share of nodes the
// entry point reaches on layer 0.
void report_links(const char* who, const tq::HnswGraph& g) {
  const uint32_t n = g.node_count();
  std::vector<uint32_t> in(n, 0);
  for (uint32_t i = 0; i < n; ++i) {
    for (const uint32_t e : g.neighbors(0, i)) ++in[e];
  }
  size_t orphans = 0;
  for (uint32_t i = 0; i < n; ++i) orphans += in[i] == 0 && i != *g.entry_point ? 1 : 0;
  std::vector<uint8_t> seen(n, 0);
  std::vector<uint32_t> todo = {*g.entry_point};
  seen[*g.entry_point] = 1;
  size_t reached = 1;
  while (!todo.empty()) {
    const uint32_t c = todo.back();
    todo.pop_back();
    for (const uint32_t e : g.neighbors(0, c)) {
      if (!seen[e]) {
        seen[e] = 1;
        ++reached;
        todo.push_back(e);
      }
    }
  }
  size_t links = 0;
  for (uint32_t i = 0; i < n; ++i) links += g.neighbors(0, i).size();
  std::printf("  %-26s mean layer-0 degree %5.1f, %6zu nodes without a link in, %.4f reached\n",
              who, double(links) / n, orphans, double(reached) / n);
}

int run_incremental(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 30000;
  const size_t dims = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const size_t clusters = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 300;
  const std::string metric_name = argc > 4 ? argv[4] : "l2";
  const float spread = argc > 5 ? std::strtof(argv[5], nullptr) : 0.35f;
  const size_t rounds = std::max<size_t>(1, argc > 6 ? std::strtoull(argv[6], nullptr, 10) : 3);
  const bool cosine = metric_name == "cosine";
  const tq::Metric metric = cosine ? tq::Metric::Cosine : tq::Metric::L2;
  const size_t base = n / 10;
  std::printf(
      "incremental: nodes %zu (rebuilt %zu, then %zu added), dims %zu, clusters %zu, spread "
      "%.2f, %s, workers %u\n",
      n, base, n - base, dims, clusters, spread, metric_name.c_str(), tq::worker_count());
  std::vector<float> data = make_clustered(n + kQueries, dims, clusters, spread, cosine);
  const std::vector<float> queries(data.begin() + n * dims, data.end());
  data.resize(n * dims);

  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("tornquil-bench-hnsw-inc-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto storage = tq::create_vector_file((dir / "vectors.bin").string(), dims);
  if (!storage) return 1;
  std::vector<tq::LiveEntry> entries;
  if (!store_vectors(*storage, data, dims, entries)) return 1;
  auto store = tq::KvStore::open((dir / "meta.redb").string());
  if (!store || !put_active_records(**store, entries)) return 1;

  tq::HnswConfig config;
  config.m = 16;
  config.m0 = 32;
  config.m_max = 16;
  config.ef_construction = 100;
  config.ef_search = 50;
  config.level_multiplier = 1.0 / std::log(16.0);

  std::printf("building:\n");
  uint64_t t0 = tq::platform::monotonic_ns();
  tq::HnswIndex full(tq::rebuild_graph(entries, *storage, dims, config, metric).graph, metric);
  std::printf("  full rebuild of %zu: %.2f s\n", n, secs(tq::platform::monotonic_ns() - t0));
  const std::vector<tq::LiveEntry> first(entries.begin(), entries.begin() + base);
  tq::HnswIndex grown(tq::rebuild_graph(first, *storage, dims, config, metric).graph, metric);
  t0 = tq::platform::monotonic_ns();
  tq::insert_nodes(grown, std::span(entries).subspan(base), *storage);
  const uint64_t road_ns = tq::platform::monotonic_ns() - t0;
  std::printf("  incremental road, %zu records: %.2f s, %.1f us per inserted record\n", n - base,
              secs(road_ns), double(road_ns) / 1e3 / double(n - base));

  std::unique_ptr<hnswlib::SpaceInterface<float>> space;
  if (cosine) {
    space = std::make_unique<hnswlib::InnerProductSpace>(dims);
  } else {
    space = std::make_unique<hnswlib::L2Space>(dims);
  }
  hnswlib::HierarchicalNSW<float> peer(space.get(), n, 16, 100, 42);
  t0 = tq::platform::monotonic_ns();
  for (const auto& [from, to] : {std::pair<size_t, size_t>{0, base}, {base, n}}) {
    std::atomic<size_t> next{from};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < tq::worker_count(); ++t) {
      pool.emplace_back([&] {
        for (size_t i; (i = next.fetch_add(1)) < to;) peer.addPoint(&data[i * dims], i);
      });
    }
    for (auto& th : pool) th.join();
  }
  std::printf("  hnswlib in two steps: %.2f s\n", secs(tq::platform::monotonic_ns() - t0));
  report_links("full rebuild", *full.read_graph());
  report_links("rebuild 10% + road 90%", *grown.read_graph());

  // The exact top 10 of every held-out query, and of 2000 stored vectors.
  std::vector<size_t> own;
  for (size_t i = 0; i < 1000; ++i) own.push_back(i * base / 1000);
  for (size_t i = 0; i < 1000; ++i) own.push_back(base + i * (n - base) / 1000);
  std::vector<std::vector<uint32_t>> truth(kQueries);
  tq::parallel_for(kQueries, 1, [&](size_t b, size_t e) {
    std::vector<std::pair<float, uint32_t>> all(n);
    for (size_t q = b; q < e; ++q) {
      for (uint32_t i = 0; i < n; ++i) {
        const float d = tq::distance(metric, &queries[q * dims], &data[i * dims], dims);
        all[i] = {cosine ? -d : d, i};
      }
      std::partial_sort(all.begin(), all.begin() + 10, all.end());
      for (size_t i = 0; i < 10; ++i) truth[q].push_back(all[i].second);
    }
  });

  const auto core_top10 = [&](tq::HnswIndex& index, const float* q) {
    auto found = tq::hnsw_search(index, std::span(q, dims), 10, *storage, **store);
    if (!found) std::abort();
    std::vector<uint32_t> got;
    for (const tq::SearchHit& h : *found) got.push_back(std::stoul(h.id.substr(2)));
    return got;
  };
  const auto peer_top10 = [&](const float* q) {
    auto pq = peer.searchKnn(q, 10);
    std::vector<uint32_t> got;
    for (; !pq.empty(); pq.pop()) got.push_back(static_cast<uint32_t>(pq.top().second));
    return got;
  };
  struct Row {
    double recall = 0, qps = 0, own_old = 0, own_new = 0;
  };
  // One configuration: recall and the median QPS over the rounds, then the own-vector
  // searches (untimed).
  const auto measure = [&](auto&& top10, auto&& set_ef, size_t ef) {
    set_ef(ef);
    Row row;
    std::vector<uint64_t> ns;
    size_t hits = 0;
    for (size_t r = 0; r < rounds; ++r) {
      hits = 0;
      const uint64_t start = tq::platform::monotonic_ns();
      for (size_t q = 0; q < kQueries; ++q) hits += overlap(top10(&queries[q * dims]), truth[q]);
      ns.push_back(tq::platform::monotonic_ns() - start);
    }
    std::sort(ns.begin(), ns.end());
    row.recall = double(hits) / (kQueries * 10);
    row.qps = kQueries / secs(ns[ns.size() / 2]);
    for (size_t j = 0; j < own.size(); ++j) {
      const auto got = top10(&data[own[j] * dims]);
      const bool found = std::count(got.begin(), got.end(), uint32_t(own[j])) > 0;
      (j < 1000 ? row.own_old : row.own_new) += found ? 1.0 / 1000 : 0;
    }
    return row;
  };
  std::printf(
      "query, one thread, %zu held-out queries, k = 10, median of %zu rounds; own = "
      "stored vectors found in their own top 10 (rebuilt part / added part):\n",
      kQueries, rounds);
  for (const size_t ef : {50, 64, 100, 200}) {
    const Row f = measure([&](const float* q) { return core_top10(full, q); },
                          [&](size_t e) { full.write_graph()->config.ef_search = e; }, ef);
    const Row g = measure([&](const float* q) { return core_top10(grown, q); },
                          [&](size_t e) { grown.write_graph()->config.ef_search = e; }, ef);
    const Row p = measure(
        peer_top10, [&](size_t e) { peer.setEf(e); }, ef);
    for (const auto& [who, r] : {std::pair<const char*, const Row&>{"full rebuild", f},
                                 {"rebuild 10% + road 90%", g},
                                 {"hnswlib in two steps", p}}) {
      std::printf("  ef %3zu  %-24s recall@10 %.3f  %8.0f QPS  own %.3f / %.3f\n", ef, who,
                  r.recall, r.qps, r.own_old, r.own_new);
    }
  }

  // What one run of the road costs however few records it adds. Each graph takes a first
  // run of ten records (held-out queries, now stored), then nine more runs of ten and nine
  // runs of one, as an agent adds a few records before each search. With t1 and t10 the
  // medians of the later runs of one and of ten records, a record costs (t10 - t1) / 9 and
  // the run itself, whatever it adds, (10 t1 - t10) / 9.
  constexpr size_t kRuns = 9;
  constexpr size_t kPerGraph = 10 + kRuns * 10 + kRuns;
  std::vector<tq::LiveEntry> few;
  if (!store_vectors(*storage,
                     std::vector<float>(queries.begin(), queries.begin() + 2 * kPerGraph * dims),
                     dims, few)) {
    return 1;
  }
  for (tq::LiveEntry& e : few) e.id = "q" + e.id;
  std::printf("runs of the road, %zu nodes at the start:\n", n);
  for (const auto& [who, index, from] :
       {std::tuple<const char*, tq::HnswIndex*, size_t>{"full rebuild", &full, 0},
        {"rebuild 10% + road 90%", &grown, kPerGraph}}) {
    size_t at = from;
    const auto run = [&, index = index](size_t count) {
      const uint64_t start = tq::platform::monotonic_ns();
      tq::insert_nodes(*index, std::span(few).subspan(at, count), *storage);
      at += count;
      return double(tq::platform::monotonic_ns() - start) / 1e6;
    };
    const auto median = [&](size_t count) {
      std::vector<double> ms;
      for (size_t r = 0; r < kRuns; ++r) ms.push_back(run(count));
      std::sort(ms.begin(), ms.end());
      return ms[ms.size() / 2];
    };
    const double first = run(10);
    const double t10 = median(10);
    const double t1 = median(1);
    std::printf(
        "  %-24s first run of 10 %7.2f ms; later runs: of 10 %7.2f ms, of 1 %7.2f ms; "
        "per record %6.3f ms, per run %6.3f ms\n",
        who, first, t10, t1, (t10 - t1) / 9, (10 * t1 - t10) / 9);
  }
  store->reset();
  std::filesystem::remove_all(dir);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "incremental") return run_incremental(argc - 1, argv + 1);
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const size_t rounds = std::max<size_t>(1, argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 3);
  const unsigned threads = tq::worker_count();
  std::printf("nodes %zu, dims %zu, workers %u\n", n, kDims, threads);
  // The first n rows are the data set; the rows after them are held-out queries.
  std::vector<float> data = make_data(n + kQueries);
  const std::vector<float> queries(data.begin() + n * kDims, data.end());
  data.resize(n * kDims);

  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("tornquil-bench-hnsw-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto storage = tq::create_vector_file((dir / "vectors.bin").string(), kDims);
  if (!storage) return 1;
  std::vector<tq::LiveEntry> entries;
  if (!store_vectors(*storage, data, kDims, entries)) return 1;

  tq::HnswConfig config;
  config.m = 16;
  config.m0 = 32;
  config.m_max = 16;
  config.ef_construction = 200;
  config.ef_search = 50;
  config.level_multiplier = 1.0 / std::log(16.0);

  // A graph file given on the command line is written by the first run and read by the
  // next ones instead of rebuilding, so that two builds of the query walk the same graph
  // (the parallel rebuild does not give the same graph twice).
  const std::string graph_file = argc > 3 ? argv[3] : "";
  tq::HnswGraph graph;
  uint64_t t0 = tq::platform::monotonic_ns();
  double ours_s = 0;
  if (!graph_file.empty() && std::filesystem::exists(graph_file)) {
    auto loaded = tq::load_index(graph_file, tq::Metric::Cosine);
    if (!loaded) return 1;
    graph = *(*loaded)->read_graph();
    std::printf("ours: graph read from %s\n", graph_file.c_str());
  } else {
    tq::RebuildResult ours =
        tq::rebuild_graph(entries, *storage, kDims, config, tq::Metric::Cosine);
    ours_s = secs(tq::platform::monotonic_ns() - t0);
    std::printf(
        "setup: levels+lists %.3f s, vector copy %.3f s, training %.3f s, encoding %.3f s\n",
        secs(ours.setup.levels), secs(ours.setup.fetch), secs(ours.setup.train),
        secs(ours.setup.encode));
    std::printf("ours: %.2f s, %zu batches\n", ours_s, size_t(ours.batches));
    graph = std::move(ours.graph);
    if (!graph_file.empty() && !tq::save_index(graph, graph_file)) return 1;
  }
  size_t links = 0;
  for (uint32_t i = 0; i < n; ++i) links += graph.neighbors(0, i).size();
  std::printf("mean layer-0 degree %.1f\n", double(links) / n);

  hnswlib::InnerProductSpace space(kDims);
  hnswlib::HierarchicalNSW<float> peer(&space, n, 16, 200, 42);
  t0 = tq::platform::monotonic_ns();
  {
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
      pool.emplace_back([&] {
        for (size_t i; (i = next.fetch_add(1)) < n;) peer.addPoint(&data[i * kDims], i);
      });
    }
    for (auto& th : pool) th.join();
  }
  const double peer_s = secs(tq::platform::monotonic_ns() - t0);
  std::printf("hnswlib: %.2f s\n", peer_s);
  if (ours_s > 0) std::printf("ratio ours / hnswlib: %.3f\n", ours_s / peer_s);

  const double ours_recall =
      recall_at_10(data, n, *graph.entry_point, [&](uint32_t i) { return graph.neighbors(0, i); });
  // hnswlib's own layer 0 from its entry point; its labels are the node indices.
  const auto peer_neighbors = [&](uint32_t i) {
    unsigned int* ll = peer.get_linklist0(i);
    return std::span<const uint32_t>(ll + 1, peer.getListCount(ll));
  };
  const double peer_recall =
      recall_at_10(data, n, static_cast<uint32_t>(peer.enterpoint_node_), peer_neighbors);
  std::printf("recall@10 of a layer-0 beam search (ef 100): ours %.3f, hnswlib %.3f\n", ours_recall,
              peer_recall);

  // ---- The query ----
  auto store = tq::KvStore::open((dir / "meta.redb").string());
  if (!store || !put_active_records(**store, entries)) return 1;
  const auto truth = exact_top10(data, n, queries.data());
  tq::HnswIndex index(std::move(graph), tq::Metric::Cosine);
  std::printf("query, one thread, %zu held-out queries, k = 10, median of %zu rounds:\n", kQueries,
              rounds);
  // Ours below ef 50 too, and hnswlib above 200, so that the two curves overlap in recall.
  const std::vector<size_t> our_efs = {20, 30, 40, 50, 100, 200};
  const std::vector<size_t> peer_efs = {50, 100, 200, 400, 800};

  // One timed pass of the core query over every held-out query.
  const auto run_core = [&](size_t ef) {
    index.write_graph()->config.ef_search = ef;
    Pass p;
    const uint64_t t0 = tq::platform::monotonic_ns();
    for (size_t q = 0; q < kQueries; ++q) {
      auto found =
          tq::hnsw_search(index, std::span(&queries[q * kDims], kDims), 10, *storage, **store);
      if (!found) std::abort();
      std::vector<uint32_t> got;
      for (const tq::SearchHit& h : *found) got.push_back(std::stoul(h.id.substr(2)));
      p.hits += overlap(got, truth[q]);
    }
    p.ns = tq::platform::monotonic_ns() - t0;
    return p;
  };
  // The walk alone: descent and layer-0 beam of the same width, no record lookups. The
  // digest covers every node and score bit of every walk, so two builds can be compared
  // for identical results.
  const auto run_walk = [&](size_t ef) {
    Pass p;
    const uint64_t t0 = tq::platform::monotonic_ns();
    auto g = index.read_graph();
    const size_t beam = tq::query_beam_width(ef, 10);
    for (size_t q = 0; q < kQueries; ++q) {
      const std::span<const float> query(&queries[q * kDims], kDims);
      uint32_t cur = *g->entry_point;
      for (size_t l = g->max_level; l >= 1; --l) {
        cur = tq::greedy_closest(*g, query, cur, l, *storage, tq::Metric::Cosine);
      }
      const auto w = tq::search_base_layer(*g, query, cur, beam, *storage, tq::Metric::Cosine);
      std::vector<uint32_t> got;
      for (size_t i = 0; i < std::min<size_t>(10, w.size()); ++i) got.push_back(w[i].node);
      p.hits += overlap(got, truth[q]);
      for (const tq::ScoredNode& sn : w) {
        p.digest = mix(p.digest, sn.node);
        p.digest = mix(p.digest, std::bit_cast<uint32_t>(sn.score));
      }
    }
    p.ns = tq::platform::monotonic_ns() - t0;
    return p;
  };
  const auto run_peer = [&](size_t ef) {
    peer.setEf(ef);
    Pass p;
    const uint64_t t0 = tq::platform::monotonic_ns();
    for (size_t q = 0; q < kQueries; ++q) {
      auto pq = peer.searchKnn(&queries[q * kDims], 10);
      std::vector<uint32_t> got;
      for (; !pq.empty(); pq.pop()) got.push_back(static_cast<uint32_t>(pq.top().second));
      p.hits += overlap(got, truth[q]);
    }
    p.ns = tq::platform::monotonic_ns() - t0;
    return p;
  };

  // Rounds alternate between the three, so that a noisy stretch of the machine falls on
  // all of them alike.
  std::vector<std::vector<Pass>> core(our_efs.size()), walk(our_efs.size()),
      peer_runs(peer_efs.size());
  for (size_t r = 0; r < rounds; ++r) {
    for (size_t i = 0; i < our_efs.size(); ++i) {
      core[i].push_back(run_core(our_efs[i]));
      walk[i].push_back(run_walk(our_efs[i]));
    }
    for (size_t i = 0; i < peer_efs.size(); ++i) peer_runs[i].push_back(run_peer(peer_efs[i]));
  }
  std::vector<Point> our_curve, peer_curve;
  for (size_t i = 0; i < our_efs.size(); ++i) {
    our_curve.push_back(report("core hnsw_search", our_efs[i], core[i]));
    report("core walk only", our_efs[i], walk[i]);
    std::printf("  ef %3zu  walk digest %016llx\n", our_efs[i],
                static_cast<unsigned long long>(walk[i][0].digest));
  }
  for (size_t i = 0; i < peer_efs.size(); ++i) {
    peer_curve.push_back(report("hnswlib searchKnn", peer_efs[i], peer_runs[i]));
  }
  // Ours at hnswlib's recall, interpolated linearly in recall between our two nearest efs.
  std::printf("at matched recall (core QPS interpolated on ef):\n");
  for (const Point& p : peer_curve) {
    for (size_t i = 0; i + 1 < our_curve.size(); ++i) {
      const Point& a = our_curve[i];
      const Point& b = our_curve[i + 1];
      if (p.recall < a.recall || p.recall > b.recall || b.recall == a.recall) continue;
      const double t = (p.recall - a.recall) / (b.recall - a.recall);
      const double qps = a.qps + t * (b.qps - a.qps);
      std::printf("  recall %.3f  core %8.0f QPS  hnswlib %8.0f QPS  ratio core / hnswlib %.2f\n",
                  p.recall, qps, p.qps, qps / p.qps);
      break;
    }
  }

  // ---- Where a query's time goes ----
  std::printf("vectors scored per query (untimed passes) and time per scored vector:\n");
  {
    auto g = index.read_graph();
    std::vector<uint32_t> seen(n, 0), traced;
    uint32_t epoch = 0;
    for (size_t i = 0; i < our_efs.size(); ++i) {
      const size_t beam = tq::query_beam_width(our_efs[i], 10);
      uint64_t scored = 0;
      size_t same = 0;
      for (size_t q = 0; q < kQueries; ++q) {
        const std::span<const float> query(&queries[q * kDims], kDims);
        const tq::NodeScorer score(*g, query, *storage, tq::Metric::Cosine);
        scored += traced_walk(*g, score, beam, seen, ++epoch, traced);
        uint32_t cur = *g->entry_point;
        for (size_t l = g->max_level; l >= 1; --l) {
          cur = tq::greedy_closest(*g, query, cur, l, *storage, tq::Metric::Cosine);
        }
        const auto w = tq::search_base_layer(*g, query, cur, beam, *storage, tq::Metric::Cosine);
        bool equal = w.size() == traced.size();
        for (size_t j = 0; equal && j < w.size(); ++j) equal = w[j].node == traced[j];
        same += equal ? 1 : 0;
      }
      std::vector<uint64_t> ns;
      for (const Pass& p : walk[i]) ns.push_back(p.ns);
      std::sort(ns.begin(), ns.end());
      const double per_query = double(scored) / kQueries;
      std::printf(
          "  ef %3zu  core walk      %6.0f vectors  %5.1f ns each  (trace = core walk in "
          "%zu of %zu queries)\n",
          our_efs[i], per_query, double(ns[ns.size() / 2]) / scored, same, kQueries);
    }
    peer_distance = peer.fstdistfunc_;
    peer.fstdistfunc_ = counted_peer_distance;
    for (size_t i = 0; i < peer_efs.size(); ++i) {
      peer_distances = 0;
      run_peer(peer_efs[i]);
      std::vector<uint64_t> ns;
      for (const Pass& p : peer_runs[i]) ns.push_back(p.ns);
      std::sort(ns.begin(), ns.end());
      std::printf("  ef %3zu  hnswlib        %6.0f vectors  %5.1f ns each\n", peer_efs[i],
                  double(peer_distances) / kQueries,
                  double(ns[ns.size() / 2]) / double(peer_distances));
    }
    peer.fstdistfunc_ = peer_distance;

    // The scorer over lists of 100 random nodes, about what the walk scores for each node it
    // expands here: nothing else runs, so this is the price of reading vectors that are not
    // in the cache.
    constexpr size_t kList = 100, kLists = 20000;
    std::mt19937 rng(7);
    std::vector<uint32_t> nodes(kList * kLists);
    for (uint32_t& x : nodes) x = static_cast<uint32_t>(rng() % n);
    std::vector<float> out(kList);
    std::vector<const float*> where(kList);
    const tq::NodeScorer score(*g, std::span(&queries[0], kDims), *storage, tq::Metric::Cosine);
    volatile float sink = 0;
    const uint64_t t0 = tq::platform::monotonic_ns();
    for (size_t l = 0; l < kLists; ++l) {
      score.score_list(&nodes[l * kList], kList, out.data(), where.data());
      sink = sink + out[0];
    }
    const double each = double(tq::platform::monotonic_ns() - t0) / double(nodes.size());
    std::printf("  the core's scorer alone, lists of %zu random nodes: %.1f ns per vector\n", kList,
                each);
  }

  store->reset();
  std::filesystem::remove_all(dir);
  return 0;
}
