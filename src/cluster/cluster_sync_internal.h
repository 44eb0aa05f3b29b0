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

// What VkClusterSync::run does, calling observe (when set) with every pair's
// statistics and histogram as soon as the pair is measured.
VkClusterSet* runClusterSync(const VkClusterSyncParams& params, VkFileSet* fileSet,
                             VkProgress* progress, const PairObserver& observe);

}  // namespace Velk

#endif
