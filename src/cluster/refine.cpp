// Refinement of clustering offsets by whitened waveform cross-correlation.
#include "velk/refine.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <vector>

#include "engine/alignment.h"
#include "rurorereriduv/transform.h"

namespace Velk {

namespace tf = rurorereriduv::transform;

namespace {

// Largest transform the FFT layer supports.
constexpr uint32_t kMaxFftOrder = 26;

unsigned orderOf(uint32_t powerOfTwo) {
  unsigned order = 0;
  while ((uint32_t{1} << order) < powerOfTwo) ++order;
  return order;
}

uint64_t nextPowerOfTwo(uint64_t v) {
  uint64_t p = 1;
  while (p < v) p <<= 1;
  return p;
}

// Index of lag L in a circular correlation of length n.
int64_t wrapLag(int64_t lag, int64_t n) {
  int64_t k = lag % n;
  return k < 0 ? k + n : k;
}

}  // namespace

uint32_t correlationFftSize(uint32_t nx, uint32_t ny) {
  const uint32_t need = nx + ny - 1u;  // wraps for nx = ny = 0: then no power fits
  if (need == 0) return 0;
  uint32_t p = 1;
  while (p < need) {
    if (p > (std::numeric_limits<uint32_t>::max() >> 1)) return 0;
    p <<= 1;
  }
  return p;
}

uint32_t correlationBufferSize(uint32_t fftSize) { return 2u * (fftSize / 2u) + 4u; }

int32_t findCorrelationPeak(const float* values, int32_t count, float& maxValue) {
  float best = 0.0f;
  int32_t index = 0;
  for (int32_t i = 0; i < count; ++i) {
    const float a = std::fabs(values[i]);
    if (a >= best) {
      best = a;
      index = i;
    }
  }
  maxValue = best;
  return index;
}

int64_t foldPeakIndex(int32_t index, int32_t nx, uint32_t fftSize) {
  if (index > nx) return static_cast<int64_t>(fftSize) - index;
  return index;
}

namespace {

// One transform size's plan and scratch, for the forward and inverse steps.
struct Transform {
  explicit Transform(uint32_t size) {
    tf::FFTInit(&state, orderOf(size));
    unsigned int bytes = 0;
    tf::FFTGetBufSize(state, &bytes);
    scratch.resize(bytes + 1);
  }
  ~Transform() { tf::FFTFree(state); }
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;
  tf::FFTState_Float* state = nullptr;
  std::vector<unsigned char> scratch;
};

// Building a plan costs a sine and cosine per point, as much as a transform:
// each thread keeps the plans of the sizes it has used, up to a size whose
// tables stay small.
Transform& transformFor(uint32_t size) {
  constexpr unsigned kMostKept = 20;
  const unsigned order = orderOf(size);
  if (order > kMostKept) {
    thread_local std::unique_ptr<Transform> large;
    large = std::make_unique<Transform>(size);
    return *large;
  }
  thread_local std::array<std::unique_ptr<Transform>, kMostKept + 1> kept;
  if (!kept[order]) kept[order] = std::make_unique<Transform>(size);
  return *kept[order];
}

// G = X conj(Y), whitened, as n / 2 + 1 complex bins; c[k] = sum_n x[n + k] y[n]
// is its inverse transform, so a peak at k = L means y[n] ~ x[n + L].
void crossSpectrum(Transform& t, const float* x, std::size_t nx, const float* y, std::size_t ny,
                   std::size_t n, float whitening, std::vector<float>& bins) {
  std::vector<float> bufX(n + 2, 0.0f);
  std::vector<float> bufY(n + 2, 0.0f);
  std::copy(x, x + nx, bufX.begin());
  std::copy(y, y + ny, bufY.begin());
  bins.assign(n + 2, 0.0f);
  std::vector<float> specY(n + 2);
  tf::FFTFwd(bufX.data(), bins.data(), t.state, t.scratch.data());
  tf::FFTFwd(bufY.data(), specY.data(), t.state, t.scratch.data());

  float maxMag = 0.0f;
  for (std::size_t k = 0; k <= n / 2; ++k) {
    const float xr = bins[2 * k], xi = bins[2 * k + 1];
    const float yr = specY[2 * k], yi = specY[2 * k + 1];
    const float gr = xr * yr + xi * yi;
    const float gi = xi * yr - xr * yi;
    bins[2 * k] = gr;
    bins[2 * k + 1] = gi;
    maxMag = std::max(maxMag, std::hypot(gr, gi));
  }
  if (whitening > 0.0f && maxMag > 0.0f) {
    // The floor keeps bins of pure rounding noise from being lifted to full weight.
    const float floor = maxMag * 1e-7f;
    for (std::size_t k = 0; k <= n / 2; ++k) {
      const float mag = std::hypot(bins[2 * k], bins[2 * k + 1]);
      const float w = 1.0f / std::pow(mag + floor, whitening);
      bins[2 * k] *= w;
      bins[2 * k + 1] *= w;
    }
  }
}

void inverseCorrelation(Transform& t, std::vector<float>& bins, std::size_t n, float* out) {
  std::vector<float> buf(n + 2);
  tf::FFTInv(bins.data(), buf.data(), t.state, t.scratch.data());
  const float scale = 1.0f / static_cast<float>(n);
  for (std::size_t k = 0; k < n; ++k) out[k] = buf[k] * scale;
}

// The peak between samples, read from the spectrum itself: the correlation
// is band-limited, so its value at any lag t is the sum of its bins' waves
// there. A parabola through three samples of a whitened (sharp) peak is off
// by up to a tenth of a sample depending on where between samples the true
// peak lies, and a drift read from lags across stretches inherits that as
// ppm. Newton steps on the slope from the parabola's estimate.
double peakBetweenSamples(const std::vector<float>& bins, std::size_t n, double start, float sign) {
  const double w0 = 2.0 * M_PI / static_cast<double>(n);
  const std::size_t half = n / 2;
  // Lanes of independent phasors, each stepping kLanes bins: one running
  // product would make every bin wait for the last.
  constexpr std::size_t kLanes = 8;
  double t = start;
  for (int step = 0; step < 4; ++step) {
    const double stepR = std::cos(w0 * kLanes * t), stepI = std::sin(w0 * kLanes * t);
    double er[kLanes], ei[kLanes], d1[kLanes] = {}, d2[kLanes] = {};
    for (std::size_t l = 0; l < kLanes; ++l) {
      er[l] = std::cos(w0 * static_cast<double>(l) * t);
      ei[l] = std::sin(w0 * static_cast<double>(l) * t);
    }
    // d1 and d2, the first and second derivatives at t of the sum of G e^{iwt}
    // over every bin; those past the middle are the conjugates of these.
    for (std::size_t k0 = 0; k0 <= half; k0 += kLanes) {
      for (std::size_t l = 0; l < kLanes; ++l) {
        const std::size_t k = k0 + l;
        if (k <= half) {
          const double w = w0 * static_cast<double>(k);
          const double twice = (k == 0 || k == half) ? 1.0 : 2.0;
          const double gr = bins[2 * k], gi = bins[2 * k + 1];
          d1[l] -= twice * w * (gr * ei[l] + gi * er[l]);
          d2[l] -= twice * w * w * (gr * er[l] - gi * ei[l]);
        }
        const double nr = er[l] * stepR - ei[l] * stepI;
        ei[l] = er[l] * stepI + ei[l] * stepR;
        er[l] = nr;
      }
    }
    double slope = 0.0, curve = 0.0;
    for (std::size_t l = 0; l < kLanes; ++l) slope += d1[l], curve += d2[l];
    slope *= sign;
    curve *= sign;
    if (!(curve < 0.0)) break;
    const double move = std::clamp(-slope / curve, -0.25, 0.25);
    t += move;
    // A ten-thousandth of a sample is a hundredth of a microsecond at 8 kHz.
    if (std::abs(move) < 1e-4) break;
  }
  return t;
}

}  // namespace

bool circularCrossCorrelation(const float* x, std::size_t nx, const float* y, std::size_t ny,
                              uint32_t fftSize, float whitening, float* out) {
  if (fftSize < 2 || (fftSize & (fftSize - 1)) != 0) return false;
  if (fftSize > (uint32_t{1} << kMaxFftOrder)) return false;
  if (nx > fftSize || ny > fftSize) return false;
  Transform& t = transformFor(fftSize);
  std::vector<float> bins;
  crossSpectrum(t, x, nx, y, ny, fftSize, whitening, bins);
  inverseCorrelation(t, bins, fftSize, out);
  return true;
}

VkLagEstimate estimateLag(const float* x, std::size_t nx, const float* y, std::size_t ny,
                          const VkLagSearch& search) {
  VkLagEstimate result;
  if (search.minLag > search.maxLag || nx == 0 || ny == 0) return result;
  const int64_t width = search.maxLag - search.minLag + 1;
  // No searched lag may wrap onto another or onto data, and twice the width
  // leaves lags outside the search to measure the background on.
  uint64_t need = std::max<uint64_t>(nx, ny);
  need = std::max<uint64_t>(need, ny + static_cast<uint64_t>(std::max<int64_t>(search.maxLag, 0)));
  need = std::max<uint64_t>(need, nx + static_cast<uint64_t>(std::max<int64_t>(-search.minLag, 0)));
  need = std::max<uint64_t>(need, 2 * static_cast<uint64_t>(width));
  const uint64_t size = nextPowerOfTwo(std::max<uint64_t>(need, 2));
  if (size > (uint64_t{1} << kMaxFftOrder)) return result;
  const int64_t n = static_cast<int64_t>(size);

  std::vector<float> bins, c(size);
  Transform& t = transformFor(static_cast<uint32_t>(size));
  crossSpectrum(t, x, nx, y, ny, size, search.whitening, bins);
  inverseCorrelation(t, bins, size, c.data());

  int64_t best = search.minLag;
  float bestAbs = -1.0f;
  for (int64_t lag = search.minLag; lag <= search.maxLag; ++lag) {
    const float a = std::fabs(c[static_cast<std::size_t>(wrapLag(lag, n))]);
    if (a > bestAbs) {
      bestAbs = a;
      best = lag;
    }
  }

  double sumSq = 0.0;
  int64_t count = 0;
  for (int64_t k = 0; k < n; ++k) {
    if (wrapLag(k - search.minLag, n) < width) continue;  // a searched lag
    sumSq += static_cast<double>(c[static_cast<std::size_t>(k)]) * c[static_cast<std::size_t>(k)];
    ++count;
  }

  const float peakValue = c[static_cast<std::size_t>(wrapLag(best, n))];
  result.peakLag = best;
  result.peak = peakValue;
  result.background = count > 0 ? static_cast<float>(std::sqrt(sumSq / count)) : 0.0f;
  result.score = result.background > 0.0f ? std::fabs(peakValue) / result.background : 0.0f;
  result.found = width == 1 || (best > search.minLag && best < search.maxLag);

  // Parabolic interpolation on the peak's sign, so an inverted recording works too.
  double delta = 0.0;
  const float s = peakValue < 0.0f ? -1.0f : 1.0f;
  const double y0 = s * c[static_cast<std::size_t>(wrapLag(best - 1, n))];
  const double y1 = s * peakValue;
  const double y2 = s * c[static_cast<std::size_t>(wrapLag(best + 1, n))];
  const double denom = y0 - 2.0 * y1 + y2;
  if (denom < 0.0) delta = std::clamp(0.5 * (y0 - y2) / denom, -0.5, 0.5);
  result.lag = static_cast<double>(best) + delta;
  if (denom < 0.0) {
    const double t =
        peakBetweenSamples(bins, static_cast<std::size_t>(n), static_cast<double>(best) + delta, s);
    if (std::abs(t - static_cast<double>(best)) <= 1.0) result.lag = t;
  }
  result.accepted = result.found && result.score >= search.minScore;
  return result;
}

VkRefineWindow planRefineWindow(uint64_t refSamples, uint64_t memberSamples, double coarseLag,
                                int64_t radius, uint64_t maxWindow, uint64_t minOverlap) {
  // The middle of the overlap, in member samples (member sample m sits at m + coarseLag).
  const double start = std::max(0.0, coarseLag);
  const double end =
      std::min(static_cast<double>(refSamples), coarseLag + static_cast<double>(memberSamples));
  return planRefineWindowAt(refSamples, memberSamples, coarseLag, radius, maxWindow, minOverlap,
                            0.5 * (start + end) - coarseLag);
}

VkRefineWindow planRefineWindowAt(uint64_t refSamples, uint64_t memberSamples, double coarseLag,
                                  int64_t radius, uint64_t maxWindow, uint64_t minOverlap,
                                  double memberCentre) {
  VkRefineWindow w;
  const double nr = static_cast<double>(refSamples);
  const double nm = static_cast<double>(memberSamples);
  // The overlap in reference samples: member sample m sits at m + coarseLag.
  const double start = std::max(0.0, coarseLag);
  const double end = std::min(nr, coarseLag + nm);
  if (!(end - start >= static_cast<double>(std::max<uint64_t>(minOverlap, 1)))) return w;
  radius = std::max<int64_t>(radius, 1);

  const int64_t length =
      static_cast<int64_t>(std::min(static_cast<double>(maxWindow), std::floor(end - start)));
  if (length <= 0) return w;
  int64_t memberStart = static_cast<int64_t>(std::llround(memberCentre - 0.5 * length));
  memberStart = std::clamp<int64_t>(memberStart, 0, static_cast<int64_t>(memberSamples) - length);

  const double refAligned = static_cast<double>(memberStart) + coarseLag;
  int64_t refStart = static_cast<int64_t>(std::floor(refAligned)) - radius;
  int64_t refEnd = static_cast<int64_t>(std::ceil(refAligned)) + length + radius;
  refStart = std::max<int64_t>(refStart, 0);
  refEnd = std::min<int64_t>(refEnd, static_cast<int64_t>(refSamples));
  if (refEnd <= refStart) return w;

  w.valid = true;
  w.memberStart = memberStart;
  w.memberLength = length;
  w.refStart = refStart;
  w.refLength = refEnd - refStart;
  const double expected = refAligned - static_cast<double>(refStart);
  w.search.minLag = static_cast<int64_t>(std::floor(expected)) - radius;
  w.search.maxLag = static_cast<int64_t>(std::ceil(expected)) + radius;
  return w;
}

// ---------------------------------------------------------------------------

namespace {

// Opens a recording for the pass; on failure prints the two loading lines.
wavfile_t* openRecording(const std::string& path) {
  try {
    return new wavfile_t(path, 1, 1, 16000);
  } catch (const std::exception& e) {
    std::cout << "[ERROR]: Could not load: " << path << std::endl;
    std::cout << "Exception: " << e.what() << "\n";
    return nullptr;
  }
}

}  // namespace

VkPairwiseEstimate::VkPairwiseEstimate(const std::string& x, const std::string& y)
    : firstPath(x),
      secondPath(y),
      first(nullptr),
      second(nullptr),
      whitening(kVkDefaultWhitening),
      fftSize(0),
      bufferSize(0),
      maxValue(0.0f),
      maxIndex(0),
      offset(0),
      lag(0) {}

// The recordings stay open after estimate() for the caller to inspect; they are
// released here rather than leaked.
VkPairwiseEstimate::~VkPairwiseEstimate() {
  delete first;
  delete second;
}

bool VkPairwiseEstimate::load() {
  delete first;
  delete second;
  first = openRecording(firstPath);
  second = openRecording(secondPath);
  return first != nullptr && second != nullptr;
}

bool VkPairwiseEstimate::estimate() {
  if (!load()) return false;
  const uint32_t nx = first->numSamples;
  const uint32_t ny = second->numSamples;
  fftSize = correlationFftSize(nx, ny);
  bufferSize = correlationBufferSize(fftSize);
  std::cout << "numsamps1:" << nx << " numsamps2:" << ny << " fftsize:" << fftSize
            << " buffersize:" << bufferSize << std::endl;
  // One transform must hold both recordings; longer ones are not correlated whole.
  if (fftSize > (uint32_t{1} << kMaxFftOrder) ||
      bufferSize > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
    std::cout << "[ERROR]: Recordings too long to correlate whole" << std::endl;
    return false;
  }

  array<float> bufX(static_cast<int32_t>(bufferSize));
  array<float> bufY(static_cast<int32_t>(bufferSize));
  bufX = 0.0f;
  bufY = 0.0f;
  first->read_mono(bufX, static_cast<int32_t>(nx));
  second->read_mono(bufY, static_cast<int32_t>(ny));
  // The first buffer becomes the correlation (its tail past fftSize stays 0).
  if (fftSize >= 2)
    circularCrossCorrelation(bufX.data, nx, bufY.data, ny, fftSize, whitening, bufX.data);

  maxIndex = findCorrelationPeak(bufX.data, bufX.count(), maxValue);
  std::cout << "Max Val:" << maxValue << " maxindex:" << maxIndex << std::endl;
  offset = foldPeakIndex(maxIndex, static_cast<int32_t>(nx), fftSize);
  std::cout << "Offset between x and y is: " << offset << std::endl;
  // Indices up to nx are lags where y starts after x; folded ones where it starts first.
  lag = maxIndex > static_cast<int32_t>(nx) ? -offset : offset;
  return true;
}

VkRefinement::VkRefinement(const std::map<int32_t, std::string>& paths, const VkClusterSet* result)
    : idToPath(paths),
      clusters(result),
      maxWindowSeconds(30.0),
      searchSeconds(0.096),
      minOverlapSeconds(1.0),
      whitening(kVkDefaultWhitening),
      minScore(kVkDefaultMinScore),
      refineMembers(false) {}

// The pass keeps what it opened until it is destroyed, then closes all of it.
VkRefinement::~VkRefinement() {
  for (wavfile_t* w : opened) delete w;
}

bool VkRefinement::run() {
  std::cout << "REFINEMENT" << std::endl;
  if (clusters != nullptr) {
    for (const VkCluster* cluster : *clusters) {
      std::cout << "CLUSTER" << std::endl;
      int32_t referenceId = -1;
      std::vector<uint32_t> sampleCounts;
      std::map<int32_t, wavfile_t*> files;
      for (const VkClusterElem* e : *cluster) {
        std::cout << "name: " << e->name << " offset:" << e->offset << std::endl;
        if (e->offset == 0.0f) referenceId = e->fileId;
        const std::string path = idToPath[e->fileId];
        wavfile_t* wav = openRecording(path);
        if (wav == nullptr) continue;
        opened.push_back(wav);
        sampleCounts.push_back(wav->numSamples);
        files[e->fileId] = wav;
      }
      if (referenceId < 0) {
        std::cerr << "ERROR: Could not find the reference file. Cannot refine the sync estimates.  "
                     "Something bad happened."
                  << std::endl;
        return false;
      }
      std::cout << "Reference ID:" << referenceId << std::endl;
      if (refineMembers) refineCluster(*cluster, referenceId, files);
    }
  }
  std::cout << "\n\n[COMPLETED CORRELATION]" << std::endl;
  return true;
}

namespace {

// What the engine needs to know of a recording this pass opened.
Recording openedRecording(int32_t id, const std::string& path, const wavfile_t& wav) {
  Recording r;
  r.id = id;
  r.path = path;
  r.route = Route::Library;
  r.wavReadable = true;
  r.sampleRate = wav.sampleRate;
  r.channels = wav.numChannels;
  r.durationSeconds =
      wav.sampleRate == 0 ? 0.0 : static_cast<double>(wav.numSamples) / wav.sampleRate;
  return r;
}

}  // namespace

// Each member against the reference, through the engine's own pair refinement.
void VkRefinement::refineCluster(const VkCluster& cluster, int32_t referenceId,
                                 const std::map<int32_t, wavfile_t*>& files) {
  const auto refIt = files.find(referenceId);
  std::map<int32_t, VkRefinedOffset> local;
  bool anyRefined = false;
  for (const VkClusterElem* e : cluster) {
    VkRefinedOffset r;
    r.coarse = e->offset;
    r.offset = e->offset;
    local[e->fileId] = r;
  }
  RefineSettings settings;
  settings.maxWindowSeconds = maxWindowSeconds;
  settings.searchSeconds = searchSeconds;
  settings.minOverlapSeconds = minOverlapSeconds;
  settings.whitening = whitening;
  settings.minScore = minScore;
  for (const VkClusterElem* e : cluster) {
    const auto it = files.find(e->fileId);
    if (e->fileId == referenceId || refIt == files.end() || it == files.end()) continue;
    const Recording ref = openedRecording(referenceId, idToPath[referenceId], *refIt->second);
    const Recording member = openedRecording(e->fileId, idToPath[e->fileId], *it->second);
    if (ref.sampleRate == 0 || member.sampleRate == 0) continue;
    const PairRefinement p = refinePair(ref, member, e->offset, settings);
    VkRefinedOffset& r = local[e->fileId];
    r.score = p.score;
    if (p.refined) {
      r.offset = p.lagSeconds;
      r.refined = true;
      anyRefined = true;
    }
  }
  // The earliest member goes back to 0, as in every clustering result.
  double earliest = 0.0;
  for (const auto& kv : local) earliest = std::min(earliest, kv.second.offset);
  for (auto& kv : local) {
    kv.second.offset -= earliest;
    if (kv.first == referenceId) kv.second.refined = anyRefined;
  }
  for (const auto& kv : local) results[kv.first] = kv.second;
}

}  // namespace Velk
