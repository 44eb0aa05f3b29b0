// Clustering and synchronization: result types, progress sink and the driver.
#ifndef VELK_CLUSTER_H
#define VELK_CLUSTER_H

#include <cstdint>
#include <set>
#include <string>

#include "velk/export.h"
#include "velk/landmark.h"
#include "velk/params.h"

namespace Velk {

// One member of a cluster.
class VELK_API VkClusterElem {
 public:
  VkClusterElem() : name("TODO"), fileId(0), offset(0.0f) {}
  VkClusterElem(const std::string& n, int32_t id, float off) : name(n), fileId(id), offset(off) {}

  std::string name;
  int32_t fileId;
  float offset;  // seconds after the earliest-starting member of the cluster
};

// Members of a cluster in ascending recording id.
struct VELK_API OrderedClusterElements {
  bool operator()(const VkClusterElem* a, const VkClusterElem* b) const {
    return a->fileId < b->fileId;
  }
};

using VkCluster = std::set<VkClusterElem*, OrderedClusterElements>;
// Clusters are ordered by address: their order carries no meaning.
using VkClusterSet = std::set<VkCluster*>;

// Implemented by the caller; called synchronously inside VkClusterSync::run.
class VELK_API VkProgress {
 public:
  virtual void setFraction(float fraction) = 0;  // share of the current phase done, 0..1
  virtual void setStep(int32_t step) = 0;        // step of run just reached, 0..5
  virtual ~VkProgress() = default;
};

VELK_API void printClusters(const VkClusterSet* clusters);

// Frees a result the way the caller owns it: elements, cluster sets, outer set.
VELK_API void deleteClusters(VkClusterSet* clusters);

class VELK_API VkClusterSync {
 public:
  explicit VkClusterSync(const VkClusterSyncParams& p);

  // Returns a new result owned by the caller; fileSet must not be null.
  VkClusterSet* run(VkFileSet* fileSet, VkProgress* progress = nullptr) const;

  VkClusterSyncParams params;
};

}  // namespace Velk

#endif
