// The refinement pass and its correlation core: buffer sizing, peak search and
// offset folding, the printed lines, and how precisely a lag is recovered.
#include "velk/refine.h"

#include <map>

#include "test_support.h"

namespace {

using namespace Velk;

// A zero-phase low-pass (symmetric taps, centred) so the filter adds no delay of its own.
std::vector<float> lowPass(const std::vector<float>& x) {
  const float taps[5] = {1.0f / 9, 2.0f / 9, 3.0f / 9, 2.0f / 9, 1.0f / 9};
  std::vector<float> y(x.size(), 0.0f);
  for (std::size_t i = 0; i < x.size(); ++i)
    for (int k = -2; k <= 2; ++k) {
      const long j = static_cast<long>(i) + k;
      if (j >= 0 && j < static_cast<long>(x.size()))
        y[i] += taps[k + 2] * x[static_cast<std::size_t>(j)];
    }
  return y;
}

TEST(RefineSizes, FftAndBufferSizesFollowTheFormula) {
  EXPECT_EQ(correlationFftSize(3, 6), 8u);
  EXPECT_EQ(correlationFftSize(5, 4), 8u);
  EXPECT_EQ(correlationFftSize(5, 5), 16u);
  EXPECT_EQ(correlationFftSize(1, 0), 0u);  // nx + ny - 1 is 0
  EXPECT_EQ(correlationFftSize(0, 0), 0u);  // wraps to 2^32 - 1: no power fits
  EXPECT_EQ(correlationFftSize(0x80000000u, 1), 0x80000000u);
  EXPECT_EQ(correlationFftSize(0x80000000u, 2), 0u);
  EXPECT_EQ(correlationBufferSize(8), 12u);
  EXPECT_EQ(correlationBufferSize(0), 4u);
}

TEST(RefineSizes, PeakSearchTiesAndOffsetFolding) {
  float maxValue = -1;
  const float a[] = {1.0f, -3.0f, 3.0f, 2.0f};
  EXPECT_EQ(findCorrelationPeak(a, 4, maxValue), 2);  // the later of two equal magnitudes
  EXPECT_FLOAT_EQ(maxValue, 3.0f);
  const float b[] = {0.5f, -4.0f, 1.0f};
  EXPECT_EQ(findCorrelationPeak(b, 3, maxValue), 1);
  EXPECT_FLOAT_EQ(maxValue, 4.0f);
  const float zeros[] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  EXPECT_EQ(findCorrelationPeak(zeros, 5, maxValue), 4);  // all zero: the last index
  EXPECT_EQ(maxValue, 0.0f);

  EXPECT_EQ(foldPeakIndex(3, 5, 8), 3);
  EXPECT_EQ(foldPeakIndex(6, 5, 8), 2);
  EXPECT_EQ(foldPeakIndex(5, 5, 8), 5);  // the index nx itself is not folded
  EXPECT_EQ(foldPeakIndex(11, 5, 8), -3);
}

TEST(RefinePairwise, PrintsSizesPeakAndFoldedOffset) {
  velktest::TempDir dir;
  // 0.5 is exact in 16 bits; y starts two samples before x, so the peak is at 8 - 2.
  velktest::writeWav16(dir.file("x.wav"), {0.0f, 0.5f, 0.0f, 0.0f, 0.0f}, 8000);
  velktest::writeWav16(dir.file("y.wav"), {0.0f, 0.0f, 0.0f, 0.5f}, 8000);
  const struct {
    const char *first, *second, *printed;
    int64_t lag;
  } rows[] = {{"x.wav", "y.wav",
               "numsamps1:5 numsamps2:4 fftsize:8 buffersize:12\nMax Val:0.25 maxindex:6\n"
               "Offset between x and y is: 2\n",
               -2},
              {"y.wav", "x.wav",
               "numsamps1:4 numsamps2:5 fftsize:8 buffersize:12\nMax Val:0.25 maxindex:2\n"
               "Offset between x and y is: 2\n",
               2}};
  for (const auto& r : rows) {
    VkPairwiseEstimate est(dir.file(r.first), dir.file(r.second));
    est.whitening = 0.0f;  // the plain correlation, whose peak value is known
    testing::internal::CaptureStdout();
    ASSERT_TRUE(est.estimate());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), r.printed);
    EXPECT_EQ(est.lag, r.lag);
    EXPECT_NE(est.first, nullptr);  // kept open until the estimate is destroyed
  }
}

TEST(RefinePairwise, LoadFailureTriesBothAndPrintsTheException) {
  velktest::TempDir dir;
  velktest::writeWav16(dir.file("y.wav"), {0.1f, 0.2f}, 8000);
  const std::string missing = dir.file("missing.wav");
  VkPairwiseEstimate est(missing, missing);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(est.estimate());
  const std::string expectedLoad = "[ERROR]: Could not load: " + missing +
                                   "\nException: wavfile_t::wavfile_t() : File doesn't start "
                                   "with 'RIFF'\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), expectedLoad + expectedLoad);
}

TEST(RefineCore, FindsADelayedFilteredNoisyCopyToAFractionOfASample) {
  const uint32_t rate = 16000;
  const std::vector<float> source = velktest::eventSignal(11, 12.0, rate);
  std::vector<float> x(source.begin(), source.begin() + 10 * rate);
  velktest::addNoise(x, 20.0, 4);
  auto lagOf = [&x](const std::vector<float>& y, int64_t minLag, int64_t maxLag) {
    VkLagSearch search;
    search.minLag = minLag, search.maxLag = maxLag;
    return estimateLag(x.data(), x.size(), y.data(), y.size(), search);
  };
  // y[n] = x[n + lag]: wherever the peak falls between samples, the lag is
  // read to a thirtieth of a sample (a drift over short stretches needs it).
  double trueLag = 0.0;
  std::vector<float> y;
  for (const double fraction : {0.0, 0.13, 0.29, 0.5, 0.71, 0.94, 0.37}) {
    trueLag = 4321.0 + fraction;
    y = lowPass(velktest::deviceView(source, trueLag / rate, 6.0, 0.0, rate));
    for (float& v : y) v *= 0.4f;
    velktest::addNoise(y, 5.0, 3);
    const VkLagEstimate est = lagOf(y, 4321 - 1500, 4321 + 1500);
    EXPECT_TRUE(est.found && est.accepted && est.score > VkLagSearch().minScore);
    EXPECT_NEAR(est.lag, trueLag, 0.03) << "fraction " << fraction;
  }

  // An inverted copy is found just the same.
  std::vector<float> inverted(y);
  for (float& v : inverted) v = -v;
  const VkLagEstimate inv = lagOf(inverted, 4321 - 1500, 4321 + 1500);
  EXPECT_TRUE(inv.accepted);
  EXPECT_LT(inv.peak, 0.0f);
  EXPECT_NEAR(inv.lag, trueLag, 0.25);

  // A recording of something else has no believable peak.
  const VkLagEstimate none = lagOf(velktest::eventSignal(12, 6.0, rate), 4321 - 1500, 4321 + 1500);
  EXPECT_FALSE(none.accepted);
  EXPECT_LT(none.score, VkLagSearch().minScore);

  // A search that ends at the peak, above or below: the true lag may lie beyond
  // the edge, so even a strong peak is not believed.
  const VkLagEstimate edge = lagOf(y, 4200, 4321);
  EXPECT_EQ(edge.peakLag, 4321);
  EXPECT_FALSE(edge.found || edge.accepted);
  EXPECT_FALSE(lagOf(y, 4321, 4500).found);
}

TEST(RefineCore, NegativeLagsAndWindowPlanning) {
  const std::vector<float> source = velktest::eventSignal(21, 8.0, 8000);
  // y starts 700 samples before x.
  std::vector<float> x(source.begin() + 700, source.end());
  std::vector<float> y(source.begin(), source.begin() + 30000);
  VkLagSearch search;
  search.minLag = -800;
  search.maxLag = -600;
  const VkLagEstimate est = estimateLag(x.data(), x.size(), y.data(), y.size(), search);
  EXPECT_TRUE(est.accepted);
  EXPECT_EQ(est.peakLag, -700);
  EXPECT_NEAR(est.lag, -700.0, 0.15);

  // Member starts 1000 samples after the reference; the overlap is [1000, 6000).
  VkRefineWindow w = planRefineWindow(10000, 5000, 1000.0, 50, 2000, 100);
  ASSERT_TRUE(w.valid);
  EXPECT_EQ(w.memberStart, 1500);
  EXPECT_EQ(w.memberLength, 2000);
  EXPECT_EQ(w.refStart, 2450);
  EXPECT_EQ(w.refLength, 2100);
  EXPECT_EQ(w.search.minLag, 0);
  EXPECT_EQ(w.search.maxLag, 100);
  EXPECT_DOUBLE_EQ(w.toRecordingLag(50.0), 1000.0);

  // Member starts first: the reference stretch is clipped at its start.
  w = planRefineWindow(4000, 9000, -3000.0, 40, 100000, 100);
  ASSERT_TRUE(w.valid);
  EXPECT_EQ(w.memberLength, 4000);
  EXPECT_EQ(w.memberStart, 3000);
  EXPECT_EQ(w.refStart, 0);
  EXPECT_EQ(w.refLength, 4000);
  EXPECT_DOUBLE_EQ(w.toRecordingLag(static_cast<double>(w.search.minLag + 40)), -3000.0);

  EXPECT_FALSE(planRefineWindow(1000, 1000, 950.0, 10, 500, 100).valid);  // 50 samples overlap
  EXPECT_FALSE(planRefineWindow(1000, 1000, -2000.0, 10, 500, 1).valid);  // none at all
}

// A result with one cluster: the caller owns it, as after VkClusterSync::run.
VkClusterSet* makeResult(const std::vector<VkClusterElem>& members) {
  auto* set = new VkClusterSet();
  auto* cluster = new VkCluster();
  for (const VkClusterElem& e : members) cluster->insert(new VkClusterElem(e));
  set->insert(cluster);
  return set;
}

TEST(RefinePass, PrintsTheWalkAndRefinesAgainstTheReference) {
  velktest::TempDir dir;
  const uint32_t rate = 8000;
  const std::vector<float> source = velktest::eventSignal(5, 20.0, rate);
  const int shift = 20100;  // b starts 2.5125 s after a
  velktest::writeWav16(dir.file("a.wav"),
                       std::vector<float>(source.begin(), source.begin() + 12 * rate), rate);
  velktest::writeWav16(dir.file("b.wav"), std::vector<float>(source.begin() + shift, source.end()),
                       rate);

  std::map<int32_t, std::string> paths = {{1, dir.file("a.wav")}, {2, dir.file("b.wav")}};
  VkClusterSet* result = makeResult({{"a", 1, 0.0f}, {"b", 2, 2.53f}});  // coarse: 15 ms off
  const std::string walk =
      "REFINEMENT\nCLUSTER\nname: a offset:0\nname: b offset:2.53\nReference ID:1\n"
      "\n\n[COMPLETED CORRELATION]\n";
  // The walk ends at the reference: nothing after it is printed or kept, and
  // refining members on request changes nothing printed.
  for (const bool refine : {false, true}) {
    VkRefinement pass(paths, result);
    pass.refineMembers = refine;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(pass.run());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), walk);
    EXPECT_EQ(pass.opened.size(), 2u);
    if (!refine) {
      EXPECT_TRUE(pass.results.empty());
      continue;
    }
    ASSERT_EQ(pass.results.count(2), 1u);
    EXPECT_TRUE(pass.results[2].refined);
    EXPECT_NEAR(pass.results[2].offset, shift / static_cast<double>(rate), 0.0001);
    EXPECT_FLOAT_EQ(pass.results[2].coarse, 2.53f);
    EXPECT_EQ(pass.results[1].offset, 0.0);
  }
  deleteClusters(result);
}

TEST(RefinePass, StopsWithoutAReferenceAndHandlesAnEmptyResult) {
  std::map<int32_t, std::string> paths;
  VkClusterSet empty;
  VkRefinement none(paths, &empty);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(none.run());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "REFINEMENT\n\n\n[COMPLETED CORRELATION]\n");

  VkClusterSet* result = makeResult({{"p", 4, 1.0f}, {"q", 7, 2.0f}});
  VkRefinement pass(paths, result);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(pass.run());
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(
      err,
      "ERROR: Could not find the reference file. Cannot refine the sync estimates.  Something "
      "bad happened.\n");
  EXPECT_EQ(out.find("[COMPLETED CORRELATION]"), std::string::npos);
  EXPECT_EQ(out.find("Reference ID:"), std::string::npos);
  deleteClusters(result);
}

}  // namespace
