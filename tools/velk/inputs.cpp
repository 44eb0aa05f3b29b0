#include "velktool/inputs.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace velktool {

bool listInputFolder(const std::string& folder, bool recursive, uint32_t extractionRate,
                     Listing& listing, std::string& error) {
  if (!Velk::listFolder(folder, extractionRate, listing, error, recursive)) return false;
  for (SkippedFile& s : listing.skipped)
    if (s.reason == "sub-folder") s.reason = "sub-folder (-r reads sub-folders)";
  return true;
}

bool readFileList(const std::string& path, std::vector<std::string>& paths, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read file list " + path + ": " + std::strerror(errno);
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) paths.push_back(line);
  }
  if (in.bad()) {
    error = "cannot read file list " + path;
    return false;
  }
  return true;
}

}  // namespace velktool
