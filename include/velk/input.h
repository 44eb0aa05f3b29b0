// Abstract audio source read by the extractor, and its WAV implementation.
#ifndef VELK_INPUT_H
#define VELK_INPUT_H

#include <cstdint>

#include "velk/array.h"
#include "velk/export.h"
#include "velk/wavfile.h"

namespace Velk {

// A mono sample source. Destruction is not virtual on purpose: whoever creates
// a source destroys it as its concrete type.
class VELK_API VkInput {
 public:
  virtual uint64_t getNumSamples() = 0;
  // Fills every element of buffer with the next samples.
  virtual bool read(array<float>& buffer) = 0;
  // The next read starts again at the first sample.
  virtual bool rewind() = 0;

 protected:
  ~VkInput() = default;
};

class VELK_API WavInput : public VkInput {
 public:
  explicit WavInput(wavfile_t* file);  // takes ownership; null is accepted
  ~WavInput();

  WavInput(const WavInput&) = delete;
  WavInput& operator=(const WavInput&) = delete;

  uint64_t getNumSamples() override;
  bool read(array<float>& buffer) override;
  bool rewind() override;

  wavfile_t* wav;
};

}  // namespace Velk

#endif
