// Confirmation of a pair over its whole overlap: stretches spread from one end
// of the overlap to the other must agree on one line (offset and drift). A
// verbatim repeat of the music agrees only where it repeats, so it fails.
#ifndef VELK_ENGINE_OVERLAP_H
#define VELK_ENGINE_OVERLAP_H

#include <string>
#include <utility>
#include <vector>

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
  // Stretches that found no peak at all; with two of them beside two that
  // agree, the pair shares one part of the overlap only.
  int quiet = 0;
  // End stretches that found no peak on the line either: the shared sound
  // stops before the overlap does.
  int openEnds = 0;
  bool partial() const { return agreeing >= 2 && (quiet >= 2 || openEnds > 0); }
  // Member seconds the agreeing part may cover: up to the middle of the
  // nearest stretch on either side that does not agree (or the overlap's end).
  double sharedFrom = 0.0, sharedTo = 0.0;
  // The longest unbroken run of agreeing stretches, and the middles of its
  // first and last stretch.
  int run = 0;
  double agreeFrom = 0.0, agreeTo = 0.0;
  WindowLag strongest;  // the accepted stretch that correlated best
  // Accepted stretches off the line: member second, lag there (seconds).
  std::vector<std::pair<double, double>> offLine;
  std::string warning;
};

// Drift between two clocks, and what the stretches are searched for: beyond
// this the pair is not two clocks of one event. Either clock may be off by a
// thousand parts per million, one fast and one slow.
constexpr double kMaxDriftPpm = 2000.0;
// The steepest line stretches may agree on: 1.001 / 0.999 is 2002 ppm, and
// the search's own margin covers the 2 ppm past the drift searched.
constexpr double kMaxLinePpm = 2010.0;

// Measures member against anchor along their overlap around coarseLagSeconds
// (member start minus anchor start) with up to maxWindows stretches of at
// most windowSeconds.
OverlapFit fitOverlap(const Recording& anchor, const Recording& member, double coarseLagSeconds,
                      const RefineSettings& settings, int maxWindows, double windowSeconds);

}  // namespace Velk

#endif
