// The AVX2+FMA distance kernels and the processor feature test that allows them.
//
// Accumulation, shared by every kernel here: eight lane accumulators, lane j taking
// fma(x, y, acc[j]) over elements 8k + j of the whole blocks in block order; then
// s[j] = acc[j] + acc[j + 4] and r = (s[0] + s[2]) + (s[1] + s[3]); then the leftover
// elements (at most 7) in index order as r = r + x * y with the product rounded first.
// Only these functions carry the AVX2 target; the rest of the library stays on the baseline
// instruction set, so nothing else may run AVX2 code on a processor without it.
#include <cmath>

#include "search/distance.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

#define TQ_AVX2 __attribute__((target("avx2,fma")))

namespace tornquil {

namespace {

// The tail must round the product before adding it. With FMA enabled the compiler would
// otherwise fuse `r + x * y` into one rounding; the empty asm hides the product from it.
TQ_AVX2 inline float rounded_product(float x, float y) {
  float p = x * y;
  __asm__("" : "+x"(p));
  return p;
}

TQ_AVX2 inline float reduce_lanes(__m256 acc) {
  const __m128 s = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
  const __m128 t = _mm_add_ps(s, _mm_movehl_ps(s, s));  // t0 = s0 + s2, t1 = s1 + s3
  return _mm_cvtss_f32(_mm_add_ss(t, _mm_shuffle_ps(t, t, 1)));
}

TQ_AVX2 inline float dot_tail(float r, const float* a, const float* b, size_t i, size_t n) {
  for (; i < n; ++i) r = r + rounded_product(a[i], b[i]);
  return r;
}

TQ_AVX2 inline float squared_l2_tail(float r, const float* a, const float* b, size_t i, size_t n) {
  for (; i < n; ++i) {
    const float d = a[i] - b[i];
    r = r + rounded_product(d, d);
  }
  return r;
}

}  // namespace

// Each lane's accumulator is one dependency chain in block order; unrolling cannot shorten
// it without changing the result, which is why the four-vector variants exist.
TQ_AVX2 float dot_product_avx2(const float* a, const float* b, size_t n) {
  __m256 acc = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    acc = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc);
  return dot_tail(reduce_lanes(acc), a, b, i, n);
}

TQ_AVX2 float squared_l2_avx2(const float* a, const float* b, size_t n) {
  __m256 acc = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    acc = _mm256_fmadd_ps(d, d, acc);
  }
  return squared_l2_tail(reduce_lanes(acc), a, b, i, n);
}

TQ_AVX2 float l2_norm_avx2(const float* v, size_t n) {
  __m256 acc = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(v + i);
    acc = _mm256_fmadd_ps(x, x, acc);
  }
  return std::sqrt(dot_tail(reduce_lanes(acc), v, v, i, n));
}

// One query load feeds four independent chains, so the fused multiply-adds overlap instead
// of waiting on each other.
TQ_AVX2 void dot_product_x4_avx2(const float* q, const float* const b[4], size_t n, float out[4]) {
  const float *b0 = b[0], *b1 = b[1], *b2 = b[2], *b3 = b[3];
  __m256 acc0 = _mm256_setzero_ps(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(q + i);
    acc0 = _mm256_fmadd_ps(x, _mm256_loadu_ps(b0 + i), acc0);
    acc1 = _mm256_fmadd_ps(x, _mm256_loadu_ps(b1 + i), acc1);
    acc2 = _mm256_fmadd_ps(x, _mm256_loadu_ps(b2 + i), acc2);
    acc3 = _mm256_fmadd_ps(x, _mm256_loadu_ps(b3 + i), acc3);
  }
  out[0] = dot_tail(reduce_lanes(acc0), q, b0, i, n);
  out[1] = dot_tail(reduce_lanes(acc1), q, b1, i, n);
  out[2] = dot_tail(reduce_lanes(acc2), q, b2, i, n);
  out[3] = dot_tail(reduce_lanes(acc3), q, b3, i, n);
}

TQ_AVX2 void squared_l2_x4_avx2(const float* q, const float* const b[4], size_t n, float out[4]) {
  const float *b0 = b[0], *b1 = b[1], *b2 = b[2], *b3 = b[3];
  __m256 acc0 = _mm256_setzero_ps(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(q + i);
    const __m256 d0 = _mm256_sub_ps(x, _mm256_loadu_ps(b0 + i));
    const __m256 d1 = _mm256_sub_ps(x, _mm256_loadu_ps(b1 + i));
    const __m256 d2 = _mm256_sub_ps(x, _mm256_loadu_ps(b2 + i));
    const __m256 d3 = _mm256_sub_ps(x, _mm256_loadu_ps(b3 + i));
    acc0 = _mm256_fmadd_ps(d0, d0, acc0);
    acc1 = _mm256_fmadd_ps(d1, d1, acc1);
    acc2 = _mm256_fmadd_ps(d2, d2, acc2);
    acc3 = _mm256_fmadd_ps(d3, d3, acc3);
  }
  out[0] = squared_l2_tail(reduce_lanes(acc0), q, b0, i, n);
  out[1] = squared_l2_tail(reduce_lanes(acc1), q, b1, i, n);
  out[2] = squared_l2_tail(reduce_lanes(acc2), q, b2, i, n);
  out[3] = squared_l2_tail(reduce_lanes(acc3), q, b3, i, n);
}

// The processor must report AVX (the encoding), AVX2 and FMA, and the operating system must
// have enabled saving of the XMM and YMM registers (OSXSAVE set, XCR0 bits 1 and 2), or the
// first 256-bit instruction would fault.
bool cpu_supports_avx2_fma() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool fma = (ecx & bit_FMA) != 0;
  const bool osxsave = (ecx & bit_OSXSAVE) != 0;
  const bool avx = (ecx & bit_AVX) != 0;
  if (!fma || !osxsave || !avx) return false;
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  if ((xcr0_lo & 0x6u) != 0x6u) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & bit_AVX2) != 0;
}

}  // namespace tornquil

#else  // not x86: only the portable family exists.

namespace tornquil {

bool cpu_supports_avx2_fma() { return false; }

float dot_product_avx2(const float*, const float*, size_t) { fatal("AVX2 kernel called"); }
float squared_l2_avx2(const float*, const float*, size_t) { fatal("AVX2 kernel called"); }
float l2_norm_avx2(const float*, size_t) { fatal("AVX2 kernel called"); }
void dot_product_x4_avx2(const float*, const float* const[4], size_t, float[4]) {
  fatal("AVX2 kernel called");
}
void squared_l2_x4_avx2(const float*, const float* const[4], size_t, float[4]) {
  fatal("AVX2 kernel called");
}

}  // namespace tornquil

#endif
