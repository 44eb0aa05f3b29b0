// Command-line layer of the standalone tool: argument parser, option-group
// parsers that fill the parameter records, number parsing and the help text.
#ifndef VELK_FRONTEND_H
#define VELK_FRONTEND_H

#include <cstdint>
#include <string>

#include "velk/export.h"
#include "velk/params.h"

namespace Velk {

// Returns 0, or ends the process with status 1 when no folder path was given.
VELK_API int32_t parseArguments(int32_t argc, const char* const* argv, std::string& folderPath,
                                std::string& truthPath, std::string& outputPath,
                                VkExtractParams& extract, VkClusterSyncParams& clusterSync);

VELK_API bool parseExtractOption(int32_t& index, const std::string& option,
                                 const std::string& value, VkExtractParams& params);
VELK_API bool parseClusterSyncOption(int32_t& index, const std::string& option,
                                     const std::string& value, VkClusterSyncParams& params);

VELK_API bool fromString(const char* text, int32_t& out);
VELK_API bool fromString(const char* text, float& out);

VELK_API void printHelp();

}  // namespace Velk

#endif
