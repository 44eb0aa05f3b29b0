// Reading the recordings users actually have: WAV at any rate and depth, compressed
// audio and the sound of video files, decoded through FFmpeg's libraries when the
// build has them, and served to the extractor as a mono VkInput at its rate.
#ifndef VELK_MEDIA_H
#define VELK_MEDIA_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velk/array.h"
#include "velk/export.h"
#include "velk/input.h"
#include "velk/samples.h"
#include "velk/wavfile.h"

namespace Velk {

// The highest sample rate a file may have or be decoded at: far beyond any real
// converter (768 kHz), so only a damaged header goes past it. Resampling from a
// rate a hundred thousand times too high would take minutes to set up.
constexpr uint32_t kMaxSampleRate = 1000000;

// Whole frames of a WAV file opened for reading that follow its data chunk's
// start, whatever the header declares (it may declare more, or 0, when the
// recorder stopped before finishing the file). Leaves the stream at dataStart.
VELK_API uint64_t wavFramesInFile(wavfile_t& wav);

struct MediaInfo {
  bool hasAudio = false;
  uint32_t sampleRate = 0;     // of the first audio stream
  int channels = 0;            // of the first audio stream
  double durationSeconds = 0;  // best estimate (stream, then container); 0 if unknown
  std::string codec;           // e.g. "pcm_s16le", "aac"
  std::string container;       // e.g. "wav", "mov,mp4,m4a,3gp,3g2,mj2"
  // The first video stream that is not a cover picture, for timelines that keep
  // the picture of a video file; rate 0/0 when the container does not say.
  bool hasVideo = false;
  int frameRateNum = 0;
  int frameRateDen = 0;
  int width = 0;
  int height = 0;
};

// False with a one-line reason in error when the file cannot be opened or holds no
// audio stream.
VELK_API bool probeMedia(const std::string& path, MediaInfo& info, std::string& error);

struct DecodeOptions {
  uint32_t sampleRate = 0;  // 0: the stream's own rate; otherwise resample to it
  int channels = 0;         // 0: all channels of the stream (interleaved); n: the first n
  double startSeconds = 0;  // skip this much audio at the start (exact, on the output grid)
  double maxSeconds = -1;   // stop after this much audio (<0: to the end)
  // Receives one line per problem that did not stop the decode (damaged packets,
  // implausible timestamps). Unset: such problems are not reported.
  std::function<void(const std::string&)> warn;
};

using FrameSink = std::function<bool(const float* frames, size_t count, int channels)>;

// Streams the first audio stream, calling sink with interleaved float frames in
// [-1, 1]; sink returns false to stop early (not an error). Sample 0 of the output is
// time zero of the file's timeline: encoder priming declared by the container is
// removed and a late-starting audio track is preceded by silence.
VELK_API bool decodeAudio(const std::string& path, const DecodeOptions& opt, const FrameSink& sink,
                          std::string& error);

// The same for frames already in memory (interleaved, channels of them, at
// inRate): the resampler and the output window of file decoding, so the same
// audio gives the same samples whether it comes from a file or from memory.
// startSeconds and maxSeconds apply as for files; the path of opt is unused.
VELK_API bool resampleFrames(const float* frames, size_t count, int channels, uint32_t inRate,
                             const DecodeOptions& opt, const FrameSink& sink, std::string& error);
// The same for frames in any layout and sample format, read in place.
VELK_API bool resampleFrames(const SampleView& frames, uint32_t inRate, const DecodeOptions& opt,
                             const FrameSink& sink, std::string& error);

// Reading one channel of several, or their mean.
constexpr int kMixChannels = -1;
// The channels to decode for channel (all for the mix), and a sink that hands
// mono the chosen channel or the mean of all.
VELK_API int channelsToDecode(int channel);
VELK_API FrameSink monoOf(int channel, FrameSink mono);

// Convenience: mono (first channel) at the given rate (0: the file's own) into a vector.
VELK_API bool decodeMono(const std::string& path, uint32_t sampleRate, std::vector<float>& out,
                         std::string& error, double startSeconds = 0, double maxSeconds = -1);

// A VkInput over the first channel of a file at the extraction rate. The decode is
// streamed and only the resampled mono samples are kept.
class VELK_API MediaInput final : public VkInput {
 public:
  // Null with a one-line reason in error when the file cannot be read at all.
  // channel: which one to read (from 0), or kMixChannels for their mean.
  static std::unique_ptr<MediaInput> open(const std::string& path, uint32_t sampleRate,
                                          std::string& error, int channel = 0);
  // The same over frames held in memory (resampled to sampleRate).
  static std::unique_ptr<MediaInput> fromFrames(const float* frames, size_t count, int channels,
                                                uint32_t inRate, uint32_t sampleRate,
                                                std::string& error, int channel = 0);
  static std::unique_ptr<MediaInput> fromFrames(const SampleView& frames, uint32_t inRate,
                                                uint32_t sampleRate, std::string& error,
                                                int channel = 0);
  ~MediaInput() = default;

  MediaInput(const MediaInput&) = delete;
  MediaInput& operator=(const MediaInput&) = delete;

  uint64_t getNumSamples() override;
  // Past the last sample the buffer is filled with zeros (silence, not stale values).
  bool read(array<float>& buffer) override;
  bool rewind() override;

  uint32_t sampleRate() const { return rate_; }
  const MediaInfo& info() const { return info_; }
  const std::vector<float>& samples() const { return samples_; }
  // Problems met while decoding that did not stop it, one per line; empty if none.
  const std::string& warnings() const { return warnings_; }

 private:
  MediaInput() = default;
  FrameSink appender() {
    return [this](const float* frames, size_t count, int) {
      samples_.insert(samples_.end(), frames, frames + count);
      return true;
    };
  }

  std::vector<float> samples_;
  size_t pos_ = 0;
  uint32_t rate_ = 0;
  MediaInfo info_;
  std::string warnings_;
};

VELK_API bool haveFFmpeg();  // false in a build without FFmpeg's libraries

}  // namespace Velk

#endif
