// Broadcast WAV copies that carry their place in a bext TimeReference instead
// of leading silence, as field recorders stamp theirs; RF64 past 4 GiB.
#include <cmath>
#include <cstdio>

#include "velktool/export.h"
#include "velktool/sync_output.h"

namespace velktool {

namespace {

void putLe(std::string& b, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string field(const std::string& s, std::size_t size) {
  std::string f = s.substr(0, size);
  f.resize(size, '\0');
  return f;
}

// The bext chunk: description, originator, time reference, coding history.
std::string bextBody(uint32_t rate, int channels, const BwfStamp& stamp) {
  std::string bext = field(stamp.description, 256) + field("Velk", 32) + field("", 32) +
                     field("", 10) + field("", 8);
  putLe(bext, stamp.timeReference, 8);
  putLe(bext, 1, 2);                         // version
  bext += std::string(64 + 10 + 180, '\0');  // UMID, loudness, reserved
  return bext + "A=PCM,F=" + std::to_string(rate) +
         ",W=16,M=" + (channels == 1 ? "mono" : "multi") + ",T=Velk\r\n";
}

std::string xmlText(const std::string& s) {
  std::string out;
  for (char ch : s)
    out += ch == '&' ? "&amp;" : ch == '<' ? "&lt;" : ch == '>' ? "&gt;" : std::string(1, ch);
  return out;
}

}  // namespace

std::string bwfIxml(const std::string& cluster, const ExportMember& m, double timelineStart) {
  char offset[64];
  std::snprintf(offset, sizeof offset, "%.9f", m.offset);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BWFXML>\n"
         "<IXML_VERSION>1.5</IXML_VERSION>\n<PROJECT>Velk</PROJECT>\n"
         "<NOTE>" +
         xmlText("cluster " + cluster + ", offset " + offset + " s, from " + m.path) +
         "</NOTE>\n<SCENE>" + xmlText(cluster) + "</SCENE>\n<SPEED>\n<TIMESTAMP_SAMPLE_RATE>" +
         std::to_string(m.sampleRate) +
         "</TIMESTAMP_SAMPLE_RATE>\n<TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI>" +
         std::to_string(
             static_cast<uint64_t>(std::llround((timelineStart + m.offset) * m.sampleRate)) >> 32) +
         "</TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI>\n<TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO>" +
         std::to_string(
             static_cast<uint64_t>(std::llround((timelineStart + m.offset) * m.sampleRate)) &
             0xFFFFFFFFu) +
         "</TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO>\n</SPEED>\n</BWFXML>\n";
}

bool writeBwfCopy(const std::string& source, uint32_t sampleRate, int channels,
                  const BwfStamp& stamp, const std::string& target, std::string& error,
                  uint64_t riffLimit, double clockRate) {
  CopyLayout layout;
  layout.rf64 = true;
  layout.riffLimit = riffLimit;
  layout.clockRate = clockRate;
  layout.chunks = {{"bext", bextBody(sampleRate, channels, stamp)}, {"iXML", stamp.ixml}};
  return writeCopyFile(source, sampleRate, channels, layout, target, error);
}

}  // namespace velktool
