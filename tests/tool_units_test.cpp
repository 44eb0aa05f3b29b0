// The tool's own pieces: option splitting, truth files, the evaluation figures,
// cluster ordering, output naming and padding, extraction on threads, path
// containment, and temporary files left by interrupted runs.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <tuple>

#include "engine/recordings.h"
#include "engine/reporter.h"
#include "engine/sync_result.h"
#include "test_support.h"
#include "velk/media.h"
#include "velktool/fsutil.h"
#include "velktool/options.h"
#include "velktool/sync_output.h"
#include "velktool/truth.h"

namespace {

using namespace velktool;
using namespace Velk;
using velktest::landmarksOf;

TEST(ToolOptions, TakesOutItsOwnAndKeepsTheRestInOrder) {
  const char* argv[] = {"Velk",     "-f",      "dir",         "--json", "r.json",
                        "-fftsize", "1024",    "--threads=3", "-t",     "--no-refine",
                        "--quiet",  "--jsonx", "t.xml",       "-json",  "--keep-unverified"};
  ToolOptions o;
  std::vector<std::string> rest;
  std::string error;
  ASSERT_TRUE(splitToolOptions(15, argv, o, rest, error));
  EXPECT_EQ(rest, (std::vector<std::string>{"Velk", "-f", "dir", "-fftsize", "1024", "-t",
                                            "--jsonx", "t.xml", "-json"}));
  EXPECT_EQ(std::make_tuple(o.jsonPath, o.threads, o.refine, o.quiet, o.keepUnverified, o.help),
            std::make_tuple("r.json", 3u, false, true, true, false));

  const char* eq[] = {"Velk", "--json=a=b.json", "--threads", "256", "--help", "--channel=2"};
  ToolOptions p;
  ASSERT_TRUE(splitToolOptions(6, eq, p, rest, error));
  EXPECT_EQ(std::make_tuple(p.channel, p.jsonPath, p.threads, p.help, p.refine, p.keepUnverified),
            std::make_tuple(1, "a=b.json", 256u, true, true, false));
  for (const char* bad : {"--threads=0", "--threads=-1", "--threads=2x", "--threads=",
                          "--threads=257", "--channel=0", "--channel=17", "--channel=left"}) {
    const char* args[] = {"Velk", bad};
    EXPECT_FALSE(splitToolOptions(2, args, p, rest, error)) << bad;
  }
}

TEST(ToolTruth, ParsesClustersAndReportsLines) {
  Truth t;
  std::string error;
  ASSERT_TRUE(
      parseTruth("<truth>\n<cluster><recording name=\"a\" offset=\"0.0\"/>"
                 "<recording name=\"b\" offset=\" 3.25\"/></cluster>\n"
                 "<!-- a note -->\n<cluster><recording name=\"c\"/></cluster>\n"
                 "<cluster/>\n</truth>",
                 "t.xml", t, error))
      << error;
  ASSERT_EQ(t.clusters.size(), 2u);  // the empty cluster is dropped
  ASSERT_EQ(t.clusters[0].size(), 2u);
  const TruthRecording &b = t.clusters[0][1], &c = t.clusters[1][0];
  EXPECT_EQ(std::make_tuple(b.name, b.hasOffset, b.offset, b.line),
            std::make_tuple("b", true, 3.25, 2));
  EXPECT_EQ(std::make_tuple(c.hasOffset, c.line), std::make_tuple(false, 4));

  const std::vector<std::pair<std::string, std::string>> broken = {
      {"<truth>\n<cluster>\n<recording name=\"a\">\n</cluster>\n</truth>", "line 4: "},
      {"<truth>\n<cluster>\n\n<recording offset=\"1\"/></cluster></truth>",
       "line 4: a <recording> needs a name"},
      {"<truth><cluster>\n<recording name=\"a\" offset=\"x1\"/></cluster></truth>",
       "line 2: offset \"x1\" is not a number of seconds"},
      {"<truth><cluster>\n<recording name=\"a\"/></cluster>\n<cluster>\n\n<recording "
       "name=\"a\"/></cluster></truth>",
       "line 5: recording a is already listed on line 2"},
      {"<truths/>", "line 1: the document element must be <truth>"},
      {"<truth>\n<group/></truth>", "line 2: expected <cluster>, found <group>"},
      {"", "line 1: "},
  };
  for (const auto& b : broken) {
    EXPECT_FALSE(parseTruth(b.first, "t.xml", t, error)) << b.first;
    EXPECT_EQ(error.rfind("truth file t.xml, " + b.second, 0), 0u) << error;
  }
}

MemberResult member(int32_t id, const std::string& name, double coarse, double offset) {
  MemberResult m;
  m.id = id, m.name = name, m.coarse = coarse, m.offset = offset;
  return m;
}

TEST(ToolEvaluation, PairCountsRatiosAndOffsetErrors) {
  // Truth: {a b c} {d e} {f}; result: {a b} {c d} {e} {f} {x}.
  Truth t;
  std::string error;
  ASSERT_TRUE(parseTruth(
      "<truth><cluster><recording name=\"a\" offset=\"0\"/><recording name=\"b\" offset=\"1\"/>"
      "<recording name=\"c\" offset=\"2\"/></cluster><cluster><recording name=\"d\" offset=\"0\"/>"
      "<recording name=\"e\" offset=\"5\"/></cluster><cluster><recording name=\"f\"/></cluster>"
      "<cluster><recording name=\"ghost\"/></cluster></truth>",
      "t", t, error));
  std::vector<ClusterResult> found(5);
  found[0].members = {member(1, "a", 0.0, 0.0), member(2, "b", 1.03, 1.0004)};
  found[1].members = {member(3, "c", 0.0, 0.0), member(4, "d", 7.0, 7.0)};
  found[2].members = {member(5, "e", 0.0, 0.0)};
  found[3].members = {member(6, "f", 0.0, 0.0)};
  found[4].members = {member(7, "x", 0.0, 0.0)};
  const Evaluation ev = evaluate(t, found);
  // Pairs: ab ac bc de in the truth, ab cd in the result.
  EXPECT_EQ(std::make_tuple(ev.truthPairs, ev.resultPairs, ev.correctPairs),
            std::make_tuple(4u, 2u, 1u));
  EXPECT_DOUBLE_EQ(ev.precision, 0.5);
  EXPECT_DOUBLE_EQ(ev.recall, 0.25);
  EXPECT_DOUBLE_EQ(ev.f1, 2 * 0.5 * 0.25 / 0.75);
  EXPECT_EQ(ev.missingFromResult, std::vector<std::string>{"ghost"});
  EXPECT_EQ(ev.missingFromTruth, std::vector<std::string>{"x"});
  ASSERT_EQ(ev.refined.pairs, 1u);
  EXPECT_NEAR(ev.refined.max, 0.0004, 1e-12);
  EXPECT_NEAR(ev.coarse.max, 0.03, 1e-12);

  // Nothing placed together on either side: the ratios are undefined, not 0 or 1.
  std::vector<ClusterResult> alone(1);
  alone[0].members = {member(1, "f", 0, 0)};
  const Evaluation none = evaluate(t, alone);
  EXPECT_TRUE(std::isnan(none.precision) && std::isnan(none.recall) && std::isnan(none.f1));
}

TEST(ToolEvaluation, StatisticsUseMedianAndNearestRank) {
  const OffsetStats odd = offsetStats({0.005, 0.0001, 0.05, 0.0009, 0.002});
  // p95: rank ceil(0.95 * 5) = 5.
  EXPECT_EQ(std::make_tuple(odd.median, odd.p95, odd.max, odd.within1ms, odd.within40ms),
            std::make_tuple(0.002, 0.05, 0.05, 0.4, 0.8));
  std::vector<double> twenty;
  for (int i = 1; i <= 20; ++i) twenty.push_back(i * 0.001);
  const OffsetStats even = offsetStats(twenty);
  EXPECT_DOUBLE_EQ(even.median, 0.0105);
  EXPECT_EQ(std::make_tuple(even.p95, even.within1ms), std::make_tuple(0.019, 0.05));  // rank 19
  EXPECT_EQ(offsetStats({}).pairs, 0u);
}

TEST(ToolOutput, OrderNamingAndPadding) {
  auto* set = new Velk::VkClusterSet{new Velk::VkCluster{new Velk::VkClusterElem("z", 9, 0.0f),
                                                         new Velk::VkClusterElem("y", 4, 0.2f)},
                                     new Velk::VkCluster{new Velk::VkClusterElem("w", 2, 0.0f)}};
  const std::vector<ClusterResult> ordered =
      orderClusters(*set, {{2, "in/w.wav"}, {4, "in/y.wav"}, {9, "in/z.wav"}});
  Velk::deleteClusters(set);
  ASSERT_EQ(ordered.size(), 2u);
  EXPECT_EQ(ordered[0].members[0].id, 2);
  EXPECT_EQ(ordered[0].members[0].path, "in/w.wav");
  EXPECT_EQ(ordered[1].members[0].id, 4);        // members by id
  EXPECT_EQ(ordered[1].members[0].coarse, 0.2);  // the float's own decimal
  EXPECT_EQ(ordered[1].members[1].name, "z");

  EXPECT_EQ(clusterFolderName(9), "cluster_10");
  EXPECT_EQ(clusterFolderName(99), "cluster_100");
  // 1.5 frames round away from zero; 1.00003 s is 16000.48 frames.
  EXPECT_EQ((std::vector<uint64_t>{paddingFrames(0.0, 8000), paddingFrames(-0.001, 8000),
                                   paddingFrames(0.5, 3), paddingFrames(1.00003, 16000),
                                   paddingFrames(1.00004, 16000)}),
            (std::vector<uint64_t>{0, 0, 2, 16000, 16001}));
}

TEST(ToolExtraction, ThreadsGiveWhatRunAllGives) {
  velktest::TempDir dir;
  const std::vector<float> scene = velktest::eventSignal(8, 12.0, 8000);
  velktest::writeWav16(dir.file("b.wav"), scene, 8000);
  velktest::writeWav16(dir.file("a.wav"), std::vector<float>(scene.begin() + 9000, scene.end()),
                       8000);
  velktest::writeWav16(dir.file("c.wav"), velktest::eventSignal(9, 6.0, 16000), 16000);
  velktest::writeWav16(dir.file("d.wav"), velktest::eventSignal(10, 7.0, 8000), 8000);
  // d as recorders that stopped before finishing the file leave it: sizes of 0
  // (e), or of a length it never reached (f).
  std::vector<uint8_t> unfinished = velktest::readBytes(dir.file("d.wav"));
  for (std::size_t at : {std::size_t{4}, std::size_t{40}}) std::fill_n(&unfinished[at], 4, 0);
  velktest::writeBytes(dir.file("e.wav"), unfinished);
  std::fill_n(&unfinished[40], 4, 0xFF);
  velktest::writeBytes(dir.file("f.wav"), unfinished);

  Listing listing;
  std::string error;
  ASSERT_TRUE(listFolder(dir.path(), 8000, listing, error)) << error;
  ASSERT_EQ(listing.recordings.size(), 6u);
  EXPECT_EQ(listing.recordings[2].route, Route::Media);  // 16 kHz: resampled, not refused
  if (haveFFmpeg()) {
    for (std::size_t i : {4u, 5u}) {
      EXPECT_EQ(listing.recordings[i].route, Route::Media);
      EXPECT_FALSE(listing.recordings[i].wavReadable);  // so refinement decodes it too
      EXPECT_NEAR(listing.recordings[i].durationSeconds, 7.0, 1e-6);
    }
    const std::string unfinishedNote =
        " (a recording that was not finished?); reading what is there";
    EXPECT_EQ(listing.warnings,
              (std::vector<std::string>{
                  dir.file("e.wav") + ": its header declares no samples, but audio follows it" +
                      unfinishedNote,
                  dir.file("f.wav") + ": its header declares more samples than the file holds" +
                      unfinishedNote}));
  }

  const MessageHandler noMessages;
  const ProgressHandler noProgress;
  const Reporter quiet(noMessages, noProgress);
  std::vector<SkippedFile> failures;
  Velk::VkExtractParams params;
  const std::unique_ptr<Velk::VkFileSet> mine(
      extractRecordings(listing.recordings, params, 0, 3, quiet, failures));
  EXPECT_TRUE(failures.empty());

  Velk::VkLandmarkExtract extractor(params);
  testing::internal::CaptureStdout();
  const std::unique_ptr<Velk::VkFileSet> reference(extractor.runAll(
      {dir.file("a.wav"), dir.file("b.wav"), dir.file("c.wav"), dir.file("d.wav")}));
  testing::internal::GetCapturedStdout();
  // The library refuses the 16 kHz file; the tool reads it as id 3 all the same.
  ASSERT_EQ(mine->getFiles().count(3), 1u);
  EXPECT_GT(mine->getFiles().at(3)->getLandmarkCount(), 0u);
  if (haveFFmpeg()) {  // the unfinished files yield what their finished twin does
    for (int32_t id : {5, 6}) {
      ASSERT_EQ(mine->getFiles().count(id), 1u);
      EXPECT_EQ(landmarksOf(*mine->getFiles().at(id)), landmarksOf(*reference->getFiles().at(4)));
    }
  }
  for (int32_t id : {1, 2, 4}) {
    ASSERT_EQ(reference->getFiles().count(id), 1u);
    EXPECT_EQ(landmarksOf(*mine->getFiles().at(id)), landmarksOf(*reference->getFiles().at(id)))
        << id;
    EXPECT_EQ(mine->idToName.at(id), reference->idToName.at(id));
    EXPECT_EQ(mine->idToPath.at(id), reference->idToPath.at(id));
    EXPECT_EQ(mine->nameToId.at(reference->idToName.at(id)), id);
  }
}

TEST(ToolPaths, ContainmentIsCanonical) {
  velktest::TempDir dir;
  namespace fs = std::filesystem;
  fs::create_directories(dir.file("in/sub"));
  fs::create_directories(dir.file("input"));
  fs::create_directory_symlink(dir.file("in"), dir.file("link"));
  EXPECT_TRUE(isSameOrInside(dir.file("in/"), dir.file("in")));
  EXPECT_TRUE(isSameOrInside(dir.file("in/sub/new/deeper"), dir.file("in")));
  EXPECT_TRUE(isSameOrInside(dir.file("link/out"), dir.file("in")));  // through the link
  EXPECT_FALSE(isSameOrInside(dir.file("input"), dir.file("in")));    // a prefix, not a parent
  EXPECT_FALSE(isSameOrInside(dir.path(), dir.file("in")));
  EXPECT_NE(temporarySibling(dir.file("f.txt")), temporarySibling(dir.file("f.txt")));
}

TEST(ToolPaths, InterruptedWritersLeaveNothingBehind) {
  velktest::TempDir dir;
  namespace fs = std::filesystem;
  const std::string dead = std::to_string(velktest::deadProcessId());
  const std::string alive = std::to_string(getpid());
  const std::vector<std::string> names = {
      ".f.wav.tmp-" + dead + "-3",   // a killed run's: removed
      ".f.wav.tmp-" + alive + "-0",  // a running writer's: kept
      ".f.wav.tmp-" + dead + "-",    // not a name we give
      ".f.wav.tmp-x" + dead + "-1", ".f.wav.tmp-" + dead + "-1a", ".f.wav.tmp-0-1",
      ".g.wav.tmp-" + dead + "-0",  // another target's
      "f.wav.tmp-" + dead + "-0"};
  for (const std::string& n : names) velktest::writeBytes(dir.file(n), {'x'});
  EXPECT_EQ(removeStaleTemporaries(dir.file("f.wav")), 1);
  for (std::size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(fs::exists(dir.file(names[i])), i != 0) << names[i];
  EXPECT_EQ(removeStaleTemporaries(dir.file("g.wav")), 1);
  EXPECT_EQ(removeStaleTemporaries(dir.file("absent/f.wav")), 0);

  // A termination signal removes the files being written, then ends the process
  // as the signal would; a file whose writer finished stays.
  const std::string writing = dir.file(".h.wav.tmp-1-0");
  const std::string finished = dir.file(".h.wav.tmp-1-1");
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      installInterruptCleanup();
      velktest::writeBytes(finished, {'f'});
      { const PendingTemporary done(finished); }
      velktest::writeBytes(writing, {'w'});
      const PendingTemporary pending(writing);
      raise(sig);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << sig;
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_FALSE(fs::exists(writing)) << sig;
    EXPECT_TRUE(fs::exists(finished)) << sig;
  }
}

}  // namespace
