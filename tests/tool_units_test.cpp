// The tool's own pieces: option splitting, truth files, the evaluation figures,
// cluster ordering, output naming and padding, path containment, temporary
// files left by interrupted runs, and the split of clusters whose members do
// not correlate.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "engine/alignment.h"
#include "engine/recordings.h"
#include "engine/reporter.h"
#include "engine/sync_result.h"
#include "test_support.h"
#include "velk/landmark_extract.h"
#include "velk/media.h"
#include "velktool/fsutil.h"
#include "velktool/options.h"
#include "velktool/sync_output.h"
#include "velktool/truth.h"

namespace {

using namespace velktool;
using namespace Velk;

// The engine's messages where the tool writes them.
const MessageHandler printLines = [](const SyncMessage& m) {
  if (m.kind == MessageKind::Designed)
    std::cout << m.text << std::endl;
  else
    std::cerr << (m.kind == MessageKind::Warning ? "warning: " : "note: ") << m.text << std::endl;
};
const ProgressHandler noProgress;

TEST(ToolOptions, TakesOutItsOwnAndKeepsTheRestInOrder) {
  const char* argv[] = {"Velk", "-f",          "dir", "--json",      "r.json",  "-fftsize",
                        "1024", "--threads=3", "-t",  "--no-refine", "--quiet", "t.xml"};
  ToolOptions o;
  std::vector<std::string> rest;
  std::string error;
  ASSERT_TRUE(splitToolOptions(12, argv, o, rest, error));
  EXPECT_FALSE(o.keepUnverified);
  EXPECT_EQ(rest,
            (std::vector<std::string>{"Velk", "-f", "dir", "-fftsize", "1024", "-t", "t.xml"}));
  EXPECT_EQ(o.jsonPath, "r.json");
  EXPECT_EQ(o.threads, 3u);
  EXPECT_FALSE(o.refine);
  EXPECT_TRUE(o.quiet);
  EXPECT_FALSE(o.help);

  const char* eq[] = {"Velk",   "--json=a=b.json", "--threads", "256", "--keep-unverified",
                      "--help", "--jsonx",         "-json"};
  ToolOptions p;
  ASSERT_TRUE(splitToolOptions(8, eq, p, rest, error));
  EXPECT_TRUE(p.keepUnverified);
  EXPECT_TRUE(p.refine);
  EXPECT_EQ(p.jsonPath, "a=b.json");
  EXPECT_EQ(p.threads, 256u);
  EXPECT_TRUE(p.help);
  EXPECT_EQ(rest, (std::vector<std::string>{"Velk", "--jsonx", "-json"}));  // not ours

  for (const char* bad :
       {"--threads=0", "--threads=-1", "--threads=2x", "--threads=", "--threads=257"}) {
    const char* args[] = {"Velk", bad};
    ToolOptions q;
    EXPECT_FALSE(splitToolOptions(2, args, q, rest, error)) << bad;
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
  EXPECT_EQ(t.clusters[0][1].name, "b");
  EXPECT_TRUE(t.clusters[0][1].hasOffset);
  EXPECT_DOUBLE_EQ(t.clusters[0][1].offset, 3.25);
  EXPECT_EQ(t.clusters[0][1].line, 2);
  EXPECT_FALSE(t.clusters[1][0].hasOffset);
  EXPECT_EQ(t.clusters[1][0].line, 4);

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
  EXPECT_EQ(lineOfOffset("a\nb\nc", 0), 1);
  EXPECT_EQ(lineOfOffset("a\nb\nc", 2), 2);
  EXPECT_EQ(lineOfOffset("a\nb\nc", 99), 3);
}

MemberResult member(int32_t id, const std::string& name, double coarse, double offset) {
  MemberResult m;
  m.id = id;
  m.name = name;
  m.coarse = coarse;
  m.offset = offset;
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
  EXPECT_EQ(ev.truthPairs, 4u);   // ab ac bc de
  EXPECT_EQ(ev.resultPairs, 2u);  // ab cd
  EXPECT_EQ(ev.correctPairs, 1u);
  EXPECT_DOUBLE_EQ(ev.precision, 0.5);
  EXPECT_DOUBLE_EQ(ev.recall, 0.25);
  EXPECT_DOUBLE_EQ(ev.f1, 2 * 0.5 * 0.25 / 0.75);
  EXPECT_EQ(ev.missingFromResult, std::vector<std::string>{"ghost"});
  EXPECT_EQ(ev.missingFromTruth, std::vector<std::string>{"x"});
  ASSERT_EQ(ev.refined.pairs, 1u);
  EXPECT_NEAR(ev.refined.max, 0.0004, 1e-12);
  EXPECT_NEAR(ev.coarse.max, 0.03, 1e-12);
  EXPECT_EQ(ev.refined.within1ms, 1.0);
  EXPECT_EQ(ev.coarse.within1ms, 0.0);
  EXPECT_EQ(ev.coarse.within40ms, 1.0);

  // Nothing placed together on either side: the ratios are undefined, not 0 or 1.
  std::vector<ClusterResult> alone(1);
  alone[0].members = {member(1, "f", 0, 0)};
  const Evaluation none = evaluate(t, alone);
  EXPECT_TRUE(std::isnan(none.precision));
  EXPECT_TRUE(std::isnan(none.recall));
  EXPECT_TRUE(std::isnan(none.f1));
}

TEST(ToolEvaluation, StatisticsUseMedianAndNearestRank) {
  const OffsetStats odd = offsetStats({0.005, 0.0001, 0.05, 0.0009, 0.002});
  EXPECT_DOUBLE_EQ(odd.median, 0.002);
  EXPECT_DOUBLE_EQ(odd.p95, 0.05);  // rank ceil(0.95 * 5) = 5
  EXPECT_DOUBLE_EQ(odd.max, 0.05);
  EXPECT_DOUBLE_EQ(odd.within1ms, 0.4);
  EXPECT_DOUBLE_EQ(odd.within40ms, 0.8);
  std::vector<double> twenty;
  for (int i = 1; i <= 20; ++i) twenty.push_back(i * 0.001);
  const OffsetStats even = offsetStats(twenty);
  EXPECT_DOUBLE_EQ(even.median, 0.0105);
  EXPECT_DOUBLE_EQ(even.p95, 0.019);  // rank 19 of 20
  EXPECT_DOUBLE_EQ(even.within1ms, 0.05);
  EXPECT_EQ(offsetStats({}).pairs, 0u);
}

TEST(ToolOutput, OrderNamingAndPadding) {
  Velk::VkClusterSet set;
  auto* c1 = new Velk::VkCluster{new Velk::VkClusterElem("z", 9, 0.0f),
                                 new Velk::VkClusterElem("y", 4, 0.2f)};
  auto* c2 = new Velk::VkCluster{new Velk::VkClusterElem("w", 2, 0.0f)};
  set.insert(c1);
  set.insert(c2);
  const std::vector<ClusterResult> ordered =
      orderClusters(set, {{2, "in/w.wav"}, {4, "in/y.wav"}, {9, "in/z.wav"}});
  ASSERT_EQ(ordered.size(), 2u);
  EXPECT_EQ(ordered[0].members[0].id, 2);
  EXPECT_EQ(ordered[0].members[0].path, "in/w.wav");
  EXPECT_EQ(ordered[1].members[0].id, 4);        // members by id
  EXPECT_EQ(ordered[1].members[0].coarse, 0.2);  // the float's own decimal
  EXPECT_EQ(ordered[1].members[1].name, "z");
  for (Velk::VkCluster* c : set) {
    for (Velk::VkClusterElem* e : *c) delete e;
    delete c;
  }

  EXPECT_EQ(clusterFolderName(0), "cluster_01");
  EXPECT_EQ(clusterFolderName(9), "cluster_10");
  EXPECT_EQ(clusterFolderName(99), "cluster_100");
  EXPECT_EQ(paddingFrames(0.0, 8000), 0u);
  EXPECT_EQ(paddingFrames(-0.001, 8000), 0u);
  EXPECT_EQ(paddingFrames(0.5, 3), 2u);  // 1.5 frames round away from zero
  EXPECT_EQ(paddingFrames(1.00003, 16000), 16000u);
  EXPECT_EQ(paddingFrames(1.00004, 16000), 16001u);
}

// Landmarks of a table as (time, hash), in the table's order.
std::vector<std::pair<int32_t, uint32_t>> landmarksOf(const Velk::VkFile* f) {
  std::vector<std::pair<int32_t, uint32_t>> out;
  for (const auto& kv : f->getLandmarks())
    for (const Velk::Landmark* l : kv.second) out.push_back({l->time, l->hash});
  return out;
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
  EXPECT_EQ(listing.recordings[0].fileName, "a.wav");    // by name, not by creation
  EXPECT_EQ(listing.recordings[2].route, Route::Media);  // 16 kHz: resampled, not refused
  EXPECT_EQ(listing.recordings[3].id, 4);
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

  const Reporter quiet(printLines, noProgress);
  std::vector<SkippedFile> failures;
  Velk::VkExtractParams params;
  testing::internal::CaptureStdout();
  Velk::VkFileSet* mine = extractRecordings(listing.recordings, params, 0, 3, quiet, failures);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(failures.empty());
  EXPECT_NE(printed.find("STARTING: " + dir.file("a.wav") +
                         " (id 1)\nFEATURE EXTRACTION COMPLETE: " + dir.file("a.wav") +
                         "\nSTARTING: " + dir.file("b.wav") + " (id 2)\n"),
            std::string::npos)
      << printed;

  Velk::VkLandmarkExtract extractor(params);
  testing::internal::CaptureStdout();
  Velk::VkFileSet* reference = extractor.runAll(
      {dir.file("a.wav"), dir.file("b.wav"), dir.file("c.wav"), dir.file("d.wav")});
  testing::internal::GetCapturedStdout();
  // The library refuses the 16 kHz file; the tool reads it as id 3 all the same.
  EXPECT_EQ(reference->getFiles().count(3), 0u);
  ASSERT_EQ(mine->getFiles().count(3), 1u);
  EXPECT_GT(mine->getFiles().at(3)->getLandmarkCount(), 0u);
  if (haveFFmpeg()) {  // the unfinished files yield what their finished twin does
    for (int32_t id : {5, 6}) {
      ASSERT_EQ(mine->getFiles().count(id), 1u);
      EXPECT_EQ(landmarksOf(mine->getFiles().at(id)), landmarksOf(reference->getFiles().at(4)));
    }
  }
  for (int32_t id : {1, 2, 4}) {
    ASSERT_EQ(reference->getFiles().count(id), 1u);
    EXPECT_EQ(landmarksOf(mine->getFiles().at(id)), landmarksOf(reference->getFiles().at(id)))
        << id;
    EXPECT_EQ(mine->idToName.at(id), reference->idToName.at(id));
    EXPECT_EQ(mine->idToPath.at(id), reference->idToPath.at(id));
    EXPECT_EQ(mine->nameToId.at(reference->idToName.at(id)), id);
  }
  delete mine;
  delete reference;
}

TEST(ToolPaths, ContainmentIsCanonical) {
  velktest::TempDir dir;
  namespace fs = std::filesystem;
  fs::create_directories(dir.file("in/sub"));
  fs::create_directories(dir.file("input"));
  fs::create_directory_symlink(dir.file("in"), dir.file("link"));
  EXPECT_TRUE(isSameOrInside(dir.file("in"), dir.file("in")));
  EXPECT_TRUE(isSameOrInside(dir.file("in/"), dir.file("in")));
  EXPECT_TRUE(isSameOrInside(dir.file("in/sub/new/deeper"), dir.file("in")));
  EXPECT_TRUE(isSameOrInside(dir.file("link/out"), dir.file("in")));  // through the link
  EXPECT_TRUE(isSameOrInside(dir.file("input/../in/x"), dir.file("in")));
  EXPECT_FALSE(isSameOrInside(dir.file("input"), dir.file("in")));  // a prefix, not a parent
  EXPECT_FALSE(isSameOrInside(dir.path(), dir.file("in")));

  std::string error;
  ASSERT_TRUE(writeFileAtomically(dir.file("f.txt"), "one", error)) << error;
  ASSERT_TRUE(writeFileAtomically(dir.file("f.txt"), "two", error)) << error;
  EXPECT_EQ(velktest::readBytes(dir.file("f.txt")), (std::vector<uint8_t>{'t', 'w', 'o'}));
  EXPECT_FALSE(writeFileAtomically(dir.file("missing/f.txt"), "x", error));
  EXPECT_NE(error.find("cannot create"), std::string::npos);
  std::size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir.path()))
    entries += e.path().filename() == "f.txt";
  EXPECT_EQ(entries, 1u);
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

bool anyContains(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& l : lines)
    if (l.find(part) != std::string::npos) return true;
  return false;
}

// Cluster {p(2) ref(4) s(5) t(7) u(8) w(9)}: p placed 12.5 ms before the
// reference, s and u correlate only with each other, t with nothing, w never
// compared.
struct JoinedCluster {
  ClusterResult cluster;
  ClusterVerdict verdict;
  JoinedCluster() {
    cluster.members = {member(2, "p", 0.0, 0.0),   member(4, "ref", 0.0, 0.0),
                       member(5, "s", 7.25, 7.25), member(7, "t", 3.0, 3.0),
                       member(8, "u", 10.0, 10.0), member(9, "w", 12.0, 12.0)};
    verdict.reference = 1;
    verdict.group = {0, 0, 1, 2, 1, -1};
    verdict.position = {-0.0125, 0.0, 7.25, 3.0, 7.25 + 2.7381, 12.0};
  }
};

// The lines as the tool writes them.
std::vector<std::string> prefixed(const std::vector<SyncMessage>& messages) {
  std::vector<std::string> lines;
  for (const SyncMessage& m : messages)
    lines.push_back((m.kind == MessageKind::Warning ? "warning: " : "note: ") + m.text);
  return lines;
}

std::vector<int32_t> idsOf(const ClusterResult& c) {
  std::vector<int32_t> ids;
  for (const MemberResult& m : c.members) ids.push_back(m.id);
  return ids;
}

TEST(ToolSplit, StrayGroupsBecomeNormalisedClusters) {
  const JoinedCluster j;
  std::vector<SyncMessage> messages;
  const std::vector<ClusterResult> out = settleCluster(j.cluster, j.verdict, true, messages);
  const std::vector<std::string> notes = prefixed(messages);
  ASSERT_EQ(out.size(), 3u);
  // By smallest id; the never-compared member stays with the reference.
  EXPECT_EQ(idsOf(out[0]), (std::vector<int32_t>{2, 4, 9}));
  EXPECT_EQ(idsOf(out[1]), (std::vector<int32_t>{5, 8}));
  EXPECT_EQ(idsOf(out[2]), (std::vector<int32_t>{7}));

  const auto& main = out[0].members;
  EXPECT_DOUBLE_EQ(main[0].offset, 0.0);  // the earliest, not the reference, is at 0
  EXPECT_DOUBLE_EQ(main[1].offset, 0.0125);
  EXPECT_DOUBLE_EQ(main[2].offset, 12.0125);
  EXPECT_DOUBLE_EQ(main[2].coarse, 12.0);
  EXPECT_TRUE(main[0].refined);
  EXPECT_TRUE(main[1].refined);
  EXPECT_FALSE(main[2].refined);

  const auto& pair = out[1].members;
  EXPECT_DOUBLE_EQ(pair[0].offset, 0.0);
  EXPECT_NEAR(pair[1].offset, 2.7381, 1e-12);
  EXPECT_DOUBLE_EQ(pair[0].coarse, 0.0);  // coarse offsets re-based too
  EXPECT_DOUBLE_EQ(pair[1].coarse, 2.75);
  EXPECT_TRUE(pair[0].refined);
  EXPECT_TRUE(pair[1].refined);

  EXPECT_DOUBLE_EQ(out[2].members[0].offset, 0.0);
  EXPECT_DOUBLE_EQ(out[2].members[0].coarse, 0.0);
  EXPECT_FALSE(out[2].members[0].refined);

  ASSERT_EQ(notes.size(), 3u);
  EXPECT_TRUE(anyContains(notes, "note: cluster of ref: split off s, u (they match each other"));
  EXPECT_TRUE(anyContains(notes, "note: cluster of ref: split off t alone"));
  EXPECT_TRUE(anyContains(notes, "warning: cluster of ref: w could not be compared"));
}

TEST(ToolSplit, KeepUnverifiedLeavesOneClusterWithStraysUnrefined) {
  const JoinedCluster j;
  std::vector<SyncMessage> messages;
  const std::vector<ClusterResult> out = settleCluster(j.cluster, j.verdict, false, messages);
  const std::vector<std::string> notes = prefixed(messages);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(idsOf(out[0]), (std::vector<int32_t>{2, 4, 5, 7, 8, 9}));
  const std::vector<bool> refined = {true, true, false, false, false, false};
  const std::vector<double> coarse = {0.0, 0.0, 7.25, 3.0, 10.0, 12.0};
  for (std::size_t i = 0; i < 6; ++i) {
    const MemberResult& m = out[0].members[i];
    EXPECT_EQ(m.refined, refined[i]) << m.name;
    EXPECT_DOUBLE_EQ(m.coarse, coarse[i]) << m.name;  // as the clustering gave them
    EXPECT_NEAR(m.offset, j.verdict.position[i] + 0.0125, 1e-12) << m.name;
  }
  EXPECT_TRUE(anyContains(
      notes, "warning: cluster of ref: s, t, u did not correlate with the reference ref"));
  EXPECT_TRUE(anyContains(notes, "w could not be compared"));
  EXPECT_FALSE(anyContains(notes, "split off"));
}

// Two events joined into one cluster, as one false landmark pair does, plus an
// unrelated recording and a short one too far out to be compared with anything
// placed: refinement splits the events and keeps the short one.
class ToolSplitRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const uint32_t rate = 8000;
    const std::vector<float> a = velktest::eventSignal(41, 21.0, rate);
    const std::vector<float> b = velktest::eventSignal(42, 21.0, rate);
    auto cut = [&](const std::vector<float>& scene, double from, double seconds, float gain) {
      std::vector<float> out(scene.begin() + static_cast<std::ptrdiff_t>(from * rate),
                             scene.begin() + static_cast<std::ptrdiff_t>((from + seconds) * rate));
      for (float& v : out) v *= gain;
      return out;
    };
    velktest::writeWav16(dir_.file("a1.wav"), cut(a, 0.0, 14.0, 0.9f), rate);
    velktest::writeWav16(dir_.file("a2.wav"), cut(a, 4.0, 14.0, 0.6f), rate);
    velktest::writeWav16(dir_.file("b1.wav"), cut(b, 1.0, 14.0, 0.8f), rate);
    velktest::writeWav16(dir_.file("b2.wav"), cut(b, 7.0, 14.0, 0.7f), rate);
    velktest::writeWav16(dir_.file("u.wav"), velktest::eventSignal(43, 10.0, rate), rate);
    velktest::writeWav16(dir_.file("x.wav"), cut(a, 17.5, 3.0, 0.8f), rate);
    std::string error;
    ASSERT_TRUE(listFolder(dir_.path(), rate, listing_, error)) << error;
    ASSERT_EQ(listing_.recordings.size(), 6u);
    for (const Recording& r : listing_.recordings) byId_[r.id] = &r;
    // The landmark offsets: b1 and b2 wrongly placed against a1, u anywhere,
    // x where it belongs but overlapping a2 by half a second only.
    const double coarse[] = {0.0, 4.032, 3.0, 9.0, 2.0, 17.5};
    ClusterResult joined;
    for (const Recording& r : listing_.recordings)
      joined.members.push_back(member(r.id, r.name, coarse[r.id - 1], coarse[r.id - 1]));
    clusters_ = {joined};
  }

  std::vector<ClusterResult> refine(bool split) {
    RefineSettings settings;
    settings.splitUnverified = split;
    settings.threads = 2;
    const Reporter quiet(printLines, noProgress);
    std::vector<ClusterResult> c = clusters_;
    testing::internal::CaptureStderr();
    refineClusters(c, byId_, settings, {}, quiet);
    err_ = testing::internal::GetCapturedStderr();
    return c;
  }

  velktest::TempDir dir_;
  Listing listing_;
  std::map<int32_t, const Recording*> byId_;
  std::vector<ClusterResult> clusters_;
  std::string err_;
};

TEST_F(ToolSplitRun, SplitsJoinedEvents) {
  const std::vector<ClusterResult> out = refine(true);
  ASSERT_EQ(out.size(), 3u) << err_;
  EXPECT_EQ(idsOf(out[0]), (std::vector<int32_t>{1, 2, 6}));  // a1 a2 x
  EXPECT_EQ(idsOf(out[1]), (std::vector<int32_t>{3, 4}));     // b1 b2
  EXPECT_EQ(idsOf(out[2]), (std::vector<int32_t>{5}));        // u
  const auto& a = out[0].members;
  EXPECT_NEAR(a[1].offset, 4.0, 1e-4);
  EXPECT_TRUE(a[0].refined && a[1].refined);
  EXPECT_FALSE(a[2].refined);  // never compared: kept at its landmark offset
  EXPECT_DOUBLE_EQ(a[2].offset, 17.5);
  const auto& b = out[1].members;
  EXPECT_DOUBLE_EQ(b[0].offset, 0.0);
  EXPECT_NEAR(b[1].offset, 6.0, 1e-4);
  EXPECT_DOUBLE_EQ(b[0].coarse, 0.0);
  EXPECT_DOUBLE_EQ(b[1].coarse, 6.0);
  EXPECT_TRUE(b[0].refined && b[1].refined);
  EXPECT_DOUBLE_EQ(out[2].members[0].offset, 0.0);
  EXPECT_FALSE(out[2].members[0].refined);
  EXPECT_NE(err_.find("note: cluster of a1: split off b1, b2 (they match each other"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("note: cluster of a1: split off u alone"), std::string::npos) << err_;
  EXPECT_NE(err_.find("warning: cluster of a1: x could not be compared"), std::string::npos)
      << err_;
}

TEST_F(ToolSplitRun, OnlyAComputedCorrelationCountsAsEvidence) {
  const RefineSettings settings;
  const Recording& a1 = *byId_.at(1);
  const PairRefinement same = refinePair(a1, *byId_.at(2), 4.032, settings);
  EXPECT_TRUE(same.measured && same.refined);
  EXPECT_NEAR(same.lagSeconds, 4.0, 1e-4);
  const PairRefinement other = refinePair(a1, *byId_.at(3), 3.0, settings);
  EXPECT_TRUE(other.measured);
  EXPECT_FALSE(other.refined);
  EXPECT_LT(other.score, settings.minScore);
  // Half a second in common: not tried at all.
  EXPECT_FALSE(refinePair(*byId_.at(2), *byId_.at(6), 13.5, settings).measured);
  // A silent stretch says nothing about belonging.
  velktest::writeWav16(dir_.file("silent.wav"), std::vector<float>(8000 * 10, 0.0f), 8000);
  Recording silent = a1;
  silent.path = dir_.file("silent.wav");
  silent.durationSeconds = 10.0;
  const PairRefinement quiet = refinePair(a1, silent, 1.0, settings);
  EXPECT_TRUE(quiet.warning.empty()) << quiet.warning;
  EXPECT_FALSE(quiet.measured);
}

TEST_F(ToolSplitRun, KeepUnverifiedKeepsTheClusterWhole) {
  const std::vector<ClusterResult> out = refine(false);
  ASSERT_EQ(out.size(), 1u);
  const auto& m = out[0].members;
  ASSERT_EQ(m.size(), 6u);
  EXPECT_NEAR(m[1].offset - m[0].offset, 4.0, 1e-4);
  EXPECT_TRUE(m[0].refined && m[1].refined);
  for (std::size_t i = 2; i < 6; ++i) EXPECT_FALSE(m[i].refined) << m[i].name;
  // The strays keep the landmark frame; b1 and b2 are still exact among themselves.
  EXPECT_NEAR(m[2].offset - m[0].offset, 3.0, 1e-9);
  EXPECT_NEAR(m[3].offset - m[2].offset, 6.0, 1e-4);
  EXPECT_NEAR(m[4].offset - m[0].offset, 2.0, 1e-9);
  EXPECT_NE(err_.find("b1, b2, u did not correlate with the reference a1"), std::string::npos)
      << err_;
  EXPECT_EQ(err_.find("split off"), std::string::npos);
}

// A device whose clock runs ppm parts per million slow against the scene's: its
// sample at time t holds the scene at start + t x (1 + ppm / 10^6). Windowed-sinc
// interpolation, so the only error is the drift itself.
std::vector<float> driftingDevice(const std::vector<float>& scene, double startSeconds,
                                  double seconds, double ppm, uint32_t rate) {
  const int half = 16;
  std::vector<float> out(static_cast<std::size_t>(seconds * rate));
  for (std::size_t n = 0; n < out.size(); ++n) {
    const double at = (startSeconds + static_cast<double>(n) / rate * (1.0 + ppm * 1e-6)) * rate;
    const long base = static_cast<long>(std::floor(at));
    const double frac = at - static_cast<double>(base);
    if (frac == 0.0) {
      out[n] = static_cast<float>(0.9 * scene[static_cast<std::size_t>(base)]);
      continue;
    }
    // sin(pi (frac + j)) alternates in sign with j, so one sine serves every tap.
    const double s = std::sin(M_PI * frac) / M_PI;
    double acc = 0;
    for (long j = -half + 1; j <= half; ++j) {
      const long k = base - j;
      if (k < 0 || k >= static_cast<long>(scene.size())) continue;
      const double x = frac + static_cast<double>(j);
      const double window = 0.5 + 0.5 * std::cos(M_PI * x / half);
      acc += scene[static_cast<std::size_t>(k)] * ((j & 1) ? -s : s) / x * window;
    }
    out[n] = static_cast<float>(0.9 * acc);
  }
  return out;
}

// Over a long overlap the lag is measured near both ends as well: a clock that
// runs slow is seen as drift, and the offset is that of the first samples, not
// of the middle (where 80 ppm would put it 6 ms off).
TEST(ToolRefine, DriftAlongALongOverlapIsMeasuredAndTheStartsCompared) {
  velktest::TempDir dir;
  const uint32_t rate = 8000;
  const std::vector<float> scene = velktest::eventSignal(21, 200.0, rate);
  auto recording = [&](const std::string& name, const std::vector<float>& samples) {
    Recording r;
    r.path = dir.file(name + ".wav");
    r.name = name;
    r.fileName = name + ".wav";
    velktest::writeWav16(r.path, samples, rate);
    r.wavReadable = true;
    r.sampleRate = rate;
    r.channels = 1;
    r.durationSeconds = static_cast<double>(samples.size()) / rate;
    return r;
  };
  const Recording anchor =
      recording("anchor", std::vector<float>(scene.begin(), scene.begin() + 180 * rate));
  const double start = 20.3;  // the member starts 20.3 s into the anchor
  RefineSettings settings;
  for (double ppm : {80.0, -150.0, 0.0}) {
    SCOPED_TRACE(ppm);
    const Recording member = recording("member", driftingDevice(scene, start, 150.0, ppm, rate));
    // The landmark offset: the middle's lag, give or take a hop.
    const double coarse = start + ppm * 1e-6 * 75.0 + 0.012;
    const PairRefinement r = refinePair(anchor, member, coarse, settings);
    ASSERT_TRUE(r.refined);
    ASSERT_TRUE(r.driftMeasured);
    EXPECT_NEAR(r.driftPpm, ppm, 3.0);
    EXPECT_NEAR(r.lagSeconds, start, ppm == 0.0 ? 0.0001 : 0.001);
  }
  // A minute and a half still shows it; a few seconds are too short to tell.
  const Recording shorter = recording("shorter", driftingDevice(scene, start, 90.0, 80.0, rate));
  PairRefinement r = refinePair(anchor, shorter, start + 0.004, settings);
  ASSERT_TRUE(r.driftMeasured);
  EXPECT_NEAR(r.driftPpm, 80.0, 5.0);
  EXPECT_NEAR(r.lagSeconds, start, 0.001);
  const Recording shortest = recording("shortest", driftingDevice(scene, start, 4.0, 80.0, rate));
  r = refinePair(anchor, shortest, start + 0.004, settings);
  ASSERT_TRUE(r.refined);
  EXPECT_FALSE(r.driftMeasured);
  EXPECT_NEAR(r.lagSeconds, start, 0.001);
}

// Recordings written from sample vectors and refined as one joined cluster; the
// coarse offsets stand in for the landmark ones.
class RefineWalk : public ::testing::Test {
 protected:
  static constexpr uint32_t kRate = 8000;

  void add(const std::string& name, const std::vector<float>& samples, double coarse) {
    Recording r;
    r.id = static_cast<int32_t>(recordings_.size()) + 1;
    r.name = name;
    r.path = dir_.file(name + ".wav");
    if (!samples.empty()) velktest::writeWav16(r.path, samples, kRate);
    r.wavReadable = true;
    r.sampleRate = kRate;
    r.channels = 1;
    r.durationSeconds = samples.empty() ? 12.0 : static_cast<double>(samples.size()) / kRate;
    recordings_.push_back(r);
    MemberResult m = member(r.id, name, coarse, coarse);
    m.path = r.path;
    cluster_.members.push_back(m);
  }

  std::vector<ClusterResult> refine(const RefineSettings& settings, const PeakTable& peaks = {}) {
    std::map<int32_t, const Recording*> byId;
    for (const Recording& r : recordings_) byId[r.id] = &r;
    std::vector<ClusterResult> c = {cluster_};
    const Reporter quiet(printLines, noProgress);
    testing::internal::CaptureStderr();
    refineClusters(c, byId, settings, peaks, quiet);
    err_ = testing::internal::GetCapturedStderr();
    return c;
  }

  static std::vector<float> slice(const std::vector<float>& s, double from, double seconds) {
    return std::vector<float>(s.begin() + static_cast<std::ptrdiff_t>(from * kRate),
                              s.begin() + static_cast<std::ptrdiff_t>((from + seconds) * kRate));
  }

  velktest::TempDir dir_;
  std::vector<Recording> recordings_;
  ClusterResult cluster_;
  std::string err_;
};

// c shares nothing with the reference a, so it is placed through b; its drift
// against b is combined with b's against a.
TEST_F(RefineWalk, ChainsOffsetAndDriftThroughAPlacedMember) {
  struct Case {
    double ppmB, ppmC;
  };
  for (const Case k : {Case{150.0, 90.0}, Case{-200.0, -140.0}}) {
    SCOPED_TRACE(testing::Message() << k.ppmB << " / " << k.ppmC);
    recordings_.clear();
    cluster_ = ClusterResult();
    const std::vector<float> scene = velktest::eventSignal(61, 115.0, kRate);
    add("a", slice(scene, 0.0, 60.0), 0.0);
    add("b", driftingDevice(scene, 30.0, 60.0, k.ppmB, kRate), 30.01);
    add("c", driftingDevice(scene, 62.0, 50.0, k.ppmC, kRate), 62.015);
    RefineSettings settings;
    settings.maxWindowSeconds = 15.0;
    settings.minDriftSpanSeconds = 20.0;
    const std::vector<ClusterResult> out = refine(settings);
    ASSERT_EQ(out.size(), 1u) << err_;
    const auto& m = out[0].members;
    EXPECT_NEAR(m[1].offset, 30.0, 0.002);
    // c's lag is measured on b's clock, which b's drift puts back on a's.
    EXPECT_NEAR(m[2].offset, 62.0, 0.002);
    EXPECT_EQ(m[2].anchor, m[1].id);
    ASSERT_TRUE(m[1].driftKnown && m[2].driftKnown) << err_;
    EXPECT_NEAR(m[1].driftPpm, k.ppmB, 10.0);
    EXPECT_NEAR(m[2].driftPpm, k.ppmC, 10.0);
  }
}

// b1 and b2 (another event, joined by a false pair) share no time, so each is a
// stray group of its own until b3, which overlaps both, merges them; b2's
// landmark offset is 20 ms off, which the merge must correct, not double.
TEST_F(RefineWalk, AMemberJoinsTwoStrayGroups) {
  const std::vector<float> other = velktest::eventSignal(72, 26.0, kRate);
  add("a", velktest::eventSignal(71, 30.0, kRate), 0.0);
  add("b1", slice(other, 0.0, 10.0), 2.0);
  add("b2", slice(other, 14.0, 10.0), 16.02);
  add("b3", slice(other, 5.0, 14.0), 7.0);
  const std::vector<ClusterResult> out = refine(RefineSettings());
  ASSERT_EQ(out.size(), 2u) << err_;
  EXPECT_EQ(idsOf(out[1]), (std::vector<int32_t>{2, 3, 4}));
  const auto& b = out[1].members;
  EXPECT_DOUBLE_EQ(b[0].offset, 0.0);
  EXPECT_NEAR(b[1].offset, 14.0, 1e-4);
  EXPECT_NEAR(b[2].offset, 5.0, 1e-4);
  EXPECT_TRUE(b[0].refined && b[1].refined && b[2].refined);
  EXPECT_NE(err_.find("split off b1, b2, b3 (they match each other"), std::string::npos) << err_;
}

// A member that cannot be read is tried against the reference and then against
// placed members, best overlap first, but at most kMaxAnchorTries times in all.
TEST_F(RefineWalk, TriesPerMemberAreCapped) {
  const std::vector<float> scene = velktest::eventSignal(81, 12.0, kRate);
  for (std::size_t placed : {std::size_t{3}, kMaxAnchorTries + 2}) {
    SCOPED_TRACE(placed);
    recordings_.clear();
    cluster_ = ClusterResult();
    for (std::size_t i = 0; i < placed; ++i) add("a" + std::to_string(i), scene, 0.0);
    add("unreadable", {}, 0.5);
    refine(RefineSettings());
    const std::string tried = "cannot refine " + recordings_.back().path;
    std::size_t count = 0;
    for (std::size_t at = err_.find(tried); at != std::string::npos; at = err_.find(tried, at + 1))
      ++count;
    EXPECT_EQ(count, std::min(placed, kMaxAnchorTries)) << err_;
  }
}

// Overlaps that agree on one part only. A song played at two events (a and b,
// joined by the landmarks through it) and its studio file s: b and s overlap a
// only where the song is, so neither may join a. A recording paused for 20 s
// (p, whose landmarks peak at both lags) is placed by its first part and
// reported in two.
TEST_F(RefineWalk, APartialOverlapIsSharedMaterialOrAPause) {
  struct Case {
    const char* name;
    bool paused;
    std::vector<std::vector<int32_t>> clusters;
  };
  for (const Case& k :
       {Case{"shared song", false, {{1}, {2}, {3}}}, Case{"paused", true, {{1, 2}}}}) {
    SCOPED_TRACE(k.name);
    recordings_.clear();
    cluster_ = ClusterResult();
    const std::vector<float> scene = velktest::eventSignal(91, 120.0, kRate);
    PeakTable peaks;
    if (k.paused) {
      std::vector<float> p = slice(scene, 20.0, 40.0);
      const std::vector<float> after = slice(scene, 80.0, 40.0);
      p.insert(p.end(), after.begin(), after.end());
      add("a", scene, 0.0);
      add("p", p, 20.0);
      peaks[{1, 2}] = {20.0, 40.0};
    } else {
      const std::vector<float> song = velktest::eventSignal(93, 40.0, kRate);
      std::vector<float> a = scene, b = velktest::eventSignal(92, 110.0, kRate);
      for (std::size_t i = 0; i < song.size(); ++i) {
        a[40 * kRate + i] = 0.3f * a[40 * kRate + i] + song[i];
        b[35 * kRate + i] = 0.3f * b[35 * kRate + i] + song[i];
      }
      add("a", a, 0.0);
      add("b", b, 5.0);
      add("s", song, 40.0);
    }
    const std::vector<ClusterResult> out = refine(RefineSettings(), peaks);
    std::vector<std::vector<int32_t>> ids;
    for (const ClusterResult& c : out) ids.push_back(idsOf(c));
    EXPECT_EQ(ids, k.clusters) << err_;
    if (!k.paused || out.size() != 1) continue;
    const MemberResult& p = out[0].members[1];
    EXPECT_NEAR(p.offset, 20.0, 0.001);
    ASSERT_EQ(p.parts.size(), 2u) << err_;
    EXPECT_NEAR(p.parts[1].gapSeconds, 20.0, 0.001);
    EXPECT_NEAR(p.parts[1].fileSeconds, 40.0, 10.0);
  }
}

}  // namespace
