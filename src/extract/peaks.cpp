// Decibels, the masking curve, the initial threshold, smoothing, forward peak
// picking and backward pruning.
#include <rurorereriduv/transform.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "extract/threshold_kernels.h"
#include "velk/input.h"
#include "velk/landmark_extract.h"
#include "velk/wavfile.h"

namespace Velk {

namespace tr = rurorereriduv::transform;

namespace {

// ln 10 once, at library load; every level in the library divides by it.
const float gLn10 = std::log(10.0f);

// Keeps a zero magnitude finite: dB(0) is about -313.07.
constexpr float kTinyMagnitude = 2.2204e-16f;

inline float toDb(float x) { return 20.0f * std::log(x + kTinyMagnitude) / gLn10; }

// Slides the frame one hop to the left and appends the new hop at its end.
inline void shiftIn(float* frame, const float* hop, uint32_t fftSize, uint32_t hopSize) {
  std::memmove(frame, frame + hopSize, (fftSize - hopSize) * sizeof(float));
  std::memcpy(frame + (fftSize - hopSize), hop, hopSize * sizeof(float));
}

// Bin magnitudes of a packed spectrum (re, im pairs).
inline void magnitudes(const float* __restrict packed, float* __restrict mag, int32_t bins) {
  for (int32_t k = 0; k < bins; ++k) {
    const float re = packed[2 * k];
    const float im = packed[2 * k + 1];
    mag[k] = std::sqrt(re * re + im * im);
  }
}

// Frames of a recording of numSamples: enough to cover the first frame, then
// one per whole hop after it.
uint32_t frameCount(uint32_t fftSize, uint32_t hopSize, uint64_t numSamples) {
  const double count = std::ceil(static_cast<double>(fftSize) / hopSize) +
                       std::floor(static_cast<double>(numSamples) / hopSize) - 1.0;
  return static_cast<uint32_t>(static_cast<uint64_t>(count));
}

// A WAV header may declare far more samples than the file holds (a recorder
// that stopped before fixing its header). Once the file has ended and the
// frame is all zeros, every later frame is silence: its spectrum is dB(0)
// everywhere, so any peak it yields sits at dB(0) and the final floor removes
// it whenever the recording had real sound; a recording silent so far has a
// flat threshold, and so no local maximum at all. Those frames are skipped,
// their lists left null (no peaks), and only the last frame is computed, for
// the spectrum it leaves. Same result, without hours of silent frames.
bool sourceEnded(const WavInput* wavSource) {
  return wavSource != nullptr && wavSource->wav != nullptr && wavSource->wav->file.eof();
}

bool allZero(const float* frame, uint32_t n) {
  return std::all_of(frame, frame + n, [](float v) { return v == 0.0f; });
}

// True when a peak at dB(0) would fall below the final floor (or nothing was heard yet).
bool silenceYieldsNoPeak(float loudest, float dbThreshold) {
  return loudest == 0.0f || dbThreshold > toDb(0.0f) - toDb(loudest);
}

// The spectrum holds the transform output out; its first half is then replaced
// by levels, so only the rest is copied. diff is each level's height above the
// threshold; loudest follows the loudest magnitude so far.
void frameLevels(const float* out, const float* thr, int32_t bins, array<float>& spectrum,
                 float* mag, float* diff, float& loudest) {
  float* spectrumDb = spectrum.data;
  std::memcpy(spectrumDb + bins, out + bins,
              static_cast<std::size_t>(spectrum.count() - bins) * sizeof(float));
  magnitudes(out, mag, bins);
  for (int32_t k = 0; k < bins; ++k) {
    const float m = mag[k];
    if (loudest <= m) loudest = m;
    const float level = toDb(m);
    spectrumDb[k] = level;
    diff[k] = level - thr[k];
  }
}

// Local maxima that stand above the threshold; only these can be accepted, as
// the threshold never sinks within a frame. diff > 0 is exactly level >
// threshold (an IEEE difference of two finite floats is zero only when they
// are equal), so the rest would be rejected.
void findCandidates(const float* diff, const float* spectrumDb, int32_t bins, uint32_t t,
                    std::vector<Peak>& candidates) {
  candidates.clear();
  for (int32_t k = 1; k < bins - 1; ++k) {
    if (diff[k] > 0.0f && diff[k] > diff[k - 1] && diff[k] > diff[k + 1])
      candidates.push_back(Peak{k, spectrumDb[k], static_cast<int32_t>(t)});
  }
}

// The loudest candidates still above the threshold, at most maxPeaks; each
// accepted peak raises the threshold around it.
void acceptPeaks(std::vector<Peak>& candidates, uint32_t maxPeaks, float* thr,
                 const kernels::SymmetricMask& sym, int32_t bins,
                 VkLandmarkExtract::PeakList& list) {
  if (candidates.empty() || maxPeaks == 0) return;
  std::sort(candidates.begin(), candidates.end(),
            [](const Peak& a, const Peak& b) { return a.amp > b.amp; });
  list.reserve(std::min<std::size_t>(candidates.size(), maxPeaks));
  uint32_t kept = 0;
  for (const Peak& c : candidates) {
    if (c.amp > thr[c.freq]) {
      list.push_back(new Peak(c));
      kernels::raise(thr, sym.around(c.freq), bins, c.amp);
      if (++kept == maxPeaks) break;
    }
  }
}

// Peaks more than floorDb below the loudest bin of the recording are dropped.
void dropBelowFloor(VkLandmarkExtract::FrameList& frames, float loudest, float floorDb) {
  const float loudestDb = toDb(loudest);
  for (VkLandmarkExtract::PeakList* list : frames) {
    if (list == nullptr) continue;
    auto keep = list->begin();
    for (Peak* p : *list) {
      if (floorDb > p->amp - loudestDb)
        delete p;
      else
        *keep++ = p;
    }
    list->erase(keep, list->end());
  }
}

}  // namespace

float VkLandmarkExtract::dB(float x) { return toDb(x); }

bool VkLandmarkExtract::sortByAmplitudeComparitor(Peak* a, Peak* b) { return a->amp > b->amp; }

void VkLandmarkExtract::computeMask(uint32_t n) {
  const float depth = params.peakDynRange;
  const float width = params.peakWidth;
  mask.resize(n);
  for (uint32_t d = 0; d < n; ++d) {
    const float x = static_cast<float>(d) / width;
    mask[d] = depth * std::exp(-0.5f * (x * x)) - depth;
  }
}

void VkLandmarkExtract::computeInitialThreshold(array<float>& threshold, VkInput* input) {
  if (unusableParams() != nullptr) return;
  if (!fftMatchesParams()) setupFFT();
  const uint32_t fftSize = params.getFftSize();
  const uint32_t hopSize = params.getHopSize();
  const int32_t bins = static_cast<int32_t>(fftSize / 2);
  // A curve of the wrong length would be written past its end.
  if (threshold.count() != bins) {
    threshold.resize(bins);
    threshold = 0.0f;
  }

  array<float> hop(static_cast<int32_t>(hopSize));
  array<float> frame(static_cast<int32_t>(fftSize));
  array<float> mag(bins);
  hop = 0.0f;
  frame = 0.0f;
  float* thr = threshold.data;
  for (uint32_t f = 0; f < params.initialThresholdFrames; ++f) {
    if (input != nullptr) input->read(hop);
    shiftIn(frame.data, hop.data, fftSize, hopSize);
    hop = 0.0f;
    tr::FFTFwd(frame.data, fftOut.data, fftState, fftWork.data);
    magnitudes(fftOut.data, mag.data, bins);
    for (int32_t k = 0; k < bins; ++k) thr[k] = std::max(thr[k], mag[k]);
  }
  // The magnitudes only pass through the spectrum; what stays is a clean slate.
  spectrum = 0.0f;
  for (int32_t k = 0; k < bins; ++k) thr[k] = toDb(thr[k]);
}

void VkLandmarkExtract::smooth(array<float>& curve) {
  const int32_t n = curve.count();
  if (n < 3) return;
  // The skirt is indexed by bin distance; a curve longer than the mask has no
  // skirt for its far bins, so it is left as it is.
  if (static_cast<std::size_t>(n) > mask.size()) return;
  float* v = curve.data;
  std::vector<std::pair<int32_t, float>> maxima;
  for (int32_t k = 1; k < n - 1; ++k)
    if (v[k] > v[k - 1] && v[k] > v[k + 1]) maxima.emplace_back(k, v[k]);
  if (maxima.empty()) return;
  const kernels::SymmetricMask sym(mask);
  for (const auto& m : maxima) kernels::raise(v, sym.around(m.first), n, m.second);
}

void VkLandmarkExtract::findFreqPeaks(VkInput* input) {
  if (input == nullptr || unusableParams() != nullptr) return;
  if (!fftMatchesParams()) setupFFT();
  const uint32_t fftSize = params.getFftSize();
  const uint32_t hopSize = params.getHopSize();
  const int32_t bins = static_cast<int32_t>(fftSize / 2);
  const uint32_t numFrames = frameCount(fftSize, hopSize, input->getNumSamples());
  if (numFrames < params.initialThresholdFrames) return;

  array<float> hop(static_cast<int32_t>(hopSize));
  array<float> frame(static_cast<int32_t>(fftSize));
  array<float> threshold(bins);
  frame = 0.0f;
  threshold = 0.0f;
  computeMask(static_cast<uint32_t>(bins));
  computeInitialThreshold(threshold, input);
  smooth(threshold);
  input->rewind();
  array<float> difference(bins);
  array<float> mag(bins);

  const kernels::SymmetricMask sym(mask);
  float loudest = 0.0f;          // M: the loudest bin magnitude of the whole recording
  std::vector<Peak> candidates;  // reused by every frame
  candidates.reserve(static_cast<std::size_t>(bins / 2 + 1));
  const WavInput* wavSource = dynamic_cast<const WavInput*>(input);
  bool silentFromHere = false;  // the file has ended and the frame buffer is all zeros

  for (uint32_t t = 0; t < numFrames; ++t) {
    if (silentFromHere && t + 1 < numFrames && silenceYieldsNoPeak(loudest, params.dbThreshold)) {
      frames->reserve(frames->size() + (numFrames - t));
      frames->insert(frames->end(), numFrames - 1 - t, nullptr);
      t = numFrames - 1;
    }
    hop = 0.0f;
    if (t + 1 < numFrames) input->read(hop);
    shiftIn(frame.data, hop.data, fftSize, hopSize);
    silentFromHere = sourceEnded(wavSource) && allZero(frame.data, fftSize);
    tr::FFTFwd(frame.data, fftOut.data, fftState, fftWork.data);
    frameLevels(fftOut.data, threshold.data, bins, spectrum, mag.data, difference.data, loudest);

    std::unique_ptr<PeakList> owned(new PeakList);
    frames->push_back(owned.get());
    PeakList* list = owned.release();
    findCandidates(difference.data, spectrum.data, bins, t, candidates);
    acceptPeaks(candidates, params.maxPeaksPerFrame, threshold.data, sym, bins, *list);
    kernels::lower(threshold.data, bins, params.decayPerFrame);
  }
  dropBelowFloor(*frames, loudest, params.dbThreshold);
}

void VkLandmarkExtract::prune() {
  if (frames->empty()) return;
  const int32_t bins = static_cast<int32_t>(params.getFftSize() / 2);
  // Without the last frame's spectrum (no extraction ran) there is nothing to start from.
  if (spectrum.count() < bins) return;
  if (mask.size() < static_cast<std::size_t>(bins)) computeMask(static_cast<uint32_t>(bins));

  array<float> threshold(bins);
  std::memcpy(threshold.data, spectrum.data, static_cast<std::size_t>(bins) * sizeof(float));
  smooth(threshold);
  const kernels::SymmetricMask sym(mask);
  const float decay = params.decayPerFrame;
  float* thr = threshold.data;

  for (auto it = frames->rbegin(); it != frames->rend(); ++it) {
    PeakList* list = *it;
    if (list != nullptr) {
      auto keep = list->begin();
      for (Peak* p : *list) {
        if (p->amp >= thr[p->freq]) {
          kernels::raise(thr, sym.around(p->freq), bins, p->amp);
          *keep++ = p;
        } else {
          delete p;
        }
      }
      list->erase(keep, list->end());
    } else if (decay >= 0.0f) {
      // Null lists are the silent frames skipped after the end of a file that
      // ended early; the computed silent frame after them has left the curve at
      // or below dB(0), the least level a peak can have. Lowering it further
      // changes no decision (every peak still passes, every raise above dB(0)
      // is the same), so millions of such frames cost nothing.
      continue;
    }
    kernels::lower(thr, bins, decay);
  }
}

}  // namespace Velk
