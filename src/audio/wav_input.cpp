#include "audio/wav_reader.h"
#include "velk/input.h"

namespace Velk {

WavInput::WavInput(wavfile_t* file) : wav(file) {}

WavInput::~WavInput() { delete wav; }

// A null file (a recording that failed to load) reads as an empty source
// instead of crashing a caller that forgot to check.
uint64_t WavInput::getNumSamples() { return wav == nullptr ? 0 : wav->numSamples; }

bool WavInput::read(array<float>& buffer) {
  if (wav == nullptr) return false;
  return wav->read_mono(buffer);
}

bool WavInput::rewind() {
  if (wav == nullptr) return false;
  detail::seekWavFrame(*wav, 0);
  return true;
}

}  // namespace Velk
