// SPDX-License-Identifier: GPL-3.0-or-later
// The analysis's 27 autocorrelation lags in groups of kGroupLags, one lag to
// a lane. Included by the lag file of one vector path (LagLanesSse2.cpp,
// LagLanesAvx2.cpp) inside its target region, after dsp/Lanes.h.
//
// Each lag keeps its own sum and adds its products in increasing i, exactly
// as a lag-by-lag loop would. Lanes past lag 26 run on products that are
// thrown away. Where i lies outside a lag's range [k, n-1-k] its lane adds
// +0 instead, which leaves the sum as it is: a sum that starts at +0 is
// never -0, and s + (+0) = s for every other s.
#pragma once

#include "dsp/LagLanes.h"
#include "dsp/Lanes.h"
#include "dsp/Lpc.h"

namespace sorvane {
namespace {

// Two groups of seven pairs on SSE2 (sixteen registers), one of seven
// quadruples on the wider paths.
constexpr int kGroupLags = kWidth == 2 ? 14 : 28;
constexpr int kLagVectors = kGroupLags / kWidth;
constexpr int kGroups = (kCoefficientCount + kGroupLags - 1) / kGroupLags;

// Lags k0 .. k0 + kGroupLags - 1 (those up to 26 are kept) into r; n must
// be at least 2·(k0 + kGroupLags).
SORVANE_LANE_INLINE void LagGroup(const double* x, int n, int k0, double* r) {
  Lanes lag[kLagVectors];  // each lane's lag, exact in a double
  Lanes sum[kLagVectors];
  for (int v = 0; v < kLagVectors; ++v) {
    for (int l = 0; l < kWidth; ++l) lag[v][l] = k0 + v * kWidth + l;
    sum[v] = Splat(0.0);
  }
  const int reach = k0 + kGroupLags - 1;  // the group's last lag
  // The head: lag k begins at i = k.
  for (int i = k0; i < reach; ++i) {
    const Lanes xi = Splat(x[i]);
    const Lanes at = Splat(static_cast<double>(i));
    for (int v = 0; v < kLagVectors; ++v) {
      const LaneMask begun = lag[v] <= at;
      const Lanes product = xi * Load(x + i + k0 + v * kWidth);
      sum[v] = sum[v] + reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(product) & begun);
    }
  }
  // The core: every lag of the group is inside its range.
  const int coreTo = n - 1 - reach;
  for (int i = reach; i <= coreTo; ++i) {
    const Lanes xi = Splat(x[i]);
    for (int v = 0; v < kLagVectors; ++v) sum[v] = sum[v] + xi * Load(x + i + k0 + v * kWidth);
  }
  // The tail: lag k ends at i = n-1-k. Its reads run past x, so they come
  // from a copy of x's end followed by zeros (multiplied, then masked).
  const int tailFrom = coreTo + 1;
  double end[4 * kGroupLags + 8];
  const int kept = n - tailFrom;
  for (int i = 0; i < kept; ++i) end[i] = x[tailFrom + i];
  for (int i = kept; i < static_cast<int>(sizeof end / sizeof end[0]); ++i) end[i] = 0.0;
  for (int i = tailFrom; i <= n - 1 - k0; ++i) {
    const Lanes xi = Splat(x[i]);
    const Lanes last = Splat(static_cast<double>(n - 1 - i));
    for (int v = 0; v < kLagVectors; ++v) {
      const LaneMask going = lag[v] <= last;
      const Lanes product = xi * Load(end + (i - tailFrom) + k0 + v * kWidth);
      sum[v] = sum[v] + reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(product) & going);
    }
  }
  alignas(32) double acc[kGroupLags];
  for (int v = 0; v < kLagVectors; ++v) std::memcpy(acc + v * kWidth, &sum[v], sizeof(Lanes));
  for (int g = 0; g < kGroupLags && k0 + g < kCoefficientCount; ++g) {
    r[k0 + g] = acc[g] / static_cast<double>(n);
  }
}

// r[k] = (Σ_{i=k}^{n-1-k} x[i]·x[i+k]) / n for k = 0..26, for n of at
// least kLagLanesMinimumSamples.
void Autocorrelate27Lanes(const double* x, int n, double* r) {
  for (int g = 0; g < kGroups; ++g) LagGroup(x, n, g * kGroupLags, r);
}
static_assert(kLagLanesMinimumSamples >= 2 * kGroups * kGroupLags);

}  // namespace
}  // namespace sorvane
