#include "velk/params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

using Velk::VkClusterSyncParams;
using Velk::VkExtractParams;

// Each setter at both sides of its bound; a refused value leaves the field alone.
TEST(Params, SetterBounds) {
  struct Case {
    const char* what;
    std::function<bool(VkExtractParams&, VkClusterSyncParams&)> set;
    bool accepted;
  };
  const float nan = std::nanf("");
  const Case cases[] = {
      {"FFT size 8", [](auto& e, auto&) { return e.setFftSize(8); }, true},
      {"FFT size 2^31", [](auto& e, auto&) { return e.setFftSize(1u << 31); }, true},
      {"FFT size 4", [](auto& e, auto&) { return e.setFftSize(4); }, false},
      {"sample rate 3999", [](auto& e, auto&) { return e.setSampleRate(3999); }, false},
      {"sample rate 4000", [](auto& e, auto&) { return e.setSampleRate(4000); }, true},
      {"hop 0", [](auto& e, auto&) { return e.setHopSize(0); }, false},
      {"hop above the FFT size", [](auto& e, auto&) { return e.setHopSize(4096); }, true},
      {"pairs 0", [](auto& e, auto&) { return e.setMaxPairsPerPeak(0); }, false},
      {"pairs 1", [](auto& e, auto&) { return e.setMaxPairsPerPeak(1); }, true},
      {"percent 1", [](auto&, auto& c) { return c.setMinPercentMatch(1.0f); }, true},
      {"percent above 1", [](auto&, auto& c) { return c.setMinPercentMatch(1.001f); }, false},
      {"percent below 0", [](auto&, auto& c) { return c.setMinPercentMatch(-0.001f); }, false},
      {"percent NaN", [nan](auto&, auto& c) { return c.setMinPercentMatch(nan); }, false},
      {"overlap 0", [](auto&, auto& c) { return c.setMinOverlapLength(0.0f); }, true},
      {"overlap NaN", [nan](auto&, auto& c) { return c.setMinOverlapLength(nan); }, false},
      {"template below 0", [](auto&, auto& c) { return c.setMinTemplateLength(-0.5f); }, false},
      {"template 0", [](auto&, auto& c) { return c.setMinTemplateLength(0.0f); }, true},
      {"landmarks 0", [](auto&, auto& c) { return c.setMaxLandmarks(0); }, false},
      {"accept threshold 0", [](auto&, auto& c) { return c.setAcceptThreshold(0); }, true},
  };
  for (const Case& c : cases) {
    VkExtractParams e;
    VkClusterSyncParams s(e);
    VkExtractParams e0 = e;  // getMaxPairsPerPeak() is not const
    const VkClusterSyncParams s0 = s;
    EXPECT_EQ(c.set(e, s), c.accepted) << c.what;
    if (!c.accepted) {
      EXPECT_EQ(std::make_tuple(e.getFftSize(), e.getSampleRate(), e.getHopSize(),
                                e.getMaxPairsPerPeak()),
                std::make_tuple(e0.getFftSize(), e0.getSampleRate(), e0.getHopSize(),
                                e0.getMaxPairsPerPeak()))
          << c.what;
      EXPECT_EQ(std::make_tuple(s.getMinPercentMatch(), s.getMinOverlapLength(),
                                s.getMinTemplateLength(), s.getMaxLandmarks()),
                std::make_tuple(s0.getMinPercentMatch(), s0.getMinOverlapLength(),
                                s0.getMinTemplateLength(), s0.getMaxLandmarks()))
          << c.what;
    }
  }
}

TEST(ClusterSyncParams, FramesPerSecondInSinglePrecision) {
  VkExtractParams e;
  e.setSampleRate(44100);
  e.setHopSize(441 * 7);
  VkClusterSyncParams d(e);
  EXPECT_EQ(d.getFramesPerSecond(), 44100.0f / 3087.0f);
  EXPECT_EQ(d.getHopSize(), 3087u);
}
TEST(ClusterSyncParams, PopularHashLimitFollowsTheArchive) {
  const struct {
    double hours;
    uint32_t limit;
  } cases[] = {{0.0, 250},     {-3.0, 250},         {std::nan(""), 250}, {10.0, 250},
               {10.0001, 312}, {15.57, 312},        {15.58, 390},        {40.0, 608},
               {1000.0, 2895}, {1e16, 4294967295u}, {1e300, 4294967295u}};
  for (const auto& c : cases)
    EXPECT_EQ(Velk::maxLandmarksForCorpus(c.hours), c.limit) << c.hours << " h";
}
