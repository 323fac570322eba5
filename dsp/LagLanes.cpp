// The wide autocorrelation kernels. The standard headers come first,
// outside the target regions, so that only this file's own kernels carry
// AVX2 or AVX-512 instructions. No fused multiply-add is enabled.
#include "dsp/LagLanes.h"

#include <cstring>

namespace sorvane {

#pragma GCC push_options
#pragma GCC target("avx2")
namespace lags_avx2 {
#define SORVANE_LANE_WIDTH 4
#include "dsp/LagLanes.inc"
#undef SORVANE_LANE_WIDTH
}  // namespace lags_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512vl")
namespace lags_avx512 {
#define SORVANE_LANE_WIDTH 8
#include "dsp/LagLanes.inc"
#undef SORVANE_LANE_WIDTH
}  // namespace lags_avx512
#pragma GCC pop_options

void AutocorrelateWide(SimdPath path, const double* x, int n, double* r) {
  if (path == SimdPath::kAvx512) {
    lags_avx512::Autocorrelate27(x, n, r);
  } else {
    lags_avx2::Autocorrelate27(x, n, r);
  }
}

}  // namespace sorvane
