// Helpers shared by the tests: temporary folders, raw WAV writing, synthetic
// event-rich signals and an in-memory audio source.
#ifndef VELK_TEST_SUPPORT_H
#define VELK_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "velk/input.h"

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

// Writes interleaved samples in [-1, 1] as a 16-bit PCM WAV file (through the
// library's one writer, Velk::writeWavFile; throws on failure).
void writeWav16(const std::string& path, const std::vector<float>& interleaved, uint32_t sampleRate,
                int channels = 1);
void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readBytes(const std::string& path);

// The id of a process that has ended and been reaped, as a killed writer leaves.
int deadProcessId();

// Little-endian byte builders for hand-made headers.
void putU16(std::vector<uint8_t>& b, uint16_t v);
void putU32(std::vector<uint8_t>& b, uint32_t v);
void putTag(std::vector<uint8_t>& b, const char* tag);

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

// A deterministic signal full of distinct events (tone bursts, chirps, clicks
// and noise bursts over a quiet bed), like a concert or a street recording.
std::vector<float> eventSignal(uint32_t seed, double seconds, uint32_t sampleRate);

// A mono source over a vector; missing samples past the end read as zeros are
// left untouched, as the WAV source does.
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

}  // namespace velktest

#endif
