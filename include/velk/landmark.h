// Landmark store: the hashed peak pairs of one recording and the set of recordings.
#ifndef VELK_LANDMARK_H
#define VELK_LANDMARK_H

#include <cstdint>
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
class VELK_API VkFile {
 public:
  using LandmarkList = std::vector<Landmark*>;
  using LandmarkMap = std::map<int32_t, LandmarkList>;

  explicit VkFile(int32_t id);
  ~VkFile();

  VkFile(const VkFile&) = delete;
  VkFile& operator=(const VkFile&) = delete;

  void addLandmark(Landmark* landmark);  // takes ownership; null is ignored
  void computeCLF();
  int32_t countLandmarksInRange(int32_t start, int32_t end) const;  // -1 while out of date

  int32_t getId() const { return id; }
  int32_t getFirstFrame() const { return firstFrame; }
  int32_t getLastFrame() const { return lastFrame; }
  const LandmarkMap& getLandmarks() const { return landmarks; }
  bool isClfDirty() const { return clfDirty; }
  const std::map<int32_t, int32_t>& getClf() const { return clf; }
  // Total number of landmarks held (cheap: kept while adding).
  std::size_t getLandmarkCount() const { return landmarkCount; }

  void print() const;

  LandmarkMap landmarks;  // owns the landmarks
  std::map<int32_t, int32_t> clf;
  int32_t id;
  int32_t lastFrame;
  int32_t firstFrame;
  bool clfDirty;
  std::size_t landmarkCount;  // not part of the counts' contract; a cheap total for callers
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
