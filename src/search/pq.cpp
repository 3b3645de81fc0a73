// Training, encoding and asymmetric-distance tables of the product quantiser.
//
// Every score here is a sequential single-precision sum over the components of two
// sub-vectors. To make that fast without changing a bit, the kernels score many columns at
// once: the other side is laid out component-major ([j][column]), and each vector lane holds
// the running sum of one column, adding its terms in component order exactly as the scalar
// loop would. No lane ever mixes with another and the project forbids fused multiply-add, so
// the AVX2 and baseline variants give identical results.
#include "search/pq.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/error.hpp"
#include "base/worker_pool.hpp"
#include "search/distance.hpp"

namespace tornquil {

namespace {

constexpr float kLargestFloat = 3.4028235e38f;
constexpr size_t kLanes = 8;

size_t round_up_to_lanes(size_t n) { return (n + kLanes - 1) / kLanes * kLanes; }

// Eight float lanes. Baseline code passes such a value in memory and AVX2 code in
// registers, so a call between the two that passes one by value would read garbage. The
// helpers below therefore take and give lanes only through pointers and references, and
// are always inlined besides; GCC's -Wpsabi flags any function that passes one by value.
using V8 = float __attribute__((vector_size(kLanes * sizeof(float))));

[[gnu::always_inline]] inline void load8(V8& v, const float* p) { std::memcpy(&v, p, sizeof v); }

[[gnu::always_inline]] inline void store8(float* p, const V8& v) { std::memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline void broadcast8(V8& v, float f) { v = V8{f, f, f, f, f, f, f, f}; }

// acc += the term of one component for eight columns: the product (kDot) or the squared
// difference of xj and the columns at col.
template <bool kDot>
[[gnu::always_inline]] inline void add_term(V8& acc, const V8& xj, const float* col) {
  V8 c;
  load8(c, col);
  if constexpr (kDot) {
    acc += xj * c;
  } else {
    const V8 d = xj - c;
    acc += d * d;
  }
}

// out[c] for c in [0, count) (count a multiple of 8): the squared distance (kDot false) or the
// dot product (kDot true) of x[0 .. dims) and column c of t, whose component j sits at
// t[j * stride + c]. Eight blocks of eight columns share each pass over the components, so
// eight independent sums hide the latency of the additions.
template <bool kDot>
[[gnu::always_inline]] inline void score_columns_body(const float* x, const float* t, size_t stride,
                                                      size_t dims, size_t count, float* out) {
  constexpr size_t kBlocks = 8;
  size_t c = 0;
  for (; c + kBlocks * kLanes <= count; c += kBlocks * kLanes) {
    V8 acc[kBlocks] = {};
    const float* col = t + c;
    for (size_t j = 0; j < dims; ++j, col += stride) {
      V8 xj;
      broadcast8(xj, x[j]);
      for (size_t b = 0; b < kBlocks; ++b) add_term<kDot>(acc[b], xj, col + b * kLanes);
    }
    for (size_t b = 0; b < kBlocks; ++b) store8(out + c + b * kLanes, acc[b]);
  }
  for (; c < count; c += kLanes) {
    V8 acc{};
    const float* col = t + c;
    for (size_t j = 0; j < dims; ++j, col += stride) {
      V8 xj;
      broadcast8(xj, x[j]);
      add_term<kDot>(acc, xj, col);
    }
    store8(out + c, acc);
  }
}

using ScoreColumnsFn = void (*)(const float* x, const float* t, size_t stride, size_t dims,
                                size_t count, float* out);

template <bool kDot>
void score_columns_baseline(const float* x, const float* t, size_t stride, size_t dims,
                            size_t count, float* out) {
  score_columns_body<kDot>(x, t, stride, dims, count, out);
}

#if defined(__x86_64__) || defined(__i386__)
// AVX2 only, deliberately without FMA: each product must be rounded before its addition.
template <bool kDot>
__attribute__((target("avx2"))) void score_columns_avx2(const float* x, const float* t,
                                                        size_t stride, size_t dims, size_t count,
                                                        float* out) {
  score_columns_body<kDot>(x, t, stride, dims, count, out);
}
#endif

ScoreColumnsFn score_columns_kernel(bool dot) {
#if defined(__x86_64__) || defined(__i386__)
  if (kernel_path() == KernelPath::Avx2) {
    return dot ? score_columns_avx2<true> : score_columns_avx2<false>;
  }
#endif
  return dot ? score_columns_baseline<true> : score_columns_baseline<false>;
}

// The first index of the least of d[0 .. count) below the largest float; 0 when none is (all
// NaN or infinite). Exactly the sequential strict comparison: ties keep the lower index and a
// NaN never wins. The least value is found in vector lanes (a NaN or a value at or above the
// start never replaces a lane's value), then the first index holding it.
inline uint32_t nearest(const float* d, size_t count) {
  V8 least;
  broadcast8(least, kLargestFloat);
  const size_t whole = count / kLanes * kLanes;
  for (size_t c = 0; c < whole; c += kLanes) {
    V8 v;
    load8(v, d + c);
    least = v < least ? v : least;
  }
  float best = kLargestFloat;
  for (size_t lane = 0; lane < kLanes; ++lane) best = least[lane] < best ? least[lane] : best;
  for (size_t i = whole; i < count; ++i) best = d[i] < best ? d[i] : best;
  if (!(best < kLargestFloat)) return 0;
  for (size_t i = 0; i < count; ++i) {
    if (d[i] == best) return static_cast<uint32_t>(i);
  }
  return 0;
}

// rows x dims floats (row-major) into dims x stride floats, component-major, the columns
// beyond `rows` zero.
std::vector<float> component_major(const float* rows_data, size_t rows, size_t dims,
                                   size_t stride) {
  std::vector<float> out(dims * stride, 0.0f);
  for (size_t r = 0; r < rows; ++r) {
    for (size_t j = 0; j < dims; ++j) out[j * stride + r] = rows_data[r * dims + j];
  }
  return out;
}

uint64_t row_count(std::span<const float> vectors, uint64_t dims) {
  if (dims == 0) {
    if (!vectors.empty()) fatal("quantiser input of zero dimensions holds floats");
    return 0;
  }
  if (vectors.size() % dims != 0) fatal("quantiser input is not a whole number of vectors");
  return vectors.size() / dims;
}

// The seeding without random numbers: centroid 0 is the first sample; each further centroid
// is the first sample whose running sum of D2 (the least squared distance to the centroids
// so far) reaches i / K of the total, or sample i mod n when every sample is already a
// centroid.
void seed_centroids(const float* samples, size_t n, size_t k, size_t sd, ScoreColumnsFn l2,
                    float* centroids) {
  std::copy_n(samples, sd, centroids);
  const size_t stride = round_up_to_lanes(n);
  const std::vector<float> by_component = component_major(samples, n, sd, stride);
  std::vector<float> d2(n, kLargestFloat);
  std::vector<float> dist(stride);
  for (size_t i = 1; i < k; ++i) {
    // Only the centroid added last is measured; d2 keeps the minimum over all earlier ones.
    // (c - s)^2 equals (s - c)^2 bit for bit, so measuring from the centroid side is exact.
    l2(centroids + (i - 1) * sd, by_component.data(), stride, sd, stride, dist.data());
    float total = 0.0f;
    for (size_t s = 0; s < n; ++s) {
      if (dist[s] < d2[s]) d2[s] = dist[s];
      total += d2[s];
    }
    size_t chosen;
    if (total <= 0.0f) {
      chosen = i % n;
    } else {
      const float threshold = (static_cast<float>(i) / static_cast<float>(k)) * total;
      chosen = n - 1;
      float running = 0.0f;
      for (size_t s = 0; s < n; ++s) {
        running += d2[s];
        if (running >= threshold) {
          chosen = s;
          break;
        }
      }
    }
    std::copy_n(samples + chosen * sd, sd, centroids + i * sd);
  }
}

// One Lloyd step: every sample to its nearest centroid (on the pool, placed by index), then
// the new centroids as member sums in sample order divided by the member count. A centroid
// without members keeps its value.
void lloyd_step(const float* samples, size_t n, size_t k, size_t sd, ScoreColumnsFn l2,
                std::vector<float>& centroids, std::vector<uint32_t>& assignment) {
  const size_t stride = round_up_to_lanes(k);
  const std::vector<float> by_component = component_major(centroids.data(), k, sd, stride);
  parallel_for(n, 256, [&](size_t begin, size_t end) {
    std::vector<float> dist(stride);
    for (size_t s = begin; s < end; ++s) {
      l2(samples + s * sd, by_component.data(), stride, sd, stride, dist.data());
      assignment[s] = nearest(dist.data(), k);
    }
  });
  std::vector<float> sums(k * sd, 0.0f);
  std::vector<uint64_t> counts(k, 0);
  for (size_t s = 0; s < n; ++s) {
    const uint32_t a = assignment[s];
    ++counts[a];
    for (size_t j = 0; j < sd; ++j) sums[a * sd + j] += samples[s * sd + j];
  }
  for (size_t c = 0; c < k; ++c) {
    if (counts[c] == 0) continue;
    const float count = static_cast<float>(counts[c]);
    for (size_t j = 0; j < sd; ++j) centroids[c * sd + j] = sums[c * sd + j] / count;
  }
}

// Codebook m: K x sd floats from the sub-vectors m of the sample rows (rows x D floats).
void train_subspace(const float* sample, size_t rows, size_t dims, size_t m, size_t k,
                    uint64_t iterations, size_t sd, float* codebook) {
  if (rows == 0) {
    std::fill_n(codebook, k * sd, 0.0f);
    return;
  }
  // Each task works on contiguous memory of its own.
  std::vector<float> sub(rows * sd);
  for (size_t r = 0; r < rows; ++r) {
    std::copy_n(sample + r * dims + m * sd, sd, sub.data() + r * sd);
  }
  const std::vector<float> centroids = kmeans_subspace(sub, k, iterations, sd);
  std::copy(centroids.begin(), centroids.end(), codebook);
}

// The M codebooks as tasks of the pool, each written to its own slot of `centroids`.
void train_pq_parallel(const float* sample, size_t rows, size_t dims, size_t sd, size_t k,
                       uint64_t iterations, size_t num_sub, float* centroids) {
  parallel_for(num_sub, 1, [&](size_t begin, size_t end) {
    for (size_t m = begin; m < end; ++m) {
      train_subspace(sample, rows, dims, m, k, iterations, sd, centroids + m * k * sd);
    }
  });
}

// Codes of v with a kernel fetched once by the caller.
void encode_with(const ProductQuantizer& pq, ScoreColumnsFn l2, const float* v, uint8_t* out) {
  const size_t sd = pq.subspace_dim;
  const float* by_component = pq.centroids_by_component.data();
  float dist[kPqCentroids];
  for (size_t m = 0; m < pq.num_subquantizers; ++m) {
    l2(v + m * sd, by_component + m * sd * kPqCentroids, kPqCentroids, sd, kPqCentroids, dist);
    out[m] = static_cast<uint8_t>(nearest(dist, kPqCentroids));
  }
}

void check_trained(const ProductQuantizer& pq) {
  const size_t expected = pq.num_subquantizers * kPqCentroids * pq.subspace_dim;
  if (pq.num_centroids != kPqCentroids || pq.centroids.size() != expected ||
      pq.centroids_by_component.size() != expected) {
    fatal("product quantiser used before training");
  }
}

}  // namespace

PqConfig pq_config_for_dimensions(uint64_t dimensions) {
  PqConfig config;
  config.num_subquantizers = dimensions;
  for (uint64_t m : {48, 32, 16, 8}) {
    if (dimensions % m == 0) {
      config.num_subquantizers = m;
      break;
    }
  }
  return config;
}

std::vector<float> kmeans_subspace(std::span<const float> samples, uint64_t num_centroids,
                                   uint64_t iterations, uint64_t subspace_dim) {
  const size_t k = num_centroids, sd = subspace_dim;
  std::vector<float> centroids(k * sd, 0.0f);
  if (k == 0 || sd == 0) return centroids;
  const size_t n = row_count(samples, sd);
  if (n == 0) fatal("k-means without samples");
  const ScoreColumnsFn l2 = score_columns_kernel(false);
  seed_centroids(samples.data(), n, k, sd, l2, centroids.data());
  std::vector<uint32_t> assignment(n);
  for (uint64_t it = 0; it < iterations; ++it) {
    lloyd_step(samples.data(), n, k, sd, l2, centroids, assignment);
  }
  return centroids;
}

ProductQuantizer train_product_quantizer(const PqConfig& config, uint64_t dimensions,
                                         std::span<const float> vectors, bool use_inner_product) {
  const uint64_t num_sub = config.num_subquantizers;
  if (num_sub == 0 || dimensions % num_sub != 0) {
    char message[128];
    std::snprintf(
        message, sizeof message, "Dimension %llu must be divisible by num_subquantizers %llu",
        static_cast<unsigned long long>(dimensions), static_cast<unsigned long long>(num_sub));
    fatal(message);
  }
  if (config.num_centroids != kPqCentroids) fatal("num_centroids must be 256 for 8-bit codes");
  const uint64_t n = row_count(vectors, dimensions);

  ProductQuantizer pq;
  pq.num_subquantizers = num_sub;
  pq.num_centroids = kPqCentroids;
  pq.subspace_dim = dimensions / num_sub;
  pq.use_inner_product = use_inner_product;
  const size_t sd = pq.subspace_dim;
  pq.centroids.assign(num_sub * kPqCentroids * sd, 0.0f);

  // The lowest node indices, not a random choice: the same nodes always train the codebook.
  const size_t rows = std::min(config.training_sample_size, n);
  if (rows > 0) {
    train_pq_parallel(vectors.data(), rows, dimensions, sd, kPqCentroids, config.kmeans_iterations,
                      num_sub, pq.centroids.data());
  }

  pq.centroids_by_component.resize(pq.centroids.size());
  for (size_t m = 0; m < num_sub; ++m) {
    const float* book = pq.centroids.data() + m * kPqCentroids * sd;
    float* out = pq.centroids_by_component.data() + m * kPqCentroids * sd;
    for (size_t c = 0; c < kPqCentroids; ++c) {
      for (size_t j = 0; j < sd; ++j) out[j * kPqCentroids + c] = book[c * sd + j];
    }
  }
  return pq;
}

void encode_vector(const ProductQuantizer& pq, const float* vector, uint8_t* out_codes) {
  check_trained(pq);
  encode_with(pq, score_columns_kernel(false), vector, out_codes);
}

PqCodes encode_all_parallel(const ProductQuantizer& pq, std::span<const float> vectors,
                            uint64_t n) {
  check_trained(pq);
  const size_t dims = pq.dimensions(), num_sub = pq.num_subquantizers;
  if (vectors.size() != n * dims) fatal("quantiser input is not n whole vectors");
  PqCodes codes;
  codes.count = n;
  codes.code_len = num_sub;
  codes.codes.resize(n * num_sub);
  const ScoreColumnsFn l2 = score_columns_kernel(false);
  parallel_for(n, 64, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      encode_with(pq, l2, vectors.data() + i * dims, codes.codes.data() + i * num_sub);
    }
  });
  return codes;
}

void adc_table(const ProductQuantizer& pq, const float* x, std::span<float> table) {
  if (table.size() != pq.table_size() ||
      pq.centroids_by_component.size() != pq.table_size() * pq.subspace_dim) {
    fatal("asymmetric-distance table of the wrong size");
  }
  const ScoreColumnsFn score = score_columns_kernel(pq.use_inner_product);
  const size_t sd = pq.subspace_dim;
  const float* by_component = pq.centroids_by_component.data();
  for (size_t m = 0; m < pq.num_subquantizers; ++m) {
    score(x + m * sd, by_component + m * sd * kPqCentroids, kPqCentroids, sd, kPqCentroids,
          table.data() + m * kPqCentroids);
  }
}

void adc_table(const ProductQuantizer& pq, const float* x, std::vector<float>& table) {
  table.resize(pq.table_size());
  adc_table(pq, x, std::span<float>(table));
}

}  // namespace tornquil
