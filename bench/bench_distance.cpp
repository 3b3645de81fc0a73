// Kernel benchmark: single scores at 384 dimensions on both kernel families, the
// four-vector variant against four single calls, and the bound of an exact scan (100,000
// stored vectors of 384 floats, 153.6 MB, scored against one query on the worker pool).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "base/worker_pool.hpp"
#include "search/distance.hpp"

namespace tornquil {
namespace {

constexpr size_t kDims = 384;
// Enough stored vectors (1.5 MB) that the scores are not all answered from the L1 cache.
constexpr size_t kStored = 1024;
constexpr size_t kScanVectors = 100000;

std::vector<float> random_floats(size_t n, uint64_t seed) {
  std::vector<float> v(n);
  uint64_t s = seed;
  for (float& x : v) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    x = static_cast<float>(static_cast<int32_t>(s >> 32)) * 0x1p-31f;
  }
  return v;
}

bool skip_unless_runnable(benchmark::State& state, KernelPath p) {
  if (p == KernelPath::Avx2 && !cpu_supports_avx2_fma()) {
    state.SkipWithError("no AVX2+FMA on this processor");
    return true;
  }
  return false;
}

// One query against kStored vectors in turn, one call per score.
void BM_Distance(benchmark::State& state, KernelPath p, Metric m) {
  if (skip_unless_runnable(state, p)) return;
  const std::vector<float> q = random_floats(kDims, 1);
  const std::vector<float> stored = random_floats(kDims * kStored, 2);
  const DistanceFn kernel = distance_kernel(p, m);
  size_t j = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(kernel(q.data(), stored.data() + j * kDims, kDims));
    j = (j + 1) % kStored;
  }
  state.SetItemsProcessed(state.iterations());
}

// Four scores per iteration: four single calls, or one four-vector call.
void BM_FourScores(benchmark::State& state, KernelPath p, Metric m, bool x4) {
  if (skip_unless_runnable(state, p)) return;
  const std::vector<float> q = random_floats(kDims, 1);
  const std::vector<float> stored = random_floats(kDims * kStored, 2);
  const DistanceFn single = distance_kernel(p, m);
  const DistanceX4Fn four = distance_x4_kernel(p, m);
  size_t j = 0;
  float out[4];
  for (auto _ : state) {
    const float* b[4] = {stored.data() + j * kDims, stored.data() + (j + 1) * kDims,
                         stored.data() + (j + 2) * kDims, stored.data() + (j + 3) * kDims};
    if (x4) {
      four(q.data(), b, kDims, out);
    } else {
      for (int k = 0; k < 4; ++k) out[k] = single(q.data(), b[k], kDims);
    }
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
    j = (j + 4) % kStored;
  }
  state.SetItemsProcessed(state.iterations() * 4);
}

// One full pass of scores over the scan array, placed by index, on every worker of the pool.
void BM_ScanBound(benchmark::State& state, bool x4) {
  if (skip_unless_runnable(state, KernelPath::Avx2)) return;
  const std::vector<float> q = random_floats(kDims, 1);
  const std::vector<float> stored = random_floats(kDims * kScanVectors, 3);
  std::vector<float> scores(kScanVectors);
  const float* base = stored.data();
  for (auto _ : state) {
    parallel_for(kScanVectors, 256, [&](size_t begin, size_t end) {
      size_t i = begin;
      if (x4) {
        for (; i + 4 <= end; i += 4) {
          const float* b[4] = {base + i * kDims, base + (i + 1) * kDims, base + (i + 2) * kDims,
                               base + (i + 3) * kDims};
          dot_product_x4_avx2(q.data(), b, kDims, &scores[i]);
        }
      }
      for (; i < end; ++i) scores[i] = dot_product_avx2(q.data(), base + i * kDims, kDims);
    });
    benchmark::DoNotOptimize(scores.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kScanVectors);
  state.SetBytesProcessed(state.iterations() * kScanVectors * kDims * sizeof(float));
  state.counters["workers"] = worker_count();
}

void register_all() {
  struct Named {
    const char* name;
    Metric metric;
  };
  const Named metrics[] = {{"cosine", Metric::Cosine}, {"dot", Metric::Dot}, {"l2", Metric::L2}};
  const struct {
    const char* name;
    KernelPath path;
  } paths[] = {{"portable", KernelPath::Portable}, {"avx2", KernelPath::Avx2}};
  for (const auto& p : paths) {
    for (const Named& m : metrics) {
      benchmark::RegisterBenchmark(
          (std::string("distance/") + p.name + "/" + m.name + "/384").c_str(), BM_Distance, p.path,
          m.metric);
    }
  }
  for (const auto& p : paths) {
    for (Metric m : {Metric::Dot, Metric::L2}) {
      const std::string tail = std::string(p.name) + "/" + std::string(metric_name(m)) + "/384";
      benchmark::RegisterBenchmark(("four_singles/" + tail).c_str(), BM_FourScores, p.path, m,
                                   false);
      benchmark::RegisterBenchmark(("x4/" + tail).c_str(), BM_FourScores, p.path, m, true);
    }
  }
  benchmark::RegisterBenchmark("scan_bound/avx2_dot/100000x384", BM_ScanBound, false)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("scan_bound/avx2_dot_x4/100000x384", BM_ScanBound, true)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
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
