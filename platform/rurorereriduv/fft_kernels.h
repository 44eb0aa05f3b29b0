// FFT kernels written once over a vector type, instantiated per instruction set.
//
// Include after defining an ops struct T with: V, W (lanes), Load, Store, Splat,
// Reverse (lane order), MulAdd(a, b, c) = a*b + c, MulSub(a, b, c) = a*b - c,
// LoadCplx / StoreCplx (W interleaved complex values <-> re, im vectors) and
// Transpose(V* rows) (W x W in place). Everything here has internal linkage so
// each translation unit keeps its own build for its own instruction set.
//
// Algorithm: the packed input z[n] = x[2n] + i x[2n+1] goes through an iterative
// decimation-in-time FFT of m = n/2 points held in split re/im arrays, so every
// butterfly is plain lane-wise arithmetic; then a split step turns Z into the
// half spectrum of x. The bit reversal is folded into the first stage: it reads
// the input in order, does radix-16 (radix-8 when log2(m) is odd) butterflies
// with constant twiddles and scatters whole blocks to their bit-reversed places.
#ifndef RURORERERIDUV_FFT_KERNELS_H_
#define RURORERERIDUV_FFT_KERNELS_H_

#include <cstddef>
#include <cstdint>

#include "rurorereriduv/fft_internal.h"

namespace rurorereriduv {
namespace transform {
namespace {

// Stages whose blocks fit in these many complex points run block by block (the
// smaller nested in the larger), so a large transform does not stream the whole
// array once per stage. Sized for L1 and L2.
constexpr size_t kInnerBlock = size_t{1} << 11;
constexpr size_t kOuterBlock = size_t{1} << 15;

constexpr float kSqrtHalf = 0.70710678118654752440f;
constexpr float kCos8 = 0.92387953251128675613f;  // cos(pi / 8)
constexpr float kSin8 = 0.38268343236508977173f;  // sin(pi / 8)

// One complex value per lane.
template <class T>
struct CV {
  typename T::V r, i;
};

template <class T>
inline CV<T> operator+(CV<T> a, CV<T> b) {
  return {a.r + b.r, a.i + b.i};
}
template <class T>
inline CV<T> operator-(CV<T> a, CV<T> b) {
  return {a.r - b.r, a.i - b.i};
}
template <class T>
inline CV<T> MulNegI(CV<T> a) {
  return {a.i, -a.r};
}
template <class T>
inline CV<T> CMul(CV<T> a, typename T::V wr, typename T::V wi) {
  return {T::MulSub(a.r, wr, a.i * wi), T::MulAdd(a.r, wi, a.i * wr)};
}
template <class T>
inline CV<T> CMulConst(CV<T> a, float wr, float wi) {
  return CMul<T>(a, T::Splat(wr), T::Splat(wi));
}

// In-place 4-point DFT, natural order in and out.
template <class T>
inline void Dft4(CV<T>& a0, CV<T>& a1, CV<T>& a2, CV<T>& a3) {
  const CV<T> s02 = a0 + a2, d02 = a0 - a2, s13 = a1 + a3, d13 = MulNegI<T>(a1 - a3);
  a0 = s02 + s13;
  a2 = s02 - s13;
  a1 = d02 + d13;
  a3 = d02 - d13;
}

// 8-point DFT: 4-point DFTs of even and odd inputs, then one radix-2 step.
template <class T>
inline void Dft8(CV<T>* x) {
  Dft4<T>(x[0], x[2], x[4], x[6]);
  Dft4<T>(x[1], x[3], x[5], x[7]);
  const CV<T> o[4] = {x[1], CMulConst<T>(x[3], kSqrtHalf, -kSqrtHalf), MulNegI<T>(x[5]),
                      CMulConst<T>(x[7], -kSqrtHalf, -kSqrtHalf)};
  const CV<T> e[4] = {x[0], x[2], x[4], x[6]};
  for (int k = 0; k < 4; ++k) {
    x[k] = e[k] + o[k];
    x[k + 4] = e[k] - o[k];
  }
}

// 16-point DFT as 4 x 4: columns, twiddles w16^(n2 k1), rows, transpose.
template <class T>
inline void Dft16(CV<T>* x) {
  for (int c = 0; c < 4; ++c) Dft4<T>(x[c], x[c + 4], x[c + 8], x[c + 12]);
  // x[n2 + 4 k1] holds column n2 at frequency k1.
  x[5] = CMulConst<T>(x[5], kCos8, -kSin8);
  x[6] = CMulConst<T>(x[6], kSqrtHalf, -kSqrtHalf);
  x[7] = CMulConst<T>(x[7], kSin8, -kCos8);
  x[9] = CMulConst<T>(x[9], kSqrtHalf, -kSqrtHalf);
  x[10] = MulNegI<T>(x[10]);
  x[11] = CMulConst<T>(x[11], -kSqrtHalf, -kSqrtHalf);
  x[13] = CMulConst<T>(x[13], kSin8, -kCos8);
  x[14] = CMulConst<T>(x[14], -kSqrtHalf, -kSqrtHalf);
  x[15] = CMulConst<T>(x[15], -kCos8, kSin8);
  for (int r = 0; r < 4; ++r) Dft4<T>(x[4 * r], x[4 * r + 1], x[4 * r + 2], x[4 * r + 3]);
  // x[4 k1 + k2] holds X[k1 + 4 k2].
  for (int r = 0; r < 4; ++r) {
    for (int c = r + 1; c < 4; ++c) {
      const CV<T> t = x[4 * r + c];
      x[4 * r + c] = x[4 * c + r];
      x[4 * c + r] = t;
    }
  }
}

// First stage: for each r < m / R, the R-point DFT of z[r + j m / R] (j < R) read
// from interleaved src, stored as block bitrev(r), which is where decimation in
// time wants it. The W lanes take W consecutive r.
template <class T, int R>
void FirstStage(const float* __restrict src, float* __restrict re, float* __restrict im,
                const FftPlan& p) {
  constexpr int W = T::W;
  const size_t stride = p.m / R;
  size_t lane_off[W];
  for (int u = 0; u < W; ++u) {
    size_t rev = 0;
    for (int b = 1; b < W; b *= 2) rev = 2 * rev + ((u / b) & 1);
    lane_off[u] = rev * R * (stride / W);
  }
  // A radix-8 block is half a cache line; its neighbour block comes from run
  // j + runs/2, so visit runs in that order to fill each line at once.
  const size_t runs = stride / W;
  const size_t half = R == 8 && runs >= 2 ? runs / 2 : runs;
  for (size_t step = 0; step < runs; ++step) {
    const size_t j = half == runs ? step : step / 2 + (step & 1) * half;
    CV<T> x[R];
    for (int n = 0; n < R; ++n) T::LoadCplx(src + 2 * (W * j + n * stride), x[n].r, x[n].i);
    if constexpr (R == 4) {
      Dft4<T>(x[0], x[1], x[2], x[3]);
    } else if constexpr (R == 8) {
      Dft8<T>(x);
    } else {
      Dft16<T>(x);
    }
    float* r0 = re + R * size_t{p.rev[j]};
    float* i0 = im + R * size_t{p.rev[j]};
    for (int c = 0; c < R; c += W) {
      typename T::V rows[W];
      for (int u = 0; u < W; ++u) rows[u] = x[c + u].r;
      T::Transpose(rows);
      for (int u = 0; u < W; ++u) T::Store(r0 + lane_off[u] + c, rows[u]);
      for (int u = 0; u < W; ++u) rows[u] = x[c + u].i;
      T::Transpose(rows);
      for (int u = 0; u < W; ++u) T::Store(i0 + lane_off[u] + c, rows[u]);
    }
  }
}

// Radix-4 DIT stage of span len (>= W) over [begin, end). In bit-reversed order
// the quarter transforms of a block sit as 0, 2, 1, 3. Compact tables hold only
// w^k; w^2k and w^3k are then derived, which saves memory traffic on big spans.
template <class T, bool kCompact>
void Radix4Pass(float* __restrict re, float* __restrict im, size_t begin, size_t end, size_t len,
                const float* __restrict tw) {
  using V = typename T::V;
  constexpr int W = T::W;
  for (size_t blk = begin; blk < end; blk += 4 * len) {
    float* r0 = re + blk;
    float* i0 = im + blk;
    const float* w = tw;
    for (size_t k = 0; k < len; k += W, w += (kCompact ? 2 : 6) * W) {
      const V w1r = T::Load(w), w1i = T::Load(w + W);
      V w2r, w2i, w3r, w3i;
      if constexpr (kCompact) {
        w2r = T::MulSub(w1r, w1r, w1i * w1i);
        w2i = (w1r + w1r) * w1i;
        w3r = T::MulSub(w1r, w2r, w1i * w2i);
        w3i = T::MulAdd(w1r, w2i, w1i * w2r);
      } else {
        w2r = T::Load(w + 2 * W);
        w2i = T::Load(w + 3 * W);
        w3r = T::Load(w + 4 * W);
        w3i = T::Load(w + 5 * W);
      }
      const CV<T> y0{T::Load(r0 + k), T::Load(i0 + k)};
      const CV<T> t2 = CMul<T>({T::Load(r0 + len + k), T::Load(i0 + len + k)}, w2r, w2i);
      const CV<T> t1 = CMul<T>({T::Load(r0 + 2 * len + k), T::Load(i0 + 2 * len + k)}, w1r, w1i);
      const CV<T> t3 = CMul<T>({T::Load(r0 + 3 * len + k), T::Load(i0 + 3 * len + k)}, w3r, w3i);
      const CV<T> a = y0 + t2, b = y0 - t2, c = t1 + t3;
      const V dr = t1.r - t3.r, di = t1.i - t3.i;
      T::Store(r0 + k, a.r + c.r);
      T::Store(i0 + k, a.i + c.i);
      T::Store(r0 + len + k, b.r + di);
      T::Store(i0 + len + k, b.i - dr);
      T::Store(r0 + 2 * len + k, a.r - c.r);
      T::Store(i0 + 2 * len + k, a.i - c.i);
      T::Store(r0 + 3 * len + k, b.r - di);
      T::Store(i0 + 3 * len + k, b.i + dr);
    }
  }
}

template <class T>
void RunStage(float* re, float* im, size_t begin, size_t end, const FftPlan& p, size_t s) {
  const size_t len = p.stage_len[s];
  if (len >= kCompactTwiddleLen) {
    Radix4Pass<T, true>(re, im, begin, end, len, p.tw + p.stage_off[s]);
  } else {
    Radix4Pass<T, false>(re, im, begin, end, len, p.tw + p.stage_off[s]);
  }
}

// Complex forward FFT of p.m points from interleaved src into split re/im.
template <class T>
void ComplexFFT(const float* src, float* re, float* im, const FftPlan& p) {
  if (p.radix == 16) {
    FirstStage<T, 16>(src, re, im, p);
  } else if (p.radix == 8) {
    FirstStage<T, 8>(src, re, im, p);
  } else if constexpr (T::W == 4) {
    FirstStage<T, 4>(src, re, im, p);
  }
  const size_t inner = p.m < kInnerBlock ? p.m : kInnerBlock;
  const size_t outer = p.m < kOuterBlock ? p.m : kOuterBlock;
  size_t n_inner = 0, n_outer = 0;
  while (n_inner < p.stages && 4 * p.stage_len[n_inner] <= inner) ++n_inner;
  n_outer = n_inner;
  while (n_outer < p.stages && 4 * p.stage_len[n_outer] <= outer) ++n_outer;
  for (size_t base = 0; base < p.m; base += outer) {
    for (size_t sub = base; sub < base + outer; sub += inner) {
      for (size_t s = 0; s < n_inner; ++s) RunStage<T>(re, im, sub, sub + inner, p, s);
    }
    for (size_t s = n_inner; s < n_outer; ++s) RunStage<T>(re, im, base, base + outer, p, s);
  }
  for (size_t s = n_outer; s < p.stages; ++s) RunStage<T>(re, im, 0, p.m, p, s);
}

// Spectrum of x from Z = FFT(z): X[k] = S + T D and X[m-k] = conj(S - T D), with
// A = Z[k], B = conj(Z[m-k]), S = (A + B) / 2, D = A - B. The block holding
// k = m/2 writes that bin from both sides with the same value.
template <class T>
void Forward(const float* in, float* out, const FftPlan& p, float* scratch) {
  using V = typename T::V;
  constexpr size_t W = T::W;
  const size_t n = p.n, m = p.m;
  float* re = scratch;
  float* im = scratch + m;
  ComplexFFT<T>(in, re, im, p);
  out[0] = re[0] + im[0];
  out[1] = 0.0f;
  out[n] = re[0] - im[0];
  out[n + 1] = 0.0f;
  const V half = T::Splat(0.5f);
  for (size_t k = 1; k <= m / 2; k += W) {
    const CV<T> a{T::Load(re + k), T::Load(im + k)};
    const CV<T> b{T::Reverse(T::Load(re + m - k - (W - 1))),
                  -T::Reverse(T::Load(im + m - k - (W - 1)))};
    const CV<T> s{half * (a.r + b.r), half * (a.i + b.i)};
    const CV<T> t = CMul<T>(a - b, T::Load(p.split_re + k - 1), T::Load(p.split_im + k - 1));
    T::StoreCplx(out + 2 * k, s.r + t.r, s.i + t.i);
    T::StoreCplx(out + 2 * (m - k - (W - 1)), T::Reverse(s.r - t.r), T::Reverse(t.i - s.i));
  }
}

// Undoes the split: Y[k] = 2 Z[k] = S + U with P = X[k], Q = conj(X[m-k]),
// S = P + Q, U = i exp(2 pi i k / n) (P - Q) = 2 conj(T) (P - Q); then
// n * z = conj(FFT(conj(Y))). conj(Y) is staged in out, which holds n floats.
template <class T>
void Inverse(const float* in, float* out, const FftPlan& p, float* scratch) {
  using V = typename T::V;
  constexpr size_t W = T::W;
  const size_t n = p.n, m = p.m;
  out[0] = in[0] + in[n];
  out[1] = in[n] - in[0];
  for (size_t k = 1; k <= m / 2; k += W) {
    CV<T> pk, q;
    T::LoadCplx(in + 2 * k, pk.r, pk.i);
    T::LoadCplx(in + 2 * (m - k - (W - 1)), q.r, q.i);
    q = {T::Reverse(q.r), -T::Reverse(q.i)};
    const CV<T> s = pk + q;
    CV<T> u = CMul<T>(pk - q, T::Load(p.split_re + k - 1), -T::Load(p.split_im + k - 1));
    u = u + u;
    T::StoreCplx(out + 2 * k, s.r + u.r, -(s.i + u.i));
    T::StoreCplx(out + 2 * (m - k - (W - 1)), T::Reverse(s.r - u.r), T::Reverse(s.i - u.i));
  }
  float* re = scratch;
  float* im = scratch + m;
  ComplexFFT<T>(out, re, im, p);
  for (size_t j = 0; j < m; j += W) {
    const V neg_im = -T::Load(im + j);
    T::StoreCplx(out + 2 * j, T::Load(re + j), neg_im);
  }
}

}  // namespace
}  // namespace transform
}  // namespace rurorereriduv

#endif  // RURORERERIDUV_FFT_KERNELS_H_
