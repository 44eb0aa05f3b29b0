#include "test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "velk/wav_writer.h"

namespace velktest {

TempDir::TempDir(const std::string& tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / (tag + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
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
  putU16(b, static_cast<uint16_t>(v & 0xffff));
  putU16(b, static_cast<uint16_t>(v >> 16));
}

void putTag(std::vector<uint8_t>& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> readBytes(const std::string& path) {
  const std::string s = slurp(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int deadProcessId() {
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return static_cast<int>(child);
}

std::vector<uint8_t> chunk(const char* tag, uint32_t size, bool withBody) {
  std::vector<uint8_t> c;
  putTag(c, tag);
  putU32(c, size);
  for (uint32_t i = 0; withBody && i < size; ++i) c.push_back(static_cast<uint8_t>('a' + i % 26));
  return c;
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
  for (auto& s : out) s = static_cast<float>(0.002 * gauss(rng));  // quiet noise bed
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
      if (kind == 0) {  // tone with two harmonics
        phase += 2.0 * M_PI * f0 / sampleRate;
        v = std::sin(phase) + 0.5 * std::sin(2.0 * phase) + 0.25 * std::sin(3.0 * phase);
      } else if (kind == 1) {  // chirp
        phase += 2.0 * M_PI * (f0 + (f1 - f0) * (t / len)) / sampleRate;
        v = std::sin(phase);
      } else if (kind == 2) {  // click train
        v = (i % static_cast<std::size_t>(20 + f0 / 50.0) == 0) ? 3.0 : 0.0;
      } else {  // noise burst
        v = gauss(rng);
      }
      out[start + i] += static_cast<float>(level * env * v);
    }
  }
  for (auto& s : out) s = std::max(-0.99f, std::min(0.99f, s));
  return out;
}

std::vector<float> deviceView(const std::vector<float>& scene, double startSeconds, double seconds,
                              double ppm, uint32_t rate, uint32_t outRate) {
  const long half = 16;
  if (outRate == 0) outRate = rate;
  std::vector<float> out(static_cast<std::size_t>(seconds * outRate));
  for (std::size_t n = 0; n < out.size(); ++n) {
    const double at = (startSeconds + static_cast<double>(n) / outRate * (1.0 + ppm * 1e-6)) * rate;
    const long base = static_cast<long>(std::floor(at));
    const double frac = at - static_cast<double>(base);
    if (frac == 0.0) {
      if (base >= 0 && base < static_cast<long>(scene.size()))
        out[n] = static_cast<float>(0.9 * scene[static_cast<std::size_t>(base)]);
      continue;
    }
    // sin(pi (frac + j)) alternates in sign with j, so one sine serves every tap.
    const double s = std::sin(M_PI * frac) / M_PI;
    double acc = 0;
    for (long j = -half + 1; j <= half; ++j) {
      const long k = base - j;
      if (k < 0 || k >= static_cast<long>(scene.size())) continue;
      const double x = frac + static_cast<double>(j);
      acc += scene[static_cast<std::size_t>(k)] * ((j & 1) ? -s : s) / x *
             (0.5 + 0.5 * std::cos(M_PI * x / half));
    }
    out[n] = static_cast<float>(0.9 * acc);
  }
  return out;
}

std::vector<float> slice(const std::vector<float>& x, uint32_t rate, double fromSeconds,
                         double seconds) {
  const auto from = x.begin() + static_cast<std::ptrdiff_t>(fromSeconds * rate);
  return std::vector<float>(
      from, seconds < 0 ? x.end() : from + static_cast<std::ptrdiff_t>(seconds * rate));
}

void addNoise(std::vector<float>& x, double snrDb, uint32_t seed) {
  double power = 0;
  for (float v : x) power += static_cast<double>(v) * v;
  power /= static_cast<double>(x.size());
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, std::sqrt(power / std::pow(10.0, snrDb / 10.0)));
  for (float& v : x) v += static_cast<float>(g(rng));
}

Lag bestLag(const std::vector<float>& x, const std::vector<float>& y, std::size_t from,
            std::size_t n, long minLag, long maxLag) {
  Lag r;
  double best = -1e300;
  const std::size_t end = std::min(from + n, x.size());
  for (long l = minLag; l <= maxLag; ++l) {
    double xy = 0, xx = 0, yy = 0;
    for (std::size_t i = from; i < end; ++i) {
      const long j = static_cast<long>(i) + l;
      if (j < 0 || j >= static_cast<long>(y.size())) continue;
      const double u = x[i], v = y[static_cast<std::size_t>(j)];
      xy += u * v, xx += u * u, yy += v * v;
    }
    if (xy > best) best = xy, r.samples = l, r.similarity = xy / std::sqrt(xx * yy + 1e-30);
  }
  return r;
}

bool VectorInput::read(Velk::array<float>& buffer) {
  ++reads;
  for (int32_t i = 0; i < buffer.count() && pos_ < samples_.size(); ++i)
    buffer[i] = samples_[pos_++];
  return true;
}

std::unique_ptr<Velk::VkFileSet> makeSet(const std::vector<Lm>& landmarks,
                                         const std::set<int32_t>& ids) {
  auto set = std::make_unique<Velk::VkFileSet>();
  auto table = [&set](int32_t id) {
    auto it = set->getFiles().find(id);
    return it != set->getFiles().end() ? it->second : set->addFile(new Velk::VkFile(id));
  };
  for (int32_t id : ids) table(id);
  for (const Lm& l : landmarks) {
    Velk::VkFile* f = table(l.file);
    f->addLandmark(new Velk::Landmark(l.time, f, l.hash));
  }
  set->computeCLFs();
  return set;
}

std::vector<std::pair<int32_t, uint32_t>> landmarksOf(const Velk::VkFile& f) {
  std::vector<std::pair<int32_t, uint32_t>> out;
  for (const auto& kv : f.getLandmarks())
    for (const Velk::Landmark* l : kv.second) out.emplace_back(l->time, l->hash);
  return out;
}

Velk::Peak* addPeak(Velk::VkLandmarkExtract& ex, int freq, float amp, int time) {
  while (ex.frames->size() <= static_cast<std::size_t>(time))
    ex.frames->push_back(new Velk::VkLandmarkExtract::PeakList);
  Velk::Peak* p = new Velk::Peak{freq, amp, time};
  (*ex.frames)[static_cast<std::size_t>(time)]->push_back(p);
  return p;
}

void ProgressLog::setFraction(float f) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "f%.9g", static_cast<double>(f));
  calls.push_back(buf);
}

void ProgressLog::setStep(int32_t s) { calls.push_back("s" + std::to_string(s)); }

std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string velkBinary() {
  const char* dir = std::getenv("VELK_BIN_DIR");
  return std::string(dir != nullptr ? dir : "build/bin") + "/Velk";
}

ToolRun runVelk(const std::vector<std::string>& args, const std::string& captureDir,
                const std::string& shellPrefix) {
  std::string cmd = shellPrefix + shellQuote(velkBinary());
  for (const std::string& a : args) cmd += " " + shellQuote(a);
  const std::string outPath = captureDir + "/stdout.txt", errPath = captureDir + "/stderr.txt";
  cmd += " </dev/null >" + shellQuote(outPath) + " 2>" + shellQuote(errPath);
  ToolRun r;
  const int rc = std::system(cmd.c_str());
  r.status = rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = slurp(outPath);
  r.err = slurp(errPath);
  return r;
}

}  // namespace velktest
