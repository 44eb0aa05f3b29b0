// Clustering accuracy on simulated sets: extraction and clustering with the
// default parameters, scored pair by pair against the known truth.
//
//   accuracy_bench [--seed N] [--sets N] [--snr DB] [--keep DIR] [--verbose]
//
// With --sets N, each scenario is generated N times (seeds N, N+1, ...) and the
// pairs of all sets are pooled. --snr runs one scenario at that ratio instead
// of the clean (30 dB) and noisy (5 dB) ones.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "simulate.h"
#include "velk/velk.h"

namespace {

struct Scenario {
  const char* label;
  double snrDb;
};

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string makeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velk-accuracy-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

struct Pooled {
  std::size_t truePairs = 0, foundPairs = 0, correctPairs = 0;
  std::vector<double> errors;
  double extract = 0, cluster = 0, audio = 0;
  std::size_t recordings = 0, landmarks = 0;
};

void runSet(const Scenario& sc, uint32_t seed, const std::string& keep, bool verbose,
            Pooled& pool) {
  velksim::SetSettings cfg;
  cfg.events = 4;
  cfg.minDevices = 3;
  cfg.maxDevices = 5;
  cfg.unrelated = 3;
  cfg.minSeconds = 60;
  cfg.maxSeconds = 120;
  cfg.snrDb = sc.snrDb;
  cfg.seed = seed;
  const std::string dir =
      keep.empty() ? makeTempDir() : keep + "/" + sc.label + "-" + std::to_string(seed);

  const velksim::Truth truth = velksim::generateSet(cfg, dir);
  velksim::writeTruthXml(truth, dir + "/truth.xml");
  std::vector<std::string> paths;
  for (const auto& c : truth.clusters) {
    for (const auto& r : c.recordings) {
      paths.push_back(dir + "/" + r.name + ".wav");
      pool.audio += static_cast<double>(r.samples) / truth.sampleRate;
    }
  }
  std::sort(paths.begin(), paths.end());
  pool.recordings += paths.size();

  Velk::VkExtractParams ep;
  Velk::VkLandmarkExtract extractor(ep);
  std::ostringstream quiet;  // the per-file extraction lines
  std::streambuf* saved = std::cout.rdbuf(quiet.rdbuf());
  auto t0 = std::chrono::steady_clock::now();
  Velk::VkFileSet* set = extractor.runAll(paths);
  pool.extract += seconds(t0);
  std::cout.rdbuf(saved);
  for (const auto& kv : set->getFiles()) pool.landmarks += kv.second->getLandmarkCount();

  t0 = std::chrono::steady_clock::now();
  Velk::VkClusterSet* result = Velk::VkClusterSync(Velk::VkClusterSyncParams(ep)).run(set);
  pool.cluster += seconds(t0);

  std::vector<velksim::FoundCluster> found;
  for (const Velk::VkCluster* c : *result) {
    found.emplace_back();
    for (const Velk::VkClusterElem* e : *c) found.back().emplace_back(e->name, e->offset);
  }
  if (verbose) Velk::printClusters(result);
  const velksim::Score s = velksim::scoreClusters(truth, found);
  if (verbose) {
    std::printf(
        "  seed %u: clusters found %zu (true %zu), pairs true %zu, found %zu, correct %zu\n", seed,
        result->size(), truth.clusters.size(), s.truePairs, s.foundPairs, s.correctPairs);
  }
  pool.truePairs += s.truePairs;
  pool.foundPairs += s.foundPairs;
  pool.correctPairs += s.correctPairs;
  pool.errors.insert(pool.errors.end(), s.offsetErrors.begin(), s.offsetErrors.end());
  Velk::deleteClusters(result);
  delete set;
  if (keep.empty()) std::filesystem::remove_all(dir);
}

void runScenario(const Scenario& sc, uint32_t seed, int sets, const std::string& keep,
                 bool verbose) {
  Pooled p;
  for (int i = 0; i < sets; ++i) runSet(sc, seed + static_cast<uint32_t>(i), keep, verbose, p);
  const double precision = p.foundPairs ? double(p.correctPairs) / double(p.foundPairs) : 1.0;
  const double recall = p.truePairs ? double(p.correctPairs) / double(p.truePairs) : 1.0;
  const double f1 = precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0.0;
  std::printf("%-6s SNR %4.1f dB: %d set(s), %zu recordings, %.1f min of audio, %zu landmarks\n",
              sc.label, sc.snrDb, sets, p.recordings, p.audio / 60.0, p.landmarks);
  std::printf("  time: extract %.2f s, cluster %.2f s\n", p.extract, p.cluster);
  std::printf("  pairs true %zu, found %zu, correct %zu\n", p.truePairs, p.foundPairs,
              p.correctPairs);
  std::printf("  precision %.3f  recall %.3f  F1 %.3f\n", precision, recall, f1);
  if (!p.errors.empty()) {
    std::vector<double>& e = p.errors;
    std::sort(e.begin(), e.end());
    const std::size_t n = e.size();
    const double median = n % 2 ? e[n / 2] : 0.5 * (e[n / 2 - 1] + e[n / 2]);
    const double p95 =
        e[std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(0.95 * n))) - 1];
    const auto ok = std::count_if(e.begin(), e.end(), [](double x) { return x <= 0.040 + 1e-9; });
    std::printf("  offset error: median %.1f ms, p95 %.1f ms, max %.1f ms, within 40 ms %.1f %%\n",
                1000 * median, 1000 * p95, 1000 * e.back(), 100.0 * double(ok) / double(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t seed = 7;
  int sets = 1;
  std::string keep;
  bool verbose = false;
  double customSnr = std::nan("");
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seed" && i + 1 < argc) {
      seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--sets" && i + 1 < argc) {
      sets = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--keep" && i + 1 < argc) {
      keep = argv[++i];
    } else if (a == "--snr" && i + 1 < argc) {
      customSnr = std::atof(argv[++i]);
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      std::cerr << "usage: accuracy_bench [--seed N] [--sets N] [--snr DB] [--keep DIR] [--verbose]"
                << std::endl;
      return 2;
    }
  }
  // 4 events of 3-5 devices each, 60-120 s recordings, 3 unrelated recordings.
  const Scenario scenarios[] = {{"clean", 30.0}, {"noisy", 5.0}};
  if (!std::isnan(customSnr)) {
    runScenario({"custom", customSnr}, seed, sets, keep, verbose);
    return 0;
  }
  for (const Scenario& sc : scenarios) runScenario(sc, seed, sets, keep, verbose);
  return 0;
}
