// A recording moved onto another device's clock, for drift-corrected copies:
// output sample k is the input at k / rate samples, so that a member whose
// time t sits at the reference's time t x rate keeps step with the reference
// from its first sample to its last.
#ifndef VELK_TOOL_CLOCK_RESAMPLER_H
#define VELK_TOOL_CLOCK_RESAMPLER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace velktool {

// Receives interleaved output frames; false stops the stream.
using FramesOut = std::function<bool(const float* frames, std::size_t count)>;

// Band-limited interpolation by a Kaiser-windowed sinc of 48 taps (a table of
// 512 phases, interpolated between them; flat to 0.85 of the band within
// -95 dB): clock corrections are tens or hundreds of parts per million,
// fractions of a sample that keep moving, and a linear interpolation would
// dull the top octave. Streams block by block. Not the media layer's
// resampler: its rates are whole numbers of Hz (48009.6 Hz is not one) and
// it converts whole streams between two rates, not onto another clock.
class ClockResampler {
 public:
  ClockResampler(double rate, int channels);

  bool push(const float* frames, std::size_t count, const FramesOut& out);
  // The rest, up to the last input sample's place on the new clock.
  bool finish(const FramesOut& out);

 private:
  bool produce(uint64_t lastOutput, const FramesOut& out);

  double step_;  // input samples per output sample
  int channels_;
  std::vector<float> table_;  // (phases + 1) rows of taps
  std::vector<float> input_;  // interleaved frames from input index base_ on
  uint64_t base_ = 0, fed_ = 0, next_ = 0;
  std::vector<float> coef_, output_;
};

}  // namespace velktool

#endif
