// SPDX-License-Identifier: GPL-3.0-or-later
// The analysis's 27 autocorrelation lags in groups of vector lanes, a lag to
// a lane, with exactly the sums of the lag-by-lag loop: two groups of seven
// pairs on SSE2, one group of seven quadruples on AVX2 and AVX-512.
#pragma once

#include "dsp/Lpc.h"
#include "dsp/SimdPath.h"

namespace sorvane {

// The fewest samples the lag groups take.
inline constexpr int kLagLanesMinimumSamples = 56;

// r[0..26] of n >= kLagLanesMinimumSamples samples on the given vector path
// (one the processor runs).
void AutocorrelateLanes(SimdPath path, const double* x, int n, double* r);

}  // namespace sorvane
