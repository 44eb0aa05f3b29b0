#include <gtest/gtest.h>
#include <rurorereriduv/fft_internal.h>
#include <rurorereriduv/transform.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <thread>
#include <vector>

namespace {

namespace tr = rurorereriduv::transform;
using cd = std::complex<double>;

constexpr double kPi = 3.14159265358979323846;

// Owns a state and a scratch buffer of exactly the requested size. `portable`
// forces the 4-lane kernels, which otherwise only run on CPUs without AVX2.
struct Fft {
  Fft(unsigned order, bool portable = false) : n(size_t{1} << order) {
    (portable ? tr::FFTInitPortable : tr::FFTInit)(&state, order);
    unsigned size = 0;
    tr::FFTGetBufSize(state, &size);
    buf.resize(size);
  }
  ~Fft() { tr::FFTFree(state); }
  std::vector<float> Fwd(const std::vector<float>& in) {
    std::vector<float> out(n + 2);
    tr::FFTFwd(in.data(), out.data(), state, buf.empty() ? nullptr : buf.data());
    return out;
  }
  std::vector<float> Inv(const std::vector<float>& in) {
    std::vector<float> out(n);
    tr::FFTInv(in.data(), out.data(), state, buf.empty() ? nullptr : buf.data());
    return out;
  }
  size_t n;
  tr::FFTState_Float* state = nullptr;
  std::vector<unsigned char> buf;
};

std::vector<float> Noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

cd DirectBin(const std::vector<float>& x, size_t k) {
  const size_t n = x.size();
  cd sum = 0;
  for (size_t j = 0; j < n; ++j)
    sum += double(x[j]) * std::polar(1.0, -2 * kPi * double((k * j) % n) / double(n));
  return sum;
}

cd Bin(const std::vector<float>& packed, size_t k) { return {packed[2 * k], packed[2 * k + 1]}; }

// Runs each case on the kernels FFTInit picks and on the portable ones.
class FftTest : public ::testing::TestWithParam<bool> {};

TEST_P(FftTest, MatchesDirectDftForEverySizeUpTo4096) {
  for (unsigned order = 0; order <= 12; ++order) {
    Fft fft(order, GetParam());
    const std::vector<float> x = Noise(fft.n, 7 + order);
    const std::vector<float> packed = fft.Fwd(x);
    std::vector<cd> ref(fft.n / 2 + 1);
    double peak = 0;
    for (size_t k = 0; k < ref.size(); ++k) {
      ref[k] = DirectBin(x, k);
      peak = std::max(peak, std::abs(ref[k]));
    }
    double worst = 0;
    for (size_t k = 0; k < ref.size(); ++k)
      worst = std::max(worst, std::abs(Bin(packed, k) - ref[k]));
    EXPECT_LT(worst, 1e-5 * peak) << "n=" << fft.n;
    EXPECT_EQ(packed[1], 0.0f) << "n=" << fft.n;
    if (fft.n > 1) {
      EXPECT_EQ(packed[fft.n + 1], 0.0f) << "n=" << fft.n;
    }
  }
}

// Large sizes: the inverse undoes the forward transform, scaled by n, and a few
// bins match the direct sum (uniform noise gives bins of about sqrt(n / 3)).
TEST_P(FftTest, InverseUndoesForwardScaledByN) {
  for (unsigned order : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 11u, 15u, 18u, 20u}) {
    Fft fft(order, GetParam());
    const std::vector<float> x = Noise(fft.n, 30 + order);
    const std::vector<float> packed = fft.Fwd(x);
    const std::vector<float> back = fft.Inv(packed);
    double worst = 0;
    for (size_t j = 0; j < fft.n; ++j)
      worst = std::max(worst, std::abs(back[j] / double(fft.n) - x[j]));
    EXPECT_LT(worst, 1e-5) << "n=" << fft.n;
    for (size_t k : {size_t{1}, size_t{777}, fft.n / 2 - 3, fft.n / 2}) {
      if (fft.n < 2048) break;
      EXPECT_LT(std::abs(Bin(packed, k) - DirectBin(x, k)), 1e-4 * std::sqrt(fft.n / 3.0))
          << "n=" << fft.n << " k=" << k;
    }
  }
}

TEST_P(FftTest, WritesOnlyItsOutputAndToleratesOddScratch) {
  for (unsigned order : {0u, 3u, 5u, 6u, 10u, 14u}) {
    Fft fft(order, GetParam());
    const size_t n = fft.n;
    const std::vector<float> x = Noise(n, 5);
    const float sentinel = -12345.5f;
    std::vector<float> out(n + 4, sentinel);
    // Misaligned scratch: the transform must not assume the caller aligned it.
    std::vector<unsigned char> odd(fft.buf.size() + 1);
    tr::FFTFwd(x.data(), out.data(), fft.state, fft.buf.empty() ? nullptr : odd.data() + 1);
    EXPECT_EQ(out[n + 2], sentinel) << "n=" << n;
    EXPECT_EQ(out[n + 3], sentinel) << "n=" << n;
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + long(n + 2), fft.Fwd(x).begin()))
        << "n=" << n;
    std::vector<float> back(n + 2, sentinel);
    tr::FFTInv(out.data(), back.data(), fft.state, fft.buf.empty() ? nullptr : odd.data() + 1);
    EXPECT_EQ(back[n], sentinel) << "n=" << n;
    EXPECT_EQ(back[n + 1], sentinel) << "n=" << n;
  }
}

TEST(FftThreads, ShareOneState) {
  Fft fft(12);
  const std::vector<float> x = Noise(fft.n, 3);
  const std::vector<float> want = fft.Fwd(x);
  std::vector<std::vector<float>> got(4);
  std::vector<std::thread> threads;
  for (auto& result : got) {
    threads.emplace_back([&fft, &x, &result] {
      std::vector<unsigned char> buf(fft.buf.size());
      std::vector<float> out(fft.n + 2);
      for (int rep = 0; rep < 200; ++rep) tr::FFTFwd(x.data(), out.data(), fft.state, buf.data());
      result = out;
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& result : got) EXPECT_EQ(result, want);
}

INSTANTIATE_TEST_SUITE_P(Kernels, FftTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Portable" : "Default";
                         });

}  // namespace
