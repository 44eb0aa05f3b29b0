// The test-set simulator: its truth must be exact, since benchmarks score the
// library against it.

#include <cmath>

#include "simulate.h"
#include "test_support.h"
#include "velk/wavfile.h"

namespace {

// Mono samples of a file written by the simulator, through the library's reader.
std::vector<float> samples(const std::string& path) {
  Velk::wavfile_t wav(path, 1, 1, 16000);
  Velk::array<float> a(static_cast<int32_t>(wav.numSamples));
  wav.read_mono(a);
  return std::vector<float>(a.data, a.data + a.count());
}

}  // namespace

TEST(ClusterSimulate, TruthMatchesTheWrittenFiles) {
  velktest::TempDir dir("velk-sim");
  velksim::SetSettings cfg;
  cfg.events = 2, cfg.minDevices = 2, cfg.maxDevices = 3, cfg.unrelated = 2;
  cfg.minSeconds = 6, cfg.maxSeconds = 9, cfg.snrDb = 40, cfg.reverb = false, cfg.seed = 5;
  const velksim::Truth truth = velksim::generateSet(cfg, dir.path());
  ASSERT_EQ(truth.clusters.size(), 4u);
  EXPECT_EQ(truth.sampleRate, 8000u);

  std::set<std::string> names;  // every name once
  for (std::size_t c = 0; c < truth.clusters.size(); ++c) {
    const auto& recs = truth.clusters[c].recordings;
    ASSERT_EQ(recs.size() == 1, c >= 2);  // the unrelated ones are alone
    int64_t first = recs[0].startSample;
    for (const auto& r : recs) first = std::min(first, r.startSample);
    for (const auto& r : recs) {
      EXPECT_TRUE(names.insert(r.name).second) << r.name;
      // The file holds exactly the stated samples, at the stated rate, and the
      // offset is the sample start over the rate, exactly, from the earliest.
      Velk::wavfile_t wav(dir.file(r.name + ".wav"), 1, 1, 16000);
      EXPECT_EQ(wav.sampleRate, 8000u);
      EXPECT_EQ(static_cast<int64_t>(wav.numSamples), r.samples);
      EXPECT_EQ(r.offset, static_cast<double>(r.startSample - first) / 8000.0);
    }
  }

  // The stated offset is where the waveforms really line up (within a
  // millisecond: the devices' filters shift the phase a little).
  for (int c = 0; c < 2; ++c) {
    const auto& recs = truth.clusters[c].recordings;
    const auto x = samples(dir.file(recs[0].name + ".wav"));
    const auto y = samples(dir.file(recs[1].name + ".wav"));
    const long lag = static_cast<long>(recs[0].startSample - recs[1].startSample);
    const velktest::Lag best = velktest::bestLag(x, y, 0, x.size(), lag - 120, lag + 120);
    EXPECT_NEAR(best.samples, lag, 8) << "cluster " << c;
    EXPECT_GT(best.similarity, 0.5);
    // A recording of another event does not line up anywhere near as well.
    const auto z = samples(dir.file(truth.clusters[2].recordings[0].name + ".wav"));
    EXPECT_LT(std::fabs(velktest::bestLag(x, z, 0, x.size(), 0, 0).similarity), 0.2);
  }

  // The same description gives the same bytes.
  velktest::TempDir again("velk-sim");
  velksim::generateSet(cfg, again.path());
  const std::string probe = truth.clusters[0].recordings[0].name + ".wav";
  EXPECT_EQ(velktest::readBytes(dir.file(probe)), velktest::readBytes(again.file(probe)));
}

TEST(ClusterSimulate, TruthXmlAndScoring) {
  velksim::Truth truth;
  truth.sampleRate = 8000;
  truth.clusters = {{{{"a", 0.0, 0, 1}, {"b", 3.2, 25600, 1}, {"c", 1.000125, 8001, 1}}},
                    {{{"d&e", 0.0, 0, 1}}}};
  velktest::TempDir dir("velk-sim");
  velksim::writeTruthXml(truth, dir.file("truth.xml"));
  const std::string xml = velktest::slurp(dir.file("truth.xml"));
  EXPECT_TRUE(velktest::contains(xml, "<recording name=\"c\" offset=\"1.000125\"/>\n")) << xml;
  EXPECT_TRUE(velktest::contains(xml, "<cluster><recording name=\"d&amp;e\"/></cluster>")) << xml;

  // Found: {a, b} with b 10 ms late, {c, d&e}; "x" is not in the truth.
  const velksim::Score s = velksim::scoreClusters(
      truth, {{{"b", 13.21}, {"a", 10.0}}, {{"c", 0.0}, {"d&e", 5.0}}, {{"x", 0.0}}});
  EXPECT_EQ(s.truePairs, 3u);   // ab, ac, bc
  EXPECT_EQ(s.foundPairs, 2u);  // ab, c-d&e
  EXPECT_EQ(s.correctPairs, 1u);
  EXPECT_DOUBLE_EQ(s.precision, 0.5);
  EXPECT_DOUBLE_EQ(s.recall, 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(s.f1, 0.4);
  ASSERT_EQ(s.offsetErrors.size(), 1u);
  EXPECT_NEAR(s.offsetErrors[0], 0.01, 1e-9);
  EXPECT_NEAR(s.medianError, 0.01, 1e-9);
  EXPECT_DOUBLE_EQ(s.within40ms, 1.0);
}
