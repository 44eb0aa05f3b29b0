// Forward and inverse real FFT of 2^order points, single precision.
//
// Packed spectrum layout (N = 2^order): N + 2 floats, out[2k] and out[2k + 1] are
// the real and imaginary parts of bin k for k = 0..N/2. The imaginary parts of
// bins 0 and N/2 are always written as 0. For order 0 the single bin is written
// to out[0..1] and out[2] is set to 0.
//
// A state is immutable after FFTInit, so several threads may share one state
// as long as each passes its own scratch buffer.
#ifndef RURORERERIDUV_TRANSFORM_H_
#define RURORERERIDUV_TRANSFORM_H_

// Visible to programs that link the library that holds this layer.
#define RURO_API __attribute__((visibility("default")))

namespace rurorereriduv {
namespace transform {

struct FFTState_Float;

// Creates the state for real FFTs of 2^order points, both directions (order <= 26).
RURO_API void FFTInit(FFTState_Float** state, unsigned int order);

// Writes into *size the scratch bytes one transform (either direction) needs;
// the result may be 0. Callers set *size = 0 beforehand.
RURO_API void FFTGetBufSize(const FFTState_Float* state, unsigned int* size);

// Unscaled forward transform: X[k] = sum_n in[n] * exp(-2*pi*i*k*n/N).
// Reads N floats of in, writes N + 2 floats of out (packed layout above).
// buf is scratch of FFTGetBufSize bytes, any alignment; in and out must not alias.
RURO_API void FFTFwd(const float* in, float* out, const FFTState_Float* state, unsigned char* buf);

// Inverse of FFTFwd, scaled by N: FFTInv(FFTFwd(x)) == N * x.
// Reads N + 2 floats of packed spectrum (imaginary parts of bins 0 and N/2 are
// ignored), writes N real samples.
RURO_API void FFTInv(const float* in, float* out, const FFTState_Float* state, unsigned char* buf);

// Releases a state; null is fine.
RURO_API void FFTFree(FFTState_Float* state);

}  // namespace transform
}  // namespace rurorereriduv

#endif  // RURORERERIDUV_TRANSFORM_H_
