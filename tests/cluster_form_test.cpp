// Result types, the recording partition, offset propagation, cluster formation,
// match verification and the acceptance test.

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <tuple>
#include <utility>

#include "test_support.h"
#include "velk/cluster_stages.h"

using namespace Velk;
using Members = VkGroupTable::MemberMap;
using velktest::Lm;
using velktest::makeSet;

namespace {

// A record that passes the default acceptance test, or one that fails it.
VkPairStats* record(int32_t a, int32_t b, float count, float offset, bool passes = true) {
  auto* s = new VkPairStats;
  s->idA = a, s->idB = b, s->peakCount = passes ? count : 2.0f, s->peakOffset = offset;
  s->overlapLength = 1000, s->templateLength = 500, s->matchFractionA = s->matchFractionB = 0.1f;
  s->histogramMean = 0, s->histogramStdDev = 0.4f;
  return s;
}

struct Stats {
  ~Stats() {
    for (auto& kv : table) delete kv.second;
  }
  // An accepted pair, as cluster formation would have flagged it.
  Stats& add(int32_t a, int32_t b, float count, float offset, bool accepted = true) {
    VkPairStats* s = record(a, b, count, offset);
    s->accepted = accepted;
    table[{a, b}] = s;
    return *this;
  }
  VkPairStatsTable table;
};

std::vector<Members> align(const std::set<std::set<int32_t>>& groups, const Stats& stats) {
  VkRecordingPartition p;
  p.groups = groups;
  std::vector<Members> out;
  for (VkGroupTable* t : p.alignComponents(&stats.table)) {
    const auto g = t->groups();
    out.insert(out.end(), g.begin(), g.end());
    delete t;
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::vector<std::pair<int32_t, float>>> content(const VkClusterSet* result) {
  std::vector<std::vector<std::pair<int32_t, float>>> out;
  for (const VkCluster* c : *result) {
    out.emplace_back();
    for (const VkClusterElem* e : *c) {
      EXPECT_EQ(e->name, "TODO");
      out.back().emplace_back(e->fileId, e->offset);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

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

TEST(ClusterForm, ResultOrderAndPrint) {
  VkCluster cluster;
  VkClusterElem two("b", 2, 0), minus("a", -1, 0), zero("z", 0, 0), again("c", 2, 9);
  cluster.insert(&two);
  cluster.insert(&minus);
  cluster.insert(&zero);
  EXPECT_FALSE(cluster.insert(&again).second);
  std::vector<int32_t> ids;
  for (const VkClusterElem* e : cluster) ids.push_back(e->fileId);
  EXPECT_EQ(ids, (std::vector<int32_t>{-1, 0, 2}));

  testing::internal::CaptureStdout();
  printClusters(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  deleteClusters(nullptr);
}

TEST(ClusterForm, PartitionJoinsGroupsInOrder) {
  auto set = velktest::makeSet({}, {3, 1, 2, 5});
  VkRecordingPartition p;
  p.build(set.get());
  using G = std::set<std::set<int32_t>>;
  EXPECT_EQ(p.groups, (G{{1}, {2}, {3}, {5}}));
  p.join(2, 2);
  EXPECT_EQ(p.groups, (G{{1}, {2}, {3}, {5}}));
  p.join(5, 1);
  p.join(1, 5);
  EXPECT_EQ(p.groups, (G{{1, 5}, {2}, {3}}));
  // Lexicographic order: {1, 5} before {2}; a prefix comes first.
  EXPECT_EQ(*p.groups.begin(), (std::set<int32_t>{1, 5}));
  p.join(3, 2);
  p.join(2, 5);
  EXPECT_EQ(p.groups, (G{{1, 2, 3, 5}}));
  // Ids in no group: the empty union is still added, once.
  p.join(8, 9);
  p.join(9, 8);
  EXPECT_EQ(p.groups, (G{{}, {1, 2, 3, 5}}));
  p.join(4, 3);
  EXPECT_EQ(p.groups, (G{{}, {1, 2, 3, 5}}));
  p.build(set.get());  // starts over
  EXPECT_EQ(p.groups.size(), 4u);
  p.build(nullptr);
  EXPECT_TRUE(p.groups.empty());
}

TEST(ClusterForm, GroupTableMergeNormaliseAndPrint) {
  VkGroupTable t;
  t.init({3, 1, 2});
  EXPECT_EQ(t.table, (std::map<int32_t, Members>{{0, {{1, 0}}}, {1, {{2, 0}}}, {2, {{3, 0}}}}));
  t.merge(3, 3, 5);
  t.merge(3, 1, 10);  // 1's map joins 3's, under 3's index, shifted by 10
  EXPECT_EQ(t.table, (std::map<int32_t, Members>{{1, {{2, 0}}}, {2, {{1, 10}, {3, 0}}}}));
  t.merge(2, 3, -4.5f);
  t.normalise();
  EXPECT_EQ(t.table, (std::map<int32_t, Members>{{1, {{1, 10}, {2, 4.5f}, {3, 0}}}}));

  // groups(): by id, then offset; equal maps collapse.
  VkGroupTable u;
  u.table = {{0, {{4, 0}}}, {1, {{1, 3}}}, {2, {{1, -1}, {2, 0}}}, {3, {{4, 0}}}};
  const std::set<Members> g = u.groups();
  EXPECT_EQ(std::vector<Members>(g.begin(), g.end()),
            (std::vector<Members>{{{1, -1}, {2, 0}}, {{1, 3}}, {{4, 0}}}));
  u.normalise();
  EXPECT_EQ(u.table.at(2), (Members{{1, 0}, {2, 1}}));
}

TEST(ClusterForm, OffsetPropagationFromTheStrongestPairs) {
  using V = std::vector<Members>;
  // The worked example: the stronger path through 2 replaces the direct pair.
  Stats example;
  example.add(1, 2, 50, 100).add(2, 3, 30, -40).add(1, 3, 20, 55);
  EXPECT_EQ(align({{1, 2, 3}}, example), (V{{{1, 0}, {2, 100}, {3, 60}}}));
  Stats direct;
  direct.add(1, 2, 50, 100).add(2, 3, 30, -40).add(1, 3, 40, 55);
  EXPECT_EQ(align({{1, 2, 3}}, direct), (V{{{1, 0}, {2, 100}, {3, 55}}}));

  // Equal counts: the last pair in order, (2, 3), is merged first.
  Stats tie;
  tie.add(1, 2, 10, 100).add(1, 3, 10, 50).add(2, 3, 10, 20);
  EXPECT_EQ(align({{1, 2, 3}}, tie), (V{{{1, 0}, {2, 100}, {3, 120}}}));

  // A pair that was not accepted is no evidence, however strong.
  Stats unaccepted;
  unaccepted.add(1, 2, 10, 100).add(2, 3, 5, 30).add(1, 3, 99, 7, false);
  EXPECT_EQ(align({{1, 2, 3}}, unaccepted), (V{{{1, 0}, {2, 100}, {3, 130}}}));

  // Two recordings either way round; single recordings; several groups at once.
  Stats two;
  two.add(1, 2, 9, 64).add(3, 4, 9, -64);
  EXPECT_EQ(align({{1, 2}, {3, 4}, {7}}, two), (V{{{1, 0}, {2, 64}}, {{3, 64}, {4, 0}}, {{7, 0}}}));

  // A chain of four, where the larger id is folded and re-based twice.
  Stats chain;
  chain.add(1, 4, 40, -10).add(2, 4, 30, 5).add(3, 4, 20, 7);
  EXPECT_EQ(align({{1, 2, 3, 4}}, chain), (V{{{1, 17}, {2, 2}, {3, 0}, {4, 7}}}));

  // A moved pair without offset (1, 3) gets one when a later pass walks past
  // it, so the offset table is not empty and the group is completed: 3 joins 1
  // at offset 0.
  Stats unmeasured;
  unmeasured.add(1, 2, 5, 10).add(2, 3, 0, 7).add(3, 4, 3, -20);
  EXPECT_EQ(align({{1, 2, 3, 4}}, unmeasured), (V{{{1, 20}, {2, 30}, {3, 20}, {4, 0}}}));
}

TEST(ClusterForm, FormClustersJoinsChainsAndFlagsAcceptedPairs) {
  auto set = velktest::makeSet({}, {1, 2, 3, 4});
  VkClusterSyncParams params{VkExtractParams()};
  const VkClusterFormer former(params);

  VkPairStatsTable stats;
  stats[{1, 2}] = record(1, 2, 50, 100);
  stats[{1, 3}] = record(1, 3, 20, 55, false);  // the direct pair fails
  stats[{1, 4}] = record(1, 4, 50, 5, false);
  stats[{2, 3}] = record(2, 3, 30, -40);
  stats[{3, 4}] = nullptr;  // skipped
  VkClusterSet* result = former.formClusters(set.get(), &stats);
  using C = std::vector<std::vector<std::pair<int32_t, float>>>;
  EXPECT_EQ(content(result), (C{{{1, 0.0f}, {2, 3.2f}, {3, 1.92f}}, {{4, 0.0f}}}));
  EXPECT_EQ((std::vector<bool>{stats.at({1, 2})->accepted, stats.at({2, 3})->accepted,
                               stats.at({1, 3})->accepted, stats.at({1, 4})->accepted}),
            (std::vector<bool>{true, true, false, false}));
  deleteClusters(result);

  // Negative offset: recording 2 started first and is the one at 0.
  VkPairStatsTable neg;
  neg[{1, 2}] = record(1, 2, 50, -64);
  result = former.formClusters(set.get(), &neg);
  EXPECT_EQ(content(result), (C{{{1, 2.048f}, {2, 0.0f}}, {{3, 0.0f}}, {{4, 0.0f}}}));
  deleteClusters(result);

  EXPECT_EQ(former.formClusters(nullptr, &stats), nullptr);
  EXPECT_EQ(former.formClusters(set.get(), nullptr), nullptr);
  for (auto& kv : stats) delete kv.second;
  for (auto& kv : neg) delete kv.second;
}

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
