// The engine's one entry point: extraction, the designed clustering, then
// refinement, each step reporting through the caller's handlers.
#include <algorithm>
#include <cmath>
#include <functional>
#include <iomanip>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "cluster/cluster_sync_internal.h"
#include "engine/alignment.h"
#include "engine/incremental.h"
#include "engine/kept_audio.h"
#include "engine/recordings.h"
#include "engine/reporter.h"
#include "engine/second_look.h"
#include "engine/sync_result.h"
#include "engine/sync_steps.h"
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

// r as refinement reads it: its analysed channel from the kept audio, which
// holds the same samples the file decodes to.
Recording keptRecording(const Recording& r, std::shared_ptr<const MemoryAudio> audio) {
  if (!audio) return r;
  Recording k = r;
  k.route = Route::Memory;
  k.wavReadable = false;
  if (audio->channels == 1) k.channel = 0;
  k.audio = std::move(audio);
  return k;
}

}  // namespace

void checkSettings(const SyncSettings& s) {
  const VkExtractParams& e = s.extract;
  if (e.getHopSize() > e.getFftSize())
    throw std::invalid_argument("the hop size (" + std::to_string(e.getHopSize()) +
                                ") must not exceed the FFT size (" +
                                std::to_string(e.getFftSize()) + ")");
}

unsigned threadsOf(const SyncSettings& s) {
  return s.threads != 0 ? s.threads : std::max(1u, std::thread::hardware_concurrency());
}

std::vector<ClusterResult> designedClusters(const VkClusterSet& clusters,
                                            const std::map<int32_t, std::string>& idToPath,
                                            const std::map<int32_t, std::size_t>& landmarks,
                                            const Reporter& report) {
  reportClusters(clusters, report);
  std::vector<ClusterResult> out = orderClusters(clusters, idToPath);
  for (ClusterResult& c : out)
    for (MemberResult& m : c.members) {
      const auto n = landmarks.find(m.id);
      if (n != landmarks.end()) m.landmarks = n->second;
    }
  return out;
}

void keepCandidate(const SyncSettings& s, const VkFileSet& files, const VkPairStats& stats,
                   const VkOffsetHistogram& histogram, std::vector<RejectedPair>& candidates) {
  considerRejected(stats, histogram, clusteringParams(s).getFramesPerSecond(), files, candidates);
}

RefineSettings refineSettingsOf(const SyncSettings& s, unsigned threads) {
  RefineSettings refine = s.refinement;
  // Three hops each way covers the landmark offsets' error with room to spare.
  const VkExtractParams& e = s.extract;
  refine.searchSeconds = 3.0 * e.getHopSize() / e.getSampleRate();
  refine.threads = threads;
  return refine;
}

// The cluster holding the chosen reference follows its clock; the others keep
// their earliest member at 0.
void followReference(std::vector<ClusterResult>& clusters, int32_t id, const std::string& asked,
                     const Reporter& report) {
  for (ClusterResult& c : clusters)
    for (const MemberResult& m : c.members) {
      if (m.id != id) continue;
      if (c.members.size() == 1)
        report.note("the reference " + m.name +
                    " matches no other recording: alone, it is at 0 as it would be anyway");
      rebaseCluster(c, m, m.coarse);
      return;
    }
  report.warning("the reference " + asked +
                 " could not be read; every cluster keeps its earliest member at 0");
}

// The feature store the settings name, or null (with a warning) when it cannot be used.
std::unique_ptr<FeatureStore> openStore(const SyncSettings& settings, const Reporter& report) {
  if (settings.storePath.empty()) return nullptr;
  std::string note, error;
  std::unique_ptr<FeatureStore> store =
      FeatureStore::open(settings.storePath, settings.extract, settings.channel, note, error);
  if (!store)
    report.warning("the feature store " + settings.storePath + " cannot be used (" + error +
                   "); every recording is extracted");
  else if (!note.empty())
    report.note("the feature store " + settings.storePath + ": " + note);
  return store;
}

// The clustering's settings; with the corpus limit, the popular-hash limit
// grows with the hours of audio.
VkClusterSyncParams runParams(const SyncSettings& settings,
                              const std::vector<Recording>& recordings) {
  VkClusterSyncParams params = clusteringParams(settings);
  if (settings.corpusLimit) {
    double seconds = 0.0;
    for (const Recording& r : recordings) seconds += r.durationSeconds;
    params.setMaxLandmarks(
        std::max(params.getMaxLandmarks(), maxLandmarksForCorpus(seconds / 3600.0)));
  }
  return params;
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

namespace {

// The designed clustering of the extracted files, as ordered clusters with
// each member's landmark count. With refinement on, the pairs the acceptance
// test turned down go to rejected for the second look.
// With a store, only what changed since its last run is matched.
std::vector<ClusterResult> clusterFiles(VkFileSet& files, const VkClusterSyncParams& params,
                                        const SyncSettings& settings, FeatureStore* store,
                                        const Reporter& report, std::vector<RejectedPair>& rejected,
                                        PeakTable& peaks) {
  ClusterSteps steps(report);
  VkProgress* progress = report.wantsProgress() ? &steps : nullptr;
  std::unique_ptr<VkClusterSet, void (*)(VkClusterSet*)> clusters(nullptr, deleteClusters);
  if (store != nullptr) {
    std::string note;
    clusters.reset(clusterWithStore(
        params, settings.refine, files, *store, progress,
        [&](const PairOutcome& o) {
          if (o.candidate) rejected.push_back(o.rejected);
          if (!o.lags.empty()) peaks[{o.stats.idA, o.stats.idB}] = o.lags;
        },
        note, threadsOf(settings)));
    report.note(note);
  } else {
    const PairObserver lookAtRejected = [&](const VkPairStats& s, const VkOffsetHistogram& h,
                                            bool accepted) {
      notePeaks(s, h, params.getFramesPerSecond(), peaks);
      if (!accepted) keepCandidate(settings, files, s, h, rejected);
    };
    // Only counts are read after matching: the hashes go once the index holds them.
    // Large runs vote in full only the pairs the rarer hashes single out.
    clusters.reset(runClusterSync(
        params, &files, progress, settings.refine ? lookAtRejected : PairObserver(), true,
        threadsOf(settings), candidateLimitFor(files.getFiles().size(), params.getMaxLandmarks())));
  }
  std::map<int32_t, std::size_t> landmarks;
  for (const auto& kv : files.getFiles()) landmarks[kv.first] = kv.second->getLandmarkCount();
  return designedClusters(*clusters, files.idToPath, landmarks, report);
}

// Refines every cluster, then joins the rejected pairs the waveforms confirm.
// False when the stop check ended the run in between.
bool refineAndJoin(SyncResult& result, const std::map<int32_t, const Recording*>& byId,
                   std::vector<RejectedPair>& rejected, const PeakTable& peaks,
                   const SyncSettings& settings, unsigned threads, const Reporter& report,
                   const std::function<bool()>& stopped) {
  const RefineSettings refine = refineSettingsOf(settings, threads);
  std::map<int32_t, std::size_t> designedCluster;
  for (std::size_t c = 0; c < result.clusters.size(); ++c)
    for (const MemberResult& m : result.clusters[c].members) designedCluster[m.id] = c;
  refineClusters(result.clusters, byId, refine, peaks, report);
  if (stopped()) return false;
  // What refinement split from one cluster it weighed against the whole
  // cluster (sound shared with another event shows only there): one pair's
  // agreement does not join it again.
  rejected.erase(std::remove_if(rejected.begin(), rejected.end(),
                                [&](const RejectedPair& p) {
                                  const auto a = designedCluster.find(p.idA);
                                  const auto b = designedCluster.find(p.idB);
                                  return a != designedCluster.end() && b != designedCluster.end() &&
                                         a->second == b->second;
                                }),
                 rejected.end());
  rankCandidates(rejected, candidateLimit(result.recordings.size()));
  joinConfirmed(result.clusters, rejected, byId, refine, report);
  return true;
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

VkClusterSyncParams clusteringParams(const SyncSettings& s, const SyncResult& result) {
  VkClusterSyncParams p = clusteringParams(s);
  if (result.maxLandmarks != 0) p.setMaxLandmarks(result.maxLandmarks);
  return p;
}

Synchronizer::Synchronizer(SyncSettings settings) : settings_(std::move(settings)) {}

SyncResult Synchronizer::run(std::vector<Recording> recordings) const {
  checkSettings(settings_);
  for (std::size_t i = 0; i < recordings.size(); ++i)
    if (recordings[i].id == 0) recordings[i].id = static_cast<int32_t>(i + 1);
  const int32_t referenceId =
      settings_.reference.empty() ? 0 : findReference(recordings, settings_.reference);
  const Reporter report(messages_, progress_, stop_);
  const unsigned threads = threadsOf(settings_);

  SyncResult result;
  // A stopped run answers nothing but that it stopped: a part of a result
  // would read as a whole one.
  auto stopped = [&report, &result]() {
    if (!report.stopped()) return false;
    result = SyncResult();
    result.stopped = true;
    return true;
  };
  std::unique_ptr<FeatureStore> store = openStore(settings_, report);
  // Each file is opened and decoded once: what refinement reads is kept then.
  AudioKeeper keeper(settings_.refine ? settings_.keptAudioBytes : 0);
  std::vector<std::shared_ptr<const MemoryAudio>> kept;
  std::unique_ptr<VkFileSet> files(extractRecordings(recordings, settings_.extract,
                                                     settings_.channel, threads, report,
                                                     result.failures, store.get(), &keeper, &kept));
  if (stopped()) return result;
  // Refinement's view of the recordings: the kept audio stands in for the files.
  std::vector<Recording> readable;
  for (std::size_t i = 0; i < recordings.size(); ++i) {
    if (files->getFiles().count(recordings[i].id) == 0) continue;
    result.recordings.push_back(recordings[i]);
    readable.push_back(keptRecording(recordings[i], kept[i]));
  }
  kept.clear();
  std::map<int32_t, const Recording*> byId;
  for (const Recording& r : readable) byId[r.id] = &r;
  if (result.recordings.empty()) return result;

  const VkClusterSyncParams params = runParams(settings_, result.recordings);
  result.maxLandmarks = params.getMaxLandmarks();
  std::vector<RejectedPair> rejected;
  PeakTable peaks;
  result.clusters = clusterFiles(*files, params, settings_, store.get(), report, rejected, peaks);
  store.reset();
  files.reset();
  if (stopped()) return result;
  if (settings_.refine &&
      !refineAndJoin(result, byId, rejected, peaks, settings_, threads, report, stopped))
    return result;
  if (referenceId != 0) followReference(result.clusters, referenceId, settings_.reference, report);
  // Parts are placed last, on the clock the cluster ends up following.
  if (settings_.refine) placeParts(result.clusters, report);
  explainLoners(result.clusters, byId, params, report);
  stopped();
  return result;
}

}  // namespace Velk
