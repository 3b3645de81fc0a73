// The portable distance kernels, the once-per-process choice of kernel family, and vector
// preparation.
//
// Portable accumulation: four lane accumulators, lane j taking elements 4k + j of the whole
// blocks in block order with a separate multiply and add (the product rounded first), then
// (acc[0] + acc[2]) + (acc[1] + acc[3]), then the leftover elements in index order. This
// file is compiled for the baseline instruction set, where the compiler has no fused
// multiply-add to contract a product and a sum into; a build for a target whose baseline
// has one must pass -ffp-contract=off, or the fallback scores change in the last bits.
#include "search/distance.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tornquil {

namespace {

// The float machine epsilon, 2^-23: a Cosine vector with a smaller norm is stored as zeros.
constexpr float kMinCosineNorm = 0x1p-23f;

}  // namespace

float dot_product_portable(const float* a, const float* b, size_t n) {
  float acc0 = 0.0f, acc1 = 0.0f, acc2 = 0.0f, acc3 = 0.0f;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    acc0 = acc0 + a[i] * b[i];
    acc1 = acc1 + a[i + 1] * b[i + 1];
    acc2 = acc2 + a[i + 2] * b[i + 2];
    acc3 = acc3 + a[i + 3] * b[i + 3];
  }
  float r = (acc0 + acc2) + (acc1 + acc3);
  for (; i < n; ++i) r = r + a[i] * b[i];
  return r;
}

float squared_l2_portable(const float* a, const float* b, size_t n) {
  float acc0 = 0.0f, acc1 = 0.0f, acc2 = 0.0f, acc3 = 0.0f;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const float d0 = a[i] - b[i];
    const float d1 = a[i + 1] - b[i + 1];
    const float d2 = a[i + 2] - b[i + 2];
    const float d3 = a[i + 3] - b[i + 3];
    acc0 = acc0 + d0 * d0;
    acc1 = acc1 + d1 * d1;
    acc2 = acc2 + d2 * d2;
    acc3 = acc3 + d3 * d3;
  }
  float r = (acc0 + acc2) + (acc1 + acc3);
  for (; i < n; ++i) {
    const float d = a[i] - b[i];
    r = r + d * d;
  }
  return r;
}

// Preparation without AVX2 sums the squares one after another, with no lanes.
float l2_norm_portable(const float* v, size_t n) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) sum = sum + v[i] * v[i];
  return std::sqrt(sum);
}

// Without wide registers four single calls are as fast as anything interleaved, and they are
// trivially in the single-vector order.
void dot_product_x4_portable(const float* q, const float* const b[4], size_t n, float out[4]) {
  for (int j = 0; j < 4; ++j) out[j] = dot_product_portable(q, b[j], n);
}

void squared_l2_x4_portable(const float* q, const float* const b[4], size_t n, float out[4]) {
  for (int j = 0; j < 4; ++j) out[j] = squared_l2_portable(q, b[j], n);
}

namespace detail {

namespace {

constexpr KernelTable kPortableKernels = {
    KernelPath::Portable,    dot_product_portable,   squared_l2_portable,
    dot_product_x4_portable, squared_l2_x4_portable, l2_norm_portable,
};

constexpr KernelTable kAvx2Kernels = {
    KernelPath::Avx2,    dot_product_avx2,   squared_l2_avx2,
    dot_product_x4_avx2, squared_l2_x4_avx2, l2_norm_avx2,
};

}  // namespace

// Constant-initialised, so it is valid before any static constructor runs.
constinit std::atomic<const KernelTable*> g_selected_kernels{nullptr};

const KernelTable& kernel_table(KernelPath path) {
  return path == KernelPath::Avx2 ? kAvx2Kernels : kPortableKernels;
}

// Concurrent first callers detect the same features and store the same pointer.
const KernelTable* select_kernels() {
  const KernelTable* t = cpu_supports_avx2_fma() ? &kAvx2Kernels : &kPortableKernels;
  g_selected_kernels.store(t, std::memory_order_release);
  return t;
}

}  // namespace detail

namespace {

// How a Cosine vector is stored: as positive zeros when its norm is below 2^-23 (a NaN norm
// fails that test on purpose, so every element becomes NaN), otherwise as its elements times
// the reciprocal of the norm. The product with the reciprocal, not the quotient: stored
// vectors depend on the last bit.
//
// The float sum of squares overflows for finite vectors longer than about 1.8e19, and the
// reciprocal of that infinite norm would store the vector as zeros, losing its direction.
// Such a vector is scaled by a norm summed in double instead, where the square of any float
// is finite, and each element is the double quotient rounded once to a float. Only vectors
// whose float norm is infinite take that road, so every other vector keeps its stored bytes.
// A vector with an infinite element has an infinite norm in double too and keeps the
// reciprocal 0: finite elements become signed zeros, infinite ones NaN.
struct CosineScale {
  enum class Kind : uint8_t { Zeros, Reciprocal, Wide };
  Kind kind;
  float inv;    // Reciprocal: 1 / the float norm
  double norm;  // Wide: the norm summed in double
};

double wide_norm(std::span<const float> v) {
  double sum = 0.0;
  for (const float x : v) sum += static_cast<double>(x) * static_cast<double>(x);
  return std::sqrt(sum);
}

CosineScale cosine_scale(KernelPath p, std::span<const float> v) {
  const float norm = detail::kernel_table(p).l2_norm(v.data(), v.size());
  if (norm < kMinCosineNorm) return {CosineScale::Kind::Zeros, 0.0f, 0.0};
  if (std::isinf(norm)) {
    const double wide = wide_norm(v);
    if (std::isfinite(wide)) return {CosineScale::Kind::Wide, 0.0f, wide};
  }
  return {CosineScale::Kind::Reciprocal, 1.0f / norm, 0.0};
}

}  // namespace

void prepare_vector_into(KernelPath p, Metric m, std::span<const float> v, float* out) {
  const size_t n = v.size();
  if (n == 0) return;
  if (m != Metric::Cosine) {
    std::memcpy(out, v.data(), n * sizeof(float));
    return;
  }
  const CosineScale s = cosine_scale(p, v);
  switch (s.kind) {
    case CosineScale::Kind::Zeros:
      std::fill(out, out + n, 0.0f);
      return;
    case CosineScale::Kind::Reciprocal:
      for (size_t i = 0; i < n; ++i) out[i] = v[i] * s.inv;
      return;
    case CosineScale::Kind::Wide:
      // Every quotient lies in [-1, 1], so the conversion to float is defined.
      for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<float>(static_cast<double>(v[i]) / s.norm);
      return;
  }
}

std::vector<float> prepare_vector(KernelPath p, Metric m, std::span<const float> v) {
  std::vector<float> out(v.size());
  prepare_vector_into(p, m, v, out.data());
  return out;
}

std::vector<float> prepare_vector(Metric m, std::span<const float> v) {
  return prepare_vector(kernel_path(), m, v);
}

void prepare_vector_into(Metric m, std::span<const float> v, float* out) {
  prepare_vector_into(kernel_path(), m, v, out);
}

}  // namespace tornquil
