// The cluster-sync driver's rules on hand-built landmark tables.

#include <algorithm>
#include <utility>

#include "test_support.h"

using namespace Velk;

namespace {

using Content = std::vector<std::vector<std::pair<std::string, float>>>;

Content content(const VkClusterSet* result) {
  Content out;
  for (const VkCluster* c : *result) {
    out.emplace_back();
    int32_t last = -1;
    for (const VkClusterElem* e : *c) {
      EXPECT_GT(e->fileId, last);
      last = e->fileId;
      out.back().emplace_back(e->name, e->offset);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(ClusterSync, DriverOnHandBuiltTables) {
  const VkClusterSync sync{VkClusterSyncParams(VkExtractParams())};
  VkFileSet empty;
  velktest::ProgressLog log;
  VkClusterSet* result = sync.run(&empty, &log);
  EXPECT_TRUE(result->empty());
  EXPECT_EQ(log.calls, (std::vector<std::string>{"s0", "s1", "f0", "f0", "s2", "s3", "s4", "s5"}));
  deleteClusters(result);

  // One stream of distinct hashes, one per frame for 1000 frames. Recording 1
  // hears frames 0..499, 2 hears 300..799, 3 hears 600..999: (1, 2) and (2, 3)
  // overlap by 200 frames, (1, 3) share nothing, and the chain joins all three.
  std::vector<velktest::Lm> lms;
  for (int32_t t = 0; t < 1000; ++t) {
    const uint32_t hash = 5000u + static_cast<uint32_t>(t) * 7919u % 100003u;
    if (t < 500) lms.push_back({1, t, hash});
    if (t >= 300 && t < 800) lms.push_back({2, t - 300, hash});
    if (t >= 600) lms.push_back({3, t - 600, hash});
  }
  lms.push_back({4, 0, 1});  // a recording alone
  auto set = velktest::makeSet(lms);
  set->idToName = {{1, "front"}, {2, "middle"}, {3, "back"}};  // 4 has no name
  result = sync.run(set.get(), nullptr);
  const Content chain{{{"", 0.0f}}, {{"front", 0.0f}, {"middle", 9.6f}, {"back", 19.2f}}};
  EXPECT_EQ(content(result), chain);
  EXPECT_EQ(set->idToName.at(4), "");
  // A second run gives the same and leaves the first intact.
  VkClusterSet* again = sync.run(set.get(), nullptr);
  EXPECT_EQ(content(again), chain);
  EXPECT_EQ(content(result), chain);
  deleteClusters(again);
  deleteClusters(result);

  // With a stricter overlap the chain breaks: everyone alone.
  VkClusterSyncParams strict{VkExtractParams()};
  strict.setMinOverlapLength(6.5f);  // 203 frames > 199
  result = VkClusterSync(strict).run(set.get(), nullptr);
  EXPECT_EQ(result->size(), 4u);
  deleteClusters(result);

  velktest::ProgressLog nullLog;
  result = sync.run(nullptr, &nullLog);
  EXPECT_TRUE(result->empty());
  EXPECT_EQ(nullLog.calls, (std::vector<std::string>{"s0", "s1", "s2", "s3", "s4", "s5"}));
  deleteClusters(result);
}
