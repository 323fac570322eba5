// SPDX-License-Identifier: GPL-3.0-or-later
// The voice kernels on SSE2, which every x86-64 processor runs: two
// doubles to a vector.
#include "synth/VoiceLanes.h"

#define SORVANE_LANE_WIDTH 2
#include "synth/VoiceKernels.h"

namespace sorvane {

const VoiceKernels& VoiceKernelsSse2() { return kKernels; }

}  // namespace sorvane
