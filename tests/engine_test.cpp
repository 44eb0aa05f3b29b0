// The engine on recordings held in memory: pairs the landmark test turns down
// (long recordings, short overlaps) are rescued by the waveform, drifting
// clocks are measured, and placements through a drifting member compose.

#include <algorithm>
#include <atomic>

#include "engine/second_look.h"
#include "test_support.h"
#include "velk/sync.h"

namespace {

constexpr uint32_t kRate = 8000;

// One device's view of the event: from true time start for length seconds,
// its clock running driftPpm fast, with its own faint noise.
std::shared_ptr<Velk::MemoryAudio> device(const std::vector<float>& event, double start,
                                          double length, double driftPpm, uint32_t seed) {
  auto audio = std::make_shared<Velk::MemoryAudio>();
  audio->sampleRate = kRate;
  audio->samples = velktest::deviceView(event, start, length, driftPpm, kRate);
  const std::vector<float> noise = velktest::eventSignal(seed, length, kRate);
  for (std::size_t k = 0; k < noise.size(); ++k) audio->samples[k] += 0.1f * noise[k];
  return audio;
}

struct Device {
  const char* name;
  double start, length, driftPpm;
};

struct ChainCase {
  const char* name;
  std::vector<Device> devices;  // of one event, the first is the earliest
  // The landmark test turns every pair down, so only the waveform can join them.
  bool landmarksRejectAll;
  // Whose clock the timeline follows ("": the earliest's; "other" is alone).
  std::string reference = "";
};

class EngineChain : public ::testing::TestWithParam<ChainCase> {};

TEST_P(EngineChain, ShortOverlapsAreJoinedAndPlacedOnTheFirstDevicesClock) {
  const ChainCase& c = GetParam();
  const std::vector<float> event = velktest::eventSignal(7, 960.0, kRate);
  std::vector<Velk::Recording> recordings;
  uint32_t seed = 100;
  for (const Device& d : c.devices)
    recordings.push_back(
        Velk::memoryRecording(d.name, device(event, d.start, d.length, d.driftPpm, ++seed)));
  recordings.push_back(Velk::memoryRecording(
      "other", device(velktest::eventSignal(99, 200.0, kRate), 0.0, 190.0, 0.0, 5)));

  Velk::SyncSettings settings;
  settings.threads = 2;
  if (c.landmarksRejectAll) settings.clusterSync.setAcceptThreshold(1u << 30);
  settings.reference = c.reference;
  Velk::Synchronizer sync(settings);
  std::vector<std::string> notes;
  sync.setMessageHandler([&notes](const Velk::SyncMessage& m) {
    if (m.kind == Velk::MessageKind::Note) notes.push_back(m.text);
  });
  const Velk::SyncResult result = sync.run(recordings);

  ASSERT_EQ(result.clusters.size(), 2u) << c.name;
  const Velk::ClusterResult& joined = result.clusters[0];
  ASSERT_EQ(joined.members.size(), c.devices.size()) << c.name;
  bool rescued = false;
  for (const std::string& n : notes) rescued = rescued || n.find("joined the clusters") == 0;
  EXPECT_EQ(rescued, c.landmarksRejectAll) << c.name;
  std::size_t r = 0;
  for (std::size_t i = 0; i < c.devices.size(); ++i)
    if (c.reference == c.devices[i].name) r = i;
  EXPECT_EQ(joined.reference, joined.members[r].id) << c.name;
  const double refRate = 1.0 + c.devices[r].driftPpm * 1e-6;
  for (std::size_t i = 0; i < c.devices.size(); ++i) {
    const Velk::MemberResult& m = joined.members[i];
    const Device& d = c.devices[i];
    // True time on the reference device's clock, which runs refRate fast.
    const double expected = (d.start - c.devices[r].start) / refRate;
    EXPECT_NEAR(m.offset, expected, 0.001) << c.name << ": " << m.name;
    EXPECT_TRUE(m.refined) << c.name << ": " << m.name;
    const double relative = ((1.0 + d.driftPpm * 1e-6) / refRate - 1.0) * 1e6;
    // Every clock that differs from the reference's was measured (the overlaps are long enough).
    if (i == r || relative != 0.0) {
      EXPECT_EQ(m.driftKnown, i != r) << c.name << ": " << m.name;
    }
    if (m.driftKnown) {
      EXPECT_NEAR(m.driftPpm, relative, 15.0) << c.name << ": " << m.name;
    }
  }
  const bool aloneNoted = std::any_of(notes.begin(), notes.end(), [](const std::string& n) {
    return n.find("the reference other matches no other recording") == 0;
  });
  EXPECT_EQ(aloneNoted, c.reference == "other") << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EngineChain,
    ::testing::Values(
        ChainCase{
            "steady clocks", {{"a", 0, 300, 0}, {"b", 285, 300, 0}, {"c", 560, 340, 0}}, false},
        // Placed through b: its 150 ppm over 275 s would put c 41 ms off if ignored.
        ChainCase{
            "a drifting link", {{"a", 0, 300, 0}, {"b", 285, 300, 150}, {"c", 560, 340, 0}}, false},
        ChainCase{"rescued fast and slow",
                  {{"a", 0, 300, 0}, {"b", 280, 320, -300}, {"c", 570, 300, 600}},
                  true},
        // On a chosen clock the others start before it and drift the other way.
        ChainCase{
            "b chosen", {{"a", 0, 300, 0}, {"b", 285, 300, 150}, {"c", 560, 340, 0}}, false, "b"},
        ChainCase{"alone chosen",
                  {{"a", 0, 300, 0}, {"b", 285, 300, 150}, {"c", 560, 340, 0}},
                  false,
                  "other"}),
    velktest::ByName());

// A stop asked for during a stage ends the run there with nothing but the
// flag, whichever stage it is; never asked, the run is whole.
class EngineStop : public ::testing::TestWithParam<const char*> {};

TEST_P(EngineStop, AStopEndsTheRunWithNothingButTheFlag) {
  const std::string stopIn = GetParam();
  const std::vector<float> event = velktest::eventSignal(3, 80.0, kRate);
  std::vector<Velk::Recording> recordings;
  for (int i = 0; i < 3; ++i)
    recordings.push_back(Velk::memoryRecording(
        "d" + std::to_string(i), device(event, 5.0 * i, 60.0, 0.0, 10 + static_cast<uint32_t>(i))));
  Velk::SyncSettings settings;
  settings.threads = 2;
  Velk::Synchronizer sync(settings);
  std::atomic<bool> stop{false};
  std::vector<std::string> stagesAfterStop;
  sync.setProgressHandler([&](const Velk::SyncProgress& p) {
    if (stop) stagesAfterStop.push_back(p.stage);
    if (p.stage == stopIn) stop = true;
  });
  sync.setStopCheck([&stop] { return stop.load(); });
  const Velk::SyncResult result = sync.run(recordings);

  const bool stopped = !stopIn.empty();
  EXPECT_EQ(result.stopped, stopped) << stopIn;
  EXPECT_EQ(result.clusters.empty(), stopped) << stopIn;
  EXPECT_EQ(result.recordings.empty(), stopped) << stopIn;
  for (const std::string& s : stagesAfterStop) EXPECT_EQ(s, stopIn) << "went on to " << s;
}

INSTANTIATE_TEST_SUITE_P(Stages, EngineStop, ::testing::Values("extracting", "refining", ""));

// Which pairs the landmark test turned down get a waveform check: a 600-s A
// and a 300-s B (frames of 32 ms), votes by offset of B's start after A's.
struct CandidateCase {
  const char* name;
  std::vector<std::pair<int32_t, uint32_t>> votes;  // offset in frames, votes
  bool kept;
  int32_t lagFrames;  // of the kept candidate
};

class SecondLookCandidates : public ::testing::TestWithParam<CandidateCase> {};

TEST_P(SecondLookCandidates, APeakIsJudgedByItsVotesPerSecondOfOverlap) {
  const CandidateCase& c = GetParam();
  Velk::VkPairStats stats;
  stats.idA = 1;
  stats.idB = 2;
  Velk::VkOffsetHistogram bins;
  for (const auto& [offset, count] : c.votes) bins.push_back({offset, count, 0, 0});
  std::vector<Velk::RejectedPair> out;
  Velk::considerRejected(stats, bins, 31.25f, 18750, 9375, out);
  ASSERT_EQ(out.size(), c.kept ? 1u : 0u) << c.name;
  if (c.kept) {
    EXPECT_DOUBLE_EQ(out[0].lagSeconds, c.lagFrames / 31.25) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecondLookCandidates,
    ::testing::Values(
        // 24 s of overlap at 18000 against strays where they overlap fully:
        // fewer votes in its fullest frame than the strays, but far more per
        // second, and its votes split over two frames.
        CandidateCase{
            "a short overlap", {{-300, 50}, {4000, 48}, {18000, 34}, {18001, 26}}, true, 18000},
        CandidateCase{
            "strays where they overlap most", {{-300, 50}, {4000, 40}, {9000, 24}}, false, 0},
        CandidateCase{"too few votes", {{18000, 4}, {18001, 3}}, false, 0}),
    velktest::ByName());

}  // namespace

namespace {

// A lavalier on input 2 of a recorder: automatic choice analyses it whether
// input 1 is silent or holds another scene, richer in landmarks, that matches
// nothing; the first channel alone does not find it.
struct ChannelCase {
  const char* name;
  std::vector<uint32_t> otherScene;  // seeds of the scene on input 1; none: silent
  const char* note;                  // how the note on the lavalier begins
};

class EngineChannels : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(EngineChannels, TheChannelThatCarriesTheEventIsAnalysed) {
  const ChannelCase& c = GetParam();
  const std::vector<float> event = velktest::eventSignal(7, 200.0, kRate);
  const auto mono = device(event, 30.0, 120.0, 0.0, 3);
  std::vector<float> other(mono->samples.size(), 0.0f);
  for (uint32_t seed : c.otherScene) {
    const std::vector<float> scene = velktest::eventSignal(seed, 120.0, kRate);
    for (std::size_t k = 0; k < other.size(); ++k) other[k] += scene[k];
  }
  auto stereo = std::make_shared<Velk::MemoryAudio>();
  stereo->sampleRate = kRate;
  stereo->channels = 2;
  for (std::size_t k = 0; k < other.size(); ++k)
    stereo->samples.insert(stereo->samples.end(), {other[k], mono->samples[k]});
  for (int channel : {Velk::kAutoChannel, 0}) {
    const std::vector<Velk::Recording> recordings = {
        Velk::memoryRecording("room", device(event, 0.0, 180.0, 0.0, 4)),
        Velk::memoryRecording("lavalier", stereo)};
    Velk::SyncSettings settings;
    settings.channel = channel;
    std::vector<std::string> notes;
    Velk::Synchronizer sync(settings);
    sync.setMessageHandler([&notes](const Velk::SyncMessage& m) { notes.push_back(m.text); });
    const Velk::SyncResult result = sync.run(recordings);
    if (channel == 0) {
      EXPECT_EQ(result.clusters.size(), 2u);
      continue;
    }
    ASSERT_EQ(result.clusters.size(), 1u);
    EXPECT_NEAR(result.clusters[0].members[1].offset, 30.0, 0.001);
    EXPECT_EQ(result.recordings[1].channel, 1);
    bool said = false;
    for (const std::string& n : notes)
      said = said || n.find(std::string("lavalier: channel 2 of 2 was analysed") + c.note) == 0;
    EXPECT_TRUE(said);
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, EngineChannels,
                         ::testing::Values(ChannelCase{"input_1_silent", {}, " ("},
                                           ChannelCase{
                                               "input_1_another_scene", {11, 12, 13}, ": "}),
                         velktest::ByName());

}  // namespace
