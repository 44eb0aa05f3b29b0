// Hostile WAV headers through the whole road a host takes: wavfile_t, WavInput
// and extraction by path. Each must be refused with a std::runtime_error or read
// as a well-defined short read; none may crash, hang, or allocate in proportion
// to what the header claims instead of what the file holds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "robust_alloc.h"
#include "test_support.h"
#include "velk/velk.h"

namespace {

using velktest::putTag;
using velktest::putU16;
using velktest::putU32;

using Header = velktest::WavLayout;

std::vector<uint8_t> build(Header h) {
  h.riffSize = 0xFFFFFFFFu;  // never trusted by the reader
  return velktest::wavBytes(h);
}

std::vector<uint8_t> chunkHeader(const char* tag, uint32_t size) {
  std::vector<uint8_t> c;
  putTag(c, tag);
  putU32(c, size);
  return c;
}

// Loud noise-like 16-bit samples, so that extraction has peaks to find.
std::vector<uint8_t> toneBytes(std::size_t frames, std::size_t channels = 1) {
  std::vector<uint8_t> b;
  for (std::size_t i = 0; i < frames; ++i)
    for (std::size_t c = 0; c < channels; ++c)
      putU16(b, static_cast<uint16_t>(static_cast<int16_t>((i * 2654435761u >> 20) & 0x3FFF)));
  return b;
}

struct Case {
  const char* name;
  std::vector<uint8_t> bytes;
  const char* refusal;  // substring of the error, or null when the file opens
  uint32_t frames;      // frames an opened file declares
};

std::vector<Case> hostileCases() {
  std::vector<Case> cases;
  auto add = [&cases](const char* name, const Header& h, const char* refusal, uint32_t frames) {
    cases.push_back({name, build(h), refusal, frames});
  };
  Header h;
  h.data = toneBytes(4000);  // half a second: enough frames for a real extraction
  add("plain", h, nullptr, 4000);

  // Declared sizes beyond the file are taken as they stand; reading stops at the end.
  h.dataSize = 0x7FFFFFF0;
  add("data size far beyond the file", h, nullptr, 0x7FFFFFF0 / 2);
  h.dataSize = 0xFFFFFFFF;
  add("data size of 2^32-1 (a writer that never finished)", h, nullptr, 0xFFFFFFFF / 2);
  Header eight;
  eight.bits = 8;
  eight.data.assign(300, 0x80);
  eight.dataSize = 0x80000000;
  add("2^31 frames declared", eight, nullptr, 0x80000000u);

  Header wrap;
  wrap.data = toneBytes(100);
  wrap.before = chunkHeader("JUNK", 0xFFFFFFF8u);  // offset + 8 + size wraps to itself
  add("chunk size that wraps 32 bits before fmt", wrap, "Could not locate 'fmt ' chunk", 0);
  wrap.before.clear();
  wrap.between = chunkHeader("LIST", 0xFFFFFFFFu);
  add("chunk size that wraps 32 bits before data", wrap, "Could not locate 'data' chunk", 0);
  wrap.between.clear();
  wrap.fmtSize = 0xFFFFFFFFu;
  add("format size of 2^32-1", wrap, "Could not locate 'data' chunk", 0);
  wrap.fmtSize = 15;
  add("format size below 16", wrap, "Could not locate 'data' chunk", 0);

  Header empty;
  add("data chunk of 0 frames", empty, nullptr, 0);
  Header odd;
  odd.before = chunkHeader("junk", 3);
  odd.before.insert(odd.before.end(), {'a', 'b', 'c'});  // no pad byte, as the reader expects
  odd.data = toneBytes(4000);
  odd.data.push_back(0x7F);  // an odd data size: the stray byte is not a frame
  add("odd chunk sizes", odd, nullptr, 4000);

  Header cut;
  cut.channels = 2;
  cut.data = toneBytes(2000, 2);
  cut.data.resize(cut.data.size() - 2);  // the last frame loses its second channel
  add("truncated last frame", cut, nullptr, 1999);

  for (uint16_t channels : {0, 17, 0xFFFF}) {
    Header c;
    c.channels = channels;
    c.data.assign(64, 0);
    add("unusable channel count", c, "Unsupported channel count", 0);
  }
  for (uint16_t bits : {0, 4, 7, 0x8000}) {
    Header b;
    b.bits = bits;
    b.data.assign(64, 0);
    add("bits below one byte", b, "Unsupported bits per sample", 0);
  }
  Header wide;
  wide.tag = 3;
  wide.bits = 64;
  wide.data.assign(64, 0);
  add("64-bit floats", wide, "can't read that format", 0);
  // PCM passes the format check at any depth; depths it cannot decode read nothing.
  wide.tag = 1;
  add("64-bit PCM", wide, nullptr, 8);
  wide.bits = 0x7FF8;  // 4095 bytes a sample
  wide.data.assign(4095 * 2, 0);
  add("4095-byte samples", wide, nullptr, 2);

  Header full;
  full.channels = 16;
  full.bits = 32;
  full.tag = 3;
  full.data.assign(16 * 4 * 40, 0);
  add("16 channels of 32 bits (the largest frame)", full, nullptr, 40);
  return cases;
}

std::string describe(const Case& c) { return c.name; }

const Case& find(const std::vector<Case>& cases, const std::string& name) {
  for (const Case& c : cases)
    if (name == c.name) return c;
  throw std::logic_error("no case " + name);
}

// Standard output of the library, captured for one scope.
class CapturedCout {
 public:
  CapturedCout() : old_(std::cout.rdbuf(text_.rdbuf())) {}
  ~CapturedCout() { std::cout.rdbuf(old_); }
  std::string text() const { return text_.str(); }

 private:
  std::ostringstream text_;
  std::streambuf* old_;
};

// Runs f on another thread and ends the process if it does not return in time:
// a hang must fail the test, not stall the suite.
template <typename F>
void withDeadline(const std::string& what, F f) {
  auto done = std::async(std::launch::async, f);
  if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    std::cerr << "robust_wav_test: " << what << " did not finish in 30 s" << std::endl;
    std::_Exit(1);
  }
  done.get();
}

class HostileWav : public ::testing::Test {
 protected:
  velktest::TempDir dir{"velk-robust-wav"};
  std::string write(const Case& c, int index) {
    const std::string path = dir.file("hostile" + std::to_string(index) + ".wav");
    velktest::writeBytes(path, c.bytes);
    return path;
  }
};

TEST_F(HostileWav, EachHeaderIsRefusedOrOpensWithWhatTheFileHolds) {
  const std::vector<Case> cases = hostileCases();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(describe(c));
    const std::string path = write(c, static_cast<int>(i));
    std::unique_ptr<Velk::wavfile_t> wav;
    std::string error;
    try {
      wav.reset(new Velk::wavfile_t(path, 1, 1, 16000));
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    if (c.refusal != nullptr) {
      EXPECT_EQ(wav, nullptr);
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
      EXPECT_EQ(error.rfind("wavfile_t::wavfile_t() : ", 0), 0u) << "names class and operation";
      continue;
    }
    ASSERT_NE(wav, nullptr) << error;
    EXPECT_EQ(wav->numSamples, c.frames);
  }
}

// Reading past what is there stops at the end of the file: the frame that runs
// into it is still stored (from the bytes that were read), the rest keep their values.
TEST_F(HostileWav, ShortReadsStopAtTheEndOfTheFile) {
  struct Expect {
    const char* name;
    int32_t written;  // elements changed by a read of frames + 8
  };
  const std::vector<Case> cases = hostileCases();
  const Expect expects[] = {{"plain", 4001},
                            {"data chunk of 0 frames", 1},
                            {"odd chunk sizes", 4001},
                            {"truncated last frame", 2000},
                            {"data size far beyond the file", 4001},
                            {"2^31 frames declared", 301},
                            {"64-bit PCM", 0},
                            {"16 channels of 32 bits (the largest frame)", 41}};
  for (const Expect& x : expects) {
    SCOPED_TRACE(x.name);
    Velk::WavInput input(new Velk::wavfile_t(write(find(cases, x.name), 0), 1, 1, 16000));
    // Asked for what the file holds and a little more, whatever the header says.
    const int32_t n = static_cast<int32_t>(std::min<uint64_t>(input.getNumSamples(), 4000)) + 8;
    Velk::array<float> buf(n);
    buf = 5.0f;  // outside [-1, 1]: no decoded sample can equal it
    input.read(buf);
    int32_t changed = 0;
    while (changed < n && buf.data[changed] != 5.0f) ++changed;
    EXPECT_EQ(changed, x.written);
    for (int32_t i = changed; i < n; ++i) ASSERT_EQ(buf.data[i], 5.0f) << i;

    // A second pass after rewind gives the same values (the end-of-file state is cleared).
    std::vector<float> first(buf.data, buf.data + n);
    input.rewind();
    buf = 5.0f;
    input.read(buf);
    EXPECT_EQ(std::vector<float>(buf.data, buf.data + n), first);
  }

  // The truncated frame: its first sample was complete, so it is the real value.
  const Case& cut = find(cases, "truncated last frame");
  Velk::wavfile_t wav(write(cut, 1), 1, 1, 16000);
  Velk::array<float> buf(2000);
  wav.read_mono(buf);
  const int16_t last =
      static_cast<int16_t>(cut.bytes[cut.bytes.size() - 1] << 8 | cut.bytes[cut.bytes.size() - 2]);
  EXPECT_EQ(buf.data[1999], static_cast<float>(last) / 32768.0f);
}

// The host's road: run(path, id) on every hostile file ends quickly; a refused
// file gives null and one load error, an opened one a table with the id.
TEST_F(HostileWav, ExtractionByPathTerminatesAndReportsRefusals) {
  const std::vector<Case> cases = hostileCases();
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < cases.size(); ++i)
    paths.push_back(write(cases[i], static_cast<int>(i)));

  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(describe(c));
    withDeadline(c.name, [&] {
      Velk::VkLandmarkExtract extractor{Velk::VkExtractParams()};
      CapturedCout out;
      std::unique_ptr<Velk::VkFile> file(extractor.run(paths[i], 40 + static_cast<int32_t>(i)));
      if (c.refusal != nullptr) {
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(out.text(), "[ERROR]: Could not load: " + paths[i] + "\n");
      } else {
        ASSERT_NE(file, nullptr) << out.text();
        EXPECT_EQ(file->getId(), 40 + static_cast<int32_t>(i));
        EXPECT_EQ(out.text(), "");
        // The readable samples (half a second of sound, when the file holds it)
        // really went through the stages.
        if (c.frames >= 4000 && c.bytes.size() >= 8000) {
          EXPECT_GT(file->getLandmarkCount(), 0u);
        }
      }
    });
  }

  // All of them in one job, clustered: only the readable ones take part.
  withDeadline("runAll and clustering", [&] {
    Velk::VkExtractParams params;
    Velk::VkLandmarkExtract extractor(params);
    CapturedCout out;
    std::unique_ptr<Velk::VkFileSet> set(extractor.runAll(paths));
    std::size_t readable = 0;
    for (std::size_t i = 0; i < cases.size(); ++i)
      if (cases[i].refusal == nullptr) {
        ++readable;
        EXPECT_EQ(set->idToPath.count(static_cast<int32_t>(i + 1)), 1u) << cases[i].name;
      }
    EXPECT_EQ(set->idToPath.size(), readable);
    Velk::VkClusterSync sync{Velk::VkClusterSyncParams(params)};
    Velk::VkClusterSet* clusters = sync.run(set.get());
    std::size_t members = 0;
    for (const Velk::VkCluster* cl : *clusters) members += cl->size();
    EXPECT_EQ(members, readable);
    Velk::deleteClusters(clusters);
  });
}

// What the header claims must not be what gets allocated: every hostile file is
// under 20 KB, so no single block and no whole road may approach the claims
// (up to 2^32 bytes, 2^31 frames).
TEST_F(HostileWav, AllocationsFollowTheFileNotTheHeader) {
  const std::vector<Case> cases = hostileCases();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(describe(c));
    ASSERT_LT(c.bytes.size(), 20000u);
    const std::string path = write(c, static_cast<int>(i));
    CapturedCout out;
    velkrobust::startCounting();
    {
      Velk::VkLandmarkExtract extractor{Velk::VkExtractParams()};
      std::unique_ptr<Velk::VkFile> file(extractor.run(path, 1));
    }
    const velkrobust::AllocStats used = velkrobust::stopCounting();
    // Fixed costs of one extraction (FFT tables, spectra, stream buffers) are
    // tens of kilobytes. A declared length costs one list pointer per frame (the
    // frames past the end hold no peaks) and nothing else.
    const std::size_t perFrames = 8 * (c.frames / 256 + 2);
    EXPECT_GT(used.total, 0u) << "nothing was counted: the accounting is not in place";
    EXPECT_LT(used.largest, (std::size_t{1} << 20) + perFrames);
    EXPECT_LT(used.total, (std::size_t{16} << 20) + perFrames);
  }
}

// Forwards to a WavInput without being one, so extraction cannot tell that the
// file has ended and walks every declared frame.
class Forwarding : public Velk::VkInput {
 public:
  explicit Forwarding(Velk::WavInput& in) : in_(in) {}
  uint64_t getNumSamples() override { return in_.getNumSamples(); }
  bool read(Velk::array<float>& b) override { return in_.read(b); }
  bool rewind() override { return in_.rewind(); }

 private:
  Velk::WavInput& in_;
};

struct Extracted {
  std::vector<std::pair<int32_t, uint32_t>> landmarks;  // (time, hash) in table order
  std::vector<float> spectrum;
  std::vector<std::size_t> peaksPerFrame;
  std::size_t nullLists = 0;
};

Extracted extract(const Velk::VkExtractParams& params, const std::string& path, bool forward) {
  Velk::VkLandmarkExtract ex(params);
  Velk::WavInput wav(new Velk::wavfile_t(path, 1, 1, 16000));
  Forwarding fwd(wav);
  std::unique_ptr<Velk::VkFile> file(forward ? ex.run(&fwd, 1)
                                             : ex.run(static_cast<Velk::VkInput*>(&wav), 1));
  Extracted e;
  for (const auto& kv : file->getLandmarks())
    for (const Velk::Landmark* l : kv.second) e.landmarks.emplace_back(l->time, l->hash);
  e.spectrum.assign(ex.spectrum.data, ex.spectrum.data + ex.spectrum.count());
  for (const Velk::VkLandmarkExtract::PeakList* list : *ex.frames) {
    e.peaksPerFrame.push_back(list == nullptr ? 0 : list->size());
    e.nullLists += list == nullptr;
  }
  return e;
}

// A header that declares a minute more than the file holds: the silent frames
// after the end are skipped, and nothing observable changes (landmarks, frame
// count, peaks per frame, the spectrum left for pruning).
TEST_F(HostileWav, SkippingTheSilenceAfterAnEndedFileChangesNothing) {
  Header loud;
  loud.data = toneBytes(12000);
  const std::vector<float> scene = velktest::eventSignal(5, 3.0, 8000);
  Header events;
  for (float v : scene) putU16(events.data, static_cast<uint16_t>(static_cast<int16_t>(v * 20000)));
  Header silent;
  silent.data.assign(24000, 0);
  Velk::VkExtractParams wide;  // four hops per frame: the end of a normal file is read too
  ASSERT_TRUE(wide.setFftSize(1024));
  struct Run {
    const char* name;
    Header header;
    Velk::VkExtractParams params;
  };
  std::vector<Run> runs = {{"noise", loud, Velk::VkExtractParams()},
                           {"events", events, Velk::VkExtractParams()},
                           {"events, 1024-point frames", events, wide},
                           {"silence", silent, Velk::VkExtractParams()}};
  for (Run& r : runs) {
    SCOPED_TRACE(r.name);
    const std::size_t bytes = r.header.data.size();
    for (bool truncated : {false, true}) {
      r.header.dataSize = truncated ? static_cast<int64_t>(bytes + 60 * 8000 * 2) : -1;
      const std::string path = dir.file(std::string(truncated ? "t-" : "n-") + r.name + ".wav");
      velktest::writeBytes(path, build(r.header));
      const Extracted fast = extract(r.params, path, false);
      const Extracted full = extract(r.params, path, true);
      EXPECT_EQ(full.nullLists, 0u);
      EXPECT_EQ(fast.nullLists > 0, truncated) << "skipped exactly when the file ended early";
      EXPECT_EQ(fast.landmarks, full.landmarks);
      EXPECT_EQ(fast.peaksPerFrame, full.peaksPerFrame);
      EXPECT_EQ(fast.spectrum, full.spectrum);
      if (std::string(r.name) != "silence") {
        EXPECT_FALSE(fast.landmarks.empty());
      }
    }
  }
}

}  // namespace
