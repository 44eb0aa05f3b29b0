// Extraction drivers: run on sources and files, runAll, names, diagnostics.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "velk/landmark_extract.h"
#include "velk/wav_writer.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Velk::VkExtractParams;
using Velk::VkFile;
using Velk::VkFileSet;
using Velk::VkLandmarkExtract;

using Table = std::vector<std::pair<int32_t, uint32_t>>;
using velktest::landmarksOf;

Table extract(VkLandmarkExtract& ex, const std::vector<float>& samples, int32_t id = 1) {
  velktest::VectorInput input(samples);
  std::unique_ptr<VkFile> f(ex.run(&input, id));
  EXPECT_EQ(f->getId(), id);
  return landmarksOf(*f);
}

// What the WAV reader gives back for samples written by writeWav16.
std::vector<float> as16Bit(const std::vector<float>& samples) {
  std::vector<float> out;
  for (float s : samples) out.push_back(Velk::pcm16(s) / 32768.0f);
  return out;
}

TEST(ExtractRun, RunsAreIndependentAndMatchTheFilePath) {
  const std::vector<float> a = velktest::eventSignal(11, 20.0, 8000);
  const std::vector<float> b = velktest::eventSignal(12, 12.0, 8000);

  VkLandmarkExtract reused{VkExtractParams()};
  const Table first = extract(reused, a);
  ASSERT_GT(first.size(), 1000u);
  const Table other = extract(reused, b, 2);
  const Table again = extract(reused, a);
  VkLandmarkExtract fresh{VkExtractParams()};
  EXPECT_EQ(first, again);
  EXPECT_EQ(first, extract(fresh, a));
  EXPECT_NE(first, other);

  // The file overload extracts exactly what the samples it reads give.
  velktest::TempDir dir("velk-extract");
  const std::string path = dir.file("a.wav");
  velktest::writeWav16(path, a, 8000);
  CaptureStdout();
  std::unique_ptr<VkFile> fromFile(reused.run(path, 9));
  EXPECT_EQ(GetCapturedStdout(), "");
  ASSERT_NE(fromFile, nullptr);
  EXPECT_EQ(fromFile->getId(), 9);
  EXPECT_EQ(landmarksOf(*fromFile), extract(fresh, as16Bit(a)));

  // No source: an empty table with the id; the previous peaks are gone.
  std::unique_ptr<VkFile> none(reused.run(static_cast<Velk::VkInput*>(nullptr), 7));
  EXPECT_EQ(none->getId(), 7);
  EXPECT_TRUE(none->getLandmarks().empty());
  EXPECT_TRUE(reused.frames->empty());
}

TEST(ExtractRun, HopLargerThanFrameIsRefused) {
  VkExtractParams params;
  ASSERT_TRUE(params.setHopSize(1024));
  VkLandmarkExtract ex(params);
  velktest::VectorInput input(velktest::eventSignal(3, 5.0, 8000));
  std::unique_ptr<VkFile> f(ex.run(&input, 3));
  EXPECT_EQ(f->getId(), 3);
  EXPECT_TRUE(f->getLandmarks().empty());
  EXPECT_EQ(input.reads, 0);

  velktest::TempDir dir("velk-extract");
  const std::string path = dir.file("x.wav");
  velktest::writeWav16(path, velktest::eventSignal(3, 5.0, 8000), 8000);
  CaptureStdout();
  EXPECT_EQ(ex.run(path, 3), nullptr);
  EXPECT_EQ(GetCapturedStdout(),
            "[ERROR]: Cannot extract " + path +
                ": hop size is larger than the FFT size (hop 1024, FFT 512)\n");
}

TEST(ExtractRun, RunAllSelectsNamesAndReports) {
  velktest::TempDir dir("velk-extract");
  const std::vector<float> audio = velktest::eventSignal(5, 3.0, 8000);
  for (const char* name : {"a.WAV", "b.wav", "c.wav.bak", "d", "e.wav", "g.wav"})
    velktest::writeWav16(dir.file(name), audio, 8000);
  velktest::writeWav16(dir.file("f.wav"), audio, 16000);
  VkLandmarkExtract ex{VkExtractParams()};

  CaptureStdout();
  std::unique_ptr<VkFileSet> empty(ex.runAll({}));
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_TRUE(empty->getFiles().empty());

  CaptureStdout();
  std::unique_ptr<VkFileSet> one(
      ex.runAll({dir.file("a.WAV"), dir.file("b.wav"), dir.file("c.wav.bak"), dir.file("d")}));
  EXPECT_EQ(GetCapturedStdout(), "STARTING: " + dir.file("b.wav") +
                                     " (id 1)\n"
                                     "FEATURE EXTRACTION COMPLETE: " +
                                     dir.file("b.wav") + "\n");
  ASSERT_EQ(one->getFiles().size(), 1u);
  EXPECT_EQ(one->idToName.at(1), "b");
  EXPECT_EQ(one->nameToId.at("b"), 1);
  EXPECT_EQ(one->idToPath.at(1), dir.file("b.wav"));
  EXPECT_FALSE(one->getFiles().at(1)->getLandmarks().empty());

  // Wrong rate and unreadable file: both reported, both leave a gap in the ids.
  const std::vector<std::string> paths = {dir.file("e.wav"), dir.file("f.wav"),
                                          dir.file("missing.wav"), dir.file("g.wav")};
  CaptureStdout();
  std::unique_ptr<VkFileSet> set(ex.runAll(paths));
  std::string expected;
  for (int i = 0; i < 4; ++i) {
    expected += "STARTING: " + paths[i] + " (id " + std::to_string(i + 1) + ")\n";
    if (i == 1) expected += "[ERROR]:" + paths[i] + " has an incorrect sample rate\n";
    if (i == 2) expected += "[ERROR]: Could not load: " + paths[i] + "\n";
    expected += "FEATURE EXTRACTION COMPLETE: " + paths[i] + "\n";
  }
  EXPECT_EQ(GetCapturedStdout(), expected);
  std::vector<int32_t> ids;
  for (const auto& entry : set->getFiles()) ids.push_back(entry.first);
  EXPECT_EQ(ids, (std::vector<int32_t>{1, 4}));
  EXPECT_EQ(set->idToName, (std::map<int32_t, std::string>{{1, "e"}, {4, "g"}}));
  // Same audio, same landmarks.
  EXPECT_EQ(landmarksOf(*set->getFiles().at(1)), landmarksOf(*set->getFiles().at(4)));
}

TEST(ExtractRun, BaseNames) {
  EXPECT_EQ(VkLandmarkExtract::baseName("dir/take1.wav"), "take1");
  EXPECT_EQ(VkLandmarkExtract::baseName("x.y.wav"), "x.y");
  EXPECT_EQ(VkLandmarkExtract::baseName("C:\\rec\\a.wav"), "C:\\rec\\a");
  EXPECT_EQ(VkLandmarkExtract::baseName("dir.d/noext"), "");
  EXPECT_EQ(VkLandmarkExtract::baseName("/a/b/.wav"), "");
}

}  // namespace
