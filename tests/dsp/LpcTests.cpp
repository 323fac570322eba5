// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "dsp/Lpc.h"
#include "tests/support/SimdPaths.h"
#include "tests/support/TestRandom.h"

namespace sorvane {
namespace {

TEST(HannWindow, EndPointsAndSymmetry) {
  const HannTable& w = HannWindow();
  EXPECT_EQ(w[0], 0.0);
  EXPECT_EQ(w[440], 1.0);
  EXPECT_NEAR(w[1], 1.2745e-5, 1e-9);
  EXPECT_NEAR(w[879], w[1], 1e-15);
  double meanSquare = 0;
  for (double v : w) meanSquare += v * v;
  EXPECT_NEAR(meanSquare / kFrameLength, 0.375, 1e-12);
}

TEST(Autocorrelate, SumStartsAtTheLagAndDividesByN) {
  std::array<double, kFrameLength> x{};
  std::array<double, kCoefficientCount> r{};
  x[5] = 1;
  Autocorrelate(x.data(), kFrameLength, kLpcOrder, r.data());
  EXPECT_EQ(r[0], 1.0 / 880);
  for (int k = 1; k <= kLpcOrder; ++k) EXPECT_EQ(r[k], 0.0) << k;

  x = {};
  x[0] = 1;
  x[1] = 1;
  Autocorrelate(x.data(), kFrameLength, kLpcOrder, r.data());
  EXPECT_EQ(r[0], 2.0 / 880);
  EXPECT_EQ(r[1], 0.0);  // x[0]·x[1] is not part of the lag-1 sum

  x = {};
  x[100] = 1;
  x[101] = 1;
  Autocorrelate(x.data(), kFrameLength, kLpcOrder, r.data());
  EXPECT_EQ(r[1], 1.0 / 880);
}

TEST(Autocorrelate, TailProductsBeyondNMinusOneMinusKAreLeftOut) {
  std::array<double, kFrameLength> x{};
  x[878] = 1;
  x[879] = 1;
  std::array<double, kCoefficientCount> r{};
  Autocorrelate(x.data(), kFrameLength, kLpcOrder, r.data());
  // i runs to n-1-k = 878 for lag 1, so x[878]·x[879] counts once.
  EXPECT_EQ(r[1], 1.0 / 880);
  EXPECT_EQ(r[0], 2.0 / 880);
}

TEST(Autocorrelate, LagsWithoutProductsAreZero) {
  double x[4] = {1, 2, 3, 4};
  double r[4] = {9, 9, 9, 9};
  Autocorrelate(x, 4, 3, r);
  EXPECT_EQ(r[0], (1 + 4 + 9 + 16) / 4.0);
  EXPECT_EQ(r[1], (2 * 3 + 3 * 4) / 4.0);  // i from 1 to 2: x1·x2 + x2·x3
  EXPECT_EQ(r[2], 0.0);                    // n-1-k = 1 < k = 2
  EXPECT_EQ(r[3], 0.0);
}

TEST(Autocorrelate, GroupedLagsMatchThePlainSumBitForBit) {
  // On every vector path.
  test::ForEachSimdPath([&](SimdPath) {
    test::TestRandom random(99);
    std::array<double, kFrameLength> x{};
    for (int frame = 0; frame < 20; ++frame) {
      for (int i = 0; i < kFrameLength; ++i) {
        x[i] = (static_cast<int32_t>(random.Below(65536)) - 32768) * HannWindow()[i] * (frame % 3 == 0 ? 1e-9 : 1.0);
      }
      // Now and then a short frame, shorter than a group of lags is wide.
      const int n = frame % 4 == 1 ? 30 + 5 * frame : kFrameLength;
      std::array<double, kCoefficientCount> r{};
      Autocorrelate(x.data(), n, kLpcOrder, r.data());
      for (int k = 0; k <= kLpcOrder; ++k) {
        double sum = 0.0;
        for (int i = k; i <= n - 1 - k; ++i) sum = sum + x[i] * x[i + k];
        EXPECT_EQ(r[k], sum / static_cast<double>(n)) << "frame " << frame << ", n " << n << ", lag " << k;
      }
    }
  });
}

// What LevinsonDurbin gives for an autocorrelation that starts with the
// values given and is zero after them; k[0] is set to k0 beforehand.
struct Levinson {
  std::array<double, kCoefficientCount> k{};
  std::array<double, kCoefficientCount> e{};
};
Levinson SolveLevinson(std::initializer_list<double> start, double k0 = 0) {
  std::array<double, kCoefficientCount> r{};
  std::copy(start.begin(), start.end(), r.begin());
  Levinson out;
  out.k[0] = k0;
  LevinsonDurbin(r.data(), kLpcOrder, out.k.data(), out.e.data());
  return out;
}

TEST(LevinsonDurbin, SilentFrameGivesZeroReflections) {
  const auto [k, e] = SolveLevinson({}, 7);  // k[0] must stay untouched
  EXPECT_EQ(k[0], 7.0);
  for (int m = 1; m <= kLpcOrder; ++m) EXPECT_EQ(k[m], 0.0);
  for (double v : e) EXPECT_EQ(v, 0.0);
}

TEST(LevinsonDurbin, ZeroErrorDividesByOne) {
  const auto [k, e] = SolveLevinson({0, 0.25});
  EXPECT_EQ(k[1], 0.25);
  EXPECT_EQ(e[1], 0.0);
}

TEST(LevinsonDurbin, SecondOrderExample) {
  const auto [k, e] = SolveLevinson({1, 0.5});
  EXPECT_EQ(k[1], 0.5);
  EXPECT_EQ(e[1], 0.75);
  EXPECT_EQ(k[2], -0.25 / 0.75);
  EXPECT_NEAR(k[2], -1.0 / 3, 1e-16);
}

TEST(LevinsonDurbin, NoStabilityTestLetsTheErrorTurnNegative) {
  const auto [k, e] = SolveLevinson({1, 2});  // not a valid autocorrelation: |k1| > 1
  EXPECT_EQ(k[1], 2.0);
  EXPECT_EQ(e[1], -3.0);
}

}  // namespace
}  // namespace sorvane
