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
//   velksim::SetSettings cfg;
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

struct SetSettings {
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

// A stretch of a recording that was paused: where it begins in the file (in
// the file's own seconds) and where that lands on the reference's timeline.
struct TruthPart {
  double fileSeconds = 0.0;
  double offset = 0.0;
};

struct TruthRecording {
  TruthRecording() = default;
  TruthRecording(std::string n, double off, int64_t start, int64_t length)
      : name(std::move(n)), offset(off), startSample(start), samples(length) {}
  std::string name;         // file name without its extension
  double offset = 0.0;      // seconds after the earliest-starting member of its cluster
  int64_t startSample = 0;  // start within the event, at the written rate
  int64_t samples = 0;      // length at the written rate
  // Hard sets only (the defaults write nothing more to truth.xml):
  std::string ext = "wav";  // wav, m4a (AAC) or mp3
  // Clocks: the device's own deviation from true time, and its drift against
  // the cluster's reference as the tool reports it: at member time t the
  // member sits at reference time offset + t x (1 + driftPpm / 10^6).
  bool hasDrift = false;
  double clockPpm = 0.0;
  double driftPpm = 0.0;
  int channel = 0;                      // 1-based channel that carries the event (0: every one)
  std::vector<TruthPart> parts;         // when paused: every part, the first at file second 0
  std::vector<std::string> conditions;  // what makes it hard, e.g. "chain", "mp3", "paused"
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
Truth generateSet(const SetSettings& cfg, const std::string& dir);

// Hard material: what real recordings throw at a matcher. Every device clock
// deviates from true time (the reference's too), and each kind of event
// carries one difficulty:
//   chain    devices that overlap only their neighbours, by a few seconds,
//            between recordings of several minutes;
//   long     a recorder running for an hour (ending in a minute of room noise)
//            with many short clips of the same event;
//   loop     music that repeats itself verbatim inside the event;
//   song     one studio song played at two events, and the studio file itself
//            as a distractor (a cluster of its own);
// and single recordings add: a lavalier on channel 2 of a stereo file
// (channel 1 silent or another scene), a recording paused for 40 s, noise
// down to 0 dB SNR, files encoded as AAC (.m4a) or MP3 by the ffmpeg program.
// Offsets are on the timeline of each cluster's reference clock (its member
// that starts first): a member starting at true time t sits at
// (t - t_ref) x (1 + clock_ref / 10^6).
struct HardSettings {
  uint32_t seed = 1;
  uint32_t sampleRate = 16000;
  int chainEvents = 2;
  int chainMinDevices = 3, chainMaxDevices = 5;
  double chainMinSeconds = 300, chainMaxSeconds = 900;
  double minOverlapSeconds = 7, maxOverlapSeconds = 45;
  int longRecorders = 1;      // each with its own event
  int clipsPerRecorder = 12;  // 30-90 s each
  double longSeconds = 3600;
  int loopEvents = 1;
  int songPairs = 1;  // studio songs, each played at two events, plus its file
  int lavaliers = 2;  // alternately with channel 1 silent and with another scene on it
  int paused = 1;
  int pausedFirst = 0;  // events whose first recording pauses: one spans the pause, one follows it
  int unrelated = 2;
  double maxDriftPpm = 200;   // every clock: uniform in +-this
  int fastClocks = 2;         // devices at +-1000 ppm instead
  double lowSnrShare = 0.25;  // share of devices at 0-5 dB; the others 5-25 dB
  double encodedShare = 0.3;  // share of mono files written as AAC or MP3 (half each)
  std::string prefix = "rec";
};

// "small" (39 recordings, 4 hours of audio), "harsh" (its size, with more
// low SNR, fast clocks, shared songs, loops, pauses and encoded files) or
// "large" (93 recordings, 8 hours); throws std::invalid_argument for another name.
HardSettings hardPreset(const std::string& name);

// Writes the set to dir (WAV, M4A and MP3 files; the encoded ones need the
// ffmpeg program on the path). Throws std::runtime_error when a file cannot be
// written or encoded.
Truth generateHardSet(const HardSettings& hardSettings, const std::string& dir);
// Receives one recording: its name and its samples per channel (which it may
// move from).
using RecordingSink =
    std::function<void(const std::string& name, std::vector<std::vector<float>>& channels)>;

// The recordings of generateSet, handed to sink instead of written: no files,
// and only one scene with its recordings in memory per thread. With threads > 1
// the sink is called from several threads at once, in no fixed order; the
// recordings and the truth do not depend on it.
Truth generateRecordings(const SetSettings& cfg, const RecordingSink& sink, unsigned threads = 1);

// <truth><cluster><recording name="a" offset="0.0"/>...</cluster>...</truth>;
// a cluster of one recording carries no offset. Hard sets add attributes the
// tool's reader skips: ext, clock_ppm, drift_ppm, channel, conditions, and
// parts="FILE_SECONDS:OFFSET ..." for a paused recording.
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
