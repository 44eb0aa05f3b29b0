// Pairwise matching: the landmark index and the offset histogram of every pair
// of recordings that share a hash.
//
// Votes are not collected hash by hash into one huge structure. After the index
// is grouped by hash, the recordings are taken one at a time as recording A, and
// all pairs (A, B) with B > A are voted at once; when A is done its histograms
// are final and its scratch memory is released. Per pair the votes go into a
// dense counter over the pair's possible offsets when that costs no more than
// 8 bytes per vote (plus an allowance), else into packed 8-byte (offset, time)
// words that are sorted and reduced. The observable result equals walking the hashes
// in ascending order: the histograms only depend on the multiset of votes, and
// the progress fractions only on the number of hashes that can vote.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <set>
#include <stdexcept>
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
  for (const auto& frame : file->getLandmarks()) {
    for (const Landmark* lm : frame.second) {
      if (lm != nullptr) index.entries.push_back({lm->hash, lm->getFileId(), lm->time});
    }
  }
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

// Votes of one pair (A, B) while A is being processed.
struct PairAccumulator {
  int32_t b = 0;  // dense index of B
  bool dense = false;
  int64_t base = 0;              // offset of the counter's first bin
  std::size_t range = 0;         // number of possible offsets
  std::size_t at = 0;            // where the counter starts in the shared scratch
  std::vector<uint64_t> packed;  // sparse votes: biased offset << 32 | biased time of A
};

constexpr uint32_t kBias = 0x80000000u;  // maps int32 order onto uint32 order

inline uint64_t packVote(int32_t offset, int32_t timeA) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(offset) ^ kBias) << 32) |
         (static_cast<uint32_t>(timeA) ^ kBias);
}

inline int32_t unbias(uint32_t v) { return static_cast<int32_t>(v ^ kBias); }

constexpr DenseBin kEmptyBin{0, std::numeric_limits<int32_t>::max(),
                             std::numeric_limits<int32_t>::min()};

// Reads a counter out and leaves it empty again for the next pair.
VkOffsetHistogram* finishDense(const PairAccumulator& acc, DenseBin* bins) {
  std::size_t used = 0;
  for (std::size_t i = 0; i < acc.range; ++i) used += bins[i].count != 0;
  auto hist = std::make_unique<VkOffsetHistogram>();
  hist->reserve(used);
  for (std::size_t i = 0; i < acc.range; ++i) {
    DenseBin& bin = bins[i];
    if (bin.count == 0) continue;
    hist->push_back({static_cast<int32_t>(acc.base + static_cast<int64_t>(i)), bin.count,
                     bin.minTimeA, bin.maxTimeA});
    bin = kEmptyBin;
  }
  return hist.release();
}

VkOffsetHistogram* finishSparse(PairAccumulator& acc) {
  std::vector<uint64_t>& v = acc.packed;
  std::sort(v.begin(), v.end());
  std::size_t used = 0;
  for (std::size_t i = 0; i < v.size(); ++i) used += i == 0 || (v[i] >> 32) != (v[i - 1] >> 32);
  auto hist = std::make_unique<VkOffsetHistogram>();
  hist->reserve(used);
  for (std::size_t i = 0; i < v.size();) {
    std::size_t j = i + 1;
    while (j < v.size() && (v[j] >> 32) == (v[i] >> 32)) ++j;
    // Within one offset the words are sorted by time of A: first is earliest.
    hist->push_back({unbias(static_cast<uint32_t>(v[i] >> 32)), static_cast<uint32_t>(j - i),
                     unbias(static_cast<uint32_t>(v[i])), unbias(static_cast<uint32_t>(v[j - 1]))});
    i = j;
  }
  std::vector<uint64_t>().swap(v);
  return hist.release();
}

class HistogramBuilder {
 public:
  HistogramBuilder(std::vector<Entry>& entries, uint32_t maxLandmarks, VkPairHistograms& table,
                   VkProgress* progress, const VkMatchTuning& tuning)
      : e_(entries),
        maxLandmarks_(maxLandmarks),
        table_(table),
        progress_(progress),
        tuning_(tuning) {}

  void run() {
    if (progress_ != nullptr) progress_->setFraction(0.0f);
    if (e_.size() > std::numeric_limits<uint32_t>::max()) {
      throw std::length_error("matchPairs: more than 2^32 landmarks");
    }
    renumberFiles();
    // Entries were appended by recording, then frame; ordering by (hash, file,
    // time) therefore keeps each hash's list in index order, and entries equal in
    // all three fields are interchangeable, so an unstable in-place sort will do.
    std::sort(e_.begin(), e_.end(), [](const Entry& x, const Entry& y) {
      if (x.hash != y.hash) return x.hash < y.hash;
      if (x.fileId != y.fileId) return x.fileId < y.fileId;
      return x.time < y.time;
    });
    collectRuns();
    HashWalkProgress walk(progress_, votingHashes_);
    uint64_t done = 0;
    for (int32_t a = 0; a < static_cast<int32_t>(ids_.size()); ++a) {
      processAnchor(a);
      done += runStart_[a + 1] - runStart_[a];
      if (totalRuns_ > 0) walk.advanceTo(votingHashes_ * done / totalRuns_);
    }
    walk.advanceTo(votingHashes_);
  }

 private:
  // Replaces recording ids by their rank (order-preserving), so per-recording
  // data are plain vectors; ranges of times per recording come along.
  void renumberFiles() {
    std::set<int32_t> seen;
    for (std::size_t i = 0; i < e_.size(); ++i) {
      if (i == 0 || e_[i].fileId != e_[i - 1].fileId) seen.insert(e_[i].fileId);
    }
    ids_.assign(seen.begin(), seen.end());
    minTime_.assign(ids_.size(), std::numeric_limits<int32_t>::max());
    maxTime_.assign(ids_.size(), std::numeric_limits<int32_t>::min());
    int32_t lastId = 0;
    int32_t rank = -1;
    for (Entry& x : e_) {
      if (rank < 0 || x.fileId != lastId) {
        lastId = x.fileId;
        rank =
            static_cast<int32_t>(std::lower_bound(ids_.begin(), ids_.end(), lastId) - ids_.begin());
      }
      x.fileId = rank;
      minTime_[rank] = std::min(minTime_[rank], x.time);
      maxTime_[rank] = std::max(maxTime_[rank], x.time);
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
        if (q < j) fn(e_[p].fileId, p);
        p = q;
      }
    };
    forEachVotingHash([&](std::size_t i, std::size_t j) {
      eachRun(i, j, [this](int32_t a, std::size_t) { ++runStart_[a + 1]; });
    });
    for (std::size_t f = 0; f < files; ++f) runStart_[f + 1] += runStart_[f];
    totalRuns_ = runStart_[files];
    runs_.assign(totalRuns_, 0);
    std::vector<uint64_t> fill(runStart_.begin(), runStart_.end() - 1);
    forEachVotingHash([&](std::size_t i, std::size_t j) {
      eachRun(i, j, [&](int32_t a, std::size_t p) { runs_[fill[a]++] = static_cast<uint32_t>(p); });
    });
  }

  // Calls fn(aBegin, aEnd, b, bBegin, bEnd) for every run of a later recording b
  // in each hash where recording a has a run.
  template <typename Fn>
  void forEachPartnerRun(int32_t a, Fn fn) const {
    const std::size_t n = e_.size();
    for (uint64_t r = runStart_[a]; r < runStart_[a + 1]; ++r) {
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

  void processAnchor(int32_t a) {
    if (runStart_[a] == runStart_[a + 1]) return;
    const std::size_t files = ids_.size();
    std::vector<uint64_t> votes(files, 0);
    forEachPartnerRun(a, [&](std::size_t p, std::size_t pa, int32_t b, std::size_t q,
                             std::size_t qe) { votes[b] += (pa - p) * (qe - q); });

    // Plan the pairs and cut them into batches that fit the memory budget.
    std::vector<PairAccumulator> plan;
    std::vector<uint64_t> cost;
    for (int32_t b = a + 1; b < static_cast<int32_t>(files); ++b) {
      if (votes[b] == 0) continue;
      PairAccumulator acc;
      acc.b = b;
      acc.base = static_cast<int64_t>(minTime_[a]) - maxTime_[b];
      const uint64_t range =
          static_cast<uint64_t>(static_cast<int64_t>(maxTime_[a]) - minTime_[b] - acc.base + 1);
      acc.range = static_cast<std::size_t>(range);
      const uint64_t denseBytes = range * sizeof(DenseBin);
      const uint64_t sparseBytes = votes[b] * sizeof(uint64_t);
      acc.dense = denseBytes <= sparseBytes + tuning_.denseAllowance;
      cost.push_back(acc.dense ? denseBytes : sparseBytes);
      plan.push_back(std::move(acc));
    }
    std::vector<int32_t> slot(files, -1);
    for (std::size_t first = 0; first < plan.size();) {
      std::size_t last = first;
      uint64_t bytes = cost[first];
      while (last + 1 < plan.size() && bytes + cost[last + 1] <= tuning_.batchBytes)
        bytes += cost[++last];
      voteBatch(a, plan, first, last + 1, votes, slot);
      first = last + 1;
    }
  }

  void voteBatch(int32_t a, std::vector<PairAccumulator>& plan, std::size_t first, std::size_t end,
                 const std::vector<uint64_t>& votes, std::vector<int32_t>& slot) {
    std::size_t used = 0;
    for (std::size_t i = first; i < end; ++i) {
      PairAccumulator& acc = plan[i];
      slot[acc.b] = static_cast<int32_t>(i);
      if (acc.dense) {
        // One scratch area, kept empty between batches, serves all counters:
        // no fresh pages and no clearing pass per pair.
        acc.at = used;
        used += acc.range;
        if (scratch_.size() < used) scratch_.resize(used, kEmptyBin);
      } else {
        acc.packed.reserve(votes[acc.b]);
      }
    }
    forEachPartnerRun(
        a, [&](std::size_t p, std::size_t pa, int32_t b, std::size_t q, std::size_t qe) {
          if (slot[b] < 0) return;
          PairAccumulator& acc = plan[slot[b]];
          if (acc.dense) {
            DenseBin* bins = scratch_.data() + acc.at;
            for (std::size_t x = p; x < pa; ++x) {
              const int32_t tx = e_[x].time;
              const int64_t row = static_cast<int64_t>(tx) - acc.base;  // bin of offset tx - 0
              for (std::size_t y = q; y < qe; ++y) {
                DenseBin& bin = bins[row - e_[y].time];
                ++bin.count;
                bin.minTimeA = std::min(bin.minTimeA, tx);
                bin.maxTimeA = std::max(bin.maxTimeA, tx);
              }
            }
          } else {
            for (std::size_t x = p; x < pa; ++x) {
              const int32_t tx = e_[x].time;
              for (std::size_t y = q; y < qe; ++y) {
                // Extracted frames are far below 2^30, so the offset fits 32 bits.
                const auto offset = static_cast<int32_t>(static_cast<int64_t>(tx) - e_[y].time);
                acc.packed.push_back(packVote(offset, tx));
              }
            }
          }
        });
    for (std::size_t i = first; i < end; ++i) {
      PairAccumulator& acc = plan[i];
      slot[acc.b] = -1;
      std::unique_ptr<VkOffsetHistogram> hist(acc.dense ? finishDense(acc, scratch_.data() + acc.at)
                                                        : finishSparse(acc));
      if (hist->empty()) continue;
      VkOffsetHistogram*& stored = table_[VkPairKey(ids_[a], ids_[acc.b])];
      stored = hist.release();
    }
  }

  std::vector<Entry>& e_;
  uint32_t maxLandmarks_;
  VkPairHistograms& table_;
  VkProgress* progress_;
  VkMatchTuning tuning_;

  std::vector<int32_t> ids_;  // recording id by rank
  std::vector<int32_t> minTime_;
  std::vector<int32_t> maxTime_;
  uint64_t votingHashes_ = 0;
  std::vector<uint64_t> runStart_;  // per rank, into runs_
  std::vector<uint32_t> runs_;
  uint64_t totalRuns_ = 0;
  std::vector<DenseBin> scratch_;  // every bin empty outside voteBatch
};

}  // namespace

VkPairHistograms* matchPairs(VkLandmarkIndex& index, VkFileSet* fileSet, VkProgress* progress) {
  return matchPairsTuned(index, fileSet, progress, VkMatchTuning());
}

VkPairHistograms* matchPairsTuned(VkLandmarkIndex& index, VkFileSet* fileSet, VkProgress* progress,
                                  const VkMatchTuning& tuning) {
  index.clear();
  if (fileSet != nullptr) {
    if (progress != nullptr) progress->setFraction(0.0f);
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
  std::unique_ptr<VkPairHistograms, void (*)(VkPairHistograms*)> table(new VkPairHistograms,
                                                                       deletePairHistograms);
  try {
    HistogramBuilder(index.entries, index.maxLandmarks, *table, progress, tuning).run();
  } catch (...) {
    index.clear();
    throw;
  }
  index.clear();
  return table.release();
}

}  // namespace Velk
