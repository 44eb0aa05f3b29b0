#include "velktool/export_adapter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "velk/media.h"
#include "velktool/fsutil.h"
#include "velktool/messages.h"
#include "velktool/sync_output.h"

namespace fs = std::filesystem;

namespace velktool {

namespace {

// The member whose clock the others were placed on.
const MemberResult* referenceOf(const ClusterResult& c) {
  for (const MemberResult& m : c.members)
    if (m.id == c.reference) return &m;
  return c.members.empty() ? nullptr : &c.members.front();
}

struct TruthPlace {
  std::size_t cluster = 0;
  const TruthRecording* rec = nullptr;
};

// Whether the truth puts m with other recordings than the result does, or
// somewhere else than 0.1 s from where the result puts it against reference.
bool truthDisagrees(const ClusterResult& c, const MemberResult& m, const MemberResult& reference,
                    const std::map<std::string, TruthPlace>& truth,
                    const std::map<std::string, std::size_t>& resultCluster) {
  const auto own = truth.find(m.name);
  if (own == truth.end()) return false;
  bool partnerInTruth = false, partnerOutside = true;
  for (const MemberResult& o : c.members) {
    const auto t = truth.find(o.name);
    if (o.id == m.id || t == truth.end()) continue;
    partnerInTruth = true;
    if (t->second.cluster == own->second.cluster) partnerOutside = false;
  }
  if (partnerInTruth && partnerOutside) return true;
  if (!partnerInTruth) {  // alone here: does the truth join it with a synced recording?
    for (const auto& kv : truth)
      if (kv.first != m.name && kv.second.cluster == own->second.cluster &&
          resultCluster.count(kv.first) != 0)
        return true;
    return false;
  }
  const auto ref = truth.find(reference.name);
  if (ref == truth.end() || ref->second.cluster != own->second.cluster ||
      !own->second.rec->hasOffset || !ref->second.rec->hasOffset)
    return false;
  const double expected = own->second.rec->offset - ref->second.rec->offset;
  return std::fabs((m.offset - reference.offset) - expected) > 0.1;
}

// A video's frame rate and size, for the editors' timelines.
void addVideo(ExportMember& x, const Recording& r) {
  if (r.route != Route::Media) return;
  Velk::MediaInfo info;
  std::string ignored;
  if (Velk::probeMedia(r.path, info, ignored) && info.hasVideo) {
    x.hasVideo = true;
    x.videoRate = {info.frameRateNum, info.frameRateDen};
    x.width = info.width;
    x.height = info.height;
  }
}

// What placed the member: the member it was correlated with, or that it was not verified.
std::string memberNotes(const MemberResult& m, const ClusterResult& c, bool refined) {
  std::string notes;
  if (m.anchor != 0) {
    for (const MemberResult& a : c.members)
      if (a.id == m.anchor) {
        char score[32];
        std::snprintf(score, sizeof score, "%.1f", m.score);
        notes = "correlated with " + a.name + " (score " + score + ")";
      }
  } else if (refined && !m.refined && c.members.size() > 1) {
    notes = "not verified: landmark offset";
  }
  return notes;
}

// m's facts on a timeline that starts at earliest.
ExportMember exportMember(const MemberResult& m, const Recording& r, const ClusterResult& c,
                          bool refined, double earliest) {
  ExportMember x;
  x.id = m.id;
  x.name = m.name;
  x.path = fs::absolute(r.path).lexically_normal().string();
  x.offset = m.offset - earliest;
  x.sampleRate = r.sampleRate;
  x.channels = r.channels;
  x.durationSeconds = r.durationSeconds;
  addVideo(x, r);
  x.driftKnown = m.driftKnown;
  x.driftPpm = m.driftPpm;
  x.refined = refined;
  x.verified = m.refined;
  x.confidence = m.score;
  x.notes = memberNotes(m, c, refined);
  return x;
}

}  // namespace

std::vector<ExportCluster> exportClusters(const std::vector<ClusterResult>& clusters,
                                          const std::map<int32_t, const Recording*>& recordings,
                                          bool refined, const Truth* truth) {
  std::map<std::string, TruthPlace> truthPlaces;
  if (truth != nullptr)
    for (std::size_t c = 0; c < truth->clusters.size(); ++c)
      for (const TruthRecording& r : truth->clusters[c]) truthPlaces[r.name] = {c, &r};
  std::map<std::string, std::size_t> resultCluster;
  for (std::size_t c = 0; c < clusters.size(); ++c)
    for (const MemberResult& m : clusters[c].members) resultCluster[m.name] = c;

  std::vector<ExportCluster> out;
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    const MemberResult* reference = referenceOf(clusters[c]);
    ExportCluster e;
    e.name = clusterFolderName(c);
    e.reference = reference != nullptr ? reference->name : "";
    // A chosen reference may start after others; timelines start at the earliest.
    const double earliest = earliestOffset(clusters[c]);
    for (const MemberResult& m : clusters[c].members) {
      const auto it = recordings.find(m.id);
      if (it == recordings.end()) continue;
      ExportMember x = exportMember(m, *it->second, clusters[c], refined, earliest);
      if (truth != nullptr && reference != nullptr)
        x.truthDisagrees = truthDisagrees(clusters[c], m, *reference, truthPlaces, resultCluster);
      e.members.push_back(x);
    }
    out.push_back(e);
  }
  return out;
}

void useCopies(std::vector<ExportCluster>& clusters, const std::map<int32_t, std::string>& copies,
               bool padded) {
  for (ExportCluster& c : clusters) {
    for (ExportMember& m : c.members) {
      const auto it = copies.find(m.id);
      if (m.hasVideo || it == copies.end()) continue;
      m.path = fs::absolute(it->second).lexically_normal().string();
      if (!padded) continue;
      // The silence in front is part of the copy, which starts at the cluster's zero.
      m.durationSeconds +=
          static_cast<double>(paddingFrames(m.offset, m.sampleRate)) / m.sampleRate;
      m.offset = std::min(m.offset, 0.0);
    }
  }
}

bool writeExports(const std::vector<std::string>& paths, const std::vector<ExportCluster>& clusters,
                  const ExportSettings& settings, std::string& error) {
  bool ok = true;
  for (const std::string& path : paths) {
    ExportFormat format = ExportFormat::Csv;
    std::string why;
    if (!exportFormatFor(path, format)) {
      why = "unknown format";
    } else if (writeFileAtomically(path, renderExport(format, clusters, settings), why)) {
      note("wrote " + path);
      continue;
    }
    error += (error.empty() ? "" : "; ") + ("cannot write " + path + ": " + why);
    ok = false;
  }
  return ok;
}

}  // namespace velktool
