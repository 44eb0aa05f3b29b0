#include "velk/wavfile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "audio/open_watch.h"
#include "audio/wav_reader.h"
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
const uint16_t kTagExtensible = 0xFFFE;

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

bool readExactly(std::istream& f, unsigned char* buf, std::streamsize n) {
  f.read(reinterpret_cast<char*>(buf), n);
  return f.gcount() == n;
}

bool isTag(const unsigned char* id, const char* tag) { return std::memcmp(id, tag, 4) == 0; }

// Walks chunk headers until `tag`; every other chunk is skipped by its size
// alone (no pad byte). The id is judged before the size is read, so a file that
// ends inside the found chunk's size field still finds it (the size then holds
// the bytes that were there). Leaves the stream after that size field.
uint32_t findChunk(std::istream& f, const char* tag, const char* failure) {
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

}  // namespace

namespace detail {

WavHeader readWavHeader(std::istream& in) {
  in.seekg(0, std::ios::beg);
  unsigned char id[4];
  if (!readExactly(in, id, 4) || !isTag(id, "RIFF")) throw std::runtime_error(kNoRiff);
  unsigned char riffSize[4];
  readExactly(in, riffSize, 4);  // not trusted: writers get it wrong too often
  if (!readExactly(in, id, 4) || !isTag(id, "WAVE")) throw std::runtime_error(kNoWave);

  WavHeader h;
  const uint32_t fmtSize = findChunk(in, "fmt ", kNoFmt);
  unsigned char fmt[26];
  // A format chunk cut off by the end of the file leaves nothing to find after it.
  if (!readExactly(in, fmt, 16)) throw std::runtime_error(kNoData);
  h.tag = le16(fmt);
  h.subFormat = h.tag;
  h.channels = static_cast<int16_t>(le16(fmt + 2));
  h.rate = le32(fmt + 4);
  h.bits = static_cast<int16_t>(le16(fmt + 14));

  if (static_cast<int16_t>(h.tag) > 1 && h.bits != 8 && h.bits != 16 && h.bits != 32)
    throw std::runtime_error(kBadFormat);
  // A frame of wavfile_t's buffer holds at most 16 channels, and the frame count
  // divides by the channel count and the bytes per sample.
  if (h.channels < 1 || h.channels > 16)
    throw std::runtime_error("wavfile_t::wavfile_t() : Unsupported channel count " +
                             std::to_string(h.channels));
  if (h.bits < 8)
    throw std::runtime_error("wavfile_t::wavfile_t() : Unsupported bits per sample " +
                             std::to_string(h.bits));
  // A size below 16 would make the skip below wrap to about 4 GiB past the end,
  // so such a chunk ends the way that skip would.
  if (fmtSize < 16) throw std::runtime_error(kNoData);
  uint32_t used = 16;
  // The extensible format names its encoding in its sub-format (a file cut off
  // there finds no data, as skipping past its end would).
  if (h.tag == kTagExtensible && fmtSize >= 26) {
    if (!readExactly(in, fmt + 16, 10)) throw std::runtime_error(kNoData);
    h.subFormat = le16(fmt + 24);
    used = 26;
  }
  in.seekg(static_cast<std::streamoff>(fmtSize - used), std::ios::cur);

  // The declared size is taken as it stands, even beyond the end of the file (a
  // recorder that stopped before fixing its header): reading stops at the end of
  // the file, and nothing is ever allocated from this count.
  h.dataBytes = findChunk(in, "data", kNoData);
  if (!in.good()) {  // the file ended inside the size field: no samples follow
    in.clear();
    in.seekg(0, std::ios::end);
  }
  h.dataStart = in.tellg();
  return h;
}

uint64_t wavFramesPresent(std::istream& in, std::streamoff dataStart, std::size_t frameBytes) {
  in.clear();
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.clear();
  in.seekg(dataStart);
  return size > dataStart
             ? static_cast<uint64_t>(size - dataStart) / std::max<std::size_t>(1, frameBytes)
             : 0;
}

void seekWavFrame(std::istream& in, std::streamoff dataStart, std::size_t frameBytes,
                  uint64_t frame) {
  // A read that reached the end left eof and fail set, and a failed stream
  // ignores seeks.
  in.clear();
  in.seekg(dataStart + static_cast<std::streamoff>(frame * frameBytes));
}

void seekWavFrame(wavfile_t& wav, uint64_t frame) {
  const auto frameBytes = static_cast<std::size_t>(std::max(0, wav.numChannels)) *
                          static_cast<std::size_t>(std::max(0, wav.bitsPerSample / 8));
  seekWavFrame(wav.file, wav.dataStart, frameBytes, frame);
}

void decodeWavChannel(const unsigned char* src, std::size_t frameBytes, std::size_t frames,
                      int32_t bits, bool floats, int channel, float* out, std::size_t outStride) {
  src += static_cast<std::size_t>(channel) * static_cast<std::size_t>(bits / 8);
  switch (bits) {
    case 16:
      for (std::size_t k = 0; k < frames; ++k, src += frameBytes, out += outStride)
        *out = static_cast<float>(static_cast<int16_t>(le16(src))) * 3.0517578125e-05f;
      break;
    case 8:
      for (std::size_t k = 0; k < frames; ++k, src += frameBytes, out += outStride)
        *out = static_cast<float>(static_cast<int>(src[0]) - 128) * 0.0078125f;
      break;
    case 24:
      for (std::size_t k = 0; k < frames; ++k, src += frameBytes, out += outStride) {
        const uint32_t u = (static_cast<uint32_t>(src[0]) << 8) |
                           (static_cast<uint32_t>(src[1]) << 16) |
                           (static_cast<uint32_t>(src[2]) << 24);
        // Sign-extends; exact, as the value is a multiple of 256.
        const int32_t v = static_cast<int32_t>(u) / 256;
        *out = static_cast<float>(v * (1.0 / 8388608.0));
      }
      break;
    case 32:
      for (std::size_t k = 0; k < frames; ++k, src += frameBytes, out += outStride) {
        const uint32_t u = le32(src);
        if (floats)
          std::memcpy(out, &u, sizeof(float));
        else
          *out = static_cast<float>(static_cast<int32_t>(u)) * 4.656612873077393e-10f;
      }
      break;
    default:
      break;
  }
}

}  // namespace detail

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
  detail::noteOpen(fileName);
  file.open(fileName, std::ios::in | std::ios::binary);
  const detail::WavHeader h = detail::readWavHeader(file);
  numChannels = h.channels;
  sampleRate = h.rate;
  bitsPerSample = h.bits;
  // 32-bit samples: integers under the PCM tag (that is what such files hold),
  // IEEE floats under every other tag, the extensible one included (its
  // subformat is not consulted: 32 bits there are read as floats).
  int32Samples = h.tag == kTagPcm && h.bits == 32;
  dataStart = h.dataStart;
  numSamples = h.declaredFrames();
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
    const std::size_t frames = got / frameBytes;
    const auto full = static_cast<int32_t>(frames);
    detail::decodeWavChannel(chunk, frameBytes, frames, bits, !int32Samples, 0, dst + i, 1);
    if (frames > 0) std::memcpy(frameBuffer, chunk + (frames - 1) * frameBytes, frameBytes);
    i += full;
    if (full < want) {
      std::memcpy(frameBuffer, chunk + frames * frameBytes, got - frames * frameBytes);
      detail::decodeWavChannel(frameBuffer, frameBytes, 1, bits, !int32Samples, 0, dst + i, 1);
      ++i;
    }
  }
  return true;
}

}  // namespace Velk
