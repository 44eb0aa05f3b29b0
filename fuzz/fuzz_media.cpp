// Fuzzes the tool's media input on small files: probing, a capped streaming
// decode (resampled mono and the native layout) and, when that decode showed the
// file to be short, MediaInput over the whole of it. Built twice: with FFmpeg's
// libraries and with the WAV-only reader.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "velk/media.h"

namespace {

// Output frames after which a decode is stopped: a tiny file must not be able to
// make the fuzzer spend seconds (or gigabytes) on silence it announces.
constexpr std::size_t kMaxFrames = 1u << 19;

struct Capped {
  bool ok = false;
  std::size_t frames = 0;
  bool full = false;  // stopped at the cap
  std::vector<float> head;
};

Capped decodeCapped(const std::string& path, uint32_t rate, int channels) {
  Capped c;
  Velk::DecodeOptions opt;
  opt.sampleRate = rate;
  opt.channels = channels;
  opt.warn = [](const std::string& line) { velkfuzz::require(!line.empty()); };
  std::string error;
  c.ok = Velk::decodeAudio(
      path, opt,
      [&c, channels](const float* frames, size_t count, int ch) {
        velkfuzz::require(count > 0 && ch > 0 && (channels == 0 || ch == channels));
        for (std::size_t i = 0; i < count * static_cast<std::size_t>(ch); ++i)
          velkfuzz::require(frames[i] >= -1.0f && frames[i] <= 1.0f);
        if (c.head.size() < 4096)
          for (std::size_t i = 0; i < count && c.head.size() < 4096; ++i)
            c.head.push_back(frames[i * static_cast<std::size_t>(ch)]);
        c.frames += count;
        if (c.frames >= kMaxFrames) c.full = true;
        return !c.full;
      },
      error);
  velkfuzz::require(c.ok || !error.empty());
  return c;
}

void readThrough(const std::string& path, uint32_t rate, const Capped& mono) {
  std::string error;
  std::unique_ptr<Velk::MediaInput> in = Velk::MediaInput::open(path, rate, error);
  if (!in) {
    velkfuzz::require(!error.empty());
    return;
  }
  // The same decode as the capped one, so the same samples.
  velkfuzz::require(in->getNumSamples() == mono.frames);
  Velk::array<float> buf(256);
  std::vector<float> head;
  for (uint64_t done = 0; done < in->getNumSamples() + 256; done += 256) {
    in->read(buf);
    for (int32_t i = 0; i < 256 && head.size() < mono.head.size(); ++i) head.push_back(buf.data[i]);
  }
  velkfuzz::require(head.size() == mono.head.size() &&
                    (head.empty() ||
                     std::memcmp(head.data(), mono.head.data(), head.size() * sizeof(float)) == 0));
  in->rewind();
  in->read(buf);
  velkfuzz::require(mono.head.empty() ||
                    std::memcmp(buf.data, mono.head.data(), sizeof(float)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The name's extension is a hint to format probing, so let the input pick it.
  static const velkfuzz::ScratchFile files[8] = {
      {"media", ".wav"},  {"media", ".mp3"}, {"media", ".m4a"}, {"media", ".ogg"},
      {"media", ".flac"}, {"media", ".aac"}, {"media", ".mkv"}, {"media", ".bin"}};
  const velkfuzz::ScratchFile& file = files[data[size - 1] & 7];
  file.write(data, size);

  Velk::MediaInfo info;
  std::string error;
  if (!Velk::probeMedia(file.path(), info, error)) {
    velkfuzz::require(!error.empty());
    std::remove(file.path().c_str());
    return 0;
  }
  // The WAV-only reader cannot resample; FFmpeg is asked for the extraction rate.
  const uint32_t rate = Velk::haveFFmpeg() ? 8000 : 0;
  const Capped mono = decodeCapped(file.path(), rate, 1);
  decodeCapped(file.path(), 0, 0);
  if (mono.ok && !mono.full) readThrough(file.path(), rate, mono);
  std::remove(file.path().c_str());
  return 0;
}
