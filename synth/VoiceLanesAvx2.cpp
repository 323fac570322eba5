// SPDX-License-Identifier: GPL-3.0-or-later
// The voice kernels on AVX2: four doubles to a vector. The headers come
// first, outside the target region, so that only this file's own kernels
// carry AVX2 instructions (an inline function of a header built here with
// them could be the copy the linker keeps for every path). No fused
// multiply-add is enabled.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "dsp/Filter.h"
#include "synth/VoiceLanes.h"

#pragma GCC push_options
#pragma GCC target("avx2")
#define SORVANE_LANE_WIDTH 4
#include "synth/VoiceKernels.h"
#pragma GCC pop_options

namespace sorvane {

const VoiceKernels& VoiceKernelsAvx2() { return kKernels; }

}  // namespace sorvane
