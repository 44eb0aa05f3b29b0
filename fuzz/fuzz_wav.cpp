// Fuzzes the WAV reader on whole files: header parsing, sample reading through
// WavInput (bounded buffers, rewind) and, for small files, a full extraction and
// clustering of what it reads.
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "velk/velk.h"

namespace {

// A file at least this short has at most a few hundred frames of 8 samples, so
// one extraction stays well under a millisecond budget per kilobyte.
constexpr uint32_t kMaxExtractSamples = 1u << 16;
constexpr int32_t kMaxReadBuffer = 1 << 14;

// Fills a buffer with a marker, reads into it, and returns what it holds.
std::vector<float> readOnce(Velk::WavInput& input, int32_t n) {
  Velk::array<float> buf(n);
  buf = -7.0f;
  input.read(buf);
  return std::vector<float>(buf.data, buf.data + n);
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

void checkReading(Velk::wavfile_t* raw) {
  Velk::WavInput input(raw);
  Velk::wavfile_t& wav = *raw;
  // The declared frames may exceed the file (reads then stop at its end), but
  // the frame must fit the reader's buffer.
  velkfuzz::require(wav.numChannels >= 1 && wav.numChannels <= 16);
  velkfuzz::require(input.getNumSamples() == wav.numSamples);

  // A little past the data chunk, so the end-of-file paths run too.
  const int32_t n = static_cast<int32_t>(
      std::min<uint64_t>(static_cast<uint64_t>(wav.numSamples) + 3, kMaxReadBuffer));
  const std::vector<float> first = readOnce(input, n);
  input.rewind();
  const std::vector<float> again = readOnce(input, n);
  velkfuzz::require(sameBits(first, again));  // rewind restarts exactly

  input.rewind();
  Velk::array<float> small(n);
  small = 0.0f;
  wav.read_mono(small, n / 2);
  bool threw = false;
  try {
    wav.read_mono(small, n + 1);
  } catch (const std::runtime_error&) {
    threw = true;
  }
  velkfuzz::require(threw);
}

void extractAndCluster(const std::string& path, uint32_t rate, uint8_t knobs) {
  Velk::VkExtractParams params;
  params.setSampleRate(rate);  // a refused rate exercises the load refusal instead
  // Small transforms give many frames from a short file; the hop may exceed the
  // frame, which the extractor must refuse cleanly.
  const unsigned fft = 1u << (3 + (knobs & 7));
  params.setFftSize(fft);
  params.setHopSize(std::max(1u, (fft * 2) >> ((knobs >> 3) & 3)));
  params.maxPeaksPerFrame = 1 + (knobs >> 5);

  std::unique_ptr<Velk::VkLandmarkExtract> extractor(new Velk::VkLandmarkExtract(params));
  delete extractor->run(path, 1);
  // The same recording twice: it must match itself without tripping the clustering.
  std::unique_ptr<Velk::VkFileSet> set(extractor->runAll({path, path}));
  Velk::VkClusterSync sync{Velk::VkClusterSyncParams(params)};
  Velk::deleteClusters(sync.run(set.get()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const velkfuzz::ScratchFile file("wav", ".wav");
  static const bool quiet = (velkfuzz::silenceStdout(), true);
  (void)quiet;
  file.write(data, size);

  Velk::wavfile_t* wav = nullptr;
  try {
    wav = new Velk::wavfile_t(file.path(), 1, 1, 16000);
  } catch (const std::runtime_error&) {
    return 0;  // a refusal is the right answer for most inputs
  }
  const uint32_t numSamples = wav->numSamples;
  const uint32_t rate = wav->sampleRate;
  checkReading(wav);  // takes ownership

  if (numSamples <= kMaxExtractSamples) extractAndCluster(file.path(), rate, data[size - 1]);
  return 0;
}
