// The one WAV reader: the header parser and sample decoder behind wavfile_t,
// also serving the media layer's WAV-only back end and the engine's reads of
// stretches, so every path reads a header and a sample the same way.
#ifndef VELK_AUDIO_WAV_READER_H
#define VELK_AUDIO_WAV_READER_H

#include <cstddef>
#include <cstdint>
#include <istream>

#include "velk/wavfile.h"

namespace Velk {
namespace detail {

struct WavHeader {
  uint16_t tag = 0;        // of the format chunk
  uint16_t subFormat = 0;  // an extensible format chunk's sub-format; otherwise the tag
  int32_t channels = 0;
  uint32_t rate = 0;
  int32_t bits = 0;
  uint32_t dataBytes = 0;  // as declared, even beyond the end of the file
  std::streamoff dataStart = 0;

  uint32_t declaredFrames() const {
    return dataBytes / (static_cast<uint32_t>(bits) / 8u) / static_cast<uint32_t>(channels);
  }
  std::size_t frameBytes() const {
    return static_cast<std::size_t>(channels) * static_cast<std::size_t>(bits / 8);
  }
};

// Reads the header of a stream opened at its start, and leaves it at the first
// sample. Throws std::runtime_error with wavfile_t's messages for what it refuses.
WavHeader readWavHeader(std::istream& in);

// Whole frames that follow dataStart in the file, whatever the header declares.
// Leaves the stream at dataStart.
uint64_t wavFramesPresent(std::istream& in, std::streamoff dataStart, std::size_t frameBytes);

// Puts the stream at frame (clearing the end-of-file a read left).
void seekWavFrame(std::istream& in, std::streamoff dataStart, std::size_t frameBytes,
                  uint64_t frame);
void seekWavFrame(wavfile_t& wav, uint64_t frame);

// Channel channel of frames frames of frameBytes bytes each, samples of bits
// bits (floats: 32-bit samples are IEEE floats, not integers), to out, one
// value every outStride floats. 8-bit samples are unsigned.
void decodeWavChannel(const unsigned char* src, std::size_t frameBytes, std::size_t frames,
                      int32_t bits, bool floats, int channel, float* out, std::size_t outStride);

}  // namespace detail
}  // namespace Velk

#endif
