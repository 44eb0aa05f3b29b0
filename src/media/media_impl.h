// The two back ends behind media.h: FFmpeg's libraries, or the WAV-only reader of a
// build without them. Exactly one of them is compiled in.
#ifndef VELK_MEDIA_IMPL_H
#define VELK_MEDIA_IMPL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "audio/open_watch.h"
#include "velk/media.h"

namespace Velk {
namespace detail {

bool probeBackend(const std::string& path, MediaInfo& info, std::string& error);
// What the resampler is fed: interleaved frames at the stream's own rate, on the
// file's timeline (late starts and gaps as silence), before any clamping.
using SourceSink =
    std::function<bool(const float* frames, size_t count, int channels, uint32_t rate)>;

// source, when set, also receives every frame fed to the resampler.
bool decodeBackend(const std::string& path, const DecodeOptions& opt, const FrameSink& sink,
                   std::string& error, const SourceSink* source = nullptr);
// decodeAudio with a source sink: the decode of extraction also hands over the
// audio at the recording's own rate, so refinement need not decode it again.
// The whole file is decoded (opt's start and length are not used).
bool decodeWithSource(const std::string& path, const DecodeOptions& opt, const FrameSink& sink,
                      const SourceSink& source, std::string& error);
// The first outChannels channels of frames in memory, through the window of
// opt (rate, start, length), as decodeBackend would deliver them.
bool resampleBackend(const SampleView& frames, int outChannels, uint32_t inRate,
                     const DecodeOptions& opt, const FrameSink& sink, std::string& error);

// The output window [begin, end) of opt at outRate.
void outputWindow(const DecodeOptions& opt, uint32_t outRate, uint64_t& begin, uint64_t& end);

// Output grid index (at outRate) of a duration in seconds, rounded to the nearest sample.
uint64_t secondsToSamples(double seconds, uint32_t rate);

// Delivers output frames to the sink, keeping those in [begin, end) of the output grid
// and clamping them to [-1, 1]. Shared by both back ends.
class OutputWindow {
 public:
  OutputWindow(const FrameSink& sink, int channels, uint64_t begin, uint64_t end)
      : sink_(sink), channels_(channels), begin_(begin), end_(end) {}

  // Frames starting at output index pos; false once the sink asked to stop or the
  // window is full.
  bool deliver(const float* frames, size_t count, uint64_t pos);
  bool done() const { return stopped_; }
  uint64_t delivered() const { return delivered_; }

 private:
  const FrameSink& sink_;
  int channels_;
  uint64_t begin_;
  uint64_t end_;
  uint64_t delivered_ = 0;
  bool stopped_ = false;
  std::vector<float> clamped_;
};

}  // namespace detail
}  // namespace Velk

#endif
