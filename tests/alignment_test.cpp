// Refinement of clusters: the split of members that do not correlate, drift
// measured along an overlap, placement and drift chained through placed
// members, stray groups joined, and the cap on tries per member.
#include "engine/alignment.h"

#include <gtest/gtest.h>

#include <array>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "engine/overlap.h"
#include "engine/reporter.h"
#include "engine/second_look.h"
#include "test_support.h"

namespace {

using namespace Velk;

MemberResult member(int32_t id, const std::string& name, double coarse) {
  MemberResult m;
  m.id = id, m.name = name, m.coarse = m.offset = coarse;
  return m;
}

std::vector<int32_t> idsOf(const ClusterResult& c) {
  std::vector<int32_t> ids;
  for (const MemberResult& m : c.members) ids.push_back(m.id);
  return ids;
}

// The lines as the tool writes them, one string.
std::string prefixed(const std::vector<SyncMessage>& messages) {
  std::string lines;
  for (const SyncMessage& m : messages)
    lines += (m.kind == MessageKind::Warning ? "warning: " : "note: ") + m.text + "\n";
  return lines;
}

// Cluster {p(2) ref(4) s(5) t(7) u(8) w(9)}: p placed 12.5 ms before the
// reference, s and u correlate only with each other, t with nothing, w never
// compared.
TEST(AlignmentSettle, StrayGroupsBecomeClustersOrStayUnrefined) {
  ClusterResult cluster;
  cluster.members = {member(2, "p", 0.0), member(4, "ref", 0.0), member(5, "s", 7.25),
                     member(7, "t", 3.0), member(8, "u", 10.0),  member(9, "w", 12.0)};
  ClusterVerdict verdict;
  verdict.reference = 1;
  verdict.group = {0, 0, 1, 2, 1, -1};
  verdict.position = {-0.0125, 0.0, 7.25, 3.0, 7.25 + 2.7381, 12.0};

  std::vector<SyncMessage> messages;
  std::vector<ClusterResult> out = settleCluster(cluster, verdict, true, messages);
  std::string notes = prefixed(messages);
  ASSERT_EQ(out.size(), 3u);
  // By smallest id; the never-compared member stays with the reference; each
  // cluster's earliest member (not the reference) at 0, coarse offsets re-based too.
  const struct {
    int32_t id;
    double offset, coarse;
    bool refined;
  } want[] = {{2, 0.0, 0.0, true}, {4, 0.0125, 0.0, true},  {9, 12.0125, 12.0, false},
              {5, 0.0, 0.0, true}, {8, 2.7381, 2.75, true}, {7, 0.0, 0.0, false}};
  std::size_t k = 0;
  for (const ClusterResult& c : out)
    for (const MemberResult& m : c.members) {
      ASSERT_LT(k, 6u);
      EXPECT_EQ(m.id, want[k].id);
      EXPECT_NEAR(m.offset, want[k].offset, 1e-12) << m.name;
      EXPECT_DOUBLE_EQ(m.coarse, want[k].coarse) << m.name;
      EXPECT_EQ(m.refined, want[k++].refined) << m.name;
    }
  EXPECT_EQ(messages.size(), 3u) << notes;
  EXPECT_TRUE(
      velktest::contains(notes, "note: cluster of ref: split off s, u (they match each other"));
  EXPECT_TRUE(velktest::contains(notes, "note: cluster of ref: split off t alone"));
  EXPECT_TRUE(velktest::contains(notes, "warning: cluster of ref: w could not be compared"));

  messages.clear();
  out = settleCluster(cluster, verdict, false, messages);
  notes = prefixed(messages);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(idsOf(out[0]), (std::vector<int32_t>{2, 4, 5, 7, 8, 9}));
  for (std::size_t i = 0; i < 6; ++i) {
    const MemberResult& m = out[0].members[i];
    EXPECT_EQ(m.refined, i < 2) << m.name;
    EXPECT_DOUBLE_EQ(m.coarse, cluster.members[i].coarse) << m.name;  // as the clustering gave them
    EXPECT_NEAR(m.offset, verdict.position[i] + 0.0125, 1e-12) << m.name;
  }
  EXPECT_TRUE(velktest::contains(
      notes, "warning: cluster of ref: s, t, u did not correlate with the reference ref"));
  EXPECT_FALSE(velktest::contains(notes, "split off"));
}

// A second look joins a cluster through one member, the bridge: what the
// waveform placed with it moves along; a member still at its landmark offset
// stays behind, for its own pair to place.
TEST(SecondLookJoin, OnlyMembersPlacedWithTheBridgeMove) {
  struct Case {
    const char* name;
    int32_t bridge;
    std::vector<std::vector<int32_t>> clusters;
    std::vector<double> offsets;  // in cluster order
  };
  for (const Case& k :
       {Case{"through a placed member", 3, {{1, 2, 3}, {4}}, {0, 5, 10, 0}},
        Case{"through one at its landmark offset", 4, {{1, 4}, {2, 3}}, {0, 10, 0, 5}}}) {
    SCOPED_TRACE(k.name);
    ClusterResult x, y;
    x.reference = 1, y.reference = 2;
    x.members = {member(1, "x", 0.0)};
    y.members = {member(2, "y", 0.0), member(3, "z", 5.0), member(4, "u", 40.0)};
    y.members[0].refined = y.members[1].refined = true;
    std::vector<ClusterResult> clusters{x, y};
    OverlapFit fit;
    fit.confirmed = true, fit.windows = fit.agreeing = 4, fit.lagSeconds = 10.0;
    RejectedPair pair;
    pair.idA = 1, pair.idB = k.bridge, pair.lagSeconds = 10.0;
    joinFitted(clusters, {pair}, {fit}, Reporter([](const SyncMessage&) {}, ProgressHandler()));
    std::vector<std::vector<int32_t>> ids;
    std::vector<double> offsets;
    for (const ClusterResult& c : clusters) {
      ids.push_back(idsOf(c));
      for (const MemberResult& m : c.members) offsets.push_back(m.offset);
    }
    EXPECT_EQ(ids, k.clusters);
    EXPECT_EQ(offsets, k.offsets);
  }
}

// Recordings written from sample vectors and refined as one joined cluster; the
// coarse offsets stand in for the landmark ones.
class RefineWalk : public ::testing::Test {
 protected:
  static constexpr uint32_t kRate = 8000;

  const Recording& add(const std::string& name, const std::vector<float>& samples, double coarse) {
    Recording r;
    r.id = static_cast<int32_t>(recordings_.size()) + 1;
    r.name = name, r.path = dir_.file(name + ".wav");
    if (!samples.empty()) velktest::writeWav16(r.path, samples, kRate);
    r.wavReadable = true, r.sampleRate = kRate, r.channels = 1;
    r.durationSeconds = samples.empty() ? 12.0 : static_cast<double>(samples.size()) / kRate;
    recordings_.push_back(r);
    cluster_.members.push_back(member(r.id, name, coarse));
    cluster_.members.back().path = r.path;
    return recordings_.back();
  }

  std::vector<ClusterResult> refine(RefineSettings settings = RefineSettings(),
                                    const PeakTable& peaks = {}) {
    std::map<int32_t, const Recording*> byId;
    for (const Recording& r : recordings_) byId[r.id] = &r;
    std::vector<ClusterResult> c = {cluster_};
    const MessageHandler print = [](const SyncMessage& m) {
      std::cerr << (m.kind == MessageKind::Warning ? "warning: " : "note: ") << m.text << "\n";
    };
    const ProgressHandler none;
    const Reporter quiet(print, none);
    settings.threads = 2;
    testing::internal::CaptureStderr();
    refineClusters(c, byId, settings, peaks, quiet);
    err_ = testing::internal::GetCapturedStderr();
    return c;
  }

  static std::vector<float> slice(const std::vector<float>& s, double from, double seconds) {
    return velktest::slice(s, kRate, from, seconds);
  }

  // A scene loud from..to seconds only, quiet times as loud elsewhere.
  static std::vector<float> loudOnly(double seconds, double from, double to, float quiet) {
    std::vector<float> scene = velktest::eventSignal(23, seconds, kRate);
    for (std::size_t i = 0; i < scene.size(); ++i) {
      const double t = static_cast<double>(i) / kRate;
      scene[i] *= (t > from && t < to) ? 1.0f : quiet;
    }
    return scene;
  }

  velktest::TempDir dir_;
  std::vector<Recording> recordings_;
  ClusterResult cluster_;
  std::string err_;
};

// Two events joined into one cluster, as one false landmark pair does, plus an
// unrelated recording and a short one too far out to be compared with anything
// placed: refinement splits the events and keeps the short one.
TEST_F(RefineWalk, SplitsJoinedEventsOrKeepsThemUnrefined) {
  recordings_.reserve(8);
  const std::vector<float> a = velktest::eventSignal(41, 21.0, kRate);
  const std::vector<float> b = velktest::eventSignal(42, 21.0, kRate);
  add("a1", slice(a, 0.0, 14.0), 0.0);
  add("a2", slice(a, 4.0, 14.0), 4.032);
  add("b1", slice(b, 1.0, 14.0), 3.0);  // b1 and b2 wrongly placed against a1
  add("b2", slice(b, 7.0, 14.0), 9.0);
  add("u", velktest::eventSignal(43, 10.0, kRate), 2.0);
  add("x", slice(a, 17.5, 3.0), 17.5);  // overlaps a2 by half a second only

  std::vector<ClusterResult> out = refine();
  ASSERT_EQ(out.size(), 3u) << err_;
  EXPECT_EQ(idsOf(out[0]), (std::vector<int32_t>{1, 2, 6}));
  EXPECT_EQ(idsOf(out[1]), (std::vector<int32_t>{3, 4}));
  EXPECT_EQ(idsOf(out[2]), (std::vector<int32_t>{5}));
  const auto& m = out[0].members;
  EXPECT_NEAR(m[1].offset, 4.0, 1e-4);
  EXPECT_TRUE(m[0].refined && m[1].refined);
  EXPECT_FALSE(m[2].refined);  // never compared: kept at its landmark offset
  EXPECT_DOUBLE_EQ(m[2].offset, 17.5);
  EXPECT_NEAR(out[1].members[1].offset, 6.0, 1e-4);
  EXPECT_DOUBLE_EQ(out[1].members[1].coarse, 6.0);
  EXPECT_TRUE(out[1].members[0].refined && out[1].members[1].refined);
  EXPECT_FALSE(out[2].members[0].refined);
  // Only a computed correlation counts as evidence: not one of half a second,
  // nor one of a silent stretch.
  const RefineSettings settings;
  const PairRefinement other = refinePair(recordings_[0], recordings_[2], 3.0, settings);
  EXPECT_TRUE(other.measured);
  EXPECT_FALSE(other.refined);
  EXPECT_LT(other.score, settings.minScore);
  EXPECT_FALSE(refinePair(recordings_[1], recordings_[5], 13.5, settings).measured);
  const Recording& silent = add("silent", std::vector<float>(kRate * 10, 0.0f), 1.0);
  const PairRefinement quiet = refinePair(recordings_[0], silent, 1.0, settings);
  EXPECT_TRUE(quiet.warning.empty()) << quiet.warning;
  EXPECT_FALSE(quiet.measured);
}

// Over a long overlap the lag is measured near both ends as well: a clock that
// runs slow is seen as drift, and the offset is that of the first samples, not
// of the middle (where 80 ppm would put it 6 ms off). A minute and a half still
// shows it; a few seconds are too short to tell.
TEST_F(RefineWalk, DriftAlongALongOverlapIsMeasuredAndTheStartsCompared) {
  recordings_.reserve(8);
  const std::vector<float> scene = velktest::eventSignal(21, 200.0, kRate);
  const Recording& anchor = add("anchor", slice(scene, 0.0, 180.0), 0.0);
  const double start = 20.3;  // the member starts 20.3 s into the anchor
  const struct {
    double ppm, seconds, tolerance;
    bool drift;
    double snrDb = 99.0;
  } rows[] = {
      {80.0, 150.0, 3.0, true}, {-150.0, 150.0, 3.0, true},       {0.0, 150.0, 3.0, true},
      {80.0, 90.0, 5.0, true},  {10.0, 30.0, 2.0, true},  // 0.3 ms from end to end: worth telling
      {80.0, 4.0, 0.0, false},  {1000.0, 150.0, 3.0, true, -14.0}};  // in noise, its 30-s middle
                                                                     // blurred by 30 ms fails
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.ppm << " ppm over " << r.seconds << " s");
    std::vector<float> view = velktest::deviceView(scene, start, r.seconds, r.ppm, kRate);
    if (r.snrDb < 99.0) velktest::addNoise(view, r.snrDb, 5);
    const Recording& m = add("m" + std::to_string(recordings_.size()), view, 0.0);
    // The landmark offset: the middle's lag, give or take a hop.
    const double coarse = start + r.ppm * 1e-6 * r.seconds / 2 + 0.012;
    const PairRefinement p = refinePair(anchor, m, coarse, RefineSettings());
    ASSERT_TRUE(p.refined);
    ASSERT_EQ(p.driftMeasured, r.drift);
    if (r.drift) {
      EXPECT_NEAR(p.driftPpm, r.ppm, r.tolerance);
    }
    EXPECT_NEAR(p.lagSeconds, start, r.ppm == 0.0 ? 0.0001 : 0.001);
  }
}

// A short overlap loud only in part. Each long stretch's lag is that of its
// loudest part, so long stretches alone squeeze the line towards it (half the
// drift in the first rows): short stretches and the member on the anchor's
// clock tell it. Deep in noise and loud for 3 s, 300 ppm blur all long
// stretches but that one, and short ones searched as widely as the coarse lag
// needs pass nowhere: short ones searched narrowly around it guide the drift
// (the blurred stretches alone read about 175 ppm and confirm nothing), and
// the long ones, on the guide's clock, read it again to a ppm.
TEST_F(RefineWalk, DriftOfAShortOverlapLoudInPart) {
  const struct {
    double seconds, from, to;
    float quiet;
    double overlap, ppm, snrDb;
  } rows[] = {{60.0, 16.0, 24.0, 0.15f, 28.0, 30.0, 99.0},
              {60.0, 16.0, 24.0, 0.15f, 28.0, -40.0, 99.0},
              {70.0, 24.0, 27.0, 0.1f, 42.0, 300.0, -12.0},
              {70.0, 24.0, 27.0, 0.1f, 42.0, -300.0, -12.0}};
  recordings_.reserve(2 * std::size(rows));
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.ppm << " ppm at " << r.snrDb << " dB");
    std::vector<float> scene = velktest::eventSignal(23, r.seconds, kRate);
    for (std::size_t i = 0; i < scene.size(); ++i) {
      const double t = static_cast<double>(i) / kRate;
      scene[i] *= (t > r.from && t < r.to) ? 1.0f : r.quiet;
    }
    const Recording& anchor =
        add("a" + std::to_string(recordings_.size()), slice(scene, 0.0, 8.0 + r.overlap), 0.0);
    std::vector<float> view = velktest::deviceView(scene, 8.0, r.seconds - 9.0, r.ppm, kRate);
    if (r.snrDb < 99.0) velktest::addNoise(view, r.snrDb, 5);
    const Recording& m = add("m" + std::to_string(recordings_.size()), view, 0.0);
    const PairRefinement p =
        refinePair(anchor, m, 8.0 + r.ppm * 1e-6 * r.overlap / 2, RefineSettings());
    ASSERT_TRUE(p.driftMeasured);
    EXPECT_NEAR(p.driftPpm, r.ppm, 2.0);
    EXPECT_NEAR(p.lagSeconds, 8.0, 0.0002);
  }
}

// b1 and b2 (another event, joined by a false pair) share no time, so each is
// a stray group of its own until b3, which overlaps both, first joins b1's group
// and then brings b2's into it. Offsets and drifts are on b1's clock, composed
// through b3; ignoring either clock would put b2 10 ms off or lose its drift.
TEST_F(RefineWalk, SplitOffGroupsKeepTheirDrift) {
  struct Case {
    double ppmB3, ppmB2;
  };
  for (const Case k : {Case{-200.0, 0.0}, Case{0.0, 300.0}, Case{150.0, -250.0}}) {
    SCOPED_TRACE(testing::Message() << k.ppmB3 << " / " << k.ppmB2);
    recordings_.clear();
    cluster_ = ClusterResult();
    const std::vector<float> other = velktest::eventSignal(73, 95.0, kRate);
    add("a", velktest::eventSignal(74, 100.0, kRate), 0.0);
    add("b1", slice(other, 0.0, 40.0), 2.0);
    add("b2", velktest::deviceView(other, 50.0, 40.0, k.ppmB2, kRate), 52.01);
    add("b3", velktest::deviceView(other, 20.0, 50.0, k.ppmB3, kRate), 22.0);
    const std::vector<ClusterResult> out = refine(RefineSettings());
    ASSERT_EQ(out.size(), 2u) << err_;
    ASSERT_EQ(idsOf(out[1]), (std::vector<int32_t>{2, 3, 4}));
    EXPECT_EQ(out[1].reference, 2);
    const auto& b = out[1].members;
    EXPECT_FALSE(b[0].driftKnown);
    const double start[] = {0.0, 50.0, 20.0}, ppm[] = {0.0, k.ppmB2, k.ppmB3};
    for (std::size_t i = 1; i < 3; ++i) {
      EXPECT_NEAR(b[i].offset, start[i], 0.002) << b[i].name;
      // A steady clock over 20 s shows no drift to measure.
      if (ppm[i] != 0.0) {
        EXPECT_TRUE(b[i].driftKnown) << b[i].name;
      }
      if (b[i].driftKnown) {
        EXPECT_NEAR(b[i].driftPpm, ppm[i], 10.0) << b[i].name;
      }
    }
  }
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
    refine();
    const std::string tried = "cannot refine " + recordings_.back().path;
    std::size_t count = 0;
    for (std::size_t at = err_.find(tried); at != std::string::npos; at = err_.find(tried, at + 1))
      ++count;
    EXPECT_EQ(count, std::min(placed, kMaxAnchorTries)) << err_;
  }
}

// A stray is tried against at most kMaxAnchorTries others, best overlap first:
// s8 would match s7, but s7 overlaps it least and comes seventh.
TEST_F(RefineWalk, TriesPerStrayAreCapped) {
  const std::vector<float> shared = velktest::eventSignal(90, 14.0, kRate);
  add("a", velktest::eventSignal(91, 14.0, kRate), 0.0);
  for (uint32_t i = 1; i <= 6; ++i)
    add("s" + std::to_string(i), velktest::eventSignal(91 + i, 10.0, kRate), 0.5);
  add("s7", slice(shared, 4.0, 10.0), 4.5);
  add("s8", slice(shared, 0.0, 10.0), 0.5);
  const std::vector<ClusterResult> out = refine();
  EXPECT_EQ(out.size(), 9u) << err_;
  EXPECT_TRUE(velktest::contains(err_, "split off s8 alone")) << err_;
}

// Overlaps that agree on one part only. A song played at two events (a and b,
// joined by the landmarks through it) and its studio file s: b and s overlap a
// only where the song is, so neither may join a. A recording paused for 20 s
// (p, whose landmarks peak at both lags) is placed by its first part and
// reported in two, also when its first part lies inside the shared song: its
// second part, a pause later, is its own.
TEST_F(RefineWalk, APartialOverlapIsSharedMaterialOrAPause) {
  enum Scene {
    kSong,
    kPaused,
    kEcho,               // part of p's later part lies on its earlier part's line
    kPhrase,             // the song repeats a phrase: a second lag agrees here and there
    kEdges,              // two of the other event overlap little beyond the song
    kInSong,             // p paused inside the shared song
    kSongEnd,            // b shares the song with a on all but the overlap's end
    kSongFirst,          // b1, met first, overlaps a on the song alone; b2 beyond it
    kPausedInSong,       // p, of a's event, paused in the song, past a's end
    kPausedInSongParts,  // the same, and p's parts found against a too
    kPausedRunsOn,       // the same, but a hears p's own 15 s past the song
    kQuietEnds,          // the song fades in and out: short stretches miss its ends
    kPausedPastSong,     // p's second part lies past the song, its landmarks not the reference's
    kPausedFirst,        // p, paused, starts first: a spans its pause, c lies after it
    kMostlyLoop,         // m is mostly a loop a plays three times; its landmarks chose a repeat
    kPastReference,      // p paused after the reference a ends; b covers the rest
    kStraySong,          // a, s and b strays (r is of neither event): s meets a first
  };
  struct Case {
    const char* name;
    Scene scene;
    std::vector<std::vector<int32_t>> clusters;
  };
  for (const Case& k :
       {Case{"shared song", kSong, {{1}, {2}, {3}}}, Case{"paused", kPaused, {{1, 2}}},
        Case{"paused, an echo of its first part in its second", kEcho, {{1, 2}}},
        Case{"a song's phrase repeats", kPhrase, {{1}, {2}}},
        Case{"the song's edges found", kEdges, {{1}, {2, 3}}},
        Case{"paused in a shared song", kInSong, {{1, 3}, {2}}},
        Case{"the overlap is the song but its end", kSongEnd, {{1}, {2}}},
        Case{"the other event's first recording holds only the song", kSongFirst, {{1}, {2, 3}}},
        Case{"paused in the song past the end of a", kPausedInSong, {{1}, {2}, {3}}},
        Case{"the same, its parts found against a", kPausedInSongParts, {{1}, {2}, {3}}},
        Case{"the same, and a hears it on past the song", kPausedRunsOn, {{1, 3}, {2}}},
        Case{"a studio file whose song fades in and out", kQuietEnds, {{1}, {2}, {3}}},
        Case{"paused, its second part past the song", kPausedPastSong, {{1, 2, 4}, {3}}},
        Case{"the paused recording is the reference", kPausedFirst, {{1, 2, 3}}},
        Case{"mostly a loop, placed at another repeat", kMostlyLoop, {{1, 2}}},
        Case{"paused past the reference's end", kPastReference, {{1, 2, 3}}},
        Case{"strays: the studio file meets its song's first event first",
             kStraySong,
             {{1}, {2}, {3}, {4}}}}) {
    SCOPED_TRACE(k.name);
    recordings_.clear();
    recordings_.reserve(4);
    cluster_ = ClusterResult();
    const std::vector<float> scene = velktest::eventSignal(91, 120.0, kRate);
    PeakTable peaks;
    // A scene of its own (seed) with the song played over it from second at on.
    // A recording of x paused: its seconds from a on for n, then from b on for m.
    const auto paused = [](const std::vector<float>& x, double a, double n, double b, double m) {
      std::vector<float> p = slice(x, a, n);
      const std::vector<float> after = slice(x, b, m);
      p.insert(p.end(), after.begin(), after.end());
      return p;
    };
    const auto withSong = [](uint32_t seed, double seconds, std::size_t at,
                             const std::vector<float>& song) {
      std::vector<float> x = velktest::eventSignal(seed, seconds, kRate);
      for (std::size_t i = 0; i < song.size(); ++i)
        x[at * kRate + i] = 0.3f * x[at * kRate + i] + song[i];
      return x;
    };
    if (k.scene == kInSong) {
      // The song from 20 to 100 s of a; p holds 25-85 and 125-150.
      const std::vector<float> song = velktest::eventSignal(93, 80.0, kRate);
      const std::vector<float> a = withSong(91, 160.0, 20, song);
      const std::vector<float> b = withSong(92, 110.0, 10, song);
      std::vector<float> p = paused(a, 25.0, 60.0, 125.0, 25.0);
      add("a", a, 0.0);
      add("b", b, 10.0);
      add("p", p, 25.0);
      peaks[{1, 3}] = {25.0, 65.0};
    } else if (k.scene == kEdges) {
      // The song in a from 40 s and in B from 35 s. b1 (B from 0 s) and a
      // agree on 37.5-72.5 s of B and not at 30 or 80, so the song may reach
      // that far; b2 (B from 33 s to 87 s) agrees with a along all but its
      // end, too little of its own to place it there. Found to end at 75 s, the
      // song leaves b1 and b2 12 s of their own to tell they are one event.
      const std::vector<float> song = velktest::eventSignal(93, 40.0, kRate);
      const std::vector<float> a = withSong(91, 120.0, 40, song);
      const std::vector<float> b = withSong(92, 110.0, 35, song);
      add("a", a, 0.0);
      add("b1", b, 5.0);
      add("b2", slice(b, 33.0, 54.0), 38.0);
    } else if (k.scene == kSongEnd) {
      const std::vector<float> song = velktest::eventSignal(93, 40.0, kRate);
      add("a", withSong(91, 120.0, 40, song), 0.0);
      add("b", withSong(92, 50.0, 0, song), 40.0);
    } else if (k.scene == kSongFirst) {
      // a ends 30 s into the song, which b1 (B from 37 s) starts within.
      const std::vector<float> song = velktest::eventSignal(93, 40.0, kRate);
      const std::vector<float> b = withSong(92, 110.0, 35, song);
      add("a", slice(withSong(91, 120.0, 40, song), 0.0, 70.0), 0.0);
      add("b1", slice(b, 37.0, 60.0), 42.0);
      add("b2", slice(b, 0.0, 100.0), 5.0);
    } else if (k.scene == kPausedInSong || k.scene == kPausedInSongParts ||
               k.scene == kPausedRunsOn) {
      // The song from 40 s of A (a ends at 122 s) and 30 s of B. p holds A's
      // 45-75 s and 95-135 s: against b, both parts are song, its own 15 s not.
      const std::vector<float> song = velktest::eventSignal(93, 80.0, kRate);
      const std::vector<float> a = withSong(91, 150.0, 40, song);
      std::vector<float> p = paused(a, 45.0, 30.0, 95.0, 40.0);
      add("a", k.scene == kPausedRunsOn ? a : slice(a, 0.0, 122.0), 0.0);
      add("b", withSong(92, 160.0, 30, song), 10.0);
      add("p", p, 45.0);
      peaks[{2, 3}] = {35.0, 55.0};
      if (k.scene != kPausedInSong) peaks[{1, 3}] = {45.0, 65.0};
    } else if (k.scene == kPausedPastSong) {
      // The song from 40 to 120 s of A, and in c (of B) from 30 s. p holds
      // A's 50-80 s and 120-150 s; whole, at its first part's lag, it would
      // lie in the song. Only b's landmarks peak at both of p's parts.
      const std::vector<float> song = velktest::eventSignal(93, 80.0, kRate);
      const std::vector<float> a = withSong(91, 160.0, 40, song);
      std::vector<float> p = paused(a, 50.0, 30.0, 120.0, 30.0);
      add("a", a, 0.0);
      add("b", slice(a, 45.0, 115.0), 45.0);
      add("c", withSong(92, 120.0, 30, song), 10.0);
      add("p", p, 50.0);
      peaks[{2, 4}] = {5.0, 45.0};
    } else if (k.scene == kPhrase) {
      // Three copies of X (6 s) 25 s apart, in a from 30 s and in b from 25 s:
      // at the lag 25 s further each copy fills one stretch of b alone.
      const std::vector<float> x = velktest::eventSignal(94, 6.0, kRate);
      std::vector<float> song;
      for (uint32_t s = 0; s < 4; ++s) {
        const double seconds = s == 0 ? 27.0 : s == 3 ? 7.0 : 19.0;
        const std::vector<float> other = velktest::eventSignal(95 + s, seconds, kRate);
        song.insert(song.end(), other.begin(), other.end());
        if (s < 3) song.insert(song.end(), x.begin(), x.end());
      }
      const std::vector<float> a = withSong(91, 140.0, 30, song);
      const std::vector<float> b = withSong(92, 120.0, 25, song);
      add("a", a, 0.0);
      add("b", b, 5.0);
      peaks[{1, 2}] = {5.0, 30.0};
    } else if (k.scene == kPausedFirst) {
      // The scene from 20 s on, p paused from 50 to 90 s: a (from 30 s)
      // meets it in parts, its middle in the pause; c (from 95 s) only after it.
      add("a", slice(scene, 30.0, 90.0), 10.0);
      add("p", paused(scene, 20.0, 30.0, 90.0, 30.0), 0.0);
      add("c", slice(scene, 95.0, 25.0), 35.0);
      peaks[{1, 2}] = {-10.0, 30.0};
    } else if (k.scene == kPastReference) {
      // a holds 0-62 s, p 30-60 and 80-120 s, b 10-130 s.
      const std::vector<float> longer = velktest::eventSignal(91, 130.0, kRate);
      add("a", slice(longer, 0.0, 62.0), 0.0);
      add("p", paused(longer, 30.0, 30.0, 80.0, 40.0), 30.0);
      add("b", slice(longer, 10.0, 120.0), 10.0);
      peaks[{2, 3}] = {-20.0, -40.0};
    } else if (k.scene == kMostlyLoop) {
      // X (20 s) at 30, 60 and 90 s of a; m holds 55-90 s, X's second time.
      std::vector<float> a = velktest::eventSignal(91, 140.0, kRate);
      const std::vector<float> x = velktest::eventSignal(94, 20.0, kRate);
      for (std::size_t at : {30, 60, 90}) std::copy(x.begin(), x.end(), a.begin() + at * kRate);
      add("a", a, 0.0);
      add("m", slice(a, 55.0, 35.0), 85.0);
      peaks[{1, 2}] = {85.0, 55.0, 25.0};
    } else if (k.scene == kPaused || k.scene == kEcho) {
      std::vector<float> p = paused(scene, 20.0, 40.0, 80.0, 40.0);
      if (k.scene == kEcho) {
        const std::vector<float> echo = slice(scene, 83.0, 7.0);
        std::copy(echo.begin(), echo.end(), p.begin() + 63 * kRate);
      }
      add("a", scene, 0.0);
      add("p", p, 20.0);
      peaks[{1, 2}] = {20.0, 40.0};
    } else {
      // Faded over 12 s, more than a stretch's length beyond what short
      // stretches find of the song: only b tells that it is the song too.
      std::vector<float> song =
          velktest::eventSignal(93, k.scene == kQuietEnds ? 50.0 : 40.0, kRate);
      if (k.scene == kQuietEnds)
        for (std::size_t i = 0; i < 12 * kRate; ++i)
          song[i] *= 0.02f, song[song.size() - 1 - i] *= 0.02f;
      const std::vector<float> a = withSong(91, 120.0, 40, song);
      const std::vector<float> b = withSong(92, 110.0, 35, song);
      const double shift = k.scene == kStraySong ? 5.0 : 0.0;
      if (k.scene == kStraySong) add("r", velktest::eventSignal(96, 150.0, kRate), 0.0);
      add("a", a, shift);
      if (k.scene == kStraySong) add("s", song, 40.0 + shift);
      add("b", b, 5.0 + shift);
      if (k.scene != kStraySong) add("s", song, 40.0);
    }
    const std::vector<ClusterResult> out = refine(RefineSettings(), peaks);
    std::vector<std::vector<int32_t>> ids;
    for (const ClusterResult& c : out) ids.push_back(idsOf(c));
    EXPECT_EQ(ids, k.clusters) << err_;
    // Found in parts on the song alone, p is left alone and said to be.
    EXPECT_EQ(err_.find("p agrees with a in 2 parts") != std::string::npos,
              k.scene == kPausedInSongParts)
        << err_;
    if (k.scene == kMostlyLoop && ids == k.clusters) {
      EXPECT_NEAR(out[0].members[1].offset, 55.0, 0.001);
    }
    const bool inParts = k.scene == kPaused || k.scene == kEcho || k.scene == kInSong ||
                         k.scene == kPausedRunsOn || k.scene == kPausedFirst ||
                         k.scene == kPastReference;
    if (!inParts || ids != k.clusters) continue;
    const MemberResult& p = out[0].members[1];
    // offset, pause, file second of the cut
    const std::map<Scene, std::array<double, 3>> placed{
        {kPaused, {20, 20, 40}},       {kEcho, {20, 20, 40}},       {kInSong, {25, 40, 60}},
        {kPausedRunsOn, {45, 20, 30}}, {kPausedFirst, {0, 40, 30}}, {kPastReference, {30, 20, 30}}};
    const std::array<double, 3>& at = placed.at(k.scene);
    EXPECT_NEAR(p.offset, at[0], 0.001);
    ASSERT_EQ(p.parts.size(), 2u) << err_;
    EXPECT_NEAR(p.parts[1].gapSeconds, at[1], 0.001);
    EXPECT_NEAR(p.parts[1].fileSeconds, at[2], 0.01);
    if (k.scene != kPausedFirst) continue;
    // The timeline runs on through p's pause: a and c are an unbroken scene's seconds after p.
    EXPECT_NEAR(out[0].members[0].offset, 10.0, 0.001);
    EXPECT_NEAR(out[0].members[2].offset, 75.0, 0.001);
  }
}

}  // namespace
