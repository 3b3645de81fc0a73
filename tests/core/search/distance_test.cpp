// Distance kernels bit for bit against scalar loops in the documented accumulation orders,
// the four-vector variants, kernel selection, vector preparation and the worst scores.
#include "search/distance.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace tornquil {
namespace {

constexpr Metric kMetrics[] = {Metric::Cosine, Metric::Dot, Metric::L2};
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

// The families this machine can run; the AVX2 one only where the processor allows it.
std::vector<KernelPath> runnable_paths() {
  std::vector<KernelPath> paths = {KernelPath::Portable};
  if (cpu_supports_avx2_fma()) paths.push_back(KernelPath::Avx2);
  return paths;
}

const char* path_name(KernelPath p) { return p == KernelPath::Avx2 ? "avx2" : "portable"; }

// Floats of widely spread magnitudes and both signs, so that summing in another order
// almost always changes the last bits.
std::vector<float> spread_floats(size_t n, uint64_t seed) {
  std::vector<float> v(n);
  uint64_t s = seed;
  for (float& x : v) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    const uint32_t r = static_cast<uint32_t>(s >> 32);
    const float mantissa = 1.0f + static_cast<float>(r & 0x7FFFFFu) * 0x1p-23f;
    const int exponent = static_cast<int>((r >> 23) % 7) - 3;
    x = std::ldexp((r >> 31) ? -mantissa : mantissa, exponent);
  }
  return v;
}

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// The term pair of element i: (a, b) for the dot product, (d, d) for the squared distance.
struct Term {
  float x, y;
};
Term term(Metric m, const float* a, const float* b, size_t i) {
  if (m != Metric::L2) return {a[i], b[i]};
  const float d = a[i] - b[i];
  return {d, d};
}

float avx2_order(Metric m, const float* a, const float* b, size_t n) {
  float acc[8] = {};
  const size_t whole = n / 8 * 8;
  for (size_t i = 0; i < whole; ++i) {
    const Term t = term(m, a, b, i);
    acc[i % 8] = std::fma(t.x, t.y, acc[i % 8]);
  }
  float s[4];
  for (int j = 0; j < 4; ++j) s[j] = acc[j] + acc[j + 4];
  float r = (s[0] + s[2]) + (s[1] + s[3]);
  for (size_t i = whole; i < n; ++i) {
    const Term t = term(m, a, b, i);
    const float p = t.x * t.y;
    r = r + p;
  }
  return r;
}

float portable_order(Metric m, const float* a, const float* b, size_t n) {
  float acc[4] = {};
  const size_t whole = n / 4 * 4;
  for (size_t i = 0; i < whole; ++i) {
    const Term t = term(m, a, b, i);
    const float p = t.x * t.y;
    acc[i % 4] = acc[i % 4] + p;
  }
  float r = (acc[0] + acc[2]) + (acc[1] + acc[3]);
  for (size_t i = whole; i < n; ++i) {
    const Term t = term(m, a, b, i);
    const float p = t.x * t.y;
    r = r + p;
  }
  return r;
}

float path_order(KernelPath p, Metric m, const float* a, const float* b, size_t n) {
  return p == KernelPath::Avx2 ? avx2_order(m, a, b, n) : portable_order(m, a, b, n);
}

float sequential_norm(const float* v, size_t n) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float p = v[i] * v[i];
    sum = sum + p;
  }
  return std::sqrt(sum);
}

// Every length across the block and tail boundaries, and the common 384. Offsets of one and
// three floats keep the loads off any 16- or 32-byte boundary.
TEST(DistanceKernels, FollowTheirAccumulationOrderBitForBit) {
  const std::vector<float> a = spread_floats(400, 1);
  const std::vector<float> b = spread_floats(400, 2);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 33; ++n) lengths.push_back(n);
  lengths.push_back(384);
  for (KernelPath p : runnable_paths()) {
    for (Metric m : kMetrics) {
      const DistanceFn kernel = distance_kernel(p, m);
      for (size_t n : lengths) {
        EXPECT_EQ(bits(kernel(a.data() + 1, b.data() + 3, n)),
                  bits(path_order(p, m, a.data() + 1, b.data() + 3, n)))
            << path_name(p) << " " << metric_name(m) << " n=" << n;
      }
    }
  }
}

// Hand-built inputs where one rounding step decides the result, so each case fails for a
// kernel that fuses where it must round, rounds where it must fuse, or reduces its lanes in
// another order. c = 1 + 2^-12: c * c rounds to 1 + 2^-11, while fma(c, c, -(1 + 2^-11)) is
// 2^-24. For L2, r is u * u + w * w with both squares rounded, f the same with the second
// square fused into the sum.
TEST(DistanceKernels, EachRoundingStepShowsInTheResult) {
  constexpr float c = 1.0f + 0x1p-12f;
  constexpr float m = -(1.0f + 0x1p-11f);
  constexpr float u = 0x1.18072ep+0f, w = 0x1.0741c8p+0f;
  constexpr float r = 0x1.2083f8p+1f, f = 0x1.2083f6p+1f;
  constexpr float big = 0x1p12f;  // squares to 2^24, where adding 1 is lost
  struct Case {
    const char* what;
    Metric metric;
    std::vector<float> a, b;  // zero-padded to the longer length
    float portable, avx2;
  };
  const std::vector<Case> cases = {
      {"dot tail rounds each product", Metric::Dot, {m, c}, {1, c}, 0.0f, 0.0f},
      {"dot tail after a block",
       Metric::Dot,
       {0, 0, 0, 0, 0, 0, 0, 0, m, c},
       {0, 0, 0, 0, 0, 0, 0, 0, 1, c},
       0.0f,
       0.0f},
      {"dot blocks: fused on avx2, rounded on portable",
       Metric::Dot,
       {m, 0, 0, 0, 0, 0, 0, 0, c, 0, 0, 0, 0, 0, 0, 0},
       {1, 0, 0, 0, 0, 0, 0, 0, c, 0, 0, 0, 0, 0, 0, 0},
       0.0f,
       0x1p-24f},
      {"l2 tail rounds each square", Metric::L2, {u, w}, {0, 0}, r, r},
      {"l2 blocks: fused on avx2, rounded on portable",
       Metric::L2,
       {u, 0, 0, 0, 0, 0, 0, 0, w, 0, 0, 0, 0, 0, 0, 0},
       {0},
       r,
       f},
      // Eight lanes: (acc0 + acc4) cancels before acc1 joins; a sequential sum loses the 1.
      {"avx2 lane reduction",
       Metric::Dot,
       {big, 1, 0, 0, -big, 0, 0, 0},
       {big, 1, 0, 0, big, 0, 0, 0},
       1.0f,
       1.0f},
      // Four lanes: (acc0 + acc2) cancels first; on avx2 all four are tail, summed in order.
      {"portable lane reduction", Metric::Dot, {big, 1, -big, 0}, {big, 1, big, 0}, 1.0f, 0.0f},
  };
  for (KernelPath p : runnable_paths()) {
    for (const Case& k : cases) {
      std::vector<float> a = k.a, b = k.b;
      const size_t n = std::max(a.size(), b.size());
      a.resize(n, 0.0f);
      b.resize(n, 0.0f);
      const float expected = p == KernelPath::Avx2 ? k.avx2 : k.portable;
      EXPECT_EQ(bits(distance_kernel(p, k.metric)(a.data(), b.data(), n)), bits(expected))
          << path_name(p) << ": " << k.what;
      const float* four[4] = {b.data(), b.data(), b.data(), b.data()};
      float out[4];
      distance_x4_kernel(p, k.metric)(a.data(), four, n, out);
      EXPECT_EQ(bits(out[3]), bits(expected)) << path_name(p) << " x4: " << k.what;
    }
  }
}

TEST(DistanceKernels, SmallCasesAndSignedZeros) {
  const float zero_a[] = {1.0f};
  const float neg_zero[] = {-0.0f, -0.0f, -0.0f};
  const float ones[] = {1.0f, 1.0f, 1.0f};
  const float origin[] = {0.0f, 0.0f};
  const float three_four[] = {3.0f, 4.0f};
  const float x[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const float y[] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
  for (KernelPath p : runnable_paths()) {
    SCOPED_TRACE(path_name(p));
    for (Metric m : kMetrics) {
      // No elements: +0.0 for every metric, never -0.0.
      EXPECT_EQ(bits(distance_kernel(p, m)(zero_a, zero_a, 0)), bits(0.0f));
    }
    // Products of -0.0 added to the +0.0 start stay +0.0.
    EXPECT_EQ(bits(distance_kernel(p, Metric::Dot)(neg_zero, ones, 3)), bits(0.0f));
    EXPECT_EQ(distance_kernel(p, Metric::L2)(origin, three_four, 2), 25.0f);
    EXPECT_EQ(distance_kernel(p, Metric::Dot)(three_four, three_four, 2), 25.0f);
    EXPECT_EQ(distance_kernel(p, Metric::Dot)(x, y, 9), 165.0f);
    EXPECT_EQ(distance_kernel(p, Metric::L2)(x, y, 9), 240.0f);
    // A Cosine score is the dot product itself, not one minus it.
    EXPECT_EQ(distance_kernel(p, Metric::Cosine)(x, y, 9), 165.0f);
  }
}

// Floats of the stored vector beyond n must not take part; NaNs there would show.
TEST(DistanceKernels, ReadOnlyTheFirstNFloatsOfTheStoredVector) {
  const std::vector<float> a = spread_floats(33, 3);
  for (KernelPath p : runnable_paths()) {
    for (Metric m : kMetrics) {
      for (size_t n : {size_t{1}, size_t{7}, size_t{8}, size_t{17}, size_t{33}}) {
        std::vector<float> b = spread_floats(n, 4);
        b.resize(n + 40, kNan);
        const float single = distance_kernel(p, m)(a.data(), b.data(), n);
        EXPECT_FALSE(std::isnan(single)) << path_name(p) << " " << metric_name(m) << " " << n;
        EXPECT_EQ(bits(single), bits(path_order(p, m, a.data(), b.data(), n)));
        const float* four[4] = {b.data(), b.data(), b.data(), b.data()};
        float out[4];
        distance_x4_kernel(p, m)(a.data(), four, n, out);
        for (float s : out) EXPECT_EQ(bits(s), bits(single));
      }
    }
  }
}

TEST(DistanceKernels, NanAndInfinityPassThrough) {
  struct Case {
    Metric metric;
    size_t position;  // of the special element, in a block or in the tail
    float a_value, b_value;
    bool nan;     // NaN score expected
    float score;  // otherwise this score (the other elements are zero)
  };
  const Case cases[] = {
      {Metric::Dot, 3, kNan, 1.0f, true, 0},          {Metric::Dot, 10, kNan, 1.0f, true, 0},
      {Metric::L2, 0, 1.0f, kNan, true, 0},           {Metric::L2, 10, 1.0f, kNan, true, 0},
      {Metric::Dot, 2, kInf, 0.0f, true, 0},          {Metric::Dot, 9, kInf, 2.0f, false, kInf},
      {Metric::L2, 5, kInf, kInf, true, 0},           {Metric::L2, 10, -kInf, 1.0f, false, kInf},
      {Metric::Cosine, 4, -kInf, 1.0f, false, -kInf},
  };
  for (KernelPath p : runnable_paths()) {
    for (const Case& c : cases) {
      std::vector<float> a(11, 0.0f), b(11, 0.0f);
      a[c.position] = c.a_value;
      b[c.position] = c.b_value;
      const float s = distance_kernel(p, c.metric)(a.data(), b.data(), a.size());
      if (c.nan) {
        EXPECT_TRUE(std::isnan(s)) << path_name(p) << " position " << c.position;
      } else {
        EXPECT_EQ(s, c.score) << path_name(p) << " position " << c.position;
      }
    }
  }
}

TEST(DistanceX4, EachScoreIsBitIdenticalToTheSingleKernel) {
  const std::vector<float> q = spread_floats(400, 5);
  const std::vector<float> stored = spread_floats(4 * 400, 6);
  for (KernelPath p : runnable_paths()) {
    for (Metric m : kMetrics) {
      const DistanceFn single = distance_kernel(p, m);
      const DistanceX4Fn four = distance_x4_kernel(p, m);
      std::vector<size_t> lengths;
      for (size_t n = 0; n <= 33; ++n) lengths.push_back(n);
      lengths.push_back(384);
      for (size_t n : lengths) {
        // Each stored vector at its own misalignment.
        const float* b[4] = {stored.data() + 1, stored.data() + 400 + 2, stored.data() + 800 + 5,
                             stored.data() + 1200 + 7};
        float out[4];
        four(q.data() + 1, b, n, out);
        for (int j = 0; j < 4; ++j) {
          EXPECT_EQ(bits(out[j]), bits(single(q.data() + 1, b[j], n)))
              << path_name(p) << " " << metric_name(m) << " n=" << n << " j=" << j;
        }
      }
    }
  }
}

TEST(KernelSelection, FollowsTheProcessorFeatures) {
  const KernelPath expected = cpu_supports_avx2_fma() ? KernelPath::Avx2 : KernelPath::Portable;
  EXPECT_EQ(kernel_path(), expected);
  const std::vector<float> a = spread_floats(33, 7);
  const std::vector<float> b = spread_floats(33, 8);
  for (Metric m : kMetrics) {
    EXPECT_EQ(distance_kernel(m), distance_kernel(expected, m));
    EXPECT_EQ(bits(distance(m, a.data(), b.data(), 33)),
              bits(path_order(expected, m, a.data(), b.data(), 33)));
    EXPECT_EQ(bits(distance(m, std::span<const float>(a), std::span<const float>(b))),
              bits(path_order(expected, m, a.data(), b.data(), 33)));
    const float* four[4] = {b.data(), a.data(), b.data() + 1, a.data() + 2};
    float out[4];
    distance_x4(m, a.data(), four, 31, out);
    for (int j = 0; j < 4; ++j) EXPECT_EQ(bits(out[j]), bits(distance(m, a.data(), four[j], 31)));
  }
}

TEST(DistanceDeathTest, SpanOfAShorterStoredVectorIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::vector<float> a(8, 1.0f), b(7, 1.0f);
  EXPECT_DEATH(distance(Metric::Dot, std::span<const float>(a), std::span<const float>(b)),
               "stored vector shorter than the query");
}

TEST(L2Norm, EachPathSumsTheSquaresInItsOwnOrder) {
  const std::vector<float> v = spread_floats(40, 9);
  for (size_t n = 0; n <= 33; ++n) {
    EXPECT_EQ(bits(l2_norm_portable(v.data() + 1, n)), bits(sequential_norm(v.data() + 1, n))) << n;
    if (cpu_supports_avx2_fma()) {
      EXPECT_EQ(bits(l2_norm_avx2(v.data() + 1, n)),
                bits(std::sqrt(avx2_order(Metric::Dot, v.data() + 1, v.data() + 1, n))))
          << n;
    }
  }
}

TEST(WorstScore, IsTheScoreNoCandidateCanBeWorseThan) {
  static_assert(worst_score(Metric::L2) == kInf);
  EXPECT_EQ(worst_score(Metric::Cosine), -kInf);
  EXPECT_EQ(worst_score(Metric::Dot), -kInf);
  EXPECT_EQ(worst_score(Metric::L2), kInf);
}

TEST(PrepareVector, NormalisesCosineAndCopiesTheRest) {
  struct Case {
    const char* name;
    Metric metric;
    std::vector<float> input;
    std::vector<float> expected;  // NaN: a NaN is expected; otherwise the exact bits
  };
  const float tiny = 0x1p-23f;
  const std::vector<Case> cases = {
      // The product with the reciprocal (0.986393929), not 6 / norm (0.986393869).
      {"cosine [1, 6]", Metric::Cosine, {1, 6}, {0.164398983f, 0.986393929f}},
      {"cosine empty", Metric::Cosine, {}, {}},
      {"dot empty", Metric::Dot, {}, {}},
      {"l2 empty", Metric::L2, {}, {}},
      {"cosine zero vector", Metric::Cosine, {0, -0.0f, 0}, {0, 0, 0}},
      {"cosine norm exactly 2^-23", Metric::Cosine, {0, tiny, 0}, {0, 1, 0}},
      {"cosine norm below 2^-23", Metric::Cosine, {0x1p-24f, 0}, {0, 0}},
      {"cosine squares underflow", Metric::Cosine, {1e-30f, -1e-30f}, {0, 0}},
      // The float squares overflow; the norm taken in double keeps the direction.
      {"cosine squares overflow",
       Metric::Cosine,
       {3e38f, -3e38f},
       {0x1.6a09e6p-1f, -0x1.6a09e6p-1f}},
      {"cosine infinite element", Metric::Cosine, {kInf, 1, -2}, {kNan, 0.0f, -0.0f}},
      {"cosine NaN element", Metric::Cosine, {kNan, 1}, {kNan, kNan}},
      {"dot is stored unscaled", Metric::Dot, {3, 4}, {3, 4}},
      {"l2 copies every value", Metric::L2, {-0.0f, kInf, 1e-40f, 7}, {-0.0f, kInf, 1e-40f, 7}},
  };
  for (KernelPath p : runnable_paths()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(path_name(p)) + ": " + c.name);
      const std::vector<float> out = prepare_vector(p, c.metric, c.input);
      ASSERT_EQ(out.size(), c.expected.size());
      for (size_t i = 0; i < out.size(); ++i) {
        if (std::isnan(c.expected[i])) {
          EXPECT_TRUE(std::isnan(out[i])) << i;
        } else {
          EXPECT_EQ(bits(out[i]), bits(c.expected[i])) << i;
        }
      }
    }
  }
}

// Over more than one block the two paths take different norms; each scales by the
// reciprocal of its own.
TEST(PrepareVector, CosineScalesByTheReciprocalOfThePathsNorm) {
  const std::vector<float> v = spread_floats(33, 10);
  for (KernelPath p : runnable_paths()) {
    const float norm = p == KernelPath::Avx2
                           ? std::sqrt(avx2_order(Metric::Dot, v.data(), v.data(), v.size()))
                           : sequential_norm(v.data(), v.size());
    const float inv = 1.0f / norm;
    const std::vector<float> out = prepare_vector(p, Metric::Cosine, v);
    ASSERT_EQ(out.size(), v.size());
    for (size_t i = 0; i < v.size(); ++i) {
      EXPECT_EQ(bits(out[i]), bits(v[i] * inv)) << path_name(p) << " " << i;
    }
  }
  EXPECT_EQ(prepare_vector(Metric::Cosine, v), prepare_vector(kernel_path(), Metric::Cosine, v));
}

// Vectors whose float norm is finite: ordinary, clustered, zero-padded and repeated values,
// large elements whose squares sum just below the float range, tiny and subnormal ones. The
// expected bytes are what each path stored before vectors with an overflowing norm got a
// road of their own; they must not change, since stored vectors and the scores of every
// collection depend on them. The two paths take different norms over whole blocks, so some
// rows differ between them.
TEST(PrepareVector, CosineBytesOfFiniteNormsAreFixed) {
  struct Case {
    const char* name;
    std::vector<float> input;
    std::vector<uint32_t> portable, avx2;  // avx2 empty: the same as portable
  };
  const std::vector<float> fours(16, 4e18f);
  const std::vector<Case> cases = {
      {"ordinary, a block and a tail",
       {0.1f, -0.2f, 0.3f, 0.4f, -0.5f, 0.6f, -0.7f, 0.8f, 0.9f},
       {0x3d72a048, 0xbdf2a048, 0x3e35f836, 0x3e72a048, 0xbe97a42d, 0x3eb5f836, 0xbed44c3f,
        0x3ef2a048, 0x3f087a28},
       {}},
      {"clustered near one centre",
       {0.51f, 0.49f, 0.50f, 0.52f, 0.48f, 0.50f, 0.51f, 0.49f, 0.50f, 0.52f, 0.48f, 0.50f, 0.51f,
        0.49f, 0.50f, 0.52f, 0.47f},
       {0x3e7d847f, 0x3e739361, 0x3e788bf0, 0x3e813e87, 0x3e6e9ad2, 0x3e788bf0, 0x3e7d847f,
        0x3e739361, 0x3e788bf0, 0x3e813e87, 0x3e6e9ad2, 0x3e788bf0, 0x3e7d847f, 0x3e739361,
        0x3e788bf0, 0x3e813e87, 0x3e69a243},
       {}},
      {"largest element whose square is finite",
       {0x1.fffffep+63f, 0, 0, 0},
       {0x3f800000, 0, 0, 0},
       {}},
      {"two squares summing just below the float range",
       {1.3e19f, 1.3e19f},
       {0x3f3504f4, 0x3f3504f4},
       {}},
      {"sixteen large elements", fours, std::vector<uint32_t>(16, 0x3e7fffff),
       std::vector<uint32_t>(16, 0x3e800000)},
      {"tiny elements, norm above 2^-23",
       {1e-7f, -1e-7f, 2e-7f},
       {0x3ed105eb, 0xbed105eb, 0x3f5105eb},
       {}},
      {"subnormals beside a normal element",
       {1.0f, 1e-45f, -1e-45f},
       {0x3f800000, 0x00000001, 0x80000001},
       {}},
      {"zero-padded",
       {0.25f, 0.5f, 0, 0, 0, 0, 0, 0, 0, 0},
       {0x3ee4f92e, 0x3f64f92e, 0, 0, 0, 0, 0, 0, 0, 0},
       {}},
      {"one value repeated", std::vector<float>(8, 3.0f), std::vector<uint32_t>(8, 0x3eb504f4), {}},
  };
  for (KernelPath p : runnable_paths()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(path_name(p)) + ": " + c.name);
      const std::vector<uint32_t>& want =
          p == KernelPath::Avx2 && !c.avx2.empty() ? c.avx2 : c.portable;
      const std::vector<float> out = prepare_vector(p, Metric::Cosine, c.input);
      std::vector<float> into(c.input.size(), kNan);
      prepare_vector_into(p, Metric::Cosine, c.input, into.data());
      ASSERT_EQ(out.size(), want.size());
      for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(bits(out[i]), want[i]) << i;
        EXPECT_EQ(bits(into[i]), want[i]) << "into " << i;
      }
    }
  }
}

// Finite vectors whose float sum of squares overflows keep their direction on both paths,
// single and batch alike: each element is the nearest float of v[i] / |v|. The bytes are
// those of NumPy's float64 norm and quotient rounded to float32. Each scores 1 against itself.
TEST(PrepareVector, CosineKeepsTheDirectionOfAFiniteVectorWhoseSquaresOverflow) {
  struct Case {
    const char* name;
    std::vector<float> input;
    std::vector<float> expected;
  };
  constexpr float r2 = 0x1.6a09e6p-1f;   // 1 / sqrt(2)
  constexpr float r30 = 0x1.75e974p-1f;  // 4 / sqrt(30)
  std::vector<float> long_input(33, 0.0f), long_expected(33, 0.0f);
  long_input[3] = 3e19f;  // in the first block, in the second, in the tail
  long_input[12] = -4e19f;
  long_input[32] = 1e-20f;              // its quotient is a subnormal
  long_expected[3] = 0x1.333334p-1f;    // 0.6
  long_expected[12] = -0x1.99999ap-1f;  // -0.8
  long_expected[32] = 0x1.16c28p-132f;  // 1e-20 / 5.0000000562e19
  const std::vector<Case> cases = {
      {"one element 1e20", {1e20f, 0, 0, 0}, {1, 0, 0, 0}},
      {"+-3.4e38", {3.4e38f, -3.4e38f, 0, 0}, {r2, -r2, 0, 0}},
      {"four large elements",
       {2e19f, 3e19f, -1e19f, 4e19f},
       {r30 / 2, 0x1.186f18p-1f, -r30 / 4, r30}},
      {"a subnormal beside the largest", {3.4e38f, -3.4e38f, 1e-45f}, {r2, -r2, 0}},
      {"over blocks and a tail", long_input, long_expected},
  };
  for (KernelPath p : runnable_paths()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(path_name(p)) + ": " + c.name);
      ASSERT_TRUE(std::isinf(detail::kernel_table(p).l2_norm(c.input.data(), c.input.size())));
      const std::vector<float> out = prepare_vector(p, Metric::Cosine, c.input);
      std::vector<float> into(c.input.size(), kNan);
      prepare_vector_into(p, Metric::Cosine, c.input, into.data());
      ASSERT_EQ(out.size(), c.expected.size());
      for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(bits(out[i]), bits(c.expected[i])) << i;
        EXPECT_EQ(bits(into[i]), bits(c.expected[i])) << "into " << i;
      }
      EXPECT_NEAR(distance_kernel(p, Metric::Cosine)(out.data(), out.data(), out.size()), 1.0f,
                  1e-6f);
    }
  }
}

// A zero vector stored for Cosine scores +0.0 against every query.
TEST(PrepareVector, ZeroCosineVectorScoresPositiveZero) {
  const std::vector<float> zero = prepare_vector(Metric::Cosine, std::vector<float>(33, 0.0f));
  const std::vector<float> q = prepare_vector(Metric::Cosine, spread_floats(33, 11));
  for (KernelPath p : runnable_paths()) {
    EXPECT_EQ(bits(distance_kernel(p, Metric::Cosine)(q.data(), zero.data(), 33)), bits(0.0f))
        << path_name(p);
  }
}

}  // namespace
}  // namespace tornquil
