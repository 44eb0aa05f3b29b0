// Which files a run reads: a folder (optionally with its sub-folders) or a
// list of files, with every entry that is not analysed kept with its reason.
#ifndef VELK_TOOL_INPUTS_H
#define VELK_TOOL_INPUTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "velktool/types.h"

namespace velktool {

// Lists folder in name order; with recursive, sub-folders too, and names
// become paths relative to folder so that they stay unique. False with a
// one-line reason when the folder itself cannot be listed.
bool listInputFolder(const std::string& folder, bool recursive, uint32_t extractionRate,
                     Listing& listing, std::string& error);

// The given files in the given order; names clash only where file names do,
// and then the paths as given tell them apart.
void listInputFiles(const std::vector<std::string>& paths, uint32_t extractionRate,
                    Listing& listing);

// The paths of a list file, one a line (empty lines ignored).
bool readFileList(const std::string& path, std::vector<std::string>& paths, std::string& error);

}  // namespace velktool

#endif
