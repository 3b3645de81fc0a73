// The product quantiser of the full index rebuild: a codebook trained on the node vectors,
// one byte per sub-quantiser per node, and asymmetric distances (exact query side against
// compressed node side) read from a per-node table.
//
// API, in calling order within one rebuild:
//   PqConfig cfg = pq_config_for_dimensions(D);
//   ProductQuantizer pq = train_product_quantizer(cfg, D, vectors, use_inner_product);
//   PqCodes codes = encode_all_parallel(pq, vectors, n);
//   // per inserted node x, with a table the insertion task owns and reuses:
//   adc_table(pq, x, table);               // table: M x 256 floats, laid out [sub][centroid]
//   float s = adc_distance(table, codes, j);  // M look-ups; higher is better when
//                                             // pq.use_inner_product, lower otherwise
// `vectors` is one contiguous row-major array of n x D floats in node order (node i at
// vectors[i * D]). Codes of node i are codes.codes[i * M .. i * M + M).
//
// Determinism: no random numbers are drawn; k-means seeding is a fixed rule, every sum runs
// in a fixed sequential order in single precision (no fused multiply-add), and parallel work
// writes its results by index. The same vectors in the same order give bit-identical
// centroids and codes for every worker count and on every processor.
//
// Thread safety: training and encoding run on the process-wide worker pool and return when
// done; they take no locks. A trained ProductQuantizer and PqCodes are read-only afterwards
// and may be shared by any number of threads. adc_table and adc_distance are pure and
// allocate nothing when handed a buffer of the right size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tornquil {

// Every code is one byte, so a sub-quantiser has exactly this many centroids.
inline constexpr uint64_t kPqCentroids = 256;

struct PqConfig {
  uint64_t num_subquantizers = 0;
  uint64_t num_centroids = kPqCentroids;
  uint64_t kmeans_iterations = 10;
  uint64_t training_sample_size = 10000;
};

// M is the first of 48, 32, 16, 8 that divides D, else D itself (one dimension per
// sub-quantiser). 96 gives 48, not 32.
PqConfig pq_config_for_dimensions(uint64_t dimensions);

struct ProductQuantizer {
  // M x K x subspace_dim floats: component j of centroid c of sub-quantiser m is at
  // (m * K + c) * subspace_dim + j.
  std::vector<float> centroids;
  uint64_t num_subquantizers = 0;         // M
  uint64_t num_centroids = kPqCentroids;  // K, always 256
  uint64_t subspace_dim = 0;              // D / M; sub-quantiser m covers [m * sd, (m + 1) * sd)
  // Dot-product tables (higher is better) unless the metric is L2 (squared distances,
  // lower is better). Plays no part in training or encoding.
  bool use_inner_product = false;
  // The same centroids laid out [m][j][c] (sub-quantiser, component, centroid), so one pass
  // over the components scores all 256 centroids of a sub-quantiser in vector lanes. Filled
  // by train_product_quantizer; derived, never a second source of truth.
  std::vector<float> centroids_by_component;

  uint64_t dimensions() const { return num_subquantizers * subspace_dim; }
  // Floats in one asymmetric-distance table.
  size_t table_size() const { return num_subquantizers * kPqCentroids; }
};

struct PqCodes {
  std::vector<uint8_t> codes;  // count x code_len bytes, node-major
  uint64_t count = 0;          // n
  uint64_t code_len = 0;       // M
  const uint8_t* code(size_t node) const { return codes.data() + node * code_len; }
};

// Trains the codebook on the first min(training_sample_size, n) rows of `vectors` (n x D
// floats). An empty sample gives all-zero centroids. The M sub-quantisers train as tasks of
// the worker pool. Ends the process with "Dimension {D} must be divisible by
// num_subquantizers {M}" or "num_centroids must be 256 for 8-bit codes" when `config`
// breaks the one-byte code format, and when `vectors` is not a whole number of rows.
ProductQuantizer train_product_quantizer(const PqConfig& config, uint64_t dimensions,
                                         std::span<const float> vectors, bool use_inner_product);

// K-means of one sub-quantiser: `samples` holds n_s sub-vectors of subspace_dim floats
// back to back. Deterministic seeding, then exactly `iterations` Lloyd steps; a centroid
// that loses all members keeps its value. Returns K x subspace_dim floats, centroid-major.
// n_s must be at least 1.
std::vector<float> kmeans_subspace(std::span<const float> samples, uint64_t num_centroids,
                                   uint64_t iterations, uint64_t subspace_dim);

// Encodes one vector of D floats into M codes: per sub-quantiser the centroid at the least
// squared distance, the lower index on ties; a NaN distance never wins (an all-NaN
// sub-vector gets 0).
void encode_vector(const ProductQuantizer& pq, const float* vector, uint8_t* out_codes);

// Encodes the n rows of `vectors` (n x D floats) on the worker pool.
PqCodes encode_all_parallel(const ProductQuantizer& pq, std::span<const float> vectors, uint64_t n);

// Fills `table` (pq.table_size() floats) for the vector x of D floats: entry m * 256 + c is
// the dot product (use_inner_product) or the squared distance of x's sub-vector m and
// centroid c of sub-quantiser m. Ends the process when table has the wrong size.
void adc_table(const ProductQuantizer& pq, const float* x, std::span<float> table);
// The same into a reusable vector, resized to table_size() (no allocation once it fits).
void adc_table(const ProductQuantizer& pq, const float* x, std::vector<float>& table);

// The asymmetric distance of a table's vector to the node whose M codes are `code`: the
// sum over m in order of table[m * 256 + code[m]].
inline float adc_distance(const float* table, const uint8_t* code, size_t m) {
  float sum = 0.0f;
  for (size_t s = 0; s < m; ++s) sum += table[s * kPqCentroids + code[s]];
  return sum;
}

// The asymmetric distance to node j of `codes`.
inline float adc_distance(std::span<const float> table, const PqCodes& codes, size_t j) {
  return adc_distance(table.data(), codes.code(j), codes.code_len);
}

}  // namespace tornquil
