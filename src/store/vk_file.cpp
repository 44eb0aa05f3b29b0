// Landmark table of one recording, with cumulative counts per frame.
#include <algorithm>
#include <iostream>
#include <iterator>
#include <limits>

#include "velk/landmark.h"

namespace Velk {

int32_t Landmark::getFileId() const { return file == nullptr ? 0 : file->getId(); }

void Landmark::print() const {
  std::cout << "HASH: " << hash << " OFFSET TIME:" << time << std::endl;
}

VkFile::VkFile(int32_t fileId)
    : id(fileId),
      lastFrame(std::numeric_limits<int32_t>::min()),
      firstFrame(std::numeric_limits<int32_t>::max()),
      clfDirty(true),
      landmarkCount(0) {}

VkFile::~VkFile() {
  for (auto& entry : landmarks)
    for (Landmark* landmark : entry.second) delete landmark;
}

void VkFile::addLandmark(Landmark* landmark) {
  if (landmark == nullptr) return;
  clfDirty = true;
  const int32_t t = landmark->time;
  // The extractor adds whole frames in ascending order, so the newest entry is
  // nearly always the right one; checking it first skips the tree search.
  LandmarkList* list;
  if (!landmarks.empty() && std::prev(landmarks.end())->first == t)
    list = &std::prev(landmarks.end())->second;
  else
    list = &landmarks[t];
  list->push_back(landmark);
  ++landmarkCount;
  if (t >= lastFrame) lastFrame = t;
  if (t <= firstFrame) firstFrame = t;
}

void VkFile::computeCLF() {
  if (!clfDirty) return;
  int32_t running = 0;
  if (firstFrame <= lastFrame) {
    // Frames ascend, so both maps are walked with hints instead of searched.
    auto lm = landmarks.lower_bound(firstFrame);
    auto cum = clf.lower_bound(firstFrame);
    for (int64_t f = firstFrame; f <= lastFrame; ++f) {
      const int32_t frame = static_cast<int32_t>(f);
      if (lm == landmarks.end() || lm->first != frame)
        lm = landmarks.emplace_hint(lm, frame, LandmarkList());
      running += static_cast<int32_t>(lm->second.size());
      ++lm;
      cum = clf.insert_or_assign(cum, frame, running);
      ++cum;
    }
  }
  clfDirty = false;
}

int32_t VkFile::countLandmarksInRange(int32_t start, int32_t end) const {
  if (clfDirty) return -1;
  if (firstFrame > lastFrame) return 0;
  const int64_t p = static_cast<int64_t>(start) - 1;
  if (end < p || end < firstFrame || p > lastFrame) return 0;
  const auto hiIt = clf.find(std::min(end, lastFrame));
  const int32_t hi = hiIt == clf.end() ? 0 : hiIt->second;
  int32_t lo = 0;
  if (p >= firstFrame) {
    const auto loIt = clf.find(static_cast<int32_t>(p));
    lo = loIt == clf.end() ? 0 : loIt->second;
  }
  return std::max(hi - lo, 0);
}

void VkFile::print() const {
  int shown = 0;
  for (const auto& entry : landmarks) {
    if (shown == 10) {
      std::cout << "STOPPING PRINT: more than 10 entries" << std::endl;
      return;
    }
    std::cout << "Time Frame:" << entry.first
              << " Number of Landmarks:" << static_cast<unsigned long>(entry.second.size())
              << std::endl;
    ++shown;
  }
}

}  // namespace Velk
