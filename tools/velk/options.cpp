#include "velktool/options.h"

#include <cctype>
#include <string>
#include <vector>

#include "velk/media.h"
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

// auto, mix, or a channel counted from 1 (at most 16, as files hold).
bool parseChannel(const std::string& text, int& out) {
  if (text == "auto" || text == "mix") {
    out = text == "auto" ? Velk::kAutoChannel : Velk::kMixChannels;
    return true;
  }
  unsigned n = 0;
  if (!parseThreads(text, n) || n > 16) return false;
  out = static_cast<int>(n) - 1;
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

// An option that takes a value: a text kept as given in field, or one that
// take checks and stores (false: refused); and what it says when the value is
// missing or refused.
struct ValueOption {
  const char* name;
  std::string need;
  std::string ToolOptions::*field = nullptr;
  bool (*take)(const std::string& value, ToolOptions& options) = nullptr;
};

const std::vector<ValueOption>& valueOptions() {
  using O = ToolOptions;
  static const std::vector<ValueOption> table = {
      {"--json", "--json needs a file name", &O::jsonPath},
      {"--threads", "--threads needs a whole number from 1 to " + std::to_string(kMaxThreads),
       nullptr, [](const std::string& v, O& o) { return parseThreads(v, o.threads); }},
      {"--export", "--export needs a file name ending in .otio, .xml, .fcpxml, .mlt or .csv",
       nullptr,
       [](const std::string& v, O& o) {
         ExportFormat format;
         if (!exportFormatFor(v, format) || format == ExportFormat::Svg) return false;
         o.exports.push_back(v);
         return true;
       }},
      {"--svg", "--svg needs a file name", &O::svgPath},
      {"--fps", "--fps needs a frame rate such as 25, 29.97 or 30000/1001", &O::fps,
       [](const std::string& v, O&) {
         FrameRate rate;
         return parseFrameRate(v, rate);
       }},
      {"--timeline-start", "--timeline-start needs a timecode HH:MM:SS:FF", &O::timelineStart,
       [](const std::string& v, O&) { return timecodeSyntaxOk(v); }},
      {"--copies", "--copies needs padded or bwf", nullptr,
       [](const std::string& v, O& o) {
         if (v != "padded" && v != "bwf") return false;
         o.bwfCopies = v == "bwf";
         return true;
       }},
      {"--export-media", "--export-media needs original or copies", nullptr,
       [](const std::string& v, O& o) {
         if (v != "original" && v != "copies") return false;
         o.exportCopies = v == "copies";
         return true;
       }},
      {"--store", "--store needs a file name", &O::storePath},
      {"--files", "--files needs the name of a file that lists recordings", &O::filesList},
      {"--reference", "--reference needs the name or path of a recording", &O::reference},
      {"--channel", "--channel needs auto, mix or a channel number from 1 to 16", nullptr,
       [](const std::string& v, O& o) { return parseChannel(v, o.channel); }},
  };
  return table;
}

// Takes value for o: checked first when o checks, then kept in its field.
bool takeValue(const ValueOption& o, const std::string& value, ToolOptions& options) {
  if (o.take != nullptr && !o.take(value, options)) return false;
  if (o.field != nullptr) options.*o.field = value;
  return true;
}

// Options without a value and the switch each sets.
struct FlagOption {
  const char* name;
  bool ToolOptions::*field;
  bool value;
};

const FlagOption kFlagOptions[] = {
    {"-r", &ToolOptions::recursive, true},
    {"--recursive", &ToolOptions::recursive, true},
    {"--no-refine", &ToolOptions::refine, false},
    {"--keep-unverified", &ToolOptions::keepUnverified, true},
    {"--drift-correct", &ToolOptions::driftCorrect, true},
    {"--quiet", &ToolOptions::quiet, true},
    {"--version", &ToolOptions::version, true},
    {"--help", &ToolOptions::help, true},
};

// The value option at argv[i], taking its value (from the next argument when
// not given with '='). Null when arg is not one.
const ValueOption* takeValueOption(const std::string& arg, int& i, int argc,
                                   const char* const* argv, ToolOptions& options, bool& taken) {
  for (const ValueOption& o : valueOptions()) {
    std::string value;
    bool missing = false;
    if (valueOption(arg, o.name, i, argc, argv, value, missing)) {
      taken = !missing && takeValue(o, value, options);
      return &o;
    }
  }
  return nullptr;
}

bool takeFlag(const std::string& arg, ToolOptions& options) {
  for (const FlagOption& f : kFlagOptions) {
    if (arg == f.name) {
      options.*f.field = f.value;
      return true;
    }
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
    bool taken = false;
    if (const ValueOption* o = takeValueOption(arg, i, argc, argv, options, taken)) {
      if (!taken) {
        error = o->need;
        return false;
      }
    } else if (arg == "--") {
      options.files.assign(argv + i + 1, argv + argc);
      break;
    } else if (!takeFlag(arg, options)) {
      rest.push_back(arg);
    }
  }
  return true;
}

}  // namespace velktool
