#include "velktool/arguments.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "velk/frontend.h"
#include "velk/sync.h"

namespace velktool {

namespace {

using Velk::VkClusterSyncParams;
using Velk::VkExtractParams;

struct AnalysisOption {
  const char* name;
  bool clusterSync;  // parsed into the acceptance settings
  bool isFloat;      // held as a float (compared at float precision)
  double (*get)(VkExtractParams&, const VkClusterSyncParams&);
};

// clang-format off
const AnalysisOption kOptions[] = {
    {"-fftsize", false, false, [](VkExtractParams& e, const VkClusterSyncParams&) { return double(e.getFftSize()); }},
    {"-hopsize", false, false, [](VkExtractParams& e, const VkClusterSyncParams&) { return double(e.getHopSize()); }},
    {"-samplerate", false, false, [](VkExtractParams& e, const VkClusterSyncParams&) { return double(e.getSampleRate()); }},
    {"-maxpairsperpeak", false, false, [](VkExtractParams& e, const VkClusterSyncParams&) { return double(e.getMaxPairsPerPeak()); }},
    {"-freqrange", false, false, [](VkExtractParams& e, const VkClusterSyncParams&) { return double(e.freqRange); }},
    {"-timerange", false, false, [](VkExtractParams& e, const VkClusterSyncParams&) { return double(e.timeRange); }},
    {"-decayperframe", false, true, [](VkExtractParams& e, const VkClusterSyncParams&) { return Velk::shortestDouble(e.decayPerFrame); }},
    {"-peakwidth", false, true, [](VkExtractParams& e, const VkClusterSyncParams&) { return Velk::shortestDouble(e.peakWidth); }},
    {"-dbthreshold", false, true, [](VkExtractParams& e, const VkClusterSyncParams&) { return Velk::shortestDouble(e.dbThreshold); }},
    {"-maxpeaksperframe", false, false, [](VkExtractParams& e, const VkClusterSyncParams&) { return double(e.maxPeaksPerFrame); }},
    {"-peakdynrange", false, true, [](VkExtractParams& e, const VkClusterSyncParams&) { return Velk::shortestDouble(e.peakDynRange); }},
    {"-maxlandmarks", true, false, [](VkExtractParams&, const VkClusterSyncParams& c) { return double(c.getMaxLandmarks()); }},
    {"-accepttreshold", true, false, [](VkExtractParams&, const VkClusterSyncParams& c) { return double(c.getAcceptThreshold()); }},
    {"-mintemplatelength", true, true, [](VkExtractParams&, const VkClusterSyncParams& c) { return Velk::shortestDouble(c.getMinTemplateLength()); }},
    {"-minoverlaplength", true, true, [](VkExtractParams&, const VkClusterSyncParams& c) { return Velk::shortestDouble(c.getMinOverlapLength()); }},
    {"-minpercentmatch", true, true, [](VkExtractParams&, const VkClusterSyncParams& c) { return Velk::shortestDouble(c.getMinPercentMatch()); }},
};
// clang-format on

const AnalysisOption* findOption(const std::string& name) {
  for (const AnalysisOption& o : kOptions)
    if (name == o.name) return &o;
  return nullptr;
}

bool takesValue(const std::string& arg) {
  return arg == "-f" || arg == "-t" || arg == "-o" || findOption(arg) != nullptr;
}

// The number the user wrote, all of it; false for anything else.
bool strictNumber(const std::string& text, double& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return errno == 0 && end == text.c_str() + text.size() && std::isfinite(out);
}

std::string show(double v) {
  std::ostringstream s;
  s.precision(9);
  s << v;
  return s.str();
}

}  // namespace

ArgumentWalk walkDesignedArguments(const std::vector<std::string>& rest) {
  ArgumentWalk walk;
  const std::size_t n = rest.size();
  // The parser's own order: help words first, then a last word is dropped,
  // then known options take their value; an unknown word is passed alone.
  for (std::size_t i = 1; i < n; ++i) {
    const std::string& arg = rest[i];
    if (arg == "-h" || arg == "-help") continue;
    if (i + 1 == n) {
      if (takesValue(arg))
        walk.trailing = arg;
      else
        walk.unknown.push_back(arg);
      continue;
    }
    if (!takesValue(arg)) {
      walk.unknown.push_back(arg);
      continue;
    }
    walk.values.emplace_back(arg, rest[i + 1]);
    if (arg == "-f") walk.folder = rest[i + 1];
    ++i;
  }
  return walk;
}

std::vector<std::string> unusedArgumentWarnings(const ArgumentWalk& walk) {
  std::vector<std::string> out;
  for (const std::string& a : walk.unknown) out.push_back("unknown argument '" + a + "' ignored");
  if (!walk.trailing.empty())
    out.push_back("'" + walk.trailing + "' at the end has no value and was ignored");
  return out;
}

std::vector<std::string> refusedValueWarnings(const ArgumentWalk& walk,
                                              const VkExtractParams& extract,
                                              const VkClusterSyncParams& clusterSync) {
  std::vector<std::string> out;
  VkExtractParams finalExtract = extract;  // the getters are not all const
  // Each value goes through the designed option parser on a scratch record,
  // with its echo silenced, and the stored value is compared with the text.
  VkExtractParams e;
  VkClusterSyncParams c(e);
  std::streambuf* const coutBuffer = std::cout.rdbuf(nullptr);
  for (const auto& [name, value] : walk.values) {
    const AnalysisOption* o = findOption(name);
    if (o == nullptr) continue;
    int32_t index = 0;
    if (o->clusterSync)
      Velk::parseClusterSyncOption(index, name, value, c);
    else
      Velk::parseExtractOption(index, name, value, e);
    double meant = 0.0;
    const double stored = o->get(e, c);
    const bool taken =
        strictNumber(value, meant) &&
        (o->isFloat ? Velk::shortestDouble(static_cast<float>(meant)) == stored : meant == stored);
    if (!taken)
      out.push_back(name + " " + (value.empty() ? "''" : value) + " was not taken; " +
                    show(o->get(finalExtract, clusterSync)) + " is in force");
  }
  std::cout.rdbuf(coutBuffer);
  return out;
}

}  // namespace velktool
