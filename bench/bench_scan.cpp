// Benchmarks of the exact scan on 100,000 committed records of 384 dimensions with about 100
// bytes of metadata each, k = 10, against the bound the scan is measured by: scoring the
// same 100,000 vectors with the plain AVX2 kernel on every worker of the pool.
//
// The fixtures are built once each, directly with the store, the record table and the
// vector file, with the same vectors and metadata and two kinds of ids: random ones (like
// generated UUIDs: the walk in key order visits the store's pages and the slots in random
// order) and sequential ones (keys, pages and slots all in one order).
//
// Scans of tables this large walk the record table in parallel; the "single_walk" cases
// force the one-cursor walk that small tables and the fallback use, for comparison. The
// "columns" cases scan the record columns a collection keeps once its second scan has
// taken them out of the table: what a collection's searches read, filtered or not (and
// "columns_build" what taking them costs). With random ids the keys' order is not the
// slots' order, which is the scan's.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/worker_pool.hpp"
#include "search/distance.hpp"
#include "search/exact.hpp"
#include "search/filter.hpp"
#include "search/scan_columns.hpp"
#include "storage/kv_store.hpp"
#include "storage/records.hpp"
#include "storage/vector_file.hpp"

namespace tornquil {
namespace {

constexpr size_t kRecords = 100000;
constexpr size_t kDims = 384;
constexpr uint64_t kK = 10;

void die(const char* what, const CoreError& e) {
  std::fprintf(stderr, "%s: %s\n", what, e.render().c_str());
  std::exit(1);
}

std::vector<float> unit_vector(std::mt19937_64& rng) {
  std::normal_distribution<float> d;
  std::vector<float> v(kDims);
  for (float& x : v) x = d(rng);
  return prepare_vector(Metric::Cosine, v);
}

struct Fixture {
  std::filesystem::path dir;
  std::unique_ptr<KvStore> store;
  VectorStorage vectors;
  std::vector<float> query;
  std::vector<float> heap_copy;  // the same vectors in slot order, for the heap bound
  ScanColumnsCache columns;

  explicit Fixture(bool random_ids) {
    dir = std::filesystem::temp_directory_path() /
          ("tornquil_bench_scan_" + std::to_string(std::random_device()()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    auto s = KvStore::open((dir / "meta.redb").string());
    if (!s) die("open store", s.error());
    store = std::move(*s);
    auto v = create_vector_file((dir / "vectors.bin").string(), kDims);
    if (!v) die("create vectors", v.error());
    vectors = std::move(*v);

    std::mt19937_64 rng(42);
    std::mt19937_64 id_rng(7);
    auto txn = begin_write_txn(*store);
    if (!txn) die("begin write", txn.error());
    if (random_ids) heap_copy.reserve(kRecords * kDims);
    static const char* kSources[] = {"chat", "email", "notes", "web", "voice"};
    for (size_t i = 0; i < kRecords; ++i) {
      auto slot = append_slot(vectors);
      if (!slot) die("append slot", slot.error());
      const std::vector<float> vec = unit_vector(rng);
      if (auto w = write_vector(vectors, *slot, vec); !w) die("write vector", w.error());
      if (random_ids) heap_copy.insert(heap_copy.end(), vec.begin(), vec.end());
      char id[40];
      if (random_ids) {
        std::snprintf(id, sizeof(id), "%016llx-%04x", static_cast<unsigned long long>(id_rng()),
                      static_cast<unsigned>(i & 0xffff));
      } else {
        std::snprintf(id, sizeof(id), "mem-%08u", static_cast<unsigned>(i));
      }
      Record r;
      r.id = id;
      r.slot = *slot;
      // About 100 bytes; "category" matches one record in ten.
      r.metadata = "{\"category\":\"c" + std::to_string(i % 10) + "\",\"n\":" + std::to_string(i) +
                   ",\"source\":\"" + kSources[i % 5] +
                   "\",\"text\":\"remember the user prefers short answers\"}";
      r.created_at = 1700000000;
      if (auto p = put_record(*txn, r); !p) die("put record", p.error());
    }
    if (auto c = txn->commit(); !c) die("commit", c.error());
    query = unit_vector(rng);
  }

  ~Fixture() {
    store.reset();
    vectors = VectorStorage();
    std::filesystem::remove_all(dir);
  }
};

Fixture& fixture(bool random_ids) {
  if (random_ids) {
    static Fixture f(true);
    return f;
  }
  static Fixture f(false);
  return f;
}

std::optional<MetadataFilter> filter_from(const char* where_json) {
  auto v = parse_json(where_json);
  if (!v) std::exit(1);
  return parse_where_filter(*v);
}

// The bound: one full pass of single-kernel scores in slot order, placed by index.
void BM_Bound(benchmark::State& state, bool mapped) {
  if (!cpu_supports_avx2_fma()) {
    state.SkipWithError("no AVX2+FMA");
    return;
  }
  Fixture& f = fixture(true);
  std::vector<float> scores(kRecords);
  for (auto _ : state) {
    parallel_for(kRecords, 256, [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) {
        const float* b = mapped ? f.vectors.slot_view(i).data() : f.heap_copy.data() + i * kDims;
        scores[i] = dot_product_avx2(f.query.data(), b, kDims);
      }
    });
    benchmark::DoNotOptimize(scores.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  state.SetBytesProcessed(state.iterations() * kRecords * kDims * sizeof(float));
  state.counters["workers"] = worker_count();
}

// The walk alone: every value of table "records", in key order, on one thread.
void BM_Walk(benchmark::State& state, bool random_ids) {
  Fixture& f = fixture(random_ids);
  for (auto _ : state) {
    auto txn = begin_read_txn(*f.store);
    auto cursor = txn->cursor(kRecordsTable);
    std::string_view key, value;
    size_t n = 0;
    while (*cursor->next(key, value)) ++n;
    if (n != kRecords) state.SkipWithError("walk count");
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Scan(benchmark::State& state, bool random_ids, Metric metric, const char* where_json,
             bool single_walk) {
  Fixture& f = fixture(random_ids);
  ScanWalkTestHooks one_cursor;  // transactions = 1
  if (single_walk) TEST_set_scan_walk_hooks(&one_cursor);
  const std::optional<MetadataFilter> filter =
      where_json ? filter_from(where_json) : std::optional<MetadataFilter>();
  std::vector<float> query = f.query;
  if (metric == Metric::L2) {
    for (float& x : query) x *= 0.5f;
  }
  size_t hits = 0;
  for (auto _ : state) {
    auto r = scan_committed(*f.store, f.vectors, metric, query, kK, filter);
    if (!r) {
      TEST_set_scan_walk_hooks(nullptr);
      state.SkipWithError(r.error().render().c_str());
      return;
    }
    hits = r->size();
    benchmark::DoNotOptimize(r->data());
  }
  TEST_set_scan_walk_hooks(nullptr);
  state.SetItemsProcessed(state.iterations() * kRecords);
  state.counters["hits"] = static_cast<double>(hits);
  state.counters["workers"] = worker_count();
}

// Scans of the columns, taken by the first two scans.
void BM_Columns(benchmark::State& state, bool random_ids, const char* where_json) {
  Fixture& f = fixture(random_ids);
  const std::optional<MetadataFilter> filter =
      where_json ? filter_from(where_json) : std::optional<MetadataFilter>();
  for (int i = 0; i < 2; ++i) {
    auto r = scan_committed(*f.store, f.vectors, Metric::Cosine, f.query, kK, filter, nullptr,
                            &f.columns);
    if (!r) {
      state.SkipWithError(r.error().render().c_str());
      return;
    }
  }
  if (!f.columns.TEST_state()) {
    state.SkipWithError("no columns");
    return;
  }
  size_t hits = 0;
  for (auto _ : state) {
    auto r = scan_committed(*f.store, f.vectors, Metric::Cosine, f.query, kK, filter, nullptr,
                            &f.columns);
    hits = r ? r->size() : 0;
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  state.counters["hits"] = static_cast<double>(hits);
}

// What taking the columns out of the table costs: a fresh cache's first scan walks, its
// second builds the columns and scans them.
void BM_ColumnsBuild(benchmark::State& state, bool random_ids) {
  Fixture& f = fixture(random_ids);
  for (auto _ : state) {
    ScanColumnsCache cache;
    for (int i = 0; i < 2; ++i) {
      auto r = scan_committed(*f.store, f.vectors, Metric::Cosine, f.query, kK, std::nullopt,
                              nullptr, &cache);
      benchmark::DoNotOptimize(r);
    }
    if (cache.TEST_builds() != 1) state.SkipWithError("no build");
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void register_all() {
  auto ms = [](benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime();
  };
  ms(benchmark::RegisterBenchmark("bound/avx2_dot/mapped/100000x384", BM_Bound, true));
  ms(benchmark::RegisterBenchmark("bound/avx2_dot/heap/100000x384", BM_Bound, false));
  for (bool random_ids : {true, false}) {
    const std::string ids = random_ids ? "random_ids" : "sequential_ids";
    ms(benchmark::RegisterBenchmark(("walk/" + ids + "/100000").c_str(), BM_Walk, random_ids));
    struct Case {
      const char* name;
      Metric metric;
      const char* where_json;
      bool single_walk;
    };
    const Case cases[] = {
        {"cosine/unfiltered", Metric::Cosine, nullptr, false},
        {"l2/unfiltered", Metric::L2, nullptr, false},
        {"cosine/empty_filter", Metric::Cosine, "{}", false},
        {"cosine/filter_eq_one_field", Metric::Cosine, "{\"category\": \"c3\"}", false},
        {"cosine/filter_range_one_field", Metric::Cosine, "{\"n\": {\"$gte\": 50000}}", false},
        {"cosine/unfiltered_single_walk", Metric::Cosine, nullptr, true},
        {"cosine/filter_eq_one_field_single_walk", Metric::Cosine, "{\"category\": \"c3\"}", true},
    };
    for (const Case& c : cases) {
      ms(benchmark::RegisterBenchmark(("scan/" + ids + "/" + c.name + "/k10").c_str(), BM_Scan,
                                      random_ids, c.metric, c.where_json, c.single_walk));
    }
    const std::pair<const char*, const char*> column_cases[] = {
        {"unfiltered", nullptr},
        {"empty_filter", "{}"},
        {"filter_eq_one_field", "{\"category\": \"c3\"}"},
        {"filter_range_half", "{\"n\": {\"$gte\": 50000}}"},
        {"filter_in_one_field", "{\"source\": {\"$in\": [\"chat\", \"web\"]}}"},
    };
    ms(benchmark::RegisterBenchmark(("columns_build/" + ids + "/walk_then_build").c_str(),
                                    BM_ColumnsBuild, random_ids));
    for (const auto& [name, where_json] : column_cases) {
      ms(benchmark::RegisterBenchmark(("columns/" + ids + "/cosine/" + name + "/k10").c_str(),
                                      BM_Columns, random_ids, where_json));
    }
  }
}

}  // namespace
}  // namespace tornquil

int main(int argc, char** argv) {
  tornquil::register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
