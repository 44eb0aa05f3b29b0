// Match verification: the peak of every pair's offset histogram and how
// believable it is, and the acceptance test over those measurements.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <memory>

#include "cluster/match_tuning.h"
#include "velk/cluster_stages.h"

namespace Velk {

namespace {

const VkFile* findFile(VkFileSet* fileSet, int32_t id) {
  const auto it = fileSet->getFiles().find(id);
  return it == fileSet->getFiles().end() ? nullptr : it->second;
}

// A region bound as a frame. Bounds come from frame numbers of real tables and
// stay in range; clamping only keeps a corrupt table from undefined behaviour.
int32_t toFrame(float v) {
  if (!(v > -2147483648.0f)) return std::numeric_limits<int32_t>::min();
  if (v >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(v);
}

// A flat histogram has no spread; this floor keeps the acceptance test's
// "peak above mean plus ten deviations" from accepting any single vote.
constexpr float kVarianceFloor = 0.1f;

// The peak of the histogram: ">=" on the ascending walk lets the largest of
// equal maxima win. Null when the histogram is empty.
const VkOffsetBin* findPeak(const VkOffsetHistogram& h, VkPairStats& s) {
  float best = 0.0f;
  int32_t bestOffset = 0;
  const VkOffsetBin* peak = nullptr;
  for (const VkOffsetBin& bin : h) {
    if (static_cast<float>(bin.count) >= best) {
      best = static_cast<float>(bin.count);
      bestOffset = bin.offset;
      peak = &bin;
    }
  }
  s.peakCount = best;
  s.peakOffset = static_cast<float>(bestOffset);
  return peak;
}

// Overlap at the peak's offset: at the start of the later recording, at the
// end of the earlier one; and the landmarks each recording has within it.
void measureOverlap(VkPairStats& s, const VkFile* a, const VkFile* b) {
  const float o = s.peakOffset;
  const auto firstA = static_cast<float>(a->getFirstFrame());
  const auto lastA = static_cast<float>(a->getLastFrame());
  const auto firstB = static_cast<float>(b->getFirstFrame());
  const auto lastB = static_cast<float>(b->getLastFrame());
  float startA, endA, startB, endB;
  if (o <= 0.0f) {
    s.overlapLength = std::min(lastA, lastB + o) - std::max(firstA, firstB + o);
    startA = firstA;
    endA = std::ceil(firstA + s.overlapLength);
    startB = std::floor(lastB - s.overlapLength);
    endB = lastB;
  } else {
    s.overlapLength = std::min(lastA - o, lastB) - std::max(firstA - o, firstB);
    startA = std::floor(lastA - s.overlapLength);
    endA = lastA;
    startB = firstB;
    endB = std::ceil(firstB + s.overlapLength);
  }
  s.overlapLandmarksA =
      static_cast<float>(a->countLandmarksInRange(toFrame(startA), toFrame(endA)));
  s.overlapLandmarksB =
      static_cast<float>(b->countLandmarksInRange(toFrame(startB), toFrame(endB)));
}

// Template: the span of A's times among the peak's votes.
void measureTemplate(VkPairStats& s, const VkOffsetBin& peak) {
  if (peak.count == 0) {
    // Only a hand-made table can hold an offset without votes; nothing sane follows.
    std::cerr << "[ERROR]: error in computing the region of "
              << "overlap between proposed histogram points" << std::endl;
    std::exit(1);
  }
  s.templateLength = static_cast<float>(static_cast<int64_t>(peak.maxTimeA) - peak.minTimeA);
}

// Mean and spread over the overlap: S summed exactly, V in float over ascending offsets.
void measureSpread(VkPairStats& s, const VkOffsetHistogram& h) {
  uint64_t sum = 0;
  for (const VkOffsetBin& bin : h) sum += bin.count;
  s.histogramMean = static_cast<float>(sum) / s.overlapLength;
  float squares = 0.0f;
  for (const VkOffsetBin& bin : h) {
    const float d = static_cast<float>(bin.count) - s.histogramMean;
    squares += d * d;
  }
  const float variance = squares / s.overlapLength;
  s.histogramStdDev = std::sqrt(std::max(kVarianceFloor, variance));
}

}  // namespace

void measurePair(VkPairStats& s, VkFileSet* fileSet, const VkOffsetHistogram* hist) {
  static const VkOffsetHistogram kEmpty;
  const VkOffsetHistogram& h = hist != nullptr ? *hist : kEmpty;
  const VkOffsetBin* peak = findPeak(h, s);
  const VkFile* a = findFile(fileSet, s.idA);
  const VkFile* b = findFile(fileSet, s.idB);
  if (a != nullptr && b != nullptr) measureOverlap(s, a, b);
  s.matchFractionA = s.peakCount / s.overlapLandmarksA;
  s.matchFractionB = s.peakCount / s.overlapLandmarksB;
  if (peak != nullptr) measureTemplate(s, *peak);
  measureSpread(s, h);
}

VkPairStatsTable* verifyPairs(VkFileSet* fileSet, VkPairHistograms* histograms) {
  if (fileSet == nullptr || histograms == nullptr) return nullptr;
  std::unique_ptr<VkPairStatsTable, void (*)(VkPairStatsTable*)> table(new VkPairStatsTable,
                                                                       deletePairStats);
  for (const auto& kv : *histograms) {
    VkPairStats*& slot = (*table)[kv.first];
    slot = new VkPairStats;
    slot->idA = kv.first.first;
    slot->idB = kv.first.second;
    slot->histogram = kv.second;
    measurePair(*slot, fileSet, kv.second);
  }
  return table.release();
}

void deletePairStats(VkPairStatsTable* table) {
  if (table == nullptr) return;
  for (auto& kv : *table) delete kv.second;
  delete table;
}

bool acceptPair(const VkPairStats& s, uint32_t acceptThreshold, float framesPerSecond,
                float minTemplateLength, float minOverlapLength, float minPercentMatch) {
  // Written as "rejected when" so that a NaN on either side never rejects.
  if (framesPerSecond * minTemplateLength > s.templateLength) return false;
  if (static_cast<float>(acceptThreshold) > s.peakCount) return false;
  if (framesPerSecond * minOverlapLength > s.overlapLength) return false;
  if (s.templateLength > s.overlapLength) return false;
  // Below the larger fraction means below both; a NaN fraction never rejects.
  if (minPercentMatch > s.matchFractionA && minPercentMatch > s.matchFractionB) return false;
  if (0.0f > s.overlapLength) return false;
  if (s.histogramMean + 10.0f * s.histogramStdDev > s.peakCount) return false;
  return true;
}

void VkPairStats::print() const {
  std::cout << "MERGE STATS OF FILE " << idA << " AND " << idB << std::endl;
  std::cout << "offset: " << peakOffset << std::endl;
  std::cout << "match count: " << peakCount << std::endl;
  std::cout << "length of overlap: " << overlapLength << std::endl;
  std::cout << "percentage of matches in F1: " << matchFractionA << " out of: " << overlapLandmarksA
            << std::endl;
  std::cout << "percentage of matches in F2: " << matchFractionB << " out of: " << overlapLandmarksB
            << std::endl;
  std::cout << "length of template region: " << templateLength << std::endl;
  std::cout << "mean of hist: " << histogramMean << std::endl;
  std::cout << "std of hist: " << histogramStdDev << std::endl;
}

}  // namespace Velk
