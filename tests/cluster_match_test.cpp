// Pairwise matching: votes, limits and progress on hand-built sets, and the
// agreement of the counted, sorted and batched paths on random landmark sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cluster/match_tuning.h"
#include "test_support.h"
#include "velk/cluster_stages.h"

using namespace Velk;
using velktest::Lm;
using velktest::makeSet;

namespace {

using Bins = std::vector<std::tuple<int32_t, uint32_t, int32_t, int32_t>>;

Bins bins(const VkOffsetHistogram& h) {
  Bins out;
  for (const VkOffsetBin& b : h) out.emplace_back(b.offset, b.count, b.minTimeA, b.maxTimeA);
  return out;
}

// Small sets take the counted path by default; these force the sorted one and
// dense counting in small batches.
VkMatchTuning sortedTuning() {
  VkMatchTuning t;
  t.batchBytes = 1;
  t.denseAllowance = 0;
  return t;
}
VkMatchTuning denseTuning() {
  VkMatchTuning t;
  t.batchBytes = 20000;
  t.denseAllowance = uint64_t{1} << 40;
  return t;
}
const VkMatchTuning kTunings[] = {VkMatchTuning(), sortedTuning(), denseTuning()};

VkMatchTuning threaded(VkMatchTuning t, unsigned threads) {
  t.threads = threads;
  return t;
}

// Every sink call in order, then every progress call.
using Calls = std::pair<std::vector<std::pair<VkPairKey, Bins>>, std::vector<std::string>>;
Calls callsOf(VkFileSet* set, uint32_t maxLandmarks, const VkMatchTuning& tuning) {
  Calls out;
  velktest::ProgressLog log;
  VkLandmarkIndex index(maxLandmarks);
  matchPairsInto(index, set, &log, tuning, [&out](const VkPairKey& k, VkOffsetHistogram& h) {
    out.first.emplace_back(k, bins(h));
  });
  out.second = log.calls;
  return out;
}

struct Match {
  Match(VkFileSet* set, uint32_t maxLandmarks = 250, VkProgress* progress = nullptr,
        const VkMatchTuning& tuning = VkMatchTuning())
      : index(maxLandmarks), table(matchPairsTuned(index, set, progress, tuning)) {}
  ~Match() { deletePairHistograms(table); }
  Bins at(VkPairKey k) const { return bins(*table->at(k)); }
  std::vector<VkPairKey> keys() const {
    std::vector<VkPairKey> out;
    for (const auto& kv : *table) out.push_back(kv.first);
    return out;
  }
  VkLandmarkIndex index;
  VkPairHistograms* table;
};

}  // namespace

TEST(ClusterMatch, VotesGoToTheRightPairsAndOffsets) {
  for (const VkMatchTuning& tuning : kTunings) {
    SCOPED_TRACE(&tuning - kTunings);
    // Recording 1 bears hash 7 at frames 10 and 20, recording 2 at frame 5.
    auto set = makeSet({{1, 10, 7}, {1, 20, 7}, {2, 5, 7}});
    Match m(set.get(), 250, nullptr, tuning);
    EXPECT_EQ(m.keys(), (std::vector<VkPairKey>{{1, 2}}));
    EXPECT_EQ(m.at({1, 2}), (Bins{{5, 1, 10, 10}, {15, 1, 20, 20}}));
    EXPECT_TRUE(m.index.entries.empty());  // emptied before returning

    // A hash in 1, 2 and 3 votes for every pair; key order is by smaller id.
    auto three = makeSet({{3, 40, 9}, {1, 10, 9}, {2, 30, 9}, {1, 12, 9}});
    Match m3(three.get(), 250, nullptr, tuning);
    EXPECT_EQ(m3.keys(), (std::vector<VkPairKey>{{1, 2}, {1, 3}, {2, 3}}));
    EXPECT_EQ(m3.at({1, 3}), (Bins{{-30, 1, 10, 10}, {-28, 1, 12, 12}}));

    // Ids 7 and 3: the key is (3, 7) and offsets are time in 3 minus time in 7;
    // equal landmarks all vote (2 x 2 at frames 60/61 against 50).
    auto swapped =
        makeSet({{7, 100, 4}, {3, 30, 4}, {7, 50, 5}, {3, 60, 5}, {3, 61, 5}, {3, 61, 5}});
    Match ms(swapped.get(), 250, nullptr, tuning);
    EXPECT_EQ(ms.at({3, 7}), (Bins{{-70, 1, 30, 30}, {10, 1, 60, 60}, {11, 2, 61, 61}}));

    // Landmarks without a table are recording 0's and vote as such.
    auto orphans = makeSet({{5, 10, 1}, {5, 20, 2}, {5, 30, 3}, {7, 4, 1}, {7, 14, 2}, {7, 24, 3}});
    for (auto& frame : orphans->getFiles().at(7)->getLandmarks())
      for (Landmark* l : frame.second) l->file = nullptr;
    Match mo(orphans.get(), 250, nullptr, tuning);
    EXPECT_EQ(mo.keys(), (std::vector<VkPairKey>{{0, 5}}));
    EXPECT_EQ(mo.at({0, 5}), (Bins{{-6, 3, 4, 24}}));

    // Hash 1 has exactly 4 landmarks (votes), hash 2 has 5 (dropped whole at 4).
    const std::vector<Lm> votes = {{1, 0, 1}, {1, 1, 1}, {2, 0, 1}, {3, 0, 1}, {1, 0, 2},
                                   {1, 1, 2}, {2, 0, 2}, {2, 1, 2}, {3, 5, 2}};
    auto popular = makeSet(votes);
    Match limited(popular.get(), 4, nullptr, tuning);
    EXPECT_EQ(limited.at({1, 2}), (Bins{{0, 1, 0, 0}, {1, 1, 1, 1}}));
    Match higher(popular.get(), 5, nullptr, tuning);
    EXPECT_EQ(higher.at({1, 2}), (Bins{{-1, 1, 0, 0}, {0, 3, 0, 1}, {1, 2, 1, 1}}));

    // Times spanning 2^30 frames from a negative start: recording and time just
    // fit one 32-bit word, then need the 8-byte one.
    for (int32_t late : {(1 << 30) - 2, 1 << 30}) {
      auto wide = makeSet({{1, -1, 6}, {2, late, 6}, {2, 0, 6}});
      Match mw(wide.get(), 250, nullptr, tuning);
      EXPECT_EQ(mw.at({1, 2}), (Bins{{-1 - late, 1, -1, -1}, {-1, 1, -1, -1}}));
    }
  }
  auto disjoint = makeSet({{1, 1, 3}, {1, 2, 3}, {2, 1, 4}, {3, 1, 5}});
  EXPECT_TRUE(Match(disjoint.get()).table->empty());
  EXPECT_TRUE(Match(nullptr).table->empty());
}

TEST(ClusterMatch, ProgressCountsOnlyHashesThatCanVote) {
  // Hashes: 1 once (not counted), 2 twice in one recording (counted, no vote),
  // 3 and 4 shared (counted). N = 3, so the walk reports 33, 66 and 100 percent.
  auto set = makeSet({{1, 0, 1}, {1, 0, 2}, {1, 4, 2}, {1, 0, 3}, {2, 0, 3}, {1, 0, 4}, {3, 2, 4}});
  velktest::ProgressLog log;
  Match m(set.get(), 250, &log);
  EXPECT_EQ(log.calls, (std::vector<std::string>{"f0", "f0.333333343", "f0.666666687", "f1", "f0",
                                                 "f0.330000013", "f0.660000026", "f1"}));
  velktest::ProgressLog none;
  Match empty(nullptr, 250, &none);
  EXPECT_EQ(none.calls, (std::vector<std::string>{"f0"}));
}

// Random jobs: recordings that share shifted, thinned copies of one landmark
// stream, hashes from small pools (collisions and ties), landmarks moved to
// other tables or none, and hashes right at the popularity limit.
TEST(ClusterMatch, EveryPathGivesTheSameHistograms) {
  std::mt19937 rng(20240611);
  auto uni = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const uint32_t limits[] = {1, 2, 3, 5, 8, 250};
  int pairs = 0, chosen = 0;
  for (int job = 0; job < 120; ++job) {
    const uint32_t maxLandmarks = limits[job % 6];
    const int span = job % 10 == 9 ? 40000 : 500;
    std::set<int32_t> ids;
    while (static_cast<int>(ids.size()) < uni(1, 6)) ids.insert(uni(-4, 30));
    std::vector<Lm> lms;
    std::vector<std::pair<int32_t, uint32_t>> stream(static_cast<std::size_t>(uni(0, 300)));
    for (auto& s : stream) s = {uni(0, span), 1000u + static_cast<uint32_t>(uni(0, 900))};
    for (int32_t id : ids) {
      const int shift = uni(-span / 4, span / 4), keep = uni(0, 100);
      for (const auto& s : stream)
        if (uni(0, 99) < keep) lms.push_back({id, s.first - shift, s.second});
      for (int i = uni(0, 200); i > 0; --i)
        lms.push_back({id, uni(-span / 4, span), static_cast<uint32_t>(uni(0, 400))});
    }
    const std::vector<int32_t> idv(ids.begin(), ids.end());
    for (uint32_t i = 0; maxLandmarks <= 64 && i < 2 * maxLandmarks + 1; ++i)
      lms.push_back({idv[static_cast<std::size_t>(uni(0, static_cast<int>(idv.size()) - 1))],
                     uni(0, 40), i < maxLandmarks ? 90001u : 90002u});
    auto set = makeSet(lms, ids);
    std::vector<VkFile*> tables = {nullptr};
    for (const auto& kv : set->getFiles()) tables.push_back(kv.second);
    for (const auto& kv : set->getFiles())
      for (auto& frame : kv.second->getLandmarks())
        for (Landmark* l : frame.second)
          if (uni(0, 9) == 0)
            l->file = tables[static_cast<std::size_t>(uni(0, 100)) % tables.size()];

    SCOPED_TRACE("job " + std::to_string(job));
    Match first(set.get(), maxLandmarks, nullptr, kTunings[0]);
    for (const VkMatchTuning& tuning : {kTunings[1], kTunings[2]}) {
      Match other(set.get(), maxLandmarks, nullptr, tuning);
      ASSERT_EQ(other.keys(), first.keys());
      for (const auto& kv : *first.table) EXPECT_EQ(other.at(kv.first), bins(*kv.second));
    }
    // Threads (votes counted in advance or not, queues held at their budget)
    // change neither the calls nor their order.
    const Calls one = callsOf(set.get(), maxLandmarks, kTunings[0]);
    EXPECT_EQ(callsOf(set.get(), maxLandmarks, threaded(kTunings[0], 3)), one);
    EXPECT_EQ(callsOf(set.get(), maxLandmarks, threaded(kTunings[1], 2)).first,
              callsOf(set.get(), maxLandmarks, kTunings[1]).first);
    // The candidate stage: its first vote is matching at the candidate limit
    // (a hash right at it votes, one above does not), and the pairs it
    // chooses are handed on with their full histograms.
    VkMatchTuning candidates = threaded(VkMatchTuning(), 2);
    candidates.candidateLimit = std::max(1u, maxLandmarks - 1);
    std::map<VkPairKey, uint32_t> peaks;
    std::set<VkPairKey> picked, handed;
    candidates.candidateSeen = [&](const VkPairKey& k, const VkCandidatePeak& c) {
      peaks[k] = c.peak;
      if (c.chosen(0.0f)) picked.insert(k);
    };
    const Calls full = callsOf(set.get(), maxLandmarks, candidates);
    Match rare(set.get(), candidates.candidateLimit);
    ASSERT_EQ(peaks.size(), rare.table->size());
    for (const auto& kv : *rare.table) {
      uint32_t most = 0;
      for (const VkOffsetBin& b : *kv.second) most = std::max(most, b.count);
      EXPECT_EQ(peaks[kv.first], most);
    }
    for (const auto& call : full.first) {
      EXPECT_EQ(call.second, first.at(call.first));
      handed.insert(call.first);
    }
    EXPECT_EQ(handed, picked);
    chosen += static_cast<int>(handed.size());
    pairs += static_cast<int>(first.table->size());
  }
  EXPECT_GT(pairs, 300);  // the jobs really matched
  EXPECT_GT(chosen, 30);  // and some pairs were candidates
}

// The candidate rule on hand-made first votes of two recordings of 18,600
// frames with 20,000 rarer landmarks each, at the default match fraction: a
// short overlap's few votes stand out, the same over a whole overlap or at
// chance's level do not.
TEST(ClusterMatch, CandidatesAreThePeaksThatCouldPass) {
  struct Row {
    const char* name;
    int32_t offset;  // of the peak
    uint32_t peak;
    uint32_t background;  // bins an offset apart from -18,500 on
    uint32_t backgroundCount;
    bool chosen;
  };
  const Row rows[] = {
      {"12 votes where 600 frames overlap", 18000, 12, 300, 1, true},
      {"the same where they overlap whole", 0, 12, 300, 1, false},
      {"two votes where they barely overlap", 18590, 2, 0, 1, false},
      {"a peak among bins nearly as high", 18000, 12, 30000, 4, false},
  };
  const VkCandidateSides sides{0, 18599, 0, 18599, 20000, 20000};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    VkOffsetHistogram h;
    for (uint32_t i = 0; i < r.background; ++i)
      h.push_back({-18500 + static_cast<int32_t>(i), r.backgroundCount, 0, 0});
    h.push_back({r.offset, r.peak, 0, 0});
    EXPECT_EQ(
        candidatePeak(h, sides).chosen(VkClusterSyncParams(VkExtractParams()).getMinPercentMatch()),
        r.chosen);
  }
}
