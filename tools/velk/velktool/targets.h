// Checks of the files a run will write, made before the analysis so that a
// long run does not end in a refusal.
#ifndef VELK_TOOL_TARGETS_H
#define VELK_TOOL_TARGETS_H

#include <string>
#include <vector>

namespace velktool {

// Empty when a file can be written at path (its folder exists and is
// writable, it is not a folder, not one of inputs); otherwise why not.
std::string checkFileTarget(const std::string& path, const std::vector<std::string>& inputs);

// Empty when folder is or can be made a writable folder that is neither the
// input folder (if any) nor inside it; otherwise why not.
std::string checkFolderTarget(const std::string& folder, const std::string& inputFolder);

}  // namespace velktool

#endif
