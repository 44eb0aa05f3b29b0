// A second look at pairs the designed acceptance test turned down. Its bar is
// set by every populated offset of the pair's histogram, so two long
// recordings that overlap briefly fail it even with a clear peak. Pairs whose
// peak stands well above their own runner-up, in votes per second of overlap,
// are checked by the waveform over their whole overlap, and their clusters
// joined when it agrees.
#ifndef VELK_ENGINE_SECOND_LOOK_H
#define VELK_ENGINE_SECOND_LOOK_H

#include <cstdint>
#include <map>
#include <vector>

#include "engine/overlap.h"
#include "engine/reporter.h"
#include "velk/cluster_stages.h"
#include "velk/sync.h"

namespace Velk {

// The votes a rejected pair needs for the second look: a candidate this many
// within kLookCandidateWidth frames of its peak, each noted peak within
// kLookPeakWidth (votes of one match straddle neighbouring frames).
constexpr uint32_t kLookVotes = 8;
constexpr int32_t kLookCandidateWidth = 1;
constexpr int32_t kLookPeakWidth = 2;

struct RejectedPair {
  int32_t idA = 0;
  int32_t idB = 0;
  double lagSeconds = 0.0;  // B starts this long after A, by the landmarks
  uint32_t votes = 0;       // at the peak
  uint32_t runnerUp = 0;    // at the offset that stands out most after the peak
  // How many times more votes per second of overlap the peak has than the
  // runner-up.
  double standOut = 0.0;
};

// Keeps a rejected pair in candidates when its peak stands out. framesA and
// framesB: how many frames of landmarks each recording spans.
void considerRejected(const VkPairStats& stats, const VkOffsetHistogram& histogram,
                      float framesPerSecond, int32_t framesA, int32_t framesB,
                      std::vector<RejectedPair>& candidates);
// Strongest first, at most limit of them.
void rankCandidates(std::vector<RejectedPair>& candidates, std::size_t limit);

// The same, with each recording's span read from files (a pair missing from
// them is not kept).
void considerRejected(const VkPairStats& stats, const VkOffsetHistogram& histogram,
                      float framesPerSecond, const VkFileSet& files,
                      std::vector<RejectedPair>& candidates);

// How many candidates a run of this many recordings checks.
std::size_t candidateLimit(std::size_t recordings);

// The pieces of joinConfirmed, for callers that check candidates elsewhere:
// which candidates sit in two different clusters (only those are checked), the
// waveform check of one, and the joins of those confirmed (fits by candidate;
// an unchecked one is not confirmed).
std::vector<bool> candidatesApart(const std::vector<ClusterResult>& clusters,
                                  const std::vector<RejectedPair>& candidates);
OverlapFit checkCandidate(const Recording& a, const Recording& b, const RejectedPair& candidate,
                          const RefineSettings& settings);
void joinFitted(std::vector<ClusterResult>& clusters, const std::vector<RejectedPair>& candidates,
                const std::vector<OverlapFit>& fits, const Reporter& report);

void notePeaks(const VkPairStats& stats, const VkOffsetHistogram& histogram, float framesPerSecond,
               PeakTable& peaks);
// The peaks of the pair (anchor, member) as lags of member after anchor, but
// for those within a second of lagSeconds.
std::vector<double> otherLags(const PeakTable& peaks, int32_t anchor, int32_t member,
                              double lagSeconds);

// Confirms candidates whose recordings sit in different clusters and joins
// those clusters. Clusters stay ordered by smallest member id.
void joinConfirmed(std::vector<ClusterResult>& clusters,
                   const std::vector<RejectedPair>& candidates,
                   const std::map<int32_t, const Recording*>& recordings,
                   const RefineSettings& settings, const Reporter& report);

}  // namespace Velk

#endif
