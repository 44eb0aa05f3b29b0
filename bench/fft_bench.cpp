// Forward real FFT: ours against KissFFT (kiss_fftr) and FFTW (r2c, FFTW_MEASURE).
// Prints Google Benchmark's table and then the time ratios per size.
#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <kiss_fftr.h>
#include <rurorereriduv/transform.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

namespace tr = rurorereriduv::transform;

std::vector<float> Noise(size_t n) {
  std::mt19937 rng(1234);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

unsigned Log2(size_t n) {
  unsigned order = 0;
  while ((size_t{1} << order) < n) ++order;
  return order;
}

void BM_Ours(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  tr::FFTState_Float* st = nullptr;
  tr::FFTInit(&st, Log2(n));
  unsigned size = 0;
  tr::FFTGetBufSize(st, &size);
  std::vector<unsigned char> buf(size);
  const std::vector<float> in = Noise(n);
  std::vector<float> out(n + 2);
  for (auto _ : state) {
    tr::FFTFwd(in.data(), out.data(), st, buf.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  tr::FFTFree(st);
}

void BM_Kiss(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  kiss_fftr_cfg cfg = kiss_fftr_alloc(static_cast<int>(n), 0, nullptr, nullptr);
  const std::vector<float> in = Noise(n);
  std::vector<kiss_fft_cpx> out(n / 2 + 1);
  for (auto _ : state) {
    kiss_fftr(cfg, in.data(), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kiss_fftr_free(cfg);
}

void BM_Fftw(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  float* in = fftwf_alloc_real(n);
  fftwf_complex* out = fftwf_alloc_complex(n / 2 + 1);
  // Planning with FFTW_MEASURE overwrites the arrays, so fill them afterwards.
  fftwf_plan plan = fftwf_plan_dft_r2c_1d(static_cast<int>(n), in, out, FFTW_MEASURE);
  const std::vector<float> noise = Noise(n);
  std::copy(noise.begin(), noise.end(), in);
  for (auto _ : state) {
    fftwf_execute(plan);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(plan);
  fftwf_free(in);
  fftwf_free(out);
}

// Repeated runs, keeping the fastest: the shared machines are noisy.
void Sizes(benchmark::internal::Benchmark* b) {
  for (long n : {256L, 512L, 1024L, 65536L, 1L << 20, 1L << 22}) b->Arg(n);
  b->Repetitions(5)->DisplayAggregatesOnly(true)->ComputeStatistics(
      "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

BENCHMARK(BM_Ours)->Apply(Sizes);
BENCHMARK(BM_Kiss)->Apply(Sizes);
BENCHMARK(BM_Fftw)->Apply(Sizes);

// Keeps the fastest CPU time per transform, keyed by size then library.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "min") continue;
      const double ns =
          run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      times_[std::stol(run.run_name.args)][run.run_name.function_name] = ns;
    }
  }

  void PrintRatios() const {
    std::printf("\n%9s %12s %12s %12s %10s %10s\n", "size", "ours ns", "kiss ns", "fftw ns",
                "ours/kiss", "ours/fftw");
    for (const auto& [size, by_lib] : times_) {
      const double ours = Get(by_lib, "BM_Ours");
      const double kiss = Get(by_lib, "BM_Kiss");
      const double fftw = Get(by_lib, "BM_Fftw");
      std::printf("%9ld %12.1f %12.1f %12.1f %10.3f %10.3f\n", size, ours, kiss, fftw,
                  kiss > 0 ? ours / kiss : 0.0, fftw > 0 ? ours / fftw : 0.0);
    }
  }

 private:
  static double Get(const std::map<std::string, double>& m, const char* key) {
    const auto it = m.find(key);
    return it == m.end() ? 0.0 : it->second;
  }
  std::map<long, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
