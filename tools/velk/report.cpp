#include "velktool/report.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace velktool {

namespace {

// Rounded to a step of 10^-decimals; adding 0.0 turns a rounded -0.0 into 0.0.
double roundTo(double v, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(v * scale) / scale + 0.0;
}

// Microseconds are far below a sample at any rate; more digits only show float noise.
double roundMicro(double seconds) { return roundTo(seconds, 6); }

std::string fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string ratio(double v) { return std::isnan(v) ? "n/a" : fixed(v, 3); }

std::string joinNames(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
  return s;
}

void printStats(std::ostream& out, const char* label, const OffsetStats& s) {
  char line[160];
  std::snprintf(line, sizeof line, "  %-8s %10.3f %10.3f %10.3f %9.1f%% %9.1f%%\n", label,
                s.median * 1e3, s.p95 * 1e3, s.max * 1e3, s.within40ms * 100.0,
                s.within1ms * 100.0);
  out << line;
}

nlohmann::ordered_json statsJson(const OffsetStats& s) {
  return {
      {"pairs", s.pairs},         {"median", roundMicro(s.median)}, {"p95", roundMicro(s.p95)},
      {"max", roundMicro(s.max)}, {"within_40ms", s.within40ms},    {"within_1ms", s.within1ms}};
}

nlohmann::json ratioJson(double v) {
  return std::isnan(v) ? nlohmann::json(nullptr) : nlohmann::json(v);
}

}  // namespace

void printTable(std::ostream& out, const std::vector<ClusterResult>& clusters, bool refineRan) {
  // The designed CLUSTER lines above come before verification; this is the answer.
  out << (refineRan ? "\nSYNC RESULT (final, verified by waveform correlation)\n"
                    : "\nSYNC RESULT (final, not verified: --no-refine)\n");
  out << "cluster    id   offset (s)   coarse (s)  refined  name\n";
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    for (const MemberResult& m : clusters[c].members) {
      char line[96];
      std::snprintf(line, sizeof line, "%7zu %5d %12.3f %12.3f  %-7s  ", c + 1, m.id,
                    roundTo(m.offset, 3), roundTo(m.coarse, 3),
                    !refineRan                       ? "off"
                    : clusters[c].members.size() < 2 ? "-"
                                                     : (m.refined ? "yes" : "no"));
      out << line << m.name << '\n';
    }
  }
  out << std::flush;
}

void printEvaluation(std::ostream& out, const Evaluation& ev, const std::string& truthPath) {
  out << "\nEVALUATION against " << truthPath << '\n';
  out << "pairs: " << ev.truthPairs << " together in the truth, " << ev.resultPairs
      << " together in the result, " << ev.correctPairs << " in both\n";
  out << "precision " << ratio(ev.precision) << "  recall " << ratio(ev.recall) << "  F1 "
      << ratio(ev.f1) << '\n';
  if (!ev.missingFromResult.empty())
    out << "in the truth but not among the recordings: " << joinNames(ev.missingFromResult) << '\n';
  if (!ev.missingFromTruth.empty())
    out << "among the recordings but not in the truth: " << joinNames(ev.missingFromTruth) << '\n';
  if (ev.refined.pairs == 0) {
    out << "offset error: no pair with known offsets is placed together in both\n" << std::flush;
    return;
  }
  out << "offset error over " << ev.refined.pairs << " pairs placed together in both:\n";
  out << "             median (ms)  95th (ms)   max (ms)  <= 40 ms    <= 1 ms\n";
  printStats(out, "refined", ev.refined);
  printStats(out, "coarse", ev.coarse);
  out << std::flush;
}

namespace {

using json = nlohmann::ordered_json;

json memberJson(const MemberResult& m, const ClusterResult& c) {
  json member = {{"id", m.id},
                 {"name", m.name},
                 {"path", m.path},
                 {"offset", roundMicro(m.offset)},
                 {"coarse_offset", roundMicro(m.coarse)},
                 {"refined", m.refined},
                 {"drift_ppm", nullptr}};
  // Two decimals: a tenth of a part per million is already below what the
  // three measured stretches can tell apart.
  if (m.driftKnown) member["drift_ppm"] = roundTo(m.driftPpm, 2);
  // How far the placement is to be trusted: the correlation's peak over its
  // background, and the share of the overlap that agrees with it.
  member["confidence"] = {
      {"score", roundTo(m.score, 1)},
      {"agreement", m.agreement < 0 ? json(nullptr) : json(roundTo(m.agreement, 2))}};
  if (!m.parts.empty()) {
    json parts = json::array();
    for (const Velk::MemberPart& p : m.parts)
      parts.push_back({{"file_seconds", roundMicro(p.fileSeconds)},
                       {"offset", roundMicro(p.offset)},
                       {"gap", roundMicro(p.gapSeconds)}});
    member["parts"] = parts;
  }
  if (c.members.size() == 1 && !m.alone.empty()) member["alone"] = m.alone;
  return member;
}

json clustersJson(const JsonInput& in) {
  json clusters = json::array();
  for (const ClusterResult& c : *in.clusters) {
    json members = json::array();
    json reference = nullptr;  // whose clock the offsets and drifts follow
    for (const MemberResult& m : c.members) {
      members.push_back(memberJson(m, c));
      if (m.id == c.reference) reference = m.name;
    }
    clusters.push_back({{"reference", reference}, {"members", members}});
  }
  return clusters;
}

json extractionJson(Velk::VkExtractParams e) {  // a copy: getMaxPairsPerPeak is not const
  return {{"freqRange", e.freqRange},
          {"timeRange", e.timeRange},
          {"initialThresholdFrames", e.initialThresholdFrames},
          {"maxPeaksPerFrame", e.maxPeaksPerFrame},
          {"peakDynRange", shortestDouble(e.peakDynRange)},
          {"dbThreshold", shortestDouble(e.dbThreshold)},
          {"decayPerFrame", shortestDouble(e.decayPerFrame)},
          {"peakWidth", shortestDouble(e.peakWidth)},
          {"fftSize", e.getFftSize()},
          {"hopSize", e.getHopSize()},
          {"sampleRate", e.getSampleRate()},
          {"maxPairsPerPeak", e.getMaxPairsPerPeak()}};
}

json clusterSyncJson(const Velk::VkClusterSyncParams& s, uint32_t sampleRate) {
  return {{"minPercentMatch", shortestDouble(s.getMinPercentMatch())},
          {"minOverlapLength", shortestDouble(s.getMinOverlapLength())},
          {"minTemplateLength", shortestDouble(s.getMinTemplateLength())},
          {"maxLandmarks", s.getMaxLandmarks()},
          {"acceptThreshold", s.getAcceptThreshold()},
          {"framesPerSecond", shortestDouble(s.getFramesPerSecond())},
          {"hopSize", s.getHopSize()},
          {"sampleRate", sampleRate}};
}

json evaluationJson(const Evaluation& ev, const std::string& truthPath) {
  return {{"truth", truthPath},
          {"pairs",
           {{"truth", ev.truthPairs}, {"result", ev.resultPairs}, {"correct", ev.correctPairs}}},
          {"precision", ratioJson(ev.precision)},
          {"recall", ratioJson(ev.recall)},
          {"f1", ratioJson(ev.f1)},
          {"missing_from_result", ev.missingFromResult},
          {"missing_from_truth", ev.missingFromTruth},
          {"offset_error", {{"refined", statsJson(ev.refined)}, {"coarse", statsJson(ev.coarse)}}}};
}

}  // namespace

std::string renderJson(const JsonInput& in) {
  json doc = {{"clusters", clustersJson(in)},
              {"parameters",
               {{"extraction", extractionJson(in.extract)},
                {"cluster_sync", clusterSyncJson(*in.clusterSync, in.extract.getSampleRate())},
                {"refine", in.refine}}}};
  json skipped = json::array();
  if (in.skipped != nullptr)
    for (const SkippedFile& f : *in.skipped)
      skipped.push_back({{"path", f.path}, {"reason", f.reason}, {"problem", f.problem}});
  doc["skipped"] = skipped;
  if (in.evaluation != nullptr) doc["evaluation"] = evaluationJson(*in.evaluation, in.truthPath);
  return doc.dump(2) + "\n";
}

}  // namespace velktool
