// The tool's sync result as the exporters' plain values, and the writing of the
// exports and the picture a command line asks for.
#ifndef VELK_TOOL_EXPORT_ADAPTER_H
#define VELK_TOOL_EXPORT_ADAPTER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "velktool/export.h"
#include "velktool/truth.h"
#include "velktool/types.h"

namespace velktool {

// Clusters named as their copies' folders (cluster_01, ...), members with their
// file's facts (video streams probed). refined: the refinement ran. truth may be null.
std::vector<ExportCluster> exportClusters(const std::vector<ClusterResult>& clusters,
                                          const std::map<int32_t, const Recording*>& recordings,
                                          bool refined, const Truth* truth);

// Makes audio members reference their copies (id to copy path): a padded copy
// starts with its cluster, a stamped one where the member does.
void useCopies(std::vector<ExportCluster>& clusters, const std::map<int32_t, std::string>& copies,
               bool padded);

// Writes each file (format by extension) through a temporary file; one line per
// file written on standard output. False with the reasons in error.
bool writeExports(const std::vector<std::string>& paths, const std::vector<ExportCluster>& clusters,
                  const ExportSettings& settings, std::string& error);

}  // namespace velktool

#endif
