// velk_simulate: realistic, deterministic test sets of recordings with known
// truth, for demos, accuracy and scale benchmarks.
//
// An event is a synthetic scene (a band with drums, bass, chords and melody; a
// talk with syllables shaped by formants; or a party mixing both over crowd
// noise). Each simulated device records a stretch of it with its own start
// (a whole number of samples, so the truth is exact), length, gain, band
// limits (high- and low-pass filters), room reverberation (a decaying sparse
// impulse response whose direct path is undelayed) and its own noise at the
// chosen signal-to-noise ratio. Unrelated recordings are scenes of their own.
// Files get neutral shuffled names (rec01, rec02, ...), so neither names nor
// the order of ids tell the events apart.
//
//   velksim::SetSpec cfg;
//   cfg.events = 3;
//   velksim::Truth truth = velksim::generateSet(cfg, "/tmp/set");   // writes rec*.wav
//   velksim::writeTruthXml(truth, "/tmp/set/truth.xml");
//   ... cluster the files, then:
//   velksim::Score s = velksim::scoreClusters(truth, found);
//
// Everything is derived from the seed with a portable generator: the same
// settings give the same files on every platform (up to libm rounding).
#ifndef VELK_SIMULATE_H
#define VELK_SIMULATE_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace velksim {

struct SetSpec {
  int events = 2;      // independent events
  int minDevices = 3;  // recordings per event: uniform in [minDevices, maxDevices]
  int maxDevices = 3;
  int unrelated = 1;         // recordings that match nothing
  double minSeconds = 60.0;  // recording lengths: uniform in [minSeconds, maxSeconds]
  double maxSeconds = 60.0;
  double snrDb = 20.0;  // signal-to-noise ratio of every recording
  uint32_t sampleRate = 8000;
  int channels = 1;  // 2 gives a second, differently reverberated channel
  uint32_t seed = 1;
  bool reverb = true;
  std::string prefix = "rec";  // file names: prefix + two or more digits
};

struct TruthRecording {
  std::string name;         // file name without ".wav"
  double offset = 0.0;      // seconds after the earliest-starting member of its cluster
  int64_t startSample = 0;  // start within the event, at the written rate
  int64_t samples = 0;      // length at the written rate
};

struct TruthCluster {
  std::vector<TruthRecording> recordings;  // ascending name
};

struct Truth {
  uint32_t sampleRate = 0;
  std::vector<TruthCluster> clusters;  // one per event, then one per unrelated recording
};

// Creates dir if needed and writes one 16-bit PCM WAV file per recording.
// Throws std::runtime_error when a file cannot be written.
Truth generateSet(const SetSpec& cfg, const std::string& dir);

// Receives one recording: its name and its samples per channel (which it may
// move from).
using RecordingSink =
    std::function<void(const std::string& name, std::vector<std::vector<float>>& channels)>;

// The recordings of generateSet, handed to sink instead of written: no files,
// and only one scene with its recordings in memory per thread. With threads > 1
// the sink is called from several threads at once, in no fixed order; the
// recordings and the truth do not depend on it.
Truth generateRecordings(const SetSpec& cfg, const RecordingSink& sink, unsigned threads = 1);

// <truth><cluster><recording name="a" offset="0.0"/>...</cluster>...</truth>;
// a cluster of one recording carries no offset.
void writeTruthXml(const Truth& truth, const std::string& path);

// One found cluster: (name, offset in seconds) of each member.
using FoundCluster = std::vector<std::pair<std::string, double>>;

// Pairwise comparison of a clustering with the truth. A pair is two recordings
// of the truth; found and true pairs are those placed in one cluster.
struct Score {
  std::size_t truePairs = 0;
  std::size_t foundPairs = 0;
  std::size_t correctPairs = 0;  // placed together in both
  double precision = 1.0;        // correct / found (1 when nothing was found)
  double recall = 1.0;           // correct / true (1 when there is nothing to find)
  double f1 = 1.0;
  // |found relative offset - true relative offset| of each correct pair, seconds, ascending.
  std::vector<double> offsetErrors;
  double medianError = 0.0;
  double p95Error = 0.0;    // nearest rank
  double within40ms = 1.0;  // share of correct pairs with an error of at most 40 ms
};

// Names not in the truth are ignored; recordings of the truth that are missing
// from found count as alone.
Score scoreClusters(const Truth& truth, const std::vector<FoundCluster>& found);

}  // namespace velksim

#endif
