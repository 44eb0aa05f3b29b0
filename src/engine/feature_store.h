// The feature store: the landmarks of an archive's recordings in one SQLite
// file, so that a re-run extracts only what is new or changed.
#ifndef VELK_ENGINE_FEATURE_STORE_H
#define VELK_ENGINE_FEATURE_STORE_H

#include <cstdint>
#include <memory>
#include <string>

#include "velk/landmark.h"
#include "velk/params.h"
#include "velk/sync.h"

namespace Velk {

// What the store knows of a file on disk: where, how large, when written and
// a fingerprint of its content.
struct FileStamp {
  std::string path;  // absolute
  int64_t size = -1;
  int64_t mtimeNs = 0;
  uint64_t fingerprint = 0;
  bool fingerprinted = false;
};

// What an extraction learnt of a recording besides its landmarks.
struct ExtractionFacts {
  std::string warnings;     // the decoder's lines, one a line
  std::string channelNote;  // why another channel than the first was analysed
  double durationSeconds = 0.0;
  int channel = 0;
};

class FeatureStore {
 public:
  // Opens or creates the store at path for these extraction settings; a store
  // made with other settings is emptied (note says so). Null with a one-line
  // reason when it cannot be used, or when this build has no SQLite.
  static std::unique_ptr<FeatureStore> open(const std::string& path, const VkExtractParams& params,
                                            int channel, std::string& note, std::string& error);
  virtual ~FeatureStore() = default;

  // The file's stamp, and whether the store holds its extraction unchanged.
  // False with stamp.size < 0 when the file cannot be looked at.
  virtual bool find(const Recording& r, FileStamp& stamp) = 0;
  // The stored landmarks (as recording r.id) of a file find() accepted, with
  // its facts; null when the row is unreadable.
  virtual std::unique_ptr<VkFile> load(const Recording& r, const FileStamp& stamp,
                                       ExtractionFacts& facts) = 0;
  // Keeps an extraction, in a transaction of its own; false with a reason.
  virtual bool save(const FileStamp& stamp, const VkFile& file, const ExtractionFacts& facts,
                    std::string& error) = 0;
  // Forgets files that are no longer on disk; how many.
  virtual std::size_t dropMissing() = 0;
};

// The content fingerprint of a file of size bytes: a hash of its first and
// last MiB and its size. False when it cannot be read.
bool fingerprintFile(const std::string& path, int64_t size, uint64_t& out);

}  // namespace Velk

#endif
