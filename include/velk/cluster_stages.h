// The stages of a clustering run: landmark index and offset histograms,
// pair statistics and the acceptance test, cluster formation and offset
// propagation. VkClusterSync::run chains them; they are public so that hosts
// and tests can inspect each stage.
#ifndef VELK_CLUSTER_STAGES_H
#define VELK_CLUSTER_STAGES_H

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "velk/cluster.h"
#include "velk/export.h"
#include "velk/landmark.h"
#include "velk/params.h"

namespace Velk {

// A recording pair (idA, idB) with idA < idB; std::pair orders by idA, then idB.
using VkPairKey = std::pair<int32_t, int32_t>;

// Every landmark of a job by hash. Entries are added table by table in
// ascending id, then frame, then order of addition; matching groups them by
// hash, then by recording (fileId), keeping that order within a recording.
// Empty outside matchPairs.
class VELK_API VkLandmarkIndex {
 public:
  struct Entry {
    uint32_t hash;
    int32_t fileId;  // the landmark's getFileId(): 0 without a table, not always the indexing table
    int32_t time;
  };

  explicit VkLandmarkIndex(uint32_t maxLandmarks) : maxLandmarks(maxLandmarks) {}
  void clear();

  std::vector<Entry> entries;
  uint32_t maxLandmarks;  // a hash borne by more landmarks than this is dropped
};

VELK_API void buildIndex(VkLandmarkIndex& index, const VkFile* file);

// What verification reads of one offset of a histogram: the number of votes and
// the earliest and latest time of recording A among them.
struct VELK_API VkOffsetBin {
  int32_t offset;  // time in A minus time in B, in frames
  uint32_t count;
  int32_t minTimeA;
  int32_t maxTimeA;
};

// The offset histogram of one pair, in ascending offset, only offsets with votes.
using VkOffsetHistogram = std::vector<VkOffsetBin>;
using VkPairHistograms = std::map<VkPairKey, VkOffsetHistogram*>;

// Returns a new table (never null) that the caller frees with deletePairHistograms.
VELK_API VkPairHistograms* matchPairs(VkLandmarkIndex& index, VkFileSet* fileSet,
                                      VkProgress* progress);
VELK_API void deletePairHistograms(VkPairHistograms* table);

// How believable the peak offset of one pair is.
struct VELK_API VkPairStats {
  int32_t idA = 0;
  int32_t idB = 0;
  float peakCount = 0;
  float overlapLength = 0;
  float matchFractionA = 0;
  float matchFractionB = 0;
  float overlapLandmarksA = 0;
  float overlapLandmarksB = 0;
  float templateLength = 0;
  float histogramMean = 0;
  float histogramStdDev = 0;
  bool accepted = false;
  float peakOffset = 0;
  const VkOffsetHistogram* histogram = nullptr;  // not owned; dangles once histograms are freed

  void print() const;
};

using VkPairStatsTable = std::map<VkPairKey, VkPairStats*>;

// Null when either argument is null; else a new table freed with deletePairStats.
VELK_API VkPairStatsTable* verifyPairs(VkFileSet* fileSet, VkPairHistograms* histograms);
VELK_API void deletePairStats(VkPairStatsTable* table);

// The seven-test acceptance of a pair.
VELK_API bool acceptPair(const VkPairStats& stats, uint32_t acceptThreshold, float framesPerSecond,
                         float minTemplateLength, float minOverlapLength, float minPercentMatch);

// Members and offsets (frames) of one group while its offsets are worked out.
class VELK_API VkGroupTable {
 public:
  using MemberMap = std::map<int32_t, float>;

  void init(const std::set<int32_t>& group);
  void merge(int32_t a, int32_t b, float d);
  void normalise();
  std::set<MemberMap> groups() const;
  void print() const;

  std::map<int32_t, MemberMap> table;
};

VELK_API void printGroup(const VkGroupTable::MemberMap& members);

// Groups of recordings joined by accepted pairs.
class VELK_API VkRecordingPartition {
 public:
  using Group = std::set<int32_t>;

  void build(const VkFileSet* fileSet);
  void join(int32_t a, int32_t b);
  std::set<VkGroupTable*> alignComponents(const VkPairStatsTable* stats) const;

  std::set<Group> groups;
};

class VELK_API VkClusterFormer {
 public:
  explicit VkClusterFormer(const VkClusterSyncParams& p);

  bool accepts(const VkPairStats& stats) const;
  VkClusterSet* formClusters(VkFileSet* fileSet, VkPairStatsTable* stats) const;

  uint32_t acceptThreshold;
  float framesPerSecond;
  float minTemplateLength;
  float minOverlapLength;
  float minPercentMatch;
};

}  // namespace Velk

#endif
