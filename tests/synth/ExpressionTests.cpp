// SPDX-License-Identifier: GPL-3.0-or-later
// The glide and the pitch bend, read from a voice's oscillator block by
// block: how far its phase moved in each block is its mean pitch there.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "SynthRig.h"
#include "synth/Synth.h"
#include "tests/support/SimdPaths.h"

namespace sorvane {
namespace {

// A voice's phase step over each of `blocks` blocks, averaged: 1 is its
// own pitch. The period must exceed a block's advance, so that a wrap shows
// as the phase going back.
std::vector<double> MeanSteps(test::SynthRig& rig, int slot, int blocks) {
  std::vector<double> steps;
  const double period = NotePeriod(rig.St->Pitch, rig.Pool.NoteOffsets[slot], rig.Params.Octave);
  for (int b = 0; b < blocks; ++b) {
    const double before = rig.Pool.Voices[slot].Phase;
    rig.Block(kBlockSamples);
    double moved = rig.Pool.Voices[slot].Phase - before;
    if (moved < 0.0) moved = moved + period;
    steps.push_back(moved / kBlockSamples);
  }
  return steps;
}

double Semitones(double step) { return 12.0 * std::log2(step); }

// The phase moves by sums of doubles: a mean step within rounding of 1 is
// the voice's own pitch.
bool AtOwnPitch(double step) { return std::fabs(step - 1.0) < 1e-9; }

// "Ultra Low", vibrato gated: key 0 sounds a semitone below the table
// (about 849 samples a period), key 12 an octave above it.
constexpr int32_t kLowKey = 0;
constexpr int32_t kOctaveUpKey = 12;

NoteStart StartOf(int32_t key, const EngineParams& params) {
  return {kFullVelocity, NoteSemitone(test::KeyNote(key), params.Octave), params.GlideMs > 0};
}

TEST(Glide, MovesMonotonicallyFromTheLastNoteToTheNewWithinItsTimeAndStays) {
  test::ForEachSimdPath([](SimdPath) {
    for (const int32_t glideMs : {40, 300, 1000}) {
      SCOPED_TRACE(glideMs);
      test::SynthRig rig;
      rig.Params.Octave = 0;
      rig.Params.GlideMs = glideMs;
      NoteOn(rig.Pool, kOctaveUpKey, test::KeyNote(kOctaveUpKey), StartOf(kOctaveUpKey, rig.Params));
      // The first note has nothing to glide from.
      for (double step : MeanSteps(rig, 0, 5)) ASSERT_TRUE(AtOwnPitch(step)) << step;
      NoteOff(rig.Pool, kOctaveUpKey);
      NoteOn(rig.Pool, kLowKey, test::KeyNote(kLowKey), StartOf(kLowKey, rig.Params));
      const int glideSamples = MsToSamples(glideMs);
      const std::vector<double> steps = MeanSteps(rig, 0, glideSamples / kBlockSamples + 60);
      // It starts from the octave above, within the first block's move.
      const double firstBlockMove = 12.0 * kBlockSamples / glideSamples;
      EXPECT_GT(Semitones(steps[0]), 12.0 - firstBlockMove);
      EXPECT_LE(Semitones(steps[0]), 12.0);
      size_t arrived = 0;
      while (arrived < steps.size() && !AtOwnPitch(steps[arrived])) ++arrived;
      ASSERT_LT(arrived, steps.size()) << "never arrived";
      for (size_t b = 1; b < arrived; ++b) ASSERT_LT(steps[b], steps[b - 1]) << "block " << b;
      // The first block wholly at the new pitch begins within 10 ms after
      // the glide time, and it stays there.
      const int arrivedAt = static_cast<int>(arrived) * kBlockSamples;
      EXPECT_GE(arrivedAt, glideSamples);
      EXPECT_LT(arrivedAt, glideSamples + MsToSamples(10));
      for (size_t b = arrived; b < steps.size(); ++b) ASSERT_TRUE(AtOwnPitch(steps[b])) << "block " << b;
    }
  });
}

TEST(Glide, NoneWithoutAGlideTimeOrForAKeyStruckAgain) {
  test::SynthRig rig;
  rig.Params.Octave = 0;
  NoteOn(rig.Pool, kOctaveUpKey, test::KeyNote(kOctaveUpKey), StartOf(kOctaveUpKey, rig.Params));
  NoteOn(rig.Pool, kLowKey, test::KeyNote(kLowKey), StartOf(kLowKey, rig.Params));
  for (double step : MeanSteps(rig, 1, 3)) EXPECT_TRUE(AtOwnPitch(step)) << step;
  // A sounding key pressed again keeps its voice: no glide from itself or
  // from the note before.
  rig.Params.GlideMs = 200;
  NoteOn(rig.Pool, kOctaveUpKey, test::KeyNote(kOctaveUpKey), StartOf(kOctaveUpKey, rig.Params));
  for (double step : MeanSteps(rig, 0, 3)) EXPECT_TRUE(AtOwnPitch(step)) << step;
}

TEST(PitchBend, MovesOverOneBlockWithoutAJumpAndHolds) {
  test::ForEachSimdPath([](SimdPath) {
    test::SynthRig rig;
    rig.Params.Octave = 0;
    rig.Params.BendRange = 12;
    NoteOn(rig.Pool, kLowKey, test::KeyNote(kLowKey));
    MeanSteps(rig, 0, 3);
    const double phase = rig.Pool.Voices[0].Phase;
    rig.St->PitchBend = kMaxPitchBend;
    const std::vector<double> steps = MeanSteps(rig, 0, 4);
    const double bent = std::exp2((12.0 * kMaxPitchBend / 8192.0) / 12.0);
    // The block after the move ramps from the old pitch to the new one,
    // sample n at n / 220 of the way, and the oscillator went on from where
    // it was.
    const double rampMean = (kBlockSamples - 1) / 2.0 / kBlockSamples;
    EXPECT_NEAR(steps[0], 1.0 + (bent - 1.0) * rampMean, 1e-9);
    EXPECT_NE(rig.Pool.Voices[0].Phase, phase);
    for (size_t b = 1; b < steps.size(); ++b) EXPECT_NEAR(steps[b], bent, 1e-12);
    // Back to rest: the step is exactly the unbent one again.
    rig.St->PitchBend = 0;
    const std::vector<double> back = MeanSteps(rig, 0, 3);
    EXPECT_NEAR(back[0], bent + (1.0 - bent) * rampMean, 1e-9);
    EXPECT_TRUE(AtOwnPitch(back[1]));
    EXPECT_TRUE(AtOwnPitch(back[2]));
  });
}

}  // namespace
}  // namespace sorvane
