// Why a recording ended in a cluster of its own, from what the engine's
// result says about it and, for silence, its level.
#ifndef VELK_TOOL_ALONE_H
#define VELK_TOOL_ALONE_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "velk/sync.h"
#include "velktool/types.h"

namespace velktool {

// Below this RMS level (dBFS) a recording counts as nearly silent: room tone
// and hiss leave the landmarks nothing to hold on to.
constexpr double kNearlySilentDb = -50.0;

struct Level {
  bool measured = false;
  double peak = 0.0;   // largest absolute sample, 0..1
  double rmsDb = 0.0;  // -inf for digital silence
};

// The first channel's level, at the recording's own rate.
Level measureLevel(const Recording& recording);

// The reason for one lone member, given its recording's facts.
std::string aloneReason(const MemberResult& member, const Recording& recording, const Level& level,
                        const Velk::VkClusterSyncParams& acceptance, std::size_t recordingCount);

// Reasons by id for every member of a cluster of one; progress(done, total)
// after each recording whose level was measured.
std::map<int32_t, std::string> explainLoners(
    const std::vector<ClusterResult>& clusters, const std::vector<Recording>& recordings,
    const Velk::VkClusterSyncParams& acceptance,
    const std::function<void(std::size_t, std::size_t)>& progress = {});

}  // namespace velktool

#endif
