// Refinement of clustering offsets by waveform cross-correlation.
#ifndef VELK_REFINE_H
#define VELK_REFINE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "velk/cluster.h"
#include "velk/wavfile.h"

namespace Velk {

// Loads two recordings and turns the peak of their circular cross-correlation
// into an offset between them.
class VkPairwiseEstimate {
 public:
  VkPairwiseEstimate(const std::string& x, const std::string& y);
  ~VkPairwiseEstimate();  // releases the two recordings it opened

  VkPairwiseEstimate(const VkPairwiseEstimate&) = delete;
  VkPairwiseEstimate& operator=(const VkPairwiseEstimate&) = delete;

  bool load();
  bool estimate();

  std::string firstPath;
  std::string secondPath;
  wavfile_t* first;
  wavfile_t* second;
  int64_t offset;  // samples by which y lags x, set by estimate()
};

// Walks a clustering result, opens each cluster's recordings and picks the
// cluster's reference (its member at offset 0).
class VkRefinement {
 public:
  VkRefinement(const std::map<int32_t, std::string>& idToPath, const VkClusterSet* clusters);
  ~VkRefinement();  // closes every recording the pass opened

  VkRefinement(const VkRefinement&) = delete;
  VkRefinement& operator=(const VkRefinement&) = delete;

  bool run();

  std::map<int32_t, std::string> idToPath;
  std::vector<wavfile_t*> opened;
  const VkClusterSet* clusters;
};

}  // namespace Velk

#endif
