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
    const double angle = (static_cast<double>(i) * twoPi) / 880.0;
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

namespace {

// Lags are summed in groups that run side by side: each lag keeps its own
// sum and adds its products in increasing i, exactly as a lag-by-lag loop
// would, but the group's independent sums keep the pipeline busy.

// Adds the products of lags k0 .. k0+G-1 for i in [from, to], each only
// where i lies in its own range [k, n-1-k].
template <int G>
inline void AddGuarded(const double* x, int n, int k0, int from, int to, double* acc) {
  for (int i = from; i <= to; ++i) {
    for (int g = 0; g < G; ++g) {
      const int k = k0 + g;
      if (i >= k && i <= n - 1 - k) acc[g] = acc[g] + x[i] * x[i + k];
    }
  }
}

// Lags k0 .. k0+G-1 into r.
template <int G>
inline void LagGroup(const double* x, int n, int k0, double* r) {
  double acc[G] = {};
  const int coreFrom = k0 + G - 1;      // every lag of the group has begun
  const int coreTo = n - 1 - coreFrom;  // and none has ended
  if (coreFrom > coreTo) {
    AddGuarded<G>(x, n, k0, k0, n - 1 - k0, acc);
  } else {
    AddGuarded<G>(x, n, k0, k0, coreFrom - 1, acc);
    for (int i = coreFrom; i <= coreTo; ++i) {
      const double xi = x[i];
      const double* xk = x + i + k0;
      for (int g = 0; g < G; ++g) acc[g] = acc[g] + xi * xk[g];
    }
    AddGuarded<G>(x, n, k0, coreTo + 1, n - 1 - k0, acc);
  }
  for (int g = 0; g < G; ++g) r[k0 + g] = acc[g] / static_cast<double>(n);
}

}  // namespace

void Autocorrelate(const double* x, int n, int p, double* r) {
  // The analysis's 27 lags: one group of four-lane vectors where the
  // processor has them (AVX2, AVX-512), else two groups of seven vector
  // pairs; any other order lag by lag.
  if (p == kLpcOrder && ActiveSimdPath() != SimdPath::kSse2) {
    AutocorrelateWide(x, n, r);
    return;
  }
  if (p == kLpcOrder) {
    LagGroup<14>(x, n, 0, r);
    LagGroup<13>(x, n, 14, r);
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
