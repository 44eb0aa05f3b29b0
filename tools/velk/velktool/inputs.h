// Which files a run reads, through the engine's listing, and the file lists.
#ifndef VELK_TOOL_INPUTS_H
#define VELK_TOOL_INPUTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "velktool/types.h"

namespace velktool {

// The engine's listing of folder, in the tool's words: a sub-folder left out
// says that -r reads it. False with a one-line reason when the folder itself
// cannot be listed.
bool listInputFolder(const std::string& folder, bool recursive, uint32_t extractionRate,
                     Listing& listing, std::string& error);

// The paths of a list file, one a line (empty lines ignored).
bool readFileList(const std::string& path, std::vector<std::string>& paths, std::string& error);

}  // namespace velktool

#endif
