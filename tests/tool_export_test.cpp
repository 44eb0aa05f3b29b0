// The editors' timelines read back by independent parsers (every member once, on
// its own track, at its place, with its file and length), the picture rendered,
// and Broadcast WAV copies read back.

#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <sstream>

#include "test_support.h"
#include "velk/media.h"
#include "velktool/export.h"

namespace {

using nlohmann::json;
using velktest::slurp;
using velktest::TempDir;
using namespace velktool;

// One clip as a reader sees it.
struct Placed {
  std::string name;
  std::string track;  // unique per track in the file
  bool video = false;
  std::string path;  // from the URL or resource
  double position = 0, duration = NAN;
};
struct Read {
  std::vector<Placed> clips;
  std::vector<double> starts;  // timeline start of each timeline, seconds
};

std::string pathOfUrl(std::string url) {
  for (const char* prefix : {"file://localhost", "file://"})
    if (url.rfind(prefix, 0) == 0) {
      url = url.substr(std::string(prefix).size());
      break;
    }
  std::string out;
  for (std::size_t i = 0; i < url.size(); ++i) {
    if (url[i] == '%' && i + 2 < url.size()) {
      out += static_cast<char>(std::stoi(url.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += url[i];
    }
  }
  return out;
}

double rationalSeconds(const std::string& t) {  // "n/ds" or "ns"
  const auto slash = t.find('/');
  if (slash == std::string::npos) return std::stod(t.substr(0, t.size() - 1));
  return std::stod(t.substr(0, slash)) / std::stod(t.substr(slash + 1, t.size() - slash - 2));
}

Read readOtio(const std::string& text) {
  Read r;
  const json doc = json::parse(text);
  std::vector<json> timelines = doc["OTIO_SCHEMA"] == "Timeline.1"
                                    ? std::vector<json>{doc}
                                    : doc["children"].get<std::vector<json>>();
  for (const json& t : timelines) {
    const json& g = t["global_start_time"];
    r.starts.push_back(g["value"].get<double>() / g["rate"].get<double>());
    int index = 0;
    for (const json& track : t["tracks"]["children"]) {
      double at = 0;
      ++index;
      for (const json& item : track["children"]) {
        const json& d = item["source_range"]["duration"];
        const double length = d["value"].get<double>() / d["rate"].get<double>();
        if (item["OTIO_SCHEMA"] == "Clip.2") {
          const json& ref =
              item["media_references"][item["active_media_reference_key"].get<std::string>()];
          r.clips.push_back({item["name"], t["name"].get<std::string>() + std::to_string(index),
                             track["kind"] == "Video", pathOfUrl(ref["target_url"]), at, length});
        }
        at += length;
      }
    }
  }
  return r;
}

Read readFcp7(const std::string& text) {
  Read r;
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_string(text.c_str()));
  std::map<std::string, std::string> files;
  for (const auto& f : doc.select_nodes("//file[pathurl]"))
    files[f.node().attribute("id").value()] = f.node().child_value("pathurl");
  auto fps = [](pugi::xml_node rate) {
    const double base = rate.child("timebase").text().as_double();
    return std::string(rate.child_value("ntsc")) == "TRUE" ? base * 1000 / 1001 : base;
  };
  int track = 0;
  for (const auto& s : doc.select_nodes("//sequence")) {
    const double rate = fps(s.node().child("rate"));
    r.starts.push_back(s.node().child("timecode").child("frame").text().as_double() / rate);
    for (const char* kind : {"video", "audio"})
      for (pugi::xml_node t : s.node().child("media").child(kind).children("track")) {
        ++track;
        for (pugi::xml_node c : t.children("clipitem")) {
          const double start = c.child("start").text().as_double();
          r.clips.push_back({c.child_value("name"), std::to_string(track),
                             std::string(kind) == "video",
                             pathOfUrl(files[c.child("file").attribute("id").value()]),
                             start / rate, (c.child("end").text().as_double() - start) / rate});
        }
      }
  }
  return r;
}

Read readFcpxml(const std::string& text) {
  Read r;
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_string(text.c_str()));
  std::map<std::string, pugi::xml_node> assets;
  for (const auto& a : doc.select_nodes("/fcpxml/resources/asset"))
    assets[a.node().attribute("id").value()] = a.node();
  for (const auto& s : doc.select_nodes("//sequence")) {
    const double tc = rationalSeconds(s.node().attribute("tcStart").value());
    r.starts.push_back(tc);
    for (const auto& g : s.node().select_nodes("spine/gap")) {
      const double base = rationalSeconds(g.node().attribute("offset").value()) -
                          rationalSeconds(g.node().attribute("start").value()) - tc;
      for (pugi::xml_node c : g.node().children("asset-clip")) {
        const pugi::xml_node a = assets[c.attribute("ref").value()];
        r.clips.push_back(
            {c.attribute("name").value(),
             std::string(s.node().parent().attribute("name").value()) + c.attribute("lane").value(),
             std::string(c.attribute("srcEnable").value()) == "video",
             pathOfUrl(a.child("media-rep").attribute("src").value()),
             base + rationalSeconds(c.attribute("offset").value()),
             rationalSeconds(c.attribute("duration").value())});
      }
    }
  }
  return r;
}

Read readMlt(const std::string& text) {
  Read r;
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_string(text.c_str()));
  const pugi::xml_node profile = doc.child("mlt").child("profile");
  const double fps = profile.attribute("frame_rate_num").as_double() /
                     profile.attribute("frame_rate_den").as_double();
  auto byId = [&](const char* kind, const std::string& id) {
    return doc.child("mlt").find_child_by_attribute(kind, "id", id.c_str());
  };
  for (pugi::xml_node tractor : doc.child("mlt").children("tractor")) {
    r.starts.push_back(0);
    for (pugi::xml_node t : tractor.child("multitrack").children("track")) {
      if (!t.attribute("hide")) continue;  // the black background
      double at = 0;
      for (pugi::xml_node e : byId("playlist", t.attribute("producer").value()).children()) {
        if (std::string(e.name()) == "blank") {
          at += e.attribute("length").as_double();
          continue;
        }
        const pugi::xml_node p = byId("producer", e.attribute("producer").value());
        const double length = e.attribute("out").as_double() - e.attribute("in").as_double() + 1;
        r.clips.push_back({p.find_child_by_attribute("property", "name", "velk:name").child_value(),
                           t.attribute("producer").value(),
                           std::string(t.attribute("hide").value()) == "audio",
                           p.find_child_by_attribute("property", "name", "resource").child_value(),
                           at / fps, length / fps});
        at += length;
      }
    }
  }
  return r;
}

std::vector<std::string> csvRow(const std::string& line) {
  std::vector<std::string> f(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"')
      f.back() += line[++i];
    else if (c == '"')
      quoted = !quoted;
    else if (c == ',' && !quoted)
      f.emplace_back();
    else
      f.back() += c;
  }
  return f;
}

Read readCsv(const std::string& text) {
  Read r;
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);  // header
  int row = 0;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = csvRow(line);
    // The sample count must be the nearest to the seconds.
    const double rate = std::stod(f[6]), seconds = std::stod(f[4]);
    EXPECT_NEAR(std::stod(f[5]) / rate, seconds, 0.5 / rate) << line;
    r.clips.push_back({f[2], std::to_string(++row), false, f[3], seconds, NAN});
  }
  return r;
}

// Two clusters: a 48 kHz file off the frame grid, a 29.97 fps video with sound,
// a 44.1 kHz file whose name needs escaping, and one that matches nothing.
ExportMember member(int32_t id, const char* name, const char* path, double offset, uint32_t rate,
                    double seconds) {
  ExportMember m;
  m.id = id, m.name = name, m.path = path, m.offset = offset;
  m.sampleRate = rate, m.channels = 2, m.durationSeconds = seconds;
  return m;
}

std::vector<ExportCluster> sample() {
  ExportMember a = member(1, "boom", "/media/day 1/boom.wav", 1.2345678, 48000, 62.5);
  ExportMember v = member(2, "cam", "/media/day 1/cam.mov", 0.5, 48000, 30.0);
  v.hasVideo = true, v.videoRate = {30000, 1001}, v.width = 1280, v.height = 720;
  ExportMember b = member(3, "R&D <1>", "/media/r&d #1,\"x\".wav", 0.25, 44100, 10.000011);
  b.notes = "correlated with cam, \"good\"";
  ExportMember s = member(4, "street", "/media/street.wav", 0.0, 8000, 5.0);
  return {{"cluster_01", "cam", {a, v, b}}, {"cluster_02", "street", {s}}};
}

struct FormatCase {
  const char* name;
  std::function<std::string(const std::vector<ExportCluster>&, const ExportSettings&)> render;
  std::function<Read(const std::string&)> read;
  bool frames;       // places on whole frames (half a frame off at most), else exact
  bool splitsVideo;  // a video's picture and sound on tracks of their own
  bool hasStart;     // carries the timeline start
  // Sounds exact, pictures on whole frames and no longer than their media.
  bool framedPictures = false;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class ExportFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ExportFormats, EveryMemberOnceOnItsOwnTrackAtItsPlace) {
  const FormatCase& f = GetParam();
  const std::vector<ExportCluster> clusters = sample();
  ExportSettings settings;
  settings.fps = defaultFrameRate(clusters);  // the video's 29.97
  ASSERT_TRUE(parseTimecode("01:00:00:12", settings.fps, settings.startFrames));
  const Read r = f.read(f.render(clusters, settings));

  std::set<std::string> tracks;
  std::map<std::string, int> seen;
  for (const Placed& p : r.clips) {
    EXPECT_TRUE(tracks.insert(p.track).second) << "two clips on track " << p.track;
    ++seen[p.name + (p.video ? "/video" : "/audio")];
  }
  for (const ExportCluster& c : clusters)
    for (const ExportMember& m : c.members) {
      const bool video = m.hasVideo && f.splitsVideo;
      EXPECT_EQ(seen[m.name + "/audio"], 1) << m.name;
      EXPECT_EQ(seen[m.name + "/video"], video ? 1 : 0) << m.name;
      const double fps = settings.fps.value();
      for (const Placed& p : r.clips) {
        if (p.name != m.name) continue;
        SCOPED_TRACE(m.name + (p.video ? " video" : " audio"));
        const bool framedPicture = p.video && f.framedPictures;
        // Half a frame, or half a sample (of the slower of file and reader).
        const double tolerance = f.frames || framedPicture ? 0.5 / fps + 1e-9 : 0.5 / m.sampleRate;
        EXPECT_EQ(p.path, m.path);
        EXPECT_NEAR(p.position, timelinePosition(c, m), tolerance);
        if (framedPicture) {
          EXPECT_NEAR(p.position * fps, std::round(p.position * fps), 1e-6);
          EXPECT_LE(p.duration, m.durationSeconds + 1e-9);
          EXPECT_NEAR(p.duration * fps, std::round(p.duration * fps), 1e-6);
          EXPECT_GT(p.duration, m.durationSeconds - 1 / fps);
        } else if (!std::isnan(p.duration)) {
          EXPECT_NEAR(p.duration, m.durationSeconds, tolerance);
        }
      }
    }
  for (double s : r.starts) EXPECT_NEAR(s, f.hasStart ? settings.startSeconds() : 0.0, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ExportFormats,
    ::testing::Values(FormatCase{"otio", renderOtio, readOtio, false, true, true},
                      FormatCase{"fcp7", renderFcp7, readFcp7, true, true, true},
                      FormatCase{"fcpxml", renderFcpxml, readFcpxml, false, true, true, true},
                      FormatCase{"mlt", renderMlt, readMlt, true, true, false},
                      FormatCase{"csv",
                                 [](const std::vector<ExportCluster>& c, const ExportSettings&) {
                                   return renderCsv(c);
                                 },
                                 readCsv, false, false, false}),
    velktest::ByName());

uint64_t le(const std::string& b, std::size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i)
    v = v << 8 | static_cast<uint8_t>(b[at + static_cast<std::size_t>(i)]);
  return v;
}

// The bext TimeReference of a WAV file (or UINT64_MAX without a bext chunk).
uint64_t timeReference(const std::string& path) {
  const std::string b = slurp(path);
  for (std::size_t at = 12; at + 8 <= b.size(); at += 8 + ((le(b, at + 4, 4) + 1) & ~1ull))
    if (b.compare(at, 4, "bext") == 0) return le(b, at + 8 + 338, 8);
  return UINT64_MAX;
}

// A generated event synced by the binary with stamped copies that the timeline
// refers to where the sync put them, and a picture that renders.
TEST(ExportRun, RendersStampsAndDrawsTheSync) {
  TempDir dir("export");
  const std::string bin = velktest::velkBinary().substr(0, velktest::velkBinary().rfind('/'));
  ASSERT_EQ(std::system((bin + "/velk_simset --out " + dir.file("set") +
                         " --events 1 --devices 3 --unrelated 1 --seconds 20-25 --rate 8000"
                         " --seed 11 >/dev/null")
                            .c_str()),
            0);
  const velktest::ToolRun run =
      velktest::runVelk({"-f", dir.file("set"), "-o", dir.file("out"), "--copies", "bwf",
                         "--export-media", "copies", "--export", dir.file("t.otio"), "--svg",
                         dir.file("t.svg"), "--json", dir.file("r.json"), "--quiet"},
                        dir.path());
  ASSERT_EQ(run.status, 0) << run.err;

  const json result = json::parse(slurp(dir.file("r.json")));
  std::map<std::string, double> offsets;
  for (const json& c : result["clusters"])
    for (const json& m : c["members"]) offsets[m["name"]] = m["offset"];
  ASSERT_EQ(result["clusters"].size(), 2u);  // the event's three and the unrelated one
  ASSERT_EQ(offsets.size(), 4u);

  // The timelines place the copies where the sync put the members.
  const Read otio = readOtio(slurp(dir.file("t.otio")));
  ASSERT_EQ(otio.clips.size(), offsets.size());
  for (const Placed& p : otio.clips) {
    EXPECT_EQ(p.path.rfind(dir.file("out/cluster_0"), 0), 0u) << p.path;
    EXPECT_NEAR(p.position, offsets[p.name], 0.5 / 8000 + 1e-6) << p.name;
    // The copy carries the same place in its bext chunk, and ffprobe reads it.
    EXPECT_EQ(timeReference(p.path), static_cast<uint64_t>(std::llround(offsets[p.name] * 8000)));
    EXPECT_EQ(std::system(("ffprobe -v error " + velktest::shellQuote(p.path)).c_str()), 0);
  }

  if (std::system("command -v rsvg-convert >/dev/null") == 0) {
    EXPECT_EQ(
        std::system(("rsvg-convert -o " + dir.file("t.png") + " " + dir.file("t.svg")).c_str()), 0);
  }
}

TEST(ExportRun, LongCopiesBecomeRf64) {
  TempDir dir("rf64");
  std::vector<float> tone(8000);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = 0.5f * std::sin(0.05f * static_cast<float>(i));
  velktest::writeWav16(dir.file("in.wav"), tone, 8000);
  BwfStamp stamp;
  stamp.timeReference = 123456789012ull;  // past 32 bits
  stamp.ixml = "<BWFXML/>";
  std::string error;
  // A limit below the file's size stands for 4 GiB.
  ASSERT_TRUE(writeBwfCopy(dir.file("in.wav"), 8000, 1, stamp, dir.file("out.wav"), error, 10000))
      << error;
  EXPECT_EQ(slurp(dir.file("out.wav")).substr(0, 4), "RF64");
  EXPECT_EQ(timeReference(dir.file("out.wav")), stamp.timeReference);
  std::vector<float> back;
  ASSERT_TRUE(Velk::decodeMono(dir.file("out.wav"), 8000, back, error)) << error;
  ASSERT_EQ(back.size(), tone.size());
  for (std::size_t i = 0; i < tone.size(); i += 97) EXPECT_NEAR(back[i], tone[i], 1.0 / 32768);
}

}  // namespace
