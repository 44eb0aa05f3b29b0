// Internal entry points and memory knobs of pairwise matching. The defaults suit every realistic
// job; the tests shrink them to drive the sorted-votes and multi-batch paths on small data.
#ifndef VELK_CLUSTER_MATCH_TUNING_H
#define VELK_CLUSTER_MATCH_TUNING_H

#include <cstdint>
#include <functional>
#include <limits>

#include "velk/cluster_stages.h"

namespace Velk {

// A pair's votes from the rarer hashes: its highest bin and that bin's
// share of the rarer landmarks where the two overlap at its offset (as the
// acceptance test's match fraction, the larger of the two), and the mean and
// deviation of its bins over all its possible offsets.
struct VkCandidatePeak {
  uint32_t peak = 0;
  float fraction = 0.0f;
  float mean = 0.0f;
  float deviation = 0.0f;
  // Worth voting in full, when the acceptance test asks for minFraction.
  bool chosen(float minFraction) const;
};
// A candidate's peak: at least this many votes, this many deviations above
// the mean, and this share of the match fraction the acceptance test asks.
constexpr uint32_t kCandidateMinPeak = 3;
constexpr float kCandidateDeviations = 6.0f;
constexpr float kCandidateFractionShare = 0.5f;
// The candidate limit of large runs: the designed popular-hash limit.
constexpr uint32_t kCandidateLimit = 250;

// Frames and rarer landmarks of the two recordings of a pair.
struct VkCandidateSides {
  int32_t firstA, lastA, firstB, lastB;
  uint64_t landmarksA, landmarksB;
};
VkCandidatePeak candidatePeak(const VkOffsetHistogram& histogram, const VkCandidateSides& sides);
// The same from the first vote's sums: its highest bin (the earliest of
// equal ones) and that bin's offset, its votes, and the sum of its bins' squares.
struct VkFirstVote {
  uint32_t peak = 0;
  int32_t offset = 0;
  uint64_t votes = 0;
  uint64_t squares = 0;
};
VkCandidatePeak candidatePeak(const VkFirstVote& votes, const VkCandidateSides& sides);

struct VkMatchTuning {
  // Vote memory (8 bytes a vote) one batch of pairs sharing recording A may use;
  // a quarter of it bounds the table of votes per chunk counted in advance.
  uint64_t batchBytes = uint64_t{128} << 20;
  // A pair is counted (not sorted) when 12 bytes per possible offset cost at most
  // 8 bytes per vote plus this; 1 MiB covers two 45-minute recordings.
  uint64_t denseAllowance = uint64_t{1} << 20;
  // Only recordings of rank (place among the ascending ids) below this are
  // recording A: pairs of two later ones are not voted. A re-run gives its new
  // recordings the lowest ids and matches them against stored ones this way.
  int32_t anchorsBelow = std::numeric_limits<int32_t>::max();
  // When set, only pairs whose smaller recording id it accepts are counted: parts
  // of a job can split the pairs between them while each holds the whole index,
  // which the limit on popular hashes needs.
  std::function<bool(int32_t id)> anchorIds;
  // Threads that vote; whatever their number, the sink and progress see the same
  // calls in the same order, all on the calling thread.
  unsigned threads = 1;
  // Called once the index is built, before any vote: the tables' hashes are
  // not read after that, so a host that keeps only counts may free them here.
  std::function<void()> indexBuilt;
  // When set, hashes with at most this many landmarks vote first, and only
  // the pairs whose votes peak at their bar (candidatePeak) are voted by
  // every hash and handed on; the others are never seen.
  uint32_t candidateLimit = 0;
  // The acceptance test's match fraction (VkCandidatePeak::chosen).
  float candidateFraction = 0.0f;
  // Sees every pair of the first vote with its peak (for benches): in no
  // fixed order, one call at a time, on the voting threads.
  std::function<void(const VkPairKey& pair, const VkCandidatePeak& peak)> candidateSeen;
  // Each recording's landmarks in the hashes that vote first, as this index
  // counts them (every id of the job, once, before the first vote); returns
  // what the candidate rule uses. An index that holds only part of an
  // archive's landmarks gives back the archive's numbers.
  std::function<uint64_t(int32_t id, uint64_t counted)> firstVoteLandmarks;
  // When set, the pairs the first vote chooses come here (ids, ascending)
  // instead of being voted in full.
  std::function<void(const VkPairKey& pair)> chosen;
  // Sees every hash with more than countedAbove landmarks in the index's
  // source, with that count, once, while the index is built: the exact
  // counts of the popular hashes without another pass over the landmarks.
  uint32_t countedAbove = std::numeric_limits<uint32_t>::max();
  std::function<void(uint32_t hash, uint64_t landmarks)> counted;
};

VkPairHistograms* matchPairsTuned(VkLandmarkIndex& index, VkFileSet* fileSet, VkProgress* progress,
                                  const VkMatchTuning& tuning);

// Receives each pair's histogram once it is final (pairs in no fixed order); the
// histogram is only lent, and may be changed or moved from.
using VkPairSink = std::function<void(const VkPairKey& pair, VkOffsetHistogram& histogram)>;

// Matching that hands every histogram to sink instead of keeping them all.
void matchPairsInto(VkLandmarkIndex& index, VkFileSet* fileSet, VkProgress* progress,
                    const VkMatchTuning& tuning, const VkPairSink& sink);

// Matching of the entries already in index (emptied after). A hash's limit
// (index.maxLandmarks) counts its landmarks in the index, so a part of a job
// that holds every landmark of its hashes votes as the whole job would.
void matchIndex(VkLandmarkIndex& index, VkProgress* progress, const VkMatchTuning& tuning,
                const VkPairSink& sink);

// The measurements of one pair from its histogram; stats holds the ids.
void measurePair(VkPairStats& stats, VkFileSet* fileSet, const VkOffsetHistogram* histogram);

}  // namespace Velk

#endif
