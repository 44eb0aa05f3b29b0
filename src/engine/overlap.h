// Confirmation of a pair over its whole overlap: stretches spread from one end
// of the overlap to the other must agree on one line (offset and drift). A
// verbatim repeat of the music agrees only where it repeats, so it fails.
#ifndef VELK_ENGINE_OVERLAP_H
#define VELK_ENGINE_OVERLAP_H

#include <string>

#include "engine/alignment.h"
#include "velk/sync.h"

namespace Velk {

struct OverlapFit {
  int windows = 0;   // stretches that said something (not silent, readable)
  int agreeing = 0;  // of those, the ones on the fitted line
  bool confirmed = false;
  double lagSeconds = 0.0;  // member start minus anchor start, on the anchor's clock
  double driftPpm = 0.0;    // how much faster the anchor's clock runs than the member's
  bool driftKnown = false;  // the stretches span enough time to tell
  float score = 0.0f;       // median score of the agreeing stretches
  float otherScore = 0.0f;  // median score of the others (0 when all agree)
  double agreeShare() const { return windows == 0 ? 0.0 : static_cast<double>(agreeing) / windows; }
  std::string warning;
};

// Drift a clock may have, and what the stretches are searched for: beyond this
// the pair is not two clocks of one event.
constexpr double kMaxDriftPpm = 1000.0;

// Measures member against anchor along their overlap around coarseLagSeconds
// (member start minus anchor start) with up to maxWindows stretches of at
// most windowSeconds.
OverlapFit fitOverlap(const Recording& anchor, const Recording& member, double coarseLagSeconds,
                      const RefineSettings& settings, int maxWindows, double windowSeconds);

}  // namespace Velk

#endif
