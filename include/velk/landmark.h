// Landmark store: the hashed peak pairs of one recording and the set of recordings.
#ifndef VELK_LANDMARK_H
#define VELK_LANDMARK_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "velk/export.h"

namespace Velk {

class VkFile;

// One hashed peak pair, stamped with the anchor peak's frame.
class VELK_API Landmark {
 public:
  Landmark() : time(0), file(nullptr), hash(0) {}
  Landmark(int32_t t, VkFile* f, uint32_t h) : time(t), file(f), hash(h) {}

  int32_t getTime() const { return time; }
  int32_t getFileId() const;  // 0 when file is null
  void print() const;

  int32_t time;
  VkFile* file;  // back pointer, not owned
  uint32_t hash;
};

// Every landmark of one recording by anchor frame, with cumulative counts that
// answer range counts with two lookups.
//
// Landmarks are kept flat (frame and hash arrays, counts per frame in one
// array): a recording of an hour holds a million landmarks, and an object per
// landmark plus a tree node per frame cost five times the data. The map of
// landmark objects by frame is built only when asked for; from then on those
// objects are what the table holds, so changes made through them are seen.
class VELK_API VkFile {
 public:
  using LandmarkList = std::vector<Landmark*>;
  using LandmarkMap = std::map<int32_t, LandmarkList>;

  explicit VkFile(int32_t id);
  ~VkFile();

  VkFile(const VkFile&) = delete;
  VkFile& operator=(const VkFile&) = delete;

  void addLandmark(Landmark* landmark);  // takes ownership; null is ignored
  // A landmark of this recording, without a heap object.
  void addLandmark(int32_t time, uint32_t hash);
  void reserve(std::size_t landmarks);
  void computeCLF();
  int32_t countLandmarksInRange(int32_t start, int32_t end) const;  // -1 while out of date

  int32_t getId() const { return id; }
  int32_t getFirstFrame() const { return firstFrame; }
  int32_t getLastFrame() const { return lastFrame; }
  const LandmarkMap& getLandmarks() const;
  bool isClfDirty() const { return clfDirty; }
  const std::map<int32_t, int32_t>& getClf() const;
  std::size_t getLandmarkCount() const { return hashes_.size() + forgotten_; }
  // Frees the hashes of a complete flat table whose landmarks are matched
  // already: counts and frames stay, and the hashes read as 0 from then on.
  // A host that only needs counts after matching saves 4 bytes a landmark.
  void forgetHashes();

  // fn(time, hash, recording id) for every landmark by frame, then order of
  // addition; the id is the landmark's getFileId().
  template <typename Fn>
  void forEachLandmark(Fn fn) const {
    restoreHashes();
    sortByFrame();
    const std::size_t n = hashes_.size();
    if (timesInClf_) {
      std::size_t i = 0;
      for (std::size_t k = 0; k < clf_.size(); ++k)
        for (const auto end = static_cast<std::size_t>(clf_[k]); i < end; ++i)
          fn(static_cast<int32_t>(clfFirst_ + static_cast<int64_t>(k)), hashes_[i], id);
      return;
    }
    if (objects_.empty()) {
      for (std::size_t i = 0; i < n; ++i) fn(times_[i], hashes_[i], id);
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const Landmark* l = objects_[i];
      if (l == nullptr)
        fn(times_[i], hashes_[i], id);
      else
        fn(l->time, l->hash, l->getFileId());
    }
  }

  void print() const;

 private:
  void sortByFrame() const;
  void restoreTimes() const;
  void restoreHashes() const;
  void addObject(Landmark* landmark, int32_t t) const;

  int32_t id;
  int32_t lastFrame;
  int32_t firstFrame;
  bool clfDirty;
  // Per landmark, in order of addition until sortByFrame makes them ascend by
  // frame (stably). objects_ is empty or holds, per landmark, its object (null
  // for a flat one); the frame a landmark was filed under never changes.
  // A complete flat table keeps no times: the cumulative counts give them
  // (timesInClf_); they come back when landmarks are added or objects asked for.
  mutable std::vector<int32_t> times_;
  mutable bool timesInClf_ = false;
  mutable std::vector<uint32_t> hashes_;
  mutable std::size_t forgotten_ = 0;  // landmarks whose hashes were freed (hashes_ empty)
  mutable std::vector<Landmark*> objects_;
  mutable bool ordered_;
  std::vector<Landmark*> adopted_;     // given to addLandmark: deleted with the table
  mutable std::deque<Landmark> made_;  // objects made for the map; they never move
  mutable std::vector<int32_t> clf_;   // landmarks up to each frame from clfFirst_
  int32_t clfFirst_;
  mutable LandmarkMap view_;  // built on the first getLandmarks, kept up to date after
  mutable bool viewBuilt_;
  mutable std::map<int32_t, int32_t> clfView_;
};

// The recordings of one job: tables by id (owned), names and paths.
class VELK_API VkFileSet {
 public:
  using FileMap = std::map<int32_t, VkFile*>;

  VkFileSet();
  ~VkFileSet();

  VkFileSet(const VkFileSet&) = delete;
  VkFileSet& operator=(const VkFileSet&) = delete;

  VkFile* addFile(VkFile* file);
  void addLandmark(Landmark* landmark);
  void computeCLFs();
  FileMap& getFiles() { return files; }
  const FileMap& getFiles() const { return files; }
  int32_t getCurrentId() const { return currentId; }

  std::map<std::string, int32_t> nameToId;
  std::map<int32_t, std::string> idToName;
  std::map<int32_t, std::string> idToPath;
  FileMap files;  // owns the tables
  int32_t currentId;
};

}  // namespace Velk

#endif
