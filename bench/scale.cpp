// Speed and memory at scale: a generated multi-device set (8 kHz mono WAV)
// through parallel extraction and clustering. Clustering runs twice per size:
// with the plain reference matching (ordered maps, one landmark pointer per
// vote) and with the library's VkClusterSync::run; both must agree.
//
//   scale_bench [--preset small|medium|long] [--recordings N] [--minutes L]
//               [--events E] [--threads LIST] [--reference-limit-gb G]
//               [--seed S] [--snr DB] [--dir DIR] [--repeat N]
//
// --threads takes a comma list (e.g. 1,2): extraction runs once per count and
// the last set is clustered. --dir keeps the generated files and reuses them
// when they were made with the same settings. --repeat runs the library's
// clustering N times (the machine is shared; the fastest run is summarised).
// Per stage: wall and CPU seconds and peak resident memory (VmHWM, reset before
// each stage through /proc/self/clear_refs).
//
//   scale_bench --archive 10,100,1000 [--minutes L] [--threads T] [--seed S]
//               [--stages-up-to N] [--corpus-limit] [--digest] [--store [--add K]]
//
// Archive mode: for each size, an archive of that many recordings (events of
// 2-10 devices, about 90% unrelated recordings) synthesised through an audio
// source, without files, and extracted as it is made. Prints per stage wall and
// CPU time, peak RSS and MB per hour of audio, pairs examined and F1.
// Last, clustering as the engine does it (the tables' hashes freed once the
// index is built). --stages-up-to also runs the stages one by one (matching keeps every
// histogram, as a host that asks for them gets) up to that many recordings;
// --corpus-limit clusters again with the popular-hash limit set from the
// archive's hours; --digest prints a digest of every landmark, to compare
// builds; --dry synthesises without reverberation; --engine-only clusters only
// as the engine does (with --corpus-limit, at the archive's limit), for sizes
// where clustering twice would not fit the time. Built with SCALE_BENCH_BASELINE, it uses only what
// older libraries have, so one source measures before and after.
//
// --store: each archive goes into a feature store instead (its audio never
// touches the disk: a small stand-in file per recording carries the stamp the
// store keys on), then the engine re-runs on the folder reading the store,
// and again after K (default 10) new recordings were written to it as WAV.
// Refinement is off in those runs: the stand-ins hold no audio to correlate.
// --dry synthesises without reverberation, several times faster, for large stores.
// --match-threads N: the engine's matching on N threads (default: --threads).
// --linear-limit: --corpus-limit as before, growing with the hours (baseline).
// --hash-counts: the landmarks kept and votes made under limits of 250 to
// 25,000, with hash counts as this archive and 10x and 62x larger ones have them.
// --cache DIR keeps each archive's landmarks and truth in DIR and reads them
// back next time instead of synthesising (its row then times the reading).
// --limit L: the store runs use that popular-hash limit, not one that grows with
// the hours (a limit that moves makes hashes cross it, and their pairs are
// matched again). With --store, --cache reads the archive's landmarks from the
// cache into the store instead of synthesising; --no-removal skips the re-run
// after removals (and its full run).
#include <malloc.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "reference_matching.h"
#include "simulate.h"
#include "test_support.h"
#include "velk/cluster_stages.h"
#include "velk/velk.h"
#ifndef SCALE_BENCH_BASELINE
#include "cluster/cluster_sync_internal.h"
#include "engine/feature_store.h"
#include "engine/second_look.h"
#include "velk/sync.h"
#endif

namespace {

namespace fs = std::filesystem;

// ---- measuring -------------------------------------------------------------

long statusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
  }
  return -1;
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);  // all threads of the process
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

bool gPeakResets = true;  // false when VmHWM cannot be reset: peaks are then since start

struct Usage {
  double wall = 0, cpu = 0;
  double startMb = 0, peakMb = 0;
};

class Meter {
 public:
  Meter() {
    // Freed heap goes back to the system first, so a stage does not inherit the
    // previous stage's garbage as its starting size.
    malloc_trim(0);
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";
    reset.flush();
    if (!reset) gPeakResets = false;
    startKb_ = statusKb("VmRSS");
    cpu0_ = cpuSeconds();
    t0_ = std::chrono::steady_clock::now();
  }
  Usage stop() const {
    Usage u;
    u.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
    u.cpu = cpuSeconds() - cpu0_;
    u.startMb = static_cast<double>(startKb_) / 1024.0;
    u.peakMb = static_cast<double>(statusKb("VmHWM")) / 1024.0;
    return u;
  }

 private:
  long startKb_;
  double cpu0_;
  std::chrono::steady_clock::time_point t0_;
};

// ---- options ---------------------------------------------------------------

struct Options {
  std::string preset = "small";
  int recordings = 20;
  double minutes = 10;
  int events = 5;
  std::vector<unsigned> threads{2};
  int repeat = 1;  // library clustering runs; the fastest counts
  double referenceLimitGb = 10;
  uint32_t seed = 11;
  double snrDb = 10;
  std::string dir;
  std::vector<int> archive;  // archive mode: sizes in recordings
  int stagesUpTo = 1000;
  bool corpusLimit = false;
  bool digest = false;
  bool store = false;
  bool dry = false;              // no reverberation: synthesis several times cheaper
  bool engineOnly = false;       // archive mode: only the engine's clustering (large sizes)
  int add = 10;                  // recordings added to the store's folder before the last re-run
  uint32_t limit = 0;            // store runs: a fixed popular-hash limit instead of the corpus one
  std::string cacheDir;          // archive mode: landmarks and truth kept here, reused when present
  unsigned matchThreads = 0;     // archive mode: threads of the engine's matching (0: --threads)
  bool linearLimit = false;      // --corpus-limit as it grew before: with the hours, not their root
  bool hashCounts = false;       // archive mode: votes and kept landmarks by limit, scaled up
  int candidates = -1;           // engine rows: candidate stage off (0), on (1), as the engine (-1)
  uint32_t candidateLimit = 0;   // --candidate-limit: this limit, stage on
  bool checkCandidates = false;  // engine rows: every pair voted first, to compare
  bool noRemoval = false;        // store runs: no removal and its comparison
};

// The corpus limit as it was before it grew with the root of the hours: 250
// per 10 hours, on the same steps. The baseline of the archive rows.
uint32_t linearCorpusLimit(double hours) {
  const double limit = std::ceil(250.0 * hours / 10.0);
  uint64_t step = 250;
  while (static_cast<double>(step) < limit) step += step / 4;
  return static_cast<uint32_t>(std::min<uint64_t>(step, 4294967295u));
}

bool applyPreset(Options& o, const std::string& name) {
  if (name == "small") {
    o.recordings = 20, o.minutes = 10, o.events = 5;
  } else if (name == "medium") {
    o.recordings = 100, o.minutes = 10, o.events = 10;
  } else if (name == "long") {
    o.recordings = 8, o.minutes = 240, o.events = 2;
  } else {
    return false;
  }
  o.preset = name;
  return true;
}

// A comma list of counts from 1 to most.
std::vector<unsigned> parseThreads(const std::string& text, long most = 64) {
  std::vector<unsigned> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const long v = std::atol(item.c_str());
    if (v < 1 || v > most) {
      throw std::invalid_argument("a list wants counts from 1 to " + std::to_string(most));
    }
    out.push_back(static_cast<unsigned>(v));
  }
  if (out.empty()) throw std::invalid_argument("a list wants at least one count");
  return out;
}

bool explicitMinutes(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--minutes") return true;
  return false;
}

void usage() {
  std::cerr
      << "usage: scale_bench [--preset small|medium|long] [--recordings N] [--minutes L]\n"
         "                   [--events E] [--threads LIST] [--reference-limit-gb G]\n"
         "                   [--seed S] [--snr DB] [--dir DIR] [--repeat N]\n"
         "       scale_bench --archive SIZES [--minutes L] [--threads T] [--seed S]\n"
         "                   [--stages-up-to N] [--corpus-limit] [--digest] [--dry]\n"
         "                   [--engine-only] [--cache DIR] [--match-threads N] [--linear-limit]\n"
         "                   [--hash-counts] [--candidates on|off] [--check-candidates]\n"
         "                   [--candidate-limit L]\n"
         "                   [--store [--add K] [--dry] [--limit L] [--no-removal]]\n";
}

bool parse(int argc, char** argv, Options& o) {
  // The preset first, so explicit sizes override it whatever the order.
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--preset" && !applyPreset(o, argv[i + 1])) return false;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--corpus-limit" || a == "--digest" || a == "--store" || a == "--dry" ||
        a == "--engine-only" || a == "--linear-limit" || a == "--hash-counts" ||
        a == "--check-candidates" || a == "--no-removal") {
      (a == "--digest"             ? o.digest
       : a == "--store"            ? o.store
       : a == "--dry"              ? o.dry
       : a == "--engine-only"      ? o.engineOnly
       : a == "--linear-limit"     ? o.linearLimit
       : a == "--hash-counts"      ? o.hashCounts
       : a == "--check-candidates" ? o.checkCandidates
       : a == "--no-removal"       ? o.noRemoval
                                   : o.corpusLimit) = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (a == "--preset") continue;
    if (a == "--recordings") {
      o.recordings = std::atoi(v.c_str());
      o.preset = "custom";
    } else if (a == "--minutes") {
      o.minutes = std::atof(v.c_str());
      o.preset = "custom";
    } else if (a == "--events") {
      o.events = std::atoi(v.c_str());
      o.preset = "custom";
    } else if (a == "--threads") {
      o.threads = parseThreads(v);
    } else if (a == "--reference-limit-gb") {
      o.referenceLimitGb = std::atof(v.c_str());
    } else if (a == "--repeat") {
      o.repeat = std::max(1, std::atoi(v.c_str()));
    } else if (a == "--seed") {
      o.seed = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
    } else if (a == "--snr") {
      o.snrDb = std::atof(v.c_str());
    } else if (a == "--dir") {
      o.dir = v;
    } else if (a == "--archive") {
      for (unsigned n : parseThreads(v, 1000000)) o.archive.push_back(static_cast<int>(n));
      if (!explicitMinutes(argc, argv)) o.minutes = 10;
    } else if (a == "--stages-up-to") {
      o.stagesUpTo = std::atoi(v.c_str());
    } else if (a == "--add") {
      o.add = std::max(1, std::atoi(v.c_str()));
    } else if (a == "--match-threads") {
      o.matchThreads = parseThreads(v).back();
    } else if (a == "--cache") {
      o.cacheDir = v;
    } else if (a == "--candidate-limit") {
      o.candidateLimit = static_cast<uint32_t>(std::max(1L, std::atol(v.c_str())));
      o.candidates = 1;
    } else if (a == "--candidates") {
      if (v != "on" && v != "off") return false;
      o.candidates = v == "on" ? 1 : 0;
    } else if (a == "--limit") {
      o.limit = static_cast<uint32_t>(std::max(1L, std::atol(v.c_str())));
    } else {
      return false;
    }
  }
  return o.recordings >= 1 && o.minutes > 0 && o.events >= 1 && o.referenceLimitGb >= 0;
}

// ---- the set ---------------------------------------------------------------

velksim::SetSettings specFor(const Options& o) {
  // E events share the recordings evenly; what is left over matches nothing.
  velksim::SetSettings cfg;
  cfg.events = std::min(o.events, o.recordings);
  cfg.minDevices = cfg.maxDevices = o.recordings / cfg.events;
  cfg.unrelated = o.recordings - cfg.events * cfg.minDevices;
  cfg.minSeconds = cfg.maxSeconds = 60.0 * o.minutes;
  cfg.snrDb = o.snrDb;
  cfg.seed = o.seed;
  cfg.sampleRate = 8000;
  return cfg;
}

std::string stampOf(const velksim::SetSettings& c) {
  std::ostringstream s;
  s << "events " << c.events << " devices " << c.minDevices << " unrelated " << c.unrelated
    << " seconds " << c.minSeconds << " snr " << c.snrDb << " seed " << c.seed << " rate "
    << c.sampleRate;
  return s.str();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Recording names of the truth file written by writeTruthXml, in file order.
std::vector<std::string> namesInTruth(const std::string& xml) {
  std::vector<std::string> names;
  const std::string key = "name=\"";
  for (std::size_t p = xml.find(key); p != std::string::npos; p = xml.find(key, p)) {
    p += key.size();
    names.push_back(xml.substr(p, xml.find('"', p) - p));
  }
  return names;
}

struct GeneratedSet {
  std::string dir;
  bool temporary = false;
  bool reused = false;
  velksim::Truth truth;  // empty when reused
  std::vector<std::string> names;
};

GeneratedSet prepareSet(const Options& o) {
  GeneratedSet g;
  const velksim::SetSettings cfg = specFor(o);
  if (o.dir.empty()) {
    std::string pattern = (fs::temp_directory_path() / "velk-scale-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    g.dir = pattern;
    g.temporary = true;
  } else {
    g.dir = o.dir;
    if (readFile(g.dir + "/scale-set.txt") == stampOf(cfg) + "\n" &&
        fs::exists(g.dir + "/truth.xml")) {
      g.reused = true;
      g.names = namesInTruth(readFile(g.dir + "/truth.xml"));
      return g;
    }
  }
  g.truth = velksim::generateSet(cfg, g.dir);
  velksim::writeTruthXml(g.truth, g.dir + "/truth.xml");
  std::ofstream(g.dir + "/scale-set.txt") << stampOf(cfg) << "\n";
  for (const auto& c : g.truth.clusters)
    for (const auto& r : c.recordings) g.names.push_back(r.name);
  return g;
}

// ---- extraction: files in parallel, one extractor per thread ----------------

Velk::VkFileSet* extractAll(const std::vector<std::string>& names, const std::string& dir,
                            const Velk::VkExtractParams& params, unsigned threads) {
  const std::size_t n = names.size();
  std::vector<std::unique_ptr<Velk::VkFile>> files(n);
  std::atomic<std::size_t> next{0};
  auto worker = [&]() {
    Velk::VkLandmarkExtract extractor(params);
    for (std::size_t i = next++; i < n; i = next++) {
      files[i].reset(extractor.run(dir + "/" + names[i] + ".wav", static_cast<int32_t>(i + 1)));
    }
  };
  std::vector<std::thread> pool;
  const auto count = static_cast<unsigned>(std::min<std::size_t>(threads, n));
  for (unsigned t = 1; t < count; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();

  auto set = std::make_unique<Velk::VkFileSet>();
  for (std::size_t i = 0; i < n; ++i) {
    if (!files[i]) throw std::runtime_error("extraction failed for " + names[i]);
    const int32_t id = files[i]->getId();
    set->nameToId[names[i]] = id;
    set->idToName[id] = names[i];
    set->idToPath[id] = dir + "/" + names[i] + ".wav";
    set->addFile(files[i].release());
  }
  return set.release();
}

// ---- results ---------------------------------------------------------------

using Canonical = std::vector<std::vector<std::pair<std::string, float>>>;

Canonical canonical(const Velk::VkClusterSet* clusters) {
  Canonical out;
  for (const Velk::VkCluster* c : *clusters) {
    out.emplace_back();
    for (const Velk::VkClusterElem* e : *c) out.back().emplace_back(e->name, e->offset);
  }
  std::sort(out.begin(), out.end());
  return out;
}

void nameElements(Velk::VkClusterSet* clusters, Velk::VkFileSet* set) {
  for (Velk::VkCluster* c : *clusters)
    for (Velk::VkClusterElem* e : *c) e->name = set->idToName[e->fileId];
}

// FNV-1a over the results, so that runs of different builds can be compared
// without keeping their results.
class Digest {
 public:
  template <typename T>
  void add(const T& v) {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &v, sizeof(T));
    for (unsigned char b : bytes) h_ = (h_ ^ b) * 1099511628211ull;
  }
  void add(const std::string& text) {
    for (char c : text) add(c);
    add(text.size());
  }
  std::string hex() const {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h_));
    return buf;
  }

 private:
  uint64_t h_ = 1469598103934665603ull;
};

void addBin(Digest& d, int32_t offset, uint64_t count, int32_t minTime, int32_t maxTime) {
  d.add(offset);
  d.add(count);
  d.add(minTime);
  d.add(maxTime);
}

std::string statsDigest(const Velk::VkPairStatsTable& table) {
  Digest d;
  for (const auto& kv : table) {
    const Velk::VkPairStats& s = *kv.second;
    d.add(s.idA);
    d.add(s.idB);
    for (float v :
         {s.peakCount, s.overlapLength, s.matchFractionA, s.matchFractionB, s.overlapLandmarksA,
          s.overlapLandmarksB, s.templateLength, s.histogramMean, s.histogramStdDev, s.peakOffset})
      d.add(v);
    d.add(s.accepted);
  }
  return d.hex();
}

std::string clustersDigest(const Canonical& clusters) {
  Digest d;
  for (const auto& c : clusters) {
    d.add(c.size());
    for (const auto& e : c) {
      d.add(e.first);
      d.add(e.second);
    }
  }
  return d.hex();
}

struct ClusterCounts {
  uint64_t pairs = 0, bins = 0, votes = 0;
};

struct Row {
  std::string stage;
  Usage u;
  std::string counts;
};

std::vector<Row> gRows;

void report(const std::string& stage, const Usage& u, const std::string& counts) {
  std::printf("  %-34s wall %8.2f s  cpu %8.2f s  rss %7.0f -> peak %7.0f MB  %s\n", stage.c_str(),
              u.wall, u.cpu, u.startMb, u.peakMb, counts.c_str());
  std::fflush(stdout);
  gRows.push_back({stage, u, counts});
}

std::string millions(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f M", static_cast<double>(v) / 1e6);
  return buf;
}

// Peak bytes of the reference matching: the index (a map node per hash, a
// pointer per landmark), then per offset bin a map node and a list, plus a
// pointer per vote with growth slack. Errs high: the presets used 0.6-0.8 of it.
double referenceBytes(uint64_t landmarks, const ClusterCounts& c) {
  return 96.0 * static_cast<double>(landmarks) + 112.0 * static_cast<double>(c.bins) +
         12.0 * static_cast<double>(c.votes);
}

int run(const Options& o) {
  std::printf("scale_bench: %s: %d recordings x %g min, %d events, 8000 Hz mono\n",
              o.preset.c_str(), o.recordings, o.minutes, o.events);
  std::printf("load average at start: %s (2-core machine, shared)\n", loadAverage().c_str());

  // Generation: excluded from the stage figures.
  Meter genMeter;
  GeneratedSet set = prepareSet(o);
  const Usage gen = genMeter.stop();
  std::printf("generation: %s in %.1f s wall (peak %.0f MB), folder %s\n",
              set.reused ? "reused" : "generated", gen.wall, gen.peakMb, set.dir.c_str());
  std::sort(set.names.begin(), set.names.end());  // ids by name, like the tool

  Velk::VkExtractParams ep;
  const Velk::VkClusterSyncParams cp(ep);

  // Extraction, once per thread count; the last set is clustered.
  std::unique_ptr<Velk::VkFileSet> files;
  uint64_t landmarks = 0;
  double processPeakMb = 0;
  for (unsigned threads : o.threads) {
    files.reset();
    Meter m;
    files.reset(extractAll(set.names, set.dir, ep, threads));
    const Usage u = m.stop();
    landmarks = 0;
    for (const auto& kv : files->getFiles()) landmarks += kv.second->getLandmarkCount();
    report("extraction (" + std::to_string(threads) + " thread" + (threads > 1 ? "s)" : ")"), u,
           "landmarks " + millions(landmarks));
    processPeakMb = std::max(processPeakMb, u.peakMb);
  }

  // After: the library's driver, as a host calls it.
  Velk::VkClusterSet* result = nullptr;
  double clusterWall = 0;
  for (int r = 0; r < o.repeat; ++r) {
    Meter m;
    Velk::VkClusterSet* again = Velk::VkClusterSync(cp).run(files.get());
    const Usage u = m.stop();
    report("clustering: VkClusterSync::run", u, std::to_string(again->size()) + " clusters");
    processPeakMb = std::max(processPeakMb, u.peakMb);
    if (result == nullptr || u.wall < clusterWall) clusterWall = u.wall;
    if (result != nullptr) {
      const bool same = canonical(again) == canonical(result);
      Velk::deleteClusters(again);
      if (!same) {
        std::printf("MISMATCH: two runs on the same set differ\n");
        return 1;
      }
    } else {
      result = again;
    }
  }
  const Canonical libClusters = canonical(result);

  // The library's stages one by one, for the breakdown and the counts.
  ClusterCounts counts;
  std::string libHistDigest;
  std::unique_ptr<Velk::VkPairStatsTable, void (*)(Velk::VkPairStatsTable*)> libStats(
      nullptr, Velk::deletePairStats);
  {
    Velk::VkLandmarkIndex index(cp.getMaxLandmarks());
    Meter m;
    std::unique_ptr<Velk::VkPairHistograms, void (*)(Velk::VkPairHistograms*)> hist(
        Velk::matchPairs(index, files.get(), nullptr), Velk::deletePairHistograms);
    const Usage um = m.stop();
    counts.pairs = hist->size();
    Digest d;
    for (const auto& kv : *hist) {
      counts.bins += kv.second->size();
      d.add(kv.first);
      for (const Velk::VkOffsetBin& b : *kv.second) {
        counts.votes += b.count;
        addBin(d, b.offset, b.count, b.minTimeA, b.maxTimeA);
      }
    }
    libHistDigest = d.hex();
    report("  library matching", um,
           "index entries " + millions(landmarks) + ", votes " + millions(counts.votes) +
               ", pairs " + std::to_string(counts.pairs) + ", bins " + millions(counts.bins));
    Meter mv;
    libStats.reset(Velk::verifyPairs(files.get(), hist.get()));
    report("  library verification", mv.stop(), "");
    hist.reset();
    Meter mf;
    Velk::VkClusterSet* formed =
        Velk::VkClusterFormer(cp).formClusters(files.get(), libStats.get());
    report("  library formation", mf.stop(), "");
    // After formation: it sets the accepted flags.
    std::printf("  result digest (library):   histograms %s, statistics %s, clusters %s\n",
                libHistDigest.c_str(), statsDigest(*libStats).c_str(),
                clustersDigest(libClusters).c_str());
    nameElements(formed, files.get());
    const bool same = canonical(formed) == libClusters;
    Velk::deleteClusters(formed);
    if (!same) {
      std::printf("MISMATCH: the stages one by one differ from VkClusterSync::run\n");
      return 1;
    }
  }

  // Before: the plain reference representation, when it fits the limit.
  int status = 0;
  const double needGb = referenceBytes(landmarks, counts) / 1e9;
  if (needGb > o.referenceLimitGb) {
    std::printf("  %-34s skipped: would need ~%.1f GB (limit %.1f GB)\n", "clustering: reference",
                needGb, o.referenceLimitGb);
  } else {
    Meter m;
    velkref::Index index;
    index.maxLandmarks = cp.getMaxLandmarks();
    velkref::Histograms* hist = velkref::matchPairs(index, files.get(), nullptr);
    const double matchWall = m.stop().wall;
    ClusterCounts refCounts;
    refCounts.pairs = hist->size();
    Digest d;
    for (const auto& kv : *hist) {
      refCounts.bins += kv.second->size();
      d.add(kv.first);
      for (const auto& bin : *kv.second) {
        refCounts.votes += bin.second.size();
        int32_t lo = bin.second.front()->time, hi = lo;
        for (const Velk::Landmark* l : bin.second) {
          lo = std::min(lo, l->time);
          hi = std::max(hi, l->time);
        }
        addBin(d, bin.first, bin.second.size(), lo, hi);
      }
    }
    const std::string refHistDigest = d.hex();
    std::unique_ptr<Velk::VkPairStatsTable, void (*)(Velk::VkPairStatsTable*)> refStats(
        velkref::verifyPairs(files.get(), hist), Velk::deletePairStats);
    velkref::deleteHistograms(hist);
    Velk::VkClusterSet* formed =
        Velk::VkClusterFormer(cp).formClusters(files.get(), refStats.get());
    nameElements(formed, files.get());
    const Usage u = m.stop();
    char extra[160];
    std::snprintf(extra, sizeof extra, "matching %.2f s, votes %s, pairs %llu (estimated %.1f GB)",
                  matchWall, millions(refCounts.votes).c_str(),
                  static_cast<unsigned long long>(refCounts.pairs), needGb);
    report("clustering: reference", u, extra);

    // Identical results: counts, every statistic of every pair, clusters and offsets.
    std::size_t statDiffs = 0;
    if (refStats->size() != libStats->size()) ++statDiffs;
    for (const auto& kv : *refStats) {
      const auto it = libStats->find(kv.first);
      if (it == libStats->end() || !velkref::diffStats(*kv.second, *it->second).empty()) {
        if (++statDiffs <= 3 && it != libStats->end()) {
          std::printf("    pair (%d, %d): %s\n", kv.first.first, kv.first.second,
                      velkref::diffStats(*kv.second, *it->second).c_str());
        }
      }
    }
    const bool sameCounts = refCounts.pairs == counts.pairs && refCounts.bins == counts.bins &&
                            refCounts.votes == counts.votes && refHistDigest == libHistDigest;
    const Canonical refClusters = canonical(formed);
    const bool sameClusters = refClusters == libClusters;
    std::printf("  result digest (reference): histograms %s, statistics %s, clusters %s\n",
                refHistDigest.c_str(), statsDigest(*refStats).c_str(),
                clustersDigest(refClusters).c_str());
    Velk::deleteClusters(formed);
    std::printf(
        "  identical results (reference vs library): counts and histograms %s, pair statistics %s, "
        "clusters and offsets %s\n",
        sameCounts ? "yes" : "NO", statDiffs == 0 ? "yes" : "NO", sameClusters ? "yes" : "NO");
    if (!sameCounts || statDiffs != 0 || !sameClusters) status = 1;
  }

  // Sanity of the result against the truth of the generated set.
  if (!set.reused) {
    std::vector<velksim::FoundCluster> found;
    for (const Velk::VkCluster* c : *result) {
      found.emplace_back();
      for (const Velk::VkClusterElem* e : *c) found.back().emplace_back(e->name, e->offset);
    }
    const velksim::Score s = velksim::scoreClusters(set.truth, found);
    std::printf("  against the truth: precision %.3f, recall %.3f, median offset error %.1f ms\n",
                s.precision, s.recall, 1000 * s.medianError);
  }
  Velk::deleteClusters(result);

  const double extractWall = gRows[o.threads.size() - 1].u.wall;
  std::printf(
      "summary: extraction (%u thread%s) %.2f s + clustering %.2f s = %.2f s wall; "
      "process peak %.0f MB%s\n",
      o.threads.back(), o.threads.back() > 1 ? "s" : "", extractWall, clusterWall,
      extractWall + clusterWall, processPeakMb,
      gPeakResets ? "" : " (peaks are since start: VmHWM could not be reset)");
  std::printf("load average at end: %s\n", loadAverage().c_str());
  if (set.temporary) fs::remove_all(set.dir);
  return status;
}

// ---- archive mode: synthesised on the fly, no files --------------------------

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// About 10% of the recordings in events of 2-10 devices (6 on average), the rest
// unrelated; at least one event.
velksim::SetSettings archiveSettings(int recordings, double minutes, uint32_t seed, double snrDb) {
  velksim::SetSettings cfg;
  cfg.events = std::max(1, static_cast<int>(std::lround(0.1 * recordings / 6.0)));
  cfg.minDevices = 2;
  cfg.maxDevices = std::max(2, std::min(10, recordings / 5));
  const int related = cfg.events * (cfg.minDevices + cfg.maxDevices) / 2;
  cfg.unrelated = std::max(0, recordings - related);
  cfg.minSeconds = cfg.maxSeconds = 60.0 * minutes;
  cfg.snrDb = snrDb;
  cfg.seed = seed;
  cfg.sampleRate = 8000;
  return cfg;
}

// The recording number in a generated name (rec0042 -> 42): names are numbered
// from 1 with zero padding, so their sorted order is their numeric order and
// the number is the id the tool would give.
int32_t idOfName(const std::string& name) {
  std::size_t p = name.size();
  while (p > 0 && std::isdigit(static_cast<unsigned char>(name[p - 1]))) --p;
  return static_cast<int32_t>(std::atol(name.c_str() + p));
}

std::string landmarkDigest(const Velk::VkFileSet& set) {
  Digest d;
  for (const auto& kv : set.getFiles()) {
    d.add(kv.first);
#ifdef SCALE_BENCH_BASELINE
    for (const auto& frame : kv.second->getLandmarks())
      for (const Velk::Landmark* l : frame.second) {
        d.add(l->time);
        d.add(l->hash);
      }
#else
    kv.second->forEachLandmark([&d](int32_t t, uint32_t h, int32_t) {
      d.add(t);
      d.add(h);
    });
#endif
  }
  return d.hex();
}

double f1Of(const velksim::Truth& truth, const Velk::VkClusterSet* result) {
  std::vector<velksim::FoundCluster> found;
  for (const Velk::VkCluster* c : *result) {
    found.emplace_back();
    for (const Velk::VkClusterElem* e : *c) found.back().emplace_back(e->name, e->offset);
  }
  return velksim::scoreClusters(truth, found).f1;
}

void archiveRow(const char* stage, const Usage& u, double hours, const std::string& extra) {
  std::printf("  %-28s wall %8.2f s  cpu %8.2f s  peak %7.0f MB  %6.1f MB/h  %s\n", stage, u.wall,
              u.cpu, u.peakMb, u.peakMb / hours, extra.c_str());
  std::fflush(stdout);
}

// --cache: an archive's landmarks and truth in one binary file, so that a
// size measured again (another rule, another build) skips its synthesis.
template <typename T>
void put(std::ostream& out, const T& v) {
  out.write(reinterpret_cast<const char*>(&v), sizeof v);
}
template <typename T>
T get(std::istream& in) {
  T v{};
  in.read(reinterpret_cast<char*>(&v), sizeof v);
  return v;
}
void putText(std::ostream& out, const std::string& s) {
  put(out, static_cast<uint32_t>(s.size()));
  out.write(s.data(), static_cast<std::streamsize>(s.size()));
}
std::string getText(std::istream& in) {
  std::string s(get<uint32_t>(in), '\0');
  in.read(&s[0], static_cast<std::streamsize>(s.size()));
  return s;
}

constexpr uint32_t kCacheMagic = 0x564b4331;  // "VKC1"

std::string cachePath(const Options& o, const velksim::SetSettings& cfg, int recordings) {
  if (o.cacheDir.empty()) return "";
  std::ostringstream name;
  name << o.cacheDir << "/archive-" << recordings << "x" << o.minutes << "-seed" << cfg.seed
       << "-snr" << cfg.snrDb << (cfg.reverb ? "" : "-dry") << ".lm";
  return name.str();
}

void saveArchive(const std::string& path,
                 const std::map<int32_t, std::unique_ptr<Velk::VkFile>>& files,
                 const std::map<int32_t, std::string>& names, const velksim::Truth& truth,
                 uint64_t samples) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path + ".tmp", std::ios::binary);
  put(out, kCacheMagic);
  put(out, samples);
  put(out, truth.sampleRate);
  put(out, static_cast<uint32_t>(truth.clusters.size()));
  for (const velksim::TruthCluster& c : truth.clusters) {
    put(out, static_cast<uint32_t>(c.recordings.size()));
    for (const velksim::TruthRecording& r : c.recordings) {
      putText(out, r.name);
      put(out, r.offset);
    }
  }
  put(out, static_cast<uint32_t>(files.size()));
  for (const auto& kv : files) {
    put(out, kv.first);
    putText(out, names.at(kv.first));
    put(out, static_cast<uint64_t>(kv.second->getLandmarkCount()));
    kv.second->forEachLandmark([&out](int32_t t, uint32_t h, int32_t) {
      put(out, t);
      put(out, h);
    });
  }
  out.close();
  if (out) fs::rename(path + ".tmp", path);
}

bool loadArchive(const std::string& path, std::map<int32_t, std::unique_ptr<Velk::VkFile>>& files,
                 std::map<int32_t, std::string>& names, velksim::Truth& truth, uint64_t& samples) {
  std::ifstream in(path, std::ios::binary);
  if (!in || get<uint32_t>(in) != kCacheMagic) return false;
  samples = get<uint64_t>(in);
  truth.sampleRate = get<uint32_t>(in);
  truth.clusters.resize(get<uint32_t>(in));
  for (velksim::TruthCluster& c : truth.clusters) {
    c.recordings.resize(get<uint32_t>(in));
    for (velksim::TruthRecording& r : c.recordings) {
      r.name = getText(in);
      r.offset = get<double>(in);
    }
  }
  const auto n = get<uint32_t>(in);
  for (uint32_t i = 0; i < n && in; ++i) {
    const auto id = get<int32_t>(in);
    names[id] = getText(in);
    auto file = std::make_unique<Velk::VkFile>(id);
    const auto count = get<uint64_t>(in);
    file->reserve(count);
    for (uint64_t k = 0; k < count; ++k) {
      const auto t = get<int32_t>(in);
      file->addLandmark(t, get<uint32_t>(in));
    }
    file->computeCLF();
    files[id] = std::move(file);
  }
  return static_cast<bool>(in);
}

int runArchiveSize(const Options& o, int recordings) {
  velksim::SetSettings cfg = archiveSettings(recordings, o.minutes, o.seed, o.snrDb);
  cfg.reverb = !o.dry;
  const unsigned threads = o.threads.back();
  Velk::VkExtractParams ep;
  const std::string cache = cachePath(o, cfg, recordings);

  // Generation and extraction together: each recording is extracted as soon as
  // it is synthesised, then dropped. Thread CPU clocks split the two.
  std::map<int32_t, std::unique_ptr<Velk::VkFile>> files;
  std::map<int32_t, std::string> names;
  std::mutex lock;
  std::atomic<uint64_t> extractNs{0}, samples{0};
  const double rss0 = static_cast<double>(statusKb("VmRSS")) / 1024.0;
  Meter m;
  velksim::Truth truth;
  uint64_t cachedSamples = 0;
  const bool fromCache = !cache.empty() && loadArchive(cache, files, names, truth, cachedSamples);
  samples = cachedSamples;
  if (!fromCache) {
    files.clear(), names.clear();
    truth = velksim::generateRecordings(
        cfg,
        [&](const std::string& name, std::vector<std::vector<float>>& channels) {
          const double c0 = threadCpuSeconds();
          samples += channels[0].size();
          velktest::VectorInput input(std::move(channels[0]));
          const int32_t id = idOfName(name);
          thread_local std::unique_ptr<Velk::VkLandmarkExtract> extractor;
          if (!extractor) extractor.reset(new Velk::VkLandmarkExtract(ep));
          std::unique_ptr<Velk::VkFile> file(extractor->run(&input, id));
          file->computeCLF();  // as the engine settles each table: its times go
          extractNs += static_cast<uint64_t>(1e9 * (threadCpuSeconds() - c0));
          std::lock_guard<std::mutex> g(lock);
          files[id] = std::move(file);
          names[id] = name;
        },
        threads);
  }
  const Usage ux = m.stop();
  if (!cache.empty() && !fromCache) saveArchive(cache, files, names, truth, samples);
  auto set = std::make_unique<Velk::VkFileSet>();
  uint64_t landmarks = 0;
  for (auto& kv : files) {
    landmarks += kv.second->getLandmarkCount();
    set->nameToId[names[kv.first]] = kv.first;
    set->idToName[kv.first] = names[kv.first];
    set->addFile(kv.second.release());
  }
  files.clear();
  const double hours = static_cast<double>(samples) / cfg.sampleRate / 3600.0;
  const double extractCpu = 1e-9 * static_cast<double>(extractNs);
  std::printf(
      "archive: %zu recordings (%d events of %d-%d devices, %d unrelated), %.1f h, "
      "%s landmarks (%.0f per second)\n",
      set->getFiles().size(), cfg.events, cfg.minDevices, cfg.maxDevices, cfg.unrelated, hours,
      millions(landmarks).c_str(), static_cast<double>(landmarks) / (hours * 3600.0));
  malloc_trim(0);
  const double storeMb = static_cast<double>(statusKb("VmRSS")) / 1024.0 - rss0;
  char extra[200];
  std::snprintf(extra, sizeof extra,
                "synthesis %.1f s cpu, extraction %.1f s cpu (%.0fx real time per core); "
                "store %.0f MB (%.1f MB/h)",
                ux.cpu - extractCpu, extractCpu, hours * 3600.0 / std::max(extractCpu, 1e-9),
                storeMb, storeMb / hours);
  if (fromCache)
    std::snprintf(extra, sizeof extra, "read from %s; store %.0f MB (%.1f MB/h)", cache.c_str(),
                  storeMb, storeMb / hours);
  archiveRow("synthesis + extraction", ux, hours, extra);

  // The driver, as a host calls it.
  Velk::VkClusterSyncParams cp(ep);
  int status = 0;
  Canonical clusters;
  if (!o.engineOnly) {
    Meter mc;
    Velk::VkClusterSet* result = Velk::VkClusterSync(cp).run(set.get());
    const Usage uc = mc.stop();
    clusters = canonical(result);
    std::snprintf(extra, sizeof extra, "%zu clusters, F1 %.4f, clusters digest %s; from %.0f MB",
                  result->size(), f1Of(truth, result), clustersDigest(clusters).c_str(),
                  uc.startMb);
    Velk::deleteClusters(result);
    archiveRow("clustering (run)", uc, hours, extra);
  }

  if (!o.engineOnly && recordings <= o.stagesUpTo) {
    // The stages one by one: every histogram is kept until verification.
    Meter ms;
    Velk::VkLandmarkIndex index(cp.getMaxLandmarks());
    Velk::VkPairHistograms* hist = Velk::matchPairs(index, set.get(), nullptr);
    uint64_t bins = 0, votes = 0;
    for (const auto& kv : *hist) {
      bins += kv.second->size();
      for (const Velk::VkOffsetBin& b : *kv.second) votes += b.count;
    }
    const uint64_t pairs = hist->size();
    Velk::VkPairStatsTable* stats = Velk::verifyPairs(set.get(), hist);
    Velk::deletePairHistograms(hist);
    Velk::VkClusterSet* formed = Velk::VkClusterFormer(cp).formClusters(set.get(), stats);
    nameElements(formed, set.get());
    uint64_t accepted = 0;
    for (const auto& kv : *stats) accepted += kv.second->accepted;
    Velk::deletePairStats(stats);
    const Usage us = ms.stop();
    const bool same = canonical(formed) == clusters;
    Velk::deleteClusters(formed);
    std::snprintf(
        extra, sizeof extra,
        "pairs examined %llu (of %llu), accepted %llu, bins %s, votes %s; same result: %s",
        static_cast<unsigned long long>(pairs),
        static_cast<unsigned long long>(set->getFiles().size() * (set->getFiles().size() - 1) / 2),
        static_cast<unsigned long long>(accepted), millions(bins).c_str(), millions(votes).c_str(),
        same ? "yes" : "NO");
    archiveRow("stages, histograms kept", us, hours, extra);
    if (!same) status = 1;
  }

#ifndef SCALE_BENCH_BASELINE
  if (o.corpusLimit && !o.engineOnly) {
    Velk::VkClusterSyncParams wide(ep);
    wide.setMaxLandmarks(Velk::maxLandmarksForCorpus(hours));
    Meter mw;
    Velk::VkClusterSet* r = Velk::VkClusterSync(wide).run(set.get());
    const Usage uw = mw.stop();
    std::snprintf(extra, sizeof extra, "limit %u: %zu clusters, F1 %.4f", wide.getMaxLandmarks(),
                  r->size(), f1Of(truth, r));
    Velk::deleteClusters(r);
    archiveRow("clustering, corpus limit", uw, hours, extra);
  }
#endif
  if (o.digest) std::printf("  landmarks digest %s\n", landmarkDigest(*set).c_str());
  if (o.hashCounts) {
    // Kept share and votes (c^2 / 2 a hash) under some limits, with every
    // hash's count scaled as an archive 10 and 62 times larger would have it.
    std::vector<uint32_t> hs;
    hs.reserve(landmarks);
    for (const auto& kv : set->getFiles())
      kv.second->forEachLandmark([&hs](int32_t, uint32_t h, int32_t) { hs.push_back(h); });
    std::sort(hs.begin(), hs.end());
    std::vector<uint64_t> counts;
    for (std::size_t i = 0; i < hs.size();) {
      std::size_t j = i;
      while (j < hs.size() && hs[j] == hs[i]) ++j;
      counts.push_back(j - i);
      i = j;
    }
    std::sort(counts.begin(), counts.end());
    for (double scale : {1.0, 10.0, 62.0}) {
      for (double limit :
           {50.0, 100.0, 250.0, 500.0, 1000.0, 2500.0, 5000.0, 10000.0, 25000.0, 1e12}) {
        double kept = 0, votes = 0, all = 0;
        for (uint64_t c : counts) {
          const double x = scale * static_cast<double>(c);
          all += x;
          if (x > limit) continue;
          kept += x;
          votes += x * x / 2;
        }
        std::printf("  counts x%-4.0f limit %-8.0f kept %.3f votes %.3g\n", scale, limit,
                    kept / all, votes);
      }
    }
    std::printf("  hashes %zu, max count %llu\n", counts.size(),
                static_cast<unsigned long long>(counts.back()));
  }
#ifndef SCALE_BENCH_BASELINE
  {
    // As the engine clusters: the tables' hashes are freed once the index holds
    // them, so this comes last (the tables are no longer whole after it).
    // --engine-only: the only clustering, with the limit the engine would set
    // when --corpus-limit is given; it reports what the other rows would.
    if (o.engineOnly && o.corpusLimit)
      cp.setMaxLandmarks(o.linearLimit ? linearCorpusLimit(hours)
                                       : Velk::maxLandmarksForCorpus(hours));
    // The weakest true pair (two recordings of one event): its peak over the
    // acceptance bar (mean + 10 deviations), how near it came to being lost.
    std::map<std::string, std::size_t> eventOf;
    for (std::size_t c = 0; c < truth.clusters.size(); ++c)
      for (const velksim::TruthRecording& tr : truth.clusters[c].recordings) eventOf[tr.name] = c;
    auto eventOfId = [&](int32_t id) {
      const auto it = eventOf.find(set->idToName[id]);
      return it == eventOf.end() ? ~std::size_t{0} : it->second;
    };
    const unsigned mt = o.matchThreads != 0 ? o.matchThreads : threads;
    const uint32_t candidateLimit =
        o.candidates < 0 ? Velk::candidateLimitFor(set->getFiles().size(), cp.getMaxLandmarks())
                         : (o.candidates == 1
                                ? (o.candidateLimit != 0 ? o.candidateLimit : Velk::kCandidateLimit)
                                : 0);
    // --check-candidates: every pair voted in full first (the tables kept for
    // the run after), to count the pairs it accepts that the candidates miss.
    std::set<Velk::VkPairKey> acceptedInFull;
    std::map<Velk::VkPairKey, Velk::VkCandidatePeak> firstVote;
    // And the pairs the engine's second look would take up, with every pair
    // voted and with candidates first.
    std::vector<Velk::RejectedPair> lookFull, lookCandidates;
    if (o.checkCandidates) {
      Meter mf;
      Velk::VkClusterSet* full = Velk::runClusterSync(
          cp, set.get(), nullptr,
          [&](const Velk::VkPairStats& s, const Velk::VkOffsetHistogram& h, bool ok) {
            if (ok) acceptedInFull.insert({s.idA, s.idB});
            if (!ok) Velk::considerRejected(s, h, cp.getFramesPerSecond(), *set, lookFull);
          },
          false, mt);
      std::snprintf(extra, sizeof extra, "every pair voted: %zu clusters, F1 %.4f, accepted %zu",
                    full->size(), f1Of(truth, full), acceptedInFull.size());
      Velk::deleteClusters(full);
      archiveRow("clustering, no candidates", mf.stop(), hours, extra);
    }
    double weakest = 1e30, votes = 0;
    uint64_t pairs = 0, accepted = 0, truePairs = 0;
    Meter me;
    Velk::VkClusterSet* r = Velk::runClusterSync(
        cp, set.get(), nullptr,
        [&](const Velk::VkPairStats& s, const Velk::VkOffsetHistogram& h, bool ok) {
          ++pairs, accepted += ok ? 1 : 0;
          if (o.checkCandidates && !ok)
            Velk::considerRejected(s, h, cp.getFramesPerSecond(), *set, lookCandidates);
          votes += static_cast<double>(s.histogramMean) * s.overlapLength;  // the pair's votes
          if (eventOfId(s.idA) != eventOfId(s.idB)) return;
          ++truePairs;
          weakest = std::min(weakest, static_cast<double>(s.peakCount) /
                                          (s.histogramMean + 10.0 * s.histogramStdDev));
        },
        true, mt, candidateLimit,
        o.checkCandidates
            ? Velk::CandidateObserver([&](const Velk::VkPairKey& k,
                                          const Velk::VkCandidatePeak& c) { firstVote[k] = c; })
            : Velk::CandidateObserver());
    const Usage ue = me.stop();
    if (o.engineOnly) {
      std::snprintf(extra, sizeof extra,
                    "limit %u, %u matching threads: %zu clusters, F1 %.4f, pairs examined %llu "
                    "(of %llu), accepted %llu, votes %.3g; weakest of %llu true pairs at %.2f x "
                    "its bar; from %.0f MB",
                    cp.getMaxLandmarks(), o.matchThreads != 0 ? o.matchThreads : threads, r->size(),
                    f1Of(truth, r), static_cast<unsigned long long>(pairs),
                    static_cast<unsigned long long>(set->getFiles().size() *
                                                    (set->getFiles().size() - 1) / 2),
                    static_cast<unsigned long long>(accepted), votes,
                    static_cast<unsigned long long>(truePairs), weakest, ue.startMb);
    } else {
      const bool same = canonical(r) == clusters;
      std::snprintf(extra, sizeof extra, "same result: %s; from %.0f MB", same ? "yes" : "NO",
                    ue.startMb);
      if (!same) status = 1;
    }
    if (candidateLimit != 0) {
      const std::size_t n = std::strlen(extra);
      std::snprintf(extra + n, sizeof extra - n, "; candidate limit %u", candidateLimit);
    }
    Velk::deleteClusters(r);
    archiveRow("clustering (engine)", ue, hours, extra);
    if (o.checkCandidates && candidateLimit != 0) {
      // How far the pairs the full run accepts stand above the first vote's
      // mean, in its deviations, and how many pairs of no event come near.
      auto z = [](const Velk::VkCandidatePeak& c) {
        return (static_cast<double>(c.peak) - c.mean) / std::max(c.deviation, 1e-9f);
      };
      uint64_t lost = 0, chance[6] = {};
      const double bars[6] = {3, 4, 5, 6, 8, 10};
      double weakest = 1e30, leastFraction = 1e30;
      Velk::VkCandidatePeak weak{};
      for (const Velk::VkPairKey& k : acceptedInFull) {
        const auto it = firstVote.find(k);
        const Velk::VkCandidatePeak c =
            it == firstVote.end() ? Velk::VkCandidatePeak{} : it->second;
        if (it == firstVote.end() || !c.chosen(cp.getMinPercentMatch())) ++lost;
        if (z(c) < weakest) weakest = z(c), weak = c;
        leastFraction = std::min(leastFraction, static_cast<double>(c.fraction));
      }
      for (const auto& kv : firstVote) {
        if (eventOfId(kv.first.first) == eventOfId(kv.first.second)) continue;
        const bool byFraction =
            kv.second.fraction >= Velk::kCandidateFractionShare * cp.getMinPercentMatch() &&
            kv.second.peak >= Velk::kCandidateMinPeak;
        for (int d = 0; d < 6; ++d) chance[d] += byFraction && z(kv.second) >= bars[d];
      }
      std::printf(
          "  candidates: %zu pairs voted first; accepted in full %zu, lost %llu; weakest accepted "
          "peak %u, mean %.3f, deviation %.3f: %.1f deviations, fraction %.5f; least fraction "
          "%.5f; "
          "pairs of no event at 3, 4, 5, 6, 8, 10 deviations: %llu %llu %llu %llu %llu %llu\n",
          firstVote.size(), acceptedInFull.size(), static_cast<unsigned long long>(lost), weak.peak,
          weak.mean, weak.deviation, weakest, weak.fraction, leastFraction,
          static_cast<unsigned long long>(chance[0]), static_cast<unsigned long long>(chance[1]),
          static_cast<unsigned long long>(chance[2]), static_cast<unsigned long long>(chance[3]),
          static_cast<unsigned long long>(chance[4]), static_cast<unsigned long long>(chance[5]));
      const std::size_t limit = Velk::candidateLimit(set->getFiles().size());
      Velk::rankCandidates(lookFull, limit);
      Velk::rankCandidates(lookCandidates, limit);
      std::set<Velk::VkPairKey> kept;
      for (const Velk::RejectedPair& p : lookCandidates) kept.insert({p.idA, p.idB});
      uint64_t missed = 0, missedTrue = 0;
      for (const Velk::RejectedPair& p : lookFull) {
        if (kept.count({p.idA, p.idB}) != 0) continue;
        ++missed;
        missedTrue += eventOfId(p.idA) == eventOfId(p.idB);
      }
      std::printf(
          "  second look: %zu pairs with every pair voted, %zu with candidates first; %llu of "
          "the first not among the second, %llu of them of one event\n",
          lookFull.size(), lookCandidates.size(), static_cast<unsigned long long>(missed),
          static_cast<unsigned long long>(missedTrue));
    }
  }
#endif

  Meter mt;
  set.reset();
  archiveRow("teardown", mt.stop(), hours, "");
  return status;
}

#ifndef SCALE_BENCH_BASELINE
// ---- archive mode with a feature store ----------------------------------------

// A stand-in file per synthesised recording: its audio is never written (1,000 h
// at 8 kHz would be 58 GB); the store keeps the landmarks under the stand-in's
// stamp, as if the recording had been extracted from that file.
void writeStandIn(const std::string& path, const std::string& name) {
  std::vector<float> samples;
  for (char c : name) samples.push_back(static_cast<float>(c) / 256.0f);
  velktest::writeWav16(path, samples, 8000);
}

struct StoreRun {
  Usage u;
  double listWall = 0, readWall = 0, clusterWall = 0;
  int extracted = 0;
  std::size_t recordings = 0, clusters = 0;
  double f1 = -1;
  std::string note, pairsNote;
  std::string result;  // every member's placement, floats exactly, and the sorted designed lines
};

// The store's pair results dropped, so that the next run matches every pair.
void forgetPairs(const std::string& storePath) {
  std::string note, error;
  std::unique_ptr<Velk::FeatureStore> store =
      Velk::FeatureStore::open(storePath, Velk::VkExtractParams(), Velk::kAutoChannel, note, error);
  Velk::PairState state;
  if (!store || !store->readPairs(state) || !store->writePairs(nullptr, state.generation, error))
    throw std::runtime_error("feature store: cannot drop its pair results " + error);
}

// The engine on folder as a host runs it, with the store; the stages are timed
// by their first progress call.
StoreRun runWithStore(const std::string& folder, const std::string& storePath, unsigned threads,
                      uint32_t limit, const velksim::Truth* truth = nullptr) {
  StoreRun out;
  Meter m;
  const auto t0 = std::chrono::steady_clock::now();
  auto since = [&t0]() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  Velk::Listing listing;
  std::string error;
  if (!Velk::listFolder(folder, 8000, listing, error)) throw std::runtime_error(error);
  out.listWall = since();
  Velk::SyncSettings s;
  s.threads = threads;
  s.refine = false;
  s.storePath = storePath;
  if (limit != 0) {
    s.corpusLimit = false;
    s.clusterSync.setMaxLandmarks(limit);
  }
  Velk::Synchronizer sync(s);
  std::vector<std::string> designed;
  sync.setMessageHandler([&](const Velk::SyncMessage& msg) {
    if (msg.text.rfind("STARTING: ", 0) == 0) ++out.extracted;
    if (msg.text.rfind("the feature store's pair", 0) == 0)
      out.pairsNote = msg.text;
    else if (msg.text.rfind("feature store", 0) == 0 || msg.text.rfind("the feature store", 0) == 0)
      out.note = msg.text;
    if (msg.kind == Velk::MessageKind::Designed && msg.text.rfind("STARTING: ", 0) != 0 &&
        msg.text.rfind("FEATURE EXTRACTION COMPLETE: ", 0) != 0)
      designed.push_back(msg.text);
  });
  double clusteringFrom = -1;
  sync.setProgressHandler([&](const Velk::SyncProgress& p) {
    if (clusteringFrom < 0 && p.stage == "clustering") clusteringFrom = since();
  });
  const Velk::SyncResult result = sync.run(listing.recordings);
  out.u = m.stop();
  out.readWall = clusteringFrom - out.listWall;
  out.clusterWall = out.u.wall - clusteringFrom;
  out.recordings = result.recordings.size();
  out.clusters = result.clusters.size();
  if (truth != nullptr) {
    std::vector<velksim::FoundCluster> found;
    for (const Velk::ClusterResult& c : result.clusters) {
      found.emplace_back();
      for (const Velk::MemberResult& x : c.members)
        found.back().emplace_back(fs::path(x.path).stem().string(), x.offset);
    }
    out.f1 = velksim::scoreClusters(*truth, found).f1;
  }
  std::ostringstream text;
  text << std::hexfloat;
  for (const Velk::ClusterResult& c : result.clusters) {
    text << "cluster\n";
    for (const Velk::MemberResult& x : c.members)
      text << x.name << ' ' << x.coarse << ' ' << x.offset << ' ' << x.driftPpm << ' '
           << x.landmarks << '\n';
  }
  // Clusters come in the order of their addresses: only the lines are compared.
  std::sort(designed.begin(), designed.end());
  for (const std::string& line : designed) text << line << '\n';
  out.result = text.str();
  return out;
}

void storeRow(const char* stage, const StoreRun& r, double hours) {
  char extra[400];
  std::snprintf(extra, sizeof extra,
                "listing %.1f s, store + extraction %.1f s (%d extracted), clustering %.1f s; "
                "%zu recordings, %zu clusters, F1 %.4f; %s",
                r.listWall, r.readWall, r.extracted, r.clusterWall, r.recordings, r.clusters, r.f1,
                r.note.c_str());
  if (!r.pairsNote.empty()) std::printf("    %s\n", r.pairsNote.c_str());
  archiveRow(stage, r.u, hours, extra);
}

// A re-run on the store against a run that matches every pair, same folder.
int compareWithFull(const char* what, const StoreRun& incremental, const std::string& folder,
                    const std::string& storePath, unsigned threads, uint32_t limit, double hours,
                    const velksim::Truth& truth) {
  forgetPairs(storePath);
  const StoreRun full = runWithStore(folder, storePath, threads, limit, &truth);
  storeRow((std::string(what) + ", every pair").c_str(), full, hours);
  const bool same = full.result == incremental.result;
  std::printf("  %s: %s the run that matches every pair (%zu clusters)\n", what,
              same ? "same clusters, offsets and designed lines as" : "DIFFERENT from",
              full.clusters);
  return same ? 0 : 1;
}

int runStoreArchive(const Options& o, int recordings) {
  velksim::SetSettings cfg = archiveSettings(recordings, o.minutes, o.seed, o.snrDb);
  cfg.reverb = !o.dry;
  const unsigned threads = o.threads.back();
  Velk::VkExtractParams ep;
  std::string work = (fs::temp_directory_path() / "velk-store-XXXXXX").string();
  if (mkdtemp(work.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  const std::string folder = work + "/archive", storePath = work + "/archive.db";
  fs::create_directories(folder);

  // Synthesis, extraction and the store's writes; thread CPU clocks split them.
  std::string note, error;
  std::unique_ptr<Velk::FeatureStore> store =
      Velk::FeatureStore::open(storePath, ep, Velk::kAutoChannel, note, error);
  if (!store) throw std::runtime_error("feature store: " + error);
  std::mutex lock;
  std::atomic<uint64_t> extractNs{0}, samples{0};
  std::atomic<int> made{0};
  double writeWall = 0;
  Meter m;
  auto keep = [&](const std::string& name, const Velk::VkFile& file, double seconds) {
    Velk::Recording r;
    r.path = folder + "/" + name + ".wav";
    writeStandIn(r.path, name);
    std::lock_guard<std::mutex> g(lock);
    const auto w0 = std::chrono::steady_clock::now();
    Velk::FileStamp stamp;
    store->find(r, stamp);
    std::string why;
    if (!store->save(stamp, file, {"", "", seconds, 0}, why))
      throw std::runtime_error("feature store: " + why);
    writeWall += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  };
  velksim::Truth truth;
  const std::string cache = cachePath(o, cfg, recordings);
  std::map<int32_t, std::unique_ptr<Velk::VkFile>> cached;
  std::map<int32_t, std::string> names;
  uint64_t cachedSamples = 0;
  const bool fromCache = !cache.empty() && loadArchive(cache, cached, names, truth, cachedSamples);
  if (fromCache) {
    samples = cachedSamples;
    made = static_cast<int>(cached.size());
    // Each recording's seconds: its share of the samples by its last frame.
    double frames = 0;
    for (const auto& kv : cached) frames += kv.second->getLastFrame() + 1;
    const double total = static_cast<double>(cachedSamples) / cfg.sampleRate;
    for (auto& kv : cached) {
      keep(names[kv.first], *kv.second, total * (kv.second->getLastFrame() + 1) / frames);
      kv.second.reset();
    }
  } else {
    truth = velksim::generateRecordings(
        cfg,
        [&](const std::string& name, std::vector<std::vector<float>>& channels) {
          const double c0 = threadCpuSeconds();
          const double seconds = static_cast<double>(channels[0].size()) / cfg.sampleRate;
          samples += channels[0].size();
          ++made;
          velktest::VectorInput input(std::move(channels[0]));
          thread_local std::unique_ptr<Velk::VkLandmarkExtract> extractor;
          if (!extractor) extractor.reset(new Velk::VkLandmarkExtract(ep));
          std::unique_ptr<Velk::VkFile> file(extractor->run(&input, idOfName(name)));
          extractNs += static_cast<uint64_t>(1e9 * (threadCpuSeconds() - c0));
          keep(name, *file, seconds);
        },
        threads);
  }
  cached.clear();
  store.reset();
  const Usage ub = m.stop();
  const double hours = static_cast<double>(samples) / cfg.sampleRate / 3600.0;
  std::error_code ec;
  const double storeMb =
      static_cast<double>(fs::file_size(storePath, ec) + (fs::exists(storePath + "-wal")
                                                              ? fs::file_size(storePath + "-wal")
                                                              : 0)) /
      1e6;
  const double extractCpu = 1e-9 * static_cast<double>(extractNs);
  std::printf("store archive: %d recordings%s, %.1f h; store file %.0f MB (%.2f MB/h)\n",
              made.load(), o.dry ? " (no reverberation)" : "", hours, storeMb, storeMb / hours);
  char extra[240];
  std::snprintf(extra, sizeof extra,
                "extraction %.1f s cpu (%.1f s on %u threads), store writes %.1f s wall",
                extractCpu, extractCpu / threads, threads, writeWall);
  archiveRow("synthesis + extraction + store", ub, hours, extra);

  const StoreRun again = runWithStore(folder, storePath, threads, o.limit, &truth);
  storeRow("re-run, nothing new", again, hours);
  const StoreRun reused = runWithStore(folder, storePath, threads, o.limit, &truth);
  storeRow("again, nothing new", reused, hours);
  int status = reused.result == again.result ? 0 : 1;

  // K new recordings of their own events, as WAV files in the folder.
  velksim::SetSettings more = archiveSettings(o.add, o.minutes, o.seed + 1, o.snrDb);
  more.prefix = "new";
  const velksim::Truth added = velksim::generateSet(more, work + "/new");
  truth.clusters.insert(truth.clusters.end(), added.clusters.begin(), added.clusters.end());
  for (const auto& entry : fs::directory_iterator(work + "/new"))
    if (entry.path().extension() == ".wav")
      fs::rename(entry.path(), folder + "/" + entry.path().filename().string());
  const StoreRun plus = runWithStore(folder, storePath, threads, o.limit, &truth);
  const std::string addedText = "re-run, " + std::to_string(o.add) + " added";
  storeRow(addedText.c_str(), plus, hours);
  status |=
      compareWithFull(addedText.c_str(), plus, folder, storePath, threads, o.limit, hours, truth);
  if (o.noRemoval) {
    fs::remove_all(work);
    return again.extracted == 0 && plus.extracted == o.add ? status : 1;
  }
  // Some recordings removed: half of the new ones and as many stored ones.
  std::vector<fs::path> wavs;
  for (const auto& entry : fs::directory_iterator(folder)) wavs.push_back(entry.path());
  std::sort(wavs.begin(), wavs.end());
  int goneNew = 0, goneOld = 0;
  for (const fs::path& p : wavs) {
    int& n = p.filename().string().rfind("new", 0) == 0 ? goneNew : goneOld;
    if (n < (o.add + 1) / 2) {
      fs::remove(p);
      ++n;
    }
  }
  const int gone = goneNew + goneOld;
  for (velksim::TruthCluster& c : truth.clusters)
    c.recordings.erase(std::remove_if(c.recordings.begin(), c.recordings.end(),
                                      [&](const velksim::TruthRecording& r) {
                                        return !fs::exists(folder + "/" + r.name + ".wav");
                                      }),
                       c.recordings.end());
  const StoreRun removed = runWithStore(folder, storePath, threads, o.limit, &truth);
  const std::string removedText = "re-run, " + std::to_string(gone) + " removed";
  storeRow(removedText.c_str(), removed, hours);
  status |= compareWithFull(removedText.c_str(), removed, folder, storePath, threads, o.limit,
                            hours, truth);
  if (!fromCache)
    std::printf(
        "  reading the store: %.1f s for %.1f h; extracting it again: %.1f s cpu, about %.1f "
        "s on %u threads (%.0fx faster)\n",
        again.readWall, hours, extractCpu, extractCpu / threads, threads,
        extractCpu / threads / std::max(again.readWall, 1e-9));
  fs::remove_all(work);
  return again.extracted == 0 && plus.extracted == o.add ? status : 1;
}
#endif

int runArchive(const Options& o) {
  std::printf("scale_bench archive: sizes");
  for (int n : o.archive) std::printf(" %d", n);
  std::printf(" x %g min, %u thread(s), seed %u%s\n", o.minutes, o.threads.back(), o.seed,
#ifdef SCALE_BENCH_BASELINE
              " (baseline build)"
#else
              ""
#endif
  );
  std::printf("load average at start: %s (2-core machine, shared)\n", loadAverage().c_str());
  int status = 0;
#ifndef SCALE_BENCH_BASELINE
  if (o.store) {
    for (int n : o.archive) status |= runStoreArchive(o, n);
    std::printf("load average at end: %s\n", loadAverage().c_str());
    return status;
  }
#endif
  for (int n : o.archive) status |= runArchiveSize(o, n);
  std::printf("load average at end: %s\n", loadAverage().c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    if (!parse(argc, argv, o)) {
      usage();
      return 2;
    }
    return o.archive.empty() ? run(o) : runArchive(o);
  } catch (const std::exception& e) {
    std::cerr << "scale_bench: " << e.what() << std::endl;
    return 1;
  }
}
