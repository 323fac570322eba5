// Excitation, vibrato, lattice synthesis and the output stage.
#include "synth/Synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

double LatticeFilter(double x, const double* k, double* s) {
  // Stages run from 26 down to 0, so stage j reads s[j] before stage j - 1
  // overwrites it with this sample's backward value.
  for (int j = kLpcOrder; j >= 0; --j) {
    x = x - k[j] * s[j];
    x = LatticeGuard(x);
    double g = k[j] * x + s[j];
    g = LatticeGuard(g);
    if (j < kLpcOrder) s[j + 1] = g;
  }
  s[0] = -x;
  return s[0];
}

namespace {

// Two lanes of doubles. Each lane does exactly the scalar operations, in the
// scalar order; only independent values share a vector.
typedef double Lanes __attribute__((vector_size(16)));
typedef long long LaneMask __attribute__((vector_size(16)));

inline Lanes LoadLanes(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// For state written by the previous step: two 8-byte loads, each of which the
// processor can forward from an earlier store, where one 16-byte load that
// straddles two stores would stall until they reach the cache.
inline Lanes LoadStoredLanes(const double* p) { return Lanes{p[0], p[1]}; }

inline void StoreLanes(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

// LatticeGuard on both lanes: tiny values and NaN to +0, then the ±2^18 hold.
inline Lanes LatticeGuardLanes(Lanes v) {
  const LaneMask absMask = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
  const Lanes flushLimit = {kFlushLimit, kFlushLimit};
  const Lanes limit = {kLatticeLimit, kLatticeLimit};
  const Lanes magnitude = reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(v) & absMask);
  const LaneMask keep = magnitude >= flushLimit;
  v = reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(v) & keep);
  v = v > limit ? limit : v;
  v = v < -limit ? -limit : v;
  return v;
}

}  // namespace

void LatticeBlock(const double* x, double* y, int length, const double* a, const double* diff, double* s) {
  // Sample n works on stage j at step t = 2n + (26 - j). Sample n reads s[j]
  // one step after sample n - 1 wrote it (at its stage j - 1) and writes
  // s[j + 1] one step before sample n + 1 reads it, so every sample sees
  // exactly the state that a sample-by-sample run gives it. Within a step the
  // samples are independent: their stages all have the parity of t, so with
  // the coefficients and the state split into even and odd halves each
  // step's work is a contiguous run of lanes.
  constexpr int kTop = kLpcOrder;
  constexpr int kHalf = 16;  // room for indices 0..13 plus the stage-26 write of s[27]
  double aHalf[2][kHalf] = {};
  double dHalf[2][kHalf] = {};
  double sHalf[2][kHalf] = {};
  for (int j = 0; j <= kTop; ++j) {
    aHalf[j & 1][j >> 1] = a[j];
    dHalf[j & 1][j >> 1] = diff[j];
    sHalf[j & 1][j >> 1] = s[j];
  }
  double forward[kMaxBlockSamples + 2];
  double step[kMaxBlockSamples + 2];
  for (int n = 0; n < length + 2; ++n) step[n] = static_cast<double>(n);

  const int steps = 2 * (length - 1) + kTop + 1;
  for (int t = 0; t < steps; ++t) {
    if ((t & 1) == 0 && t / 2 < length) forward[t / 2] = x[t / 2];  // enters at stage 26
    const int first = t <= kTop ? 0 : (t - kTop + 1) / 2;
    const int last = std::min(length - 1, t / 2);
    const int j0 = kTop - t + 2 * first;
    const int parity = j0 & 1;
    const double* ah = aHalf[parity];
    const double* dh = dHalf[parity];
    const double* sh = sHalf[parity];
    // s[j + 1] goes to the other half: index j >> 1 for even j, (j >> 1) + 1 for odd.
    double* next = sHalf[parity ^ 1] + parity;
    const int m0 = j0 >> 1;
    int n = first;
    const Lanes divisor = {220.0, 220.0};
    for (; n + 1 <= last; n += 2) {
      const int m = m0 + (n - first);
      // k = ((B - A)·n) / 220 + A, the glide of each lane's own sample.
      const Lanes k = (LoadLanes(dh + m) * LoadLanes(step + n)) / divisor + LoadLanes(ah + m);
      const Lanes sj = LoadStoredLanes(sh + m);
      Lanes v = LoadStoredLanes(forward + n) - k * sj;
      v = LatticeGuardLanes(v);
      Lanes g = k * v + sj;
      g = LatticeGuardLanes(g);
      StoreLanes(next + m, g);
      StoreLanes(forward + n, v);
    }
    if (n <= last) {
      const int m = m0 + (n - first);
      const double k = (dh[m] * step[n]) / 220.0 + ah[m];
      double v = forward[n] - k * sh[m];
      v = LatticeGuard(v);
      double g = k * v + sh[m];
      g = LatticeGuard(g);
      next[m] = g;
      forward[n] = v;
    }
    if (j0 == 0) {
      // The first sample of the step has passed stage 0: its output.
      sHalf[0][0] = -forward[first];
      y[first] = sHalf[0][0];
    }
  }
  for (int j = 0; j <= kTop; ++j) s[j] = sHalf[j & 1][j >> 1];
}

void SynthesizeBlock(SynthState& st, VoicePool& pool, const SynthInputs& in, int16_t* out, int blockLength) {
  const bool anyActive = AnyVoiceActive(pool);
  const bool replay = in.PhraseReplay;

  // The excitation of every sample first: it never depends on the filters,
  // so the lattice and filters below can each run over the whole block.
  // live: excitation[0] holds the sum; replay: one row per slot.
  double excitation[kVoiceCount][kMaxBlockSamples];
  for (int n = 0; n < blockLength; ++n) {
    double e = 0.0;
    for (double& x : st.VoiceExcitation) x = 0.0;
    if (anyActive) {
      const double factor = ModulationStep(st, in);
      for (int i = 0; i < kVoiceCount; ++i) {
        if (!IsVoiceActive(pool, i)) {
          st.VoiceExcitation[i] = 0.0;
          continue;
        }
        VoiceSlot& v = pool.Voices[i];
        const double a = replay ? in.Phrase.PhraseAmplitude[v.FrameIndex] : in.Analysis.Amplitude;
        const double period = NotePeriod(st.Pitch, pool.VoiceKeys[i], in.Params.Octave);
        e = Oscillate(v, in.Params.Waveform, a, period, factor, e);
        if (replay) {
          st.VoiceExcitation[i] = e;
          e = 0.0;
        }
      }
    }
    if (replay) {
      for (int i = 0; i < kVoiceCount; ++i) excitation[i][n] = st.VoiceExcitation[i];
    } else {
      excitation[0][n] = e;
    }
  }

  // The voice part of each output sample, before the echo.
  double voice[kMaxBlockSamples];
  double filtered[kMaxBlockSamples];
  double diff[kCoefficientCount];
  if (!replay) {
    VoiceSlot& slot0 = pool.Voices[0];
    for (int n = 0; n < blockLength; ++n) {
      filtered[n] = FilterSample(VoiceBandCoefficients, slot0.PreFilterState, excitation[0][n]);
    }
    Difference(st.PrevReflection.data(), in.Analysis.Reflection.data(), diff);
    LatticeBlock(filtered, filtered, blockLength, st.PrevReflection.data(), diff, st.LiveLatticeState.data());
    const double gain = in.Analysis.ExcitationGain;
    for (int n = 0; n < blockLength; ++n) {
      double o = FilterSample(VoiceBandCoefficients, slot0.PostFilterState, filtered[n]) * gain;
      if (anyActive) o = o + in.Analysis.HighBandBlock[std::min(n, kBlockSamples - 1)];
      voice[n] = o;
    }
  } else {
    for (int n = 0; n < blockLength; ++n) voice[n] = 0.0;
    // Slot by slot, so each sample's sum still adds the voices in slot order.
    for (int i = 0; i < kVoiceCount; ++i) {
      if (!IsVoiceActive(pool, i)) continue;
      VoiceSlot& v = pool.Voices[i];
      const int f = v.FrameIndex;
      const double* a = in.Phrase.PhraseReflection[f].data();
      Difference(a, in.Phrase.PhraseReflection[f + 1].data(), diff);
      LatticeBlock(excitation[i], filtered, blockLength, a, diff, v.LatticeState.data());
      const double gain = in.Phrase.PhraseGain[f];
      for (int n = 0; n < blockLength; ++n) {
        double o = voice[n] + FilterSample(VoiceBandCoefficients, v.PostFilterState, filtered[n]) * gain;
        o = o + in.Phrase.PhraseHighBand[v.HighBandPos];
        voice[n] = o;
        v.HighBandPos = v.HighBandPos + 1;
        if (v.HighBandPos == kPhraseHighBandWrap) v.HighBandPos = 0;
      }
    }
  }

  for (int n = 0; n < blockLength; ++n) {
    // Feedback echo on the stored (limited, untruncated) output values.
    double o = (static_cast<double>(in.Params.EchoLevel) * st.EchoBuffer[st.EchoPos]) / 200.0 + voice[n];
    o = Flush(o);
    const Saturated s = Saturate(o);
    out[n] = s.Sample;
    st.EchoBuffer[st.EchoPos] = s.Value;
    st.EchoPos = st.EchoPos + 1;
    if (st.EchoPos >= st.EchoDelay) st.EchoPos = 0;
  }

  if (replay) {
    for (auto& v : pool.Voices) {
      v.FrameIndex = v.FrameIndex + 1;
      if (v.FrameIndex == kPhraseFrames) {
        v.Finished = true;
        v.FrameIndex = 0;
      }
    }
  }
}

}  // namespace sorvane
