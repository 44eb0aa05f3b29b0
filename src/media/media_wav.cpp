// Back end of a build without FFmpeg: WAV files only, at their own rate, read by
// the library's one WAV reader (every channel, 8 to 32 bits, integer or float).
#if !VELK_HAVE_FFMPEG

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "audio/wav_reader.h"
#include "media/media_impl.h"

namespace Velk {
namespace detail {

namespace {

enum class Encoding { Int, Float, Other };

struct WavSource {
  std::ifstream file;
  WavHeader h;
  Encoding encoding = Encoding::Other;
  uint64_t frames = 0;  // what the file holds of what the header declares
};

bool openWav(const std::string& path, WavSource& w, std::string& error) {
  noteOpen(path);
  w.file.open(path, std::ios::binary);
  if (!w.file) {
    error = "cannot open " + path + ": No such file or directory, or not readable";
    return false;
  }
  try {
    w.h = readWavHeader(w.file);
  } catch (const std::exception& e) {
    const std::string what = e.what();
    if (what.find("'RIFF'") != std::string::npos || what.find("'WAVE'") != std::string::npos)
      error = "this build reads only WAV files; decoding " + path + " needs FFmpeg's libraries";
    else
      error = "cannot read " + path + ": " + what;
    return false;
  }
  const WavHeader& h = w.h;
  // The tag tells 32-bit integers from floats, and refuses compressed WAV (A-law, ADPCM...).
  w.encoding = h.subFormat == 1   ? Encoding::Int
               : h.subFormat == 3 ? Encoding::Float
                                  : Encoding::Other;
  if (w.encoding == Encoding::Other) {
    error = "this build reads only PCM and float WAV files; decoding " + path + " (format tag " +
            std::to_string(h.subFormat) + ") needs FFmpeg's libraries";
    return false;
  }
  const bool depthOk = w.encoding == Encoding::Int
                           ? (h.bits == 8 || h.bits == 16 || h.bits == 24 || h.bits == 32)
                           : h.bits == 32;
  if (!depthOk || h.channels <= 0 || h.channels > 64 || h.rate == 0) {
    error = "cannot read " + path + ": unsupported WAV layout (" + std::to_string(h.bits) +
            " bits, " + std::to_string(h.channels) + " channels, " + std::to_string(h.rate) +
            " Hz)";
    return false;
  }
  // A header can declare more than the file holds (an unfinished recording); the
  // length that sizes buffers and windows is what is really there.
  w.frames =
      std::min<uint64_t>(h.declaredFrames(), wavFramesPresent(w.file, h.dataStart, h.frameBytes()));
  return true;
}

}  // namespace

bool probeBackend(const std::string& path, MediaInfo& info, std::string& error) {
  WavSource w;
  if (!openWav(path, w, error)) return false;
  const WavHeader& h = w.h;
  info.hasAudio = true;
  info.sampleRate = h.rate;
  info.channels = h.channels;
  info.durationSeconds = static_cast<double>(w.frames) / h.rate;
  info.container = "wav";
  if (w.encoding == Encoding::Float)
    info.codec = "pcm_f32le";
  else if (h.bits == 8)
    info.codec = "pcm_u8";
  else
    info.codec = "pcm_s" + std::to_string(h.bits) + "le";
  return true;
}

bool decodeBackend(const std::string& path, const DecodeOptions& opt, const FrameSink& sink,
                   std::string& error, const SourceSink* source) {
  WavSource w;
  if (!openWav(path, w, error)) return false;
  const WavHeader& h = w.h;
  if (opt.sampleRate != 0 && opt.sampleRate != h.rate) {
    error = "this build reads WAV files only at their own sample rate; resampling " + path +
            " from " + std::to_string(h.rate) + " Hz to " + std::to_string(opt.sampleRate) +
            " Hz needs FFmpeg's libraries";
    return false;
  }
  if (opt.channels > h.channels) {
    error = "cannot decode " + path + ": it has " + std::to_string(h.channels) + " channel" +
            (h.channels == 1 ? "" : "s") + ", " + std::to_string(opt.channels) + " were asked for";
    return false;
  }
  const int outCh = opt.channels == 0 ? h.channels : opt.channels;
  uint64_t begin = 0, end = 0;
  outputWindow(opt, h.rate, begin, end);
  if (w.frames < h.declaredFrames())
    opt.warn(path + ": the file ends before its data chunk does; " + std::to_string(w.frames) +
             " of " + std::to_string(h.declaredFrames()) + " frames are there");
  end = std::min(end, w.frames);
  OutputWindow win(sink, outCh, begin, end);
  if (begin >= end) return true;

  const size_t frameBytes = h.frameBytes();
  seekWavFrame(w.file, h.dataStart, frameBytes, begin);
  constexpr size_t kBlock = 4096;
  std::vector<unsigned char> raw(kBlock * frameBytes);
  std::vector<float> out(kBlock * static_cast<size_t>(outCh));
  uint64_t pos = begin;
  while (pos < end && !win.done()) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, end - pos));
    w.file.read(reinterpret_cast<char*>(raw.data()),
                static_cast<std::streamsize>(want * frameBytes));
    const size_t got = static_cast<size_t>(w.file.gcount()) / frameBytes;
    for (int c = 0; c < outCh; ++c)
      decodeWavChannel(raw.data(), frameBytes, got, h.bits, w.encoding == Encoding::Float, c,
                       out.data() + c, static_cast<size_t>(outCh));
    if (source != nullptr && got > 0 && !(*source)(out.data(), got, outCh, h.rate)) break;
    if (got > 0) win.deliver(out.data(), got, pos);
    pos += got;
    if (got < want) break;  // the file shrank while being read
  }
  return true;
}

bool resampleBackend(const SampleView& frames, int outChannels, uint32_t inRate,
                     const DecodeOptions& opt, const FrameSink& sink, std::string& error) {
  if (opt.sampleRate != 0 && opt.sampleRate != inRate) {
    error = "this build cannot resample (from " + std::to_string(inRate) + " Hz to " +
            std::to_string(opt.sampleRate) + " Hz)";
    return false;
  }
  uint64_t begin = 0, end = 0;
  outputWindow(opt, inRate, begin, end);
  end = std::min<uint64_t>(end, frames.frames);
  OutputWindow win(sink, outChannels, begin, end);
  std::vector<float> frame(static_cast<size_t>(outChannels));
  for (uint64_t at = begin; at < end; ++at) {
    for (int c = 0; c < outChannels; ++c) frame[static_cast<size_t>(c)] = frames.at(at, c);
    if (!win.deliver(frame.data(), 1, at)) break;
  }
  return true;
}

}  // namespace detail
}  // namespace Velk

#endif  // !VELK_HAVE_FFMPEG
