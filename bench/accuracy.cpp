// Clustering accuracy on simulated sets: extraction and clustering with the
// default parameters, scored pair by pair against the known truth.
//
//   accuracy_bench [--seed N] [--keep DIR] [--verbose]
#include <algorithm>
#include <chrono>
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

void runScenario(const Scenario& sc, uint32_t seed, const std::string& keep, bool verbose) {
  velksim::SetSpec spec;
  spec.events = 4;
  spec.minDevices = 3;
  spec.maxDevices = 5;
  spec.unrelated = 3;
  spec.minSeconds = 60;
  spec.maxSeconds = 120;
  spec.snrDb = sc.snrDb;
  spec.seed = seed;
  const std::string dir = keep.empty() ? makeTempDir() : keep + "/" + sc.label;

  auto t0 = std::chrono::steady_clock::now();
  const velksim::Truth truth = velksim::generateSet(spec, dir);
  velksim::writeTruthXml(truth, dir + "/truth.xml");
  const double genTime = seconds(t0);
  std::vector<std::string> paths;
  double audio = 0;
  for (const auto& c : truth.clusters) {
    for (const auto& r : c.recordings) {
      paths.push_back(dir + "/" + r.name + ".wav");
      audio += static_cast<double>(r.samples) / truth.sampleRate;
    }
  }
  std::sort(paths.begin(), paths.end());

  Velk::VkExtractParams ep;
  Velk::VkLandmarkExtract extractor(ep);
  std::ostringstream quiet;  // the per-file extraction lines
  std::streambuf* saved = std::cout.rdbuf(quiet.rdbuf());
  t0 = std::chrono::steady_clock::now();
  Velk::VkFileSet* set = extractor.runAll(paths);
  const double extractTime = seconds(t0);
  std::cout.rdbuf(saved);
  std::size_t landmarks = 0;
  for (const auto& kv : set->getFiles()) landmarks += kv.second->getLandmarkCount();

  t0 = std::chrono::steady_clock::now();
  Velk::VkClusterSet* result = Velk::VkClusterSync(Velk::VkClusterSyncParams(ep)).run(set);
  const double clusterTime = seconds(t0);

  std::vector<velksim::FoundCluster> found;
  for (const Velk::VkCluster* c : *result) {
    found.emplace_back();
    for (const Velk::VkClusterElem* e : *c) found.back().emplace_back(e->name, e->offset);
  }
  if (verbose) Velk::printClusters(result);
  const velksim::Score s = velksim::scoreClusters(truth, found);

  std::printf("%-6s SNR %4.1f dB: %zu recordings, %.1f min of audio, %zu landmarks\n", sc.label,
              sc.snrDb, paths.size(), audio / 60.0, landmarks);
  std::printf("  time: generate %.2f s, extract %.2f s, cluster %.2f s\n", genTime, extractTime,
              clusterTime);
  std::printf("  clusters found %zu (true %zu); pairs true %zu, found %zu, correct %zu\n",
              result->size(), truth.clusters.size(), s.truePairs, s.foundPairs, s.correctPairs);
  std::printf("  precision %.3f  recall %.3f  F1 %.3f\n", s.precision, s.recall, s.f1);
  if (!s.offsetErrors.empty()) {
    std::printf("  offset error: median %.1f ms, p95 %.1f ms, max %.1f ms, within 40 ms %.1f %%\n",
                1000 * s.medianError, 1000 * s.p95Error, 1000 * s.offsetErrors.back(),
                100 * s.within40ms);
  }
  Velk::deleteClusters(result);
  delete set;
  if (keep.empty()) std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t seed = 7;
  std::string keep;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seed" && i + 1 < argc) {
      seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--keep" && i + 1 < argc) {
      keep = argv[++i];
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      std::cerr << "usage: accuracy_bench [--seed N] [--keep DIR] [--verbose]" << std::endl;
      return 2;
    }
  }
  // 4 events of 3-5 devices each, 60-120 s recordings, 3 unrelated recordings.
  const Scenario scenarios[] = {{"clean", 30.0}, {"noisy", 5.0}};
  for (const Scenario& sc : scenarios) runScenario(sc, seed, keep, verbose);
  return 0;
}
