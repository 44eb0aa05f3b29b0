// Memory knobs of pairwise matching. The defaults suit every realistic job; the
// tests shrink them to drive the sorted-votes and multi-batch paths on small data.
#ifndef VELK_CLUSTER_MATCH_TUNING_H
#define VELK_CLUSTER_MATCH_TUNING_H

#include <cstdint>

#include "velk/cluster_stages.h"

namespace Velk {

struct VkMatchTuning {
  // Vote memory (8 bytes a vote) one batch of pairs sharing recording A may use;
  // a quarter of it bounds the table of votes per chunk counted in advance.
  uint64_t batchBytes = uint64_t{128} << 20;
  // A pair is counted (not sorted) when 12 bytes per possible offset cost at most
  // 8 bytes per vote plus this; 1 MiB covers two 45-minute recordings.
  uint64_t denseAllowance = uint64_t{1} << 20;
};

VkPairHistograms* matchPairsTuned(VkLandmarkIndex& index, VkFileSet* fileSet, VkProgress* progress,
                                  const VkMatchTuning& tuning);

}  // namespace Velk

#endif
