// Cluster formation: accepted pairs join recordings into groups, each group is
// aligned, and the groups become the caller's clusters with offsets in seconds.
#include <memory>
#include <set>

#include "velk/cluster_stages.h"

namespace Velk {

void VkRecordingPartition::build(const VkFileSet* fileSet) {
  groups.clear();
  if (fileSet == nullptr) return;
  for (const auto& kv : fileSet->getFiles()) groups.insert(Group{kv.first});
}

void VkRecordingPartition::join(int32_t a, int32_t b) {
  if (a == b) return;
  Group united;
  for (auto it = groups.begin(); it != groups.end(); ++it) {
    if (it->count(a) != 0) {
      united = *it;
      groups.erase(it);
      break;
    }
  }
  for (auto it = groups.begin(); it != groups.end(); ++it) {
    if (it->count(b) != 0) {
      united.insert(it->begin(), it->end());
      groups.erase(it);
      break;
    }
  }
  // The union is added even when empty (neither id names a recording), so an
  // accepted pair of unknown ids surfaces as an empty cluster, not silently.
  groups.insert(united);
}

VkClusterFormer::VkClusterFormer(const VkClusterSyncParams& p)
    : acceptThreshold(p.getAcceptThreshold()),
      framesPerSecond(p.getFramesPerSecond()),
      minTemplateLength(p.getMinTemplateLength()),
      minOverlapLength(p.getMinOverlapLength()),
      minPercentMatch(p.getMinPercentMatch()) {}

bool VkClusterFormer::accepts(const VkPairStats& stats) const {
  return acceptPair(stats, acceptThreshold, framesPerSecond, minTemplateLength, minOverlapLength,
                    minPercentMatch);
}

VkClusterSet* VkClusterFormer::formClusters(VkFileSet* fileSet, VkPairStatsTable* stats) const {
  if (fileSet == nullptr || stats == nullptr) return nullptr;
  VkRecordingPartition partition;
  partition.build(fileSet);
  for (auto& kv : *stats) {
    VkPairStats* s = kv.second;
    if (s == nullptr || !accepts(*s)) continue;
    s->accepted = true;
    partition.join(s->idA, s->idB);
  }

  std::set<VkGroupTable*> tables = partition.alignComponents(stats);
  std::unique_ptr<VkClusterSet, void (*)(VkClusterSet*)> result(new VkClusterSet, deleteClusters);
  try {
    for (VkGroupTable* t : tables) {
      std::unique_ptr<VkCluster> cluster(new VkCluster);
      result->insert(cluster.get());
      VkCluster* c = cluster.release();
      for (const VkGroupTable::MemberMap& members : t->groups()) {
        for (const auto& m : members) {
          std::unique_ptr<VkClusterElem> elem(
              new VkClusterElem("TODO", m.first, m.second / framesPerSecond));
          if (c->insert(elem.get()).second) elem.release();
        }
      }
    }
  } catch (...) {
    for (VkGroupTable* t : tables) delete t;
    throw;
  }
  for (VkGroupTable* t : tables) delete t;
  return result.release();
}

}  // namespace Velk
