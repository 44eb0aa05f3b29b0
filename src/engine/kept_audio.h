// Decoded audio kept for refinement. Extraction decodes every recording once;
// refinement needs stretches of the analysed channel at the recording's own
// rate, anywhere in it. Holding that in memory for an archive of hundreds of
// hours is too much, so it is written while the extraction decodes, to a
// temporary file removed as soon as it is created (as 16-bit samples while
// every value is one, as floats otherwise), and read back mapped.
// A run's keeper has a budget of bytes: recordings that would exceed it are
// not kept, and refinement decodes their stretches from the file as needed.
#ifndef VELK_ENGINE_KEPT_AUDIO_H
#define VELK_ENGINE_KEPT_AUDIO_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "velk/sync.h"

namespace Velk {

class AudioKeeper;

// Frames of one recording on their way to the temporary file.
class KeptTrack {
 public:
  ~KeptTrack();
  KeptTrack(const KeptTrack&) = delete;
  KeptTrack& operator=(const KeptTrack&) = delete;

  // Appends channel pick of interleaved frames of channels channels (pick -1:
  // all of them); the rate is that of the first call. False once the budget
  // or the disk refused more (the track is then given up).
  bool append(const float* frames, std::size_t count, int channels, int pick, uint32_t rate);
  // The frames written, as audio in memory (the mapping is its owner); null
  // when the track was given up.
  std::shared_ptr<const MemoryAudio> finish();

 private:
  friend class AudioKeeper;
  KeptTrack(AudioKeeper& keeper, int fd, uint64_t reserved);
  bool flush();
  bool grow(uint64_t total);
  bool widen();
  void giveUp();

  AudioKeeper& keeper_;
  int fd_;
  uint64_t reserved_;  // bytes of the budget held
  uint64_t written_ = 0;
  int channels_ = 0;
  uint32_t rate_ = 0;
  bool narrow_ = true;  // 16-bit samples so far
  std::vector<float> buffer_;
  std::vector<int16_t> narrowed_;
};

class AudioKeeper {
 public:
  // budgetBytes: the most the run keeps at once (0: nothing); capped at half
  // the free space of the temporary folder.
  explicit AudioKeeper(uint64_t budgetBytes);

  // A track for about expectedBytes (it may grow); null when the budget is
  // spent or no temporary file can be made.
  std::unique_ptr<KeptTrack> track(uint64_t expectedBytes);

  uint64_t budget() const { return budget_; }

 private:
  friend class KeptTrack;
  int temporaryFile() const;  // an unlinked one; -1 when none can be made
  bool reserve(uint64_t bytes);
  void release(uint64_t bytes);

  std::string folder_;
  uint64_t budget_;
  std::mutex mutex_;
  uint64_t used_ = 0;
};

}  // namespace Velk

#endif
