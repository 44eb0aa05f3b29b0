#include "velk/wav_writer.h"

#include <algorithm>
#include <cmath>

namespace Velk {

namespace {

constexpr uint64_t kMaxRiffSize = 0xFFFFFFFFull;
constexpr std::size_t kDs64Size = 28;  // RIFF, data and sample sizes, an empty table
constexpr std::size_t kBlockSamples = 8192;

void put16(std::string& b, uint16_t v) {
  b += static_cast<char>(v & 0xFF);
  b += static_cast<char>(v >> 8);
}
void put32(std::string& b, uint32_t v) {
  put16(b, static_cast<uint16_t>(v & 0xFFFF));
  put16(b, static_cast<uint16_t>(v >> 16));
}
void put64(std::string& b, uint64_t v) {
  put32(b, static_cast<uint32_t>(v & 0xFFFFFFFFu));
  put32(b, static_cast<uint32_t>(v >> 32));
}
void chunk(std::string& b, const std::string& id, const std::string& body) {
  b += id.substr(0, 4);
  put32(b, static_cast<uint32_t>(body.size()));
  b += body;
  if (body.size() % 2 != 0) b += '\0';
}

}  // namespace

int16_t pcm16(float sample) {
  const float s = sample * 32768.0f;
  if (s >= 32767.0f) return 32767;
  if (s <= -32768.0f) return -32768;
  if (s != s) return 0;
  return static_cast<int16_t>(std::lrint(s));
}

bool WavWriter::fail(const char* why) {
  error_ = why;
  return false;
}

bool WavWriter::open(const std::string& path, const WavLayout& layout) {
  layout_ = layout;
  dataBytes_ = 0;
  error_.clear();
  const auto channels = static_cast<uint16_t>(layout.channels);
  std::string b = "RIFF";
  put32(b, 0);
  b += "WAVE";
  junkAt_ = b.size();
  if (layout.rf64) chunk(b, "JUNK", std::string(kDs64Size, '\0'));
  std::string fmt;
  put16(fmt, 1);  // PCM
  put16(fmt, channels);
  put32(fmt, layout.sampleRate);
  put32(fmt, layout.sampleRate * channels * 2u);
  put16(fmt, static_cast<uint16_t>(channels * 2u));
  put16(fmt, 16);
  chunk(b, "fmt ", fmt);
  for (const WavChunk& c : layout.chunks) chunk(b, c.id, c.body);
  b += "data";
  dataSizeAt_ = b.size();
  put32(b, 0);
  header_ = b.size();
  file_.open(path, std::ios::binary | std::ios::trunc);
  file_.write(b.data(), static_cast<std::streamsize>(b.size()));
  return file_ ? true : fail("cannot create");
}

bool WavWriter::write(const float* interleaved, std::size_t frames) {
  if (!file_.is_open() || !file_) return fail("cannot write");
  const std::size_t total = frames * static_cast<std::size_t>(layout_.channels);
  if (!layout_.rf64 && header_ - 8 + dataBytes_ + 2 * total > kMaxRiffSize)
    return fail("too long for a WAV file");
  char block[2 * kBlockSamples];
  for (std::size_t done = 0; done < total;) {
    const std::size_t n = std::min(total - done, kBlockSamples);
    for (std::size_t k = 0; k < n; ++k) {
      const auto v = static_cast<uint16_t>(pcm16(interleaved[done + k]));
      block[2 * k] = static_cast<char>(v & 0xFF);
      block[2 * k + 1] = static_cast<char>(v >> 8);
    }
    file_.write(block, static_cast<std::streamsize>(2 * n));
    done += n;
  }
  dataBytes_ += 2 * total;
  return file_ ? true : fail("cannot write");
}

bool WavWriter::finish() {
  if (!file_.is_open()) return fail("cannot write");
  const uint64_t riffSize = header_ - 8 + dataBytes_;
  std::string fix;
  if (layout_.rf64 && riffSize + 8 > layout_.riffLimit) {
    // Sizes past 32 bits go to ds64, where the JUNK chunk kept room for it.
    fix = "ds64";
    put32(fix, kDs64Size);
    put64(fix, riffSize);
    put64(fix, dataBytes_);
    put64(fix, dataBytes_ / (2u * static_cast<unsigned>(layout_.channels)));
    put32(fix, 0);
    file_.seekp(0);
    file_.write("RF64\xFF\xFF\xFF\xFF", 8);
    file_.seekp(static_cast<std::streamoff>(junkAt_));
    file_.write(fix.data(), static_cast<std::streamsize>(fix.size()));
    file_.seekp(static_cast<std::streamoff>(dataSizeAt_));
    file_.write("\xFF\xFF\xFF\xFF", 4);
  } else {
    put32(fix, static_cast<uint32_t>(riffSize));
    put32(fix, static_cast<uint32_t>(dataBytes_));
    file_.seekp(4);
    file_.write(fix.data(), 4);
    file_.seekp(static_cast<std::streamoff>(dataSizeAt_));
    file_.write(fix.data() + 4, 4);
  }
  file_.close();
  return file_ ? true : fail("cannot write");
}

bool writeWavFile(const std::string& path, const float* interleaved, std::size_t frames,
                  uint32_t sampleRate, int channels, std::string& error) {
  WavLayout layout;
  layout.sampleRate = sampleRate;
  layout.channels = channels;
  WavWriter wav;
  if (wav.open(path, layout) && wav.write(interleaved, frames) && wav.finish()) return true;
  error = wav.error() + " " + path;
  return false;
}

}  // namespace Velk
