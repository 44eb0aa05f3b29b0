// The Velk binary's command line: the layer's designed lines pass through
// unchanged, the tool's own options are taken out first, and every kind of
// bad input gets its line and its exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"
#include "tool_run.h"

namespace {

using velktest::contains;
using velktest::runVelk;
using velktest::TempDir;

const char kNoFolder[] = "[ERROR]: Must provide folder path of media files to synchronize\n";
const char kHelpStart[] =
    "////////////////////////////////////////////////////////////////////////////////\n";

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

TEST(ToolCli, NoFolderPrintsTheErrorAndHelpAndExitsOne) {
  TempDir cap;
  velktest::ToolRun r = runVelk({}, cap.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(startsWith(r.out, std::string(kNoFolder) + kHelpStart)) << r.out.substr(0, 200);
  EXPECT_TRUE(contains(r.out, "REQUIRED FLAGS:\n\n-f <folderpath>\n"));

  // Only the tool's own options: the layer still sees no folder.
  r = runVelk({"--quiet", "--no-refine"}, cap.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(startsWith(r.out, kNoFolder));

  // A trailing option without its value is ignored by the layer, silently.
  r = runVelk({"-t"}, cap.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(startsWith(r.out, kNoFolder));
}

TEST(ToolCli, HelpVersionAndTheToolsOwnOptions) {
  TempDir cap;
  velktest::ToolRun r = runVelk({"--help"}, cap.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(startsWith(r.out, std::string(kHelpStart) + "\n"));
  EXPECT_TRUE(contains(r.out, "--threads <n>"));
  EXPECT_TRUE(contains(r.out, "EXIT STATUS:"));
  EXPECT_FALSE(contains(r.out, "[ERROR]"));

  r = runVelk({"--version"}, cap.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(startsWith(r.out, "Velk 0.")) << r.out;

  const std::string threadsLine = "Velk: --threads needs a whole number from 1 to 256\n";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--threads", "0", "-f", "x"},
                                             {"--threads=abc", "-f", "x"},
                                             {"-f", "x", "--threads"},
                                             {"--threads=257"}}) {
    r = runVelk(args, cap.path());
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(r.err, threadsLine);
    EXPECT_EQ(r.out, "");  // refused before the layer echoes anything
  }
  r = runVelk({"-f", "x", "--json"}, cap.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Velk: --json needs a file name\n");
  r = runVelk({"--json=", "-f", "x"}, cap.path());
  EXPECT_EQ(r.err, "Velk: --json needs a file name\n");
}

TEST(ToolCli, LayerLinesPassThroughUnchanged) {
  TempDir dir, cap;
  const std::string empty = dir.path();
  velktest::ToolRun r = runVelk({"-fftsize", "1000", "--quiet", "-f", empty}, cap.path());
  EXPECT_TRUE(startsWith(r.out,
                         "-fftsize 1000\n"
                         "Invalid FFTSIZE.  Must be a power of two and greater than 0.\n"
                         "Default is 512\n"
                         "-f " +
                             empty + "\n"))
      << r.out;
  EXPECT_EQ(r.status, 3);  // the folder holds nothing to sync
  EXPECT_EQ(r.err, "Velk: no usable recordings in " + empty + "\n");

  // An echoed but refused value leaves the default in force: the JSON shows 512.
  velktest::writeWav16(dir.file("one.wav"), velktest::eventSignal(1, 6.0, 8000), 8000);
  const std::string json = cap.file("r.json");
  r = runVelk({"-fftsize", "4", "-f", empty, "--json=" + json, "--quiet"}, cap.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(startsWith(r.out, "-fftsize 4\nFFTSIZE: 4\n-f " + empty + "\n")) << r.out;
  EXPECT_TRUE(contains(velktest::slurp(json), "\"fftSize\": 512"));

  // A hop longer than the frame cannot be extracted.
  r = runVelk({"-hopsize", "1024", "-f", empty}, cap.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Velk: the hop size (1024) must not exceed the FFT size (512)\n");
  // Nor can a frame of minutes, which would only take hours and gigabytes.
  r = runVelk({"-fftsize", "2097152", "-f", empty}, cap.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Velk: the FFT size (2097152) is larger than this tool supports (1048576)\n");
}

TEST(ToolCli, BadFoldersGetOneLineAndTheirStatus) {
  TempDir dir, cap;
  const std::string missing = dir.file("nowhere");
  velktest::ToolRun r = runVelk({"-f", missing}, cap.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "Velk: input folder " + missing + " does not exist\n");

  velktest::writeBytes(dir.file("plain.txt"), {'h', 'i', '\n'});
  r = runVelk({"-f", dir.file("plain.txt")}, cap.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "Velk: input path " + dir.file("plain.txt") + " is not a folder\n");

  // Nothing usable: a text file is merely skipped, a broken recording is a problem.
  velktest::writeBytes(dir.file("broken.wav"), {'R', 'I', 'F', 'F', 1, 2, 3});
  std::filesystem::create_directory(dir.file("sub"));
  velktest::writeWav16(dir.file("sub/inner.wav"), velktest::eventSignal(2, 4.0, 8000), 8000);
  velktest::writeWav16(dir.file(".hidden.wav"), velktest::eventSignal(3, 4.0, 8000), 8000);
  r = runVelk({"-f", dir.path(), "--quiet"}, cap.path());
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(contains(r.err, "Velk: skipping " + dir.file("plain.txt") + ": not an audio file\n"))
      << r.err;
  EXPECT_TRUE(contains(r.err, "Velk: cannot read " + dir.file("broken.wav") + ": ")) << r.err;
  EXPECT_TRUE(contains(r.err, "Velk: no usable recordings in " + dir.path() + "\n"));
  EXPECT_FALSE(contains(r.out + r.err, "inner.wav"));  // sub-folders are not listed
  EXPECT_FALSE(contains(r.out + r.err, "hidden"));     // nor hidden files

  // One good recording next to the broken one: the sync runs, the status says 4.
  velktest::writeWav16(dir.file("good.wav"), velktest::eventSignal(4, 6.0, 8000), 8000);
  r = runVelk({"-f", dir.path(), "--quiet"}, cap.path());
  EXPECT_EQ(r.status, 4);
  EXPECT_TRUE(contains(r.out, "STARTING: " + dir.file("good.wav") + " (id 1)\n"));
  EXPECT_TRUE(contains(r.out, "CLUSTER\nname: good offset:0\n"));
}

}  // namespace
