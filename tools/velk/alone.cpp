#include "velktool/alone.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace velktool {

namespace {

std::string number(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

}  // namespace

Level measureLevel(const Recording& recording) {
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
  bool ok = false;
  if (recording.route == Route::Memory && recording.audio)
    ok = Velk::resampleFrames(recording.audio->frames(), recording.audio->sampleRate, opt, sink,
                              error);
  else
    ok = decodeAudio(recording.path, opt, sink, error);
  if (!ok || count == 0) return level;
  level.measured = true;
  level.rmsDb = sum > 0.0 ? 10.0 * std::log10(sum / static_cast<double>(count)) : -INFINITY;
  return level;
}

std::string aloneReason(const MemberResult& member, const Recording& recording, const Level& level,
                        const Velk::VkClusterSyncParams& acceptance, std::size_t recordingCount) {
  if (member.splitOff)
    return "split off after verification: no waveform correlation confirmed its landmark match";
  if (level.measured && level.peak == 0.0) return "silent (digital silence)";
  if (level.measured && level.rmsDb < kNearlySilentDb)
    return "nearly silent (level " + number(level.rmsDb, 1) + " dBFS)";
  const double needed = std::max(Velk::shortestDouble(acceptance.getMinOverlapLength()),
                                 Velk::shortestDouble(acceptance.getMinTemplateLength()));
  if (recording.durationSeconds < needed)
    return "too short (" + number(recording.durationSeconds, 1) +
           " s) for the acceptance settings (a match needs " + number(needed, 1) + " s in common)";
  if (member.landmarks < acceptance.getAcceptThreshold())
    return "too few landmarks (" + std::to_string(member.landmarks) + "; a match needs " +
           std::to_string(acceptance.getAcceptThreshold()) + " in common)";
  if (recordingCount < 2) return "no other recording to match";
  return "matched no other recording";
}

std::map<int32_t, std::string> explainLoners(
    const std::vector<ClusterResult>& clusters, const std::vector<Recording>& recordings,
    const Velk::VkClusterSyncParams& acceptance,
    const std::function<void(std::size_t, std::size_t)>& progress) {
  std::map<int32_t, std::string> reasons;
  std::size_t total = 0, done = 0;
  for (const ClusterResult& c : clusters) total += c.members.size() == 1 ? 1 : 0;
  for (const ClusterResult& c : clusters) {
    if (c.members.size() != 1) continue;
    const MemberResult& m = c.members.front();
    const auto r = std::find_if(recordings.begin(), recordings.end(),
                                [&](const Recording& x) { return x.id == m.id; });
    if (r == recordings.end()) continue;
    // A split-off member's reason does not depend on its level: no need to decode it.
    const Level level = m.splitOff ? Level() : measureLevel(*r);
    reasons[m.id] = aloneReason(m, *r, level, acceptance, recordings.size());
    if (progress) progress(++done, total);
  }
  return reasons;
}

}  // namespace velktool
