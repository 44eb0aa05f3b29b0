#include "velk/alignment.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <iostream>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

#include "velk/media.h"
#include "velk/wavfile.h"

namespace velktool {

namespace {

bool readWavBlock(const std::string& path, int64_t start, int64_t length, std::vector<float>& out,
                  std::string& error) {
  try {
    Velk::wavfile_t wav(path, 1, 1, 16000);
    const int64_t frameBytes = static_cast<int64_t>(wav.numChannels) * (wav.bitsPerSample / 8);
    const int64_t available = std::max<int64_t>(0, static_cast<int64_t>(wav.numSamples) - start);
    const int64_t count = std::min(length, available);
    if (count <= 0) return true;
    if (count > std::numeric_limits<int32_t>::max() || frameBytes <= 0) {
      error = "stretch too long";
      return false;
    }
    wav.file.seekg(wav.dataStart + static_cast<std::streamoff>(start * frameBytes));
    Velk::array<float> view(out.data(), static_cast<int32_t>(count));
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
  std::string warnings;
  opt.warn = [&warnings](const std::string& line) { warnings += line + "; "; };
  std::size_t filled = 0;
  const bool ok = decodeAudio(
      r.path, opt,
      [&](const float* frames, std::size_t count, int) {
        const std::size_t n = std::min(count, out.size() - filled);
        std::copy(frames, frames + n, out.begin() + static_cast<std::ptrdiff_t>(filled));
        filled += n;
        return filled < out.size();
      },
      error);
  return ok;
}

PairRefinement refinePair(const Recording& anchor, const Recording& member, double coarseLagSeconds,
                          const RefineSettings& settings) {
  PairRefinement result;
  // The lower rate of the two: neither file holds detail above its own band.
  const uint32_t rate = std::min(anchor.sampleRate, member.sampleRate);
  if (rate == 0) return result;
  const Velk::VkRefineWindow w = Velk::planRefineWindow(
      samplesAt(anchor, rate), samplesAt(member, rate), coarseLagSeconds * rate,
      static_cast<int64_t>(std::ceil(settings.searchSeconds * rate)),
      static_cast<uint64_t>(settings.maxWindowSeconds * rate),
      static_cast<uint64_t>(settings.minOverlapSeconds * rate));
  if (!w.valid) return result;
  std::vector<float> anchorBlock, memberBlock;
  std::string error;
  if (!readMonoBlock(anchor, rate, w.refStart, w.refLength, anchorBlock, error) ||
      !readMonoBlock(member, rate, w.memberStart, w.memberLength, memberBlock, error)) {
    result.warning = error;
    return result;
  }
  Velk::VkLagSearch search = w.search;
  search.whitening = settings.whitening;
  search.minScore = settings.minScore;
  const Velk::VkLagEstimate est = Velk::estimateLag(anchorBlock.data(), anchorBlock.size(),
                                                    memberBlock.data(), memberBlock.size(), search);
  result.score = est.score;
  if (est.accepted) {
    result.refined = true;
    result.lagSeconds = w.toRecordingLag(est.lag) / rate;
  }
  return result;
}

void refineClusters(std::vector<ClusterResult>& clusters,
                    const std::map<int32_t, const Recording*>& recordings,
                    const RefineSettings& settings, ProgressDisplay& progress) {
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
  std::mutex progressMutex;
  parallelFor(tasks.size(), settings.threads, [&](std::size_t t) {
    Task& task = tasks[t];
    const auto& members = clusters[task.cluster].members;
    task.outcome = refinePair(*recordingOf(members[task.anchor]),
                              *recordingOf(members[task.member]), task.coarseLag, settings);
    const std::size_t d = ++done;
    std::lock_guard<std::mutex> lock(progressMutex);
    progress.show("refining: " + std::to_string(d) + "/" + std::to_string(tasks.size()) +
                  " members");
  });
  progress.clear();

  std::size_t nextTask = 0;
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    auto& members = clusters[c].members;
    const std::size_t n = members.size();
    const std::size_t ref = reference[c];
    // group: 0 = placed exactly relative to the reference, -1 = not yet placed,
    // g > 0 = placed exactly relative to another member only.
    std::vector<int> group(n, -1);
    std::vector<double> position(n);
    std::vector<std::set<std::size_t>> tried(n);
    for (std::size_t i = 0; i < n; ++i) position[i] = members[i].coarse - members[ref].coarse;
    group[ref] = 0;

    auto attempt = [&](std::size_t m, std::size_t a) {
      tried[m].insert(a);
      const PairRefinement r = refinePair(*recordingOf(members[a]), *recordingOf(members[m]),
                                          members[m].coarse - members[a].coarse, settings);
      if (!r.warning.empty())
        std::cerr << "warning: cannot refine " << members[m].path << ": " << r.warning << '\n';
      if (!r.refined) return false;
      members[m].anchor = members[a].id;
      members[m].score = r.score;
      position[m] = position[a] + r.lagSeconds;
      return true;
    };

    for (; nextTask < tasks.size() && tasks[nextTask].cluster == c; ++nextTask) {
      const Task& task = tasks[nextTask];
      MemberResult& m = members[task.member];
      tried[task.member].insert(ref);
      m.score = task.outcome.score;
      if (!task.outcome.warning.empty())
        std::cerr << "warning: cannot refine " << m.path << ": " << task.outcome.warning << '\n';
      if (!task.outcome.refined) continue;
      m.anchor = members[ref].id;
      position[task.member] = task.outcome.lagSeconds;
      group[task.member] = 0;
    }

    // Members the reference could not place are chained through placed members
    // they overlap (a short recording may share little or nothing with it);
    // two tries each, best overlap first.
    for (bool progressed = true; progressed;) {
      progressed = false;
      for (std::size_t m = 0; m < n; ++m) {
        if (group[m] >= 0 || recordingOf(members[m]) == nullptr) continue;
        std::vector<std::pair<double, std::size_t>> anchors;
        for (std::size_t a = 0; a < n; ++a) {
          const double ov = overlap(members[a], members[m]);
          if (group[a] == 0 && tried[m].count(a) == 0 && ov >= settings.minOverlapSeconds)
            anchors.push_back({-ov, a});
        }
        std::sort(anchors.begin(), anchors.end());
        for (std::size_t k = 0; k < anchors.size() && tried[m].size() < 3; ++k) {
          if (attempt(m, anchors[k].second)) {
            group[m] = 0;
            progressed = true;
            break;
          }
        }
      }
    }

    // What is left does not correlate with the reference's group. Members that
    // correlate with each other still get exact relative offsets, placed as a
    // whole by the landmark estimate of their first member.
    std::vector<std::size_t> strays;
    int groups = 0;
    for (std::size_t m = 0; m < n; ++m) {
      if (group[m] >= 0) continue;
      strays.push_back(m);
      for (std::size_t a = 0; a < m && group[m] < 0; ++a)
        if (group[a] > 0 && members[a].anchor == 0 &&
            overlap(members[a], members[m]) >= settings.minOverlapSeconds && attempt(m, a))
          group[m] = group[a];
      if (group[m] < 0) group[m] = ++groups;
    }
    if (!strays.empty() && n > 1) {
      std::string names;
      for (std::size_t m : strays) names += (names.empty() ? "" : ", ") + members[m].name;
      std::cerr << "warning: cluster " << c + 1 << ": " << names
                << " did not correlate with the reference " << members[ref].name
                << "; kept at the landmark offsets (from another event?)" << std::endl;
    }

    for (std::size_t i = 0; i < n; ++i) members[i].refined = group[i] == 0 && i != ref;
    bool any = false;
    for (const MemberResult& m : members) any = any || m.refined;
    members[ref].refined = any;  // the anchor of the others is exact by definition
    const double earliest = *std::min_element(position.begin(), position.end());
    for (std::size_t i = 0; i < n; ++i) members[i].offset = position[i] - earliest;
  }
}

}  // namespace velktool
