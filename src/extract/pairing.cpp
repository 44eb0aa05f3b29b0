// Pairing of surviving peaks into hashed landmarks.
#include <algorithm>
#include <vector>

#include "velk/landmark_extract.h"

namespace Velk {

namespace {

// Frame distance, anchor bin and partner bin, 10 bits each; bits 31..30 stay 0.
inline uint32_t landmarkHash(const Peak& anchor, const Peak& partner) {
  // Unsigned arithmetic: the low 10 bits of the difference, without signed overflow.
  const uint32_t dt = static_cast<uint32_t>(partner.time) - static_cast<uint32_t>(anchor.time);
  return ((dt & 0x3ffu) << 20) | ((static_cast<uint32_t>(anchor.freq) & 0x3ffu) << 10) |
         (static_cast<uint32_t>(partner.freq) & 0x3ffu);
}

}  // namespace

void VkLandmarkExtract::findNeighborPeaks(Peak* anchor, std::vector<Peak*>& partners) {
  if (anchor == nullptr || frames->empty()) return;
  // 64-bit window bounds: an anchor near the end of the 32-bit range must not wrap.
  const int64_t first = anchor->time;
  const int64_t last = std::min<int64_t>(static_cast<int64_t>(frames->size()) - 1,
                                         static_cast<int64_t>(anchor->time) + params.timeRange);
  if (first > last) return;
  const int64_t low = std::max<int64_t>(0, static_cast<int64_t>(anchor->freq) - params.freqRange);
  const int64_t high = std::min<int64_t>(params.getFftSize() / 2,
                                         static_cast<int64_t>(anchor->freq) + params.freqRange);
  const uint32_t limit = params.getMaxPairsPerPeak();
  uint32_t count = 0;

  // Frames before 0 do not exist; the time test below still uses the full window.
  for (int64_t t = std::max<int64_t>(first, 0); t <= last; ++t) {
    const PeakList* list = (*frames)[static_cast<std::size_t>(t)];
    if (list == nullptr) continue;
    for (Peak* c : *list) {
      if (c->freq >= low && c->freq <= high && c->time >= first && c->time <= last && c != anchor) {
        partners.push_back(c);
        if (++count > limit) return;
      }
    }
  }
}

void VkLandmarkExtract::combine(VkFile* file) {
  if (file == nullptr || frames->empty()) return;
  std::vector<Peak*> partners;
  partners.reserve(std::min<uint32_t>(params.getMaxPairsPerPeak(), 1024) + 1);
  for (PeakList* list : *frames) {
    if (list == nullptr) continue;
    std::sort(list->begin(), list->end(), sortByAmplitudeComparitor);
    for (Peak* anchor : *list) {
      partners.clear();
      findNeighborPeaks(anchor, partners);
      for (const Peak* partner : partners)
        file->addLandmark(anchor->time, landmarkHash(*anchor, *partner));
    }
  }
}

}  // namespace Velk
