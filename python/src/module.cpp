// The extension behind `import velk`: the library's engine and designed stages
// for Python. The tool's own listing, JSON and evaluation code is compiled in,
// so a result reads exactly as `Velk --json` writes it.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "run.h"
#include "velk/frontend.h"
#include "velk/landmark_extract.h"
#include "velk/media.h"
#include "velk/sync.h"
#include "velktool/arguments.h"
#include "velktool/inputs.h"
#include "velktool/report.h"
#include "velktool/truth.h"

namespace py = pybind11;
using Velk::VkClusterSyncParams;
using Velk::VkExtractParams;
using velkpy::Input;
using velkpy::listInputs;
using velkpy::Run;
using velkpy::settingsOf;
using velkpy::VelkError;

namespace {

// --- Parameters -------------------------------------------------------------

// A Python number as the command line would spell it.
std::string optionText(const py::handle& value) {
  if (py::isinstance<py::bool_>(value) ||
      !(py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)))
    throw py::type_error("a number is needed, not " +
                         std::string(py::str(py::type::of(value).attr("__name__"))));
  return py::str(value);  // Python's shortest round-trip spelling
}

// Sets one designed option through the designed command-line parser, so that
// Python accepts and refuses exactly what the command line does. A refused value
// raises ValueError with the parser's own text; a value its record's setter
// turned down, or did not store as written, with the tool's warning.
void applyOption(const std::string& option, const py::handle& value, VkExtractParams& extract,
                 VkClusterSyncParams& clusterSync) {
  const std::string text = optionText(value);
  VkExtractParams e = extract;
  VkClusterSyncParams c = clusterSync;
  std::ostringstream said;
  std::streambuf* const coutBuffer = std::cout.rdbuf(said.rdbuf());
  int32_t index = 0;
  const bool known = Velk::parseExtractOption(index, option, text, e) ||
                     Velk::parseClusterSyncOption(index, option, text, c);
  std::cout.rdbuf(coutBuffer);
  if (!known) throw py::type_error("unknown parameter '" + option.substr(1) + "'");
  std::string printed = said.str();
  if (printed.rfind("Invalid", 0) == 0) {
    while (!printed.empty() && printed.back() == '\n') printed.pop_back();
    throw py::value_error(printed);
  }
  velktool::ArgumentWalk walk;
  walk.values.emplace_back(option, text);
  const std::vector<std::string> refused = velktool::refusedValueWarnings(walk, e, c);
  if (!refused.empty()) throw py::value_error(refused.front());
  extract = e;
  clusterSync = c;
}

template <typename Record>
void setOption(Record& record, const std::string& option, const py::handle& value) {
  VkExtractParams e;
  VkClusterSyncParams c(e);
  if constexpr (std::is_same_v<Record, VkExtractParams>)
    applyOption(option, value, record, c);
  else
    applyOption(option, value, e, record);
}

void bindParams(py::module_& m) {
  py::class_<VkExtractParams> e(m, "VkExtractParams",
                                "Tuning of landmark extraction (defaults tuned to 8000 Hz).\n\n"
                                "Attributes refuse what the command line refuses: ValueError "
                                "with its message.");
  e.def(py::init<>());
  e.def_readwrite("initialThresholdFrames", &VkExtractParams::initialThresholdFrames,
                  "Leading frames whose maxima form the first threshold.");
  // Each attribute is set through its command-line option (same name, lower case).
#define VELK_EXTRACT(name, option, getter)             \
  e.def_property(                                      \
      name, [](VkExtractParams& p) { return getter; }, \
      [](VkExtractParams& p, const py::object& v) { setOption(p, option, v); }, "See " option ".")
  VELK_EXTRACT("freqRange", "-freqrange", p.freqRange);
  VELK_EXTRACT("timeRange", "-timerange", p.timeRange);
  VELK_EXTRACT("maxPeaksPerFrame", "-maxpeaksperframe", p.maxPeaksPerFrame);
  VELK_EXTRACT("peakDynRange", "-peakdynrange", Velk::shortestDouble(p.peakDynRange));
  VELK_EXTRACT("dbThreshold", "-dbthreshold", Velk::shortestDouble(p.dbThreshold));
  VELK_EXTRACT("decayPerFrame", "-decayperframe", Velk::shortestDouble(p.decayPerFrame));
  VELK_EXTRACT("peakWidth", "-peakwidth", Velk::shortestDouble(p.peakWidth));
  VELK_EXTRACT("fftSize", "-fftsize", p.getFftSize());
  VELK_EXTRACT("hopSize", "-hopsize", p.getHopSize());
  VELK_EXTRACT("sampleRate", "-samplerate", p.getSampleRate());
  VELK_EXTRACT("maxPairsPerPeak", "-maxpairsperpeak", p.getMaxPairsPerPeak());
#undef VELK_EXTRACT

  py::class_<VkClusterSyncParams> c(
      m, "VkClusterSyncParams",
      "Acceptance settings of matching and clustering; hop size and rate follow the\n"
      "extraction record.");
  c.def(py::init<const VkExtractParams&>(), py::arg("extract") = VkExtractParams());
#define VELK_CLUSTER(name, option, getter)                                          \
  c.def_property(                                                                   \
      name, [](const VkClusterSyncParams& p) { return getter; },                    \
      [](VkClusterSyncParams& p, const py::object& v) { setOption(p, option, v); }, \
      "See " option ".")
  VELK_CLUSTER("minPercentMatch", "-minpercentmatch", Velk::shortestDouble(p.getMinPercentMatch()));
  VELK_CLUSTER("minOverlapLength", "-minoverlaplength",
               Velk::shortestDouble(p.getMinOverlapLength()));
  VELK_CLUSTER("minTemplateLength", "-mintemplatelength",
               Velk::shortestDouble(p.getMinTemplateLength()));
  VELK_CLUSTER("maxLandmarks", "-maxlandmarks", p.getMaxLandmarks());
  VELK_CLUSTER("acceptThreshold", "-accepttreshold", p.getAcceptThreshold());
#undef VELK_CLUSTER
  c.def_property_readonly("framesPerSecond", [](const VkClusterSyncParams& p) {
    return Velk::shortestDouble(p.getFramesPerSecond());
  });
  c.def_property_readonly("hopSize", &VkClusterSyncParams::getHopSize);
}

// --- Audio in memory ----------------------------------------------------------

// A view of a NumPy array (1-D: mono; 2-D: frames x channels, any strides); the
// array stays alive while the engine may read it. Other sample types are
// converted by the Python layer before they get here.
std::shared_ptr<const Velk::MemoryAudio> memoryAudio(const py::array& array, uint32_t rate) {
  auto audio = std::make_shared<Velk::MemoryAudio>();
  Velk::SampleView& v = audio->view;
  if (array.dtype().is(py::dtype::of<int16_t>()))
    v.type = Velk::SampleType::Int16;
  else if (array.dtype().is(py::dtype::of<float>()))
    v.type = Velk::SampleType::Float32;
  else if (array.dtype().is(py::dtype::of<double>()))
    v.type = Velk::SampleType::Float64;
  else
    throw py::type_error("samples must be int16, float32 or float64 (native byte order)");
  if (array.ndim() != 1 && array.ndim() != 2)
    throw py::value_error("audio must be 1-D (mono) or 2-D (frames x channels)");
  v.data = array.data();
  v.frames = static_cast<std::size_t>(array.shape(0));
  v.channels = array.ndim() == 2 ? static_cast<int>(array.shape(1)) : 1;
  if (v.channels < 1) throw py::value_error("audio has no channel");
  v.frameStride = array.strides(0);
  v.channelStride = array.ndim() == 2 ? array.strides(1) : array.itemsize();
  audio->sampleRate = rate;
  audio->channels = v.channels;
  // Released with the GIL held, whichever thread drops the last reference.
  auto* keep = new py::object(array);
  audio->owner = std::shared_ptr<const void>(keep->ptr(), [keep](const void*) {
    py::gil_scoped_acquire gil;
    delete keep;
  });
  return audio;
}

// --- Runs ---------------------------------------------------------------------

// Lists the inputs in the order given, files sorted into recordings and
// skipped files as the tool's file list does, audio in memory kept as given.
}  // namespace

Velk::Listing velkpy::listInputs(const std::string& folder, const std::vector<Input>& inputs,
                                 uint32_t rate) {
  Velk::Listing listing;
  std::string error;
  if (!folder.empty()) {
    if (!velktool::listInputFolder(folder, false, rate, listing, error)) throw VelkError(error);
    return listing;
  }
  std::vector<std::string> paths;
  for (const Input& in : inputs)
    if (!in.audio) paths.push_back(in.path);
  Velk::listFiles(paths, rate, listing);
  std::map<std::string, Velk::Recording> byPath;
  for (Velk::Recording& r : listing.recordings) byPath.emplace(r.path, std::move(r));
  listing.recordings.clear();
  for (const Input& in : inputs) {
    if (in.audio) {
      listing.recordings.push_back(Velk::memoryRecording(in.path, in.audio));
      continue;
    }
    const auto found = byPath.find(in.path);
    if (found != byPath.end()) listing.recordings.push_back(found->second);
  }
  int32_t id = 0;
  for (Velk::Recording& r : listing.recordings) r.id = ++id;
  return listing;
}

Velk::SyncSettings velkpy::settingsOf(const VkExtractParams& extract,
                                      const VkClusterSyncParams& clusterSync, unsigned threads,
                                      int channel, bool refine, bool keepUnverified) {
  Velk::SyncSettings s;
  s.extract = extract;
  s.clusterSync = clusterSync;
  s.threads = threads;
  s.channel = channel;
  s.refine = refine;
  s.refinement.splitUnverified = !keepUnverified;
  return s;
}

namespace {

// Rethrown on the calling thread once the engine has stopped.
struct Pending {
  std::mutex mutex;
  std::unique_ptr<py::error_already_set> error;
  void keep(py::error_already_set&& e) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!error) error.reset(new py::error_already_set(std::move(e)));
  }
};

// Runs work on a thread of its own while the calling thread answers signals:
// Python runs its handlers (Ctrl-C) only on the main thread, with the GIL.
// Signals are looked at every 50 ms and whenever the work asks.
class SignalWatch {
 public:
  SignalWatch(std::atomic<bool>& stop, Pending& pending) : stop_(stop), pending_(pending) {}

  // Called with the GIL released.
  void run(const std::function<void()>& work) {
    std::thread worker([&] {
      work();
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
      changed_.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      changed_.wait_for(lock, std::chrono::milliseconds(50), [&] { return done_ || wanted_; });
      if (done_) break;
      wanted_ = false;
      lock.unlock();
      {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) {
          pending_.keep(py::error_already_set());
          stop_ = true;
        }
      }
      lock.lock();
      ++checks_;
      changed_.notify_all();
    }
    lock.unlock();
    worker.join();
  }

  // From the work's threads, without the GIL: returns once signals were looked at.
  void checkNow() {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t seen = checks_;
    wanted_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return checks_ != seen || done_; });
  }

 private:
  std::atomic<bool>& stop_;
  Pending& pending_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  bool wanted_ = false;
  uint64_t checks_ = 0;
};

std::shared_ptr<Run> runSync(const std::string& folder, const std::vector<Input>& inputs,
                             const VkExtractParams& extract, const VkClusterSyncParams& clusterSync,
                             unsigned threads, int channel, bool refine, bool keepUnverified,
                             const std::string& reference, const py::object& progress) {
  auto run = std::make_shared<Run>();
  Velk::SyncSettings& s = run->settings;
  s = settingsOf(extract, clusterSync, threads, channel, refine, keepUnverified);
  s.reference = reference;
  const Velk::Listing listing = listInputs(folder, inputs, extract.getSampleRate());
  for (const std::string& w : listing.warnings) run->notes.push_back(w);
  run->skipped = listing.skipped;
  for (const Velk::SkippedFile& f : listing.skipped)
    if (f.problem) run->notes.push_back("cannot read " + f.path + ": " + f.reason);

  std::atomic<bool> stop{false};
  Pending pending;
  Velk::Synchronizer sync(s);
  sync.setStopCheck([&stop] { return stop.load(); });
  sync.setMessageHandler([&run](const Velk::SyncMessage& m) {
    (m.kind == Velk::MessageKind::Designed ? run->designed : run->notes).push_back(m.text);
  });
  SignalWatch watch(stop, pending);
  std::map<std::string, double> reached;  // a stage's fraction never goes back
  if (!progress.is_none())
    sync.setProgressHandler([&](const Velk::SyncProgress& p) {
      auto last = reached.find(p.stage);
      if (last != reached.end() && p.fraction <= last->second) return;
      reached[p.stage] = p.fraction;
      {
        py::gil_scoped_acquire gil;
        try {
          progress(p.stage, p.fraction);
        } catch (py::error_already_set& e) {
          pending.keep(std::move(e));
          stop = true;
        }
      }
      watch.checkNow();  // a Ctrl-C pressed meanwhile stops the next step
    });

  std::exception_ptr failure;
  {
    py::gil_scoped_release release;
    watch.run([&] {
      try {
        run->result = sync.run(listing.recordings);
      } catch (...) {
        failure = std::current_exception();
      }
    });
  }
  if (pending.error) throw std::move(*pending.error);
  if (failure) std::rethrow_exception(failure);
  for (const Velk::SkippedFile& f : run->result.failures) {
    run->skipped.push_back(f);
    run->notes.push_back("cannot read " + f.path + ": " + f.reason);
  }
  return run;
}

py::list clusters(const Run& run) {
  py::list out;
  for (const Velk::ClusterResult& c : run.result.clusters) {
    py::list members;
    for (const Velk::MemberResult& m : c.members) {
      py::dict d;
      d["id"] = m.id;
      d["name"] = m.name;
      d["path"] = m.path;
      d["offset"] = m.offset;
      d["coarse_offset"] = m.coarse;
      d["drift_ppm"] = m.driftKnown ? py::object(py::float_(m.driftPpm)) : py::none();
      d["refined"] = m.refined;
      d["confidence"] = m.score > 0.0f ? py::object(py::float_(m.score)) : py::none();
      d["anchor"] = m.anchor;
      d["landmarks"] = m.landmarks;
      py::list parts;  // a recording paused or cut: where each part sits
      for (const Velk::MemberPart& p : m.parts)
        parts.append(py::make_tuple(p.fileSeconds, p.offset));
      d["parts"] = parts;
      for (const Velk::Recording& r : run.result.recordings)
        if (r.id == m.id) d["duration"] = r.durationSeconds;
      d["alone"] =
          c.members.size() == 1 && !m.alone.empty() ? py::object(py::str(m.alone)) : py::none();
      members.append(d);
    }
    out.append(members);
  }
  return out;
}

// --- Landmarks ------------------------------------------------------------------

struct LandmarkRow {
  int32_t frame;
  uint16_t anchor_bin, partner_bin, frame_delta;
  uint32_t hash;
};

py::array extractLandmarks(const std::string& path, const py::object& array, uint32_t rate,
                           const VkExtractParams& params) {
  std::string error;
  std::unique_ptr<Velk::MediaInput> input;
  if (array.is_none()) {
    py::gil_scoped_release release;
    input = Velk::MediaInput::open(path, params.getSampleRate(), error);
  } else {
    const auto audio = memoryAudio(array.cast<py::array>(), rate);
    py::gil_scoped_release release;
    input = Velk::MediaInput::fromFrames(audio->view, rate, params.getSampleRate(), error);
  }
  if (!input) throw VelkError(error.empty() ? "cannot read the audio" : error);
  std::vector<LandmarkRow> rows;
  {
    py::gil_scoped_release release;
    Velk::VkLandmarkExtract extractor(params);
    std::unique_ptr<Velk::VkFile> file(extractor.run(input.get(), 1));
    for (const auto& frame : file->getLandmarks())
      for (const Velk::Landmark* l : frame.second)
        // The hash packs (frame delta, anchor bin, partner bin) in 10 bits each.
        rows.push_back({l->time, static_cast<uint16_t>((l->hash >> 10) & 0x3ff),
                        static_cast<uint16_t>(l->hash & 0x3ff),
                        static_cast<uint16_t>((l->hash >> 20) & 0x3ff), l->hash});
  }
  py::array_t<LandmarkRow> out(static_cast<py::ssize_t>(rows.size()));
  std::copy(rows.begin(), rows.end(), out.mutable_data());
  return std::move(out);
}

}  // namespace

PYBIND11_MODULE(_velk, m) {
  m.doc() = "The engine of velk (use the velk package, not this module).";
  PYBIND11_NUMPY_DTYPE(LandmarkRow, frame, anchor_bin, partner_bin, frame_delta, hash);
  static py::exception<VelkError> error(m, "Error");
  (void)error;
  bindParams(m);
  velkpy::bindDistributed(m);

  py::class_<Velk::MemoryAudio, std::shared_ptr<Velk::MemoryAudio>>(m, "MemoryAudio")
      .def_property_readonly(
          "address",
          [](const Velk::MemoryAudio& a) { return reinterpret_cast<std::uintptr_t>(a.view.data); })
      .def_property_readonly("frames", [](const Velk::MemoryAudio& a) { return a.view.frames; });
  m.def(
      "memory_audio",
      [](const py::array& array, uint32_t rate) {
        return std::const_pointer_cast<Velk::MemoryAudio>(memoryAudio(array, rate));
      },
      py::arg("array"), py::arg("rate"));

  py::class_<Input>(m, "Input")
      .def(py::init([](const std::string& path, std::shared_ptr<Velk::MemoryAudio> audio) {
             return Input{path, std::move(audio)};
           }),
           py::arg("path"), py::arg("audio") = nullptr);

  py::class_<Run, std::shared_ptr<Run>>(m, "Run")
      .def_property_readonly("clusters", &clusters)
      .def_property_readonly("notes", [](const Run& r) { return r.notes; })
      .def_property_readonly("designed", [](const Run& r) { return r.designed; })
      .def_property_readonly(
          "skipped",
          [](const Run& r) {
            py::list out;
            for (const Velk::SkippedFile& f : r.skipped)
              out.append(py::dict(py::arg("path") = f.path, py::arg("reason") = f.reason,
                                  py::arg("problem") = f.problem));
            return out;
          })
      .def("json", &Run::json, py::arg("truth") = "");

  m.def("run", &runSync, py::arg("folder"), py::arg("inputs"), py::arg("extract"),
        py::arg("cluster_sync"), py::arg("threads"), py::arg("channel"), py::arg("refine"),
        py::arg("keep_unverified"), py::arg("reference"), py::arg("progress"));
  m.def("extract", &extractLandmarks, py::arg("path"), py::arg("array"), py::arg("rate"),
        py::arg("params"));
  m.def("have_ffmpeg", &Velk::haveFFmpeg);
  m.attr("AUTO_CHANNEL") = Velk::kAutoChannel;
  m.attr("MIX_CHANNELS") = Velk::kMixChannels;
}
