// SPDX-License-Identifier: GPL-3.0-or-later
// A steady voice to sing with, and the pitch of a song measured to a
// fraction of a cent: what the renderer's and the plugin's expression tests
// share to hold a bent note to the semitone arithmetic.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace sorvane::test {

// The steady voice at t seconds, in 16-bit sample units: as a synthesizer
// fed into the input, the harmonics of 150 Hz up to 4 kHz, falling as 1/h,
// quiet enough that the song stays clear of the lattice's limits and of
// clipping.
inline double SteadyVoice(double t) {
  double v = 0.0;
  for (int h = 1; 150 * h < 4000; ++h) v += std::sin(2 * M_PI * 150 * h * t + 0.7 * h * h) / h;
  return 400 * v;
}

// The normalised correlation of x with itself lag samples later.
template <typename Sample>
double CorrelationAtLag(const std::vector<Sample>& x, int lag) {
  double xy = 0.0, xx = 0.0, yy = 0.0;
  for (size_t i = 0; i + static_cast<size_t>(lag) < x.size(); ++i) {
    const double a = x[i];
    const double b = x[i + static_cast<size_t>(lag)];
    xy += a * b;
    xx += a * a;
    yy += b * b;
  }
  return xx > 0.0 && yy > 0.0 ? xy / std::sqrt(xx * yy) : 0.0;
}

// The lag of the best correlation in [low, high], refined by a parabola
// through it and its neighbours; NaN when the best lies on an edge.
template <typename Sample>
double BestCorrelationLag(const std::vector<Sample>& x, int low, int high) {
  std::vector<double> r;
  for (int lag = low - 1; lag <= high + 1; ++lag) r.push_back(CorrelationAtLag(x, lag));
  size_t best = 1;
  for (size_t i = 1; i + 1 < r.size(); ++i) best = r[i] > r[best] ? i : best;
  if (r[best - 1] >= r[best] || r[best + 1] >= r[best]) return NAN;
  const double shift = 0.5 * (r[best - 1] - r[best + 1]) / (r[best - 1] - 2 * r[best] + r[best + 1]);
  return low - 1 + static_cast<double>(best) + shift;
}

// The pitch in Hz of x, sampled at rate, near `expected` (within a third
// either way): the period from the correlation over one period, then
// refined over about 500 samples and over about 4000, where a fraction of a
// sample is a fraction of a cent. Each step looks within a quarter period
// of the last one's estimate, so it cannot slip to one period more or less.
// NaN when no pitch stands out there.
template <typename Sample>
double AutocorrelationPitch(const std::vector<Sample>& x, double rate, double expected) {
  double period = rate / expected;
  period = BestCorrelationLag(x, static_cast<int>(period / 1.26), static_cast<int>(period * 1.26) + 1);
  for (const double span : {500.0, 4000.0}) {
    if (std::isnan(period)) return NAN;
    const int periods = std::max(1, static_cast<int>(std::lround(span / period)));
    const int centre = static_cast<int>(std::lround(period * periods));
    const int half = std::max(2, static_cast<int>(period / 4));
    period = BestCorrelationLag(x, centre - half, centre + half) / periods;
  }
  return rate / period;
}

}  // namespace sorvane::test
