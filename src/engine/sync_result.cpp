#include "engine/sync_result.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace Velk {

double shortestDouble(float v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf - 1, v);
  *r.ptr = '\0';
  return std::strtod(buf, nullptr);
}

void sortClusters(std::vector<ClusterResult>& clusters) {
  std::sort(clusters.begin(), clusters.end(), [](const ClusterResult& a, const ClusterResult& b) {
    return a.members.front().id < b.members.front().id;
  });
}

std::vector<ClusterResult> orderClusters(const VkClusterSet& clusters,
                                         const std::map<int32_t, std::string>& idToPath) {
  std::vector<ClusterResult> out;
  for (const VkCluster* cluster : clusters) {
    if (cluster == nullptr || cluster->empty()) continue;
    ClusterResult c;
    for (const VkClusterElem* e : *cluster) {  // already in ascending id
      MemberResult m;
      m.id = e->fileId;
      m.name = e->name;
      const auto it = idToPath.find(e->fileId);
      if (it != idToPath.end()) m.path = it->second;
      m.coarse = shortestDouble(e->offset);
      m.offset = m.coarse;
      c.members.push_back(m);
    }
    out.push_back(std::move(c));
  }
  sortClusters(out);
  return out;
}

}  // namespace Velk
