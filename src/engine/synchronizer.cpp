// The engine's one entry point: extraction, the designed clustering, then
// refinement, each step reporting through the caller's handlers.
#include <algorithm>
#include <cmath>
#include <iomanip>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "cluster/cluster_sync_internal.h"
#include "engine/alignment.h"
#include "engine/recordings.h"
#include "engine/reporter.h"
#include "engine/second_look.h"
#include "engine/sync_result.h"
#include "velk/cluster.h"
#include "velk/sync.h"

namespace Velk {

namespace {

const char* stepName(int32_t step) {
  switch (step) {
    case 0:
      return "counting landmarks";
    case 1:
      return "matching pairs";
    case 2:
      return "verifying matches";
    case 3:
    case 4:
      return "forming clusters";
    default:
      return "naming members";
  }
}

// The designed progress calls as the engine's: the fraction of the whole
// clustering, and the step's name with its own fraction.
class ClusterSteps final : public VkProgress {
 public:
  explicit ClusterSteps(const Reporter& report) : report_(report) {}
  void setStep(int32_t step) override {
    step_ = step;
    lastPercent_ = -1;
    report_.progress("clustering", step / 5.0,
                     "step " + std::to_string(step) + "/5, " + stepName(step));
  }
  void setFraction(float fraction) override {
    const int percent = static_cast<int>(std::floor(fraction * 100.0f));
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    report_.progress("clustering", (step_ + std::min(1.0f, fraction)) / 5.0,
                     "step " + std::to_string(step_) + "/5, " + stepName(step_) + " " +
                         std::to_string(percent) + "%");
  }

 private:
  const Reporter& report_;
  int32_t step_ = 0;
  int lastPercent_ = -1;
};

// What printClusters writes, line by line, for the caller's handler.
void reportClusters(const VkClusterSet& clusters, const Reporter& report) {
  for (const VkCluster* cluster : clusters) {
    report.designed("CLUSTER");
    for (const VkClusterElem* e : *cluster) {
      std::ostringstream line;
      line << "name: " << e->name << " offset:" << e->offset;
      report.designed(line.str());
    }
  }
}

// Each part where its member's final placement puts it, and a note: a
// recording in parts is not one placement.
void placeParts(std::vector<ClusterResult>& clusters, const Reporter& report) {
  for (ClusterResult& c : clusters)
    for (MemberResult& m : c.members) {
      if (m.parts.size() < 2) {
        m.parts.clear();
        continue;
      }
      const double rate = 1.0 + (m.driftKnown ? m.driftPpm * 1e-6 : 0.0);
      std::ostringstream text;
      text << std::fixed << std::setprecision(3) << m.name << " is in " << m.parts.size()
           << " parts (paused or cut):";
      for (MemberPart& p : m.parts) {
        p.offset = m.offset + p.fileSeconds * rate + p.gapSeconds;
        text << (&p == &m.parts.front() ? " " : "; ") << "from " << p.fileSeconds << " s at "
             << p.offset << " s";
      }
      report.note(text.str() + " (its offset is the first part's)");
    }
}

void checkSettings(const SyncSettings& s) {
  const VkExtractParams& e = s.extract;
  if (e.getHopSize() > e.getFftSize())
    throw std::invalid_argument("the hop size (" + std::to_string(e.getHopSize()) +
                                ") must not exceed the FFT size (" +
                                std::to_string(e.getFftSize()) + ")");
}

}  // namespace

// The clustering takes its hop and rate from the extraction settings, whatever
// record the acceptance settings came in.
VkClusterSyncParams clusteringParams(const SyncSettings& s) {
  VkClusterSyncParams p(s.extract);
  p.setMinPercentMatch(s.clusterSync.getMinPercentMatch());
  p.setMinOverlapLength(s.clusterSync.getMinOverlapLength());
  p.setMinTemplateLength(s.clusterSync.getMinTemplateLength());
  p.setMaxLandmarks(s.clusterSync.getMaxLandmarks());
  p.setAcceptThreshold(s.clusterSync.getAcceptThreshold());
  return p;
}

Synchronizer::Synchronizer(SyncSettings settings) : settings_(std::move(settings)) {}

SyncResult Synchronizer::run(std::vector<Recording> recordings) const {
  checkSettings(settings_);
  for (std::size_t i = 0; i < recordings.size(); ++i)
    if (recordings[i].id == 0) recordings[i].id = static_cast<int32_t>(i + 1);
  const Reporter report(messages_, progress_, stop_);
  const unsigned threads = settings_.threads != 0
                               ? settings_.threads
                               : std::max(1u, std::thread::hardware_concurrency());

  SyncResult result;
  // A stopped run answers nothing but that it stopped: a part of a result
  // would read as a whole one.
  auto stopped = [&report, &result]() {
    if (!report.stopped()) return false;
    result = SyncResult();
    result.stopped = true;
    return true;
  };
  std::unique_ptr<VkFileSet> files(extractRecordings(
      recordings, settings_.extract, settings_.channel, threads, report, result.failures));
  if (stopped()) return result;
  std::map<int32_t, const Recording*> byId;
  for (const Recording& r : recordings)
    if (files->getFiles().count(r.id) != 0) result.recordings.push_back(r);
  for (const Recording& r : result.recordings) byId[r.id] = &r;
  if (result.recordings.empty()) return result;

  ClusterSteps steps(report);
  const VkClusterSyncParams params = clusteringParams(settings_);
  std::vector<RejectedPair> rejected;
  PeakTable peaks;
  const PairObserver lookAtRejected = [&](const VkPairStats& s, const VkOffsetHistogram& h,
                                          bool accepted) {
    notePeaks(s, h, params.getFramesPerSecond(), peaks);
    if (!accepted) considerRejected(s, h, params.getFramesPerSecond(), rejected);
  };
  std::unique_ptr<VkClusterSet, void (*)(VkClusterSet*)> clusters(
      runClusterSync(params, files.get(), report.wantsProgress() ? &steps : nullptr,
                     settings_.refine ? lookAtRejected : PairObserver()),
      deleteClusters);
  reportClusters(*clusters, report);
  result.clusters = orderClusters(*clusters, files->idToPath);
  for (ClusterResult& c : result.clusters)
    for (MemberResult& m : c.members) {
      const auto file = files->getFiles().find(m.id);
      if (file != files->getFiles().end()) m.landmarks = file->second->getLandmarkCount();
    }
  clusters.reset();
  files.reset();
  if (stopped()) return result;

  if (settings_.refine) {
    RefineSettings refine = settings_.refinement;
    // Three hops each way covers the landmark offsets' error with room to spare.
    const VkExtractParams& e = settings_.extract;
    refine.searchSeconds = 3.0 * e.getHopSize() / e.getSampleRate();
    refine.threads = threads;
    refineClusters(result.clusters, byId, refine, peaks, report);
    if (stopped()) return result;
    // A bounded number of waveform checks, however many recordings.
    rankCandidates(rejected, std::max<std::size_t>(64, 4 * result.recordings.size()));
    joinConfirmed(result.clusters, rejected, byId, refine, report);
    placeParts(result.clusters, report);
  }
  stopped();
  return result;
}

}  // namespace Velk
