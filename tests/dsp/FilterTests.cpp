// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "dsp/Filter.h"

namespace sorvane {
namespace {

// Steady-state amplitude of a unit sine through a filter, measured by
// correlating the last 441 samples (a whole number of periods for any
// multiple of 50 Hz) with sine and cosine.
double SineGain(const FilterCoefficients& c, double hz) {
  FilterState s{};
  const int settle = 22050;
  const int window = 441;
  double sumSin = 0;
  double sumCos = 0;
  for (int n = 0; n < settle + window; ++n) {
    const double phase = 2 * M_PI * hz * n / 22050.0;
    const double y = FilterSample(c, s, std::sin(phase));
    if (n >= settle) {
      sumSin += y * std::sin(phase);
      sumCos += y * std::cos(phase);
    }
  }
  return 2.0 / window * std::hypot(sumSin, sumCos);
}

double ConstantGain(const FilterCoefficients& c) {
  FilterState s{};
  double y = 0;
  for (int n = 0; n < 44100; ++n) y = FilterSample(c, s, 1.0);
  return y;
}

TEST(FilterSets, SettleOnAConstantInputAsDesigned) {
  EXPECT_NEAR(ConstantGain(VoiceBandCoefficients), 0.0, 1e-12);  // zeros at 0 Hz
  EXPECT_NEAR(ConstantGain(LowBandCoefficients), 0.944061, 5e-6);
  EXPECT_NEAR(ConstantGain(HighBandCoefficients), 0.0100000, 5e-7);
}

TEST(FilterSets, BandSplitMagnitudesAt1000And4000Hz) {
  EXPECT_NEAR(SineGain(LowBandCoefficients, 1000), 0.98942, 5e-5);
  EXPECT_NEAR(SineGain(HighBandCoefficients, 1000), 0.00278, 5e-5);
  EXPECT_NEAR(SineGain(LowBandCoefficients, 4000), 0.00832, 5e-5);
  EXPECT_NEAR(SineGain(HighBandCoefficients, 4000), 0.99595, 5e-5);
}

TEST(FilterSets, VoiceBandReferenceMagnitudes) {
  const struct {
    double Hz;
    double Gain;
  } points[] = {{100, 0.98433},  {1000, 0.98007}, {3500, 0.99935}, {4000, 0.94406},
                {5000, 0.44261}, {6000, 0.15789}, {8000, 0.01933}};
  for (const auto& p : points) {
    SCOPED_TRACE(p.Hz);
    EXPECT_NEAR(SineGain(VoiceBandCoefficients, p.Hz), p.Gain, 5e-5);
  }
}

TEST(FilterSets, NegativeZerosAreKept) {
  EXPECT_TRUE(std::signbit(VoiceBandCoefficients.c[4]));
  EXPECT_TRUE(std::signbit(VoiceBandCoefficients.c[9]));
  EXPECT_TRUE(std::signbit(VoiceBandCoefficients.c[14]));
  EXPECT_EQ(VoiceBandCoefficients.c[4], 0.0);
}

// A cascade that passes its input unchanged, to probe the flush rule.
FilterCoefficients Identity() {
  FilterCoefficients c{};
  c.c[0] = 1;
  c.c[3] = 1;
  c.c[8] = 1;
  c.c[13] = 1;
  return c;
}

TEST(FilterFlush, ValuesBelowTheLimitBecomeExactZeroEverywhere) {
  const FilterCoefficients c = Identity();
  FilterState s{};
  EXPECT_EQ(FilterSample(c, s, 1e-15), 1e-15);  // exactly the limit passes
  for (double w : s.w) EXPECT_TRUE(w == 0.0 || w == 1e-15);

  FilterState t{};
  const double below = std::nextafter(1e-15, 0.0);
  const double y = FilterSample(c, t, below);
  EXPECT_EQ(y, 0.0);
  EXPECT_FALSE(std::signbit(y));
  for (double w : t.w) EXPECT_EQ(w, 0.0);
  EXPECT_EQ(FilterSample(c, t, -below), 0.0);
}

TEST(FilterFlush, NanNeverSticksInTheState) {
  FilterState s{};
  EXPECT_EQ(FilterSample(LowBandCoefficients, s, std::numeric_limits<double>::quiet_NaN()), 0.0);
  for (double w : s.w) EXPECT_EQ(w, 0.0);
}

TEST(FilterFlush, ZeroInZeroStateStaysZeroAndNoTinyValueIsEverStored) {
  FilterState s{};
  EXPECT_EQ(FilterSample(HighBandCoefficients, s, 0.0), 0.0);
  for (double w : s.w) EXPECT_EQ(w, 0.0);
  // A decaying impulse: every stored value and output is 0 or at least 1e-15.
  FilterState d{};
  for (int n = 0; n < 30000; ++n) {
    const double y = FilterSample(VoiceBandCoefficients, d, n == 0 ? 1000.0 : 0.0);
    ASSERT_TRUE(y == 0.0 || std::fabs(y) >= 1e-15) << n;
    for (double w : d.w) ASSERT_TRUE(w == 0.0 || std::fabs(w) >= 1e-15) << n;
  }
}

}  // namespace
}  // namespace sorvane
