// SPDX-License-Identifier: GPL-3.0-or-later
// Excitation, vibrato, lattice synthesis and the output stage.
#include "synth/Synth.h"

#include <cmath>

#include "synth/VoiceLanes.h"

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

// 2^(semitones / 12), exactly 1 at 0.
double SemitoneRatio(double semitones) {
  if (semitones == 0.0) return 1.0;
  return std::exp2(semitones / 12.0);
}

double BendSemitones(int32_t bend, int32_t range) {
  return (static_cast<double>(bend) / kPitchBendScale) * static_cast<double>(range);
}

// Where a glide from `from` semitones stands after `elapsed` of its
// `length` samples: a straight line in pitch down to 0 at its end.
double GlideOffset(double from, int32_t elapsed, int32_t length) {
  if (from == 0.0 || elapsed >= length) return 0.0;
  return from * (1.0 - static_cast<double>(elapsed) / static_cast<double>(length));
}

}  // namespace

StepRamp VoiceStepRamp(const SynthState& st, const VoicePool& pool, const EngineParams& params, int slot,
                       int blockLength) {
  const int32_t glideLength = MsToSamples(params.GlideMs);
  const double from = pool.GlideSemitones[slot];
  const int32_t elapsed = pool.GlideElapsed[slot];
  const double start =
      SemitoneRatio(BendSemitones(st.BlockBend, params.BendRange) + GlideOffset(from, elapsed, glideLength));
  const double end = SemitoneRatio(BendSemitones(st.PitchBend, params.BendRange) +
                                   GlideOffset(from, elapsed + blockLength, glideLength));
  return {start, (end - start) / static_cast<double>(blockLength)};
}

void AdvanceExpression(SynthState& st, VoicePool& pool, const EngineParams& params, int blockLength) {
  st.BlockBend = st.PitchBend;
  const int32_t glideLength = MsToSamples(params.GlideMs);
  for (int i = 0; i < kVoiceCount; ++i) {
    if (!IsVoiceActive(pool, i) || pool.GlideSemitones[i] == 0.0) continue;
    pool.GlideElapsed[i] = pool.GlideElapsed[i] + blockLength;
    if (pool.GlideElapsed[i] >= glideLength) {
      pool.GlideSemitones[i] = 0.0;
      pool.GlideElapsed[i] = 0;
    }
  }
}

namespace {

// One row of per-sample values over a block.
using BlockRow = double[kMaxBlockSamples];

// The sounding voices of the block, in slot order, with what their
// excitation needs, which holds for the whole block.
void CollectVoices(const SynthState& st, VoicePool& pool, const SynthInputs& in, int blockLength, BlockVoices& voices) {
  voices.Count = 0;
  for (int i = 0; i < kVoiceCount; ++i) {
    if (!IsVoiceActive(pool, i)) continue;
    BlockVoice& v = voices.Voice[voices.Count++];
    v.Slot = &pool.Voices[i];
    const double a = in.PhraseReplay ? in.Phrase.PhraseAmplitude[v.Slot->FrameIndex] : in.Frame.Amplitude;
    v.Amplitude = a * VoiceLevel(pool, in.Params, i);
    v.Period = NotePeriod(st.Pitch, pool.NoteOffsets[i], in.Params.Octave);
    v.Step = VoiceStepRamp(st, pool, in.Params, i, blockLength);
  }
}

// Stage 1, the excitation of every sample of the block. It never depends on
// the filters, so the stages after it each run over the whole block. Live:
// `sum` gets the voices' sum; replay: each voice's row its own. Without a
// sounding voice the excitation is 0 and ModCounter and the oscillators
// stand still.
void ExciteBlock(const VoiceKernels& kernels, SynthState& st, const SynthInputs& in, BlockVoices& voices,
                 int blockLength, double* sum) {
  if (voices.Count == 0) {
    for (int n = 0; n < blockLength; ++n) sum[n] = 0.0;
    return;
  }
  // The vibrato does not depend on the voices: all its steps first, its
  // settings held for the block and its counter in a register.
  double factor[kMaxBlockSamples];
  const VibratoSettings vib = Vibrato(in);
  int32_t counter = st.ModCounter;
  for (int n = 0; n < blockLength; ++n) factor[n] = ModulationFactor(counter, vib, st.ModFactorTable);
  st.ModCounter = counter;
  kernels.Excite(voices, in.Params.Waveform, factor, blockLength, in.PhraseReplay ? nullptr : sum);
}

// Stage 2, replay path: each voice's lattice glides from its frame's set
// toward the next frame's, through its band-pass times the frame's gain,
// plus its own phrase high band; the voices are added in slot order.
void ReplayVoices(const VoiceKernels& kernels, const PhraseStore& phrase, BlockVoices& voices, int blockLength,
                  double* voice) {
  for (int n = 0; n < blockLength; ++n) voice[n] = 0.0;
  if (voices.Count == 0) return;
  for (int c = 0; c < voices.Count; ++c) {
    BlockVoice& v = voices.Voice[c];
    const int f = v.Slot->FrameIndex;
    v.Start = phrase.PhraseReflection[f].data();
    Difference(v.Start, phrase.PhraseReflection[f + 1].data(), v.Diff);
    v.Gain = phrase.PhraseGain[f];
  }
  kernels.ReplayVoices(voices, blockLength);
  kernels.AddVoices(voices, phrase.PhraseHighBand.data(), blockLength, voice);
}

}  // namespace

void SynthesizeBlock(SynthState& st, VoicePool& pool, const SynthInputs& in, int16_t* out, int blockLength) {
  // The vector path holds for the whole block.
  const SimdPath path = ActiveSimdPath();
  if (path == SimdPath::kPlain) {
    PlainBlock(st, pool, in, out, blockLength);
    return;
  }
  const VoiceKernels& kernels = VoiceKernelsFor(path);
  BlockVoices voices;
  BlockRow excitation;
  BlockRow voice;
  CollectVoices(st, pool, in, blockLength, voices);
  ExciteBlock(kernels, st, in, voices, blockLength, excitation);
  if (in.PhraseReplay) {
    ReplayVoices(kernels, in.Phrase, voices, blockLength, voice);
  } else if (voices.Count > 0) {
    // Stage 2, live path.
    kernels.LiveVoice(st, pool.Voices[0], in.Frame, excitation, blockLength, voice);
  } else {
    // No voice sounds: the filters ring out on the last sounding block's set.
    RingOutVoice(st, pool.Voices[0], blockLength, voice);
  }
  // The output level scales the song before the echo and the saturation, so
  // the echo repeats what is heard and the level moves the clip point; at
  // 0 dB the samples are left untouched.
  if (in.Params.OutputLevelDb != 0) {
    const double gain = OutputGain(in.Params.OutputLevelDb);
    for (int n = 0; n < blockLength; ++n) voice[n] = voice[n] * gain;
  }
  // Stage 3, the output stage; the echo delay is worked out once per block.
  kernels.OutputStage(st, MsToSamples(in.Params.EchoDelayMs), static_cast<double>(in.Params.EchoLevel), voice,
                      blockLength, out);
  KeepRingOut(st, in, voices.Count > 0);
  AdvanceExpression(st, pool, in.Params, blockLength);
  if (in.PhraseReplay) AdvancePhraseFrames(pool);
}

void RingOutVoice(SynthState& st, VoiceSlot& slot0, int blockLength, double* voice) {
  double* s = st.LiveLatticeState.data();
  for (int n = 0; n < blockLength; ++n) {
    const double x = FilterSample(VoiceBandCoefficients, slot0.PreFilterState, 0.0);
    const double y = LatticeFilter(x, st.RingReflection.data(), s);
    voice[n] = FilterSample(VoiceBandCoefficients, slot0.PostFilterState, y) * st.RingGain;
  }
}

void AdvancePhraseFrames(VoicePool& pool) {
  for (auto& v : pool.Voices) {
    v.FrameIndex = v.FrameIndex + 1;
    if (v.FrameIndex == kPhraseFrames) {
      v.Finished = true;
      v.FrameIndex = 0;
    }
  }
}

double OutputGain(int32_t levelDb) {
  if (levelDb == 0) return 1.0;
  return std::pow(10.0, static_cast<double>(levelDb) / 20.0);
}

void CarryReflection(SynthState& st, const FrameAnalysis& frame) { st.PrevReflection = frame.Reflection; }

}  // namespace sorvane
