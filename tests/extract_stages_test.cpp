// Stages of landmark extraction: levels, masking curve, initial threshold,
// smoothing, forward peak picking and backward pruning.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "test_support.h"
#include "velk/landmark_extract.h"

namespace {

using Velk::Peak;
using Velk::VkExtractParams;
using Velk::VkLandmarkExtract;

constexpr double kPi = 3.14159265358979323846;

// Sum of sinusoids centred on FFT bins, so that every full frame sees exactly the
// same samples when the hop holds a whole number of periods.
struct Tone {
  int bin;
  double amplitude;
};
std::vector<float> tones(const std::vector<Tone>& parts, std::size_t n, unsigned fftSize = 512) {
  std::vector<float> out(n, 0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    double v = 0.0;
    for (const Tone& t : parts) v += t.amplitude * std::sin(2.0 * kPi * t.bin * i / fftSize);
    out[i] = static_cast<float>(v);
  }
  return out;
}

double fromDb(double db) { return std::pow(10.0, db / 20.0); }

// Runs the forward pass only and returns the bins of every frame's peaks.
std::vector<std::vector<int>> forwardPeaks(VkLandmarkExtract& ex, std::vector<float> samples) {
  velktest::VectorInput input(std::move(samples));
  ex.setupFFT();
  ex.findFreqPeaks(&input);
  std::vector<std::vector<int>> bins;
  for (const auto* list : *ex.frames) {
    bins.emplace_back();
    for (const Peak* p : *list) bins.back().push_back(p->freq);
  }
  return bins;
}

using velktest::addPeak;

Velk::array<float> curve(int n, float fill) {
  Velk::array<float> c(n);
  c = fill;
  return c;
}

TEST(ExtractLevels, DecibelsAndMaskingCurve) {
  EXPECT_NEAR(VkLandmarkExtract::dB(0.0f), -313.07f, 0.01f);
  EXPECT_NEAR(VkLandmarkExtract::dB(1.0f), 0.0f, 1e-6f);
  EXPECT_NEAR(VkLandmarkExtract::dB(10.0f), 20.0f, 1e-5f);

  VkLandmarkExtract ex{VkExtractParams()};
  ex.computeMask(256);
  ASSERT_EQ(ex.mask.size(), 256u);
  EXPECT_EQ(ex.mask[0], 0.0f);
  EXPECT_NEAR(ex.mask[25], -15.74f, 0.005f);
  EXPECT_NEAR(ex.mask[100], -39.99f, 0.005f);
  for (std::size_t d = 1; d < ex.mask.size(); ++d) {
    EXPECT_LE(ex.mask[d], ex.mask[d - 1]);
    EXPECT_GE(ex.mask[d], -40.0f);
  }
}

TEST(ExtractLevels, SmoothLiftsSkirtsAroundStrictLocalMaxima) {
  VkLandmarkExtract ex{VkExtractParams()};
  ex.computeMask(256);

  Velk::array<float> c = curve(256, -100.0f);
  c[100] = 0.0f;
  ex.smooth(c);
  EXPECT_EQ(c[100], 0.0f);
  EXPECT_NEAR(c[125], -15.74f, 0.005f);
  EXPECT_NEAR(c[50], -34.59f, 0.005f);
  EXPECT_NEAR(c[255], -40.0f, 0.01f);
  for (int i = 0; i < 256; ++i) EXPECT_GE(c[i], -40.0f) << i;

  // Plateaus, end entries and monotonic or flat curves hold no maximum.
  Velk::array<float> plateau = curve(256, -100.0f);
  plateau[100] = 0.0f;
  plateau[101] = 0.0f;
  plateau[0] = 5.0f;
  plateau[255] = 5.0f;
  ex.smooth(plateau);
  EXPECT_EQ(plateau[102], -100.0f);
  EXPECT_EQ(plateau[1], -100.0f);
  EXPECT_EQ(plateau[254], -100.0f);
}

TEST(ExtractThreshold, InitialThresholdIsLoudestOpeningMagnitudeInDb) {
  VkExtractParams params;
  VkLandmarkExtract ex(params);
  ex.setupFFT();

  velktest::VectorInput silence(std::vector<float>(8000, 0.0f));
  Velk::array<float> thr = curve(256, 0.0f);
  ex.computeInitialThreshold(thr, &silence);
  EXPECT_EQ(silence.reads, 10);
  for (int k = 0; k < 256; ++k) ASSERT_EQ(thr[k], VkLandmarkExtract::dB(0.0f)) << k;
  for (int k = 0; k < ex.spectrum.count(); ++k) ASSERT_EQ(ex.spectrum[k], 0.0f) << k;

  // A bin-centred tone of amplitude a has magnitude a * N / 2 (unscaled FFT).
  velktest::VectorInput tone(tones({{32, 0.5}}, 8000));
  Velk::array<float> toneThr = curve(256, 0.0f);
  ex.computeInitialThreshold(toneThr, &tone);
  EXPECT_NEAR(toneThr[32], 20.0 * std::log10(0.5 * 256), 0.001);
  EXPECT_LT(toneThr[100], toneThr[32] - 60.0f);
}

TEST(ExtractForward, FrameCountAndShortRecordings) {
  VkLandmarkExtract ex{VkExtractParams()};

  // T = ceil(512/256) + floor(N/256) - 1: 2303 samples give 9 frames, below 10.
  velktest::VectorInput tooShort(std::vector<float>(2303, 0.1f));
  ex.setupFFT();
  ex.findFreqPeaks(&tooShort);
  EXPECT_TRUE(ex.frames->empty());
  EXPECT_EQ(tooShort.reads, 0);
  EXPECT_EQ(tooShort.rewinds, 0);

  // Exactly ten frames are processed: ten reads for the threshold, one rewind,
  // nine reads for the main pass (the last frame reads nothing).
  VkLandmarkExtract ex2{VkExtractParams()};
  velktest::VectorInput exact(std::vector<float>(2304, 0.0f));
  ex2.setupFFT();
  ex2.findFreqPeaks(&exact);
  EXPECT_EQ(ex2.frames->size(), 10u);
  EXPECT_EQ(exact.reads, 19);
  EXPECT_EQ(exact.rewinds, 1);
}

TEST(ExtractForward, SteadyToneAndStrictAcceptance) {
  const std::vector<float> signal = tones({{32, 0.5}}, 8000);

  VkLandmarkExtract ex{VkExtractParams()};
  const auto bins = forwardPeaks(ex, signal);
  ASSERT_EQ(bins.size(), 32u);
  // Frame 0 is half empty and the last frame ends in a zero hop: both are
  // 6 dB below the curve. Every full frame keeps the tone.
  EXPECT_TRUE(bins.front().empty());
  EXPECT_TRUE(bins.back().empty());
  for (std::size_t t = 1; t + 1 < bins.size(); ++t)
    EXPECT_EQ(bins[t], std::vector<int>{32}) << "frame " << t;
  const Peak* p = (*ex.frames)[5]->front();
  EXPECT_EQ(p->time, 5);
  EXPECT_NEAR(p->amp, 20.0 * std::log10(0.5 * 256), 0.001);  // the level, not the difference

  // Pruning keeps them all: the same level always stands on the decayed curve.
  ex.prune();
  for (std::size_t t = 1; t + 1 < ex.frames->size(); ++t)
    EXPECT_EQ((*ex.frames)[t]->size(), 1u) << "frame " << t;

  // Without decay each full frame equals the curve exactly and is rejected.
  VkExtractParams still;
  still.decayPerFrame = 0.0f;
  VkLandmarkExtract ex2(still);
  for (const auto& f : forwardPeaks(ex2, signal)) EXPECT_TRUE(f.empty());
}

TEST(ExtractForward, PerFrameLimitKeepsTheLoudest) {
  // Twelve tones 40 bins apart (no masking between them), levels 1 dB apart in
  // shuffled bin order.
  const int ranks[12] = {7, 2, 11, 0, 5, 9, 3, 10, 1, 6, 8, 4};
  std::vector<Tone> parts;
  std::vector<std::pair<int, int>> byRank;
  for (int i = 0; i < 12; ++i) {
    const int bin = 20 + 40 * i;
    parts.push_back({bin, 0.04 * fromDb(-ranks[i])});
    byRank.emplace_back(ranks[i], bin);
  }
  std::sort(byRank.begin(), byRank.end());
  const std::vector<float> signal = tones(parts, 64 * 256, 1024);

  for (unsigned limit : {5u, 2u}) {
    VkExtractParams params;
    params.setFftSize(1024);
    params.maxPeaksPerFrame = limit;
    VkLandmarkExtract ex(params);
    const auto bins = forwardPeaks(ex, signal);
    std::set<int> loudest;
    for (unsigned r = 0; r < limit; ++r) loudest.insert(byRank[r].second);
    for (const auto& f : bins) ASSERT_LE(f.size(), limit);
    // Frames 3 .. T-4 are full (the first and last three hold zeros; their
    // truncation leakage may pass the decayed curve anywhere).
    ASSERT_EQ(bins.size(), 67u);
    for (std::size_t t = 4; t + 3 < bins.size(); ++t)
      EXPECT_EQ(std::set<int>(bins[t].begin(), bins[t].end()), loudest) << "frame " << t;
  }
}

TEST(ExtractForward, MaskingSkirtAndRecordingFloor) {
  // A second tone 25 bins away survives only within 15.74 dB of the first.
  auto weakBinSeen = [](double belowDb) {
    VkLandmarkExtract ex{VkExtractParams()};
    const auto bins = forwardPeaks(ex, tones({{40, 0.5}, {65, 0.5 * fromDb(-belowDb)}}, 8000));
    int strong = 0, weak = 0;
    for (const auto& f : bins) {
      strong += static_cast<int>(std::count(f.begin(), f.end(), 40));
      weak += static_cast<int>(std::count(f.begin(), f.end(), 65));
    }
    EXPECT_GE(strong, 25);
    return weak;
  };
  EXPECT_GE(weakBinSeen(15.5), 25);
  EXPECT_EQ(weakBinSeen(16.0), 0);

  // Far apart, a tone 30 dB down is kept with a floor of -40 dB and dropped with -20.
  const std::vector<float> pair = tones({{20, 0.5}, {200, 0.5 * fromDb(-30.0)}}, 8000);
  for (float floorDb : {-40.0f, -20.0f}) {
    VkExtractParams params;
    params.dbThreshold = floorDb;
    VkLandmarkExtract ex(params);
    int quiet = 0;
    for (const auto& f : forwardPeaks(ex, pair))
      quiet += static_cast<int>(std::count(f.begin(), f.end(), 200));
    if (floorDb < -30.0f)
      EXPECT_GE(quiet, 25);
    else
      EXPECT_EQ(quiet, 0);
  }
}

TEST(ExtractPrune, BackwardMaskingKeepsTies) {
  auto survivors = [](float earlierAmp, float decay) {
    VkExtractParams params;
    params.decayPerFrame = decay;
    VkLandmarkExtract ex(params);
    ex.setupFFT();
    ex.computeMask(256);
    for (int k = 0; k < 256; ++k) ex.spectrum[k] = -100.0f;
    addPeak(ex, 50, earlierAmp, 0);
    addPeak(ex, 50, -10.0f, 1);
    addPeak(ex, 180, -45.0f, 1);  // far away, above the skirt of the peak at 50
    ex.prune();
    return std::vector<std::size_t>{(*ex.frames)[0]->size(), (*ex.frames)[1]->size()};
  };
  const float decayed = -10.0f - 0.2f;
  EXPECT_EQ(survivors(decayed, 0.2f), (std::vector<std::size_t>{1, 2}));
  EXPECT_EQ(survivors(std::nextafter(decayed, -1000.0f), 0.2f), (std::vector<std::size_t>{0, 2}));
  EXPECT_EQ(survivors(-25.0f, 0.2f), (std::vector<std::size_t>{0, 2}));

  // The start curve is the smoothed last spectrum: a peak under its skirt goes.
  VkLandmarkExtract ex{VkExtractParams()};
  ex.setupFFT();
  ex.computeMask(256);
  for (int k = 0; k < 256; ++k) ex.spectrum[k] = -100.0f;
  ex.spectrum[100] = 0.0f;
  addPeak(ex, 125, -15.0f, 0);
  addPeak(ex, 125, -16.0f, 1);
  ex.prune();
  EXPECT_EQ((*ex.frames)[1]->size(), 0u);
  ASSERT_EQ((*ex.frames)[0]->size(), 1u);
  EXPECT_EQ((*ex.frames)[0]->front()->amp, -15.0f);

  VkLandmarkExtract empty{VkExtractParams()};
  empty.prune();
  EXPECT_TRUE(empty.frames->empty());
}

}  // namespace
