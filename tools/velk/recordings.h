// The recordings of a folder: which files hold audio, how each is read, and
// their landmark extraction on several threads with repeatable results.
#ifndef VELK_TOOL_RECORDINGS_H
#define VELK_TOOL_RECORDINGS_H

#include <cstdint>
#include <string>
#include <vector>

#include "velk/landmark.h"
#include "velk/params.h"
#include "velk/progress.h"

namespace velktool {

enum class Route {
  Library,  // a WAV file at the extraction rate: the library reads it itself
  Media,    // anything else with an audio stream: decoded and resampled by the media layer
};

struct Recording {
  int32_t id = 0;        // position among the kept files, from 1
  std::string path;      // folder and file name, as handed to the library
  std::string fileName;  // without the folder
  std::string name;      // VkLandmarkExtract::baseName(path)
  Route route = Route::Library;
  bool wavReadable = false;  // an 8- or 16-bit WAV file the library's reader decodes exactly
  uint32_t sampleRate = 0;   // the file's own rate
  int channels = 0;
  double durationSeconds = 0;  // exact once extracted (from the samples actually read)
};

struct SkippedFile {
  std::string path;
  std::string reason;
  bool problem = false;  // a recording that could not be read, not just a file of another kind
};

struct Listing {
  std::vector<Recording> recordings;  // in file-name order, ids set
  std::vector<SkippedFile> skipped;
  std::vector<std::string> warnings;  // "PATH: what is odd about it", for standard error
};

// Lists folder (not its sub-folders, not hidden files) sorted by file name and
// sorts the files into recordings and skipped files. False with a one-line
// reason when the folder cannot be listed.
bool listFolder(const std::string& folder, uint32_t extractionRate, Listing& listing,
                std::string& error);

// Extracts every recording on up to threads threads, printing the library's
// "STARTING: " and "FEATURE EXTRACTION COMPLETE: " lines in id order, and
// gathers the results in a new file set (names and paths as runAll gives them).
// Recordings that fail are appended to failures and left out of the set.
Velk::VkFileSet* extractRecordings(std::vector<Recording>& recordings,
                                   const Velk::VkExtractParams& params, unsigned threads,
                                   ProgressDisplay& progress, std::vector<SkippedFile>& failures);

}  // namespace velktool

#endif
