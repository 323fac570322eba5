// The wide autocorrelation kernel. The standard headers come first, outside
// the target region, so that only this file's own kernel carries AVX2
// instructions. No fused multiply-add is enabled. The AVX-512 path uses it
// too: eight-lane vectors of lags measured slower here, as the 512-bit
// registers slow the processor's clock for a while after each use.
#include "dsp/LagLanes.h"

#include <cstring>
#include <immintrin.h>

namespace sorvane {

#pragma GCC push_options
#pragma GCC target("avx2")
namespace lags_avx2 {
#define SORVANE_LANE_WIDTH 4
#include "dsp/LagLanes.inc"
#undef SORVANE_LANE_WIDTH
}  // namespace lags_avx2
#pragma GCC pop_options

void AutocorrelateWide(const double* x, int n, double* r) { lags_avx2::Autocorrelate27(x, n, r); }

}  // namespace sorvane
