// Excitation, vibrato, lattice synthesis and the output stage.
#include "synth/Synth.h"

#include <cmath>

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

void SynthesizeBlock(SynthState& st, VoicePool& pool, const SynthInputs& in, int16_t* out, int blockLength) {
  const bool anyActive = AnyVoiceActive(pool);
  const bool replay = in.PhraseReplay;
  int highBandIndex = 0;

  double liveDiff[kCoefficientCount];
  Difference(st.PrevReflection.data(), in.Analysis.Reflection.data(), liveDiff);
  double k[kCoefficientCount];

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

    double o = 0.0;
    if (!replay) {
      VoiceSlot& slot0 = pool.Voices[0];
      const double x = FilterSample(VoiceBandCoefficients, slot0.PreFilterState, e);
      GlideCoefficients(st.PrevReflection.data(), liveDiff, n, k);
      const double y = LatticeFilter(x, k, st.LiveLatticeState.data());
      o = FilterSample(VoiceBandCoefficients, slot0.PostFilterState, y) * in.Analysis.ExcitationGain;
      if (anyActive) o = o + in.Analysis.HighBandBlock[highBandIndex];
    } else {
      for (int i = 0; i < kVoiceCount; ++i) {
        if (!IsVoiceActive(pool, i)) continue;
        VoiceSlot& v = pool.Voices[i];
        const int f = v.FrameIndex;
        const double* a = in.Phrase.PhraseReflection[f].data();
        double diff[kCoefficientCount];
        Difference(a, in.Phrase.PhraseReflection[f + 1].data(), diff);
        GlideCoefficients(a, diff, n, k);
        const double y = LatticeFilter(st.VoiceExcitation[i], k, v.LatticeState.data());
        o = o + FilterSample(VoiceBandCoefficients, v.PostFilterState, y) * in.Phrase.PhraseGain[f];
        o = o + in.Phrase.PhraseHighBand[v.HighBandPos];
        v.HighBandPos = v.HighBandPos + 1;
        if (v.HighBandPos == kPhraseHighBandWrap) v.HighBandPos = 0;
      }
    }

    // Feedback echo on the stored (limited, untruncated) output values.
    o = (static_cast<double>(in.Params.EchoLevel) * st.EchoBuffer[st.EchoPos]) / 200.0 + o;
    o = Flush(o);
    const Saturated s = Saturate(o);
    out[n] = s.Sample;
    st.EchoBuffer[st.EchoPos] = s.Value;
    st.EchoPos = st.EchoPos + 1;
    if (st.EchoPos >= st.EchoDelay) st.EchoPos = 0;

    if (n < kBlockSamples - 1) highBandIndex = highBandIndex + 1;
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
