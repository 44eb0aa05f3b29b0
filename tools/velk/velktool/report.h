// What the tool tells the user: the readable table, the evaluation and the
// JSON document.
#ifndef VELK_TOOL_REPORT_H
#define VELK_TOOL_REPORT_H

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "velk/params.h"
#include "velktool/truth.h"
#include "velktool/types.h"

namespace velktool {

void printTable(std::ostream& out, const std::vector<ClusterResult>& clusters, bool refineRan);
void printEvaluation(std::ostream& out, const Evaluation& ev, const std::string& truthPath);

struct JsonInput {
  const std::vector<ClusterResult>* clusters = nullptr;
  Velk::VkExtractParams extract;
  const Velk::VkClusterSyncParams* clusterSync = nullptr;
  bool refine = true;
  const std::vector<SkippedFile>* skipped = nullptr;
  const Evaluation* evaluation = nullptr;  // null: no "evaluation" member
  std::string truthPath;
};

// The document as text (two-space indentation, final newline).
std::string renderJson(const JsonInput& in);

}  // namespace velktool

#endif
