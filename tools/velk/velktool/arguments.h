// What the designed command-line parser silently drops or refuses, found by
// walking the arguments the way it does, so the tool can say so on standard
// error while the parser's own output stays as it is.
#ifndef VELK_TOOL_ARGUMENTS_H
#define VELK_TOOL_ARGUMENTS_H

#include <string>
#include <vector>

#include "velk/params.h"

namespace velktool {

struct ArgumentWalk {
  std::string folder;                // the -f value in force ("" when none)
  std::vector<std::string> unknown;  // arguments nothing takes
  std::string trailing;              // an option left without its value at the end
  // Every option with its value, in order.
  std::vector<std::pair<std::string, std::string>> values;
};

// rest: argv[0] first, the tool's own options already taken out.
ArgumentWalk walkDesignedArguments(const std::vector<std::string>& rest);

// The warnings for unused arguments and a trailing option, one a line.
std::vector<std::string> unusedArgumentWarnings(const ArgumentWalk& walk);

// One warning for each analysis value the parser refused or did not take as
// written (e.g. "-samplerate 1e12" read as 1, then refused), naming the value
// in force after all options.
std::vector<std::string> refusedValueWarnings(const ArgumentWalk& walk,
                                              const Velk::VkExtractParams& extract,
                                              const Velk::VkClusterSyncParams& clusterSync);

}  // namespace velktool

#endif
