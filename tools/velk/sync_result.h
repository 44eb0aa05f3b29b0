// The tool's view of a clustering result: clusters in a repeatable order, each
// member with its coarse and its best offset.
#ifndef VELK_TOOL_SYNC_RESULT_H
#define VELK_TOOL_SYNC_RESULT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "velk/cluster.h"

namespace velktool {

struct MemberResult {
  int32_t id = 0;
  std::string name;
  std::string path;
  double coarse = 0.0;   // the clustering's offset, seconds
  double offset = 0.0;   // best estimate, seconds (the refined one when refined)
  bool refined = false;  // offset comes from a believed waveform correlation
  float score = 0.0f;    // that correlation's peak-to-background ratio (0: not measured)
  int32_t anchor = 0;    // id of the member it was correlated with (0: none)
  // Measured along a long overlap: at member time t the member is at reference
  // time offset + t x (1 + driftPpm / 10^6). Only for members placed relative
  // to the cluster's reference.
  bool driftKnown = false;
  double driftPpm = 0.0;
};

struct ClusterResult {
  std::vector<MemberResult> members;  // ascending id
};

// A float as the decimal it stands for (0.2, not 0.20000000298...), so that
// the clustering's offsets and parameters read as they were meant.
double shortestDouble(float v);

// Orders clusters by their smallest member id (members must already be by id).
void sortClusters(std::vector<ClusterResult>& clusters);

// Clusters ordered by their smallest member id (the library orders them by
// address, which changes from run to run), members by id; offsets coarse.
std::vector<ClusterResult> orderClusters(const Velk::VkClusterSet& clusters,
                                         const std::map<int32_t, std::string>& idToPath);

}  // namespace velktool

#endif
