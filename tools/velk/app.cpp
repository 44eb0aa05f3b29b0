#include "velk/app.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "velk/alignment.h"
#include "velk/cluster.h"
#include "velk/frontend.h"
#include "velk/fsutil.h"
#include "velk/options.h"
#include "velk/params.h"
#include "velk/progress.h"
#include "velk/recordings.h"
#include "velk/report.h"
#include "velk/sync_output.h"
#include "velk/sync_result.h"
#include "velk/truth.h"
#include "velktool/export.h"
#include "velktool/export_adapter.h"

#ifndef VELK_VERSION
#define VELK_VERSION "unknown"
#endif

namespace velktool {

namespace {

// The front end fills the cluster-sync record next to the extraction record, so
// it still has the default hop and rate; clustering must see the final ones.
Velk::VkClusterSyncParams rebuild(const Velk::VkExtractParams& e,
                                  const Velk::VkClusterSyncParams& parsed) {
  Velk::VkClusterSyncParams p(e);
  p.setMinPercentMatch(parsed.getMinPercentMatch());
  p.setMinOverlapLength(parsed.getMinOverlapLength());
  p.setMinTemplateLength(parsed.getMinTemplateLength());
  p.setMaxLandmarks(parsed.getMaxLandmarks());
  p.setAcceptThreshold(parsed.getAcceptThreshold());
  return p;
}

void fail(const std::string& message) { std::cerr << "Velk: " << message << std::endl; }

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
  ToolOptions options;
  std::vector<std::string> rest;
  std::string error;
  if (!splitToolOptions(argc, argv, options, rest, error)) {
    fail(error);
    return kExitUsage;
  }
  if (options.help) {
    Velk::printHelp();
    printToolHelp();
    return kExitOk;
  }
  if (options.version) {
    std::cout << "Velk " << VELK_VERSION << std::endl;
    return kExitOk;
  }

  std::vector<const char*> args;
  for (const std::string& a : rest) args.push_back(a.c_str());
  std::string folder, truthPath, outputPath;
  Velk::VkExtractParams extract;
  Velk::VkClusterSyncParams parsedSync(extract);
  Velk::parseArguments(static_cast<int32_t>(args.size()), args.data(), folder, truthPath,
                       outputPath, extract, parsedSync);
  const Velk::VkClusterSyncParams syncParams = rebuild(extract, parsedSync);
  if (options.exportCopies && outputPath.empty()) {
    fail("--export-media copies needs -o (the copies to refer to)");
    return kExitUsage;
  }
  if (extract.getHopSize() > extract.getFftSize()) {
    fail("the hop size (" + std::to_string(extract.getHopSize()) +
         ") must not exceed the FFT size (" + std::to_string(extract.getFftSize()) + ")");
    return kExitUsage;
  }
  // Two minutes of audio per frame at 8 kHz: larger frames only cost memory and
  // hours (each thread holds several frame-sized buffers) and locate nothing.
  constexpr uint32_t kMaxToolFftSize = uint32_t{1} << 20;
  if (extract.getFftSize() > kMaxToolFftSize) {
    fail("the FFT size (" + std::to_string(extract.getFftSize()) +
         ") is larger than this tool supports (" + std::to_string(kMaxToolFftSize) + ")");
    return kExitUsage;
  }

  unsigned threads = options.threads;
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  ProgressDisplay progress(!options.quiet && isatty(2) == 1);
  int status = kExitOk;
  auto raise = [&status](int s) { status = std::max(status, s); };

  // The truth is read first so that a broken file is reported before a long run.
  Truth truth;
  bool haveTruth = false;
  if (!truthPath.empty()) {
    haveTruth = loadTruth(truthPath, truth, error);
    if (!haveTruth) {
      fail(error);
      raise(kExitTruth);
    }
  }

  Listing listing;
  if (!listFolder(folder, extract.getSampleRate(), listing, error)) {
    fail(error);
    return kExitInputFolder;
  }
  for (const std::string& w : listing.warnings) std::cerr << "warning: " << w << std::endl;
  for (const SkippedFile& s : listing.skipped) {
    std::cerr << (s.problem ? "Velk: cannot read " : "Velk: skipping ") << s.path << ": "
              << s.reason << std::endl;
    if (s.problem) raise(kExitPartial);
  }
  if (listing.recordings.empty()) {
    fail("no usable recordings in " + folder);
    return kExitNoRecordings;
  }

  std::vector<SkippedFile> failures;
  Velk::VkFileSet* fileSet =
      extractRecordings(listing.recordings, extract, threads, progress, failures);
  for (const SkippedFile& f : failures) {
    fail("cannot read " + f.path + ": " + f.reason);
    raise(kExitPartial);
  }
  if (fileSet->getFiles().empty()) {
    delete fileSet;
    fail("no usable recordings in " + folder);
    return kExitNoRecordings;
  }
  std::map<std::string, std::string> seenNames;
  std::map<int32_t, const Recording*> byId;
  for (const Recording& r : listing.recordings) {
    if (fileSet->getFiles().count(r.id) == 0) continue;
    byId[r.id] = &r;
    const auto prior = seenNames.find(r.name);
    if (prior != seenNames.end())
      std::cerr << "warning: " << prior->second << " and " << r.path << " share the name " << r.name
                << "; a truth file cannot tell them apart" << std::endl;
    else
      seenNames[r.name] = r.path;
  }

  Velk::VkClusterSync sync(syncParams);
  ClusterProgress clusterProgress(progress);
  Velk::VkClusterSet* result = sync.run(fileSet, progress.enabled() ? &clusterProgress : nullptr);
  progress.clear();
  Velk::printClusters(result);
  std::vector<ClusterResult> clusters = orderClusters(*result, fileSet->idToPath);
  Velk::deleteClusters(result);

  if (options.refine) {
    RefineSettings settings;
    // Three hops each way covers the landmark offsets' error with room to spare.
    settings.searchSeconds = 3.0 * extract.getHopSize() / extract.getSampleRate();
    settings.threads = threads;
    settings.splitUnverified = !options.keepUnverified;
    refineClusters(clusters, byId, settings, progress);
  }
  printTable(std::cout, clusters, options.refine);

  Evaluation evaluation;
  if (haveTruth) {
    evaluation = evaluate(truth, clusters);
    printEvaluation(std::cout, evaluation, truthPath);
    if (!evaluation.missingFromResult.empty()) {
      std::string names;
      for (const std::string& n : evaluation.missingFromResult)
        names += (names.empty() ? "" : ", ") + n;
      fail("the truth file names recordings that were not synced: " + names);
      raise(kExitPartial);
    }
  }

  std::vector<SkippedFile> skipped = listing.skipped;
  skipped.insert(skipped.end(), failures.begin(), failures.end());
  if (!options.jsonPath.empty()) {
    JsonInput in;
    in.clusters = &clusters;
    in.extract = extract;
    in.clusterSync = &syncParams;
    in.refine = options.refine;
    in.skipped = &skipped;
    in.evaluation = haveTruth ? &evaluation : nullptr;
    in.truthPath = truthPath;
    bool isInput = false;
    for (const auto& kv : byId)
      isInput = isInput || canonicalPath(kv.second->path) == canonicalPath(options.jsonPath);
    if (isInput) {
      fail("refusing to write the JSON over input file " + options.jsonPath);
      raise(kExitJson);
    } else if (!writeFileAtomically(options.jsonPath, renderJson(in), error)) {
      fail(error);
      raise(kExitJson);
    }
  }

  // Timelines, the picture and stamped copies need the members' facts and the rate.
  std::vector<ExportCluster> timeline;
  ExportSettings timing;
  bool timingOk = true;
  if (!options.exports.empty() || !options.svgPath.empty() || options.bwfCopies) {
    timeline = exportClusters(clusters, byId, options.refine, haveTruth ? &truth : nullptr);
    timing.fps = defaultFrameRate(timeline);
    if (!options.fps.empty()) parseFrameRate(options.fps, timing.fps);
    if (!options.timelineStart.empty() &&
        !parseTimecode(options.timelineStart, timing.fps, timing.startFrames)) {
      fail("--timeline-start " + options.timelineStart + " counts more frames than " +
           std::to_string(std::llround(timing.fps.value())) + " per second");
      timingOk = false;
      raise(kExitExport);
    }
  }

  std::map<int32_t, std::string> copies;
  if (!outputPath.empty() && timingOk) {
    CopySettings copySettings;
    copySettings.bwf = options.bwfCopies;
    copySettings.timelineStart = timing.startSeconds();
    copySettings.written = &copies;
    if (!writeSynchronizedCopies(outputPath, folder, clusters, byId, error, copySettings)) {
      fail(error);
      raise(kExitOutput);
    }
  }
  if (timingOk && options.exportCopies) useCopies(timeline, copies, !options.bwfCopies);
  std::vector<std::string> pictures = options.exports;
  if (!options.svgPath.empty()) pictures.push_back(options.svgPath);
  error.clear();
  if (timingOk && !writeExports(pictures, timeline, timing, error)) {
    fail(error);
    raise(kExitExport);
  }
  delete fileSet;
  return status;
}

}  // namespace velktool
