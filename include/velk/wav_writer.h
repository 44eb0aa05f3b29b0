// 16-bit PCM WAV files written as they stream, with any chunks a format needs
// between "fmt " and "data" (a Broadcast WAV's bext and iXML), and RF64 for
// files past 4 GiB when asked. One writer and one rounding for every file
// this project writes: synchronized copies, simulated test sets, test files.
//
//   Velk::WavLayout layout;
//   layout.sampleRate = 48000;
//   layout.channels = 2;
//   Velk::WavWriter wav;
//   if (!wav.open("out.wav", layout) || !wav.write(frames, count) || !wav.finish())
//     report(wav.error());
#ifndef VELK_WAV_WRITER_H
#define VELK_WAV_WRITER_H

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "velk/export.h"

namespace Velk {

// A sample in [-1, 1) as 16-bit PCM: scaled by 32768, rounded to the nearest
// step (ties to even), clipped to the 16-bit range; NaN is silence.
VELK_API int16_t pcm16(float sample);

struct WavChunk {
  std::string id;    // four characters
  std::string body;  // followed by a pad byte when its length is odd
};

struct WavLayout {
  uint32_t sampleRate = 0;
  int channels = 1;
  std::vector<WavChunk> chunks;  // between "fmt " and "data", in this order
  // A JUNK chunk right after "WAVE" keeps room for a ds64 chunk: a file whose
  // RIFF size passes riffLimit becomes RF64. Without it such a file is refused.
  bool rf64 = false;
  uint64_t riffLimit = 0xFFFFFFFFull;  // smaller only to test the switch
};

class VELK_API WavWriter {
 public:
  WavWriter() = default;
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;
  ~WavWriter() = default;  // an unfinished file keeps sizes of 0

  // Creates path and writes the header.
  bool open(const std::string& path, const WavLayout& layout);
  // Appends interleaved frames of layout.channels samples each.
  bool write(const float* interleaved, std::size_t frames);
  // Writes the sizes and closes the file.
  bool finish();

  bool isOpen() const { return file_.is_open(); }
  uint64_t dataBytes() const { return dataBytes_; }
  uint64_t fileBytes() const { return header_ + dataBytes_; }
  // Why the last call answered false: "cannot create", "cannot write" or
  // "too long for a WAV file".
  const std::string& error() const { return error_; }

 private:
  bool fail(const char* why);

  std::ofstream file_;
  WavLayout layout_;
  uint64_t header_ = 0, dataBytes_ = 0, junkAt_ = 0, dataSizeAt_ = 0;
  std::string error_;
};

// A whole file at once; false with the reason in error.
VELK_API bool writeWavFile(const std::string& path, const float* interleaved, std::size_t frames,
                           uint32_t sampleRate, int channels, std::string& error);

}  // namespace Velk

#endif
