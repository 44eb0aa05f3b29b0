// From the designed clustering result to the engine's: clusters in a
// repeatable order, each member with its coarse and its best offset.
#ifndef VELK_ENGINE_SYNC_RESULT_H
#define VELK_ENGINE_SYNC_RESULT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "velk/cluster.h"
#include "velk/sync.h"

namespace Velk {

// Orders clusters by their smallest member id (members must already be by id).
void sortClusters(std::vector<ClusterResult>& clusters);

// Clusters ordered by their smallest member id (the library orders them by
// address, which changes from run to run), members by id; offsets coarse.
std::vector<ClusterResult> orderClusters(const VkClusterSet& clusters,
                                         const std::map<int32_t, std::string>& idToPath);

}  // namespace Velk

#endif
