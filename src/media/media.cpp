// Front of the media layer: argument checks, the mono conveniences and MediaInput,
// on top of whichever back end the build has.
#include "velk/media.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

#include "audio/wav_reader.h"
#include "media/media_impl.h"

namespace Velk {

namespace detail {

uint64_t secondsToSamples(double seconds, uint32_t rate) {
  if (!(seconds > 0)) return 0;
  const double n = std::floor(seconds * rate + 0.5);
  if (n >= 1.8e19) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(n);
}

void outputWindow(const DecodeOptions& opt, uint32_t outRate, uint64_t& begin, uint64_t& end) {
  begin = secondsToSamples(opt.startSeconds, outRate);
  end = std::numeric_limits<uint64_t>::max();
  if (opt.maxSeconds >= 0) end = begin + secondsToSamples(opt.maxSeconds, outRate);
}

bool OutputWindow::deliver(const float* frames, size_t count, uint64_t pos) {
  if (stopped_) return false;
  uint64_t first = pos;
  uint64_t last = pos + count;
  if (last <= begin_) return true;
  first = std::max(first, begin_);
  last = std::min(last, end_);
  if (first < last) {
    const size_t n = static_cast<size_t>(last - first);
    const size_t values = n * static_cast<size_t>(channels_);
    const float* src = frames + static_cast<size_t>(first - pos) * static_cast<size_t>(channels_);
    clamped_.resize(values);
    for (size_t i = 0; i < values; ++i) clamped_[i] = std::min(1.0f, std::max(-1.0f, src[i]));
    delivered_ += n;
    if (!sink_(clamped_.data(), n, channels_)) stopped_ = true;
  }
  if (last >= end_) stopped_ = true;
  return !stopped_;
}

}  // namespace detail

namespace {

bool checkOptions(const std::string& path, const DecodeOptions& opt, std::string& error) {
  if (opt.channels < 0) {
    error = "cannot decode " + path + ": a negative channel count was asked for";
    return false;
  }
  // Far beyond any real device; also keeps the grid arithmetic inside 64 bits.
  if (opt.sampleRate > kMaxSampleRate) {
    error = "cannot decode " + path + ": sample rate " + std::to_string(opt.sampleRate) +
            " Hz is out of range";
    return false;
  }
  if (!std::isfinite(opt.startSeconds) || opt.startSeconds < 0) {
    error = "cannot decode " + path + ": the start must be a non-negative number of seconds";
    return false;
  }
  return true;
}

}  // namespace

uint64_t wavFramesInFile(wavfile_t& wav) {
  const std::size_t frameBytes = static_cast<std::size_t>(std::max(1, wav.bitsPerSample / 8)) *
                                 static_cast<std::size_t>(std::max(1, wav.numChannels));
  return detail::wavFramesPresent(wav.file, wav.dataStart, frameBytes);
}

bool probeMedia(const std::string& path, MediaInfo& info, std::string& error) {
  info = MediaInfo();
  error.clear();
  if (!detail::probeBackend(path, info, error)) return false;
  if (info.hasAudio && info.sampleRate > kMaxSampleRate) {
    error = path + ": unsupported sample rate " + std::to_string(info.sampleRate) +
            " Hz (a damaged header?)";
    return false;
  }
  return true;
}

bool decodeAudio(const std::string& path, const DecodeOptions& opt, const FrameSink& sink,
                 std::string& error) {
  error.clear();
  if (!checkOptions(path, opt, error)) return false;
  DecodeOptions o = opt;
  if (!o.warn) o.warn = [](const std::string&) {};
  return detail::decodeBackend(path, o, sink, error);
}

namespace detail {

bool decodeWithSource(const std::string& path, const DecodeOptions& opt, const FrameSink& sink,
                      const SourceSink& source, std::string& error) {
  error.clear();
  DecodeOptions o = opt;
  o.startSeconds = 0;
  o.maxSeconds = -1;
  if (!checkOptions(path, o, error)) return false;
  if (!o.warn) o.warn = [](const std::string&) {};
  return decodeBackend(path, o, sink, error, &source);
}

}  // namespace detail

bool resampleFrames(const float* frames, size_t count, int channels, uint32_t inRate,
                    const DecodeOptions& opt, const FrameSink& sink, std::string& error) {
  return resampleFrames(interleavedFloats(frames, count, channels), inRate, opt, sink, error);
}

bool resampleFrames(const SampleView& frames, uint32_t inRate, const DecodeOptions& opt,
                    const FrameSink& sink, std::string& error) {
  error.clear();
  if (!checkOptions("audio in memory", opt, error)) return false;
  const int channels = frames.channels;
  if (frames.data == nullptr && frames.frames > 0) {
    error = "audio in memory: no samples were given";
    return false;
  }
  if (channels <= 0 || inRate == 0 || inRate > kMaxSampleRate || opt.channels > channels) {
    error = "audio in memory: " + std::to_string(channels) + " channels at " +
            std::to_string(inRate) + " Hz cannot be read as asked";
    return false;
  }
  const int outChannels = opt.channels == 0 ? channels : opt.channels;
  return detail::resampleBackend(frames, outChannels, inRate, opt, sink, error);
}

bool decodeMono(const std::string& path, uint32_t sampleRate, std::vector<float>& out,
                std::string& error, double startSeconds, double maxSeconds) {
  out.clear();
  DecodeOptions opt;
  opt.sampleRate = sampleRate;
  opt.channels = 1;
  opt.startSeconds = startSeconds;
  opt.maxSeconds = maxSeconds;
  return decodeAudio(
      path, opt,
      [&out](const float* frames, size_t count, int) {
        out.insert(out.end(), frames, frames + count);
        return true;
      },
      error);
}

int channelsToDecode(int channel) { return channel < 0 ? 0 : channel + 1; }

FrameSink monoOf(int channel, FrameSink mono) {
  std::vector<float> picked;
  return [channel, mono = std::move(mono), picked](const float* frames, size_t count,
                                                   int channels) mutable {
    if (channels == 1) return mono(frames, count, 1);
    picked.resize(count);
    for (size_t i = 0; i < count; ++i) {
      const float* f = frames + i * static_cast<size_t>(channels);
      if (channel >= 0) {
        picked[i] = f[std::min(channel, channels - 1)];
      } else {
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c) sum += f[c];
        picked[i] = sum / static_cast<float>(channels);
      }
    }
    return mono(picked.data(), count, 1);
  };
}

std::unique_ptr<MediaInput> MediaInput::open(const std::string& path, uint32_t sampleRate,
                                             std::string& error, int channel) {
  std::unique_ptr<MediaInput> in(new MediaInput());
  if (!probeMedia(path, in->info_, error)) return nullptr;
  in->rate_ = sampleRate != 0 ? sampleRate : in->info_.sampleRate;
  // A header's rate is not to be trusted: the same bound as for a requested rate.
  if (in->rate_ == 0 || in->rate_ > kMaxSampleRate) {
    error = path + ": unsupported sample rate " + std::to_string(in->rate_);
    return nullptr;
  }
  // Reserve from the announced duration so the vector does not grow by doubling (which
  // would briefly hold twice the samples); capped at 2^26 samples (256 MB) because
  // headers can lie: a longer recording grows as its samples really arrive.
  const double estimate =
      std::min(std::min(in->info_.durationSeconds, 12.0 * 3600.0) * in->rate_, 67108864.0);
  if (estimate > 0) in->samples_.reserve(static_cast<size_t>(estimate * 1.01) + in->rate_);

  DecodeOptions opt;
  opt.sampleRate = sampleRate;
  opt.channels = channelsToDecode(channel);
  MediaInput* self = in.get();
  opt.warn = [self](const std::string& line) { self->warnings_ += line + "\n"; };
  const bool ok = decodeAudio(path, opt, monoOf(channel, self->appender()), error);
  if (!ok) return nullptr;
  // Give back a reserve that a wrong duration made far too large.
  if (in->samples_.capacity() > in->samples_.size() + in->samples_.size() / 8 + in->rate_)
    in->samples_.shrink_to_fit();
  return in;
}

std::unique_ptr<MediaInput> MediaInput::fromFrames(const float* frames, size_t count, int channels,
                                                   uint32_t inRate, uint32_t sampleRate,
                                                   std::string& error, int channel) {
  return fromFrames(interleavedFloats(frames, count, channels), inRate, sampleRate, error, channel);
}

std::unique_ptr<MediaInput> MediaInput::fromFrames(const SampleView& frames, uint32_t inRate,
                                                   uint32_t sampleRate, std::string& error,
                                                   int channel) {
  const size_t count = frames.frames;
  const int channels = frames.channels;
  std::unique_ptr<MediaInput> in(new MediaInput());
  in->rate_ = sampleRate != 0 ? sampleRate : inRate;
  in->info_.hasAudio = true;
  in->info_.sampleRate = inRate;
  in->info_.channels = channels;
  in->info_.durationSeconds = inRate == 0 ? 0.0 : static_cast<double>(count) / inRate;
  DecodeOptions opt;
  opt.sampleRate = sampleRate;
  opt.channels = channelsToDecode(channel);
  const bool ok = resampleFrames(frames, inRate, opt, monoOf(channel, in->appender()), error);
  if (!ok) return nullptr;
  return in;
}

uint64_t MediaInput::getNumSamples() { return samples_.size(); }

bool MediaInput::read(array<float>& buffer) {
  const int32_t n = buffer.count();
  if (n <= 0 || buffer.data == nullptr) return true;
  const size_t want = static_cast<size_t>(n);
  const size_t avail = std::min(want, samples_.size() - pos_);
  std::copy(samples_.begin() + static_cast<std::ptrdiff_t>(pos_),
            samples_.begin() + static_cast<std::ptrdiff_t>(pos_ + avail), buffer.data);
  std::fill(buffer.data + avail, buffer.data + want, 0.0f);
  pos_ += avail;
  return true;
}

bool MediaInput::rewind() {
  pos_ = 0;
  return true;
}

bool haveFFmpeg() {
#if VELK_HAVE_FFMPEG
  return true;
#else
  return false;
#endif
}

}  // namespace Velk
