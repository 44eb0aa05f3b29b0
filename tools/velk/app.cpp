#include "velktool/app.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "velk/frontend.h"
#include "velk/params.h"
#include "velk/sync.h"
#include "velktool/arguments.h"
#include "velktool/export.h"
#include "velktool/export_adapter.h"
#include "velktool/fsutil.h"
#include "velktool/inputs.h"
#include "velktool/messages.h"
#include "velktool/options.h"
#include "velktool/progress.h"
#include "velktool/report.h"
#include "velktool/sync_output.h"
#include "velktool/targets.h"
#include "velktool/truth.h"

#ifndef VELK_VERSION
#define VELK_VERSION "unknown"
#endif

namespace velktool {

namespace {

void fail(const std::string& message) { error(message); }

// What one run was asked to do, from the command line.
struct Request {
  ToolOptions options;
  std::string folder, truthPath, outputPath;
  Velk::SyncSettings settings;
  std::vector<std::string> files;  // a file list instead of a folder
};

// An absolute cap on the frame: each thread holds several frame-sized buffers.
constexpr uint32_t kMaxToolFftSize = uint32_t{1} << 20;
// Frames longer than this much audio are refused: extraction time grows with
// the frame size and nothing gets located better (65536 samples at 8000 Hz).
constexpr double kMaxFrameSeconds = 8.192;
// Frames beyond half a second get a warning with the time they will cost.
constexpr double kWarnFrameSeconds = 0.512;
// Seconds of extraction per analysed frame and frame sample on one thread,
// measured on simulated sets (it grows about linearly with the frame size).
constexpr double kSecondsPerFrameSample = 4e-8;

bool checkFrames(const Velk::VkExtractParams& e) {
  if (e.getHopSize() > e.getFftSize()) {
    fail("the hop size (" + std::to_string(e.getHopSize()) + ") must not exceed the FFT size (" +
         std::to_string(e.getFftSize()) + ")");
    return false;
  }
  const double frameSeconds = static_cast<double>(e.getFftSize()) / e.getSampleRate();
  if (e.getFftSize() > kMaxToolFftSize || frameSeconds > kMaxFrameSeconds) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f s", frameSeconds);
    fail("the FFT size (" + std::to_string(e.getFftSize()) + ", " + buf + " at " +
         std::to_string(e.getSampleRate()) + " Hz) is larger than this tool accepts (at most " +
         std::to_string(kMaxToolFftSize) + " samples and 8.192 s of audio)");
    return false;
  }
  return true;
}

// The extraction time of a large frame, estimated before it is spent.
void warnLongExtraction(const Velk::VkExtractParams& e, const std::vector<Recording>& recordings,
                        unsigned threads) {
  const double frameSeconds = static_cast<double>(e.getFftSize()) / e.getSampleRate();
  if (frameSeconds <= kWarnFrameSeconds) return;
  double audio = 0.0;
  for (const Recording& r : recordings) audio += r.durationSeconds;
  const unsigned used =
      std::max(1u, std::min<unsigned>(threads != 0 ? threads : std::thread::hardware_concurrency(),
                                      static_cast<unsigned>(recordings.size())));
  auto estimate = [&](double fft) {
    return audio * e.getSampleRate() / e.getHopSize() * fft * kSecondsPerFrameSample / used;
  };
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "-fftsize %u is %.2f s of audio per frame, far more than landmarks need; "
                "extraction will take about %.0f s instead of about %.1f s at 512",
                e.getFftSize(), frameSeconds, estimate(e.getFftSize()), estimate(512));
  warning(buf);
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
  req.settings.storePath = req.options.storePath;
  req.settings.reference = req.options.reference;
  req.settings.channel = req.options.channel;
}

// Everything the engine says, where the tool's user expects it: the designed
// lines on standard output, the rest on standard error.
void connect(Velk::Synchronizer& sync, ProgressDisplay& progress, bool outputOnStderr) {
  sync.setMessageHandler([&progress, outputOnStderr](const Velk::SyncMessage& m) {
    if (m.kind == Velk::MessageKind::Designed) {
      if (outputOnStderr)
        progress.clear();
      else
        progress.beforeOutput();
      std::cout << m.text << std::endl;
      return;
    }
    if (m.kind == Velk::MessageKind::Warning)
      warning(m.text);
    else
      note(m.text);
  });
  if (progress.enabled())
    sync.setProgressHandler([&progress](const Velk::SyncProgress& p) {
      progress.show(p.stage + ": " + p.detail, p.fraction >= 1.0);
    });
}

void reportListing(const Velk::Listing& listing, int& status) {
  for (const std::string& w : listing.warnings) warning(w);
  for (const SkippedFile& s : listing.skipped) {
    if (s.problem) {
      warning("cannot read " + s.path + ": " + s.reason);
      status = std::max<int>(status, kExitPartial);
    } else if (s.reason != "hidden") {  // dot files are only listed in the JSON
      note("skipped " + s.path + ": " + s.reason);
    }
  }
}

// Two recordings of one name cannot be told apart in a truth file.
void warnSharedNames(const std::vector<Recording>& recordings) {
  std::map<std::string, std::string> seen;
  for (const Recording& r : recordings) {
    const auto prior = seen.find(r.name);
    if (prior != seen.end())
      warning(prior->second + " and " + r.path + " share the name " + r.name +
              "; a truth file cannot tell them apart");
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

// Where the JSON goes when it is "-": the real standard output, while every
// other line of standard output goes to standard error.
std::streambuf* g_jsonOut = nullptr;

void writeJson(const Request& req, const Velk::SyncResult& result,
               const std::vector<SkippedFile>& skipped, const Evaluation* evaluation, int& status) {
  const Velk::VkClusterSyncParams syncParams = Velk::clusteringParams(req.settings, result);
  JsonInput in;
  in.clusters = &result.clusters;
  in.extract = req.settings.extract;
  in.clusterSync = &syncParams;
  in.refine = req.options.refine;
  in.skipped = &skipped;
  in.evaluation = evaluation;
  in.truthPath = req.truthPath;
  const std::string& path = req.options.jsonPath;
  if (path == "-") {
    std::ostream out(g_jsonOut);
    out << renderJson(in) << std::flush;
    return;
  }
  std::string error;
  if (!writeFileAtomically(path, renderJson(in), error)) {
    fail("cannot write the JSON: " + error);
    status = std::max<int>(status, kExitJson);
  }
}

// What the recordings were read from, for messages.
std::string inputSource(const Request& req) {
  return req.folder.empty() ? "the files given" : req.folder;
}

bool hasFileList(const ToolOptions& o) { return !o.filesList.empty() || !o.files.empty(); }

// What the options ask for together, checked before any work; the file
// list read. False with the exit status when the run ends here.
bool checkRequest(Request& req, int& status) {
  std::string error;
  if (!checkFrames(req.settings.extract)) {
    status = kExitUsage;
    return false;
  }
  if (!req.options.storePath.empty() && !Velk::featureStoreAvailable()) {
    fail("--store: this build has no feature store (SQLite was not found when it was built)");
    status = kExitUsage;
    return false;
  }
  if (req.options.driftCorrect && req.outputPath.empty()) {
    fail("--drift-correct needs -o (the copies to correct)");
    status = kExitUsage;
    return false;
  }
  if (req.options.exportCopies && req.outputPath.empty()) {
    fail("--export-media copies needs -o (the copies to refer to)");
    status = kExitUsage;
    return false;
  }
  if (!req.options.filesList.empty() && !readFileList(req.options.filesList, req.files, error)) {
    fail(error);
    status = kExitInputFolder;
    return false;
  }
  req.files.insert(req.files.end(), req.options.files.begin(), req.options.files.end());
  return true;
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
  const ArgumentWalk walk = walkDesignedArguments(rest);
  const bool list = hasFileList(req.options);
  if (list && !walk.folder.empty()) {
    fail("give either -f FOLDER or a file list (--files LIST, paths after --), not both");
    status = kExitUsage;
    return false;
  }
  for (const std::string& w : unusedArgumentWarnings(walk)) warning(w);
  // Said here because the designed parser prints its own error on standard
  // output and ends the process.
  if (!list && walk.folder.empty())
    fail("no input folder given: name it with -f FOLDER (--help explains the options)");
  // With a file list the folder is taken as given, so the designed parser
  // does not end the run for want of -f; it prints exactly what it would.
  if (list) req.folder = "\n";
  parseDesigned(rest, req);
  if (list) req.folder.clear();
  // A limit the user chose is kept whatever the size of the run.
  for (const auto& option : walk.values)
    if (option.first == "-maxlandmarks") req.settings.corpusLimit = false;
  for (const std::string& w :
       refusedValueWarnings(walk, req.settings.extract, req.settings.clusterSync))
    warning(w);
  return checkRequest(req, status);
}

// The copies, then the timelines and the picture, which may refer to the copies.
void writeCopiesAndTimelines(const Request& req, const Truth* truth, const Velk::SyncResult& result,
                             ProgressDisplay& progress, int& status) {
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
    copySettings.driftCorrect = options.driftCorrect;
    copySettings.written = &copies;
    auto show = [&progress](std::size_t n, std::size_t total, uint64_t bytes) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "writing copies: %zu/%zu files, %.1f MB", n, total,
                    static_cast<double>(bytes) / 1e6);
      progress.show(buf, n == total);
    };
    if (!writeSynchronizedCopies(req.outputPath, req.folder, result.clusters, byId, error, show,
                                 copySettings)) {
      fail(error);
      status = std::max<int>(status, kExitOutput);
    }
    progress.clear();
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

// The paths of every input, for the checks of the files a run will write.
std::vector<std::string> inputPaths(const Velk::Listing& listing) {
  std::vector<std::string> paths;
  for (const Recording& r : listing.recordings) paths.push_back(r.path);
  return paths;
}

// Checks every target before any work; false with the status when one is refused.
bool checkTargets(const Request& req, const Velk::Listing& listing, int& status) {
  const std::vector<std::string> inputs = inputPaths(listing);
  if (!req.options.jsonPath.empty() && req.options.jsonPath != "-") {
    const std::string why = checkFileTarget(req.options.jsonPath, inputs);
    if (!why.empty()) {
      fail("cannot write the JSON to " + req.options.jsonPath + ": " + why);
      status = kExitJson;
      return false;
    }
  }
  if (!req.options.storePath.empty()) {
    const std::string why = checkFileTarget(req.options.storePath, inputs);
    if (!why.empty()) {
      fail("cannot keep the feature store in " + req.options.storePath + ": " + why);
      status = kExitUsage;
      return false;
    }
  }
  if (!req.outputPath.empty()) {
    const std::string why = checkFolderTarget(req.outputPath, req.folder);
    if (!why.empty()) {
      fail("cannot write copies to " + req.outputPath + ": " + why);
      status = kExitOutput;
      return false;
    }
  }
  std::vector<std::string> timelines = req.options.exports;
  if (!req.options.svgPath.empty()) timelines.push_back(req.options.svgPath);
  for (const std::string& path : timelines) {
    const std::string why = checkFileTarget(path, inputs);
    if (!why.empty()) {
      fail("cannot write " + path + ": " + why);
      status = kExitExport;
      return false;
    }
  }
  return true;
}

void reportLoners(const std::vector<ClusterResult>& clusters) {
  for (const ClusterResult& c : clusters)
    if (c.members.size() == 1 && !c.members.front().alone.empty())
      note(c.members.front().name + " is alone: " + c.members.front().alone);
}

int finishRun(const Request& req, const Truth* truth, const Velk::Listing& listing,
              const Velk::SyncResult& result, ProgressDisplay& progress, int status) {
  printTable(std::cout, result.clusters, req.options.refine);
  Evaluation evaluation;
  if (truth != nullptr) evaluateAgainstTruth(req, *truth, result.clusters, evaluation, status);
  reportLoners(result.clusters);
  std::vector<SkippedFile> skipped = listing.skipped;
  skipped.insert(skipped.end(), result.failures.begin(), result.failures.end());
  std::string done = "the analysis was complete";
  if (!req.options.jsonPath.empty()) {
    writeJson(req, result, skipped, truth != nullptr ? &evaluation : nullptr, status);
    if (req.options.jsonPath != "-") done += "; the JSON was written to " + req.options.jsonPath;
  }
  setInterruptSummary(done + "; no copy written yet");
  writeCopiesAndTimelines(req, truth, result, progress, status);
  setInterruptSummary("");
  return status;
}

// With --json - only the JSON goes to standard output; found before the
// designed parser echoes anything.
void moveOutputForJson(int argc, const char* const* argv, std::streambuf* stdoutBuffer) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") break;
    if ((a == "--json" && i + 1 < argc && std::string(argv[i + 1]) == "-") || a == "--json=-") {
      g_jsonOut = stdoutBuffer;
      std::cout.rdbuf(std::cerr.rdbuf());
      break;
    }
  }
}

// The truth is read first so that a broken file is reported before a long run.
bool readTruth(const Request& req, Truth& truth, int& status) {
  std::string error;
  const bool haveTruth = !req.truthPath.empty() && loadTruth(req.truthPath, truth, error);
  if (!req.truthPath.empty() && !haveTruth) {
    fail(error);
    status = std::max<int>(status, kExitTruth);
  }
  return haveTruth;
}

// The recordings to read; false with the status when there are none.
bool listInputs(const Request& req, Velk::Listing& listing, int& status) {
  const uint32_t rate = req.settings.extract.getSampleRate();
  std::string error;
  if (req.folder.empty()) {
    Velk::listFiles(req.files, rate, listing);
  } else if (!listInputFolder(req.folder, req.options.recursive, rate, listing, error)) {
    fail(error);
    status = kExitInputFolder;
    return false;
  }
  reportListing(listing, status);
  if (listing.recordings.empty()) {
    fail("no usable recordings in " + inputSource(req));
    status = kExitNoRecordings;
    return false;
  }
  return true;
}

// Runs the sync with its lines and progress on display, then reports what
// could not be read. False, with the reason said, when the engine refuses the
// settings or stops on a fault of its own.
bool runSync(const Request& req, const Velk::Listing& listing, ProgressDisplay& progress,
             Velk::SyncResult& result, int& status) {
  Velk::Synchronizer sync(req.settings);
  connect(sync, progress, g_jsonOut != nullptr);
  try {
    result = sync.run(listing.recordings);
  } catch (const std::invalid_argument& e) {  // a --reference that names no input
    setInterruptSummary("");
    setMessageDisplay(nullptr);
    fail(e.what());
    status = kExitUsage;
    return false;
  } catch (const std::exception& e) {  // a fault of the engine: said, not an abort
    setInterruptSummary("");
    setMessageDisplay(nullptr);
    fail(std::string("the sync stopped on an internal error: ") + e.what());
    status = kExitInternal;
    return false;
  }
  progress.clear();
  for (const SkippedFile& f : result.failures) {
    warning("cannot read " + f.path + ": " + f.reason);
    status = std::max<int>(status, kExitPartial);
  }
  return true;
}

// What the tool does beyond the designed text, and how it reads and runs.
void printToolReading() {
  std::cout << "\n\nWHAT THIS TOOL ACTUALLY DOES (where the text above says otherwise):\n\n"
               "- It reads every file of the folder (with -r, of its sub-folders too) that\n"
               "  holds sound: WAV at any rate or depth, MP3, AAC/M4A, FLAC, Ogg/Opus, the\n"
               "  sound of MP4/MOV/MKV videos... Other rates are resampled to -samplerate.\n"
               "- Input files are never modified. -o writes new 16-bit WAV copies, one\n"
               "  folder per cluster, each starting with silence for its offset; a re-run\n"
               "  into the same folder replaces the previous run's copies.\n"
               "- Names in a truth file are file names without their extension (with -r,\n"
               "  paths relative to the folder).\n"
               "- Messages of the tool go to standard error as 'Velk: error|warning|note:';\n"
               "  the table after the CLUSTER lines is the final, verified result.\n"
               "\n\nTOOL OPTIONS:\n\n"
               "--json <filepath>   Also write the clusters, the parameters, the reason each\n"
               "                    lone recording is alone, the skipped files and the\n"
               "                    evaluation as JSON; '-' writes it to standard output\n"
               "                    and moves every other line to standard error.\n"
               "-r, --recursive     Also read the sub-folders of the folder.\n"
               "--files <list>      Read the recordings named in this file, one a line,\n"
               "                    instead of a folder (so does: -- path path ...).\n"
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
               "--reference <name>  The cluster holding this recording (a name, file name\n"
               "                    or path) is placed on its clock: offsets are how much\n"
               "                    later each member starts than it (negative: earlier),\n"
               "                    drifts are against it. Other clusters keep their\n"
               "                    earliest member at 0; copies and timelines start at it.\n"
               "--channel auto|mix|<n>  Which channel of a file with several to analyse:\n"
               "                    auto (default) the one that carries the event (of the\n"
               "                    channels with sound, the one with most landmarks, or\n"
               "                    one of other sound that matches another recording\n"
               "                    clearly better), mix their mean, n the n-th (from 1).\n";
}

// What the tool writes, and its exit status.
void printToolWriting() {
  std::cout << "--export <filepath> Also write the clusters as timelines for editors, one per\n"
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
               "--drift-correct     With -o: each copy is resampled onto the clock of its\n"
               "                    cluster's reference where its drift was measured, so\n"
               "                    that copies stay together to their ends, not only at\n"
               "                    their starts (same rate and length give or take drift).\n"
               "--export-media original|copies  With -o and --export: timelines refer to\n"
               "                    the copies of audio files instead of the originals.\n"
               "--svg <filepath>    Also draw the clusters as a picture (SVG).\n"
               "--store <filepath>  Keep the recordings' landmarks in this file (SQLite) and\n"
               "                    read them back on later runs: only new or changed files\n"
               "                    are extracted, and files gone from disk are forgotten.\n"
               "                    The result is the same as without it.\n"
               "--quiet             No progress display and no notes on standard error.\n"
               "--version           Print the version and exit.\n"
               "--help              Print this help and exit.\n\n"
               "EXIT STATUS:\n\n"
               "0 the sync ran and everything asked for was done; 1 bad command line;\n"
               "2 input folder or file list missing or unreadable; 3 no usable recordings;\n"
               "4 some recordings unreadable or named in the truth but absent;\n"
               "5 truth file unreadable or malformed; 6 synchronized copies refused or not\n"
               "written; 7 JSON file refused or not written; 8 timeline or picture not\n"
               "written. The highest applies.\n"
            << std::endl;
}

}  // namespace

void printToolHelp() {
  printToolReading();
  printToolWriting();
}

int runTool(int argc, const char* const* argv) {
  Request req;
  int status = kExitOk;
  // Standard output reaches a file or pipe line by line, so a stopped run keeps what it printed.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  std::streambuf* const stdoutBuffer = std::cout.rdbuf();
  moveOutputForJson(argc, argv, stdoutBuffer);
  struct RestoreStdout {
    std::streambuf* buffer;
    ~RestoreStdout() { std::cout.rdbuf(buffer); }
  } restore{stdoutBuffer};
  if (!parseRequest(argc, argv, req, status)) return status;
  muteNotes(req.options.quiet);
  Truth truth;
  const bool haveTruth = readTruth(req, truth, status);
  Velk::Listing listing;
  if (!listInputs(req, listing, status)) return status;
  if (!checkTargets(req, listing, status)) return status;
  warnLongExtraction(req.settings.extract, listing.recordings, req.options.threads);

  ProgressDisplay progress(!req.options.quiet && isatty(2) == 1);
  setMessageDisplay(&progress);
  setInterruptSummary("the analysis had not finished; nothing was written");
  Velk::SyncResult result;
  if (!runSync(req, listing, progress, result, status)) return status;
  if (result.recordings.empty()) {
    setInterruptSummary("");
    setMessageDisplay(nullptr);
    fail("no usable recordings in " + inputSource(req));
    return kExitNoRecordings;
  }
  warnSharedNames(result.recordings);
  status = finishRun(req, haveTruth ? &truth : nullptr, listing, result, progress, status);
  setMessageDisplay(nullptr);
  return status;
}

}  // namespace velktool
