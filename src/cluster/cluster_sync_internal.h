// The cluster-sync driver with a look at every pair before its histogram is
// freed: the engine takes a second look at pairs the acceptance test rejects.
#ifndef VELK_CLUSTER_SYNC_INTERNAL_H
#define VELK_CLUSTER_SYNC_INTERNAL_H

#include <functional>

#include "velk/cluster.h"
#include "velk/cluster_stages.h"

namespace Velk {

using PairObserver = std::function<void(const VkPairHistograms&, const VkPairStatsTable&)>;

// What VkClusterSync::run does, calling observe (when set) once with every
// pair's histogram and statistics after verification.
VkClusterSet* runClusterSync(const VkClusterSyncParams& params, VkFileSet* fileSet,
                             VkProgress* progress, const PairObserver& observe);

}  // namespace Velk

#endif
