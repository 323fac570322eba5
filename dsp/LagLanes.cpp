// SPDX-License-Identifier: GPL-3.0-or-later
// The autocorrelation's lag groups built once per vector path. The standard
// headers come first, outside the target region, so that only this file's
// own kernel carries AVX2 instructions. No fused multiply-add is enabled.
// The AVX-512 path uses the AVX2 kernel: eight-lane vectors of lags
// measured slower here, as 512-bit registers slow the processor's clock for
// a while after each use, and the four-lane group is the same either way.
#include "dsp/LagLanes.h"

#include <cstring>
#include <immintrin.h>

namespace sorvane {

namespace lags_sse2 {
#define SORVANE_LANE_WIDTH 2
#include "dsp/LagLanes.inc"
#undef SORVANE_LANE_WIDTH
}  // namespace lags_sse2

#pragma GCC push_options
#pragma GCC target("avx2")
namespace lags_avx2 {
#define SORVANE_LANE_WIDTH 4
#include "dsp/LagLanes.inc"
#undef SORVANE_LANE_WIDTH
}  // namespace lags_avx2
#pragma GCC pop_options

void AutocorrelateLanes(SimdPath path, const double* x, int n, double* r) {
  if (path == SimdPath::kSse2) {
    lags_sse2::Autocorrelate27(x, n, r);
  } else {
    lags_avx2::Autocorrelate27(x, n, r);
  }
}

}  // namespace sorvane
