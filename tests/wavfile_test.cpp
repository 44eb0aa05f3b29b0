#include "velk/wavfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

using Velk::array;
using Velk::wavfile_t;
using velktest::putTag;
using velktest::putU16;
using velktest::putU32;

namespace {

using velktest::WavLayout;

std::vector<uint8_t> build(const WavLayout& s) { return velktest::wavBytes(s); }

std::vector<uint8_t> chunk(const char* tag, uint32_t size) {
  std::vector<uint8_t> c;
  putTag(c, tag);
  putU32(c, size);
  for (uint32_t i = 0; i < size; ++i) c.push_back(static_cast<uint8_t>('a' + i % 26));
  return c;
}

std::vector<uint8_t> pcm16(const std::vector<int16_t>& v) {
  std::vector<uint8_t> b;
  for (int16_t s : v) putU16(b, static_cast<uint16_t>(s));
  return b;
}

// The extensible format's 24 extra bytes; the subformat GUID carries `sub`.
std::vector<uint8_t> extensible(uint32_t sub, uint16_t validBits) {
  std::vector<uint8_t> e;
  putU16(e, 22);
  putU16(e, validBits);
  putU32(e, 4);
  putU32(e, sub);
  const uint8_t tail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  e.insert(e.end(), tail, tail + 12);
  return e;
}

class WavFileTest : public ::testing::Test {
 protected:
  velktest::TempDir dir{"velk-wav"};
  std::string write(const std::vector<uint8_t>& bytes, const std::string& name = "t.wav") {
    const std::string p = dir.file(name);
    velktest::writeBytes(p, bytes);
    return p;
  }
  std::string openError(const std::vector<uint8_t>& bytes) {
    const std::string p = write(bytes);
    try {
      wavfile_t w(p, 1, 1, 16000);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "(opened)";
  }
  std::vector<float> readAll(const std::string& path, int32_t n, float fill = -7.0f) {
    wavfile_t w(path, 1, 1, 16000);
    array<float> out(n);
    out = fill;
    EXPECT_TRUE(w.read_mono(out));
    return std::vector<float>(out.data, out.data + n);
  }
};

const std::string kNoRiff = "wavfile_t::wavfile_t() : File doesn't start with 'RIFF'";
const std::string kNoData = "wavfile_t::wavfile_t() : Could not locate 'data' chunk";
const std::string kNoFmt = "wavfile_t::wavfile_t() : Could not locate 'fmt ' chunk";
const std::string kBadFormat =
    "wavfile_t::wavfile_t() : WAVE file isn't PCM VkFloat,16-bit or 8-bit, can't read that format";

}  // namespace

TEST_F(WavFileTest, RefusesMalformedFiles) {
  try {
    wavfile_t w(dir.file("missing.wav"), 1, 1, 16000);
    ADD_FAILURE() << "a missing file opened";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), kNoRiff);
  }
  EXPECT_EQ(openError({'R', 'I', 'F'}), kNoRiff);
  EXPECT_EQ(openError({'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}), kNoRiff);
  EXPECT_EQ(openError({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'X'}),
            "wavfile_t::wavfile_t() : File doesn't have 'WAVE' id");
  EXPECT_EQ(openError({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}), kNoFmt);

  std::vector<uint8_t> runaway = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  const auto big = chunk("JUNK", 4);
  runaway.insert(runaway.end(), big.begin(), big.end());
  putTag(runaway, "JUNK");
  putU32(runaway, 1000);  // runs past the end
  EXPECT_EQ(openError(runaway), kNoFmt);

  // (Short format chunks and 64-bit floats are among the hostile headers.)
  WavLayout s;
  s.tag = 2;
  s.bits = 4;
  s.data.assign(16, 0);
  EXPECT_EQ(openError(build(s)), kBadFormat) << "a compressed format";

  s = WavLayout();
  s.data.assign(8, 0);
  for (auto [channels, text] :
       {std::pair<uint16_t, const char*>{0, "0"}, {17, "17"}, {0xFFFF, "-1"}}) {
    s.channels = channels;
    EXPECT_EQ(openError(build(s)),
              std::string("wavfile_t::wavfile_t() : Unsupported channel count ") + text);
  }
  s.channels = 16;
  EXPECT_EQ(openError(build(s)), "(opened)") << "16 channels is the most the frame buffer holds";

  s = WavLayout();
  s.data.assign(8, 0);
  s.bits = 4;
  EXPECT_EQ(openError(build(s)), "wavfile_t::wavfile_t() : Unsupported bits per sample 4");
  s.bits = 0;
  EXPECT_EQ(openError(build(s)), "wavfile_t::wavfile_t() : Unsupported bits per sample 0");

  // No data chunk at all, a chunk id cut short, and a file that ends right after
  // the "fmt " id (its format cannot be read, so nothing after it is found).
  std::vector<uint8_t> noData = build(WavLayout());
  noData.resize(noData.size() - 8);
  EXPECT_EQ(openError(noData), kNoData);
  std::vector<uint8_t> cutId = noData;
  cutId.insert(cutId.end(), {'d', 'a', 't'});
  EXPECT_EQ(openError(cutId), kNoData);
  std::vector<uint8_t> fmtOnly = build(WavLayout());
  fmtOnly.resize(16);
  EXPECT_EQ(openError(fmtOnly), kNoData);
}

TEST_F(WavFileTest, DeclaredSizesBeyondTheFileReadWhatIsThere) {
  // The data size is taken as declared; reading stops at the end of the file.
  WavLayout s;
  s.data = pcm16({1, 2, 3});
  for (uint32_t declared : {0xFFFFFFF0u, 7u}) {
    s.dataSize = declared;
    const std::string p = write(build(s));
    {
      wavfile_t w(p, 1, 1, 16000);
      EXPECT_EQ(w.numSamples, declared / 2);
      EXPECT_EQ(static_cast<std::streamoff>(w.dataStart), 44);
    }
    EXPECT_EQ(readAll(p, 5),
              (std::vector<float>{1 / 32768.0f, 2 / 32768.0f, 3 / 32768.0f, 3 / 32768.0f, -7.0f}));
  }
  // A file that ends inside the data chunk's size field opens with what was there.
  std::vector<uint8_t> cut = build(WavLayout());
  cut.resize(cut.size() - 2);
  const std::string p = write(cut);
  wavfile_t w(p, 1, 1, 16000);
  EXPECT_EQ(w.numSamples, 0u);
  array<float> out(2);
  out = -7.0f;
  w.read_mono(out);
  EXPECT_EQ(out[0], 0.0f) << "the frame buffer starts as zeros";
  EXPECT_EQ(out[1], -7.0f);
}

TEST_F(WavFileTest, ReadsHeaderAndSkipsOtherChunks) {
  WavLayout s;
  s.channels = 2;
  s.rate = 22050;
  s.before = chunk("JUNK", 6);
  s.between = chunk("LIST", 11);  // odd size, no pad byte
  s.data = pcm16({100, -100, 200, -200, 300, -300});
  s.data.push_back(0x55);  // a stray byte: not a whole sample
  const std::string p = write(build(s));
  wavfile_t w(p, 1, 1, 16000);
  EXPECT_EQ(w.mode, 1);
  EXPECT_EQ(w.numChannels, 2);
  EXPECT_EQ(w.sampleRate, 22050u);
  EXPECT_EQ(w.bitsPerSample, 16);
  EXPECT_EQ(w.numSamples, 3u) << "13 bytes / 2 bytes / 2 channels, truncated";
  EXPECT_EQ(static_cast<std::streamoff>(w.dataStart), 12 + 14 + 24 + 19 + 8);
  array<float> out(3);
  w.read_mono(out);
  EXPECT_EQ(out[0], 100 / 32768.0f);
  EXPECT_EQ(out[1], 200 / 32768.0f);
  EXPECT_EQ(out[2], 300 / 32768.0f) << "left channel only";

  // Format chunks of 18 and 40 bytes are skipped to their end.
  for (uint32_t extra : {2u, 24u}) {
    WavLayout e;
    e.fmtSize = 16 + extra;
    e.fmtExtra.assign(extra, 0);
    e.data = pcm16({-32768, 32767});
    EXPECT_EQ(readAll(write(build(e)), 2), (std::vector<float>{-1.0f, 32767 / 32768.0f})) << extra;
  }
}

TEST_F(WavFileTest, DecodesEachSampleFormat) {
  WavLayout s8;
  s8.bits = 8;
  s8.data = {0, 128, 255};
  EXPECT_EQ(readAll(write(build(s8)), 3), (std::vector<float>{-1.0f, 0.0f, 0.9921875f}));

  const float floats[2] = {0.375f, -1.25f};
  std::vector<uint8_t> fbytes(8);
  std::memcpy(fbytes.data(), floats, 8);  // the test machine is little-endian, as WAV is
  WavLayout f;
  f.tag = 3;
  f.bits = 32;
  f.data = fbytes;
  EXPECT_EQ(readAll(write(build(f)), 2), (std::vector<float>{0.375f, -1.25f}));

  // 32-bit integers under the PCM tag, scaled by 2^-31.
  std::vector<uint8_t> ibytes;
  putU32(ibytes, 0x40000000u);
  putU32(ibytes, 0x80000000u);
  WavLayout i32;
  i32.bits = 32;
  i32.data = ibytes;
  EXPECT_EQ(readAll(write(build(i32)), 2), (std::vector<float>{0.5f, -1.0f}));

  // The extensible tag reads 32 bits as floats whatever its subformat says.
  WavLayout x;
  x.tag = 0xFFFE;
  x.bits = 32;
  x.fmtSize = 40;
  x.data = fbytes;
  for (uint32_t sub : {1u, 3u}) {
    x.fmtExtra = extensible(sub, 32);
    EXPECT_EQ(readAll(write(build(x)), 2), (std::vector<float>{0.375f, -1.25f})) << sub;
  }
  x.fmtSize = 18;
  x.fmtExtra = {0, 0};
  EXPECT_EQ(readAll(write(build(x)), 2), (std::vector<float>{0.375f, -1.25f}));

  // 24-bit opens, but the reader leaves the array alone.
  WavLayout s24;
  s24.bits = 24;
  s24.data.assign(9, 0x11);
  const std::string p24 = write(build(s24));
  {
    wavfile_t w(p24, 1, 1, 16000);
    EXPECT_EQ(w.numSamples, 3u);
  }
  EXPECT_EQ(readAll(p24, 3), (std::vector<float>{-7.0f, -7.0f, -7.0f}));
}

TEST_F(WavFileTest, EndOfFileAndTrailingChunks) {
  WavLayout s;
  s.data = pcm16({1000, 2000, 3000});
  const std::string exact = write(build(s), "exact.wav");
  // The read that meets the end still stores the frame buffer (the last frame again);
  // everything after it keeps its old value.
  const float last = 3000 / 32768.0f;
  EXPECT_EQ(readAll(exact, 6),
            (std::vector<float>{1000 / 32768.0f, 2000 / 32768.0f, last, last, -7.0f, -7.0f}));

  // Bytes after the data chunk are read as samples when asked for.
  s.after = {'L', 'I', 'S', 'T'};
  const std::vector<float> past = readAll(write(build(s), "past.wav"), 5);
  EXPECT_EQ(past[3], static_cast<int16_t>('L' | ('I' << 8)) / 32768.0f);
  EXPECT_EQ(past[4], static_cast<int16_t>('S' | ('T' << 8)) / 32768.0f);

  // A partial last frame: its bytes over the previous frame's.
  WavLayout st;
  st.channels = 2;
  st.data = pcm16({0x0102, 0x0304, 0x0506, 0x0708});
  st.data.push_back(0xAA);
  std::vector<float> partial = readAll(write(build(st), "partial.wav"), 4);
  EXPECT_EQ(partial[2], static_cast<int16_t>(0x05AA) / 32768.0f);
  EXPECT_EQ(partial[3], -7.0f);

  // Each call's frame buffer starts as zeros: the read that meets the end first
  // in a call stores 0, not the last frame of the call before.
  wavfile_t w(exact, 1, 1, 16000);
  array<float> three(3);
  w.read_mono(three);
  array<float> more(2);
  more = -7.0f;
  w.read_mono(more);
  EXPECT_EQ(more[0], 0.0f);
  EXPECT_EQ(more[1], -7.0f);
}

TEST_F(WavFileTest, ReadMonoArguments) {
  WavLayout s;
  s.data = pcm16({10, 20, 30, 40});
  const std::string p = write(build(s));
  wavfile_t w(p, 1, 1, 16000);
  array<float> out(3);
  out = -1.0f;
  try {
    w.read_mono(out, 4);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "wavfile_t::read_mono(): input array is too small for numSamples");
  }
  EXPECT_TRUE(w.read_mono(out, 0));
  EXPECT_TRUE(w.read_mono(out, -3));
  EXPECT_EQ(out[0], -1.0f) << "nothing read for a count of 0 or less";
  EXPECT_TRUE(w.read_mono(out, 2));
  EXPECT_EQ(out[0], 10 / 32768.0f);
  EXPECT_EQ(out[1], 20 / 32768.0f);
  EXPECT_EQ(out[2], -1.0f);
  EXPECT_TRUE(w.read_mono(out, 1));
  EXPECT_EQ(out[0], 30 / 32768.0f) << "reads continue where the last one stopped";

  wavfile_t none(dir.file("never.wav"), 0, 1, 16000);
  EXPECT_EQ(none.mode, 0);
  EXPECT_TRUE(none.read_mono(out));
  EXPECT_EQ(out[0], 30 / 32768.0f);
  EXPECT_FALSE(std::ifstream(dir.file("never.wav")).good()) << "mode 0 creates nothing";
}

TEST_F(WavFileTest, WriteFramesRoundTrips) {
  const std::string p = dir.file("frames.wav");
  const float frames[] = {0.5f,    -0.5f, 1.0f,          -1.0f, 1.5f, -1.5f,
                          0.0001f, 0.0f,  -3.0f / 32768, 0.0f,  NAN,  0.25f};
  {
    wavfile_t w(p, 2, 2, 8000);
    EXPECT_TRUE(w.write_frames(frames, 3));
    EXPECT_TRUE(w.write_frames(frames + 6, 3));
    EXPECT_TRUE(w.write_frames(frames, 0));
    array<float> out(1);
    EXPECT_THROW(w.read_mono(out), std::runtime_error) << "a write file is never read";
  }
  const std::vector<uint8_t> bytes = velktest::readBytes(p);
  ASSERT_EQ(bytes.size(), 44u + 6 * 2 * 2);
  auto u32 = [&](std::size_t at) {
    return static_cast<uint32_t>(bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
                                 (bytes[at + 3] << 24));
  };
  EXPECT_EQ(u32(4), bytes.size() - 8);
  EXPECT_EQ(u32(24), 8000u);
  EXPECT_EQ(u32(28), 8000u * 2 * 2) << "bytes per second";
  EXPECT_EQ(u32(40), 24u);
  std::vector<int16_t> samples;
  for (std::size_t i = 44; i < bytes.size(); i += 2)
    samples.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
  // Clipped to [-1, 1) and rounded to the nearest step (0.0001 * 32768 = 3.28).
  EXPECT_EQ(samples, (std::vector<int16_t>{16384, -16384, 32767, -32768, 32767, -32768, 3, 0, -3, 0,
                                           0, 8192}));

  wavfile_t r(p, 1, 1, 16000);
  EXPECT_EQ(r.numSamples, 6u);
  EXPECT_EQ(r.numChannels, 2);
  EXPECT_FALSE(r.write_frames(frames, 1)) << "a read file is never written";

  // A file that cannot be created: no exception, nothing written.
  wavfile_t bad(dir.file("no/such/dir.wav"), 2, 1, 8000);
  EXPECT_FALSE(bad.write_frames(frames, 2));
}

// The bulk reader must leave exactly what a frame-at-a-time reader leaves:
// the same values, untouched elements, stream position and end-of-file state.
TEST_F(WavFileTest, BulkReadMatchesFrameByFrameReference) {
  struct Case {
    uint16_t tag, channels, bits;
    std::size_t frames, tailBytes;
  };
  const Case cases[] = {{1, 2, 16, 9001, 3},  {1, 1, 8, 20000, 0}, {3, 3, 32, 1500, 5},
                        {1, 16, 16, 700, 31}, {1, 1, 16, 8192, 1}, {1, 1, 32, 5000, 2}};
  const int32_t requests[] = {1, 255, 4096, 5000, 7, 8192, 3, 20000, 9};
  uint32_t seed = 12345;
  for (const Case& c : cases) {
    WavLayout s;
    s.tag = c.tag;
    s.channels = c.channels;
    s.bits = c.bits;
    const std::size_t frameBytes = c.channels * c.bits / 8u;
    s.data.resize(c.frames * frameBytes + c.tailBytes);
    for (auto& b : s.data) {
      seed = seed * 1103515245u + 12345u;
      b = static_cast<uint8_t>(seed >> 16);
    }
    if (c.bits == 32 && c.tag == 3)  // keep the floats finite so they compare equal
      for (std::size_t i = 3; i < s.data.size(); i += 4) s.data[i] &= 0x3F;
    const std::string p = write(build(s), "bulk.wav");

    wavfile_t w(p, 1, 1, 16000);
    std::ifstream ref(p, std::ios::binary);
    ref.seekg(w.dataStart);
    unsigned char frame[64] = {};
    auto decode = [&]() -> float {
      if (c.bits == 8) return (frame[0] - 128) * 0.0078125f;
      if (c.bits == 16) return static_cast<int16_t>(frame[0] | (frame[1] << 8)) / 32768.0f;
      int32_t v;
      std::memcpy(&v, frame, 4);
      if (c.tag == 1) return static_cast<float>(v) * (1.0f / 2147483648.0f);
      float f;
      std::memcpy(&f, frame, 4);
      return f;
    };
    for (int32_t n : requests) {
      array<float> got(n + 2);
      got = -9.0f;
      std::vector<float> want(got.data, got.data + n + 2);
      w.read_mono(got, n);
      std::memset(frame, 0, sizeof frame);  // every call starts from a zeroed frame
      for (int32_t i = 0; i < n; ++i) {
        if (ref.eof()) break;
        ref.read(reinterpret_cast<char*>(frame), static_cast<std::streamsize>(frameBytes));
        want[i] = decode();
      }
      ASSERT_EQ(std::vector<float>(got.data, got.data + n + 2), want)
          << "channels " << c.channels << " bits " << c.bits << " request " << n;
      ASSERT_EQ(w.file.eof(), ref.eof());
      w.file.clear();
      ref.clear();
      ASSERT_EQ(static_cast<std::streamoff>(w.file.tellg()),
                static_cast<std::streamoff>(ref.tellg()));
    }
  }
}
