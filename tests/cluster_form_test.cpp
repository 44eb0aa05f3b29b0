// Result types, the recording partition, offset propagation and cluster formation.

#include <algorithm>
#include <map>
#include <utility>

#include "test_support.h"
#include "velk/cluster_stages.h"

using namespace Velk;
using Members = VkGroupTable::MemberMap;

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
