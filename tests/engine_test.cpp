// The engine on recordings held in memory or in files: pairs the landmark test
// turns down (long recordings, short overlaps) are rescued by the waveform,
// drifting clocks are measured, placements through a drifting member compose,
// a stop ends a run, and one run opens each file once.

#include <algorithm>
#include <atomic>
#include <map>

#include "engine/kept_audio.h"
#include "engine/second_look.h"
#include "media/media_impl.h"
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

// One run opens each recording once: refinement reads the audio extraction
// kept, and gets the same samples, so the same offsets, as from the files.

// A stretch of scene (8 kHz) from start, at 8 kHz or 16 kHz.
std::vector<float> stretch(const std::vector<float>& scene, double start, double seconds,
                           bool doubled) {
  return velktest::deviceView(scene, start, seconds, 0.0, 8000, doubled ? 16000 : 8000);
}

TEST(EngineOnce, EachFileIsOpenedOnceAndRefinementReadsWhatItKept) {
  const std::vector<float> scene = velktest::eventSignal(5, 40.0, 8000);
  velktest::TempDir dir("velk-once");
  // An 8 kHz file read by the library's reader, a 16 kHz one through the
  // decoder, and a stereo one whose event is on channel 2 (all decoded, one kept).
  velktest::writeWav16(dir.file("a.wav"), stretch(scene, 0.0, 25.0, false), 8000);
  velktest::writeWav16(dir.file("b.wav"), stretch(scene, 3.3, 25.0, true), 16000);
  const std::vector<float> lav = stretch(scene, 7.1, 25.0, true);
  const std::vector<float> hum = velktest::eventSignal(9, 25.0, 16000);
  std::vector<float> stereo;
  for (std::size_t i = 0; i < lav.size(); ++i) {
    stereo.push_back(0.02f * hum[i]);
    stereo.push_back(lav[i]);
  }
  velktest::writeWav16(dir.file("c.wav"), stereo, 16000, 2);
  // Alone and faint: its level, which says why, is read without opening it again.
  std::vector<float> faint = velktest::eventSignal(11, 25.0, 8000);
  for (float& v : faint) v *= 0.0005f;
  velktest::writeWav16(dir.file("d.wav"), faint, 8000);

  struct Row {
    const char* name;
    uint64_t keptBytes;
    int leastOpens, mostOpens;  // of each file, during the run
  };
  const Row rows[] = {
      {"kept", uint64_t{1} << 30, 1, 1},
      {"nothing kept: stretches decoded again", 0, 2, 1000},
  };
  std::vector<Velk::MemberResult> first;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Velk::SyncSettings settings;
    settings.threads = 2;
    settings.keptAudioBytes = row.keptBytes;
    Velk::Listing listing;
    std::string error;
    ASSERT_TRUE(Velk::listFolder(dir.path(), 8000, listing, error)) << error;
    auto audio = std::make_shared<Velk::MemoryAudio>();
    audio->samples = stretch(scene, 5.0, 25.0, false);
    audio->sampleRate = 8000;
    listing.recordings.push_back(Velk::memoryRecording("m", audio));

    std::map<std::string, int> opens;
    Velk::detail::watchOpens([&opens](const std::string& path) { ++opens[path]; });
    const Velk::SyncResult result = Velk::Synchronizer(settings).run(listing.recordings);
    Velk::detail::watchOpens(nullptr);

    ASSERT_EQ(result.clusters.size(), 2u);
    EXPECT_EQ(result.clusters[1].members.at(0).alone.rfind("nearly silent (level -", 0), 0u)
        << result.clusters[1].members.at(0).alone;
    const std::vector<Velk::MemberResult>& members = result.clusters[0].members;
    ASSERT_EQ(members.size(), 4u);
    EXPECT_TRUE(members[0].alone.empty());
    EXPECT_EQ(opens.size(), 4u);  // the memory recording is never opened
    for (const char* name : {"a.wav", "b.wav", "c.wav", "d.wav"}) {
      EXPECT_GE(opens[dir.file(name)], row.leastOpens) << name;
      EXPECT_LE(opens[dir.file(name)], row.mostOpens) << name;
    }
    if (first.empty()) first = members;
    for (std::size_t i = 0; i < members.size(); ++i) {
      EXPECT_TRUE(members[i].refined) << members[i].name;
      EXPECT_EQ(members[i].offset, first[i].offset) << members[i].name;
      EXPECT_EQ(members[i].driftPpm, first[i].driftPpm) << members[i].name;
      EXPECT_EQ(members[i].score, first[i].score) << members[i].name;
    }
  }
}

// Kept audio is stored in 16 bits while that is exact; the first value that
// is not turns the track to floats, the values before it converted exactly.
TEST(EngineOnce, KeptAudioTurnsToFloatsAtTheFirstInexactValue) {
  std::vector<float> values;  // stereo frames; channel 1 is kept
  for (int i = 0; i < 601000; ++i)
    values.insert(values.end(), {-1.0f, i < 600000 ? static_cast<float>(i % 65536 - 32768) / 32768
                                                   : 0.3f + 1e-7f * static_cast<float>(i)});
  Velk::AudioKeeper keeper(uint64_t{1} << 30);
  std::unique_ptr<Velk::KeptTrack> track = keeper.track(1000);
  for (std::size_t at = 0; at < values.size() / 2; at += 4096)
    ASSERT_TRUE(track->append(values.data() + 2 * at,
                              std::min<std::size_t>(4096, values.size() / 2 - at), 2, 1, 16000));
  const std::shared_ptr<const Velk::MemoryAudio> kept = track->finish();
  const Velk::SampleView view = kept->frames();
  EXPECT_EQ(view.type, Velk::SampleType::Float32);
  ASSERT_EQ(view.frames, values.size() / 2);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < view.frames; ++i) wrong += view.at(i, 0) != values[2 * i + 1];
  EXPECT_EQ(wrong, 0u);
}

}  // namespace
