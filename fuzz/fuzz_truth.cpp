// Fuzzes the tool's truth-file reader and the evaluation of a result against
// what it read: a result that repeats the truth must score perfectly, and one
// that splits every recording apart must never score above it.
#include <cmath>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "velktool/truth.h"

namespace {

bool inUnitRange(double v) { return std::isnan(v) || (v >= 0.0 && v <= 1.0); }

void checkEvaluation(const velktool::Evaluation& ev) {
  using velkfuzz::require;
  require(ev.correctPairs <= ev.truthPairs && ev.correctPairs <= ev.resultPairs);
  require(inUnitRange(ev.precision) && inUnitRange(ev.recall) && inUnitRange(ev.f1));
  require(ev.refined.pairs == ev.coarse.pairs);
  require(ev.refined.within1ms <= ev.refined.within40ms);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  velktool::Truth truth;
  std::string error;
  if (!velktool::parseTruth(text, "fuzz.xml", truth, error)) {
    velkfuzz::require(error.rfind("truth file fuzz.xml, line ", 0) == 0);
    return 0;
  }

  // The truth itself as a result, and every recording on its own.
  std::vector<velktool::ClusterResult> same, apart;
  int32_t id = 0;
  for (const auto& cluster : truth.clusters) {
    velkfuzz::require(!cluster.empty());
    velktool::ClusterResult c;
    for (const velktool::TruthRecording& r : cluster) {
      velkfuzz::require(!r.name.empty() && r.line >= 1);
      velkfuzz::require(!r.hasOffset || std::isfinite(r.offset));
      velktool::MemberResult m;
      m.id = ++id;
      m.name = r.name;
      m.offset = m.coarse = r.hasOffset ? r.offset : 0.0;
      c.members.push_back(m);
      velktool::ClusterResult alone;
      alone.members.push_back(m);
      apart.push_back(alone);
    }
    same.push_back(c);
  }

  const velktool::Evaluation exact = velktool::evaluate(truth, same);
  checkEvaluation(exact);
  velkfuzz::require(exact.correctPairs == exact.truthPairs && exact.missingFromResult.empty() &&
                    exact.missingFromTruth.empty());
  // The result repeats the truth's offsets, so every error is exactly 0 (NaN only
  // when two offsets are so far apart that their difference overflows).
  velkfuzz::require(!(exact.refined.max > 0.0) && !(exact.coarse.max > 0.0));

  const velktool::Evaluation split = velktool::evaluate(truth, apart);
  checkEvaluation(split);
  velkfuzz::require(split.resultPairs == 0 && split.correctPairs == 0);
  return 0;
}
