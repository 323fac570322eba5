// SPDX-License-Identifier: GPL-3.0-or-later
// The autocorrelation's lag groups on SSE2: two groups of seven pairs.
#include "dsp/LagLanes.h"

#define SORVANE_LANE_WIDTH 2
#include "dsp/LagKernel.h"

namespace sorvane {

void AutocorrelateSse2(const double* x, int n, double* r) { Autocorrelate27Lanes(x, n, r); }

}  // namespace sorvane
