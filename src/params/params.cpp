#include "velk/params.h"

#include <algorithm>
#include <cmath>

namespace Velk {

VkExtractParams::VkExtractParams()
    : freqRange(62),
      timeRange(126),
      initialThresholdFrames(10),
      maxPeaksPerFrame(5),
      peakDynRange(40.0f),
      dbThreshold(-60.0f),
      decayPerFrame(0.2f),
      peakWidth(25.0f),
      fftSize(512),
      hopSize(256),
      sampleRate(8000),
      maxPairsPerPeak(10) {}

unsigned int VkExtractParams::getFftSize() const { return fftSize; }
unsigned int VkExtractParams::getHopSize() const { return hopSize; }
unsigned int VkExtractParams::getSampleRate() const { return sampleRate; }
unsigned int VkExtractParams::getMaxPairsPerPeak() { return maxPairsPerPeak; }

bool VkExtractParams::isPowerOfTwo(unsigned int v) { return (v & (v - 1)) == 0; }

bool VkExtractParams::setFftSize(unsigned int n) {
  if (!isPowerOfTwo(n) || n <= 4) return false;
  fftSize = n;
  return true;
}

// A hop larger than the FFT size is not refused here: the front end sets the
// two in whatever order the user typed them, so the pair can only be judged
// once both are known, when extraction starts.
bool VkExtractParams::setHopSize(unsigned int n) {
  if (n == 0) return false;
  hopSize = n;
  return true;
}

bool VkExtractParams::setSampleRate(unsigned int hz) {
  if (hz < 4000) return false;
  sampleRate = hz;
  return true;
}

bool VkExtractParams::setMaxPairsPerPeak(unsigned int n) {
  if (n == 0) return false;
  maxPairsPerPeak = n;
  return true;
}

VkClusterSyncParams::VkClusterSyncParams(const VkExtractParams& e)
    : minPercentMatch(0.0025f),
      minOverlapLength(3.0f),
      minTemplateLength(3.0f),
      maxLandmarks(250),
      acceptThreshold(5),
      framesPerSecond(static_cast<float>(e.getSampleRate()) / static_cast<float>(e.getHopSize())),
      hopSize(e.getHopSize()),
      sampleRate(e.getSampleRate()) {}

float VkClusterSyncParams::getMinPercentMatch() const { return minPercentMatch; }
float VkClusterSyncParams::getMinOverlapLength() const { return minOverlapLength; }
float VkClusterSyncParams::getMinTemplateLength() const { return minTemplateLength; }
float VkClusterSyncParams::getFramesPerSecond() const { return framesPerSecond; }
unsigned int VkClusterSyncParams::getMaxLandmarks() const { return maxLandmarks; }
unsigned int VkClusterSyncParams::getAcceptThreshold() const { return acceptThreshold; }
unsigned int VkClusterSyncParams::getHopSize() const { return hopSize; }

// The comparisons are written so that NaN is refused too: a NaN bound would make
// every acceptance test of clustering quietly pass or fail.
bool VkClusterSyncParams::setMinPercentMatch(float v) {
  if (!(v >= 0.0f && v <= 1.0f)) return false;
  minPercentMatch = v;
  return true;
}

bool VkClusterSyncParams::setMinOverlapLength(float v) {
  if (!(v >= 0.0f)) return false;
  minOverlapLength = v;
  return true;
}

bool VkClusterSyncParams::setMinTemplateLength(float v) {
  if (!(v >= 0.0f)) return false;
  minTemplateLength = v;
  return true;
}

bool VkClusterSyncParams::setMaxLandmarks(unsigned int v) {
  if (v == 0) return false;
  maxLandmarks = v;
  return true;
}

bool VkClusterSyncParams::setAcceptThreshold(unsigned int v) {
  acceptThreshold = v;
  return true;
}

uint32_t maxLandmarksForCorpus(double hours) {
  constexpr double kDefault = 250.0;
  constexpr double kReferenceHours = 10.0;
  // The root of the hours (see the header): chance votes grow with the square
  // of a hash's landmarks, true ones only with their number.
  const double limit =
      hours > kReferenceHours ? std::ceil(kDefault * std::sqrt(hours / kReferenceHours)) : kDefault;
  if (!(limit > kDefault)) return static_cast<uint32_t>(kDefault);  // NaN included
  if (limit >= 4294967295.0) return 4294967295u;
  // The first step at or above it: each step a quarter more than the last
  // (integer arithmetic, so every platform agrees).
  uint64_t step = static_cast<uint64_t>(kDefault);
  while (static_cast<double>(step) < limit) step += step / 4;
  return static_cast<uint32_t>(std::min<uint64_t>(step, 4294967295u));
}

}  // namespace Velk
