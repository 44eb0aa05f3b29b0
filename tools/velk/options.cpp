#include "velktool/options.h"

#include <cctype>

#include "velktool/export.h"

namespace velktool {

namespace {

bool parseThreads(const std::string& text, unsigned& out) {
  if (text.empty() || text.size() > 4) return false;
  unsigned v = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v < 1 || v > kMaxThreads) return false;
  out = v;
  return true;
}

// Matches "--name" (value in the next argument) and "--name=value".
bool valueOption(const std::string& arg, const std::string& name, int& i, int argc,
                 const char* const* argv, std::string& value, bool& missing) {
  missing = false;
  if (arg == name) {
    if (i + 1 >= argc) {
      missing = true;
      return true;
    }
    value = argv[++i];
    missing = value.empty();  // --json '' would write nothing, silently
    return true;
  }
  if (arg.compare(0, name.size() + 1, name + "=") == 0) {
    value = arg.substr(name.size() + 1);
    missing = value.empty();
    return true;
  }
  return false;
}

}  // namespace

bool splitToolOptions(int argc, const char* const* argv, ToolOptions& options,
                      std::vector<std::string>& rest, std::string& error) {
  rest.clear();
  if (argc > 0) rest.emplace_back(argv[0]);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    bool missing = false;
    if (valueOption(arg, "--json", i, argc, argv, value, missing)) {
      if (missing) {
        error = "--json needs a file name";
        return false;
      }
      options.jsonPath = value;
    } else if (valueOption(arg, "--threads", i, argc, argv, value, missing)) {
      if (missing || !parseThreads(value, options.threads)) {
        error = "--threads needs a whole number from 1 to " + std::to_string(kMaxThreads);
        return false;
      }
    } else if (valueOption(arg, "--export", i, argc, argv, value, missing)) {
      ExportFormat format;
      if (missing || !exportFormatFor(value, format) || format == ExportFormat::Svg) {
        error = "--export needs a file name ending in .otio, .xml, .fcpxml, .mlt or .csv";
        return false;
      }
      options.exports.push_back(value);
    } else if (valueOption(arg, "--svg", i, argc, argv, value, missing)) {
      if (missing) {
        error = "--svg needs a file name";
        return false;
      }
      options.svgPath = value;
    } else if (valueOption(arg, "--fps", i, argc, argv, value, missing)) {
      FrameRate rate;
      if (missing || !parseFrameRate(value, rate)) {
        error = "--fps needs a frame rate such as 25, 29.97 or 30000/1001";
        return false;
      }
      options.fps = value;
    } else if (valueOption(arg, "--timeline-start", i, argc, argv, value, missing)) {
      if (missing || !timecodeSyntaxOk(value)) {
        error = "--timeline-start needs a timecode HH:MM:SS:FF";
        return false;
      }
      options.timelineStart = value;
    } else if (valueOption(arg, "--copies", i, argc, argv, value, missing)) {
      if (missing || (value != "padded" && value != "bwf")) {
        error = "--copies needs padded or bwf";
        return false;
      }
      options.bwfCopies = value == "bwf";
    } else if (valueOption(arg, "--export-media", i, argc, argv, value, missing)) {
      if (missing || (value != "original" && value != "copies")) {
        error = "--export-media needs original or copies";
        return false;
      }
      options.exportCopies = value == "copies";
    } else if (valueOption(arg, "--store", i, argc, argv, value, missing)) {
      if (missing) {
        error = "--store needs a file name";
        return false;
      }
      options.storePath = value;
    } else if (valueOption(arg, "--files", i, argc, argv, value, missing)) {
      if (missing) {
        error = "--files needs the name of a file that lists recordings";
        return false;
      }
      options.filesList = value;
    } else if (valueOption(arg, "--reference", i, argc, argv, value, missing)) {
      if (missing) {
        error = "--reference needs the name or path of a recording";
        return false;
      }
      options.reference = value;
    } else if (arg == "--") {
      options.files.assign(argv + i + 1, argv + argc);
      break;
    } else if (arg == "-r" || arg == "--recursive") {
      options.recursive = true;
    } else if (arg == "--no-refine") {
      options.refine = false;
    } else if (arg == "--drift-correct") {
      options.driftCorrect = true;
    } else if (arg == "--keep-unverified") {
      options.keepUnverified = true;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--help") {
      options.help = true;
    } else {
      rest.push_back(arg);
    }
  }
  return true;
}

}  // namespace velktool
