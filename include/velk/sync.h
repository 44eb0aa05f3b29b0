// The sync engine: from recordings (files of any common format, or audio held
// in memory) to clusters of recordings of one event, each member with its
// offset from the cluster's earliest member, refined to the sample by waveform
// correlation, with its clock drift where an overlap is long enough to show it.
//
//   Velk::Listing listing;
//   std::string error;
//   if (!Velk::listFolder("cards", 8000, listing, error)) ...;
//   Velk::Synchronizer sync;                       // default settings
//   sync.setMessageHandler([](const Velk::SyncMessage& m) { ... });
//   Velk::SyncResult result = sync.run(listing.recordings);
//   for (const Velk::ClusterResult& c : result.clusters)
//     for (const Velk::MemberResult& m : c.members) use(m.name, m.offset);
//
// The engine never prints and never exits: the lines the designed stages would
// print, its warnings and notes go to the message handler, in a fixed order.
#ifndef VELK_SYNC_H
#define VELK_SYNC_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velk/export.h"
#include "velk/params.h"
#include "velk/samples.h"

namespace Velk {

// How a recording's audio reaches the extractor.
enum class Route {
  Library,  // a WAV file at the extraction rate: the library's own reader
  Media,    // anything else with an audio stream: decoded and resampled
  Memory,   // samples handed over by the caller
};

// Audio a caller already holds: interleaved frames in [-1, 1] at its own rate,
// or, when view.data is set, the caller's own array read in place (owner keeps
// it alive for as long as the recording is used; samples and channels unused).
struct MemoryAudio {
  std::vector<float> samples;
  uint32_t sampleRate = 0;
  int channels = 1;
  SampleView view;
  std::shared_ptr<const void> owner;

  SampleView frames() const {
    if (view.data != nullptr) return view;
    const int n = channels > 0 ? channels : 1;
    return interleavedFloats(samples.data(), samples.size() / static_cast<std::size_t>(n),
                             channels);
  }
};

struct Recording {
  int32_t id = 0;        // position among the recordings of a run, from 1
  std::string path;      // as given (for audio in memory: its name)
  std::string fileName;  // without the folder
  std::string name;      // the file name without its extension
  Route route = Route::Library;
  bool wavReadable = false;  // an 8- or 16-bit WAV file the library's reader decodes exactly
  uint32_t sampleRate = 0;   // the recording's own rate
  int channels = 0;
  double durationSeconds = 0;  // exact once extracted (from the samples actually read)
  std::shared_ptr<const MemoryAudio> audio;  // Route::Memory only
  int channel = 0;  // the channel analysed, from 0; kMixChannels: the mean of all
};

struct SkippedFile {
  std::string path;
  std::string reason;
  bool problem = false;  // a recording that could not be read, not just a file of another kind
};

struct Listing {
  std::vector<Recording> recordings;  // in file-name order, ids set
  std::vector<SkippedFile> skipped;
  std::vector<std::string> warnings;  // "PATH: what is odd about it"
};

// False in a build without SQLite: SyncSettings::storePath is then ignored with a warning.
VELK_API bool featureStoreAvailable();

// False with a one-line reason when folder does not exist or is not a folder.
VELK_API bool checkInputFolder(const std::string& folder, std::string& error);

// Lists folder sorted by file name (byte order, so that ids do not depend on
// the file system) and sorts the files into recordings and skipped files. With
// recursive, each sub-folder is walked in place of its name (links to folders
// are not followed) and names become paths relative to folder without their
// extension, so that they stay unique. Every entry not read is in skipped, in
// path order, with its reason: "hidden" (a name starting with a dot),
// "sub-folder" (without recursive), "link to a folder (not followed)",
// "dangling link", "not a regular file", "unreadable: ..." or "cannot read the
// folder: ..." (the last two are problems), or why the file holds no usable
// audio. False with a one-line reason when folder itself cannot be listed.
VELK_API bool listFolder(const std::string& folder, uint32_t extractionRate, Listing& listing,
                         std::string& error, bool recursive = false);

// Sorts the given files, in the order given, into recordings and skipped files
// as listFolder does (ids from 1); a folder is skipped as "a folder" and a file
// given twice as "listed twice". Where file names clash, names become the paths
// as given without their extension.
VELK_API void listFiles(const std::vector<std::string>& paths, uint32_t extractionRate,
                        Listing& listing);

// A recording of audio held in memory, named name (ids are set by the caller
// or by Synchronizer::run).
VELK_API Recording memoryRecording(const std::string& name,
                                   std::shared_ptr<const MemoryAudio> audio);

// One part of a recording that was paused or cut: its own placement.
struct MemberPart {
  double fileSeconds = 0.0;  // where the part begins in the recording (roughly: between stretches)
  double offset = 0.0;       // where that second of the recording lands on the cluster's timeline
  double gapSeconds = 0.0;   // how much later than an unbroken recording would put it (the pause)
};

struct MemberResult {
  int32_t id = 0;
  std::string name;
  std::string path;
  double coarse = 0.0;   // the clustering's offset, seconds
  double offset = 0.0;   // best estimate, seconds (the refined one when refined)
  bool refined = false;  // offset comes from a believed waveform correlation
  float score = 0.0f;    // that correlation's peak-to-background ratio (0: not measured)
  // Share of the stretches along the overlap with its anchor that agree on its
  // placement (-1: the overlap was too short to measure along).
  float agreement = -1.0f;
  int32_t anchor = 0;  // id of the member it was correlated with (0: none)
  // Measured along a long overlap: at member time t the member is at reference
  // time offset + t x (1 + driftPpm / 10^6). Only for members placed relative
  // to the cluster's reference.
  bool driftKnown = false;
  double driftPpm = 0.0;
  std::size_t landmarks = 0;  // extracted from the recording (what clustering had to match)
  bool splitOff = false;      // left its landmark cluster because no correlation confirmed it
  // A recording whose overlap agrees in one part and at another offset in
  // another (a pause, an edit): every part, the first at file second 0. The
  // member's offset is that of its first part. Empty for an unbroken one.
  std::vector<MemberPart> parts;
  // For a member alone in its cluster, why: "silent (digital silence)",
  // "nearly silent (level -61.2 dBFS)", "too short (...)", "too few landmarks
  // (...)", "split off after verification: ...", "matched no other recording".
  std::string alone;
};

struct ClusterResult {
  std::vector<MemberResult> members;  // ascending id
  // The member whose clock the offsets and drifts are on (its own drift is
  // never known; offsets are differences of starts on its timeline).
  int32_t reference = 0;
};

struct RefineSettings {
  double maxWindowSeconds = 30.0;  // longest stretch of the overlap correlated
  double searchSeconds = 0.096;    // lags searched each way around the coarse offset
  double minOverlapSeconds = 2.0;  // shorter overlaps are not worth correlating
  float whitening = 0.85f;         // of the cross spectrum (0 plain, 1 phase only)
  float minScore = 8.0f;           // least peak-to-background ratio believed
  unsigned threads = 1;
  // Members whose correlations with the reference's group all failed leave the
  // cluster; false keeps them at their landmark offsets with a warning.
  bool splitUnverified = true;
  // Overlaps at least this long are measured from end to end: two devices'
  // clocks differ by some parts per million, so the lag grows along the
  // recording and the lag at the middle is not the difference of the starts.
  double minDriftSpanSeconds = 5.0;
};

constexpr int kAutoChannel = -2;

struct SyncSettings {
  VkExtractParams extract;
  // Acceptance settings of the clustering; its hop size and sample rate are
  // always those of extract.
  VkClusterSyncParams clusterSync{VkExtractParams()};
  unsigned threads = 0;  // 0: one per processor; the result does not depend on it
  // Which channel of a recording with several to analyse: kAutoChannel picks,
  // per recording, the one with the most landmarks (a lavalier on input 2 of
  // a recorder whose input 1 is silent); kMixChannels (media.h) their mean;
  // 0, 1, ... that channel (the last one for recordings with fewer).
  int channel = kAutoChannel;
  // The popular-hash limit grows with the audio of the run: the larger of
  // clusterSync's limit and maxLandmarksForCorpus(hours of the recordings
  // extracted). A hash's landmarks grow with the audio, so a fixed limit drops
  // ever more ordinary hashes and a pair that matches among 20 recordings
  // would not among 1,000. Up to 10 hours this is clusterSync's limit; false
  // keeps that limit whatever the size (a limit the user chose).
  bool corpusLimit = true;
  bool refine = true;
  RefineSettings refinement;  // threads and searchSeconds are set by the engine
  // Refinement reads stretches of each recording at its own rate: the decode
  // of extraction keeps them, in a temporary file (removed as it is made), up
  // to this many bytes (2 a sample while every value is a 16-bit one, 4 after;
  // at most half the free space of the temporary folder). Recordings past it
  // are decoded again, stretch by stretch, as refinement needs them. 0 keeps
  // nothing.
  uint64_t keptAudioBytes = uint64_t{32} << 30;
  // A feature store (one SQLite file per archive; empty: none): recordings
  // whose file is unchanged since it was stored (same size and content
  // fingerprint) are read from it instead of extracted, and new or changed
  // ones are stored; files no longer on disk are dropped from it. Results are
  // the same with and without it. A store made with other extraction settings
  // is emptied first. Audio in memory is always extracted.
  std::string storePath;
  // A recording's path, file name or name (preferred in that order): its
  // cluster follows its clock, its start at 0 and every drift against it.
  // Empty: each cluster's earliest member is at 0. One that names no
  // recording, or several by the same name, cannot run.
  std::string reference;
};

enum class MessageKind {
  Designed,  // a line the designed stages print (STARTING:, CLUSTER, [ERROR]: ...)
  Warning,   // something odd that did not stop the run
  Note,      // what the engine decided (a member split off, ...)
};

struct SyncMessage {
  MessageKind kind = MessageKind::Note;
  std::string text;  // one line, no end-of-line
};

struct SyncProgress {
  std::string stage;      // "extracting", "clustering", "refining"
  std::string detail;     // e.g. the clustering step's name
  double fraction = 0.0;  // of the stage, 0 to 1
};

struct SyncResult {
  std::vector<ClusterResult> clusters;  // ordered by smallest member id
  std::vector<Recording> recordings;    // the recordings analysed, ascending id
  std::vector<SkippedFile> failures;    // recordings that could not be read
  bool stopped = false;                 // the stop check ended the run: nothing else is set
  uint32_t maxLandmarks = 0;            // the popular-hash limit clustering used (0: none ran)
};

// The clustering's parameters of a run: the acceptance settings of
// s.clusterSync with the hop size and sample rate of s.extract.
VELK_API VkClusterSyncParams clusteringParams(const SyncSettings& s);
// The clustering's parameters as a run used them: those above with the
// popular-hash limit the run's audio set (see SyncSettings::corpusLimit).
VELK_API VkClusterSyncParams clusteringParams(const SyncSettings& s, const SyncResult& result);

// A float as the decimal it stands for (0.2, not 0.20000000298...), so that
// the clustering's offsets and parameters read as they were meant.
VELK_API double shortestDouble(float v);

using MessageHandler = std::function<void(const SyncMessage&)>;
// Called one call at a time, possibly from the engine's worker threads.
using ProgressHandler = std::function<void(const SyncProgress&)>;
// Asked between steps (each recording, each correlation, each stage), possibly
// from several of the engine's threads at once; true ends the run early.
using StopCheck = std::function<bool()>;

class VELK_API Synchronizer {
 public:
  explicit Synchronizer(SyncSettings settings = SyncSettings());

  void setMessageHandler(MessageHandler handler) { messages_ = std::move(handler); }
  void setProgressHandler(ProgressHandler handler) { progress_ = std::move(handler); }
  void setStopCheck(StopCheck check) { stop_ = std::move(check); }
  const SyncSettings& settings() const { return settings_; }

  // Extracts, clusters and (unless switched off) refines the recordings. Ids
  // of 0 are replaced by positions from 1. Throws std::invalid_argument for
  // settings that cannot run (a hop larger than the FFT, a reference that
  // names no recording).
  SyncResult run(std::vector<Recording> recordings) const;

 private:
  SyncSettings settings_;
  MessageHandler messages_;
  ProgressHandler progress_;
  StopCheck stop_;
};

}  // namespace Velk

#endif
