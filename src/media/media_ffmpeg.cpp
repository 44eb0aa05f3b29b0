// FFmpeg back end: demux, decode the first audio stream, keep the asked channels,
// resample them with one SwrContext of exactly that many channels, and cut the result
// to the asked window on the output sample grid.
#if VELK_HAVE_FFMPEG

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "media/media_impl.h"

// The channel layout API (ch_layout, swr_alloc_set_opts2) arrived with FFmpeg 5.1.
#if LIBAVUTIL_VERSION_INT < AV_VERSION_INT(57, 28, 100) || \
    LIBSWRESAMPLE_VERSION_INT < AV_VERSION_INT(4, 7, 100)
#error "FFmpeg 5.1 or newer is needed (or configure with -DVELK_WITH_FFMPEG=OFF)"
#endif

namespace Velk {
namespace detail {

namespace {

// A late audio track is preceded by silence up to this much; beyond it the
// timestamps are more likely broken than the track really late.
constexpr double kMaxLeadSeconds = 10.0;
// Decoded before a seek target so codecs with overlapping frames (AAC, Opus, MP3)
// are settled when the kept audio begins.
constexpr double kSeekPrerollSeconds = 1.0;
// Below this start, decoding and dropping is cheaper than seeking.
constexpr double kSeekMinStartSeconds = 5.0;
// Consecutive demuxer errors after which a damaged file is given up.
constexpr int kMaxReadErrors = 64;

std::string avError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  if (av_strerror(code, text, sizeof text) < 0) return "error " + std::to_string(code);
  return text;
}

std::string secondsText(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", s);
  return text;
}

// FFmpeg's own log lines would interleave with the tool's output for every damaged
// frame; problems are counted and reported once per file instead.
void quietLibraries() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Containers whose timestamps after a seek are exact sample positions. Others are
// decoded from the start: MP3, ADTS and MPEG-TS estimate the position, and Matroska
// rounds timestamps to the millisecond.
bool seeksExactly(const AVInputFormat* f) {
  static const char* const kExact[] = {"wav", "w64",  "flac", "mov,mp4,m4a,3gp,3g2,mj2",
                                       "ogg", "aiff", "caf"};
  const std::string name = f->name;
  for (const char* e : kExact)
    if (name == e || name.rfind(std::string(e) + ",", 0) == 0) return true;
  return false;
}

struct Source {
  AVFormatContext* fmt = nullptr;
  AVStream* st = nullptr;
  const AVCodec* codec = nullptr;
  Source() = default;
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  ~Source() {
    if (fmt != nullptr) avformat_close_input(&fmt);
  }
};

bool openSource(const std::string& path, Source& s, std::string& error) {
  quietLibraries();
  noteOpen(path);
  int rc = avformat_open_input(&s.fmt, path.c_str(), nullptr, nullptr);
  if (rc < 0) {
    error = "cannot open " + path + ": " + avError(rc);
    return false;
  }
  rc = avformat_find_stream_info(s.fmt, nullptr);
  if (rc < 0) {
    error = "cannot read " + path + ": " + avError(rc);
    return false;
  }
  for (unsigned i = 0; i < s.fmt->nb_streams; ++i) {
    if (s.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      s.st = s.fmt->streams[i];
      break;
    }
  }
  if (s.st == nullptr) {
    error = path + " holds no audio stream";
    return false;
  }
  s.codec = avcodec_find_decoder(s.st->codecpar->codec_id);
  if (s.codec == nullptr) {
    error = "cannot decode " + path + ": no decoder for its audio codec (" +
            avcodec_get_name(s.st->codecpar->codec_id) + ")";
    return false;
  }
  return true;
}

// Start of the file's timeline in the audio stream's time base: the earliest start of
// its audio and video streams (cover pictures excluded). Unknown when the audio
// stream has no start time.
int64_t timelineStart(const Source& s) {
  if (s.st->start_time == AV_NOPTS_VALUE) return AV_NOPTS_VALUE;
  int64_t t0 = s.st->start_time;
  for (unsigned i = 0; i < s.fmt->nb_streams; ++i) {
    const AVStream* o = s.fmt->streams[i];
    const AVMediaType type = o->codecpar->codec_type;
    if (o->start_time == AV_NOPTS_VALUE || (o->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0)
      continue;
    if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) continue;
    t0 = std::min(t0, av_rescale_q(o->start_time, o->time_base, s.st->time_base));
  }
  return t0;
}

struct CodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwrDeleter {
  void operator()(SwrContext* s) const { swr_free(&s); }
};

float sampleToFloat(const uint8_t* p, AVSampleFormat packed) {
  switch (packed) {
    case AV_SAMPLE_FMT_U8:
      return (static_cast<int>(*p) - 128) * (1.0f / 128.0f);
    case AV_SAMPLE_FMT_S16: {
      int16_t v;
      std::memcpy(&v, p, sizeof v);
      return v * (1.0f / 32768.0f);
    }
    case AV_SAMPLE_FMT_S32: {
      int32_t v;
      std::memcpy(&v, p, sizeof v);
      return static_cast<float>(v * (1.0 / 2147483648.0));
    }
    case AV_SAMPLE_FMT_S64: {
      int64_t v;
      std::memcpy(&v, p, sizeof v);
      return static_cast<float>(static_cast<double>(v) * (1.0 / 9223372036854775808.0));
    }
    case AV_SAMPLE_FMT_FLT: {
      float v;
      std::memcpy(&v, p, sizeof v);
      return v;
    }
    case AV_SAMPLE_FMT_DBL: {
      double v;
      std::memcpy(&v, p, sizeof v);
      return static_cast<float>(v);
    }
    default:
      return 0.0f;
  }
}

// Frames [from, from + n) of the first outCh channels of f as interleaved floats.
// Channels the frame lacks read as silence.
void frameToFloat(const AVFrame* f, int from, int n, int outCh, std::vector<float>& dst) {
  const AVSampleFormat fmt = static_cast<AVSampleFormat>(f->format);
  const AVSampleFormat packed = av_get_packed_sample_fmt(fmt);
  const bool planar = av_sample_fmt_is_planar(fmt) != 0;
  const int nch = f->ch_layout.nb_channels;
  const int bytes = av_get_bytes_per_sample(fmt);
  dst.resize(static_cast<size_t>(n) * static_cast<size_t>(outCh));
  for (int c = 0; c < outCh; ++c) {
    float* out = dst.data() + c;
    if (c >= nch || bytes <= 0) {
      for (int i = 0; i < n; ++i) out[static_cast<size_t>(i) * outCh] = 0.0f;
      continue;
    }
    const uint8_t* base = planar ? f->extended_data[c] : f->extended_data[0];
    const size_t step = static_cast<size_t>(bytes) * (planar ? 1 : static_cast<size_t>(nch));
    const uint8_t* p = base + static_cast<size_t>(from) * step + (planar ? 0 : c * bytes);
    if (packed == AV_SAMPLE_FMT_FLT && outCh == 1 && step == sizeof(float)) {
      std::memcpy(out, p, static_cast<size_t>(n) * sizeof(float));
      continue;
    }
    for (int i = 0; i < n; ++i, p += step)
      out[static_cast<size_t>(i) * outCh] = sampleToFloat(p, packed);
  }
}

// Input samples at the stream rate in, output samples on the output grid out. The
// resampler (libswresample) aligns its first output with its first input, so output
// index k is at input time firstIn / inRate + k / outRate; firstIn is chosen on a
// common multiple of both sample periods so that this lands on the output grid.
class Feeder {
 public:
  Feeder(OutputWindow& win, int channels, const SourceSink* source = nullptr)
      : win_(win), ch_(channels), source_(source) {}

  // inRate and outRate are fixed by the first decoded frame; startOut is the first
  // output index the caller wants. Returns the input position to start feeding at.
  bool setup(uint32_t inRate, uint32_t outRate, uint64_t startOut, std::string& error) {
    inRate_ = inRate;
    outRate_ = outRate;
    if (inRate > kMaxSampleRate) {
      error = "unsupported sample rate " + std::to_string(inRate) + " Hz (a damaged header?)";
      return false;
    }
    if (inRate == outRate) {
      firstIn_ = startOut;
      outPos_ = startOut;
      return true;
    }
    const uint64_t g = std::gcd<uint64_t, uint64_t>(inRate, outRate);
    const uint64_t inPeriod = inRate / g;
    const uint64_t outPeriod = outRate / g;
    // Whole periods of input before the window, covering the filter's reach (and
    // 20 ms more) so the kept output does not see the resampler's edge handling.
    const uint64_t startIn = startOut / outPeriod * inPeriod;
    const uint64_t reach = inRate / 50 + 4 * (inRate / std::min(inRate, outRate) + 1) * 32;
    const uint64_t periods = startIn >= reach ? (startIn - reach) / inPeriod : 0;
    firstIn_ = periods * inPeriod;
    outPos_ = periods * outPeriod;

    AVChannelLayout layout;
    av_channel_layout_default(&layout, ch_);
    SwrContext* raw = nullptr;
    const int rc =
        swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_FLT, static_cast<int>(outRate), &layout,
                            AV_SAMPLE_FMT_FLT, static_cast<int>(inRate), 0, nullptr);
    av_channel_layout_uninit(&layout);
    swr_.reset(raw);
    if (rc < 0 || swr_init(swr_.get()) < 0) {
      error = "cannot set up resampling from " + std::to_string(inRate) + " Hz to " +
              std::to_string(outRate) + " Hz";
      return false;
    }
    return true;
  }

  uint64_t firstInput() const { return firstIn_; }

  bool push(const float* in, size_t n) {
    if (n == 0) return !win_.done();
    fed_ += n;
    if (source_ != nullptr && !(*source_)(in, n, ch_, inRate_)) return false;
    if (!swr_) {
      const bool more = win_.deliver(in, n, outPos_);
      outPos_ += n;
      return more;
    }
    const uint8_t* src = reinterpret_cast<const uint8_t*>(in);
    return convert(&src, static_cast<int>(n));
  }

  // Drains the resampler; output beyond the input's end (rounded up) is dropped.
  bool flush() {
    if (!swr_ || win_.done()) return true;
    const uint64_t end = ((firstIn_ + fed_) * outRate_ + inRate_ - 1) / inRate_;
    for (int guard = 0; guard < 64 && outPos_ < end && !win_.done(); ++guard) {
      const int cap = 4096;
      out_.resize(static_cast<size_t>(cap) * ch_);
      uint8_t* dst = reinterpret_cast<uint8_t*>(out_.data());
      const int got = swr_convert(swr_.get(), &dst, cap, nullptr, 0);
      if (got <= 0) break;
      const size_t keep = static_cast<size_t>(std::min<uint64_t>(got, end - outPos_));
      win_.deliver(out_.data(), keep, outPos_);
      outPos_ += keep;
    }
    return true;
  }

 private:
  bool convert(const uint8_t** src, int n) {
    const int cap = swr_get_out_samples(swr_.get(), n);
    if (cap <= 0) return true;
    out_.resize(static_cast<size_t>(cap) * ch_);
    uint8_t* dst = reinterpret_cast<uint8_t*>(out_.data());
    const int got = swr_convert(swr_.get(), &dst, cap, src, n);
    if (got <= 0) return !win_.done();
    const bool more = win_.deliver(out_.data(), static_cast<size_t>(got), outPos_);
    outPos_ += static_cast<uint64_t>(got);
    return more;
  }

  OutputWindow& win_;
  int ch_;
  const SourceSink* source_;
  uint32_t inRate_ = 0;
  uint32_t outRate_ = 0;
  std::unique_ptr<SwrContext, SwrDeleter> swr_;
  uint64_t firstIn_ = 0;
  uint64_t outPos_ = 0;
  uint64_t fed_ = 0;
  std::vector<float> out_;
};

enum class Attempt { Done, Failed, Restart };

// One pass over a file: demux, decode, place every frame on the file's timeline,
// feed the resampler. A pass that seeks and lands past its target asks for a restart
// from the beginning.
class Pass {
 public:
  Pass(const std::string& path, const DecodeOptions& opt, const FrameSink& sink,
       const SourceSink* source)
      : path_(path), opt_(opt), sink_(sink), source_(source) {}

  Attempt run(bool maySeek, std::string& error) {
    if (!open(error)) return Attempt::Failed;
    if (maySeek && !seek()) return Attempt::Restart;
    const Attempt a = readAll(error);
    if (a == Attempt::Done) report();
    return a;
  }

 private:
  bool open(std::string& error) {
    if (!openSource(path_, s_, error)) return false;
    AVCodecParameters* par = s_.st->codecpar;
    const int streamCh = par->ch_layout.nb_channels;
    if (streamCh <= 0 || par->sample_rate <= 0) {
      error = "cannot decode " + path_ + ": its audio stream has no channel count or sample rate";
      return false;
    }
    if (opt_.channels > streamCh) {
      error = "cannot decode " + path_ + ": it has " + std::to_string(streamCh) + " channel" +
              (streamCh == 1 ? "" : "s") + ", " + std::to_string(opt_.channels) + " were asked for";
      return false;
    }
    outCh_ = opt_.channels == 0 ? streamCh : opt_.channels;
    ctx_.reset(avcodec_alloc_context3(s_.codec));
    pkt_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!ctx_ || !pkt_ || !frame_ || avcodec_parameters_to_context(ctx_.get(), par) < 0) {
      error = "cannot decode " + path_ + ": out of memory";
      return false;
    }
    ctx_->pkt_timebase = s_.st->time_base;  // lets the decoder trim priming by timestamps
    ctx_->request_sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx_->thread_count = 1;  // audio decoders gain nothing from threads
    const int rc = avcodec_open2(ctx_.get(), s_.codec, nullptr);
    if (rc < 0) {
      error = "cannot decode " + path_ + ": " + avError(rc);
      return false;
    }
    for (unsigned i = 0; i < s_.fmt->nb_streams; ++i)
      if (s_.fmt->streams[i] != s_.st) s_.fmt->streams[i]->discard = AVDISCARD_ALL;

    t0_ = timelineStart(s_);
    if (t0_ != AV_NOPTS_VALUE && s_.st->duration != AV_NOPTS_VALUE && s_.st->duration > 0) {
      declaredEnd_ = s_.st->start_time + s_.st->duration - t0_;
      // MP4/MOV edit lists state exactly how long the track plays; the decoder would
      // otherwise also hand out the encoder's padding of the last frame.
      trimToDeclared_ = std::strcmp(s_.fmt->iformat->name, "mov,mp4,m4a,3gp,3g2,mj2") == 0;
    }
    // A length estimated from the bit rate is too rough to call a file short.
    if (s_.fmt->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE)
      declaredEnd_ = AV_NOPTS_VALUE;
    return true;
  }

  // False when a seek was tried and failed (the read position is then unknown).
  bool seek() {
    if (t0_ == AV_NOPTS_VALUE || opt_.startSeconds <= kSeekMinStartSeconds ||
        !seeksExactly(s_.fmt->iformat))
      return true;
    const double target = opt_.startSeconds - kSeekPrerollSeconds;
    const int64_t ts = t0_ + av_rescale_q(static_cast<int64_t>(target * 1e6),
                                          AVRational{1, 1000000}, s_.st->time_base);
    sought_ = avformat_seek_file(s_.fmt, s_.st->index, std::numeric_limits<int64_t>::min(), ts, ts,
                                 0) >= 0;
    return sought_;
  }

  Attempt readAll(std::string& error) {
    int readErrors = 0;
    bool stopped = false;
    for (;;) {
      int rc = av_read_frame(s_.fmt, pkt_.get());
      if (rc < 0) {
        if (rc == AVERROR_EOF || (s_.fmt->pb != nullptr && avio_feof(s_.fmt->pb))) break;
        if (++readErrors > kMaxReadErrors) {
          readProblem_ = avError(rc);
          break;
        }
        continue;
      }
      readErrors = 0;
      if (pkt_->stream_index != s_.st->index) {
        av_packet_unref(pkt_.get());
        continue;
      }
      rc = avcodec_send_packet(ctx_.get(), pkt_.get());
      if (rc == AVERROR(EAGAIN)) {
        // Not expected from audio decoders, but the API allows it: drain, then resend.
        stopped = !receive();
        if (!stopped) rc = avcodec_send_packet(ctx_.get(), pkt_.get());
      }
      av_packet_unref(pkt_.get());
      if (rc < 0 && rc != AVERROR(EAGAIN)) ++damaged_;
      if (stopped || !receive()) {
        stopped = true;
        break;
      }
    }
    // Drain the decoder's last frames (unless we stopped on purpose).
    if (!stopped && avcodec_send_packet(ctx_.get(), nullptr) >= 0) receive();
    if (restart_) return Attempt::Restart;
    if (!error_.empty()) {
      error = error_;
      return Attempt::Failed;
    }
    if (feeder_) feeder_->flush();
    if (!feeder_ && (damaged_ > 0 || !readProblem_.empty())) {
      error = "cannot decode " + path_ + ": no audio could be decoded";
      return Attempt::Failed;
    }
    return Attempt::Done;
  }

  // Hands every frame the decoder has ready to take(); false stops the pass.
  bool receive() {
    for (;;) {
      const int r = avcodec_receive_frame(ctx_.get(), frame_.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) {
        ++damaged_;
        return true;
      }
      const bool more = take(frame_.get());
      av_frame_unref(frame_.get());
      if (!more) return false;
    }
  }

  // Timeline position (stream-rate samples) the timestamps give to a frame's first
  // sample, or false when they give none.
  bool timelinePos(const AVFrame* f, int64_t& pos) const {
    const int64_t pts = f->pts != AV_NOPTS_VALUE ? f->pts : f->best_effort_timestamp;
    if (t0_ == AV_NOPTS_VALUE || pts == AV_NOPTS_VALUE) return false;
    pos = av_rescale_q(pts - t0_, s_.st->time_base, AVRational{1, static_cast<int>(inRate_)}) +
          tsShift_;
    return true;
  }

  bool start(const AVFrame* f) {
    inRate_ = static_cast<uint32_t>(f->sample_rate);
    const uint32_t outRate = opt_.sampleRate != 0 ? opt_.sampleRate : inRate_;
    uint64_t begin = 0, end = 0;
    outputWindow(opt_, outRate, begin, end);
    win_.reset(new OutputWindow(sink_, outCh_, begin, end));
    feeder_.reset(new Feeder(*win_, outCh_, source_));
    if (!feeder_->setup(inRate_, outRate, begin, error_)) return false;
    firstIn_ = feeder_->firstInput();
    const AVRational rate{1, static_cast<int>(inRate_)};
    if (trimToDeclared_)
      lastIn_ = static_cast<uint64_t>(av_rescale_q(declaredEnd_, s_.st->time_base, rate));
    maxJump_ = static_cast<int64_t>(kMaxLeadSeconds * inRate_);

    int64_t p = 0;
    if (!timelinePos(f, p)) {
      restart_ = sought_;  // nothing places the audio after a seek
      return !restart_;
    }
    if (sought_) {
      if (p > static_cast<int64_t>(firstIn_)) {
        restart_ = true;  // landed past the first sample we need
        return false;
      }
      if (p >= 0)
        inPos_ = static_cast<uint64_t>(p);
      else
        drop_ = static_cast<uint64_t>(-p);
    } else if (p > maxJump_) {
      opt_.warn(path_ + ": the audio claims to start " +
                secondsText(static_cast<double>(p) / inRate_) +
                " into the file; it is read from time zero instead");
      tsShift_ = -p;
    } else if (p > 0) {
      return silence(static_cast<uint64_t>(p));  // a track that starts late
    } else {
      drop_ = static_cast<uint64_t>(-p);  // priming before the timeline starts
    }
    return true;
  }

  // Keeps the audio where its timestamps put it: lost packets (a damaged stretch, a
  // dropped Ogg page) become silence of their length. Small disagreements (timestamps
  // rounded to the millisecond) and jumps that look like broken timestamps are
  // absorbed instead, so that the samples stay contiguous.
  bool follow(const AVFrame* f) {
    int64_t p = 0;
    if (drop_ > 0 || inPos_ >= lastIn_ || !timelinePos(f, p)) return true;
    const int64_t d = p - static_cast<int64_t>(inPos_);
    const int64_t tolerance = std::max<int64_t>(prevFrame_ / 2, inRate_ / 200);
    if (d > tolerance && d <= maxJump_) {
      ++gaps_;
      gapSamples_ += static_cast<uint64_t>(d);
      return silence(static_cast<uint64_t>(p));
    }
    if (d > tolerance) ++jumps_;
    if (d > tolerance || d < -tolerance) tsShift_ -= d;
    return true;
  }

  bool silence(uint64_t upTo) {
    upTo = std::min(upTo, lastIn_);
    if (upTo <= std::max(inPos_, firstIn_)) {
      inPos_ = std::max(inPos_, upTo);
      return true;
    }
    inPos_ = std::max(inPos_, firstIn_);
    zeros_.assign(4096 * static_cast<size_t>(outCh_), 0.0f);
    while (inPos_ < upTo) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(4096, upTo - inPos_));
      inPos_ += n;
      if (!feeder_->push(zeros_.data(), n)) return false;
    }
    return true;
  }

  bool take(const AVFrame* f) {
    if (f->nb_samples <= 0 || f->sample_rate <= 0) return true;
    if ((f->flags & AV_FRAME_FLAG_CORRUPT) != 0 || f->decode_error_flags != 0) ++damaged_;
    if (!feeder_) {
      if (!start(f)) return false;
    } else if (static_cast<uint32_t>(f->sample_rate) != inRate_) {
      opt_.warn(path_ + ": the sample rate changes from " + std::to_string(inRate_) + " to " +
                std::to_string(f->sample_rate) + " Hz at " +
                secondsText(static_cast<double>(inPos_) / inRate_) + "; the rest is not read");
      return false;
    } else if (!follow(f)) {
      return false;
    }
    prevFrame_ = f->nb_samples;
    int from = 0;
    int n = f->nb_samples;
    if (drop_ > 0) {
      const int d = static_cast<int>(std::min<uint64_t>(drop_, static_cast<uint64_t>(n)));
      drop_ -= static_cast<uint64_t>(d);
      from += d;
      n -= d;
    }
    if (n > 0 && inPos_ < firstIn_) {
      const int d =
          static_cast<int>(std::min<uint64_t>(firstIn_ - inPos_, static_cast<uint64_t>(n)));
      inPos_ += static_cast<uint64_t>(d);
      from += d;
      n -= d;
    }
    if (n <= 0 || inPos_ >= lastIn_) return true;
    n = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(n), lastIn_ - inPos_));
    inPos_ += static_cast<uint64_t>(n);
    const AVSampleFormat fmt = static_cast<AVSampleFormat>(f->format);
    // Mono out of planar (or mono) float: the decoder's own buffer, no copy.
    if (outCh_ == 1 &&
        (fmt == AV_SAMPLE_FMT_FLTP || (fmt == AV_SAMPLE_FMT_FLT && f->ch_layout.nb_channels == 1)))
      return feeder_->push(reinterpret_cast<const float*>(f->extended_data[0]) + from,
                           static_cast<size_t>(n));
    frameToFloat(f, from, n, outCh_, conv_);
    return feeder_->push(conv_.data(), static_cast<size_t>(n));
  }

  void report() const {
    if (damaged_ > 0)
      opt_.warn(path_ + ": " + std::to_string(damaged_) + " damaged packet" +
                (damaged_ == 1 ? "" : "s") + " skipped; the rest was decoded");
    if (gaps_ > 0)
      opt_.warn(path_ + ": " + secondsText(static_cast<double>(gapSamples_) / inRate_) +
                " of missing audio in " + std::to_string(gaps_) + " place" +
                (gaps_ == 1 ? "" : "s") + " replaced by silence to keep the rest in place");
    if (jumps_ > 0)
      opt_.warn(path_ + ": the timestamps jump forward " + std::to_string(jumps_) + " time" +
                (jumps_ == 1 ? "" : "s") + "; the audio is read as if contiguous");
    if (!readProblem_.empty())
      opt_.warn(path_ + ": reading stopped at " +
                secondsText(inRate_ != 0 ? static_cast<double>(inPos_) / inRate_ : 0) + " (" +
                readProblem_ + ")");
    // A whole read that ends well before the announced end means a cut or damaged file.
    if (feeder_ && !win_->done() && declaredEnd_ != AV_NOPTS_VALUE) {
      const double announced = static_cast<double>(declaredEnd_) * av_q2d(s_.st->time_base);
      const double got = static_cast<double>(inPos_) / inRate_;
      if (got < announced - std::max(0.5, 0.02 * announced))
        opt_.warn(path_ + ": the audio ends at " + secondsText(got) + ", its header announces " +
                  secondsText(announced));
    }
  }

  const std::string& path_;
  const DecodeOptions& opt_;
  const FrameSink& sink_;
  const SourceSink* source_;
  Source s_;
  std::unique_ptr<AVCodecContext, CodecContextDeleter> ctx_;
  std::unique_ptr<AVPacket, PacketDeleter> pkt_;
  std::unique_ptr<AVFrame, FrameDeleter> frame_;
  std::unique_ptr<OutputWindow> win_;
  std::unique_ptr<Feeder> feeder_;
  int outCh_ = 1;
  uint32_t inRate_ = 0;
  int64_t t0_ = AV_NOPTS_VALUE;           // timeline start, audio time base
  int64_t declaredEnd_ = AV_NOPTS_VALUE;  // announced end on the timeline, audio time base
  bool trimToDeclared_ = false;
  bool sought_ = false;
  bool restart_ = false;
  std::string error_;
  // Positions are stream-rate samples on the file's timeline.
  uint64_t inPos_ = 0;    // of the next sample
  uint64_t drop_ = 0;     // samples before the timeline start still to drop
  uint64_t firstIn_ = 0;  // first position fed to the resampler
  uint64_t lastIn_ = std::numeric_limits<uint64_t>::max();
  int64_t tsShift_ = 0;  // correction for absorbed timestamp jumps
  int64_t maxJump_ = 0;
  int prevFrame_ = 0;
  long damaged_ = 0;
  long gaps_ = 0;
  long jumps_ = 0;
  uint64_t gapSamples_ = 0;
  std::string readProblem_;
  std::vector<float> conv_;
  std::vector<float> zeros_;
};

}  // namespace

bool resampleBackend(const SampleView& frames, int outChannels, uint32_t inRate,
                     const DecodeOptions& opt, const FrameSink& sink, std::string& error) {
  const size_t count = frames.frames;
  const uint32_t outRate = opt.sampleRate != 0 ? opt.sampleRate : inRate;
  uint64_t begin = 0, end = 0;
  outputWindow(opt, outRate, begin, end);
  OutputWindow win(sink, outChannels, begin, end);
  Feeder feeder(win, outChannels);
  if (!feeder.setup(inRate, outRate, begin, error)) return false;
  constexpr size_t kChunk = 4096;
  std::vector<float> chunk(kChunk * static_cast<size_t>(outChannels));
  for (size_t at = feeder.firstInput(); at < count;) {
    const size_t n = std::min(kChunk, count - at);
    for (size_t f = 0; f < n; ++f)
      for (int c = 0; c < outChannels; ++c) chunk[f * outChannels + c] = frames.at(at + f, c);
    if (!feeder.push(chunk.data(), n)) return true;
    at += n;
  }
  return feeder.flush();
}

bool probeBackend(const std::string& path, MediaInfo& info, std::string& error) {
  Source s;
  if (!openSource(path, s, error)) return false;
  const AVCodecParameters* par = s.st->codecpar;
  info.hasAudio = true;
  info.sampleRate = par->sample_rate > 0 ? static_cast<uint32_t>(par->sample_rate) : 0;
  info.channels = par->ch_layout.nb_channels;
  info.codec = avcodec_get_name(par->codec_id);
  info.container = s.fmt->iformat->name;
  if (s.st->duration != AV_NOPTS_VALUE && s.st->duration > 0)
    info.durationSeconds = static_cast<double>(s.st->duration) * av_q2d(s.st->time_base);
  else if (s.fmt->duration != AV_NOPTS_VALUE && s.fmt->duration > 0)
    info.durationSeconds = static_cast<double>(s.fmt->duration) / AV_TIME_BASE;
  for (unsigned i = 0; i < s.fmt->nb_streams; ++i) {
    const AVStream* v = s.fmt->streams[i];
    if (v->codecpar->codec_type != AVMEDIA_TYPE_VIDEO ||
        (v->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0)
      continue;
    const AVRational rate = v->avg_frame_rate.num > 0 ? v->avg_frame_rate : v->r_frame_rate;
    info.hasVideo = true;
    info.frameRateNum = rate.num > 0 && rate.den > 0 ? rate.num : 0;
    info.frameRateDen = rate.num > 0 && rate.den > 0 ? rate.den : 0;
    info.width = v->codecpar->width;
    info.height = v->codecpar->height;
    break;
  }
  return true;
}

bool decodeBackend(const std::string& path, const DecodeOptions& opt, const FrameSink& sink,
                   std::string& error, const SourceSink* source) {
  Attempt a = Pass(path, opt, sink, source).run(true, error);
  if (a == Attempt::Restart) {
    error.clear();
    a = Pass(path, opt, sink, source).run(false, error);
  }
  return a == Attempt::Done;
}

}  // namespace detail
}  // namespace Velk

#endif  // VELK_HAVE_FFMPEG
