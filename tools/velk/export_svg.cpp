// A picture of a sync result: one lane per cluster, each member a bar from its
// place for its length, clusters of one listed apart below.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "velktool/export.h"

namespace velktool {

namespace {

constexpr double kWidth = 1200;
constexpr double kLabels = 250;  // left column for the names
constexpr double kRight = 30;
constexpr double kRow = 16;
constexpr double kTop = 64;

std::string esc(const std::string& s) {
  std::string out;
  for (char ch : s) {
    switch (ch) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += ch;
    }
  }
  return out;
}

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

std::string clock(double seconds, bool fraction) {
  const long long whole = static_cast<long long>(std::floor(seconds));
  char buf[48];
  if (whole >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", whole / 60, whole % 60);
  std::string out = buf;
  if (fraction) {
    std::snprintf(buf, sizeof buf, "%.3f", seconds - static_cast<double>(whole));
    out += buf + 1;  // ".xyz"
  }
  return out;
}

// A tick step that gives about ten ticks over span seconds.
double tickStep(double span) {
  static const double steps[] = {1,   2,   5,    10,   15,   30,    60,    120,  300,
                                 600, 900, 1800, 3600, 7200, 14400, 28800, 86400};
  for (double s : steps)
    if (span / s <= 12) return s;
  return 86400;
}

std::string hover(const ExportCluster& c, const ExportMember& m) {
  std::string t = m.name + "\nplace " + clock(timelinePosition(c, m), true) + ", length " +
                  clock(m.durationSeconds, true);
  if (m.name == c.reference)
    t += "\nthe reference";
  else
    t += m.verified ? "\nverified by correlation" : "\nnot verified (landmark offset)";
  if (m.driftKnown) {
    char d[48];
    std::snprintf(d, sizeof d, "\ndrift %+.2f ppm", m.driftPpm);
    t += d;
  }
  if (m.truthDisagrees) t += "\nthe truth places it elsewhere";
  if (!m.notes.empty()) t += "\n" + m.notes;
  return esc(t);
}

// Baseline of a row's text below its top, and the space after a lane.
constexpr double kTextBaseline = 11.5;
constexpr double kLaneGap = 10;
// Columns of the list of recordings that match nothing.
constexpr int kAloneColumns = 4;
// Width of one entry of the legend.
constexpr double kLegendEntry = 130;
// A little over the span, so that a tick at its very end is drawn.
constexpr double kTickSlack = 1e-9;

// Where the bars go: x0 is time 0, scale pixels per second.
struct Scale {
  double x0, x1, scale;
};

// A cluster's title and lane, one bar per member; y moves below it.
std::string clusterLane(const ExportCluster& c, const Scale& sc, double& y) {
  std::string body = "<text x=\"10\" y=\"" + num(y + 12) + "\" class=\"lane\">" + esc(c.name) +
                     "</text><text x=\"" + num(sc.x0) + "\" y=\"" + num(y + 12) +
                     "\" class=\"note\">" + std::to_string(c.members.size()) +
                     " recordings, placed against " + esc(c.reference) + "</text>\n";
  y += kRow + 2;
  const double laneTop = y;
  std::string bars;
  for (const ExportMember& m : c.members) {
    const double x = sc.x0 + timelinePosition(c, m) * sc.scale;
    const double w = std::max(1.0, m.durationSeconds * sc.scale);
    const char* kind = m.name == c.reference ? "ref" : m.verified ? "ok" : "unverified";
    bars += "<g><title>" + hover(c, m) + "</title><text x=\"" + num(sc.x0 - 8) + "\" y=\"" +
            num(y + kTextBaseline) + "\" class=\"name\">" + esc(m.name) + "</text><rect x=\"" +
            num(x) + "\" y=\"" + num(y + 2) + "\" width=\"" + num(w) + "\" height=\"" +
            num(kRow - 4) + "\" class=\"" + kind + (m.truthDisagrees ? " wrong" : "") + "\"/>";
    if (m.truthDisagrees)
      bars += "<text x=\"" + num(x + w + 4) + "\" y=\"" + num(y + kTextBaseline) +
              "\" class=\"wrongtext\">truth: elsewhere</text>";
    bars += "</g>\n";
    y += kRow;
  }
  body += "<rect x=\"4\" y=\"" + num(laneTop - 1) + "\" width=\"" + num(kWidth - 8) +
          "\" height=\"" + num(y - laneTop + 2) + "\" class=\"lanebg\"/>\n" + bars;
  y += kLaneGap;
  return body;
}

// The time axis and the grid over the lanes down to laneBottom.
std::string timeAxis(double span, const Scale& sc, double laneBottom) {
  const double step = tickStep(span);
  std::string axis = "<line x1=\"" + num(sc.x0) + "\" y1=\"" + num(kTop - 8) + "\" x2=\"" +
                     num(sc.x1) + "\" y2=\"" + num(kTop - 8) + "\" class=\"axis\"/>\n";
  for (double t = 0; t <= span + kTickSlack; t += step) {
    const double x = sc.x0 + t * sc.scale;
    axis += "<line x1=\"" + num(x) + "\" y1=\"" + num(kTop - 12) + "\" x2=\"" + num(x) +
            "\" y2=\"" + num(laneBottom) + "\" class=\"grid\"/><text x=\"" + num(x) + "\" y=\"" +
            num(kTop - 16) + "\" class=\"tick\">" + clock(t, false) + "</text>\n";
  }
  return axis;
}

// The recordings that match nothing, listed in columns; y moves below them.
std::string aloneList(const std::vector<const ExportCluster*>& alone, double& y) {
  if (alone.empty()) return "";
  std::string body = "<text x=\"10\" y=\"" + num(y + 14) + "\" class=\"lane\">" +
                     std::to_string(alone.size()) + " recordings that match nothing</text>\n";
  y += 22;
  const double colWidth = (kWidth - 20) / kAloneColumns;
  for (std::size_t i = 0; i < alone.size(); ++i) {
    const ExportMember& m = alone[i]->members.front();
    const double x = 10 + static_cast<double>(i % kAloneColumns) * colWidth;
    const double ty = y + static_cast<double>(i / kAloneColumns) * kRow + 12;
    body += "<g><title>" + hover(*alone[i], m) + "</title><text x=\"" + num(x) + "\" y=\"" +
            num(ty) + "\" class=\"alone" + (m.truthDisagrees ? " wrongtext" : "") + "\">" +
            esc(m.name) + " (" + clock(m.durationSeconds, false) + ")" +
            (m.truthDisagrees ? " - truth: in a cluster" : "") + "</text></g>\n";
  }
  y += static_cast<double>((alone.size() + kAloneColumns - 1) / kAloneColumns) * kRow + 8;
  return body;
}

std::string legend(double y) {
  std::string out;
  double lx = 10;
  const std::pair<const char*, const char*> keys[] = {
      {"ref", "reference"}, {"ok", "verified"}, {"unverified", "not verified"}};
  for (const auto& k : keys) {
    out += "<rect x=\"" + num(lx) + "\" y=\"" + num(y) + "\" width=\"14\" height=\"10\" class=\"" +
           k.first + "\"/><text x=\"" + num(lx + 20) + "\" y=\"" + num(y + 9) +
           "\" class=\"note\">" + k.second + "</text>\n";
    lx += kLegendEntry;
  }
  return out;
}

std::string svgHeader(double height, std::size_t recordings, std::size_t groups,
                      std::size_t alone) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
         num(kWidth) + "\" height=\"" + num(height) + "\" viewBox=\"0 0 " + num(kWidth) + " " +
         num(height) +
         "\" font-family=\"sans-serif\">\n"
         "<style>.lane{font-size:13px;font-weight:bold;fill:#222}.note{font-size:11px;fill:#555}"
         ".name{font-size:11px;fill:#222;text-anchor:end}.tick{font-size:10px;fill:#555;"
         "text-anchor:middle}.alone{font-size:11px;fill:#444}.grid{stroke:#ddd;stroke-width:1}"
         ".axis{stroke:#888;stroke-width:1}.lanebg{fill:#f6f6f6;stroke:#e0e0e0}"
         ".ref{fill:#3f7fbf}.ok{fill:#4caf50}.unverified{fill:#f0a030}"
         ".wrong{stroke:#d0021b;stroke-width:2}.wrongtext{font-size:11px;fill:#d0021b}</style>\n"
         "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
         "<text x=\"10\" y=\"20\" class=\"lane\">Velk: " +
         std::to_string(recordings) + " recordings in " + std::to_string(groups) +
         (groups == 1 ? " cluster" : " clusters") + " of several and " + std::to_string(alone) +
         " alone (minutes:seconds from each cluster's start)</text>\n";
}

}  // namespace

std::string renderSvg(const std::vector<ExportCluster>& clusters) {
  std::vector<const ExportCluster*> groups, alone;
  double span = 0;
  std::size_t recordings = 0;
  for (const ExportCluster& c : clusters) {
    recordings += c.members.size();
    (c.members.size() > 1 ? groups : alone).push_back(&c);
    if (c.members.size() > 1)
      for (const ExportMember& m : c.members)
        span = std::max(span, timelinePosition(c, m) + m.durationSeconds);
  }
  if (span <= 0) span = 1;
  const Scale sc{kLabels, kWidth - kRight, (kWidth - kRight - kLabels) / span};
  std::string body;
  double y = kTop;
  for (const ExportCluster* c : groups) body += clusterLane(*c, sc, y);
  const std::string axis = timeAxis(span, sc, y);
  body += aloneList(alone, y);
  y += 12;
  const std::string key = legend(y);
  y += 24;
  return svgHeader(y, recordings, groups.size(), alone.size()) + axis + body + key + "</svg>\n";
}

}  // namespace velktool
