#include "engine/kept_audio.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>

namespace Velk {

namespace {

// Frames gathered before each write: few system calls, little memory per worker.
constexpr std::size_t kBufferValues = 1 << 18;

// A mapping of a finished track; unmapped, and its bytes given back to the
// budget, when the last reader lets go.
struct Mapping {
  void* data = nullptr;
  std::size_t bytes = 0;
  std::function<void()> release;
  ~Mapping() {
    if (data != nullptr) munmap(data, bytes);
    if (release) release();
  }
};

bool writeAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

AudioKeeper::AudioKeeper(uint64_t budgetBytes) : budget_(budgetBytes) {
  std::error_code ec;
  folder_ = std::filesystem::temp_directory_path(ec).string();
  if (ec) folder_ = "/tmp";
  // The disk is shared with everything else; half of what is free is the most taken.
  struct statvfs fs {};
  if (budget_ > 0 && statvfs(folder_.c_str(), &fs) == 0)
    budget_ = std::min<uint64_t>(budget_, static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize / 2);
}

bool AudioKeeper::reserve(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes > budget_ - used_) return false;
  used_ += bytes;
  return true;
}

void AudioKeeper::release(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  used_ -= std::min(used_, bytes);
}

std::unique_ptr<KeptTrack> AudioKeeper::track(uint64_t expectedBytes) {
  if (budget_ == 0 || !reserve(expectedBytes)) return nullptr;
  std::string name = folder_ + "/velk-audio-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    release(expectedBytes);
    return nullptr;
  }
  unlink(name.c_str());  // gone from the folder now, whatever ends the run
  return std::unique_ptr<KeptTrack>(new KeptTrack(*this, fd, expectedBytes));
}

KeptTrack::KeptTrack(AudioKeeper& keeper, int fd, uint64_t reserved)
    : keeper_(keeper), fd_(fd), reserved_(reserved) {}

KeptTrack::~KeptTrack() { giveUp(); }

void KeptTrack::giveUp() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  keeper_.release(reserved_);
  reserved_ = 0;
  std::vector<float>().swap(buffer_);
}

bool KeptTrack::flush() {
  if (buffer_.empty()) return true;
  const uint64_t bytes = buffer_.size() * sizeof(float);
  // A recording longer than its header said: grow the share of the budget.
  if (written_ + bytes > reserved_) {
    const uint64_t more = std::max<uint64_t>(written_ + bytes - reserved_, 64u << 20);
    if (!keeper_.reserve(more)) return false;
    reserved_ += more;
  }
  if (!writeAll(fd_, reinterpret_cast<const char*>(buffer_.data()), bytes)) return false;
  written_ += bytes;
  buffer_.clear();
  return true;
}

bool KeptTrack::append(const float* frames, std::size_t count, int channels, int pick,
                       uint32_t rate) {
  if (fd_ < 0) return false;
  const int kept = pick < 0 ? channels : 1;
  if (channels_ == 0) {
    channels_ = kept;
    rate_ = rate;
    buffer_.reserve(kBufferValues);
  } else if (kept != channels_ || rate != rate_) {
    giveUp();
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const float* f = frames + i * static_cast<std::size_t>(channels);
    if (pick < 0)
      buffer_.insert(buffer_.end(), f, f + channels);
    else
      buffer_.push_back(f[pick]);
    if (buffer_.size() >= kBufferValues && !flush()) {
      giveUp();
      return false;
    }
  }
  return true;
}

std::shared_ptr<const MemoryAudio> KeptTrack::finish() {
  if (fd_ < 0 || !flush()) {
    giveUp();
    return nullptr;
  }
  auto mapping = std::make_shared<Mapping>();
  if (written_ > 0) {
    void* p = mmap(nullptr, written_, PROT_READ, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
      giveUp();
      return nullptr;
    }
    mapping->data = p;
    mapping->bytes = written_;
  }
  ::close(fd_);  // the mapping keeps the file's pages
  fd_ = -1;
  // What was written stays held until the mapping goes.
  keeper_.release(reserved_ - written_);
  AudioKeeper* keeper = &keeper_;
  const uint64_t held = written_;
  reserved_ = 0;
  mapping->release = [keeper, held] { keeper->release(held); };

  auto audio = std::make_shared<MemoryAudio>();
  audio->sampleRate = rate_;
  audio->channels = std::max(1, channels_);
  const std::size_t frames = written_ / sizeof(float) / static_cast<std::size_t>(audio->channels);
  audio->view =
      interleavedFloats(static_cast<const float*>(mapping->data), frames, audio->channels);
  audio->owner = mapping;
  return audio;
}

}  // namespace Velk
