#include "engine/overlap.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace Velk {

namespace {

struct Line {
  double intercept = 0.0;  // lag at member sample 0
  double slope = 0.0;      // lag change per member sample
};

double residual(const Line& l, const WindowLag& p) {
  return std::abs(l.intercept + l.slope * p.centreSamples - p.lagSamples);
}

// Within a stretch the lag itself moves by slope x window, and its peak sits
// wherever the sound is densest: points may stray by half that, plus 1 ms.
double tolerance(const Line& l, double rate, double window) {
  return 0.001 * rate + 0.5 * std::abs(l.slope) * window;
}

std::vector<std::size_t> inliers(const Line& l, const std::vector<WindowLag>& points, double rate,
                                 double window) {
  std::vector<std::size_t> in;
  for (std::size_t i = 0; i < points.size(); ++i)
    if (points[i].accepted && residual(l, points[i]) <= tolerance(l, rate, window)) in.push_back(i);
  return in;
}

// Least squares weighted by score (capped: see judge); a flat line through
// one point.
Line fitLine(const std::vector<WindowLag>& points, const std::vector<std::size_t>& use,
             float cap = std::numeric_limits<float>::infinity()) {
  double sw = 0, mc = 0, ml = 0;
  for (std::size_t i : use) {
    const double w = std::min(points[i].score, cap);
    sw += w;
    mc += w * points[i].centreSamples;
    ml += w * points[i].lagSamples;
  }
  Line l;
  if (!(sw > 0)) return l;
  mc /= sw;
  ml /= sw;
  double sxx = 0, sxy = 0;
  for (std::size_t i : use) {
    const double w = std::min(points[i].score, cap);
    sxx += w * (points[i].centreSamples - mc) * (points[i].centreSamples - mc);
    sxy += w * (points[i].centreSamples - mc) * (points[i].lagSamples - ml);
  }
  l.slope = sxx > 0 ? sxy / sxx : 0.0;
  l.intercept = ml - l.slope * mc;
  return l;
}

// The line most stretches agree on: every line through two accepted points
// (and the flat line through each one), the one with most inliers, refitted.
std::vector<std::size_t> consensus(const std::vector<WindowLag>& points, double rate, double window,
                                   Line& best) {
  std::vector<std::size_t> bestIn;
  auto consider = [&](const Line& l) {
    if (std::abs(l.slope) > kMaxLinePpm * 1e-6) return;
    std::vector<std::size_t> in = inliers(l, points, rate, window);
    if (in.size() > bestIn.size()) {
      bestIn = std::move(in);
      best = l;
    }
  };
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!points[i].accepted) continue;
    consider(Line{points[i].lagSamples, 0.0});
    for (std::size_t j = i + 1; j < points.size(); ++j) {
      if (!points[j].accepted || points[j].centreSamples == points[i].centreSamples) continue;
      Line l;
      l.slope = (points[j].lagSamples - points[i].lagSamples) /
                (points[j].centreSamples - points[i].centreSamples);
      l.intercept = points[i].lagSamples - l.slope * points[i].centreSamples;
      consider(l);
    }
  }
  if (bestIn.empty()) return bestIn;
  best = fitLine(points, bestIn);
  return inliers(best, points, rate, window);
}

}  // namespace

namespace {

struct Span {
  uint32_t rate = 0;
  double anchorSamples = 0, memberSamples = 0;
  double lag = 0;    // coarse, member start minus anchor start, in samples
  double first = 0;  // the overlap in member samples
  double span = 0;
};

// One stretch of length samples of member around member sample centre,
// searched radius samples each way around lag (member start minus anchor start).
WindowLag stretchAt(const Recording& anchor, const Recording& member, const Span& o,
                    const RefineSettings& settings, double lag, int64_t radius, double length,
                    double centre, double driftPpm = 0.0) {
  const VkRefineWindow w = planRefineWindowAt(
      static_cast<uint64_t>(o.anchorSamples), static_cast<uint64_t>(o.memberSamples), lag, radius,
      static_cast<uint64_t>(length), static_cast<uint64_t>(length / 2), centre);
  return correlateWindow(anchor, member, o.rate, w, settings, driftPpm);
}

// count stretches of window samples spread from one end of the overlap to
// the other, each searched far enough for the largest drift over the overlap.
std::vector<WindowLag> measure(const Recording& anchor, const Recording& member, const Span& o,
                               const RefineSettings& settings, double window, int count,
                               double driftPpm, std::string& warning) {
  const int64_t radius = static_cast<int64_t>(
      std::ceil(settings.searchSeconds * o.rate + kMaxDriftPpm * 1e-6 * o.span));
  std::vector<WindowLag> points;
  for (int i = 0; i < count; ++i) {
    const double centre = o.first + 0.5 * window + (o.span - window) * i / (count - 1);
    WindowLag p = stretchAt(anchor, member, o, settings, o.lag, radius, window, centre, driftPpm);
    if (!p.warning.empty()) warning = p.warning;
    if (p.measured) points.push_back(std::move(p));
  }
  return points;
}

// Reads the points: the line most agree on, whether enough agree, and where
// it puts the member's first sample.
OverlapFit judge(const std::vector<WindowLag>& points, uint32_t rate, double window) {
  OverlapFit fit;
  fit.windows = static_cast<int>(points.size());
  Line line;
  const std::vector<std::size_t> agree = consensus(points, rate, window, line);
  fit.agreeing = static_cast<int>(agree.size());
  for (const WindowLag& p : points) {
    fit.quiet += p.accepted ? 0 : 1;
    if (p.accepted && p.score > fit.strongest.score) fit.strongest = p;
  }
  if (agree.empty()) return fit;
  for (const WindowLag* end : {&points.front(), &points.back()})
    if (!end->accepted && residual(line, *end) > tolerance(line, rate, window)) ++fit.openEnds;
  auto middleOf = [](const WindowLag& p) { return p.memberStart + 0.5 * p.memberLength; };
  fit.sharedFrom = points.front().memberStart / rate;
  fit.sharedTo = (points.back().memberStart + points.back().memberLength) / rate;
  // The part the line holds is its longest unbroken run of stretches: a weak
  // stretch of a paused recording's other part may fall on the line too.
  std::size_t runFrom = 0, runLength = 0;
  for (std::size_t k = 0, start = 0; k < agree.size(); ++k) {
    if (k > 0 && agree[k] != agree[k - 1] + 1) start = k;
    if (k - start + 1 > runLength) runFrom = start, runLength = k - start + 1;
  }
  fit.run = static_cast<int>(runLength);
  fit.agreeFrom = middleOf(points[agree[runFrom]]) / rate;
  fit.agreeTo = middleOf(points[agree[runFrom + runLength - 1]]) / rate;
  for (std::size_t i = 0, k = 0; i < points.size(); ++i) {
    const bool agrees = k < agree.size() && agree[k] == i;
    k += agrees ? 1 : 0;
    if (agrees) continue;
    if (i < agree.front()) fit.sharedFrom = middleOf(points[i]) / rate;
    if (i > agree.back()) {
      fit.sharedTo = middleOf(points[i]) / rate;
      break;
    }
  }
  std::vector<float> scores, others;
  for (std::size_t i = 0, k = 0; i < points.size(); ++i) {
    const bool agrees = k < agree.size() && agree[k] == i;
    (agrees ? scores : others).push_back(points[i].score);
    if (!agrees && points[i].accepted)
      fit.offLine.emplace_back(points[i].centreSamples / rate, points[i].lagSamples / rate);
    k += agrees ? 1 : 0;
  }
  std::sort(scores.begin(), scores.end());
  std::sort(others.begin(), others.end());
  fit.score = scores[scores.size() / 2];
  if (!others.empty()) fit.otherScore = others[others.size() / 2];
  // Two of three at the least: one stretch alone could be a repeat.
  constexpr double kMinAgreeShare = 0.6;
  fit.confirmed = fit.agreeing >= 2 && fit.agreeShare() >= kMinAgreeShare;
  // Which stretches agree is read from the line weighted by score. Where it
  // lies is not: a weak stretch's lag is noisy, but a strong one's still
  // strays with where its sound is loudest and with each device's room, by
  // the same amount however strong. Past twice the bar, no more weight.
  line = fitLine(points, agree, 2.0f * kVkDefaultMinScore);
  const double spread = points[agree.back()].centreSamples - points[agree.front()].centreSamples;
  fit.driftPpm = line.slope * 1e6;
  // Lags are good to a few microseconds, so a couple of seconds between the
  // stretches already tell a drift to a ppm or two; placing the next member of
  // a chain minutes away needs it far more than it suffers from its noise.
  constexpr double kDriftSpanSeconds = 2.0;
  fit.driftKnown = spread >= kDriftSpanSeconds * rate;
  if (!fit.driftKnown) {
    line.slope = 0.0;
    double sum = 0, weight = 0;
    for (std::size_t i : agree) {
      sum += points[i].score * points[i].lagSamples;
      weight += points[i].score;
    }
    line.intercept = sum / weight;
    fit.driftPpm = 0.0;
  }
  fit.lagSeconds = line.intercept / rate;
  return fit;
}

// At low SNR short stretches searched as widely as the coarse lag needs lose
// their peak to the noise of all the lags they search, and the drift between
// two clocks stays unknown. Around a stretch that did correlate, its sound is
// known to be there: short stretches within it, each searched only as far as
// the largest drift can move the lag from there, still find their peaks. The
// line through them guides the next pass only; it confirms nothing.
bool probeDrift(const Recording& anchor, const Recording& member, const Span& o,
                const RefineSettings& settings, const OverlapFit& fit, double& driftPpm) {
  constexpr double kProbeSeconds = 2.0;
  // Noise in a search this narrow (a few hundred lags) stays below this.
  constexpr float kProbeScore = 5.0f;
  const double probe = kProbeSeconds * o.rate;
  const WindowLag& best = fit.strongest;
  if (!best.accepted || best.memberLength < 2 * probe) return false;
  const int count = static_cast<int>(std::floor(2.0 * best.memberLength / probe)) - 1;
  std::vector<WindowLag> points;
  for (int i = 0; i < count; ++i) {
    const double centre = best.memberStart + 0.5 * probe * (i + 1);
    // The stretch's lag is that of its loudest part, anywhere within it.
    const double reach = std::abs(centre - best.centreSamples) + 0.5 * best.memberLength;
    const auto radius =
        static_cast<int64_t>(std::ceil(0.001 * o.rate + kMaxDriftPpm * 1e-6 * reach));
    WindowLag p = stretchAt(anchor, member, o, settings, best.lagSamples, radius, probe, centre);
    p.accepted = p.measured && p.score >= kProbeScore;
    if (p.measured) points.push_back(std::move(p));
  }
  Line line;
  constexpr std::size_t kLeastPoints = 3;
  const std::vector<std::size_t> on = consensus(points, o.rate, probe, line);
  if (on.size() < kLeastPoints) return false;
  driftPpm = line.slope * 1e6;
  return true;
}

}  // namespace

OverlapFit fitOverlap(const Recording& anchor, const Recording& member, double coarseLagSeconds,
                      const RefineSettings& settings, int maxWindows, double windowSeconds) {
  Span o;
  o.rate = std::min(anchor.sampleRate, member.sampleRate);
  if (o.rate == 0) return OverlapFit();
  o.anchorSamples = std::floor(anchor.durationSeconds * o.rate + 1e-6);
  o.memberSamples = std::floor(member.durationSeconds * o.rate + 1e-6);
  o.lag = coarseLagSeconds * o.rate;
  o.first = std::max(0.0, -o.lag);
  o.span = std::min(o.memberSamples, o.anchorSamples - o.lag) - o.first;
  if (!(o.span >= settings.minOverlapSeconds * o.rate)) return OverlapFit();

  // Stretches overlap when the overlap is short: each must be long enough to
  // correlate, and there must be several to agree.
  auto pass = [&](double seconds, int most, double driftPpm) {
    const double window = std::floor(std::min(seconds * o.rate, 0.5 * o.span));
    const int count =
        std::clamp(static_cast<int>(std::ceil(o.span / window)) + 1, 3, std::max(3, most));
    std::string warning;
    OverlapFit fit = judge(measure(anchor, member, o, settings, window, count, driftPpm, warning),
                           o.rate, window);
    fit.warning = warning;
    return fit;
  };
  const OverlapFit plain = pass(windowSeconds, maxWindows, 0.0);
  // A drift this small moves the lag by under a quarter sample within a
  // stretch. More than that biases the line: a long stretch's lag is that of
  // its loudest part, not of its middle, so over a short overlap loud in one
  // place the drift read from long stretches alone can be half the true one.
  const double blurFree = 0.25 / (windowSeconds * o.rate) * 1e6;
  // Every stretch on one line with no drift to blur them: nothing to improve.
  if (plain.confirmed && plain.agreeing == plain.windows && std::abs(plain.driftPpm) < blurFree)
    return plain;
  // Long stretches of drifting clocks blur, and a blurred peak may still pass:
  // short stretches tell the drift, then the long ones are measured again
  // with the member on the anchor's clock. The better-agreeing reading wins.
  constexpr double kShortWindowSeconds = 2.0;
  constexpr int kMaxShortWindows = 9;
  const OverlapFit rough = pass(kShortWindowSeconds, kMaxShortWindows, 0.0);
  const OverlapFit& guide = rough.agreeing >= 2 ? rough : plain;
  double drift = guide.driftPpm;
  const bool probed = rough.agreeing < 2 && !plain.confirmed &&
                      probeDrift(anchor, member, o, settings, plain, drift);
  if (!probed && (guide.agreeing < 2 || std::abs(guide.driftPpm) < blurFree))
    return plain.confirmed || !rough.confirmed ? plain : rough;
  OverlapFit onClock = pass(windowSeconds, maxWindows, drift);
  // A guide read from blurred or few stretches may be ppm off; once on
  // (nearly) one clock the long stretches no longer blur, and read it again.
  if (onClock.confirmed && onClock.driftKnown &&
      std::abs(onClock.driftPpm - drift) * 1e-6 * windowSeconds * o.rate > 0.05) {
    OverlapFit again = pass(windowSeconds, maxWindows, onClock.driftPpm);
    if (again.confirmed && again.agreeing >= onClock.agreeing) onClock = std::move(again);
  }
  auto better = [](const OverlapFit& x, const OverlapFit& y) {
    if (x.confirmed != y.confirmed) return x.confirmed;
    return x.agreeShare() > y.agreeShare();
  };
  return better(plain, onClock) ? plain : onClock;
}

}  // namespace Velk
