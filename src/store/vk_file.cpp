// Landmark table of one recording, with cumulative counts per frame.
#include <algorithm>
#include <iostream>
#include <limits>
#include <numeric>
#include <type_traits>

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
      ordered_(true),
      clfFirst_(0),
      viewBuilt_(false) {}

VkFile::~VkFile() {
  for (Landmark* landmark : adopted_) delete landmark;
}

void VkFile::reserve(std::size_t landmarks) {
  restoreTimes();
  times_.reserve(landmarks);
  hashes_.reserve(landmarks);
}

void VkFile::addLandmark(int32_t t, uint32_t hash) {
  restoreTimes();
  clfDirty = true;
  if (!times_.empty() && t < times_.back()) ordered_ = false;
  times_.push_back(t);
  hashes_.push_back(hash);
  if (!objects_.empty() || viewBuilt_) {
    made_.emplace_back(t, this, hash);
    addObject(&made_.back(), t);
  }
  if (t >= lastFrame) lastFrame = t;
  if (t <= firstFrame) firstFrame = t;
}

void VkFile::addLandmark(Landmark* landmark) {
  if (landmark == nullptr) return;
  restoreTimes();
  adopted_.push_back(landmark);
  // Kept flat as well, so that sorting and counting need not reach the object;
  // readers take time and hash from the object, where they may have changed.
  const int32_t t = landmark->time;
  clfDirty = true;
  if (!times_.empty() && t < times_.back()) ordered_ = false;
  times_.push_back(t);
  hashes_.push_back(landmark->hash);
  addObject(landmark, t);
  if (t >= lastFrame) lastFrame = t;
  if (t <= firstFrame) firstFrame = t;
}

// Files the object of the newest landmark (times_ already holds it).
void VkFile::addObject(Landmark* landmark, int32_t t) const {
  if (objects_.empty()) objects_.assign(times_.size() - 1, nullptr);
  objects_.push_back(landmark);
  if (viewBuilt_) view_[t].push_back(landmark);
}

// The times the cumulative counts stand for, back in their own array.
void VkFile::restoreTimes() const {
  restoreHashes();
  if (!timesInClf_) return;
  times_.reserve(hashes_.size());
  std::size_t i = 0;
  for (std::size_t k = 0; k < clf_.size(); ++k)
    for (; i < static_cast<std::size_t>(clf_[k]); ++i)
      times_.push_back(static_cast<int32_t>(clfFirst_ + static_cast<int64_t>(k)));
  timesInClf_ = false;
}

void VkFile::forgetHashes() {
  if (!timesInClf_ || hashes_.empty()) return;  // only a complete flat table
  forgotten_ = hashes_.size();
  std::vector<uint32_t>().swap(hashes_);
}

void VkFile::restoreHashes() const {
  if (forgotten_ == 0) return;
  hashes_.assign(forgotten_, 0u);
  forgotten_ = 0;
}

void VkFile::sortByFrame() const {
  if (ordered_) return;
  std::vector<uint32_t> order(times_.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(),
                   [this](uint32_t a, uint32_t b) { return times_[a] < times_[b]; });
  auto permute = [&order](auto& v) {
    if (v.empty()) return;
    std::remove_reference_t<decltype(v)> sorted;
    sorted.reserve(v.size());
    for (uint32_t i : order) sorted.push_back(v[i]);
    v.swap(sorted);
  };
  permute(times_);
  permute(hashes_);
  permute(objects_);
  ordered_ = true;
}

void VkFile::computeCLF() {
  if (!clfDirty) return;
  restoreTimes();
  clf_.clear();
  clfFirst_ = firstFrame;
  if (firstFrame <= lastFrame) {
    sortByFrame();
    // The table is complete now, as a rule: growth slack goes back.
    times_.shrink_to_fit();
    hashes_.shrink_to_fit();
    clf_.assign(static_cast<std::size_t>(static_cast<int64_t>(lastFrame) - firstFrame + 1), 0);
    for (int32_t t : times_) ++clf_[static_cast<std::size_t>(static_cast<int64_t>(t) - firstFrame)];
    int32_t running = 0;
    for (int32_t& c : clf_) c = running += c;
    // The counts now say every time of a flat table.
    if (objects_.empty() && !viewBuilt_) {
      std::vector<int32_t>().swap(times_);
      timesInClf_ = true;
    }
    // Every frame of the range has an entry in the map, empty or not.
    if (viewBuilt_) {
      for (int64_t f = firstFrame; f <= lastFrame; ++f) view_[static_cast<int32_t>(f)];
    }
  }
  clfDirty = false;
}

int32_t VkFile::countLandmarksInRange(int32_t start, int32_t end) const {
  if (clfDirty) return -1;
  if (firstFrame > lastFrame) return 0;
  const int64_t p = static_cast<int64_t>(start) - 1;
  if (end < p || end < firstFrame || p > lastFrame) return 0;
  const int32_t hi = clf_[static_cast<std::size_t>(std::min(end, lastFrame) - int64_t{clfFirst_})];
  const int32_t lo = p >= firstFrame ? clf_[static_cast<std::size_t>(p - clfFirst_)] : 0;
  return std::max(hi - lo, 0);
}

const VkFile::LandmarkMap& VkFile::getLandmarks() const {
  if (viewBuilt_) return view_;
  restoreTimes();
  if (objects_.empty()) objects_.assign(times_.size(), nullptr);
  for (std::size_t i = 0; i < times_.size(); ++i) {
    if (objects_[i] == nullptr) {
      made_.emplace_back(times_[i], const_cast<VkFile*>(this), hashes_[i]);
      objects_[i] = &made_.back();
    }
  }
  sortByFrame();
  for (std::size_t i = 0; i < times_.size(); ++i) view_[times_[i]].push_back(objects_[i]);
  for (std::size_t k = 0; k < clf_.size(); ++k) view_[static_cast<int32_t>(clfFirst_ + k)];
  viewBuilt_ = true;
  return view_;
}

const std::map<int32_t, int32_t>& VkFile::getClf() const {
  clfView_.clear();
  for (std::size_t k = 0; k < clf_.size(); ++k)
    clfView_.emplace_hint(clfView_.end(), static_cast<int32_t>(clfFirst_ + k), clf_[k]);
  return clfView_;
}

void VkFile::print() const {
  int shown = 0;
  for (const auto& entry : getLandmarks()) {
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
