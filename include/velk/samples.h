// Frames a caller holds in memory, in the sample formats arrays usually come
// in, read in place: a view, never a copy.
#ifndef VELK_SAMPLES_H
#define VELK_SAMPLES_H

#include <cstddef>
#include <cstdint>

#include "velk/export.h"

namespace Velk {

enum class SampleType {
  Float32,  // [-1, 1]
  Float64,  // [-1, 1]
  Int16,    // full scale 32768, as 16-bit files decode
};

// Sample (frame f, channel c) lives at data + f * frameStride + c * channelStride
// bytes, so interleaved, planar and sliced arrays are all read where they are.
struct SampleView {
  const void* data = nullptr;
  SampleType type = SampleType::Float32;
  std::size_t frames = 0;
  int channels = 0;
  std::ptrdiff_t frameStride = 0;  // bytes
  std::ptrdiff_t channelStride = 0;

  float at(std::size_t frame, int channel) const {
    const char* p = static_cast<const char*>(data) +
                    static_cast<std::ptrdiff_t>(frame) * frameStride +
                    static_cast<std::ptrdiff_t>(channel) * channelStride;
    switch (type) {
      case SampleType::Float64:
        return static_cast<float>(*reinterpret_cast<const double*>(p));
      case SampleType::Int16:
        return static_cast<float>(*reinterpret_cast<const int16_t*>(p)) / 32768.0f;
      default:
        return *reinterpret_cast<const float*>(p);
    }
  }
};

// Interleaved float frames as a view.
inline SampleView interleavedFloats(const float* frames, std::size_t count, int channels) {
  SampleView v;
  v.data = frames;
  v.frames = count;
  v.channels = channels;
  v.frameStride = static_cast<std::ptrdiff_t>(sizeof(float)) * channels;
  v.channelStride = sizeof(float);
  return v;
}

}  // namespace Velk

#endif
