#include "velktool/sync_output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>

#include "velk/media.h"
#include "velk/wav_writer.h"
#include "velktool/clock_resampler.h"
#include "velktool/export.h"
#include "velktool/fsutil.h"
#include "velktool/messages.h"

namespace fs = std::filesystem;

namespace velktool {

namespace {

// Silence goes out in blocks, so a long offset needs no large buffer.
constexpr uint64_t kSilenceBlockFrames = 4096;

std::string describeOffset(double seconds, uint64_t frames) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f s", seconds);
  return std::string(buf) + " = " + std::to_string(frames) + " samples";
}

// One copy on its way to a temporary file: opened once the decoder says how
// many channels it delivers, the silence first, then the sound.
class CopySink {
 public:
  CopySink(const std::string& tmp, const std::string& target, uint32_t rate,
           const CopyLayout& layout)
      : tmp_(tmp), target_(target), rate_(rate), layout_(layout) {}

  bool opened() const { return wav_.isOpen() || finished_; }
  uint64_t bytes() const { return wav_.fileBytes(); }
  const std::string& failure() const { return failure_; }

  bool open(int channels) {
    channels_ = channels;
    if (layout_.clockRate != 1.0)
      resampler_ = std::make_unique<ClockResampler>(layout_.clockRate, channels);
    Velk::WavLayout layout;
    layout.sampleRate = rate_;
    layout.channels = channels;
    layout.chunks = layout_.chunks;
    layout.rf64 = layout_.rf64;
    layout.riffLimit = layout_.riffLimit;
    if (!wav_.open(tmp_, layout)) return fail("cannot create " + target_);
    return writeSilence();
  }

  bool append(const float* frames, std::size_t count, int channels) {
    if (!opened() && !open(channels)) return false;
    if (channels != channels_) return fail("the channel count changed while decoding");
    if (resampler_) return resampler_->push(frames, count, toFile_);
    return put(frames, count);
  }

  bool finish() {
    finished_ = true;
    if (resampler_ && !resampler_->finish(toFile_)) return false;
    return wav_.finish() || fail("cannot write " + target_);
  }

  void failWith(const std::exception& e) { failure_ = e.what(); }

 private:
  bool fail(const std::string& why) {
    failure_ = why;
    return false;
  }

  bool writeSilence() {
    const std::vector<float> silence(
        static_cast<std::size_t>(kSilenceBlockFrames) * static_cast<std::size_t>(channels_), 0.0f);
    for (uint64_t left = layout_.padFrames; left > 0;) {
      const uint64_t n = std::min<uint64_t>(left, kSilenceBlockFrames);
      if (!put(silence.data(), static_cast<std::size_t>(n))) return false;
      left -= n;
    }
    return true;
  }

  bool put(const float* frames, std::size_t count) {
    if (wav_.write(frames, count)) return true;
    return fail(wav_.error() == "cannot write" ? "cannot write " + target_
                                               : "the copy would be " + wav_.error());
  }

  const std::string tmp_, target_;
  const uint32_t rate_;
  const CopyLayout& layout_;
  Velk::WavWriter wav_;
  std::unique_ptr<ClockResampler> resampler_;
  const FramesOut toFile_ = [this](const float* frames, std::size_t count) {
    return put(frames, count);
  };
  int channels_ = 0;
  bool finished_ = false;
  std::string failure_;
};

// Decodes the source at its own rate, every channel, into sink; false (with
// error or the sink's failure) when anything went wrong.
bool decodeInto(const std::string& source, int channels, CopySink& sink, std::string& error) {
  bool ok = true;
  try {
    DecodeOptions opt;  // own rate, every channel
    opt.warn = [](const std::string&) {};
    ok = decodeAudio(
        source, opt,
        [&sink](const float* frames, std::size_t count, int ch) {
          return sink.append(frames, count, ch);
        },
        error);
    // A recording with no sound at all still gets its silence.
    if (ok && sink.failure().empty() && !sink.opened()) ok = sink.open(std::max(1, channels));
    if (ok && sink.failure().empty()) ok = sink.finish();
  } catch (const std::exception& e) {
    sink.failWith(e);
  }
  if (!sink.failure().empty()) error = sink.failure();
  return ok && sink.failure().empty();
}

// The complete temporary file reaches the disk, or error says why not.
bool settleTemporary(const std::string& tmp, uint64_t bytes, std::string& error) {
  std::error_code ec;
  if (fs::file_size(tmp, ec) != bytes) {
    error = "the copy came out short (is the disk full?)";
    return false;
  }
  if (!syncToDisk(tmp, false)) {
    error = "cannot write it to the disk";
    return false;
  }
  return true;
}

}  // namespace

std::string clusterFolderName(std::size_t index) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "cluster_%02zu", index + 1);
  return buf;
}

double earliestOffset(const ClusterResult& cluster) {
  double earliest = 0.0;
  for (const MemberResult& m : cluster.members) earliest = std::min(earliest, m.offset);
  return earliest;
}

uint64_t paddingFrames(double offsetSeconds, uint32_t sampleRate) {
  if (!(offsetSeconds > 0.0)) return 0;
  return static_cast<uint64_t>(std::llround(offsetSeconds * sampleRate));
}

bool writeCopyFile(const std::string& source, uint32_t sampleRate, int channels,
                   const CopyLayout& layout, const std::string& target, std::string& error) {
  removeStaleTemporaries(target);
  const std::string tmp = temporarySibling(target);
  const PendingTemporary pending(tmp);
  CopySink sink(tmp, target, sampleRate, layout);
  std::error_code ec;
  if (!decodeInto(source, channels, sink, error) || !settleTemporary(tmp, sink.bytes(), error)) {
    fs::remove(tmp, ec);
    if (error.empty()) error = "cannot decode " + source;
    return false;
  }
  if (std::rename(tmp.c_str(), target.c_str()) != 0) {
    error = "cannot replace " + target;
    fs::remove(tmp, ec);
    return false;
  }
  syncToDisk(parentFolder(target), true);
  return true;
}

bool writePaddedCopy(const Recording& recording, double offsetSeconds, const std::string& target,
                     std::string& error, double clockRate) {
  CopyLayout layout;
  layout.padFrames = paddingFrames(offsetSeconds, recording.sampleRate);
  layout.clockRate = clockRate;
  return writeCopyFile(recording.path, recording.sampleRate, recording.channels, layout, target,
                       error);
}

namespace {

// Relative paths of the copies a run into folder wrote, one a line after a comment.
std::set<std::string> readManifest(const std::string& folder) {
  std::set<std::string> entries;
  std::ifstream in((fs::path(folder) / kManifestName).string());
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') entries.insert(line);
  return entries;
}

bool writeManifest(const std::string& folder, const std::set<std::string>& entries,
                   std::string& error) {
  std::string text =
      "# Copies written by Velk. The next run into this folder removes those it does not "
      "write again.\n";
  for (const std::string& e : entries) text += e + "\n";
  return writeFileAtomically((fs::path(folder) / kManifestName).string(), text, error);
}

// Only a plain relative path below the folder is ever removed.
bool safeEntry(const std::string& entry) {
  const fs::path p(entry);
  if (p.empty() || p.is_absolute()) return false;
  for (const fs::path& part : p)
    if (part == ".." || part == ".") return false;
  return true;
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// One copy to write, decided before anything is written.
struct CopyJob {
  const Recording* recording;
  double offset;
  double clockRate;  // of the member against its cluster's reference (1: not known)
  std::string target;
  std::size_t cluster;
  std::string entry;  // relative to the output folder
};

// The file name of a member's copy, unique within its cluster.
std::string copyStem(const MemberResult& m, const Recording& r, std::set<std::string>& used) {
  std::string stem = m.name.empty() ? r.fileName : m.name;
  // Names from sub-folders (-r) become flat file names.
  std::replace(stem.begin(), stem.end(), '/', '_');
  // Two members of one cluster may share a name (a.wav and a.mp4).
  if (!used.insert(stem).second) {
    stem += "_id" + std::to_string(m.id);
    used.insert(stem);
  }
  return stem;
}

// Every target and cluster folder; false when a target is an input file.
bool planCopies(const std::string& outputFolder, const std::vector<ClusterResult>& clusters,
                const std::map<int32_t, const Recording*>& recordings, std::vector<CopyJob>& jobs,
                std::vector<std::string>& folders, std::string& error) {
  std::set<std::string> inputs;
  for (const auto& kv : recordings) inputs.insert(canonicalPath(kv.second->path));
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    folders.push_back((fs::path(outputFolder) / clusterFolderName(c)).string());
    std::set<std::string> used;
    for (const MemberResult& m : clusters[c].members) {
      const auto it = recordings.find(m.id);
      if (it == recordings.end()) continue;
      const std::string entry =
          clusterFolderName(c) + "/" + copyStem(m, *it->second, used) + ".wav";
      const std::string target = (fs::path(outputFolder) / entry).string();
      if (inputs.count(canonicalPath(target)) != 0) {
        error = "refusing to write " + target + ": it is one of the input files";
        return false;
      }
      const double rate = m.driftKnown ? 1.0 + m.driftPpm * 1e-6 : 1.0;
      jobs.push_back({it->second, m.offset - earliestOffset(clusters[c]), rate, target, c, entry});
    }
  }
  return true;
}

bool createFolders(const std::string& outputFolder, const std::vector<std::string>& folders,
                   std::string& error) {
  std::error_code ec;
  if (fs::exists(outputFolder, ec) && !fs::is_directory(outputFolder, ec)) {
    error = "output path " + outputFolder + " exists and is not a folder";
    return false;
  }
  for (const std::string& folder : folders) {
    fs::create_directories(folder, ec);
    if (ec) {
      error = "cannot create output folder " + folder + ": " + ec.message();
      return false;
    }
  }
  return true;
}

// Writes one copy; placed says where it sits, why what went wrong.
bool writeCopy(const CopyJob& job, const CopySettings& settings, std::string& placed,
               std::string& why) {
  const Recording& r = *job.recording;
  const double rate = settings.driftCorrect ? job.clockRate : 1.0;
  if (rate != 1.0) {
    char drift[64];
    std::snprintf(drift, sizeof drift, ", drift %+.1f ppm corrected", (rate - 1.0) * 1e6);
    placed = drift;
  }
  if (!settings.bwf) {
    placed =
        "offset " + describeOffset(job.offset, paddingFrames(job.offset, r.sampleRate)) + placed;
    return writePaddedCopy(r, job.offset, job.target, why, rate);
  }
  ExportMember m;
  m.path = canonicalPath(r.path);
  m.offset = job.offset;
  m.sampleRate = r.sampleRate;
  BwfStamp stamp;
  stamp.timeReference = paddingFrames(settings.timelineStart + job.offset, r.sampleRate);
  stamp.description = r.fileName + " in " + clusterFolderName(job.cluster);
  stamp.ixml = bwfIxml(clusterFolderName(job.cluster), m, settings.timelineStart);
  placed = "time stamp " +
           describeOffset(settings.timelineStart + job.offset, stamp.timeReference) + placed;
  return writeBwfCopy(r.path, r.sampleRate, r.channels, stamp, job.target, why, kRiffLimit, rate);
}

// Writes every planned copy with a note or warning each; false when one failed.
bool writeCopies(const std::string& outputFolder, const std::vector<CopyJob>& jobs,
                 const CopyProgress& progress, const CopySettings& settings) {
  bool allOk = true;
  std::size_t done = 0;
  uint64_t bytes = 0;
  for (const CopyJob& job : jobs) {
    std::string placed, why;
    if (writeCopy(job, settings, placed, why)) {
      std::error_code ec;
      bytes += fs::file_size(job.target, ec);
      const Recording& r = *job.recording;
      if (settings.written != nullptr) (*settings.written)[r.id] = job.target;
      note("wrote " + job.target + " (" + placed + ", " + std::to_string(r.sampleRate) + " Hz)");
    } else {
      warning("cannot write " + job.target + ": " + why);
      allOk = false;
    }
    ++done;
    setInterruptSummary(std::to_string(done) + " of " + plural(jobs.size(), "copy", "copies") +
                        " handled in " + outputFolder +
                        "; the manifest lists them and the "
                        "previous run's, so the next run cleans up");
    if (progress) progress(done, jobs.size(), bytes);
  }
  return allOk;
}

// Removes the previous run's copies that this run did not write again.
void removeStaleCopies(const std::string& outputFolder, const std::set<std::string>& previous,
                       const std::set<std::string>& written) {
  std::error_code ec;
  std::size_t removed = 0;
  for (const std::string& entry : previous) {
    if (written.count(entry) != 0 || !safeEntry(entry)) continue;
    const fs::path stale = fs::path(outputFolder) / entry;
    if (!fs::is_regular_file(fs::symlink_status(stale, ec))) continue;
    if (fs::remove(stale, ec)) ++removed;
    std::error_code dec;
    if (fs::is_empty(stale.parent_path(), dec)) fs::remove(stale.parent_path(), dec);
  }
  if (removed > 0)
    note("removed " + plural(removed, "copy", "copies") + " of the previous run in " +
         outputFolder + " that this run did not write again");
}

// A note when the folder holds files that no run of the tool wrote.
void noteForeignFiles(const std::string& outputFolder, const std::set<std::string>& written) {
  std::error_code ec;
  std::size_t foreign = 0;
  std::string example;
  for (fs::recursive_directory_iterator it(outputFolder, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    const std::string entry = it->path().lexically_relative(outputFolder).generic_string();
    if (entry == kManifestName || written.count(entry) != 0) continue;
    if (foreign++ == 0) example = it->path().string();
  }
  if (foreign > 0)
    note("output folder " + outputFolder + " holds " + plural(foreign, "file", "files") +
         " this run did not write (e.g. " + example + "); left alone");
}

}  // namespace

bool writeSynchronizedCopies(const std::string& outputFolder, const std::string& inputFolder,
                             const std::vector<ClusterResult>& clusters,
                             const std::map<int32_t, const Recording*>& recordings,
                             std::string& error, const CopyProgress& progress,
                             const CopySettings& settings) {
  if (!inputFolder.empty() && isSameOrInside(outputFolder, inputFolder)) {
    error = "output folder " + outputFolder + " is the input folder or lies inside it; " +
            "choose another so that no input file can be touched";
    return false;
  }
  // Every target is decided before anything is written, so a refusal writes nothing.
  std::vector<CopyJob> jobs;
  std::vector<std::string> folders;
  if (!planCopies(outputFolder, clusters, recordings, jobs, folders, error) ||
      !createFolders(outputFolder, folders, error))
    return false;

  // The manifest covers the previous run and this one while copies are
  // written, so that an interrupted run is cleaned up by the next.
  const std::set<std::string> previous = readManifest(outputFolder);
  std::set<std::string> written;
  for (const CopyJob& job : jobs) written.insert(job.entry);
  std::set<std::string> both = previous;
  both.insert(written.begin(), written.end());
  if (!writeManifest(outputFolder, both, error)) return false;

  const bool allOk = writeCopies(outputFolder, jobs, progress, settings);
  removeStaleCopies(outputFolder, previous, written);
  std::string manifestError;
  if (!writeManifest(outputFolder, written, manifestError)) warning(manifestError);
  noteForeignFiles(outputFolder, written);
  if (!allOk) error = "some synchronized copies could not be written";
  return allOk;
}

}  // namespace velktool
