// Regressions from fuzzing the tool's media input (Velk::MediaInput and
// decodeAudio): the input the fuzzer found, embedded as bytes, or a written file
// with the header field it had damaged.

#include <cstddef>

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

// The largest block MediaInput::open asks for at once, and what it opened.
std::size_t largestOpening(const std::string& path, uint32_t rate,
                           std::unique_ptr<Velk::MediaInput>& in, std::string& error) {
  velkrobust::startCounting();
  in = Velk::MediaInput::open(path, rate, error);
  return velkrobust::stopCounting().largest;
}

TEST(RobustMedia, HeaderRatesAndLengthsDoNotSizeTheWork) {
  velktest::TempDir dir("velk-robust-media");
  std::unique_ptr<Velk::MediaInput> in;
  std::string error;
  // The fuzzer's file: reading it or refusing it are both fine; what it holds is
  // at most its one sample. At the extraction rate the announced length is tiny.
  const std::string rate = dir.file("rate.wav");
  velktest::writeBytes(rate, fromHex(kHugeNativeRate));
  EXPECT_LT(largestOpening(rate, 0, in, error), std::size_t{64} << 20);
  EXPECT_TRUE(in ? in->getNumSamples() <= 1 : !error.empty()) << error;
  EXPECT_LT(largestOpening(rate, 8000, in, error), std::size_t{64} << 20);

  // 1000 frames of 16 bits at 8 kHz, then one header field set (bytes `at` on).
  auto patched = [&dir](const char* name, std::size_t at, uint32_t value) {
    std::vector<float> samples(1000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i % 50) / 100.0f;
    velktest::writeWav16(dir.file(name), samples, 8000);
    std::vector<uint8_t> bytes = velktest::readBytes(dir.file(name));
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    velktest::writeBytes(dir.file(name), bytes);
    return dir.file(name);
  };
  // A data chunk that declares 1 GiB: the reader without FFmpeg announced it, and
  // MediaInput::open reserved 2.2 GB for it (found in the WAV-only build).
  const std::string longer = patched("long.wav", 40, 0x40000000);
  Velk::MediaInfo info;
  ASSERT_TRUE(Velk::probeMedia(longer, info, error)) << error;
  EXPECT_NEAR(info.durationSeconds, 1000 / 8000.0, 1e-3) << "the length the file really has";
  for (uint32_t r : {0u, 8000u}) {
    EXPECT_LT(largestOpening(longer, r, in, error), std::size_t{1} << 20) << r;
    ASSERT_TRUE(in) << error;
    EXPECT_EQ(in->getNumSamples(), 1000u) << r;
  }

  // 536,740,416 Hz: setting up a resampler from that rate to 8 kHz took longer
  // than the fuzzer's 10 s limit. Such rates are refused at once.
  const std::string fast = patched("fast.wav", 24, 536740416);
  EXPECT_FALSE(Velk::probeMedia(fast, info, error));
  EXPECT_EQ(error, fast + ": unsupported sample rate 536740416 Hz (a damaged header?)");
  std::vector<float> samples;
  EXPECT_FALSE(Velk::decodeMono(fast, 8000, samples, error));
  EXPECT_NE(error.find("536740416"), std::string::npos) << error;
  EXPECT_FALSE(Velk::MediaInput::open(fast, 8000, error));
}

}  // namespace
