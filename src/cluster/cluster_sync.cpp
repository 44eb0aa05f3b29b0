// The cluster-sync driver and the result helpers.
#include <iostream>
#include <memory>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "cluster/cluster_sync_internal.h"
#include "cluster/match_tuning.h"
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
                             VkProgress* progress, const PairObserver& observe, bool forgetHashes,
                             unsigned threads, uint32_t candidateLimit,
                             const CandidateObserver& seen,
                             const std::function<void(VkMatchTuning&)>& tune) {
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

  // Matching and verification interleaved: each pair is measured as soon as its
  // histogram is final, and kept only when it passes. Holding every histogram
  // until verification would cost memory in pairs x offsets; cluster formation
  // reads accepted pairs only, so the result is the same.
  VkLandmarkIndex index(params.getMaxLandmarks());
  const VkClusterFormer former(params);
  std::unique_ptr<VkPairStatsTable, void (*)(VkPairStatsTable*)> stats(new VkPairStatsTable,
                                                                       deletePairStats);
  VkMatchTuning tuning;
  tuning.threads = threads;
  tuning.candidateLimit = candidateLimit;
  tuning.candidateSeen = seen;
  tuning.candidateFraction = params.getMinPercentMatch();
  if (tune) tune(tuning);
  if (forgetHashes)
    tuning.indexBuilt = [fileSet]() {
      for (const auto& kv : fileSet->getFiles())
        if (kv.second != nullptr) kv.second->forgetHashes();
#ifdef __GLIBC__
      // The tables' arrays sit among smaller blocks of the heap, where freed
      // pages stay resident until asked back; the vote buffers that follow are
      // mapped apart and would not reuse them.
      malloc_trim(0);
#endif
    };
  matchPairsInto(index, fileSet, progress, tuning,
                 [&](const VkPairKey& key, VkOffsetHistogram& hist) {
                   JudgedPair judged = judgePair(former, fileSet, key, hist, observe);
                   if (!judged.accepted) return;
                   VkPairStats*& slot = (*stats)[key];
                   slot = new VkPairStats(judged.stats);
                 });
  step(2);
  step(3);
  step(4);

  std::unique_ptr<VkClusterSet, void (*)(VkClusterSet*)> result(
      formClustersOf(former, fileSet, stats.get()), deleteClusters);
  step(5);
  stats.reset();
  index.clear();
  return result.release();
}

uint32_t candidateLimitFor(std::size_t recordings, uint32_t maxLandmarks, std::size_t minPairs) {
  // Fewer pairs: the stage would save little, and small runs stay exactly as they were.
  const std::size_t pairs = recordings < 2 ? 0 : recordings * (recordings - 1) / 2;
  return pairs >= minPairs && pairs > 0 && maxLandmarks > kCandidateLimit ? kCandidateLimit : 0;
}

JudgedPair judgePair(const VkClusterFormer& former, VkFileSet* fileSet, const VkPairKey& key,
                     const VkOffsetHistogram& histogram, const PairObserver& observe) {
  JudgedPair judged;
  judged.stats.idA = key.first;
  judged.stats.idB = key.second;
  measurePair(judged.stats, fileSet, &histogram);
  judged.accepted = former.accepts(judged.stats);
  if (observe) observe(judged.stats, histogram, judged.accepted);
  return judged;
}

VkClusterSet* formClustersOf(const VkClusterFormer& former, VkFileSet* fileSet,
                             VkPairStatsTable* accepted) {
  std::unique_ptr<VkClusterSet, void (*)(VkClusterSet*)> result(
      former.formClusters(fileSet, accepted), deleteClusters);
  for (VkCluster* cluster : *result) {
    for (VkClusterElem* e : *cluster) {
      auto it = fileSet->idToName.find(e->fileId);
      if (it == fileSet->idToName.end()) it = fileSet->idToName.emplace(e->fileId, "").first;
      e->name = it->second;
    }
  }
  return result.release();
}

}  // namespace Velk
