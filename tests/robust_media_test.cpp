// Regressions from fuzzing the tool's media input (Velk::MediaInput and
// decodeAudio): each input is the one the fuzzer found, embedded as bytes.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "robust_alloc.h"
#include "test_support.h"
#include "velk/media.h"

namespace {

// A float WAV of one sample whose header declares 2,097,160,000 Hz (bytes 24-27).
// MediaInput::open at the file's own rate reserved one second of that rate on top
// of the announced length: 8.4 GB for a 151-byte file.
const std::vector<uint8_t> kHugeNativeRate = {
    0x52, 0x49, 0x46, 0x46, 0x34, 0x0e, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45, 0x66, 0x6d, 0x74, 0x20,
    0x10, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x40, 0x1f, 0x00, 0x7d, 0x00, 0x00, 0x00, 0x00,
    0x04, 0x00, 0x20, 0x00, 0x64, 0x61, 0x74, 0x61, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xde, 0x1e, 0x50, 0x3e, 0x10, 0xd1, 0xc3, 0x3e, 0xc1, 0x30, 0x04, 0x3f, 0x1b, 0xe1, 0x16, 0x3f,
    0x7c, 0xb5, 0xa4, 0xbe, 0xf7, 0x06, 0x06, 0xbe, 0x6d, 0x02, 0x9a, 0x3d, 0x44, 0x77, 0x8b, 0x3e,
    0x6d, 0xf0, 0xdf, 0x3e, 0x95, 0xf7, 0x0c, 0x3f, 0x02, 0x4c, 0x19, 0x3f, 0x49, 0x80, 0x13, 0x3f,
    0xaf, 0x87, 0xf8, 0x3e, 0x09, 0xac, 0xac, 0x3e, 0x89, 0xcb, 0x18, 0x3e, 0xd5, 0x47, 0x67, 0xbd,
    0xa5, 0xff, 0xff, 0xff, 0xff, 0xff, 0xbe, 0xa7, 0xfe, 0x93, 0xbe, 0x07, 0x3a, 0xc0, 0xbd, 0x11,
    0x41, 0xe6, 0x3d, 0xa5, 0x60, 0x9c, 0x3e, 0xa1, 0xb3, 0xec, 0x3e, 0xf0, 0xbf, 0x9a, 0x99, 0x19,
    0xbf, 0xf0, 0x84, 0x3e, 0x10, 0xbf, 0xa1,
};

TEST(RobustMedia, AHeaderRateDoesNotSizeTheSampleBuffer) {
  velktest::TempDir dir("velk-robust-media");
  const std::string path = dir.file("rate.wav");
  velktest::writeBytes(path, kHugeNativeRate);

  std::string error;
  velkrobust::startCounting();
  std::unique_ptr<Velk::MediaInput> in = Velk::MediaInput::open(path, 0, error);
  const velkrobust::AllocStats used = velkrobust::stopCounting();
  EXPECT_LT(used.largest, std::size_t{64} << 20) << "bytes asked for at once";
  // Reading it or refusing it are both fine; what it holds is at most its one sample.
  if (in) {
    EXPECT_LE(in->getNumSamples(), 1u);
  } else {
    EXPECT_FALSE(error.empty());
  }

  // At the extraction rate the same file is harmless: the announced length is tiny.
  velkrobust::startCounting();
  in = Velk::MediaInput::open(path, 8000, error);
  EXPECT_LT(velkrobust::stopCounting().largest, std::size_t{64} << 20);
}

// A WAV whose data chunk declares about 1 GiB while the file holds 1000 frames: the
// reader without FFmpeg announced the declared length, and MediaInput::open
// reserved 2.2 GB for it (found by fuzzing the WAV-only build).
TEST(RobustMedia, AHeaderLengthDoesNotSizeTheSampleBuffer) {
  velktest::TempDir dir("velk-robust-media");
  const std::string path = dir.file("long.wav");
  std::vector<float> samples(1000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i % 50) / 100.0f;
  velktest::writeWav16(path, samples, 8000);
  std::vector<uint8_t> bytes = velktest::readBytes(path);
  for (int i = 0; i < 4; ++i) bytes[40 + i] = i == 3 ? 0x40 : 0x00;  // 0x40000000 bytes
  velktest::writeBytes(path, bytes);

  Velk::MediaInfo info;
  std::string error;
  ASSERT_TRUE(Velk::probeMedia(path, info, error)) << error;
  EXPECT_NEAR(info.durationSeconds, 1000 / 8000.0, 1e-3) << "the length the file really has";
  for (uint32_t rate : {0u, 8000u}) {
    velkrobust::startCounting();
    std::unique_ptr<Velk::MediaInput> in = Velk::MediaInput::open(path, rate, error);
    const velkrobust::AllocStats used = velkrobust::stopCounting();
    ASSERT_TRUE(in) << error;
    EXPECT_EQ(in->getNumSamples(), 1000u) << rate;
    EXPECT_LT(used.largest, std::size_t{1} << 20) << rate;
  }
}

// A header that claims 536,740,416 Hz: setting up a resampler from that rate to
// 8 kHz took longer than the fuzzer's 10 s limit. Such rates are refused.
TEST(RobustMedia, AnAbsurdHeaderRateIsRefusedAtOnce) {
  velktest::TempDir dir("velk-robust-media");
  const std::string path = dir.file("fast.wav");
  velktest::writeWav16(path, std::vector<float>(800, 0.25f), 8000);
  std::vector<uint8_t> bytes = velktest::readBytes(path);
  const uint32_t rate = 536740416;
  for (int i = 0; i < 4; ++i) bytes[24 + i] = static_cast<uint8_t>(rate >> (8 * i));
  velktest::writeBytes(path, bytes);

  Velk::MediaInfo info;
  std::string error;
  EXPECT_FALSE(Velk::probeMedia(path, info, error));
  EXPECT_EQ(error, path + ": unsupported sample rate 536740416 Hz (a damaged header?)");
  std::vector<float> samples;
  EXPECT_FALSE(Velk::decodeMono(path, 8000, samples, error));
  EXPECT_NE(error.find("536740416"), std::string::npos) << error;
  EXPECT_FALSE(Velk::MediaInput::open(path, 8000, error));
}

}  // namespace
