// Pairwise matching: the landmark index and the offset histogram of every pair
// of recordings that share a hash.
//
// Votes are not collected hash by hash into one huge structure. After the index
// is grouped by hash and recording (stable counting and radix sorts), the
// recordings are taken one at a time as recording A, and all pairs (A, B) with
// B > A are voted at once; when A is done its histograms are final. Recordings A
// are independent, so threads take them in turn, and their pairs are handed on
// in the order of A, as one thread hands them on. A pair whose
// possible offsets cost no more than 8 bytes per vote (plus an allowance) is
// counted: its offsets are cut into cache-sized chunks, its votes written chunk
// by chunk into a buffer and each chunk counted in one small counter. Other
// pairs get packed 8-byte (offset, time) words that are sorted and reduced. The
// observable result equals walking the hashes in ascending order: the
// histograms only depend on the multiset of votes, and the progress fractions
// only on the number of hashes that can vote.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
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
// in ascending offset. The counter and touched (a bit per bin voted) are left
// empty again. Far from every bin is voted in large archives, and a walk of
// the set bits does not guess wrong at every empty bin as a walk of the bins would.
void reduceChunk(uint64_t* v, std::size_t n, int64_t first, std::size_t width, DenseBin* counter,
                 uint64_t* touched, VkOffsetHistogram& out) {
  auto offsetOf = [first](uint32_t k) { return static_cast<int32_t>(first + k); };
  if (n * kSortBelow < width) {
    std::sort(v, v + n);
    appendSorted(v, n, offsetOf, out);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const auto k = static_cast<uint32_t>(v[i] >> 32);
    DenseBin& bin = counter[k];
    const int32_t t = unbias(static_cast<uint32_t>(v[i]));
    ++bin.count;
    bin.minTimeA = std::min(bin.minTimeA, t);
    bin.maxTimeA = std::max(bin.maxTimeA, t);
    touched[k >> 6] |= uint64_t{1} << (k & 63);
  }
  for (std::size_t w = 0; w < (width + 63) / 64; ++w) {
    for (uint64_t bits = touched[w]; bits != 0; bits &= bits - 1) {
      const auto k = static_cast<uint32_t>(w * 64 + static_cast<unsigned>(__builtin_ctzll(bits)));
      DenseBin& bin = counter[k];
      out.push_back({offsetOf(k), bin.count, bin.minTimeA, bin.maxTimeA});
      bin = kEmptyBin;
    }
    touched[w] = 0;
  }
}

// A recording's run positions, ascending, are kept as the gaps between them,
// 7 bits a byte: a gap is about the index size over the recording's runs, so
// mostly one or two bytes instead of four or eight a position.
unsigned gapBytes(uint64_t gap) {
  unsigned k = 1;
  for (; gap >= 0x80; gap >>= 7) ++k;
  return k;
}

struct GapReader {
  bool next() {
    if (at == end) return false;
    uint64_t gap = 0;
    for (unsigned shift = 0;; shift += 7) {
      const uint8_t b = *at++;
      gap |= static_cast<uint64_t>(b & 0x7fu) << shift;
      if ((b & 0x80u) == 0) break;
    }
    pos += gap;
    return true;
  }

  const uint8_t* at;
  const uint8_t* end;
  uint64_t pos = 0;
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

// What the first pass over a job's landmarks learns: its recordings (ids
// ascending; a rank is a position here) with the range of their times, and
// whether the landmarks come grouped by ascending id.
struct JobShape {
  std::vector<int32_t> ids;
  std::vector<int32_t> minTime;  // by rank
  std::vector<int32_t> maxTime;
  std::size_t total = 0;
  uint32_t maxHash = 0;
  bool ascending = true;
};

// Bits needed for the values 0..v.
unsigned bitsFor(uint64_t v) {
  unsigned bits = 0;
  while (bits < 64 && (v >> bits) != 0) ++bits;
  return bits;
}

// Calls fn(t, i) for i in [begin, end) on up to that many threads, t the
// thread's number; the first error ends the work and is thrown here once
// every thread is joined.
template <typename Fn>
void spread(std::size_t begin, std::size_t end, unsigned threads, Fn fn) {
  std::atomic<std::size_t> next{begin};
  std::mutex lock;
  std::exception_ptr error;
  auto work = [&](unsigned t) {
    try {
      for (std::size_t i; (i = next++) < end;) fn(t, i);
    } catch (...) {
      std::lock_guard<std::mutex> g(lock);
      if (!error) error = std::current_exception();
      next = end;
    }
  };
  std::vector<std::thread> pool;
  try {
    for (unsigned t = 1; t < threads && t < end - begin; ++t) pool.emplace_back(work, t);
  } catch (...) {
    next = end;
    for (std::thread& t : pool) t.join();
    throw;
  }
  work(0);
  for (std::thread& t : pool) t.join();
  if (error) std::rethrow_exception(error);
}

// The index as matching reads it: only the hashes that can vote, each hash's
// landmarks together, ranks ascending within a hash. A landmark is one word:
// its recording's rank above its time less the job's earliest, the top bit
// marking the first landmark of a hash; the hash itself is not kept. 4 bytes a
// landmark when rank and time fit 31 bits, else 8.
template <typename W>
struct Grouped {
  static constexpr W kFirst = W{1} << (8 * sizeof(W) - 1);

  Grouped(const JobShape& shape, unsigned bits)
      : timeBits(bits),
        timeMask((W{1} << bits) - 1),
        timeBase(
            shape.ids.empty() ? 0 : *std::min_element(shape.minTime.begin(), shape.minTime.end())) {
  }

  W pack(std::size_t rank, int32_t time) const {
    return static_cast<W>(rank) << timeBits | static_cast<W>(static_cast<int64_t>(time) - timeBase);
  }
  bool first(std::size_t x) const { return (words[x] & kFirst) != 0; }
  int32_t rank(std::size_t x) const {
    return static_cast<int32_t>((words[x] & ~kFirst) >> timeBits);
  }
  int32_t time(std::size_t x) const {
    return static_cast<int32_t>(static_cast<int64_t>(words[x] & timeMask) + timeBase);
  }

  std::vector<W> words;
  unsigned timeBits;
  W timeMask;
  int64_t timeBase;
  uint64_t hashesWithTwo = 0;  // hashes with two or more landmarks, voting or not
};

template <typename W>
class HistogramBuilder {
 public:
  // Only hashes with at most voteLimit landmarks vote (all of the index's by default).
  HistogramBuilder(const Grouped<W>& index, const JobShape& shape, const VkPairSink& sink,
                   VkProgress* progress, const VkMatchTuning& tuning,
                   uint32_t voteLimit = std::numeric_limits<uint32_t>::max())
      : g_(index),
        n_(index.words.size()),
        sink_(sink),
        progress_(progress),
        tuning_(tuning),
        ids_(shape.ids),
        minTime_(shape.minTime),
        maxTime_(shape.maxTime),
        votingHashes_(index.hashesWithTwo),
        voteLimit_(voteLimit) {}

  void run() {
    if (progress_ != nullptr) progress_->setFraction(0.0f);
    collectRuns();
    precounted_ = precount();
    HashWalkProgress walk(progress_, votingHashes_);
    uint64_t done = 0;
    auto anchorDone = [&](int32_t a) {
      done += runCount_[a];
      if (totalRuns_ > 0) walk.advanceTo(votingHashes_ * done / totalRuns_);
    };
    if (workers() > 1) {
      runThreaded(anchorDone);
    } else {
      Scratch s(ids_.size());
      for (int32_t a = 0; a < anchors(); ++a) {
        if (counts(a))
          processAnchor(a, s, [&](int32_t b, VkOffsetHistogram& h) {
            sink_(VkPairKey(ids_[a], ids_[b]), h);
          });
        anchorDone(a);
      }
    }
    walk.advanceTo(votingHashes_);
  }

  // The pairs judge(a, b, votes) keeps, by rank, ascending: each pair's
  // votes are only summed (VkFirstVote), not made into a histogram. judge is
  // called on the voting threads.
  template <typename Judge>
  std::vector<std::pair<int32_t, int32_t>> choose(const Judge& judge) {
    if (progress_ != nullptr) progress_->setFraction(0.0f);
    collectRuns();
    const std::size_t files = ids_.size();
    std::vector<std::vector<int32_t>> kept(static_cast<std::size_t>(anchors()));
    struct Sums {
      std::vector<uint64_t> votes, fill;
      std::vector<uint32_t> buffer, counter;
    };
    std::vector<Sums> sums(workers());
    const uint64_t budget = std::max<uint64_t>(1, tuning_.batchBytes / sizeof(uint32_t));
    spread(0, kept.size(), workers(), [&](unsigned t, std::size_t i) {
      const auto a = static_cast<int32_t>(i);
      if (!counts(a) || runStart_[a] == runStart_[a + 1]) return;
      Sums& s = sums[t];
      s.votes.assign(files, 0);
      forEachPartnerRun(a, [&](std::size_t p, std::size_t pa, int32_t b, std::size_t q,
                               std::size_t qe) { s.votes[b] += (pa - p) * (qe - q); });
      s.fill.resize(files);
      // Partners in batches of at most budget votes; each pair's votes
      // together as offsets from its first possible one.
      for (auto b0 = static_cast<std::size_t>(a) + 1; b0 < files;) {
        std::size_t b1 = b0;
        uint64_t total = 0;
        for (; b1 < files && (b1 == b0 || total + s.votes[b1] <= budget); ++b1) {
          s.fill[b1] = total;
          total += s.votes[b1];
        }
        s.buffer.resize(total);
        forEachPartnerRun(
            a, [&](std::size_t p, std::size_t pa, int32_t b, std::size_t q, std::size_t qe) {
              if (static_cast<std::size_t>(b) < b0 || static_cast<std::size_t>(b) >= b1) return;
              const int64_t base = static_cast<int64_t>(minTime_[a]) - maxTime_[b];
              for (std::size_t x = p; x < pa; ++x) {
                const int64_t row = static_cast<int64_t>(time(x)) - base;
                for (std::size_t y = q; y < qe; ++y)
                  s.buffer[s.fill[b]++] = static_cast<uint32_t>(row - time(y));
              }
            });
        uint64_t at = 0;
        for (std::size_t b = b0; b < b1; ++b) {
          const uint32_t* v = s.buffer.data() + at;
          const uint64_t n = s.votes[b];
          at += n;
          if (n == 0) continue;
          const auto range = static_cast<std::size_t>(static_cast<int64_t>(maxTime_[a]) -
                                                      minTime_[a] + maxTime_[b] - minTime_[b] + 1);
          if (s.counter.size() < range) s.counter.assign(range, 0);
          VkFirstVote sum;
          uint32_t peakAt = 0;
          for (uint64_t k = 0; k < n; ++k) {
            const uint32_t c = ++s.counter[v[k]];
            sum.squares += 2 * static_cast<uint64_t>(c) - 1;
            // The earliest of equal peaks, as a walk of the bins finds it.
            if (c > sum.peak || (c == sum.peak && v[k] < peakAt)) sum.peak = c, peakAt = v[k];
          }
          for (uint64_t k = 0; k < n; ++k) s.counter[v[k]] = 0;
          sum.votes = n;
          sum.offset =
              static_cast<int32_t>(static_cast<int64_t>(minTime_[a]) - maxTime_[b] + peakAt);
          if (judge(a, static_cast<int32_t>(b), sum)) kept[i].push_back(static_cast<int32_t>(b));
        }
        b0 = b1;
      }
    });
    std::vector<std::pair<int32_t, int32_t>> out;
    for (std::size_t a = 0; a < kept.size(); ++a)
      for (int32_t b : kept[a]) out.emplace_back(static_cast<int32_t>(a), b);
    if (progress_ != nullptr) progress_->setFraction(1.0f);
    return out;
  }

 private:
  // What one thread's votes need: the pairs of the batch at hand and the buffers.
  struct Scratch {
    explicit Scratch(std::size_t files) : slot(files, -1) {}
    std::vector<int32_t> slot;           // per rank: its pair in the current batch, or -1
    std::vector<DenseBin> counter;       // one chunk; every bin empty between chunks
    std::vector<uint64_t> touched;       // a bit per bin of counter: voted; clear between chunks
    std::unique_ptr<uint64_t[]> buffer;  // votes of one batch, by chunk
    uint64_t bufferSize = 0;
    VkOffsetHistogram staging;  // bins of the pair being finished
  };

  unsigned workers() const {
    return std::max(1u, std::min<unsigned>(tuning_.threads, static_cast<unsigned>(anchors())));
  }

  // The anchors over the threads, each taking the next one free. The sink and
  // progress are called on this thread alone, anchor by anchor in order and
  // within one in the order of one thread, so nothing observable depends on
  // the thread count. An anchor's finished pairs wait in its queue; a queue at
  // its budget holds its thread back, and no thread runs further than a few
  // anchors ahead of the one being handed on.
  template <typename AnchorDone>
  void runThreaded(AnchorDone anchorDone) {
    struct Queue {
      std::deque<std::pair<int32_t, VkOffsetHistogram>> pairs;
      uint64_t bytes = 0;
      bool done = false;
    };
    struct Aborted {};
    const unsigned threads = workers();
    const int32_t window = static_cast<int32_t>(2 * threads);
    const uint64_t budget = std::max<uint64_t>(tuning_.batchBytes / 2, 1);
    std::vector<Queue> queues(static_cast<std::size_t>(window));
    std::mutex lock;
    std::condition_variable changed;
    int32_t next = 0, turn = 0;
    bool failed = false;
    std::exception_ptr error;
    auto work = [&]() {
      Scratch s(ids_.size());
      try {
        for (;;) {
          int32_t a;
          {
            std::unique_lock<std::mutex> g(lock);
            changed.wait(g, [&] { return failed || next >= anchors() || next < turn + window; });
            if (failed || next >= anchors()) return;
            a = next++;
          }
          Queue& q = queues[static_cast<std::size_t>(a % window)];
          if (counts(a))
            processAnchor(a, s, [&](int32_t b, VkOffsetHistogram& h) {
              const uint64_t bytes = h.size() * sizeof(VkOffsetBin);
              std::unique_lock<std::mutex> g(lock);
              changed.wait(g,
                           [&] { return failed || q.pairs.empty() || q.bytes + bytes <= budget; });
              if (failed) throw Aborted();
              q.pairs.emplace_back(b, VkOffsetHistogram(h.begin(), h.end()));
              q.bytes += bytes;
              changed.notify_all();
            });
          std::lock_guard<std::mutex> g(lock);
          q.done = true;
          changed.notify_all();
        }
      } catch (const Aborted&) {
      } catch (...) {
        std::lock_guard<std::mutex> g(lock);
        if (!failed) error = std::current_exception();
        failed = true;
        changed.notify_all();
      }
    };
    std::vector<std::thread> pool;
    try {
      for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work);
      bool stop = false;
      for (int32_t a = 0; a < anchors() && !stop; ++a) {
        Queue& q = queues[static_cast<std::size_t>(a % window)];
        for (;;) {
          std::unique_lock<std::mutex> g(lock);
          changed.wait(g, [&] { return failed || q.done || !q.pairs.empty(); });
          stop = failed;
          if (stop) break;
          if (q.pairs.empty()) {
            q.done = false;
            turn = a + 1;
            changed.notify_all();
            break;
          }
          std::pair<int32_t, VkOffsetHistogram> pair = std::move(q.pairs.front());
          q.pairs.pop_front();
          q.bytes -= pair.second.size() * sizeof(VkOffsetBin);
          changed.notify_all();
          g.unlock();
          sink_(VkPairKey(ids_[a], ids_[pair.first]), pair.second);
        }
        if (!stop) anchorDone(a);
      }
    } catch (...) {
      std::lock_guard<std::mutex> g(lock);
      if (!failed) error = std::current_exception();
      failed = true;
      changed.notify_all();
    }
    for (std::thread& t : pool) t.join();
    if (error) std::rethrow_exception(error);
  }

  int32_t anchors() const {
    return std::min(static_cast<int32_t>(ids_.size()), tuning_.anchorsBelow);
  }

  bool first(std::size_t x) const { return g_.first(x); }
  int32_t rank(std::size_t x) const { return g_.rank(x); }
  int32_t time(std::size_t x) const { return g_.time(x); }

  // Calls fn(begin, end) for every hash in the index with at most voteLimit landmarks.
  template <typename Fn>
  void forEachVotingHash(Fn fn) const {
    for (std::size_t i = 0; i < n_;) {
      std::size_t j = i + 1;
      while (j < n_ && !first(j)) ++j;
      if (j - i <= voteLimit_) fn(i, j);
      i = j;
    }
  }

  // For each recording A, where its runs start in the hashes that give it a
  // partner B > A (every run of a hash but the last), in ascending hash order.
  void collectRuns() {
    const std::size_t files = ids_.size();
    runStart_.assign(files + 1, 0);
    runCount_.assign(files, 0);
    auto eachRun = [this](std::size_t i, std::size_t j, auto fn) {
      for (std::size_t p = i; p < j;) {
        std::size_t q = p + 1;
        while (q < j && rank(q) == rank(p)) ++q;
        if (q < j && rank(p) < tuning_.anchorsBelow) fn(rank(p), p);
        p = q;
      }
    };
    std::vector<uint64_t> last(files, 0);
    forEachVotingHash([&](std::size_t i, std::size_t j) {
      eachRun(i, j, [&](int32_t a, std::size_t p) {
        runStart_[a + 1] += gapBytes(p - last[a]);
        last[a] = p;
        ++runCount_[a];
      });
    });
    for (std::size_t f = 0; f < files; ++f) {
      runStart_[f + 1] += runStart_[f];
      totalRuns_ += runCount_[f];
    }
    runs_.reset(new uint8_t[runStart_[files]]);
    std::vector<uint64_t> fill(runStart_.begin(), runStart_.end() - 1);
    last.assign(files, 0);
    forEachVotingHash([&](std::size_t i, std::size_t j) {
      eachRun(i, j, [&](int32_t a, std::size_t p) {
        uint8_t* out = runs_.get() + fill[a];
        uint64_t gap = p - last[a];
        last[a] = p;
        for (; gap >= 0x80; gap >>= 7) *out++ = static_cast<uint8_t>(gap | 0x80u);
        *out++ = static_cast<uint8_t>(gap);
        fill[a] = static_cast<uint64_t>(out - runs_.get());
      });
    });
  }

  // Calls fn(aBegin, aEnd, b, bBegin, bEnd) for every run of a later recording b
  // in each hash where recording a has a run.
  template <typename Fn>
  void forEachPartnerRun(int32_t a, Fn fn) const {
    const std::size_t n = n_;
    GapReader run{runs_.get() + runStart_[a], runs_.get() + runStart_[a + 1]};
    GapReader ahead = run;
    for (uint64_t k = 0; k < kPrefetchRuns && ahead.next(); ++k) {
    }
    while (run.next()) {
      // A's runs lie scattered over the whole index; asking for a later one now
      // hides most of the cache miss that would otherwise stall every run.
      if (ahead.next()) __builtin_prefetch(&g_.words[ahead.pos]);
      const auto p = static_cast<std::size_t>(run.pos);
      std::size_t pa = p + 1;
      while (pa < n && !first(pa) && rank(pa) == a) ++pa;
      for (std::size_t q = pa; q < n && !first(q);) {
        const int32_t b = rank(q);
        std::size_t qe = q + 1;
        while (qe < n && !first(qe) && rank(qe) == b) ++qe;
        fn(p, pa, b, q, qe);
        q = qe;
      }
    }
  }

  bool counts(int32_t a) const { return !tuning_.anchorIds || tuning_.anchorIds(ids_[a]); }

  // Hands a finished pair on; a pair without votes has no histogram.
  template <typename Emit>
  static void store(int32_t b, VkOffsetHistogram& hist, Emit& emit) {
    if (!hist.empty()) emit(b, hist);
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
      const int64_t row = static_cast<int64_t>(time(x)) - base;
      for (std::size_t y = q; y < qe; ++y)
        ++count[static_cast<uint64_t>(row - time(y)) >> kChunkShift];
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
    // Each thread counts the pairs of its own anchors: no count has two writers.
    const unsigned threads = workers();
    auto part = [&](unsigned t) {
      forEachVotingHash([&](std::size_t i, std::size_t j) {
        for (std::size_t p = i; p < j;) {
          const int32_t a = rank(p);
          if (a >= anchors()) break;
          std::size_t pa = p + 1;
          while (pa < j && rank(pa) == a) ++pa;
          const bool mine = static_cast<unsigned>(a) % threads == t && counts(a);
          for (std::size_t q = mine ? pa : j; q < j;) {
            const int32_t b = rank(q);
            std::size_t qe = q + 1;
            while (qe < j && rank(qe) == b) ++qe;
            countChunks(p, pa, q, qe, static_cast<int64_t>(minTime_[a]) - maxTime_[b],
                        chunkVotes_.data() + pairChunk0_[a * files + b]);
            q = qe;
          }
          p = pa;
        }
      });
    };
    spread(0, threads, threads, [&](unsigned, std::size_t t) { part(static_cast<unsigned>(t)); });
    return true;
  }

  template <typename Emit>
  void processAnchor(int32_t a, Scratch& s, Emit emit) {
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
    voteSorted(a, sorted, votes, s, emit);
    voteCounted(a, counted, chunks, s, emit);
  }

  // Pairs whose votes are packed and sorted, in batches of at most batchBytes.
  template <typename Emit>
  void voteSorted(int32_t a, const std::vector<int32_t>& pairs, const std::vector<uint64_t>& votes,
                  Scratch& s, Emit& emit) {
    std::vector<std::vector<uint64_t>> packed;
    for (std::size_t first = 0; first < pairs.size();) {
      std::size_t end = first + 1;
      uint64_t bytes = votes[pairs[first]] * sizeof(uint64_t);
      while (end < pairs.size() &&
             bytes + votes[pairs[end]] * sizeof(uint64_t) <= tuning_.batchBytes)
        bytes += votes[pairs[end++]] * sizeof(uint64_t);
      packed.assign(end - first, std::vector<uint64_t>());
      for (std::size_t i = first; i < end; ++i) {
        s.slot[pairs[i]] = static_cast<int32_t>(i - first);
        packed[i - first].reserve(votes[pairs[i]]);
      }
      forEachPartnerRun(
          a, [&](std::size_t p, std::size_t pa, int32_t b, std::size_t q, std::size_t qe) {
            if (s.slot[b] < 0) return;
            std::vector<uint64_t>& out = packed[s.slot[b]];
            for (std::size_t x = p; x < pa; ++x) {
              const int32_t tx = time(x);
              const uint32_t tbits = biasTime(tx);
              for (std::size_t y = q; y < qe; ++y) {
                // Extracted frames are far below 2^30, so the offset fits 32 bits.
                const auto offset = static_cast<int32_t>(static_cast<int64_t>(tx) - time(y));
                out.push_back(static_cast<uint64_t>(biasTime(offset)) << 32 | tbits);
              }
            }
          });
      for (std::size_t i = first; i < end; ++i) {
        s.slot[pairs[i]] = -1;
        finishSparse(packed[i - first], s.staging);
        store(pairs[i], s.staging, emit);
        s.staging.clear();
      }
      first = end;
    }
  }

  // Pairs whose votes are counted: their chunks in order, cut into batches of
  // at most batchBytes of votes; each batch's votes are written chunk by chunk
  // into one buffer and then counted in a cache-sized counter.
  template <typename Emit>
  void voteCounted(int32_t a, const std::vector<CountedPair>& pairs, std::size_t chunks, Scratch& s,
                   Emit& emit) {
    if (pairs.empty()) return;
    for (std::size_t i = 0; i < pairs.size(); ++i) s.slot[pairs[i].b] = static_cast<int32_t>(i);
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
            if (s.slot[b] < 0) return;
            const CountedPair& cp = pairs[s.slot[b]];
            countChunks(p, pa, q, qe, cp.base, perChunk.data() + cp.chunk0);
          });
    }
    if (s.counter.empty()) {
      s.counter.assign(kChunkBins, kEmptyBin);
      s.touched.assign(kChunkBins / 64, 0);
    }

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
      if (n > s.bufferSize) {
        s.buffer.reset();
        s.buffer.reset(new uint64_t[n]);
        s.bufferSize = n;
      }
      uint64_t* buf = s.buffer.get();
      forEachPartnerRun(
          a, [&](std::size_t p, std::size_t pa, int32_t b, std::size_t q, std::size_t qe) {
            if (s.slot[b] < 0) return;
            const CountedPair& cp = pairs[s.slot[b]];
            if (cp.chunk0 + cp.chunks <= c0 || cp.chunk0 >= c1) return;
            for (std::size_t x = p; x < pa; ++x) {
              const int32_t tx = time(x);
              const int64_t row = static_cast<int64_t>(tx) - cp.base;
              const uint32_t tbits = biasTime(tx);
              for (std::size_t y = q; y < qe; ++y) {
                const auto bin = static_cast<uint64_t>(row - time(y));
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
                    s.counter.data(), s.touched.data(), s.staging);
        begin += perChunk[c];
        if (k + 1 == cp.chunks) {
          store(cp.b, s.staging, emit);
          s.staging.clear();
          s.slot[cp.b] = -1;
          ++pair;
        }
      }
      c0 = c1;
    }
  }

  const Grouped<W>& g_;
  std::size_t n_;
  const VkPairSink& sink_;
  VkProgress* progress_;
  VkMatchTuning tuning_;

  const std::vector<int32_t>& ids_;  // recording id by rank
  const std::vector<int32_t>& minTime_;
  const std::vector<int32_t>& maxTime_;
  uint64_t votingHashes_;
  uint32_t voteLimit_;
  std::vector<uint64_t> runStart_;   // per rank, its first byte in runs_
  std::vector<uint64_t> runCount_;   // per rank
  std::unique_ptr<uint8_t[]> runs_;  // per rank, the gaps between its run positions
  uint64_t totalRuns_ = 0;
  bool precounted_ = false;
  std::vector<uint64_t> pairChunk0_;  // files x files: first chunk of pair (a, b) in chunkVotes_
  std::vector<uint64_t> chunkVotes_;  // votes per chunk of every pair, when precounted
};

// Full votes of chosen pairs only. Each recording in a chosen pair lists its
// runs as (hash ordinal, position) gaps; a pair's common hashes are where its
// two lists meet, so a pair costs the runs of its two recordings, not the
// walk over every partner of every hash that voting all pairs takes.
template <typename W>
class PairVoter {
 public:
  PairVoter(const Grouped<W>& index, const std::vector<std::pair<int32_t, int32_t>>& pairs,
            std::size_t files)
      : g_(index), start_(files + 1, 0) {
    std::vector<bool> wanted(files, false);
    for (const auto& p : pairs) wanted[p.first] = wanted[p.second] = true;
    // Two passes: the bytes each recording needs, then the gaps themselves.
    std::vector<uint64_t> lastHash(files, 0), lastPos(files, 0);
    eachRun(wanted, [&](int32_t r, uint64_t hash, std::size_t p) {
      start_[r + 1] += gapBytes(hash - lastHash[r]) + gapBytes(p - lastPos[r]);
      lastHash[r] = hash, lastPos[r] = p;
    });
    for (std::size_t f = 0; f < files; ++f) start_[f + 1] += start_[f];
    runs_.reset(new uint8_t[start_[files]]);
    std::vector<uint64_t> fill(start_.begin(), start_.end() - 1);
    lastHash.assign(files, 0), lastPos.assign(files, 0);
    eachRun(wanted, [&](int32_t r, uint64_t hash, std::size_t p) {
      uint8_t* out = runs_.get() + fill[r];
      out = put(out, hash - lastHash[r]);
      out = put(out, p - lastPos[r]);
      lastHash[r] = hash, lastPos[r] = p;
      fill[r] = static_cast<uint64_t>(out - runs_.get());
    });
  }

  // One thread's buffers; the runs of the last anchor are kept decoded, as
  // pairs come anchor by anchor.
  struct Scratch {
    int32_t anchor = -1;
    std::vector<uint64_t> hash, pos, packed;
  };

  // The histogram of pair (a, b), a < b, as voting every pair would make it.
  void vote(int32_t a, int32_t b, Scratch& s, VkOffsetHistogram& out) const {
    if (s.anchor != a) {
      s.hash.clear(), s.pos.clear();
      for (Reader x{runs_.get() + start_[a], runs_.get() + start_[a + 1]}; x.next();)
        s.hash.push_back(x.hash), s.pos.push_back(x.pos);
      s.anchor = a;
    }
    s.packed.clear();
    Reader y{runs_.get() + start_[b], runs_.get() + start_[b + 1]};
    std::size_t x = 0;
    const std::size_t runs = s.hash.size();
    while (x < runs && y.next()) {
      while (x < runs && s.hash[x] < y.hash) ++x;
      if (x == runs || s.hash[x] != y.hash) continue;
      // Within a hash, ranks ascend: a's run comes first.
      const std::size_t p = s.pos[x];
      for (std::size_t i = p; i < g_.words.size() && (i == p || !g_.first(i)) && g_.rank(i) == a;
           ++i) {
        const int32_t tx = g_.time(i);
        const uint32_t tbits = biasTime(tx);
        for (std::size_t k = y.pos;
             k < g_.words.size() && (k == y.pos || !g_.first(k)) && g_.rank(k) == b; ++k) {
          const auto offset = static_cast<int32_t>(static_cast<int64_t>(tx) - g_.time(k));
          s.packed.push_back(static_cast<uint64_t>(biasTime(offset)) << 32 | tbits);
        }
      }
      ++x;
    }
    std::sort(s.packed.begin(), s.packed.end());
    out.clear();
    appendSorted(s.packed.data(), s.packed.size(), unbias, out);
  }

 private:
  struct Reader {
    bool next() {
      if (at == end) return false;
      hash += get();
      pos += get();
      return true;
    }
    uint64_t get() {
      uint64_t v = 0;
      for (unsigned shift = 0;; shift += 7) {
        const uint8_t c = *at++;
        v |= static_cast<uint64_t>(c & 0x7fu) << shift;
        if ((c & 0x80u) == 0) return v;
      }
    }
    const uint8_t* at;
    const uint8_t* end;
    uint64_t hash = 0;
    uint64_t pos = 0;
  };

  static uint8_t* put(uint8_t* out, uint64_t gap) {
    for (; gap >= 0x80; gap >>= 7) *out++ = static_cast<uint8_t>(gap | 0x80u);
    *out++ = static_cast<uint8_t>(gap);
    return out;
  }

  // Calls fn(rank, hash ordinal, first position) for every run of a wanted recording.
  template <typename Fn>
  void eachRun(const std::vector<bool>& wanted, Fn fn) const {
    const std::size_t n = g_.words.size();
    uint64_t hash = 0;
    for (std::size_t i = 0; i < n; ++hash) {
      std::size_t j = i + 1;
      while (j < n && !g_.first(j)) ++j;
      for (std::size_t p = i; p < j;) {
        const int32_t r = g_.rank(p);
        std::size_t q = p + 1;
        while (q < j && g_.rank(q) == r) ++q;
        if (wanted[r]) fn(r, hash, p);
        p = q;
      }
      i = j;
    }
  }

  const Grouped<W>& g_;
  std::vector<uint64_t> start_;  // per rank, its first byte in runs_
  std::unique_ptr<uint8_t[]> runs_;
};

// The landmarks of a job's tables, in table order; the first reading reports
// each table done to progress, as filling the index always did.
class TableSource {
 public:
  TableSource(const VkFileSet& set, VkProgress* progress) : set_(set), progress_(progress) {}

  template <typename Fn>
  void each(Fn fn, bool report) const {
    const std::size_t n = set_.getFiles().size();
    std::size_t i = 0;
    for (const auto& kv : set_.getFiles()) {
      if (kv.second != nullptr) kv.second->forEachLandmark(fn);
      ++i;
      if (report && progress_ != nullptr)
        progress_->setFraction(static_cast<float>(i) / static_cast<float>(n));
    }
  }

 private:
  const VkFileSet& set_;
  VkProgress* progress_;
};

// The entries a caller put in the index.
class EntrySource {
 public:
  explicit EntrySource(const std::vector<Entry>& entries) : entries_(entries) {}

  template <typename Fn>
  void each(Fn fn, bool) const {
    for (const Entry& x : entries_) fn(x.time, x.hash, x.fileId);
  }

 private:
  const std::vector<Entry>& entries_;
};

template <typename Source>
JobShape shapeOf(const Source& source) {
  JobShape shape;
  std::map<int32_t, std::pair<int32_t, int32_t>> ranges;  // time range by id
  auto at = ranges.end();
  source.each(
      [&](int32_t time, uint32_t hash, int32_t id) {
        if (at == ranges.end() || id != at->first) {
          if (at != ranges.end() && id < at->first) shape.ascending = false;
          at = ranges.emplace(id, std::make_pair(time, time)).first;
        }
        at->second.first = std::min(at->second.first, time);
        at->second.second = std::max(at->second.second, time);
        shape.maxHash = std::max(shape.maxHash, hash);
        ++shape.total;
      },
      true);
  for (const auto& kv : ranges) {
    shape.ids.push_back(kv.first);
    shape.minTime.push_back(kv.second.first);
    shape.maxTime.push_back(kv.second.second);
  }
  return shape;
}

// A landmark while its hash's landmarks are brought together: its word and
// the hash bits below its bucket.
template <typename W>
struct Keyed {
  W word;
  uint32_t low;
};

// Stable sort on the low hash bits (below 2^bits); tmp holds n entries. Short
// runs by insertion, longer by 8-bit digits.
template <typename W>
void sortLowBits(Keyed<W>* v, std::size_t n, unsigned bits, Keyed<W>* tmp) {
  if (n < 2 || bits == 0) return;
  if (n <= 32) {
    for (std::size_t i = 1; i < n; ++i) {
      const Keyed<W> x = v[i];
      std::size_t j = i;
      for (; j > 0 && v[j - 1].low > x.low; --j) v[j] = v[j - 1];
      v[j] = x;
    }
    return;
  }
  Keyed<W>* from = v;
  Keyed<W>* to = tmp;
  for (unsigned shift = 0; shift < bits; shift += 8) {
    std::size_t count[257] = {};
    for (std::size_t i = 0; i < n; ++i) ++count[((from[i].low >> shift) & 0xffu) + 1];
    if (std::find(count + 1, count + 257, n) != count + 257) continue;  // one digit: no move
    for (int d = 0; d < 256; ++d) count[d + 1] += count[d];
    for (std::size_t i = 0; i < n; ++i) to[count[(from[i].low >> shift) & 0xffu]++] = from[i];
    std::swap(from, to);
  }
  if (from != v) std::copy(from, from + n, v);
}

// Appends the hashes of one bucket (sorted by low bits, ranks ascending within
// a hash) that can vote: at most maxLandmarks landmarks from two recordings or
// more. Counts the hashes with two landmarks or more on the way.
template <typename W>
void keepVoting(const Keyed<W>* v, std::size_t n, uint32_t maxLandmarks, uint32_t high,
                const VkMatchTuning& tuning, Grouped<W>& out) {
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i + 1;
    while (j < n && v[j].low == v[i].low) ++j;
    const std::size_t len = j - i;
    if (len > tuning.countedAbove && tuning.counted) tuning.counted(high | v[i].low, len);
    if (len >= 2) {
      ++out.hashesWithTwo;
      if (len <= maxLandmarks && (v[i].word >> out.timeBits) != (v[j - 1].word >> out.timeBits)) {
        out.words.push_back(v[i].word | Grouped<W>::kFirst);
        for (std::size_t k = i + 1; k < j; ++k) out.words.push_back(v[k].word);
      }
    }
    i = j;
  }
}

// Builds the grouped index from the source in a few passes over it, each
// taking a range of hash buckets: a pass holds its landmarks twice (8 or 16
// bytes each), so none holds more than about an eighth of the job. The last
// passes are the peak of clustering (the tables, most of the index and the
// pass), so a pass over the tables more is worth a byte a landmark less.
template <typename W, typename Source>
void groupInto(Grouped<W>& out, const Source& source, const JobShape& shape, uint32_t maxLandmarks,
               const VkMatchTuning& tuning) {
  if (shape.total == 0) return;
  // The top 16 significant hash bits pick a bucket; the rest are sorted bucket by bucket.
  const unsigned bits = bitsFor(shape.maxHash);
  const unsigned low = bits > 16 ? bits - 16 : 0;
  const uint32_t lowMask = (uint32_t{1} << low) - 1;
  std::vector<std::size_t> start((std::size_t{1} << (bits - low)) + 1, 0);
  source.each([&](int32_t, uint32_t hash, int32_t) { ++start[(hash >> low) + 1]; }, false);
  const std::size_t buckets = start.size() - 1;
  for (std::size_t b = 0; b < buckets; ++b) start[b + 1] += start[b];
  // Room for every landmark is reserved; pages the kept ones never reach are not touched.
  out.words.reserve(shape.total);

  const std::size_t budget = std::max<std::size_t>(shape.total / 8, 1);
  std::vector<Keyed<W>> keyed, tmp;
  std::vector<std::size_t> fill;
  for (std::size_t b0 = 0; b0 < buckets;) {
    std::size_t b1 = b0 + 1;
    while (b1 < buckets && start[b1 + 1] - start[b0] <= budget) ++b1;
    const std::size_t base = start[b0];
    keyed.resize(start[b1] - base);
    fill.assign(start.begin() + static_cast<std::ptrdiff_t>(b0),
                start.begin() + static_cast<std::ptrdiff_t>(b1));
    std::size_t largest = 0;
    for (std::size_t b = b0; b < b1; ++b) largest = std::max(largest, start[b + 1] - start[b]);
    int32_t lastId = 0;
    std::size_t rank = shape.ids.size();
    source.each(
        [&](int32_t time, uint32_t hash, int32_t id) {
          const std::size_t b = hash >> low;
          if (b < b0 || b >= b1) return;
          if (rank == shape.ids.size() || id != lastId) {
            lastId = id;
            rank = static_cast<std::size_t>(
                std::lower_bound(shape.ids.begin(), shape.ids.end(), id) - shape.ids.begin());
          }
          keyed[fill[b - b0]++ - base] = {out.pack(rank, time), hash & lowMask};
        },
        false);
    tmp.resize(largest);
    for (std::size_t b = b0; b < b1; ++b) {
      Keyed<W>* v = keyed.data() + (start[b] - base);
      const std::size_t n = start[b + 1] - start[b];
      if (shape.ascending) {
        sortLowBits(v, n, low, tmp.data());
      } else {
        // Landmarks filed under another table: ranks must be brought in order too.
        std::sort(v, v + n, [](const Keyed<W>& x, const Keyed<W>& y) {
          return x.low != y.low ? x.low < y.low : x.word < y.word;
        });
      }
      keepVoting(v, n, maxLandmarks, static_cast<uint32_t>(b) << low, tuning, out);
    }
    b0 = b1;
  }
}

// With a candidate limit: the hashes with at most that many landmarks vote
// first, and only pairs whose sparse histogram peaks above chance are voted
// by every hash. Chance votes grow with the square of a hash's landmarks,
// true ones with their number, so the rarer hashes carry a true pair's peak
// at a small part of the votes.
template <typename W>
void matchGrouped(const Grouped<W>& grouped, const JobShape& shape, VkProgress* progress,
                  const VkMatchTuning& tuning, const VkPairSink& sink) {
  if (tuning.candidateLimit == 0) {
    HistogramBuilder<W>(grouped, shape, sink, progress, tuning).run();
    return;
  }
  // Each recording's landmarks in the hashes that vote first.
  std::vector<uint64_t> rare(shape.ids.size(), 0);
  for (std::size_t i = 0, n = grouped.words.size(); i < n;) {
    std::size_t j = i + 1;
    while (j < n && !grouped.first(j)) ++j;
    if (j - i <= tuning.candidateLimit)
      for (std::size_t k = i; k < j; ++k) ++rare[grouped.rank(k)];
    i = j;
  }
  if (tuning.firstVoteLandmarks)
    for (std::size_t r = 0; r < rare.size(); ++r)
      rare[r] = tuning.firstVoteLandmarks(shape.ids[r], rare[r]);
  std::mutex seen;
  const std::vector<std::pair<int32_t, int32_t>> chosen =
      HistogramBuilder<W>(grouped, shape, sink, progress, tuning, tuning.candidateLimit)
          .choose([&](int32_t a, int32_t b, const VkFirstVote& votes) {
            const VkCandidatePeak c =
                candidatePeak(votes, {shape.minTime[a], shape.maxTime[a], shape.minTime[b],
                                      shape.maxTime[b], rare[a], rare[b]});
            if (tuning.candidateSeen) {
              std::lock_guard<std::mutex> g(seen);
              tuning.candidateSeen(VkPairKey(shape.ids[a], shape.ids[b]), c);
            }
            return c.chosen(tuning.candidateFraction);
          });

  if (tuning.chosen) {
    for (const auto& p : chosen) tuning.chosen(VkPairKey(shape.ids[p.first], shape.ids[p.second]));
    return;
  }
  const PairVoter<W> voter(grouped, chosen, shape.ids.size());
  const unsigned threads = std::max(1u, tuning.threads);
  // Pairs in batches: voted on every thread, handed on in order on this one.
  const std::size_t batch = 16 * static_cast<std::size_t>(threads);
  std::vector<VkOffsetHistogram> done(batch);
  std::vector<typename PairVoter<W>::Scratch> scratch(threads);
  for (std::size_t b0 = 0; b0 < chosen.size(); b0 += batch) {
    const std::size_t b1 = std::min(chosen.size(), b0 + batch);
    spread(b0, b1, threads, [&](unsigned t, std::size_t i) {
      voter.vote(chosen[i].first, chosen[i].second, scratch[t], done[i - b0]);
    });
    for (std::size_t i = b0; i < b1; ++i) {
      VkOffsetHistogram& h = done[i - b0];
      if (!h.empty()) sink(VkPairKey(shape.ids[chosen[i].first], shape.ids[chosen[i].second]), h);
      VkOffsetHistogram().swap(h);
    }
  }
}

// Groups the source's landmarks and matches them; index (if given) is emptied
// once the grouped copy exists, and in any case before returning.
template <typename Source>
void matchSource(const Source& source, uint32_t maxLandmarks, VkLandmarkIndex& index,
                 VkProgress* progress, const VkMatchTuning& tuning, const VkPairSink& sink) {
  try {
    const JobShape shape = shapeOf(source);
    const unsigned timeBits =
        shape.ids.empty() ? 0
                          : bitsFor(static_cast<uint64_t>(
                                static_cast<int64_t>(
                                    *std::max_element(shape.maxTime.begin(), shape.maxTime.end())) -
                                *std::min_element(shape.minTime.begin(), shape.minTime.end())));
    const unsigned rankBits = bitsFor(shape.ids.empty() ? 0 : shape.ids.size() - 1);
    if (rankBits + timeBits <= 31) {
      Grouped<uint32_t> grouped(shape, timeBits);
      groupInto(grouped, source, shape, maxLandmarks, tuning);
      index.clear();
      if (tuning.indexBuilt) tuning.indexBuilt();
      matchGrouped(grouped, shape, progress, tuning, sink);
    } else {
      Grouped<uint64_t> grouped(shape, 32);
      groupInto(grouped, source, shape, maxLandmarks, tuning);
      index.clear();
      if (tuning.indexBuilt) tuning.indexBuilt();
      matchGrouped(grouped, shape, progress, tuning, sink);
    }
  } catch (...) {
    index.clear();
    throw;
  }
  index.clear();
}
}  // namespace

VkCandidatePeak candidatePeak(const VkOffsetHistogram& h, const VkCandidateSides& sides) {
  VkFirstVote v;
  for (const VkOffsetBin& bin : h) {
    if (bin.count > v.peak) v.peak = bin.count, v.offset = bin.offset;
    v.votes += bin.count;
    v.squares += static_cast<uint64_t>(bin.count) * bin.count;
  }
  return candidatePeak(v, sides);
}

VkCandidatePeak candidatePeak(const VkFirstVote& v, const VkCandidateSides& s) {
  VkCandidatePeak c;
  c.peak = v.peak;
  const uint64_t votes = v.votes, squares = v.squares;
  const int32_t at = v.offset;
  const double spanA = static_cast<double>(s.lastA) - s.firstA + 1;
  const double spanB = static_cast<double>(s.lastB) - s.firstB + 1;
  const double n = spanA + spanB - 1;  // possible offsets
  const double mean = static_cast<double>(votes) / n;
  // As in the acceptance test, a floor keeps a flat histogram from passing on one vote.
  const double variance = std::max(0.1, static_cast<double>(squares) / n - mean * mean);
  c.mean = static_cast<float>(mean);
  c.deviation = static_cast<float>(std::sqrt(variance));
  // B's frame t lies on A's frame t + at; the rarer landmarks taken as even over each span.
  const double overlap = std::min<double>(s.lastA, static_cast<double>(s.lastB) + at) -
                         std::max<double>(s.firstA, static_cast<double>(s.firstB) + at) + 1;
  const double inOverlap = std::max(std::min(static_cast<double>(s.landmarksA) * overlap / spanA,
                                             static_cast<double>(s.landmarksB) * overlap / spanB),
                                    1.0);
  c.fraction = static_cast<float>(c.peak / inOverlap);
  return c;
}

bool VkCandidatePeak::chosen(float minFraction) const {
  return peak >= kCandidateMinPeak &&
         static_cast<float>(peak) >= mean + kCandidateDeviations * deviation &&
         fraction >= kCandidateFractionShare * minFraction;
}

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
  if (progress != nullptr && fileSet != nullptr) progress->setFraction(0.0f);
  if (fileSet == nullptr) {
    matchSource(EntrySource(index.entries), index.maxLandmarks, index, progress, tuning, sink);
    return;
  }
  matchSource(TableSource(*fileSet, progress), index.maxLandmarks, index, progress, tuning, sink);
}

void matchIndex(VkLandmarkIndex& index, VkProgress* progress, const VkMatchTuning& tuning,
                const VkPairSink& sink) {
  matchSource(EntrySource(index.entries), index.maxLandmarks, index, progress, tuning, sink);
}

}  // namespace Velk
