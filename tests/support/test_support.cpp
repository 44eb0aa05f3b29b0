#include "test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "velk/wav_writer.h"

namespace velktest {

TempDir::TempDir(const std::string& tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / (tag + "-XXXXXX")).string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void putU16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v & 0xff));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void putU32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xff));
}

void putTag(std::vector<uint8_t>& b, const char* tag) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(tag[i]));
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

int deadProcessId() {
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return static_cast<int>(child);
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> wavBytes(const WavLayout& s) {
  std::vector<uint8_t> b;
  putTag(b, "RIFF");
  putU32(b, s.riffSize);
  putTag(b, "WAVE");
  b.insert(b.end(), s.before.begin(), s.before.end());
  putTag(b, "fmt ");
  putU32(b, s.fmtSize);
  putU16(b, s.tag);
  putU16(b, s.channels);
  putU32(b, s.rate);
  putU32(b, s.rate * s.channels * (s.bits / 8u));
  putU16(b, static_cast<uint16_t>(s.channels * (s.bits / 8u)));
  putU16(b, s.bits);
  b.insert(b.end(), s.fmtExtra.begin(), s.fmtExtra.end());
  b.insert(b.end(), s.between.begin(), s.between.end());
  putTag(b, "data");
  putU32(b,
         s.dataSize < 0 ? static_cast<uint32_t>(s.data.size()) : static_cast<uint32_t>(s.dataSize));
  b.insert(b.end(), s.data.begin(), s.data.end());
  b.insert(b.end(), s.after.begin(), s.after.end());
  return b;
}

void writeWav16(const std::string& path, const std::vector<float>& interleaved, uint32_t sampleRate,
                int channels) {
  std::string error;
  if (!Velk::writeWavFile(path, interleaved.data(),
                          interleaved.size() / static_cast<std::size_t>(channels), sampleRate,
                          channels, error))
    throw std::runtime_error(error);
}

std::vector<float> eventSignal(uint32_t seed, double seconds, uint32_t sampleRate) {
  const std::size_t n = static_cast<std::size_t>(seconds * sampleRate);
  std::vector<float> out(n, 0.0f);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> uni(0.0, 1.0);
  std::normal_distribution<double> gauss(0.0, 1.0);
  const double nyquist = sampleRate / 2.0;
  // Quiet noise bed.
  for (auto& s : out) s = static_cast<float>(0.002 * gauss(rng));
  // About eight events per second, of varied kinds, lengths and levels.
  const std::size_t events = static_cast<std::size_t>(seconds * 8.0) + 1;
  for (std::size_t e = 0; e < events; ++e) {
    const std::size_t start = static_cast<std::size_t>(uni(rng) * n);
    const double len = 0.03 + 0.4 * uni(rng);
    const std::size_t count = static_cast<std::size_t>(len * sampleRate);
    const double level = 0.05 + 0.25 * uni(rng);
    const int kind = static_cast<int>(uni(rng) * 4);
    const double f0 = 100.0 + uni(rng) * (nyquist * 0.85 - 100.0);
    const double f1 = 100.0 + uni(rng) * (nyquist * 0.85 - 100.0);
    double phase = 0.0;
    for (std::size_t i = 0; i < count && start + i < n; ++i) {
      const double t = static_cast<double>(i) / sampleRate;
      const double env = std::exp(-3.0 * t / len) * std::min(1.0, t * 400.0);
      double v = 0.0;
      switch (kind) {
        case 0:  // tone with two harmonics
          phase += 2.0 * M_PI * f0 / sampleRate;
          v = std::sin(phase) + 0.5 * std::sin(2.0 * phase) + 0.25 * std::sin(3.0 * phase);
          break;
        case 1: {  // chirp
          const double f = f0 + (f1 - f0) * (t / len);
          phase += 2.0 * M_PI * f / sampleRate;
          v = std::sin(phase);
          break;
        }
        case 2:  // click train
          v = (i % static_cast<std::size_t>(20 + f0 / 50.0) == 0) ? 3.0 : 0.0;
          break;
        default:  // noise burst
          v = gauss(rng);
          break;
      }
      out[start + i] += static_cast<float>(level * env * v);
    }
  }
  for (auto& s : out) s = std::max(-0.99f, std::min(0.99f, s));
  return out;
}

bool VectorInput::read(Velk::array<float>& buffer) {
  ++reads;
  const int32_t n = buffer.count();
  for (int32_t i = 0; i < n && pos_ < samples_.size(); ++i) buffer[i] = samples_[pos_++];
  return true;
}

}  // namespace velktest
