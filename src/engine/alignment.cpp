#include "engine/alignment.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <iostream>
#include <limits>
#include <set>
#include <thread>

#include "engine/sync_result.h"
#include "velk/media.h"
#include "velk/wavfile.h"

namespace Velk {

namespace {

bool readWavBlock(const std::string& path, int64_t start, int64_t length, std::vector<float>& out,
                  std::string& error) {
  try {
    wavfile_t wav(path, 1, 1, 16000);
    const int64_t frameBytes = static_cast<int64_t>(wav.numChannels) * (wav.bitsPerSample / 8);
    const int64_t available = std::max<int64_t>(0, static_cast<int64_t>(wav.numSamples) - start);
    const int64_t count = std::min(length, available);
    if (count <= 0) return true;
    if (count > std::numeric_limits<int32_t>::max() || frameBytes <= 0) {
      error = "stretch too long";
      return false;
    }
    wav.file.seekg(wav.dataStart + static_cast<std::streamoff>(start * frameBytes));
    array<float> view(out.data(), static_cast<int32_t>(count));
    wav.read_mono(view, static_cast<int32_t>(count));
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

// Samples of a recording's duration at rate (what the media layer delivers).
uint64_t samplesAt(const Recording& r, uint32_t rate) {
  return static_cast<uint64_t>(std::floor(r.durationSeconds * rate + 1e-6));
}

double overlapSeconds(const Recording& a, double offsetA, const Recording& b, double offsetB) {
  const double start = std::max(offsetA, offsetB);
  const double end = std::min(offsetA + a.durationSeconds, offsetB + b.durationSeconds);
  return end - start;
}

template <typename Fn>
void parallelFor(std::size_t count, unsigned threads, Fn fn) {
  std::atomic<std::size_t> next{0};
  auto worker = [&]() {
    for (std::size_t i = next++; i < count; i = next++) fn(i);
  };
  const unsigned n = static_cast<unsigned>(std::min<std::size_t>(std::max(1u, threads), count));
  if (n <= 1) {
    worker();
    return;
  }
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < n; ++t) pool.emplace_back(worker);
  for (std::thread& t : pool) t.join();
}

struct Task {
  std::size_t cluster;
  std::size_t member;
  std::size_t anchor;
  double coarseLag;
  PairRefinement outcome;
};

}  // namespace

bool readMonoBlock(const Recording& r, uint32_t rate, int64_t start, int64_t length,
                   std::vector<float>& out, std::string& error) {
  out.assign(static_cast<std::size_t>(std::max<int64_t>(0, length)), 0.0f);
  if (length <= 0) return true;
  // The library's reader seeks to the exact sample; no resampler is involved.
  if (r.wavReadable && r.sampleRate == rate) return readWavBlock(r.path, start, length, out, error);

  DecodeOptions opt;
  opt.sampleRate = rate;
  opt.channels = 1;
  opt.startSeconds = static_cast<double>(start) / rate;
  opt.maxSeconds = static_cast<double>(length) / rate;
  std::size_t filled = 0;
  const FrameSink sink = [&](const float* frames, std::size_t count, int) {
    const std::size_t n = std::min(count, out.size() - filled);
    std::copy(frames, frames + n, out.begin() + static_cast<std::ptrdiff_t>(filled));
    filled += n;
    return filled < out.size();
  };
  if (r.route == Route::Memory) {
    if (!r.audio || r.audio->channels <= 0) {
      error = "no audio was given";
      return false;
    }
    const MemoryAudio& a = *r.audio;
    return resampleFrames(a.samples.data(), a.samples.size() / a.channels, a.channels, a.sampleRate,
                          opt, sink, error);
  }
  return decodeAudio(r.path, opt, sink, error);
}

namespace {

// One correlation of a stretch of member against anchor.
struct WindowLag {
  bool measured = false;
  bool accepted = false;
  float score = 0.0f;
  double lagSamples = 0.0;     // member start minus anchor start, as this stretch sees it
  double centreSamples = 0.0;  // middle of the member stretch, in member samples
  std::string warning;
};

WindowLag correlateWindow(const Recording& anchor, const Recording& member, uint32_t rate,
                          const VkRefineWindow& w, const RefineSettings& settings) {
  WindowLag out;
  if (!w.valid) return out;
  std::vector<float> anchorBlock, memberBlock;
  if (!readMonoBlock(anchor, rate, w.refStart, w.refLength, anchorBlock, out.warning) ||
      !readMonoBlock(member, rate, w.memberStart, w.memberLength, memberBlock, out.warning))
    return out;
  out.warning.clear();
  VkLagSearch search = w.search;
  search.whitening = settings.whitening;
  search.minScore = settings.minScore;
  const VkLagEstimate est = estimateLag(anchorBlock.data(), anchorBlock.size(), memberBlock.data(),
                                        memberBlock.size(), search);
  // A silent stretch or a transform that did not fit says nothing either way.
  out.measured = est.background > 0.0f;
  out.score = est.score;
  out.accepted = est.accepted;
  out.lagSamples = w.toRecordingLag(est.lag);
  out.centreSamples =
      static_cast<double>(w.memberStart) + 0.5 * static_cast<double>(w.memberLength);
  return out;
}

}  // namespace

PairRefinement refinePair(const Recording& anchor, const Recording& member, double coarseLagSeconds,
                          const RefineSettings& settings) {
  PairRefinement result;
  // The lower rate of the two: neither file holds detail above its own band.
  const uint32_t rate = std::min(anchor.sampleRate, member.sampleRate);
  if (rate == 0) return result;
  const uint64_t anchorSamples = samplesAt(anchor, rate);
  const uint64_t memberSamples = samplesAt(member, rate);
  const auto maxWindow = static_cast<uint64_t>(settings.maxWindowSeconds * rate);
  const auto minOverlap = static_cast<uint64_t>(settings.minOverlapSeconds * rate);
  const VkRefineWindow w = planRefineWindow(
      anchorSamples, memberSamples, coarseLagSeconds * rate,
      static_cast<int64_t>(std::ceil(settings.searchSeconds * rate)), maxWindow, minOverlap);
  const WindowLag middle = correlateWindow(anchor, member, rate, w, settings);
  result.warning = middle.warning;
  result.measured = middle.measured;
  result.score = middle.score;
  if (!middle.accepted) return result;
  result.refined = true;
  result.lagSeconds = middle.lagSamples / rate;

  // A long overlap is also measured near both of its ends. Clocks of separate
  // devices differ by tens of parts per million: over an hour, tens of
  // milliseconds between the middle and the start. Three short stretches (at
  // both ends and in the middle; short, because within a stretch the lag moves
  // by the drift times its length, which blurs the peak) give lags on a line
  // whose value at the member's first sample is the difference of the starts;
  // a line that does not fit is not believed.
  const double lag = middle.lagSamples;
  const double first = std::max(0.0, -lag);  // the overlap in member samples
  const double last =
      std::min(static_cast<double>(memberSamples), static_cast<double>(anchorSamples) - lag);
  const uint64_t shortWindow = maxWindow / 3;
  const double window = static_cast<double>(std::min<uint64_t>(shortWindow, memberSamples));
  if (!(last - first >= settings.minDriftSpanSeconds * rate) || window <= 0) return result;
  // Up to 500 ppm of drift, from the middle stretch's centre (itself blurred by
  // up to half its length) to each of these, on top of the usual search.
  constexpr double kMaxDrift = 500e-6;
  std::vector<WindowLag> points;
  for (double centre : {first + 0.5 * window, 0.5 * (first + last), last - 0.5 * window}) {
    const double reach = kMaxDrift * (std::abs(centre - middle.centreSamples) +
                                      0.5 * static_cast<double>(w.memberLength));
    const VkRefineWindow at =
        planRefineWindowAt(anchorSamples, memberSamples, lag,
                           static_cast<int64_t>(std::ceil(settings.searchSeconds * rate + reach)),
                           shortWindow, minOverlap, centre);
    points.push_back(correlateWindow(anchor, member, rate, at, settings));
    if (!points.back().accepted) return result;
  }
  // Least squares: lag = intercept + slope * centre.
  double mc = 0, ml = 0;
  for (const WindowLag& p : points) {
    mc += p.centreSamples / 3.0;
    ml += p.lagSamples / 3.0;
  }
  double sxx = 0, sxy = 0;
  for (const WindowLag& p : points) {
    sxx += (p.centreSamples - mc) * (p.centreSamples - mc);
    sxy += (p.centreSamples - mc) * (p.lagSamples - ml);
  }
  if (!(sxx > 0)) return result;
  const double slope = sxy / sxx;
  const double intercept = ml - slope * mc;
  double worst = 0;
  for (const WindowLag& p : points)
    worst = std::max(worst, std::abs(intercept + slope * p.centreSamples - p.lagSamples));
  // Near a line, and a drift a clock can have. Within a stretch the lag itself
  // moves by slope x window, and its peak sits wherever the sound is densest,
  // so the points may stray from the line by up to half that.
  if (std::abs(slope) > kMaxDrift || worst > 0.0005 * rate + 0.5 * std::abs(slope) * window)
    return result;
  result.driftMeasured = true;
  result.driftPpm = slope * 1e6;
  // Below a millisecond of difference between the middle and the start, the
  // middle's lag stands: no extrapolation noise where there is no drift to speak of.
  if (std::abs(intercept - lag) >= 0.001 * rate) result.lagSeconds = intercept / rate;
  return result;
}

namespace {

std::string joinNames(const ClusterResult& cluster, const std::vector<std::size_t>& indices) {
  std::string names;
  for (std::size_t i : indices) names += (names.empty() ? "" : ", ") + cluster.members[i].name;
  return names;
}

}  // namespace

std::vector<ClusterResult> settleCluster(const ClusterResult& cluster,
                                         const ClusterVerdict& verdict, bool split,
                                         std::vector<SyncMessage>& notes) {
  const auto& members = cluster.members;
  const std::size_t n = members.size();
  const std::size_t ref = verdict.reference;
  const std::string where = "cluster of " + members[ref].name + ": ";
  // Unchecked members stay with the reference: nothing says they belong elsewhere.
  auto part = [&](std::size_t i) { return split && verdict.group[i] > 0 ? verdict.group[i] : 0; };
  std::map<int, std::vector<std::size_t>> parts;
  std::map<int, std::size_t> groupSize;
  std::vector<std::size_t> strays, unchecked;
  for (std::size_t i = 0; i < n; ++i) {
    parts[part(i)].push_back(i);
    if (verdict.group[i] > 0) {
      ++groupSize[verdict.group[i]];
      strays.push_back(i);
    }
    if (verdict.group[i] < 0) unchecked.push_back(i);
  }

  if (!unchecked.empty())
    notes.push_back(
        {MessageKind::Warning, where + joinNames(cluster, unchecked) +
                                   " could not be compared with the members placed with " +
                                   members[ref].name +
                                   " (too little overlap); kept at the landmark offsets"});
  if (!split && !strays.empty())
    notes.push_back(
        {MessageKind::Warning, where + joinNames(cluster, strays) +
                                   " did not correlate with the reference " + members[ref].name +
                                   "; kept at the landmark offsets (from another event?)"});

  std::vector<ClusterResult> out;
  for (const auto& [key, indices] : parts) {
    if (key > 0)
      notes.push_back({MessageKind::Note,
                       where + "split off " + joinNames(cluster, indices) +
                           (indices.size() > 1
                                ? " (they match each other, not " + members[ref].name + "'s group)"
                                : " alone (it matches no other member)")});
    double earliest = verdict.position[indices.front()];
    double earliestCoarse = members[indices.front()].coarse;
    for (std::size_t i : indices) {
      earliest = std::min(earliest, verdict.position[i]);
      earliestCoarse = std::min(earliestCoarse, members[i].coarse);
    }
    ClusterResult c;
    bool any = false;
    for (std::size_t i : indices) {
      MemberResult m = members[i];
      const int g = verdict.group[i];
      // A split group's offsets are exact among themselves: its first member
      // anchors the others as the reference does in group 0.
      m.refined = (g == 0 && i != ref) || (split && g > 0 && groupSize[g] > 1);
      m.driftKnown = m.driftKnown && g == 0 && i != ref;  // measured against the reference
      any = any || m.refined;
      m.offset = verdict.position[i] - earliest;
      if (split) m.coarse -= earliestCoarse;
      c.members.push_back(m);
    }
    if (key == 0)
      for (MemberResult& m : c.members)
        if (m.id == members[ref].id) m.refined = any;  // exact by definition when others are
    out.push_back(std::move(c));
  }
  sortClusters(out);
  return out;
}

void refineClusters(std::vector<ClusterResult>& clusters,
                    const std::map<int32_t, const Recording*>& recordings,
                    const RefineSettings& settings, const Reporter& report) {
  auto recordingOf = [&](const MemberResult& m) -> const Recording* {
    const auto it = recordings.find(m.id);
    return it == recordings.end() ? nullptr : it->second;
  };
  auto overlap = [&](const MemberResult& a, const MemberResult& b) {
    const Recording* ra = recordingOf(a);
    const Recording* rb = recordingOf(b);
    if (ra == nullptr || rb == nullptr) return -1.0;
    return overlapSeconds(*ra, a.coarse, *rb, b.coarse);
  };

  // First every member against its cluster's reference, all clusters at once:
  // these pairs are independent, so they run in parallel.
  std::vector<std::size_t> reference(clusters.size(), 0);
  std::vector<Task> tasks;
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    const auto& members = clusters[c].members;
    // The reference is the member at offset 0 (the last one, should there be several).
    std::size_t ref = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (members[i].coarse == 0.0) ref = i;
      if (members[i].coarse < members[ref].coarse) ref = i;
    }
    reference[c] = ref;
    for (std::size_t i = 0; i < members.size(); ++i)
      if (i != ref && overlap(members[ref], members[i]) >= settings.minOverlapSeconds)
        tasks.push_back({c, i, ref, members[i].coarse - members[ref].coarse, {}});
  }
  std::atomic<std::size_t> done{0};
  parallelFor(tasks.size(), settings.threads, [&](std::size_t t) {
    Task& task = tasks[t];
    const auto& members = clusters[task.cluster].members;
    task.outcome = refinePair(*recordingOf(members[task.anchor]),
                              *recordingOf(members[task.member]), task.coarseLag, settings);
    const std::size_t d = ++done;
    report.progress("refining", static_cast<double>(d) / static_cast<double>(tasks.size()),
                    std::to_string(d) + "/" + std::to_string(tasks.size()) + " members");
  });

  std::vector<ClusterResult> settled;
  std::size_t nextTask = 0;
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    auto& members = clusters[c].members;
    const std::size_t n = members.size();
    const std::size_t ref = reference[c];
    ClusterVerdict verdict;
    verdict.reference = ref;
    std::vector<int>& group = verdict.group;
    std::vector<double>& position = verdict.position;
    group.assign(n, -1);
    position.resize(n);
    // checked: some correlation with a member placed relative to the reference
    // was computed, so failing all of them is evidence of another event.
    std::vector<bool> checked(n, false);
    std::vector<std::set<std::size_t>> tried(n);
    for (std::size_t i = 0; i < n; ++i) position[i] = members[i].coarse - members[ref].coarse;
    group[ref] = 0;

    auto correlate = [&](std::size_t m, std::size_t a) {
      tried[m].insert(a);
      const PairRefinement r = refinePair(*recordingOf(members[a]), *recordingOf(members[m]),
                                          members[m].coarse - members[a].coarse, settings);
      if (!r.warning.empty()) report.warning("cannot refine " + members[m].path + ": " + r.warning);
      if (r.measured && group[a] == 0) checked[m] = true;
      if (r.refined && members[m].anchor == 0) {
        members[m].anchor = members[a].id;
        members[m].score = r.score;
      }
      return r;
    };
    // Anchors for m among the members accept admits, best overlap first.
    auto anchorsFor = [&](std::size_t m, auto accept) {
      std::vector<std::pair<double, std::size_t>> anchors;
      for (std::size_t a = 0; a < n; ++a) {
        const double ov = overlap(members[a], members[m]);
        if (a != m && accept(a) && tried[m].count(a) == 0 && ov >= settings.minOverlapSeconds)
          anchors.push_back({-ov, a});
      }
      std::sort(anchors.begin(), anchors.end());
      return anchors;
    };

    for (; nextTask < tasks.size() && tasks[nextTask].cluster == c; ++nextTask) {
      const Task& task = tasks[nextTask];
      MemberResult& m = members[task.member];
      tried[task.member].insert(ref);
      checked[task.member] = task.outcome.measured;
      m.score = task.outcome.score;
      if (!task.outcome.warning.empty())
        report.warning("cannot refine " + m.path + ": " + task.outcome.warning);
      if (!task.outcome.refined) continue;
      m.anchor = members[ref].id;
      position[task.member] = task.outcome.lagSeconds;
      group[task.member] = 0;
      m.driftKnown = task.outcome.driftMeasured;
      m.driftPpm = task.outcome.driftPpm;
    }

    // Members the reference could not place are chained through placed members
    // they overlap (a short recording may share little or nothing with it).
    for (bool progressed = true; progressed;) {
      progressed = false;
      for (std::size_t m = 0; m < n; ++m) {
        if (group[m] >= 0 || recordingOf(members[m]) == nullptr) continue;
        for (const auto& [ov, a] : anchorsFor(m, [&](std::size_t a) { return group[a] == 0; })) {
          if (tried[m].size() >= kMaxAnchorTries) break;
          const PairRefinement r = correlate(m, a);
          if (r.refined) {
            position[m] = position[a] + r.lagSeconds;
            group[m] = 0;
            // Rates multiply; to first order their deviations add. The reference
            // itself is the zero every drift is measured against.
            const bool anchorKnown = a == ref || members[a].driftKnown;
            members[m].driftKnown = r.driftMeasured && anchorKnown;
            members[m].driftPpm = r.driftPpm + (a == ref ? 0.0 : members[a].driftPpm);
            progressed = true;
            break;
          }
        }
      }
    }

    // What is left does not correlate with the reference's group. Strays that
    // correlate with each other form groups with exact relative offsets, placed
    // as a whole by the landmark offset of their first member; a member that
    // links two groups merges them.
    int groups = 0;
    std::vector<std::size_t> strayTries(n, 0);
    auto linkToStrays = [&](std::size_t m) {
      bool linked = false;
      for (const auto& [ov, a] : anchorsFor(m, [&](std::size_t a) { return group[a] > 0; })) {
        if (strayTries[m] >= kMaxAnchorTries) break;
        if (group[a] == group[m]) continue;  // already together
        ++strayTries[m];
        const PairRefinement r = correlate(m, a);
        if (!r.refined) continue;
        const double at = position[a] + r.lagSeconds;
        if (group[m] <= 0) {
          group[m] = group[a];
          position[m] = at;
        } else {
          const int from = group[a];
          const double shift = position[m] - at;
          for (std::size_t k = 0; k < n; ++k)
            if (group[k] == from) {
              group[k] = group[m];
              position[k] += shift;
            }
        }
        linked = true;
      }
      return linked;
    };
    for (std::size_t m = 0; m < n; ++m) {
      if (group[m] >= 0 || !checked[m]) continue;
      linkToStrays(m);
      if (group[m] < 0) group[m] = ++groups;
    }
    // Members never compared with the reference's group may still match a stray
    // group; otherwise nothing is known and they stay.
    for (bool progressed = true; progressed;) {
      progressed = false;
      for (std::size_t m = 0; m < n; ++m)
        if (group[m] < 0 && recordingOf(members[m]) != nullptr && linkToStrays(m))
          progressed = true;
    }

    std::vector<SyncMessage> notes;
    for (ClusterResult& part : settleCluster(clusters[c], verdict, settings.splitUnverified, notes))
      settled.push_back(std::move(part));
    for (const SyncMessage& line : notes) report.message(line.kind, line.text);
  }
  sortClusters(settled);
  clusters = std::move(settled);
}

}  // namespace Velk
