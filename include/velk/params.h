// Parameter records of extraction and clustering.
#ifndef VELK_PARAMS_H
#define VELK_PARAMS_H

#include <cstdint>

#include "velk/export.h"

namespace Velk {

// Tuning of landmark extraction; every default is tuned to 8000 Hz audio.
class VELK_API VkExtractParams {
 public:
  VkExtractParams();

  int32_t freqRange;                // half-width in bins of a peak's partner window
  int32_t timeRange;                // length in frames of a peak's partner window
  uint32_t initialThresholdFrames;  // leading frames whose maxima form the first threshold
  uint32_t maxPeaksPerFrame;        // loudest peaks kept per frame
  float peakDynRange;               // depth in dB of the masking skirt
  float dbThreshold;                // floor relative to the recording's loudest bin (negative)
  float decayPerFrame;              // dB the threshold falls per frame
  float peakWidth;                  // standard deviation in bins of the masking skirt

  unsigned int getFftSize() const;
  unsigned int getHopSize() const;
  unsigned int getSampleRate() const;
  unsigned int getMaxPairsPerPeak();

  bool setFftSize(unsigned int n);
  bool setHopSize(unsigned int n);
  bool setSampleRate(unsigned int hz);
  bool setMaxPairsPerPeak(unsigned int n);

  static bool isPowerOfTwo(unsigned int v);

 private:
  uint32_t fftSize;
  uint32_t hopSize;
  uint32_t sampleRate;
  uint32_t maxPairsPerPeak;
};

// Tuning of matching, verification and clustering; always derived from the
// extraction record so both stages agree on hop size and sample rate.
class VELK_API VkClusterSyncParams {
 public:
  VkClusterSyncParams(
      const VkExtractParams& e);  // converting on purpose: one follows from the other

  float getMinPercentMatch() const;
  float getMinOverlapLength() const;
  float getMinTemplateLength() const;
  float getFramesPerSecond() const;
  unsigned int getMaxLandmarks() const;
  unsigned int getAcceptThreshold() const;
  unsigned int getHopSize() const;

  bool setMinPercentMatch(float v);
  bool setMinOverlapLength(float v);
  bool setMinTemplateLength(float v);
  bool setMaxLandmarks(unsigned int v);
  bool setAcceptThreshold(unsigned int v);

 private:
  float minPercentMatch;
  float minOverlapLength;
  float minTemplateLength;
  uint32_t maxLandmarks;
  uint32_t acceptThreshold;
  float framesPerSecond;
  uint32_t hopSize;
  uint32_t sampleRate;  // carried for completeness; no stage reads it
};

// The popular-hash limit for an archive of the given hours of audio. A hash's
// landmarks grow in step with the audio, so a fixed limit drops ever more
// ordinary hashes as an archive grows and pairs that match in a small folder
// stop matching. The default (250) holds up to 10 hours (about 60 ten-minute
// recordings, where it drops almost nothing); beyond, the limit grows with the
// square root of the hours (2,895 at 1,000 hours). Not with the hours: a
// hash's chance votes grow with the square of its landmarks, its votes at a
// true offset only with their number, so the most popular hashes raise the
// acceptance bar more than a true peak and make matching quadratic in the
// hours. Rounded up to a step of the series 250, 312, 390, ...
// (each a quarter more than the last, rounded down), at most 2^32 - 1. The steps
// keep the limit still while an archive grows by a few recordings, so a re-run
// on a feature store need not match again the pairs of hashes it would move
// past. Hosts call it for large jobs; VkClusterSyncParams keeps the default on
// its own.
VELK_API uint32_t maxLandmarksForCorpus(double hours);

}  // namespace Velk

#endif
