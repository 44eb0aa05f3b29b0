// What every exporter shares (rates, timecodes, URLs, positions), the OTIO and
// CSV writers, and the choice of format by extension.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <numeric>
#include <sstream>

#include "velktool/export.h"

namespace velktool {

namespace {

using nlohmann::json;

bool allDigits(const std::string& s) {
  return !s.empty() && s.size() <= 9 &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Timecode counts whole frames per second at the nominal rate (30 for 29.97).
int64_t nominalRate(const FrameRate& r) { return std::max<int64_t>(1, std::llround(r.value())); }

json rationalTime(double value, double rate) {
  return {{"OTIO_SCHEMA", "RationalTime.1"}, {"rate", rate}, {"value", value}};
}

json timeRange(double start, double duration, double rate) {
  return {{"OTIO_SCHEMA", "TimeRange.1"},
          {"start_time", rationalTime(start, rate)},
          {"duration", rationalTime(duration, rate)}};
}

json composable(const char* schema, const std::string& name) {
  return {{"OTIO_SCHEMA", schema},      {"name", name},
          {"metadata", json::object()}, {"effects", json::array()},
          {"markers", json::array()},   {"enabled", true}};
}

json memberMetadata(const ExportMember& m) {
  json v = {{"id", m.id},
            {"offset_seconds", m.offset},
            {"refined", m.refined},
            {"verified", m.verified},
            {"confidence", m.confidence}};
  if (m.driftKnown) v["drift_ppm"] = m.driftPpm;
  if (!m.notes.empty()) v["notes"] = m.notes;
  return {{"velk", v}};
}

// One track holding the member alone: a gap up to its place, then the whole file,
// both counted in the file's own samples so that the place is exact.
json otioTrack(const ExportCluster& c, const ExportMember& m, bool video) {
  const double rate = m.sampleRate;
  const double place = std::llround(timelinePosition(c, m) * rate);
  const double length = std::llround(m.durationSeconds * rate);
  json track = composable("Track.1", m.name);
  track["kind"] = video ? "Video" : "Audio";
  track["source_range"] = nullptr;
  track["children"] = json::array();
  if (place > 0) {
    json gap = composable("Gap.1", "");
    gap["source_range"] = timeRange(0, place, rate);
    track["children"].push_back(gap);
  }
  json ref = {
      {"OTIO_SCHEMA", "ExternalReference.1"}, {"name", m.name},
      {"target_url", fileUrl(m.path)},        {"available_range", timeRange(0, length, rate)},
      {"available_image_bounds", nullptr},    {"metadata", json::object()}};
  json clip = composable("Clip.2", m.name);
  clip["metadata"] = memberMetadata(m);
  clip["source_range"] = timeRange(0, length, rate);
  clip["media_references"] = {{"DEFAULT_MEDIA", ref}};
  clip["active_media_reference_key"] = "DEFAULT_MEDIA";
  track["children"].push_back(clip);
  return track;
}

std::string csvField(const std::string& s) {
  if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
  std::string q = "\"";
  for (char ch : s) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
  return q + "\"";
}

}  // namespace

bool exportFormatFor(const std::string& path, ExportFormat& format) {
  const auto dot = path.find_last_of('.');
  const auto slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  const std::string ext = lower(path.substr(dot + 1));
  static const std::pair<const char*, ExportFormat> kinds[] = {
      {"otio", ExportFormat::Otio}, {"xml", ExportFormat::Fcp7}, {"fcpxml", ExportFormat::Fcpxml},
      {"mlt", ExportFormat::Mlt},   {"csv", ExportFormat::Csv},  {"svg", ExportFormat::Svg}};
  for (const auto& k : kinds) {
    if (ext == k.first) {
      format = k.second;
      return true;
    }
  }
  return false;
}

bool parseFrameRate(const std::string& text, FrameRate& rate) {
  FrameRate r;
  const auto slash = text.find('/');
  const auto dot = text.find('.');
  if (slash != std::string::npos) {
    const std::string n = text.substr(0, slash), d = text.substr(slash + 1);
    if (!allDigits(n) || !allDigits(d)) return false;
    r.num = std::stoll(n);
    r.den = std::stoll(d);
  } else if (dot != std::string::npos) {
    // 23.976, 29.97 and 59.94 mean the 1000/1001 rates; other decimals are taken as written.
    const std::string w = text.substr(0, dot), f = text.substr(dot + 1);
    if (!allDigits(w) || !allDigits(f) || f.size() > 3) return false;
    const int64_t scale = f.size() == 1 ? 100 : f.size() == 2 ? 10 : 1;
    const int64_t milli = std::stoll(w) * 1000 + std::stoll(f) * scale;
    const int64_t nominal = (milli * 1001 + 500000) / 1000000;
    if (nominal > 0 && std::llabs(nominal * 1000000 / 1001 - milli) <= 1) {
      r.num = nominal * 1000;
      r.den = 1001;
    } else {
      r.num = milli;
      r.den = 1000;
    }
  } else {
    if (!allDigits(text)) return false;
    r.num = std::stoll(text);
    r.den = 1;
  }
  if (r.num <= 0 || r.den <= 0 || r.value() > 1000.0 || r.value() < 1.0) return false;
  const int64_t g = std::gcd(r.num, r.den);
  rate = {r.num / g, r.den / g};
  return true;
}

bool timecodeSyntaxOk(const std::string& text) {
  int64_t frames = 0;
  return parseTimecode(text, FrameRate{1000, 1}, frames);
}

bool parseTimecode(const std::string& text, const FrameRate& rate, int64_t& frames) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string p; std::getline(in, p, ':');) parts.push_back(p);
  if (parts.size() != 4 || text.back() == ':') return false;
  int64_t v[4];
  for (int i = 0; i < 4; ++i) {
    if (parts[static_cast<std::size_t>(i)].size() != 2 && !(i == 0 && parts[0].size() == 1))
      return false;
    if (!allDigits(parts[static_cast<std::size_t>(i)])) return false;
    v[i] = std::stoll(parts[static_cast<std::size_t>(i)]);
  }
  const int64_t fps = nominalRate(rate);
  if (v[1] >= 60 || v[2] >= 60 || v[3] >= fps) return false;
  frames = ((v[0] * 60 + v[1]) * 60 + v[2]) * fps + v[3];
  return true;
}

std::string formatTimecode(int64_t frames, const FrameRate& rate) {
  const int64_t fps = nominalRate(rate);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld:%02lld",
                static_cast<long long>(frames / (fps * 3600)),
                static_cast<long long>(frames / (fps * 60) % 60),
                static_cast<long long>(frames / fps % 60), static_cast<long long>(frames % fps));
  return buf;
}

FrameRate defaultFrameRate(const std::vector<ExportCluster>& clusters) {
  for (const ExportCluster& c : clusters)
    for (const ExportMember& m : c.members)
      if (m.hasVideo && m.videoRate.num > 0 && m.videoRate.den > 0) {
        const int64_t g = std::gcd(m.videoRate.num, m.videoRate.den);
        return {m.videoRate.num / g, m.videoRate.den / g};
      }
  return FrameRate{};
}

std::string fileUrl(const std::string& absolutePath) {
  static const char* hex = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char ch : absolutePath) {
    if (std::isalnum(ch) != 0 || ch == '/' || ch == '-' || ch == '.' || ch == '_' || ch == '~') {
      url += static_cast<char>(ch);
    } else {
      url += '%';
      url += hex[ch >> 4];
      url += hex[ch & 15];
    }
  }
  return url;
}

double timelinePosition(const ExportCluster& cluster, const ExportMember& member) {
  double first = member.offset;
  for (const ExportMember& m : cluster.members) first = std::min(first, m.offset);
  return member.offset - first;
}

std::string renderOtio(const std::vector<ExportCluster>& clusters, const ExportSettings& s) {
  json timelines = json::array();
  for (const ExportCluster& c : clusters) {
    json stack = composable("Stack.1", "tracks");
    stack["source_range"] = nullptr;
    stack["children"] = json::array();
    // Pictures above sounds, as editors lay tracks out.
    for (const ExportMember& m : c.members)
      if (m.hasVideo) stack["children"].push_back(otioTrack(c, m, true));
    for (const ExportMember& m : c.members) stack["children"].push_back(otioTrack(c, m, false));
    json t = {
        {"OTIO_SCHEMA", "Timeline.1"},
        {"name", c.name + " (" + c.reference + ")"},
        {"metadata", {{"velk", {{"cluster", c.name}, {"reference", c.reference}}}}},
        {"global_start_time", rationalTime(static_cast<double>(s.startFrames), s.fps.value())},
        {"tracks", stack}};
    timelines.push_back(t);
  }
  // A file holds one object: the timeline itself, or a collection of them.
  if (timelines.size() == 1) return timelines[0].dump(2) + "\n";
  json all = {{"OTIO_SCHEMA", "SerializableCollection.1"},
              {"name", "Velk"},
              {"metadata", json::object()},
              {"children", timelines}};
  return all.dump(2) + "\n";
}

std::string renderCsv(const std::vector<ExportCluster>& clusters) {
  std::string out =
      "cluster,reference,name,path,offset_seconds,offset_samples,sample_rate,drift_ppm,refined,"
      "verified,confidence,notes\n";
  for (const ExportCluster& c : clusters) {
    for (const ExportMember& m : c.members) {
      const double place = timelinePosition(c, m);
      char numbers[160];
      std::snprintf(numbers, sizeof numbers, "%.9f,%lld,%u,", place,
                    static_cast<long long>(std::llround(place * m.sampleRate)), m.sampleRate);
      std::string drift;
      if (m.driftKnown) {
        char d[32];
        std::snprintf(d, sizeof d, "%.3f", m.driftPpm);
        drift = d;
      }
      char confidence[32];
      std::snprintf(confidence, sizeof confidence, "%.2f", m.confidence);
      out += csvField(c.name) + "," + csvField(c.reference) + "," + csvField(m.name) + "," +
             csvField(m.path) + "," + numbers + drift + "," + (m.refined ? "yes" : "no") + "," +
             (m.verified ? "yes" : "no") + "," + confidence + "," + csvField(m.notes) + "\n";
    }
  }
  return out;
}

std::string renderExport(ExportFormat format, const std::vector<ExportCluster>& clusters,
                         const ExportSettings& s) {
  switch (format) {
    case ExportFormat::Otio:
      return renderOtio(clusters, s);
    case ExportFormat::Fcp7:
      return renderFcp7(clusters, s);
    case ExportFormat::Fcpxml:
      return renderFcpxml(clusters, s);
    case ExportFormat::Mlt:
      return renderMlt(clusters, s);
    case ExportFormat::Csv:
      return renderCsv(clusters);
    case ExportFormat::Svg:
      return renderSvg(clusters);
  }
  return {};
}

}  // namespace velktool
