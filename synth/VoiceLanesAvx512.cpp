// SPDX-License-Identifier: GPL-3.0-or-later
// The voice kernels on AVX-512 in 256-bit registers: four doubles to a
// vector, with the range instruction guarding the lattice in one step.
// 512-bit registers cost more than they give here: each short burst of
// them slows the processor's clock for a while (measured on an AVX-512
// Xeon: the live block took a third longer with them), so the compiler is
// told not to use them for its own loops either. The headers come first,
// outside the target region, as in VoiceLanesAvx2.cpp.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "dsp/Filter.h"
#include "synth/VoiceLanes.h"

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512vl,prefer-vector-width=256")
#define SORVANE_LANE_WIDTH 4
#define SORVANE_LANES_AVX512 1
#include "synth/VoiceKernels.h"
#pragma GCC pop_options

namespace sorvane {

const VoiceKernels& VoiceKernelsAvx512() { return kKernels; }

}  // namespace sorvane
