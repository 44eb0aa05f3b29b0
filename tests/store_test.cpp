// Landmark table of one recording and the recording set.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "velk/landmark.h"

namespace {

using Velk::Landmark;
using Velk::VkFile;
using Velk::VkFileSet;

Landmark* lm(VkFile& f, int32_t t, uint32_t hash = 0) { return new Landmark(t, &f, hash); }

TEST(StoreFile, CumulativeCountsOfTheWorkedExample) {
  VkFile f(3);
  Landmark* first = lm(f, 2, 11);
  Landmark* second = lm(f, 2, 22);
  f.addLandmark(first);
  f.addLandmark(second);
  f.addLandmark(lm(f, 5, 33));
  f.addLandmark(nullptr);
  EXPECT_EQ(f.getLandmarkCount(), 3u);
  EXPECT_EQ(f.getFirstFrame(), 2);
  EXPECT_EQ(f.getLastFrame(), 5);
  EXPECT_EQ(f.countLandmarksInRange(2, 5), -1);
  EXPECT_EQ(f.getLandmarks().at(2), (VkFile::LandmarkList{first, second}));
  EXPECT_EQ(first->getFileId(), 3);
  EXPECT_EQ(Landmark(1, nullptr, 2).getFileId(), 0);

  f.computeCLF();
  EXPECT_FALSE(f.isClfDirty());
  EXPECT_EQ(f.getClf(), (std::map<int32_t, int32_t>{{2, 2}, {3, 2}, {4, 2}, {5, 3}}));
  EXPECT_EQ(f.getLandmarks().size(), 4u);
  EXPECT_TRUE(f.getLandmarks().at(3).empty());
  const std::vector<std::pair<std::pair<int, int>, int>> cases = {
      {{2, 5}, 3}, {{3, 4}, 0}, {{0, 2}, 2}, {{5, 100}, 1}, {{6, 9}, 0},
      {{4, 3}, 0}, {{5, 3}, 0}, {{3, 5}, 1}, {{-10, 1}, 0}, {{2, 2}, 2}};
  for (const auto& c : cases)
    EXPECT_EQ(f.countLandmarksInRange(c.first.first, c.first.second), c.second)
        << c.first.first << ".." << c.first.second;

  // An earlier landmark after the counts were built: dirty again, then every
  // entry is recomputed from the new first frame.
  f.addLandmark(lm(f, 0, 44));
  EXPECT_EQ(f.countLandmarksInRange(2, 5), -1);
  f.computeCLF();
  EXPECT_EQ(f.getClf(),
            (std::map<int32_t, int32_t>{{0, 1}, {1, 1}, {2, 3}, {3, 3}, {4, 3}, {5, 4}}));
  EXPECT_EQ(f.countLandmarksInRange(0, 5), 4);
  EXPECT_EQ(f.countLandmarksInRange(1, 2), 2);
  EXPECT_EQ(f.getLandmarkCount(), 4u);

  VkFile none(1);
  none.computeCLF();
  EXPECT_FALSE(none.isClfDirty());
  EXPECT_TRUE(none.getClf().empty());
  EXPECT_EQ(none.countLandmarksInRange(-5, 5), 0);
  EXPECT_EQ(none.countLandmarksInRange(0, 2147483647), 0);
}

// Flat landmarks added out of frame order, mixed with an object: every reader
// sees them by frame, then order of addition, and the object map built on
// request stays what the table reads.
TEST(StoreFile, FlatLandmarksKeepFrameThenAdditionOrder) {
  using Seen = std::vector<std::tuple<int32_t, uint32_t, int32_t>>;
  auto seen = [](const VkFile& f) {
    Seen out;
    f.forEachLandmark([&out](int32_t t, uint32_t h, int32_t id) { out.emplace_back(t, h, id); });
    return out;
  };
  VkFile f(4);
  f.addLandmark(5, 1);
  f.addLandmark(2, 2);
  f.addLandmark(lm(f, 5, 3));
  f.addLandmark(2, 4);
  f.computeCLF();
  EXPECT_EQ(seen(f), (Seen{{2, 2, 4}, {2, 4, 4}, {5, 1, 4}, {5, 3, 4}}));
  EXPECT_EQ(f.getClf(), (std::map<int32_t, int32_t>{{2, 2}, {3, 2}, {4, 2}, {5, 4}}));
  EXPECT_EQ(f.countLandmarksInRange(3, 5), 2);

  const VkFile::LandmarkMap& view = f.getLandmarks();
  ASSERT_EQ(view.size(), 4u);
  EXPECT_EQ(view.at(2).size(), 2u);
  EXPECT_EQ(view.at(5).at(1)->hash, 3u);
  view.at(2).at(1)->file = nullptr;  // now recording 0's, for matching too
  f.addLandmark(0, 6);               // kept in the map as well
  EXPECT_EQ(view.at(0).at(0)->hash, 6u);
  EXPECT_EQ(seen(f), (Seen{{0, 6, 4}, {2, 2, 4}, {2, 4, 0}, {5, 1, 4}, {5, 3, 4}}));

  // A complete flat table reads its times from the counts (frame 2 is empty),
  // and still takes an earlier landmark and gives the object map after.
  VkFile flat(6);
  flat.addLandmark(3, 1);
  flat.addLandmark(1, 2);
  flat.addLandmark(3, 3);
  flat.computeCLF();
  EXPECT_EQ(seen(flat), (Seen{{1, 2, 6}, {3, 1, 6}, {3, 3, 6}}));
  flat.addLandmark(0, 4);
  flat.computeCLF();
  EXPECT_EQ(seen(flat), (Seen{{0, 4, 6}, {1, 2, 6}, {3, 1, 6}, {3, 3, 6}}));
  EXPECT_EQ(flat.getLandmarks().at(3).at(1)->hash, 3u);
  EXPECT_EQ(flat.getLandmarkCount(), 4u);

  // Hashes freed after matching: the counts stay, the hashes read as 0.
  VkFile counted(7);
  counted.addLandmark(2, 5);
  counted.addLandmark(4, 6);
  counted.computeCLF();
  counted.forgetHashes();
  EXPECT_EQ(counted.getLandmarkCount(), 2u);
  EXPECT_EQ(counted.countLandmarksInRange(3, 4), 1);
  EXPECT_EQ(seen(counted), (Seen{{2, 0, 7}, {4, 0, 7}}));
}

TEST(StoreSet, OwnershipOrderAndDuplicates) {
  VkFile* refused = new VkFile(1);
  std::vector<VkFile*> files;
  {
    VkFileSet set;
    EXPECT_EQ(set.addFile(nullptr), nullptr);
    EXPECT_EQ(set.getCurrentId(), 0);

    for (int id : {3, 1, 2}) {
      files.push_back(new VkFile(id));
      files.back()->addLandmark(lm(*files.back(), id * 10));
      EXPECT_EQ(set.addFile(files.back()), files.back());
    }
    EXPECT_EQ(set.getCurrentId(), 2);

    EXPECT_EQ(set.addFile(refused), refused);
    EXPECT_EQ(set.getCurrentId(), 1);
    EXPECT_EQ(set.getFiles().at(1), files[1]);

    // addLandmark goes to the table of the current id.
    set.addLandmark(lm(*files[1], 11));
    set.addLandmark(nullptr);
    EXPECT_EQ(files[1]->getLandmarkCount(), 2u);

    std::vector<int32_t> walk;
    for (const auto& entry : set.getFiles()) walk.push_back(entry.second->getId());
    EXPECT_EQ(walk, (std::vector<int32_t>{1, 2, 3}));
    set.computeCLFs();
    for (const auto& entry : set.getFiles()) EXPECT_FALSE(entry.second->isClfDirty());
    EXPECT_EQ(files[1]->countLandmarksInRange(10, 11), 2);
  }
  // The refused table outlives the set and is still the caller's to use and
  // delete (the sanitizer and leak-check builds catch a double or missing delete).
  refused->addLandmark(lm(*refused, 4));
  refused->computeCLF();
  EXPECT_EQ(refused->countLandmarksInRange(0, 9), 1);
  delete refused;
}

}  // namespace
