// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "SynthRig.h"
#include "synth/Synth.h"

namespace sorvane {
namespace {

using Rig = test::SynthRig;

TEST(ModFactorTable, CentreIsExactlyOneAndEndsAreAQuarterOctave) {
  std::array<double, kModFactorCount> t{};
  BuildModFactorTable(t);
  EXPECT_EQ(t[100], 1.0);
  EXPECT_NEAR(t[0], 1.189207115, 1e-9);
  EXPECT_NEAR(t[200], 0.840896415, 1e-9);
  EXPECT_NEAR(t[130], std::pow(2.0, -30.0 / 400), 1e-15);
}

TEST(Oscillator, FirstWrapComesAtSample201WithTheRemainder) {
  VoiceSlot v{};
  const double period = 22050.0 / 110.0;
  for (int n = 1; n <= 200; ++n) {
    ASSERT_EQ(Oscillate(v, kImpulse, 100, period, 1.0, 0.0), 0.0) << n;  // silent until the first wrap
  }
  EXPECT_EQ(Oscillate(v, kImpulse, 100, period, 1.0, 0.0), 2000.0);
  EXPECT_EQ(v.Phase, 201.0 - period);
  EXPECT_NEAR(v.Phase, 0.5454545, 1e-6);
  EXPECT_EQ(Oscillate(v, kImpulse, 100, period, 1.0, 0.0), 1500.0);  // 20a, then 15a
  EXPECT_EQ(Oscillate(v, kImpulse, 100, period, 1.0, 0.0), 1125.0);
}

TEST(Oscillator, AmplitudeIsLatchedAtTheWrapOnly) {
  VoiceSlot v{};
  v.Phase = 9.5;
  EXPECT_EQ(Oscillate(v, kSquare, 3.0, 10.0, 1.0, 0.0), 3.0);  // wrapped to 0.5: first half
  EXPECT_EQ(v.Phase, 0.5);
  EXPECT_EQ(Oscillate(v, kSquare, 99.0, 10.0, 1.0, 0.0), 3.0);  // no wrap: still 3
}

TEST(Oscillator, SquareTakesTheNegativeHalfAtExactlyHalfThePeriod) {
  VoiceSlot v{};
  v.PulseAmp = 2.0;
  v.Phase = 3.0;
  EXPECT_EQ(Oscillate(v, kSquare, 2.0, 10.0, 1.0, 0.0), 2.0);   // phase 4
  EXPECT_EQ(Oscillate(v, kSquare, 2.0, 10.0, 1.0, 0.0), -2.0);  // phase 5 == P/2
}

TEST(Oscillator, SawtoothRampsAroundZero) {
  VoiceSlot v{};
  v.Phase = 9.0;
  EXPECT_EQ(Oscillate(v, kSawtooth, 2.0, 10.0, 1.0, 0.0), (0.0 / 10.0 - 0.5) * 10.0);
  EXPECT_EQ(Oscillate(v, kSawtooth, 2.0, 10.0, 1.0, 1.0), 1.0 + (1.0 / 10.0 - 0.5) * 10.0);
}

TEST(Oscillator, PhaseWrapsOnceEvenWhenThePeriodShrinks) {
  VoiceSlot v{};
  v.Phase = 150.0;
  Oscillate(v, kImpulse, 1.0, 40.0, 1.0, 0.0);  // octave raised: one subtraction only
  EXPECT_EQ(v.Phase, 111.0);
}

TEST(Vibrato, TriangleOffsetsTruncateTowardZero) {
  Rig r;
  r.Ctrl = true;
  const SynthInputs in = r.Inputs();
  r.St->ModCounter = 2204;  // steps to 0
  EXPECT_EQ(ModulationStep(*r.St, in), r.St->ModFactorTable[130]);
  EXPECT_EQ(r.St->ModCounter, 0);
  r.St->ModCounter = 1101;  // steps to 1102: -29.97 truncates to -29
  EXPECT_EQ(ModulationStep(*r.St, in), r.St->ModFactorTable[71]);
  EXPECT_NEAR(r.St->ModFactorTable[71], std::pow(2.0, 29.0 / 400), 1e-15);
}

TEST(Vibrato, SquareHoldsPitchForHalfACycleThenRaisesIt) {
  Rig r;
  r.Params.ModDepth = 100;
  r.Params.ModRate = 1;
  r.Switches.TriangleShape = false;
  r.Params.ModAlwaysOn = true;
  const SynthInputs in = r.Inputs();
  int low = 0;
  int high = 0;
  for (int n = 0; n < 22050; ++n) {
    const double f = ModulationStep(*r.St, in);
    if (f == 1.0) {
      ++low;
    } else {
      ASSERT_EQ(f, r.St->ModFactorTable[0]);
      ++high;
    }
  }
  EXPECT_EQ(low, 11025);
  EXPECT_EQ(high, 11025);
}

TEST(Vibrato, GateKeepsPitchButTheOscillatorRunsOn) {
  Rig r;
  r.Params.ModDepth = 100;
  const SynthInputs in = r.Inputs();
  for (int n = 0; n < 5000; ++n) ASSERT_EQ(ModulationStep(*r.St, in), 1.0);
  EXPECT_EQ(r.St->ModCounter, 5000 % 2205);
  r.Params.ModDepth = 0;
  r.Ctrl = true;
  const SynthInputs held = r.Inputs();
  for (int n = 0; n < 3000; ++n) ASSERT_EQ(ModulationStep(*r.St, held), 1.0);  // depth 0 is inaudible
}

TEST(Excitation, NoKeyMeansNoModulationStep) {
  Rig r;
  r.St->ModCounter = 17;
  int16_t out[242];
  SynthesizeBlock(*r.St, r.Pool, r.Inputs(), out, 242);
  EXPECT_EQ(r.St->ModCounter, 17);
  for (int16_t s : out) EXPECT_EQ(s, 0);
}

TEST(Excitation, ChangingTheWaveformRestartsEveryVoiceSilent) {
  Rig r;
  test::Press(r.Pool, 1);
  r.Pool.Voices[0].Phase = 100;
  r.Pool.Voices[0].PulseAmp = 5;
  ClearVoices(r.Pool);
  EXPECT_EQ(r.Pool.VoiceKeys[0], 1);
  EXPECT_EQ(r.Pool.Voices[0].Phase, 0.0);
  EXPECT_EQ(r.Pool.Voices[0].PulseAmp, 0.0);
}

}  // namespace
}  // namespace sorvane
