#include "velk/params.h"

#include <gtest/gtest.h>

#include <cmath>

using Velk::VkClusterSyncParams;
using Velk::VkExtractParams;

TEST(ExtractParams, DefaultsAreTunedTo8k) {
  VkExtractParams p;
  EXPECT_EQ(p.freqRange, 62);
  EXPECT_EQ(p.timeRange, 126);
  EXPECT_EQ(p.initialThresholdFrames, 10u);
  EXPECT_EQ(p.maxPeaksPerFrame, 5u);
  EXPECT_FLOAT_EQ(p.peakDynRange, 40.0f);
  EXPECT_FLOAT_EQ(p.dbThreshold, -60.0f);
  EXPECT_FLOAT_EQ(p.decayPerFrame, 0.2f);
  EXPECT_FLOAT_EQ(p.peakWidth, 25.0f);
  EXPECT_EQ(p.getFftSize(), 512u);
  EXPECT_EQ(p.getHopSize(), 256u);
  EXPECT_EQ(p.getSampleRate(), 8000u);
  EXPECT_EQ(p.getMaxPairsPerPeak(), 10u);
}

TEST(ExtractParams, FftSizeMustBeAPowerOfTwoAbove4) {
  VkExtractParams p;
  for (unsigned int n : {8u, 16u, 512u, 1024u, 1u << 31}) {
    EXPECT_TRUE(p.setFftSize(n)) << n;
    EXPECT_EQ(p.getFftSize(), n);
  }
  p.setFftSize(512);
  for (unsigned int n : {0u, 1u, 2u, 4u, 6u, 12u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(p.setFftSize(n)) << n;
    EXPECT_EQ(p.getFftSize(), 512u) << "a refused size must leave the field alone";
  }
  EXPECT_TRUE(VkExtractParams::isPowerOfTwo(0));
  EXPECT_TRUE(VkExtractParams::isPowerOfTwo(4));
  EXPECT_FALSE(VkExtractParams::isPowerOfTwo(6));
}

TEST(ExtractParams, OtherSettersAndTheirBounds) {
  VkExtractParams p;
  EXPECT_FALSE(p.setSampleRate(3999));
  EXPECT_EQ(p.getSampleRate(), 8000u);
  EXPECT_TRUE(p.setSampleRate(4000));
  EXPECT_EQ(p.getSampleRate(), 4000u);

  EXPECT_FALSE(p.setHopSize(0));
  EXPECT_EQ(p.getHopSize(), 256u);
  EXPECT_TRUE(p.setHopSize(1));
  EXPECT_EQ(p.getHopSize(), 1u);
  EXPECT_TRUE(p.setHopSize(4096)) << "the hop is not compared with the FFT size here";

  VkExtractParams untouched;
  EXPECT_FALSE(untouched.setMaxPairsPerPeak(0));
  EXPECT_EQ(untouched.getMaxPairsPerPeak(), 10u);
  EXPECT_TRUE(untouched.setMaxPairsPerPeak(1));
  EXPECT_EQ(untouched.getMaxPairsPerPeak(), 1u);
}

TEST(ClusterSyncParams, DerivedFromExtraction) {
  VkExtractParams e;
  VkClusterSyncParams c(e);
  EXPECT_FLOAT_EQ(c.getMinPercentMatch(), 0.0025f);
  EXPECT_FLOAT_EQ(c.getMinOverlapLength(), 3.0f);
  EXPECT_FLOAT_EQ(c.getMinTemplateLength(), 3.0f);
  EXPECT_EQ(c.getMaxLandmarks(), 250u);
  EXPECT_EQ(c.getAcceptThreshold(), 5u);
  EXPECT_EQ(c.getFramesPerSecond(), 31.25f);
  EXPECT_EQ(c.getHopSize(), 256u);

  // The quotient is taken in single precision, not rounded from double.
  e.setSampleRate(44100);
  e.setHopSize(441 * 7);
  VkClusterSyncParams d(e);
  EXPECT_EQ(d.getFramesPerSecond(), 44100.0f / 3087.0f);
  EXPECT_EQ(d.getHopSize(), 3087u);
}

TEST(ClusterSyncParams, SetterBounds) {
  VkClusterSyncParams c{VkExtractParams()};
  EXPECT_TRUE(c.setMinPercentMatch(0.0f));
  EXPECT_TRUE(c.setMinPercentMatch(1.0f));
  EXPECT_FALSE(c.setMinPercentMatch(-0.001f));
  EXPECT_FALSE(c.setMinPercentMatch(1.001f));
  EXPECT_FALSE(c.setMinPercentMatch(std::nanf("")));
  EXPECT_EQ(c.getMinPercentMatch(), 1.0f);

  EXPECT_TRUE(c.setMinOverlapLength(0.0f));
  EXPECT_EQ(c.getMinOverlapLength(), 0.0f);
  EXPECT_FALSE(c.setMinOverlapLength(-1.0f));
  EXPECT_FALSE(c.setMinOverlapLength(std::nanf("")));
  EXPECT_EQ(c.getMinOverlapLength(), 0.0f);

  EXPECT_TRUE(c.setMinTemplateLength(0.0f));
  EXPECT_FALSE(c.setMinTemplateLength(-0.5f));
  EXPECT_EQ(c.getMinTemplateLength(), 0.0f);

  EXPECT_FALSE(c.setMaxLandmarks(0));
  EXPECT_EQ(c.getMaxLandmarks(), 250u);
  EXPECT_TRUE(c.setMaxLandmarks(1));
  EXPECT_EQ(c.getMaxLandmarks(), 1u);

  EXPECT_TRUE(c.setAcceptThreshold(0));
  EXPECT_EQ(c.getAcceptThreshold(), 0u);
}

TEST(ClusterSyncParams, PopularHashLimitFollowsTheArchive) {
  const struct {
    double hours;
    uint32_t limit;
  } cases[] = {{0.0, 250},           {-3.0, 250},         {std::nan(""), 250}, {10.0, 250},
               {10.0001, 251},       {15.01, 376},        {40.0, 1000},        {1000.0, 25000},
               {1.8e8, 4294967295u}, {1e300, 4294967295u}};
  for (const auto& c : cases)
    EXPECT_EQ(Velk::maxLandmarksForCorpus(c.hours), c.limit) << c.hours << " h";
}
