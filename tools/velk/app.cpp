#include "velktool/app.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "velk/frontend.h"
#include "velk/params.h"
#include "velk/sync.h"
#include "velktool/export.h"
#include "velktool/export_adapter.h"
#include "velktool/fsutil.h"
#include "velktool/options.h"
#include "velktool/progress.h"
#include "velktool/report.h"
#include "velktool/sync_output.h"
#include "velktool/truth.h"

#ifndef VELK_VERSION
#define VELK_VERSION "unknown"
#endif

namespace velktool {

namespace {

void fail(const std::string& message) { std::cerr << "Velk: " << message << std::endl; }

// What one run was asked to do, from the command line.
struct Request {
  ToolOptions options;
  std::string folder, truthPath, outputPath;
  Velk::SyncSettings settings;
};

// Two minutes of audio per frame at 8 kHz: larger frames only cost memory and
// hours (each thread holds several frame-sized buffers) and locate nothing.
constexpr uint32_t kMaxToolFftSize = uint32_t{1} << 20;

bool checkFrames(const Velk::VkExtractParams& e) {
  if (e.getHopSize() > e.getFftSize()) {
    fail("the hop size (" + std::to_string(e.getHopSize()) + ") must not exceed the FFT size (" +
         std::to_string(e.getFftSize()) + ")");
    return false;
  }
  if (e.getFftSize() > kMaxToolFftSize) {
    fail("the FFT size (" + std::to_string(e.getFftSize()) +
         ") is larger than this tool supports (" + std::to_string(kMaxToolFftSize) + ")");
    return false;
  }
  return true;
}

// The designed command-line layer fills the two parameter records; the
// cluster-sync record it fills still has the default hop and rate, which the
// engine replaces by the final ones.
void parseDesigned(const std::vector<std::string>& rest, Request& req) {
  std::vector<const char*> args;
  for (const std::string& a : rest) args.push_back(a.c_str());
  Velk::VkClusterSyncParams parsed(req.settings.extract);
  Velk::parseArguments(static_cast<int32_t>(args.size()), args.data(), req.folder, req.truthPath,
                       req.outputPath, req.settings.extract, parsed);
  req.settings.clusterSync = parsed;
  req.settings.threads = req.options.threads;
  req.settings.refine = req.options.refine;
  req.settings.refinement.splitUnverified = !req.options.keepUnverified;
}

// Everything the engine says, where the tool's user expects it: the designed
// lines on standard output, the rest on standard error.
void connect(Velk::Synchronizer& sync, ProgressDisplay& progress) {
  sync.setMessageHandler([&progress](const Velk::SyncMessage& m) {
    if (m.kind == Velk::MessageKind::Designed) {
      progress.beforeOutput();
      std::cout << m.text << std::endl;
      return;
    }
    progress.clear();
    std::cerr << (m.kind == Velk::MessageKind::Warning ? "warning: " : "note: ") << m.text
              << std::endl;
  });
  if (progress.enabled())
    sync.setProgressHandler([&progress](const Velk::SyncProgress& p) {
      progress.show(p.stage + ": " + p.detail, p.fraction >= 1.0);
    });
}

void reportListing(const Velk::Listing& listing, int& status) {
  for (const std::string& w : listing.warnings) std::cerr << "warning: " << w << std::endl;
  for (const SkippedFile& s : listing.skipped) {
    std::cerr << (s.problem ? "Velk: cannot read " : "Velk: skipping ") << s.path << ": "
              << s.reason << std::endl;
    if (s.problem) status = std::max<int>(status, kExitPartial);
  }
}

// Two recordings of one name cannot be told apart in a truth file.
void warnSharedNames(const std::vector<Recording>& recordings) {
  std::map<std::string, std::string> seen;
  for (const Recording& r : recordings) {
    const auto prior = seen.find(r.name);
    if (prior != seen.end())
      std::cerr << "warning: " << prior->second << " and " << r.path << " share the name " << r.name
                << "; a truth file cannot tell them apart" << std::endl;
    else
      seen[r.name] = r.path;
  }
}

void evaluateAgainstTruth(const Request& req, const Truth& truth,
                          const std::vector<ClusterResult>& clusters, Evaluation& evaluation,
                          int& status) {
  evaluation = evaluate(truth, clusters);
  printEvaluation(std::cout, evaluation, req.truthPath);
  if (evaluation.missingFromResult.empty()) return;
  std::string names;
  for (const std::string& n : evaluation.missingFromResult)
    names += (names.empty() ? "" : ", ") + n;
  fail("the truth file names recordings that were not synced: " + names);
  status = std::max<int>(status, kExitPartial);
}

void writeJson(const Request& req, const Velk::SyncResult& result,
               const std::vector<SkippedFile>& skipped, const Evaluation* evaluation, int& status) {
  const Velk::VkClusterSyncParams syncParams = Velk::clusteringParams(req.settings);
  JsonInput in;
  in.clusters = &result.clusters;
  in.extract = req.settings.extract;
  in.clusterSync = &syncParams;
  in.refine = req.options.refine;
  in.skipped = &skipped;
  in.evaluation = evaluation;
  in.truthPath = req.truthPath;
  const std::string& path = req.options.jsonPath;
  std::string error;
  for (const Recording& r : result.recordings)
    if (canonicalPath(r.path) == canonicalPath(path)) {
      fail("refusing to write the JSON over input file " + path);
      status = std::max<int>(status, kExitJson);
      return;
    }
  if (!writeFileAtomically(path, renderJson(in), error)) {
    fail(error);
    status = std::max<int>(status, kExitJson);
  }
}

// Parses the command line; false with the exit status when the run ends here.
bool parseRequest(int argc, const char* const* argv, Request& req, int& status) {
  std::vector<std::string> rest;
  std::string error;
  status = kExitOk;
  if (!splitToolOptions(argc, argv, req.options, rest, error)) {
    fail(error);
    status = kExitUsage;
    return false;
  }
  if (req.options.help) {
    Velk::printHelp();
    printToolHelp();
    return false;
  }
  if (req.options.version) {
    std::cout << "Velk " << VELK_VERSION << std::endl;
    return false;
  }
  parseDesigned(rest, req);
  if (req.options.exportCopies && req.outputPath.empty()) {
    fail("--export-media copies needs -o (the copies to refer to)");
    status = kExitUsage;
    return false;
  }
  if (!checkFrames(req.settings.extract)) {
    status = kExitUsage;
    return false;
  }
  return true;
}

// The copies, then the timelines and the picture, which may refer to the copies.
void writeCopiesAndTimelines(const Request& req, const Truth* truth, const Velk::SyncResult& result,
                             int& status) {
  const ToolOptions& options = req.options;
  std::map<int32_t, const Recording*> byId;
  for (const Recording& r : result.recordings) byId[r.id] = &r;
  // Timelines, the picture and stamped copies need the members' facts and the rate.
  std::vector<ExportCluster> timeline;
  ExportSettings timing;
  if (!options.exports.empty() || !options.svgPath.empty() || options.bwfCopies) {
    timeline = exportClusters(result.clusters, byId, options.refine, truth);
    timing.fps = defaultFrameRate(timeline);
    if (!options.fps.empty()) parseFrameRate(options.fps, timing.fps);
    if (!options.timelineStart.empty() &&
        !parseTimecode(options.timelineStart, timing.fps, timing.startFrames)) {
      fail("--timeline-start " + options.timelineStart + " counts more frames than " +
           std::to_string(std::llround(timing.fps.value())) + " per second");
      status = std::max<int>(status, kExitExport);
      return;
    }
  }
  std::string error;
  std::map<int32_t, std::string> copies;
  if (!req.outputPath.empty()) {
    CopySettings copySettings;
    copySettings.bwf = options.bwfCopies;
    copySettings.timelineStart = timing.startSeconds();
    copySettings.written = &copies;
    if (!writeSynchronizedCopies(req.outputPath, req.folder, result.clusters, byId, error,
                                 copySettings)) {
      fail(error);
      status = std::max<int>(status, kExitOutput);
    }
  }
  if (options.exportCopies) useCopies(timeline, copies, !options.bwfCopies);
  std::vector<std::string> files = options.exports;
  if (!options.svgPath.empty()) files.push_back(options.svgPath);
  error.clear();
  if (!writeExports(files, timeline, timing, error)) {
    fail(error);
    status = std::max<int>(status, kExitExport);
  }
}

int finishRun(const Request& req, const Truth* truth, const Velk::Listing& listing,
              const Velk::SyncResult& result, int status) {
  printTable(std::cout, result.clusters, req.options.refine);
  Evaluation evaluation;
  if (truth != nullptr) evaluateAgainstTruth(req, *truth, result.clusters, evaluation, status);
  std::vector<SkippedFile> skipped = listing.skipped;
  skipped.insert(skipped.end(), result.failures.begin(), result.failures.end());
  if (!req.options.jsonPath.empty())
    writeJson(req, result, skipped, truth != nullptr ? &evaluation : nullptr, status);
  writeCopiesAndTimelines(req, truth, result, status);
  return status;
}

}  // namespace

void printToolHelp() {
  std::cout << "\n\nTOOL OPTIONS:\n\n"
               "--json <filepath>   Also write the clusters, the parameters and the evaluation\n"
               "                    as JSON (written to a temporary file, then renamed).\n"
               "--threads <n>       Extract and refine on n threads (default: one per\n"
               "                    processor). The result does not depend on n.\n"
               "--no-refine         Keep the landmark offsets; skip the waveform refinement\n"
               "                    (and so the check below).\n"
               "--keep-unverified   Members that correlate with nothing placed with their\n"
               "                    cluster's reference stay in the cluster at their landmark\n"
               "                    offsets, with a warning. By default they are split off:\n"
               "                    those that correlate with each other form a cluster of\n"
               "                    their own, the others one each. Members too short in\n"
               "                    common with the others to be compared always stay.\n"
               "--export <filepath> Also write the clusters as timelines for editors, one per\n"
               "                    cluster, each member on its own track at its offset: .otio\n"
               "                    (OpenTimelineIO), .xml (Final Cut Pro 7), .fcpxml, .mlt\n"
               "                    (Kdenlive, Shotcut) or .csv, by the extension. Repeatable.\n"
               "--fps <rate>        Frame rate of the frame-based timelines (25, 29.97,\n"
               "                    30000/1001; default: the first video's, else 25).\n"
               "--timeline-start <HH:MM:SS:FF>  Timecode at which the timelines (and the\n"
               "                    time stamps of BWF copies) start; default 00:00:00:00.\n"
               "--copies padded|bwf With -o: copies preceded by silence (padded, the\n"
               "                    default), or Broadcast WAV copies that carry their place\n"
               "                    as a time stamp instead (RF64 past 4 GB).\n"
               "--export-media original|copies  With -o and --export: timelines refer to\n"
               "                    the copies of audio files instead of the originals.\n"
               "--svg <filepath>    Also draw the clusters as a picture (SVG).\n"
               "--quiet             No progress display on standard error.\n"
               "--version           Print the version and exit.\n"
               "--help              Print this help and exit.\n\n"
               "EXIT STATUS:\n\n"
               "0 the sync ran and everything asked for was done; 1 bad command line;\n"
               "2 input folder missing or unreadable; 3 no usable recordings;\n"
               "4 some recordings unreadable or named in the truth but absent;\n"
               "5 truth file unreadable or malformed; 6 synchronized copies not written;\n"
               "7 JSON file not written; 8 timeline or picture not written.\n"
               "The highest applies.\n"
            << std::endl;
}

int runTool(int argc, const char* const* argv) {
  Request req;
  int status = kExitOk;
  if (!parseRequest(argc, argv, req, status)) return status;
  auto raise = [&status](int s) { status = std::max(status, s); };

  // The truth is read first so that a broken file is reported before a long run.
  Truth truth;
  std::string error;
  const bool haveTruth = !req.truthPath.empty() && loadTruth(req.truthPath, truth, error);
  if (!req.truthPath.empty() && !haveTruth) {
    fail(error);
    raise(kExitTruth);
  }
  Velk::Listing listing;
  if (!Velk::listFolder(req.folder, req.settings.extract.getSampleRate(), listing, error)) {
    fail(error);
    return kExitInputFolder;
  }
  reportListing(listing, status);
  if (listing.recordings.empty()) {
    fail("no usable recordings in " + req.folder);
    return kExitNoRecordings;
  }

  ProgressDisplay progress(!req.options.quiet && isatty(2) == 1);
  Velk::Synchronizer sync(req.settings);
  connect(sync, progress);
  const Velk::SyncResult result = sync.run(listing.recordings);
  progress.clear();
  for (const SkippedFile& f : result.failures) {
    fail("cannot read " + f.path + ": " + f.reason);
    raise(kExitPartial);
  }
  if (result.recordings.empty()) {
    fail("no usable recordings in " + req.folder);
    return kExitNoRecordings;
  }
  warnSharedNames(result.recordings);
  return finishRun(req, haveTruth ? &truth : nullptr, listing, result, status);
}

}  // namespace velktool
