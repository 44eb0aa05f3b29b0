// A straightforward second implementation of pairwise matching and match
// verification, with the plain structures: an ordered map hash -> list of
// landmarks, and per pair an ordered map offset -> list of landmarks of A, walked
// hash by hash. Slow and memory-hungry on purpose; the scale benchmark holds
// the library's compact matching to it.
#ifndef VELK_BENCH_REFERENCE_MATCHING_H
#define VELK_BENCH_REFERENCE_MATCHING_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "velk/cluster.h"
#include "velk/cluster_stages.h"
#include "velk/landmark.h"

namespace velkref {

using LandmarkList = std::vector<const Velk::Landmark*>;

struct Index {
  std::map<uint32_t, LandmarkList> entries;
  uint32_t maxLandmarks = 250;
};

using Histogram = std::map<int32_t, LandmarkList>;  // offset -> one landmark of A per vote
using Histograms = std::map<Velk::VkPairKey, Histogram*>;

Histograms* matchPairs(Index& index, Velk::VkFileSet* fileSet, Velk::VkProgress* progress);
void deleteHistograms(Histograms* table);

// Records come back with a null histogram reference.
Velk::VkPairStatsTable* verifyPairs(Velk::VkFileSet* fileSet, const Histograms* histograms);

// Both float fields NaN, or equal by ==.
bool sameFloat(float a, float b);
// Every field but the histogram reference; empty when equal, else what differs.
std::string diffStats(const Velk::VkPairStats& a, const Velk::VkPairStats& b);

}  // namespace velkref

#endif
