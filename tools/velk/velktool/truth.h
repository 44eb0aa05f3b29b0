// Truth files and the evaluation of a sync result against one.
//
//   <truth>
//     <cluster><recording name="a" offset="0.0"/><recording name="b" offset="3.2"/></cluster>
//     <cluster><recording name="c"/></cluster>
//   </truth>
//
// Offsets are seconds after the earliest member of the cluster; only their
// differences are used, and a recording without one takes part in the
// clustering figures but not in the offset errors.
#ifndef VELK_TOOL_TRUTH_H
#define VELK_TOOL_TRUTH_H

#include <cstddef>
#include <string>
#include <vector>

#include "velktool/types.h"

namespace velktool {

struct TruthRecording {
  std::string name;
  bool hasOffset = false;
  double offset = 0.0;
  int line = 0;
};

struct Truth {
  std::string path;
  std::vector<std::vector<TruthRecording>> clusters;
};

// False with "truth file PATH, line N: what is wrong" (or why it cannot be
// read) in error.
bool loadTruth(const std::string& path, Truth& truth, std::string& error);
// The same for a document in memory; path only names it in messages.
bool parseTruth(const std::string& text, const std::string& path, Truth& truth, std::string& error);

// 1-based line of a byte offset in text.
int lineOfOffset(const std::string& text, std::ptrdiff_t offset);

struct OffsetStats {
  std::size_t pairs = 0;
  double median = 0.0;  // seconds
  double p95 = 0.0;     // nearest-rank 95th percentile
  double max = 0.0;
  double within40ms = 0.0;  // share of pairs, 0..1
  double within1ms = 0.0;
};

OffsetStats offsetStats(std::vector<double> errors);

struct Evaluation {
  std::size_t truthPairs = 0;    // pairs together in the truth (of recordings on both sides)
  std::size_t resultPairs = 0;   // pairs together in the result (likewise)
  std::size_t correctPairs = 0;  // together in both
  double precision = 0.0;        // NaN when there is no pair to divide by
  double recall = 0.0;
  double f1 = 0.0;
  std::vector<std::string> missingFromResult;  // named by the truth, not among the recordings
  std::vector<std::string> missingFromTruth;   // recordings the truth does not name
  OffsetStats refined;                         // errors of the best offsets
  OffsetStats coarse;                          // errors of the clustering's offsets
};

Evaluation evaluate(const Truth& truth, const std::vector<ClusterResult>& clusters);

}  // namespace velktool

#endif
