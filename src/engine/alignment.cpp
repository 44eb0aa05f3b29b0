#include "engine/alignment.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <iostream>
#include <limits>
#include <optional>
#include <set>
#include <thread>

#include "audio/wav_reader.h"
#include "engine/overlap.h"
#include "engine/parallel.h"
#include "engine/second_look.h"
#include "engine/sync_result.h"
#include "velk/media.h"
#include "velk/wavfile.h"

namespace Velk {

namespace {

bool readWavBlock(const std::string& path, int64_t start, int64_t length, std::vector<float>& out,
                  std::string& error) {
  try {
    wavfile_t wav(path, 1, 1, 16000);
    const int64_t available = std::max<int64_t>(0, static_cast<int64_t>(wav.numSamples) - start);
    const int64_t count = std::min(length, available);
    if (count <= 0) return true;
    if (count > std::numeric_limits<int32_t>::max() || wav.bitsPerSample < 8) {
      error = "stretch too long";
      return false;
    }
    detail::seekWavFrame(wav, static_cast<uint64_t>(start));
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
  if (r.wavReadable && r.sampleRate == rate && r.channel == 0)
    return readWavBlock(r.path, start, length, out, error);

  DecodeOptions opt;
  opt.sampleRate = rate;
  opt.channels = channelsToDecode(r.channel);
  opt.startSeconds = static_cast<double>(start) / rate;
  opt.maxSeconds = static_cast<double>(length) / rate;
  std::size_t filled = 0;
  const FrameSink sink = monoOf(r.channel, [&](const float* frames, std::size_t count, int) {
    const std::size_t n = std::min(count, out.size() - filled);
    std::copy(frames, frames + n, out.begin() + static_cast<std::ptrdiff_t>(filled));
    filled += n;
    return filled < out.size();
  });
  if (r.route == Route::Memory) {
    if (!r.audio) {
      error = "no audio was given";
      return false;
    }
    return resampleFrames(r.audio->frames(), r.audio->sampleRate, opt, sink, error);
  }
  return decodeAudio(r.path, opt, sink, error);
}

namespace {

// The member stretch on the anchor's clock: y[k] = m(k / (1 + drift)), by
// linear interpolation. Within a long stretch a drifting clock moves the lag
// by drift x length, which blurs the correlation peak; on one clock it stays sharp.
std::vector<float> toAnchorClock(const std::vector<float>& m, double driftPpm) {
  const double r = 1.0 + driftPpm * 1e-6;
  if (m.size() < 2) return m;
  const auto n = static_cast<std::size_t>(std::floor(static_cast<double>(m.size() - 1) * r)) + 1;
  std::vector<float> y(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double x = static_cast<double>(k) / r;
    const auto i = std::min(static_cast<std::size_t>(x), m.size() - 2);
    const double f = x - static_cast<double>(i);
    y[k] = static_cast<float>((1.0 - f) * m[i] + f * m[i + 1]);
  }
  return y;
}

}  // namespace

WindowLag correlateWindow(const Recording& anchor, const Recording& member, uint32_t rate,
                          const VkRefineWindow& w, const RefineSettings& settings,
                          double driftPpm) {
  WindowLag out;
  if (!w.valid) return out;
  std::vector<float> anchorBlock, memberBlock;
  if (!readMonoBlock(anchor, rate, w.refStart, w.refLength, anchorBlock, out.warning) ||
      !readMonoBlock(member, rate, w.memberStart, w.memberLength, memberBlock, out.warning))
    return out;
  out.warning.clear();
  if (driftPpm != 0.0) memberBlock = toAnchorClock(memberBlock, driftPpm);
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
  // On one clock the lag found is that of the stretch's first sample.
  out.memberStart = static_cast<double>(w.memberStart);
  out.memberLength = static_cast<double>(w.memberLength);
  out.centreSamples = static_cast<double>(w.memberStart) +
                      (driftPpm != 0.0 ? 0.0 : 0.5 * static_cast<double>(w.memberLength));
  return out;
}

// The middle of the overlap correlates, but most of the rest does not, and
// far below what the middle promised: the two share a stretch of sound (a
// loop, a song played at two events) rather than an event. A weak recording
// fails some stretches too, but near the bar, not at the level of noise.
bool repeatOnly(const OverlapFit& fit, float middleScore, double middleSeconds) {
  constexpr int kLeastStretches = 4;
  constexpr double kMostAgreeing = 0.5;
  constexpr double kNoiseShare = 0.25;
  if (fit.windows < kLeastStretches || fit.agreeShare() >= kMostAgreeing) return false;
  // Scores grow with the square root of the length correlated.
  const double expected = middleScore * std::sqrt(kDriftWindowSeconds / middleSeconds);
  return fit.otherScore < kNoiseShare * expected;
}

// Clocks a thousand parts per million apart move the lag by 30 ms within a
// 30-s stretch, which blurs its peak below the bar, most of all in noise.
// Shorter stretches along the whole overlap may still agree on a line whose
// drift explains that; a song two events played agrees along part of it only.
bool blurredByDrift(const OverlapFit& fit, const VkRefineWindow& middle, uint32_t rate) {
  // Searched that widely, stretches of a false lag line up by chance more
  // often: most of them must agree.
  constexpr double kBlurSeconds = 0.002, kMostAgree = 0.8;
  return fit.confirmed && fit.agreeShare() >= kMostAgree && fit.driftKnown && !fit.partial() &&
         std::abs(fit.driftPpm) * 1e-6 * static_cast<double>(middle.memberLength) >=
             kBlurSeconds * rate;
}

// What stretches along the overlap said, into r.
void readAlong(const OverlapFit& fit, PairRefinement& r) {
  if (fit.windows > 0) r.agreement = static_cast<float>(fit.agreeShare());
  r.along = fit.windows > 0;
  r.confirmed = fit.confirmed;
  r.partial = fit.partial();
  r.sharedFrom = fit.sharedFrom;
  r.sharedTo = fit.sharedTo;
  r.agreeFrom = fit.agreeFrom;
  r.agreeTo = fit.agreeTo;
  r.unbroken = fit.run == fit.agreeing;
  r.alongLagSeconds = fit.lagSeconds;
  r.alongDriftKnown = fit.driftKnown;
  r.alongDriftPpm = fit.driftPpm;
  r.offLine = fit.offLine;
}

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
  WindowLag middle = correlateWindow(anchor, member, rate, w, settings);
  result.warning = middle.warning;
  result.measured = middle.measured;
  result.score = middle.score;
  if (!middle.accepted) {
    if (!middle.measured) return result;
    const OverlapFit along = fitOverlap(anchor, member, coarseLagSeconds, settings,
                                        kMaxDriftWindows, kDriftWindowSeconds);
    if (!blurredByDrift(along, w, rate)) return result;
    const double middleSeconds = (static_cast<double>(w.memberStart) + 0.5 * w.memberLength) / rate;
    middle.lagSamples = (along.lagSeconds + along.driftPpm * 1e-6 * middleSeconds) * rate;
    result.score = along.score;
  }
  result.refined = true;
  result.lagSeconds = middle.lagSamples / rate;

  // Clocks of separate devices differ by tens of parts per million: over an
  // hour, tens of milliseconds between the middle of an overlap and its start.
  // Stretches from one end of the overlap to the other give lags on a line
  // whose value at the member's first sample is the difference of the starts.
  const double overlap = std::min(static_cast<double>(memberSamples),
                                  static_cast<double>(anchorSamples) - middle.lagSamples) -
                         std::max(0.0, -middle.lagSamples);
  if (!(overlap >= settings.minDriftSpanSeconds * rate)) return result;
  const OverlapFit fit = fitOverlap(anchor, member, result.lagSeconds, settings, kMaxDriftWindows,
                                    kDriftWindowSeconds);
  readAlong(fit, result);
  if (repeatOnly(fit, middle.score, static_cast<double>(w.memberLength) / rate)) {
    result.refined = false;
    result.repeat = true;
    return result;
  }
  // A drift that moves the lag by less than a tenth of a millisecond over the
  // whole overlap is the noise of the lags, not two clocks.
  // Over a long overlap even a drift of none is worth reporting as measured.
  constexpr double kLeastDriftEffect = 0.0001, kReportedSpanSeconds = 120.0;
  const bool matters = std::abs(fit.driftPpm) * 1e-6 * overlap >= kLeastDriftEffect * rate;
  if (!fit.confirmed || !fit.driftKnown) return result;
  // Too small to report, it still carries down a chain: over the next
  // recordings' minutes, a few ppm are milliseconds.
  result.driftPpm = fit.driftPpm;
  if (!matters && overlap < kReportedSpanSeconds * rate) return result;
  result.driftMeasured = true;
  if (matters) result.lagSeconds = fit.lagSeconds;
  return result;
}

namespace {

// The clustering places a member through a chain of pairs; when one of them
// matched shared material (a song two events played) its landmark offset is
// off by the distance between the repeats, though the member's own pair with
// the anchor may peak at the right lag. So when the coarse lag fails, the
// pair's other peaks get one correlation each, strongest first (a loop
// played three times peaks three times).
PairRefinement refineAtOwnPeak(const Recording& anchor, int32_t anchorId, const Recording& member,
                               int32_t memberId, double coarseLagSeconds,
                               const RefineSettings& settings, const PeakTable& peaks) {
  PairRefinement r = refinePair(anchor, member, coarseLagSeconds, settings);
  auto holds = [](const PairRefinement& x) { return x.refined && (!x.along || x.confirmed); };
  // Agreeing in part only, the coarse lag may be a repeat's: a peak along
  // which the whole overlap agrees is the pair's own.
  if (holds(r) && !r.partial) return r;
  for (double lag : otherLags(peaks, anchorId, memberId, coarseLagSeconds)) {
    PairRefinement own = refinePair(anchor, member, lag, settings);
    if (holds(own) && !(holds(r) && own.partial)) return own;
  }
  return r;
}

std::string joinNames(const ClusterResult& cluster, const std::vector<std::size_t>& indices) {
  std::string names;
  for (std::size_t i : indices) names += (names.empty() ? "" : ", ") + cluster.members[i].name;
  return names;
}

}  // namespace

namespace {

// One part of a settled cluster, its earliest member at 0. A split group's
// offsets are exact among themselves: its first member anchors the others as
// the reference does in group 0.
ClusterResult settlePart(const ClusterResult& cluster, const ClusterVerdict& verdict, bool split,
                         int key, const std::vector<std::size_t>& indices,
                         const std::map<int, std::size_t>& groupSize) {
  const auto& members = cluster.members;
  const std::size_t ref = verdict.reference;
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
    m.refined = (g == 0 && i != ref) || (split && g > 0 && groupSize.at(g) > 1);
    // Measured against the clock of the part's reference; strays kept in the
    // cluster sit at landmark offsets.
    m.driftKnown = m.driftKnown && (g == 0 || (split && g > 0));
    any = any || m.refined;
    m.offset = verdict.position[i] - earliest;
    m.splitOff = split && g > 0;
    if (split) m.coarse -= earliestCoarse;
    c.members.push_back(m);
  }
  if (key == 0)
    for (MemberResult& m : c.members)
      if (m.id == members[ref].id) m.refined = any;  // exact by definition when others are
  std::size_t clock = ref;
  if (key != 0) {
    const auto founder = verdict.founder.find(key);
    clock = founder != verdict.founder.end() ? founder->second : indices.front();
  }
  c.reference = members[clock].id;
  for (MemberResult& m : c.members)
    if (m.id == c.reference) m.driftKnown = false;  // its clock is the measure
  return c;
}

}  // namespace

std::vector<ClusterResult> settleCluster(const ClusterResult& cluster,
                                         const ClusterVerdict& verdict, bool split,
                                         std::vector<SyncMessage>& notes) {
  const auto& members = cluster.members;
  const std::size_t ref = verdict.reference;
  const std::string where = "cluster of " + members[ref].name + ": ";
  // Unchecked members stay with the reference: nothing says they belong elsewhere.
  std::map<int, std::vector<std::size_t>> parts;
  std::map<int, std::size_t> groupSize;
  std::vector<std::size_t> strays, unchecked;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const int g = verdict.group[i];
    parts[split && g > 0 ? g : 0].push_back(i);
    if (g > 0) ++groupSize[g], strays.push_back(i);
    if (g < 0) unchecked.push_back(i);
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
    out.push_back(settlePart(cluster, verdict, split, key, indices, groupSize));
  }
  sortClusters(out);
  return out;
}

namespace {

using RecordingMap = std::map<int32_t, const Recording*>;

const Recording* recordingOf(const RecordingMap& recordings, const MemberResult& m) {
  const auto it = recordings.find(m.id);
  return it == recordings.end() ? nullptr : it->second;
}

double overlapOf(const RecordingMap& recordings, const MemberResult& a, const MemberResult& b) {
  const Recording* ra = recordingOf(recordings, a);
  const Recording* rb = recordingOf(recordings, b);
  if (ra == nullptr || rb == nullptr) return -1.0;
  return overlapSeconds(*ra, a.coarse, *rb, b.coarse);
}

std::size_t referenceOf(const ClusterResult& cluster) {
  const auto& members = cluster.members;
  for (std::size_t i = 0; i < members.size(); ++i)
    if (members[i].id == cluster.reference) return i;
  return designedReference(cluster);
}

// The line of one part of a paused recording: its lag at the member's first
// sample and its drift.
struct PartLine {
  double lagSeconds = 0.0;
  double driftPpm = 0.0;
  double at(double memberSeconds) const { return lagSeconds + driftPpm * 1e-6 * memberSeconds; }
};

// The same line seen from the anchor: the member's second at each of the
// anchor's.
PartLine inverse(const PartLine& line) {
  const double rate = 1.0 + line.driftPpm * 1e-6;
  return {-line.lagSeconds / rate, (1.0 / rate - 1.0) * 1e6};
}

// The line the stretches along r's overlap agreed on, and the line r places
// the member by (its drift only where it was measured).
PartLine alongLine(const PairRefinement& r) {
  return {r.alongLagSeconds, r.alongDriftKnown ? r.alongDriftPpm : 0.0};
}
PartLine placingLine(const PairRefinement& r) {
  return {r.lagSeconds, r.driftMeasured ? r.driftPpm : 0.0};
}

// Whether every stretch in points (off its own part's line) that lies in its
// part's seconds [from, to] lies on line or on the other.
bool explained(const std::vector<std::pair<double, double>>& points, const PartLine& line,
               const PartLine& other, double from, double to) {
  // A long stretch's lag is that of its loudest part: it strays from the
  // line by up to half the drift over its length, and a millisecond.
  const double drift = std::max(std::abs(line.driftPpm), std::abs(other.driftPpm)) * 1e-6;
  const double slack = 0.002 + 0.5 * drift * kDriftWindowSeconds;
  for (const auto& [second, lag] : points)
    if (second >= from && second <= to && std::abs(lag - line.at(second)) > slack &&
        std::abs(lag - other.at(second)) > slack)
      return false;
  return true;
}

// A stretch of member seconds that agreed on a line, and whether the line's
// drift was measured.
struct PartRun {
  PartLine& line;
  double from, to;
  bool driftKnown;
};

// Stretches this long find where a part or a stretch of shared material ends.
constexpr double kEdgeStretchSeconds = 1.0;

// How far off line (seconds) a short stretch of member around memberSeconds
// finds its peak with anchor, if it finds one within searchSeconds of it.
namespace {

// A stretch of member around memberSeconds correlated with anchor near line:
// the correlation, and the lag line expects where the one found is measured.
struct LineStretch {
  WindowLag p;
  double expected = 0.0;  // samples
  uint32_t rate = 0;
};

LineStretch stretchOnLine(const Recording& anchor, const Recording& member, const PartLine& line,
                          double memberSeconds, const RefineSettings& settings,
                          double stretchSeconds, double searchSeconds) {
  LineStretch out;
  const uint32_t rate = std::min(anchor.sampleRate, member.sampleRate);
  if (rate == 0) return out;
  out.rate = rate;
  const auto window = static_cast<uint64_t>(stretchSeconds * rate);
  const auto radius = static_cast<int64_t>(
      std::ceil((searchSeconds > 0.0 ? searchSeconds : settings.searchSeconds) * rate));
  const double lag = line.at(memberSeconds) * rate;
  const VkRefineWindow w = planRefineWindowAt(samplesAt(anchor, rate), samplesAt(member, rate), lag,
                                              radius, window, window / 2, memberSeconds * rate);
  // A drift that moves the lag by over a millisecond within the stretch blurs
  // its peak, below the bar in noise: the member is put on the anchor's clock,
  // and the lag found is then that of the stretch's first sample.
  const bool onClock = std::abs(line.driftPpm) * 1e-6 * stretchSeconds > 0.001;
  out.p = correlateWindow(anchor, member, rate, w, settings, onClock ? line.driftPpm : 0.0);
  out.expected = onClock ? line.at(static_cast<double>(w.memberStart) / rate) * rate : lag;
  return out;
}

}  // namespace

std::optional<double> offLine(const Recording& anchor, const Recording& member,
                              const PartLine& line, double memberSeconds,
                              const RefineSettings& settings, double stretchSeconds,
                              double searchSeconds) {
  const LineStretch s =
      stretchOnLine(anchor, member, line, memberSeconds, settings, stretchSeconds, searchSeconds);
  if (s.rate == 0 || !s.p.accepted) return std::nullopt;
  return (s.p.lagSamples - s.expected) / s.rate;
}

// Whether a short stretch of member around memberSeconds correlates with
// anchor on line. A drift too small to put the member on the anchor's clock
// still moves the peak, by half of what it moves the lag in the stretch.
bool holdsAt(const Recording& anchor, const Recording& member, const PartLine& line,
             double memberSeconds, const RefineSettings& settings,
             double stretchSeconds = kEdgeStretchSeconds, double slackSeconds = 0.002,
             double searchSeconds = 0.0) {
  const double blur = std::abs(line.driftPpm) * 1e-6 * stretchSeconds;
  const std::optional<double> off =
      offLine(anchor, member, line, memberSeconds, settings, stretchSeconds, searchSeconds);
  return off && std::abs(*off) <= slackSeconds + (blur > 0.001 ? 0.0 : 0.5 * blur);
}

// Two parts of one recording are the same two clocks: the part whose agreeing
// stretches span longer tells the drift better, and the other's lag is read
// again on that drift in the middle of its own stretches.
void oneDrift(const Recording& anchor, const Recording& member, const RefineSettings& settings,
              PartRun x, PartRun y) {
  if (!x.driftKnown && !y.driftKnown) return;
  bool xTells = x.driftKnown && (!y.driftKnown || x.to - x.from >= y.to - y.from);
  constexpr double kSearchSeconds = 0.05;
  // Parts that disagree enough to blur a stretch by a quarter sample: both
  // parts' middles peak sharper on the true clock of the two.
  const uint32_t rate = std::min(anchor.sampleRate, member.sampleRate);
  if (x.driftKnown && y.driftKnown &&
      std::abs(x.line.driftPpm - y.line.driftPpm) * 1e-6 * kDriftWindowSeconds * rate > 0.25) {
    const auto sharpness = [&](double driftPpm) {
      float sum = 0.0f;
      for (const PartRun* part : {&x, &y}) {
        const double middle = 0.5 * (part->from + part->to);
        const PartLine line{part->line.at(middle) - driftPpm * 1e-6 * middle, driftPpm};
        sum += stretchOnLine(anchor, member, line, middle, settings, kDriftWindowSeconds,
                             kSearchSeconds)
                   .p.score;
      }
      return sum;
    };
    xTells = sharpness(x.line.driftPpm) >= sharpness(y.line.driftPpm);
  }
  const PartLine& teller = xTells ? x.line : y.line;
  const PartRun& other = xTells ? y : x;
  const double middle = 0.5 * (other.from + other.to);
  PartLine line{other.line.at(middle) - teller.driftPpm * 1e-6 * middle, teller.driftPpm};
  const std::optional<double> off =
      offLine(anchor, member, line, middle, settings, kDriftWindowSeconds, kSearchSeconds);
  if (!off) return;
  line.lagSeconds += *off;
  other.line = line;
}

// Halving with 1-s stretches leaves the cut up to a second out; the sound
// tells it to milliseconds. Up to the cut the member's samples match the
// anchor's on the line before it, from it on the line after it, so the cut is
// where the two matches summed are largest. Both are differenced first, so
// that low notes, which hardly change over many samples, do not swamp it;
// what is left decorrelates within a few samples, so each line is first
// moved to the sample where it matches best (a line read in noise may be a
// fraction of a millisecond off).
double sharpenCut(const Recording& anchor, const Recording& member, const PartLine& before,
                  const PartLine& after, double from, double to) {
  const double cut = 0.5 * (from + to);
  const uint32_t rate = std::min(anchor.sampleRate, member.sampleRate);
  if (rate == 0) return cut;
  constexpr double kBlockSeconds = 0.005, kShiftSeconds = 0.001;
  const double reach = 0.5 * (to - from) + kEdgeStretchSeconds;
  const int64_t first = std::max<int64_t>(1, std::llround((cut - reach) * rate));
  const auto block = static_cast<int64_t>(kBlockSeconds * rate);
  const auto blocks = static_cast<int64_t>(2.0 * reach / kBlockSeconds);
  if (blocks < 1) return cut;
  const int64_t length = blocks * block;
  std::string error;
  std::vector<float> m;
  if (!readMonoBlock(member, rate, first - 1, length + 1, m, error)) return cut;
  // What each block gains by lying before the cut rather than after it.
  std::vector<double> gain(static_cast<std::size_t>(blocks), 0.0);
  for (const PartLine* line : {&before, &after}) {
    const double sign = line == &before ? 1.0 : -1.0;
    // Member sample n lies at n + lag on the anchor; the drift moves that by
    // at most a few samples within reach, which the margin covers.
    const auto shift = static_cast<int64_t>(std::ceil(kShiftSeconds * rate));
    const int64_t margin =
        2 + shift + static_cast<int64_t>(std::ceil(std::abs(line->driftPpm) * 1e-6 * reach * rate));
    const int64_t start = first + std::llround(line->at(cut) * rate) - margin;
    if (start < 1) return cut;
    std::vector<float> a;
    if (!readMonoBlock(anchor, rate, start - 1, length + 2 * margin + 1, a, error)) return cut;
    // Where on line member sample n's anchor sample lies in a.
    std::vector<int64_t> onLine(static_cast<std::size_t>(length));
    for (int64_t n = 0; n < length; ++n) {
      const double t = static_cast<double>(first + n) / rate;
      onLine[static_cast<std::size_t>(n)] =
          std::llround((line->at(t) - line->at(cut)) * rate) + margin + n + 1;
    }
    // Member sample n's differenced pair with the anchor's, d samples off line.
    const auto product = [&](int64_t n, int64_t d) {
      const auto k = static_cast<std::size_t>(n);
      const int64_t i = onLine[k] + d;
      if (i < 1 || i >= static_cast<int64_t>(a.size())) return 0.0;
      return static_cast<double>(m[k + 1] - m[k]) *
             (a[static_cast<std::size_t>(i)] - a[static_cast<std::size_t>(i - 1)]);
    };
    int64_t aligned = 0;
    double most = -std::numeric_limits<double>::infinity();
    for (int64_t d = -shift; d <= shift; ++d) {
      double sum = 0.0;
      for (int64_t n = 0; n < length; ++n) sum += product(n, d);
      if (sum > most) most = sum, aligned = d;
    }
    for (int64_t n = 0; n < length; ++n)
      gain[static_cast<std::size_t>(n / block)] += sign * product(n, aligned);
  }
  double sum = 0.0, best = 0.0;
  int64_t at = -1;
  for (int64_t k = 0; k < blocks; ++k) {
    sum += gain[static_cast<std::size_t>(k)];
    if (sum > best) best = sum, at = k + 1;
  }
  // Nothing gained, or the best at the window's end: the cut lies elsewhere.
  if (at < 0 || at == blocks) return cut;
  return static_cast<double>(first + at * block) / rate;
}

// Where between member seconds from (on the line before the cut) and to (on
// the line after it) a recording was paused: short stretches halve the span
// while one of the lines holds at their middle.
double pauseAt(const Recording& anchor, const Recording& member, const PartLine& before,
               const PartLine& after, double from, double to, const RefineSettings& settings) {
  // The last stretch of one part may be the first of the other (it agrees
  // with both): the cut is within half a stretch of either end.
  from -= 0.5 * kDriftWindowSeconds;
  to += 0.5 * kDriftWindowSeconds;
  while (to - from > kEdgeStretchSeconds) {
    const double middle = 0.5 * (from + to);
    if (holdsAt(anchor, member, before, middle, settings))
      from = middle;
    else if (holdsAt(anchor, member, after, middle, settings))
      to = middle;
    else
      break;
  }
  return sharpenCut(anchor, member, before, after, from, to);
}

// Where between member seconds inside (on line) and outside (off it) the
// line stops holding, to within a short stretch, on the outside's side:
// stretches along a long overlap lie tens of seconds apart, and what is
// known to be shared material should not reach that much further than it does.
double edgeAt(const Recording& anchor, const Recording& member, const PartLine& line, double inside,
              double outside, const RefineSettings& settings) {
  while (std::abs(outside - inside) > kEdgeStretchSeconds) {
    const double middle = 0.5 * (inside + outside);
    (holdsAt(anchor, member, line, middle, settings) ? inside : outside) = middle;
  }
  return outside;
}

// The walk through one cluster once every member has been tried against the
// reference: chain the others through placed members, group the strays.
class ClusterWalk {
 public:
  ClusterWalk(ClusterResult& cluster, std::size_t ref, const RecordingMap& recordings,
              const RefineSettings& settings, const PeakTable& peaks, const Reporter& report)
      : members_(cluster.members),
        n_(members_.size()),
        ref_(ref),
        recordings_(recordings),
        settings_(settings),
        peaks_(peaks),
        report_(report),
        via_(n_, n_),
        checked_(n_, false),
        tried_(n_),
        strayTries_(n_, 0),
        sharedWithReference_(n_, -1.0f) {
    verdict_.reference = ref;
    verdict_.group.assign(n_, -1);
    verdict_.position.resize(n_);
    for (std::size_t i = 0; i < n_; ++i)
      verdict_.position[i] = members_[i].coarse - members_[ref].coarse;
    verdict_.group[ref] = 0;
  }

  // What the correlation with the reference said of member m: first only
  // what it shows of shared material, so that every placement is judged by
  // all of it.
  void noteAgainstReference(std::size_t m, const PairRefinement& outcome) {
    outcome_[m] = judge(ref_, m, outcome);
    if (outcome.partial && !outcome_[m].refined) sharedWithReference_[m] = outcome_[m].agreement;
  }

  void placeAgainstReference(std::size_t m, const PairRefinement& outcome) {
    MemberResult& member = members_[m];
    tried_[m].insert(ref_);
    checked_[m] = outcome.measured;
    member.score = outcome.score;
    if (!outcome.warning.empty())
      report_.warning("cannot refine " + member.path + ": " + outcome.warning);
    const auto judged = outcome_.find(m);
    if (judged == outcome_.end() || !placedBy(ref_, m, judged->second)) return;
    const PairRefinement& r = judged->second;
    member.anchor = members_[ref_].id;
    verdict_.position[m] = r.lagSeconds + pauseBefore(ref_, r.lagSeconds);
    placedOn_[m] = placingLine(r);
    verdict_.group[m] = 0;
    via_[m] = ref_;
    member.driftKnown = r.driftMeasured;
    member.driftPpm = r.driftPpm;
    member.agreement = r.agreement;
    member.parts = parts_[m];
  }

  // Members placed through a link that only shared material supports (as
  // learnt after they were placed) leave, with every member placed through
  // them, and are chained again. True when any left.
  bool dropSharedLinks() {
    bool dropped = false;
    for (std::size_t m = 0; m < n_; ++m) {
      if (group(m) != 0 || m == ref_ || via_[m] >= n_ || !sharedLinkOnly(m)) continue;
      unplace(m);
      dropped = true;
    }
    return dropped;
  }

  // A member placed through an overlap that covers part of it (its anchor
  // ended early) may be paused past it: a placed member that covers the rest
  // tells, and its parts are noted where the first lies as placed.
  void checkPastAnchors() {
    constexpr double kUncheckedSeconds = 30.0;
    for (std::size_t m = 0; m < n_; ++m) {
      const Recording* rm = recordingOf(recordings_, members_[m]);
      const auto known = parts_.find(m);
      if (group(m) != 0 || m == ref_ || via_[m] >= n_ || rm == nullptr ||
          (known != parts_.end() && known->second.size() >= 2))
        continue;
      const double start = verdict_.position[m], end = start + rm->durationSeconds;
      const auto coverOf = [&](std::size_t b, double from, double to) {
        const Recording* rb = recordingOf(recordings_, members_[b]);
        if (rb == nullptr) return 0.0;
        return std::min(to, verdict_.position[b] + rb->durationSeconds) -
               std::max(from, verdict_.position[b]);
      };
      const std::size_t a = via_[m];
      const Recording* ra = recordingOf(recordings_, members_[a]);
      if (ra == nullptr) continue;
      const double aFrom = verdict_.position[a], aTo = aFrom + ra->durationSeconds;
      // What of m lies past its anchor, the longer side.
      const double before = aFrom - start, after = end - aTo;
      if (std::max(before, after) < kUncheckedSeconds) continue;
      const double from = after >= before ? aTo : start, to = after >= before ? end : aFrom;
      std::size_t best = n_;
      double most = kUncheckedSeconds;
      for (std::size_t b = 0; b < n_; ++b) {
        if (b == m || b == a || group(b) != 0 || tried_[m].count(b) > 0) continue;
        const double cover = coverOf(b, from, to);
        if (cover >= most) most = cover, best = b;
      }
      if (best == n_) continue;
      const PairRefinement r = judge(best, m, correlate(m, best));
      const auto parts = parts_.find(m);
      if (parts == parts_.end() || parts->second.size() < 2) continue;
      const double at = verdict_.position[best] + clockRate(members_[best]) * r.lagSeconds;
      constexpr double kSameSeconds = 0.01;
      if (std::abs(at - start) <= kSameSeconds) members_[m].parts = parts->second;
    }
  }

  // Members the reference could not place are chained through placed members
  // they overlap (a short recording may share little or nothing with it).
  void chain() {
    for (bool progressed = true; progressed;) {
      progressed = false;
      for (std::size_t m = 0; m < n_; ++m) {
        if (group(m) >= 0 || recordingOf(recordings_, members_[m]) == nullptr) continue;
        for (const auto& [ov, a] : anchorsFor(m, [&](std::size_t a) { return group(a) == 0; })) {
          if (tried_[m].size() >= kMaxAnchorTries) break;
          // Nothing but shared material to compare: not worth a correlation,
          // unless m agreed with the reference in part (a pause moves the rest
          // of it beyond the shared material).
          if (!partialWithReference(m) && onlyShared(a, m, members_[m].coarse - members_[a].coarse))
            continue;
          const PairRefinement r = judge(a, m, correlate(m, a));
          if (!placedBy(a, m, r)) continue;
          placeThrough(m, a, r);
          progressed = true;
          break;
        }
      }
    }
  }

  // What is left does not correlate with the reference's group. Strays that
  // correlate with each other form groups with exact relative offsets, placed
  // as a whole by the landmark offset of their first member.
  void groupStrays() {
    int groups = 0;
    // Strays that anchor no one come last: they can still join a group the
    // others founded, as its members do.
    std::vector<std::size_t> order;
    for (bool anchors : {true, false})
      for (std::size_t m = 0; m < n_; ++m)
        if (group(m) < 0 && checked_[m] && anchorsStrays(m) == anchors) order.push_back(m);
    auto settle = [&](std::size_t m) {
      linkToStrays(m);
      if (group(m) < 0) {
        verdict_.group[m] = ++groups;
        verdict_.founder[groups] = m;
      }
    };
    for (std::size_t m : order) settle(m);
    // A stray that joined a group through shared material alone, as strays
    // compared after it showed (a studio file joins the first event that
    // played its song before the second event is seen to play it too),
    // leaves with every member placed through it, and links again.
    for (std::size_t round = 0; round < n_; ++round) {
      const std::vector<int> before = verdict_.group;
      for (std::size_t m = 0; m < n_; ++m)
        if (group(m) > 0 && via_[m] < n_ && group(via_[m]) == group(m) && sharedLinkOnly(m, true))
          unplace(m);
      bool left = false;
      for (std::size_t m = 0; m < n_; ++m)
        if (before[m] > 0 && group(m) < 0) {
          verdict_.position[m] = members_[m].coarse - members_[ref_].coarse;
          left = true;
        }
      if (!left) break;
      for (std::size_t m : order)
        if (group(m) < 0) settle(m);
    }
    // Members never compared with the reference's group may still match a stray
    // group; otherwise nothing is known and they stay.
    for (bool progressed = true; progressed;) {
      progressed = false;
      for (std::size_t m = 0; m < n_; ++m)
        if (group(m) < 0 && recordingOf(recordings_, members_[m]) != nullptr && linkToStrays(m))
          progressed = true;
    }
    noteHeldBack();
  }

  const ClusterVerdict& verdict() const { return verdict_; }

 private:
  // A member that agreed in parts with some member, but only on shared
  // material, is left alone: its event cannot be told. Silence would hide
  // that it was found at all.
  void noteHeldBack() const {
    for (const auto& [m, a] : partsWith_) {
      if (group(m) == 0 ||
          (group(m) > 0 && std::count(verdict_.group.begin(), verdict_.group.end(), group(m)) > 1))
        continue;
      report_.note(members_[m].name + " agrees with " + members_[a].name + " in " +
                   std::to_string(parts_.at(m).size()) +
                   " parts (paused or cut), but only on sound shared with another event; it is "
                   "not placed");
    }
  }

  int group(std::size_t i) const { return verdict_.group[i]; }

  // How much later on the timeline than a's file puts it a member lies that
  // starts lag into a: a's pauses before that second.
  double pauseBefore(std::size_t a, double lag) const {
    const auto parts = parts_.find(a);
    double gap = 0.0;
    if (parts != parts_.end())
      for (const MemberPart& p : parts->second)
        if (lag >= p.fileSeconds) gap = p.gapSeconds;
    return gap;
  }

  // A correlation m against a, read along the overlap. One part agreeing
  // while others find nothing is either a recording paused or cut (another
  // peak of the pair's landmarks agrees where the first does not: its parts
  // are noted and the member placed by its first) or shared material (a
  // song played at two events, its studio file): that stretch of the
  // timeline then proves nothing about anything that overlaps only there.
  PairRefinement judge(std::size_t a, std::size_t m, PairRefinement r) {
    const PairRefinement measured = r;
    const bool middleFailed = !r.refined && !r.repeat;
    if (middleFailed ? !(r.measured && partAlong(a, m, r)) : !r.partial) return r;
    const Recording& anchor = *recordingOf(recordings_, members_[a]);
    const Recording& member = *recordingOf(recordings_, members_[m]);
    // Each part's lag at the member's first sample: their difference is the pause.
    std::vector<std::pair<double, double>> found{{r.sharedFrom, r.alongLagSeconds}};
    double coveredBy = 0.0;          // the share of the overlap the other part agrees on
    PartLine shared = alongLine(r);  // both parts' drift, once they share one
    bool sharedKnown = r.alongDriftKnown;
    for (double lag : otherLags(peaks_, members_[a].id, members_[m].id, r.lagSeconds)) {
      const OverlapFit other =
          fitOverlap(anchor, member, lag, settings_, kMaxDriftWindows, kDriftWindowSeconds);
      // Another part is an unbroken run of stretches (scattered agreeing
      // stretches are a song's repeats), lies beside the first, not over it
      // nor inside it (a stretch across the cut may agree with both), at
      // another lag, and the two account for the overlap.
      constexpr double kPartsCover = 0.8;
      const bool otherLater = other.agreeFrom > r.agreeFrom;
      const double earlierTo = otherLater ? r.agreeTo : other.agreeTo;
      const double laterFrom = otherLater ? other.agreeFrom : r.agreeFrom;
      if (other.run < 2 || r.agreement + other.agreeShare() < kPartsCover ||
          std::abs(other.lagSeconds - r.alongLagSeconds) < 1.0 ||
          earlierTo - laterFrom >= kDriftWindowSeconds)
        continue;
      PartLine mine = alongLine(r);
      PartLine theirs{other.lagSeconds, other.driftKnown ? other.driftPpm : 0.0};
      // A pause leaves two lines. A stretch on a part's side of the cut that
      // peaks on neither is music repeating its beats, whose stretches peak
      // at one repeat or another; on the other side, a part's stretches may
      // peak at repeats of the other part's sound.
      const double cutNear = 0.5 * (earlierTo + laterFrom);
      constexpr double kEver = 1e9;
      const bool mineFirst = otherLater;
      if (!explained(r.offLine, theirs, mine, mineFirst ? -kEver : cutNear,
                     mineFirst ? cutNear : kEver) ||
          !explained(other.offLine, mine, theirs, mineFirst ? cutNear : -kEver,
                     mineFirst ? kEver : cutNear))
        continue;
      oneDrift(anchor, member, settings_, {mine, r.agreeFrom, r.agreeTo, r.alongDriftKnown},
               {theirs, other.agreeFrom, other.agreeTo, other.driftKnown});
      found.front().second = mine.lagSeconds;
      found.push_back({other.sharedFrom, theirs.lagSeconds});
      shared = mine;
      sharedKnown = r.alongDriftKnown || other.driftKnown;
      coveredBy = other.agreeShare();
      // The cut lies between the last stretch of the earlier part and the
      // first of the later one; short stretches find it within seconds.
      const PartLine& before = otherLater ? mine : theirs;
      const PartLine& after = otherLater ? theirs : mine;
      if (after.lagSeconds < before.lagSeconds) {
        // Time ran on while the anchor was paused, not m: m is placed on the
        // line of the anchor's first part, and the anchor's cut is sharp in
        // the anchor's own seconds (m holds sound the anchor missed).
        const double cut =
            pauseAt(member, anchor, inverse(before), inverse(after),
                    earlierTo + before.at(earlierTo), laterFrom + after.at(laterFrom), settings_);
        parts_[a] = {MemberPart{}, MemberPart{cut, 0.0, before.lagSeconds - after.lagSeconds}};
        if (a == ref_) members_[a].parts = parts_[a];
        r.agreement = std::min(1.0f, r.agreement + static_cast<float>(coveredBy));
        r.lagSeconds = before.lagSeconds;
        r.refined = r.confirmed = true;
        r.driftMeasured = before.driftPpm != 0.0;
        r.driftPpm = before.driftPpm;
        return r;
      }
      const double cut = pauseAt(anchor, member, before, after, earlierTo, laterFrom, settings_);
      (otherLater ? found.back() : found.front()).first = cut;
      break;
    }
    if (found.size() < 2) {
      if (middleFailed) return measured;
      const double at = verdict_.position[a] + r.lagSeconds;
      shared_.push_back({at + r.sharedFrom, at + r.sharedTo});
      sharedBy_.push_back({m, a, alongLine(r)});
      double from = r.sharedFrom, to = r.sharedTo;
      if (r.unbroken) {
        const PartLine line = alongLine(r);
        from = edgeAt(anchor, member, line, r.agreeFrom, from, settings_);
        to = edgeAt(anchor, member, line, r.agreeTo, to, settings_);
      }
      sharedEdges_.push_back({at + from, at + to});
      r.refined = false;
      return r;
    }
    // Time runs on while a recording is paused: the later part has the larger
    // lag, whichever of the two the overlap met first.
    std::sort(found.begin(), found.end(),
              [](const auto& x, const auto& y) { return x.second < y.second; });
    std::vector<MemberPart> parts;
    for (const auto& [from, lag] : found) {
      MemberPart p;
      p.fileSeconds = parts.empty() ? 0.0 : from;
      p.gapSeconds = lag - found.front().second;
      parts.push_back(p);
    }
    parts_[m] = parts;
    partsWith_.emplace(m, a);
    // The parts agree together (a stretch across the cut may count twice).
    r.agreement = std::min(1.0f, r.agreement + static_cast<float>(coveredBy));
    r.lagSeconds = found.front().second;
    r.refined = r.confirmed = true;
    r.driftMeasured = sharedKnown;
    r.driftPpm = sharedKnown ? shared.driftPpm : 0.0;
    return r;
  }

  // A middle stretch that falls in a pause finds nothing, though the parts
  // each side of it agree: where the landmarks peaked more than once, the
  // overlap is read along at the landmark lag.
  bool partAlong(std::size_t a, std::size_t m, PairRefinement& r) const {
    const double coarse = members_[m].coarse - members_[a].coarse;
    if (otherLags(peaks_, members_[a].id, members_[m].id, coarse).empty()) return false;
    const OverlapFit fit =
        fitOverlap(*recordingOf(recordings_, members_[a]), *recordingOf(recordings_, members_[m]),
                   coarse, settings_, kMaxDriftWindows, kDriftWindowSeconds);
    if (!fit.partial() || fit.run < 2) return false;
    readAlong(fit, r);
    r.lagSeconds = fit.lagSeconds;
    return true;
  }

  bool partialWithReference(std::size_t m) const {
    const auto r = outcome_.find(m);
    return r != outcome_.end() && r->second.partial;
  }

  // Whether r places m against a: a believed correlation that the overlap
  // confirms where it was measured along, over more than shared material
  // (with edges: as far as it was found to reach, not as far as it may).
  bool believed(std::size_t a, std::size_t m, const PairRefinement& r, bool edges = false) const {
    if (!r.refined || (r.along && !r.confirmed)) return false;
    return !onlyShared(a, m, r.lagSeconds, edges) && ownAgrees(a, m, r, edges);
  }

  // A pair that agrees in parts may agree on shared material only, its parts
  // a song heard through a pause: what is its own must agree too.
  bool ownAgrees(std::size_t a, std::size_t m, const PairRefinement& r, bool edges = true) const {
    if (!r.partial || shared_.empty()) return true;
    const OwnSpan own = ownOf(a, m, r.lagSeconds, edges);
    if (own.to - own.from < kEdgeStretchSeconds) return true;  // nothing of its own to tell
    // The part's line is drawn through its own stretches with the drift of the
    // first part: milliseconds off far from them, where nothing agrees at all.
    constexpr double kSlackSeconds = 0.01;
    return ownHolds(a, m, own, {own.lag, placingLine(r).driftPpm}, kSlackSeconds);
  }

  // A member whose overlap with the reference agreed on shared material only
  // (withReference of it) may be of another event that heard the same song:
  // it joins a stray group where its whole overlap agrees, in one part or
  // in parts, and clearly more of it than with the reference.
  static bool agreesMore(const PairRefinement& r, float withReference) {
    constexpr float kWhole = 0.8f, kMore = 0.3f;
    return withReference >= 0.0f && r.refined && r.confirmed && r.agreement >= kWhole &&
           r.agreement >= withReference + kMore;
  }

  // What of m's overlap with a (m starting lag after a) lies outside the
  // stretches of the timeline known to be shared material: its seconds in
  // all, and the longest piece in m's seconds with the lag of m's part there.
  // A member found in parts covers the timeline part by part: its later
  // parts lie a pause further on.
  struct OwnSpan {
    double total = 0.0;
    double from = 0.0, to = 0.0, lag = 0.0;
  };
  OwnSpan ownOf(std::size_t a, std::size_t m, double lag, bool edges = false) const {
    OwnSpan own;
    own.total = kDriftWindowSeconds;  // unknown recordings tell nothing either way
    const Recording* ra = recordingOf(recordings_, members_[a]);
    const Recording* rm = recordingOf(recordings_, members_[m]);
    if (shared_.empty() || ra == nullptr || rm == nullptr) return own;
    std::vector<MemberPart> pieces(1);
    const auto found = parts_.find(m);
    if (found != parts_.end() && found->second.size() >= 2) pieces = found->second;
    own.total = 0.0;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
      const double from = pieces[k].fileSeconds;
      const double to = k + 1 < pieces.size() ? pieces[k + 1].fileSeconds : rm->durationSeconds;
      const double at = lag + pieces[k].gapSeconds;
      const double start = verdict_.position[a] + std::max(0.0, at + from);
      const double end = verdict_.position[a] + std::min(ra->durationSeconds, at + to);
      if (end <= start) {
        own.total += end - start;  // a part beyond a's end takes from the others
        continue;
      }
      for (const auto& [x, y] : uncovered(edges ? sharedEdges_ : shared_, start, end)) {
        own.total += y - x;
        if (y - x <= own.to - own.from) continue;
        const double toMember = verdict_.position[a] + at;
        own.from = x - toMember, own.to = y - toMember, own.lag = at;
      }
    }
    return own;
  }

  // Whether a and m overlap only on stretches of the timeline known to be
  // shared material: less than one stretch of its own is not enough to tell.
  bool onlyShared(std::size_t a, std::size_t m, double lag, bool edges = false) const {
    return ownOf(a, m, lag, edges).total < kDriftWindowSeconds;
  }

  // Whether the longest piece of own (m's, beside another member) correlates
  // with a on line, a stretch of it at most as long as those along overlaps.
  bool ownHolds(std::size_t a, std::size_t m, const OwnSpan& own, const PartLine& line,
                double slackSeconds, double searchSeconds = 0.0) const {
    return holdsAt(*recordingOf(recordings_, members_[a]), *recordingOf(recordings_, members_[m]),
                   line, 0.5 * (own.from + own.to), settings_,
                   std::min(own.to - own.from, kDriftWindowSeconds), slackSeconds, searchSeconds);
  }

  // Believed, or m reaches past where short stretches found the shared
  // material to end (a recording that runs on after a song two events
  // played), and that sound of its own is on r's line too.
  bool placedBy(std::size_t a, std::size_t m, const PairRefinement& r) const {
    if (believed(a, m, r)) return true;
    return r.refined && (!r.along || r.confirmed) && ownBeyondEdges(a, m, placingLine(r));
  }

  // Whether m, on line with a, holds a stretch of its own beyond the shared
  // material's edges that correlates with a and that no member of the other
  // event hears: a song's faint intro, which short stretches miss, is heard
  // there too.
  bool ownBeyondEdges(std::size_t a, std::size_t m, const PartLine& line) const {
    const OwnSpan own = ownOf(a, m, line.lagSeconds, true);
    if (own.total < kDriftWindowSeconds || own.to - own.from < kDriftWindowSeconds) return false;
    constexpr double kSlackSeconds = 0.01;
    return ownHolds(a, m, own, {own.lag, line.driftPpm}, kSlackSeconds) &&
           !heardElsewhere(a, m, own, line.driftPpm);
  }

  // Whether own (m's, lag after a on a's clock, at drift) is heard by a member
  // of another event on the line its shared material put it on.
  bool heardElsewhere(std::size_t a, std::size_t m, const OwnSpan& own, double driftPpm) const {
    const Recording& member = *recordingOf(recordings_, members_[m]);
    const double rateM = clockRate(members_[a]) * (1.0 + driftPpm * 1e-6);
    const double posM = verdict_.position[a] + clockRate(members_[a]) * own.lag;
    for (const SharedSource& source : sharedBy_) {
      const Recording* other = recordingOf(recordings_, members_[source.other]);
      if (source.other == m || group(source.anchor) != 0 || other == nullptr) continue;
      const double rateA = clockRate(members_[source.anchor]);
      const double rateO = rateA * (1.0 + source.line.driftPpm * 1e-6);
      const double posO = verdict_.position[source.anchor] + rateA * source.line.lagSeconds;
      const PartLine line{(posM - posO) / rateO, (rateM / rateO - 1.0) * 1e6};
      // m's seconds that the other member covers
      const double from = std::max(own.from, -line.lagSeconds);
      const double to = std::min(own.to, other->durationSeconds - line.lagSeconds);
      if (to - from < 2.0 * kEdgeStretchSeconds) continue;
      constexpr double kSlackSeconds = 0.03, kSearchSeconds = kSlackSeconds + 0.005;
      if (holdsAt(*other, member, line, 0.5 * (from + to), settings_,
                  std::min(to - from, kDriftWindowSeconds), kSlackSeconds, kSearchSeconds))
        return true;
    }
    return false;
  }

  // The pieces of the timeline from start to end that no stretch covers.
  static std::vector<std::pair<double, double>> uncovered(
      const std::vector<std::pair<double, double>>& shared, double start, double end) {
    std::vector<std::pair<double, double>> cover, gaps;
    for (const auto& [from, to] : shared)
      if (to > start && from < end) cover.push_back({std::max(from, start), std::min(to, end)});
    std::sort(cover.begin(), cover.end());
    double reach = start;
    for (const auto& [from, to] : cover) {
      if (from > reach) gaps.push_back({reach, from});
      reach = std::max(reach, to);
    }
    if (end > reach) gaps.push_back({reach, end});
    return gaps;
  }

  // Takes m and every member placed through it out of the reference's group.
  // Whether the link m was placed through holds nothing but shared material
  // (as far as it may reach, or as far as short stretches found it: strays
  // link by the latter).
  bool sharedLinkOnly(std::size_t m, bool edges = false) const {
    const std::size_t a = via_[m];
    if (!onlyShared(a, m, verdict_.position[m] - verdict_.position[a], edges)) return false;
    const auto line = placedOn_.find(m);
    return line == placedOn_.end() || !ownBeyondEdges(a, m, line->second);
  }

  void unplace(std::size_t m) {
    const int g = group(m);
    verdict_.group[m] = -1;
    via_[m] = n_;
    members_[m].anchor = 0;
    members_[m].driftKnown = false;
    members_[m].agreement = -1.0f;
    members_[m].parts.clear();
    for (std::size_t k = 0; k < n_; ++k)
      if (via_[k] == m && group(k) == g) unplace(k);
  }

  PairRefinement correlate(std::size_t m, std::size_t a) {
    tried_[m].insert(a);
    const PairRefinement r =
        refineAtOwnPeak(*recordingOf(recordings_, members_[a]), members_[a].id,
                        *recordingOf(recordings_, members_[m]), members_[m].id,
                        members_[m].coarse - members_[a].coarse, settings_, peaks_);
    if (!r.warning.empty()) report_.warning("cannot refine " + members_[m].path + ": " + r.warning);
    if (r.measured && group(a) == 0) checked_[m] = true;
    if (r.refined && members_[m].anchor == 0) {
      members_[m].anchor = members_[a].id;
      members_[m].score = r.score;
    }
    return r;
  }

  // m joins a's group. The lag is on a's clock: a's own drift scales it onto
  // the clock of a's group, and the rates multiply.
  void placeThrough(std::size_t m, std::size_t a, const PairRefinement& r) {
    const MemberResult& anchor = members_[a];
    const double rateA = clockRate(anchor);
    verdict_.position[m] =
        verdict_.position[a] + rateA * (r.lagSeconds + pauseBefore(a, r.lagSeconds));
    verdict_.group[m] = group(a);
    via_[m] = a;
    placedOn_[m] = placingLine(r);
    members_[m].parts = parts_[m];
    members_[m].driftKnown = r.driftMeasured || anchor.driftKnown;
    members_[m].agreement = r.agreement;
    members_[m].driftPpm = (rateA * (1.0 + r.driftPpm * 1e-6) - 1.0) * 1e6;
  }

  // Group g joins m's group through r, a correlation of m against a (in g): a
  // time T on g's clock is a's time (T - pos a) / rate a, m's time that less
  // the lag over the pair's rate, and so a time on m's group's clock. As along
  // a chain, a link whose drift was not measured was too small to show.
  void mergeGroup(int g, std::size_t m, std::size_t a, const PairRefinement& r) {
    const double pairRate = 1.0 + r.driftPpm * 1e-6;
    const double rateM = clockRate(members_[m]), rateA = clockRate(members_[a]);
    const double posA = verdict_.position[a], posM = verdict_.position[m];
    const bool pathKnown = r.driftMeasured || members_[m].driftKnown || members_[a].driftKnown;
    for (std::size_t k = 0; k < n_; ++k) {
      if (group(k) != g) continue;
      MemberResult& x = members_[k];
      const bool known = pathKnown || x.driftKnown;
      x.driftPpm = (clockRate(x) * rateM / (pairRate * rateA) - 1.0) * 1e6;
      x.driftKnown = known;
      const double inA = (verdict_.position[k] - posA) / rateA;
      verdict_.position[k] = posM + rateM * (inA - r.lagSeconds) / pairRate;
      verdict_.group[k] = group(m);
    }
  }

  // Anchors for m among the members accept admits, best overlap first.
  template <typename Accept>
  std::vector<std::pair<double, std::size_t>> anchorsFor(std::size_t m, Accept accept) const {
    std::vector<std::pair<double, std::size_t>> anchors;
    for (std::size_t a = 0; a < n_; ++a) {
      const double ov = overlapOf(recordings_, members_[a], members_[m]);
      if (a != m && accept(a) && tried_[m].count(a) == 0 && ov >= settings_.minOverlapSeconds)
        anchors.push_back({-ov, a});
    }
    std::sort(anchors.begin(), anchors.end());
    return anchors;
  }

  // A stray holding nothing but material shared with the reference's group
  // (a studio copy of a song two events played) anchors no one: what agrees
  // with it may share only that song.
  bool anchorsStrays(std::size_t a) const {
    return !onlyShared(ref_, a, members_[a].coarse - members_[ref_].coarse);
  }

  // Whether what m holds of its own beside a, by the edges short stretches
  // found, is still on m's line with the reference: a song fades in and out,
  // and short stretches lose it before it ends. A studio copy of it has no
  // more of its own than that.
  bool ownHeardByReference(std::size_t a, std::size_t m, const PairRefinement& r) const {
    const auto withRef = outcome_.find(m);
    if (withRef == outcome_.end() || !withRef->second.along) return false;
    const OwnSpan own = ownOf(a, m, r.lagSeconds, true);
    if (own.to - own.from < kEdgeStretchSeconds) return false;
    const PairRefinement& q = withRef->second;
    // Near the line at all: a faint fade's peak strays by tens of milliseconds
    // when clocks drift far apart, where sound of m's own finds nothing. Only
    // lags that near are searched: in a noisy reference, a chance peak further
    // out outscores a faint fade, and a false "not heard" joins m wrongly.
    constexpr double kSlackSeconds = 0.03, kSearchSeconds = kSlackSeconds + 0.005;
    return ownHolds(ref_, m, own, {q.alongLagSeconds, q.alongDriftKnown ? q.alongDriftPpm : 0.0},
                    kSlackSeconds, kSearchSeconds);
  }

  // Links m to the stray groups it correlates with; a member that links two
  // groups merges them.
  bool linkToStrays(std::size_t m) {
    const float withReference = sharedWithReference_[m];
    bool linked = false;
    const auto anchors =
        anchorsFor(m, [&](std::size_t a) { return group(a) > 0 && anchorsStrays(a); });
    for (const auto& [ov, a] : anchors) {
      if (strayTries_[m] >= kMaxAnchorTries) break;
      if (group(a) == group(m)) continue;  // already together
      if (withReference < 0.0f && onlyShared(a, m, members_[m].coarse - members_[a].coarse, true))
        continue;
      ++strayTries_[m];
      const PairRefinement r = judge(a, m, correlate(m, a));
      if (!believed(a, m, r, true) && !(agreesMore(r, withReference) && ownAgrees(a, m, r)))
        continue;
      if (!anchorsStrays(m) && ownHeardByReference(a, m, r)) continue;
      if (group(m) <= 0)
        placeThrough(m, a, r);
      else
        mergeGroup(group(a), m, a, r);
      linked = true;
    }
    return linked;
  }

  std::vector<MemberResult>& members_;
  std::size_t n_;
  std::size_t ref_;
  const RecordingMap& recordings_;
  const RefineSettings& settings_;
  const PeakTable& peaks_;
  const Reporter& report_;
  ClusterVerdict verdict_;
  std::vector<std::size_t> via_;  // the member each one of the group was placed through (n_: none)
  std::map<std::size_t, PairRefinement> outcome_;  // against the reference, judged
  std::map<std::size_t, std::vector<MemberPart>> parts_;
  std::map<std::size_t, std::size_t> partsWith_;  // the first member each was found in parts with
  // Stretches of the timeline known to be shared material, in seconds: as far
  // as they may reach (to the nearest stretch along the overlap that did
  // not agree), and as far as short stretches found them to reach.
  std::vector<std::pair<double, double>> shared_, sharedEdges_;
  // The pairs that showed shared material: other agreed with anchor on line.
  struct SharedSource {
    std::size_t other, anchor;
    PartLine line;
  };
  std::vector<SharedSource> sharedBy_;
  std::map<std::size_t, PartLine>
      placedOn_;  // each member's line with the one it was placed through
  // checked: some correlation with a member placed relative to the reference
  // was computed, so failing all of them is evidence of another event.
  std::vector<bool> checked_;
  std::vector<std::set<std::size_t>> tried_;
  std::vector<std::size_t> strayTries_;
  // Members whose overlap with the reference agreed on shared material only:
  // the share that agreed (-1 for the others).
  std::vector<float> sharedWithReference_;
};

// Every member against its cluster's reference, all clusters at once: these
// pairs are independent, so they run in parallel.
std::vector<Task> againstReferences(const std::vector<ClusterResult>& clusters,
                                    const std::vector<std::size_t>& reference,
                                    const RecordingMap& recordings, const RefineSettings& settings,
                                    const PeakTable& peaks, const Reporter& report) {
  std::vector<Task> tasks;
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    const auto& members = clusters[c].members;
    const std::size_t ref = reference[c];
    for (std::size_t i = 0; i < members.size(); ++i)
      if (i != ref && overlapOf(recordings, members[ref], members[i]) >= settings.minOverlapSeconds)
        tasks.push_back({c, i, ref, members[i].coarse - members[ref].coarse, {}});
  }
  std::atomic<std::size_t> done{0};
  parallelFor(tasks.size(), settings.threads, [&](std::size_t t) {
    if (report.stopped()) return;
    Task& task = tasks[t];
    const auto& members = clusters[task.cluster].members;
    task.outcome =
        refineAtOwnPeak(*recordingOf(recordings, members[task.anchor]), members[task.anchor].id,
                        *recordingOf(recordings, members[task.member]), members[task.member].id,
                        task.coarseLag, settings, peaks);
    const std::size_t d = ++done;
    report.progress("refining", static_cast<double>(d) / static_cast<double>(tasks.size()),
                    std::to_string(d) + "/" + std::to_string(tasks.size()) + " members");
  });
  return tasks;
}

}  // namespace

void refineClusters(std::vector<ClusterResult>& clusters, const RecordingMap& recordings,
                    const RefineSettings& settings, const PeakTable& peaks,
                    const Reporter& report) {
  std::vector<std::size_t> reference;
  for (const ClusterResult& c : clusters) reference.push_back(referenceOf(c));
  const std::vector<Task> tasks =
      againstReferences(clusters, reference, recordings, settings, peaks, report);
  std::vector<ClusterResult> settled;
  std::size_t nextTask = 0;
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    ClusterWalk walk(clusters[c], reference[c], recordings, settings, peaks, report);
    const std::size_t first = nextTask;
    for (; nextTask < tasks.size() && tasks[nextTask].cluster == c; ++nextTask)
      walk.noteAgainstReference(tasks[nextTask].member, tasks[nextTask].outcome);
    for (std::size_t t = first; t < nextTask; ++t)
      walk.placeAgainstReference(tasks[t].member, tasks[t].outcome);
    walk.chain();
    for (std::size_t round = 0; round < clusters[c].members.size() && walk.dropSharedLinks();
         ++round)
      walk.chain();
    walk.checkPastAnchors();
    walk.groupStrays();
    std::vector<SyncMessage> notes;
    for (ClusterResult& part :
         settleCluster(clusters[c], walk.verdict(), settings.splitUnverified, notes))
      settled.push_back(std::move(part));
    for (const SyncMessage& line : notes) report.message(line.kind, line.text);
  }
  sortClusters(settled);
  clusters = std::move(settled);
}

}  // namespace Velk
