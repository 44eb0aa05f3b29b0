// The feature store: the landmarks of an archive's recordings in one SQLite
// file, so that a re-run extracts only what is new or changed.
#ifndef VELK_ENGINE_FEATURE_STORE_H
#define VELK_ENGINE_FEATURE_STORE_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
  int64_t key = 0;  // the store's row of the file, once found unchanged or saved
};

// What an extraction learnt of a recording besides its landmarks.
struct ExtractionFacts {
  std::string warnings;     // the decoder's lines, one a line
  std::string channelNote;  // why another channel than the first was analysed
  double durationSeconds = 0.0;
  int channel = 0;
};

// What the last clustering of an archive left for the next (see
// engine/incremental.h): kept as a whole, replaced as a whole.
struct PairState {
  std::string params;         // the acceptance settings its pairs were judged with
  uint32_t limit = 0;         // the popular-hash limit of that run
  uint32_t popularAbove = 0;  // popular holds every hash with more landmarks than this
  int64_t generation = 0;     // changes with every write
  std::vector<std::pair<int64_t, int64_t>> members;  // row key, place in that run's order
  std::string popular;                               // encoded by its user
  std::string pairs;                                 // encoded by its user
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
  // Forgets files that are no longer on disk; how many. Rows the pair state
  // still counts among its members stay readable by key until it is replaced.
  virtual std::size_t dropMissing() = 0;

  // The row a file found unchanged or saved by this store object has, else 0.
  virtual int64_t keyOf(const std::string& path) const = 0;
  // The landmarks of a row (as recording id); null when there is no such row.
  virtual std::unique_ptr<VkFile> loadKey(int64_t key, int32_t id) = 0;
  // The pair state; false when there is none.
  virtual bool readPairs(PairState& state) = 0;
  // Replaces the pair state (null: removes it) unless another run replaced it
  // since state.generation was read (0: none was); false with a reason.
  virtual bool writePairs(const PairState* state, int64_t readGeneration, std::string& error) = 0;
};

// The content fingerprint of a file of size bytes: a hash of its first and
// last MiB and its size. False when it cannot be read.
bool fingerprintFile(const std::string& path, int64_t size, uint64_t& out);

}  // namespace Velk

#endif
