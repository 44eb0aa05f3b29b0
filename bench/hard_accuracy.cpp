// Accuracy of the Velk program on the simulator's hard material: chained
// events with short overlaps, drifting clocks (up to 1000 ppm), an hour-long
// recorder with clips, loops, a song shared by two events with its studio file,
// lavaliers on channel 2, a paused recording, 0-25 dB SNR, AAC and MP3.
//
//   hard_accuracy_bench [--preset small|harsh|large] [--seed N] [--velk PATH]
//                       [--dir DIR] [--threads N] [--paused-first N] [--verbose]
//
// The set is generated (the small one takes two to three minutes), the program
// runs on it with --json, and the result is scored pair by pair. --dir keeps
// the set and reuses it when it was made with the same preset and seed.
// --paused-first adds N events that a paused recording starts.
//
// Offsets and drifts are compared on the timeline of a reference clock: for
// the members of one true cluster found together, the one among them that
// starts first (the truth's reference when the whole cluster is found). A
// paused recording counts as handled when the JSON gives its parts (a "parts"
// array of {file_seconds, offset}) within 10 ms of the truth, or when a note
// names it and speaks of its parts; a channel-2 recording when it is placed
// with its event within 10 ms, or a note names it and its channel.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "simulate.h"

namespace {

namespace fs = std::filesystem;

double secondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string item; std::getline(in, item, sep);)
    if (!item.empty()) out.push_back(item);
  return out;
}

// The hard set's truth.xml, with the attributes the tool's own reader skips.
velksim::Truth readTruth(const std::string& path) {
  pugi::xml_document doc;
  if (!doc.load_file(path.c_str())) throw std::runtime_error("cannot read " + path);
  velksim::Truth truth;
  for (pugi::xml_node c : doc.child("truth").children("cluster")) {
    velksim::TruthCluster cluster;
    for (pugi::xml_node r : c.children("recording")) {
      velksim::TruthRecording t;
      t.name = r.attribute("name").value();
      t.offset = r.attribute("offset").as_double();
      t.ext = r.attribute("ext").as_string("wav");
      t.hasDrift = !r.attribute("clock_ppm").empty();
      t.clockPpm = r.attribute("clock_ppm").as_double();
      t.driftPpm = r.attribute("drift_ppm").as_double();
      t.channel = r.attribute("channel").as_int();
      for (const std::string& p : split(r.attribute("parts").value(), ' ')) {
        const std::size_t colon = p.find(':');
        t.parts.push_back({std::stod(p.substr(0, colon)), std::stod(p.substr(colon + 1))});
      }
      t.conditions = split(r.attribute("conditions").value(), ',');
      cluster.recordings.push_back(t);
    }
    truth.clusters.push_back(cluster);
  }
  return truth;
}

struct Found {
  std::size_t cluster;
  double offset;
  bool hasDrift;
  double driftPpm;
  nlohmann::json parts;
};

struct True {
  std::size_t cluster;
  const velksim::TruthRecording* rec;
};

struct ConditionTally {
  std::size_t truePairs = 0, correct = 0, wrong = 0, in1ms = 0, in10ms = 0;
};

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

std::string percent(std::size_t part, std::size_t whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", whole ? 100.0 * double(part) / double(whole) : 0.0);
  return text;
}

// Lines of the program's output that name a recording.
bool noted(const std::vector<std::string>& notes, const std::string& name, const char* topic) {
  for (const std::string& line : notes) {
    const std::size_t at = line.find(name);
    if (at == std::string::npos) continue;
    const std::size_t end = at + name.size();
    if (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) continue;
    if (line.find(topic) != std::string::npos) return true;
  }
  return false;
}

// Where a truth offset lies on the timeline of member ref (drifts relative to
// the truth's reference, as the tool reports them).
double onTimelineOf(const velksim::TruthRecording& m, const velksim::TruthRecording& ref) {
  return (m.offset - ref.offset) / (1.0 + ref.driftPpm * 1e-6);
}

int score(const velksim::Truth& truth, const nlohmann::json& result,
          const std::vector<std::string>& notes, bool verbose) {
  std::map<std::string, True> truthOf;
  std::vector<std::string> label(truth.clusters.size());
  for (std::size_t c = 0; c < truth.clusters.size(); ++c) {
    for (const auto& r : truth.clusters[c].recordings) truthOf[r.name] = {c, &r};
    const auto& conds = truth.clusters[c].recordings.front().conditions;
    label[c] = (conds.empty()             ? "event"
                : conds.front() == "clip" ? "long"
                                          : conds.front()) +
               "#" + std::to_string(c + 1);
  }
  std::map<std::string, Found> found;
  std::map<std::size_t, std::string> clockOf;  // the member whose clock a cluster follows
  std::size_t index = 0;
  for (const auto& c : result.at("clusters")) {
    if (c.contains("reference") && c.at("reference").is_string())
      clockOf[index] = c.at("reference").get<std::string>();
    for (const auto& m : c.at("members")) {
      const std::string name = m.at("name").get<std::string>();
      const bool drift = m.contains("drift_ppm") && !m.at("drift_ppm").is_null();
      found[name] = {index, m.at("offset").get<double>(), drift,
                     drift ? m.at("drift_ppm").get<double>() : 0.0,
                     m.contains("parts") ? m.at("parts") : nlohmann::json()};
    }
    ++index;
  }
  // Recordings the program did not place count as alone.
  for (const auto& kv : truthOf)
    if (found.count(kv.first) == 0) found[kv.first] = {index++, 0.0, false, 0.0, {}};

  // Groups: the members of one true cluster found together, and their reference.
  std::map<std::pair<std::size_t, std::size_t>, const velksim::TruthRecording*> refOf;
  for (const auto& kv : truthOf) {
    const auto key = std::make_pair(found[kv.first].cluster, kv.second.cluster);
    const auto it = refOf.find(key);
    if (it == refOf.end() || kv.second.rec->offset < it->second->offset) refOf[key] = kv.second.rec;
  }
  // Where the cluster says whose clock it follows, and that member belongs to
  // the group, the group is scored on that clock.
  for (auto& kv : refOf) {
    const auto clock = clockOf.find(kv.first.first);
    if (clock == clockOf.end()) continue;
    const auto t = truthOf.find(clock->second);
    if (t != truthOf.end() && t->second.cluster == kv.first.second) kv.second = t->second.rec;
  }

  std::size_t truePairs = 0, foundPairs = 0, correct = 0, in1 = 0, in10 = 0;
  std::vector<double> errors;
  std::map<std::string, ConditionTally> byCondition;
  std::vector<std::string> names;
  for (const auto& kv : truthOf) names.push_back(kv.first);
  for (std::size_t i = 0; i < names.size(); ++i)
    for (std::size_t j = i + 1; j < names.size(); ++j) {
      const True& ta = truthOf[names[i]];
      const True& tb = truthOf[names[j]];
      const Found& fa = found[names[i]];
      const Found& fb = found[names[j]];
      const bool together = ta.cluster == tb.cluster, placed = fa.cluster == fb.cluster;
      truePairs += together;
      foundPairs += placed;
      std::set<std::string> conds(ta.rec->conditions.begin(), ta.rec->conditions.end());
      conds.insert(tb.rec->conditions.begin(), tb.rec->conditions.end());
      for (const std::string& c : conds) {
        byCondition[c].truePairs += together;
        byCondition[c].wrong += placed && !together;
      }
      if (!(together && placed)) continue;
      ++correct;
      const velksim::TruthRecording& ref = *refOf[{fa.cluster, ta.cluster}];
      const double want = onTimelineOf(*tb.rec, ref) - onTimelineOf(*ta.rec, ref);
      const double err = std::fabs((fb.offset - fa.offset) - want);
      errors.push_back(err);
      in1 += err <= 0.001 + 1e-9;
      in10 += err <= 0.010 + 1e-9;
      for (const std::string& c : conds) {
        ++byCondition[c].correct;
        byCondition[c].in1ms += err <= 0.001 + 1e-9;
        byCondition[c].in10ms += err <= 0.010 + 1e-9;
      }
      if (verbose && err > 0.001)
        std::printf("  off by %.2f ms: %s and %s (%s)\n", 1000 * err, names[i].c_str(),
                    names[j].c_str(), label[ta.cluster].c_str());
    }
  const double precision = foundPairs ? double(correct) / double(foundPairs) : 1.0;
  const double recall = truePairs ? double(correct) / double(truePairs) : 1.0;
  const double f1 = precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0.0;
  std::printf("pairs: true %zu, found %zu, correct %zu\n", truePairs, foundPairs, correct);
  std::printf("F1 %.3f  precision %.3f  recall %.3f\n", f1, precision, recall);
  std::sort(errors.begin(), errors.end());
  std::printf("offsets of %zu correct pairs: within 1 ms %s, within 10 ms %s", correct,
              percent(in1, correct).c_str(), percent(in10, correct).c_str());
  if (!errors.empty())
    std::printf(", median error %.3f ms, max %.3f s", 1000 * median(errors), errors.back());
  std::printf("\n");

  // Drift of every member found with its cluster's reference, on that reference's clock.
  std::vector<double> driftErrors;
  std::size_t driftMissing = 0;
  for (const auto& kv : truthOf) {
    const Found& f = found[kv.first];
    const velksim::TruthRecording& ref = *refOf[{f.cluster, kv.second.cluster}];
    if (&ref == kv.second.rec) continue;
    if (!f.hasDrift) {
      ++driftMissing;
      if (verbose) std::printf("  no drift for %s\n", kv.first.c_str());
      continue;
    }
    const double want =
        ((1.0 + kv.second.rec->driftPpm * 1e-6) / (1.0 + ref.driftPpm * 1e-6) - 1.0) * 1e6;
    driftErrors.push_back(std::fabs(f.driftPpm - want));
    if (verbose && driftErrors.back() > 2.0)
      std::printf("  drift of %s: %.2f ppm, truth %.2f ppm\n", kv.first.c_str(), f.driftPpm, want);
  }
  std::printf("drift: %zu members with drift_ppm", driftErrors.size());
  if (!driftErrors.empty())
    std::printf(
        ", error median %.2f ppm, max %.2f ppm, within 2 ppm %s", median(driftErrors),
        *std::max_element(driftErrors.begin(), driftErrors.end()),
        percent(static_cast<std::size_t>(std::count_if(driftErrors.begin(), driftErrors.end(),
                                                       [](double e) { return e <= 2.0; })),
                driftErrors.size())
            .c_str());
  std::printf("; %zu placed members without one\n", driftMissing);

  // Events merged: every true cluster beyond the first in a found cluster.
  std::map<std::size_t, std::set<std::size_t>> eventsIn;
  for (const auto& kv : truthOf) eventsIn[found[kv.first].cluster].insert(kv.second.cluster);
  std::size_t merged = 0;
  std::string which;
  for (const auto& kv : eventsIn) {
    if (kv.second.size() < 2) continue;
    merged += kv.second.size() - 1;
    std::string names;
    for (std::size_t c : kv.second) names += (names.empty() ? "" : "+") + label[c];
    which += " " + names;
  }
  std::printf("events wrongly merged: %zu%s\n", merged, which.c_str());

  // Paused and channel-2 recordings.
  std::size_t paused = 0, pausedOk = 0, lavaliers = 0, lavaliersOk = 0;
  std::string missed;
  std::vector<double> cutErrors;  // seconds between a found cut and the true one, in the file
  for (const auto& kv : truthOf) {
    const velksim::TruthRecording& r = *kv.second.rec;
    const Found& f = found[kv.first];
    if (!r.parts.empty()) {
      ++paused;
      if (f.parts.is_array() && f.parts.size() == r.parts.size())
        for (std::size_t p = 1; p < r.parts.size(); ++p)
          cutErrors.push_back(
              std::fabs(f.parts[p].value("file_seconds", 0.0) - r.parts[p].fileSeconds));
      bool ok = noted(notes, r.name, "part");
      if (!ok && f.parts.is_array() && f.parts.size() == r.parts.size()) {
        const velksim::TruthRecording& ref = *refOf[{f.cluster, kv.second.cluster}];
        ok = true;
        for (std::size_t p = 0; p < r.parts.size(); ++p) {
          velksim::TruthRecording part = r;
          part.offset = r.parts[p].offset;
          const double shift = f.parts[p].value("offset", 0.0) - f.offset;
          ok = ok && std::fabs(shift - (onTimelineOf(part, ref) - onTimelineOf(r, ref))) <= 0.010;
        }
      }
      pausedOk += ok;
      if (!ok) missed += " " + r.name + " (paused)";
    }
    if (r.channel > 0) {
      ++lavaliers;
      bool ok = noted(notes, r.name, "channel");
      for (const auto& other : truthOf) {
        if (ok) break;
        const Found& g = found[other.first];
        if (other.first == kv.first || other.second.cluster != kv.second.cluster ||
            g.cluster != f.cluster)
          continue;
        const velksim::TruthRecording& ref = *refOf[{f.cluster, kv.second.cluster}];
        const double want = onTimelineOf(r, ref) - onTimelineOf(*other.second.rec, ref);
        ok = std::fabs((f.offset - g.offset) - want) <= 0.010;
      }
      lavaliersOk += ok;
      if (!ok) missed += " " + r.name + " (channel 2)";
    }
  }
  std::printf(
      "paused recordings placed or reported: %zu of %zu; channel-2 recordings: %zu of %zu%s%s\n",
      pausedOk, paused, lavaliersOk, lavaliers, missed.empty() ? "" : "; missed:", missed.c_str());
  if (!cutErrors.empty())
    std::printf("paused cuts found: %zu, error max %.3f s\n", cutErrors.size(),
                *std::max_element(cutErrors.begin(), cutErrors.end()));

  std::printf("by condition (pairs with at least one such recording):\n");
  std::printf("  %-12s %6s %8s %8s %9s %9s\n", "condition", "true", "recall", "false", "<=1 ms",
              "<=10 ms");
  for (const auto& [name, t] : byCondition) {
    std::printf("  %-12s %6zu %8s %8zu %9s %9s\n", name.c_str(), t.truePairs,
                t.truePairs ? percent(t.correct, t.truePairs).c_str() : "-", t.wrong,
                percent(t.in1ms, t.correct).c_str(), percent(t.in10ms, t.correct).c_str());
  }
  return 0;
}

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

int main(int argc, char** argv) {
  std::string preset = "small", velk, dir, threads;
  uint32_t seed = 1;
  bool verbose = false;
  int pausedFirst = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--preset" && i + 1 < argc) {
      preset = argv[++i];
    } else if (a == "--seed" && i + 1 < argc) {
      seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--velk" && i + 1 < argc) {
      velk = argv[++i];
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--threads" && i + 1 < argc) {
      threads = argv[++i];
    } else if (a == "--paused-first" && i + 1 < argc) {
      pausedFirst = std::atoi(argv[++i]);
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      std::cerr
          << "usage: hard_accuracy_bench [--preset small|harsh|large] [--seed N] [--velk PATH]\n"
             "                           [--dir DIR] [--threads N] [--paused-first N]\n"
             "                           [--verbose]\n";
      return 2;
    }
  }
  if (velk.empty()) velk = (fs::path(argv[0]).parent_path() / "Velk").string();
  if (!fs::exists(velk)) {
    std::cerr << "hard_accuracy_bench: no program at " << velk << " (give --velk PATH)\n";
    return 2;
  }
  try {
    velksim::HardSettings hardSettings = velksim::hardPreset(preset);
    hardSettings.seed = seed;
    hardSettings.pausedFirst = pausedFirst;
    const bool temporary = dir.empty();
    if (temporary) {
      std::string pattern = (fs::temp_directory_path() / "velk-hard-XXXXXX").string();
      if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
      dir = pattern;
    }
    const std::string set = dir + "/set", stamp = dir + "/settings";
    const std::string settings =
        preset + " " + std::to_string(seed) +
        (pausedFirst > 0 ? " paused-first " + std::to_string(pausedFirst) : "") + "\n";
    std::string previous;
    {
      std::ifstream in(stamp);
      std::getline(in, previous);
    }
    velksim::Truth truth;
    auto t0 = std::chrono::steady_clock::now();
    double audio = 0;  // seconds; truth.xml does not hold the lengths, the stamp does
    if (previous + "\n" == settings && fs::exists(set + "/truth.xml")) {
      truth = readTruth(set + "/truth.xml");
      std::ifstream in(stamp);
      std::getline(in, previous);
      in >> audio;
      std::printf("hard set %s, seed %u: reused from %s\n", preset.c_str(), seed, set.c_str());
    } else {
      fs::remove_all(set);
      truth = velksim::generateHardSet(hardSettings, set);
      velksim::writeTruthXml(truth, set + "/truth.xml");
      for (const auto& c : truth.clusters)
        for (const auto& r : c.recordings)
          audio += r.samples / static_cast<double>(hardSettings.sampleRate);
      std::ofstream(stamp) << settings << audio << "\n";
      std::printf("hard set %s, seed %u: generated in %.0f s\n", preset.c_str(), seed,
                  secondsSince(t0));
    }
    std::size_t files = 0;
    for (const auto& c : truth.clusters) files += c.recordings.size();
    std::printf("%zu recordings, %.1f h of audio, %zu true clusters\n", files, audio / 3600.0,
                truth.clusters.size());

    const std::string json = dir + "/result.json", log = dir + "/velk.log";
    const std::string cmd = quote(velk) + " -f " + quote(set) + " --json " + quote(json) +
                            (threads.empty() ? "" : " --threads " + threads) + " > " + quote(log) +
                            " 2>&1";
    t0 = std::chrono::steady_clock::now();
    const int status = std::system(cmd.c_str());
    std::printf("Velk --json: %.1f s (exit %d)\n", secondsSince(t0),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::ifstream in(json);
    if (!in) throw std::runtime_error("no JSON result; see " + log);
    const nlohmann::json result = nlohmann::json::parse(in);
    std::vector<std::string> notes;
    std::ifstream logIn(log);
    for (std::string line; std::getline(logIn, line);)
      if (line.find("warning") != std::string::npos || line.find("note") != std::string::npos)
        notes.push_back(line);
    const int rc = score(truth, result, notes, verbose);
    if (temporary) fs::remove_all(dir);
    return rc;
  } catch (const std::exception& e) {
    std::cerr << "hard_accuracy_bench: " << e.what() << "\n";
    return 1;
  }
}
