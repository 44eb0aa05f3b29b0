// The extractor object, its FFT set-up and the extraction drivers.
#include <rurorereriduv/transform.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "velk/landmark_extract.h"

namespace Velk {

namespace tr = rurorereriduv::transform;

namespace {

unsigned log2Exact(uint32_t powerOfTwo) {
  unsigned order = 0;
  while (order < 31 && (uint32_t{1} << order) < powerOfTwo) ++order;
  return order;
}

}  // namespace

VkLandmarkExtract::VkLandmarkExtract(VkExtractParams p)
    : fftState(nullptr), fftReady(false), params(p), frames(new FrameList) {}

VkLandmarkExtract::~VkLandmarkExtract() {
  clearFrames();
  delete frames;
  if (fftReady) tr::FFTFree(fftState);
}

void VkLandmarkExtract::clearFrames() {
  for (PeakList* list : *frames) {
    if (list == nullptr) continue;
    for (Peak* p : *list) delete p;
    delete list;
  }
  frames->clear();
}

void VkLandmarkExtract::setupFFT() {
  const uint32_t fftSize = params.getFftSize();
  const int32_t size = static_cast<int32_t>((fftSize / 2) * 2 + 4);
  spectrum.resize(size);
  fftOut.resize(size);
  // The transform writes fftSize + 2 floats; zeroing once keeps the two spare
  // floats defined, since every frame copies the whole output.
  fftOut = 0.0f;
  if (fftReady) {
    tr::FFTFree(fftState);
    fftState = nullptr;
    fftReady = false;
  }
  tr::FFTInit(&fftState, log2Exact(fftSize));
  unsigned int workBytes = 0;
  tr::FFTGetBufSize(fftState, &workBytes);
  fftReady = true;
  fftWork.resize(static_cast<int32_t>(workBytes));
}

bool VkLandmarkExtract::fftMatchesParams() const {
  const uint32_t fftSize = params.getFftSize();
  return fftReady && spectrum.count() == static_cast<int32_t>((fftSize / 2) * 2 + 4) &&
         fftOut.count() == spectrum.count();
}

const char* VkLandmarkExtract::unusableParams() const {
  // The frame buffer takes one hop of new samples per frame; a hop longer than
  // the frame would have to drop samples, which no caller can want.
  if (params.getHopSize() > params.getFftSize()) return "hop size is larger than the FFT size";
  return nullptr;
}

VkFile* VkLandmarkExtract::run(VkInput* input, int32_t id) {
  clearFrames();
  // Unusable parameters give an empty table: this overload promises a file, and
  // an empty one cannot produce a false match.
  if (unusableParams() == nullptr) {
    setupFFT();
    findFreqPeaks(input);
    prune();
  }
  std::unique_ptr<VkFile> file(new VkFile(id));
  combine(file.get());
  return file.release();
}

VkFile* VkLandmarkExtract::run(std::string path, int32_t id) {
  // Refused before the file is opened, so a bad configuration is reported once
  // per file instead of yielding silently empty recordings.
  if (const char* problem = unusableParams()) {
    std::cout << "[ERROR]: Cannot extract " << path << ": " << problem << " (hop "
              << params.getHopSize() << ", FFT " << params.getFftSize() << ")" << std::endl;
    return nullptr;
  }
  wavfile_t* wav = loadFile(path);
  if (wav == nullptr) return nullptr;
  WavInput input(wav);
  return run(&input, id);
}

wavfile_t* VkLandmarkExtract::loadFile(const std::string& path) {
  wavfile_t* wav = nullptr;
  try {
    wav = new wavfile_t(path, 1, 1, 16000);
  } catch (const std::exception&) {
    std::cout << "[ERROR]: Could not load: " << path << std::endl;
    return nullptr;
  }
  if (wav->sampleRate != params.getSampleRate()) {
    delete wav;
    std::cout << "[ERROR]:" << path << " has an incorrect sample rate" << std::endl;
    return nullptr;
  }
  return wav;
}

std::string VkLandmarkExtract::baseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = last.rfind('.');
  if (dot == std::string::npos) return std::string();
  return last.substr(0, dot);
}

namespace {

bool hasWavExtension(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  return dot != std::string::npos && path.compare(dot + 1, std::string::npos, "wav") == 0;
}

}  // namespace

VkFileSet* VkLandmarkExtract::runAll(const std::vector<std::string>& paths) {
  std::vector<const std::string*> kept;
  for (const std::string& path : paths)
    if (hasWavExtension(path)) kept.push_back(&path);

  // Owned until the set takes them, so an exception in a later run leaks nothing.
  std::vector<std::unique_ptr<VkFile>> results(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    const std::string& path = *kept[i];
    const int32_t id = static_cast<int32_t>(i + 1);
    std::cout << "STARTING: " << path << " (id " << id << ")\n";
    results[i].reset(run(path, id));
    std::cout << "FEATURE EXTRACTION COMPLETE: " << path << std::endl;
  }

  std::unique_ptr<VkFileSet> set(new VkFileSet);
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (!results[i]) continue;
    const std::string& path = *kept[i];
    const std::string name = baseName(path);
    const int32_t id = results[i]->getId();
    set->nameToId[name] = id;
    set->idToName[id] = name;
    set->idToPath[id] = path;
    set->addFile(results[i].get());
    results[i].release();
  }
  return set.release();
}

void VkLandmarkExtract::printPeaks() {
  for (std::size_t i = 0; i < frames->size(); ++i) {
    PeakList* list = (*frames)[i];
    if (list == nullptr || list->empty()) continue;
    std::cout << "FRAME: " << static_cast<unsigned long>(i) << std::endl;
    std::sort(list->begin(), list->end(), sortByAmplitudeComparitor);
    for (const Peak* p : *list)
      std::cout << "f: " << p->freq << " a: " << p->amp << " t:" << p->time << std::endl;
  }
}

}  // namespace Velk
