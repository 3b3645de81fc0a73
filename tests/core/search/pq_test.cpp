// The product quantiser: its configuration rule, the deterministic k-means seeding and
// training against a plain sequential oracle, encoding ties and NaN, the asymmetric-distance
// tables, independence from the worker count, and the two fatal invariants.
#include "search/pq.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "base/worker_pool.hpp"

namespace tornquil {
namespace {

constexpr size_t kK = 256;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

// Deterministic, well spread floats with a little cluster structure.
std::vector<float> test_vectors(size_t n, size_t dims, uint32_t seed) {
  std::vector<float> out(n * dims);
  uint32_t state = seed * 2654435761u + 1;
  auto next = [&] {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / static_cast<float>(1u << 24) - 0.5f;
  };
  for (size_t i = 0; i < n; ++i) {
    const float centre = static_cast<float>(i % 7) * 0.75f;
    for (size_t j = 0; j < dims; ++j) out[i * dims + j] = centre + next();
  }
  return out;
}

// The sequential definitions: one running float sum in component order.
float seq_squared(const float* a, const float* b, size_t n) {
  float s = 0.0f;
  for (size_t j = 0; j < n; ++j) s += (a[j] - b[j]) * (a[j] - b[j]);
  return s;
}
float seq_dot(const float* a, const float* b, size_t n) {
  float s = 0.0f;
  for (size_t j = 0; j < n; ++j) s += a[j] * b[j];
  return s;
}

const float* centroid(const ProductQuantizer& pq, size_t m, size_t c) {
  return pq.centroids.data() + (m * kK + c) * pq.subspace_dim;
}

std::vector<uint8_t> encode(const ProductQuantizer& pq, const std::vector<float>& v) {
  std::vector<uint8_t> codes(pq.num_subquantizers);
  encode_vector(pq, v.data(), codes.data());
  return codes;
}

ProductQuantizer train(size_t dims, const std::vector<float>& vectors, bool ip = false) {
  return train_product_quantizer(pq_config_for_dimensions(dims), dims, vectors, ip);
}

TEST(PqConfig, SubQuantisersAreTheFirstOf48_32_16_8ThatDivideElseOnePerDimension) {
  struct Case {
    uint64_t dims, num_sub, subspace_dim;
  };
  const Case cases[] = {
      {96, 48, 2},    {64, 32, 2},   {24, 8, 3},     {100, 100, 1}, {1, 1, 1},
      {384, 48, 8},   {768, 48, 16}, {1536, 48, 32}, {128, 32, 4},  {65536, 32, 2048},
      {1000, 8, 125}, {48, 48, 1},   {8, 8, 1},      {3, 3, 1},
  };
  for (const Case& c : cases) {
    const PqConfig config = pq_config_for_dimensions(c.dims);
    EXPECT_EQ(config.num_subquantizers, c.num_sub) << c.dims;
    EXPECT_EQ(c.dims / config.num_subquantizers, c.subspace_dim) << c.dims;
    EXPECT_EQ(config.num_centroids, 256u);
    EXPECT_EQ(config.kmeans_iterations, 10u);
    EXPECT_EQ(config.training_sample_size, 10000u);
  }
}

// Training sets with fewer distinct vectors than centroids: what every centroid and every
// code must be. The identical copies hold quarters, so their member sums and the division by
// the count are exact and the mean is the vector itself bit for bit.
TEST(PqTraining, SingleOrIdenticalVectorsMakeEveryCentroidThatVectorAndEveryCodeZero) {
  constexpr size_t kDims = 24;  // 8 sub-quantisers of 3
  std::vector<float> quarters(kDims);
  for (size_t j = 0; j < kDims; ++j) quarters[j] = static_cast<float>(j % 9) * 0.25f - 1.0f;
  struct Case {
    std::vector<float> v;
    size_t copies;
  };
  const Case cases[] = {{test_vectors(1, kDims, 3), 1}, {quarters, 5}};
  const std::vector<float> other = test_vectors(1, kDims, 4);

  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.copies);
    const std::vector<float>& v = tc.v;
    std::vector<float> copies;
    for (size_t i = 0; i < tc.copies; ++i) copies.insert(copies.end(), v.begin(), v.end());
    const std::vector<float>* training = &copies;
    const ProductQuantizer pq = train(kDims, *training);
    ASSERT_EQ(pq.num_subquantizers, 8u);
    ASSERT_EQ(pq.subspace_dim, 3u);
    ASSERT_EQ(pq.centroids.size(), 8 * kK * 3);
    for (size_t m = 0; m < 8; ++m) {
      for (size_t c = 0; c < kK; ++c) {
        for (size_t j = 0; j < 3; ++j) {
          ASSERT_EQ(centroid(pq, m, c)[j], v[m * 3 + j]) << m << " " << c << " " << j;
        }
      }
    }
    // All centroids tie, so the lowest index wins whatever the vector.
    const std::vector<uint8_t> zeros(8, 0);
    EXPECT_EQ(encode(pq, v), zeros);
    EXPECT_EQ(encode(pq, other), zeros);
    const PqCodes codes = encode_all_parallel(pq, *training, training->size() / kDims);
    EXPECT_EQ(codes.codes, std::vector<uint8_t>(training->size() / kDims * 8, 0));
  }
}

TEST(PqTraining, TwoVectorsSeedAlternatelyAndKeepTheirCentroids) {
  constexpr size_t kDims = 8;  // 8 sub-quantisers of 1
  // a and b differ in sub-quantisers 0, 3 and 7 only.
  const std::vector<float> a = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<float> b = {-1, 2, 3, 9, 5, 6, 7, 0.5f};
  const bool differ[kDims] = {true, false, false, true, false, false, false, true};

  // The seeding alone: a, b, a, b, ... (b first at threshold 1/256 of the total, then the
  // total is 0 and the centroids cycle through the samples by index).
  const std::vector<float> pair = {a[0], b[0]};
  const std::vector<float> seeded = kmeans_subspace(pair, kK, 0, 1);
  for (size_t c = 0; c < kK; ++c) ASSERT_EQ(seeded[c], c % 2 == 0 ? a[0] : b[0]) << c;

  std::vector<float> training = a;
  training.insert(training.end(), b.begin(), b.end());
  const ProductQuantizer pq = train(kDims, training);
  for (size_t m = 0; m < kDims; ++m) {
    SCOPED_TRACE(m);
    if (differ[m]) {
      for (size_t c = 0; c < kK; ++c) ASSERT_EQ(*centroid(pq, m, c), c % 2 == 0 ? a[m] : b[m]);
    } else {
      for (size_t c = 0; c < kK; ++c) ASSERT_EQ(*centroid(pq, m, c), a[m]);
    }
  }
  const std::vector<uint8_t> a_codes = encode(pq, a), b_codes = encode(pq, b);
  for (size_t m = 0; m < kDims; ++m) {
    EXPECT_EQ(a_codes[m], 0) << m;
    EXPECT_EQ(b_codes[m], differ[m] ? 1 : 0) << m;
  }
}

TEST(PqTraining, NoTrainingVectorsGiveZeroCentroids) {
  const ProductQuantizer pq = train(64, {});  // 32 sub-quantisers of 2
  EXPECT_EQ(pq.centroids, std::vector<float>(32 * kK * 2, 0.0f));
  const std::vector<float> v = test_vectors(1, 64, 1);
  EXPECT_EQ(encode(pq, v), std::vector<uint8_t>(32, 0));
  EXPECT_TRUE(encode_all_parallel(pq, {}, 0).codes.empty());
}

TEST(PqTraining, OnlyTheFirstTenThousandNodesShapeTheCodebook) {
  constexpr size_t kDims = 8;
  std::vector<float> nodes = test_vectors(10000, kDims, 5);
  const ProductQuantizer first = train(kDims, nodes);
  nodes.resize(10002 * kDims, 1e6f);  // far outliers that would claim centroids
  const ProductQuantizer more = train(kDims, nodes);
  EXPECT_EQ(first.centroids, more.centroids);
  // Every node is still encoded, the outliers included.
  const PqCodes codes = encode_all_parallel(more, nodes, 10002);
  ASSERT_EQ(codes.codes.size(), 10002 * kDims);
  EXPECT_EQ(std::vector<uint8_t>(codes.code(10000), codes.code(10000) + kDims),
            encode(more, std::vector<float>(kDims, 1e6f)));
}

// The k-means exactly as defined: scalar, sequential, one float sum in sample order.
std::vector<float> oracle_kmeans(const std::vector<float>& s, size_t sd, size_t iterations) {
  const size_t n = s.size() / sd;
  std::vector<float> cent(kK * sd);
  std::copy_n(s.begin(), sd, cent.begin());
  std::vector<float> d2(n, std::numeric_limits<float>::max());
  for (size_t i = 1; i < kK; ++i) {
    for (size_t k = 0; k < n; ++k) {
      const float d = seq_squared(&s[k * sd], &cent[(i - 1) * sd], sd);
      if (d < d2[k]) d2[k] = d;
    }
    float total = 0.0f;
    for (float d : d2) total += d;
    size_t chosen = i % n;
    if (!(total <= 0.0f)) {
      const float threshold = (static_cast<float>(i) / static_cast<float>(kK)) * total;
      chosen = n - 1;
      float running = 0.0f;
      for (size_t k = 0; k < n; ++k) {
        running += d2[k];
        if (running >= threshold) {
          chosen = k;
          break;
        }
      }
    }
    std::copy_n(&s[chosen * sd], sd, &cent[i * sd]);
  }
  for (size_t it = 0; it < iterations; ++it) {
    std::vector<float> sums(kK * sd, 0.0f);
    std::vector<uint64_t> counts(kK, 0);
    for (size_t k = 0; k < n; ++k) {
      size_t best = 0;
      float best_d = std::numeric_limits<float>::max();
      for (size_t c = 0; c < kK; ++c) {
        const float d = seq_squared(&s[k * sd], &cent[c * sd], sd);
        if (d < best_d) best = c, best_d = d;
      }
      ++counts[best];
      for (size_t j = 0; j < sd; ++j) sums[best * sd + j] += s[k * sd + j];
    }
    for (size_t c = 0; c < kK; ++c) {
      if (counts[c] == 0) continue;
      for (size_t j = 0; j < sd; ++j)
        cent[c * sd + j] = sums[c * sd + j] / static_cast<float>(counts[c]);
    }
  }
  return cent;
}

std::vector<uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<uint32_t> out;
  for (float f : v) out.push_back(std::bit_cast<uint32_t>(f));
  return out;
}

// Sample counts around the vector-lane width and the 256 centroids (more samples than
// centroids makes the threshold walk and empty clusters real), odd sub-vector widths.
TEST(PqTraining, KmeansEqualsTheSequentialDefinitionBitForBit) {
  struct Case {
    size_t n, sd, iterations;
  };
  const Case cases[] = {{1, 3, 10},    {7, 1, 10},   {9, 5, 10},  {300, 3, 10},
                        {1000, 1, 10}, {700, 13, 4}, {257, 33, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "n=" << c.n << " sd=" << c.sd);
    std::vector<float> samples = test_vectors(c.n, c.sd, static_cast<uint32_t>(c.n + c.sd));
    if (c.n > 100) samples[5 * c.sd] = kNan;  // a NaN sample measures NaN to everything
    EXPECT_EQ(bits_of(kmeans_subspace(samples, kK, c.iterations, c.sd)),
              bits_of(oracle_kmeans(samples, c.sd, c.iterations)));
  }
}

TEST(PqEncoding, EachCodeIsTheNearestCentroidAndNanEncodesToZero) {
  constexpr size_t kDims = 24;
  const std::vector<float> training = test_vectors(2000, kDims, 11);
  const ProductQuantizer pq = train(kDims, training);
  const std::vector<float> probes = test_vectors(50, kDims, 12);
  const PqCodes codes = encode_all_parallel(pq, probes, 50);
  ASSERT_EQ(codes.count, 50u);
  ASSERT_EQ(codes.code_len, 8u);
  for (size_t i = 0; i < 50; ++i) {
    for (size_t m = 0; m < 8; ++m) {
      size_t best = 0;
      float best_d = std::numeric_limits<float>::max();
      for (size_t c = 0; c < kK; ++c) {
        const float d = seq_squared(&probes[i * kDims + m * 3], centroid(pq, m, c), 3);
        if (d < best_d) best = c, best_d = d;
      }
      ASSERT_EQ(codes.code(i)[m], best) << i << " " << m;
    }
  }

  // A NaN component makes its sub-quantiser's code 0 and leaves the others alone.
  std::vector<float> v(probes.begin(), probes.begin() + kDims);
  const std::vector<uint8_t> clean = encode(pq, v);
  size_t m = 0;
  while (m < 8 && clean[m] == 0) ++m;
  ASSERT_LT(m, 8u) << "every clean code is 0; the NaN case would show nothing";
  v[m * 3 + 1] = kNan;
  std::vector<uint8_t> expected = clean;
  expected[m] = 0;
  EXPECT_EQ(encode(pq, v), expected);
}

// The table holds the sequential per-sub scores, and adc_distance sums the chosen entries in
// sub-quantiser order: exactly the sum of the per-sub distances to the chosen centroids.
TEST(PqAdc, DistanceIsTheOrderedSumOfPerSubScoresToTheChosenCentroids) {
  struct Case {
    size_t dims;
    bool inner_product;
  };
  const Case cases[] = {{24, false}, {24, true}, {100, false}, {96, true}, {40, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "dims=" << c.dims << " ip=" << c.inner_product);
    const ProductQuantizer pq = train(c.dims, test_vectors(600, c.dims, 21), c.inner_product);
    const size_t num_sub = pq.num_subquantizers, sd = pq.subspace_dim;
    const std::vector<float> nodes = test_vectors(40, c.dims, 22);
    const PqCodes codes = encode_all_parallel(pq, nodes, 40);
    const std::vector<float> x = test_vectors(1, c.dims, 23);

    std::vector<float> table(3);  // a reused buffer of the wrong size is resized
    adc_table(pq, x.data(), table);
    ASSERT_EQ(table.size(), num_sub * kK);
    for (size_t m = 0; m < num_sub; ++m) {
      for (size_t k = 0; k < kK; ++k) {
        const float* cen = centroid(pq, m, k);
        const float want =
            c.inner_product ? seq_dot(&x[m * sd], cen, sd) : seq_squared(&x[m * sd], cen, sd);
        ASSERT_EQ(std::bit_cast<uint32_t>(table[m * kK + k]), std::bit_cast<uint32_t>(want))
            << m << " " << k;
      }
    }
    std::vector<float> span_table(pq.table_size());
    adc_table(pq, x.data(), std::span<float>(span_table));
    EXPECT_EQ(bits_of(span_table), bits_of(table));

    for (size_t j = 0; j < 40; ++j) {
      float want = 0.0f;
      for (size_t m = 0; m < num_sub; ++m) {
        const float* cen = centroid(pq, m, codes.code(j)[m]);
        want += c.inner_product ? seq_dot(&x[m * sd], cen, sd) : seq_squared(&x[m * sd], cen, sd);
      }
      EXPECT_EQ(std::bit_cast<uint32_t>(adc_distance(table, codes, j)),
                std::bit_cast<uint32_t>(want))
          << j;
    }
  }
}

// Worker-count independence. The pool is sized once per process, so each count runs in a
// child process of this binary that writes its codebook and codes to a file.
constexpr size_t kDumpDims = 40;  // 8 sub-quantisers of 5
constexpr size_t kDumpNodes = 12000;
const char* const kDumpPathVar = "TORNQUIL_TEST_PQ_DUMP";

std::string quantise_to_bytes() {
  const std::vector<float> nodes = test_vectors(kDumpNodes, kDumpDims, 31);
  const ProductQuantizer pq = train(kDumpDims, nodes);
  const PqCodes codes = encode_all_parallel(pq, nodes, kDumpNodes);
  std::string out(reinterpret_cast<const char*>(pq.centroids.data()),
                  pq.centroids.size() * sizeof(float));
  out.append(reinterpret_cast<const char*>(codes.codes.data()), codes.codes.size());
  return out;
}

// Run only as the child of the test below.
TEST(PqWorkerCountChild, DISABLED_WriteCodebookAndCodes) {
  const char* path = std::getenv(kDumpPathVar);
  ASSERT_NE(path, nullptr);
  const std::string bytes = std::to_string(worker_count()) + "\n" + quantise_to_bytes();
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string run_child(unsigned workers, const std::filesystem::path& dir) {
  const std::filesystem::path out = dir / ("pq-" + std::to_string(workers));
  const std::string command = "RAYON_NUM_THREADS=" + std::to_string(workers) + " " + kDumpPathVar +
                              "='" + out.string() + "' '" +
                              std::filesystem::read_symlink("/proc/self/exe").string() +
                              "' --gtest_also_run_disabled_tests"
                              " --gtest_filter=PqWorkerCountChild.* >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(out, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PqDeterminism, CentroidsAndCodesAreBitIdenticalForOneAndEightWorkers) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tornquil-pq-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string one = run_child(1, dir), eight = run_child(8, dir);
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(one.starts_with("1\n")) << "child did not run with one worker";
  ASSERT_TRUE(eight.starts_with("8\n")) << "child did not run with eight workers";
  const std::string here = quantise_to_bytes();
  ASSERT_EQ(here.size(), (8 * kK * 5) * sizeof(float) + kDumpNodes * 8);
  EXPECT_TRUE(one.substr(2) == here) << "one worker differs from this process";
  EXPECT_TRUE(eight.substr(2) == here) << "eight workers differ from this process";
}

TEST(PqDeathTest, BrokenCodeFormatEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::vector<float> v(24, 1.0f);
  PqConfig config = pq_config_for_dimensions(24);
  config.num_subquantizers = 5;
  EXPECT_DEATH(train_product_quantizer(config, 24, v, false),
               "Dimension 24 must be divisible by num_subquantizers 5");
  config.num_subquantizers = 0;
  EXPECT_DEATH(train_product_quantizer(config, 24, v, false),
               "Dimension 24 must be divisible by num_subquantizers 0");
  config = pq_config_for_dimensions(24);
  config.num_centroids = 128;
  EXPECT_DEATH(train_product_quantizer(config, 24, v, false),
               "num_centroids must be 256 for 8-bit codes");
}

}  // namespace
}  // namespace tornquil
