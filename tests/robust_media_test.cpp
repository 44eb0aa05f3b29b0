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
const char kHugeNativeRate[] =
    "52494646340e000057415645666d74201000000003000100401f007d00000000040020006461"
    "74610500000000000000de1e503e10d1c33ec130043f1be1163f7cb5a4bef70606be6d029a3d"
    "44778b3e6df0df3e95f70c3f024c193f4980133faf87f83e09acac3e89cb183ed54767bda5ff"
    "ffffffffbea7fe93be073ac0bd1141e63da5609c3ea1b3ec3ef0bf9a9919bff0843e10bfa1";

std::vector<uint8_t> fromHex(const char* hex) {
  std::vector<uint8_t> out;
  for (; hex[0] != 0 && hex[1] != 0; hex += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex, 2), nullptr, 16)));
  return out;
}

TEST(RobustMedia, AHeaderRateDoesNotSizeTheSampleBuffer) {
  velktest::TempDir dir("velk-robust-media");
  const std::string path = dir.file("rate.wav");
  velktest::writeBytes(path, fromHex(kHugeNativeRate));

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
