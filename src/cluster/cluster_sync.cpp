// The cluster-sync driver and the result helpers.
#include <iostream>
#include <memory>

#include "cluster/cluster_sync_internal.h"
#include "velk/cluster.h"
#include "velk/cluster_stages.h"

namespace Velk {

void printClusters(const VkClusterSet* clusters) {
  if (clusters == nullptr) return;
  for (const VkCluster* cluster : *clusters) {
    std::cout << "CLUSTER" << std::endl;
    for (const VkClusterElem* e : *cluster) {
      std::cout << "name: " << e->name << " offset:" << e->offset << std::endl;
    }
  }
}

void deleteClusters(VkClusterSet* clusters) {
  if (clusters == nullptr) return;
  for (VkCluster* cluster : *clusters) {
    for (VkClusterElem* e : *cluster) delete e;
    delete cluster;
  }
  delete clusters;
}

VkClusterSync::VkClusterSync(const VkClusterSyncParams& p) : params(p) {}

VkClusterSet* VkClusterSync::run(VkFileSet* fileSet, VkProgress* progress) const {
  return runClusterSync(params, fileSet, progress, nullptr);
}

VkClusterSet* runClusterSync(const VkClusterSyncParams& params, VkFileSet* fileSet,
                             VkProgress* progress, const PairObserver& observe) {
  auto step = [progress](int32_t n) {
    if (progress != nullptr) progress->setStep(n);
  };
  step(0);
  if (fileSet == nullptr) {
    // Nothing to cluster: an empty result spares callers a special case.
    for (int32_t n = 1; n <= 5; ++n) step(n);
    return new VkClusterSet;
  }
  fileSet->computeCLFs();
  step(1);

  VkLandmarkIndex index(params.getMaxLandmarks());
  std::unique_ptr<VkPairHistograms, void (*)(VkPairHistograms*)> histograms(
      matchPairs(index, fileSet, progress), deletePairHistograms);
  step(2);
  std::unique_ptr<VkPairStatsTable, void (*)(VkPairStatsTable*)> stats(
      verifyPairs(fileSet, histograms.get()), deletePairStats);
  if (observe) observe(*histograms, *stats);
  step(3);
  histograms.reset();  // the largest structure of the run; nothing reads it any more
  step(4);

  std::unique_ptr<VkClusterSet, void (*)(VkClusterSet*)> result(
      VkClusterFormer(params).formClusters(fileSet, stats.get()), deleteClusters);
  for (VkCluster* cluster : *result) {
    for (VkClusterElem* e : *cluster) {
      auto it = fileSet->idToName.find(e->fileId);
      if (it == fileSet->idToName.end()) it = fileSet->idToName.emplace(e->fileId, "").first;
      e->name = it->second;
    }
  }
  step(5);
  stats.reset();
  index.clear();
  return result.release();
}

}  // namespace Velk
