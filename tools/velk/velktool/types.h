// The engine's types and helpers the tool uses, under the tool's namespace.
#ifndef VELK_TOOL_TYPES_H
#define VELK_TOOL_TYPES_H

#include "velk/media.h"
#include "velk/sync.h"

namespace velktool {

using Velk::ClusterResult;
using Velk::decodeAudio;
using Velk::DecodeOptions;
using Velk::Listing;
using Velk::MemberResult;
using Velk::Recording;
using Velk::Route;
using Velk::shortestDouble;
using Velk::SkippedFile;

}  // namespace velktool

#endif
