// A whole sync by the Velk binary on a small generated set: clusters, offsets
// within a millisecond of the truth, the evaluation, sample-accurate copies,
// untouched inputs, repeatable results whatever the thread count, reruns over
// earlier output, copies that fail midway, and drift-corrected copies.

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "audio/wav_reader.h"
#include "test_support.h"
#include "velk/media.h"

namespace fs = std::filesystem;

namespace {

using velktest::contains;
using velktest::runVelk;
using velktest::slurp;
using velktest::TempDir;

// A stretch of the scene as a device hears it, at the given level and noise.
std::vector<float> device(const std::vector<float>& scene, double start, double seconds, float gain,
                          double snrDb, uint32_t seed, uint32_t outRate = 8000) {
  std::vector<float> out = velktest::deviceView(scene, start, seconds, 0.0, 8000, outRate);
  for (float& v : out) v *= gain;
  velktest::addNoise(out, snrDb, seed);
  return out;
}

struct WavData {
  uint32_t rate = 0;
  int channels = 0;
  std::string data;  // the data chunk's bytes
};

// Through the library's one WAV reader.
WavData readWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const Velk::detail::WavHeader h = Velk::detail::readWavHeader(in);
  WavData w;
  w.rate = h.rate;
  w.channels = h.channels;
  w.data.resize(h.dataBytes);
  in.read(&w.data[0], static_cast<std::streamsize>(w.data.size()));
  w.data.resize(static_cast<std::size_t>(in.gcount()));
  return w;
}

class ToolSync : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    set_ = new TempDir("velk-sync");
    const std::vector<float> scene = velktest::eventSignal(31, 40.0, 8000);
    fs::create_directory(set_->file("in"));
    // b starts half a sample off a's grid.
    velktest::writeWav16(set_->file("in/a.wav"), device(scene, 0.5, 24.0, 0.9f, 30.0, 1), 8000);
    velktest::writeWav16(set_->file("in/b.wav"), device(scene, 3.7000625, 24.0, 0.55f, 15.0, 2),
                         8000);
    // A 16 kHz stereo device: it goes through the media layer, resampled for extraction.
    const std::vector<float> left = device(scene, 9.25, 20.0, 0.8f, 60.0, 3, 16000);
    const std::vector<float> right = device(scene, 9.25, 20.0, 1.1f, 20.0, 4, 16000);
    std::vector<float> stereo;
    for (std::size_t i = 0; i < left.size(); ++i) {
      stereo.push_back(left[i]);
      stereo.push_back(0.5f * right[i]);
    }
    velktest::writeWav16(set_->file("in/c.wav"), stereo, 16000, 2);
    velktest::writeWav16(set_->file("in/u.wav"), velktest::eventSignal(77, 20.0, 8000), 8000);
    velktest::writeBytes(set_->file("in/notes.txt"), {'n', 'o', 't', 'e', '\n'});
    std::ofstream(set_->file("truth.xml"))
        << "<truth>\n  <cluster>\n    <recording name=\"a\" offset=\"0\"/>\n"
           "    <recording name=\"b\" offset=\"3.2000625\"/>\n"
           "    <recording name=\"c\" offset=\"8.75\"/>\n  </cluster>\n"
           "  <cluster><recording name=\"u\"/></cluster>\n</truth>\n";
    for (const char* name : {"a.wav", "b.wav", "c.wav", "u.wav", "notes.txt"})
      inputs_[name] = slurp(set_->file(std::string("in/") + name));
  }
  static void TearDownTestSuite() {
    delete set_;
    set_ = nullptr;
  }

  static std::string in() { return set_->file("in"); }
  static std::string file(const std::string& name) { return set_->file(name); }

  // The inputs are byte for byte what the test wrote, and nothing was added.
  static void expectInputsUntouched() {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(in())) {
      ++count;
      const std::string name = entry.path().filename().string();
      ASSERT_EQ(inputs_.count(name), 1u) << "unexpected " << name;
      EXPECT_TRUE(slurp(entry.path().string()) == inputs_[name]) << name << " changed";
    }
    EXPECT_EQ(count, inputs_.size());
  }

  static TempDir* set_;
  static std::map<std::string, std::string> inputs_;
};

TempDir* ToolSync::set_ = nullptr;
std::map<std::string, std::string> ToolSync::inputs_;

TEST_F(ToolSync, SyncEvaluatesAndWritesSampleAccurateCopies) {
  TempDir cap;
  const std::string out = cap.file("out");
  const std::string json = cap.file("result.json");
  const velktest::ToolRun r =
      runVelk({"-f", in(), "-t", file("truth.xml"), "-o", out, "--json", json, "--threads", "2"},
              cap.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "precision 1.000  recall 1.000  F1 1.000\n")) << r.out;

  const nlohmann::json doc = nlohmann::json::parse(slurp(json));
  ASSERT_EQ(doc["clusters"].size(), 2u);
  const auto& event = doc["clusters"][0]["members"];
  ASSERT_EQ(event.size(), 3u);
  const double truth[] = {0.0, 3.2000625, 8.75};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(event[i]["path"], in() + "/" + std::string(1, "abc"[i]) + ".wav");
    EXPECT_TRUE(event[i]["refined"].get<bool>());
    EXPECT_NEAR(event[i]["offset"].get<double>(), truth[i], 0.001) << i;
    EXPECT_NEAR(event[i]["coarse_offset"].get<double>(), truth[i], 0.040) << i;
  }
  const auto& single = doc["clusters"][1]["members"];
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0]["id"], 4);
  EXPECT_EQ(single[0]["offset"], 0.0);
  EXPECT_FALSE(single[0]["refined"].get<bool>());

  // Each copy: same rate and channels, offset x rate frames of silence, then the input.
  const char* files[] = {"a", "b", "c"};
  for (int i = 0; i < 3; ++i) {
    const std::string copy = out + "/cluster_01/" + files[i] + ".wav";
    ASSERT_TRUE(fs::exists(copy)) << copy;
    const WavData src = readWav(in() + "/" + files[i] + ".wav");
    const WavData dst = readWav(copy);
    EXPECT_EQ(dst.rate, src.rate);
    EXPECT_EQ(dst.channels, src.channels);
    const std::size_t pad = static_cast<std::size_t>(
        std::llround(event[i]["offset"].get<double>() * src.rate) * src.channels * 2);
    ASSERT_EQ(dst.data.size(), pad + src.data.size()) << files[i];
    EXPECT_GE(dst.data.find_first_not_of('\0'), pad);
    EXPECT_TRUE(dst.data.compare(pad, std::string::npos, src.data) == 0) << files[i];
  }
  EXPECT_EQ(readWav(out + "/cluster_02/u.wav").data, readWav(in() + "/u.wav").data);
  // Nothing temporary is left next to the copies or the JSON.
  for (const auto& e : fs::recursive_directory_iterator(cap.path()))
    if (e.path().filename() != ".velk-manifest") {
      EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
    }
  expectInputsUntouched();
}

// Every file under root, by path relative to it.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file())
      files[fs::relative(e.path(), root).string()] = slurp(e.path().string());
  return files;
}

TEST_F(ToolSync, RerunsReplaceCopiesIdenticallyAndFailedCopiesLeaveNothing) {
  TempDir cap;
  const std::string out = cap.file("out");
  const std::string json = cap.file("result.json");
  std::vector<std::string> args = {"-f", in(), "-o", out, "--json", json, "--threads=1"};
  velktest::ToolRun r = runVelk(args, cap.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::map<std::string, std::string> first = snapshot(out);
  const std::string firstJson = slurp(json);
  EXPECT_EQ(first.size(), 5u);  // four copies and the manifest

  // A run killed outright leaves its temporary file; the next run clears it, and
  // gives the same files byte for byte, whatever its thread count.
  const std::string stale =
      out + "/cluster_01/.a.wav.tmp-" + std::to_string(velktest::deadProcessId()) + "-0";
  velktest::writeBytes(stale, {'h', 'a', 'l', 'f'});
  args.back() = "--threads=2";
  r = runVelk(args, cap.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(contains(r.err, "did not write")) << r.err;  // all of them are its own
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(snapshot(out) == first);
  EXPECT_TRUE(slurp(json) == firstJson);

  // A copy that cannot be written whole (here the file size limit, as a full disk
  // would) is reported and leaves no file under its name; the others are written.
  // c.wav is 16 kHz stereo and the largest copy by far: over 1.2 MB, the others
  // under 0.45 MB, and the limit lies between whatever the shell's block size.
  const std::string limited = cap.file("limited");
  r = runVelk({"-f", in(), "-o", limited, "--quiet"}, cap.path(), "ulimit -f 1000; exec ");
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_TRUE(contains(r.err, "Velk: warning: cannot write " + limited + "/cluster_01/c.wav: "))
      << r.err;
  EXPECT_TRUE(contains(r.err, "Velk: error: some synchronized copies could not be written\n"))
      << r.err;
  std::map<std::string, std::string> written = snapshot(limited);
  EXPECT_EQ(written.erase(".velk-manifest"), 1u);
  ASSERT_EQ(written.size(), 3u);
  for (const char* name : {"cluster_01/a.wav", "cluster_01/b.wav", "cluster_02/u.wav"})
    EXPECT_TRUE(written.at(name) == first.at(name)) << name;
  expectInputsUntouched();
}

// b's clock runs 250 ppm fast over 80 s in common with a: copies padded by
// their starts are 20 ms apart by the end; moved onto a's clock they stay
// within a millisecond (8 samples) of each other from start to end.
TEST(ToolDrift, CorrectedCopiesStayTogetherToTheEnd) {
  TempDir dir("velk-drift");
  const std::vector<float> scene = velktest::eventSignal(35, 100.0, 8000);
  fs::create_directory(dir.file("in"));
  velktest::writeWav16(dir.file("in/a.wav"), {scene.begin(), scene.begin() + 95 * 8000}, 8000);
  velktest::writeWav16(dir.file("in/b.wav"), velktest::deviceView(scene, 10.0, 80.0, 250.0, 8000),
                       8000);
  struct Case {
    const char* option;
    long endLag;  // samples
  };
  for (const Case c : {Case{"--drift-correct", 0}, Case{"--quiet", -154}}) {
    SCOPED_TRACE(c.option);
    const velktest::ToolRun run =
        runVelk({"-f", dir.file("in"), "-o", dir.file(c.option), c.option}, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<float> ca, cb;
    std::string error;
    ASSERT_TRUE(Velk::decodeMono(dir.file(c.option) + "/cluster_01/a.wav", 0, ca, error));
    ASSERT_TRUE(Velk::decodeMono(dir.file(c.option) + "/cluster_01/b.wav", 0, cb, error));
    // How many samples later b has what a has, over two seconds from 11 s and 87 s.
    EXPECT_LE(std::labs(velktest::bestLag(ca, cb, 11 * 8000, 16000, -400, 400).samples), 8);
    EXPECT_NEAR(velktest::bestLag(ca, cb, 87 * 8000, 16000, -400, 400).samples, c.endLag, 8);
  }
}

}  // namespace
