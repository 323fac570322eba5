// SPDX-License-Identifier: GPL-3.0-or-later
// The voice kernels of one vector path, written once on the lanes of
// dsp/Lanes.h. Included by that path's file (VoiceLanesSse2.cpp,
// VoiceLanesAvx2.cpp, VoiceLanesAvx512.cpp) inside its target region.
//
// Lanes hold independent values only: voices side by side (one voice to a
// lane), the 27 coefficients of one glide, or consecutive samples of a
// stage that has no recurrence. Each lane does PlainBlock's operations in
// its order.
#pragma once

#include <algorithm>

#include "dsp/Lanes.h"
#include "synth/VoiceLanes.h"

namespace sorvane {
namespace {

// The lattice guard on every lane.
inline Lanes LatticeGuardLanes(Lanes v) { return GuardLanes(v, kLatticeLimit); }

// One glide coefficient on every lane: (diff·step)/220 + a.
SORVANE_LANE_INLINE Lanes Glide(Lanes diff, Lanes step, Lanes a) { return (diff * step) / Splat(kGlideSteps) + a; }

// ---- Excitation -----------------------------------------------------------

// The oscillators of V vectors of voices, Oscillate's steps on each lane: a
// lane works out both sides of each choice and keeps the one Oscillate
// takes. Spare lanes run on a period of 1, and are thrown away.
template <int32_t Shape, int V>
SORVANE_LANE_INLINE void ExciteIn(BlockVoices& b, const double* factor, int length, double* sum) {
  const int count = b.Count;
  Lanes phase[V], pulse[V], period[V], half[V], amp[V], rampStart[V], rampSlope[V];
  for (int p = 0; p < V; ++p) {
    phase[p] = Gather(p, count, [&](int c) { return b.Voice[c].Slot->Phase; });
    pulse[p] = Gather(p, count, [&](int c) { return b.Voice[c].Slot->PulseAmp; });
    period[p] = Gather(
        p, count, [&](int c) { return b.Voice[c].Period; }, 1.0);
    amp[p] = Gather(p, count, [&](int c) { return b.Voice[c].Amplitude; });
    rampStart[p] = Gather(
        p, count, [&](int c) { return b.Voice[c].Step.Start; }, 1.0);
    rampSlope[p] = Gather(p, count, [&](int c) { return b.Voice[c].Step.Slope; });
    half[p] = period[p] / Splat(2.0);
  }
  for (int n = 0; n < length; ++n) {
    const Lanes f = Splat(factor[n]);
    const Lanes step = Splat(static_cast<double>(n));
    alignas(32) double part[V * kWidth];
    for (int p = 0; p < V; ++p) {
      Lanes ph = phase[p] + f * (rampStart[p] + rampSlope[p] * step);
      const LaneMask wrapped = ph >= period[p];
      ph = wrapped ? ph - period[p] : ph;
      phase[p] = ph;
      Lanes e;
      if constexpr (Shape == kImpulse) {
        pulse[p] = wrapped ? amp[p] * Splat(20.0) : pulse[p];
        e = pulse[p];
        pulse[p] = pulse[p] * Splat(0.75);
      } else if constexpr (Shape == kSawtooth) {
        pulse[p] = wrapped ? amp[p] * Splat(5.0) : pulse[p];
        e = (ph / period[p] - Splat(0.5)) * pulse[p];
      } else {
        pulse[p] = wrapped ? amp[p] * Splat(1.0) : pulse[p];
        e = ph < half[p] ? pulse[p] : -pulse[p];  // e - PulseAmp is exactly e + (-PulseAmp)
      }
      Store(part + p * kWidth, e);
    }
    if (sum != nullptr) {
      double e = 0.0;
      for (int c = 0; c < count; ++c) e = e + part[c];
      sum[n] = e;
    } else {
      for (int c = 0; c < count; ++c) b.Row[c][n] = 0.0 + part[c];
    }
  }
  for (int p = 0; p < V; ++p) {
    Scatter(phase[p], p, count, [&](int c, double v) { b.Voice[c].Slot->Phase = v; });
    Scatter(pulse[p], p, count, [&](int c, double v) { b.Voice[c].Slot->PulseAmp = v; });
  }
}

void Excite(BlockVoices& b, int32_t waveform, const double* factor, int length, double* sum) {
  WithVectors<kVoiceCount>(b.Count, [&]<int V>() {
    switch (waveform) {
      case kImpulse: return ExciteIn<kImpulse, V>(b, factor, length, sum);
      case kSawtooth: return ExciteIn<kSawtooth, V>(b, factor, length, sum);
      default: return ExciteIn<kSquare, V>(b, factor, length, sum);
    }
  });
}

// ---- Phrase voices --------------------------------------------------------

// V vectors of phrase voices side by side, sample by sample: the lattice,
// then the band-pass times the gain. The glide runs one sample ahead: the
// divisions of sample n + 1's coefficients go beside sample n's stages,
// which do not wait for them.
template <int V>
SORVANE_LANE_INLINE void ReplayIn(BlockVoices& b, int length) {
  const int count = b.Count;
  Lanes a[kCoefficientCount][V], diff[kCoefficientCount][V], s[kCoefficientCount][V];
  Lanes band[V][6], gain[V];
  for (int p = 0; p < V; ++p) {
    for (int j = 0; j < kCoefficientCount; ++j) {
      a[j][p] = Gather(p, count, [&](int c) { return b.Voice[c].Start[j]; });
      diff[j][p] = Gather(p, count, [&](int c) { return b.Voice[c].Diff[j]; });
      s[j][p] = Gather(p, count, [&](int c) { return b.Voice[c].Slot->LatticeState[j]; });
    }
    for (int i = 0; i < 6; ++i)
      band[p][i] = Gather(p, count, [&](int c) { return b.Voice[c].Slot->PostFilterState.w[i]; });
    gain[p] = Gather(p, count, [&](int c) { return b.Voice[c].Gain; });
  }
  Lanes coefficients[16];
  for (int i = 0; i < 16; ++i) coefficients[i] = Splat(VoiceBandCoefficients.c[i]);
  Lanes k[2][kCoefficientCount][V];  // the coefficients of samples n and n + 1, by n's parity
  for (int j = 0; j < kCoefficientCount; ++j) {
    for (int p = 0; p < V; ++p) k[0][j][p] = Glide(diff[j][p], Splat(0.0), a[j][p]);
  }
  for (int n = 0; n < length; ++n) {
    auto& now = k[n & 1];
    auto& next = k[(n + 1) & 1];
    const Lanes step = Splat(static_cast<double>(n + 1));
    Lanes x[V];
    for (int p = 0; p < V; ++p) x[p] = Gather(p, count, [&](int c) { return b.Row[c][n]; });
    for (int j = kLpcOrder; j >= 0; --j) {
      for (int p = 0; p < V; ++p) {
        next[j][p] = Glide(diff[j][p], step, a[j][p]);
        const Lanes g = LatticeStage(x[p], now[j][p], s[j][p], LatticeGuardLanes);
        if (j < kLpcOrder) s[j + 1][p] = g;
      }
    }
    for (int p = 0; p < V; ++p) {
      s[0][p] = -x[p];
      const Lanes y = CascadeSample(coefficients, band[p], s[0][p], FlushLanes) * gain[p];
      Scatter(y, p, count, [&](int c, double v) { b.Row[c][n] = v; });
    }
  }
  for (int p = 0; p < V; ++p) {
    for (int j = 0; j < kCoefficientCount; ++j) {
      Scatter(s[j][p], p, count, [&](int c, double v) { b.Voice[c].Slot->LatticeState[j] = v; });
    }
    for (int i = 0; i < 6; ++i) {
      Scatter(band[p][i], p, count, [&](int c, double v) { b.Voice[c].Slot->PostFilterState.w[i] = v; });
    }
  }
}

void ReplayVoices(BlockVoices& b, int length) {
  WithVectors<kVoiceCount>(b.Count, [&]<int V>() { ReplayIn<V>(b, length); });
}

// voice[i] = (voice[i] + row[i]) + band[i] for i in [0, count), a sample
// to a lane.
SORVANE_LANE_INLINE void AddRun(double* voice, const double* row, const double* band, int count) {
  int i = 0;
  for (; i + kWidth <= count; i += kWidth) Store(voice + i, (Load(voice + i) + Load(row + i)) + Load(band + i));
  for (; i < count; ++i) voice[i] = (voice[i] + row[i]) + band[i];
}

void AddVoices(BlockVoices& b, const double* highBand, int length, double* voice) {
  for (int c = 0; c < b.Count; ++c) {
    int32_t& position = b.Voice[c].Slot->HighBandPos;
    // A position past the wrap cannot occur; it would start again at 0
    // rather than read past the table.
    if (position < 0 || position >= kPhraseHighBandWrap) position = 0;
    for (int n = 0; n < length;) {
      const int run = std::min(length - n, kPhraseHighBandWrap - position);
      AddRun(voice + n, b.Row[c] + n, highBand + position, run);
      n = n + run;
      position = position + run;
      if (position == kPhraseHighBandWrap) position = 0;
    }
  }
}

// ---- The live voice -------------------------------------------------------

constexpr int kGlideVectors = VectorsFor(kCoefficientCount);

// The live voice while a voice sounds, sample by sample: the excitation
// through the first band-pass, the lattice with its 27 coefficients glided
// on lanes, the second band-pass times the gain; then the high band.
void LiveVoice(SynthState& st, VoiceSlot& slot0, const FrameAnalysis& frame, const double* excitation, int length,
               double* voice) {
  Lanes a[kGlideVectors], diff[kGlideVectors];
  for (int p = 0; p < kGlideVectors; ++p) {
    a[p] = Gather(p, kCoefficientCount, [&](int j) { return st.PrevReflection[j]; });
    diff[p] = Gather(p, kCoefficientCount, [&](int j) { return frame.Reflection[j] - st.PrevReflection[j]; });
  }
  double* s = st.LiveLatticeState.data();
  alignas(32) double k[kGlideVectors * kWidth];
  for (int n = 0; n < length; ++n) {
    const Lanes step = Splat(static_cast<double>(n));
    for (int p = 0; p < kGlideVectors; ++p) Store(k + p * kWidth, Glide(diff[p], step, a[p]));
    const double x = FilterSample(VoiceBandCoefficients, slot0.PreFilterState, excitation[n]);
    const double y = LatticeFilter(x, k, s);
    voice[n] = FilterSample(VoiceBandCoefficients, slot0.PostFilterState, y) * frame.ExcitationGain;
  }
  // The last sample of the high band stands in for the samples past it.
  for (int n = 0; n < length; ++n) voice[n] = voice[n] + frame.HighBandBlock[std::min(n, kBlockSamples - 1)];
}

// ---- The output stage -----------------------------------------------------

// The output stage of samples [n, n + count) at echo positions [pos, pos +
// count), which the block visits once each: a sample to a lane.
SORVANE_LANE_INLINE void OutputRun(double* echo, int pos, double level, const double* voice, int n, int count,
                                   int16_t* out) {
  int i = 0;
  for (; i + kWidth <= count; i += kWidth) {
    Lanes o = (Splat(level) * Load(echo + pos + i)) / Splat(200.0) + Load(voice + n + i);
    o = FlushLanes(o);
    // Saturate: no NaN is left after the flush, and inside the limits the
    // sample is the value truncated toward zero.
    o = Max(Min(o, Splat(kSampleLimit)), Splat(-kSampleLimit));
#if SORVANE_LANE_WIDTH == 2
    const __m128i samples = _mm_packs_epi32(_mm_cvttpd_epi32(o), _mm_setzero_si128());
#else
    const __m128i samples = _mm_packs_epi32(_mm256_cvttpd_epi32(o), _mm_setzero_si128());
#endif
    std::memcpy(out + n + i, &samples, kWidth * sizeof(int16_t));
    Store(echo + pos + i, o);
  }
  for (; i < count; ++i) {
    const Saturated s = Saturate(Flush((level * echo[pos + i]) / 200.0 + voice[n + i]));
    out[n + i] = s.Sample;
    echo[pos + i] = s.Value;
  }
}

void OutputStage(SynthState& st, int32_t echoDelay, double level, const double* voice, int length, int16_t* out) {
  int pos = st.EchoPos;
  // Runs of positions up to the wrap. A delay shorter than the block would
  // read back this block's own output: a sample at a time; so is a
  // position left beyond a shortened delay, used once before the read goes
  // back to 0.
  for (int n = 0; n < length;) {
    const int run = pos >= echoDelay || echoDelay < length ? 1 : std::min(length - n, echoDelay - pos);
    OutputRun(st.EchoBuffer.data(), pos, level, voice, n, run, out);
    n = n + run;
    pos = pos + run;
    if (pos >= echoDelay) pos = 0;
  }
  st.EchoPos = pos;
}

constexpr VoiceKernels kKernels = {Excite, ReplayVoices, AddVoices, LiveVoice, OutputStage};

}  // namespace
}  // namespace sorvane
