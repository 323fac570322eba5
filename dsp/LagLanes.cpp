// SPDX-License-Identifier: GPL-3.0-or-later
// The autocorrelation on the chosen vector path. The AVX-512 path uses the
// AVX2 kernel: eight-lane vectors of lags measured slower here, as 512-bit
// registers slow the processor's clock for a while after each use, and the
// four-lane group is the same either way.
#include "dsp/LagLanes.h"

namespace sorvane {

void AutocorrelateSse2(const double* x, int n, double* r);
void AutocorrelateAvx2(const double* x, int n, double* r);

void AutocorrelateLanes(SimdPath path, const double* x, int n, double* r) {
  if (path == SimdPath::kSse2) {
    AutocorrelateSse2(x, n, r);
  } else {
    AutocorrelateAvx2(x, n, r);
  }
}

}  // namespace sorvane
