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

void LatticeVoices(int count, const double* const* x, double* const* y, int length, const double* const* a,
                   const double* const* diff, double* const* s) {
  VoiceKernelsFor(ActiveSimdPath()).LatticeVoices(count, x, y, length, a, diff, s);
}

namespace {

// One row of per-sample values over a block.
using BlockRow = double[kMaxBlockSamples];

// Stage 1, the excitation of every sample of the block. It never depends on
// the filters, so the stages after it each run over the whole block. Live:
// row 0 holds the sum over the voices (the other rows are not used);
// replay: one row per slot, 0 for a slot without an active voice.
void ExciteBlock(const VoiceKernels& kernels, SynthState& st, VoicePool& pool, const SynthInputs& in,
                 bool anyActive, int blockLength, BlockRow* excitation) {
  if (!anyActive) {
    // No voice: ModCounter and the oscillators stand still.
    for (int i = 0; i < kVoiceCount; ++i) {
      for (int n = 0; n < blockLength; ++n) excitation[i][n] = 0.0;
    }
    return;
  }
  const bool replay = in.PhraseReplay;
  // Which slots sound, their amplitudes and periods hold for the whole block.
  bool active[kVoiceCount];
  double amplitude[kVoiceCount];
  double period[kVoiceCount];
  for (int i = 0; i < kVoiceCount; ++i) {
    active[i] = IsVoiceActive(pool, i);
    amplitude[i] = 0.0;
    period[i] = 0.0;
    if (!active[i]) continue;
    amplitude[i] = replay ? in.Phrase.PhraseAmplitude[pool.Voices[i].FrameIndex] : in.Frame.Amplitude;
    period[i] = NotePeriod(st.Pitch, pool.VoiceKeys[i], in.Params.Octave);
  }
  // The vibrato does not depend on the voices: all its steps first, its
  // settings held for the block and its counter in a register.
  double factor[kMaxBlockSamples];
  const VibratoSettings vib = Vibrato(in);
  int32_t counter = st.ModCounter;
  for (int n = 0; n < blockLength; ++n) factor[n] = ModulationFactor(counter, vib, st.ModFactorTable);
  st.ModCounter = counter;
  kernels.ExciteVoices(pool, active, amplitude, period, in.Params.Waveform, factor, blockLength, replay, excitation);
}

// Stage 2, replay path: one lattice per active slot, gliding from its
// frame's set toward the next frame's, through the slot's band-pass times
// the frame's gain, plus the slot's own phrase high band. The voices are
// added in slot order.
void ReplayVoices(const VoiceKernels& kernels, VoicePool& pool, const PhraseStore& phrase,
                  const BlockRow* excitation, int blockLength, double* voice) {
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
  kernels.LatticeVoices(count, inputs, outputs, blockLength, starts, steps, states);
  // The band-pass times the gain, the voices side by side, in place.
  FilterState* filters[kVoiceCount];
  double gains[kVoiceCount];
  for (int c = 0; c < count; ++c) {
    VoiceSlot& v = pool.Voices[slots[c]];
    filters[c] = &v.PostFilterState;
    gains[c] = phrase.PhraseGain[v.FrameIndex];
  }
  kernels.BandPassVoices(count, outputs, outputs, blockLength, filters, gains);
  // Slot by slot, so each sample's sum still adds the voices in slot order.
  for (int c = 0; c < count; ++c) {
    VoiceSlot& v = pool.Voices[slots[c]];
    kernels.AddVoice(voice, lattice[c], phrase.PhraseHighBand.data(), v.HighBandPos, blockLength);
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
  // The vector path holds for the whole block.
  const VoiceKernels& kernels = VoiceKernelsFor(ActiveSimdPath());
  const bool anyActive = AnyVoiceActive(pool);
  BlockRow excitation[kVoiceCount];
  BlockRow voice;
  ExciteBlock(kernels, st, pool, in, anyActive, blockLength, excitation);
  if (in.PhraseReplay) {
    ReplayVoices(kernels, pool, in.Phrase, excitation, blockLength, voice);
  } else {
    // Stage 2, live path; it runs also without a voice, so the filters ring out.
    kernels.LiveVoice(st, pool.Voices[0], in.Frame, anyActive, excitation[0], blockLength, voice);
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
  if (in.PhraseReplay) AdvancePhraseFrames(pool);
}

double OutputGain(int32_t levelDb) {
  if (levelDb == 0) return 1.0;
  return std::pow(10.0, static_cast<double>(levelDb) / 20.0);
}

void CarryReflection(SynthState& st, const FrameAnalysis& frame) { st.PrevReflection = frame.Reflection; }

}  // namespace sorvane
