// The tool's own long options, taken out of the command line before the rest
// goes to the command-line layer unchanged.
#ifndef VELK_TOOL_OPTIONS_H
#define VELK_TOOL_OPTIONS_H

#include <string>
#include <vector>

#include "velk/sync.h"

namespace velktool {

struct ToolOptions {
  std::string jsonPath;              // --json FILE ("-": standard output)
  std::string filesList;             // --files LIST: one recording path a line
  std::vector<std::string> files;    // paths after "--"
  bool recursive = false;            // -r, --recursive: walk sub-folders too
  unsigned threads = 0;              // --threads N; 0: one per hardware thread
  bool refine = true;                // --no-refine turns it off
  bool keepUnverified = false;       // --keep-unverified: strays stay in their cluster
  std::string reference;             // --reference NAME: its cluster follows its clock
  int channel = Velk::kAutoChannel;  // --channel auto|mix|N (N from 1; here from 0)
  bool quiet = false;                // --quiet: no progress display
  bool version = false;              // --version
  bool help = false;                 // --help
  std::vector<std::string> exports;  // --export FILE (repeatable), format by extension
  std::string svgPath;               // --svg FILE
  std::string fps;                   // --fps RATE; empty: the first video's, else 25
  std::string timelineStart;         // --timeline-start HH:MM:SS:FF
  bool bwfCopies = false;            // --copies bwf (default padded)
  bool exportCopies = false;         // --export-media copies (default original)
  bool driftCorrect = false;         // --drift-correct: copies on the reference's clock
  std::string storePath;             // --store FILE: the archive's feature store
};

// Fills options from the tool's long options (also in the --name=value form)
// and puts every other argument, argv[0] first, into rest in its original
// order. False with a one-line reason in error for a missing, empty or bad
// value.
bool splitToolOptions(int argc, const char* const* argv, ToolOptions& options,
                      std::vector<std::string>& rest, std::string& error);

// Largest --threads value accepted.
constexpr unsigned kMaxThreads = 256;

}  // namespace velktool

#endif
