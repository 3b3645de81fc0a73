// Scoring primitives: the distance of a query to a stored vector under a collection's metric,
// the preparation of vectors for storage and queries, and the worst score of a metric.
//
// Every score is a float accumulated in a fixed order, so a score is the same on every run.
// Two kernel families exist: AVX2+FMA (eight lanes, fused multiply-add) and a portable
// fallback (four lanes, separate multiply and add). They may differ in the last bits for the
// same input. The family is chosen once per process from the processor's features and the
// operating system's AVX state; every later call reads the cached choice.
//
// Thread safety: every function here is pure over caller-owned memory and may run on any
// number of threads at once. Vectors are read without any alignment requirement.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"

namespace tornquil {

// Scores the first n floats of a against the first n floats of b.
using DistanceFn = float (*)(const float* a, const float* b, size_t n);
// Scores four stored vectors against one query; out[i] is bit-identical to the single-vector
// kernel of the same family applied to (q, b[i], n).
using DistanceX4Fn = void (*)(const float* q, const float* const b[4], size_t n, float out[4]);

enum class KernelPath : uint8_t { Portable, Avx2 };

// True when the processor reports AVX2 and FMA and the operating system saves the AVX
// register state. Runs cpuid/xgetbv on every call; use kernel_path() for the cached answer.
bool cpu_supports_avx2_fma();

// The single-query kernels. The AVX2 ones may be called only when cpu_supports_avx2_fma().
float dot_product_portable(const float* a, const float* b, size_t n);
float squared_l2_portable(const float* a, const float* b, size_t n);
float dot_product_avx2(const float* a, const float* b, size_t n);
float squared_l2_avx2(const float* a, const float* b, size_t n);
// Euclidean norm, square root included: a plain sequential sum of squares on the portable
// path, the eight-lane accumulation on the AVX2 path.
float l2_norm_portable(const float* v, size_t n);
float l2_norm_avx2(const float* v, size_t n);

// Four stored vectors at once, each in exactly its single-vector order.
void dot_product_x4_portable(const float* q, const float* const b[4], size_t n, float out[4]);
void squared_l2_x4_portable(const float* q, const float* const b[4], size_t n, float out[4]);
void dot_product_x4_avx2(const float* q, const float* const b[4], size_t n, float out[4]);
void squared_l2_x4_avx2(const float* q, const float* const b[4], size_t n, float out[4]);

namespace detail {

struct KernelTable {
  KernelPath path;
  DistanceFn dot;
  DistanceFn squared_l2;
  DistanceX4Fn dot_x4;
  DistanceX4Fn squared_l2_x4;
  float (*l2_norm)(const float* v, size_t n);
};

const KernelTable& kernel_table(KernelPath path);

// The process-wide choice; null until the first call detects the features.
extern std::atomic<const KernelTable*> g_selected_kernels;
const KernelTable* select_kernels();

inline const KernelTable& selected_kernels() {
  const KernelTable* t = g_selected_kernels.load(std::memory_order_acquire);
  return t != nullptr ? *t : *select_kernels();
}

inline DistanceFn pick(const KernelTable& t, Metric m) {
  return m == Metric::L2 ? t.squared_l2 : t.dot;
}
inline DistanceX4Fn pick_x4(const KernelTable& t, Metric m) {
  return m == Metric::L2 ? t.squared_l2_x4 : t.dot_x4;
}

}  // namespace detail

// The kernel family this process uses.
inline KernelPath kernel_path() { return detail::selected_kernels().path; }

// The kernel of a metric on the selected family. Loops over many candidates fetch it once
// and call it directly, so the per-item cost is one indirect call.
inline DistanceFn distance_kernel(Metric m) { return detail::pick(detail::selected_kernels(), m); }
inline DistanceX4Fn distance_x4_kernel(Metric m) {
  return detail::pick_x4(detail::selected_kernels(), m);
}
// The kernel of a metric on a named family, for tests and benchmarks that compare the two.
// The Avx2 family may be called only when cpu_supports_avx2_fma().
inline DistanceFn distance_kernel(KernelPath p, Metric m) {
  return detail::pick(detail::kernel_table(p), m);
}
inline DistanceX4Fn distance_x4_kernel(KernelPath p, Metric m) {
  return detail::pick_x4(detail::kernel_table(p), m);
}

// The score of a against b: the dot product for Cosine and Dot (higher is better), the
// squared Euclidean distance for L2 (lower is better, no square root). a is the query side;
// b must hold at least n floats and floats of b beyond n are not read. NaN and infinities
// pass through as IEEE-754 defines. Allocates nothing, locks nothing.
inline float distance(Metric m, const float* a, const float* b, size_t n) {
  return distance_kernel(m)(a, b, n);
}

// The same over spans: n is a.size(). A b shorter than a is a caller's broken invariant.
inline float distance(Metric m, std::span<const float> a, std::span<const float> b) {
  if (b.size() < a.size()) fatal("distance: stored vector shorter than the query");
  return distance(m, a.data(), b.data(), a.size());
}

// Scores b[0..3] against q; out[i] is bit-identical to distance(m, q, b[i], n).
inline void distance_x4(Metric m, const float* q, const float* const b[4], size_t n, float out[4]) {
  distance_x4_kernel(m)(q, b, n, out);
}

// The score a missing vector gets: -inf where higher is better, +inf for L2.
constexpr float worst_score(Metric m) {
  return m == Metric::L2 ? std::numeric_limits<float>::infinity()
                         : -std::numeric_limits<float>::infinity();
}

// The stored and queried form of v: for Cosine a unit-length copy, v[i] * (1 / norm) (all
// zeros when the norm is below 2^-23, NaN everywhere when the norm is NaN; a finite vector
// whose float norm overflows is divided by its norm taken in double, so it keeps its
// direction); for Dot and L2 a plain copy. The result has v.size() floats and is the one
// allocation made.
std::vector<float> prepare_vector(Metric m, std::span<const float> v);
// The same on a named family (Avx2 only when cpu_supports_avx2_fma()).
std::vector<float> prepare_vector(KernelPath p, Metric m, std::span<const float> v);
// The same floats written to out, which holds v.size() floats and does not overlap v.
// Allocates nothing.
void prepare_vector_into(Metric m, std::span<const float> v, float* out);
void prepare_vector_into(KernelPath p, Metric m, std::span<const float> v, float* out);

}  // namespace tornquil
