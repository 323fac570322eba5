// The three-section cascade filter that the analysis and the synthesis share,
// its three fixed coefficient sets, and the flush rule that keeps denormal
// and near-zero values out of every filter state.
#pragma once

#include <array>
#include <cmath>
#include <type_traits>

namespace sorvane {

// Values whose magnitude is strictly below this are stored as exactly 0.
inline constexpr double kFlushLimit = 1e-15;

// Returns v, or exactly +0.0 when |v| < 1e-15. A NaN counts as tiny, so it
// can never stick in a filter state.
inline double Flush(double v) {
  return std::fabs(v) >= kFlushLimit ? v : 0.0;
}

// c0 input gain; then per section: two feedback coefficients (added with
// their stored sign) and three feed-forward coefficients.
struct FilterCoefficients {
  std::array<double, 16> c;
};

// w1, w2 of each of the three sections: {s1.w1, s1.w2, s2.w1, s2.w2, s3.w1, s3.w2}.
struct FilterState {
  std::array<double, 6> w;
};
static_assert(std::is_trivially_copyable_v<FilterState>);

// One sample through the cascade. Every intermediate and every section output
// is flushed after being rounded to double.
double FilterSample(const FilterCoefficients& coefficients, FilterState& state, double x);

// Sixth-order band-pass 20 Hz - 4 kHz around each voice.
extern const FilterCoefficients VoiceBandCoefficients;
// Sixth-order elliptic low-pass below 3.5 kHz.
extern const FilterCoefficients LowBandCoefficients;
// The complementary elliptic high-pass above 3.5 kHz.
extern const FilterCoefficients HighBandCoefficients;

}  // namespace sorvane
