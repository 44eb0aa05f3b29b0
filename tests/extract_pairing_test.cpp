// Pairing of peaks into hashed landmarks.
#include <gtest/gtest.h>

#include <vector>

#include "test_support.h"
#include "velk/landmark_extract.h"

namespace {

using Velk::Landmark;
using Velk::Peak;
using Velk::VkExtractParams;
using Velk::VkFile;
using Velk::VkLandmarkExtract;

using velktest::addPeak;

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

}  // namespace
