// Pairwise matching: the landmark index and the offset histogram of every pair
// of recordings that share a hash.
//
// Votes are not collected hash by hash into one huge structure. After the index
// is grouped by hash and recording (stable counting and radix sorts), the
// recordings are taken one at a time as recording A, and all pairs (A, B) with
// B > A are voted at once; when A is done its histograms are final. A pair whose
// possible offsets cost no more than 8 bytes per vote (plus an allowance) is
// counted: its offsets are cut into cache-sized chunks, its votes written chunk
// by chunk into a buffer and each chunk counted in one small counter. Other
// pairs get packed 8-byte (offset, time) words that are sorted and reduced. The
// observable result equals walking the hashes in ascending order: the
// histograms only depend on the multiset of votes, and the progress fractions
// only on the number of hashes that can vote.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "cluster/match_tuning.h"
#include "velk/cluster_stages.h"

namespace Velk {

void VkLandmarkIndex::clear() {
  std::vector<Entry>().swap(entries);  // give the memory back, not only the size
}

void buildIndex(VkLandmarkIndex& index, const VkFile* file) {
  if (file == nullptr) return;
  file->forEachLandmark([&index](int32_t time, uint32_t hash, int32_t fileId) {
    index.entries.push_back({hash, fileId, time});
  });
}

void deletePairHistograms(VkPairHistograms* table) {
  if (table == nullptr) return;
  for (auto& kv : *table) delete kv.second;
  delete table;
}

namespace {

using Entry = VkLandmarkIndex::Entry;

// Replays the percent steps of the walk over the N hashes that can vote, so the
// sink sees the same calls whatever order the work is really done in.
class HashWalkProgress {
 public:
  HashWalkProgress(VkProgress* sink, uint64_t hashes) : sink_(sink), n_(hashes) {}

  void advanceTo(uint64_t k) {
    if (sink_ == nullptr) {
      k_ = k;
      return;
    }
    while (k_ < k) {
      ++k_;
      const int p = static_cast<int>(static_cast<float>(k_) * 100.0f / static_cast<float>(n_));
      if (p > last_) {
        sink_->setFraction(static_cast<float>(p) / 100.0f);
        last_ = p;
      }
    }
  }

 private:
  VkProgress* sink_;
  uint64_t n_;
  uint64_t k_ = 0;
  int last_ = 0;
};

struct DenseBin {
  uint32_t count;
  int32_t minTimeA;
  int32_t maxTimeA;
};

constexpr DenseBin kEmptyBin{0, std::numeric_limits<int32_t>::max(),
                             std::numeric_limits<int32_t>::min()};

constexpr uint32_t kBias = 0x80000000u;  // maps int32 order onto uint32 order

inline uint32_t biasTime(int32_t t) { return static_cast<uint32_t>(t) ^ kBias; }
inline int32_t unbias(uint32_t v) { return static_cast<int32_t>(v ^ kBias); }

// A counted pair's offsets are cut into chunks of this many bins, so that one
// chunk's counter (192 KiB) stays in the core's cache while its votes are
// counted; votes reach a chunk through sequential writes, not random ones.
constexpr unsigned kChunkShift = 14;
constexpr uint64_t kChunkBins = uint64_t{1} << kChunkShift;
// A chunk with fewer votes than its width / kSortBelow is sorted, not counted:
// scanning a nearly empty counter would cost more.
constexpr uint64_t kSortBelow = 16;

// Appends the bins of sorted words (key << 32 | biased time of A); within a key
// the words are in time order, so the first is the earliest vote.
template <typename OffsetOf>
void appendSorted(const uint64_t* v, std::size_t n, OffsetOf offsetOf, VkOffsetHistogram& out) {
  for (std::size_t i = 0; i < n;) {
    const auto key = static_cast<uint32_t>(v[i] >> 32);
    std::size_t j = i + 1;
    while (j < n && static_cast<uint32_t>(v[j] >> 32) == key) ++j;
    out.push_back({offsetOf(key), static_cast<uint32_t>(j - i), unbias(static_cast<uint32_t>(v[i])),
                   unbias(static_cast<uint32_t>(v[j - 1]))});
    i = j;
  }
}

// Sparse votes of one pair (biased offset << 32 | biased time of A) as bins in out.
void finishSparse(std::vector<uint64_t>& v, VkOffsetHistogram& out) {
  std::sort(v.begin(), v.end());
  out.clear();
  appendSorted(v.data(), v.size(), unbias, out);
  std::vector<uint64_t>().swap(v);
}

// Votes of one chunk (offset - first << 32 | biased time of A) as bins appended
// in ascending offset. The counter is left empty again.
void reduceChunk(uint64_t* v, std::size_t n, int64_t first, std::size_t width, DenseBin* counter,
                 VkOffsetHistogram& out) {
  auto offsetOf = [first](uint32_t k) { return static_cast<int32_t>(first + k); };
  if (n * kSortBelow < width) {
    std::sort(v, v + n);
    appendSorted(v, n, offsetOf, out);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    DenseBin& bin = counter[v[i] >> 32];
    const int32_t t = unbias(static_cast<uint32_t>(v[i]));
    ++bin.count;
    bin.minTimeA = std::min(bin.minTimeA, t);
    bin.maxTimeA = std::max(bin.maxTimeA, t);
  }
  for (std::size_t k = 0; k < width; ++k) {
    DenseBin& bin = counter[k];
    if (bin.count == 0) continue;
    out.push_back({offsetOf(static_cast<uint32_t>(k)), bin.count, bin.minTimeA, bin.maxTimeA});
    bin = kEmptyBin;
  }
}

// Stable counting sort on the recording rank. A landmark's recording is its
// getFileId(), which need not be the table it was indexed from (a null back
// pointer gives 0, a foreign one another id), so index order alone does not
// keep a recording's entries together. Skipped when the ranks already ascend.
void sortByRank(std::vector<Entry>& entries, std::size_t ranks) {
  bool ascending = true;
  for (std::size_t i = 1; i < entries.size() && ascending; ++i) {
    ascending = entries[i - 1].fileId <= entries[i].fileId;
  }
  if (ascending) return;
  std::vector<std::size_t> start(ranks + 1, 0);
  for (const Entry& x : entries) ++start[static_cast<std::size_t>(x.fileId) + 1];
  for (std::size_t r = 0; r < ranks; ++r) start[r + 1] += start[r];
  std::vector<Entry> other(entries.size());
  for (const Entry& x : entries) other[start[static_cast<std::size_t>(x.fileId)]++] = x;
  entries.swap(other);
}

// Stable LSD radix sort on the hash alone. After sortByRank, each hash's list
// comes out ordered by recording and, within a recording, in index order.
void sortByHash(std::vector<Entry>& entries) {
  constexpr unsigned kDigitBits[] = {11, 11, 10};
  const std::size_t n = entries.size();
  if (n < 2) return;
  std::vector<std::size_t> counts[3];
  unsigned shift = 0;
  for (int d = 0; d < 3; ++d) {
    counts[d].assign(std::size_t{1} << kDigitBits[d], 0);
  }
  for (const Entry& x : entries) {
    ++counts[0][x.hash & 0x7ffu];
    ++counts[1][(x.hash >> 11) & 0x7ffu];
    ++counts[2][x.hash >> 22];
  }
  std::vector<Entry> other;
  for (int d = 0; d < 3; ++d) {
    std::vector<std::size_t>& c = counts[d];
    const uint32_t mask = (uint32_t{1} << kDigitBits[d]) - 1;
    // A digit shared by every entry (the extractor's top bits are 0) moves nothing.
    if (std::find(c.begin(), c.end(), n) == c.end()) {
      std::size_t at = 0;
      for (std::size_t& v : c) {
        const std::size_t k = v;
        v = at;
        at += k;
      }
      if (other.empty()) other.resize(n);
      for (const Entry& x : entries) other[c[(x.hash >> shift) & mask]++] = x;
      entries.swap(other);
    }
    shift += kDigitBits[d];
  }
}

// Positions in the index: 4 bytes each while it has fewer than 2^32 entries
// (some 4,000 hours of audio), 8 beyond.
class Positions {
 public:
  void assign(uint64_t n, std::size_t entries) {
    isWide_ = entries > std::numeric_limits<uint32_t>::max();
    if (isWide_)
      wide_.assign(n, 0);
    else
      narrow_.assign(n, 0);
  }
  void set(uint64_t i, std::size_t p) {
    if (isWide_)
      wide_[i] = p;
    else
      narrow_[i] = static_cast<uint32_t>(p);
  }
  std::size_t operator[](uint64_t i) const { return isWide_ ? wide_[i] : narrow_[i]; }

 private:
  bool isWide_ = false;
  std::vector<uint32_t> narrow_;
  std::vector<std::size_t> wide_;
};

// How many runs ahead the walks ask for an index entry.
constexpr uint64_t kPrefetchRuns = 16;

// A pair (A, B) whose votes are counted, chunk by chunk.
struct CountedPair {
  int32_t b;
  int64_t base;        // offset of the pair's first bin
  uint64_t range;      // number of possible offsets
  std::size_t chunk0;  // index of its first chunk among A's chunks
  std::size_t chunks;  // ceil(range / kChunkBins)
};

class HistogramBuilder {
 public:
  // ids: empty when entries hold recording ids in index order; else the ids by
  // rank, the entries holding ranks and already grouped by hash.
  HistogramBuilder(std::vector<Entry>& entries, std::vector<int32_t> ids, uint32_t maxLandmarks,
                   const VkPairSink& sink, VkProgress* progress, const VkMatchTuning& tuning)
      : e_(entries),
        maxLandmarks_(maxLandmarks),
        sink_(sink),
        progress_(progress),
        tuning_(tuning),
        ids_(std::move(ids)) {}

  void run() {
    if (progress_ != nullptr) progress_->setFraction(0.0f);
    if (ids_.empty()) {
      renumberFiles();
      sortByRank(e_, ids_.size());
      sortByHash(e_);
    } else {
      rangesOfRanks();
    }
    collectRuns();
    precounted_ = precount();
    slot_.assign(ids_.size(), -1);
    HashWalkProgress walk(progress_, votingHashes_);
    uint64_t done = 0;
    for (int32_t a = 0; a < anchors(); ++a) {
      if (counts(a)) processAnchor(a);
      done += runStart_[a + 1] - runStart_[a];
      if (totalRuns_ > 0) walk.advanceTo(votingHashes_ * done / totalRuns_);
    }
    walk.advanceTo(votingHashes_);
  }

 private:
  int32_t anchors() const {
    return std::min(static_cast<int32_t>(ids_.size()), tuning_.anchorsBelow);
  }

  // Replaces recording ids by their rank (order-preserving), so per-recording
  // data are plain vectors; ranges of times per recording come along.
  void renumberFiles() {
    std::set<int32_t> seen;
    for (std::size_t i = 0; i < e_.size(); ++i) {
      if (i == 0 || e_[i].fileId != e_[i - 1].fileId) seen.insert(e_[i].fileId);
    }
    ids_.assign(seen.begin(), seen.end());
    int32_t lastId = 0;
    int32_t rank = -1;
    for (Entry& x : e_) {
      if (rank < 0 || x.fileId != lastId) {
        lastId = x.fileId;
        rank =
            static_cast<int32_t>(std::lower_bound(ids_.begin(), ids_.end(), lastId) - ids_.begin());
      }
      x.fileId = rank;
    }
    rangesOfRanks();
  }

  void rangesOfRanks() {
    minTime_.assign(ids_.size(), std::numeric_limits<int32_t>::max());
    maxTime_.assign(ids_.size(), std::numeric_limits<int32_t>::min());
    for (const Entry& x : e_) {
      minTime_[x.fileId] = std::min(minTime_[x.fileId], x.time);
      maxTime_[x.fileId] = std::max(maxTime_[x.fileId], x.time);
    }
  }

  // Calls fn(begin, end) for every hash that votes: at most maxLandmarks
  // landmarks, from at least two recordings. Counts the hashes with two or more
  // landmarks on the way: they are the ones the progress walks over.
  template <typename Fn>
  void forEachVotingHash(Fn fn) {
    votingHashes_ = 0;
    const std::size_t n = e_.size();
    for (std::size_t i = 0; i < n;) {
      std::size_t j = i + 1;
      while (j < n && e_[j].hash == e_[i].hash) ++j;
      const std::size_t len = j - i;
      if (len >= 2) {
        ++votingHashes_;
        if (len <= maxLandmarks_ && e_[i].fileId != e_[j - 1].fileId) fn(i, j);
      }
      i = j;
    }
  }

  // For each recording A, where its runs start in the hashes that give it a
  // partner B > A (every run of a hash but the last), in ascending hash order.
  void collectRuns() {
    const std::size_t files = ids_.size();
    runStart_.assign(files + 1, 0);
    auto eachRun = [this](std::size_t i, std::size_t j, auto fn) {
      for (std::size_t p = i; p < j;) {
        std::size_t q = p + 1;
        while (q < j && e_[q].fileId == e_[p].fileId) ++q;
        if (q < j && e_[p].fileId < tuning_.anchorsBelow) fn(e_[p].fileId, p);
        p = q;
      }
    };
    forEachVotingHash([&](std::size_t i, std::size_t j) {
      eachRun(i, j, [this](int32_t a, std::size_t) { ++runStart_[a + 1]; });
    });
    for (std::size_t f = 0; f < files; ++f) runStart_[f + 1] += runStart_[f];
    totalRuns_ = runStart_[files];
    runs_.assign(totalRuns_, e_.size());
    std::vector<uint64_t> fill(runStart_.begin(), runStart_.end() - 1);
    forEachVotingHash([&](std::size_t i, std::size_t j) {
      eachRun(i, j, [&](int32_t a, std::size_t p) { runs_.set(fill[a]++, p); });
    });
  }

  // Calls fn(aBegin, aEnd, b, bBegin, bEnd) for every run of a later recording b
  // in each hash where recording a has a run.
  template <typename Fn>
  void forEachPartnerRun(int32_t a, Fn fn) const {
    const std::size_t n = e_.size();
    const uint64_t end = runStart_[a + 1];
    for (uint64_t r = runStart_[a]; r < end; ++r) {
      // A's runs lie scattered over the whole index; asking for a later one now
      // hides most of the cache miss that would otherwise stall every run.
      if (r + kPrefetchRuns < end) __builtin_prefetch(&e_[runs_[r + kPrefetchRuns]]);
      const std::size_t p = runs_[r];
      const uint32_t h = e_[p].hash;
      std::size_t pa = p + 1;
      while (pa < n && e_[pa].hash == h && e_[pa].fileId == a) ++pa;
      for (std::size_t q = pa; q < n && e_[q].hash == h;) {
        const int32_t b = e_[q].fileId;
        std::size_t qe = q + 1;
        while (qe < n && e_[qe].hash == h && e_[qe].fileId == b) ++qe;
        fn(p, pa, b, q, qe);
        q = qe;
      }
    }
  }

  bool counts(int32_t a) const { return !tuning_.anchorIds || tuning_.anchorIds(ids_[a]); }

  void store(int32_t a, int32_t b, VkOffsetHistogram& hist) {
    if (!hist.empty()) sink_(VkPairKey(ids_[a], ids_[b]), hist);
  }

  // Number of counter chunks of pair (a, b): its possible offsets run from
  // minTime[a] - maxTime[b] to maxTime[a] - minTime[b].
  uint64_t chunksOf(int32_t a, int32_t b) const {
    const auto range = static_cast<uint64_t>(static_cast<int64_t>(maxTime_[a]) - minTime_[a] +
                                             maxTime_[b] - minTime_[b] + 1);
    return (range + kChunkBins - 1) >> kChunkShift;
  }

  // Adds the votes of run x in [p, pa) against run y in [q, qe) to the chunk
  // counts of their pair, whose first bin is offset base.
  void countChunks(std::size_t p, std::size_t pa, std::size_t q, std::size_t qe, int64_t base,
                   uint64_t* count) const {
    for (std::size_t x = p; x < pa; ++x) {
      const int64_t row = static_cast<int64_t>(e_[x].time) - base;
      for (std::size_t y = q; y < qe; ++y)
        ++count[static_cast<uint64_t>(row - e_[y].time) >> kChunkShift];
    }
  }

  // The votes per chunk of every pair in one sequential pass over the index,
  // instead of a scattered walk per recording A; done when the table fits a
  // quarter of the batch budget (else each A counts its own).
  bool precount() {
    const uint64_t files = ids_.size();
    if (files > 4096) return false;
    uint64_t chunks = 0;
    for (int32_t a = 0; a < anchors(); ++a)
      for (int32_t b = a + 1; b < static_cast<int32_t>(files); ++b) chunks += chunksOf(a, b);
    if ((files * files + chunks) * sizeof(uint64_t) > tuning_.batchBytes / 4) return false;
    pairChunk0_.assign(files * files, 0);
    uint64_t at = 0;
    for (int32_t a = 0; a < anchors(); ++a) {
      for (int32_t b = a + 1; b < static_cast<int32_t>(files); ++b) {
        pairChunk0_[a * files + b] = at;
        at += chunksOf(a, b);
      }
    }
    chunkVotes_.assign(chunks, 0);
    forEachVotingHash([&](std::size_t i, std::size_t j) {
      for (std::size_t p = i; p < j;) {
        const int32_t a = e_[p].fileId;
        if (a >= anchors()) break;
        std::size_t pa = p + 1;
        while (pa < j && e_[pa].fileId == a) ++pa;
        for (std::size_t q = counts(a) ? pa : j; q < j;) {
          const int32_t b = e_[q].fileId;
          std::size_t qe = q + 1;
          while (qe < j && e_[qe].fileId == b) ++qe;
          countChunks(p, pa, q, qe, static_cast<int64_t>(minTime_[a]) - maxTime_[b],
                      chunkVotes_.data() + pairChunk0_[a * files + b]);
          q = qe;
        }
        p = pa;
      }
    });
    return true;
  }

  void processAnchor(int32_t a) {
    if (runStart_[a] == runStart_[a + 1]) return;
    const std::size_t files = ids_.size();
    std::vector<uint64_t> votes(files, 0);
    if (precounted_) {
      for (std::size_t b = static_cast<std::size_t>(a) + 1; b < files; ++b) {
        const uint64_t* c = chunkVotes_.data() + pairChunk0_[a * files + b];
        const uint64_t n = chunksOf(a, static_cast<int32_t>(b));
        for (uint64_t k = 0; k < n; ++k) votes[b] += c[k];
      }
    } else {
      forEachPartnerRun(a, [&](std::size_t p, std::size_t pa, int32_t b, std::size_t q,
                               std::size_t qe) { votes[b] += (pa - p) * (qe - q); });
    }

    // A pair is counted when its counters would cost no more than 8 bytes per
    // vote plus the allowance, else its votes are sorted.
    std::vector<int32_t> sorted;
    std::vector<CountedPair> counted;
    std::size_t chunks = 0;
    for (int32_t b = a + 1; b < static_cast<int32_t>(files); ++b) {
      if (votes[b] == 0) continue;
      const int64_t base = static_cast<int64_t>(minTime_[a]) - maxTime_[b];
      const auto range =
          static_cast<uint64_t>(static_cast<int64_t>(maxTime_[a]) - minTime_[b] - base + 1);
      if (range * sizeof(DenseBin) <= votes[b] * sizeof(uint64_t) + tuning_.denseAllowance) {
        const auto n = static_cast<std::size_t>(chunksOf(a, b));
        counted.push_back({b, base, range, chunks, n});
        chunks += n;
      } else {
        sorted.push_back(b);
      }
    }
    voteSorted(a, sorted, votes);
    voteCounted(a, counted, chunks);
  }

  // Pairs whose votes are packed and sorted, in batches of at most batchBytes.
  void voteSorted(int32_t a, const std::vector<int32_t>& pairs,
                  const std::vector<uint64_t>& votes) {
    std::vector<std::vector<uint64_t>> packed;
    for (std::size_t first = 0; first < pairs.size();) {
      std::size_t end = first + 1;
      uint64_t bytes = votes[pairs[first]] * sizeof(uint64_t);
      while (end < pairs.size() &&
             bytes + votes[pairs[end]] * sizeof(uint64_t) <= tuning_.batchBytes)
        bytes += votes[pairs[end++]] * sizeof(uint64_t);
      packed.assign(end - first, std::vector<uint64_t>());
      for (std::size_t i = first; i < end; ++i) {
        slot_[pairs[i]] = static_cast<int32_t>(i - first);
        packed[i - first].reserve(votes[pairs[i]]);
      }
      forEachPartnerRun(
          a, [&](std::size_t p, std::size_t pa, int32_t b, std::size_t q, std::size_t qe) {
            if (slot_[b] < 0) return;
            std::vector<uint64_t>& out = packed[slot_[b]];
            for (std::size_t x = p; x < pa; ++x) {
              const int32_t tx = e_[x].time;
              const uint32_t tbits = biasTime(tx);
              for (std::size_t y = q; y < qe; ++y) {
                // Extracted frames are far below 2^30, so the offset fits 32 bits.
                const auto offset = static_cast<int32_t>(static_cast<int64_t>(tx) - e_[y].time);
                out.push_back(static_cast<uint64_t>(biasTime(offset)) << 32 | tbits);
              }
            }
          });
      for (std::size_t i = first; i < end; ++i) {
        slot_[pairs[i]] = -1;
        finishSparse(packed[i - first], staging_);
        store(a, pairs[i], staging_);
        staging_.clear();
      }
      first = end;
    }
  }

  // Pairs whose votes are counted: their chunks in order, cut into batches of
  // at most batchBytes of votes; each batch's votes are written chunk by chunk
  // into one buffer and then counted in a cache-sized counter.
  void voteCounted(int32_t a, const std::vector<CountedPair>& pairs, std::size_t chunks) {
    if (pairs.empty()) return;
    for (std::size_t i = 0; i < pairs.size(); ++i) slot_[pairs[i].b] = static_cast<int32_t>(i);
    std::vector<uint64_t> perChunk(chunks, 0);
    if (precounted_) {
      const std::size_t files = ids_.size();
      for (const CountedPair& cp : pairs) {
        const uint64_t* c = chunkVotes_.data() + pairChunk0_[a * files + cp.b];
        std::copy(c, c + cp.chunks, perChunk.begin() + static_cast<std::ptrdiff_t>(cp.chunk0));
      }
    } else {
      forEachPartnerRun(
          a, [&](std::size_t p, std::size_t pa, int32_t b, std::size_t q, std::size_t qe) {
            if (slot_[b] < 0) return;
            const CountedPair& cp = pairs[slot_[b]];
            countChunks(p, pa, q, qe, cp.base, perChunk.data() + cp.chunk0);
          });
    }
    if (counter_.empty()) counter_.assign(kChunkBins, kEmptyBin);

    std::vector<uint64_t> fill(chunks, 0);
    std::size_t pair = 0;  // the pair of the chunk being reduced
    const uint64_t budget = std::max<uint64_t>(1, tuning_.batchBytes / sizeof(uint64_t));
    for (std::size_t c0 = 0; c0 < chunks;) {
      std::size_t c1 = c0 + 1;
      uint64_t n = perChunk[c0];
      while (c1 < chunks && n + perChunk[c1] <= budget) n += perChunk[c1++];
      uint64_t at = 0;
      for (std::size_t c = c0; c < c1; ++c) {
        fill[c] = at;
        at += perChunk[c];
      }
      if (n > bufferSize_) {
        buffer_.reset();
        buffer_.reset(new uint64_t[n]);
        bufferSize_ = n;
      }
      uint64_t* buf = buffer_.get();
      forEachPartnerRun(
          a, [&](std::size_t p, std::size_t pa, int32_t b, std::size_t q, std::size_t qe) {
            if (slot_[b] < 0) return;
            const CountedPair& cp = pairs[slot_[b]];
            if (cp.chunk0 + cp.chunks <= c0 || cp.chunk0 >= c1) return;
            for (std::size_t x = p; x < pa; ++x) {
              const int32_t tx = e_[x].time;
              const int64_t row = static_cast<int64_t>(tx) - cp.base;
              const uint32_t tbits = biasTime(tx);
              for (std::size_t y = q; y < qe; ++y) {
                const auto bin = static_cast<uint64_t>(row - e_[y].time);
                const std::size_t c = cp.chunk0 + static_cast<std::size_t>(bin >> kChunkShift);
                if (c < c0 || c >= c1) continue;
                buf[fill[c]++] = (bin & (kChunkBins - 1)) << 32 | tbits;
              }
            }
          });
      uint64_t begin = 0;
      for (std::size_t c = c0; c < c1; ++c) {
        const CountedPair& cp = pairs[pair];
        const uint64_t k = c - cp.chunk0;
        const uint64_t done = k << kChunkShift;
        reduceChunk(buf + begin, perChunk[c], cp.base + static_cast<int64_t>(done),
                    static_cast<std::size_t>(std::min(kChunkBins, cp.range - done)),
                    counter_.data(), staging_);
        begin += perChunk[c];
        if (k + 1 == cp.chunks) {
          store(a, cp.b, staging_);
          staging_.clear();
          slot_[cp.b] = -1;
          ++pair;
        }
      }
      c0 = c1;
    }
  }

  std::vector<Entry>& e_;
  uint32_t maxLandmarks_;
  const VkPairSink& sink_;
  VkProgress* progress_;
  VkMatchTuning tuning_;

  std::vector<int32_t> ids_;  // recording id by rank
  std::vector<int32_t> minTime_;
  std::vector<int32_t> maxTime_;
  uint64_t votingHashes_ = 0;
  std::vector<uint64_t> runStart_;  // per rank, into runs_
  Positions runs_;
  uint64_t totalRuns_ = 0;
  bool precounted_ = false;
  std::vector<uint64_t> pairChunk0_;    // files x files: first chunk of pair (a, b) in chunkVotes_
  std::vector<uint64_t> chunkVotes_;    // votes per chunk of every pair, when precounted
  std::vector<int32_t> slot_;           // per rank: its pair in the current batch, or -1
  std::vector<DenseBin> counter_;       // one chunk; every bin empty between chunks
  std::unique_ptr<uint64_t[]> buffer_;  // votes of one batch, by chunk
  uint64_t bufferSize_ = 0;
  VkOffsetHistogram staging_;  // bins of the pair being finished
};

// Stable sort of entries by hash, whose bits above `bits` are all equal; tmp
// holds at least n entries. Short runs by insertion, longer by 8-bit digits.
void sortLowHashBits(Entry* v, std::size_t n, unsigned bits, Entry* tmp) {
  if (n < 2 || bits == 0) return;
  if (n <= 32) {
    for (std::size_t i = 1; i < n; ++i) {
      const Entry x = v[i];
      std::size_t j = i;
      for (; j > 0 && v[j - 1].hash > x.hash; --j) v[j] = v[j - 1];
      v[j] = x;
    }
    return;
  }
  Entry* from = v;
  Entry* to = tmp;
  for (unsigned shift = 0; shift < bits; shift += 8) {
    std::size_t count[257] = {};
    for (std::size_t i = 0; i < n; ++i) ++count[((from[i].hash >> shift) & 0xffu) + 1];
    if (std::find(count + 1, count + 257, n) != count + 257) continue;  // one digit: no move
    for (int d = 0; d < 256; ++d) count[d + 1] += count[d];
    for (std::size_t i = 0; i < n; ++i) to[count[(from[i].hash >> shift) & 0xffu]++] = from[i];
    std::swap(from, to);
  }
  if (from != v) std::copy(from, from + n, v);
}

// Fills the index as the stable sorts by rank and hash would leave it, straight
// from the tables into one buffer: sorting a filled index needs a second copy
// of it, the largest block of a run. Entries get recording ranks; returns the
// ids by rank. Returns nothing, index untouched, when the ids do not ascend in
// the order the tables are read: the sorts then do the work.
std::vector<int32_t> buildGrouped(VkLandmarkIndex& index, VkFileSet& fileSet,
                                  VkProgress* progress) {
  std::vector<int32_t> ids;
  uint32_t maxHash = 0;
  bool ascending = true;
  std::size_t total = 0;
  for (const auto& kv : fileSet.getFiles()) {
    if (kv.second == nullptr) continue;
    kv.second->forEachLandmark([&](int32_t, uint32_t hash, int32_t id) {
      if (ids.empty() || id > ids.back())
        ids.push_back(id);
      else if (id < ids.back())
        ascending = false;
      maxHash = std::max(maxHash, hash);
      ++total;
    });
    if (!ascending) return {};
  }
  if (ids.empty()) return {};
  // The top 16 significant bits place an entry in its bucket; the rest are
  // sorted bucket by bucket, which needs only the largest bucket's size again.
  unsigned bits = 0;
  while (bits < 32 && (maxHash >> bits) != 0) ++bits;
  const unsigned low = bits > 16 ? bits - 16 : 0;
  std::vector<std::size_t> start((std::size_t{1} << (bits - low)) + 1, 0);
  for (const auto& kv : fileSet.getFiles()) {
    if (kv.second == nullptr) continue;
    kv.second->forEachLandmark(
        [&](int32_t, uint32_t hash, int32_t) { ++start[(hash >> low) + 1]; });
  }
  std::size_t largest = 0;
  for (std::size_t b = 0; b + 1 < start.size(); ++b) {
    largest = std::max(largest, start[b + 1]);
    start[b + 1] += start[b];
  }
  index.entries.resize(total);
  Entry* out = index.entries.data();
  const std::size_t n = fileSet.getFiles().size();
  std::size_t i = 0;
  int32_t rank = -1;
  for (const auto& kv : fileSet.getFiles()) {
    if (kv.second != nullptr) {
      kv.second->forEachLandmark([&](int32_t time, uint32_t hash, int32_t id) {
        if (rank < 0 || id != ids[static_cast<std::size_t>(rank)]) ++rank;
        out[start[hash >> low]++] = {hash, rank, time};
      });
    }
    ++i;
    if (progress != nullptr) progress->setFraction(static_cast<float>(i) / static_cast<float>(n));
  }
  // start[b] is now where bucket b + 1 begins.
  std::vector<Entry> tmp(largest);
  for (std::size_t b = 0, from = 0; b + 1 < start.size(); from = start[b++])
    sortLowHashBits(out + from, start[b] - from, low, tmp.data());
  return ids;
}

// Matching of the index's entries, emptied after; ids as HistogramBuilder takes them.
void runBuilder(VkLandmarkIndex& index, std::vector<int32_t> ids, VkProgress* progress,
                const VkMatchTuning& tuning, const VkPairSink& sink) {
  try {
    HistogramBuilder(index.entries, std::move(ids), index.maxLandmarks, sink, progress, tuning)
        .run();
  } catch (...) {
    index.clear();
    throw;
  }
  index.clear();
}

}  // namespace

VkPairHistograms* matchPairs(VkLandmarkIndex& index, VkFileSet* fileSet, VkProgress* progress) {
  return matchPairsTuned(index, fileSet, progress, VkMatchTuning());
}

VkPairHistograms* matchPairsTuned(VkLandmarkIndex& index, VkFileSet* fileSet, VkProgress* progress,
                                  const VkMatchTuning& tuning) {
  std::unique_ptr<VkPairHistograms, void (*)(VkPairHistograms*)> table(new VkPairHistograms,
                                                                       deletePairHistograms);
  VkPairHistograms& t = *table;
  // Exactly sized copies: kept whole, the histograms are the largest structure of a run.
  matchPairsInto(index, fileSet, progress, tuning,
                 [&t](const VkPairKey& key, VkOffsetHistogram& hist) {
                   VkOffsetHistogram*& slot = t[key];
                   slot = new VkOffsetHistogram(hist.begin(), hist.end());
                 });
  return table.release();
}

void matchPairsInto(VkLandmarkIndex& index, VkFileSet* fileSet, VkProgress* progress,
                    const VkMatchTuning& tuning, const VkPairSink& sink) {
  index.clear();
  std::vector<int32_t> ids;
  if (fileSet != nullptr) {
    if (progress != nullptr) progress->setFraction(0.0f);
    ids = buildGrouped(index, *fileSet, progress);
  }
  if (fileSet != nullptr && ids.empty()) {
    std::size_t total = 0;
    for (const auto& kv : fileSet->getFiles()) {
      if (kv.second != nullptr) total += kv.second->getLandmarkCount();
    }
    index.entries.reserve(total);
    const std::size_t n = fileSet->getFiles().size();
    std::size_t i = 0;
    for (const auto& kv : fileSet->getFiles()) {
      buildIndex(index, kv.second);
      ++i;
      if (progress != nullptr) {
        progress->setFraction(static_cast<float>(i) / static_cast<float>(n));
      }
    }
  }
  runBuilder(index, std::move(ids), progress, tuning, sink);
}

void matchIndex(VkLandmarkIndex& index, VkProgress* progress, const VkMatchTuning& tuning,
                const VkPairSink& sink) {
  runBuilder(index, {}, progress, tuning, sink);
}

}  // namespace Velk
