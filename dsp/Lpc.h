// Linear-prediction building blocks: the 880-point analysis window, the
// autocorrelation of a windowed frame and the Levinson-Durbin recursion
// that turns it into reflection coefficients.
#pragma once

#include <array>
#include <type_traits>

namespace sorvane {

inline constexpr int kFrameLength = 880;  // 40 ms at 22050 Hz: four blocks
inline constexpr int kLpcOrder = 26;
inline constexpr int kCoefficientCount = kLpcOrder + 1;  // k[0] .. k[26]
// The recursion's own table has room for orders up to 99.
inline constexpr int kMaxLpcOrder = 99;

using HannTable = std::array<double, kFrameLength>;
using Coefficients = std::array<double, kCoefficientCount>;

// The result of analysing one frame.
struct FrameAnalysis {
  Coefficients Reflection;  // k[0] is never written and stays 0
  double Amplitude;         // sqrt(e[26]), 0 when e[26] < 0
  double ExcitationGain;    // one of 1, 1/2, ..., 1/64
};
static_assert(std::is_trivially_copyable_v<FrameAnalysis>);

// Periodic Hann window: w[i] = 0.5 - 0.5·cos((i·2π)/880).
void BuildHannWindow(HannTable& w);
const HannTable& HannWindow();  // built once, on first use

// r[k] = (Σ_{i=k}^{n-1-k} x[i]·x[i+k]) / n for k = 0..p. The sum starts at
// i = k, not 0, and the divisor is n for every lag.
void Autocorrelate(const double* x, int n, int p, double* r);

// Writes k[1..p] and e[0..p]; k[0] is left alone. A zero error e[m-1]
// divides by 1 instead. No stability test: e may turn negative.
void LevinsonDurbin(const double* r, int p, double* k, double* e);

}  // namespace sorvane
