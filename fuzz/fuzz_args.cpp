// Fuzzes the command line as the tool takes it: its own long options first, the
// rest through Velk::parseArguments; then, when cheap enough, an extraction and
// clustering with the parameters it produced. One argument per input line.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "velk/velk.h"
#include "velktool/options.h"

namespace {

// Half a second of tone bursts, clicks and quiet noise, from sample skip on.
class SignalInput final : public Velk::VkInput {
 public:
  explicit SignalInput(uint32_t skip) : start_(skip), pos_(skip) {}
  uint64_t getNumSamples() override { return 4000 - start_; }
  bool read(Velk::array<float>& buffer) override {
    for (int32_t i = 0; i < buffer.count(); ++i, ++pos_) {
      const float t = static_cast<float>(pos_) / 8000.0f;
      const float noise = static_cast<float>((pos_ * 2654435761u) >> 8 & 0xFFFF) / 6.5e6f;
      const float burst = std::fmod(t * 7.0f, 1.0f) < 0.4f ? 0.5f : 0.0f;
      const float freq =
          300.0f + 170.0f * static_cast<float>((static_cast<int>(t * 7.0f) * 5) % 11);
      buffer.data[i] = pos_ >= 4000 ? 0.0f
                                    : noise + burst * std::sin(6.2831853f * freq * t) +
                                          (pos_ % 1531 == 0 ? 0.9f : 0.0f);
    }
    return true;
  }
  bool rewind() override {
    pos_ = start_;
    return true;
  }

 private:
  uint32_t start_, pos_;
};

void checkParams(Velk::VkExtractParams& e, const Velk::VkClusterSyncParams& c) {
  using velkfuzz::require;
  require(e.getFftSize() > 4 && Velk::VkExtractParams::isPowerOfTwo(e.getFftSize()));
  require(e.getHopSize() > 0 && e.getSampleRate() >= 4000 && e.getMaxPairsPerPeak() > 0);
  require(e.freqRange > 0 && e.timeRange > 0 && e.maxPeaksPerFrame > 0);
  require(e.decayPerFrame > 0 && e.peakWidth > 0 && e.peakDynRange > 0 && e.dbThreshold < 0);
  require(c.getMinPercentMatch() >= 0 && c.getMinPercentMatch() <= 1);
  require(c.getMinOverlapLength() >= 0 && c.getMinTemplateLength() >= 0);
  require(c.getMaxLandmarks() > 0);
}

void extractAndCluster(const Velk::VkExtractParams& e, const Velk::VkClusterSyncParams& parsed) {
  const uint64_t fft = e.getFftSize();
  const uint64_t frames = (4000 + fft) / e.getHopSize();
  if (e.getHopSize() > fft || fft * frames > (1u << 17)) return;  // the tool refuses, or too slow

  Velk::VkExtractParams params = e;
  Velk::VkLandmarkExtract extractor(params);
  SignalInput a(0);
  SignalInput b(500);
  Velk::VkFileSet set;
  set.idToName[1] = "a";
  set.idToName[2] = "b";
  set.addFile(extractor.run(&a, 1));
  set.addFile(extractor.run(&b, 2));

  // As the tool does: the clustering record takes the final hop and rate.
  Velk::VkClusterSyncParams sp(e);
  sp.setMinPercentMatch(parsed.getMinPercentMatch());
  sp.setMinOverlapLength(parsed.getMinOverlapLength());
  sp.setMinTemplateLength(parsed.getMinTemplateLength());
  sp.setMaxLandmarks(parsed.getMaxLandmarks());
  sp.setAcceptThreshold(parsed.getAcceptThreshold());
  Velk::VkClusterSync sync(sp);
  Velk::VkClusterSet* result = sync.run(&set);
  std::size_t members = 0;
  for (const Velk::VkCluster* c : *result) {
    members += c->size();
    for (const Velk::VkClusterElem* m : *c) velkfuzz::require(std::isfinite(m->offset));
  }
  velkfuzz::require(members == 2);  // every recording lands in exactly one cluster
  Velk::deleteClusters(result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (velkfuzz::silenceStdout(), true);
  (void)quiet;
  std::vector<std::string> words{"Velk"};
  std::string word;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      words.push_back(word);
      word.clear();
    } else {
      word.push_back(static_cast<char>(data[i]));
    }
  }
  if (!word.empty()) words.push_back(word);
  // Everything after "--" is a recording to the tool, and the "-f x" below
  // must stay an option: the separator is left out here.
  // A word is what its C string says: it ends at its first NUL.
  for (std::string& w : words) w.resize(std::strlen(w.c_str()));
  words.erase(std::remove(words.begin(), words.end(), "--"), words.end());
  // "-h" is never the value of a pair but can be taken as one, so whatever came
  // before, "-f x" is read as a pair and the folder is never left empty (an empty
  // "-f" value in the input would otherwise end the process, as it should). Twice,
  // because a trailing "--json" takes the first as its file name.
  words.push_back("-h");
  words.push_back("-h");
  words.push_back("-f");
  words.push_back("x");

  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  velktool::ToolOptions options;
  std::vector<std::string> rest;
  std::string error;
  if (!velktool::splitToolOptions(static_cast<int>(argv.size()), argv.data(), options, rest,
                                  error)) {
    velkfuzz::require(!error.empty());
    return 0;
  }
  velkfuzz::require(rest.size() <= words.size() && !rest.empty() && rest[0] == "Velk");
  velkfuzz::require(options.threads <= velktool::kMaxThreads);

  std::vector<const char*> args;
  for (const std::string& r : rest) args.push_back(r.c_str());
  std::string folder, truth, output;
  Velk::VkExtractParams extract;
  Velk::VkClusterSyncParams parsedSync(extract);
  velkfuzz::require(Velk::parseArguments(static_cast<int32_t>(args.size()), args.data(), folder,
                                         truth, output, extract, parsedSync) == 0);
  velkfuzz::require(folder == "x");
  checkParams(extract, parsedSync);
  extractAndCluster(extract, parsedSync);
  return 0;
}
