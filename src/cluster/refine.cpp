// Refinement of clustering offsets by whitened waveform cross-correlation.
#include "velk/refine.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iostream>
#include <limits>
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

bool circularCrossCorrelation(const float* x, std::size_t nx, const float* y, std::size_t ny,
                              uint32_t fftSize, float whitening, float* out) {
  if (fftSize < 2 || (fftSize & (fftSize - 1)) != 0) return false;
  if (fftSize > (uint32_t{1} << kMaxFftOrder)) return false;
  if (nx > fftSize || ny > fftSize) return false;

  const std::size_t n = fftSize;
  std::vector<float> bufX(n + 2, 0.0f);
  std::vector<float> bufY(n + 2, 0.0f);
  std::copy(x, x + nx, bufX.begin());
  std::copy(y, y + ny, bufY.begin());

  tf::FFTState_Float* state = nullptr;
  tf::FFTInit(&state, orderOf(fftSize));
  unsigned int scratchBytes = 0;
  tf::FFTGetBufSize(state, &scratchBytes);
  std::vector<unsigned char> scratch(scratchBytes + 1);
  std::vector<float> specX(n + 2), specY(n + 2);
  tf::FFTFwd(bufX.data(), specX.data(), state, scratch.data());
  tf::FFTFwd(bufY.data(), specY.data(), state, scratch.data());

  // G = X conj(Y) gives c[k] = sum_n x[n + k] y[n]; a peak at k = L means y[n] ~ x[n + L].
  float maxMag = 0.0f;
  for (std::size_t k = 0; k <= n / 2; ++k) {
    const float xr = specX[2 * k], xi = specX[2 * k + 1];
    const float yr = specY[2 * k], yi = specY[2 * k + 1];
    const float gr = xr * yr + xi * yi;
    const float gi = xi * yr - xr * yi;
    specX[2 * k] = gr;
    specX[2 * k + 1] = gi;
    maxMag = std::max(maxMag, std::hypot(gr, gi));
  }
  if (whitening > 0.0f && maxMag > 0.0f) {
    // The floor keeps bins of pure rounding noise from being lifted to full weight.
    const float floor = maxMag * 1e-7f;
    for (std::size_t k = 0; k <= n / 2; ++k) {
      const float mag = std::hypot(specX[2 * k], specX[2 * k + 1]);
      const float w = 1.0f / std::pow(mag + floor, whitening);
      specX[2 * k] *= w;
      specX[2 * k + 1] *= w;
    }
  }
  tf::FFTInv(specX.data(), bufY.data(), state, scratch.data());
  tf::FFTFree(state);

  const float scale = 1.0f / static_cast<float>(n);
  for (std::size_t k = 0; k < n; ++k) out[k] = bufY[k] * scale;
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

  std::vector<float> c(size);
  if (!circularCrossCorrelation(x, nx, y, ny, static_cast<uint32_t>(size), search.whitening,
                                c.data()))
    return result;

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
