#include "engine/second_look.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>
#include <string>

#include "engine/overlap.h"
#include "engine/parallel.h"
#include "engine/sync_result.h"

namespace Velk {

namespace {

// A peak standing this far above everything else of its pair is worth the
// waveform's time; the waveform decides.
constexpr double kMinStandOut = 2.5;

// Votes of each bin's offset and its neighbours on either side: a match whose
// lag falls between two frames splits its votes between them.
std::vector<uint32_t> votesAround(const VkOffsetHistogram& h, int32_t width) {
  std::vector<uint32_t> sum(h.size(), 0);
  for (std::size_t i = 0, lo = 0, hi = 0; i < h.size(); ++i) {
    while (h[lo].offset < h[i].offset - width) ++lo;
    while (hi < h.size() && h[hi].offset <= h[i].offset + width) ++hi;
    for (std::size_t k = lo; k < hi; ++k) sum[i] += h[k].count;
  }
  return sum;
}

// Chance coincidences of hashes grow with the overlap: two long recordings
// that overlap briefly collect more stray votes at offsets where they overlap
// for minutes than at their true one. Votes per frame of overlap compare
// offsets fairly; a floor of a few seconds keeps offsets that overlap by a
// moment from standing out on a vote or two.
struct Density {
  int32_t framesA, framesB, floor;
  double operator()(int32_t offset, uint32_t votes) const {
    const int32_t overlap = std::min(framesA, offset + framesB) - std::max(0, offset);
    return votes / static_cast<double>(std::max(0, overlap) + floor);
  }
};

struct Placement {
  std::size_t cluster = 0;
  std::size_t member = 0;
};

Placement find(const std::vector<ClusterResult>& clusters, int32_t id) {
  for (std::size_t c = 0; c < clusters.size(); ++c)
    for (std::size_t m = 0; m < clusters[c].members.size(); ++m)
      if (clusters[c].members[m].id == id) return {c, m};
  return {clusters.size(), 0};
}

// Whether m's clock is known against its cluster's reference.
bool knownIn(const ClusterResult& c, const MemberResult& m) {
  return m.driftKnown || m.id == c.reference;
}

// Puts the cluster on the clock of its earliest member: offsets are
// differences of starts on that clock, drift is relative to it.
void rebaseOnEarliest(ClusterResult& c) {
  const MemberResult* first = &c.members.front();
  double earliestCoarse = first->coarse;
  for (const MemberResult& m : c.members) {
    if (m.offset < first->offset) first = &m;
    earliestCoarse = std::min(earliestCoarse, m.coarse);
  }
  rebaseCluster(c, *first, earliestCoarse);
}

// Moves every member of cluster `from` onto the timeline of cluster `to`,
// through the pair (a in `to`, b in `from`) measured by fit. Each member's
// time maps to its reference's by offset + t x rate; the maps compose, so a
// drifting b carries its whole group to the right place.
void merge(std::vector<ClusterResult>& clusters, Placement a, Placement b, const OverlapFit& fit,
           double coarseLag) {
  ClusterResult& to = clusters[a.cluster];
  ClusterResult from = clusters[b.cluster];
  const MemberResult anchor = to.members[a.member];
  const MemberResult bridge = from.members[b.member];
  const double pairRate = 1.0 + fit.driftPpm * 1e-6;
  const bool pathKnown = knownIn(from, bridge) && knownIn(to, anchor);
  // A member the waveform never placed sits at its landmark offset, which
  // nothing checked against the bridge: it stays behind, with any like it.
  ClusterResult rest;
  rest.reference = from.reference;
  for (MemberResult m : from.members) {
    if (m.id != bridge.id && !(m.refined && bridge.refined)) {
      rest.members.push_back(m);
      continue;
    }
    const bool ownKnown = knownIn(from, m);
    const double inBridge = (m.offset - bridge.offset) / clockRate(bridge);
    const double rate = clockRate(anchor) * pairRate * clockRate(m) / clockRate(bridge);
    m.offset = anchor.offset + clockRate(anchor) * (fit.lagSeconds + pairRate * inBridge);
    m.coarse = anchor.coarse + coarseLag + (m.coarse - bridge.coarse);
    m.driftKnown = fit.driftKnown && ownKnown && pathKnown;
    m.driftPpm = (rate - 1.0) * 1e6;
    if (m.id == bridge.id) {
      m.refined = true;
      m.anchor = anchor.id;
      m.score = fit.score;
      m.agreement = static_cast<float>(fit.agreeShare());
    }
    to.members.push_back(m);
  }
  rebaseOnEarliest(to);
  for (MemberResult& m : to.members)
    if (m.id == anchor.id) m.refined = true;
  std::sort(to.members.begin(), to.members.end(),
            [](const MemberResult& x, const MemberResult& y) { return x.id < y.id; });
  if (rest.members.empty()) {
    clusters.erase(clusters.begin() + static_cast<std::ptrdiff_t>(b.cluster));
    return;
  }
  rebaseOnEarliest(rest);
  clusters[b.cluster] = std::move(rest);
}

}  // namespace

void considerRejected(const VkPairStats& s, const VkOffsetHistogram& histogram,
                      float framesPerSecond, const VkFileSet& files,
                      std::vector<RejectedPair>& candidates) {
  const auto a = files.getFiles().find(s.idA), b = files.getFiles().find(s.idB);
  if (a == files.getFiles().end() || b == files.getFiles().end()) return;
  considerRejected(s, histogram, framesPerSecond, std::max(1, a->second->getLastFrame() + 1),
                   std::max(1, b->second->getLastFrame() + 1), candidates);
}

void considerRejected(const VkPairStats& s, const VkOffsetHistogram& histogram,
                      float framesPerSecond, int32_t framesA, int32_t framesB,
                      std::vector<RejectedPair>& candidates) {
  if (histogram.empty()) return;
  constexpr double kFloorSeconds = 10.0;
  const Density density{framesA, framesB, static_cast<int32_t>(kFloorSeconds * framesPerSecond)};
  const std::vector<uint32_t> votes = votesAround(histogram, kLookCandidateWidth);
  std::vector<double> d(histogram.size());
  std::size_t peak = 0;
  for (std::size_t i = 0; i < histogram.size(); ++i) {
    d[i] = density(histogram[i].offset, votes[i]);
    if (d[i] > d[peak]) peak = i;
  }
  if (votes[peak] < kLookVotes) return;
  RejectedPair p;
  p.idA = s.idA;
  p.idB = s.idB;
  p.votes = votes[peak];
  // The runner-up lies a second away at least: near its true lag a match of
  // music with a beat also scores a beat or two off.
  const auto apart = static_cast<int32_t>(std::ceil(framesPerSecond));
  double second = 0.0;
  for (std::size_t i = 0; i < histogram.size(); ++i)
    if (std::abs(histogram[i].offset - histogram[peak].offset) > apart && d[i] > second) {
      second = d[i];
      p.runnerUp = votes[i];
    }
  // Nothing else at all counts as one stray vote where they overlap most.
  second = std::max(second, 1.0 / (std::min(framesA, framesB) + density.floor));
  p.standOut = d[peak] / second;
  // The lag of the peak's strongest frame.
  std::size_t at = peak;
  for (std::size_t i = peak; i-- > 0 && histogram[i].offset >= histogram[peak].offset - 1;)
    if (histogram[i].count > histogram[at].count) at = i;
  for (std::size_t i = peak + 1;
       i < histogram.size() && histogram[i].offset <= histogram[peak].offset + 1; ++i)
    if (histogram[i].count > histogram[at].count) at = i;
  p.lagSeconds = histogram[at].offset / framesPerSecond;
  if (p.standOut >= kMinStandOut) candidates.push_back(p);
}

void notePeaks(const VkPairStats& s, const VkOffsetHistogram& h, float framesPerSecond,
               PeakTable& peaks) {
  // Votes within the peak's width, then the best offsets a second apart.
  constexpr std::size_t kMostPeaks = 3;
  const auto apart = static_cast<int32_t>(std::ceil(framesPerSecond));
  const std::vector<uint32_t> sum = votesAround(h, kLookPeakWidth);
  std::vector<int32_t> chosen;
  while (chosen.size() < kMostPeaks) {
    std::size_t best = h.size();
    for (std::size_t i = 0; i < h.size(); ++i) {
      bool free = sum[i] >= kLookVotes && (best == h.size() || sum[i] > sum[best]);
      for (int32_t c : chosen) free = free && std::abs(h[i].offset - c) > apart;
      if (free) best = i;
    }
    if (best == h.size()) break;
    chosen.push_back(h[best].offset);
  }
  if (chosen.size() < 2) return;  // one peak tells no parts apart
  std::vector<double>& lags = peaks[{s.idA, s.idB}];
  for (int32_t c : chosen) lags.push_back(c / framesPerSecond);
}

std::vector<double> otherLags(const PeakTable& peaks, int32_t anchor, int32_t member,
                              double lagSeconds) {
  const bool swapped = anchor > member;
  const auto it =
      peaks.find(swapped ? std::make_pair(member, anchor) : std::make_pair(anchor, member));
  std::vector<double> out;
  if (it == peaks.end()) return out;
  for (double lag : it->second) {
    const double l = swapped ? -lag : lag;
    if (std::abs(l - lagSeconds) > 1.0) out.push_back(l);
  }
  return out;
}

void rankCandidates(std::vector<RejectedPair>& out, std::size_t limit) {
  // Strongest first; pairs in id order among equals, so the order does not
  // depend on matching's.
  std::sort(out.begin(), out.end(), [](const RejectedPair& x, const RejectedPair& y) {
    if (x.standOut != y.standOut) return x.standOut > y.standOut;
    return std::make_pair(x.idA, x.idB) < std::make_pair(y.idA, y.idB);
  });
  if (out.size() > limit) out.resize(limit);
}

std::size_t candidateLimit(std::size_t recordings) {
  // A bounded number of waveform checks, however many recordings.
  return std::max<std::size_t>(64, 4 * recordings);
}

std::vector<bool> candidatesApart(const std::vector<ClusterResult>& clusters,
                                  const std::vector<RejectedPair>& candidates) {
  std::vector<bool> apart(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const Placement a = find(clusters, candidates[i].idA), b = find(clusters, candidates[i].idB);
    apart[i] = a.cluster != b.cluster && a.cluster < clusters.size() && b.cluster < clusters.size();
  }
  return apart;
}

OverlapFit checkCandidate(const Recording& a, const Recording& b, const RejectedPair& candidate,
                          const RefineSettings& settings) {
  return fitOverlap(a, b, candidate.lagSeconds, settings, kMaxDriftWindows, kDriftWindowSeconds);
}

void joinFitted(std::vector<ClusterResult>& clusters, const std::vector<RejectedPair>& candidates,
                const std::vector<OverlapFit>& fits, const Reporter& report) {
  for (std::size_t i = 0; i < candidates.size() && i < fits.size(); ++i) {
    if (!fits[i].confirmed) continue;
    const Placement a = find(clusters, candidates[i].idA), b = find(clusters, candidates[i].idB);
    if (a.cluster == b.cluster) continue;  // joined through an earlier pair
    const std::string names = clusters[a.cluster].members[a.member].name + " and " +
                              clusters[b.cluster].members[b.member].name;
    report.note("joined the clusters of " + names + ": " + std::to_string(fits[i].agreeing) +
                " of " + std::to_string(fits[i].windows) +
                " stretches along their overlap agree (the landmark test had turned them down)");
    merge(clusters, a, b, fits[i], candidates[i].lagSeconds);
  }
  sortClusters(clusters);
}

void joinConfirmed(std::vector<ClusterResult>& clusters,
                   const std::vector<RejectedPair>& candidates,
                   const std::map<int32_t, const Recording*>& recordings,
                   const RefineSettings& settings, const Reporter& report) {
  // The waveform check of each candidate is independent of the others.
  std::vector<OverlapFit> fits(candidates.size());
  const std::vector<bool> apart = candidatesApart(clusters, candidates);
  std::atomic<std::size_t> done{0};
  parallelFor(candidates.size(), settings.threads, [&](std::size_t i) {
    const auto ra = recordings.find(candidates[i].idA), rb = recordings.find(candidates[i].idB);
    if (!apart[i] || ra == recordings.end() || rb == recordings.end() || report.stopped()) return;
    fits[i] = checkCandidate(*ra->second, *rb->second, candidates[i], settings);
    report.progress("second look",
                    static_cast<double>(++done) / static_cast<double>(candidates.size()));
  });
  joinFitted(clusters, candidates, fits, report);
}

}  // namespace Velk
