// RIFF/WAVE reader (first channel as float) and 16-bit PCM writer.
#ifndef VELK_WAVFILE_H
#define VELK_WAVFILE_H

#include <cstdint>
#include <fstream>
#include <string>

#include "velk/array.h"
#include "velk/export.h"

namespace Velk {

class VELK_API wavfile_t {
 public:
  // mode 1 reads (channel count and rate are then taken from the file),
  // mode 2 creates the file and writes a 44-byte header, any other mode opens nothing.
  wavfile_t(const std::string& fileName, int32_t mode, int32_t numChannels, uint32_t sampleRate);
  ~wavfile_t();

  wavfile_t(const wavfile_t&) = delete;
  wavfile_t& operator=(const wavfile_t&) = delete;

  bool read_mono(array<float>& out);
  bool read_mono(array<float>& out, int32_t numSamples);

  // Appends interleaved frames as 16-bit little-endian PCM (write mode only);
  // samples are clipped to [-1, 1) and rounded to the nearest step. Answers false
  // when nothing could be written, or when the file would outgrow the 32-bit sizes.
  bool write_frames(const float* interleaved, std::size_t numFrames);

  int32_t numChannels;
  uint32_t numSamples;
  uint32_t sampleRate;
  std::fstream file;
  int32_t mode;
  int32_t bitsPerSample;
  std::streampos dataStart;

 private:
  void openForReading(const std::string& fileName);
  void openForWriting(const std::string& fileName);
  void finishHeader();
  bool read_mono_frames(array<float>& out, int32_t limit);

  bool int32Samples;  // 32-bit samples are integers, not IEEE floats
};

}  // namespace Velk

#endif
