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

// The index of the member at coarse offset 0 (the last one, should there be
// several), else of the earliest: the clustering's reference.
std::size_t designedReference(const ClusterResult& c);

// How fast m's clock runs against its cluster's reference clock (1 when not known).
double clockRate(const MemberResult& m);

// Puts cluster c on the clock of its member onto: at member time t a member
// is at onto's time (offset + t x rate) / rate of onto, so offsets become
// differences of starts on onto's timeline and drifts are against onto; a
// drift stays known where it was known against the old reference and onto's
// is known too. Coarse offsets move by coarseZero.
void rebaseCluster(ClusterResult& c, const MemberResult& onto, double coarseZero);

// The id of the recording reference names (path, file name, then name);
// std::invalid_argument when none or several do.
int32_t findReference(const std::vector<Recording>& recordings, const std::string& reference);

// Clusters ordered by their smallest member id (the library orders them by
// address, which changes from run to run), members by id; offsets coarse.
std::vector<ClusterResult> orderClusters(const VkClusterSet& clusters,
                                         const std::map<int32_t, std::string>& idToPath);

}  // namespace Velk

#endif
