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
#include "velk/wavfile.h"
#include "velktool/export.h"
#include "velktool/fsutil.h"
#include "velktool/messages.h"

namespace fs = std::filesystem;

namespace velktool {

namespace {

// The data chunk of a WAV file counts bytes in 32 bits.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;

std::string describeOffset(double seconds, uint64_t frames) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f s", seconds);
  return std::string(buf) + " = " + std::to_string(frames) + " samples";
}

}  // namespace

std::string clusterFolderName(std::size_t index) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "cluster_%02zu", index + 1);
  return buf;
}

uint64_t paddingFrames(double offsetSeconds, uint32_t sampleRate) {
  if (!(offsetSeconds > 0.0)) return 0;
  return static_cast<uint64_t>(std::llround(offsetSeconds * sampleRate));
}

bool writePaddedCopy(const Recording& recording, double offsetSeconds, const std::string& target,
                     std::string& error) {
  removeStaleTemporaries(target);
  const std::string tmp = temporarySibling(target);
  const PendingTemporary pending(tmp);
  const uint32_t rate = recording.sampleRate;
  const uint64_t pad = paddingFrames(offsetSeconds, rate);
  std::unique_ptr<Velk::wavfile_t> wav;
  uint64_t bytes = 0;
  int channels = 0;
  std::string failure;

  // Opens the copy once the decoder has said how many channels it delivers.
  auto start = [&](int ch) {
    channels = ch;
    wav.reset(new Velk::wavfile_t(tmp, 2, ch, rate));
    if (!wav->file) {
      failure = "cannot create " + target;
      return false;
    }
    const std::vector<float> silence(static_cast<std::size_t>(4096) * static_cast<std::size_t>(ch),
                                     0.0f);
    for (uint64_t left = pad; left > 0;) {
      const uint64_t n = std::min<uint64_t>(left, 4096);
      bytes += n * static_cast<uint64_t>(ch) * 2;
      if (bytes > kMaxDataBytes) {
        failure = "the padded copy would be too long for a WAV file";
        return false;
      }
      if (!wav->write_frames(silence.data(), static_cast<std::size_t>(n))) {
        failure = "cannot write " + target;
        return false;
      }
      left -= n;
    }
    return true;
  };

  bool ok = true;
  try {
    DecodeOptions opt;  // own rate, every channel
    std::string warnings;
    opt.warn = [&warnings](const std::string& line) { warnings += line + "; "; };
    ok = decodeAudio(
        recording.path, opt,
        [&](const float* frames, std::size_t count, int ch) {
          if (!wav && !start(ch)) return false;
          if (ch != channels) {
            failure = "the channel count changed while decoding";
            return false;
          }
          bytes += static_cast<uint64_t>(count) * static_cast<uint64_t>(ch) * 2;
          if (bytes > kMaxDataBytes) {
            failure = "the padded copy would be too long for a WAV file";
            return false;
          }
          if (!wav->write_frames(frames, count)) {
            failure = "cannot write " + target;
            return false;
          }
          return true;
        },
        error);
    if (ok && failure.empty() && !wav) ok = start(std::max(1, recording.channels));
    if (ok && failure.empty()) {
      wav->file.flush();
      if (!wav->file) failure = "cannot write " + target;
    }
    wav.reset();  // fixes the header sizes and closes the file
  } catch (const std::exception& e) {
    wav.reset();
    failure = e.what();
  }
  if (!failure.empty()) error = failure;
  std::error_code ec;
  if (ok && failure.empty() && fs::file_size(tmp, ec) != 44 + bytes) {
    error = "the copy came out short (is the disk full?)";
    ok = false;
  }
  if (ok && failure.empty() && !syncToDisk(tmp, false)) {
    error = "cannot write it to the disk";
    ok = false;
  }
  if (!ok || !failure.empty()) {
    fs::remove(tmp, ec);
    if (error.empty()) error = "cannot decode " + recording.path;
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
  std::set<std::string> inputs;
  for (const auto& kv : recordings) inputs.insert(canonicalPath(kv.second->path));

  // Every target is decided before anything is written, so a refusal writes nothing.
  struct Job {
    const Recording* recording;
    double offset;
    std::string target;
    std::size_t cluster;
    std::string entry;  // relative to the output folder
  };
  std::vector<Job> jobs;
  std::vector<std::string> folders;
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    const std::string folder = (fs::path(outputFolder) / clusterFolderName(c)).string();
    folders.push_back(folder);
    std::set<std::string> used;
    for (const MemberResult& m : clusters[c].members) {
      const auto it = recordings.find(m.id);
      if (it == recordings.end()) continue;
      std::string stem = m.name.empty() ? it->second->fileName : m.name;
      // Names from sub-folders (-r) become flat file names.
      std::replace(stem.begin(), stem.end(), '/', '_');
      // Two members of one cluster may share a name (a.wav and a.mp4).
      if (!used.insert(stem).second) {
        stem += "_id" + std::to_string(m.id);
        used.insert(stem);
      }
      const std::string entry = clusterFolderName(c) + "/" + stem + ".wav";
      const std::string target = (fs::path(outputFolder) / entry).string();
      if (inputs.count(canonicalPath(target)) != 0) {
        error = "refusing to write " + target + ": it is one of the input files";
        return false;
      }
      jobs.push_back({it->second, m.offset, target, c, entry});
    }
  }

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

  // The manifest covers the previous run and this one while copies are
  // written, so that an interrupted run is cleaned up by the next.
  const std::set<std::string> previous = readManifest(outputFolder);
  std::set<std::string> written;
  for (const Job& job : jobs) written.insert(job.entry);
  std::set<std::string> both = previous;
  both.insert(written.begin(), written.end());
  if (!writeManifest(outputFolder, both, error)) return false;

  bool allOk = true;
  std::size_t done = 0;
  uint64_t bytes = 0;
  for (const Job& job : jobs) {
    std::string why;
    const Recording& r = *job.recording;
    bool ok = false;
    std::string placed;
    if (settings.bwf) {
      ExportMember m;
      m.path = canonicalPath(r.path);
      m.offset = job.offset;
      m.sampleRate = r.sampleRate;
      BwfStamp stamp;
      stamp.timeReference = paddingFrames(settings.timelineStart + job.offset, r.sampleRate);
      stamp.description = r.fileName + " in " + clusterFolderName(job.cluster);
      stamp.ixml = bwfIxml(clusterFolderName(job.cluster), m, settings.timelineStart);
      ok = writeBwfCopy(r.path, r.sampleRate, r.channels, stamp, job.target, why);
      placed =
          "time stamp " + describeOffset(settings.timelineStart + job.offset, stamp.timeReference);
    } else {
      ok = writePaddedCopy(r, job.offset, job.target, why);
      placed = "offset " + describeOffset(job.offset, paddingFrames(job.offset, r.sampleRate));
    }
    if (ok) {
      bytes += fs::file_size(job.target, ec);
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
  std::string manifestError;
  if (!writeManifest(outputFolder, written, manifestError)) warning(manifestError);

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
  if (!allOk) error = "some synchronized copies could not be written";
  return allOk;
}

}  // namespace velktool
