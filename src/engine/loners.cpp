#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/sync_steps.h"
#include "velk/media.h"

namespace Velk {

namespace {

// Below this RMS level (dBFS) a recording counts as nearly silent: room tone
// and hiss leave the landmarks nothing to hold on to.
constexpr double kNearlySilentDb = -50.0;

struct Level {
  bool measured = false;
  double peak = 0.0;   // largest absolute sample, 0..1
  double rmsDb = 0.0;  // -inf for digital silence
};

std::string number(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// The level of the channel refinement reads, at the recording's own rate: from
// the audio extraction kept when there is some, so the file is not opened again.
Level measureLevel(const Recording& r) {
  Level level;
  double sum = 0.0;
  uint64_t count = 0;
  DecodeOptions opt;
  opt.channels = 1;
  std::string error;
  auto sink = [&](const float* frames, std::size_t n, int) {
    for (std::size_t i = 0; i < n; ++i) {
      const double v = frames[i];
      level.peak = std::max(level.peak, std::fabs(v));
      sum += v * v;
    }
    count += n;
    return true;
  };
  const bool ok = r.route == Route::Memory && r.audio
                      ? resampleFrames(r.audio->frames(), r.audio->sampleRate, opt, sink, error)
                      : decodeAudio(r.path, opt, sink, error);
  if (!ok || count == 0) return level;
  level.measured = true;
  level.rmsDb = sum > 0.0 ? 10.0 * std::log10(sum / static_cast<double>(count)) : -INFINITY;
  return level;
}

std::string reasonAlone(const MemberResult& member, const Recording& recording,
                        const VkClusterSyncParams& acceptance, std::size_t recordingCount) {
  if (member.splitOff)
    return "split off after verification: no waveform correlation confirmed its landmark match";
  const Level level = measureLevel(recording);
  if (level.measured && level.peak == 0.0) return "silent (digital silence)";
  if (level.measured && level.rmsDb < kNearlySilentDb)
    return "nearly silent (level " + number(level.rmsDb, 1) + " dBFS)";
  const double needed = std::max(shortestDouble(acceptance.getMinOverlapLength()),
                                 shortestDouble(acceptance.getMinTemplateLength()));
  if (recording.durationSeconds < needed)
    return "too short (" + number(recording.durationSeconds, 1) +
           " s) for the acceptance settings (a match needs " + number(needed, 1) + " s in common)";
  if (member.landmarks < acceptance.getAcceptThreshold())
    return "too few landmarks (" + std::to_string(member.landmarks) + "; a match needs " +
           std::to_string(acceptance.getAcceptThreshold()) + " in common)";
  if (recordingCount < 2) return "no other recording to match";
  return "matched no other recording";
}

}  // namespace

void explainLoners(std::vector<ClusterResult>& clusters,
                   const std::map<int32_t, const Recording*>& byId,
                   const VkClusterSyncParams& acceptance, const Reporter& report) {
  std::size_t total = 0, done = 0;
  for (const ClusterResult& c : clusters) total += c.members.size() == 1 ? 1 : 0;
  for (ClusterResult& c : clusters) {
    if (c.members.size() != 1) continue;
    MemberResult& m = c.members.front();
    const auto r = byId.find(m.id);
    if (r == byId.end()) continue;
    m.alone = reasonAlone(m, *r->second, acceptance, byId.size());
    ++done;
    report.progress("explaining", static_cast<double>(done) / static_cast<double>(total),
                    "lone recording " + std::to_string(done) + "/" + std::to_string(total));
  }
}

}  // namespace Velk
