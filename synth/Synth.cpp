// Excitation, vibrato, lattice synthesis and the output stage.
#include "synth/Synth.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sorvane {

void BuildModFactorTable(std::array<double, kModFactorCount>& table) {
  for (int i = 0; i < kModFactorCount; ++i) {
    // ((i - 100) / 100) / 4 and the power in extended precision, rounded once.
    const long double exponent = (static_cast<long double>(i - kModFactorCentre) / 100.0L) / 4.0L;
    table[i] = static_cast<double>(1.0L / powl(2.0L, exponent));
  }
}

void ResetSynth(SynthState& state) {
  state = {};
  BuildModFactorTable(state.ModFactorTable);
  BuildPeriodTable(state.Pitch);
}

namespace {

// True when v passes the lattice guard unchanged: 1e-15 <= |v| <= 2^18. The
// magnitudes of doubles order like their bit patterns, so this is one
// unsigned range test (NaN and infinity fall outside it).
inline bool InsideGuard(double v) {
  constexpr uint64_t kLow = std::bit_cast<uint64_t>(kFlushLimit);
  constexpr uint64_t kHigh = std::bit_cast<uint64_t>(kLatticeLimit);
  const uint64_t magnitude = std::bit_cast<uint64_t>(v) & 0x7fffffffffffffffULL;
  return magnitude - kLow <= kHigh - kLow;
}

}  // namespace

double LatticeFilter(double x, const double* k, double* s) {
  // Stages run from 26 down to 0, so stage j reads s[j] before stage j - 1
  // overwrites it with this sample's backward value.
  for (int j = kLpcOrder; j >= 0; --j) {
    const double kj = k[j];
    const double sj = s[j];
    double v = x - kj * sj;
    double g = kj * v + sj;
    // Almost always neither value needs guarding: one test for both.
    if (__builtin_expect(!(InsideGuard(v) && InsideGuard(g)), 0)) {
      v = LatticeGuard(v);
      g = kj * v + sj;
      g = LatticeGuard(g);
    }
    x = v;
    if (j < kLpcOrder) s[j + 1] = g;
  }
  s[0] = -x;
  return s[0];
}

namespace {

// Two lanes of doubles. Each lane does exactly the scalar operations in the
// scalar order; only independent values (two voices) share a vector.
typedef double Lanes __attribute__((vector_size(16)));
typedef long long LaneMask __attribute__((vector_size(16)));

// LatticeGuard on both lanes: tiny values and NaN to +0, then the ±2^18 hold.
// The hold is applied first and the flush mask, taken from the value before
// the hold, afterwards: the same result for every input (a held value is
// never tiny), with a shorter chain of dependent instructions.
inline Lanes LatticeGuardLanes(Lanes v) {
  const LaneMask absMask = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
  const Lanes flushLimit = {kFlushLimit, kFlushLimit};
  const Lanes limit = {kLatticeLimit, kLatticeLimit};
  const Lanes magnitude = reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(v) & absMask);
  const LaneMask keep = magnitude >= flushLimit;  // false for NaN
#if defined(__SSE2__)
  // minpd and maxpd are exactly a < b ? a : b and a > b ? a : b.
  Lanes held = _mm_min_pd(v, limit);
  held = _mm_max_pd(held, -limit);
#else
  Lanes held = v < limit ? v : limit;
  held = held > -limit ? held : -limit;
#endif
  return reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(held) & keep);
}

}  // namespace

void LatticeVoices(int count, const double* const* x, double* const* y, int length, const double* const* a,
                   const double* const* diff, double* const* s) {
  constexpr int kPairs = kVoiceCount / 2;
  const int pairs = (count + 1) / 2;
  // Voices side by side (structure of arrays); a spare lane runs on zeros.
  Lanes aL[kCoefficientCount][kPairs];
  Lanes dL[kCoefficientCount][kPairs];
  Lanes sL[kCoefficientCount][kPairs];
  for (int j = 0; j < kCoefficientCount; ++j) {
    for (int p = 0; p < pairs; ++p) {
      const int v0 = 2 * p;
      const bool second = v0 + 1 < count;
      aL[j][p] = Lanes{a[v0][j], second ? a[v0 + 1][j] : 0.0};
      dL[j][p] = Lanes{diff[v0][j], second ? diff[v0 + 1][j] : 0.0};
      sL[j][p] = Lanes{s[v0][j], second ? s[v0 + 1][j] : 0.0};
    }
  }
  const Lanes divisor = {kGlideSteps, kGlideSteps};
  for (int n = 0; n < length; ++n) {
    const Lanes step = {static_cast<double>(n), static_cast<double>(n)};
    Lanes k[kCoefficientCount][kPairs];
    Lanes forward[kPairs];
    for (int j = 0; j < kCoefficientCount; ++j) {
      for (int p = 0; p < pairs; ++p) k[j][p] = (dL[j][p] * step) / divisor + aL[j][p];
    }
    for (int p = 0; p < pairs; ++p) {
      const int v0 = 2 * p;
      forward[p] = Lanes{x[v0][n], v0 + 1 < count ? x[v0 + 1][n] : 0.0};
    }
    // Stage by stage, every voice in turn: independent chains side by side.
    for (int j = kLpcOrder; j >= 0; --j) {
      for (int p = 0; p < pairs; ++p) {
        const Lanes sj = sL[j][p];
        Lanes v = forward[p] - k[j][p] * sj;
        v = LatticeGuardLanes(v);
        Lanes g = k[j][p] * v + sj;
        g = LatticeGuardLanes(g);
        if (j < kLpcOrder) sL[j + 1][p] = g;
        forward[p] = v;
      }
    }
    for (int p = 0; p < pairs; ++p) {
      sL[0][p] = -forward[p];
      y[2 * p][n] = sL[0][p][0];
      if (2 * p + 1 < count) y[2 * p + 1][n] = sL[0][p][1];
    }
  }
  for (int j = 0; j < kCoefficientCount; ++j) {
    for (int v = 0; v < count; ++v) s[v][j] = sL[j][v / 2][v % 2];
  }
}

namespace {

// One row of per-sample values over a block.
using BlockRow = double[kMaxBlockSamples];

// Stage 1, the excitation of every sample of the block. It never depends on
// the filters, so the stages after it each run over the whole block. Live:
// row 0 holds the sum over the voices; replay: one row per slot, 0 for a
// slot without an active voice.
void ExciteBlock(SynthState& st, VoicePool& pool, const SynthInputs& in, bool anyActive, int blockLength,
                 BlockRow* excitation) {
  const bool replay = in.PhraseReplay;
  for (int n = 0; n < blockLength; ++n) {
    double e = 0.0;
    if (!anyActive) {
      // No voice: ModCounter and the oscillators stand still.
      for (int i = 0; i < kVoiceCount; ++i) excitation[i][n] = 0.0;
      continue;
    }
    const double factor = ModulationStep(st, in);
    for (int i = 0; i < kVoiceCount; ++i) {
      if (!IsVoiceActive(pool, i)) {
        excitation[i][n] = 0.0;
        continue;
      }
      VoiceSlot& v = pool.Voices[i];
      const double a = replay ? in.Phrase.PhraseAmplitude[v.FrameIndex] : in.Frame.Amplitude;
      const double period = NotePeriod(st.Pitch, pool.VoiceKeys[i], in.Params.Octave);
      e = Oscillate(v, in.Params.Waveform, a, period, factor, e);
      if (replay) {
        // Each phrase voice keeps its own excitation.
        excitation[i][n] = e;
        e = 0.0;
      }
    }
    if (!replay) excitation[0][n] = e;
  }
}

// Stage 2, live path: the summed excitation through slot 0's band-pass, the
// lattice gliding from PrevReflection to Reflection, slot 0's second
// band-pass times the gain; plus the input's high band while a voice sounds.
// The live pass runs also without a voice, so the filters ring out.
void LiveVoice(SynthState& st, VoiceSlot& slot0, const FrameAnalysis& frame, bool anyActive,
               const double* excitation, int blockLength, double* voice) {
  double diff[kCoefficientCount];
  Difference(st.PrevReflection.data(), frame.Reflection.data(), diff);
  const double gain = frame.ExcitationGain;
  // The three filters of sample n overlap: the band-pass and coefficients
  // of sample n + 1 and the output band-pass of sample n - 1 are worked out
  // beside the lattice of sample n. Each filter still sees its samples in order.
  double k[2][kCoefficientCount];
  GlideCoefficients(st.PrevReflection.data(), diff, 0, k[0]);
  double next = FilterSample(VoiceBandCoefficients, slot0.PreFilterState, excitation[0]);
  double previous = 0.0;
  for (int n = 0; n < blockLength; ++n) {
    const double x = next;
    if (n + 1 < blockLength) {
      next = FilterSample(VoiceBandCoefficients, slot0.PreFilterState, excitation[n + 1]);
      GlideCoefficients(st.PrevReflection.data(), diff, n + 1, k[(n + 1) & 1]);
    }
    const double y = LatticeFilter(x, k[n & 1], st.LiveLatticeState.data());
    if (n > 0) voice[n - 1] = FilterSample(VoiceBandCoefficients, slot0.PostFilterState, previous) * gain;
    previous = y;
  }
  voice[blockLength - 1] = FilterSample(VoiceBandCoefficients, slot0.PostFilterState, previous) * gain;
  if (anyActive) {
    // The last sample of the high band stands in for the samples past it.
    for (int n = 0; n < blockLength; ++n) {
      voice[n] = voice[n] + frame.HighBandBlock[std::min(n, kBlockSamples - 1)];
    }
  }
}

// Stage 2, replay path: one lattice per active slot, gliding from its
// frame's set toward the next frame's, through the slot's band-pass times
// the frame's gain, plus the slot's own phrase high band. The voices are
// added in slot order.
void ReplayVoices(VoicePool& pool, const PhraseStore& phrase, const BlockRow* excitation, int blockLength,
                  double* voice) {
  for (int n = 0; n < blockLength; ++n) voice[n] = 0.0;
  int slots[kVoiceCount];
  int count = 0;
  for (int i = 0; i < kVoiceCount; ++i) {
    if (IsVoiceActive(pool, i)) slots[count++] = i;
  }
  if (count == 0) return;
  BlockRow lattice[kVoiceCount];
  double diffs[kVoiceCount][kCoefficientCount];
  const double* inputs[kVoiceCount];
  double* outputs[kVoiceCount];
  const double* starts[kVoiceCount];
  const double* steps[kVoiceCount];
  double* states[kVoiceCount];
  for (int c = 0; c < count; ++c) {
    VoiceSlot& v = pool.Voices[slots[c]];
    const int f = v.FrameIndex;
    starts[c] = phrase.PhraseReflection[f].data();
    Difference(starts[c], phrase.PhraseReflection[f + 1].data(), diffs[c]);
    steps[c] = diffs[c];
    inputs[c] = excitation[slots[c]];
    outputs[c] = lattice[c];
    states[c] = v.LatticeState.data();
  }
  LatticeVoices(count, inputs, outputs, blockLength, starts, steps, states);
  // Slot by slot, so each sample's sum still adds the voices in slot order.
  for (int c = 0; c < count; ++c) {
    VoiceSlot& v = pool.Voices[slots[c]];
    const double gain = phrase.PhraseGain[v.FrameIndex];
    for (int n = 0; n < blockLength; ++n) {
      double o = voice[n] + FilterSample(VoiceBandCoefficients, v.PostFilterState, lattice[c][n]) * gain;
      o = o + phrase.PhraseHighBand[v.HighBandPos];
      voice[n] = o;
      v.HighBandPos = v.HighBandPos + 1;
      if (v.HighBandPos == kPhraseHighBandWrap) v.HighBandPos = 0;
    }
  }
}

// Stage 3, the output stage: the feedback echo on the stored (limited,
// untruncated) output values, the flush, the saturation to 16 bits.
void OutputStage(SynthState& st, const EngineParams& params, const double* voice, int blockLength,
                 int16_t* out) {
  const int32_t echoDelay = MsToSamples(params.EchoDelayMs);
  const double level = static_cast<double>(params.EchoLevel);
  for (int n = 0; n < blockLength; ++n) {
    double o = (level * st.EchoBuffer[st.EchoPos]) / 200.0 + voice[n];
    o = Flush(o);
    const Saturated s = Saturate(o);
    out[n] = s.Sample;
    st.EchoBuffer[st.EchoPos] = s.Value;
    st.EchoPos = st.EchoPos + 1;
    if (st.EchoPos >= echoDelay) st.EchoPos = 0;
  }
}

// After a replayed block: every slot moves on one phrase frame; one that has
// played the last frame is finished.
void AdvancePhraseFrames(VoicePool& pool) {
  for (auto& v : pool.Voices) {
    v.FrameIndex = v.FrameIndex + 1;
    if (v.FrameIndex == kPhraseFrames) {
      v.Finished = true;
      v.FrameIndex = 0;
    }
  }
}

}  // namespace

void SynthesizeBlock(SynthState& st, VoicePool& pool, const SynthInputs& in, int16_t* out, int blockLength) {
  const bool anyActive = AnyVoiceActive(pool);
  BlockRow excitation[kVoiceCount];
  BlockRow voice;
  ExciteBlock(st, pool, in, anyActive, blockLength, excitation);
  if (in.PhraseReplay) {
    ReplayVoices(pool, in.Phrase, excitation, blockLength, voice);
  } else {
    LiveVoice(st, pool.Voices[0], in.Frame, anyActive, excitation[0], blockLength, voice);
  }
  OutputStage(st, in.Params, voice, blockLength, out);
  if (in.PhraseReplay) AdvancePhraseFrames(pool);
}

void CarryReflection(SynthState& st, const FrameAnalysis& frame) { st.PrevReflection = frame.Reflection; }

}  // namespace sorvane
