#include "engine/kept_audio.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
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

int AudioKeeper::temporaryFile() const {
  std::string name = folder_ + "/velk-audio-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd >= 0) unlink(name.c_str());  // gone from the folder now, whatever ends the run
  return fd;
}

std::unique_ptr<KeptTrack> AudioKeeper::track(uint64_t expectedBytes) {
  if (budget_ == 0 || !reserve(expectedBytes)) return nullptr;
  const int fd = temporaryFile();
  if (fd < 0) {
    release(expectedBytes);
    return nullptr;
  }
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
  std::vector<int16_t>().swap(narrowed_);
}

bool KeptTrack::grow(uint64_t total) {
  // A recording longer than its header said: a larger share of the budget.
  if (total <= reserved_) return true;
  const uint64_t more = std::max<uint64_t>(total - reserved_, 64u << 20);
  if (!keeper_.reserve(more)) return false;
  reserved_ += more;
  return true;
}

// What was written as 16-bit samples, again as floats (in a new file).
bool KeptTrack::widen() {
  narrow_ = false;
  if (written_ == 0) return true;
  const int wide = keeper_.temporaryFile();
  if (wide < 0 || !grow(written_ * 3)) {
    if (wide >= 0) ::close(wide);
    return false;
  }
  std::vector<int16_t> in(kBufferValues);
  std::vector<float> out(kBufferValues);
  for (uint64_t at = 0; at < written_;) {
    const auto want = static_cast<std::size_t>(std::min<uint64_t>(in.size() * 2, written_ - at));
    const ssize_t got = ::pread(fd_, in.data(), want, static_cast<off_t>(at));
    if (got <= 0) {
      ::close(wide);
      return false;
    }
    const auto n = static_cast<std::size_t>(got) / 2;
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(in[i]) / 32768.0f;
    if (!writeAll(wide, reinterpret_cast<const char*>(out.data()), n * sizeof(float))) {
      ::close(wide);
      return false;
    }
    at += static_cast<uint64_t>(n) * 2;
  }
  ::close(fd_);
  fd_ = wide;
  written_ *= 2;
  return true;
}

bool KeptTrack::flush() {
  if (buffer_.empty()) return true;
  // Samples a 16-bit file decodes to are kept in half the bytes, read back
  // exactly; the first other value (a float or compressed source) ends that.
  if (narrow_ &&
      !std::all_of(buffer_.begin(), buffer_.end(),
                   [](float v) {
                     const float s = v * 32768.0f;
                     // -0 would come back as 0.
                     return s >= -32768.0f && s <= 32767.0f &&
                            s == static_cast<float>(static_cast<int32_t>(s)) &&
                            !(v == 0.0f && std::signbit(v));
                   }) &&
      !widen())
    return false;
  const std::size_t n = buffer_.size();
  if (narrow_) {
    narrowed_.resize(n);
    for (std::size_t i = 0; i < n; ++i)
      narrowed_[i] = static_cast<int16_t>(buffer_[i] * 32768.0f);  // whole already
  }
  const uint64_t bytes = n * (narrow_ ? sizeof(int16_t) : sizeof(float));
  const char* data = narrow_ ? reinterpret_cast<const char*>(narrowed_.data())
                             : reinterpret_cast<const char*>(buffer_.data());
  if (!grow(written_ + bytes) || !writeAll(fd_, data, bytes)) return false;
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
  const std::size_t sampleBytes = narrow_ ? sizeof(int16_t) : sizeof(float);
  const auto channels = static_cast<std::size_t>(audio->channels);
  SampleView& v = audio->view;
  v.data = mapping->data;
  v.type = narrow_ ? SampleType::Int16 : SampleType::Float32;
  v.frames = written_ / sampleBytes / channels;
  v.channels = audio->channels;
  v.frameStride = static_cast<std::ptrdiff_t>(sampleBytes * channels);
  v.channelStride = static_cast<std::ptrdiff_t>(sampleBytes);
  audio->owner = mapping;
  return audio;
}

}  // namespace Velk
