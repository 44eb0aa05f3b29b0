// Broadcast WAV copies that carry their place in a bext TimeReference instead
// of leading silence, as field recorders stamp theirs; RF64 past 4 GiB.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "velk/media.h"
#include "velktool/export.h"
#include "velktool/fsutil.h"
#include "velktool/types.h"

namespace fs = std::filesystem;

namespace velktool {

namespace {

constexpr std::size_t kDs64Size = 28;  // RIFF, data and sample sizes, empty table

void put16(std::string& b, uint16_t v) {
  b += static_cast<char>(v & 0xFF);
  b += static_cast<char>(v >> 8);
}
void put32(std::string& b, uint32_t v) {
  put16(b, static_cast<uint16_t>(v & 0xFFFF));
  put16(b, static_cast<uint16_t>(v >> 16));
}
void put64(std::string& b, uint64_t v) {
  put32(b, static_cast<uint32_t>(v & 0xFFFFFFFFu));
  put32(b, static_cast<uint32_t>(v >> 32));
}
void chunk(std::string& b, const char* id, const std::string& body) {
  b.append(id, 4);
  put32(b, static_cast<uint32_t>(body.size()));
  b += body;
  if (body.size() % 2 != 0) b += '\0';
}
std::string field(const std::string& s, std::size_t size) {
  std::string f = s.substr(0, size);
  f.resize(size, '\0');
  return f;
}

// Everything before the samples. The JUNK chunk is where ds64 goes if the file
// outgrows RIFF's 32-bit sizes.
std::string header(uint32_t rate, int channels, const BwfStamp& stamp, int64_t dataBytes,
                   std::size_t& junkAt, std::size_t& dataSizeAt) {
  std::string b = "RIFF";
  put32(b, 0);
  b += "WAVE";
  junkAt = b.size();
  chunk(b, "JUNK", std::string(kDs64Size, '\0'));
  std::string fmt;
  put16(fmt, 1);
  put16(fmt, static_cast<uint16_t>(channels));
  put32(fmt, rate);
  put32(fmt, rate * static_cast<uint32_t>(channels) * 2);
  put16(fmt, static_cast<uint16_t>(channels * 2));
  put16(fmt, 16);
  chunk(b, "fmt ", fmt);
  std::string bext = field(stamp.description, 256) + field("Velk", 32) + field("", 32) +
                     field("", 10) + field("", 8);
  put32(bext, static_cast<uint32_t>(stamp.timeReference & 0xFFFFFFFFu));
  put32(bext, static_cast<uint32_t>(stamp.timeReference >> 32));
  put16(bext, 1);                            // version
  bext += std::string(64 + 10 + 180, '\0');  // UMID, loudness, reserved
  bext += "A=PCM,F=" + std::to_string(rate) + ",W=16,M=" + (channels == 1 ? "mono" : "multi") +
          ",T=Velk\r\n";
  chunk(b, "bext", bext);
  chunk(b, "iXML", stamp.ixml);
  b += "data";
  dataSizeAt = b.size();
  put32(b, static_cast<uint32_t>(std::min<int64_t>(dataBytes, 0xFFFFFFFF)));
  return b;
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
                  uint64_t riffLimit) {
  removeStaleTemporaries(target);
  const std::string tmp = temporarySibling(target);
  const PendingTemporary pending(tmp);
  std::fstream out;
  std::size_t junkAt = 0, dataSizeAt = 0;
  std::string head;
  int outChannels = 0;
  uint64_t dataBytes = 0;
  std::string failure;
  std::vector<char> pcm;

  auto open = [&](int ch) {
    outChannels = ch;
    head = header(sampleRate, ch, stamp, 0, junkAt, dataSizeAt);
    out.open(tmp, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    if (!out) failure = "cannot create " + tmp;
    return failure.empty();
  };
  DecodeOptions opt;  // own rate, every channel
  opt.warn = [](const std::string&) {};
  bool ok = decodeAudio(
      source, opt,
      [&](const float* frames, std::size_t count, int ch) {
        if (!out.is_open() && !open(ch)) return false;
        if (ch != outChannels) {
          failure = "the channel count changed while decoding";
          return false;
        }
        pcm.resize(count * static_cast<std::size_t>(ch) * 2);
        for (std::size_t i = 0; i < count * static_cast<std::size_t>(ch); ++i) {
          const float v = std::max(-1.0f, std::min(1.0f, frames[i]));
          const auto s = static_cast<int16_t>(std::lrint(std::min(32767.0f, v * 32768.0f)));
          pcm[2 * i] = static_cast<char>(static_cast<uint16_t>(s) & 0xFF);
          pcm[2 * i + 1] = static_cast<char>(static_cast<uint16_t>(s) >> 8);
        }
        out.write(pcm.data(), static_cast<std::streamsize>(pcm.size()));
        dataBytes += pcm.size();
        if (!out) failure = "cannot write " + tmp;
        return failure.empty();
      },
      error);
  if (ok && failure.empty() && !out.is_open()) ok = open(std::max(1, channels));
  if (ok && failure.empty()) {
    // Sizes last: RIFF's 32-bit fields, or RF64 with its ds64 chunk once they overflow.
    const uint64_t riffSize = head.size() - 8 + dataBytes;
    std::string fix;
    if (riffSize + 8 > riffLimit) {
      fix = "ds64";
      put32(fix, kDs64Size);
      put64(fix, riffSize);
      put64(fix, dataBytes);
      put64(fix, dataBytes / (2u * static_cast<unsigned>(outChannels)));
      put32(fix, 0);
      out.seekp(0);
      out.write("RF64\xFF\xFF\xFF\xFF", 8);
      out.seekp(static_cast<std::streamoff>(junkAt));
      out.write(fix.data(), static_cast<std::streamsize>(fix.size()));
      out.seekp(static_cast<std::streamoff>(dataSizeAt));
      out.write("\xFF\xFF\xFF\xFF", 4);
    } else {
      put32(fix, static_cast<uint32_t>(riffSize));
      out.seekp(4);
      out.write(fix.data(), 4);
      fix.clear();
      put32(fix, static_cast<uint32_t>(dataBytes));
      out.seekp(static_cast<std::streamoff>(dataSizeAt));
      out.write(fix.data(), 4);
    }
    out.flush();
    if (!out) failure = "cannot write " + tmp;
  }
  out.close();
  if (ok && failure.empty() && !syncToDisk(tmp, false)) failure = "cannot write " + tmp;
  std::error_code ec;
  if (!ok || !failure.empty()) {
    fs::remove(tmp, ec);
    if (!failure.empty()) error = failure;
    if (error.empty()) error = "cannot decode " + source;
    return false;
  }
  fs::rename(tmp, target, ec);
  if (ec) {
    error = "cannot rename " + tmp + " to " + target + ": " + ec.message();
    fs::remove(tmp, ec);
    return false;
  }
  syncToDisk(parentFolder(target), true);
  return true;
}

}  // namespace velktool
