// Landmark extraction: its stages (levels, masking curve, initial threshold,
// smoothing, forward peak picking, backward pruning), the pairing of peaks into
// hashed landmarks, and its drivers (run on sources and files, runAll, names,
// diagnostics).

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

#include "test_support.h"
#include "velk/wav_writer.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Velk::Landmark;
using Velk::Peak;
using Velk::VkExtractParams;
using Velk::VkFile;
using Velk::VkFileSet;
using Velk::VkLandmarkExtract;
using velktest::addPeak;
using velktest::landmarksOf;

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

// T = ceil(512/256) + floor(N/256) - 1 frames. Below ten nothing is read; at
// ten, ten reads for the threshold, one rewind, nine for the main pass (the
// last frame reads nothing).
TEST(ExtractForward, FrameCountAndShortRecordings) {
  const struct {
    std::size_t samples, frames;
    int reads, rewinds;
  } rows[] = {{2303, 0, 0, 0}, {2304, 10, 19, 1}};
  for (const auto& r : rows) {
    VkLandmarkExtract ex{VkExtractParams()};
    velktest::VectorInput input(std::vector<float>(r.samples, 0.1f));
    ex.setupFFT();
    ex.findFreqPeaks(&input);
    EXPECT_EQ(std::make_tuple(ex.frames->size(), input.reads, input.rewinds),
              std::make_tuple(r.frames, r.reads, r.rewinds))
        << r.samples << " samples";
  }
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

// --- pairing

std::vector<uint32_t> hashesAt(const VkFile& f, int frame) {
  std::vector<uint32_t> out;
  const auto it = f.getLandmarks().find(frame);
  if (it != f.getLandmarks().end())
    for (const Landmark* l : it->second) out.push_back(l->hash);
  return out;
}

uint32_t hashOf(uint32_t dt, uint32_t anchor, uint32_t partner) {
  return (dt << 20) | (anchor << 10) | partner;
}

TEST(ExtractPairing, HashLayoutAndSameFramePairs) {
  VkLandmarkExtract ex{VkExtractParams()};
  addPeak(ex, 10, -5.0f, 5);
  addPeak(ex, 20, -7.0f, 7);
  // Same frame, unsorted: combine sorts loudest first before pairing.
  addPeak(ex, 30, -9.0f, 3);
  addPeak(ex, 12, -1.0f, 3);
  VkFile file(4);
  ex.combine(&file);

  EXPECT_EQ(hashesAt(file, 5), std::vector<uint32_t>{2107412u});
  EXPECT_EQ(hashesAt(file, 7), std::vector<uint32_t>{});
  // Frame 3: anchor 12 pairs with 30 (same frame), 10 (frame 5) and 20 (frame 7);
  // then anchor 30 with 12, 10 and 20.
  EXPECT_EQ(hashesAt(file, 3),
            (std::vector<uint32_t>{hashOf(0, 12, 30), hashOf(2, 12, 10), hashOf(4, 12, 20),
                                   hashOf(0, 30, 12), hashOf(2, 30, 10), hashOf(4, 30, 20)}));
  EXPECT_EQ(file.getLandmarkCount(), 7u);
  EXPECT_EQ(file.getLandmarks().at(3).front()->file, &file);
  // The peaks stay with the extractor.
  EXPECT_EQ((*ex.frames)[3]->size(), 2u);

  // Fields are cut to 10 bits: bins 1025 and 1 share the anchor field.
  VkExtractParams big;
  big.setFftSize(4096);
  VkLandmarkExtract wide(big);
  addPeak(wide, 1025, 0.0f, 0);
  addPeak(wide, 1030, -1.0f, 1);
  VkFile wideFile(1);
  wide.combine(&wideFile);
  EXPECT_EQ(hashesAt(wideFile, 0), std::vector<uint32_t>{hashOf(1, 1, 6)});

  VkLandmarkExtract none{VkExtractParams()};
  VkFile empty(2);
  none.combine(&empty);
  none.combine(nullptr);
  EXPECT_TRUE(empty.getLandmarks().empty());
}

TEST(ExtractPairing, NeighbourWindows) {
  VkExtractParams params;
  params.timeRange = 3;
  VkLandmarkExtract ex(params);
  Peak* low = addPeak(ex, 5, 0.0f, 2);
  Peak* high = addPeak(ex, 250, -1.0f, 2);
  Peak* earlier = addPeak(ex, 6, 0.0f, 1);
  Peak* in67 = addPeak(ex, 67, -2.0f, 3);
  addPeak(ex, 68, -3.0f, 3);
  Peak* in188 = addPeak(ex, 188, -4.0f, 4);
  addPeak(ex, 187, -5.0f, 4);
  Peak* in256 = addPeak(ex, 256, -6.0f, 5);  // the window's high bin is fftSize/2
  addPeak(ex, 257, -6.5f, 5);
  Peak* lastIn = addPeak(ex, 7, -7.0f, 5);  // frame 2 + timeRange
  addPeak(ex, 8, -8.0f, 6);                 // one frame too late

  std::vector<Peak*> partners{earlier};  // not cleared: partners are appended
  ex.findNeighborPeaks(low, partners);
  EXPECT_EQ(partners, (std::vector<Peak*>{earlier, in67, lastIn}));

  partners.clear();
  ex.findNeighborPeaks(high, partners);
  EXPECT_EQ(partners, (std::vector<Peak*>{in188, in256}));

  // An anchor in the last frame pairs only within its own frame.
  Peak* last = addPeak(ex, 10, -9.0f, 6);
  partners.clear();
  ex.findNeighborPeaks(last, partners);
  EXPECT_EQ(partners, (std::vector<Peak*>{(*ex.frames)[6]->front()}));
}

TEST(ExtractPairing, CollectsOneMorePartnerThanTheLimit) {
  for (unsigned limit : {10u, 1u}) {
    VkExtractParams params;
    params.setMaxPairsPerPeak(limit);
    VkLandmarkExtract ex(params);
    Peak* anchor = addPeak(ex, 100, 0.0f, 0);
    std::vector<Peak*> eligible;
    for (int t = 1; t <= 10; ++t)
      for (int j = 0; j < 3; ++j) eligible.push_back(addPeak(ex, 90 + 10 * j, -1.0f * j, t));
    std::vector<Peak*> partners;
    ex.findNeighborPeaks(anchor, partners);
    EXPECT_EQ(partners, std::vector<Peak*>(eligible.begin(), eligible.begin() + limit + 1));

    VkFile file(1);
    ex.combine(&file);
    EXPECT_EQ(hashesAt(file, 0).size(), limit + 1);
  }
}

// --- drivers

using Table = std::vector<std::pair<int32_t, uint32_t>>;

Table extract(VkLandmarkExtract& ex, const std::vector<float>& samples, int32_t id = 1) {
  velktest::VectorInput input(samples);
  std::unique_ptr<VkFile> f(ex.run(&input, id));
  EXPECT_EQ(f->getId(), id);
  return landmarksOf(*f);
}

// What the WAV reader gives back for samples written by writeWav16.
std::vector<float> as16Bit(const std::vector<float>& samples) {
  std::vector<float> out;
  for (float s : samples) out.push_back(Velk::pcm16(s) / 32768.0f);
  return out;
}

TEST(ExtractRun, RunsAreIndependentAndMatchTheFilePath) {
  const std::vector<float> a = velktest::eventSignal(11, 20.0, 8000);
  const std::vector<float> b = velktest::eventSignal(12, 12.0, 8000);

  VkLandmarkExtract reused{VkExtractParams()};
  const Table first = extract(reused, a);
  ASSERT_GT(first.size(), 1000u);
  const Table other = extract(reused, b, 2);
  const Table again = extract(reused, a);
  VkLandmarkExtract fresh{VkExtractParams()};
  EXPECT_EQ(first, again);
  EXPECT_EQ(first, extract(fresh, a));
  EXPECT_NE(first, other);

  // The file overload extracts exactly what the samples it reads give.
  velktest::TempDir dir("velk-extract");
  const std::string path = dir.file("a.wav");
  velktest::writeWav16(path, a, 8000);
  CaptureStdout();
  std::unique_ptr<VkFile> fromFile(reused.run(path, 9));
  EXPECT_EQ(GetCapturedStdout(), "");
  ASSERT_NE(fromFile, nullptr);
  EXPECT_EQ(fromFile->getId(), 9);
  EXPECT_EQ(landmarksOf(*fromFile), extract(fresh, as16Bit(a)));

  // No source: an empty table with the id; the previous peaks are gone.
  std::unique_ptr<VkFile> none(reused.run(static_cast<Velk::VkInput*>(nullptr), 7));
  EXPECT_EQ(none->getId(), 7);
  EXPECT_TRUE(none->getLandmarks().empty());
  EXPECT_TRUE(reused.frames->empty());
}

TEST(ExtractRun, HopLargerThanFrameIsRefused) {
  VkExtractParams params;
  ASSERT_TRUE(params.setHopSize(1024));
  VkLandmarkExtract ex(params);
  velktest::VectorInput input(velktest::eventSignal(3, 5.0, 8000));
  std::unique_ptr<VkFile> f(ex.run(&input, 3));
  EXPECT_EQ(f->getId(), 3);
  EXPECT_TRUE(f->getLandmarks().empty());
  EXPECT_EQ(input.reads, 0);

  velktest::TempDir dir("velk-extract");
  const std::string path = dir.file("x.wav");
  velktest::writeWav16(path, velktest::eventSignal(3, 5.0, 8000), 8000);
  CaptureStdout();
  EXPECT_EQ(ex.run(path, 3), nullptr);
  EXPECT_EQ(GetCapturedStdout(),
            "[ERROR]: Cannot extract " + path +
                ": hop size is larger than the FFT size (hop 1024, FFT 512)\n");
}

TEST(ExtractRun, RunAllSelectsNamesAndReports) {
  velktest::TempDir dir("velk-extract");
  const std::vector<float> audio = velktest::eventSignal(5, 3.0, 8000);
  for (const char* name : {"a.WAV", "b.wav", "c.wav.bak", "d", "e.wav", "g.wav"})
    velktest::writeWav16(dir.file(name), audio, 8000);
  velktest::writeWav16(dir.file("f.wav"), audio, 16000);
  VkLandmarkExtract ex{VkExtractParams()};

  CaptureStdout();
  std::unique_ptr<VkFileSet> empty(ex.runAll({}));
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_TRUE(empty->getFiles().empty());

  CaptureStdout();
  std::unique_ptr<VkFileSet> one(
      ex.runAll({dir.file("a.WAV"), dir.file("b.wav"), dir.file("c.wav.bak"), dir.file("d")}));
  EXPECT_EQ(GetCapturedStdout(), "STARTING: " + dir.file("b.wav") +
                                     " (id 1)\n"
                                     "FEATURE EXTRACTION COMPLETE: " +
                                     dir.file("b.wav") + "\n");
  ASSERT_EQ(one->getFiles().size(), 1u);
  EXPECT_EQ(one->idToName.at(1), "b");
  EXPECT_EQ(one->nameToId.at("b"), 1);
  EXPECT_EQ(one->idToPath.at(1), dir.file("b.wav"));
  EXPECT_FALSE(one->getFiles().at(1)->getLandmarks().empty());

  // Wrong rate and unreadable file: both reported, both leave a gap in the ids.
  const std::vector<std::string> paths = {dir.file("e.wav"), dir.file("f.wav"),
                                          dir.file("missing.wav"), dir.file("g.wav")};
  CaptureStdout();
  std::unique_ptr<VkFileSet> set(ex.runAll(paths));
  std::string expected;
  for (int i = 0; i < 4; ++i) {
    expected += "STARTING: " + paths[i] + " (id " + std::to_string(i + 1) + ")\n";
    if (i == 1) expected += "[ERROR]:" + paths[i] + " has an incorrect sample rate\n";
    if (i == 2) expected += "[ERROR]: Could not load: " + paths[i] + "\n";
    expected += "FEATURE EXTRACTION COMPLETE: " + paths[i] + "\n";
  }
  EXPECT_EQ(GetCapturedStdout(), expected);
  std::vector<int32_t> ids;
  for (const auto& entry : set->getFiles()) ids.push_back(entry.first);
  EXPECT_EQ(ids, (std::vector<int32_t>{1, 4}));
  EXPECT_EQ(set->idToName, (std::map<int32_t, std::string>{{1, "e"}, {4, "g"}}));
  // Same audio, same landmarks.
  EXPECT_EQ(landmarksOf(*set->getFiles().at(1)), landmarksOf(*set->getFiles().at(4)));
}

TEST(ExtractRun, BaseNames) {
  EXPECT_EQ(VkLandmarkExtract::baseName("dir/take1.wav"), "take1");
  EXPECT_EQ(VkLandmarkExtract::baseName("x.y.wav"), "x.y");
  EXPECT_EQ(VkLandmarkExtract::baseName("C:\\rec\\a.wav"), "C:\\rec\\a");
  EXPECT_EQ(VkLandmarkExtract::baseName("dir.d/noext"), "");
  EXPECT_EQ(VkLandmarkExtract::baseName("/a/b/.wav"), "");
}

}  // namespace
