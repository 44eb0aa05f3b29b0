// Memory knobs of pairwise matching. The defaults suit every realistic job; the
// tests shrink them to drive the sorted-votes and multi-batch paths on small data.
#ifndef VELK_CLUSTER_MATCH_TUNING_H
#define VELK_CLUSTER_MATCH_TUNING_H

#include <cstdint>

#include "velk/cluster_stages.h"

namespace Velk {

struct VkMatchTuning {
  // Counter memory one batch of pairs sharing recording A may use.
  uint64_t batchBytes = uint64_t{128} << 20;
  // A pair gets a dense counter when it costs at most 8 bytes per vote plus this;
  // 1 MiB covers two 45-minute recordings, and counting beats sorting.
  uint64_t denseAllowance = uint64_t{1} << 20;
};

VkPairHistograms* matchPairsTuned(VkLandmarkIndex& index, VkFileSet* fileSet, VkProgress* progress,
                                  const VkMatchTuning& tuning);

}  // namespace Velk

#endif
