// The WAV reader (wavfile_t and WavInput) on hand-made files, hostile ones
// included, and extraction by path over them: each header is refused with its
// message or read as a well-defined short read, nothing hangs, and nothing
// allocates in proportion to what a header claims instead of what the file holds.

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <stdexcept>

#include "robust_alloc.h"
#include "test_support.h"
#include "velk/velk.h"

namespace {

using Velk::array;
using Velk::wavfile_t;
using velktest::chunk;
using velktest::putU16;
using velktest::putU32;
using velktest::WavLayout;

std::vector<uint8_t> pcm16(const std::vector<int16_t>& v) {
  std::vector<uint8_t> b;
  for (int16_t s : v) putU16(b, static_cast<uint16_t>(s));
  return b;
}

// Loud noise-like 16-bit frames, so that extraction has peaks to find.
std::vector<uint8_t> noise(std::size_t frames, std::size_t channels = 1) {
  std::vector<int16_t> v;
  for (std::size_t i = 0; i < frames * channels; ++i)
    v.push_back(static_cast<int16_t>(((i / channels) * 2654435761u >> 20) & 0x3FFF));
  return pcm16(v);
}

std::vector<uint8_t> layout(const std::function<void(WavLayout&)>& change) {
  WavLayout w;
  w.riffSize = 0xFFFFFFFFu;  // never trusted by the reader
  w.data = noise(4000);      // half a second: enough for a real extraction
  change(w);
  return velktest::wavBytes(w);
}

std::vector<uint8_t> riffHead(const char* riff, const char* wave) {
  std::vector<uint8_t> b(riff, riff + 4);
  putU32(b, 0);
  b.insert(b.end(), wave, wave + 4);
  return b;
}

struct Case {
  const char* name;
  std::vector<uint8_t> bytes;
  const char* refusal;  // what follows "wavfile_t::wavfile_t() : ", or null when it opens
  uint32_t frames;      // frames an opened file declares
  int32_t written;      // elements a WavInput read of min(frames, 4000) + 8 changes
};

const char kNoRiff[] = "File doesn't start with 'RIFF'";
const char kNoFmt[] = "Could not locate 'fmt ' chunk";
const char kNoData[] = "Could not locate 'data' chunk";
const char kFormat[] = "WAVE file isn't PCM VkFloat,16-bit or 8-bit, can't read that format";

std::vector<Case> cases() {
  std::vector<uint8_t> noData = layout([](WavLayout&) {});
  noData.resize(44 - 8);
  std::vector<uint8_t> runaway = riffHead("RIFF", "WAVE");
  for (auto c : {chunk("JUNK", 4), chunk("JUNK", 1000, false)})  // the second runs past the end
    runaway.insert(runaway.end(), c.begin(), c.end());
  std::vector<uint8_t> cutSize = layout([](WavLayout& w) { w.data.clear(); });
  cutSize.resize(cutSize.size() - 2);  // ends inside the data chunk's size field
  return {
      {"plain", layout([](WavLayout&) {}), nullptr, 4000, 4001},
      {"three bytes", {'R', 'I', 'F'}, kNoRiff, 0, 0},
      {"WAVX", riffHead("RIFF", "WAVX"), "File doesn't have 'WAVE' id", 0, 0},
      {"no chunks", riffHead("RIFF", "WAVE"), kNoFmt, 0, 0},
      {"chunk running past the end", runaway, kNoFmt, 0, 0},
      {"no data chunk", noData, kNoData, 0, 0},
      {"file ends inside the data size", cutSize, nullptr, 0, 1},
      {"chunk size wrapping 32 bits before fmt",
       layout([](WavLayout& w) { w.before = chunk("JUNK", 0xFFFFFFF8u, false); }), kNoFmt, 0, 0},
      {"format size below 16", layout([](WavLayout& w) { w.fmtSize = 15; }), kNoData, 0, 0},
      {"data size far beyond the file", layout([](WavLayout& w) { w.dataSize = 0x7FFFFFF0; }),
       nullptr, 0x7FFFFFF0 / 2, 4001},
      {"2^31 frames declared", layout([](WavLayout& w) {
         w.bits = 8;
         w.data.assign(300, 0x80);
         w.dataSize = 0x80000000;
       }),
       nullptr, 0x80000000u, 301},
      {"data chunk of 0 frames", layout([](WavLayout& w) { w.data.clear(); }), nullptr, 0, 1},
      {"odd chunk sizes without pad bytes", layout([](WavLayout& w) {
         w.before = chunk("junk", 3);
         w.between = chunk("LIST", 11);
         w.data.push_back(0x7F);  // not a whole frame
       }),
       nullptr, 4000, 4001},
      {"truncated last frame", layout([](WavLayout& w) {
         w.channels = 2;
         w.data = noise(2000, 2);
         w.data.resize(w.data.size() - 2);
       }),
       nullptr, 1999, 2000},
      {"compressed", layout([](WavLayout& w) { w.tag = 2, w.bits = 4; }), kFormat, 0, 0},
      {"17 channels", layout([](WavLayout& w) { w.channels = 17; }), "Unsupported channel count 17",
       0, 0},
      {"7 bits", layout([](WavLayout& w) { w.bits = 7; }), "Unsupported bits per sample 7", 0, 0},
      // PCM passes the format check at any depth; depths it cannot decode read nothing.
      {"4095-byte samples", layout([](WavLayout& w) { w.bits = 0x7FF8, w.data.resize(8190); }),
       nullptr, 2, 0},
      {"16 channels of 32-bit floats (the largest frame)", layout([](WavLayout& w) {
         w.tag = 3, w.channels = 16, w.bits = 32;
         w.data.assign(16 * 4 * 40, 0);
       }),
       nullptr, 40, 41},
  };
}

// Runs f on another thread and ends the process if it does not return in time:
// a hang must fail the test, not stall the suite.
template <typename F>
void withDeadline(const std::string& what, F f) {
  auto done = std::async(std::launch::async, f);
  if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    std::cerr << "wav_test: " << what << " did not finish in 30 s" << std::endl;
    std::_Exit(1);
  }
  done.get();
}

class WavFile : public ::testing::Test {
 protected:
  velktest::TempDir dir{"velk-wav"};
  std::string write(const std::vector<uint8_t>& bytes, const std::string& name = "t.wav") {
    velktest::writeBytes(dir.file(name), bytes);
    return dir.file(name);
  }
  // n elements filled with -7, then one read_mono.
  static std::vector<float> readAll(const std::string& path, int32_t n) {
    wavfile_t w(path, 1, 1, 16000);
    array<float> out(n);
    out = -7.0f;
    EXPECT_TRUE(w.read_mono(out));
    return std::vector<float>(out.data, out.data + n);
  }
};

// Each file through the reader, and through the host's road, run(path, id),
// which ends quickly: a refused file gives null and one load error, an opened
// one a table with the id. Every file is under 20 KB, so no block and no whole
// road may approach what the headers claim (up to 2^32 bytes, 2^31 frames).
TEST_F(WavFile, EachHeaderIsRefusedWithItsMessageOrReadsWhatTheFileHolds) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    ASSERT_LT(c.bytes.size(), 20000u);
    const std::string path = write(c.bytes);
    withDeadline(c.name, [&] {
      testing::internal::CaptureStdout();
      velkrobust::startCounting();
      std::unique_ptr<Velk::VkFile> file(
          Velk::VkLandmarkExtract{Velk::VkExtractParams()}.run(path, 40));
      const velkrobust::AllocStats used = velkrobust::stopCounting();
      const std::string out = testing::internal::GetCapturedStdout();
      EXPECT_EQ(out, c.refusal ? "[ERROR]: Could not load: " + path + "\n" : "");
      EXPECT_EQ(file ? file->getId() : -1, c.refusal ? -1 : 40);
      if (file && c.written > 4000) {
        EXPECT_GT(file->getLandmarkCount(), 0u);
      }
      // Fixed costs (FFT tables, spectra, stream buffers) are tens of kilobytes;
      // a declared length costs one list pointer per frame and nothing else.
      const std::size_t perFrames = 8 * (c.frames / 256 + 2);
      EXPECT_GT(used.total, 0u) << "nothing was counted: the accounting is not in place";
      EXPECT_LT(used.largest, (std::size_t{1} << 20) + perFrames);
      EXPECT_LT(used.total, (std::size_t{16} << 20) + perFrames);
    });
    std::unique_ptr<wavfile_t> wav;
    std::string error = "(opened)";
    try {
      wav.reset(new wavfile_t(path, 1, 1, 16000));
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    if (c.refusal != nullptr) {
      EXPECT_EQ(error, std::string("wavfile_t::wavfile_t() : ") + c.refusal);
      continue;
    }
    ASSERT_NE(wav, nullptr) << error;
    EXPECT_EQ(wav->numSamples, c.frames);
    // Asked for what the file holds and a little more: the frame that runs into
    // the end is still stored, the rest keep their values, and a rewind reads the same.
    Velk::WavInput input(wav.release());
    const int32_t n = static_cast<int32_t>(std::min<uint64_t>(input.getNumSamples(), 4000)) + 8;
    array<float> buf(n);
    std::vector<float> first;
    for (int pass = 0; pass < 2; ++pass) {
      buf = 5.0f;  // outside [-1, 1]: no decoded sample can equal it
      input.read(buf);
      std::vector<float> got(buf.data, buf.data + n);
      int32_t changed = 0;
      while (changed < n && got[static_cast<std::size_t>(changed)] != 5.0f) ++changed;
      EXPECT_EQ(changed, c.written);
      for (int32_t i = changed; i < n; ++i) ASSERT_EQ(got[static_cast<std::size_t>(i)], 5.0f) << i;
      if (pass == 1) {
        EXPECT_EQ(got, first);
      }
      first = got;
      input.rewind();
    }
  }
}

TEST_F(WavFile, DecodesEachLayoutAndStopsAtTheEnd) {
  const std::vector<uint8_t> floats = {0, 0, 0xC0, 0x3E, 0, 0, 0xA0, 0xBF};  // 0.375, -1.25
  std::vector<uint8_t> extensible;  // 22 bytes more, the subformat GUID saying PCM
  putU16(extensible, 22);
  putU16(extensible, 32);
  putU32(extensible, 4);
  putU32(extensible, 1);
  extensible.insert(extensible.end(), {0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71});
  const float k = 1 / 32768.0f;
  const struct {
    const char* name;
    std::function<void(WavLayout&)> change;
    int32_t n;
    std::vector<float> want;
  } rows[] = {
      {"extensible 32 bits are floats whatever the subformat",
       [&](WavLayout& w) {
         w.tag = 0xFFFE, w.bits = 32, w.fmtSize = 40, w.fmtExtra = extensible, w.data = floats;
       },
       2,
       {0.375f, -1.25f}},
      {"format chunk of 18 bytes skipped to its end",
       [](WavLayout& w) {
         w.fmtSize = 18, w.fmtExtra = {0, 0}, w.data = pcm16({-32768, 32767});
       },
       2,
       {-1.0f, 32767 * k}},
      {"8 bits, offset by 128",
       [](WavLayout& w) {
         w.bits = 8, w.data = {0, 128, 255};
       },
       3,
       {-1.0f, 0.0f, 127 / 128.0f}},
      {"32-bit integers",
       [](WavLayout& w) { w.bits = 32, w.data = {0, 0, 0, 0x80, 0, 0, 0, 0x40}; },
       2,
       {-1.0f, 0.5f}},
      {"the first of two channels",
       [](WavLayout& w) {
         w.channels = 2, w.data = pcm16({100, -5, 200, -6});
       },
       2,
       {100 * k, 200 * k}},
      {"24-bit opens but leaves the array alone",
       [](WavLayout& w) { w.bits = 24, w.data.assign(9, 0x11); },
       3,
       {-7, -7, -7}},
      {"a declared size beyond the file",
       [](WavLayout& w) {
         w.data = pcm16({1, 2, 3}), w.dataSize = 0xFFFFFFF0u;
       },
       5,
       {1 * k, 2 * k, 3 * k, 3 * k, -7}},
      {"bytes after the data chunk are samples",
       [](WavLayout& w) {
         w.data = pcm16({1, 2, 3}), w.after = {'L', 'I', 'S', 'T'};
       },
       6,
       {1 * k, 2 * k, 3 * k, 0x494C * k, 0x5453 * k, 0x5453 * k}},
  };
  for (const auto& r : rows) {
    WavLayout w;
    r.change(w);
    EXPECT_EQ(readAll(write(velktest::wavBytes(w)), r.n), r.want) << r.name;
  }
  // Each call's frame buffer starts as zeros: a call that meets the end at once stores 0.
  WavLayout s;
  s.data = pcm16({10, 20, 30, 40});
  wavfile_t w(write(velktest::wavBytes(s)), 1, 1, 16000);
  array<float> out(3);
  out = -1.0f;
  EXPECT_THROW(w.read_mono(out, 4), std::runtime_error);  // larger than the array
  EXPECT_TRUE(w.read_mono(out, 2));
  EXPECT_TRUE(w.read_mono(out, 2));
  EXPECT_EQ(std::vector<float>(out.data, out.data + 3),
            (std::vector<float>{30 * k, 40 * k, -1}));  // reads continue where they stopped
  out = -1.0f;
  w.read_mono(out, 2);
  EXPECT_EQ(std::vector<float>(out.data, out.data + 3), (std::vector<float>{0, -1, -1}));
}

TEST_F(WavFile, WriteFramesRoundTrips) {
  const std::string p = dir.file("frames.wav");
  const float frames[] = {0.5f,    -0.5f, 1.0f,          -1.0f, 1.5f,          -1.5f,
                          0.0001f, 0.0f,  -3.0f / 32768, 0.0f,  std::nanf(""), 0.25f};
  {
    wavfile_t w(p, 2, 2, 8000);
    EXPECT_TRUE(w.write_frames(frames, 3));
    EXPECT_TRUE(w.write_frames(frames + 6, 3));
    array<float> out(1);
    EXPECT_THROW(w.read_mono(out), std::runtime_error) << "a write file is never read";
  }
  WavLayout want;
  want.channels = 2;
  want.riffSize = 36 + 24;
  // Clipped to [-1, 1) and rounded to the nearest step (0.0001 * 32768 = 3.28).
  want.data = pcm16({16384, -16384, 32767, -32768, 32767, -32768, 3, 0, -3, 0, 0, 8192});
  EXPECT_EQ(velktest::readBytes(p), velktest::wavBytes(want));
  wavfile_t r(p, 1, 1, 16000);
  EXPECT_FALSE(r.write_frames(frames, 1)) << "a read file is never written";
  EXPECT_FALSE(wavfile_t(dir.file("no/such/dir.wav"), 2, 1, 8000).write_frames(frames, 2));
}

// Forwards to a WavInput without being one, so extraction cannot tell that the
// file has ended and walks every declared frame.
class Forwarding : public Velk::VkInput {
 public:
  explicit Forwarding(Velk::WavInput& in) : in_(in) {}
  uint64_t getNumSamples() override { return in_.getNumSamples(); }
  bool read(array<float>& b) override { return in_.read(b); }
  bool rewind() override { return in_.rewind(); }

 private:
  Velk::WavInput& in_;
};

// A header that declares a minute more than the file holds: the silent frames
// after the end are skipped, and nothing observable changes (landmarks, peaks
// per frame, the spectrum left for pruning).
TEST_F(WavFile, SkippingTheSilenceAfterAnEndedFileChangesNothing) {
  std::vector<uint8_t> events;
  for (float v : velktest::eventSignal(5, 3.0, 8000))
    putU16(events, static_cast<uint16_t>(static_cast<int16_t>(v * 20000)));
  for (bool truncated : {false, true}) {
    SCOPED_TRACE(truncated ? "truncated" : "whole");
    WavLayout h;
    h.data = events;
    h.dataSize = truncated ? static_cast<int64_t>(events.size() + 60 * 8000 * 2) : -1;
    const std::string path = write(velktest::wavBytes(h));
    // Landmarks, peaks per frame (a skipped frame has no list) and the last spectrum.
    std::vector<std::pair<int32_t, uint32_t>> landmarks[2];
    std::vector<float> spectra[2];
    std::vector<std::size_t> peaks[2];
    std::size_t nulls[2] = {0, 0};
    for (int forward = 0; forward < 2; ++forward) {
      Velk::VkLandmarkExtract ex{Velk::VkExtractParams()};
      Velk::WavInput wav(new wavfile_t(path, 1, 1, 16000));
      Forwarding fwd(wav);
      std::unique_ptr<Velk::VkFile> file(forward ? ex.run(&fwd, 1)
                                                 : ex.run(static_cast<Velk::VkInput*>(&wav), 1));
      landmarks[forward] = velktest::landmarksOf(*file);
      spectra[forward].assign(ex.spectrum.data, ex.spectrum.data + ex.spectrum.count());
      for (const Velk::VkLandmarkExtract::PeakList* list : *ex.frames) {
        peaks[forward].push_back(list == nullptr ? 0 : list->size());
        nulls[forward] += list == nullptr;
      }
    }
    EXPECT_EQ(nulls[1], 0u);
    EXPECT_EQ(nulls[0] > 0, truncated) << "skipped exactly when the file ended early";
    EXPECT_EQ(landmarks[0], landmarks[1]);
    EXPECT_EQ(peaks[0], peaks[1]);
    EXPECT_EQ(spectra[0], spectra[1]);
    EXPECT_FALSE(landmarks[0].empty());
  }
}

}  // namespace
