// File-system helpers of the tool: path comparison and writes that never leave
// a half-written file under the final name.
#ifndef VELK_TOOL_FSUTIL_H
#define VELK_TOOL_FSUTIL_H

#include <string>

namespace velktool {

// Canonical form of a path that need not exist yet: the existing part is
// resolved (symbolic links, "..") and the rest appended.
std::string canonicalPath(const std::string& path);

// True when path is folder itself or lies inside it, compared canonically.
bool isSameOrInside(const std::string& path, const std::string& folder);

// The folder that holds path ("." for a bare name).
std::string parentFolder(const std::string& path);

// A name for a temporary file next to path, unique within this process:
// ".<name>.tmp-<pid>-<n>".
std::string temporarySibling(const std::string& path);

// Removes temporary siblings of path (as temporarySibling names them) that a
// process which no longer runs left behind, e.g. one killed outright. Those of
// running processes are left alone. Returns how many were removed.
int removeStaleTemporaries(const std::string& path);

// Makes a termination signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT) first remove
// every temporary file registered below, then end the process as the signal
// would have. SIGPIPE and SIGXFSZ are ignored, so a closed pipe or the file
// size limit makes the write fail and be reported instead of killing the
// process mid-file. Safe to call more than once.
void installInterruptCleanup();

// The line a termination signal writes to standard error before the process
// ends (after it, how many unfinished files were removed). Empty: none.
void setInterruptLine(const std::string& line);

// While alive, a termination signal removes this temporary file.
class PendingTemporary {
 public:
  explicit PendingTemporary(const std::string& path);
  ~PendingTemporary();
  PendingTemporary(const PendingTemporary&) = delete;
  PendingTemporary& operator=(const PendingTemporary&) = delete;

 private:
  int slot_;
};

// Flushes a written file to the disk (and, with isFolder, a folder's entries),
// so that a rename after it cannot survive a power loss without the data.
bool syncToDisk(const std::string& path, bool isFolder);

// Writes data to a temporary file in path's folder and renames it over path
// when complete; on failure the temporary file is removed and path untouched.
bool writeFileAtomically(const std::string& path, const std::string& data, std::string& error);

}  // namespace velktool

#endif
