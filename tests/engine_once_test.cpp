// One run opens each recording once: refinement reads the audio extraction
// kept, and gets the same samples, so the same offsets, as from the files.

#include <map>

#include "engine/kept_audio.h"
#include "media/media_impl.h"
#include "test_support.h"
#include "velk/sync.h"

namespace {

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
