// Which files a run reads: a folder (with its sub-folders when asked) or a list
// of files, every entry that is not analysed kept with the reason.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "engine/recordings.h"
#include "velk/sync.h"

namespace fs = std::filesystem;

namespace Velk {

namespace {

// The file's path without its extension, so that names read as given.
std::string withoutExtension(const std::string& path) {
  const fs::path p(path);
  return (p.parent_path() / p.stem()).generic_string();
}

// Empty when path is a readable regular file; otherwise why it is not read.
// folderReason is what a folder is said to be: "folder" means walk it.
std::string whyNotRead(const fs::path& path, const std::string& folderReason, bool& problem) {
  problem = false;
  std::error_code ec;
  const fs::file_status link = fs::symlink_status(path, ec);
  if (ec || !fs::exists(link)) {
    problem = true;
    return "does not exist";
  }
  const fs::file_status target = fs::status(path, ec);
  if (fs::is_symlink(link) && !fs::exists(target)) return "dangling link";
  if (fs::is_directory(target)) {
    if (fs::is_symlink(link)) return "link to a folder (not followed)";
    return folderReason;
  }
  if (!fs::is_regular_file(target)) return "not a regular file";
  if (access(path.c_str(), R_OK) != 0) {
    problem = true;
    return std::string("unreadable: ") + std::strerror(errno);
  }
  return "";
}

void walk(const fs::path& folder, bool recursive, std::vector<std::string>& files,
          std::vector<SkippedFile>& skipped, std::error_code& ec) {
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    entries.push_back(it->path());
  if (ec) return;
  // Byte order of names, so that ids do not depend on the file system's listing order.
  std::sort(entries.begin(), entries.end());
  for (const fs::path& p : entries) {
    const std::string name = p.filename().string();
    if (name.empty() || name[0] == '.') {
      skipped.push_back({p.string(), "hidden", false});
      continue;
    }
    bool problem = false;
    const std::string why = whyNotRead(p, recursive ? "folder" : "sub-folder", problem);
    std::error_code sec;
    if (why == "folder") {
      walk(p, recursive, files, skipped, sec);
      if (sec) skipped.push_back({p.string(), "cannot read the folder: " + sec.message(), true});
    } else if (!why.empty()) {
      skipped.push_back({p.string(), why, problem});
    } else {
      files.push_back(p.string());
    }
  }
}

// The entries skipped before classification join those classification
// skipped, in path order.
void mergeSkipped(Listing& listing, std::vector<SkippedFile> first) {
  first.insert(first.end(), listing.skipped.begin(), listing.skipped.end());
  std::stable_sort(first.begin(), first.end(),
                   [](const SkippedFile& a, const SkippedFile& b) { return a.path < b.path; });
  listing.skipped = std::move(first);
}

}  // namespace

bool checkInputFolder(const std::string& folder, std::string& error) {
  std::error_code ec;
  if (!fs::exists(folder, ec)) {
    error = "input folder " + folder + " does not exist";
    return false;
  }
  if (!fs::is_directory(folder, ec)) {
    error = "input path " + folder + " is not a folder";
    return false;
  }
  return true;
}

bool listFolder(const std::string& folder, uint32_t extractionRate, Listing& listing,
                std::string& error, bool recursive) {
  listing = Listing();
  if (!checkInputFolder(folder, error)) return false;
  std::error_code ec;
  std::vector<std::string> files;
  std::vector<SkippedFile> skipped;
  walk(folder, recursive, files, skipped, ec);
  if (ec) {
    error = "cannot read input folder " + folder + ": " + ec.message();
    return false;
  }
  classifyFiles(files, extractionRate, listing);
  mergeSkipped(listing, std::move(skipped));
  if (recursive)
    for (Recording& r : listing.recordings)
      r.name = withoutExtension(fs::path(r.path).lexically_relative(folder).string());
  return true;
}

void listFiles(const std::vector<std::string>& given, uint32_t extractionRate, Listing& listing) {
  listing = Listing();
  std::vector<std::string> paths;
  std::vector<SkippedFile> skipped;
  std::set<std::string> seen;
  for (const std::string& p : given) {
    bool problem = false;
    const std::string why = whyNotRead(p, "a folder", problem);
    if (!why.empty()) {
      skipped.push_back({p, why, problem});
    } else if (!seen.insert(fs::weakly_canonical(p).string()).second) {
      skipped.push_back({p, "listed twice", false});
    } else {
      paths.push_back(p);
    }
  }
  classifyFiles(paths, extractionRate, listing);
  mergeSkipped(listing, std::move(skipped));
  std::map<std::string, int> uses;
  for (const Recording& r : listing.recordings) ++uses[r.name];
  for (Recording& r : listing.recordings)
    if (uses[r.name] > 1) r.name = withoutExtension(r.path);
}

}  // namespace Velk
