// Umbrella header of the tso_audio library: every exported class and type.
#ifndef VELK_VELK_H
#define VELK_VELK_H

#include "velk/array.h"
#include "velk/cluster.h"
#include "velk/cluster_stages.h"
#include "velk/frontend.h"
#include "velk/input.h"
#include "velk/landmark.h"
#include "velk/landmark_extract.h"
#include "velk/params.h"
#include "velk/refine.h"
#include "velk/wavfile.h"

#endif
