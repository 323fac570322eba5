// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "SynthRig.h"
#include "synth/Synth.h"

namespace sorvane {
namespace {

std::vector<double> ImpulseResponse(int stage, double coefficient, int length) {
  std::array<double, kCoefficientCount> k{};
  std::array<double, kCoefficientCount> s{};
  k[stage] = coefficient;
  std::vector<double> out;
  for (int n = 0; n < length; ++n) out.push_back(LatticeFilter(n == 0 ? 1.0 : 0.0, k.data(), s.data()));
  return out;
}

TEST(Lattice, ImpulseResponsesOfSingleStages) {
  EXPECT_EQ(ImpulseResponse(1, 0.5, 7), (std::vector<double>{-1, 0, -0.5, 0, -0.25, 0, -0.125}));
  EXPECT_EQ(ImpulseResponse(2, 0.5, 7), (std::vector<double>{-1, 0, 0, -0.5, 0, 0, -0.25}));
}

TEST(Lattice, GuardHoldsRunawayValuesAndFlushesTinyOnes) {
  EXPECT_EQ(LatticeGuard(300000.0), 262144.0);
  EXPECT_EQ(LatticeGuard(-300000.0), -262144.0);
  EXPECT_EQ(LatticeGuard(262144.0), 262144.0);
  EXPECT_EQ(LatticeGuard(9e-16), 0.0);
  EXPECT_EQ(LatticeGuard(std::numeric_limits<double>::quiet_NaN()), 0.0);
  // An unstable stage grows until the hold, then goes on with the held value.
  std::array<double, kCoefficientCount> k{};
  std::array<double, kCoefficientCount> s{};
  k[1] = -1.5;
  double peak = 0;
  for (int n = 0; n < 200; ++n) {
    const double y = LatticeFilter(n == 0 ? 1000.0 : 0.0, k.data(), s.data());
    peak = std::max(peak, std::fabs(y));
    for (double v : s) ASSERT_LE(std::fabs(v), 262144.0);
  }
  EXPECT_EQ(peak, 262144.0);
}

TEST(Glide, StartsAtThePreviousSetAndUsesNOver220) {
  std::array<double, kCoefficientCount> a{};
  std::array<double, kCoefficientCount> b{};
  for (int j = 1; j < kCoefficientCount; ++j) {
    a[j] = 0.01 * j;
    b[j] = -0.02 * j + 0.3;
  }
  std::array<double, kCoefficientCount> d{};
  Difference(a.data(), b.data(), d.data());
  std::array<double, kCoefficientCount> k{};
  GlideCoefficients(a.data(), d.data(), 0, k.data());
  EXPECT_EQ(k, a);
  GlideCoefficients(a.data(), d.data(), 110, k.data());
  for (int j = 0; j < kCoefficientCount; ++j) EXPECT_NEAR(k[j], (a[j] + b[j]) / 2, 1e-15);
  GlideCoefficients(a.data(), d.data(), 241, k.data());
  for (int j = 1; j < kCoefficientCount; ++j) {
    EXPECT_NEAR(k[j], b[j] + (b[j] - a[j]) * 21 / 220, 1e-14);
  }
}

TEST(Saturate, ClampsInDoubleThenTruncatesTowardZero) {
  const struct {
    double In;
    int16_t Sample;
    double Stored;
  } cases[] = {{40000.0, 32767, 32767.0},
               {-40000.0, -32767, -32767.0},
               {32767.9, 32767, 32767.0},
               {32766.9, 32766, 32766.9},
               {0.999, 0, 0.999},
               {-1.9, -1, -1.9},
               {-0.5, 0, -0.5},
               {-32767.5, -32767, -32767.0},
               {-32768.0, -32767, -32767.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.In);
    const Saturated s = Saturate(c.In);
    EXPECT_EQ(s.Sample, c.Sample);
    EXPECT_EQ(s.Value, c.Stored);
  }
}

using Rig = test::SynthRig;

TEST(OutputStage, HighBandIsAddedOnlyWhileAVoiceIsActive) {
  Rig r;
  for (int i = 0; i < kBlockSamples; ++i) r.An->HighBandBlock[i] = 10.0 * i + 0.5;
  for (int16_t s : r.Block(220)) EXPECT_EQ(s, 0);
  test::Press(r.Pool, 3);  // amplitude 0: the excitation stays 0, only the high band sounds
  const auto out = r.Block(242);
  for (int n = 0; n < 242; ++n) EXPECT_EQ(out[n], static_cast<int16_t>(10 * std::min(n, 219))) << n;
}

TEST(OutputStage, BlockLengthOnlyTruncatesTheGlide) {
  // The glide fraction is n / 220 whatever the length: a 242-sample block
  // starts exactly like a 220-sample one, and a 198-sample one too.
  auto prepare = [](Rig& r) {
    r.An->Amplitude = 300;
    r.An->ExcitationGain = 0.5;
    for (int j = 1; j < kCoefficientCount; ++j) {
      r.St->PrevReflection[j] = 0.3 / j;
      r.An->Reflection[j] = -0.2 / j;
    }
    test::Press(r.Pool, 20);
    r.Pool.Voices[0].Phase = 30;
  };
  Rig a;
  Rig b;
  Rig c;
  prepare(a);
  prepare(b);
  prepare(c);
  const auto x = a.Block(220);
  const auto y = b.Block(242);
  const auto z = c.Block(198);
  EXPECT_TRUE(std::equal(x.begin(), x.end(), y.begin()));
  EXPECT_TRUE(std::equal(z.begin(), z.end(), x.begin()));
  EXPECT_NE(std::count(x.begin(), x.end(), 0), 220);
}

TEST(Echo, RepeatsHalfTheStoredValueOneDelayLater) {
  Rig r;
  r.Params.EchoLevel = 100;
  r.St->EchoBuffer[0] = 1000.0;
  r.St->EchoBuffer[5] = 3.0;
  const std::vector<int16_t> out = r.Blocks(21, 220);
  EXPECT_EQ(out[0], 500);
  EXPECT_EQ(out[2205], 250);
  EXPECT_EQ(out[4410], 125);
  EXPECT_EQ(out[1], 0);
  // The echo works on the stored doubles: 3 → 1.5 (sample 1) → 0.75 (sample 0, stored 0.75) → 0.375.
  EXPECT_EQ(out[5], 1);
  EXPECT_EQ(out[5 + 2205], 0);
  EXPECT_EQ(r.St->EchoBuffer[5], 0.375);
}

TEST(Echo, ShortenedDelayStillUsesTheCurrentPositionOnce) {
  Rig r;
  r.Params.EchoLevel = 100;
  r.St->EchoPos = 3000;
  r.Params.EchoDelayMs = 50;  // 1102 samples
  r.St->EchoBuffer[3000] = 800.0;
  const auto out = r.Block(220);
  EXPECT_EQ(out[0], 400);
  EXPECT_EQ(r.St->EchoBuffer[3000], 400.0);
  EXPECT_EQ(r.St->EchoPos, 219);  // back to 0 after the first sample
}

TEST(Echo, TwoHundredMillisecondsUsesTheWholeBuffer) {
  Rig r;
  r.Params.EchoLevel = 100;
  r.Params.EchoDelayMs = 200;  // 4410 samples
  r.St->EchoBuffer[4409] = 100.0;
  const std::vector<int16_t> out = r.Blocks(21, 220);
  EXPECT_EQ(out[4409], 50);
  EXPECT_EQ(r.St->EchoPos, (21 * 220) % 4410);
}

TEST(LivePath, RingsOutToExactSilence) {
  Rig r;
  test::Press(r.Pool, 10);
  r.An->Amplitude = 500;
  for (int j = 1; j < kCoefficientCount; ++j) r.An->Reflection[j] = 0.5 / (j + 1);
  r.St->PrevReflection = r.An->Reflection;
  for (int b = 0; b < 5; ++b) r.Block(220);
  NoteOff(r.Pool, 10);
  bool silent = false;
  for (int b = 0; b < 3000 && !silent; ++b) {
    const auto out = r.Block(220);
    silent = std::count(out.begin(), out.end(), 0) == 220;
    if (silent) {
      for (double s : r.St->LiveLatticeState) EXPECT_EQ(s, 0.0);
    }
  }
  EXPECT_TRUE(silent);
}

TEST(PhrasePath, VoicesAdvanceOneFrameABlockAndFinishAfter300) {
  Rig r;
  for (int f = 0; f < kPhraseTableFrames; ++f) {
    r.Ph->PhraseAmplitude[f] = 100;
    r.Ph->PhraseGain[f] = 1;
    r.Ph->PhraseReflection[f][1] = 0.3;
  }
  test::Press(r.Pool, 5);
  for (int b = 0; b < 50; ++b) r.Block(220, true);
  test::Press(r.Pool, 9);
  EXPECT_EQ(r.Pool.Voices[0].FrameIndex, 50);
  EXPECT_EQ(r.Pool.Voices[1].FrameIndex, 0);
  for (int b = 50; b < 299; ++b) r.Block(220, true);
  EXPECT_FALSE(r.Pool.Voices[0].Finished);
  r.Block(220, true);
  EXPECT_TRUE(r.Pool.Voices[0].Finished);
  EXPECT_EQ(r.Pool.Voices[0].FrameIndex, 0);
  EXPECT_EQ(r.Pool.Voices[0].HighBandPos, 300 * 220);
  EXPECT_FALSE(r.Pool.Voices[1].Finished);
  EXPECT_EQ(r.Pool.VoiceKeys[0], 5);  // a finished voice keeps its key
  for (int b = 0; b < 50; ++b) r.Block(242, true);
  EXPECT_TRUE(r.Pool.Voices[1].Finished);
  // A finished voice stays silent: with both finished, only the echo (0) remains.
  for (int16_t s : r.Block(220, true)) EXPECT_EQ(s, 0);
}

TEST(PhrasePath, HighBandReadWrapsAt66150) {
  Rig r;
  test::Press(r.Pool, 5);
  r.Ph->PhraseHighBand[66149] = 77;
  r.Ph->PhraseHighBand[0] = 55;
  r.Pool.Voices[0].HighBandPos = 66149;
  const auto out = r.Block(220, true);
  EXPECT_EQ(out[0], 77);
  EXPECT_EQ(out[1], 55);
}

}  // namespace
}  // namespace sorvane
