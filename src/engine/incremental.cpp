// A pair's histogram is the sum of the votes of the hashes both recordings
// hold and that vote: hashes with at most the popular-hash limit's landmarks in
// the whole run. A stored pair of two unchanged recordings therefore keeps its
// histogram, and its outcome, unless one of its hashes changed sides of the
// limit: its count changed (it is in an added or removed recording) or the limit
// moved past it. The state kept for that: each stored pair's outcome (pairs
// without one leave nothing), the limit, and the exact count of every hash with
// more landmarks than a bound at most the limit (the popular ones; the others
// vote whatever the limit, as long as it does not fall below the bound).
//
// When hashes only stop voting (recordings added, the limit still), stored
// pairs only lose votes and no bin rises. A pair without an outcome whose bins
// are below every bar an outcome needs then never gains one: the state also
// lists the pairs without an outcome that reach a bar ("near"), and only those
// and the pairs with an outcome are matched again.
//
// Runs large enough for the candidate stage keep only the pairs their first
// vote chose (each with its outcome, or marked near, or only chosen), the
// hashes that did not vote first and each recording's landmarks that did.
// A re-run screens its new recordings against all others with that same
// first vote and keeps every stored pair's candidacy: a hash whose count
// crossed the first vote's limit since does not change who is a candidate
// until the next full screen. That differs from a fresh run only in pairs
// near the screen's bar; the full votes of candidates stay exact as above.
#include "engine/incremental.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "cluster/cluster_sync_internal.h"
#include "cluster/match_tuning.h"
#include "engine/parallel.h"

namespace Velk {

namespace {

constexpr uint32_t kNoLimit = std::numeric_limits<uint32_t>::max();
using Counts = std::vector<std::pair<uint32_t, uint32_t>>;  // hash, landmarks; by hash

// ---- encoding of the state ------------------------------------------------

template <typename T>
void put(std::string& out, const T& v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

template <typename T>
bool get(const char*& p, const char* end, T& v) {
  if (static_cast<std::size_t>(end - p) < sizeof v) return false;
  std::memcpy(&v, p, sizeof v);
  p += sizeof v;
  return true;
}

struct StoredPair {
  int64_t keyA, keyB;  // keyA's recording came first in its run
  uint8_t flags;       // near or chosen only: nothing else stored
  PairOutcome outcome;
};

constexpr uint8_t kNearFlag = 4;    // no outcome, but votes at a bar
constexpr uint8_t kChosenFlag = 8;  // chosen by the first vote, no outcome, not near

// The measured fields in a fixed order, bit for bit.
template <typename Fn>
void eachStat(VkPairStats& s, Fn fn) {
  for (float* f : {&s.peakCount, &s.overlapLength, &s.matchFractionA, &s.matchFractionB,
                   &s.overlapLandmarksA, &s.overlapLandmarksB, &s.templateLength, &s.histogramMean,
                   &s.histogramStdDev, &s.peakOffset})
    fn(*f);
}

void encodePair(std::string& out, int64_t a, int64_t b, PairOutcome o) {
  put(out, a);
  put(out, b);
  put(out, static_cast<uint8_t>((o.accepted ? 1 : 0) | (o.candidate ? 2 : 0)));
  eachStat(o.stats, [&out](float& f) { put(out, f); });
  if (o.candidate) {
    put(out, o.rejected.lagSeconds);
    put(out, o.rejected.votes);
    put(out, o.rejected.runnerUp);
    put(out, o.rejected.standOut);
  }
  put(out, static_cast<uint32_t>(o.lags.size()));
  for (double lag : o.lags) put(out, lag);
}

void encodeMark(std::string& out, int64_t a, int64_t b, uint8_t flag) {
  put(out, a);
  put(out, b);
  put(out, flag);
}

bool decodePairs(const std::string& in, std::vector<StoredPair>& out) {
  const char* p = in.data();
  const char* end = p + in.size();
  while (p < end) {
    StoredPair s{};
    uint8_t flags = 0;
    uint32_t lags = 0;
    bool ok = get(p, end, s.keyA) && get(p, end, s.keyB) && get(p, end, flags);
    s.flags = flags;
    if (ok && (flags == kNearFlag || flags == kChosenFlag)) {
      out.push_back(std::move(s));
      continue;
    }
    eachStat(s.outcome.stats, [&](float& f) { ok = ok && get(p, end, f); });
    s.outcome.accepted = (flags & 1) != 0;
    s.outcome.candidate = (flags & 2) != 0;
    if (ok && s.outcome.candidate)
      ok = get(p, end, s.outcome.rejected.lagSeconds) && get(p, end, s.outcome.rejected.votes) &&
           get(p, end, s.outcome.rejected.runnerUp) && get(p, end, s.outcome.rejected.standOut);
    ok = ok && get(p, end, lags) && lags <= static_cast<uint32_t>(end - p) / sizeof(double);
    for (uint32_t i = 0; ok && i < lags; ++i) {
      double lag = 0;
      ok = get(p, end, lag);
      s.outcome.lags.push_back(lag);
    }
    if (!ok) return false;
    out.push_back(std::move(s));
  }
  return true;
}

// The popular counts and, for runs with a candidate stage, what their first
// vote was: the hashes that did not vote first (sorted), each recording's
// landmarks that did (by row key), and the recordings added or removed since
// every pair was screened.
struct Popular {
  Counts counts;
  bool screened = false;
  uint64_t changed = 0;
  std::vector<uint32_t> screenOut;
  std::map<int64_t, uint64_t> firstVote;
};

std::string encodePopular(const Popular& p) {
  std::string out;
  out.reserve(8 * p.counts.size() + 4 * p.screenOut.size() + 16 * p.firstVote.size() + 32);
  put(out, static_cast<uint64_t>(p.counts.size()));
  for (const auto& c : p.counts) {
    put(out, c.first);
    put(out, c.second);
  }
  put(out, static_cast<uint8_t>(p.screened ? 1 : 0));
  if (!p.screened) return out;
  put(out, p.changed);
  put(out, static_cast<uint64_t>(p.screenOut.size()));
  for (uint32_t h : p.screenOut) put(out, h);
  put(out, static_cast<uint64_t>(p.firstVote.size()));
  for (const auto& r : p.firstVote) {
    put(out, r.first);
    put(out, r.second);
  }
  return out;
}

bool decodePopular(const std::string& in, Popular& out) {
  const char* p = in.data();
  const char* end = p + in.size();
  uint64_t n = 0;
  uint8_t screened = 0;
  if (!get(p, end, n) || n > in.size() / 8) return false;
  out.counts.resize(n);
  for (auto& c : out.counts)
    if (!get(p, end, c.first) || !get(p, end, c.second)) return false;
  for (std::size_t i = 1; i < out.counts.size(); ++i)
    if (out.counts[i - 1].first >= out.counts[i].first) return false;
  if (!get(p, end, screened)) return false;
  out.screened = screened != 0;
  if (!out.screened) return p == end;
  if (!get(p, end, out.changed) || !get(p, end, n) || n > in.size() / 4) return false;
  out.screenOut.resize(n);
  for (uint32_t& h : out.screenOut)
    if (!get(p, end, h)) return false;
  if (!std::is_sorted(out.screenOut.begin(), out.screenOut.end()) || !get(p, end, n)) return false;
  for (uint64_t i = 0; i < n; ++i) {
    int64_t key = 0;
    uint64_t landmarks = 0;
    if (!get(p, end, key) || !get(p, end, landmarks)) return false;
    out.firstVote[key] = landmarks;
  }
  return p == end;
}

// Everything besides the votes that decides a pair's outcome, and whether the
// second look's part of it is kept (it costs a pass over every histogram).
std::string paramsKey(const VkClusterFormer& f, bool secondLook) {
  char buf[200];
  std::snprintf(
      buf, sizeof buf,
      "outcome 3; accept %u fps %.9g template %.9g overlap %.9g match %.9g; second look %d",
      f.acceptThreshold, static_cast<double>(f.framesPerSecond),
      static_cast<double>(f.minTemplateLength), static_cast<double>(f.minOverlapLength),
      static_cast<double>(f.minPercentMatch), secondLook ? 1 : 0);
  return buf;
}

// ---- hashes -----------------------------------------------------------------

// A set of hashes as bits, with the rank of each member among them. Passes
// over an archive ask it of every landmark: a 2 MB filter of mixed hashes
// answers most of them without reaching the bits (128 MB for 30-bit hashes).
class HashBits {
 public:
  explicit HashBits(uint32_t maxHash)
      : words_((uint64_t{maxHash} >> 6) + 1, 0), filter_(std::size_t{1} << (kFilterBits - 6), 0) {}
  void set(uint32_t h) {
    words_[h >> 6] |= bit(h);
    const uint32_t f = mixed(h);
    filter_[f >> 6] |= bit(f);
  }
  bool has(uint32_t h) const {
    const uint32_t f = mixed(h);
    if ((filter_[f >> 6] & bit(f)) == 0) return false;
    const uint64_t w = h >> 6;
    return w < words_.size() && (words_[w] & bit(h)) != 0;
  }
  // Ranks are valid from here on; returns the number of members.
  std::size_t rank() {
    rank_.resize(words_.size());
    std::size_t at = 0;
    for (std::size_t w = 0; w < words_.size(); ++w) {
      rank_[w] = at;
      at += static_cast<std::size_t>(__builtin_popcountll(words_[w]));
    }
    return at;
  }
  std::size_t rankOf(uint32_t h) const {
    const uint64_t w = h >> 6;
    return rank_[w] + static_cast<std::size_t>(__builtin_popcountll(words_[w] & (bit(h) - 1)));
  }
  template <typename Fn>
  void forEach(Fn fn) const {
    for (std::size_t w = 0; w < words_.size(); ++w)
      for (uint64_t v = words_[w]; v != 0; v &= v - 1)
        fn(static_cast<uint32_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(v))));
  }

 private:
  static constexpr unsigned kFilterBits = 24;
  static uint64_t bit(uint32_t h) { return uint64_t{1} << (h & 63); }
  static uint32_t mixed(uint32_t h) { return (h * 0x9e3779b1u) >> (32 - kFilterBits); }
  std::vector<uint64_t> words_;
  std::vector<uint64_t> filter_;
  std::vector<std::size_t> rank_;
};

// Every hash with more than `above` landmarks in files, with its count. First
// the landmarks per bucket of hashes (a bucket's count bounds each of its
// hashes'), then exact counts of the hashes in buckets above the bound: two
// passes, a fixed 64 MB, and only popular hashes ever sorted.
Counts countPopular(const std::vector<const VkFile*>& files, uint32_t above) {
  constexpr unsigned kBucketBits = 24;
  auto bucketOf = [](uint32_t h) { return (h * 0x9e3779b1u) >> (32 - kBucketBits); };
  std::vector<uint32_t> buckets(std::size_t{1} << kBucketBits, 0);
  for (const VkFile* f : files)
    f->forEachLandmark([&](int32_t, uint32_t h, int32_t) { ++buckets[bucketOf(h)]; });
  std::vector<uint32_t> candidates;
  for (const VkFile* f : files)
    f->forEachLandmark([&](int32_t, uint32_t h, int32_t) {
      if (buckets[bucketOf(h)] > above) candidates.push_back(h);
    });
  std::sort(candidates.begin(), candidates.end());
  Counts out;
  for (std::size_t i = 0, j = 0; i < candidates.size(); i = j) {
    while (j < candidates.size() && candidates[j] == candidates[i]) ++j;
    if (j - i > above) out.emplace_back(candidates[i], static_cast<uint32_t>(j - i));
  }
  return out;
}

// ---- outcomes ---------------------------------------------------------------

PairOutcome outcomeOf(const VkPairStats& s, const VkOffsetHistogram& h, bool accepted, float fps,
                      bool secondLook, const VkFileSet& files) {
  PairOutcome o;
  o.stats = s;
  o.stats.histogram = nullptr;
  o.accepted = accepted;
  if (!secondLook) return o;
  if (!accepted) {
    std::vector<RejectedPair> c;
    considerRejected(s, h, fps, files, c);
    if (!c.empty()) {
      o.candidate = true;
      o.rejected = c.front();
    }
  }
  PeakTable peaks;
  notePeaks(s, h, fps, peaks);
  if (!peaks.empty()) o.lags = std::move(peaks.begin()->second);
  return o;
}

bool hasOutcome(const PairOutcome& o) { return o.accepted || o.candidate || !o.lags.empty(); }

}  // namespace

bool mayGainOutcome(const VkClusterFormer& former, VkFileSet* files, const VkPairKey& key,
                    const VkOffsetHistogram& h, bool secondLook) {
  // Acceptance: a bin taken as the peak, with the votes and span of times it
  // has (losing votes only shrinks them), passes every test but the spread's
  // (mean and spread may fall). Its overlap depends on its offset alone; a span
  // longer than the overlap may shrink into it.
  const float minSpan = former.framesPerSecond * former.minTemplateLength;
  for (const VkOffsetBin& bin : h) {
    if (static_cast<float>(former.acceptThreshold) > static_cast<float>(bin.count) ||
        minSpan > static_cast<float>(static_cast<int64_t>(bin.maxTimeA) - bin.minTimeA))
      continue;
    VkPairStats s;
    s.idA = key.first;
    s.idB = key.second;
    const VkOffsetHistogram alone{bin};
    measurePair(s, files, &alone);
    s.templateLength = std::min(s.templateLength, s.overlapLength);
    s.histogramMean = s.histogramStdDev = 0.0f;
    if (former.accepts(s)) return true;
  }
  if (!secondLook) return false;
  // The second look's bars: a candidate needs kLookVotes within a frame of
  // its peak; noted peaks, two offsets over a second apart with kLookVotes
  // within kLookPeakWidth frames of each. Windows ending at each offset cover
  // those centred on any offset.
  constexpr uint32_t kVotes = kLookVotes;
  constexpr int32_t kWidth = kLookPeakWidth, kNarrow = 2 * kLookCandidateWidth;
  const auto apart = static_cast<int32_t>(std::ceil(former.framesPerSecond));
  uint64_t narrow = 0, wide = 0;
  int32_t first = 0, last = 0;
  bool any = false;
  for (std::size_t i = 0, lo1 = 0, lo2 = 0; i < h.size(); ++i) {
    narrow += h[i].count;
    wide += h[i].count;
    while (h[lo1].offset < h[i].offset - kNarrow) narrow -= h[lo1++].count;
    while (h[lo2].offset < h[i].offset - 2 * kWidth) wide -= h[lo2++].count;
    if (narrow >= kVotes) return true;
    if (wide < kVotes) continue;
    if (!any) first = h[i].offset;
    last = h[i].offset;
    any = true;
  }
  // A window ending at e holds the one centred on e - kWidth .. e.
  return any && last - first > apart - kWidth;
}

namespace {

// The histogram of (B, A) from that of (A, B): offsets negated, bins in
// reverse, and A's times at a bin are B's plus its offset.
void mirror(VkOffsetHistogram& h) {
  std::reverse(h.begin(), h.end());
  for (VkOffsetBin& bin : h) {
    const int32_t o = bin.offset;
    bin.offset = -o;
    bin.minTimeA -= o;
    bin.maxTimeA -= o;
  }
}

// ---- one run ----------------------------------------------------------------

struct Recordings {
  std::vector<int32_t> ids;  // the run's, ascending
  std::vector<int64_t> keys;
  std::vector<const VkFile*> files;
};

// What a run keeps of its pairs: those with an outcome, those near one, and
// (candidate stage) the other pairs its first vote chose.
struct Kept {
  std::vector<PairOutcome> outcomes;
  std::vector<VkPairKey> near, chosen;
};

class IncrementalRun {
 public:
  IncrementalRun(const VkClusterSyncParams& params, bool secondLook, VkFileSet& files,
                 FeatureStore& store, const Recordings& run, const PairState& old, bool screen,
                 unsigned threads)
      : former_(params),
        secondLook_(secondLook),
        fps_(params.getFramesPerSecond()),
        limit_(params.getMaxLandmarks()),
        minFraction_(params.getMinPercentMatch()),
        fileSet_(files),
        store_(store),
        run_(run),
        old_(old),
        screen_(screen),
        threads_(threads) {}

  // False with why when the stored state cannot give the exact result.
  bool plan(std::string& why) {
    if (old_.params.rfind("outcome 3;", 0) != 0)
      return fail(why, "its pair state comes from an older version");
    if (old_.params != paramsKey(former_, secondLook_))
      return fail(why, "other acceptance or second-look settings");
    if (std::min(old_.limit, limit_) < old_.popularAbove)
      return fail(why, "the popular-hash limit fell below what its counts cover");
    std::vector<StoredPair> pairs;
    if (!decodePopular(old_.popular, storedPopular_) || !decodePairs(old_.pairs, pairs))
      return fail(why, "its pair state is unreadable");
    popular_ = std::move(storedPopular_.counts);
    if (storedPopular_.screened != screen_)
      return fail(why, screen_ ? "its pairs were not screened by a first vote"
                               : "this run is too small for the candidate stage");
    std::map<int64_t, int64_t> place(old_.members.begin(), old_.members.end());
    int64_t last = std::numeric_limits<int64_t>::min();
    std::map<int64_t, std::size_t> current;
    for (std::size_t i = 0; i < run_.ids.size(); ++i) {
      current[run_.keys[i]] = i;
      const auto p = place.find(run_.keys[i]);
      if (p == place.end()) {
        fresh_.push_back(i);
        continue;
      }
      // Pairs are stored in their run's order, which decides their histograms.
      if (p->second <= last) return fail(why, "the recordings come in another order");
      last = p->second;
      kept_.push_back(i);
      if (screen_ && storedPopular_.firstVote.count(run_.keys[i]) == 0)
        return fail(why, "a recording's first-vote count is missing");
    }
    for (const auto& m : old_.members) {
      if (current.count(m.first) != 0) continue;
      std::unique_ptr<VkFile> f = store_.loadKey(m.first, 0);
      if (!f) return fail(why, "a removed recording's landmarks are gone");
      removed_.push_back(std::move(f));
    }
    // Each addition or removal since the screen moves hash counts the kept
    // candidacies do not follow; past a sixteenth of the archive, screen again.
    if (screen_ && 16 * (storedPopular_.changed + fresh_.size() + removed_.size()) >
                       std::max<std::size_t>(old_.members.size(), 64))
      return fail(why,
                  "over a sixteenth of its recordings were added or removed since every pair "
                  "was screened");
    for (StoredPair& s : pairs) {
      const auto a = current.find(s.keyA), b = current.find(s.keyB);
      if (a == current.end() || b == current.end()) continue;
      const VkPairKey key(run_.ids[a->second], run_.ids[b->second]);
      if (s.flags == kNearFlag) {
        near_.push_back(key);
      } else if (s.flags == kChosenFlag) {
        chosen_.push_back(key);
      } else {
        s.outcome.stats.idA = key.first;
        s.outcome.stats.idB = key.second;
        stored_.push_back(std::move(s.outcome));
      }
    }
    std::sort(near_.begin(), near_.end());
    std::sort(chosen_.begin(), chosen_.end());
    countTouched();
    findSwitched();
    const bool ok = collect(why);
    planSeconds_ = since(start_);
    return ok;
  }

  VkClusterSet* cluster(VkProgress* progress, Kept& out) {
    auto step = [progress](int32_t n) {
      if (progress != nullptr) progress->setStep(n);
    };
    step(0);
    fileSet_.computeCLFs();
    step(1);
    auto judge = [&](const VkPairKey& key, const VkOffsetHistogram& h) {
      const JudgedPair j = judgePair(former_, &fileSet_, key, h, nullptr);
      PairOutcome o = outcomeOf(j.stats, h, j.accepted, fps_, secondLook_, fileSet_);
      if (hasOutcome(o))
        out.outcomes.push_back(std::move(o));
      else if (mayGainOutcome(former_, &fileSet_, key, h, secondLook_))
        out.near.push_back(key);
      else if (screen_)
        out.chosen.push_back(key);
    };
    auto t = std::chrono::steady_clock::now();
    if (screen_) {
      screenFresh(progress);
      screenSeconds_ = since(t);
      t = std::chrono::steady_clock::now();
      voteInFull(freshChosen_, judge);
    } else {
      matchFresh(progress, judge);
    }
    freshSeconds_ = since(t);
    t = std::chrono::steady_clock::now();
    voteInFull(affected_, judge);
    affectedSeconds_ = since(t);
    auto unaffected = [this](const VkPairKey& k) {
      return !std::binary_search(affected_.begin(), affected_.end(), k);
    };
    for (PairOutcome& o : stored_)
      if (unaffected(VkPairKey(o.stats.idA, o.stats.idB))) out.outcomes.push_back(std::move(o));
    for (const VkPairKey& k : near_)
      if (unaffected(k)) out.near.push_back(k);
    for (const VkPairKey& k : chosen_)
      if (unaffected(k)) out.chosen.push_back(k);
    step(2);
    step(3);
    step(4);
    std::unique_ptr<VkPairStatsTable, void (*)(VkPairStatsTable*)> accepted(new VkPairStatsTable,
                                                                            deletePairStats);
    for (const PairOutcome& o : out.outcomes)
      if (o.accepted) (*accepted)[VkPairKey(o.stats.idA, o.stats.idB)] = new VkPairStats(o.stats);
    VkClusterSet* clusters = formClustersOf(former_, &fileSet_, accepted.get());
    step(5);
    return clusters;
  }

  // The popular counts after this run, and what stays of the screen.
  Popular popular() const {
    Popular out;
    for (const auto& c : popular_)
      if (!touched_.has(c.first)) out.counts.push_back(c);
    touched_.forEach([&](uint32_t h) {
      const uint64_t n = now_[touched_.rankOf(h)];
      if (n > old_.popularAbove) out.counts.emplace_back(h, static_cast<uint32_t>(n));
    });
    std::sort(out.counts.begin(), out.counts.end());
    out.screened = screen_;
    if (!screen_) return out;
    out.changed = storedPopular_.changed + fresh_.size() + removed_.size();
    out.screenOut = storedPopular_.screenOut;
    for (std::size_t i : kept_)
      out.firstVote[run_.keys[i]] = storedPopular_.firstVote.at(run_.keys[i]);
    for (const auto& kv : freshFirstVote_) out.firstVote[kv.first] = kv.second;
    return out;
  }

  std::string summary() const {
    std::string s = std::to_string(fresh_.size()) + " new recordings " +
                    (screen_ ? "screened" : "matched") + " against " +
                    std::to_string(kept_.size()) + " stored ones (" +
                    std::to_string(removed_.size()) + " gone)";
    if (screen_)
      s += ", " + std::to_string(freshChosen_.size()) +
           " of their pairs chosen and voted in full (" + std::to_string(firstCrossed_) +
           " hashes crossed the first vote's limit; screened as before)";
    s += ", " + std::to_string(stored_.size() - reused()) + " of " +
         std::to_string(stored_.size()) + " stored pair results judged again (" +
         std::to_string(switched_.size()) + " hashes crossed the popular-hash limit";
    if (bounded_)
      s += "; " + std::to_string(affected_.size() - (stored_.size() - reused())) +
           (screen_ ? " other candidates matched again, " : " near an outcome matched again, ") +
           std::to_string(skipped_) +
           (onlyStopped_ ? " pairs holding them not: without an outcome and below its bars, "
                           "losing votes cannot give them one"
                         : " pairs holding them not: not candidates");
    char times[200], screen[40] = "";
    if (screen_) std::snprintf(screen, sizeof screen, "%.1f s to screen, ", screenSeconds_);
    std::snprintf(times, sizeof times,
                  "); %.1f s to count, %s%.1f s for the new pairs' full votes, %.1f s to match "
                  "stored pairs again",
                  planSeconds_, screen, freshSeconds_, affectedSeconds_);
    return s + times;
  }

 private:
  static double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  }
  static bool fail(std::string& why, const char* reason) {
    why = reason;
    return false;
  }
  bool tooManyCrossed(std::string& why) const {
    why = std::to_string(switched_.size()) + " hashes crossed the popular-hash limit (" +
          std::to_string(old_.limit) + " then, " + std::to_string(limit_) +
          " now) and are in over " +
          (screen_ ? "half of the candidates" : "an eighth of the pairs");
    return false;
  }

  std::size_t reused() const {
    std::size_t n = 0;
    for (const PairOutcome& o : stored_)
      n += std::binary_search(affected_.begin(), affected_.end(),
                              VkPairKey(o.stats.idA, o.stats.idB))
               ? 0
               : 1;
    return n;
  }

  // Exact counts, before and after, of the hashes of added and removed recordings.
  void countTouched() {
    uint32_t maxHash = popular_.empty() ? 0 : popular_.back().first;
    auto widen = [&maxHash](int32_t, uint32_t h, int32_t) { maxHash = std::max(maxHash, h); };
    for (std::size_t i : fresh_) run_.files[i]->forEachLandmark(widen);
    for (const auto& f : removed_) f->forEachLandmark(widen);
    touched_ = HashBits(maxHash);
    auto mark = [this](int32_t, uint32_t h, int32_t) { touched_.set(h); };
    for (std::size_t i : fresh_) run_.files[i]->forEachLandmark(mark);
    for (const auto& f : removed_) f->forEachLandmark(mark);
    const std::size_t n = touched_.rank();
    added_.assign(n, 0);
    gone_.assign(n, 0);
    now_.assign(n, 0);
    for (std::size_t i : fresh_)
      run_.files[i]->forEachLandmark(
          [this](int32_t, uint32_t h, int32_t) { ++added_[touched_.rankOf(h)]; });
    for (const auto& f : removed_)
      f->forEachLandmark([this](int32_t, uint32_t h, int32_t) { ++gone_[touched_.rankOf(h)]; });
    popularBits_ = HashBits(maxHash);
    for (const auto& c : popular_) popularBits_.set(c.first);
    // A touched hash with a stored count has that count, plus added, less
    // gone. The others (at most the bound then, and most of them rare) are
    // counted over every landmark of the run: most landmarks are of popular
    // hashes, which the set's filter then turns away without a cache miss.
    HashBits rare(maxHash);
    touched_.forEach([&](uint32_t h) {
      const std::size_t r = touched_.rankOf(h);
      if (popularBits_.has(h))
        now_[r] = storedCount(h) + added_[r] - gone_[r];
      else
        rare.set(h);
    });
    const std::size_t m = rare.rank();
    const std::size_t parts = std::max(1u, threads_), files = run_.files.size();
    std::vector<std::vector<uint64_t>> counted(parts);
    parallelFor(parts, threads_, [&](std::size_t k) {
      std::vector<uint64_t>& mine = counted[k];
      mine.assign(m, 0);
      for (std::size_t i = files * k / parts; i < files * (k + 1) / parts; ++i)
        run_.files[i]->forEachLandmark([&](int32_t, uint32_t h, int32_t) {
          if (rare.has(h)) ++mine[rare.rankOf(h)];
        });
    });
    rare.forEach([&](uint32_t h) {
      uint64_t& n = now_[touched_.rankOf(h)];
      for (const auto& part : counted) n += part[rare.rankOf(h)];
    });
    maxHash_ = maxHash;
  }

  uint64_t storedCount(uint32_t h) const {
    return std::lower_bound(popular_.begin(), popular_.end(), std::make_pair(h, uint32_t{0}))
        ->second;
  }

  // A hash's landmarks in the stored run (then) or this one (now).
  uint64_t countOf(uint32_t h, bool then) const {
    if (touched_.has(h)) {
      const std::size_t r = touched_.rankOf(h);
      return then ? now_[r] - added_[r] + gone_[r] : now_[r];
    }
    if (!popularBits_.has(h)) return 0;  // no more than the bound: below either limit
    return storedCount(h);
  }
  bool votesNow(uint32_t h) const { return countOf(h, false) <= limit_; }

  void findSwitched() {
    onlyStopped_ = true;
    auto check = [this](uint32_t h) {
      const bool then = countOf(h, true) <= old_.limit, now = votesNow(h);
      if (then == now) return;
      switched_.push_back(h);
      onlyStopped_ = onlyStopped_ && !now;
    };
    touched_.forEach(check);
    // What a fresh run's first vote would see move, and this one keeps as screened.
    touched_.forEach([this](uint32_t h) {
      firstCrossed_ +=
          (countOf(h, true) <= kCandidateLimit) != (countOf(h, false) <= kCandidateLimit);
    });
    for (const auto& c : popular_)
      if (!touched_.has(c.first)) check(c.first);
    std::sort(switched_.begin(), switched_.end());
  }

  // The stored pairs of kept recordings that share a hash that switched:
  // judged again whole. False when that is most of the work of a full run.
  bool collect(std::string& why) {
    if (switched_.empty() || kept_.size() < 2) return true;
    // Only candidates are ever voted in full: other pairs stay out whatever
    // their votes. Re-voting half of them costs about a fresh run.
    if (screen_)
      return collectAmong(
          why, std::max<uint64_t>(64, (stored_.size() + near_.size() + chosen_.size()) / 2),
          !onlyStopped_);
    const uint64_t budget =
        std::max<uint64_t>(64, uint64_t{kept_.size()} * (kept_.size() - 1) / 16);
    if (onlyStopped_) return collectAmong(why, budget, false);
    HashBits bits(switched_.back());
    for (uint32_t h : switched_) bits.set(h);
    std::vector<std::pair<uint32_t, int32_t>> holders;
    for (std::size_t i : kept_)
      run_.files[i]->forEachLandmark([&](int32_t, uint32_t h, int32_t) {
        if (bits.has(h) && (holders.empty() || holders.back() != std::make_pair(h, run_.ids[i])))
          holders.emplace_back(h, run_.ids[i]);
      });
    std::sort(holders.begin(), holders.end());
    holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
    // Pairs holding popular hashes carry most of the votes: past an eighth of
    // them, matching every pair costs little more.
    for (std::size_t i = 0; i < holders.size();) {
      std::size_t j = i;
      while (j < holders.size() && holders[j].first == holders[i].first) ++j;
      for (std::size_t a = i; a < j; ++a)
        for (std::size_t b = a + 1; b < j; ++b) {
          affected_.emplace_back(holders[a].second, holders[b].second);
          if (affected_.size() > 2 * budget) {
            std::sort(affected_.begin(), affected_.end());
            affected_.erase(std::unique(affected_.begin(), affected_.end()), affected_.end());
            if (affected_.size() > budget) return tooManyCrossed(why);
          }
        }
      i = j;
    }
    std::sort(affected_.begin(), affected_.end());
    affected_.erase(std::unique(affected_.begin(), affected_.end()), affected_.end());
    if (affected_.size() > budget) return tooManyCrossed(why);
    return true;
  }

  // The stored pairs with an outcome or near (and, withChosen, the other
  // candidates) that hold a hash that switched. The others holding one are
  // counted, to say what was spared.
  bool collectAmong(std::string& why, uint64_t budget, bool withChosen) {
    bounded_ = true;
    const std::size_t words = (switched_.size() + 63) / 64;
    HashBits bits(switched_.back());
    for (uint32_t h : switched_) bits.set(h);
    bits.rank();
    std::map<int32_t, std::size_t> row;  // run id -> row of held
    for (std::size_t k = 0; k < kept_.size(); ++k) row[run_.ids[kept_[k]]] = k;
    std::vector<uint64_t> held(kept_.size() * words, 0);
    parallelFor(kept_.size(), threads_, [&](std::size_t k) {
      uint64_t* mine = &held[k * words];
      run_.files[kept_[k]]->forEachLandmark([&](int32_t, uint32_t h, int32_t) {
        if (!bits.has(h)) return;
        const std::size_t r = bits.rankOf(h);
        mine[r >> 6] |= uint64_t{1} << (r & 63);
      });
    });
    auto share = [&](std::size_t a, std::size_t b) {
      for (std::size_t w = 0; w < words; ++w)
        if ((held[a * words + w] & held[b * words + w]) != 0) return true;
      return false;
    };
    auto consider = [&](const VkPairKey& k) {
      if (share(row[k.first], row[k.second])) affected_.push_back(k);
    };
    for (const PairOutcome& o : stored_) consider(VkPairKey(o.stats.idA, o.stats.idB));
    for (const VkPairKey& k : near_) consider(k);
    if (withChosen)
      for (const VkPairKey& k : chosen_) consider(k);
    std::sort(affected_.begin(), affected_.end());
    if (affected_.size() > budget) return tooManyCrossed(why);
    uint64_t sharing = 0;
    for (std::size_t a = 0; a < kept_.size(); ++a)
      for (std::size_t b = a + 1; b < kept_.size(); ++b) sharing += share(a, b) ? 1 : 0;
    skipped_ = sharing - affected_.size();
    return true;
  }

  // Pairs with a new recording: the new ones take the lowest ids, so that only
  // they are recording A, with every voting landmark of their hashes.
  template <typename Judge>
  void matchFresh(VkProgress* progress, Judge& judge) {
    if (fresh_.empty()) return;
    VkLandmarkIndex index(kNoLimit);  // the limit is applied here, with the run's counts
    std::vector<int32_t> idOf;        // run id by matching id
    std::vector<char> present(fresh_.size(), 0);
    for (std::size_t i : fresh_) {
      const auto id = static_cast<int32_t>(idOf.size());
      run_.files[i]->forEachLandmark([&](int32_t t, uint32_t h, int32_t) {
        if (now_[touched_.rankOf(h)] > limit_) return;
        index.entries.push_back({h, id, t});
        present[static_cast<std::size_t>(id)] = 1;
      });
      idOf.push_back(run_.ids[i]);
    }
    for (std::size_t i : kept_) {
      const auto id = static_cast<int32_t>(idOf.size());
      run_.files[i]->forEachLandmark([&](int32_t t, uint32_t h, int32_t) {
        if (!touched_.has(h)) return;
        const std::size_t r = touched_.rankOf(h);
        if (added_[r] != 0 && now_[r] <= limit_) index.entries.push_back({h, id, t});
      });
      idOf.push_back(run_.ids[i]);
    }
    VkMatchTuning tuning;
    tuning.anchorsBelow = static_cast<int32_t>(std::count(present.begin(), present.end(), char{1}));
    const auto freshIds = static_cast<int32_t>(fresh_.size());
    matchIndex(index, progress, tuning, [&](const VkPairKey& key, VkOffsetHistogram& h) {
      if (key.first >= freshIds) return;  // two stored recordings: never voted whole here
      int32_t a = idOf[static_cast<std::size_t>(key.first)];
      int32_t b = idOf[static_cast<std::size_t>(key.second)];
      if (a > b) {
        mirror(h);
        std::swap(a, b);
      }
      judge(VkPairKey(a, b), h);
    });
  }

  // The first vote of the pairs with a new recording, with the hashes that
  // voted first at the last screen (and vote now), each stored recording's
  // first-vote landmarks as the screen counted them; the pairs it chooses go
  // to freshChosen_.
  void screenFresh(VkProgress* progress) {
    for (std::size_t i : fresh_) freshFirstVote_[run_.keys[i]] = 0;  // until counted
    if (fresh_.empty()) return;
    HashBits out(storedPopular_.screenOut.empty() ? 0 : storedPopular_.screenOut.back());
    for (uint32_t h : storedPopular_.screenOut) out.set(h);
    auto first = [&](uint32_t h) {
      const std::size_t r = touched_.rankOf(h);
      return !out.has(h) && now_[r] <= limit_;
    };
    VkLandmarkIndex index(kNoLimit);
    std::vector<std::size_t> placeOf;  // place in run_ by matching id
    std::vector<char> present(fresh_.size(), 0);
    for (std::size_t i : fresh_) {
      const auto id = static_cast<int32_t>(placeOf.size());
      run_.files[i]->forEachLandmark([&](int32_t t, uint32_t h, int32_t) {
        if (!first(h)) return;
        index.entries.push_back({h, id, t});
        present[static_cast<std::size_t>(id)] = 1;
      });
      placeOf.push_back(i);
    }
    // The stored recordings' landmarks of those hashes, file by file on threads.
    HashBits wanted(maxHash_);
    touched_.forEach([&](uint32_t h) {
      if (added_[touched_.rankOf(h)] != 0 && first(h)) wanted.set(h);
    });
    std::vector<std::vector<VkLandmarkIndex::Entry>> found(kept_.size());
    parallelFor(kept_.size(), threads_, [&](std::size_t k) {
      const auto id = static_cast<int32_t>(fresh_.size() + k);
      run_.files[kept_[k]]->forEachLandmark([&](int32_t t, uint32_t h, int32_t) {
        if (wanted.has(h)) found[k].push_back({h, id, t});
      });
    });
    std::size_t total = index.entries.size();
    for (const auto& f : found) total += f.size();
    index.entries.reserve(total);
    for (std::size_t k = 0; k < kept_.size(); ++k) {
      index.entries.insert(index.entries.end(), found[k].begin(), found[k].end());
      std::vector<VkLandmarkIndex::Entry>().swap(found[k]);
      placeOf.push_back(kept_[k]);
    }
    const auto freshIds = static_cast<int32_t>(fresh_.size());
    VkMatchTuning tuning;
    tuning.threads = threads_;
    tuning.anchorsBelow = static_cast<int32_t>(std::count(present.begin(), present.end(), char{1}));
    tuning.candidateLimit = kNoLimit;  // every hash here votes first
    tuning.candidateFraction = minFraction_;
    tuning.firstVoteLandmarks = [&](int32_t id, uint64_t counted) {
      const std::size_t i = placeOf[static_cast<std::size_t>(id)];
      if (id < freshIds) return freshFirstVote_[run_.keys[i]] = counted;
      return storedPopular_.firstVote.at(run_.keys[i]);
    };
    tuning.chosen = [&](const VkPairKey& key) {
      const int32_t a = run_.ids[placeOf[static_cast<std::size_t>(key.first)]];
      const int32_t b = run_.ids[placeOf[static_cast<std::size_t>(key.second)]];
      freshChosen_.emplace_back(std::min(a, b), std::max(a, b));
    };
    matchIndex(index, progress, tuning, [](const VkPairKey&, VkOffsetHistogram&) {});
    std::sort(freshChosen_.begin(), freshChosen_.end());
  }

  // Each of pairs (a, b, a < b, sorted) voted by every hash that votes now.
  // A set of recordings most of whose pairs are wanted (an event's devices)
  // is voted whole, in one index; the other pairs by anchors (first the
  // recording in most of the pairs left): an index of an anchor and its
  // partners votes only the anchor's pairs, not every pair among the
  // recordings involved. Groups are voted on threads, a few at a time, and
  // judged in their order.
  template <typename Judge>
  void voteInFull(const std::vector<VkPairKey>& pairs, Judge& judge) {
    if (pairs.empty()) return;
    std::map<int32_t, int32_t> parent;  // the recordings the pairs join, as sets
    std::function<int32_t(int32_t)> root = [&](int32_t x) {
      int32_t& p = parent.emplace(x, x).first->second;
      return p == x ? x : (p = root(p));
    };
    for (const VkPairKey& k : pairs) parent[root(k.first)] = root(k.second);
    std::map<int32_t, std::pair<std::vector<int32_t>, std::size_t>> sets;  // members, pairs
    for (const auto& kv : parent) sets[root(kv.first)].first.push_back(kv.first);
    for (const VkPairKey& k : pairs) ++sets[root(k.first)].second;
    std::vector<char> done(pairs.size(), 0);
    std::vector<std::pair<bool, std::vector<int32_t>>> groups;  // whole?, members
    std::set<int32_t> whole;
    for (auto& kv : sets) {
      const std::size_t n = kv.second.first.size();
      if (n > 32 || 4 * kv.second.second < n * (n - 1)) continue;
      groups.emplace_back(true, std::move(kv.second.first));
      whole.insert(kv.first);
    }
    std::map<int32_t, std::vector<std::size_t>> pairsOf;  // run id -> places in pairs
    for (std::size_t p = 0; p < pairs.size(); ++p) {
      if (whole.count(root(pairs[p].first)) != 0) {
        done[p] = 1;
        continue;
      }
      pairsOf[pairs[p].first].push_back(p);
      pairsOf[pairs[p].second].push_back(p);
    }
    std::map<int32_t, std::size_t> open;  // run id -> its pairs not yet planned
    for (const auto& kv : pairsOf) open[kv.first] = kv.second.size();
    std::size_t left = 0;
    for (const auto& kv : open) left += kv.second;
    for (left /= 2; left > 0;) {
      int32_t anchor = 0;
      std::size_t most = 0;
      for (const auto& kv : open)
        if (kv.second > most) most = kv.second, anchor = kv.first;
      groups.emplace_back(false, std::vector<int32_t>{anchor});
      for (std::size_t p : pairsOf[anchor]) {
        if (done[p] != 0) continue;
        done[p] = 1;
        --left;
        --open[pairs[p].first];
        --open[pairs[p].second];
        groups.back().second.push_back(pairs[p].first == anchor ? pairs[p].second : pairs[p].first);
      }
    }
    std::map<int32_t, std::size_t> placeOf;  // run id -> place in run_
    for (std::size_t i = 0; i < run_.ids.size(); ++i) placeOf[run_.ids[i]] = i;
    using Voted = std::vector<std::pair<VkPairKey, VkOffsetHistogram>>;
    auto vote = [&](const std::pair<bool, std::vector<int32_t>>& g, Voted& out) {
      const std::vector<int32_t>& group = g.second;
      VkLandmarkIndex index(kNoLimit);
      for (std::size_t id = 0; id < group.size(); ++id)
        run_.files[placeOf.at(group[id])]->forEachLandmark([&](int32_t t, uint32_t h, int32_t) {
          if (votesNow(h)) index.entries.push_back({h, static_cast<int32_t>(id), t});
        });
      // No votes (of the anchor): no histogram, as in a full run.
      if (index.entries.empty() || (!g.first && index.entries.front().fileId != 0)) return;
      VkMatchTuning tuning;
      if (!g.first) tuning.anchorsBelow = 1;
      matchIndex(index, nullptr, tuning, [&](const VkPairKey& key, VkOffsetHistogram& h) {
        // Whole sets hold their members ascending; an anchor comes first.
        int32_t a = group[static_cast<std::size_t>(key.first)];
        int32_t b = group[static_cast<std::size_t>(key.second)];
        if (g.first ? !std::binary_search(pairs.begin(), pairs.end(), VkPairKey(a, b))
                    : key.first != 0)
          return;
        if (a > b) {
          mirror(h);
          std::swap(a, b);
        }
        out.emplace_back(VkPairKey(a, b), std::move(h));
      });
    };
    const std::size_t batch = 4 * static_cast<std::size_t>(std::max(1u, threads_));
    for (std::size_t g0 = 0; g0 < groups.size(); g0 += batch) {
      const std::size_t g1 = std::min(groups.size(), g0 + batch);
      std::vector<Voted> voted(g1 - g0);
      parallelFor(g1 - g0, threads_, [&](std::size_t k) { vote(groups[g0 + k], voted[k]); });
      for (Voted& v : voted)
        for (auto& kv : v) judge(kv.first, kv.second);
    }
  }

  const VkClusterFormer former_;
  const bool secondLook_;
  const float fps_;
  const uint32_t limit_;
  const float minFraction_;
  VkFileSet& fileSet_;
  FeatureStore& store_;
  const Recordings& run_;
  const PairState& old_;
  const bool screen_;  // a candidate stage's run: only candidates are kept
  const unsigned threads_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  double planSeconds_ = 0, screenSeconds_ = 0, freshSeconds_ = 0, affectedSeconds_ = 0;

  Popular storedPopular_;  // its counts moved to popular_
  Counts popular_;
  std::vector<std::size_t> fresh_, kept_;  // places in run_
  std::vector<std::unique_ptr<VkFile>> removed_;
  std::vector<PairOutcome> stored_;     // of kept pairs, with this run's ids
  std::vector<VkPairKey> near_;         // kept pairs without an outcome that reach a bar; sorted
  std::vector<VkPairKey> chosen_;       // other kept candidates; sorted
  std::vector<VkPairKey> freshChosen_;  // pairs with a new recording the screen chose
  std::map<int64_t, uint64_t> freshFirstVote_;  // by row key
  bool onlyStopped_ = true;                     // every hash that crossed the limit stopped voting
  bool bounded_ = false;  // only some kinds of stored pairs were matched again
  uint64_t skipped_ = 0;
  uint64_t firstCrossed_ = 0;  // hashes whose count crossed the candidate limit in this run
  uint32_t maxHash_ = 0;       // of the stored popular and the touched hashes
  HashBits touched_{0}, popularBits_{0};
  std::vector<uint64_t> added_, gone_, now_;  // by rank in touched_
  std::vector<uint32_t> switched_;
  std::vector<VkPairKey> affected_;  // sorted
};

}  // namespace

VkClusterSet* clusterWithStore(const VkClusterSyncParams& params, bool secondLook, VkFileSet& files,
                               FeatureStore& store, VkProgress* progress,
                               const std::function<void(const PairOutcome&)>& take,
                               std::string& note, unsigned threads, std::size_t candidatePairs) {
  Recordings run;
  std::set<int64_t> seen;
  bool keyed = true;
  for (const auto& kv : files.getFiles()) {
    const auto path = files.idToPath.find(kv.first);
    const int64_t key = path == files.idToPath.end() ? 0 : store.keyOf(path->second);
    keyed = keyed && key != 0 && seen.insert(key).second;
    run.ids.push_back(kv.first);
    run.keys.push_back(key);
    run.files.push_back(kv.second);
  }
  const VkClusterFormer former(params);
  const uint32_t candidateLimit =
      candidateLimitFor(run.ids.size(), params.getMaxLandmarks(), candidatePairs);
  PairState old;
  const bool had = store.readPairs(old);
  std::string why = !keyed ? "some recordings are not in it" : had ? "" : "none stored yet";
  Kept kept;
  std::unique_ptr<VkClusterSet, void (*)(VkClusterSet*)> clusters(nullptr, deleteClusters);
  PairState next;
  Popular popular;
  if (keyed && had) {
    IncrementalRun inc(params, secondLook, files, store, run, old, candidateLimit != 0, threads);
    if (inc.plan(why)) {
      clusters.reset(inc.cluster(progress, kept));
      popular = inc.popular();
      note = "the feature store's pair results were used: " + inc.summary();
    }
  }
  if (!clusters) {
    const float fps = params.getFramesPerSecond();
    std::map<int32_t, int64_t> keyOfId;
    for (std::size_t i = 0; i < run.ids.size(); ++i) keyOfId[run.ids[i]] = run.keys[i];
    // The candidate stage's index counts every popular hash as it is built;
    // otherwise they are counted first: matching frees the hashes once its
    // index holds them.
    next.popularAbove = candidateLimit != 0 ? std::min(params.getMaxLandmarks() / 2, candidateLimit)
                                            : params.getMaxLandmarks() / 2;
    popular.screened = candidateLimit != 0;
    if (keyed && candidateLimit == 0) popular.counts = countPopular(run.files, next.popularAbove);
    auto tune = [&](VkMatchTuning& t) {
      if (!keyed || candidateLimit == 0) return;
      for (int64_t key : run.keys) popular.firstVote[key] = 0;  // recordings without landmarks
      t.countedAbove = next.popularAbove;
      t.counted = [&](uint32_t h, uint64_t n) {
        popular.counts.emplace_back(h, static_cast<uint32_t>(std::min<uint64_t>(n, kNoLimit)));
        if (n > candidateLimit) popular.screenOut.push_back(h);
      };
      t.firstVoteLandmarks = [&](int32_t id, uint64_t n) {
        return popular.firstVote[keyOfId.at(id)] = n;
      };
    };
    clusters.reset(runClusterSync(
        params, &files, progress,
        [&](const VkPairStats& s, const VkOffsetHistogram& h, bool accepted) {
          PairOutcome o = outcomeOf(s, h, accepted, fps, secondLook, files);
          const VkPairKey key(s.idA, s.idB);
          if (hasOutcome(o))
            kept.outcomes.push_back(std::move(o));
          else if (keyed && mayGainOutcome(former, &files, key, h, secondLook))
            kept.near.push_back(key);
          else if (keyed && candidateLimit != 0)
            kept.chosen.push_back(key);
        },
        true, threads, candidateLimit, nullptr, tune));
    std::sort(popular.counts.begin(), popular.counts.end());
    std::sort(popular.screenOut.begin(), popular.screenOut.end());
    note = "the feature store's pair results could not be used (" + why + "): every pair was " +
           (candidateLimit != 0 ? "screened" : "matched");
  } else {
    next.popularAbove = old.popularAbove;
  }
  if (keyed)
    note += "; " + std::to_string(kept.outcomes.size()) + " pairs kept with an outcome, " +
            std::to_string(kept.near.size()) + " without one but near its bars" +
            (candidateLimit != 0 ? ", " + std::to_string(kept.chosen.size()) + " other candidates"
                                 : "");
  for (const PairOutcome& o : kept.outcomes) take(o);

  std::string error;
  const int64_t read = had ? old.generation : 0;
  if (!keyed) {
    store.writePairs(nullptr, read, error);
  } else {
    next.params = paramsKey(former, secondLook);
    next.limit = params.getMaxLandmarks();
    next.popular = encodePopular(popular);
    std::map<int32_t, int64_t> keyOf;
    for (std::size_t i = 0; i < run.ids.size(); ++i) {
      keyOf[run.ids[i]] = run.keys[i];
      next.members.emplace_back(run.keys[i], static_cast<int64_t>(i));
    }
    for (const PairOutcome& o : kept.outcomes)
      encodePair(next.pairs, keyOf[o.stats.idA], keyOf[o.stats.idB], o);
    for (const VkPairKey& k : kept.near)
      encodeMark(next.pairs, keyOf[k.first], keyOf[k.second], kNearFlag);
    for (const VkPairKey& k : kept.chosen)
      encodeMark(next.pairs, keyOf[k.first], keyOf[k.second], kChosenFlag);
    if (!store.writePairs(&next, read, error))
      note += "; its pair results were not renewed (" + error + ")";
  }
  return clusters.release();
}

}  // namespace Velk
