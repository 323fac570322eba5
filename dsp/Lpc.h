// SPDX-License-Identifier: GPL-3.0-or-later
// Linear-prediction building blocks: the 880-point analysis window, the
// autocorrelation of a windowed frame and the Levinson-Durbin recursion
// that turns it into reflection coefficients.
#pragma once

#include <array>

#include "dsp/AudioFormat.h"

namespace sorvane {

inline constexpr int kLpcOrder = 26;
inline constexpr int kCoefficientCount = kLpcOrder + 1;  // k[0] .. k[26]
// The recursion's own table has room for orders up to 99.
inline constexpr int kMaxLpcOrder = 99;

using HannTable = std::array<double, kFrameLength>;
using Coefficients = std::array<double, kCoefficientCount>;

// Periodic Hann window: w[i] = 0.5 - 0.5·cos((i·2π)/880).
void BuildHannWindow(HannTable& w);
const HannTable& HannWindow();  // built once, on first use

// r[k] = (Σ_{i=k}^{n-1-k} x[i]·x[i+k]) / n for k = 0..p. The sum starts at
// i = k, not 0, and the divisor is n for every lag.
void Autocorrelate(const double* x, int n, int p, double* r);

// Writes k[1..p] and e[0..p]; k[0] is left alone. A zero error e[m-1]
// divides by 1 instead. No stability test: e may turn negative.
void LevinsonDurbin(const double* r, int p, double* k, double* e);

// The linear prediction of one windowed frame of 880 samples: its lags
// r[0..26], the recursion's errors e[0..26] and k[1..26]. Returns the
// amplitude, sqrt(e[26]), or 0 when e[26] is negative.
double PredictFrame(const double* frame, double* r, double* e, double* k);

}  // namespace sorvane
