#include "velk/alignment.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <iostream>
#include <limits>
#include <mutex>
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

  // The reference is the member at offset 0 (the last one, should there be several).
  std::vector<std::size_t> reference(clusters.size(), 0);
  std::vector<Task> tasks;
  std::vector<std::vector<bool>> placed(clusters.size());
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    auto& members = clusters[c].members;
    placed[c].assign(members.size(), false);
    std::size_t ref = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (members[i].coarse == 0.0) ref = i;
      if (members[i].coarse < members[ref].coarse) ref = i;
    }
    reference[c] = ref;
    placed[c][ref] = true;
    const Recording* refRec = recordingOf(members[ref]);
    for (std::size_t i = 0; i < members.size() && refRec != nullptr; ++i) {
      const Recording* rec = recordingOf(members[i]);
      if (i == ref || rec == nullptr) continue;
      if (overlapSeconds(*refRec, members[ref].coarse, *rec, members[i].coarse) >=
          settings.minOverlapSeconds)
        tasks.push_back({c, i, ref, members[i].coarse - members[ref].coarse, {}});
    }
  }

  std::atomic<std::size_t> done{0};
  std::mutex progressMutex;
  const std::size_t total = tasks.size();
  parallelFor(tasks.size(), settings.threads, [&](std::size_t t) {
    Task& task = tasks[t];
    const auto& members = clusters[task.cluster].members;
    task.outcome = refinePair(*recordingOf(members[task.anchor]),
                              *recordingOf(members[task.member]), task.coarseLag, settings);
    const std::size_t d = ++done;
    std::lock_guard<std::mutex> lock(progressMutex);
    progress.show("refining: " + std::to_string(d) + "/" + std::to_string(total) + " members");
  });
  progress.clear();

  for (std::size_t c = 0; c < clusters.size(); ++c) {
    auto& members = clusters[c].members;
    const std::size_t ref = reference[c];
    // Positions relative to the reference; unrefined members keep the coarse spacing.
    std::vector<double> position(members.size());
    for (std::size_t i = 0; i < members.size(); ++i)
      position[i] = members[i].coarse - members[ref].coarse;
    for (const Task& task : tasks) {
      if (task.cluster != c) continue;
      MemberResult& m = members[task.member];
      m.anchor = members[ref].id;
      m.score = task.outcome.score;
      if (task.outcome.refined) {
        m.refined = true;
        position[task.member] = task.outcome.lagSeconds;
      }
      if (!task.outcome.warning.empty())
        std::cerr << "warning: cannot refine " << m.path << ": " << task.outcome.warning << '\n';
      placed[c][task.member] = true;
    }
    // Members that barely overlap the reference are chained through the placed
    // member they overlap most.
    for (;;) {
      std::size_t best = members.size(), anchor = 0;
      double bestOverlap = -std::numeric_limits<double>::infinity();
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (placed[c][i] || recordingOf(members[i]) == nullptr) continue;
        for (std::size_t a = 0; a < members.size(); ++a) {
          if (!placed[c][a] || recordingOf(members[a]) == nullptr) continue;
          const double ov = overlapSeconds(*recordingOf(members[a]), members[a].coarse,
                                           *recordingOf(members[i]), members[i].coarse);
          if (ov > bestOverlap) {
            bestOverlap = ov;
            best = i;
            anchor = a;
          }
        }
      }
      if (best == members.size()) break;
      placed[c][best] = true;
      MemberResult& m = members[best];
      m.anchor = members[anchor].id;
      if (bestOverlap < settings.minOverlapSeconds) continue;
      const PairRefinement r = refinePair(*recordingOf(members[anchor]), *recordingOf(m),
                                          m.coarse - members[anchor].coarse, settings);
      m.score = r.score;
      if (r.refined) {
        m.refined = true;
        position[best] = position[anchor] + r.lagSeconds;
      } else {
        position[best] = position[anchor] + (m.coarse - members[anchor].coarse);
      }
    }
    bool any = false;
    for (const MemberResult& m : members) any = any || m.refined;
    members[ref].refined = any;  // the anchor of the others is exact by definition
    const double earliest = *std::min_element(position.begin(), position.end());
    for (std::size_t i = 0; i < members.size(); ++i) members[i].offset = position[i] - earliest;
  }
}

}  // namespace velktool
