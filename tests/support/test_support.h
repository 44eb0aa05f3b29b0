// Helpers shared by the tests: temporary folders, raw WAV writing, synthetic
// event-rich signals, sources and landmark sets built by hand, and runs of the
// built Velk binary. It is also the tests' common include: a test that includes
// it has gtest, the integer types, the standard strings, vectors, sets and
// smart pointers, and the landmark, input and cluster types without naming them.
#ifndef VELK_TEST_SUPPORT_H
#define VELK_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "velk/cluster.h"
#include "velk/input.h"
#include "velk/landmark.h"
#include "velk/landmark_extract.h"

namespace velktest {

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "velk");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readBytes(const std::string& path);
std::string slurp(const std::string& path);
bool contains(const std::string& text, const std::string& part);

// The id of a process that has ended and been reaped, as a killed writer leaves.
int deadProcessId();

void putTag(std::vector<uint8_t>& b, const char* tag);
void putU16(std::vector<uint8_t>& b, uint16_t v);
void putU32(std::vector<uint8_t>& b, uint32_t v);

// A hand-made WAV file, every field as given (hostile ones included), laid out
// as a writer would.
struct WavLayout {
  uint16_t tag = 1;
  uint16_t channels = 1;
  uint32_t rate = 8000;
  uint16_t bits = 16;
  uint32_t riffSize = 0;                 // never read by the reader
  uint32_t fmtSize = 16;                 // declared; the first 16 bytes are always written
  std::vector<uint8_t> fmtExtra;         // written after those 16 bytes
  std::vector<uint8_t> before, between;  // raw chunks before "fmt ", and between it and "data"
  std::vector<uint8_t> data;             // sample bytes
  int64_t dataSize = -1;                 // declared; -1: the real size
  std::vector<uint8_t> after;            // raw bytes after the samples
};
std::vector<uint8_t> wavBytes(const WavLayout& s);
// A chunk of the given size with filler bytes (or its header alone).
std::vector<uint8_t> chunk(const char* tag, uint32_t size, bool withBody = true);

// Samples in [-1, 1] as a 16-bit PCM WAV file through the library's one
// writer (Velk::writeWavFile); throws on failure.
void writeWav16(const std::string& path, const std::vector<float>& interleaved, uint32_t sampleRate,
                int channels = 1);

// A deterministic signal full of distinct events (tone bursts, chirps, clicks
// and noise bursts over a quiet bed), like a concert or a street recording.
std::vector<float> eventSignal(uint32_t seed, double seconds, uint32_t sampleRate);

// The scene (at rate) as a device hears it from startSeconds on, its clock
// running ppm parts per million slow: sample n holds the scene at start + n /
// outRate x (1 + ppm / 10^6), by windowed-sinc interpolation (so the only error
// is the drift), at 0.9 of the level. outRate 0: the scene's rate.
std::vector<float> deviceView(const std::vector<float>& scene, double startSeconds, double seconds,
                              double ppm, uint32_t rate, uint32_t outRate = 0);

// seconds of x (at rate) from fromSeconds on; all the rest when seconds < 0.
std::vector<float> slice(const std::vector<float>& x, uint32_t rate, double fromSeconds,
                         double seconds = -1);

// Gaussian noise added at snrDb below the signal's power.
void addNoise(std::vector<float>& x, double snrDb, uint32_t seed);

// The lag l in [minLag, maxLag] at which y[i + l] best matches x[i] over
// x[from, from + n), and the correlation there normalised over the overlap.
struct Lag {
  long samples = 0;
  double similarity = 0;
};
Lag bestLag(const std::vector<float>& x, const std::vector<float>& y, std::size_t from,
            std::size_t n, long minLag, long maxLag);

// A mono source over a vector that counts its reads and rewinds.
class VectorInput final : public Velk::VkInput {
 public:
  explicit VectorInput(std::vector<float> samples) : samples_(std::move(samples)) {}
  uint64_t getNumSamples() override { return samples_.size(); }
  bool read(Velk::array<float>& buffer) override;
  bool rewind() override {
    pos_ = 0;
    ++rewinds;
    return true;
  }
  int reads = 0;
  int rewinds = 0;

 private:
  std::vector<float> samples_;
  std::size_t pos_ = 0;
};

// A recording set built by hand: one table per id in ids and per recording
// named by a landmark, cumulative counts computed.
struct Lm {
  int32_t file;
  int32_t time;
  uint32_t hash;
};
std::unique_ptr<Velk::VkFileSet> makeSet(const std::vector<Lm>& landmarks,
                                         const std::set<int32_t>& ids = {});

// A table's landmarks as (time, hash), in the table's order.
std::vector<std::pair<int32_t, uint32_t>> landmarksOf(const Velk::VkFile& f);

// Names a parameterised case by its field "name", spaces made underscores.
struct ByName {
  template <typename P>
  std::string operator()(const ::testing::TestParamInfo<P>& info) const {
    std::string s = info.param.name;
    for (char& c : s)
      if (c == ' ') c = '_';
    return s;
  }
};

// A peak put by hand into the extractor's frame time (frames added as needed).
Velk::Peak* addPeak(Velk::VkLandmarkExtract& ex, int freq, float amp, int time);

// Records progress calls as "f<value>" and "s<step>" in call order.
class ProgressLog : public Velk::VkProgress {
 public:
  void setFraction(float f) override;
  void setStep(int32_t s) override;
  std::vector<std::string> calls;
};

// The built Velk binary run with empty standard input; captureDir receives
// its output. shellPrefix runs first in the same shell (e.g. "ulimit -f 100; exec ").
struct ToolRun {
  int status = -1;
  std::string out, err;
};
std::string shellQuote(const std::string& s);
std::string velkBinary();
ToolRun runVelk(const std::vector<std::string>& args, const std::string& captureDir,
                const std::string& shellPrefix = "");

}  // namespace velktest

#endif
