// Sample-accurate offsets: every member of a cluster is correlated with the
// cluster's reference around its coarse offset (the correlation itself is the
// library's; this side decodes the stretches it needs).
#ifndef VELK_TOOL_ALIGNMENT_H
#define VELK_TOOL_ALIGNMENT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "velk/progress.h"
#include "velk/recordings.h"
#include "velk/refine.h"
#include "velk/sync_result.h"

namespace velktool {

struct RefineSettings {
  double maxWindowSeconds = 30.0;  // longest stretch of the overlap correlated
  double searchSeconds = 0.096;    // lags searched each way around the coarse offset
  double minOverlapSeconds = 2.0;  // shorter overlaps are not worth correlating
  float whitening = Velk::kVkDefaultWhitening;
  float minScore = Velk::kVkDefaultMinScore;
  unsigned threads = 1;
};

struct PairRefinement {
  bool refined = false;
  double lagSeconds = 0.0;  // member starts this long after the anchor
  float score = 0.0f;
  std::string warning;  // a decode problem, if any
};

// Correlates member against anchor around coarseLagSeconds (member start minus
// anchor start), at the lower of the two recordings' own rates.
PairRefinement refinePair(const Recording& anchor, const Recording& member, double coarseLagSeconds,
                          const RefineSettings& settings);

// Reads length first-channel samples of a recording at rate from sample start
// on, zero-padded past its end. Exact to the sample.
bool readMonoBlock(const Recording& r, uint32_t rate, int64_t start, int64_t length,
                   std::vector<float>& out, std::string& error);

// Refines every cluster in place and puts its earliest member back at 0.
// Members that cannot be correlated keep their coarse offset (refined false).
void refineClusters(std::vector<ClusterResult>& clusters,
                    const std::map<int32_t, const Recording*>& recordings,
                    const RefineSettings& settings, ProgressDisplay& progress);

}  // namespace velktool

#endif
