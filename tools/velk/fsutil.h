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

// A name for a temporary file next to path, unique within this process.
std::string temporarySibling(const std::string& path);

// Writes data to a temporary file in path's folder and renames it over path
// when complete; on failure the temporary file is removed and path untouched.
bool writeFileAtomically(const std::string& path, const std::string& data, std::string& error);

}  // namespace velktool

#endif
