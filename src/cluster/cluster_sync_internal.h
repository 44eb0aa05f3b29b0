// The cluster-sync driver with a look at every pair before its histogram is
// freed: the engine takes a second look at pairs the acceptance test rejects.
#ifndef VELK_CLUSTER_SYNC_INTERNAL_H
#define VELK_CLUSTER_SYNC_INTERNAL_H

#include <functional>

#include "cluster/match_tuning.h"
#include "velk/cluster.h"
#include "velk/cluster_stages.h"

namespace Velk {

using PairObserver = std::function<void(const VkPairStats& stats,
                                        const VkOffsetHistogram& histogram, bool accepted)>;

// Measures one pair from its histogram and applies the acceptance test;
// observe (when set) sees the pair. The caller keeps the statistics of
// accepted pairs for formClustersOf.
struct JudgedPair {
  VkPairStats stats;
  bool accepted = false;
};
JudgedPair judgePair(const VkClusterFormer& former, VkFileSet* fileSet, const VkPairKey& key,
                     const VkOffsetHistogram& histogram, const PairObserver& observe);

// Clusters of the recordings in fileSet joined by the accepted pairs, offsets
// propagated, members named.
VkClusterSet* formClustersOf(const VkClusterFormer& former, VkFileSet* fileSet,
                             VkPairStatsTable* accepted);

using CandidateObserver = std::function<void(const VkPairKey& pair, const VkCandidatePeak& peak)>;

// What VkClusterSync::run does, calling observe (when set) with every pair's
// statistics and histogram as soon as the pair is measured. With forgetHashes,
// the tables' hashes are freed once the index holds them (VkFile::forgetHashes):
// for a host that reads only counts afterwards. Pairs are voted on that many
// threads; observe, progress and the result do not depend on it. With a
// candidate limit, only pairs the rarer hashes single out are measured
// (VkMatchTuning::candidateLimit); seen sees each pair's first vote. tune
// (when set) may set the matcher's other hooks.
VkClusterSet* runClusterSync(const VkClusterSyncParams& params, VkFileSet* fileSet,
                             VkProgress* progress, const PairObserver& observe,
                             bool forgetHashes = false, unsigned threads = 1,
                             uint32_t candidateLimit = 0, const CandidateObserver& seen = nullptr,
                             const std::function<void(VkMatchTuning&)>& tune = nullptr);

// Runs of at least this many pairs vote candidates first.
constexpr std::size_t kCandidatePairs = 100000;

// The candidate limit for a run of this many recordings at this popular-hash
// limit; 0 (every pair voted in full) for runs of fewer than minPairs pairs.
uint32_t candidateLimitFor(std::size_t recordings, uint32_t maxLandmarks,
                           std::size_t minPairs = kCandidatePairs);

}  // namespace Velk

#endif
