#include "simulate.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <thread>

#include "velk/wav_writer.h"

namespace velksim {
namespace {

constexpr double kPi = 3.14159265358979323846;

// splitmix64 with our own conversions: the standard distributions differ
// between library implementations, and sets must be the same everywhere.
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed ^ 0x6A09E667F3BCC908ull) {}
  uint64_t next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
  double uniform(double a, double b) { return a + (b - a) * uniform(); }
  int range(int lo, int hi) {
    return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1));
  }
  bool chance(double p) { return uniform() < p; }
  // Near-Gaussian (sum of four uniforms, unit variance): plenty for noise, and
  // far cheaper than exact transforms on millions of samples.
  double normal() {
    const uint64_t r = next();
    const double sum =
        static_cast<double>((r & 0xffff) + ((r >> 16) & 0xffff) + ((r >> 32) & 0xffff) + (r >> 48));
    return (sum / 65535.0 - 2.0) * 1.7320508075688772;
  }
  Rng fork() { return Rng(next()); }

 private:
  uint64_t s_;
};

// Table sine: tones are the bulk of the synthesis work.
class SineTable {
 public:
  static const SineTable& get() {
    static const SineTable table;
    return table;
  }
  float at(double cycles) const {
    const double x = (cycles - std::floor(cycles)) * kSize;
    const auto i = static_cast<int>(x);
    const auto f = static_cast<float>(x - i);
    return t_[i] + f * (t_[i + 1] - t_[i]);
  }

 private:
  static constexpr int kSize = 4096;
  SineTable() : t_(kSize + 1) {
    for (int i = 0; i <= kSize; ++i) t_[i] = static_cast<float>(std::sin(2.0 * kPi * i / kSize));
  }
  std::vector<float> t_;
};

// Second-order sections after the well-known audio cookbook formulas.
class Biquad {
 public:
  enum Kind { kLowPass, kHighPass, kBandPass };
  Biquad(Kind kind, double fs, double f, double q) {
    f = std::min(f, 0.45 * fs);
    const double w = 2.0 * kPi * f / fs, cw = std::cos(w), alpha = std::sin(w) / (2.0 * q);
    const double a0 = 1.0 + alpha;
    switch (kind) {
      case kLowPass:
        b0_ = b2_ = (1.0 - cw) / 2.0 / a0;
        b1_ = (1.0 - cw) / a0;
        break;
      case kHighPass:
        b0_ = b2_ = (1.0 + cw) / 2.0 / a0;
        b1_ = -(1.0 + cw) / a0;
        break;
      case kBandPass:
        b0_ = alpha / a0;
        b1_ = 0.0;
        b2_ = -alpha / a0;
        break;
    }
    a1_ = -2.0 * cw / a0;
    a2_ = (1.0 - alpha) / a0;
  }
  float operator()(float x) {
    const double y = b0_ * x + z1_;
    z1_ = b1_ * x - a1_ * y + z2_;
    z2_ = b2_ * x - a2_ * y;
    return static_cast<float>(y);
  }

 private:
  double b0_, b1_, b2_, a1_, a2_;
  double z1_ = 0.0, z2_ = 0.0;
};

using Buffer = std::vector<float>;

// White to roughly -3 dB per octave: three leaky integrators at spread corners.
class PinkNoise {
 public:
  double operator()(double white) {
    b0_ = 0.99765 * b0_ + white * 0.0990460;
    b1_ = 0.96300 * b1_ + white * 0.2965164;
    b2_ = 0.57000 * b2_ + white * 1.0526913;
    return b0_ + b1_ + b2_ + white * 0.1848;
  }

 private:
  double b0_ = 0.0, b1_ = 0.0, b2_ = 0.0;
};

double rms(const float* x, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<double>(x[i]) * x[i];
  return n == 0 ? 0.0 : std::sqrt(s / static_cast<double>(n));
}

// Adds src at sample `at`, scaled to the given RMS level (so components of very
// different raw loudness mix at the intended balance).
void mixAtLevel(Buffer& out, const Buffer& src, int64_t at, double level) {
  const double r = rms(src.data(), src.size());
  if (r <= 0.0) return;
  const auto g = static_cast<float>(level / r);
  for (std::size_t i = 0; i < src.size(); ++i) {
    const int64_t j = at + static_cast<int64_t>(i);
    if (j >= 0 && j < static_cast<int64_t>(out.size()))
      out[static_cast<std::size_t>(j)] += g * src[i];
  }
}

struct Timbre {
  int harmonics;
  double brightness;  // amplitude ratio of successive harmonics
  double attack;      // seconds
  double decay;       // per second, while held (0: organ-like, 3: plucked)
  double vibrato;     // relative depth
};

// A harmonic note with an attack, a held decay and a release.
void addNote(Buffer& out, double fs, double start, double dur, double f0, double amp,
             const Timbre& tb) {
  const double release = 0.08 + 0.1 * tb.attack;
  const auto i0 = static_cast<int64_t>(start * fs);
  const auto n = static_cast<int64_t>((dur + 4.0 * release) * fs);
  const SineTable& sine = SineTable::get();
  const int harmonics = std::max(1, std::min(tb.harmonics, static_cast<int>(0.45 * fs / f0)));
  double weights[16];
  double total = 0.0;
  for (int k = 0; k < harmonics && k < 16; ++k) total += weights[k] = std::pow(tb.brightness, k);
  double phase = 0.0;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t j = i0 + i;
    if (j < 0) continue;
    if (j >= static_cast<int64_t>(out.size())) break;
    const double t = static_cast<double>(i) / fs;
    double env = std::min(1.0, t / tb.attack) * std::exp(-tb.decay * std::min(t, dur));
    if (t > dur) env *= std::exp(-(t - dur) / release);
    phase += f0 * (1.0 + tb.vibrato * sine.at(5.5 * t)) / fs;
    double v = 0.0;
    for (int k = 0; k < harmonics && k < 16; ++k) v += weights[k] * sine.at(phase * (k + 1));
    out[static_cast<std::size_t>(j)] += static_cast<float>(amp * env * v / total);
  }
}

// Every band has its own drum kit.
struct Kit {
  double kickLow, kickHigh, kickDecay;  // pitch sweep (Hz) and decay (s) of the kick
  double snare;                         // centre of the snare's noise band
  double hat;                           // corner of the hi-hat's high-pass
};

void addKick(Buffer& out, double fs, double start, double amp, const Kit& kit) {
  const auto i0 = static_cast<int64_t>(start * fs);
  const auto n = static_cast<int64_t>(0.35 * fs);
  double phase = 0.0;
  for (int64_t i = 0; i < n && i0 + i < static_cast<int64_t>(out.size()); ++i) {
    const double t = static_cast<double>(i) / fs;
    phase += (kit.kickLow + kit.kickHigh * std::exp(-t / 0.03)) / fs;
    if (i0 + i < 0) continue;
    out[static_cast<std::size_t>(i0 + i)] +=
        static_cast<float>(amp * std::exp(-t / kit.kickDecay) * std::sin(2.0 * kPi * phase));
  }
}

// Filtered noise burst: snares, hats, claps, consonants, coughs.
Buffer noiseBurst(double fs, double dur, double tau, Biquad filter, Rng& rng) {
  Buffer b(static_cast<std::size_t>(dur * fs));
  for (std::size_t i = 0; i < b.size(); ++i) {
    const double t = static_cast<double>(i) / fs;
    b[i] =
        filter(static_cast<float>(rng.normal() * std::exp(-t / tau) * std::min(1.0, t * 2000.0)));
  }
  return b;
}

// One spoken syllable: a glottal pulse train through three formant resonators,
// with a falling or rising pitch glide.
Buffer syllable(double fs, double dur, double pitch, double glide, const double formants[3],
                Rng& rng) {
  Buffer b(static_cast<std::size_t>(dur * fs));
  Biquad f1(Biquad::kBandPass, fs, formants[0], formants[0] / 90.0);
  Biquad f2(Biquad::kBandPass, fs, formants[1], formants[1] / 120.0);
  Biquad f3(Biquad::kBandPass, fs, formants[2], formants[2] / 180.0);
  double phase = rng.uniform();
  for (std::size_t i = 0; i < b.size(); ++i) {
    const double t = static_cast<double>(i) / fs;
    phase += pitch * (1.0 + glide * t / dur) / fs;
    float x = static_cast<float>(0.03 * rng.normal());
    if (phase >= 1.0) {
      phase -= 1.0;
      x += 1.0f;
    }
    const double env = std::min(1.0, t / 0.015) * std::min(1.0, (dur - t) / 0.04);
    b[i] = static_cast<float>(env * (f1(x) + 0.7 * f2(x) + 0.35 * f3(x)));
  }
  return b;
}

const double kVowels[][3] = {{730, 1090, 2440}, {530, 1840, 2480}, {270, 2290, 3010},
                             {570, 840, 2410},  {300, 870, 2240},  {660, 1720, 2410},
                             {490, 1350, 1690}, {400, 2000, 2550}};

struct Talker {
  double pitch;    // Hz
  double formant;  // scale of the formant frequencies
  double level;
};

// Talk from t0 to t1: phrases of words of syllables, with pauses.
void addSpeech(Buffer& out, double fs, double t0, double t1, const std::vector<Talker>& talkers,
               Rng& rng, double levelScale) {
  double t = t0 + rng.uniform(0.0, 0.5);
  std::size_t who = 0;
  while (t < t1) {
    if (talkers.size() > 1 && rng.chance(0.3))
      who = static_cast<std::size_t>(rng.range(0, static_cast<int>(talkers.size()) - 1));
    const Talker& tk = talkers[who];
    const int words = rng.range(3, 12);
    double pitch = tk.pitch * rng.uniform(1.0, 1.25);
    for (int w = 0; w < words && t < t1; ++w) {
      const int syllables = rng.range(1, 3);
      for (int s = 0; s < syllables; ++s) {
        if (rng.chance(0.25)) {  // fricative onset
          const double dur = rng.uniform(0.05, 0.12);
          Buffer f = noiseBurst(fs, dur, dur,
                                Biquad(Biquad::kBandPass, fs, rng.uniform(3500, 6500), 2.0), rng);
          mixAtLevel(out, f, static_cast<int64_t>(t * fs), 0.25 * tk.level * levelScale);
          t += dur * 0.8;
        }
        double formants[3];
        const auto& v = kVowels[rng.range(0, 7)];
        for (int k = 0; k < 3; ++k) formants[k] = v[k] * tk.formant;
        const double dur = rng.uniform(0.09, 0.28);
        Buffer syl = syllable(fs, dur, pitch, rng.uniform(-0.15, 0.1), formants, rng);
        mixAtLevel(out, syl, static_cast<int64_t>(t * fs),
                   tk.level * levelScale * rng.uniform(0.6, 1.0));
        t += dur + rng.uniform(0.0, 0.03);
        pitch *= 0.985;  // declination over the phrase
      }
      t += rng.uniform(0.04, 0.15);
    }
    t += rng.uniform(0.3, 1.2);
  }
}

void addApplause(Buffer& out, double fs, double t0, double dur, double level, Rng& rng) {
  const int claps = static_cast<int>(dur * rng.uniform(40, 120));
  for (int c = 0; c < claps; ++c) {
    Buffer b = noiseBurst(fs, 0.03, 0.008,
                          Biquad(Biquad::kBandPass, fs, rng.uniform(900, 2600), 1.5), rng);
    const double t = t0 + rng.uniform(0.0, dur);
    mixAtLevel(out, b, static_cast<int64_t>(t * fs),
               level * rng.uniform(0.3, 1.0) * std::sin(kPi * (t - t0) / dur));
  }
}

// The mix of a band, as RMS levels relative to the section's level.
constexpr double kPadLevel = 0.10, kKickLevel = 0.5, kSnareLevel = 0.12, kHatLevel = 0.03,
                 kBassLevel = 0.3, kLeadLevel = 0.22;
// How far a human player lands off the grid, in seconds either way.
constexpr double kHumanTiming = 0.012;

// What a band keeps for the whole song: tempo, key, kit and sounds.
struct Band {
  double beat = 0.0;  // seconds
  double root = 0.0;  // Hz
  Kit kit{};
  const int* scale = nullptr;
  Timbre lead{}, pad{}, bass{};
  const int* prog = nullptr;  // the chord degrees of the current section
  int melody = 0;             // the degree the melody is at

  double degree(int d, int octave) const {
    const int o = d >= 0 ? d / 7 : (d - 6) / 7;
    return root * std::pow(2.0, octave + o + scale[d - 7 * o] / 12.0);
  }
};

const int kProgressions[][4] = {{0, 5, 3, 4}, {0, 3, 4, 0}, {5, 3, 0, 4}, {0, 4, 5, 3}};

Band makeBand(Rng& rng) {
  Band band;
  band.beat = 60.0 / rng.uniform(78, 150);
  // Bands tune a little sharp or flat of standard pitch.
  band.root = 55.0 * std::pow(2.0, (rng.range(0, 11) + rng.uniform(-0.3, 0.3)) / 12.0);
  band.kit = Kit{rng.uniform(40, 60), rng.uniform(70, 140), rng.uniform(0.08, 0.2),
                 rng.uniform(1200, 2600), rng.uniform(5000, 8000)};
  static const int kMajor[] = {0, 2, 4, 5, 7, 9, 11};
  static const int kMinor[] = {0, 2, 3, 5, 7, 8, 10};
  band.scale = rng.chance(0.5) ? kMajor : kMinor;
  band.lead = Timbre{rng.range(3, 8), rng.uniform(0.35, 0.75), rng.uniform(0.005, 0.04),
                     rng.uniform(0.0, 3.0), rng.uniform(0.0, 0.006)};
  band.pad = Timbre{rng.range(3, 6), rng.uniform(0.3, 0.6), rng.uniform(0.03, 0.15), 0.2, 0.003};
  band.bass = Timbre{4, 0.45, 0.01, rng.uniform(0.5, 2.0), 0.0};
  band.prog = kProgressions[rng.range(0, 3)];
  band.melody = rng.range(0, 6);
  return band;
}

// One section as it is played: its beat, its level and which parts play.
struct Section {
  Buffer& out;
  double fs;
  Band& band;
  Rng& rng;
  bool human;
  double bt = 0.0;     // the beat, with the section's tempo
  double level = 0.0;  // the section's level
  int kind = 0;        // 0, 1, 2: full; 3: breakdown; 4: drums and bass

  double nudge() { return human ? rng.uniform(-kHumanTiming, kHumanTiming) : 0.0; }
  double strength() { return human ? rng.uniform(0.7, 1.0) : 1.0; }
};

void addChord(Section& s, double t0, int chord) {
  for (int k = 0; k < 3; ++k) {
    addNote(s.out, s.fs, t0 + s.nudge(), 4 * s.bt * 0.95, s.band.degree(chord + 2 * k, 2),
            kPadLevel * s.level * s.strength(), s.band.pad);
  }
}

// Kick on the strong beats (and now and then between), snare on the weak
// ones, two hi-hats a beat.
void addDrums(Section& s, double tq, int q) {
  Rng& rng = s.rng;
  const double fs = s.fs;
  const Kit& kit = s.band.kit;
  const double swing =
      s.human ? rng.uniform(-kHumanTiming, kHumanTiming) : rng.uniform(-0.004, 0.004);
  if (q % 2 == 0 || rng.chance(0.15))
    addKick(s.out, fs, tq + swing, kKickLevel * s.level * s.strength(), kit);
  if (q % 2 == 1) {
    Buffer snare = noiseBurst(fs, 0.2, 0.05, Biquad(Biquad::kBandPass, fs, kit.snare, 0.7), rng);
    mixAtLevel(s.out, snare, static_cast<int64_t>((tq + swing) * fs), kSnareLevel * s.level);
  }
  for (int e = 0; e < 2; ++e) {
    if (!rng.chance(0.85)) continue;
    Buffer h = noiseBurst(fs, 0.06, 0.015, Biquad(Biquad::kHighPass, fs, kit.hat, 0.7), rng);
    mixAtLevel(s.out, h, static_cast<int64_t>((tq + e * s.bt / 2 + s.nudge()) * fs),
               kHatLevel * s.level * (e == 0 ? 1.0 : 0.6));
  }
}

// A melody that walks the scale in notes of varied length through one bar.
void addMelody(Section& s, double t0) {
  Rng& rng = s.rng;
  for (double tn = t0; tn < t0 + 4 * s.bt - 1e-9;) {
    static const double kLengths[] = {0.5, 0.5, 1.0, 1.0, 1.5, 2.0, 0.25};
    const double len = kLengths[rng.range(0, 6)] * s.bt;
    if (rng.chance(0.8)) {
      s.band.melody = std::max(-3, std::min(12, s.band.melody + rng.range(-3, 3)));
      addNote(s.out, s.fs, tn + s.nudge(), len * 0.9, s.band.degree(s.band.melody, 3),
              kLeadLevel * s.level * s.strength(), s.band.lead);
    }
    tn += len;
  }
}

// Bar b of the section that starts at bar.
void addBar(Section& s, double t0, double bar, int b) {
  const bool drums = s.kind != 3, chords = s.kind != 4, melodic = s.kind != 4;
  const int chord = s.band.prog[(static_cast<int>(bar) / 8 + b) % 4];
  if (chords) addChord(s, t0, chord);
  for (int q = 0; q < 4; ++q) {
    const double tq = t0 + q * s.bt;
    if (drums) addDrums(s, tq, q);
    if (s.kind != 3 || q % 2 == 0) {
      addNote(s.out, s.fs, tq + s.nudge(), s.bt * 0.9, s.band.degree(chord + (q == 2 ? 4 : 0), 0),
              kBassLevel * s.level * s.strength(), s.band.bass);
    }
  }
  if (melodic) addMelody(s, t0);
}

// A band: sections of drums, bass, chords and melody in one key and tempo.
// Played by humans, the tempo wanders from section to section, the chords
// change between sections and no note lands exactly on the grid or at the same
// strength twice; otherwise the band is a machine, whose bars repeat to the
// sample but for the hi-hats and the melody.
void addMusic(Buffer& out, double fs, double seconds, Rng& rng, double level, bool human = false) {
  Band band = makeBand(rng);
  const double beat = band.beat;
  double tempo = 1.0, sectionStart = 0.0;
  for (double bar = 0.0; (human ? sectionStart : bar * 4 * beat) < seconds; bar += 8) {
    if (human) {
      tempo = std::max(0.97, std::min(1.03, tempo * rng.uniform(0.985, 1.015)));
      band.prog = kProgressions[rng.range(0, 3)];
    }
    Section s{out, fs, band, rng, human};
    s.bt = human ? beat * tempo : beat;
    s.kind = rng.range(0, 4);
    s.level = level * rng.uniform(0.6, 1.0);
    for (int b = 0; b < 8; ++b) {
      const double t0 = human ? sectionStart + b * 4 * s.bt : (bar + b) * 4 * beat;
      if (t0 >= seconds) break;
      addBar(s, t0, bar, b);
    }
    sectionStart += 8 * 4 * s.bt;
  }
}

enum class Scene { kConcert, kTalk, kParty };

// Sources peak at 0.6, leaving the devices' gains and reverberation headroom.
void normalizePeak(Buffer& out) {
  float peak = 0.0f;
  for (float s : out) peak = std::max(peak, std::fabs(s));
  if (peak > 0.0f) {
    for (float& s : out) s *= 0.6f / peak;
  }
}

// The source signal of one event (or of an unrelated recording).
Buffer makeScene(double fs, int64_t samples, Rng& rng, bool human = false) {
  Buffer out(static_cast<std::size_t>(samples), 0.0f);
  const double seconds = static_cast<double>(samples) / fs;
  const Scene scene = static_cast<Scene>(rng.range(0, 2));
  std::vector<Talker> talkers;
  for (int i = rng.range(1, 3); i > 0; --i) {
    const bool high = rng.chance(0.5);
    talkers.push_back({high ? rng.uniform(165, 250) : rng.uniform(85, 140),
                       high ? rng.uniform(1.08, 1.2) : rng.uniform(0.92, 1.02),
                       rng.uniform(0.7, 1.0)});
  }
  switch (scene) {
    case Scene::kConcert:
      addMusic(out, fs, seconds, rng, 1.0, human);
      break;
    case Scene::kTalk:
      addSpeech(out, fs, 0.0, seconds, talkers, rng, 0.12);
      break;
    case Scene::kParty: {
      addMusic(out, fs, seconds, rng, 0.35, human);
      for (double t = rng.uniform(0, 10); t < seconds; t += rng.uniform(8, 25)) {
        addSpeech(out, fs, t, std::min(seconds, t + rng.uniform(3, 12)), talkers, rng, 0.12);
      }
      break;
    }
  }
  // Crowd and room: occasional applause or laughter, a quiet noise bed.
  for (double t = rng.uniform(5, 40); t < seconds; t += rng.uniform(20, 70)) {
    addApplause(out, fs, t, rng.uniform(1.5, 5.0), scene == Scene::kTalk ? 0.05 : 0.08, rng);
  }
  PinkNoise pink;
  for (float& s : out) s += static_cast<float>(0.002 * pink(rng.normal()));
  normalizePeak(out);
  return out;
}

struct Device {
  double gain;
  double highPass;
  double lowPass;
  double snrDb;
  std::vector<std::pair<int64_t, float>> taps;  // (delay in samples, gain); first is direct
};

Device makeDevice(double fs, double snrDb, bool reverb, Rng& rng) {
  Device d;
  d.gain = std::pow(10.0, rng.uniform(-10.0, 0.0) / 20.0);
  d.highPass = rng.uniform(60.0, 300.0);
  d.lowPass = rng.uniform(3000.0, 8000.0);
  d.snrDb = snrDb;
  d.taps.emplace_back(0, 1.0f);  // the direct path keeps the truth offset exact
  if (reverb) {
    const double rt = rng.uniform(0.15, 0.7);  // decay time (to -60 dB)
    const double wet = rng.uniform(0.15, 0.5);
    for (int k = rng.range(3, 6); k > 0; --k) {  // early reflections
      const double delay = rng.uniform(0.003, 0.025);
      d.taps.emplace_back(
          static_cast<int64_t>(delay * fs),
          static_cast<float>(wet * rng.uniform(0.4, 0.9) * (rng.chance(0.5) ? 1 : -1)));
    }
    for (int k = rng.range(20, 40); k > 0; --k) {  // diffuse tail
      const double delay = rng.uniform(0.025, rt);
      d.taps.emplace_back(static_cast<int64_t>(delay * fs),
                          static_cast<float>(wet * 0.5 * std::pow(10.0, -3.0 * delay / rt) *
                                             (rng.chance(0.5) ? 1 : -1)));
    }
  }
  return d;
}

// What reaches the device's microphone of scene[first, first + n): the room's
// taps; outside the scene there is silence.
Buffer heard(const Buffer& scene, int64_t first, int64_t n, const Device& d) {
  Buffer y(static_cast<std::size_t>(n), 0.0f);
  const auto size = static_cast<int64_t>(scene.size());
  for (const auto& tap : d.taps) {
    const int64_t from = std::max<int64_t>(0, tap.first - first);
    const int64_t to = std::min(n, size - first + tap.first);
    for (int64_t i = from; i < to; ++i) {
      y[static_cast<std::size_t>(i)] +=
          tap.second * scene[static_cast<std::size_t>(first + i - tap.first)];
    }
  }
  return y;
}

// The device's band limits, gain, noise and level control on what it heard.
void finish(Buffer& y, double fs, const Device& d, Rng& rng) {
  Biquad hp(Biquad::kHighPass, fs, d.highPass, 0.707);
  Biquad lp1(Biquad::kLowPass, fs, d.lowPass, 0.707), lp2(Biquad::kLowPass, fs, d.lowPass, 0.707);
  for (float& s : y) s = static_cast<float>(d.gain) * lp2(lp1(hp(s)));
  const double noise = rms(y.data(), y.size()) / std::pow(10.0, d.snrDb / 20.0);
  // Ambient noise (crowd, air, handling: pink over the whole band) plus some
  // electronic hiss, heard through the same microphone and filters, so the
  // ratio holds in the band the recording really carries.
  Buffer nz(y.size());
  PinkNoise pink;
  Biquad nhp(Biquad::kHighPass, fs, d.highPass, 0.707);
  Biquad nlp1(Biquad::kLowPass, fs, d.lowPass, 0.707), nlp2(Biquad::kLowPass, fs, d.lowPass, 0.707);
  for (float& s : nz) {
    const double white = rng.normal();
    s = nlp2(nlp1(nhp(static_cast<float>(pink(white) + 0.3 * rng.normal()))));
  }
  const double nr = rms(nz.data(), nz.size());
  float peak = 0.0f;
  for (std::size_t i = 0; i < y.size(); ++i) {
    y[i] += static_cast<float>(nr > 0.0 ? noise / nr : 0.0) * nz[i];
    peak = std::max(peak, std::fabs(y[i]));
  }
  if (peak > 0.95f) {  // the device's level control
    for (float& s : y) s *= 0.95f / peak;
  }
}

// One channel of a recording: what the device hears of scene[start, start + n).
Buffer record(const Buffer& scene, int64_t start, int64_t n, double fs, const Device& d, Rng& rng) {
  Buffer y = heard(scene, start, n, d);
  finish(y, fs, d, rng);
  return y;
}

void writeWav(const std::string& path, const std::vector<Buffer>& channels, uint32_t rate) {
  const std::size_t n = channels.front().size();
  std::vector<float> frames(n * channels.size());
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t c = 0; c < channels.size(); ++c)
      frames[i * channels.size() + c] = channels[c][i];
  std::string error;
  if (!Velk::writeWavFile(path, frames.data(), n, rate, static_cast<int>(channels.size()), error))
    throw std::runtime_error("velksim: " + error);
}

std::string xmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

struct Planned {
  int cluster;
  int64_t start;
  int64_t samples;
};

// Neutral names (prefix01, prefix02, ...) in shuffled order, so that neither
// names nor ids tell the events apart.
std::vector<std::string> shuffledNames(std::size_t count, const std::string& prefix, Rng& rng) {
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  for (std::size_t i = order.size(); i > 1; --i) {
    std::swap(order[i - 1], order[static_cast<std::size_t>(rng.next() % i)]);
  }
  const int width = std::max(2, static_cast<int>(std::to_string(count).size()));
  std::vector<std::string> names(count);
  for (std::size_t k = 0; k < order.size(); ++k) {
    std::string digits = std::to_string(k + 1);
    digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    names[order[k]] = prefix + digits;
  }
  return names;
}

// The longest recording sits anywhere in the event; every other one overlaps
// it by at least half its own length, as people film the same part of a show.
std::vector<int64_t> placeAroundLongest(const std::vector<int64_t>& lengths, int64_t eventSamples,
                                        Rng& rng) {
  const int64_t longest = *std::max_element(lengths.begin(), lengths.end());
  const std::size_t anchor =
      static_cast<std::size_t>(std::max_element(lengths.begin(), lengths.end()) - lengths.begin());
  const auto anchorStart =
      static_cast<int64_t>(rng.uniform() * static_cast<double>(eventSamples - longest));
  std::vector<int64_t> starts;
  for (std::size_t d = 0; d < lengths.size(); ++d) {
    int64_t start = anchorStart;
    if (d != anchor) {
      const int64_t lo = std::max<int64_t>(0, anchorStart - lengths[d] / 2);
      const int64_t hi =
          std::min(eventSamples - lengths[d], anchorStart + longest - lengths[d] / 2);
      start = lo + static_cast<int64_t>(rng.uniform() *
                                        static_cast<double>(std::max<int64_t>(0, hi - lo)));
    }
    starts.push_back(start);
  }
  return starts;
}

void renderScene(const SetSettings& cfg, double fs, std::size_t c, uint64_t seed, int64_t samples,
                 const std::vector<Planned>& plan, const std::vector<std::string>& names,
                 const RecordingSink& sink, TruthCluster& out) {
  Rng sceneRng(seed);
  const Buffer scene = makeScene(fs, samples, sceneRng);
  int64_t earliest = std::numeric_limits<int64_t>::max();
  for (const Planned& p : plan) {
    if (p.cluster == static_cast<int>(c)) earliest = std::min(earliest, p.start);
  }
  for (std::size_t r = 0; r < plan.size(); ++r) {
    const Planned& p = plan[r];
    if (p.cluster != static_cast<int>(c)) continue;
    Rng devRng = sceneRng.fork();
    std::vector<Buffer> channels;
    for (int ch = 0; ch < cfg.channels; ++ch) {
      const Device dev = makeDevice(fs, cfg.snrDb, cfg.reverb, devRng);
      channels.push_back(record(scene, p.start, p.samples, fs, dev, devRng));
    }
    sink(names[r], channels);
    out.recordings.push_back(
        {names[r], static_cast<double>(p.start - earliest) / fs, p.start, p.samples});
  }
  std::sort(out.recordings.begin(), out.recordings.end(),
            [](const TruthRecording& a, const TruthRecording& b) { return a.name < b.name; });
}

// Every recording of a set, planned before any is rendered so that names can
// be shuffled over all of them.
struct SetPlan {
  struct Source {
    uint64_t seed;
    int64_t samples;
  };
  std::vector<Source> sources;  // one scene per cluster
  std::vector<Planned> recordings;
};

SetPlan planSet(const SetSettings& cfg, double fs, Rng& rng) {
  SetPlan set;
  for (int e = 0; e < cfg.events; ++e) {
    const int devices = rng.range(cfg.minDevices, cfg.maxDevices);
    std::vector<int64_t> lengths;
    for (int d = 0; d < devices; ++d) {
      lengths.push_back(static_cast<int64_t>(rng.uniform(cfg.minSeconds, cfg.maxSeconds) * fs));
    }
    const int64_t longest = *std::max_element(lengths.begin(), lengths.end());
    // A quarter more event than its longest recording, so that others start before and end after.
    const auto eventSamples = static_cast<int64_t>(1.25 * static_cast<double>(longest));
    const std::vector<int64_t> starts = placeAroundLongest(lengths, eventSamples, rng);
    for (std::size_t d = 0; d < lengths.size(); ++d)
      set.recordings.push_back({e, starts[d], lengths[d]});
    set.sources.push_back({rng.next(), eventSamples});
  }
  for (int u = 0; u < cfg.unrelated; ++u) {
    const auto samples = static_cast<int64_t>(rng.uniform(cfg.minSeconds, cfg.maxSeconds) * fs);
    set.recordings.push_back({cfg.events + u, 0, samples});
    set.sources.push_back({rng.next(), samples});
  }
  return set;
}

// Calls work(i) for i below count on threads threads, each taking the next
// index; the first exception stops the rest and is thrown here.
void runOnThreads(std::size_t count, unsigned threads,
                  const std::function<void(std::size_t)>& work) {
  std::atomic<std::size_t> next{0};
  std::mutex failMutex;
  std::exception_ptr failure;
  auto worker = [&]() {
    for (std::size_t c = next++; c < count; c = next++) {
      try {
        work(c);
      } catch (...) {
        std::lock_guard<std::mutex> lock(failMutex);
        if (!failure) failure = std::current_exception();
        next = count;
      }
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < std::max(1u, threads); ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

Truth generateSet(const SetSettings& cfg, const std::string& dir) {
  bool made = false;
  return generateRecordings(
      cfg,
      [&](const std::string& name, std::vector<std::vector<float>>& channels) {
        if (!made) std::filesystem::create_directories(dir);
        made = true;
        writeWav(dir + "/" + name + ".wav", channels, cfg.sampleRate);
      },
      1);
}

Truth generateRecordings(const SetSettings& cfg, const RecordingSink& sink, unsigned threads) {
  if (cfg.sampleRate < 1000 || cfg.channels < 1 || cfg.channels > 2 || cfg.minDevices < 1 ||
      cfg.maxDevices < cfg.minDevices || cfg.minSeconds <= 0 || cfg.maxSeconds < cfg.minSeconds) {
    throw std::invalid_argument("velksim: invalid set description");
  }
  const double fs = cfg.sampleRate;
  Rng rng(cfg.seed);
  const SetPlan set = planSet(cfg, fs, rng);
  const std::vector<std::string> names = shuffledNames(set.recordings.size(), cfg.prefix, rng);

  Truth truth;
  truth.sampleRate = cfg.sampleRate;
  truth.clusters.resize(set.sources.size());
  // One scene and its recordings at a time per thread; every scene has its own
  // generator, so the order in which threads take them changes nothing.
  runOnThreads(set.sources.size(), threads, [&](std::size_t c) {
    renderScene(cfg, fs, c, set.sources[c].seed, set.sources[c].samples, set.recordings, names,
                sink, truth.clusters[c]);
  });
  return truth;
}

namespace {

// Band-limited interpolation for devices whose clock is off true time: a
// windowed sinc over 16 neighbours, its fractional position looked up among
// 1024 phases (a timing error below 1/2000 of a sample). At whole positions it
// passes samples through unchanged.
class Resampler {
 public:
  static constexpr int kHalf = 8;
  static const Resampler& get() {
    static const Resampler r;
    return r;
  }
  // x at position pos (kHalf <= pos < x.size() - kHalf).
  float at(const Buffer& x, double pos) const {
    const auto i = static_cast<int64_t>(std::floor(pos));
    const auto phase =
        static_cast<std::size_t>(std::lround((pos - static_cast<double>(i)) * kPhases));
    const float* w = &table_[phase * 2 * kHalf];
    const float* v = &x[static_cast<std::size_t>(i - kHalf + 1)];
    float sum = 0.0f;
    for (int k = 0; k < 2 * kHalf; ++k) sum += w[k] * v[k];
    return sum;
  }

 private:
  static constexpr int kPhases = 1024;
  Resampler() : table_(static_cast<std::size_t>((kPhases + 1) * 2 * kHalf)) {
    for (int p = 0; p <= kPhases; ++p) {
      const double frac = static_cast<double>(p) / kPhases;
      double w[2 * kHalf], total = 0.0;
      for (int k = 0; k < 2 * kHalf; ++k) {
        const double x = (k - kHalf + 1) - frac;
        const double sinc = std::fabs(x) < 1e-12 ? 1.0 : std::sin(kPi * x) / (kPi * x);
        const double blackman =
            0.42 + 0.5 * std::cos(kPi * x / kHalf) + 0.08 * std::cos(2.0 * kPi * x / kHalf);
        total += w[k] = sinc * blackman;
      }
      for (int k = 0; k < 2 * kHalf; ++k)
        table_[static_cast<std::size_t>(p * 2 * kHalf + k)] = static_cast<float>(w[k] / total);
    }
  }
  std::vector<float> table_;
};

// One stretch a device recorded: the scene sample at its first sample and how
// many samples the device wrote.
struct DevicePart {
  int64_t start;
  int64_t samples;
};

// What a device whose clock runs at `rate` times true time heard during its
// parts, end to end: its sample n of a part is the scene at start + n / rate.
Buffer capture(const Buffer& scene, const std::vector<DevicePart>& parts, double rate,
               const Device& d) {
  Buffer y;
  for (const DevicePart& p : parts) {
    if (rate == 1.0) {
      const Buffer h = heard(scene, p.start, p.samples, d);
      y.insert(y.end(), h.begin(), h.end());
      continue;
    }
    const int64_t half = Resampler::kHalf;
    const auto span = static_cast<int64_t>(std::ceil(static_cast<double>(p.samples) / rate));
    const Buffer h = heard(scene, p.start - half, span + 2 * half + 1, d);
    const Resampler& rs = Resampler::get();
    for (int64_t n = 0; n < p.samples; ++n)
      y.push_back(rs.at(h, static_cast<double>(n) / rate + static_cast<double>(half)));
  }
  return y;
}

Buffer makeMusic(double fs, int64_t samples, Rng& rng) {
  Buffer out(static_cast<std::size_t>(samples), 0.0f);
  addMusic(out, fs, static_cast<double>(samples) / fs, rng, 1.0, true);
  normalizePeak(out);
  return out;
}

// Music over the PA: it dominates what else goes on in the room.
void overlay(Buffer& scene, const Buffer& music, int64_t at) {
  for (std::size_t i = 0; i < music.size(); ++i) {
    const int64_t j = at + static_cast<int64_t>(i);
    if (j < 0 || j >= static_cast<int64_t>(scene.size())) continue;
    scene[static_cast<std::size_t>(j)] = 0.3f * scene[static_cast<std::size_t>(j)] + music[i];
  }
}

struct HardSource {
  uint64_t seed;
  int64_t samples;
  int song = -1;                // the studio song mixed in (or, for a studio file, played alone)
  int64_t songAt = 0;           // where it starts
  bool studio = false;          // the song itself, as released
  int64_t loopSamples = 0;      // length of the loop repeated verbatim (0: none)
  std::vector<int64_t> loopAt;  // where each copy starts
};

struct HardDevice {
  int source;
  std::vector<DevicePart> parts;
  double clockPpm = 0.0;
  double snrDb = 20.0;
  bool reverb = true;
  int lavalier = 0;  // 1: stereo with channel 1 silent; 2: with another scene on channel 1
  std::string ext = "wav";
  std::vector<std::string> conditions;
};

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Through the ffmpeg program, as phones and cameras would have written it; the
// encoder's priming is recorded in the file, so decoders start where the WAV did.
void encode(const std::string& wav, const std::string& out, const std::string& ext) {
  const std::string codec = ext == "m4a" ? "-c:a aac -b:a 64k" : "-c:a libmp3lame -b:a 64k";
  const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y -i " + shellQuote(wav) +
                          " " + codec + " -map_metadata -1 -fflags +bitexact -flags:a +bitexact " +
                          shellQuote(out);
  if (std::system(cmd.c_str()) != 0)
    throw std::runtime_error("velksim: ffmpeg could not encode " + out);
  std::filesystem::remove(wav);
}

// A clock deviation in ppm as a factor.
constexpr double kPpm = 1e-6;

// Events with one long recording that others can sit inside: (source, start, true length).
struct Host {
  int source;
  int64_t start, samples;
};

// What the hard set holds: the scenes, the devices that recorded them and the
// studio songs, drawn from one generator in a fixed order so that a seed
// always describes the same set.
class HardPlan {
 public:
  explicit HardPlan(const HardSettings& settings)
      : h_(settings), fs_(settings.sampleRate), rng_(settings.seed) {}

  void describe() {
    addChainEvents();
    addLongRecorders();
    addLoopEvents();
    addSongPairs();
    addInsideHosts();
    addStudioFiles();
    addUnrelated();
    addPausedFirst();
    pickFastClocks();
    chooseFormats();
    names = shuffledNames(devices.size(), h_.prefix, rng_);
  }

  std::vector<HardSource> sources;
  std::vector<HardDevice> devices;
  std::vector<std::pair<uint64_t, int64_t>> songs;  // seed, samples
  std::vector<std::string> names;                   // of the devices' files

 private:
  int64_t sec(double s) const { return static_cast<int64_t>(s * fs_); }

  int addSource(uint64_t seed, int64_t samples) {
    HardSource s;
    s.seed = seed;
    s.samples = samples;
    sources.push_back(s);
    return static_cast<int>(sources.size()) - 1;
  }

  std::size_t device(int source, int64_t start, int64_t samples, const std::string& condition) {
    HardDevice d;
    d.source = source;
    d.parts.push_back({start, samples});
    d.clockPpm = rng_.uniform(-h_.maxDriftPpm, h_.maxDriftPpm);
    d.snrDb = rng_.chance(h_.lowSnrShare) ? rng_.uniform(0.0, 5.0) : rng_.uniform(5.0, 25.0);
    d.conditions.push_back(condition);
    devices.push_back(d);
    return devices.size() - 1;
  }

  static int64_t trueSpan(const HardDevice& d) {
    return static_cast<int64_t>(
        std::ceil(static_cast<double>(d.parts[0].samples) / (1.0 + d.clockPpm * kPpm)));
  }

  // Recordings of 5-9 minutes around the longest one, which becomes a host.
  Host overlapping(int source, int count, const std::string& condition) {
    std::vector<int64_t> lengths;
    for (int i = 0; i < count; ++i) lengths.push_back(sec(rng_.uniform(300, 540)));
    const int64_t longest = *std::max_element(lengths.begin(), lengths.end());
    // A quarter more event than its longest recording, so that others start before and end after.
    sources[static_cast<std::size_t>(source)].samples =
        static_cast<int64_t>(1.25 * static_cast<double>(longest));
    const std::vector<int64_t> starts =
        placeAroundLongest(lengths, sources[static_cast<std::size_t>(source)].samples, rng_);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      fastCandidates_.push_back(device(source, starts[i], lengths[i], condition));
      if (lengths[i] == longest) hosts_.push_back({source, starts[i], longest});
    }
    return hosts_.back();
  }

  // Events recorded by devices one after another, each overlapping the next a little.
  void addChainEvents() {
    for (int e = 0; e < h_.chainEvents; ++e) {
      const int source = addSource(rng_.next(), 0);
      int64_t t = sec(5);
      for (int k = rng_.range(h_.chainMinDevices, h_.chainMaxDevices); k > 0; --k) {
        const std::size_t d =
            device(source, t, sec(rng_.uniform(h_.chainMinSeconds, h_.chainMaxSeconds)), "chain");
        const int64_t span = trueSpan(devices[d]);
        sources.back().samples = t + span + sec(5);
        t += span - sec(rng_.uniform(h_.minOverlapSeconds, h_.maxOverlapSeconds));
      }
    }
  }

  // An hour-long recorder and short clips taken during its event.
  void addLongRecorders() {
    for (int l = 0; l < h_.longRecorders; ++l) {
      const int64_t start = sec(30), length = sec(h_.longSeconds);
      // The scene ends with the event; the recorder runs on for a minute of room noise.
      const int source = addSource(rng_.next(), start + length);
      device(source, start, length + sec(60), "long");
      hosts_.push_back({source, start, length});
      for (int c = 0; c < h_.clipsPerRecorder; ++c) {
        const int64_t clip = sec(rng_.uniform(30, 90));
        device(source,
               start + static_cast<int64_t>(rng_.uniform() * static_cast<double>(length - clip)),
               clip, "clip");
      }
    }
  }

  // Events where one stretch of music is played three times, verbatim.
  void addLoopEvents() {
    for (int l = 0; l < h_.loopEvents; ++l) {
      const int source = addSource(rng_.next(), 0);
      const Host h = overlapping(source, 3, "loop");
      HardSource& s = sources.back();
      s.loopSamples = sec(rng_.uniform(16, 30));
      for (double at : {0.15, 0.45, 0.75})
        s.loopAt.push_back(h.start + static_cast<int64_t>(at * static_cast<double>(h.samples)));
      // One recording that is mostly a copy of the loop, a little of the event around it.
      devices[device(source, s.loopAt[1] - sec(5), s.loopSamples + sec(25), "loop")]
          .conditions.push_back("mostly-loop");
    }
  }

  // Each song is played at two events.
  void addSongPairs() {
    for (int p = 0; p < h_.songPairs; ++p) {
      const int song = static_cast<int>(songs.size());
      songs.push_back({rng_.next(), sec(rng_.uniform(150, 240))});
      for (int e = 0; e < 2; ++e) {
        const int source = addSource(rng_.next(), 0);
        const Host h = overlapping(source, 3, "song");
        sources.back().song = song;
        sources.back().songAt =
            h.start + static_cast<int64_t>(0.3 * static_cast<double>(h.samples));
      }
    }
  }

  // Events that a paused recording starts: it sets the timeline, and who
  // meets it after its pause lies a pause further on than its file says.
  void addPausedFirst() {
    for (int i = 0; i < h_.pausedFirst; ++i) {
      const int source = addSource(rng_.next(), 0);
      const int64_t start = sec(5), a = sec(rng_.uniform(60, 150)), gap = sec(40);
      const int64_t b = sec(rng_.uniform(60, 150));
      HardDevice& p = devices[device(source, start, a, "paused")];
      const double rate = 1.0 + p.clockPpm * kPpm;
      p.parts[0].samples = static_cast<int64_t>(static_cast<double>(a) * rate);
      p.parts.push_back({start + a + gap, static_cast<int64_t>(static_cast<double>(b) * rate)});
      p.conditions.push_back("paused-first");
      const int64_t end = start + a + gap + b;
      const int64_t across = start + sec(rng_.uniform(10, 40));
      device(source, across, end + sec(rng_.uniform(30, 90)) - across, "paused-first");
      const int64_t after = start + a + gap + sec(rng_.uniform(10, 40));
      device(source, after, end + sec(rng_.uniform(30, 120)) - after, "paused-first");
      sources.back().samples = end + sec(130);
    }
  }

  // Lavaliers and paused recordings sit inside a host's long recording, so
  // that all of them is shared with the event.
  void addInsideHosts() {
    for (int i = 0; i < h_.lavaliers + h_.paused && !hosts_.empty(); ++i) {
      const Host& h = hosts_[static_cast<std::size_t>(i) % hosts_.size()];
      const bool lavalier = i < h_.lavaliers;
      const int64_t a = sec(rng_.uniform(60, 150)), gap = sec(40), b = sec(rng_.uniform(60, 150));
      const int64_t span = lavalier ? a + b : a + gap + b;
      const int64_t start =
          h.start + static_cast<int64_t>(rng_.uniform() * static_cast<double>(h.samples - span));
      HardDevice& d =
          devices[device(h.source, start, lavalier ? span : a, lavalier ? "ch2" : "paused")];
      const double rate = 1.0 + d.clockPpm * kPpm;
      if (lavalier) {
        d.lavalier = i % 2 + 1;  // close to the mouth: dry and clear
        d.reverb = false;
        d.snrDb = rng_.uniform(15, 30);
      } else {
        d.parts[0].samples = static_cast<int64_t>(static_cast<double>(a) * rate);
        d.parts.push_back({start + a + gap, static_cast<int64_t>(static_cast<double>(b) * rate)});
      }
    }
  }

  // The songs as released: clean, exact clock, MP3.
  void addStudioFiles() {
    for (std::size_t s = 0; s < songs.size(); ++s) {
      const int source = addSource(0, songs[s].second + sec(2));
      sources.back().song = static_cast<int>(s);
      sources.back().studio = true;
      HardDevice& d = devices[device(source, 0, songs[s].second + sec(2), "studio")];
      d.clockPpm = 0.0;
      d.snrDb = 45.0;
      d.reverb = false;
      d.ext = "mp3";
    }
  }

  void addUnrelated() {
    for (int u = 0; u < h_.unrelated; ++u) {
      const int64_t samples = sec(rng_.uniform(180, 480));
      const int source = addSource(rng_.next(), samples);
      device(source, 0, samples, "unrelated");
    }
  }

  // A few devices with long overlaps get a clock 1000 ppm off.
  void pickFastClocks() {
    for (int f = 0; f < h_.fastClocks && !fastCandidates_.empty(); ++f) {
      const std::size_t pick = static_cast<std::size_t>(rng_.next() % fastCandidates_.size());
      HardDevice& d = devices[fastCandidates_[pick]];
      fastCandidates_.erase(fastCandidates_.begin() + static_cast<std::ptrdiff_t>(pick));
      d.clockPpm = rng_.chance(0.5) ? 1000.0 : -1000.0;
      d.conditions.push_back("1000ppm");
    }
  }

  void chooseFormats() {
    for (HardDevice& d : devices) {
      if (d.snrDb < 5.0) d.conditions.push_back("lowsnr");
      if (d.lavalier == 0 && d.ext == "wav" && rng_.chance(h_.encodedShare))
        d.ext = rng_.chance(0.5) ? "m4a" : "mp3";
      if (d.ext != "wav") d.conditions.push_back(d.ext == "m4a" ? "aac" : "mp3");
    }
  }

  const HardSettings& h_;
  const double fs_;
  Rng rng_;
  std::vector<Host> hosts_;
  std::vector<std::size_t> fastCandidates_;  // devices with long overlaps
};

void checkHardSettings(const HardSettings& s) {
  if (s.sampleRate < 8000 || s.chainMinDevices < 2 || s.chainMaxDevices < s.chainMinDevices ||
      s.chainMinSeconds < 60 || s.chainMaxSeconds < s.chainMinSeconds || s.minOverlapSeconds <= 0 ||
      s.maxOverlapSeconds < s.minOverlapSeconds || 2 * s.maxOverlapSeconds >= s.chainMinSeconds ||
      s.longSeconds < 600) {
    throw std::invalid_argument("velksim: invalid hard set description");
  }
}

// The scene of source src: the song alone for a studio file, otherwise the
// event with its loops and song over the PA.
Buffer hardScene(const HardPlan& plan, const HardSource& src, double fs, Rng& sceneRng) {
  const auto song = [&plan, &src] { return plan.songs[static_cast<std::size_t>(src.song)]; };
  if (src.studio) {
    Rng songRng(song().first);
    Buffer scene = makeMusic(fs, song().second, songRng);
    scene.resize(static_cast<std::size_t>(src.samples), 0.0f);
    return scene;
  }
  Buffer scene = makeScene(fs, src.samples, sceneRng, true);
  if (src.loopSamples > 0) {
    const Buffer loop = makeMusic(fs, src.loopSamples, sceneRng);
    for (int64_t at : src.loopAt) overlay(scene, loop, at);
  }
  if (src.song >= 0) {
    Rng songRng(song().first);
    overlay(scene, makeMusic(fs, song().second, songRng), src.songAt);
  }
  return scene;
}

// The channels device d wrote: the event last; a lavalier's first channel is
// hiss or another scene.
std::vector<Buffer> hardChannels(const Buffer& scene, const HardDevice& d, double fs, Rng& devRng) {
  const double rate = 1.0 + d.clockPpm * kPpm;
  const Device dev = makeDevice(fs, d.snrDb, d.reverb, devRng);
  Buffer y = capture(scene, d.parts, rate, dev);
  finish(y, fs, dev, devRng);
  std::vector<Buffer> channels;
  if (d.lavalier == 1) {
    Buffer hiss(y.size());
    for (float& s : hiss) s = static_cast<float>(3e-5 * devRng.normal());
    channels.push_back(std::move(hiss));
  } else if (d.lavalier == 2) {
    const auto n = static_cast<int64_t>(y.size());
    const Buffer other = makeScene(fs, n, devRng, true);
    channels.push_back(record(other, 0, n, fs, makeDevice(fs, 20.0, true, devRng), devRng));
  }
  channels.push_back(std::move(y));
  return channels;
}

// The cluster's clock: the member that starts first.
struct HardReference {
  const HardDevice* device = nullptr;
  double rate = 1.0;
  double fs = 0.0;
  // Seconds on the reference's clock from its start to scene sample start.
  double at(int64_t start) const {
    return static_cast<double>(start - device->parts[0].start) / fs * rate;
  }
};

HardReference hardReference(const std::vector<HardDevice>& devices, int source, double fs) {
  HardReference ref;
  for (const HardDevice& d : devices)
    if (d.source == source &&
        (ref.device == nullptr || d.parts[0].start < ref.device->parts[0].start))
      ref.device = &d;
  ref.rate = 1.0 + ref.device->clockPpm * kPpm;
  ref.fs = fs;
  return ref;
}

TruthRecording hardTruth(const HardDevice& d, const std::string& name, int64_t samples,
                         const HardReference& ref) {
  const double rate = 1.0 + d.clockPpm * kPpm;
  TruthRecording t;
  t.name = name;
  t.ext = d.ext;
  t.offset = ref.at(d.parts[0].start);
  t.startSample = d.parts[0].start;
  t.samples = samples;
  t.hasDrift = true;
  t.clockPpm = d.clockPpm;
  t.driftPpm = (ref.rate / rate - 1.0) * 1e6;
  t.channel = d.lavalier != 0 ? 2 : 0;
  int64_t fileSamples = 0;
  for (const DevicePart& p : d.parts) {
    if (d.parts.size() > 1)
      t.parts.push_back({static_cast<double>(fileSamples) / ref.fs, ref.at(p.start)});
    fileSamples += p.samples;
  }
  t.conditions = d.conditions;
  return t;
}

}  // namespace

HardSettings hardPreset(const std::string& name) {
  HardSettings s;
  if (name == "small") return s;
  if (name == "harsh") {
    // The small set's size with more of what goes wrong: half the devices at
    // 0-5 dB, twice the fast clocks, shared songs, loops and pauses, half
    // the files encoded.
    s.lowSnrShare = 0.5;
    s.fastClocks = 4;
    s.songPairs = 2;
    s.loopEvents = 2;
    s.paused = 2;
    s.encodedShare = 0.5;
    s.unrelated = 4;
    return s;
  }
  if (name != "large") throw std::invalid_argument("velksim: no hard preset named " + name);
  s.chainEvents = 4;
  s.chainMaxDevices = 6;
  s.longRecorders = 2;
  s.clipsPerRecorder = 20;
  s.loopEvents = 2;
  s.songPairs = 2;
  s.lavaliers = 4;
  s.paused = 3;
  s.unrelated = 6;
  s.fastClocks = 4;
  return s;
}

Truth generateHardSet(const HardSettings& hardSettings, const std::string& dir) {
  checkHardSettings(hardSettings);
  std::filesystem::create_directories(dir);
  const double fs = hardSettings.sampleRate;
  HardPlan plan(hardSettings);
  plan.describe();
  Truth truth;
  truth.sampleRate = hardSettings.sampleRate;
  truth.clusters.resize(plan.sources.size());
  for (std::size_t c = 0; c < plan.sources.size(); ++c) {
    Rng sceneRng(plan.sources[c].seed);
    const Buffer scene = hardScene(plan, plan.sources[c], fs, sceneRng);
    const HardReference ref = hardReference(plan.devices, static_cast<int>(c), fs);
    auto& recs = truth.clusters[c].recordings;
    for (std::size_t r = 0; r < plan.devices.size(); ++r) {
      const HardDevice& d = plan.devices[r];
      if (d.source != static_cast<int>(c)) continue;
      Rng devRng = sceneRng.fork();
      const std::vector<Buffer> channels = hardChannels(scene, d, fs, devRng);
      const std::string wav = dir + "/" + plan.names[r] + ".wav";
      writeWav(wav, channels, hardSettings.sampleRate);
      if (d.ext != "wav") encode(wav, dir + "/" + plan.names[r] + "." + d.ext, d.ext);
      recs.push_back(
          hardTruth(d, plan.names[r], static_cast<int64_t>(channels.back().size()), ref));
    }
    std::sort(recs.begin(), recs.end(),
              [](const TruthRecording& a, const TruthRecording& b) { return a.name < b.name; });
  }
  return truth;
}

namespace {

std::string seconds(double v) {
  char text[64];
  // Whole samples over the rate: 10 decimals hold every such value to 1e-10 s.
  std::snprintf(text, sizeof text, "%.10g", v);
  return text + std::string(std::string(text).find_first_of(".e") == std::string::npos ? ".0" : "");
}

// The hard sets' attributes; nothing for the plain sets.
std::string extras(const TruthRecording& r, bool inCluster) {
  std::string out;
  char ppm[64];
  if (r.ext != "wav") out += " ext=\"" + xmlEscape(r.ext) + "\"";
  if (r.hasDrift) {
    std::snprintf(ppm, sizeof ppm, "%.4f", r.clockPpm);
    out += std::string(" clock_ppm=\"") + ppm + "\"";
    std::snprintf(ppm, sizeof ppm, "%.4f", r.driftPpm);
    if (inCluster) out += std::string(" drift_ppm=\"") + ppm + "\"";
  }
  if (r.channel > 0) out += " channel=\"" + std::to_string(r.channel) + "\"";
  if (!r.parts.empty()) {
    std::string parts;
    for (const TruthPart& p : r.parts)
      parts += (parts.empty() ? "" : " ") + seconds(p.fileSeconds) + ":" + seconds(p.offset);
    out += " parts=\"" + parts + "\"";
  }
  if (!r.conditions.empty()) {
    std::string list;
    for (const std::string& c : r.conditions) list += (list.empty() ? "" : ",") + c;
    out += " conditions=\"" + xmlEscape(list) + "\"";
  }
  return out;
}

}  // namespace

void writeTruthXml(const Truth& truth, const std::string& path) {
  std::ofstream f(path, std::ios::trunc);
  f << "<truth>\n";
  for (const TruthCluster& c : truth.clusters) {
    if (c.recordings.size() == 1) {
      f << "  <cluster><recording name=\"" << xmlEscape(c.recordings[0].name) << "\""
        << extras(c.recordings[0], false) << "/></cluster>\n";
      continue;
    }
    f << "  <cluster>\n";
    for (const TruthRecording& r : c.recordings) {
      f << "    <recording name=\"" << xmlEscape(r.name) << "\" offset=\"" << seconds(r.offset)
        << "\"" << extras(r, true) << "/>\n";
    }
    f << "  </cluster>\n";
  }
  f << "</truth>\n";
  if (!f) throw std::runtime_error("velksim: cannot write " + path);
}

Score scoreClusters(const Truth& truth, const std::vector<FoundCluster>& found) {
  struct Where {
    int cluster;
    double offset;
  };
  std::map<std::string, Where> truePos, foundPos;
  for (std::size_t c = 0; c < truth.clusters.size(); ++c) {
    for (const TruthRecording& r : truth.clusters[c].recordings) {
      truePos[r.name] = {static_cast<int>(c), r.offset};
    }
  }
  for (std::size_t c = 0; c < found.size(); ++c) {
    for (const auto& m : found[c]) {
      if (truePos.count(m.first) != 0) foundPos[m.first] = {static_cast<int>(c), m.second};
    }
  }
  Score s;
  std::vector<std::string> names;
  for (const auto& kv : truePos) names.push_back(kv.first);
  for (std::size_t i = 0; i < names.size(); ++i) {
    for (std::size_t j = i + 1; j < names.size(); ++j) {
      const Where& ti = truePos[names[i]];
      const Where& tj = truePos[names[j]];
      const bool together = ti.cluster == tj.cluster;
      const auto fi = foundPos.find(names[i]);
      const auto fj = foundPos.find(names[j]);
      const bool placed =
          fi != foundPos.end() && fj != foundPos.end() && fi->second.cluster == fj->second.cluster;
      s.truePairs += together;
      s.foundPairs += placed;
      if (together && placed) {
        ++s.correctPairs;
        const double err = (fj->second.offset - fi->second.offset) - (tj.offset - ti.offset);
        s.offsetErrors.push_back(std::fabs(err));
      }
    }
  }
  if (s.foundPairs > 0) s.precision = static_cast<double>(s.correctPairs) / s.foundPairs;
  if (s.truePairs > 0) s.recall = static_cast<double>(s.correctPairs) / s.truePairs;
  s.f1 = s.precision + s.recall > 0 ? 2 * s.precision * s.recall / (s.precision + s.recall) : 0.0;
  std::sort(s.offsetErrors.begin(), s.offsetErrors.end());
  if (!s.offsetErrors.empty()) {
    const std::size_t n = s.offsetErrors.size();
    s.medianError =
        n % 2 ? s.offsetErrors[n / 2] : 0.5 * (s.offsetErrors[n / 2 - 1] + s.offsetErrors[n / 2]);
    const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(n)));
    s.p95Error = s.offsetErrors[std::max<std::size_t>(rank, 1) - 1];
    const auto ok = std::count_if(s.offsetErrors.begin(), s.offsetErrors.end(),
                                  [](double e) { return e <= 0.040 + 1e-9; });
    s.within40ms = static_cast<double>(ok) / static_cast<double>(n);
  }
  return s;
}

}  // namespace velksim
