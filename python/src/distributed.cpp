// The engine's steps one at a time, for velk.distributed: extraction of one
// recording, votes of one part of the hashes, acceptance of summed histograms,
// cluster formation, refinement of one cluster and the second look's checks.
// Each is the step Synchronizer::run takes, so the pieces give its result.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <optional>
#include <tuple>

#include "cluster/cluster_sync_internal.h"
#include "cluster/match_tuning.h"
#include "engine/alignment.h"
#include "engine/feature_store.h"
#include "engine/recordings.h"
#include "engine/sync_result.h"
#include "engine/sync_steps.h"
#include "run.h"

namespace velkpy {

namespace {

using Velk::ClusterResult;
using Velk::MemberResult;
using Velk::OverlapFit;
using Velk::Recording;
using Velk::RejectedPair;
using Velk::SyncMessage;

template <typename T>
py::array_t<T> toArray(const std::vector<T>& v) {
  py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

template <typename T>
std::vector<T> fromArray(const py::array_t<T, py::array::c_style | py::array::forcecast>& a) {
  return std::vector<T>(a.data(), a.data() + a.size());
}

using Messages = std::vector<std::pair<bool, std::string>>;  // (designed, text)

// A reporter whose messages are kept in order, for the client to replay.
struct Collector {
  Messages lines;
  Velk::MessageHandler messages = [this](const SyncMessage& m) {
    lines.emplace_back(m.kind == Velk::MessageKind::Designed, m.text);
  };
  Velk::ProgressHandler progress;
  Velk::Reporter report{messages, progress};
};

// --- Values that travel between machines, as tuples --------------------------

py::tuple recordingState(const Recording& r) {
  if (r.route == Velk::Route::Memory)
    throw py::value_error(r.path + ": audio in memory does not travel to other machines");
  return py::make_tuple(r.id, r.path, r.fileName, r.name, static_cast<int>(r.route), r.wavReadable,
                        r.sampleRate, r.channels, r.durationSeconds, r.channel);
}

Recording recordingOf(const py::tuple& t) {
  Recording r;
  r.id = t[0].cast<int32_t>();
  r.path = t[1].cast<std::string>();
  r.fileName = t[2].cast<std::string>();
  r.name = t[3].cast<std::string>();
  r.route = static_cast<Velk::Route>(t[4].cast<int>());
  r.wavReadable = t[5].cast<bool>();
  r.sampleRate = t[6].cast<uint32_t>();
  r.channels = t[7].cast<int>();
  r.durationSeconds = t[8].cast<double>();
  r.channel = t[9].cast<int>();
  return r;
}

py::tuple memberState(const MemberResult& m) {
  return py::make_tuple(m.id, m.name, m.path, m.coarse, m.offset, m.refined, m.score, m.agreement,
                        m.anchor, m.driftKnown, m.driftPpm, m.landmarks, m.splitOff);
}

MemberResult memberOf(const py::tuple& t) {
  MemberResult m;
  std::tie(m.id, m.name, m.path, m.coarse, m.offset, m.refined, m.score, m.agreement, m.anchor,
           m.driftKnown, m.driftPpm, m.landmarks, m.splitOff) =
      t.cast<std::tuple<int32_t, std::string, std::string, double, double, bool, float, float,
                        int32_t, bool, double, std::size_t, bool>>();
  return m;
}

py::tuple statsState(const Velk::VkPairStats& s) {
  return py::make_tuple(s.idA, s.idB, s.peakCount, s.overlapLength, s.matchFractionA,
                        s.matchFractionB, s.overlapLandmarksA, s.overlapLandmarksB,
                        s.templateLength, s.histogramMean, s.histogramStdDev, s.peakOffset);
}

Velk::VkPairStats statsOf(const py::tuple& t) {
  Velk::VkPairStats s;
  std::tie(s.idA, s.idB, s.peakCount, s.overlapLength, s.matchFractionA, s.matchFractionB,
           s.overlapLandmarksA, s.overlapLandmarksB, s.templateLength, s.histogramMean,
           s.histogramStdDev, s.peakOffset) =
      t.cast<std::tuple<int32_t, int32_t, float, float, float, float, float, float, float, float,
                        float, float>>();
  return s;
}

void bindValues(py::module_& m) {
  py::class_<Recording>(m, "Recording")
      .def_readonly("id", &Recording::id)
      .def_readonly("path", &Recording::path)
      .def_readonly("name", &Recording::name)
      .def_readonly("duration", &Recording::durationSeconds)
      .def(py::pickle(&recordingState, &recordingOf));
  py::class_<ClusterResult>(m, "Cluster")
      .def_property_readonly("ids",
                             [](const ClusterResult& c) {
                               std::vector<int32_t> ids;
                               for (const MemberResult& x : c.members) ids.push_back(x.id);
                               return ids;
                             })
      .def(py::pickle(
          [](const ClusterResult& c) {
            py::list members;
            for (const MemberResult& x : c.members) members.append(memberState(x));
            return py::make_tuple(members, c.reference);
          },
          [](const py::tuple& t) {
            ClusterResult c;
            for (const py::handle& x : t[0].cast<py::list>())
              c.members.push_back(memberOf(x.cast<py::tuple>()));
            c.reference = t[1].cast<int32_t>();
            return c;
          }));
  py::class_<RejectedPair>(m, "Candidate")
      .def_readonly("a", &RejectedPair::idA)
      .def_readonly("b", &RejectedPair::idB)
      .def(py::pickle(
          [](const RejectedPair& p) {
            return py::make_tuple(p.idA, p.idB, p.lagSeconds, p.votes, p.runnerUp, p.standOut);
          },
          [](const py::tuple& t) {
            RejectedPair p;
            std::tie(p.idA, p.idB, p.lagSeconds, p.votes, p.runnerUp, p.standOut) =
                t.cast<std::tuple<int32_t, int32_t, double, uint32_t, uint32_t, double>>();
            return p;
          }));
  py::class_<OverlapFit>(m, "OverlapFit")
      .def_readonly("confirmed", &OverlapFit::confirmed)
      .def(py::pickle(
          [](const OverlapFit& f) {
            return py::make_tuple(f.windows, f.agreeing, f.confirmed, f.lagSeconds, f.driftPpm,
                                  f.driftKnown, f.score, f.otherScore, f.warning);
          },
          [](const py::tuple& t) {
            OverlapFit f;
            std::tie(f.windows, f.agreeing, f.confirmed, f.lagSeconds, f.driftPpm, f.driftKnown,
                     f.score, f.otherScore, f.warning) =
                t.cast<
                    std::tuple<int, int, bool, double, double, bool, float, float, std::string>>();
            return f;
          }));
}

// --- Steps on the workers -------------------------------------------------------

// One recording's extraction as the engine's extraction of a run does it: the
// recording (its duration and channel now known), its landmarks in frame
// order, its messages, and why it failed (None when it did not).
// With a feature store (the client opened it once, so the settings match),
// the recording is read from it when it holds it unchanged; its count of
// recordings read and extracted is the client's to say, not each task's.
py::tuple extractRecording(const Recording& recording, const VkExtractParams& extract, int channel,
                           const std::string& store) {
  std::vector<Recording> one{recording};
  std::vector<Velk::SkippedFile> failures;
  Collector c;
  std::vector<int32_t> frames;
  std::vector<uint32_t> hashes;
  {
    py::gil_scoped_release release;
    Velk::SyncSettings s =
        settingsOf(extract, VkClusterSyncParams(extract), 1, channel, true, false);
    s.storePath = store;
    std::unique_ptr<Velk::FeatureStore> kept = Velk::openStore(s, c.report);
    std::unique_ptr<Velk::VkFileSet> set(
        Velk::extractRecordings(one, extract, channel, 1, c.report, failures, kept.get()));
    c.lines.erase(std::remove_if(c.lines.begin(), c.lines.end(),
                                 [](const std::pair<bool, std::string>& line) {
                                   return line.second.rfind("feature store: ", 0) == 0;
                                 }),
                  c.lines.end());
    for (const auto& kv : set->getFiles())
      kv.second->forEachLandmark([&](int32_t time, uint32_t hash, int32_t) {
        frames.push_back(time);
        hashes.push_back(hash);
      });
  }
  py::object failure = py::none();
  if (!failures.empty()) failure = py::make_tuple(failures[0].path, failures[0].reason);
  return py::make_tuple(one[0], toArray(frames), toArray(hashes), c.lines, failure);
}

using Column = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;
using Hashes = py::array_t<uint32_t, py::array::c_style | py::array::forcecast>;
// Each recording's (hashes, frames) of one part of the hashes, by recording id.
using Pieces = std::vector<std::pair<int32_t, std::pair<Hashes, Column>>>;

// The index of the pieces' landmarks, each entry with its recording's id.
Velk::VkLandmarkIndex indexOf(const Pieces& pieces, uint32_t maxLandmarks) {
  std::size_t n = 0;
  for (const auto& [id, piece] : pieces) {
    if (piece.first.size() != piece.second.size())
      throw py::value_error("a piece needs one frame per hash");
    n += static_cast<std::size_t>(piece.first.size());
  }
  Velk::VkLandmarkIndex index(maxLandmarks);
  index.entries.reserve(n);
  for (const auto& [id, piece] : pieces)
    for (py::ssize_t i = 0; i < piece.first.size(); ++i)
      index.entries.push_back({piece.first.data()[i], id, piece.second.data()[i]});
  return index;
}

// Matching of the pairs whose smaller id is `group` modulo `groups` only.
Velk::VkMatchTuning tuningOf(int32_t groups, int32_t group) {
  if (groups < 1 || group < 0 || group >= groups)
    throw py::value_error("group must lie in [0, groups)");
  Velk::VkMatchTuning tuning;
  if (groups > 1) tuning.anchorIds = [groups, group](int32_t id) { return id % groups == group; };
  return tuning;
}

// The per-pair histograms of one part of the hashes and one group of pairs, as
// columns: every bin of every pair (ascending pair, then offset).
py::tuple matchPart(const Pieces& pieces, uint32_t maxLandmarks, int32_t groups, int32_t group) {
  std::vector<int32_t> a, b, offset, minA, maxA;
  std::vector<uint32_t> count;
  {
    Velk::VkLandmarkIndex index = indexOf(pieces, maxLandmarks);
    py::gil_scoped_release release;
    std::map<Velk::VkPairKey, Velk::VkOffsetHistogram> pairs;
    Velk::matchIndex(index, nullptr, tuningOf(groups, group),
                     [&pairs](const Velk::VkPairKey& key, Velk::VkOffsetHistogram& h) {
                       pairs[key] = std::move(h);
                     });
    for (const auto& [key, h] : pairs)
      for (const Velk::VkOffsetBin& bin : h) {
        a.push_back(key.first);
        b.push_back(key.second);
        offset.push_back(bin.offset);
        count.push_back(bin.count);
        minA.push_back(bin.minTimeA);
        maxA.push_back(bin.maxTimeA);
      }
  }
  return py::make_tuple(toArray(a), toArray(b), toArray(offset), toArray(count), toArray(minA),
                        toArray(maxA));
}

// A recording's landmark table as far as measuring a pair reads it: how many
// landmarks at each frame.
Velk::VkFile* countsTable(int32_t id, const std::vector<int32_t>& frames,
                          const std::vector<int32_t>& counts) {
  auto file = std::make_unique<Velk::VkFile>(id);
  file->reserve(static_cast<std::size_t>(std::accumulate(counts.begin(), counts.end(), 0LL)));
  for (std::size_t i = 0; i < frames.size() && i < counts.size(); ++i)
    for (int32_t k = 0; k < counts[i]; ++k) file->addLandmark(frames[i], 0);
  file->computeCLF();
  return file.release();
}

// Measures and judges pairs as the run does: the statistics of those accepted
// and, when the run refines, the histogram peaks and the rejected pairs worth a
// second look.
struct Judge {
  Judge(const VkExtractParams& extract, const VkClusterSyncParams& clusterSync, bool refine)
      : s(settingsOf(extract, clusterSync, 1, Velk::kAutoChannel, refine, false)),
        former(Velk::clusteringParams(s)) {}

  void operator()(const Velk::VkPairKey& key, const Velk::VkOffsetHistogram& h) {
    const Velk::PairObserver keep = [&](const Velk::VkPairStats& st,
                                        const Velk::VkOffsetHistogram& hist, bool ok) {
      Velk::notePeaks(st, hist, Velk::clusteringParams(s).getFramesPerSecond(), peaks);
      if (!ok) Velk::keepCandidate(s, files, st, hist, candidates);
    };
    const Velk::JudgedPair judged =
        Velk::judgePair(former, &files, key, h, s.refine ? keep : Velk::PairObserver());
    if (judged.accepted) accepted.push_back(judged.stats);
  }

  py::tuple outcome() const {
    py::list stats;
    for (const Velk::VkPairStats& x : accepted) stats.append(statsState(x));
    return py::make_tuple(stats, candidates, peaks);
  }

  Velk::SyncSettings s;
  Velk::VkClusterFormer former;
  Velk::VkFileSet files;
  std::vector<Velk::VkPairStats> accepted;
  std::vector<RejectedPair> candidates;
  Velk::PeakTable peaks;
};

// Sums the parts' bins of each pair (counts added, A's times widened) and
// judges every pair. tables maps a recording id to its (frames, landmarks per
// frame).
py::tuple judgePairs(const VkExtractParams& extract, const VkClusterSyncParams& clusterSync,
                     bool refine, const py::dict& tables, const Column& a, const Column& b,
                     const Column& offset,
                     const py::array_t<uint32_t, py::array::c_style | py::array::forcecast>& count,
                     const Column& minA, const Column& maxA) {
  Judge judge(extract, clusterSync, refine);
  for (const auto& kv : tables) {
    const auto id = kv.first.cast<int32_t>();
    const auto t = kv.second.cast<py::tuple>();
    judge.files.addFile(countsTable(id, fromArray<int32_t>(t[0].cast<Column>()),
                                    fromArray<int32_t>(t[1].cast<Column>())));
  }
  const auto n = static_cast<std::size_t>(a.size());
  {
    py::gil_scoped_release release;
    const int32_t *pa = a.data(), *pb = b.data(), *po = offset.data();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
      return std::make_tuple(pa[x], pb[x], po[x]) < std::make_tuple(pa[y], pb[y], po[y]);
    });
    Velk::VkOffsetHistogram h;
    for (std::size_t i = 0; i < n;) {
      const Velk::VkPairKey key(pa[order[i]], pb[order[i]]);
      h.clear();
      for (; i < n && pa[order[i]] == key.first && pb[order[i]] == key.second; ++i) {
        const std::size_t k = order[i];
        if (h.empty() || h.back().offset != po[k]) {
          h.push_back({po[k], count.data()[k], minA.data()[k], maxA.data()[k]});
          continue;
        }
        Velk::VkOffsetBin& bin = h.back();
        bin.count += count.data()[k];
        bin.minTimeA = std::min(bin.minTimeA, minA.data()[k]);
        bin.maxTimeA = std::max(bin.maxTimeA, maxA.data()[k]);
      }
      judge(key, h);
    }
  }
  return judge.outcome();
}

// Matching and judging where the landmarks are, when the pieces hold every
// hash: each pair's histogram is whole here, so none travels.
py::tuple matchAndJudge(const VkExtractParams& extract, const VkClusterSyncParams& clusterSync,
                        bool refine, const Pieces& pieces, uint32_t maxLandmarks, int32_t groups,
                        int32_t group) {
  Judge judge(extract, clusterSync, refine);
  Velk::VkLandmarkIndex index = indexOf(pieces, maxLandmarks);
  {
    py::gil_scoped_release release;
    std::map<int32_t, std::vector<int32_t>> frames;
    for (const auto& e : index.entries) frames[e.fileId].push_back(e.time);
    for (auto& [id, f] : frames) {
      auto file = std::make_unique<Velk::VkFile>(id);
      file->reserve(f.size());
      std::sort(f.begin(), f.end());
      for (int32_t t : f) file->addLandmark(t, 0);
      file->computeCLF();
      judge.files.addFile(file.release());
    }
    Velk::matchIndex(
        index, nullptr, tuningOf(groups, group),
        [&judge](const Velk::VkPairKey& key, Velk::VkOffsetHistogram& h) { judge(key, h); });
  }
  return judge.outcome();
}

// One cluster refined as the run refines each of its clusters: the clusters it
// settles into and the messages said on the way.
py::tuple refineCluster(const ClusterResult& cluster, const std::vector<Recording>& members,
                        const Velk::PeakTable& peaks, const VkExtractParams& extract,
                        const VkClusterSyncParams& clusterSync, bool keepUnverified,
                        unsigned threads) {
  const Velk::SyncSettings s =
      settingsOf(extract, clusterSync, threads, Velk::kAutoChannel, true, keepUnverified);
  std::map<int32_t, const Recording*> byId;
  for (const Recording& r : members) byId[r.id] = &r;
  std::vector<ClusterResult> clusters{cluster};
  Collector c;
  {
    py::gil_scoped_release release;
    Velk::refineClusters(clusters, byId, Velk::refineSettingsOf(s, threads), peaks, c.report);
  }
  return py::make_tuple(clusters, c.lines);
}

OverlapFit checkCandidate(const Recording& ra, const Recording& rb, const RejectedPair& candidate,
                          const VkExtractParams& extract, const VkClusterSyncParams& clusterSync,
                          bool keepUnverified) {
  const Velk::SyncSettings s =
      settingsOf(extract, clusterSync, 1, Velk::kAutoChannel, true, keepUnverified);
  py::gil_scoped_release release;
  return Velk::checkCandidate(ra, rb, candidate, Velk::refineSettingsOf(s, 1));
}

// --- The client's side ------------------------------------------------------------

// One distributed run on the client: listing, what extraction learnt, the
// designed clusters, then refinement's and the second look's outcomes, and the
// Run they make (the same as velk.sync's).
class Job {
 public:
  Job(const std::string& folder, const std::vector<std::string>& paths,
      const VkExtractParams& extract, const VkClusterSyncParams& clusterSync, int channel,
      bool refine, bool keepUnverified, const std::string& reference, const std::string& store)
      : run_(std::make_shared<Run>()) {
    Velk::SyncSettings& s = run_->settings;
    s = settingsOf(extract, clusterSync, 0, channel, refine, keepUnverified);
    s.reference = reference;
    s.storePath = store;
    Velk::checkSettings(s);
    std::vector<Input> inputs;
    for (const std::string& p : paths) inputs.push_back({p, nullptr});
    listing_ = listInputs(folder, inputs, extract.getSampleRate());
    for (const std::string& w : listing_.warnings) run_->notes.push_back(w);
    run_->skipped = listing_.skipped;
    for (const Velk::SkippedFile& f : listing_.skipped)
      if (f.problem) run_->notes.push_back("cannot read " + f.path + ": " + f.reason);
    if (!reference.empty()) referenceId_ = Velk::findReference(listing_.recordings, reference);
    // Opened here once, as a run opens it: made or emptied for these settings
    // before the workers share it.
    Collector c;
    storeUsable_ = Velk::openStore(s, c.report) != nullptr;
    say(c.lines);
  }

  // The store the workers share ("" when there is none or it cannot be used).
  std::string store() const { return storeUsable_ ? run_->settings.storePath : ""; }
  uint32_t maxLandmarks() const { return run_->result.maxLandmarks; }

  const std::vector<Recording>& recordings() const { return listing_.recordings; }

  // What extraction said of each recording, in id order: (recording,
  // landmarks, messages, failure).
  void extracted(const py::list& outcomes) {
    for (const py::handle& o : outcomes) {
      const auto t = o.cast<py::tuple>();
      const auto r = t[0].cast<Recording>();
      say(t[2].cast<Messages>());
      if (!t[3].is_none()) {
        const auto f = t[3].cast<std::pair<std::string, std::string>>();
        run_->result.failures.push_back({f.first, f.second, true});
        continue;
      }
      run_->result.recordings.push_back(r);
      landmarks_[r.id] = t[1].cast<std::size_t>();
    }
    run_->result.maxLandmarks =
        Velk::runParams(run_->settings, run_->result.recordings).getMaxLandmarks();
  }

  // Forms the clusters from the accepted pairs' statistics; keeps the
  // candidates of the second look, strongest first.
  void form(const py::list& accepted, std::vector<RejectedPair> candidates) {
    Velk::VkFileSet files;
    for (const Recording& r : run_->result.recordings) {
      files.addFile(new Velk::VkFile(r.id));
      files.idToName[r.id] = r.name;
      files.idToPath[r.id] = r.path;
    }
    if (run_->result.recordings.empty()) return;
    std::unique_ptr<Velk::VkPairStatsTable, void (*)(Velk::VkPairStatsTable*)> table(
        new Velk::VkPairStatsTable, Velk::deletePairStats);
    for (const py::handle& s : accepted) {
      auto stats = std::make_unique<Velk::VkPairStats>(statsOf(s.cast<py::tuple>()));
      Velk::VkPairStats*& slot = (*table)[{stats->idA, stats->idB}];
      delete slot;
      slot = stats.release();
    }
    const Velk::VkClusterFormer former(Velk::clusteringParams(run_->settings));
    std::unique_ptr<Velk::VkClusterSet, void (*)(Velk::VkClusterSet*)> clusters(
        Velk::formClustersOf(former, &files, table.get()), Velk::deleteClusters);
    Collector c;
    run_->result.clusters = Velk::designedClusters(*clusters, files.idToPath, landmarks_, c.report);
    say(c.lines);
    candidates_ = std::move(candidates);
    Velk::rankCandidates(candidates_, Velk::candidateLimit(run_->result.recordings.size()));
  }

  const std::vector<ClusterResult>& clusters() const { return run_->result.clusters; }

  // The refined clusters by designed cluster, with what each said.
  void refined(const py::list& outcomes) {
    std::vector<ClusterResult> settled;
    for (const py::handle& o : outcomes) {
      const auto t = o.cast<py::tuple>();
      for (ClusterResult& part : t[0].cast<std::vector<ClusterResult>>())
        settled.push_back(std::move(part));
      say(t[1].cast<Messages>());
    }
    Velk::sortClusters(settled);
    run_->result.clusters = std::move(settled);
  }

  // The candidates the second look checks: (index, candidate).
  std::vector<std::pair<std::size_t, RejectedPair>> toCheck() const {
    const std::vector<bool> apart = Velk::candidatesApart(run_->result.clusters, candidates_);
    std::vector<std::pair<std::size_t, RejectedPair>> out;
    for (std::size_t i = 0; i < candidates_.size(); ++i)
      if (apart[i]) out.emplace_back(i, candidates_[i]);
    return out;
  }

  void joined(const std::map<std::size_t, OverlapFit>& checked) {
    std::vector<OverlapFit> fits(candidates_.size());
    for (const auto& [i, fit] : checked)
      if (i < fits.size()) fits[i] = fit;
    Collector c;
    Velk::joinFitted(run_->result.clusters, candidates_, fits, c.report);
    say(c.lines);
  }

  std::shared_ptr<Run> finish() {
    Velk::SyncResult& result = run_->result;
    if (referenceId_ != 0) {
      Collector c;
      Velk::followReference(result.clusters, referenceId_, run_->settings.reference, c.report);
      say(c.lines);
    }
    if (run_->settings.refine) {
      Collector c;
      Velk::placeParts(result.clusters, c.report);
      say(c.lines);
    }
    std::map<int32_t, const Velk::Recording*> byId;
    for (const Velk::Recording& r : result.recordings) byId[r.id] = &r;
    Collector loners;
    Velk::explainLoners(result.clusters, byId, Velk::clusteringParams(run_->settings, result),
                        loners.report);
    for (const Velk::SkippedFile& f : result.failures) {
      run_->skipped.push_back(f);
      run_->notes.push_back("cannot read " + f.path + ": " + f.reason);
    }
    return run_;
  }

 private:
  void say(const Messages& lines) {
    for (const auto& [designed, text] : lines)
      (designed ? run_->designed : run_->notes).push_back(text);
  }

  std::shared_ptr<Run> run_;
  Velk::Listing listing_;
  std::map<int32_t, std::size_t> landmarks_;
  std::vector<RejectedPair> candidates_;
  int32_t referenceId_ = 0;
  bool storeUsable_ = false;
};

}  // namespace

void bindDistributed(py::module_& m) {
  bindValues(m);
  m.def("extract_recording", &extractRecording, py::arg("recording"), py::arg("extract"),
        py::arg("channel"), py::arg("store") = "");
  m.def("match_part", &matchPart, py::arg("pieces"), py::arg("max_landmarks"), py::arg("groups"),
        py::arg("group"));
  m.def("match_and_judge", &matchAndJudge, py::arg("extract"), py::arg("cluster_sync"),
        py::arg("refine"), py::arg("pieces"), py::arg("max_landmarks"), py::arg("groups"),
        py::arg("group"));
  m.def("judge_pairs", &judgePairs, py::arg("extract"), py::arg("cluster_sync"), py::arg("refine"),
        py::arg("tables"), py::arg("a"), py::arg("b"), py::arg("offset"), py::arg("count"),
        py::arg("min_a"), py::arg("max_a"));
  m.def("refine_cluster", &refineCluster, py::arg("cluster"), py::arg("members"), py::arg("peaks"),
        py::arg("extract"), py::arg("cluster_sync"), py::arg("keep_unverified"),
        py::arg("threads") = 1);
  m.def("check_candidate", &checkCandidate, py::arg("a"), py::arg("b"), py::arg("candidate"),
        py::arg("extract"), py::arg("cluster_sync"), py::arg("keep_unverified"));
  py::class_<Job>(m, "Job")
      .def(py::init<const std::string&, const std::vector<std::string>&, const VkExtractParams&,
                    const VkClusterSyncParams&, int, bool, bool, const std::string&,
                    const std::string&>(),
           py::arg("folder"), py::arg("paths"), py::arg("extract"), py::arg("cluster_sync"),
           py::arg("channel"), py::arg("refine"), py::arg("keep_unverified"), py::arg("reference"),
           py::arg("store"))
      .def_property_readonly("recordings", &Job::recordings)
      .def_property_readonly("store", &Job::store)
      .def_property_readonly("max_landmarks", &Job::maxLandmarks)
      .def("extracted", &Job::extracted)
      .def("form", &Job::form)
      .def_property_readonly("clusters", &Job::clusters)
      .def("refined", &Job::refined)
      .def("to_check", &Job::toCheck)
      .def("joined", &Job::joined)
      .def("finish", &Job::finish);
}

}  // namespace velkpy
