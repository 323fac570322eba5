// SPDX-License-Identifier: GPL-3.0-or-later
// The autocorrelation's lag groups on AVX2: one group of seven quadruples.
// The standard headers come first, outside the target region, so that only
// this file's own kernel carries AVX2 instructions. No fused multiply-add
// is enabled.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "dsp/Filter.h"
#include "dsp/LagLanes.h"
#include "dsp/Lpc.h"

#pragma GCC push_options
#pragma GCC target("avx2")
#define SORVANE_LANE_WIDTH 4
#include "dsp/LagKernel.h"

namespace sorvane {

void AutocorrelateAvx2(const double* x, int n, double* r) { Autocorrelate27Lanes(x, n, r); }

}  // namespace sorvane
#pragma GCC pop_options
