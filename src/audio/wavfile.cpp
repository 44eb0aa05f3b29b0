#include "velk/wavfile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "velk/wav_writer.h"

namespace Velk {

namespace {

const char* const kNoRiff = "wavfile_t::wavfile_t() : File doesn't start with 'RIFF'";
const char* const kNoWave = "wavfile_t::wavfile_t() : File doesn't have 'WAVE' id";
const char* const kNoFmt = "wavfile_t::wavfile_t() : Could not locate 'fmt ' chunk";
const char* const kNoData = "wavfile_t::wavfile_t() : Could not locate 'data' chunk";
const char* const kBadFormat =
    "wavfile_t::wavfile_t() : WAVE file isn't PCM VkFloat,"
    "16-bit or 8-bit, can't read that format";
const char* const kReadFromWrite = "wavfile_t::read_mono(): Can't read from a write file";
const char* const kArrayTooSmall =
    "wavfile_t::read_mono(): input array is too small for numSamples";

const uint16_t kTagPcm = 1;

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void putLe16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v & 0xFF);
  p[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

void putLe32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
}

bool readExactly(std::fstream& f, unsigned char* buf, std::streamsize n) {
  f.read(reinterpret_cast<char*>(buf), n);
  return f.gcount() == n;
}

bool isTag(const unsigned char* id, const char* tag) { return std::memcmp(id, tag, 4) == 0; }

// Walks chunk headers until `tag`; every other chunk is skipped by its size
// alone (no pad byte). The id is judged before the size is read, so a file that
// ends inside the found chunk's size field still finds it (the size then holds
// the bytes that were there). Leaves the stream after that size field.
uint32_t findChunk(std::fstream& f, const char* tag, const char* failure) {
  if (!f.good()) throw std::runtime_error(failure);
  unsigned char id[4];
  unsigned char size[4];
  for (;;) {
    if (!readExactly(f, id, 4)) throw std::runtime_error(failure);
    if (isTag(id, tag)) {
      std::memset(size, 0, sizeof size);
      f.read(reinterpret_cast<char*>(size), 4);
      return le32(size);
    }
    if (!readExactly(f, size, 4)) throw std::runtime_error(failure);
    f.seekg(static_cast<std::streamoff>(le32(size)), std::ios::cur);
    if (!f.good()) throw std::runtime_error(failure);
  }
}

// First channel of `frames` frames of `stride` bytes each, into out.
void decodeFirstChannel(const unsigned char* src, std::size_t stride, int32_t frames, int32_t bits,
                        bool int32Samples, float* out) {
  switch (bits) {
    case 16:
      for (int32_t k = 0; k < frames; ++k, src += stride)
        out[k] = static_cast<float>(static_cast<int16_t>(le16(src))) * 3.0517578125e-05f;
      break;
    case 8:
      for (int32_t k = 0; k < frames; ++k, src += stride)
        out[k] = static_cast<float>(static_cast<int>(src[0]) - 128) * 0.0078125f;
      break;
    case 32:
      if (int32Samples) {
        for (int32_t k = 0; k < frames; ++k, src += stride)
          out[k] = static_cast<float>(static_cast<int32_t>(le32(src))) * 4.656612873077393e-10f;
      } else {
        for (int32_t k = 0; k < frames; ++k, src += stride) {
          const uint32_t u = le32(src);
          std::memcpy(&out[k], &u, sizeof(float));
        }
      }
      break;
    default:
      break;
  }
}

}  // namespace

wavfile_t::wavfile_t(const std::string& fileName, int32_t mode_, int32_t numChannels_,
                     uint32_t sampleRate_)
    : numChannels(numChannels_),
      numSamples(0),
      sampleRate(sampleRate_),
      mode(0),
      bitsPerSample(0),
      dataStart(0),
      int32Samples(false) {
  if (mode_ == 1) {
    openForReading(fileName);
  } else if (mode_ == 2) {
    openForWriting(fileName);
  }
}

wavfile_t::~wavfile_t() {
  if (mode == 2) finishHeader();
  if (file.is_open()) file.close();
}

void wavfile_t::openForReading(const std::string& fileName) {
  file.open(fileName, std::ios::in | std::ios::binary);
  file.seekg(0, std::ios::beg);
  unsigned char id[4];
  if (!readExactly(file, id, 4) || !isTag(id, "RIFF")) throw std::runtime_error(kNoRiff);
  unsigned char riffSize[4];
  readExactly(file, riffSize, 4);  // not trusted: writers get it wrong too often
  if (!readExactly(file, id, 4) || !isTag(id, "WAVE")) throw std::runtime_error(kNoWave);

  const uint32_t fmtSize = findChunk(file, "fmt ", kNoFmt);
  unsigned char fmt[16];
  // A format chunk cut off by the end of the file leaves nothing to find after it.
  if (!readExactly(file, fmt, 16)) throw std::runtime_error(kNoData);
  const uint16_t tag = le16(fmt);
  numChannels = static_cast<int16_t>(le16(fmt + 2));
  sampleRate = le32(fmt + 4);
  bitsPerSample = static_cast<int16_t>(le16(fmt + 14));

  if (static_cast<int16_t>(tag) > 1 && bitsPerSample != 8 && bitsPerSample != 16 &&
      bitsPerSample != 32)
    throw std::runtime_error(kBadFormat);
  // The frame buffer holds one frame of at most 16 channels, and the frame count
  // below divides by the channel count and the bytes per sample.
  if (numChannels < 1 || numChannels > 16)
    throw std::runtime_error("wavfile_t::wavfile_t() : Unsupported channel count " +
                             std::to_string(numChannels));
  if (bitsPerSample < 8)
    throw std::runtime_error("wavfile_t::wavfile_t() : Unsupported bits per sample " +
                             std::to_string(bitsPerSample));
  // A size below 16 would make the skip below wrap to about 4 GiB past the end,
  // so such a chunk ends the way that skip would.
  if (fmtSize < 16) throw std::runtime_error(kNoData);

  // 32-bit samples: integers under the PCM tag (that is what such files hold),
  // IEEE floats under every other tag, the extensible one included (its
  // subformat is not consulted: 32 bits there are read as floats).
  int32Samples = tag == kTagPcm && bitsPerSample == 32;
  file.seekg(static_cast<std::streamoff>(fmtSize - 16), std::ios::cur);

  // The declared size is taken as it stands, even beyond the end of the file (a
  // recorder that stopped before fixing its header): reading stops at the end of
  // the file, and nothing is ever allocated from this count.
  const uint32_t dataBytes = findChunk(file, "data", kNoData);
  if (!file.good()) {  // the file ended inside the size field: no samples follow
    file.clear();
    file.seekg(0, std::ios::end);
  }
  dataStart = file.tellg();

  numSamples =
      dataBytes / (static_cast<uint32_t>(bitsPerSample) / 8u) / static_cast<uint32_t>(numChannels);
  mode = 1;
}

void wavfile_t::openForWriting(const std::string& fileName) {
  file.open(fileName, std::ios::out | std::ios::binary | std::ios::trunc);
  const uint32_t channels = static_cast<uint32_t>(numChannels) & 0xFFFFu;
  unsigned char h[44];
  std::memcpy(h, "RIFF", 4);
  putLe32(h + 4, 0);
  std::memcpy(h + 8, "WAVE", 4);
  std::memcpy(h + 12, "fmt ", 4);
  putLe32(h + 16, 16);
  putLe16(h + 20, kTagPcm);
  putLe16(h + 22, channels);
  putLe32(h + 24, sampleRate);
  putLe32(h + 28, sampleRate * static_cast<uint32_t>(numChannels) * 2u);
  putLe16(h + 32, static_cast<uint32_t>(numChannels) * 2u);
  putLe16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  putLe32(h + 40, 0);
  file.write(reinterpret_cast<const char*>(h), sizeof(h));
  mode = 2;
  dataStart = 44;
}

void wavfile_t::finishHeader() {
  if (!file.is_open()) return;
  file.seekp(0, std::ios::end);
  const std::streamoff length = file.tellp();
  // Shorter than a header means the header itself was not written.
  if (!file.good() || length < 44) return;
  unsigned char v[4];
  putLe32(v, static_cast<uint32_t>(length - 8));
  file.seekp(4, std::ios::beg);
  file.write(reinterpret_cast<const char*>(v), 4);
  putLe32(v, static_cast<uint32_t>(length - 44));
  file.seekp(40, std::ios::beg);
  file.write(reinterpret_cast<const char*>(v), 4);
}

bool wavfile_t::write_frames(const float* interleaved, std::size_t numFrames) {
  if (mode != 2 || numChannels < 1 || !file.good()) return false;
  if (numFrames == 0) return true;
  if (interleaved == nullptr) return false;
  const std::size_t channels = static_cast<std::size_t>(numChannels);
  // Both header sizes are 32-bit; a file that outgrows them would be unreadable.
  const std::streamoff at = file.tellp();
  const uint64_t room =
      at < 0 ? 0 : std::numeric_limits<uint32_t>::max() - static_cast<uint64_t>(at);
  if (numFrames > room / 2 / channels) return false;

  const std::size_t total = numFrames * channels;
  unsigned char buf[8192];
  std::size_t done = 0;
  while (done < total) {
    const std::size_t n = std::min(total - done, sizeof(buf) / 2);
    for (std::size_t k = 0; k < n; ++k)
      putLe16(buf + 2 * k, static_cast<uint16_t>(pcm16(interleaved[done + k])));
    file.write(reinterpret_cast<const char*>(buf), static_cast<std::streamsize>(2 * n));
    done += n;
  }
  return file.good();
}

bool wavfile_t::read_mono(array<float>& out) {
  if (mode == 2) throw std::runtime_error(kReadFromWrite);
  return read_mono_frames(out, out.count());
}

bool wavfile_t::read_mono(array<float>& out, int32_t count) {
  if (mode == 2) throw std::runtime_error(kReadFromWrite);
  if (count > out.count()) throw std::runtime_error(kArrayTooSmall);
  return read_mono_frames(out, count);
}

// Reads many frames per stream call, but leaves exactly what reading one frame
// per call would: the read that runs into the end of the file still stores a
// sample, taken from the frame buffer (the partial bytes over the previous
// frame's), and the stream ends in the same position and state.
bool wavfile_t::read_mono_frames(array<float>& out, int32_t limit) {
  const int32_t bits = bitsPerSample;
  if (limit <= 0 || (bits != 8 && bits != 16 && bits != 32)) return true;
  if (numChannels < 1 || numChannels > 16) return true;
  const std::size_t frameBytes = static_cast<std::size_t>(numChannels) * (bits / 8);
  unsigned char chunk[16384];
  // One frame of at most 16 channels of 32 bits; each call starts from zeros.
  unsigned char frameBuffer[16 * 4] = {};
  const int32_t chunkFrames = static_cast<int32_t>(sizeof(chunk) / frameBytes);
  float* dst = out.data;

  int32_t i = 0;
  while (i < limit) {
    if (file.eof()) break;
    const int32_t want = std::min(limit - i, chunkFrames);
    file.read(reinterpret_cast<char*>(chunk), static_cast<std::streamsize>(want * frameBytes));
    const std::size_t got = static_cast<std::size_t>(file.gcount());
    const int32_t full = static_cast<int32_t>(got / frameBytes);
    decodeFirstChannel(chunk, frameBytes, full, bits, int32Samples, dst + i);
    if (full > 0) std::memcpy(frameBuffer, chunk + (full - 1) * frameBytes, frameBytes);
    i += full;
    if (full < want) {
      std::memcpy(frameBuffer, chunk + full * frameBytes, got - full * frameBytes);
      decodeFirstChannel(frameBuffer, frameBytes, 1, bits, int32Samples, dst + i);
      ++i;
    }
  }
  return true;
}

}  // namespace Velk
