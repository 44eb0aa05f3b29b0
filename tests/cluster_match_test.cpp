// Pairwise matching: votes, limits, progress, and agreement of the compact
// histograms with the plain map-of-lists reference on many random landmark sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cluster/match_tuning.h"
#include "reference_matching.h"
#include "velk/cluster.h"
#include "velk/cluster_stages.h"

using namespace Velk;

namespace {

using velkref::Lm;
using velkref::makeSet;

using Bins = std::vector<std::tuple<int32_t, uint32_t, int32_t, int32_t>>;

Bins bins(const VkOffsetHistogram& h) {
  Bins out;
  for (const VkOffsetBin& b : h) out.emplace_back(b.offset, b.count, b.minTimeA, b.maxTimeA);
  return out;
}

Bins bins(const velkref::Histogram& h) {
  Bins out;
  for (const auto& kv : h) {
    int32_t lo = kv.second.front()->time, hi = lo;
    for (const Landmark* l : kv.second) {
      lo = std::min(lo, l->time);
      hi = std::max(hi, l->time);
    }
    out.emplace_back(kv.first, static_cast<uint32_t>(kv.second.size()), lo, hi);
  }
  return out;
}

struct Match {
  explicit Match(VkFileSet* set, uint32_t maxLandmarks = 250, VkProgress* progress = nullptr)
      : index(maxLandmarks), table(matchPairs(index, set, progress)) {}
  ~Match() { deletePairHistograms(table); }
  VkLandmarkIndex index;
  VkPairHistograms* table;
};

}  // namespace

TEST(ClusterMatch, VotesGoToTheRightPairsAndOffsets) {
  // Recording 1 bears hash 7 at frames 10 and 20, recording 2 at frame 5.
  auto set = makeSet({{1, 10, 7}, {1, 20, 7}, {2, 5, 7}});
  Match m(set.get());
  ASSERT_EQ(m.table->size(), 1u);
  EXPECT_EQ(bins(*m.table->at({1, 2})), (Bins{{5, 1, 10, 10}, {15, 1, 20, 20}}));
  EXPECT_TRUE(m.index.entries.empty());  // emptied before returning

  // A hash in 1, 2 and 3 votes for every pair; key order is by smaller id.
  auto three = makeSet({{3, 40, 9}, {1, 10, 9}, {2, 30, 9}, {1, 12, 9}});
  Match m3(three.get());
  std::vector<VkPairKey> keys;
  for (const auto& kv : *m3.table) keys.push_back(kv.first);
  EXPECT_EQ(keys, (std::vector<VkPairKey>{{1, 2}, {1, 3}, {2, 3}}));
  EXPECT_EQ(bins(*m3.table->at({1, 3})), (Bins{{-30, 1, 10, 10}, {-28, 1, 12, 12}}));
  EXPECT_EQ(bins(*m3.table->at({2, 3})), (Bins{{-10, 1, 30, 30}}));

  // Ids 7 and 3: the key is (3, 7) and offsets are time in 3 minus time in 7.
  auto swapped = makeSet({{7, 100, 4}, {3, 30, 4}, {7, 50, 5}, {3, 60, 5}, {3, 61, 5}});
  Match ms(swapped.get());
  EXPECT_EQ(bins(*ms.table->at({3, 7})),
            (Bins{{-70, 1, 30, 30}, {10, 1, 60, 60}, {11, 1, 61, 61}}));

  // Equal landmarks all vote: 2 x 3 landmarks at the same frames give 6 votes.
  auto dup = makeSet({{1, 8, 1}, {1, 8, 1}, {2, 3, 1}, {2, 3, 1}, {2, 3, 1}});
  Match md(dup.get());
  EXPECT_EQ(bins(*md.table->at({1, 2})), (Bins{{5, 6, 8, 8}}));

  // One recording, or recordings without a common hash, give nothing.
  auto single = makeSet({{1, 1, 3}, {1, 2, 3}, {1, 3, 4}});
  EXPECT_TRUE(Match(single.get()).table->empty());
  auto disjoint = makeSet({{1, 1, 3}, {2, 1, 4}, {3, 1, 5}});
  EXPECT_TRUE(Match(disjoint.get()).table->empty());
  EXPECT_TRUE(Match(nullptr).table->empty());
}

TEST(ClusterMatch, GroupsByTheLandmarksRecordingNotByItsTable) {
  // Table 7 holds landmarks without a table: they are recording 0's, and vote
  // against recording 5 as the pair (0, 5).
  auto orphans = makeSet({{5, 10, 1}, {5, 20, 2}, {5, 30, 3}, {7, 4, 1}, {7, 14, 2}, {7, 24, 3}});
  for (auto& frame : orphans->getFiles().at(7)->getLandmarks()) {
    for (Landmark* l : frame.second) l->file = nullptr;
  }
  Match mo(orphans.get());
  ASSERT_EQ(mo.table->size(), 1u);
  EXPECT_EQ(bins(*mo.table->at({0, 5})), (Bins{{-6, 3, 4, 24}}));

  // Landmarks that point to another table than the one holding them: table 1
  // holds one of 3's (hash 9) and table 2 one of 1's (hash 8); table 3 holds
  // one without a table. Recording 3's group under hash 9 is [12, 40], in index
  // order, after recordings 0, 1 and 2.
  auto foreign = makeSet({{1, 10, 9},
                          {1, 12, 9},
                          {2, 5, 9},
                          {3, 1, 9},
                          {3, 40, 9},
                          {1, 10, 8},
                          {2, 30, 8},
                          {3, 0, 8},
                          {3, 20, 8}});
  VkFileSet::FileMap& files = foreign->getFiles();
  auto retarget = [&files](int32_t table, int32_t time, uint32_t hash, VkFile* to) {
    for (Landmark* l : files.at(table)->getLandmarks().at(time)) {
      if (l->hash == hash) l->file = to;
    }
  };
  retarget(1, 12, 9, files.at(3));
  retarget(2, 30, 8, files.at(1));
  retarget(3, 1, 9, nullptr);
  Match mf(foreign.get());
  std::vector<VkPairKey> keys;
  for (const auto& kv : *mf.table) keys.push_back(kv.first);
  EXPECT_EQ(keys, (std::vector<VkPairKey>{{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}));
  EXPECT_EQ(bins(*mf.table->at({0, 1})), (Bins{{-9, 1, 1, 1}}));
  EXPECT_EQ(bins(*mf.table->at({0, 3})), (Bins{{-39, 1, 1, 1}, {-11, 1, 1, 1}}));
  EXPECT_EQ(bins(*mf.table->at({1, 2})), (Bins{{5, 1, 10, 10}}));
  EXPECT_EQ(
      bins(*mf.table->at({1, 3})),
      (Bins{
          {-30, 1, 10, 10}, {-10, 1, 10, 10}, {-2, 1, 10, 10}, {10, 2, 10, 30}, {30, 1, 30, 30}}));
  EXPECT_EQ(bins(*mf.table->at({2, 3})), (Bins{{-35, 1, 5, 5}, {-7, 1, 5, 5}}));

  // Random jobs whose landmarks are scattered over other tables and none.
  std::mt19937 rng(77);
  VkMatchTuning sorted;
  sorted.batchBytes = 1;
  sorted.denseAllowance = 0;
  const VkMatchTuning tunings[] = {VkMatchTuning(), sorted};
  int compared = 0;
  for (int job = 0; job < 30; ++job) {
    std::vector<Lm> lms;
    for (int i = 0; i < 400; ++i) {
      lms.push_back({static_cast<int32_t>(rng() % 4 + 1), static_cast<int32_t>(rng() % 200),
                     static_cast<uint32_t>(rng() % 60)});
    }
    auto set = makeSet(lms);
    std::vector<VkFile*> tables = {nullptr};
    for (const auto& kv : set->getFiles()) tables.push_back(kv.second);
    for (const auto& kv : set->getFiles()) {
      for (auto& frame : kv.second->getLandmarks()) {
        for (Landmark* l : frame.second) {
          if (rng() % 3 == 0) l->file = tables[rng() % tables.size()];
        }
      }
    }
    velkref::Index refIndex;
    velkref::Histograms* ref = velkref::matchPairs(refIndex, set.get(), nullptr);
    for (const VkMatchTuning& tuning : tunings) {
      VkLandmarkIndex index(250);
      VkPairHistograms* hist = matchPairsTuned(index, set.get(), nullptr, tuning);
      ASSERT_EQ(hist->size(), ref->size()) << "job " << job;
      for (const auto& kv : *ref) {
        ASSERT_EQ(hist->count(kv.first), 1u);
        EXPECT_EQ(bins(*hist->at(kv.first)), bins(*kv.second));
        compared += kv.first.first == 0;
      }
      deletePairHistograms(hist);
    }
    velkref::deleteHistograms(ref);
  }
  EXPECT_GT(compared, 30);  // recording 0 really took part
}

TEST(ClusterMatch, PopularityLimitDropsWholeHashesAboveIt) {
  // Hash 1 has exactly 4 landmarks (votes), hash 2 has 5 (dropped whole).
  std::vector<Lm> lms = {{1, 0, 1}, {1, 1, 1}, {2, 0, 1}, {3, 0, 1}, {1, 0, 2},
                         {1, 1, 2}, {2, 0, 2}, {2, 1, 2}, {3, 5, 2}};
  auto set = makeSet(lms);
  Match m(set.get(), 4);
  ASSERT_EQ(m.table->size(), 3u);
  EXPECT_EQ(bins(*m.table->at({1, 2})), (Bins{{0, 1, 0, 0}, {1, 1, 1, 1}}));
  EXPECT_EQ(bins(*m.table->at({2, 3})), (Bins{{0, 1, 0, 0}}));
  Match higher(set.get(), 5);
  EXPECT_EQ(bins(*higher.table->at({1, 2})), (Bins{{-1, 1, 0, 0}, {0, 3, 0, 1}, {1, 2, 1, 1}}));
}

TEST(ClusterMatch, ProgressCountsOnlyHashesThatCanVote) {
  // Hashes: 1 once (not counted), 2 twice in one recording (counted, no vote),
  // 3 and 4 shared (counted). N = 3, so the walk reports 33, 66 and 100 percent.
  auto set = makeSet({{1, 0, 1}, {1, 0, 2}, {1, 4, 2}, {1, 0, 3}, {2, 0, 3}, {1, 0, 4}, {3, 2, 4}});
  velkref::ProgressLog log;
  Match m(set.get(), 250, &log);
  EXPECT_EQ(log.calls, (std::vector<std::string>{"f0", "f0.333333343", "f0.666666687", "f1", "f0",
                                                 "f0.330000013", "f0.660000026", "f1"}));
  // Without recordings: the index stage is skipped, the histogram stage reports 0.
  velkref::ProgressLog none;
  Match empty(nullptr, 250, &none);
  EXPECT_EQ(none.calls, (std::vector<std::string>{"f0"}));
}

namespace {

// A random job: recordings that share shifted, thinned copies of a common
// landmark stream, recordings of their own, hashes drawn from small pools so
// that they collide and tie, and hashes placed right at the popularity limit.
std::vector<Lm> randomJob(std::mt19937& rng, uint32_t maxLandmarks, std::set<int32_t>& ids,
                          bool wide) {
  auto uni = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int files = uni(1, 6);
  while (static_cast<int>(ids.size()) < files) ids.insert(uni(-4, 30));
  const int span = wide ? 40000 : 500;
  const uint32_t pool = static_cast<uint32_t>(uni(3, 400));
  std::vector<Lm> lms;
  // The shared stream, each recording sees it from its own start.
  std::vector<std::pair<int32_t, uint32_t>> stream;
  const int streamLen = uni(0, 300);
  for (int i = 0; i < streamLen; ++i) {
    stream.emplace_back(uni(0, span), 1000 + static_cast<uint32_t>(uni(0, 3 * streamLen + 5)));
  }
  for (int32_t id : ids) {
    const int shift = uni(-span / 4, span / 4);
    const int keep = uni(0, 100);
    for (const auto& s : stream) {
      if (uni(0, 99) < keep) lms.push_back({id, s.first - shift, s.second});
    }
    const int own = uni(0, 200);
    for (int i = 0; i < own; ++i) {
      lms.push_back(
          {id, uni(-span / 4, span), static_cast<uint32_t>(uni(0, static_cast<int>(pool)))});
    }
    if (uni(0, 3) == 0) {  // a hash many times in this recording only
      for (int i = uni(2, 12); i > 0; --i) lms.push_back({id, uni(0, 50), 77777u + id});
    }
  }
  std::vector<int32_t> idv(ids.begin(), ids.end());
  auto anyId = [&]() { return idv[static_cast<std::size_t>(uni(0, files - 1))]; };
  // Hashes with exactly maxLandmarks and maxLandmarks + 1 landmarks (when small enough).
  if (maxLandmarks <= 64) {
    for (uint32_t i = 0; i < maxLandmarks; ++i) lms.push_back({anyId(), uni(0, 40), 90001u});
    for (uint32_t i = 0; i <= maxLandmarks; ++i) lms.push_back({anyId(), uni(0, 40), 90002u});
  }
  for (int i = uni(0, 5); i > 0; --i) lms.push_back({anyId(), uni(0, 50), 95000u + i});  // unique
  std::shuffle(lms.begin(), lms.end(), rng);
  return lms;
}

std::vector<std::vector<std::pair<int32_t, float>>> content(const VkClusterSet* result) {
  std::vector<std::vector<std::pair<int32_t, float>>> out;
  for (const VkCluster* c : *result) {
    out.emplace_back();
    for (const VkClusterElem* e : *c) out.back().emplace_back(e->fileId, e->offset);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(ClusterMatch, AgreesWithTheReferenceOnRandomJobs) {
  std::mt19937 rng(20240611);
  const uint32_t limits[] = {1, 2, 3, 5, 8, 250};
  VkMatchTuning sorted;  // every pair sorted, one pair per batch
  sorted.batchBytes = 1;
  sorted.denseAllowance = 0;
  VkMatchTuning dense;  // every pair counted densely, small batches
  dense.batchBytes = 20000;
  dense.denseAllowance = uint64_t{1} << 40;
  const VkMatchTuning tunings[] = {VkMatchTuning(), sorted, dense};
  VkClusterSyncParams params{VkExtractParams()};
  params.setMinOverlapLength(0.5f);
  params.setMinTemplateLength(0.5f);
  params.setAcceptThreshold(3);
  const VkClusterFormer former(params);

  int pairsCompared = 0, accepted = 0;
  for (int job = 0; job < 150; ++job) {
    const uint32_t maxLandmarks = limits[job % 6];
    std::set<int32_t> ids;
    const bool wide = job % 10 == 9;
    auto set = makeSet(randomJob(rng, maxLandmarks, ids, wide), ids);

    velkref::Index refIndex;
    refIndex.maxLandmarks = maxLandmarks;
    velkref::ProgressLog refLog;
    velkref::Histograms* refHist = velkref::matchPairs(refIndex, set.get(), &refLog);
    VkPairStatsTable* refStats = velkref::verifyPairs(set.get(), refHist);
    VkClusterSet* refClusters = former.formClusters(set.get(), refStats);

    for (const VkMatchTuning& tuning : tunings) {
      SCOPED_TRACE("job " + std::to_string(job) + " tuning " + std::to_string(&tuning - tunings));
      VkLandmarkIndex index(maxLandmarks);
      velkref::ProgressLog log;
      VkPairHistograms* hist = matchPairsTuned(index, set.get(), &log, tuning);
      EXPECT_EQ(log.calls, refLog.calls);
      ASSERT_EQ(hist->size(), refHist->size());
      for (const auto& kv : *refHist) {
        ASSERT_EQ(hist->count(kv.first), 1u);
        EXPECT_EQ(bins(*hist->at(kv.first)), bins(*kv.second));
      }
      VkPairStatsTable* stats = verifyPairs(set.get(), hist);
      VkClusterSet* clusters = former.formClusters(set.get(), stats);
      ASSERT_EQ(stats->size(), refStats->size());
      for (const auto& kv : *refStats) {
        EXPECT_EQ(velkref::diffStats(*stats->at(kv.first), *kv.second), "");
        ++pairsCompared;
      }
      EXPECT_EQ(content(clusters), content(refClusters));
      for (const auto& kv : *stats) accepted += kv.second->accepted;
      deleteClusters(clusters);
      deletePairStats(stats);
      deletePairHistograms(hist);
    }
    deleteClusters(refClusters);
    deletePairStats(refStats);
    velkref::deleteHistograms(refHist);
  }
  // The jobs must exercise real matches, not only noise.
  EXPECT_GT(pairsCompared, 1000);
  EXPECT_GT(accepted, 100);
}
