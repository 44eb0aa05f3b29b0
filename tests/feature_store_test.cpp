// The feature store: a run that reads recordings from it gives the result and
// messages of a run that extracts everything, and only new or changed files
// are extracted (counted by the designed STARTING: lines).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cluster/match_tuning.h"
#include "engine/incremental.h"
#include "engine/second_look.h"
#include "test_support.h"
#include "velk/sync.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRate = 8000;

std::vector<float> slice(const std::vector<float>& event, double from, double seconds) {
  return velktest::slice(event, kRate, from, seconds);
}

// Everything a run reports, floats exactly, and its warnings and notes but the
// store's own.
struct Outcome {
  std::string result;
  std::vector<std::string> messages;
  int extracted = 0;
  std::string storeNote;
  bool pairsReused = false;  // the store's pair results stood in for matching stored pairs
};

Outcome run(const std::string& folder, Velk::SyncSettings settings) {
  Velk::Listing listing;
  std::string error;
  EXPECT_TRUE(Velk::listFolder(folder, kRate, listing, error)) << error;
  Velk::Synchronizer sync(settings);
  Outcome out;
  // The designed lines of clusters come in the order of their addresses: only
  // the result's order is fixed.
  sync.setMessageHandler([&out](const Velk::SyncMessage& m) {
    if (m.kind == Velk::MessageKind::Designed)
      out.extracted += m.text.rfind("STARTING: ", 0) == 0 ? 1 : 0;
    else if (m.text.rfind("feature store: ", 0) == 0)
      out.storeNote = m.text;
    else if (m.text.rfind("the feature store's pair results were used", 0) == 0)
      out.pairsReused = true;
    else if (m.text.find("feature store") == std::string::npos)  // not that it was emptied
      out.messages.push_back(m.text);
  });
  const Velk::SyncResult r = sync.run(listing.recordings);
  std::ostringstream s;
  s << std::hexfloat << "limit " << r.maxLandmarks << '\n';
  for (const Velk::Recording& x : r.recordings)
    s << x.id << ' ' << x.path << ' ' << x.durationSeconds << " ch " << x.channel << '\n';
  for (const Velk::ClusterResult& c : r.clusters) {
    s << "cluster\n";
    for (const Velk::MemberResult& m : c.members)
      s << m.id << ' ' << m.coarse << ' ' << m.offset << ' ' << m.refined << ' ' << m.score << ' '
        << m.agreement << ' ' << m.anchor << ' ' << m.driftKnown << ' ' << m.driftPpm << ' '
        << m.landmarks << ' ' << m.splitOff << '\n';
  }
  out.result = s.str();
  return out;
}

struct Step {
  const char* what;
  std::function<void(Velk::SyncSettings&)> change;
  int extracted;
  const char* storeNote;
  bool pairsReused;
};

TEST(FeatureStore, OnlyNewOrChangedFilesAreExtractedAndResultsStayTheSame) {
  if (!Velk::featureStoreAvailable()) GTEST_SKIP() << "built without SQLite";
  velktest::TempDir dir("velk-store");
  const std::string folder = dir.file("set");
  fs::create_directory(folder);
  const std::vector<float> event = velktest::eventSignal(3, 60.0, kRate);
  for (int k = 0; k < 3; ++k)
    velktest::writeWav16(folder + "/dev" + std::to_string(k) + ".wav", slice(event, 8.0 * k, 30.0),
                         kRate);
  velktest::writeWav16(folder + "/other.wav", velktest::eventSignal(9, 25.0, kRate), kRate);
  // Another rate and the event on channel 2: the facts the store keeps besides
  // landmarks (duration of a resampled file, the channel and its note).
  const std::vector<float> lav = slice(event, 12.0, 30.0);
  std::vector<float> stereo;
  for (std::size_t i = 0; i < lav.size(); ++i)
    for (int twice = 0; twice < 2; ++twice) stereo.insert(stereo.end(), {0.0f, lav[i]});
  velktest::writeWav16(folder + "/lav.wav", stereo, 2 * kRate, 2);

  const Step steps[] = {
      {"a new store", nullptr, 5, "feature store: 0 recordings read, 5 extracted", false},
      {"nothing changed", nullptr, 0, "feature store: 5 recordings read, 0 extracted", true},
      {"a file touched",
       [&](Velk::SyncSettings&) {
         fs::last_write_time(folder + "/dev1.wav",
                             fs::last_write_time(folder + "/dev1.wav") - std::chrono::hours(5));
       },
       0, "feature store: 5 recordings read, 0 extracted", true},
      {"a file replaced by another of its size",
       [&](Velk::SyncSettings&) {
         velktest::writeWav16(folder + "/dev2.wav", slice(event, 20.0, 30.0), kRate);
       },
       1, "feature store: 4 recordings read, 1 extracted", true},
      {"a file removed", [&](Velk::SyncSettings&) { fs::remove(folder + "/other.wav"); }, 0,
       "feature store: 4 recordings read, 0 extracted, 1 no longer on disk forgotten", true},
      {"a device added",
       [&](Velk::SyncSettings&) {
         velktest::writeWav16(folder + "/dev3.wav", slice(event, 4.0, 30.0), kRate);
       },
       1, "feature store: 4 recordings read, 1 extracted", true},
      {"other extraction settings", [&](Velk::SyncSettings& s) { s.extract.dbThreshold = -55.0f; },
       5, "feature store: 0 recordings read, 5 extracted", false},
      // Hashes cross the limit: the stored pairs holding them are matched again.
      {"a popular-hash limit of 4",
       [&](Velk::SyncSettings& s) {
         s.corpusLimit = false;
         s.clusterSync.setMaxLandmarks(4);
       },
       0, "feature store: 5 recordings read, 0 extracted", false},
      {"then of 2", [&](Velk::SyncSettings& s) { s.clusterSync.setMaxLandmarks(2); }, 0,
       "feature store: 5 recordings read, 0 extracted", true},
  };
  Velk::SyncSettings settings;
  settings.threads = 2;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.change) step.change(settings);
    Velk::SyncSettings stored = settings;
    stored.storePath = dir.file("archive.db");
    const Outcome plain = run(folder, settings);
    const Outcome read = run(folder, stored);
    EXPECT_EQ(read.extracted, step.extracted);
    EXPECT_EQ(read.storeNote, step.storeNote);
    EXPECT_EQ(read.pairsReused, step.pairsReused);
    EXPECT_EQ(read.result, plain.result);
    EXPECT_EQ(read.messages, plain.messages);
  }
}

// Runs large enough for the candidate stage (forced here from one pair): a
// re-run screens only new recordings and keeps every stored candidate's
// outcome unless a hash it holds crossed the popular-hash limit; each step's
// outcomes must be those of a fresh run on a new store. Recordings are
// handmade: a landmark a frame, of an event's hashes from frame `from` on;
// `popular` landmarks more of one hash (kept at the limit of 300 by A and B).
struct ArchiveRec {
  const char* name;
  uint32_t event;  // 0: its own material
  int32_t from, frames, popular;
};

struct ArchiveStep {
  const char* name;
  std::vector<ArchiveRec> recordings;  // in the folder, by name
  bool reused;                         // the stored pair results stood in
};

struct ArchiveCase {
  const char* name;
  std::vector<ArchiveStep> steps;
};

class ScreenedArchive : public ::testing::TestWithParam<ArchiveCase> {};

constexpr uint32_t kPopularHash = 7;

std::unique_ptr<Velk::VkFile> handmade(const ArchiveRec& r, int32_t id) {
  auto f = std::make_unique<Velk::VkFile>(id);
  uint32_t seed = r.event != 0 ? r.event : static_cast<uint32_t>(std::hash<std::string>()(r.name));
  for (int32_t t = 0; t < r.frames; ++t) {
    uint32_t h = (seed ^ static_cast<uint32_t>(r.from + t) * 0x9e3779b1u) * 0x85ebca6bu;
    f->addLandmark(t, (h ^ (h >> 13)) & 0x3fffffffu);
  }
  for (int32_t k = 0; k < r.popular; ++k) f->addLandmark(k * r.frames / r.popular, kPopularHash);
  return f;
}

struct ArchiveRun {
  std::string outcomes;  // every outcome handed on, floats exactly, sorted
  std::string note;      // the store's
  int accepted = 0;
};

ArchiveRun clusterArchive(const std::string& dbPath, const std::string& folder,
                          const std::vector<ArchiveRec>& recs) {
  std::string note, error;
  auto store =
      Velk::FeatureStore::open(dbPath, Velk::VkExtractParams(), Velk::kAutoChannel, note, error);
  EXPECT_TRUE(store) << error;
  Velk::VkFileSet files;
  int32_t id = 0;
  for (const ArchiveRec& r : recs) {
    Velk::Recording rec;
    rec.id = ++id;
    rec.path = folder + "/" + r.name + ".wav";
    if (!fs::exists(rec.path))
      velktest::writeWav16(rec.path, {0.01f * static_cast<float>(id)}, kRate);
    Velk::FileStamp stamp;
    Velk::ExtractionFacts facts;
    std::unique_ptr<Velk::VkFile> file;
    if (store->find(rec, stamp)) file = store->load(rec, stamp, facts);
    if (!file) {
      file = handmade(r, id);
      EXPECT_TRUE(store->save(stamp, *file, facts, error)) << error;
    }
    files.idToPath[id] = stamp.path;
    files.addFile(file.release());
  }
  Velk::VkClusterSyncParams params{Velk::VkExtractParams()};
  params.setMaxLandmarks(300);
  std::vector<std::string> outcomes;
  ArchiveRun out;
  Velk::deleteClusters(Velk::clusterWithStore(
      params, true, files, *store, nullptr,
      [&](const Velk::PairOutcome& o) {
        std::ostringstream s;
        Velk::VkPairStats st = o.stats;
        s << std::hexfloat << st.idA << '-' << st.idB << ' ' << o.accepted << o.candidate << ' '
          << st.peakCount << ' ' << st.peakOffset << ' ' << st.histogramMean << ' '
          << st.histogramStdDev << ' ' << st.matchFractionA << ' ' << o.lags.size();
        outcomes.push_back(s.str());
        out.accepted += o.accepted ? 1 : 0;
      },
      out.note, 2, 1));
  std::sort(outcomes.begin(), outcomes.end());
  for (const std::string& o : outcomes) out.outcomes += o + '\n';
  return out;
}

TEST_P(ScreenedArchive, ReRunsGiveTheOutcomesOfAFreshRun) {
  if (!Velk::featureStoreAvailable()) GTEST_SKIP() << "built without SQLite";
  velktest::TempDir dir("velk-screened");
  const std::string folder = dir.file("set");
  fs::create_directory(folder);
  int step = 0;
  for (const ArchiveStep& s : GetParam().steps) {
    SCOPED_TRACE(s.name);
    for (const auto& e : fs::directory_iterator(folder)) {
      const std::string stem = e.path().stem().string();
      if (std::none_of(s.recordings.begin(), s.recordings.end(),
                       [&](const ArchiveRec& r) { return stem == r.name; }))
        fs::remove(e.path());
    }
    const auto kept = clusterArchive(dir.file("archive.db"), folder, s.recordings);
    const auto fresh =
        clusterArchive(dir.file("fresh" + std::to_string(step++) + ".db"), folder, s.recordings);
    EXPECT_EQ(kept.note.rfind("the feature store's pair results were used", 0) == 0, s.reused)
        << kept.note;
    EXPECT_EQ(kept.outcomes, fresh.outcomes);
    EXPECT_GT(fresh.accepted, 0);
  }
}

const ArchiveRec kA{"a", 1, 0, 4000, 150}, kB{"b", 1, 700, 4000, 150}, kU{"u", 0, 0, 3000, 0},
    kV{"v", 0, 0, 3500, 0}, kC{"c", 1, 1400, 4000, 0}, kEarly{"0", 0, 0, 2000, 0},
    kHolder{"h", 0, 0, 3000, 1}, kD{"d", 2, 0, 4000, 0}, kE{"e", 2, 900, 4000, 0};

INSTANTIATE_TEST_SUITE_P(
    Steps, ScreenedArchive,
    ::testing::Values(
        ArchiveCase{"additions and removals",
                    {{"the first run", {kA, kB, kU, kV}, false},
                     // The unrelated one comes first and has no partner: the new
                     // device must still be screened against every stored one.
                     {"an unrelated recording and a device of the event added",
                      {kEarly, kA, kB, kC, kU, kV},
                      true},
                     // The popular hash passes the limit: A and B lose its votes.
                     {"a recording holding the popular hash added",
                      {kEarly, kA, kB, kC, kHolder, kU, kV},
                      true},
                     {"it is removed: the hash votes again", {kEarly, kA, kB, kC, kU, kV}, true},
                     {"a new event of two devices, one added and one stored removed",
                      {kEarly, kA, kB, kD, kE, kU, kV},
                      false}}},
        ArchiveCase{"two events",
                    {{"the first run", {kA, kB, kD, kU}, false},
                     {"a device of each added", {kA, kB, kC, kD, kE, kU}, true},
                     {"a device of the first removed", {kA, kC, kD, kE, kU}, true}}}),
    velktest::ByName());

// A re-run skips a stored pair without an outcome when losing votes cannot
// give it one. A 600-s A and a 300-s B, a landmark per frame (31.25 per
// second); votes by offset of B's start after A's, each spanning A's times
// from the offset on.
struct BoundCase {
  const char* name;
  std::vector<std::pair<int32_t, uint32_t>> votes;  // offset in frames, votes
  int32_t span;                                     // frames of A's times at each offset
  bool secondLook;
  bool near;
};

class NearPairs : public ::testing::TestWithParam<BoundCase> {};

TEST_P(NearPairs, APairThatCouldGainAnOutcomeIsNear) {
  const BoundCase& c = GetParam();
  Velk::VkFileSet files;
  for (int32_t id : {1, 2}) {
    auto f = std::make_unique<Velk::VkFile>(id);
    for (int32_t t = 0; t < (id == 1 ? 18750 : 9375); ++t) f->addLandmark(t, 1);
    files.addFile(f.release());
  }
  files.computeCLFs();
  Velk::VkOffsetHistogram h;
  for (const auto& [offset, count] : c.votes) h.push_back({offset, count, offset, offset + c.span});
  const Velk::VkClusterFormer former{Velk::VkClusterSyncParams(Velk::VkExtractParams())};
  // Whether the pair has an outcome as it is, by the rules a run applies.
  Velk::VkPairStats s;
  s.idA = 1;
  s.idB = 2;
  Velk::measurePair(s, &files, &h);
  bool outcome = former.accepts(s);
  if (c.secondLook) {
    std::vector<Velk::RejectedPair> candidates;
    Velk::considerRejected(s, h, former.framesPerSecond, files, candidates);
    Velk::PeakTable peaks;
    Velk::notePeaks(s, h, former.framesPerSecond, peaks);
    outcome = outcome || !candidates.empty() || !peaks.empty();
  }
  const bool near = Velk::mayGainOutcome(former, &files, {1, 2}, h, c.secondLook);
  EXPECT_EQ(near, c.near);
  EXPECT_TRUE(near || !outcome) << "a pair with an outcome must be near";
}

std::vector<std::pair<int32_t, uint32_t>> strays(int32_t from, int count, uint32_t votes) {
  std::vector<std::pair<int32_t, uint32_t>> out;
  for (int k = 0; k < count; ++k) out.emplace_back(from + k, votes);
  return out;
}

std::vector<std::pair<int32_t, uint32_t>> with(std::vector<std::pair<int32_t, uint32_t>> a,
                                               const std::vector<std::pair<int32_t, uint32_t>>& b) {
  a.insert(a.end(), b.begin(), b.end());
  std::sort(a.begin(), a.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NearPairs,
    ::testing::Values(
        // 24 s of overlap at 18000: the acceptance threshold (5) is the bar.
        BoundCase{"accepted at the threshold", {{18000, 5}}, 200, false, true},
        BoundCase{"a vote short of it", {{18000, 4}}, 200, false, false},
        BoundCase{"votes over less than the template of 3 s", {{18000, 9}}, 80, false, false},
        // Full overlap at 4000 (9375 landmarks of B): a match of 0.25% is 24 votes.
        BoundCase{"below the match fraction", {{4000, 23}}, 2000, false, false},
        BoundCase{"at the match fraction", {{4000, 24}}, 2000, false, true},
        // Rejected by the spread of stray votes, which a re-run may take away.
        BoundCase{"held back by strays", with({{18000, 6}}, strays(17000, 100, 2)), 200, false,
                  true},
        BoundCase{"a candidate of 8 votes in three frames",
                  {{18000, 3}, {18001, 3}, {18002, 2}},
                  0,
                  true,
                  true},
        BoundCase{"two peaks of 8 votes in five frames two seconds apart",
                  with(strays(100, 5, 2), strays(163, 5, 2)) /* 6 in any three frames */, 0, true,
                  true},
        BoundCase{"7 votes in five frames",
                  {{18000, 2}, {18001, 1}, {18002, 2}, {18003, 1}, {18004, 1}},
                  0,
                  true,
                  false}),
    velktest::ByName());

}  // namespace
