// AVX2 + FMA build of the FFT kernels, picked at run time by FFTInit. The rest
// of the library is built for the baseline instruction set, so the target is
// raised here for this file's functions only. Nothing with external linkage but
// the two entry points may sit in the raised region: a shared inline function
// could otherwise be linked in its AVX2 form for callers on any CPU.
#include "rurorereriduv/fft_internal.h"

#ifdef RURORERERIDUV_FFT_AVX2

#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

namespace rurorereriduv {
namespace transform {
namespace {

struct Ops8 {
  using V = __m256;
  static constexpr int W = 8;
  static V Load(const float* p) { return _mm256_loadu_ps(p); }
  static void Store(float* p, V v) { _mm256_storeu_ps(p, v); }
  static V Splat(float f) { return _mm256_set1_ps(f); }
  static V Reverse(V v) {
    return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
  }
  static V MulAdd(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
  static V MulSub(V a, V b, V c) { return _mm256_fmsub_ps(a, b, c); }
  static void LoadCplx(const float* p, V& re, V& im) {
    const V a = _mm256_loadu_ps(p);
    const V b = _mm256_loadu_ps(p + 8);
    // In-lane shuffles leave the 64-bit pairs as a0 a1 b0 b1 | a2 a3 b2 b3.
    const V r = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    const V i = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
    re = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(r), _MM_SHUFFLE(3, 1, 2, 0)));
    im = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(i), _MM_SHUFFLE(3, 1, 2, 0)));
  }
  static void StoreCplx(float* p, V re, V im) {
    const V lo = _mm256_unpacklo_ps(re, im);
    const V hi = _mm256_unpackhi_ps(re, im);
    _mm256_storeu_ps(p, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_storeu_ps(p + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
  }
  static void Transpose(V* r) {
    V t[8], s[8];
    for (int k = 0; k < 8; k += 2) {
      t[k] = _mm256_unpacklo_ps(r[k], r[k + 1]);
      t[k + 1] = _mm256_unpackhi_ps(r[k], r[k + 1]);
    }
    for (int k = 0; k < 8; k += 4) {
      s[k] = _mm256_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(1, 0, 1, 0));
      s[k + 1] = _mm256_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(3, 2, 3, 2));
      s[k + 2] = _mm256_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(1, 0, 1, 0));
      s[k + 3] = _mm256_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int k = 0; k < 4; ++k) {
      r[k] = _mm256_permute2f128_ps(s[k], s[k + 4], 0x20);
      r[k + 4] = _mm256_permute2f128_ps(s[k], s[k + 4], 0x31);
    }
  }
};

}  // namespace
}  // namespace transform
}  // namespace rurorereriduv

#include "rurorereriduv/fft_kernels.h"

namespace rurorereriduv {
namespace transform {

void ForwardAvx2(const float* in, float* out, const FftPlan& plan, float* scratch) {
  Forward<Ops8>(in, out, plan, scratch);
}

void InverseAvx2(const float* in, float* out, const FftPlan& plan, float* scratch) {
  Inverse<Ops8>(in, out, plan, scratch);
}

}  // namespace transform
}  // namespace rurorereriduv

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace rurorereriduv {
namespace transform {

// Outside the raised target: this runs before we know the CPU can take it.
// The explicit init covers callers running from static constructors.
bool CpuHasAvx2Fma() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

}  // namespace transform
}  // namespace rurorereriduv

#endif  // RURORERERIDUV_FFT_AVX2
