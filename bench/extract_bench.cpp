// Extraction throughput: writes a deterministic, event-rich WAV (10 minutes at
// 8000 Hz by default) and runs it through VkLandmarkExtract::run(path, id), file
// reading included. Prints audio seconds per CPU second, landmarks per second
// of audio and the peak resident set size.
//
// Usage: extract_bench [minutes [repetitions]]
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"
#include "velk/landmark_extract.h"

namespace {

double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const uint32_t rate = 8000;
  const double seconds = minutes * 60.0;

  velktest::TempDir dir("velk-extract-bench");
  const std::string path = dir.file("event.wav");
  velktest::writeWav16(path, velktest::eventSignal(2024, seconds, rate), rate);

  Velk::VkLandmarkExtract extractor{Velk::VkExtractParams()};
  std::vector<double> times;
  std::size_t landmarks = 0;
  for (int r = 0; r < repetitions; ++r) {
    const double start = cpuSeconds();
    std::unique_ptr<Velk::VkFile> file(extractor.run(path, 1));
    const double used = cpuSeconds() - start;
    if (!file) {
      std::fprintf(stderr, "extraction failed\n");
      return 1;
    }
    landmarks = file->getLandmarkCount();
    times.push_back(used);
  }
  std::sort(times.begin(), times.end());
  const double best = times.front();
  const double median = times[times.size() / 2];

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("audio: %.0f s at %u Hz, %d runs\n", seconds, rate, repetitions);
  std::printf("cpu per run: best %.4f s, median %.4f s\n", best, median);
  std::printf("speed: %.0f x real time (best), %.0f x (median)\n", seconds / best,
              seconds / median);
  std::printf("landmarks: %zu (%.1f per second of audio)\n", landmarks,
              static_cast<double>(landmarks) / seconds);
  std::printf("peak RSS: %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
