// Clustering of an archive kept in a feature store, matching only what can
// have changed since the store's last run: the new recordings against all,
// and stored pairs whose votes changed (when they can only have lost votes,
// only those with an outcome or near one). Every other pair keeps its stored
// outcome, so the result is that of matching every pair.
#ifndef VELK_ENGINE_INCREMENTAL_H
#define VELK_ENGINE_INCREMENTAL_H

#include <functional>
#include <string>
#include <vector>

#include "cluster/cluster_sync_internal.h"
#include "engine/feature_store.h"
#include "engine/second_look.h"
#include "velk/cluster.h"
#include "velk/cluster_stages.h"

namespace Velk {

// What a run takes from a pair's histogram: its measurements, the acceptance
// test's answer and what the second look keeps of it.
struct PairOutcome {
  VkPairStats stats;  // histogram left null
  bool accepted = false;
  bool candidate = false;  // a rejected pair worth a second look, as rejected
  RejectedPair rejected;
  std::vector<double> lags;  // the pair's peaks, when notePeaks keeps them
};

// Whether a pair without an outcome, with histogram h, could gain one by
// losing votes (no bin rises): false when no bin could pass acceptance as the
// peak and no window of bins reaches the second look's bars.
bool mayGainOutcome(const VkClusterFormer& former, VkFileSet* files, const VkPairKey& key,
                    const VkOffsetHistogram& h, bool secondLook);

// VkClusterSync's clusters of files (owned by the caller, freed with
// deleteClusters), with the outcome of every pair that has one handed to take;
// what the second look keeps of a pair only with secondLook.
// The store's pair state is used when it can give the exact result, and is
// renewed; note says what was matched and why. A full match votes on threads.
// Runs of at least candidatePairs pairs vote candidates first, and keep only
// those: their re-runs screen new recordings the same way.
VkClusterSet* clusterWithStore(const VkClusterSyncParams& params, bool secondLook, VkFileSet& files,
                               FeatureStore& store, VkProgress* progress,
                               const std::function<void(const PairOutcome&)>& take,
                               std::string& note, unsigned threads = 1,
                               std::size_t candidatePairs = kCandidatePairs);

}  // namespace Velk

#endif
