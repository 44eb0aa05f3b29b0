// The steps Synchronizer::run is made of, for callers that run them apart (on
// other machines, recording by recording, cluster by cluster): each step here
// is the one run itself takes, so the pieces give run's result.
#ifndef VELK_ENGINE_SYNC_STEPS_H
#define VELK_ENGINE_SYNC_STEPS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/feature_store.h"
#include "engine/reporter.h"
#include "engine/second_look.h"
#include "velk/cluster.h"
#include "velk/sync.h"

namespace Velk {

// Throws std::invalid_argument for settings that cannot run.
void checkSettings(const SyncSettings& settings);
unsigned threadsOf(const SyncSettings& settings);

// The clustering's parameters for these recordings (extracted: their
// durations known), the popular-hash limit grown with their hours when the
// settings ask for it.
VkClusterSyncParams runParams(const SyncSettings& settings,
                              const std::vector<Recording>& recordings);

// The engine's clusters from the designed ones: the CLUSTER lines reported,
// ordered by smallest member id, each member with its landmark count.
std::vector<ClusterResult> designedClusters(const VkClusterSet& clusters,
                                            const std::map<int32_t, std::string>& idToPath,
                                            const std::map<int32_t, std::size_t>& landmarks,
                                            const Reporter& report);

// Keeps the rejected pairs worth a second look; the pair's statistics and
// histogram are those the acceptance test saw, files the tables it matched.
void keepCandidate(const SyncSettings& settings, const VkFileSet& files, const VkPairStats& stats,
                   const VkOffsetHistogram& histogram, std::vector<RejectedPair>& candidates);

// The run's feature store (null without one, or when it cannot be used: said).
std::unique_ptr<FeatureStore> openStore(const SyncSettings& settings, const Reporter& report);

// Refinement's settings in a run with these settings.
RefineSettings refineSettingsOf(const SyncSettings& settings, unsigned threads);

// The cluster holding recording id (the reference the caller asked for) follows
// its clock; the others keep their earliest member at 0.
void followReference(std::vector<ClusterResult>& clusters, int32_t id, const std::string& asked,
                     const Reporter& report);

// Each part of a recording in parts where its member's final placement puts
// it, and a note saying so; other members lose their parts.
void placeParts(std::vector<ClusterResult>& clusters, const Reporter& report);

// Sets MemberResult::alone for every member of a cluster of one, from byId's
// recordings (their level read as refinement reads them: kept audio is not
// opened again) and the acceptance settings clustering used.
void explainLoners(std::vector<ClusterResult>& clusters,
                   const std::map<int32_t, const Recording*>& byId,
                   const VkClusterSyncParams& acceptance, const Reporter& report);

}  // namespace Velk

#endif
