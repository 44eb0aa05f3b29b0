// Sample-accurate offsets: every member of a cluster is correlated with the
// cluster's reference around its coarse offset (the correlation itself is the
// library's; this side decodes the stretches it needs). Members that correlate
// with nothing placed relative to the reference are split off: the clustering
// can join two events through one false pair.
#ifndef VELK_ENGINE_ALIGNMENT_H
#define VELK_ENGINE_ALIGNMENT_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/reporter.h"
#include "velk/refine.h"
#include "velk/sync.h"

namespace Velk {

// The strongest offsets of every pair's histogram (seconds B starts after A,
// strongest first): a recording paused or cut has one peak per part.
using PeakTable = std::map<std::pair<int32_t, int32_t>, std::vector<double>>;

// Stretches of at most this length, at most this many, measure the drift
// along an overlap.
constexpr double kDriftWindowSeconds = 10.0;
constexpr int kMaxDriftWindows = 9;

// Correlations tried per member before it counts as not matching (best overlap first).
constexpr std::size_t kMaxAnchorTries = 6;

struct PairRefinement {
  bool measured = false;    // the correlation was computed (enough overlap, both stretches read)
  bool refined = false;     // and its peak was believed
  double lagSeconds = 0.0;  // member starts this long after the anchor
  float score = 0.0f;
  // How much faster the anchor's clock runs than the member's, in parts per
  // million, when stretches along the overlap agreed on a line (see
  // minDriftSpanSeconds). Measured (worth reporting) when it moves the lag by
  // 0.1 ms over the overlap or the overlap is 2 minutes long; lagSeconds is
  // then the lag at the member's first sample.
  bool driftMeasured = false;
  double driftPpm = 0.0;
  // The middle correlated, the rest of the overlap did not: shared material
  // (a loop, a song played at two events), not one event.
  bool repeat = false;
  float agreement = -1.0f;  // share of the stretches along the overlap that agree
  // Measured along the overlap: whether the stretches confirmed the lag, and
  // whether they agree on one part only while at least two others hold nothing
  // like it (shared material, a pause): then the agreeing part, in member
  // seconds, reaches at most from sharedFrom to sharedTo.
  bool along = false;
  bool confirmed = false;
  bool partial = false;
  double sharedFrom = 0.0, sharedTo = 0.0;
  double agreeFrom = 0.0, agreeTo = 0.0;  // the longest agreeing run (see OverlapFit)
  bool unbroken = false;                  // and every agreeing stretch is in it
  // The agreeing stretches' line: the lag at the member's first sample, and
  // the drift when they span enough time to tell.
  double alongLagSeconds = 0.0;
  bool alongDriftKnown = false;
  double alongDriftPpm = 0.0;
  std::vector<std::pair<double, double>> offLine;  // see OverlapFit
  std::string warning;                             // a decode problem, if any
};

// One correlation of a stretch of member against anchor.
struct WindowLag {
  bool measured = false;
  bool accepted = false;
  float score = 0.0f;
  double lagSamples = 0.0;     // member start minus anchor start, as this stretch sees it
  double centreSamples = 0.0;  // middle of the member stretch, in member samples
  double memberStart = 0.0;    // the member stretch, in member samples
  double memberLength = 0.0;
  std::string warning;
};

// Correlates the stretches w plans of member against anchor at rate, the
// member's first put on the anchor's clock when driftPpm is not 0.
WindowLag correlateWindow(const Recording& anchor, const Recording& member, uint32_t rate,
                          const VkRefineWindow& w, const RefineSettings& settings,
                          double driftPpm = 0.0);

// Correlates member against anchor around coarseLagSeconds (member start minus
// anchor start), at the lower of the two recordings' own rates.
PairRefinement refinePair(const Recording& anchor, const Recording& member, double coarseLagSeconds,
                          const RefineSettings& settings);

// Reads length first-channel samples of a recording at rate from sample start
// on, zero-padded past its end. Exact to the sample.
bool readMonoBlock(const Recording& r, uint32_t rate, int64_t start, int64_t length,
                   std::vector<float>& out, std::string& error);

// What refinement learnt about one cluster's members (indices into members).
struct ClusterVerdict {
  std::size_t reference = 0;
  // 0: placed relative to the reference; g > 0: correlates only within stray
  // group g (a group of one matched nothing); -1: never correlated with a
  // placed member (overlaps too short, or unreadable), so no evidence either way.
  std::vector<int> group;
  // Seconds in the reference's frame: exact within a group, the landmark
  // offset for unchecked members and for the first member of a stray group.
  std::vector<double> position;
  // g > 0: the member whose clock group g's positions are on (its first;
  // when absent, the group's lowest index).
  std::map<int, std::size_t> founder;
};

// Applies a verdict to its cluster. With split, group 0 and the unchecked
// members stay, every stray group becomes a cluster of its own; each cluster's
// earliest member goes to 0 (coarse offsets re-based the same way). Without
// split, one cluster as before, strays unrefined. What was decided is appended
// to notes. Clusters come out in the order of their smallest member.
std::vector<ClusterResult> settleCluster(const ClusterResult& cluster,
                                         const ClusterVerdict& verdict, bool split,
                                         std::vector<SyncMessage>& notes);

// Refines every cluster, splits off strays (when settings say so), puts each
// cluster's earliest member back at 0 and orders clusters by smallest member id.
// Members that cannot be correlated keep their coarse offset (refined false).
void refineClusters(std::vector<ClusterResult>& clusters,
                    const std::map<int32_t, const Recording*>& recordings,
                    const RefineSettings& settings, const PeakTable& peaks, const Reporter& report);

}  // namespace Velk

#endif
