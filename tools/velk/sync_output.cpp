#include "velktool/sync_output.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>

#include "velk/media.h"
#include "velk/wavfile.h"
#include "velktool/export.h"
#include "velktool/fsutil.h"

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
      failure = "cannot create " + tmp;
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
        failure = "cannot write " + tmp;
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
            failure = "cannot write " + tmp;
            return false;
          }
          return true;
        },
        error);
    if (ok && failure.empty() && !wav) ok = start(std::max(1, recording.channels));
    if (ok && failure.empty()) {
      wav->file.flush();
      if (!wav->file) failure = "cannot write " + tmp;
    }
    wav.reset();  // fixes the header sizes and closes the file
  } catch (const std::exception& e) {
    wav.reset();
    failure = e.what();
  }
  if (!failure.empty()) error = failure;
  std::error_code ec;
  if (ok && failure.empty() && fs::file_size(tmp, ec) != 44 + bytes) {
    error = "the copy in " + tmp + " came out short (is the disk full?)";
    ok = false;
  }
  if (ok && failure.empty() && !syncToDisk(tmp, false)) {
    error = "cannot write " + tmp + " to the disk";
    ok = false;
  }
  if (!ok || !failure.empty()) {
    fs::remove(tmp, ec);
    if (error.empty()) error = "cannot decode " + recording.path;
    return false;
  }
  if (std::rename(tmp.c_str(), target.c_str()) != 0) {
    error = "cannot rename " + tmp + " to " + target;
    fs::remove(tmp, ec);
    return false;
  }
  syncToDisk(parentFolder(target), true);
  return true;
}

bool writeSynchronizedCopies(const std::string& outputFolder, const std::string& inputFolder,
                             const std::vector<ClusterResult>& clusters,
                             const std::map<int32_t, const Recording*>& recordings,
                             std::string& error, const CopySettings& settings) {
  if (isSameOrInside(outputFolder, inputFolder)) {
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
      // Two members of one cluster may share a name (a.wav and a.mp4).
      if (!used.insert(stem).second) {
        stem += "_id" + std::to_string(m.id);
        used.insert(stem);
      }
      const std::string target = (fs::path(folder) / (stem + ".wav")).string();
      if (inputs.count(canonicalPath(target)) != 0) {
        error = "refusing to write " + target + ": it is one of the input files";
        return false;
      }
      jobs.push_back({it->second, m.offset, target, c});
    }
  }

  std::error_code ec;
  const bool existed = fs::exists(outputFolder, ec);
  if (existed && !fs::is_directory(outputFolder, ec)) {
    error = "output path " + outputFolder + " exists and is not a folder";
    return false;
  }
  if (existed && !fs::is_empty(outputFolder, ec))
    std::cerr << "note: output folder " << outputFolder
              << " already holds files; copies of the same name in its cluster_NN folders are "
                 "replaced, everything else is left alone"
              << std::endl;
  for (const std::string& folder : folders) {
    fs::create_directories(folder, ec);
    if (ec) {
      error = "cannot create output folder " + folder + ": " + ec.message();
      return false;
    }
  }

  bool allOk = true;
  for (const Job& job : jobs) {
    std::string why;
    const Recording& r = *job.recording;
    if (settings.bwf) {
      ExportMember m;
      m.path = canonicalPath(r.path);
      m.offset = job.offset;
      m.sampleRate = r.sampleRate;
      BwfStamp stamp;
      stamp.timeReference = paddingFrames(settings.timelineStart + job.offset, r.sampleRate);
      stamp.description = r.fileName + " in " + clusterFolderName(job.cluster);
      stamp.ixml = bwfIxml(clusterFolderName(job.cluster), m, settings.timelineStart);
      if (writeBwfCopy(r.path, r.sampleRate, r.channels, stamp, job.target, why)) {
        std::cout << "wrote " << job.target << " (time stamp "
                  << describeOffset(settings.timelineStart + job.offset, stamp.timeReference)
                  << ", " << r.sampleRate << " Hz)" << std::endl;
        if (settings.written != nullptr) (*settings.written)[r.id] = job.target;
      } else {
        std::cerr << "Velk: cannot write " << job.target << ": " << why << std::endl;
        allOk = false;
      }
    } else if (writePaddedCopy(*job.recording, job.offset, job.target, why)) {
      if (settings.written != nullptr) (*settings.written)[r.id] = job.target;
      std::cout << "wrote " << job.target << " (offset "
                << describeOffset(job.offset, paddingFrames(job.offset, job.recording->sampleRate))
                << ", " << job.recording->sampleRate << " Hz)" << std::endl;
    } else {
      std::cerr << "Velk: cannot write " << job.target << ": " << why << std::endl;
      allOk = false;
    }
  }
  if (!allOk) error = "some synchronized copies could not be written";
  return allOk;
}

}  // namespace velktool
