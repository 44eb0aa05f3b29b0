#include "velktool/targets.h"

#include <unistd.h>

#include <filesystem>

#include "velktool/fsutil.h"

namespace fs = std::filesystem;

namespace velktool {

namespace {

// The deepest part of path that exists (path itself when it does).
fs::path existingPart(fs::path path) {
  std::error_code ec;
  path = fs::absolute(path, ec);
  while (!path.empty() && !fs::exists(path, ec) && path != path.root_path())
    path = path.parent_path();
  return path;
}

bool writableFolder(const fs::path& p) { return access(p.c_str(), W_OK | X_OK) == 0; }

}  // namespace

std::string checkFileTarget(const std::string& path, const std::vector<std::string>& inputs) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return path + " is a folder";
  const std::string canonical = canonicalPath(path);
  for (const std::string& input : inputs)
    if (canonicalPath(input) == canonical) return path + " is one of the input files";
  const fs::path folder = parentFolder(path);
  if (!fs::is_directory(folder, ec)) return "folder " + folder.string() + " does not exist";
  if (!writableFolder(folder)) return "folder " + folder.string() + " is not writable";
  return "";
}

std::string checkFolderTarget(const std::string& folder, const std::string& inputFolder) {
  if (!inputFolder.empty() && isSameOrInside(folder, inputFolder))
    return folder +
           " is the input folder or lies inside it; choose another so that no input "
           "file can be touched";
  std::error_code ec;
  if (fs::exists(folder, ec) && !fs::is_directory(folder, ec))
    return folder + " exists and is not a folder";
  const fs::path existing = existingPart(folder);
  if (!fs::is_directory(existing, ec))
    return folder + " cannot be created: " + existing.string() + " is not a folder";
  if (!writableFolder(existing)) return existing.string() + " is not writable";
  return "";
}

}  // namespace velktool
