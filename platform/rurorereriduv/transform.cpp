// Real FFT entry points: state setup, instruction set choice, tiny sizes.
// The transforms themselves are in fft_kernels.h.
#include "rurorereriduv/transform.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "rurorereriduv/fft_internal.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace rurorereriduv {
namespace transform {
namespace {

#ifdef __SSE2__
struct Ops4 {
  using V = __m128;
  static constexpr int W = 4;
  static V Load(const float* p) { return _mm_loadu_ps(p); }
  static void Store(float* p, V v) { _mm_storeu_ps(p, v); }
  static V Splat(float f) { return _mm_set1_ps(f); }
  static V Reverse(V v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }
  static V MulAdd(V a, V b, V c) { return a * b + c; }
  static V MulSub(V a, V b, V c) { return a * b - c; }
  static void LoadCplx(const float* p, V& re, V& im) {
    const V a = _mm_loadu_ps(p);
    const V b = _mm_loadu_ps(p + 4);
    re = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    im = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
  }
  static void StoreCplx(float* p, V re, V im) {
    _mm_storeu_ps(p, _mm_unpacklo_ps(re, im));
    _mm_storeu_ps(p + 4, _mm_unpackhi_ps(re, im));
  }
  static void Transpose(V* r) { _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]); }
};
#else
// Portable build: GCC/clang vector extensions, lowered to whatever the target has.
struct Ops4 {
  typedef float V __attribute__((vector_size(16)));
  static constexpr int W = 4;
  static V Load(const float* p) { return V{p[0], p[1], p[2], p[3]}; }
  static void Store(float* p, V v) {
    for (int i = 0; i < 4; ++i) p[i] = v[i];
  }
  static V Splat(float f) { return V{f, f, f, f}; }
  static V Reverse(V v) { return V{v[3], v[2], v[1], v[0]}; }
  static V MulAdd(V a, V b, V c) { return a * b + c; }
  static V MulSub(V a, V b, V c) { return a * b - c; }
  static void LoadCplx(const float* p, V& re, V& im) {
    re = V{p[0], p[2], p[4], p[6]};
    im = V{p[1], p[3], p[5], p[7]};
  }
  static void StoreCplx(float* p, V re, V im) {
    for (int i = 0; i < 4; ++i) {
      p[2 * i] = re[i];
      p[2 * i + 1] = im[i];
    }
  }
  static void Transpose(V* r) {
    const V a{r[0][0], r[1][0], r[2][0], r[3][0]}, b{r[0][1], r[1][1], r[2][1], r[3][1]};
    const V c{r[0][2], r[1][2], r[2][2], r[3][2]}, d{r[0][3], r[1][3], r[2][3], r[3][3]};
    r[0] = a;
    r[1] = b;
    r[2] = c;
    r[3] = d;
  }
};
#endif

}  // namespace
}  // namespace transform
}  // namespace rurorereriduv

#include "rurorereriduv/fft_kernels.h"

namespace rurorereriduv {
namespace transform {

struct FFTState_Float {
  unsigned order = 0;
  bool avx2 = false;
  FftPlan plan;
  std::vector<uint32_t> rev;
  std::vector<size_t> stage_len, stage_off;
  std::vector<float> tw, split_re, split_im;
  // Scalar path for tiny sizes: exp(-2 pi i t / m) for t < m / 2.
  std::vector<float> small_re, small_im;
};

namespace {

// Below this the 4-lane kernels do not fit; scalar code handles these sizes.
constexpr unsigned kMinFastOrder = 5;
// Smallest order whose first stage fills eight lanes (m / radix >= 8).
constexpr unsigned kMinWideOrder = 8;
constexpr double kTwoPi = 6.283185307179586476925286766559;

uint32_t ReverseBits(uint32_t v, unsigned bits) {
  uint32_t r = 0;
  for (unsigned b = 0; b < bits; ++b) r |= ((v >> b) & 1u) << (bits - 1 - b);
  return r;
}

// exp(-2 pi i num / den) in double, rounded once.
void Twiddle(size_t num, size_t den, float* re, float* im) {
  const double a = -kTwoPi * static_cast<double>(num) / static_cast<double>(den);
  *re = static_cast<float>(std::cos(a));
  *im = static_cast<float>(std::sin(a));
}

// -0.5i * exp(-2 pi i k / n) for k = 1..m/2.
void BuildSplitTable(FFTState_Float* st) {
  FftPlan& p = st->plan;
  st->split_re.resize(p.m / 2);
  st->split_im.resize(p.m / 2);
  for (size_t k = 1; k <= p.m / 2; ++k) {
    float c, s;
    Twiddle(k, p.n, &c, &s);
    st->split_re[k - 1] = 0.5f * s;
    st->split_im[k - 1] = -0.5f * c;
  }
  p.split_re = st->split_re.data();
  p.split_im = st->split_im.data();
}

void BuildSmallTables(FFTState_Float* st) {
  const size_t m = st->plan.m;
  unsigned log_m = 0;
  while ((size_t{1} << log_m) < m) ++log_m;
  st->rev.resize(m);
  for (size_t j = 0; j < m; ++j) st->rev[j] = ReverseBits(static_cast<uint32_t>(j), log_m);
  st->small_re.resize(m / 2);
  st->small_im.resize(m / 2);
  for (size_t t = 0; t < m / 2; ++t) Twiddle(t, m, &st->small_re[t], &st->small_im[t]);
  BuildSplitTable(st);
}

void BuildTables(FFTState_Float* st, size_t width) {
  FftPlan& p = st->plan;
  const size_t m = p.m;
  unsigned log_m = 0;
  while ((size_t{1} << log_m) < m) ++log_m;
  unsigned log_radix = log_m % 2 == 1 ? 3 : 4;
  if (log_m == 4) log_radix = 2;  // 16 points: too few for four radix-16 lanes
  unsigned log_width = width == 8 ? 3 : 2;
  p.radix = size_t{1} << log_radix;

  for (size_t len = p.radix; len < m; len *= 4) {
    st->stage_len.push_back(len);
    st->stage_off.push_back(st->tw.size());
    for (size_t k = 0; k < len; k += width) {
      const size_t powers = len >= kCompactTwiddleLen ? 1 : 3;
      for (size_t t = 1; t <= powers; ++t) {
        float wr[8], wi[8];
        for (size_t u = 0; u < width; ++u) Twiddle(t * (k + u), 4 * len, &wr[u], &wi[u]);
        st->tw.insert(st->tw.end(), wr, wr + width);
        st->tw.insert(st->tw.end(), wi, wi + width);
      }
    }
  }

  BuildSplitTable(st);

  const unsigned lane_bits = log_m - log_radix - log_width;
  st->rev.resize(size_t{1} << lane_bits);
  for (size_t j = 0; j < st->rev.size(); ++j) {
    st->rev[j] = ReverseBits(static_cast<uint32_t>(j), lane_bits);
  }

  p.rev = st->rev.data();
  p.stage_len = st->stage_len.data();
  p.stage_off = st->stage_off.data();
  p.stages = st->stage_len.size();
  p.tw = st->tw.data();
}

void Init(FFTState_Float** state, unsigned order, bool allow_wide) {
  auto* st = new FFTState_Float;
  st->order = order;
  st->plan.n = size_t{1} << order;
  st->plan.m = st->plan.n / 2;
  if (order < kMinFastOrder) {
    if (order > 0) BuildSmallTables(st);
  } else {
#ifdef RURORERERIDUV_FFT_AVX2
    st->avx2 = allow_wide && order >= kMinWideOrder && CpuHasAvx2Fma();
#else
    (void)allow_wide;
#endif
    BuildTables(st, st->avx2 ? 8 : 4);
  }
  *state = st;
}

float* AlignScratch(unsigned char* buf) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(buf);
  return reinterpret_cast<float*>((p + 63) & ~uintptr_t{63});
}

// Scalar in-place radix-2 FFT of m <= 8 points already in bit-reversed order.
template <size_t m>
void SmallComplexFFT(float* re, float* im, const FFTState_Float& st) {
  for (size_t len = 1; len < m; len *= 2) {
    const size_t step = m / (2 * len);
    for (size_t blk = 0; blk < m; blk += 2 * len) {
      for (size_t k = 0; k < len; ++k) {
        const float wr = st.small_re[k * step], wi = st.small_im[k * step];
        const size_t a = blk + k, b = a + len;
        const float tr = re[b] * wr - im[b] * wi, ti = re[b] * wi + im[b] * wr;
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] += tr;
        im[a] += ti;
      }
    }
  }
}

// Scalar version of the vector kernels' Inverse, for 2 <= n <= 16; speed
// hardly matters at these sizes.
template <size_t m>
void SmallInverse(const float* in, float* out, const FFTState_Float& st) {
  constexpr size_t n = 2 * m;
  float re[m], im[m];
  re[0] = in[0] + in[n];
  im[0] = in[n] - in[0];
  for (size_t k = 1; k <= m / 2; ++k) {
    const float pr = in[2 * k], pi = in[2 * k + 1], qr = in[2 * (m - k)], qi = -in[2 * (m - k) + 1];
    const float sr = pr + qr, si = pi + qi, dr = pr - qr, di = pi - qi;
    const float wr = st.split_re[k - 1], wi = -st.split_im[k - 1];
    const float ur = 2.0f * (dr * wr - di * wi), ui = 2.0f * (dr * wi + di * wr);
    re[st.rev[k]] = sr + ur;
    im[st.rev[k]] = -(si + ui);
    re[st.rev[m - k]] = sr - ur;
    im[st.rev[m - k]] = si - ui;
  }
  SmallComplexFFT<m>(re, im, st);
  for (size_t j = 0; j < m; ++j) {
    out[2 * j] = re[j];
    out[2 * j + 1] = -im[j];
  }
}

// 8 points written out: halves of radix 2 over two real 4-point DFTs. The
// generic scalar path loses to simple codes at this size.
void Forward8(const float* x, float* out) {
  constexpr float h = 0.70710678118654752440f;
  const float e0 = x[0] + x[4], e1 = x[2] + x[6], o0 = x[1] + x[5], o1 = x[3] + x[7];
  const float a02 = x[0] - x[4], a13 = x[2] - x[6], b02 = x[1] - x[5], b13 = x[3] - x[7];
  const float ea = e0 + e1, oa = o0 + o1;
  const float rd = h * (b02 - b13), rs = h * (b02 + b13);
  out[0] = ea + oa;
  out[1] = 0.0f;
  out[2] = a02 + rd;
  out[3] = -a13 - rs;
  out[4] = e0 - e1;
  out[5] = o1 - o0;
  out[6] = a02 - rd;
  out[7] = a13 - rs;
  out[8] = ea - oa;
  out[9] = 0.0f;
}

// 16 points: 8-point transforms of even and odd samples, then one radix-2 step
// X[k] = E[k] + w^k O[k] with bins above 4 taken from conjugate symmetry.
void Forward16(const float* x, float* out) {
  constexpr float c1 = 0.92387953251128675613f, s1 = 0.38268343236508977173f;
  constexpr float h = 0.70710678118654752440f;
  constexpr float cs[9] = {1.0f, c1, h, s1, 0.0f, -s1, -h, -c1, -1.0f};
  constexpr float sn[9] = {0.0f, s1, h, c1, 1.0f, c1, h, s1, 0.0f};
  float even[8], odd[8], e[10], o[10];
  for (int j = 0; j < 8; ++j) {
    even[j] = x[2 * j];
    odd[j] = x[2 * j + 1];
  }
  Forward8(even, e);
  Forward8(odd, o);
  for (int k = 0; k <= 8; ++k) {
    const int b = k <= 4 ? k : 8 - k;
    const float sign = k <= 4 ? 1.0f : -1.0f;
    const float er = e[2 * b], ei = sign * e[2 * b + 1], orr = o[2 * b], oi = sign * o[2 * b + 1];
    out[2 * k] = er + cs[k] * orr + sn[k] * oi;
    out[2 * k + 1] = ei + cs[k] * oi - sn[k] * orr;
  }
}

void SmallForward(const float* in, float* out, unsigned order) {
  switch (order) {
    case 0:
      out[0] = in[0];
      out[1] = out[2] = 0.0f;
      break;
    case 1:
      out[0] = in[0] + in[1];
      out[2] = in[0] - in[1];
      out[1] = out[3] = 0.0f;
      break;
    case 2:
      out[0] = (in[0] + in[2]) + (in[1] + in[3]);
      out[2] = in[0] - in[2];
      out[3] = in[3] - in[1];
      out[4] = (in[0] + in[2]) - (in[1] + in[3]);
      out[1] = out[5] = 0.0f;
      break;
    case 3:
      Forward8(in, out);
      break;
    default:
      Forward16(in, out);
  }
}

void SmallInverse(const float* in, float* out, const FFTState_Float& st) {
  switch (st.order) {
    case 0:
      out[0] = in[0];
      break;
    case 1:
      SmallInverse<1>(in, out, st);
      break;
    case 2:
      SmallInverse<2>(in, out, st);
      break;
    case 3:
      SmallInverse<4>(in, out, st);
      break;
    default:
      SmallInverse<8>(in, out, st);
  }
}

}  // namespace

void FFTInit(FFTState_Float** state, unsigned int order) { Init(state, order, true); }

void FFTInitPortable(FFTState_Float** state, unsigned int order) { Init(state, order, false); }

void FFTGetBufSize(const FFTState_Float* state, unsigned int* size) {
  // Split re/im work arrays of m points each, plus room to align them. A size
  // beyond the counter's range saturates rather than wrapping to a small one.
  const uint64_t bytes = state->order < kMinFastOrder ? 0 : state->plan.n * sizeof(float) + 64;
  *size = static_cast<unsigned>(std::min<uint64_t>(bytes, std::numeric_limits<unsigned>::max()));
}

void FFTFwd(const float* in, float* out, const FFTState_Float* state, unsigned char* buf) {
  const FFTState_Float& st = *state;
  if (st.order < kMinFastOrder) {
    SmallForward(in, out, st.order);
    return;
  }
#ifdef RURORERERIDUV_FFT_AVX2
  if (st.avx2) {
    ForwardAvx2(in, out, st.plan, AlignScratch(buf));
    return;
  }
#endif
  Forward<Ops4>(in, out, st.plan, AlignScratch(buf));
}

void FFTInv(const float* in, float* out, const FFTState_Float* state, unsigned char* buf) {
  const FFTState_Float& st = *state;
  if (st.order < kMinFastOrder) {
    SmallInverse(in, out, st);
    return;
  }
#ifdef RURORERERIDUV_FFT_AVX2
  if (st.avx2) {
    InverseAvx2(in, out, st.plan, AlignScratch(buf));
    return;
  }
#endif
  Inverse<Ops4>(in, out, st.plan, AlignScratch(buf));
}

void FFTFree(FFTState_Float* state) { delete state; }

}  // namespace transform
}  // namespace rurorereriduv
