#include "velktool/clock_resampler.h"

#include <algorithm>
#include <cmath>

namespace velktool {

namespace {

constexpr int kHalf = 24;  // taps on each side of the position
constexpr int kTaps = 2 * kHalf;
constexpr int kPhases = 512;
constexpr double kBeta = 9.0;            // Kaiser window: about 90 dB of stopband
constexpr std::size_t kOutBlock = 4096;  // frames handed out at once
constexpr uint64_t kTrimFrames = 1 << 16;

double besselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 50 && term > 1e-12 * sum; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
  }
  return sum;
}

}  // namespace

ClockResampler::ClockResampler(double rate, int channels)
    : step_(1.0 / rate), channels_(channels), coef_(kTaps) {
  // Slightly below the band's edge, and below the new one when the clock slows.
  const double cutoff = 0.97 * std::min(1.0, rate);
  table_.resize(static_cast<std::size_t>(kPhases + 1) * kTaps);
  for (int p = 0; p <= kPhases; ++p) {
    float* row = &table_[static_cast<std::size_t>(p) * kTaps];
    double sum = 0.0;
    for (int j = 0; j < kTaps; ++j) {
      const double t = (j - kHalf + 1) - static_cast<double>(p) / kPhases;
      const double u = t / kHalf;
      const double window = std::abs(u) < 1.0 ? besselI0(kBeta * std::sqrt(1.0 - u * u)) : 0.0;
      const double x = M_PI * cutoff * t;
      row[j] = static_cast<float>((x == 0.0 ? 1.0 : std::sin(x) / x) * window);
      sum += row[j];
    }
    for (int j = 0; j < kTaps; ++j) row[j] = static_cast<float>(row[j] / sum);  // unity at DC
  }
}

bool ClockResampler::produce(uint64_t lastOutput, const FramesOut& out) {
  const auto ch = static_cast<std::size_t>(channels_);
  for (; next_ <= lastOutput; ++next_) {
    const double x = static_cast<double>(next_) * step_;
    const auto i = static_cast<int64_t>(std::floor(x));
    const double phase = (x - static_cast<double>(i)) * kPhases;
    const auto p = std::min(static_cast<int>(phase), kPhases - 1);
    const auto g = static_cast<float>(phase - p);
    const float* a = &table_[static_cast<std::size_t>(p) * kTaps];
    for (int j = 0; j < kTaps; ++j) coef_[j] = a[j] + g * (a[j + kTaps] - a[j]);
    const std::size_t at = output_.size();
    output_.resize(at + ch, 0.0f);
    const int64_t first = i - kHalf + 1;
    if (first >= 0 && static_cast<uint64_t>(first) + kTaps <= fed_) {
      const float* src = &input_[(static_cast<std::size_t>(first) - base_) * ch];
      for (std::size_t c = 0; c < ch; ++c) {
        float acc = 0.0f;
        for (int j = 0; j < kTaps; ++j) acc += coef_[j] * src[static_cast<std::size_t>(j) * ch + c];
        output_[at + c] = acc;
      }
    } else {
      for (int j = 0; j < kTaps; ++j) {
        const int64_t k = first + j;
        if (k < 0 || static_cast<uint64_t>(k) >= fed_) continue;  // silence outside
        const float* frame = &input_[(static_cast<std::size_t>(k) - base_) * ch];
        for (std::size_t c = 0; c < ch; ++c) output_[at + c] += coef_[j] * frame[c];
      }
    }
    if (output_.size() >= kOutBlock * ch) {
      if (!out(output_.data(), output_.size() / ch)) return false;
      output_.clear();
    }
  }
  return true;
}

bool ClockResampler::push(const float* frames, std::size_t count, const FramesOut& out) {
  input_.insert(input_.end(), frames, frames + count * static_cast<std::size_t>(channels_));
  fed_ += count;
  if (fed_ <= static_cast<uint64_t>(kHalf)) return true;
  // The outputs whose every tap has arrived.
  const double last = std::floor(static_cast<double>(fed_ - 1 - kHalf) / step_);
  if (last >= static_cast<double>(next_) && !produce(static_cast<uint64_t>(last), out))
    return false;
  // Frames no later output reaches go, a large block at a time.
  const double needed = std::floor(static_cast<double>(next_) * step_) - kHalf + 1;
  if (needed > static_cast<double>(base_ + kTrimFrames)) {
    const auto drop = static_cast<uint64_t>(needed) - base_;
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(
                                                      drop * static_cast<uint64_t>(channels_)));
    base_ += drop;
  }
  return true;
}

bool ClockResampler::finish(const FramesOut& out) {
  if (fed_ == 0) return true;
  const double last = std::floor(static_cast<double>(fed_ - 1) / step_ + 1e-9);
  if (last >= static_cast<double>(next_) && !produce(static_cast<uint64_t>(last), out))
    return false;
  const std::size_t frames = output_.size() / static_cast<std::size_t>(channels_);
  const bool ok = frames == 0 || out(output_.data(), frames);
  output_.clear();
  return ok;
}

}  // namespace velktool
