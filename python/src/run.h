// What the parts of the extension share: a run's inputs and outcome, and the
// settings and listing every way of running takes.
#ifndef VELKPY_RUN_H
#define VELKPY_RUN_H

#include <pybind11/pybind11.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "velk/sync.h"
#include "velktool/report.h"
#include "velktool/truth.h"

namespace velkpy {

namespace py = pybind11;
using Velk::VkClusterSyncParams;
using Velk::VkExtractParams;

// One input as the Python layer hands it over: a file path or audio in memory.
struct Input {
  std::string path;  // file, or the name of audio in memory
  std::shared_ptr<const Velk::MemoryAudio> audio;
};

// Everything a run produced, with what its JSON needs.
struct Run {
  Velk::SyncSettings settings;
  Velk::SyncResult result;
  std::vector<Velk::SkippedFile> skipped;  // listing's, then the unreadable
  std::vector<std::string> notes;          // the engine's warnings and notes, in order
  std::vector<std::string> designed;       // the lines the designed stages print

  std::string json(const std::string& truthPath) const {
    velktool::Truth truth;
    velktool::Evaluation evaluation;
    std::string error;
    if (!truthPath.empty()) {
      if (!velktool::loadTruth(truthPath, truth, error)) throw py::value_error(error);
      evaluation = velktool::evaluate(truth, result.clusters);
    }
    const VkClusterSyncParams clustering = Velk::clusteringParams(settings, result);
    velktool::JsonInput in;
    in.clusters = &result.clusters;
    in.extract = settings.extract;
    in.clusterSync = &clustering;
    in.refine = settings.refine;
    in.skipped = &skipped;
    in.evaluation = truthPath.empty() ? nullptr : &evaluation;
    in.truthPath = truthPath;
    return velktool::renderJson(in);
  }
};

class VelkError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Lists the inputs in the order given, files sorted into recordings and
// skipped files as the tool's file list does, audio in memory kept as given.
Velk::Listing listInputs(const std::string& folder, const std::vector<Input>& inputs,
                         uint32_t rate);

Velk::SyncSettings settingsOf(const VkExtractParams& extract,
                              const VkClusterSyncParams& clusterSync, unsigned threads, int channel,
                              bool refine, bool keepUnverified);

// velk.distributed's steps (distributed.cpp).
void bindDistributed(py::module_& m);

}  // namespace velkpy

#endif
