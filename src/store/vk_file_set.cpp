// The recordings of one job: landmark tables by id, with names and paths.
#include "velk/landmark.h"

namespace Velk {

VkFileSet::VkFileSet() : currentId(0) {}

VkFileSet::~VkFileSet() {
  for (auto& entry : files) {
    delete entry.second;
    entry.second = nullptr;
  }
  files.clear();
  idToPath.clear();
  idToName.clear();
  nameToId.clear();
}

VkFile* VkFileSet::addFile(VkFile* file) {
  if (file == nullptr) return nullptr;
  currentId = file->getId();
  // emplace keeps the table already stored under a taken id; the refused one
  // stays the caller's.
  files.emplace(file->getId(), file);
  return file;
}

void VkFileSet::addLandmark(Landmark* landmark) {
  if (landmark == nullptr) return;
  // Without a table under currentId the landmark is not taken over: it stays
  // the caller's, which is safer than deleting something the caller may still use.
  const auto it = files.find(currentId);
  if (it == files.end() || it->second == nullptr) return;
  it->second->addLandmark(landmark);
}

void VkFileSet::computeCLFs() {
  for (auto& entry : files)
    if (entry.second != nullptr) entry.second->computeCLF();
}

}  // namespace Velk
