#include "velk/input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "test_support.h"
#include "velk/wav_writer.h"

using Velk::array;
using Velk::wavfile_t;
using Velk::WavInput;

namespace {

std::vector<float> values(const array<float>& a) {
  return std::vector<float>(a.data, a.data + a.count());
}

}  // namespace

TEST(WavInput, ReadsRewindsAndRereads) {
  velktest::TempDir dir("velk-input");
  std::vector<float> samples;
  for (int i = 0; i < 10; ++i) samples.push_back(static_cast<float>(i - 5) / 8.0f);
  const std::string path = dir.file("mono.wav");
  velktest::writeWav16(path, samples, 8000);

  WavInput in(new wavfile_t(path, 1, 1, 16000));
  EXPECT_EQ(in.getNumSamples(), 10u);
  array<float> a(4), b(4), both(8);
  EXPECT_TRUE(in.read(a));
  EXPECT_TRUE(in.read(b));
  EXPECT_TRUE(in.rewind());
  EXPECT_TRUE(in.read(both));
  std::vector<float> joined = values(a);
  const std::vector<float> second = values(b);
  joined.insert(joined.end(), second.begin(), second.end());
  EXPECT_EQ(values(both), joined);
  EXPECT_EQ(both[7], Velk::pcm16(samples[7]) / 32768.0f);

  // Past the end: stops there, the rest keeps its old values, still true.
  array<float> tail(6);
  tail = 5.0f;
  EXPECT_TRUE(in.read(tail));
  EXPECT_EQ(tail[1], Velk::pcm16(samples[9]) / 32768.0f);
  EXPECT_EQ(tail[5], 5.0f);

  // Rewinding after the end was reached must still work.
  EXPECT_TRUE(in.rewind());
  array<float> again(8);
  in.read(again);
  EXPECT_EQ(values(again), values(both));
}

TEST(WavInput, StereoCountsFramesAndReadsTheFirstChannel) {
  velktest::TempDir dir("velk-input");
  const std::string path = dir.file("stereo.wav");
  velktest::writeWav16(path, {0.25f, -0.5f, 0.5f, -0.25f, 0.75f, 0.0f}, 8000, 2);
  WavInput in(new wavfile_t(path, 1, 1, 16000));
  EXPECT_EQ(in.getNumSamples(), 3u);
  array<float> out(3);
  in.read(out);
  EXPECT_NEAR(out[0], 0.25f, 1e-4);
  EXPECT_NEAR(out[1], 0.5f, 1e-4);
  EXPECT_NEAR(out[2], 0.75f, 1e-4);
}

TEST(WavInput, NullFileIsHarmless) {
  WavInput in(nullptr);
  EXPECT_EQ(in.getNumSamples(), 0u);
  array<float> out(2);
  out = 1.0f;
  EXPECT_FALSE(in.read(out));
  EXPECT_FALSE(in.rewind());
  EXPECT_EQ(out[0], 1.0f);
}
