// Refinement of clustering offsets by waveform cross-correlation.
//
// Lag convention used throughout: for two sample blocks x and y, a lag L means
// y[n] ~ x[n + L], that is, y starts L samples after x (negative when y starts
// first). It is the convention of cluster offsets: the offset of y minus the
// offset of x, in samples.
#ifndef VELK_REFINE_H
#define VELK_REFINE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "velk/array.h"
#include "velk/cluster.h"
#include "velk/export.h"
#include "velk/wavfile.h"

namespace Velk {

// ---------------------------------------------------------------------------
// Correlation core

// Whitening exponent b of the cross spectrum G = X conj(Y): G / |G|^b.
// 0 is the plain correlation, 1 the phase transform; a little below 1 keeps the
// sharp peak of the phase transform without letting empty bands (above a
// recorder's low-pass, below its high-pass) add as much as the busy ones.
constexpr float kVkDefaultWhitening = 0.85f;
// Least peak-to-background ratio at which a correlation peak is believed.
constexpr float kVkDefaultMinScore = 8.0f;

// Smallest power of two >= nx + ny - 1 in unsigned 32-bit arithmetic; 0 when
// nx + ny - 1 is 0 or when the power does not fit.
VELK_API uint32_t correlationFftSize(uint32_t nx, uint32_t ny);
// 2 * floor(fftSize / 2) + 4: room for the packed spectrum of a real FFT.
VELK_API uint32_t correlationBufferSize(uint32_t fftSize);
// Index of the largest |value| among the first count elements; ties go to the
// later element, an all-zero block gives the last index. maxValue gets |value|.
VELK_API int32_t findCorrelationPeak(const float* values, int32_t count, float& maxValue);
// Folds a peak index of a circular correlation of length fftSize into an
// offset: fftSize - index when index > nx, else index.
VELK_API int64_t foldPeakIndex(int32_t index, int32_t nx, uint32_t fftSize);

// Circular cross-correlation c[k] = sum_n x[(n + k) mod N] y[n], k = 0..N-1, of
// x (nx samples) and y (ny samples), both zero-padded to N = fftSize, computed
// with the real FFT and whitened with exponent whitening. N must be a power of
// two from 2 to 2^26 and at least nx and ny. Writes N values to out (which may
// be x itself). Answers false, writing nothing, when the sizes do not fit.
VELK_API bool circularCrossCorrelation(const float* x, std::size_t nx, const float* y,
                                       std::size_t ny, uint32_t fftSize, float whitening,
                                       float* out);

struct VELK_API VkLagSearch {
  int64_t minLag = 0;  // searched lags, inclusive
  int64_t maxLag = 0;
  float whitening = kVkDefaultWhitening;
  float minScore = kVkDefaultMinScore;
};

struct VELK_API VkLagEstimate {
  bool found = false;       // the peak lies strictly inside the searched lags
  bool accepted = false;    // found, and score >= minScore
  double lag = 0.0;         // sub-sample lag of the peak, read from the spectrum
  int64_t peakLag = 0;      // integer lag of the peak
  float peak = 0.0f;        // correlation at the peak
  float background = 0.0f;  // RMS of the correlation away from the searched lags
  float score = 0.0f;       // peak / background
};

// Finds the lag L in [minLag, maxLag] that maximises the whitened correlation of
// x and y (y[n] ~ x[n + L]). The transform is sized so that no searched lag
// wraps around.
VELK_API VkLagEstimate estimateLag(const float* x, std::size_t nx, const float* y, std::size_t ny,
                                   const VkLagSearch& search);

// Which stretches of a reference and a member to correlate, given the member's
// coarse lag (member[m] ~ ref[m + coarseLag]) and their lengths, all in samples
// at one rate. The member stretch is at most maxWindow samples from the middle
// of the overlap; the reference stretch extends it by radius on both sides.
struct VELK_API VkRefineWindow {
  bool valid = false;  // the recordings overlap by at least minOverlap samples
  int64_t refStart = 0;
  int64_t refLength = 0;
  int64_t memberStart = 0;
  int64_t memberLength = 0;
  VkLagSearch search;  // lags between the two stretches, coarse lag +- radius
  // Turns a lag between the stretches back into the member's lag.
  double toRecordingLag(double stretchLag) const {
    return stretchLag + static_cast<double>(refStart - memberStart);
  }
};

VELK_API VkRefineWindow planRefineWindow(uint64_t refSamples, uint64_t memberSamples,
                                         double coarseLag, int64_t radius, uint64_t maxWindow,
                                         uint64_t minOverlap);

// The same with the member stretch centred on member sample memberCentre
// (clamped into the member) instead of the middle of the overlap: measuring
// the lag at several places shows whether one clock runs faster.
VELK_API VkRefineWindow planRefineWindowAt(uint64_t refSamples, uint64_t memberSamples,
                                           double coarseLag, int64_t radius, uint64_t maxWindow,
                                           uint64_t minOverlap, double memberCentre);

// ---------------------------------------------------------------------------
// Pairwise estimate and the refinement pass

// Loads two recordings and turns the peak of their circular cross-correlation
// into an offset between them.
class VELK_API VkPairwiseEstimate {
 public:
  VkPairwiseEstimate(const std::string& x, const std::string& y);
  ~VkPairwiseEstimate();  // releases the two recordings it opened

  VkPairwiseEstimate(const VkPairwiseEstimate&) = delete;
  VkPairwiseEstimate& operator=(const VkPairwiseEstimate&) = delete;

  bool load();
  bool estimate();

  std::string firstPath;
  std::string secondPath;
  wavfile_t* first;
  wavfile_t* second;
  float whitening;  // of the correlation; kVkDefaultWhitening unless changed

  // Set by estimate().
  uint32_t fftSize;
  uint32_t bufferSize;
  float maxValue;
  int32_t maxIndex;
  int64_t offset;  // the folded offset as printed
  int64_t lag;     // samples by which y starts after x (negative: y starts first)
};

// Refined position of one member, seconds after the earliest member.
struct VELK_API VkRefinedOffset {
  float coarse = 0.0f;   // the clustering offset
  double offset = 0.0;   // best estimate (refined when refined is true)
  bool refined = false;  // the correlation against the reference was believed
  float score = 0.0f;    // its peak-to-background ratio (0 when not measured)
};

// Walks a clustering result, opens each cluster's recordings and picks the
// cluster's reference (its member at offset 0). The printed walk ends at the
// reference; with refineMembers set, every other member is also refined
// against it, silently, into results.
class VELK_API VkRefinement {
 public:
  VkRefinement(const std::map<int32_t, std::string>& idToPath, const VkClusterSet* clusters);
  ~VkRefinement();  // closes every recording the pass opened

  VkRefinement(const VkRefinement&) = delete;
  VkRefinement& operator=(const VkRefinement&) = delete;

  bool run();

  std::map<int32_t, std::string> idToPath;
  std::vector<wavfile_t*> opened;
  const VkClusterSet* clusters;

  // Tuning of the member-against-reference step.
  double maxWindowSeconds;  // longest stretch correlated
  double searchSeconds;     // lags searched around the coarse offset, each way
  double minOverlapSeconds;
  float whitening;
  float minScore;
  bool refineMembers;  // false: the pass stops at the reference, results stay empty

  // Filled by run() when refineMembers is set: every member of the clusters
  // visited, by recording id.
  std::map<int32_t, VkRefinedOffset> results;

 private:
  void refineCluster(const VkCluster& cluster, int32_t referenceId,
                     const std::map<int32_t, wavfile_t*>& files);
};

}  // namespace Velk

#endif
