// Synchronized copies: one folder per cluster, each member as a 16-bit WAV file
// at its own rate and channel count, preceded by silence for its offset so that
// all members of a cluster start together.
#ifndef VELK_TOOL_SYNC_OUTPUT_H
#define VELK_TOOL_SYNC_OUTPUT_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "velk/wav_writer.h"
#include "velktool/types.h"

namespace velktool {

// Name of the folder of the cluster at position index (from 0): cluster_01, ...
std::string clusterFolderName(std::size_t index);

// The smallest offset of a cluster's members: 0 unless a chosen reference
// starts after some of them. Copies and timelines start there.
double earliestOffset(const ClusterResult& cluster);

// Frames of silence that put a member at offsetSeconds, to the nearest sample.
uint64_t paddingFrames(double offsetSeconds, uint32_t sampleRate);

// What a copy holds besides the sound, and how its file is laid out.
struct CopyLayout {
  uint64_t padFrames = 0;              // silence before the sound
  std::vector<Velk::WavChunk> chunks;  // between "fmt " and "data"
  bool rf64 = false;                   // RF64 once the RIFF size passes riffLimit
  uint64_t riffLimit = 0xFFFFFFFFull;
  // The sound is moved onto the reference's clock: its time t lands at t x
  // clockRate (the member's drift against the reference); 1 leaves it as it is.
  double clockRate = 1.0;
};

// Decodes source at its own rate, every channel, into a 16-bit WAV copy
// written through a temporary file in the target's folder, renamed over
// target when complete; nothing is left behind on failure.
bool writeCopyFile(const std::string& source, uint32_t sampleRate, int channels,
                   const CopyLayout& layout, const std::string& target, std::string& error);

// A copy preceded by silence for its offset.
bool writePaddedCopy(const Recording& recording, double offsetSeconds, const std::string& target,
                     std::string& error, double clockRate = 1.0);

// The file in each output folder that lists the copies the last run wrote.
constexpr const char* kManifestName = ".velk-manifest";

// Copies handled so far, of how many, and the bytes written.
using CopyProgress = std::function<void(std::size_t done, std::size_t total, uint64_t bytes)>;

struct CopySettings {
  // Broadcast WAV copies without the silence, placed by their bext time stamp
  // (samples from the timeline's zero, which is timelineStart seconds).
  bool bwf = false;
  double timelineStart = 0.0;
  // Each copy on its cluster reference's clock (where its drift is known), so
  // that copies keep together to their ends, not only at their starts.
  bool driftCorrect = false;
  std::map<int32_t, std::string>* written = nullptr;  // receives id -> copy path
};

// Writes every cluster under outputFolder. Refuses (writing nothing) an output
// folder that is the input folder (if any) or lies inside it, and any target
// that is an input file. Removes the copies the folder's manifest lists from
// the previous run that this run does not write again, and no other file.
// A note for each file written; false when anything failed.
bool writeSynchronizedCopies(const std::string& outputFolder, const std::string& inputFolder,
                             const std::vector<ClusterResult>& clusters,
                             const std::map<int32_t, const Recording*>& recordings,
                             std::string& error, const CopyProgress& progress = {},
                             const CopySettings& settings = CopySettings());

}  // namespace velktool

#endif
