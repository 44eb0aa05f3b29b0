// Timelines for editors and a picture of a sync result. The exporters take plain
// values (a member's file, place and facts), so they do not care which engine
// produced the offsets.
#ifndef VELK_TOOL_EXPORT_H
#define VELK_TOOL_EXPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace velktool {

struct FrameRate {
  int64_t num = 25;
  int64_t den = 1;
  double value() const { return static_cast<double>(num) / static_cast<double>(den); }
};

struct ExportMember {
  int32_t id = 0;
  std::string name;
  std::string path;     // absolute
  double offset = 0.0;  // seconds after the cluster's start
  uint32_t sampleRate = 0;
  int channels = 0;
  double durationSeconds = 0.0;
  bool hasVideo = false;
  FrameRate videoRate{0, 0};  // 0/0: unknown
  int width = 0;
  int height = 0;
  bool driftKnown = false;
  double driftPpm = 0.0;
  bool refined = false;   // placed by a waveform correlation
  bool verified = false;  // that correlation was believed
  double confidence = 0.0;
  std::string notes;
  bool truthDisagrees = false;  // a truth file places it elsewhere
};

struct ExportCluster {
  std::string name;       // e.g. cluster_01
  std::string reference;  // name of the member the others were placed against
  std::vector<ExportMember> members;
};

struct ExportSettings {
  FrameRate fps;            // of frame-based formats
  int64_t startFrames = 0;  // timeline start in frames of fps
  double startSeconds() const { return static_cast<double>(startFrames) / fps.value(); }
};

enum class ExportFormat { Otio, Fcp7, Fcpxml, Mlt, Csv, Svg };

// The format named by a file's extension (.otio, .xml, .fcpxml, .mlt, .csv, .svg).
bool exportFormatFor(const std::string& path, ExportFormat& format);

// "25", "29.97", "30000/1001"; false for anything not a positive rate up to 1000.
bool parseFrameRate(const std::string& text, FrameRate& rate);
// "HH:MM:SS:FF" (non-drop) as frames of rate; false when malformed or FF >= the rate.
bool parseTimecode(const std::string& text, const FrameRate& rate, int64_t& frames);
bool timecodeSyntaxOk(const std::string& text);
std::string formatTimecode(int64_t frames, const FrameRate& rate);

// The rate of the first member with a known video rate, else 25.
FrameRate defaultFrameRate(const std::vector<ExportCluster>& clusters);

// file:///abs/path with everything but unreserved characters and '/' escaped.
std::string fileUrl(const std::string& absolutePath);

// Position of a member on its cluster's timeline (the earliest member at 0).
double timelinePosition(const ExportCluster& cluster, const ExportMember& member);

std::string renderOtio(const std::vector<ExportCluster>& clusters, const ExportSettings& s);
std::string renderFcp7(const std::vector<ExportCluster>& clusters, const ExportSettings& s);
std::string renderFcpxml(const std::vector<ExportCluster>& clusters, const ExportSettings& s);
std::string renderMlt(const std::vector<ExportCluster>& clusters, const ExportSettings& s);
std::string renderCsv(const std::vector<ExportCluster>& clusters);
std::string renderSvg(const std::vector<ExportCluster>& clusters);
std::string renderExport(ExportFormat format, const std::vector<ExportCluster>& clusters,
                         const ExportSettings& s);

// Broadcast WAV: 16-bit PCM with a bext chunk whose TimeReference places the
// file on the timeline, and an iXML note. Written as RF64 once the RIFF size
// would pass riffLimit (4 GiB by default; smaller only to test the switch).
constexpr uint64_t kRiffLimit = 0xFFFFFFFFull;
struct BwfStamp {
  uint64_t timeReference = 0;  // samples since the timeline's zero
  std::string description;     // bext Description (up to 256 bytes)
  std::string ixml;            // the iXML chunk's document
};
// Decodes source at its own rate (moved onto another clock by clockRate, as
// CopyLayout says) and writes it through a temporary file renamed to target;
// nothing is left behind on failure.
bool writeBwfCopy(const std::string& source, uint32_t sampleRate, int channels,
                  const BwfStamp& stamp, const std::string& target, std::string& error,
                  uint64_t riffLimit = kRiffLimit, double clockRate = 1.0);
// The iXML document of a member: the cluster, the offset, the source file.
std::string bwfIxml(const std::string& cluster, const ExportMember& member, double timelineStart);

}  // namespace velktool

#endif
