// The analysis's 27 autocorrelation lags in one group of seven four-lane
// vectors, a lag to a lane, with exactly the sums of the lag-by-lag loop.
#pragma once

#include "dsp/Lpc.h"

namespace sorvane {

// r[0..26] of n samples; the processor must run AVX2.
void AutocorrelateWide(const double* x, int n, double* r);

}  // namespace sorvane
