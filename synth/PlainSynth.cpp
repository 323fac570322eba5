// SPDX-License-Identifier: GPL-3.0-or-later
// The plain synthesis: a block one sample at a time, straight from the
// formulas, each sum in the order written. The vector kernels are held to
// its bits; SORVANE_SIMD=plain renders with it.
#include <algorithm>

#include "synth/Synth.h"

namespace sorvane {

void PlainBlock(SynthState& st, VoicePool& pool, const SynthInputs& in, int16_t* out, int blockLength) {
  const EngineParams& p = in.Params;
  const bool replay = in.PhraseReplay;
  const bool anyActive = AnyVoiceActive(pool);
  const int32_t echoDelay = MsToSamples(p.EchoDelayMs);
  // The live glide runs from the last block's set to this block's.
  double liveDiff[kCoefficientCount];
  Difference(st.PrevReflection.data(), in.Frame.Reflection.data(), liveDiff);
  // Each sounding voice's level and the ramp of its phase step hold for the block.
  double level[kVoiceCount];
  StepRamp ramp[kVoiceCount];
  for (int i = 0; i < kVoiceCount; ++i) {
    if (!IsVoiceActive(pool, i)) continue;
    level[i] = VoiceLevel(pool, p, i);
    ramp[i] = VoiceStepRamp(st, pool, p, i, blockLength);
  }
  for (int n = 0; n < blockLength; ++n) {
    // The excitation: live, the sum over the sounding slots in slot order;
    // replay, each slot's own.
    double e = 0.0;
    double own[kVoiceCount] = {};
    if (anyActive) {
      const double factor = ModulationStep(st, in);
      for (int i = 0; i < kVoiceCount; ++i) {
        if (!IsVoiceActive(pool, i)) continue;
        VoiceSlot& v = pool.Voices[i];
        const double a = (replay ? in.Phrase.PhraseAmplitude[v.FrameIndex] : in.Frame.Amplitude) * level[i];
        const double period = NotePeriod(st.Pitch, pool.NoteOffsets[i], p.Octave);
        // The bend and the glide scale the vibrato's step; at rest by exactly 1.
        const double step = factor * (ramp[i].Start + ramp[i].Slope * static_cast<double>(n));
        if (replay) {
          own[i] = Oscillate(v, p.Waveform, a, period, step, 0.0);
        } else {
          e = Oscillate(v, p.Waveform, a, period, step, e);
        }
      }
    }
    double k[kCoefficientCount];
    double o = 0.0;
    if (!replay && anyActive) {
      // The live voice, on slot 0's band-passes, and the high band.
      VoiceSlot& slot0 = pool.Voices[0];
      const double x = FilterSample(VoiceBandCoefficients, slot0.PreFilterState, e);
      GlideCoefficients(st.PrevReflection.data(), liveDiff, n, k);
      const double y = LatticeFilter(x, k, st.LiveLatticeState.data());
      o = FilterSample(VoiceBandCoefficients, slot0.PostFilterState, y) * in.Frame.ExcitationGain;
      o = o + in.Frame.HighBandBlock[std::min(n, kBlockSamples - 1)];
    } else if (!replay) {
      // No voice sounds: the filters ring out on the held set and gain of
      // the last block that had one, never on the newest frame's.
      VoiceSlot& slot0 = pool.Voices[0];
      const double x = FilterSample(VoiceBandCoefficients, slot0.PreFilterState, e);
      const double y = LatticeFilter(x, st.RingReflection.data(), st.LiveLatticeState.data());
      o = FilterSample(VoiceBandCoefficients, slot0.PostFilterState, y) * st.RingGain;
    } else {
      // Each phrase voice, gliding from its frame's set toward the next's.
      for (int i = 0; i < kVoiceCount; ++i) {
        if (!IsVoiceActive(pool, i)) continue;
        VoiceSlot& v = pool.Voices[i];
        const int f = v.FrameIndex;
        double diff[kCoefficientCount];
        Difference(in.Phrase.PhraseReflection[f].data(), in.Phrase.PhraseReflection[f + 1].data(), diff);
        GlideCoefficients(in.Phrase.PhraseReflection[f].data(), diff, n, k);
        const double y = LatticeFilter(own[i], k, v.LatticeState.data());
        o = o + FilterSample(VoiceBandCoefficients, v.PostFilterState, y) * in.Phrase.PhraseGain[f];
        o = o + in.Phrase.PhraseHighBand[v.HighBandPos];
        v.HighBandPos = v.HighBandPos + 1;
        if (v.HighBandPos == kPhraseHighBandWrap) v.HighBandPos = 0;
      }
    }
    if (p.OutputLevelDb != 0) o = o * OutputGain(p.OutputLevelDb);
    // The output stage: the echo of the stored value, the flush, the saturation.
    o = (static_cast<double>(p.EchoLevel) * st.EchoBuffer[st.EchoPos]) / 200.0 + o;
    const Saturated s = Saturate(Flush(o));
    out[n] = s.Sample;
    st.EchoBuffer[st.EchoPos] = s.Value;
    st.EchoPos = st.EchoPos + 1;
    if (st.EchoPos >= echoDelay) st.EchoPos = 0;
  }
  KeepRingOut(st, in, anyActive);
  AdvanceExpression(st, pool, p, blockLength);
  if (replay) AdvancePhraseFrames(pool);
}

}  // namespace sorvane
