// Match verification and the acceptance test.

#include <cmath>
#include <limits>
#include <tuple>

#include "test_support.h"
#include "velk/cluster_stages.h"

using namespace Velk;
using velktest::Lm;
using velktest::makeSet;

namespace {

// perFrame[i] = {first, last, n}: n landmarks at every frame first..last.
std::vector<Lm> density(int32_t file, std::vector<std::vector<int32_t>> runs) {
  std::vector<Lm> out;
  for (const auto& r : runs) {
    for (int32_t t = r[0]; t <= r[1]; ++t) {
      for (int32_t k = 0; k < r[2]; ++k) out.push_back({file, t, static_cast<uint32_t>(t)});
    }
  }
  return out;
}

struct Verified {
  Verified(VkFileSet* set, VkPairKey key, VkOffsetHistogram bins)
      : hist{{key, new VkOffsetHistogram(std::move(bins))}}, stats(verifyPairs(set, &hist)) {}
  ~Verified() {
    for (auto& kv : hist) delete kv.second;
    deletePairStats(stats);
  }
  const VkPairStats& operator*() const { return *stats->begin()->second; }
  VkPairHistograms hist;
  VkPairStatsTable* stats;
};

}  // namespace

TEST(ClusterVerify, PeakOverlapRegionsAndFractions) {
  // A: frames 0..1000, two landmarks per frame up to 499; B: frames 0..600,
  // three per frame from 300. Uneven densities tell the regions apart.
  std::vector<Lm> lms = density(1, {{0, 499, 2}, {500, 1000, 1}});
  const auto b = density(2, {{0, 299, 1}, {300, 600, 3}});
  lms.insert(lms.end(), b.begin(), b.end());
  auto set = makeSet(lms);

  // Equal maxima at -200 and -250: the larger offset wins. B started first.
  Verified early(set.get(), {1, 2}, {{-250, 10, 5, 9}, {-200, 10, 40, 90}, {7, 1, 3, 3}});
  const VkPairStats& s = *early;
  EXPECT_EQ(std::make_tuple(s.idA, s.idB, s.peakOffset, s.peakCount),
            std::make_tuple(1, 2, -200.0f, 10.0f));
  EXPECT_EQ(s.overlapLength, 400.0f);       // min(1000, 400) - max(0, -200)
  EXPECT_EQ(s.overlapLandmarksA, 802.0f);   // A 0..400
  EXPECT_EQ(s.overlapLandmarksB, 1003.0f);  // B 200..600
  EXPECT_EQ(s.matchFractionA, 10.0f / 802.0f);
  EXPECT_EQ(s.matchFractionB, 10.0f / 1003.0f);
  EXPECT_EQ(s.templateLength, 50.0f);
  EXPECT_FALSE(s.accepted);
  EXPECT_EQ(s.histogram, early.hist.begin()->second);

  // A started first: overlap min(700, 600) - max(-300, 0), A 400..1000, B 0..600.
  // Apart: the length min(-1000, 600) - max(-2000, 0) is negative, nothing counted.
  for (const auto& [offset, length, inA, inB] : {std::make_tuple(300, 600.0f, 701.0f, 1203.0f),
                                                 std::make_tuple(2000, -1000.0f, 0.0f, 0.0f)}) {
    Verified v(set.get(), {1, 2}, {{offset, 4, 0, 0}});
    EXPECT_EQ(std::make_tuple((*v).overlapLength, (*v).overlapLandmarksA, (*v).overlapLandmarksB),
              std::make_tuple(length, inA, inB))
        << offset;
  }

  // A missing recording leaves the overlap at 0: infinite fractions and mean.
  Verified missing(set.get(), {1, 9}, {{0, 3, 1, 1}});
  EXPECT_EQ((*missing).overlapLength, 0.0f);
  EXPECT_EQ((*missing).matchFractionA, std::numeric_limits<float>::infinity());
  EXPECT_EQ((*missing).histogramMean, std::numeric_limits<float>::infinity());

  VkPairHistograms none;
  EXPECT_EQ(verifyPairs(nullptr, &none), nullptr);
  EXPECT_EQ(verifyPairs(set.get(), nullptr), nullptr);
}

TEST(ClusterVerify, TemplateMeanAndSpread) {
  // Votes of A-times 120, 80 and 300 meet at offset 100: template 220.
  const std::vector<Lm> votes = {{1, 120, 1}, {1, 80, 2},  {1, 300, 3}, {1, 50, 4},
                                 {2, 20, 1},  {2, -20, 2}, {2, 200, 3}, {2, 0, 4}};
  auto voted = makeSet(votes);
  VkLandmarkIndex index(250);
  VkPairHistograms* hist = matchPairs(index, voted.get(), nullptr);
  VkPairStatsTable* stats = verifyPairs(voted.get(), hist);
  const VkPairStats& t = *stats->at({1, 2});
  EXPECT_EQ(t.peakOffset, 100.0f);
  EXPECT_EQ(t.peakCount, 3.0f);
  EXPECT_EQ(t.templateLength, 220.0f);
  deletePairStats(stats);
  deletePairHistograms(hist);

  // A: 0..105, B: 0..100, peak at 5: overlap exactly 100 frames.
  auto set = makeSet({{1, 0, 1}, {1, 105, 2}, {2, 0, 3}, {2, 100, 4}});
  Verified flat(set.get(), {1, 2}, {{5, 3, 0, 0}, {9, 1, 0, 0}});
  EXPECT_EQ((*flat).overlapLength, 100.0f);
  EXPECT_EQ((*flat).histogramMean, 4.0f / 100.0f);
  EXPECT_EQ((*flat).histogramStdDev, std::sqrt(0.1f));  // V = 0.0968 is raised to 0.1
  Verified peaked(set.get(), {1, 2}, {{5, 30, 0, 0}, {9, 1, 0, 0}});
  EXPECT_EQ((*peaked).histogramMean, 0.31f);
  // V = ((30 - 0.31)^2 + (1 - 0.31)^2) / 100
  EXPECT_NEAR((*peaked).histogramStdDev, std::sqrt(8.819722), 1e-5);
}

TEST(ClusterVerifyDeathTest, OffsetWithoutVotesEndsTheProcess) {
  auto set = makeSet({{1, 0, 1}, {2, 0, 1}});
  VkPairHistograms hist{{{1, 2}, new VkOffsetHistogram{{4, 0, 0, 0}}}};
  EXPECT_EXIT(verifyPairs(set.get(), &hist), testing::ExitedWithCode(1),
              "^\\[ERROR\\]: error in computing the region of overlap between proposed histogram "
              "points\n$");
  delete hist.begin()->second;
}

// Each test at its bound and just past it; a NaN measure passes the test it feeds.
TEST(ClusterVerify, AcceptanceTestsPassAtEqualityAndIgnoreNaN) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float below = -1e-5f, above = 1e-5f;  // relative nudges
  struct Row {
    const char* what;
    float VkPairStats::*field;
    float value;
    bool passes;
    float templateLength = 500, minTemplate = 3.0f, minOverlap = 3.0f;  // seconds at 31.25/s
  };
  const Row rows[] = {
      {"template at its minimum", &VkPairStats::templateLength, 93.75f, true},
      {"template below it", &VkPairStats::templateLength, 93.75f * (1 + below), false},
      {"template NaN", &VkPairStats::templateLength, nan, true},
      {"count at the threshold", &VkPairStats::peakCount, 5.0f, true},
      {"count below it", &VkPairStats::peakCount, 5.0f * (1 + below), false},
      {"count NaN", &VkPairStats::peakCount, nan, true},
      {"overlap at its minimum", &VkPairStats::overlapLength, 93.75f, true, 40, 1},
      {"overlap below it", &VkPairStats::overlapLength, 93.75f * (1 + below), false, 40, 1},
      {"overlap NaN", &VkPairStats::overlapLength, nan, true, 40, 1},
      {"template as long as the overlap", &VkPairStats::templateLength, 1000.0f, true},
      {"template longer", &VkPairStats::templateLength, 1000.0f * (1 + above), false},
      {"overlap of 0", &VkPairStats::overlapLength, 0.0f, true, -1, -1, -1},
      {"negative overlap", &VkPairStats::overlapLength, -0.001f, false, -1, -1, -1},
      {"peak 10 deviations above the mean", &VkPairStats::histogramMean, 46.0f, true},
      {"peak less than that", &VkPairStats::histogramMean, 46.0f * (1 + above), false},
      {"mean NaN", &VkPairStats::histogramMean, nan, true},
  };
  for (const Row& r : rows) {
    VkPairStats s;
    s.peakCount = 50, s.overlapLength = 1000, s.templateLength = r.templateLength;
    s.matchFractionA = s.matchFractionB = 0.1f, s.histogramMean = 0, s.histogramStdDev = 0.4f;
    s.*r.field = r.value;
    EXPECT_EQ(acceptPair(s, 5, 31.25f, r.minTemplate, r.minOverlap, 0.0025f), r.passes) << r.what;
  }
  // The fraction is met when either recording reaches it, and NaN is no match.
  VkPairStats s;
  s.peakCount = 50, s.overlapLength = 1000, s.templateLength = 500, s.histogramStdDev = 0.4f;
  const float fractions[][3] = {
      {0.0025f, 0, 1}, {0.0025f * (1 + below), 0, 0}, {0, 0.0025f, 1}, {nan, 0, 1}};
  for (const auto& f : fractions) {
    s.matchFractionA = f[0], s.matchFractionB = f[1];
    EXPECT_EQ(acceptPair(s, 5, 31.25f, 3.0f, 3.0f, 0.0025f), f[2] != 0) << f[0] << " " << f[1];
  }
  // The former applies the same test with its copied settings.
  VkClusterSyncParams params{VkExtractParams()};
  s.templateLength = 93.75f;
  s.matchFractionA = 0.1f;
  EXPECT_TRUE(VkClusterFormer(params).accepts(s));
  params.setMinTemplateLength(3.01f);
  EXPECT_FALSE(VkClusterFormer(params).accepts(s));
}
