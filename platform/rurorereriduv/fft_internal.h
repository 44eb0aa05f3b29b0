// Internal to the FFT: the precomputed tables shared by the vector kernels, and
// the entry points of the kernel builds for each instruction set.
#ifndef RURORERERIDUV_FFT_INTERNAL_H_
#define RURORERERIDUV_FFT_INTERNAL_H_

#include <cstddef>
#include <cstdint>

#include "rurorereriduv/transform.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define RURORERERIDUV_FFT_AVX2 1
#endif

namespace rurorereriduv {
namespace transform {

// Radix-4 stages of at least this span keep only w^k in their twiddle table.
constexpr size_t kCompactTwiddleLen = size_t{1} << 12;

// Read-only view of a state's tables for n = 2m real points, laid out for the
// vector width (4 or 8 floats) of the kernels that will run.
struct FftPlan {
  size_t n = 0;
  size_t m = 0;
  size_t radix = 0;  // first stage: 4, 8 or 16
  // First stage: lanes r = width*j + u go to block rev[j] + bitrev(u) * m / (width * radix).
  const uint32_t* rev = nullptr;
  // Radix-4 stages after the first. Per `width` values of k the table holds
  // w^k, w^2k, w^3k as re[width], im[width] each; only w^k from span
  // kCompactTwiddleLen on.
  const size_t* stage_len = nullptr;
  const size_t* stage_off = nullptr;
  size_t stages = 0;
  const float* tw = nullptr;
  // -0.5i * exp(-2 pi i k / n) for k = 1..m/2, at index k - 1.
  const float* split_re = nullptr;
  const float* split_im = nullptr;
};

#ifdef RURORERERIDUV_FFT_AVX2
bool CpuHasAvx2Fma();
// scratch: n floats, 64-byte aligned.
void ForwardAvx2(const float* in, float* out, const FftPlan& plan, float* scratch);
void InverseAvx2(const float* in, float* out, const FftPlan& plan, float* scratch);
#endif

// Like FFTInit but never picks the wider instruction sets, so tests can cover
// the portable kernels on any machine.
void FFTInitPortable(FFTState_Float** state, unsigned int order);

}  // namespace transform
}  // namespace rurorereriduv

#endif  // RURORERERIDUV_FFT_INTERNAL_H_
