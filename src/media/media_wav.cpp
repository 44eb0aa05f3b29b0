// Back end of a build without FFmpeg: WAV files only, at their own rate. The header
// is parsed by the library's wavfile_t; frames are read here so that every channel
// and 24-bit or 32-bit integer samples are available too.
#if !VELK_HAVE_FFMPEG

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "media/media_impl.h"
#include "velk/wavfile.h"

namespace Velk {
namespace detail {

namespace {

enum class Encoding { Int, Float, Other };

uint32_t le32(const unsigned char* b) {
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}
uint16_t le16(const unsigned char* b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }

// wavfile_t keeps no format tag, and it is needed to tell 32-bit integers from floats
// and to refuse compressed WAV (A-law, ADPCM...). Walks the chunks to "fmt ".
Encoding formatEncoding(std::istream& in, uint16_t& tagOut) {
  unsigned char head[8];
  in.clear();
  in.seekg(12);
  while (in.read(reinterpret_cast<char*>(head), 8)) {
    const uint32_t size = le32(head + 4);
    if (std::memcmp(head, "fmt ", 4) != 0) {
      in.seekg(size, std::ios::cur);
      continue;
    }
    unsigned char fmt[26] = {0};
    in.read(reinterpret_cast<char*>(fmt), std::min<uint32_t>(size, sizeof fmt));
    uint16_t tag = le16(fmt);
    if (tag == 0xFFFE && size >= 26) tag = le16(fmt + 24);  // extensible: the sub-format
    tagOut = tag;
    if (tag == 1) return Encoding::Int;
    if (tag == 3) return Encoding::Float;
    return Encoding::Other;
  }
  tagOut = 0;
  return Encoding::Other;
}

struct WavSource {
  std::unique_ptr<wavfile_t> wav;
  Encoding encoding = Encoding::Other;
  int bytes = 0;        // per sample
  uint64_t frames = 0;  // what the file holds of what the header declares
};

bool openWav(const std::string& path, WavSource& w, std::string& error) {
  {
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
      error = "cannot open " + path + ": No such file or directory, or not readable";
      return false;
    }
  }
  try {
    w.wav.reset(new wavfile_t(path, 1, 1, 16000));
  } catch (const std::exception& e) {
    const std::string what = e.what();
    if (what.find("'RIFF'") != std::string::npos || what.find("'WAVE'") != std::string::npos)
      error = "this build reads only WAV files; decoding " + path + " needs FFmpeg's libraries";
    else
      error = "cannot read " + path + ": " + what;
    return false;
  }
  wavfile_t& wav = *w.wav;
  uint16_t tag = 0;
  w.encoding = formatEncoding(wav.file, tag);
  w.bytes = wav.bitsPerSample / 8;
  if (w.encoding == Encoding::Other) {
    error = "this build reads only PCM and float WAV files; decoding " + path + " (format tag " +
            std::to_string(tag) + ") needs FFmpeg's libraries";
    return false;
  }
  const bool depthOk = w.encoding == Encoding::Int
                           ? (wav.bitsPerSample == 8 || wav.bitsPerSample == 16 ||
                              wav.bitsPerSample == 24 || wav.bitsPerSample == 32)
                           : wav.bitsPerSample == 32;
  if (!depthOk || wav.numChannels <= 0 || wav.numChannels > 64 || wav.sampleRate == 0) {
    error = "cannot read " + path + ": unsupported WAV layout (" +
            std::to_string(wav.bitsPerSample) + " bits, " + std::to_string(wav.numChannels) +
            " channels, " + std::to_string(wav.sampleRate) + " Hz)";
    return false;
  }
  // A header can declare more than the file holds (an unfinished recording); the
  // length that sizes buffers and windows is what is really there.
  w.frames = std::min<uint64_t>(wav.numSamples, wavFramesInFile(wav));
  return true;
}

float decodeSample(const unsigned char* p, int bytes, Encoding enc) {
  switch (bytes) {
    case 1:
      return (static_cast<int>(p[0]) - 128) * (1.0f / 128.0f);
    case 2:
      return static_cast<int16_t>(le16(p)) * (1.0f / 32768.0f);
    case 3: {
      const uint32_t u = (p[0] << 8) | (p[1] << 16) | (static_cast<uint32_t>(p[2]) << 24);
      const int32_t v = static_cast<int32_t>(u) / 256;  // sign-extends, exact for multiples of 256
      return static_cast<float>(v * (1.0 / 8388608.0));
    }
    default: {
      const uint32_t bits = le32(p);
      if (enc == Encoding::Float) {
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
      }
      return static_cast<float>(static_cast<int32_t>(bits) * (1.0 / 2147483648.0));
    }
  }
}

}  // namespace

bool probeBackend(const std::string& path, MediaInfo& info, std::string& error) {
  WavSource w;
  if (!openWav(path, w, error)) return false;
  const wavfile_t& wav = *w.wav;
  info.hasAudio = true;
  info.sampleRate = wav.sampleRate;
  info.channels = wav.numChannels;
  info.durationSeconds = static_cast<double>(w.frames) / wav.sampleRate;
  info.container = "wav";
  if (w.encoding == Encoding::Float)
    info.codec = "pcm_f32le";
  else if (w.bytes == 1)
    info.codec = "pcm_u8";
  else
    info.codec = "pcm_s" + std::to_string(wav.bitsPerSample) + "le";
  return true;
}

bool decodeBackend(const std::string& path, const DecodeOptions& opt, const FrameSink& sink,
                   std::string& error, const SourceSink* source) {
  WavSource w;
  if (!openWav(path, w, error)) return false;
  wavfile_t& wav = *w.wav;
  if (opt.sampleRate != 0 && opt.sampleRate != wav.sampleRate) {
    error = "this build reads WAV files only at their own sample rate; resampling " + path +
            " from " + std::to_string(wav.sampleRate) + " Hz to " + std::to_string(opt.sampleRate) +
            " Hz needs FFmpeg's libraries";
    return false;
  }
  if (opt.channels > wav.numChannels) {
    error = "cannot decode " + path + ": it has " + std::to_string(wav.numChannels) + " channel" +
            (wav.numChannels == 1 ? "" : "s") + ", " + std::to_string(opt.channels) +
            " were asked for";
    return false;
  }
  const int outCh = opt.channels == 0 ? wav.numChannels : opt.channels;
  uint64_t begin = 0, end = 0;
  outputWindow(opt, wav.sampleRate, begin, end);
  if (w.frames < wav.numSamples)
    opt.warn(path + ": the file ends before its data chunk does; " + std::to_string(w.frames) +
             " of " + std::to_string(wav.numSamples) + " frames are there");
  end = std::min(end, w.frames);
  OutputWindow win(sink, outCh, begin, end);
  if (begin >= end) return true;

  const size_t frameBytes = static_cast<size_t>(w.bytes) * static_cast<size_t>(wav.numChannels);
  wav.file.clear();
  wav.file.seekg(wav.dataStart + static_cast<std::streamoff>(begin * frameBytes));
  constexpr size_t kBlock = 4096;
  std::vector<unsigned char> raw(kBlock * frameBytes);
  std::vector<float> out(kBlock * static_cast<size_t>(outCh));
  uint64_t pos = begin;
  while (pos < end && !win.done()) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, end - pos));
    wav.file.read(reinterpret_cast<char*>(raw.data()),
                  static_cast<std::streamsize>(want * frameBytes));
    const size_t got = static_cast<size_t>(wav.file.gcount()) / frameBytes;
    for (size_t i = 0; i < got; ++i)
      for (int c = 0; c < outCh; ++c)
        out[i * outCh + c] =
            decodeSample(raw.data() + i * frameBytes + c * w.bytes, w.bytes, w.encoding);
    if (source != nullptr && got > 0 && !(*source)(out.data(), got, outCh, wav.sampleRate)) break;
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
