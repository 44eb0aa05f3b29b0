// The cluster-sync driver with a look at every pair before its histogram is
// freed: the engine takes a second look at pairs the acceptance test rejects.
#ifndef VELK_CLUSTER_SYNC_INTERNAL_H
#define VELK_CLUSTER_SYNC_INTERNAL_H

#include <functional>

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

// What VkClusterSync::run does, calling observe (when set) with every pair's
// statistics and histogram as soon as the pair is measured. With forgetHashes,
// the tables' hashes are freed once the index holds them (VkFile::forgetHashes):
// for a host that reads only counts afterwards. Pairs are voted on that many
// threads; observe, progress and the result do not depend on it.
VkClusterSet* runClusterSync(const VkClusterSyncParams& params, VkFileSet* fileSet,
                             VkProgress* progress, const PairObserver& observe,
                             bool forgetHashes = false, unsigned threads = 1);

}  // namespace Velk

#endif
