// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>

#include "SynthRig.h"
#include "synth/Voices.h"

namespace sorvane {
namespace {

struct Pool {
  VoicePool P;
  Pool() { ResetVoices(P); }
};

TEST(NoteOn, FillsSlotsInOrderAndIgnoresAKeyThatAlreadySounds) {
  Pool p;
  EXPECT_EQ(test::Press(p.P, 5).Sounding, 5);
  p.P.Voices[0].Phase = 42.5;
  const NoteChange again = test::Press(p.P, 5);  // auto-repeat
  EXPECT_EQ(again.Sounding, kNoKey);
  EXPECT_EQ(again.Released, kNoKey);
  EXPECT_EQ(p.P.Voices[0].Phase, 42.5);
  EXPECT_EQ(test::Press(p.P, 9).Sounding, 9);
  EXPECT_EQ(p.P.VoiceKeys[0], 5);
  EXPECT_EQ(p.P.VoiceKeys[1], 9);
}

TEST(NoteOn, NinthKeyTakesSlotZerosVoiceAndShiftsTheOthersWithTheirState) {
  Pool p;
  for (int k = 0; k < 8; ++k) {
    test::Press(p.P, k);
    p.P.Voices[k].Phase = k + 0.5;
  }
  const NoteChange c = test::Press(p.P, 30);
  EXPECT_EQ(c.Released, 0);
  EXPECT_EQ(c.Sounding, 30);
  for (int s = 0; s < 7; ++s) {
    EXPECT_EQ(p.P.VoiceKeys[s], s + 1);
    EXPECT_EQ(p.P.Voices[s].Phase, s + 1.5);  // moved with its voice and note
    EXPECT_EQ(p.P.NoteOffsets[s], test::KeyNote(s + 1));
  }
  EXPECT_EQ(p.P.VoiceKeys[7], 30);
  EXPECT_EQ(p.P.Voices[7].Phase, 0.0);
  // The key that gave way is no longer held: releasing it changes nothing.
  const NoteChange off = NoteOff(p.P, 0);
  EXPECT_EQ(off.Released, kNoKey);
  EXPECT_EQ(p.P.VoiceKeys[0], 1);
  // Pressed again it takes a voice like any new key (slot 0's, again).
  EXPECT_EQ(test::Press(p.P, 0).Released, 1);
}

TEST(NoteOn, AFreedLowSlotIsReusedAndThenStolenFirst) {
  Pool p;
  test::Press(p.P, 1);
  test::Press(p.P, 2);
  NoteOff(p.P, 1);
  test::Press(p.P, 3);
  EXPECT_EQ(p.P.VoiceKeys[0], 3);
  for (int k = 10; k < 16; ++k) test::Press(p.P, k);
  const NoteChange c = test::Press(p.P, 20);
  EXPECT_EQ(c.Released, 3);  // the third key, not the second
  EXPECT_EQ(p.P.VoiceKeys[0], 2);
}

TEST(NoteOff, FreesAndZeroesOnlyThatSlot) {
  Pool p;
  test::Press(p.P, 12);
  test::Press(p.P, 20);  // the same note, a separate voice
  EXPECT_EQ(p.P.NoteOffsets[0], p.P.NoteOffsets[1]);
  p.P.Voices[1].PulseAmp = 3;
  p.P.Voices[0].PulseAmp = 4;
  EXPECT_EQ(NoteOff(p.P, 12).Released, 12);
  EXPECT_EQ(p.P.VoiceKeys[0], kNoKey);
  EXPECT_EQ(p.P.Voices[0].PulseAmp, 0.0);
  EXPECT_EQ(p.P.VoiceKeys[1], 20);
  EXPECT_EQ(p.P.Voices[1].PulseAmp, 3.0);
  EXPECT_EQ(NoteOff(p.P, 33).Released, kNoKey);
}

TEST(ClearVoices, KeepsKeysButZeroesState) {
  Pool p;
  test::Press(p.P, 7);
  p.P.Voices[0].Phase = 9;
  p.P.Voices[0].Finished = true;
  EXPECT_FALSE(AnyVoiceActive(p.P));
  ClearVoices(p.P);
  EXPECT_EQ(p.P.VoiceKeys[0], 7);
  EXPECT_EQ(p.P.Voices[0].Phase, 0.0);
  EXPECT_TRUE(AnyVoiceActive(p.P));
}

TEST(PeriodTable, ReferencePeriods) {
  PitchTables t{};
  BuildPeriodTable(t);
  EXPECT_NEAR(t.PeriodTable[0], 801.818181818, 1e-9);
  EXPECT_NEAR(t.PeriodTable[12], 400.909090909, 1e-9);
  EXPECT_EQ(t.PeriodTable[24], 22050.0 / 110.0);
  EXPECT_NEAR(t.PeriodTable[72], 12.528, 1e-3);
  // Mid: lowest key 212.374..., highest 33.447...
  EXPECT_NEAR(NotePeriod(t, 8, 2), 212.374, 1e-3);
  EXPECT_NEAR(NotePeriod(t, 40, 2), 33.447, 1e-3);
  EXPECT_EQ(NoteIndex(9, 0), 0);  // Z at "Ultra Low" is 27.5 Hz
  EXPECT_EQ(NoteIndex(8, 0), -1);
  EXPECT_EQ(NotePeriod(t, 8, 0), t.PeriodBelowTable);
  EXPECT_GT(t.PeriodBelowTable, t.PeriodTable[0]);
  EXPECT_NEAR(t.PeriodBelowTable, 22050.0 / (27.5 * std::pow(2.0, -1.0 / 12)), 1e-9);
}

TEST(PeriodTable, IsRoundedOnceFromExtendedPrecision) {
  for (int i = -1; i < kPeriodTableSize; ++i) {
    const long double exact = 22050.0L / (27.5L * powl(2.0L, static_cast<long double>(i) / 12.0L));
    EXPECT_EQ(ComputePeriod(i), static_cast<double>(exact)) << i;
  }
}

}  // namespace
}  // namespace sorvane
