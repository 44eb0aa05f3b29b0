// The XML timelines: Final Cut Pro 7 (xmeml 5), FCPXML 1.9 and MLT.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <pugixml.hpp>
#include <sstream>

#include "velktool/export.h"

namespace velktool {

namespace {

int64_t toFrames(double seconds, const FrameRate& r) {
  return std::llround(seconds * static_cast<double>(r.num) / static_cast<double>(r.den));
}

// Whole frames a member lasts: never 0, so that a very short file still shows.
int64_t lengthFrames(const ExportMember& m, const FrameRate& r) {
  return std::max<int64_t>(1, toFrames(m.durationSeconds, r));
}

// Whole frames until the last member of c ends, at least floor.
int64_t endFrames(const ExportCluster& c, const FrameRate& r, int64_t floor) {
  int64_t end = floor;
  for (const ExportMember& m : c.members)
    end = std::max(end, toFrames(timelinePosition(c, m), r) + lengthFrames(m, r));
  return end;
}

std::string text(int64_t v) { return std::to_string(v); }

void add(pugi::xml_node parent, const char* name, const std::string& value) {
  parent.append_child(name).text().set(value.c_str());
}

std::string serialize(const pugi::xml_document& doc) {
  std::ostringstream out;
  doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  return out.str();
}

struct Picture {
  int width = 1920;
  int height = 1080;
};

// The size of the first video among the members, else full HD.
Picture pictureOf(const std::vector<ExportCluster>& clusters) {
  for (const ExportCluster& c : clusters)
    for (const ExportMember& m : c.members)
      if (m.hasVideo && m.width > 0 && m.height > 0) return {m.width, m.height};
  return {};
}

std::string milliseconds(double s) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.3f ms", s * 1000.0);
  return buf;
}

// ---- Final Cut Pro 7 ----

void fcp7Rate(pugi::xml_node parent, const FrameRate& r) {
  pugi::xml_node rate = parent.append_child("rate");
  add(rate, "timebase", text(std::llround(r.value())));
  add(rate, "ntsc", r.den == 1001 ? "TRUE" : "FALSE");
}

void fcp7File(pugi::xml_node clip, const ExportMember& m, const FrameRate& r, bool& defined) {
  pugi::xml_node file = clip.append_child("file");
  file.append_attribute("id") = ("file-" + std::to_string(m.id)).c_str();
  if (defined) return;  // later uses refer to the first by id
  defined = true;
  add(file, "name", m.name);
  // The form the editors write themselves.
  add(file, "pathurl", "file://localhost" + fileUrl(m.path).substr(7));
  fcp7Rate(file, r);
  add(file, "duration", text(lengthFrames(m, r)));
  pugi::xml_node media = file.append_child("media");
  if (m.hasVideo) {
    pugi::xml_node chars = media.append_child("video").append_child("samplecharacteristics");
    fcp7Rate(chars, r);
    add(chars, "width", text(m.width));
    add(chars, "height", text(m.height));
  }
  pugi::xml_node audio = media.append_child("audio");
  pugi::xml_node chars = audio.append_child("samplecharacteristics");
  add(chars, "depth", "16");
  add(chars, "samplerate", text(m.sampleRate));
  add(audio, "channelcount", text(std::max(1, m.channels)));
}

void fcp7Clip(pugi::xml_node track, const ExportCluster& c, const ExportMember& m,
              const FrameRate& r, bool video, bool& defined) {
  const double place = timelinePosition(c, m);
  const int64_t start = toFrames(place, r);
  const int64_t length = lengthFrames(m, r);
  pugi::xml_node clip = track.append_child("clipitem");
  clip.append_attribute("id") =
      ("clipitem-" + std::to_string(m.id) + (video ? "-video" : "-audio")).c_str();
  add(clip, "name", m.name);
  add(clip, "enabled", "TRUE");
  add(clip, "duration", text(length));
  fcp7Rate(clip, r);
  add(clip, "start", text(start));
  add(clip, "end", text(start + length));
  add(clip, "in", "0");
  add(clip, "out", text(length));
  fcp7File(clip, m, r, defined);
  if (!video) {
    pugi::xml_node source = clip.append_child("sourcetrack");
    add(source, "mediatype", "audio");
    add(source, "trackindex", "1");
  }
  // Whole frames only: say how far the nearest one is from the exact place.
  const double error = place - static_cast<double>(start) / r.value();
  pugi::xml_node comments = clip.append_child("comments");
  add(comments, "mastercomment1",
      "exact place " + std::to_string(place) + " s; placed " + milliseconds(std::fabs(error)) +
          (error > 0   ? " early"
           : error < 0 ? " late"
                       : "") +
          " at frame " + text(start));
  if (!m.notes.empty()) add(comments, "mastercomment2", m.notes);
}

// ---- FCPXML ----

// Seconds as a reduced fraction, "n/ds" or "ns".
std::string rationalSeconds(int64_t n, int64_t d) {
  const int64_t g = std::gcd(n, d);
  if (g > 1) {
    n /= g;
    d /= g;
  }
  return d == 1 ? text(n) + "s" : text(n) + "/" + text(d) + "s";
}

std::string samplesTime(double seconds, uint32_t rate) {
  return rationalSeconds(std::llround(seconds * rate), rate);
}

std::string framesTime(int64_t frames, const FrameRate& r) {
  return rationalSeconds(frames * r.den, r.num);
}

// Slack for a product that should be a whole number of frames but is not
// quite, so that ceil does not add a frame.
constexpr double kWholeFrameSlack = 1e-9;

// A member's asset, after a format of its own when it has a picture (the
// format wants every resource before its use).
void fcpxmlAsset(pugi::xml_node resources, const ExportMember& m, const FrameRate& fps,
                 const std::string& id, int& next) {
  pugi::xml_node asset = resources.append_child("asset");
  asset.append_attribute("id") = id.c_str();
  asset.append_attribute("name") = m.name.c_str();
  asset.append_attribute("start") = "0s";
  asset.append_attribute("duration") = samplesTime(m.durationSeconds, m.sampleRate).c_str();
  asset.append_attribute("hasAudio") = "1";
  asset.append_attribute("audioSources") = "1";
  asset.append_attribute("audioChannels") = std::max(1, m.channels);
  asset.append_attribute("audioRate") = m.sampleRate;
  asset.append_attribute("hasVideo") = m.hasVideo ? "1" : "0";
  if (m.hasVideo) {
    const std::string fid = "r" + std::to_string(next++);
    pugi::xml_node f = resources.insert_child_before("format", asset);
    f.append_attribute("id") = fid.c_str();
    const FrameRate vr = m.videoRate.num > 0 ? m.videoRate : fps;
    f.append_attribute("frameDuration") = framesTime(1, vr).c_str();
    f.append_attribute("width") = m.width;
    f.append_attribute("height") = m.height;
    asset.append_attribute("format") = fid.c_str();
  }
  pugi::xml_node rep = asset.append_child("media-rep");
  rep.append_attribute("kind") = "original-media";
  rep.append_attribute("src") = fileUrl(m.path).c_str();
}

// Every member's asset; the ids by cluster and member.
std::vector<std::vector<std::string>> fcpxmlAssets(pugi::xml_node resources,
                                                   const std::vector<ExportCluster>& clusters,
                                                   const FrameRate& fps) {
  int next = 1;  // r0 is the sequences' format
  std::vector<std::vector<std::string>> assetIds(clusters.size());
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    for (const ExportMember& m : clusters[i].members) {
      const std::string id = "r" + std::to_string(next++);
      assetIds[i].push_back(id);
      fcpxmlAsset(resources, m, fps, id, next);
    }
  }
  return assetIds;
}

// Whole frames until the last member of c ends (at least one).
int64_t fcpxmlEndFrames(const ExportCluster& c, const FrameRate& fps) {
  int64_t endFrames = 1;
  for (const ExportMember& m : c.members) {
    const double end = timelinePosition(c, m) + m.durationSeconds;
    endFrames = std::max<int64_t>(
        endFrames, static_cast<int64_t>(std::ceil(end * fps.value() - kWholeFrameSlack)));
  }
  return endFrames;
}

// One project per cluster: a gap carries the members as connected clips,
// each on a lane of its own (pictures above, sounds below), so every one
// sits at its exact sample.
void fcpxmlProject(pugi::xml_node event, const ExportCluster& c,
                   const std::vector<std::string>& assetIds, const ExportSettings& s) {
  pugi::xml_node project = event.append_child("project");
  project.append_attribute("name") = (c.name + " (" + c.reference + ")").c_str();
  const int64_t endFrames = fcpxmlEndFrames(c, s.fps);
  pugi::xml_node seq = project.append_child("sequence");
  seq.append_attribute("format") = "r0";
  seq.append_attribute("duration") = framesTime(endFrames, s.fps).c_str();
  seq.append_attribute("tcStart") = framesTime(s.startFrames, s.fps).c_str();
  seq.append_attribute("tcFormat") = "NDF";
  seq.append_attribute("audioLayout") = "stereo";
  seq.append_attribute("audioRate") = "48k";
  pugi::xml_node gap = seq.append_child("spine").append_child("gap");
  gap.append_attribute("name") = "Gap";
  gap.append_attribute("offset") = framesTime(s.startFrames, s.fps).c_str();
  gap.append_attribute("start") = "0s";
  gap.append_attribute("duration") = framesTime(endFrames, s.fps).c_str();
  // A gap carries the members as connected clips, each on a lane of its own
  // (pictures above, sounds below), so every sound sits at its exact sample.
  // A picture must start and end on the sequence's frames: a video's picture
  // and sound are two clips of its asset, the picture on the nearest frame
  // and no longer than the sound.
  auto clip = [&](const ExportMember& m, const std::string& ref, int lane,
                  const std::string& offset, const std::string& duration) {
    pugi::xml_node x = gap.append_child("asset-clip");
    x.append_attribute("ref") = ref.c_str();
    x.append_attribute("lane") = lane;
    x.append_attribute("offset") = offset.c_str();
    x.append_attribute("name") = m.name.c_str();
    x.append_attribute("start") = "0s";
    x.append_attribute("duration") = duration.c_str();
    return x;
  };
  int videoLane = 0, audioLane = 0;
  for (std::size_t k = 0; k < c.members.size(); ++k) {
    const ExportMember& m = c.members[k];
    const double place = timelinePosition(c, m);
    if (m.hasVideo) {
      const int64_t frames = std::max<int64_t>(
          1, static_cast<int64_t>(std::floor(m.durationSeconds * s.fps.value() + 1e-9)));
      pugi::xml_node picture =
          clip(m, assetIds[k], ++videoLane, framesTime(toFrames(place, s.fps), s.fps),
               framesTime(frames, s.fps));
      picture.append_attribute("srcEnable") = "video";
    }
    pugi::xml_node sound = clip(m, assetIds[k], -(++audioLane), samplesTime(place, m.sampleRate),
                                samplesTime(m.durationSeconds, m.sampleRate));
    if (m.hasVideo) sound.append_attribute("srcEnable") = "audio";
    if (!m.notes.empty()) add(sound, "note", m.notes);
  }
}

// ---- MLT ----

void property(pugi::xml_node node, const char* name, const std::string& value) {
  pugi::xml_node p = node.append_child("property");
  p.append_attribute("name") = name;
  p.text().set(value.c_str());
}

// The colour space MLT calls 709: that of HD video.
constexpr int kMltColorspaceHd = 709;

void mltProfile(pugi::xml_node root, const Picture& picture, const FrameRate& fps) {
  pugi::xml_node profile = root.append_child("profile");
  const int g = std::gcd(picture.width, picture.height);
  profile.append_attribute("description") = "Velk";
  profile.append_attribute("width") = picture.width;
  profile.append_attribute("height") = picture.height;
  profile.append_attribute("progressive") = 1;
  profile.append_attribute("sample_aspect_num") = 1;
  profile.append_attribute("sample_aspect_den") = 1;
  profile.append_attribute("display_aspect_num") = picture.width / g;
  profile.append_attribute("display_aspect_den") = picture.height / g;
  profile.append_attribute("frame_rate_num") = static_cast<long long>(fps.num);
  profile.append_attribute("frame_rate_den") = static_cast<long long>(fps.den);
  profile.append_attribute("colorspace") = kMltColorspaceHd;
}

// A file plays its last tractor: the largest cluster goes last.
std::vector<std::size_t> mltOrder(const std::vector<ExportCluster>& clusters) {
  std::size_t largest = 0;
  for (std::size_t i = 0; i < clusters.size(); ++i)
    if (clusters[i].members.size() > clusters[largest].members.size()) largest = i;
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < clusters.size(); ++i)
    if (i != largest) order.push_back(i);
  if (!clusters.empty()) order.push_back(largest);
  return order;
}

// A producer used by a playlist from its first frame for length frames.
void mltEntry(pugi::xml_node playlist, const std::string& producer, int64_t length) {
  pugi::xml_node e = playlist.append_child("entry");
  e.append_attribute("producer") = producer.c_str();
  e.append_attribute("in") = 0;
  e.append_attribute("out") = static_cast<long long>(length - 1);
}

// A silent black track under everything (the mixes add the members to it);
// the id of its playlist.
std::string mltBlackTrack(pugi::xml_node root, const ExportCluster& c, int64_t end) {
  const std::string black = c.name + "_black";
  pugi::xml_node bp = root.append_child("producer");
  bp.append_attribute("id") = black.c_str();
  bp.append_attribute("in") = 0;
  bp.append_attribute("out") = static_cast<long long>(end - 1);
  property(bp, "length", text(end));
  property(bp, "eof", "pause");
  property(bp, "resource", "black");
  property(bp, "mlt_service", "color");
  property(bp, "set.test_audio", "0");
  const std::string blackList = black + "_track";
  pugi::xml_node bl = root.append_child("playlist");
  bl.append_attribute("id") = blackList.c_str();
  mltEntry(bl, black, end);
  return blackList;
}

struct MltTrack {
  std::string playlist;
  bool video;
};

// A member's playlist (its picture or its sound) at its place, after its
// producer, which a video file's two playlists share.
MltTrack mltMemberTrack(pugi::xml_node root, const ExportCluster& c, const ExportMember& m,
                        const FrameRate& fps, bool video) {
  const std::string producer = c.name + "_m" + std::to_string(m.id);
  const int64_t length = lengthFrames(m, fps);
  if (video || !m.hasVideo) {
    pugi::xml_node p = root.append_child("producer");
    p.append_attribute("id") = producer.c_str();
    p.append_attribute("in") = 0;
    p.append_attribute("out") = static_cast<long long>(length - 1);
    property(p, "resource", m.path);
    property(p, "mlt_service", "avformat");
    property(p, "velk:name", m.name);
    if (!m.notes.empty()) property(p, "velk:notes", m.notes);
  }
  const std::string list = producer + (video ? "_video" : "_audio");
  pugi::xml_node pl = root.append_child("playlist");
  pl.append_attribute("id") = list.c_str();
  const int64_t place = toFrames(timelinePosition(c, m), fps);
  if (place > 0) pl.append_child("blank").append_attribute("length") = text(place).c_str();
  mltEntry(pl, producer, length);
  return {list, video};
}

// The tracks over the black one, pictures composited and sounds mixed.
void mltTractor(pugi::xml_node root, const ExportCluster& c, const std::string& blackList,
                const std::vector<MltTrack>& tracks) {
  pugi::xml_node tractor = root.append_child("tractor");
  tractor.append_attribute("id") = c.name.c_str();
  tractor.append_attribute("title") = (c.name + " (" + c.reference + ")").c_str();
  pugi::xml_node multi = tractor.append_child("multitrack");
  multi.append_child("track").append_attribute("producer") = blackList.c_str();
  for (const MltTrack& t : tracks) {
    pugi::xml_node tr = multi.append_child("track");
    tr.append_attribute("producer") = t.playlist.c_str();
    tr.append_attribute("hide") = t.video ? "audio" : "video";
  }
  for (std::size_t t = 0; t < tracks.size(); ++t) {
    pugi::xml_node tn = tractor.append_child("transition");
    property(tn, "a_track", "0");
    property(tn, "b_track", text(static_cast<int64_t>(t + 1)));
    property(tn, "mlt_service", tracks[t].video ? "composite" : "mix");
    property(tn, "always_active", "1");
    if (!tracks[t].video) property(tn, "sum", "1");
  }
}

// Every picture track first, then every sound track.
void mltCluster(pugi::xml_node root, const ExportCluster& c, const FrameRate& fps) {
  const std::string blackList = mltBlackTrack(root, c, endFrames(c, fps, 1));
  std::vector<MltTrack> tracks;
  for (const ExportMember& m : c.members)
    if (m.hasVideo) tracks.push_back(mltMemberTrack(root, c, m, fps, true));
  for (const ExportMember& m : c.members) tracks.push_back(mltMemberTrack(root, c, m, fps, false));
  mltTractor(root, c, blackList, tracks);
}

}  // namespace

std::string renderFcp7(const std::vector<ExportCluster>& clusters, const ExportSettings& s) {
  pugi::xml_document doc;
  doc.append_child(pugi::node_doctype).set_value("xmeml");
  pugi::xml_node root = doc.append_child("xmeml");
  root.append_attribute("version") = "5";
  pugi::xml_node project = root.append_child("project");
  add(project, "name", "Velk");
  pugi::xml_node children = project.append_child("children");
  const Picture picture = pictureOf(clusters);
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    const ExportCluster& c = clusters[i];
    pugi::xml_node seq = children.append_child("sequence");
    seq.append_attribute("id") = ("sequence-" + std::to_string(i + 1)).c_str();
    add(seq, "name", c.name + " (" + c.reference + ")");
    add(seq, "duration", text(endFrames(c, s.fps, 0)));
    fcp7Rate(seq, s.fps);
    pugi::xml_node tc = seq.append_child("timecode");
    fcp7Rate(tc, s.fps);
    add(tc, "string", formatTimecode(s.startFrames, s.fps));
    add(tc, "frame", text(s.startFrames));
    add(tc, "displayformat", "NDF");
    pugi::xml_node media = seq.append_child("media");
    pugi::xml_node video = media.append_child("video");
    pugi::xml_node vchars = video.append_child("format").append_child("samplecharacteristics");
    fcp7Rate(vchars, s.fps);
    add(vchars, "width", text(picture.width));
    add(vchars, "height", text(picture.height));
    pugi::xml_node audio = media.append_child("audio");
    add(audio, "numOutputChannels", "2");
    pugi::xml_node achars = audio.append_child("format").append_child("samplecharacteristics");
    add(achars, "depth", "16");
    add(achars, "samplerate", "48000");
    std::vector<bool> defined(c.members.size(), false);
    for (std::size_t k = 0; k < c.members.size(); ++k) {
      if (!c.members[k].hasVideo) continue;
      bool d = defined[k];
      fcp7Clip(video.append_child("track"), c, c.members[k], s.fps, true, d);
      defined[k] = d;
    }
    for (std::size_t k = 0; k < c.members.size(); ++k) {
      bool d = defined[k];
      fcp7Clip(audio.append_child("track"), c, c.members[k], s.fps, false, d);
      defined[k] = d;
    }
  }
  return serialize(doc);
}

std::string renderFcpxml(const std::vector<ExportCluster>& clusters, const ExportSettings& s) {
  pugi::xml_document doc;
  doc.append_child(pugi::node_doctype).set_value("fcpxml");
  pugi::xml_node root = doc.append_child("fcpxml");
  root.append_attribute("version") = "1.9";
  pugi::xml_node resources = root.append_child("resources");
  const Picture picture = pictureOf(clusters);
  pugi::xml_node format = resources.append_child("format");
  format.append_attribute("id") = "r0";
  format.append_attribute("frameDuration") = framesTime(1, s.fps).c_str();
  format.append_attribute("width") = picture.width;
  format.append_attribute("height") = picture.height;
  const std::vector<std::vector<std::string>> assetIds = fcpxmlAssets(resources, clusters, s.fps);
  pugi::xml_node event = root.append_child("library").append_child("event");
  event.append_attribute("name") = "Velk";
  for (std::size_t i = 0; i < clusters.size(); ++i)
    fcpxmlProject(event, clusters[i], assetIds[i], s);
  return serialize(doc);
}

std::string renderMlt(const std::vector<ExportCluster>& clusters, const ExportSettings& s) {
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("mlt");
  root.append_attribute("LC_NUMERIC") = "C";
  root.append_attribute("version") = "7.0.0";
  root.append_attribute("title") = "Velk";
  mltProfile(root, pictureOf(clusters), s.fps);
  for (std::size_t i : mltOrder(clusters)) mltCluster(root, clusters[i], s.fps);
  return serialize(doc);
}

}  // namespace velktool
