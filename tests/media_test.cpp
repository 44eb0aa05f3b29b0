// The media layer against real encodes made by the ffmpeg program: every format must
// decode to the right length and sit at the right time against its WAV source.
// The same file also runs against the WAV-only build (media_wavonly_test), where the
// expectations follow haveFFmpeg().
#include "velk/media.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "test_support.h"

namespace {

using Velk::DecodeOptions;
using Velk::MediaInfo;
using Velk::MediaInput;

constexpr uint32_t kSrcRate = 44100;
constexpr double kSeconds = 6.0;
constexpr uint32_t kRate = 8000;  // the extraction rate the tool uses

bool haveCli() {
  static const bool ok = std::system("ffmpeg -version >/dev/null 2>&1") == 0;
  return ok;
}

bool ffmpegCli(const std::string& args) {
  return std::system(("ffmpeg -nostdin -v error -y " + args + " >/dev/null 2>&1").c_str()) == 0;
}

// One set of encodes of a 6 s event-rich recording, shared by the tests.
class MediaFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!haveCli()) return;
    dir_ = new velktest::TempDir("velk-media");
    left_ = velktest::eventSignal(7, kSeconds, kSrcRate);
    const std::vector<float> right = velktest::eventSignal(99, kSeconds, kSrcRate);
    velktest::writeWav16(path("src.wav"), left_, kSrcRate);
    velktest::writeWav16(path("other.wav"), right, kSrcRate);
    const std::string src = " -i " + path("src.wav") + " ";
    // Few ffmpeg runs, each writing several files: starting the program is the slow part.
    ok_ =
        ffmpegCli(src + path("src.flac") + " -c:a libmp3lame -b:a 128k " + path("src.mp3") +
                  " -c:a aac -b:a 128k " + path("src.m4a") + " -c:a libopus -b:a 96k " +
                  path("src.ogg") + " -c:a pcm_s24le " + path("s24.wav") + " -c:a pcm_s32le " +
                  path("s32.wav") + " -c:a pcm_f32le " + path("f32.wav") + " -c:a pcm_u8 " +
                  path("u8.wav")) &&
        ffmpegCli("-f lavfi -i color=c=blue:s=64x64:r=10 " + src +
                  "-c:v mpeg4 -c:a aac -shortest " + path("src.mp4")) &&
        // Stereo: the recording on the left, something else on the right; at 44.1 kHz
        // and resampled to 48 kHz.
        ffmpegCli(src + "-i " + path("other.wav") +
                  " -filter_complex '[0:a][1:a]amerge=inputs=2,asplit[a][b];[b]aresample=48000[c]'"
                  " -map '[a]' " +
                  path("st44.wav") + " -map '[c]' " + path("st48.wav"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!haveCli()) GTEST_SKIP() << "the ffmpeg program is not installed; no encodes to test";
    ASSERT_TRUE(ok_) << "ffmpeg could not make the test encodes";
  }

  static std::string path(const std::string& name) { return dir_->file(name); }

  static std::vector<float> mono(const std::string& name, uint32_t rate) {
    std::vector<float> out;
    std::string error;
    EXPECT_TRUE(Velk::decodeMono(path(name), rate, out, error)) << name << ": " << error;
    EXPECT_EQ(error, "");
    return out;
  }

  static velktest::TempDir* dir_;
  static std::vector<float> left_;
  static bool ok_;
};

velktest::TempDir* MediaFiles::dir_ = nullptr;
std::vector<float> MediaFiles::left_;
bool MediaFiles::ok_ = false;

TEST_F(MediaFiles, EveryFormatDecodesToTheRightLengthAndTime) {
  if (!Velk::haveFFmpeg()) GTEST_SKIP() << "WAV-only build";
  const std::vector<float> ref = mono("src.wav", kRate);
  ASSERT_EQ(ref.size(), static_cast<size_t>(kSeconds * kRate));
  struct Case {
    const char* file;
    const char* codec;
    uint32_t rate;
    int channels;
    double lengthSlack;  // seconds the codec may add or lose at the ends
    double minSimilarity;
  };
  const Case cases[] = {
      {"src.flac", "flac", 44100, 1, 0, 0.999},     {"s24.wav", "pcm_s24le", 44100, 1, 0, 0.999},
      {"st48.wav", "pcm_s16le", 48000, 2, 0, 0.99}, {"src.mp3", "mp3", 44100, 1, 0.05, 0.9},
      {"src.m4a", "aac", 44100, 1, 0.05, 0.9},      {"src.ogg", "opus", 48000, 1, 0.05, 0.9},
      {"src.mp4", "aac", 44100, 1, 0.1, 0.9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    MediaInfo info;
    std::string error;
    ASSERT_TRUE(Velk::probeMedia(path(c.file), info, error)) << error;
    EXPECT_TRUE(info.hasAudio);
    EXPECT_EQ(info.codec, c.codec);
    EXPECT_EQ(info.sampleRate, c.rate);
    EXPECT_EQ(info.channels, c.channels);
    EXPECT_NEAR(info.durationSeconds, kSeconds, 0.1);

    const std::vector<float> got = mono(c.file, kRate);
    EXPECT_NEAR(static_cast<double>(got.size()), kSeconds * kRate, c.lengthSlack * kRate + 0.5);
    // Two stretches: a constant shift and a drift both show.
    for (size_t from : {size_t(kRate), size_t(4 * kRate)}) {
      const velktest::Lag lag = velktest::bestLag(ref, got, from, kRate, -400, 400);
      EXPECT_GT(lag.similarity, c.minSimilarity) << "at " << from;
      EXPECT_LT(std::labs(lag.samples), 0.5e-3 * kRate) << "at " << from << ": " << lag.samples;
    }
  }
}

// Integer and float WAVs of every depth, at their own rate, in both builds.
TEST_F(MediaFiles, WavDepthsAndChannelsAtTheirOwnRate) {
  const std::vector<float> ref = mono("src.wav", 0);
  ASSERT_EQ(ref.size(), left_.size());
  // Within a step of the 16-bit file either way.
  for (size_t i = 0; i < ref.size(); i += 97) ASSERT_NEAR(ref[i], left_[i], 2.0 / 32767);
  const struct {
    const char* file;
    const char* codec;
    double tolerance;
  } depths[] = {{"s24.wav", "pcm_s24le", 1e-6},
                {"s32.wav", "pcm_s32le", 1e-6},
                {"f32.wav", "pcm_f32le", 1e-6},
                {"u8.wav", "pcm_u8", 1.0 / 128}};
  for (const auto& d : depths) {
    SCOPED_TRACE(d.file);
    MediaInfo info;
    std::string error;
    ASSERT_TRUE(Velk::probeMedia(path(d.file), info, error)) << error;
    EXPECT_EQ(info.codec, d.codec);
    EXPECT_EQ(info.container, "wav");
    const std::vector<float> got = mono(d.file, 0);
    ASSERT_EQ(got.size(), ref.size());
    double worst = 0;
    for (size_t i = 0; i < got.size(); ++i)
      worst = std::max(worst, double(std::fabs(got[i] - ref[i])));
    EXPECT_LE(worst, d.tolerance);
  }

  // All channels, interleaved; the first n on request; more than the file has is refused.
  const std::vector<float> right = velktest::eventSignal(99, kSeconds, kSrcRate);
  for (int channels : {0, 1, 2}) {
    SCOPED_TRACE(channels);
    DecodeOptions opt;
    opt.channels = channels;
    std::vector<float> frames;
    int seen = -1;
    std::string error;
    ASSERT_TRUE(Velk::decodeAudio(
        path("st44.wav"), opt,
        [&](const float* f, size_t n, int ch) {
          seen = ch;
          frames.insert(frames.end(), f, f + n * static_cast<size_t>(ch));
          return true;
        },
        error))
        << error;
    const int want = channels == 0 ? 2 : channels;
    ASSERT_EQ(seen, want);
    ASSERT_EQ(frames.size(), left_.size() * static_cast<size_t>(want));
    for (size_t i = 0; i < left_.size(); i += 101) {
      ASSERT_NEAR(frames[i * want], left_[i], 2.0 / 32767) << i;
      if (want == 2) {
        ASSERT_NEAR(frames[i * want + 1], right[i], 2.0 / 32767) << i;
      }
    }
  }
  DecodeOptions three;
  three.channels = 3;
  std::string error;
  EXPECT_FALSE(Velk::decodeAudio(
      path("st44.wav"), three, [](const float*, size_t, int) { return true; }, error));
  EXPECT_EQ(error, "cannot decode " + path("st44.wav") + ": it has 2 channels, 3 were asked for");
}

TEST_F(MediaFiles, WindowsAreExactSlicesAndTheSinkCanStop) {
  const uint32_t rate = Velk::haveFFmpeg() ? kRate : kSrcRate;
  // A 12 s file too, so that a late start takes the seeking path.
  std::vector<float> longer = left_;
  const std::vector<float> more = velktest::eventSignal(5, kSeconds, kSrcRate);
  longer.insert(longer.end(), more.begin(), more.end());
  velktest::writeWav16(path("long.wav"), longer, kSrcRate);
  std::vector<std::string> files = {"long.wav"};
  if (Velk::haveFFmpeg()) {
    ASSERT_TRUE(ffmpegCli("-i " + path("long.wav") + " -c:a aac " + path("long.m4a") + " " +
                          path("long.flac")));
    files.insert(files.end(), {"long.m4a", "long.flac", "src.mp3"});
  }
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    const std::vector<float> whole = mono(f, rate);
    // 1.25007 s is 10000.56 samples at 8 kHz: the window starts at the nearer one.
    for (double start : {0.0, 1.25007, 7.5}) {
      if (start + 1 > whole.size() / double(rate)) continue;
      std::vector<float> part;
      std::string error;
      ASSERT_TRUE(Velk::decodeMono(path(f), rate, part, error, start, 0.75)) << error;
      const size_t at = static_cast<size_t>(std::lround(start * rate));
      ASSERT_EQ(part.size(), static_cast<size_t>(0.75 * rate)) << "start " << start;
      // After a seek, AAC's noise substitution restarts its generator: tiny differences.
      const double tolerance = f == "long.m4a" ? 1e-3 : 1e-6;
      for (size_t i = 0; i < part.size(); ++i)
        ASSERT_NEAR(part[i], whole[at + i], tolerance) << "start " << start << " sample " << i;
    }
    // Stopping early is not an error, and nothing comes after the stop.
    int calls = 0;
    std::string error;
    DecodeOptions opt;
    opt.sampleRate = Velk::haveFFmpeg() ? kRate : 0;
    EXPECT_TRUE(Velk::decodeAudio(
        path(f), opt, [&](const float*, size_t, int) { return ++calls < 2; }, error));
    EXPECT_EQ(calls, 2);
  }
}

TEST_F(MediaFiles, FilesWithoutAudioAreRefusedWithOneLine) {
  std::ofstream(path("notes.txt")) << "set list: 1. intro 2. encore\n";
  ASSERT_TRUE(
      ffmpegCli("-f lavfi -i color=c=black:s=64x64:r=10:d=2 -c:v mpeg4 " + path("silent.mp4")));
  const bool ff = Velk::haveFFmpeg();
  auto wavOnly = [](const char* name) {
    return "this build reads only WAV files; decoding " + path(name) + " needs FFmpeg's libraries";
  };
  const struct {
    const char* name;
    std::string error;  // the whole line, or how it starts
  } rows[] = {
      {"missing.wav", "cannot open " + path("missing.wav") + ": "},
      {"notes.txt", ff ? "cannot open " + path("notes.txt") + ": " : wavOnly("notes.txt")},
      {"silent.mp4", ff ? path("silent.mp4") + " holds no audio stream" : wavOnly("silent.mp4")},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    MediaInfo info;
    std::string error, openError;
    EXPECT_FALSE(Velk::probeMedia(path(r.name), info, error));
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(error.rfind(r.error, 0), 0u) << error;
    EXPECT_EQ(MediaInput::open(path(r.name), kRate, openError), nullptr);
    EXPECT_EQ(openError, error);
  }
  if (!ff) {
    std::vector<float> out;
    std::string error;
    EXPECT_FALSE(Velk::decodeMono(path("src.wav"), kRate, out, error));
    EXPECT_EQ(error, "this build reads WAV files only at their own sample rate; resampling " +
                         path("src.wav") + " from 44100 Hz to 8000 Hz needs FFmpeg's libraries");
  }
}

TEST_F(MediaFiles, MediaInputServesTheFirstChannelAndRewinds) {
  const uint32_t rate = Velk::haveFFmpeg() ? kRate : kSrcRate;
  const std::string file = Velk::haveFFmpeg() ? "st48.wav" : "st44.wav";
  std::string error;
  std::unique_ptr<MediaInput> in = MediaInput::open(path(file), rate, error);
  ASSERT_NE(in, nullptr) << error;
  EXPECT_EQ(in->sampleRate(), rate);
  EXPECT_EQ(in->warnings(), "");
  const std::vector<float> expect = mono(file, rate);
  ASSERT_EQ(in->getNumSamples(), expect.size());
  const size_t n = expect.size();

  Velk::array<float> small(1000);
  Velk::array<float> first(3000);
  std::vector<float> seen;
  for (int k = 0; k < 3; ++k) {
    in->read(small);
    seen.insert(seen.end(), small.data, small.data + 1000);
  }
  ASSERT_TRUE(in->rewind());
  in->read(first);
  for (size_t i = 0; i < 3000; ++i) {
    ASSERT_EQ(first[static_cast<int32_t>(i)], seen[i]) << i;
    ASSERT_EQ(seen[i], expect[i]) << i;
  }
  // The last partial read is padded with silence, not stale values.
  Velk::array<float> rest(static_cast<int32_t>(n - 3000 + 10));
  rest = 0.5f;
  in->read(rest);
  EXPECT_EQ(rest[static_cast<int32_t>(n - 3000 - 1)], expect[n - 1]);
  for (int32_t i = static_cast<int32_t>(n - 3000); i < rest.count(); ++i) ASSERT_EQ(rest[i], 0.0f);
}

TEST_F(MediaFiles, LateTracksAndDamagedDataKeepTheirPlace) {
  if (!Velk::haveFFmpeg()) GTEST_SKIP() << "WAV-only build";
  const std::vector<float> ref = mono("src.wav", kRate);
  // Sound that starts half a second into a video (less the encoder's priming, which
  // the edit list accounts for) is preceded by silence.
  ASSERT_TRUE(ffmpegCli("-f lavfi -i color=c=black:s=64x64:r=10:d=7 -itsoffset 0.5 -i " +
                        path("src.wav") + " -c:v mpeg4 -c:a aac " + path("late.mp4")));
  const std::vector<float> late = mono("late.mp4", kRate);
  const velktest::Lag lag = velktest::bestLag(ref, late, kRate, kRate, -4400, 4400);
  EXPECT_GT(lag.similarity, 0.9);
  EXPECT_GT(lag.samples, 0.47 * kRate);
  EXPECT_LT(lag.samples, 0.501 * kRate);

  // Scribbled packets in the middle of an AAC and an Opus file: decoding goes on, a
  // warning says so, and the audio after the damage stays at its time.
  for (const char* name : {"src.m4a", "src.ogg"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> bytes = velktest::readBytes(path(name));
    uint32_t seed = 12345;
    for (int k = 0; k < 30; ++k) {
      seed = seed * 1103515245u + 12345u;
      const size_t at = bytes.size() * 2 / 5 + (seed >> 8) % (bytes.size() / 5);
      for (size_t j = at; j < at + 48 && j < bytes.size(); ++j)
        bytes[j] = static_cast<uint8_t>(j * 31 + k);
    }
    const std::string bad = path(std::string("bad-") + name);
    velktest::writeBytes(bad, bytes);
    std::string error;
    std::unique_ptr<MediaInput> in = MediaInput::open(bad, kRate, error);
    ASSERT_NE(in, nullptr) << error;
    EXPECT_NE(in->warnings(), "");
    EXPECT_NE(in->warnings().find(bad + ": "), std::string::npos) << in->warnings();
    EXPECT_NEAR(static_cast<double>(in->getNumSamples()), kSeconds * kRate, 0.05 * kRate);
    const velktest::Lag tail =
        velktest::bestLag(ref, in->samples(), static_cast<size_t>(4.8 * kRate), kRate, -400, 400);
    EXPECT_GT(tail.similarity, 0.9);
    EXPECT_LT(std::labs(tail.samples), 0.5e-3 * kRate) << tail.samples;
  }
}

}  // namespace
