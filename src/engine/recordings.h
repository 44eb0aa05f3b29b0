// Landmark extraction of a run's recordings on several threads, with results
// and messages that do not depend on the number of threads.
#ifndef VELK_ENGINE_RECORDINGS_H
#define VELK_ENGINE_RECORDINGS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/feature_store.h"
#include "engine/kept_audio.h"
#include "engine/reporter.h"
#include "velk/landmark.h"
#include "velk/params.h"
#include "velk/sync.h"

namespace Velk {

// Sorts the given regular files, in the order given, into recordings and
// skipped files (appended to listing), and numbers the recordings from 1.
void classifyFiles(const std::vector<std::string>& paths, uint32_t extractionRate,
                   Listing& listing);

// Extracts every recording on up to threads threads, reporting the designed
// "STARTING: " and "FEATURE EXTRACTION COMPLETE: " lines in id order, and
// gathers the results in a new file set (names and paths as runAll gives them).
// Recordings that fail are appended to failures and left out of the set.
// channel is that of SyncSettings; each recording's analysed channel is set.
// With a store, files it holds unchanged are read from it (without the
// designed lines, since nothing is extracted) and new extractions are kept in it.
// With a keeper, kept receives (by position) what refinement will read of each
// recording decoded here: its analysed channel at its own rate, or null.
VkFileSet* extractRecordings(std::vector<Recording>& recordings, const VkExtractParams& params,
                             int channel, unsigned threads, const Reporter& report,
                             std::vector<SkippedFile>& failures, FeatureStore* store = nullptr,
                             AudioKeeper* keeper = nullptr,
                             std::vector<std::shared_ptr<const MemoryAudio>>* kept = nullptr);

}  // namespace Velk

#endif
