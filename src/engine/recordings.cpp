#include "engine/recordings.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "audio/wav_reader.h"
#include "engine/channel_choice.h"
#include "engine/kept_audio.h"
#include "engine/parallel.h"
#include "media/media_impl.h"
#include "velk/input.h"
#include "velk/landmark_extract.h"
#include "velk/media.h"
#include "velk/wavfile.h"

namespace fs = std::filesystem;

namespace Velk {

namespace {

// Extensions of files that are meant as recordings: failing to read one is a
// problem worth an exit status, while other files are just not recordings.
bool looksLikeMedia(const std::string& fileName) {
  static const std::set<std::string> kinds = {
      "wav", "wave", "bwf", "rf64", "aif",  "aiff", "aifc", "caf", "flac", "mp3",
      "m4a", "aac",  "ogg", "oga",  "opus", "wma",  "amr",  "mp4", "m4v",  "mov",
      "mkv", "mka",  "avi", "webm", "mts",  "m2ts", "ts",   "3gp", "mxf",  "dv"};
  const auto dot = fileName.find_last_of('.');
  if (dot == std::string::npos) return false;
  std::string ext = fileName.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return kinds.count(ext) != 0;
}

// What the WAV header says, when the library's reader can decode the file
// exactly (8- or 16-bit; 24- and 32-bit go to the media layer, which knows
// integer from float). Frames the header declares against frames the file
// holds: a recorder that stopped before finishing its file leaves a size of 0
// (or its last update) with more audio after it, or a size beyond the end.
bool unfinishedWav(Recording& r, uint64_t& declared) {
  uint64_t present = 0;
  try {
    wavfile_t wav(r.path, 1, 1, 16000);
    declared = wav.numSamples;
    present = wavFramesInFile(wav);
    if (wav.numChannels >= 1 && wav.numChannels <= 16 &&
        (wav.bitsPerSample == 8 || wav.bitsPerSample == 16) && wav.sampleRate > 0) {
      r.wavReadable = true;
      r.sampleRate = wav.sampleRate;
      r.channels = wav.numChannels;
      r.durationSeconds = static_cast<double>(wav.numSamples) / wav.sampleRate;
    }
  } catch (const std::exception&) {
  }
  return r.wavReadable && ((declared == 0 && present > 0) || declared > present);
}

SkippedFile whySkipped(const Recording& r, uint32_t rate, const std::string& error) {
  SkippedFile s;
  s.path = r.path;
  if (r.wavReadable) {
    s.problem = true;
    s.reason = "sample rate " + std::to_string(r.sampleRate) + " Hz differs from " +
               std::to_string(rate) + " Hz and this build cannot resample";
    return s;
  }
  // A video without sound is not a recording; other failures of a media file are.
  const std::string noAudio = "holds no audio stream";
  const bool silent = error.size() >= noAudio.size() &&
                      error.compare(error.size() - noAudio.size(), noAudio.size(), noAudio) == 0;
  s.problem = looksLikeMedia(r.fileName) && !silent;
  if (silent)
    s.reason = "no audio stream";
  else if (!s.problem)
    s.reason = "not an audio file";
  else
    s.reason = error.empty() ? "cannot be decoded" : error;
  return s;
}

void classify(const std::string& path, const std::string& fileName, uint32_t rate,
              Listing& listing) {
  Recording r;
  r.path = path;
  r.fileName = fileName;
  r.name = VkLandmarkExtract::baseName(path);
  uint64_t declared = 0;
  // An unfinished file goes to the media layer, which reads on to the end and
  // knows the true length (the refinement and the copies need it).
  const bool unfinished = unfinishedWav(r, declared);
  if (r.wavReadable && r.sampleRate == rate && !unfinished) {
    r.route = Route::Library;
    listing.recordings.push_back(r);
    return;
  }
  MediaInfo info;
  std::string error;
  if (probeMedia(path, info, error) && info.hasAudio && info.sampleRate > 0) {
    r.route = Route::Media;
    if (!r.wavReadable) {
      r.sampleRate = info.sampleRate;
      r.channels = info.channels;
      r.durationSeconds = info.durationSeconds;
    } else if (unfinished) {
      r.wavReadable = false;  // the library's reader would go by the header
      r.durationSeconds = info.durationSeconds;
      listing.warnings.push_back(path +
                                 (declared == 0
                                      ? ": its header declares no samples, but audio follows it"
                                      : ": its header declares more samples than the file holds") +
                                 " (a recording that was not finished?); reading what is there");
    }
    listing.recordings.push_back(r);
    return;
  }
  if (r.wavReadable && r.sampleRate == rate) {  // an empty file, and no decoder to say otherwise
    r.route = Route::Library;
    listing.recordings.push_back(r);
    return;
  }
  listing.skipped.push_back(whySkipped(r, rate, error));
}

// A channel extracted beside the one with most landmarks, kept until matching
// tells which of them carries the event.
struct OtherChannel {
  int channel = 0;
  std::unique_ptr<VkFile> file;
  std::shared_ptr<const MemoryAudio> kept;
};

struct Slot {
  VkFile* file = nullptr;
  std::string error;
  std::string designedError;  // the line the library's loader would print
  std::string warnings;
  double durationSeconds = -1.0;
  int channel = 0;
  std::string channelNote;                  // why another channel than the first was analysed
  std::shared_ptr<const MemoryAudio> kept;  // the analysed audio at its own rate
  std::vector<OtherChannel> others;         // channels of other sound, not yet ruled out
  bool done = false;
};

// What refinement will read of a recording, written while extraction decodes it:
// one track per channel that may be analysed, or one of all channels for their mix.
class Keeping {
 public:
  Keeping(AudioKeeper* keeper, const Recording& r, int channel) : channel_(channel) {
    if (keeper == nullptr || r.route == Route::Memory) return;
    const int channels = std::max(1, r.channels);
    const double frames = std::max(0.0, r.durationSeconds) * r.sampleRate * 1.01 + r.sampleRate;
    const auto bytes = [&](int n) { return static_cast<uint64_t>(frames * 4.0 * n); };
    if (channel == kAutoChannel) {
      for (int c = 0; c < channels; ++c) tracks_.push_back(keeper->track(bytes(1)));
    } else {
      tracks_.push_back(keeper->track(bytes(channel == kMixChannels ? channels : 1)));
    }
  }

  // For the decoder: the frames it feeds its resampler.
  detail::SourceSink source() {
    return [this](const float* frames, std::size_t count, int channels, uint32_t rate) {
      for (std::size_t t = 0; t < tracks_.size(); ++t) {
        if (!tracks_[t]) continue;
        const int pick = channel_ == kAutoChannel   ? static_cast<int>(t)
                         : channel_ == kMixChannels ? -1
                                                    : channel_;
        if (!tracks_[t]->append(frames, count, channels, pick, rate)) tracks_[t].reset();
      }
      return true;
    };
  }
  KeptTrack* track(std::size_t i) { return i < tracks_.size() ? tracks_[i].get() : nullptr; }
  // The track of a channel that may be analysed.
  std::shared_ptr<const MemoryAudio> take(int channel) {
    const std::size_t i = channel_ == kAutoChannel ? static_cast<std::size_t>(channel) : 0;
    std::unique_ptr<KeptTrack> kept = i < tracks_.size() ? std::move(tracks_[i]) : nullptr;
    return kept ? kept->finish() : nullptr;
  }
  // The track of the channel analysed (all others not taken are let go).
  std::shared_ptr<const MemoryAudio> finish(int channel) {
    std::shared_ptr<const MemoryAudio> kept = take(channel);
    tracks_.clear();
    return kept;
  }

 private:
  int channel_;
  std::vector<std::unique_ptr<KeptTrack>> tracks_;
};

// The library's WAV source, handing what the extractor reads to a track as well.
// The extractor reads a few frames, rewinds, then reads whole hops to near the
// end; the rest is read at the end from where it stopped.
class KeepingInput final : public VkInput {
 public:
  KeepingInput(WavInput& input, KeptTrack* track) : in_(input), track_(track) {}

  uint64_t getNumSamples() override { return in_.getNumSamples(); }
  bool read(array<float>& buffer) override {
    const bool ok = in_.read(buffer);
    const uint64_t left = getNumSamples() - std::min(getNumSamples(), kept_);
    const auto n = static_cast<std::size_t>(std::min<uint64_t>(buffer.count(), left));
    if (track_ != nullptr && reading_ && n > 0 &&
        !track_->append(buffer.data, n, 1, 0, in_.wav->sampleRate))
      track_ = nullptr;
    kept_ += n;
    return ok;
  }
  bool rewind() override {
    if (kept_ > 0 && reading_) track_ = nullptr;  // a second whole pass: not expected
    reading_ = true;
    kept_ = 0;
    return in_.rewind();
  }

  // Reads the samples the extractor left, for the track.
  void readRest() {
    wavfile_t& wav = *in_.wav;
    if (!reading_) kept_ = 0;
    const uint64_t total = getNumSamples();
    if (track_ == nullptr || kept_ >= total) return;
    detail::seekWavFrame(wav, kept_);
    array<float> block(65536);
    while (kept_ < total && track_ != nullptr) {
      const auto n = static_cast<int32_t>(std::min<uint64_t>(65536, total - kept_));
      wav.read_mono(block, n);
      if (!track_->append(block.data, static_cast<std::size_t>(n), 1, 0, wav.sampleRate))
        track_ = nullptr;
      kept_ += static_cast<uint64_t>(n);
    }
  }

 private:
  WavInput& in_;
  KeptTrack* track_;
  uint64_t kept_ = 0;
  bool reading_ = false;  // past the first rewind: the pass that reads it all
};

// The library's own reader, opened here rather than by VkLandmarkExtract::run
// so that its failure line reaches the caller's handler instead of standard output.
VkFile* extractWav(VkLandmarkExtract& extractor, const Recording& r, Keeping& keep, Slot& out) {
  std::unique_ptr<wavfile_t> wav;
  try {
    wav.reset(new wavfile_t(r.path, 1, 1, 16000));
  } catch (const std::exception& e) {
    out.designedError = "[ERROR]: Could not load: " + r.path;
    out.error = e.what();
    return nullptr;
  }
  WavInput input(wav.release());  // owns the file from here on
  KeepingInput keeping(input, keep.track(0));
  VkFile* file = extractor.run(&keeping, r.id);
  keeping.readRest();
  return file;
}

// Decoded samples as the extractor's source; reads past the end give silence,
// as from MediaInput. Owning them spares a copy of a long recording.
class SampleInput final : public VkInput {
 public:
  explicit SampleInput(std::vector<float> samples) : samples_(std::move(samples)) {}
  uint64_t getNumSamples() override { return samples_.size(); }
  bool read(array<float>& buffer) override {
    const auto want = static_cast<std::size_t>(std::max(0, buffer.count()));
    if (want == 0 || buffer.data == nullptr) return true;
    const std::size_t n = std::min(want, samples_.size() - pos_);
    std::copy_n(samples_.begin() + static_cast<std::ptrdiff_t>(pos_), n, buffer.data);
    std::fill(buffer.data + n, buffer.data + want, 0.0f);
    pos_ += n;
    return true;
  }
  bool rewind() override {
    pos_ = 0;
    return true;
  }
  const std::vector<float>& samples() const { return samples_; }

 private:
  std::vector<float> samples_;
  std::size_t pos_ = 0;
};

// Extracts the recording through input into out.
void extractInput(VkLandmarkExtract& extractor, const Recording& r, SampleInput& input,
                  uint32_t rate, Slot& out) {
  out.durationSeconds = static_cast<double>(input.getNumSamples()) / rate;
  out.file = extractor.run(&input, r.id);
}

// The recording at rate from one decode: each channel as an input of its own
// for kAutoChannel, else the one channel (or mix) asked for. keep receives the
// decoded audio at the recording's own rate.
bool decodeInputs(const Recording& r, uint32_t rate, int channel, Keeping& keep,
                  std::vector<std::unique_ptr<SampleInput>>& out, std::string& warnings,
                  std::string& error) {
  if (r.route == Route::Memory && (!r.audio || r.audio->frames().channels <= 0)) {
    error = "no audio was given";
    return false;
  }
  const bool split = channel == kAutoChannel;
  std::vector<std::vector<float>> channels(split ? static_cast<std::size_t>(r.channels) : 1);
  // Reserved from the announced length, so that growing does not briefly hold
  // twice the samples; capped, since headers can lie.
  const double expected =
      std::min(std::min(r.durationSeconds, 12.0 * 3600.0) * rate * 1.01 + rate, 67108864.0);
  for (std::vector<float>& c : channels)
    if (expected > 0) c.reserve(static_cast<std::size_t>(expected));
  DecodeOptions opt;
  opt.sampleRate = rate;
  opt.channels = split ? r.channels : channelsToDecode(channel);
  opt.warn = [&warnings](const std::string& line) { warnings += line + "\n"; };
  FrameSink sink = [&channels](const float* frames, std::size_t count, int n) {
    for (std::size_t i = 0; i < count; ++i)
      for (int c = 0; c < n; ++c)
        channels[static_cast<std::size_t>(c)].push_back(
            frames[i * static_cast<std::size_t>(n) + c]);
    return true;
  };
  if (!split) sink = monoOf(channel, sink);
  bool ok = false;
  if (r.route == Route::Memory) {
    ok = resampleFrames(r.audio->frames(), r.audio->sampleRate, opt, sink, error);
  } else {
    ok = detail::decodeWithSource(r.path, opt, sink, keep.source(), error);
  }
  if (!ok) return false;
  for (std::vector<float>& samples : channels)
    out.push_back(std::make_unique<SampleInput>(std::move(samples)));
  return true;
}

double rms(const std::vector<float>& samples) {
  double sum = 0.0;
  for (float v : samples) sum += static_cast<double>(v) * v;
  return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

// Two channels whose landmarks meet at one offset for a good share of them
// hear one sound (two microphones of one device, a source on both): matching
// could not tell them apart. Unrelated sound meets by chance, a handful at a time.
bool sameSound(const VkFile& a, const VkFile& b) {
  constexpr double kShare = 0.02;
  const uint32_t votes = bestMatchVotes({{1, &b}}, {{0, &a}}).front();
  const double fewer = static_cast<double>(std::min(a.getLandmarkCount(), b.getLandmarkCount()));
  return votes >= kLeastChannelVotes && votes >= kShare * fewer;
}

// Every channel is extracted and the one with the most landmarks kept (the
// first of equals), among those within 30 dB of the loudest: peaks of a faint
// noise floor are as many as those of an event, since picking is relative to level.
// Other channels of other sound stay in out.others, for matching to decide.
void extractBestChannel(VkLandmarkExtract& extractor, const Recording& r, uint32_t rate,
                        std::vector<std::unique_ptr<SampleInput>>& inputs, Slot& out) {
  constexpr double kQuietRatio = 0.0316;  // -30 dB
  double loudest = 0.0;
  for (const auto& input : inputs) loudest = std::max(loudest, rms(input->samples()));
  std::vector<std::size_t> counts(inputs.size(), 0);
  std::vector<OtherChannel> extracted;
  for (int c = 0; c < r.channels; ++c) {
    SampleInput& input = *inputs[static_cast<std::size_t>(c)];
    if (rms(input.samples()) < kQuietRatio * loudest) continue;
    Slot candidate;
    extractInput(extractor, r, input, rate, candidate);
    counts[static_cast<std::size_t>(c)] =
        candidate.file == nullptr ? 0 : candidate.file->getLandmarkCount();
    if (candidate.file != nullptr)
      extracted.push_back({c, std::unique_ptr<VkFile>(candidate.file), nullptr});
    if (candidate.durationSeconds >= 0) out.durationSeconds = candidate.durationSeconds;
  }
  if (extracted.empty()) return;
  // The most landmarks, the first of equals.
  std::size_t best = 0;
  for (std::size_t k = 1; k < extracted.size(); ++k)
    if (extracted[k].file->getLandmarkCount() > extracted[best].file->getLandmarkCount()) best = k;
  out.channel = extracted[best].channel;
  out.file = extracted[best].file.release();
  for (std::size_t k = 0; k < extracted.size(); ++k)
    if (k != best && !sameSound(*out.file, *extracted[k].file))
      out.others.push_back(std::move(extracted[k]));
  if (out.channel != 0)
    out.channelNote =
        "channel " + std::to_string(out.channel + 1) + " of " + std::to_string(r.channels) +
        " was analysed (" + std::to_string(counts[static_cast<std::size_t>(out.channel)]) +
        " landmarks; channel 1: " +
        (counts[0] == 0 ? std::string("too quiet") : std::to_string(counts[0]) + " landmarks") +
        ")";
}

void extractOne(VkLandmarkExtract& extractor, const Recording& r, uint32_t rate, int channel,
                AudioKeeper* keeper, Slot& out) {
  try {
    // One channel has nothing to choose from; a channel past the last is the last.
    if (r.channels < 2) channel = 0;
    if (channel >= r.channels) channel = r.channels - 1;
    Keeping keep(keeper, r, channel);
    if (r.route == Route::Library && channel == 0) {
      out.file = extractWav(extractor, r, keep, out);
      if (out.file != nullptr) out.kept = keep.finish(0);
      return;
    }
    std::vector<std::unique_ptr<SampleInput>> inputs;
    std::string error;
    if (!decodeInputs(r, rate, channel, keep, inputs, out.warnings, error)) {
      out.designedError = "[ERROR]: Could not load: " + r.path;
      out.error = error.empty() ? "cannot decode it" : error;
      return;
    }
    if (channel == kAutoChannel) {
      extractBestChannel(extractor, r, rate, inputs, out);
    } else {
      out.channel = channel;
      extractInput(extractor, r, *inputs.front(), rate, out);
    }
    for (OtherChannel& o : out.others) o.kept = keep.take(o.channel);
    if (out.file != nullptr) out.kept = keep.finish(out.channel);
  } catch (const std::exception& e) {
    delete out.file;
    out.file = nullptr;
    out.error = e.what();
  }
}

}  // namespace

Recording memoryRecording(const std::string& name, std::shared_ptr<const MemoryAudio> audio) {
  Recording r;
  r.path = name;
  r.fileName = name;
  r.name = name;
  r.route = Route::Memory;
  if (audio) {
    const SampleView frames = audio->frames();
    r.sampleRate = audio->sampleRate;
    r.channels = frames.channels;
    if (audio->sampleRate > 0 && frames.channels > 0)
      r.durationSeconds = static_cast<double>(frames.frames) / audio->sampleRate;
  }
  r.audio = std::move(audio);
  return r;
}

void classifyFiles(const std::vector<std::string>& paths, uint32_t extractionRate,
                   Listing& listing) {
  for (const std::string& path : paths)
    classify(path, fs::path(path).filename().string(), extractionRate, listing);
  int32_t id = 0;
  for (Recording& r : listing.recordings) r.id = ++id;
}

namespace {

// What a finished extraction tells the caller, and what it learnt of the recording.
void settle(Recording& r, const Slot& slot, const Reporter& report,
            std::vector<SkippedFile>& failures) {
  // Counts made now let the table drop its times until clustering: half its size.
  if (slot.file != nullptr) slot.file->computeCLF();
  std::istringstream warnings(slot.warnings);
  for (std::string line; std::getline(warnings, line);)
    if (!line.empty())  // the decoder's lines may name the file already
      report.warning(line.rfind(r.path + ": ", 0) == 0 ? line : r.path + ": " + line);
  if (slot.file == nullptr) {
    if (!slot.designedError.empty()) report.designed(slot.designedError);
    failures.push_back({r.path, slot.error, true});
  }
  if (slot.durationSeconds >= 0) r.durationSeconds = slot.durationSeconds;
  r.channel = slot.channel;
  // With other channels in the running, matching decides first.
  if (!slot.channelNote.empty() && slot.others.empty())
    report.note(r.path + ": " + slot.channelNote);
}

// The tables that were made, with names and paths as runAll gives them.
VkFileSet* gather(const std::vector<Recording>& recordings, const std::vector<Slot>& slots) {
  auto* set = new VkFileSet();
  for (std::size_t i = 0; i < recordings.size(); ++i) {
    if (slots[i].file == nullptr) continue;
    const Recording& r = recordings[i];
    set->nameToId[r.name] = r.id;
    set->idToName[r.id] = r.name;
    set->idToPath[r.id] = r.path;
    set->addFile(slots[i].file);
  }
  return set;
}

// What the extraction workers and the reporting thread share.
struct Extraction {
  Extraction(std::vector<Recording>& recordings, const VkExtractParams& params, int channel,
             const Reporter& report, FeatureStore* store, AudioKeeper* keeper)
      : recordings(recordings),
        params(params),
        rate(params.getSampleRate()),
        channel(channel),
        report(report),
        store(store),
        keeper(keeper),
        n(recordings.size()),
        slots(n),
        stamps(n),
        reuse(n, 0) {}

  std::vector<Recording>& recordings;
  const VkExtractParams& params;
  const uint32_t rate;
  const int channel;
  const Reporter& report;
  FeatureStore* const store;
  AudioKeeper* const keeper;  // where the analysed audio is kept, or none
  const std::size_t n;
  std::vector<Slot> slots;
  std::vector<FileStamp> stamps;
  std::vector<char> reuse;   // fixed before the workers start
  std::vector<char> stored;  // what was read from the store in the end
  std::size_t fromStore = 0;
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t finished = 0;

  // Extracts recording i with extractor and hands the result to its slot.
  void extract(VkLandmarkExtract& extractor, std::size_t i) {
    Slot slot;
    if (!report.stopped()) extractOne(extractor, recordings[i], rate, channel, keeper, slot);
    {
      std::lock_guard<std::mutex> lock(mutex);
      slots[i] = std::move(slot);
      slots[i].done = true;
      ++finished;
    }
    changed.notify_all();
  }
};

// The recordings the store holds unchanged are not extracted.
void findStored(Extraction& x) {
  if (x.store != nullptr) {
    for (std::size_t i = 0; i < x.n && !x.report.stopped(); ++i)
      if (x.recordings[i].route != Route::Memory && x.store->find(x.recordings[i], x.stamps[i]))
        x.reuse[i] = 1;
  }
  x.stored = x.reuse;
}

// Reads what the store holds, while the workers extract the rest; a row that
// cannot be read is extracted after all.
void readStored(Extraction& x) {
  std::vector<std::size_t> unreadable;
  for (std::size_t i = 0; i < x.n && !x.report.stopped(); ++i) {
    if (x.stored[i] == 0) continue;
    ExtractionFacts facts;
    std::unique_ptr<VkFile> file = x.store->load(x.recordings[i], x.stamps[i], facts);
    // Settled as an extracted table is: its times go into the counts per frame
    // now, not once every recording is read (4 bytes a landmark less at the peak).
    if (file) file->computeCLF();
    std::lock_guard<std::mutex> lock(x.mutex);
    Slot& slot = x.slots[i];
    if (!file) {
      x.stored[i] = 0;
      unreadable.push_back(i);
      continue;
    }
    ++x.fromStore;
    slot.file = file.release();
    slot.warnings = std::move(facts.warnings);
    slot.channelNote = std::move(facts.channelNote);
    slot.durationSeconds = facts.durationSeconds;
    slot.channel = facts.channel;
    slot.done = true;
    ++x.finished;
  }
  x.changed.notify_all();
  for (std::size_t i : unreadable) {
    VkLandmarkExtract extractor(x.params);
    x.extract(extractor, i);
  }
}

// Reports the progress until recording i is done.
void waitFor(Extraction& x, std::size_t i) {
  std::unique_lock<std::mutex> lock(x.mutex);
  for (;;) {
    const std::size_t done = x.finished;
    lock.unlock();
    x.report.progress("extracting", static_cast<double>(done) / static_cast<double>(x.n),
                      std::to_string(done) + "/" + std::to_string(x.n) + " files");
    lock.lock();
    if (x.slots[i].done) break;
    x.changed.wait(lock, [&] { return x.slots[i].done || x.finished != done; });
  }
}

// Keeps recording i's new extraction in the store, until the store fails once.
void store(Extraction& x, std::size_t i, std::string& storeError) {
  const Recording& r = x.recordings[i];
  const Slot& slot = x.slots[i];
  if (x.store != nullptr && slot.file != nullptr && x.stamps[i].size >= 0 && storeError.empty()) {
    const ExtractionFacts facts{slot.warnings, slot.channelNote, r.durationSeconds, r.channel};
    if (!x.store->save(x.stamps[i], *slot.file, facts, storeError))
      x.report.warning("the feature store cannot keep new extractions: " + storeError);
  }
}

// Everything is reported from this thread, in id order, as a single thread
// would; new extractions are kept in the store until it fails once (those
// whose channel matching is still to choose, once it has).
void reportInOrder(Extraction& x, std::vector<SkippedFile>& failures, std::string& storeError) {
  for (std::size_t i = 0; i < x.n && !x.report.stopped(); ++i) {
    Recording& r = x.recordings[i];
    const Slot& slot = x.slots[i];
    if (x.stored[i] != 0) {
      settle(r, slot, x.report, failures);
      continue;
    }
    x.report.designed("STARTING: " + r.path + " (id " + std::to_string(r.id) + ")");
    waitFor(x, i);
    settle(r, slot, x.report, failures);
    x.report.designed("FEATURE EXTRACTION COMPLETE: " + r.path);
    if (slot.others.empty()) store(x, i, storeError);
  }
}

// Recordings with more than one channel of sound analyse the one whose
// landmarks meet another recording's at one offset clearly best; when none
// does, the one with most landmarks.
void chooseChannels(Extraction& x, std::string& storeError) {
  std::vector<ChannelLandmarks> candidates, files;
  std::vector<std::size_t> first(x.n + 1, 0);  // candidates of slot i: [first[i], first[i + 1])
  for (std::size_t i = 0; i < x.n; ++i) {
    first[i] = candidates.size();
    const Slot& slot = x.slots[i];
    if (slot.file == nullptr) continue;
    files.push_back({i, slot.file});
    for (const OtherChannel& o : slot.others) files.push_back({i, o.file.get()});
    if (slot.others.empty()) continue;
    candidates.push_back({i, slot.file});
    for (const OtherChannel& o : slot.others) candidates.push_back({i, o.file.get()});
  }
  first[x.n] = candidates.size();
  if (candidates.empty()) return;
  const std::vector<uint32_t> votes = bestMatchVotes(candidates, files);
  for (std::size_t i = 0; i < x.n && !x.report.stopped(); ++i) {
    Slot& slot = x.slots[i];
    if (slot.others.empty() || slot.file == nullptr) continue;
    Recording& r = x.recordings[i];
    const std::vector<uint32_t> mine(votes.begin() + static_cast<std::ptrdiff_t>(first[i]),
                                     votes.begin() + static_cast<std::ptrdiff_t>(first[i + 1]));
    const std::size_t pick = chosenChannel(mine);
    if (pick != 0) {
      OtherChannel& o = slot.others[pick - 1];
      const int was = slot.channel;
      delete slot.file;
      slot.file = o.file.release();
      slot.kept = std::move(o.kept);
      slot.channel = o.channel;
      r.channel = o.channel;
      slot.channelNote =
          "channel " + std::to_string(slot.channel + 1) + " of " + std::to_string(r.channels) +
          " was analysed: " + std::to_string(mine[pick]) +
          " of its landmarks meet another recording at one offset (channel " +
          std::to_string(was + 1) + ", richer in landmarks: " + std::to_string(mine[0]) + ")";
    }
    // A choice no channel matched anything for is made again on a later run,
    // which may hold the recordings that tell.
    const bool matched = *std::max_element(mine.begin(), mine.end()) >= kLeastChannelVotes;
    slot.others.clear();
    if (!slot.channelNote.empty()) x.report.note(r.path + ": " + slot.channelNote);
    if (matched) store(x, i, storeError);
  }
}

void noteStore(Extraction& x) {
  const std::size_t dropped = x.store->dropMissing();
  std::size_t extracted = 0;
  for (std::size_t i = 0; i < x.n; ++i) extracted += x.stored[i] == 0 ? 1 : 0;
  x.report.note("feature store: " + std::to_string(x.fromStore) + " recordings read, " +
                std::to_string(extracted) + " extracted" +
                (dropped != 0 ? ", " + std::to_string(dropped) + " no longer on disk forgotten"
                              : std::string()));
}

}  // namespace

VkFileSet* extractRecordings(std::vector<Recording>& recordings, const VkExtractParams& params,
                             int channel, unsigned threads, const Reporter& report,
                             std::vector<SkippedFile>& failures, FeatureStore* store,
                             AudioKeeper* keeper,
                             std::vector<std::shared_ptr<const MemoryAudio>>* kept) {
  Extraction x(recordings, params, channel, report, store, keeper);
  findStored(x);
  // Each worker has its own extractor; results go to their recording's slot,
  // so the outcome does not depend on which thread took which file.
  const unsigned count =
      static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, x.n)));
  std::thread workers([&]() {
    parallelForEach(x.n, count, [&]() {
      return [&x, extractor = std::make_shared<VkLandmarkExtract>(params)](std::size_t i) {
        if (x.reuse[i] == 0) x.extract(*extractor, i);
      };
    });
  });
  readStored(x);
  std::string storeError;
  reportInOrder(x, failures, storeError);
  workers.join();
  if (!report.stopped()) chooseChannels(x, storeError);
  if (!report.stopped())
    report.progress("extracting", 1.0, std::to_string(x.n) + "/" + std::to_string(x.n) + " files");
  if (store != nullptr && !report.stopped()) noteStore(x);
  if (kept != nullptr) {
    kept->assign(x.n, nullptr);
    for (std::size_t i = 0; i < x.n; ++i) (*kept)[i] = std::move(x.slots[i].kept);
  }
  return gather(recordings, x.slots);
}

}  // namespace Velk
