// Reading a long compressed recording: a generated event-rich 48 kHz stereo WAV
// (10 minutes by default) is encoded to AAC (M4A) with the ffmpeg program, then
//   - the ffmpeg program decodes it to nothing (ffmpeg -i FILE -f null -), and
//   - MediaInput::open decodes it to 8000 Hz mono and VkLandmarkExtract runs on it,
// both timed on the wall clock in the same run. Prints both, their ratio and the
// memory the decoded input holds.
//
// Usage: media_bench [minutes [repetitions]]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"
#include "velk/landmark.h"
#include "velk/landmark_extract.h"
#include "velk/media.h"
#include "velk/wav_writer.h"

namespace {

double now() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// Resident and peak resident memory of this process in MiB, from /proc.
double procMiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + std::string(key).size()) / 1024.0;
  return -1;
}

// The peak starts again from the current size (Linux 4.0+); false if not possible.
bool resetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

// 16-bit stereo WAV written in blocks: the right channel is the left one delayed
// and softer, so the file has two distinct channels without a second generator run.
bool writeStereo(const std::string& path, const std::vector<float>& left, uint32_t rate) {
  Velk::WavLayout layout;
  layout.sampleRate = rate;
  layout.channels = 2;
  Velk::WavWriter wav;
  if (!wav.open(path, layout)) return false;
  std::vector<float> block;
  const size_t delay = rate / 100;
  for (size_t at = 0; at < left.size(); at += 65536) {
    const size_t n = std::min<size_t>(65536, left.size() - at);
    block.resize(2 * n);
    for (size_t i = 0; i < n; ++i) {
      const size_t k = at + i;
      block[2 * i] = left[k];
      block[2 * i + 1] = k >= delay ? 0.6f * left[k - delay] : 0.0f;
    }
    if (!wav.write(block.data(), n)) return false;
  }
  return wav.finish();
}

}  // namespace

int main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const uint32_t rate = 48000;
  if (!Velk::haveFFmpeg()) {
    std::printf("media_bench: this build has no FFmpeg; nothing to measure\n");
    return 0;
  }
  if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) {
    std::printf("media_bench: the ffmpeg program is not installed\n");
    return 0;
  }

  velktest::TempDir dir("velk-media-bench");
  const std::string wav = dir.file("long.wav");
  const std::string m4a = dir.file("long.m4a");
  {
    const std::vector<float> left = velktest::eventSignal(2024, minutes * 60.0, rate);
    if (!writeStereo(wav, left, rate)) {
      std::printf("media_bench: cannot write %s\n", wav.c_str());
      return 1;
    }
  }
  std::printf("encoding %.1f min of 48 kHz stereo to AAC...\n", minutes);
  if (std::system(
          ("ffmpeg -nostdin -v error -y -i " + wav + " -c:a aac -b:a 160k " + m4a).c_str()) != 0) {
    std::printf("media_bench: ffmpeg could not encode\n");
    return 1;
  }
  std::remove(wav.c_str());

  const std::string nullCmd = "ffmpeg -nostdin -v error -i " + m4a + " -f null -";
  double bestCli = 1e30;
  double bestDecode = 1e30;
  double bestTotal = 1e30;
  size_t landmarks = 0;
  uint64_t samples = 0;
  double heldMiB = 0;
  double peakMiB = -1;
  for (int r = 0; r < repetitions; ++r) {
    double t = now();
    if (std::system(nullCmd.c_str()) != 0) {
      std::printf("media_bench: ffmpeg could not decode\n");
      return 1;
    }
    bestCli = std::min(bestCli, now() - t);

    const double before = procMiB("VmRSS:");
    const bool peakReset = resetPeak();
    t = now();
    std::string error;
    std::unique_ptr<Velk::MediaInput> in = Velk::MediaInput::open(m4a, 8000, error);
    if (!in) {
      std::printf("media_bench: %s\n", error.c_str());
      return 1;
    }
    const double decoded = now();
    Velk::VkLandmarkExtract extractor{Velk::VkExtractParams()};
    std::unique_ptr<Velk::VkFile> file(extractor.run(in.get(), 1));
    const double done = now();
    bestDecode = std::min(bestDecode, decoded - t);
    bestTotal = std::min(bestTotal, done - t);
    landmarks = file ? file->getLandmarkCount() : 0;
    samples = in->getNumSamples();
    heldMiB = static_cast<double>(in->samples().capacity() * sizeof(float)) / (1024.0 * 1024.0);
    // Only the first round: later ones reuse memory the allocator kept.
    if (peakReset && r == 0) peakMiB = procMiB("VmHWM:") - before;
    if (!in->warnings().empty()) std::printf("warnings: %s", in->warnings().c_str());
  }

  std::printf("file: %.1f min, 48 kHz stereo AAC (M4A), best of %d\n", minutes, repetitions);
  std::printf("ffmpeg -i FILE -f null -           %8.3f s\n", bestCli);
  std::printf("MediaInput::open (decode to 8 kHz) %8.3f s  (%.2fx ffmpeg)\n", bestDecode,
              bestDecode / bestCli);
  std::printf("open + VkLandmarkExtract::run      %8.3f s  (%.2fx ffmpeg)\n", bestTotal,
              bestTotal / bestCli);
  std::printf("samples %llu (%.1f s at 8 kHz), landmarks %zu\n",
              static_cast<unsigned long long>(samples), samples / 8000.0, landmarks);
  std::printf("decoded input holds %.1f MiB", heldMiB);
  if (peakMiB >= 0) std::printf("; peak growth during open + extraction %.1f MiB", peakMiB);
  std::printf("\n");
  return 0;
}
