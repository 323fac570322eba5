// The analysis's 27 autocorrelation lags in one group of AVX2 or AVX-512
// vectors, a lag to a lane, with exactly the sums of the lag-by-lag loop.
#pragma once

#include "dsp/Lpc.h"
#include "dsp/SimdPath.h"

namespace sorvane {

// r[0..26] of n samples, on the AVX2 or the AVX-512 path (the processor
// must run it).
void AutocorrelateWide(SimdPath path, const double* x, int n, double* r);

}  // namespace sorvane
