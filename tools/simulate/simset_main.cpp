// velk_simset: writes a simulated set of recordings and its truth.xml.
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include "simulate.h"

namespace {

const char kUsage[] =
    "usage: velk_simset --out DIR [--events N] [--devices N|MIN-MAX] [--unrelated N]\n"
    "                   [--seconds S|MIN-MAX] [--snr DB] [--rate HZ] [--channels N]\n"
    "                   [--seed N] [--no-reverb]\n"
    "       velk_simset --out DIR --hard small|large [--seed N] [--rate HZ]\n"
    "  --hard writes the hard material: chained events, drifting clocks, an hour-long\n"
    "  recorder with clips, loops, a song shared by two events and its studio file,\n"
    "  lavaliers on channel 2, a paused recording, 0-25 dB SNR, AAC and MP3 (ffmpeg).\n";

// "N" or "MIN-MAX".
template <typename T>
bool parseRange(const std::string& text, T& lo, T& hi) {
  try {
    std::size_t used = 0;
    const double a = std::stod(text, &used);
    double b = a;
    if (used < text.size()) {
      if (text[used] != '-') return false;
      std::size_t used2 = 0;
      b = std::stod(text.substr(used + 1), &used2);
      if (used + 1 + used2 != text.size()) return false;
    }
    if (b < a) return false;
    lo = static_cast<T>(a);
    hi = static_cast<T>(b);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

enum class OptionResult { kTaken, kBadValue, kUnknown };

// What the command line asks for.
struct Request {
  velksim::SetSettings cfg;
  std::string out, hard;
};

// One option that takes a value.
OptionResult readOption(const std::string& opt, const std::string& val, Request& req) {
  velksim::SetSettings& cfg = req.cfg;
  bool ok = true;
  double d = 0, unused = 0;
  if (opt == "--out") {
    req.out = val;
  } else if (opt == "--hard") {
    req.hard = val;
    ok = req.hard == "small" || req.hard == "large";
  } else if (opt == "--events") {
    ok = parseRange(val, d, unused) && d >= 0;
    cfg.events = static_cast<int>(d);
  } else if (opt == "--devices") {
    ok = parseRange(val, cfg.minDevices, cfg.maxDevices) && cfg.minDevices >= 1;
  } else if (opt == "--unrelated") {
    ok = parseRange(val, d, unused) && d >= 0;
    cfg.unrelated = static_cast<int>(d);
  } else if (opt == "--seconds") {
    ok = parseRange(val, cfg.minSeconds, cfg.maxSeconds) && cfg.minSeconds > 0;
  } else if (opt == "--snr") {
    ok = parseRange(val, cfg.snrDb, unused);
  } else if (opt == "--rate") {
    ok = parseRange(val, d, unused) && d >= 1000 && d <= 384000;
    cfg.sampleRate = static_cast<uint32_t>(d);
  } else if (opt == "--channels") {
    ok = parseRange(val, cfg.channels, cfg.channels) && cfg.channels >= 1 && cfg.channels <= 2;
  } else if (opt == "--seed") {
    ok = parseRange(val, d, unused) && d >= 0;
    cfg.seed = static_cast<uint32_t>(d);
  } else {
    return OptionResult::kUnknown;
  }
  return ok ? OptionResult::kTaken : OptionResult::kBadValue;
}

// 0, or the exit status after saying what is wrong.
int readArguments(int argc, char** argv, Request& req) {
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--no-reverb") {
      req.cfg.reverb = false;
      continue;
    }
    if (i + 1 >= argc) {
      std::cerr << "missing value for " << opt << "\n" << kUsage;
      return 2;
    }
    const std::string val = argv[++i];
    const OptionResult result = readOption(opt, val, req);
    if (result == OptionResult::kUnknown) {
      std::cerr << "unknown option " << opt << "\n" << kUsage;
      return 2;
    }
    if (result == OptionResult::kBadValue) {
      std::cerr << "bad value for " << opt << ": " << val << "\n" << kUsage;
      return 2;
    }
  }
  if (req.out.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  return 0;
}

velksim::Truth writeSet(const Request& req) {
  if (req.hard.empty()) return velksim::generateSet(req.cfg, req.out);
  velksim::HardSettings hardSettings = velksim::hardPreset(req.hard);
  hardSettings.seed = req.cfg.seed;
  // The hard presets have their own rate, unless --rate chose another.
  hardSettings.sampleRate = req.cfg.sampleRate == velksim::SetSettings().sampleRate
                                ? hardSettings.sampleRate
                                : req.cfg.sampleRate;
  return velksim::generateHardSet(hardSettings, req.out);
}

}  // namespace

int main(int argc, char** argv) {
  Request req;
  if (const int status = readArguments(argc, argv, req)) return status;
  try {
    const velksim::Truth truth = writeSet(req);
    velksim::writeTruthXml(truth, req.out + "/truth.xml");
    std::size_t files = 0;
    for (const auto& c : truth.clusters) files += c.recordings.size();
    std::cout << "wrote " << files << " recordings in " << truth.clusters.size()
              << " clusters and truth.xml to " << req.out << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "velk_simset: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
