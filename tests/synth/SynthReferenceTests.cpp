// SPDX-License-Identifier: GPL-3.0-or-later
// SynthesizeBlock on every vector path against PlainBlock, the per-sample
// rendering straight from the formulas: over many random states, every
// output sample and every state value the kernels leave must be bit for
// bit the plain rendering's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "SynthRig.h"
#include "synth/Synth.h"
#include "tests/support/SimdPaths.h"
#include "tests/support/TestRandom.h"

namespace sorvane {
namespace {

// The random states, drawn from the tests' seeded source.
struct Random {
  test::TestRandom Source;
  uint32_t Next() { return Source(); }
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
  bool Percent(int p) { return Below(100) < p; }
  double Uniform(double lo, double hi) { return lo + (hi - lo) * (Next() / 4294967296.0); }
  // A signal value: mostly moderate, now and then tiny (to be flushed), zero or large.
  double Value(double scale) {
    const int kind = Below(20);
    if (kind == 0) return 0.0;
    if (kind == 1) return Uniform(-9e-16, 9e-16);
    if (kind == 2) return Uniform(-40, 40) * scale;
    return Uniform(-1, 1) * scale;
  }
  double Gain() { return std::ldexp(1.0, -Below(7)); }
  // A lattice state value: now and then one at the edges of the guard.
  double Lattice(double scale) {
    static constexpr double kInf = std::numeric_limits<double>::infinity();
    const double edges[] = {
        std::numeric_limits<double>::quiet_NaN(),  kInf, -kInf, 262144.0, -262144.5, 1e-15, -9.99e-16,
        std::numeric_limits<double>::denorm_min(), -0.0};
    return Percent(2) ? edges[Below(9)] : Value(scale);
  }
};

// A set of reflection coefficients; now and then one of them lies beyond
// the stable range, so that the lattice runs into its hold.
void FillReflection(Random& r, Coefficients& k) {
  k[0] = 0.0;
  for (int j = 1; j < kCoefficientCount; ++j) k[j] = r.Uniform(-0.97, 0.97);
  if (r.Percent(15)) k[1 + r.Below(kLpcOrder)] = r.Uniform(-1.8, 1.8);
}

void FillPhrase(Random& r, PhraseStore& store) {
  for (int f = 0; f < kPhraseTableFrames; ++f) {
    FillReflection(r, store.PhraseReflection[f]);
    store.PhraseAmplitude[f] = std::fabs(r.Value(r.Percent(20) ? 3000 : 60));
    store.PhraseGain[f] = r.Gain();
  }
  for (double& h : store.PhraseHighBand) h = r.Value(300);
}

// One random engine moment: settings, voices in any state, filters, echo.
struct Moment {
  std::unique_ptr<SynthState> St = std::make_unique<SynthState>();
  std::unique_ptr<FrameAnalysis> Frame = std::make_unique<FrameAnalysis>();
  VoicePool Pool{};
  EngineParams Params{};
  PanelSwitches Switches{};
  bool Ctrl = false;
  bool Replay = false;

  Moment(const Moment& o)
      : St(std::make_unique<SynthState>(*o.St)),
        Frame(std::make_unique<FrameAnalysis>(*o.Frame)),
        Pool(o.Pool),
        Params(o.Params),
        Switches(o.Switches),
        Ctrl(o.Ctrl),
        Replay(o.Replay) {}

  explicit Moment(Random& r) {
    ResetSynth(*St);
    St->ModCounter = r.Below(22050);
    FillReflection(r, St->PrevReflection);
    FillReflection(r, St->RingReflection);
    St->RingGain = r.Gain();
    for (double& s : St->LiveLatticeState) s = r.Lattice(500);
    for (double& v : St->EchoBuffer) v = r.Value(r.Percent(10) ? 32767 : 3000);
    St->EchoPos = r.Below(kEchoBufferLength);

    Params = {r.Below(3),
              r.Below(4),
              r.Below(101),
              1 + r.Below(20),
              r.Percent(50),
              r.Below(101),
              kMinEchoDelayMs + r.Below(kMaxEchoDelayMs - kMinEchoDelayMs + 1),
              r.Percent(70) ? 0 : kOutputLevelMinDb + r.Below(kOutputLevelMaxDb - kOutputLevelMinDb + 1)};
    Switches = {r.Percent(50), false};
    Ctrl = r.Percent(50);
    Replay = r.Percent(50);

    FillReflection(r, Frame->Reflection);
    Frame->Amplitude = std::fabs(r.Value(r.Percent(20) ? 20000 : 80));
    Frame->ExcitationGain = r.Gain();
    for (double& h : Frame->HighBandBlock) h = r.Value(r.Percent(10) ? 30000 : 300);

    ResetVoices(Pool);
    const int voices = r.Below(9);
    for (int n = 0; n < voices; ++n) {
      // The lowest key at "Ultra Low" now and then: below the period table.
      const int32_t key = Params.Octave == 0 && r.Percent(15) ? 0 : r.Below(41);
      NoteOn(Pool, key, test::KeyNote(key));
    }
    for (int i = 0; i < kVoiceCount; ++i) {
      VoiceSlot& v = Pool.Voices[i];
      for (double& w : v.PreFilterState.w) w = r.Value(200);
      for (double& w : v.PostFilterState.w) w = r.Value(200);
      for (double& s : v.LatticeState) s = r.Lattice(500);
      const double period =
          Pool.VoiceKeys[i] == kNoKey ? 100.0 : NotePeriod(St->Pitch, Pool.NoteOffsets[i], Params.Octave);
      v.Phase = r.Percent(20) ? period - r.Uniform(0, 2) : r.Uniform(0, period);
      v.PulseAmp = r.Value(500);
      v.Finished = r.Percent(10);
      v.HighBandPos = r.Percent(25) ? kPhraseHighBandWrap - 1 - r.Below(300) : r.Below(kPhraseHighBandWrap);
      v.FrameIndex = r.Percent(20) ? kPhraseFrames - 1 : r.Below(kPhraseFrames);
    }
    Express(r);
  }

  // Now and then expression: a bend held or moving at any range, glides
  // part of the way, velocities that count or not.
  void Express(Random& r) {
    if (r.Percent(40)) return;
    St->PitchBend = RandomBend(r);
    St->BlockBend = r.Percent(50) ? St->PitchBend : RandomBend(r);
    Params.BendRange = kMinBendRange + r.Below(kMaxBendRange - kMinBendRange + 1);
    Params.GlideMs = r.Percent(30) ? 0 : r.Below(kMaxGlideMs + 1);
    Params.VelocityOn = r.Percent(50);
    for (int i = 0; i < kVoiceCount; ++i) {
      Pool.Velocities[i] = r.Below(kFullVelocity + 1);
      if (r.Percent(50)) continue;
      Pool.GlideSemitones[i] = r.Uniform(-40, 40);
      Pool.GlideElapsed[i] = r.Below(MsToSamples(Params.GlideMs) + 1);
    }
  }
  static int32_t RandomBend(Random& r) {
    return r.Percent(20) ? 0 : kMinPitchBend + r.Below(kMaxPitchBend - kMinPitchBend + 1);
  }
};

template <typename T>
bool SameBits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Field by field, so that padding never counts.
::testing::AssertionResult SameState(const SynthState& a, const VoicePool& pa, const SynthState& b,
                                     const VoicePool& pb) {
  if (a.ModCounter != b.ModCounter) return ::testing::AssertionFailure() << "ModCounter";
  if (!SameBits(a.PrevReflection, b.PrevReflection)) return ::testing::AssertionFailure() << "PrevReflection";
  if (!SameBits(a.LiveLatticeState, b.LiveLatticeState)) return ::testing::AssertionFailure() << "LiveLatticeState";
  if (!SameBits(a.RingReflection, b.RingReflection) || !SameBits(a.RingGain, b.RingGain)) {
    return ::testing::AssertionFailure() << "ring-out set";
  }
  if (!SameBits(a.EchoBuffer, b.EchoBuffer)) return ::testing::AssertionFailure() << "EchoBuffer";
  if (a.EchoPos != b.EchoPos) return ::testing::AssertionFailure() << "EchoPos";
  if (pa.VoiceKeys != pb.VoiceKeys || pa.NoteOffsets != pb.NoteOffsets) return ::testing::AssertionFailure() << "keys";
  if (a.PitchBend != b.PitchBend || a.BlockBend != b.BlockBend || pa.Velocities != pb.Velocities ||
      !SameBits(pa.GlideSemitones, pb.GlideSemitones) || pa.GlideElapsed != pb.GlideElapsed) {
    return ::testing::AssertionFailure() << "expression";
  }
  for (int i = 0; i < kVoiceCount; ++i) {
    const VoiceSlot& x = pa.Voices[i];
    const VoiceSlot& y = pb.Voices[i];
    if (!SameBits(x.PreFilterState.w, y.PreFilterState.w) || !SameBits(x.PostFilterState.w, y.PostFilterState.w) ||
        !SameBits(x.Phase, y.Phase) || !SameBits(x.PulseAmp, y.PulseAmp) || x.Finished != y.Finished ||
        !SameBits(x.LatticeState, y.LatticeState) || x.HighBandPos != y.HighBandPos || x.FrameIndex != y.FrameIndex) {
      return ::testing::AssertionFailure() << "slot " << i;
    }
  }
  return ::testing::AssertionSuccess();
}

// Whether any value of a lattice state sits on the hold.
bool Held(const std::array<double, kCoefficientCount>& s) {
  for (double v : s) {
    if (std::fabs(v) == kLatticeLimit) return true;
  }
  return false;
}

TEST(SynthesizeBlock, EqualsThePlainPerSampleRenderingBitForBit) {
  test::ForEachSimdPath([](SimdPath path) {
    if (path == SimdPath::kPlain) return;
    Random r{test::TestRandom{20261207}};
    auto phrase = std::make_unique<PhraseStore>();
    FillPhrase(r, *phrase);
    int holds = 0;
    int saturated = 0;
    for (int m = 0; m < 300; ++m) {
      Moment block(r);
      Moment plain = block;
      for (int b = 0; b < 3; ++b) {
        SCOPED_TRACE(testing::Message() << "moment " << m << ", block " << b);
        const int which = r.Below(3);
        const int length = which == 0 ? kBlockLengthShort : which == 1 ? kBlockLengthNormal : kBlockLengthLong;
        int16_t expected[kMaxBlockSamples];
        int16_t actual[kMaxBlockSamples];
        const SynthInputs plainIn{plain.Params, plain.Switches, plain.Ctrl, plain.Replay, *plain.Frame, *phrase};
        PlainBlock(*plain.St, plain.Pool, plainIn, expected, length);
        const SynthInputs blockIn{block.Params, block.Switches, block.Ctrl, block.Replay, *block.Frame, *phrase};
        SynthesizeBlock(*block.St, block.Pool, blockIn, actual, length);
        ASSERT_EQ(std::memcmp(expected, actual, sizeof(int16_t) * static_cast<size_t>(length)), 0);
        ASSERT_TRUE(SameState(*plain.St, plain.Pool, *block.St, block.Pool));
        holds += Held(plain.St->LiveLatticeState);
        for (int i = 0; i < kVoiceCount; ++i) holds += Held(plain.Pool.Voices[i].LatticeState);
        for (int n = 0; n < length; ++n) saturated += std::abs(expected[n]) == 32767;
        // The live glide starts the next block from this block's set.
        CarryReflection(*block.St, *block.Frame);
        CarryReflection(*plain.St, *plain.Frame);
        FillReflection(r, block.Frame->Reflection);
        plain.Frame->Reflection = block.Frame->Reflection;
        // The wheel moves on between blocks.
        if (r.Percent(30)) block.St->PitchBend = plain.St->PitchBend = Moment::RandomBend(r);
      }
    }
    // The random states reach the lattice's hold and the saturation.
    EXPECT_GT(holds, 0);
    EXPECT_GT(saturated, 0);
  });
}

}  // namespace
}  // namespace sorvane
