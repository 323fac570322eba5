// SPDX-License-Identifier: GPL-3.0-or-later
// SynthesizeBlock against a plain rendering of the same block, one sample at
// a time, written straight from the formulas of the excitation, the lattice,
// the output stage and the phrase replay. The block synthesis runs in stages
// over whole blocks and pairs voices in vector lanes; every output sample and
// every state value it leaves must still be bit for bit those of the plain
// rendering, over many random states.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "../SimdPaths.h"
#include "synth/Synth.h"

namespace sorvane {
namespace {

// How often the rare branches fired in the plain rendering, to show that the
// random states reach them.
enum Branch {
  kLatticeHold, kLatticeFlush, kOutputFlush, kSaturation, kHighBandWrap, kFinish, kModCounterWrap,
  kBelowTable, kShortBlock, kNormalBlock, kLongBlock, kLivePath, kReplayPath, kBranchCount
};
const char* const kBranchNames[kBranchCount] = {
    "lattice hold", "lattice flush", "output flush", "saturation", "high band wrap", "finish",
    "ModCounter wrap", "below the period table", "198", "220", "242", "live path", "replay path"};

struct Reached {
  int Count[kBranchCount] = {};
  int Sample = 0;          // the sample being rendered
  int FirstHold = -1;      // the first sample at which the lattice held a value
  void Hit(Branch b) { ++Count[b]; }
};

double PlainLatticeGuard(double v, Reached& reached) {
  if (std::fabs(v) < 1e-15) {
    if (v != 0.0) reached.Hit(kLatticeFlush);
    return 0.0;
  }
  if (std::fabs(v) > 262144.0) {
    reached.Hit(kLatticeHold);
    if (reached.FirstHold < 0) reached.FirstHold = reached.Sample;
    return v > 0.0 ? 262144.0 : -262144.0;
  }
  return v;
}

// One lattice pass with the coefficients of sample n gliding from a to b.
double PlainLattice(double x, const Coefficients& a, const Coefficients& b, int n, double* s,
                    Reached& reached) {
  double k[27];
  for (int j = 0; j < 27; ++j) k[j] = ((b[j] - a[j]) * static_cast<double>(n)) / 220.0 + a[j];
  for (int j = 26; j >= 0; --j) {
    x = PlainLatticeGuard(x - k[j] * s[j], reached);
    const double g = PlainLatticeGuard(k[j] * x + s[j], reached);
    if (j < 26) s[j + 1] = g;
  }
  s[0] = -x;
  return s[0];
}

// The plain block: for each sample the modulation step, every slot's
// oscillator, the live pass or one pass per phrase voice, the echo, the
// flush and the saturation; after the block the phrase frames advance.
void PlainBlock(SynthState& st, VoicePool& pool, const SynthInputs& in, int16_t* out, int length,
                Reached& reached) {
  const EngineParams& p = in.Params;
  const bool replay = in.PhraseReplay;
  bool anyActive = false;
  for (int i = 0; i < 8; ++i) anyActive = anyActive || (pool.VoiceKeys[i] != -1 && !pool.Voices[i].Finished);
  const int echoDelay = p.EchoDelayMs * 22050 / 1000;
  int highBandIndex = 0;
  for (int n = 0; n < length; ++n) {
    reached.Sample = n;
    double e = 0.0;
    double voiceExcitation[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (anyActive) {
      const int lfoPeriod = 22050 / p.ModRate;
      st.ModCounter = st.ModCounter + 1;
      if (st.ModCounter >= lfoPeriod) {
        st.ModCounter = 0;
        reached.Hit(kModCounterWrap);
      }
      double modFactor;
      if (in.Switches.TriangleShape) {
        const double position = static_cast<double>(st.ModCounter) / static_cast<double>(lfoPeriod);
        int v = static_cast<int>((std::fabs(position - 0.5) - 0.25) * p.ModDepth * 4);
        if (v > 100) v = 100;
        if (v < -100) v = -100;
        modFactor = st.ModFactorTable[v + 100];
      } else if (st.ModCounter < lfoPeriod / 2) {
        modFactor = st.ModFactorTable[100];
      } else {
        modFactor = st.ModFactorTable[100 - p.ModDepth];
      }
      if (!in.CtrlHeld && !p.ModAlwaysOn) modFactor = st.ModFactorTable[100];
      for (int i = 0; i < 8; ++i) {
        VoiceSlot& v = pool.Voices[i];
        if (pool.VoiceKeys[i] == -1 || v.Finished) {
          voiceExcitation[i] = 0.0;
          continue;
        }
        const double a = replay ? in.Phrase.PhraseAmplitude[v.FrameIndex] : in.Frame.Amplitude;
        if (NoteIndex(pool.VoiceKeys[i], p.Octave) < 0) reached.Hit(kBelowTable);
        const double P = NotePeriod(st.Pitch, pool.VoiceKeys[i], p.Octave);
        v.Phase = v.Phase + modFactor;
        bool w = false;
        if (v.Phase >= P) {
          v.Phase = v.Phase - P;
          w = true;
        }
        if (p.Waveform == 0) {
          if (w) v.PulseAmp = a * 20;
          e = e + v.PulseAmp;
          v.PulseAmp = v.PulseAmp * 0.75;
        } else if (p.Waveform == 1) {
          if (w) v.PulseAmp = a * 5;
          e = e + (v.Phase / P - 0.5) * v.PulseAmp;
        } else {
          if (w) v.PulseAmp = a * 1;
          if (v.Phase < P / 2) {
            e = e + v.PulseAmp;
          } else {
            e = e - v.PulseAmp;
          }
        }
        if (replay) {
          voiceExcitation[i] = e;
          e = 0.0;
        }
      }
    }

    double o = 0.0;
    if (!replay) {
      VoiceSlot& slot0 = pool.Voices[0];
      const double x = FilterSample(VoiceBandCoefficients, slot0.PreFilterState, e);
      PlainLattice(x, st.PrevReflection, in.Frame.Reflection, n, st.LiveLatticeState.data(), reached);
      o = FilterSample(VoiceBandCoefficients, slot0.PostFilterState, st.LiveLatticeState[0]) *
          in.Frame.ExcitationGain;
      if (anyActive) o = o + in.Frame.HighBandBlock[highBandIndex];
    } else {
      for (int i = 0; i < 8; ++i) {
        VoiceSlot& v = pool.Voices[i];
        if (pool.VoiceKeys[i] == -1 || v.Finished) continue;
        const int f = v.FrameIndex;
        PlainLattice(voiceExcitation[i], in.Phrase.PhraseReflection[f], in.Phrase.PhraseReflection[f + 1], n,
                     v.LatticeState.data(), reached);
        o = o + FilterSample(VoiceBandCoefficients, v.PostFilterState, v.LatticeState[0]) * in.Phrase.PhraseGain[f];
        o = o + in.Phrase.PhraseHighBand[v.HighBandPos];
        v.HighBandPos = v.HighBandPos + 1;
        if (v.HighBandPos == 66150) {
          v.HighBandPos = 0;
          reached.Hit(kHighBandWrap);
        }
      }
    }

    o = (p.EchoLevel * st.EchoBuffer[st.EchoPos]) / 200 + o;
    if (std::fabs(o) < 1e-15) {
      if (o != 0.0) reached.Hit(kOutputFlush);
      o = 0.0;
    }
    int16_t sample;
    if (o > 32767) {
      sample = 32767;
      o = 32767.0;
      reached.Hit(kSaturation);
    } else if (o < -32767) {
      sample = -32767;
      o = -32767.0;
      reached.Hit(kSaturation);
    } else {
      sample = static_cast<int16_t>(o);
    }
    out[n] = sample;
    st.EchoBuffer[st.EchoPos] = o;
    st.EchoPos = st.EchoPos + 1;
    if (st.EchoPos >= echoDelay) st.EchoPos = 0;
    if (n < 219) highBandIndex = highBandIndex + 1;
  }
  if (replay) {
    for (VoiceSlot& v : pool.Voices) {
      v.FrameIndex = v.FrameIndex + 1;
      if (v.FrameIndex == 300) {
        v.Finished = true;
        v.FrameIndex = 0;
        reached.Hit(kFinish);
      }
    }
  }
}

// A reproducible generator of the random states.
struct Random {
  uint64_t State;
  uint32_t Next() {
    State = State * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(State >> 33);
  }
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
    for (double& s : St->LiveLatticeState) s = r.Value(500);
    for (double& v : St->EchoBuffer) v = r.Value(r.Percent(10) ? 32767 : 3000);
    St->EchoPos = r.Below(kEchoBufferLength);

    Params = {r.Below(3), r.Below(4), r.Below(101), 1 + r.Below(20), r.Percent(50), r.Below(101),
              kMinEchoDelayMs + r.Below(kMaxEchoDelayMs - kMinEchoDelayMs + 1)};
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
      NoteOn(Pool, key);
    }
    for (int i = 0; i < kVoiceCount; ++i) {
      VoiceSlot& v = Pool.Voices[i];
      for (double& w : v.PreFilterState.w) w = r.Value(200);
      for (double& w : v.PostFilterState.w) w = r.Value(200);
      for (double& s : v.LatticeState) s = r.Value(500);
      const double period = Pool.VoiceKeys[i] == kNoKey ? 100.0 : NotePeriod(St->Pitch, Pool.VoiceKeys[i], Params.Octave);
      v.Phase = r.Percent(20) ? period - r.Uniform(0, 2) : r.Uniform(0, period);
      v.PulseAmp = r.Value(500);
      v.Finished = r.Percent(10);
      v.HighBandPos = r.Percent(25) ? kPhraseHighBandWrap - 1 - r.Below(300) : r.Below(kPhraseHighBandWrap);
      v.FrameIndex = r.Percent(20) ? kPhraseFrames - 1 : r.Below(kPhraseFrames);
    }
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
  if (!SameBits(a.EchoBuffer, b.EchoBuffer)) return ::testing::AssertionFailure() << "EchoBuffer";
  if (a.EchoPos != b.EchoPos) return ::testing::AssertionFailure() << "EchoPos";
  if (pa.VoiceKeys != pb.VoiceKeys) return ::testing::AssertionFailure() << "VoiceKeys";
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

TEST(SynthesizeBlock, EqualsThePlainPerSampleRenderingBitForBit) {
  // The same random moments on every vector path.
  test::ForEachSimdPath([](SimdPath) {
    Random r{20261207};
    auto phrase = std::make_unique<PhraseStore>();
    FillPhrase(r, *phrase);
    Reached reached;
    constexpr int kMoments = 300;
    constexpr int kBlocksEach = 3;
    for (int m = 0; m < kMoments; ++m) {
      Moment block(r);
      Moment plain = block;
      reached.Hit(block.Replay ? kReplayPath : kLivePath);
      for (int b = 0; b < kBlocksEach; ++b) {
        SCOPED_TRACE(testing::Message() << "moment " << m << ", block " << b);
        const int which = r.Below(3);
        const int length = which == 0 ? kBlockLengthShort : which == 1 ? kBlockLengthNormal : kBlockLengthLong;
        reached.Hit(static_cast<Branch>(kShortBlock + which));
        int16_t expected[kMaxBlockSamples];
        int16_t actual[kMaxBlockSamples];
        const SynthInputs plainIn{plain.Params, plain.Switches, plain.Ctrl, plain.Replay, *plain.Frame, *phrase};
        PlainBlock(*plain.St, plain.Pool, plainIn, expected, length, reached);
        const SynthInputs blockIn{block.Params, block.Switches, block.Ctrl, block.Replay, *block.Frame, *phrase};
        SynthesizeBlock(*block.St, block.Pool, blockIn, actual, length);
        ASSERT_EQ(std::memcmp(expected, actual, sizeof(int16_t) * static_cast<size_t>(length)), 0);
        ASSERT_TRUE(SameState(*plain.St, plain.Pool, *block.St, block.Pool));
        // The live glide starts the next block from this block's set.
        CarryReflection(*block.St, *block.Frame);
        plain.St->PrevReflection = plain.Frame->Reflection;
        FillReflection(r, block.Frame->Reflection);
        plain.Frame->Reflection = block.Frame->Reflection;
      }
    }
    // The random states reach every rare branch, each block length and both paths.
    for (int b = 0; b < kBranchCount; ++b) EXPECT_GT(reached.Count[b], 0) << kBranchNames[b];
  });
}


// The live lattice runs without its guard while a test shows that the
// guard would not act, and falls back to the guarded lattice where it
// would. Blocks that take the fallback: one whose glide turns the lattice
// unstable so that it first holds a value in the middle of the block, one
// that starts in exact silence (zeros, which the guard turns into +0)
// before its voice's first pulse, and silence throughout (no voice, zero
// states). All keep the plain rendering's bits, as do the blocks after
// them.
TEST(SynthesizeBlock, LiveLatticeFallingBackToItsGuardKeepsTheBits) {
  test::ForEachSimdPath([](SimdPath) {
    auto phrase = std::make_unique<PhraseStore>();
    const char* const kScenarios[] = {"hold mid-block", "silence first", "silence throughout"};
    for (int scenario = 0; scenario < 3; ++scenario) {
      SCOPED_TRACE(kScenarios[scenario]);
      Random r{7};
      Moment block(r);
      ResetSynth(*block.St);
      block.Replay = false;
      block.Params = {kImpulse, 2, 0, 5, false, 30, 100};
      block.Frame->Amplitude = 200.0;
      block.Frame->ExcitationGain = 1.0;
      for (double& h : block.Frame->HighBandBlock) h = 0.0;
      block.Frame->Reflection = {};
      ResetVoices(block.Pool);
      if (scenario < 2) NoteOn(block.Pool, 20);
      const double period = NotePeriod(block.St->Pitch, 20, block.Params.Octave);
      VoiceSlot& v = block.Pool.Voices[0];
      v.PreFilterState = {};
      v.PostFilterState = {};
      v.PulseAmp = 0.0;
      if (scenario == 0) {
        // Gliding from a stable set to one with a coefficient far past 1.
        for (int j = 1; j < kCoefficientCount; ++j) block.St->PrevReflection[j] = 0.3 / j;
        block.Frame->Reflection = block.St->PrevReflection;
        block.Frame->Reflection[1] = -3.0;
        v.Phase = period - 1.0;
        for (int j = 0; j < kCoefficientCount; ++j) block.St->LiveLatticeState[j] = 10.0 + j;
      } else {
        // Zeros until the first pulse, 90 samples in (or none at all).
        v.Phase = period - 90.0;
        block.Frame->Reflection[3] = 0.5;
      }
      Moment plain = block;
      Reached reached;
      for (int b = 0; b < 3; ++b) {
        SCOPED_TRACE(testing::Message() << "block " << b);
        int16_t expected[kMaxBlockSamples];
        int16_t actual[kMaxBlockSamples];
        const SynthInputs plainIn{plain.Params, plain.Switches, plain.Ctrl, false, *plain.Frame, *phrase};
        PlainBlock(*plain.St, plain.Pool, plainIn, expected, kBlockSamples, reached);
        const SynthInputs blockIn{block.Params, block.Switches, block.Ctrl, false, *block.Frame, *phrase};
        SynthesizeBlock(*block.St, block.Pool, blockIn, actual, kBlockSamples);
        ASSERT_EQ(std::memcmp(expected, actual, sizeof expected[0] * kBlockSamples), 0);
        ASSERT_TRUE(SameState(*plain.St, plain.Pool, *block.St, block.Pool));
        if (b == 0 && scenario == 0) {
          // The case is what it says: the first hold well inside the block.
          EXPECT_GT(reached.FirstHold, 2 * 28) << "first hold at sample " << reached.FirstHold;
          EXPECT_LT(reached.FirstHold, kBlockSamples - 2 * 28) << "first hold at sample " << reached.FirstHold;
        }
        CarryReflection(*block.St, *block.Frame);
        plain.St->PrevReflection = plain.Frame->Reflection;
      }
    }
  });
}

}  // namespace
}  // namespace sorvane
