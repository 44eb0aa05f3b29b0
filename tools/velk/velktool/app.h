// The Velk tool's main program: options, folder, extraction, clustering,
// refinement, evaluation and output, and the exit status that sums them up.
#ifndef VELK_TOOL_APP_H
#define VELK_TOOL_APP_H

namespace velktool {

// Exit statuses; when several things went wrong the highest applies.
enum ExitStatus {
  kExitOk = 0,            // the sync ran and everything asked for was done
  kExitUsage = 1,         // bad command line (also: no -f folder)
  kExitInputFolder = 2,   // the input folder is missing or cannot be read
  kExitNoRecordings = 3,  // no file in the folder could be used
  kExitPartial = 4,       // the sync ran, but some recordings could not be read or the
                          // truth file names recordings that are not there
  kExitTruth = 5,         // the truth file cannot be read or is malformed (no evaluation)
  kExitOutput = 6,        // synchronized copies refused or not (all) written
  kExitJson = 7,          // the JSON file could not be written
  kExitExport = 8,        // a timeline or the picture could not be written
  kExitInternal = 9,      // the engine stopped on a fault of its own (nothing was written)
};

int runTool(int argc, const char* const* argv);

void printToolHelp();

}  // namespace velktool

#endif
