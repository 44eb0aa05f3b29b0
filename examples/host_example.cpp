// How a host drives the library: extract landmarks from every WAV file of a
// folder, cluster them, print the clusters and free everything it owns.
//
//   host_example FOLDER
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "velk/velk.h"

namespace {

// Progress arrives synchronously on the calling thread.
class ConsoleProgress : public Velk::VkProgress {
 public:
  void setFraction(float fraction) override {
    std::cerr << "\r  matching " << static_cast<int>(fraction * 100.0f) << "%   " << std::flush;
  }
  void setStep(int32_t step) override { std::cerr << "\nstep " << step << std::flush; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: host_example FOLDER" << std::endl;
    return 1;
  }
  std::vector<std::string> paths;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1], ec)) {
    if (entry.is_regular_file()) paths.push_back(entry.path().string());
  }
  if (ec) {
    std::cerr << "cannot read " << argv[1] << ": " << ec.message() << std::endl;
    return 1;
  }
  std::sort(paths.begin(), paths.end());  // ids follow this order

  // 1. Parameters; the clustering record takes the hop size and rate from them.
  Velk::VkExtractParams extractParams;
  extractParams.setSampleRate(8000);

  // 2. Extraction: runAll keeps the paths ending in "wav" and owns nothing after.
  Velk::VkLandmarkExtract* extractor = new Velk::VkLandmarkExtract(extractParams);
  Velk::VkFileSet* fileSet = extractor->runAll(paths);

  // 3. Clustering: the result belongs to the caller.
  Velk::VkClusterSync sync{Velk::VkClusterSyncParams(extractParams)};
  ConsoleProgress progress;
  Velk::VkClusterSet* clusters = sync.run(fileSet, &progress);
  std::cerr << std::endl;
  Velk::printClusters(clusters);

  // 4. Free: elements, cluster sets and outer set; the file set with its
  // tables and landmarks; the extractor.
  Velk::deleteClusters(clusters);
  delete fileSet;
  delete extractor;
  return 0;
}
