// SPDX-License-Identifier: GPL-3.0-or-later
// Window, autocorrelation and Levinson-Durbin recursion.
#include "dsp/Lpc.h"

#include <cassert>
#include <cmath>
#include <numbers>

#include "dsp/LagLanes.h"
#include "dsp/SimdPath.h"

namespace sorvane {

void BuildHannWindow(HannTable& w) {
  const double twoPi = 2.0 * std::numbers::pi;
  for (int i = 0; i < kFrameLength; ++i) {
    // (i·2π)/880 first, then the cosine, then 0.5 - 0.5·cos.
    const double angle = (static_cast<double>(i) * twoPi) / static_cast<double>(kFrameLength);
    w[i] = 0.5 - 0.5 * std::cos(angle);
  }
}

const HannTable& HannWindow() {
  static const HannTable table = [] {
    HannTable t{};
    BuildHannWindow(t);
    return t;
  }();
  return table;
}

void Autocorrelate(const double* x, int n, int p, double* r) {
  // The analysis's 27 lags side by side in vector lanes; any other order,
  // a short frame or the plain path lag by lag.
  const SimdPath path = ActiveSimdPath();
  if (p == kLpcOrder && n >= kLagLanesMinimumSamples && path != SimdPath::kPlain) {
    AutocorrelateLanes(path, x, n, r);
    return;
  }
  for (int k = 0; k <= p; ++k) {
    double sum = 0.0;
    for (int i = k; i <= n - 1 - k; ++i) {
      sum = sum + x[i] * x[i + k];
    }
    r[k] = sum / static_cast<double>(n);
  }
}

void LevinsonDurbin(const double* r, int p, double* k, double* e) {
  assert(p >= 1 && p <= kMaxLpcOrder);
  // a holds the predictor of the previous order, next the one being built.
  // Each has one slot beyond the last coefficient, kept at zero.
  double a[kMaxLpcOrder + 2] = {};
  double next[kMaxLpcOrder + 2] = {};
  e[0] = r[0];
  double beta = r[1];
  a[0] = 1.0;
  a[1] = 0.0;
  for (int m = 1; m <= p; ++m) {
    const double divisor = e[m - 1];
    const double km = divisor == 0.0 ? beta : beta / divisor;
    k[m] = km;
    e[m] = (1.0 - km * km) * e[m - 1];
    for (int j = 1; j <= m; ++j) {
      next[j] = a[j] - km * a[m - j];
    }
    next[0] = 1.0;
    next[m + 1] = 0.0;
    for (int j = 0; j <= m + 1; ++j) a[j] = next[j];
    if (m < p) {
      double sum = 0.0;
      for (int j = 0; j <= m; ++j) {
        sum = sum + a[j] * r[m + 1 - j];
      }
      beta = sum;
    }
  }
}

double PredictFrame(const double* frame, double* r, double* e, double* k) {
  Autocorrelate(frame, kFrameLength, kLpcOrder, r);
  LevinsonDurbin(r, kLpcOrder, k, e);
  const double e26 = e[kLpcOrder];
  return e26 >= 0.0 ? std::sqrt(e26) : 0.0;
}

}  // namespace sorvane
