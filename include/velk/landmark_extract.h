// Landmark extraction: spectral peaks under a decaying masking threshold,
// paired into hashed landmarks.
#ifndef VELK_LANDMARK_EXTRACT_H
#define VELK_LANDMARK_EXTRACT_H

#include <cstdint>
#include <string>
#include <vector>

#include "velk/array.h"
#include "velk/export.h"
#include "velk/input.h"
#include "velk/landmark.h"
#include "velk/params.h"
#include "velk/wavfile.h"

namespace rurorereriduv {
namespace transform {
struct FFTState_Float;
}
}  // namespace rurorereriduv

namespace Velk {

// One spectral peak.
struct VELK_API Peak {
  int32_t freq;  // bin index
  float amp;     // level in dB
  int32_t time;  // frame index
};

class VELK_API VkLandmarkExtract {
 public:
  using PeakList = std::vector<Peak*>;
  using FrameList = std::vector<PeakList*>;

  explicit VkLandmarkExtract(VkExtractParams p);
  ~VkLandmarkExtract();

  VkLandmarkExtract(const VkLandmarkExtract&) = delete;
  VkLandmarkExtract& operator=(const VkLandmarkExtract&) = delete;

  void setupFFT();

  // Stages, in the order a run calls them.
  static float dB(float x);
  void computeMask(uint32_t n);
  void computeInitialThreshold(array<float>& threshold, VkInput* input);
  void smooth(array<float>& curve);
  void findFreqPeaks(VkInput* input);
  void prune();
  void findNeighborPeaks(Peak* anchor, std::vector<Peak*>& partners);
  void combine(VkFile* file);
  static bool sortByAmplitudeComparitor(Peak* a, Peak* b);

  // Drivers.
  VkFile* run(VkInput* input, int32_t id);
  VkFile* run(std::string path, int32_t id);
  wavfile_t* loadFile(const std::string& path);
  VkFileSet* runAll(const std::vector<std::string>& paths);
  void printPeaks();

  // Base name of a path as the recording set names it: text after the last '/',
  // up to its last '.'; empty when that text has no '.'.
  static std::string baseName(const std::string& path);

  rurorereriduv::transform::FFTState_Float* fftState;
  array<unsigned char> fftWork;
  bool fftReady;
  array<float> spectrum;
  array<float> fftOut;
  VkExtractParams params;
  // One peak list per frame. A list may be null (no peaks): the silent frames
  // after the end of a WAV file that declares more samples than it holds.
  FrameList* frames;
  std::vector<float> mask;

 private:
  void clearFrames();
  // True when the FFT state and the spectrum arrays fit the current fftSize.
  bool fftMatchesParams() const;
  // Why the parameters cannot drive an extraction, or null when they can.
  const char* unusableParams() const;
};

}  // namespace Velk

#endif
