// SPDX-License-Identifier: GPL-3.0-or-later
// The three-section cascade filter that the analysis and the synthesis share,
// its three fixed coefficient sets, and the flush rule that keeps denormal
// and near-zero values out of every filter state.
#pragma once

#include <emmintrin.h>
#include <array>

#include <cmath>
#include <type_traits>

namespace sorvane {

// Values whose magnitude is strictly below this are stored as exactly 0.
inline constexpr double kFlushLimit = 1e-15;

// Returns v, or exactly +0.0 when |v| < 1e-15. A NaN counts as tiny, so it
// can never stick in a filter state.
inline double Flush(double v) {
  if (__builtin_expect(std::fabs(v) >= kFlushLimit, 1)) return v;
  return 0.0;
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

// One sample through section 2 or 3 of the cascade: c holds the section's
// five coefficients, w its two states, y is the output of the section
// before. The first sum is (c0·w1 + y) + c1·w2, in that order.
template <typename T, typename FlushRule>
inline __attribute__((always_inline)) T CascadeSection(const T* c, T* w, T y, FlushRule flush) {
  T v = c[0] * w[0] + y + c[1] * w[1];
  v = flush(v);
  T out = c[2] * v + c[3] * w[0] + c[4] * w[1];
  out = flush(out);
  w[1] = w[0];
  w[0] = v;
  return out;
}

// One sample through the cascade, on any value type T: a double, or doubles
// side by side in a vector, one filter to a lane. c holds the 16
// coefficients and w the six states as T; flush is the flush rule on T.
// Every intermediate and every section output is flushed after being
// rounded; the sums run in the order written. Always inlined, so that on
// lanes it takes the caller's vector instructions.
template <typename T, typename FlushRule>
inline __attribute__((always_inline)) T CascadeSample(const T* c, T* w, T x, FlushRule flush) {
  // Section 1: the only section with an input gain. Sums run left to right.
  T v = c[0] * x + c[1] * w[0] + c[2] * w[1];
  v = flush(v);
  T y = c[3] * v + c[4] * w[0] + c[5] * w[1];
  y = flush(y);
  w[1] = w[0];
  w[0] = v;

  // Sections 2 and 3, each fed the output of the one before.
  y = CascadeSection(c + 6, w + 2, y, flush);
  return CascadeSection(c + 11, w + 4, y, flush);
}

// One sample through one filter. Inline: it runs for every sample of every
// filter, and the callers' loops gain from seeing it whole.
inline double FilterSample(const FilterCoefficients& k, FilterState& s, double x) {
  return CascadeSample(k.c.data(), s.w.data(), x, Flush);
}

// Two filters side by side in the two lanes of a 128-bit vector (SSE2,
// which every x86-64 processor has).
typedef double FilterPairLanes __attribute__((vector_size(16)));
typedef long long FilterPairMask __attribute__((vector_size(16)));

// Flush on both lanes. Almost always both values pass: one predicted
// branch then keeps the mask off the filters' recurrences.
inline FilterPairLanes FlushPair(FilterPairLanes v) {
  const auto magnitude = reinterpret_cast<FilterPairLanes>(reinterpret_cast<FilterPairMask>(v) & 0x7fffffffffffffffLL);
  const FilterPairMask keep = magnitude >= FilterPairLanes{kFlushLimit, kFlushLimit};  // false for NaN
  if (__builtin_expect(_mm_movemask_pd(reinterpret_cast<__m128d>(keep)) == 3, 1)) return v;
  return reinterpret_cast<FilterPairLanes>(reinterpret_cast<FilterPairMask>(v) & keep);
}

// Sixth-order band-pass 20 Hz - 4 kHz around each voice.
extern const FilterCoefficients VoiceBandCoefficients;
// Sixth-order elliptic low-pass below 3.5 kHz.
extern const FilterCoefficients LowBandCoefficients;
// The complementary elliptic high-pass above 3.5 kHz.
extern const FilterCoefficients HighBandCoefficients;

}  // namespace sorvane
