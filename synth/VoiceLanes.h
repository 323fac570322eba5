// SPDX-License-Identifier: GPL-3.0-or-later
// The voices' vector kernels, one set per vector path, each built from the
// same source (VoiceKernels.h) for its lane width: two doubles for SSE2,
// four for AVX2 and for AVX-512 (which adds a one-step lattice guard).
// Every lane does exactly PlainBlock's operations in its order, so every
// set gives its bits.
#pragma once

#include "dsp/SimdPath.h"
#include "synth/Synth.h"

namespace sorvane {

// One sounding voice of a block.
struct BlockVoice {
  VoiceSlot* Slot;
  double Amplitude;  // of its excitation
  double Period;     // its pitch period, in samples
  StepRamp Step;     // what scales its phase step (bend, glide)
  // Replay: the lattice glides from Start (its frame's set) by Diff (the
  // next frame's set less Start); the band-pass output is times Gain.
  const double* Start;
  double Diff[kCoefficientCount];
  double Gain;
};

// The sounding voices of a block in slot order, with a row of per-sample
// values each: its excitation, then (replay) the voice it gives.
struct BlockVoices {
  int Count;
  BlockVoice Voice[kVoiceCount];
  double Row[kVoiceCount][kMaxBlockSamples];
};

struct VoiceKernels {
  // The oscillators over the block; factor[n] is the vibrato step of
  // sample n, which each voice's Step ramp scales. With sum, sum[n] gets
  // the voices' excitation added in slot order; without, each voice's row
  // gets its own. Advances each voice's Phase and PulseAmp.
  void (*Excite)(BlockVoices& voices, int32_t waveform, const double* factor, int length, double* sum);
  // Replay: each voice's row through its lattice (state in its slot) and
  // its slot's band-pass times Gain, in place.
  void (*ReplayVoices)(BlockVoices& voices, int length);
  // Replay: voice[n] = (voice[n] + row[n]) + the phrase's high band at the
  // slot's HighBandPos, voice by voice in slot order; the positions advance.
  void (*AddVoices)(BlockVoices& voices, const double* highBand, int length, double* voice);
  // The live voice while a voice sounds: excitation through slot 0's
  // band-pass, the lattice gliding from PrevReflection to Reflection, slot
  // 0's second band-pass times the gain, plus the input's high band.
  void (*LiveVoice)(SynthState& st, VoiceSlot& slot0, const FrameAnalysis& frame, const double* excitation, int length,
                    double* voice);
  // The output stage: the feedback echo on the stored (limited,
  // untruncated) output values, the flush, the saturation to 16 bits;
  // `level` is EchoLevel. Advances EchoPos.
  void (*OutputStage)(SynthState& st, int32_t echoDelay, double level, const double* voice, int length, int16_t* out);
};

// The set for a vector path (not the plain one) that the processor runs.
const VoiceKernels& VoiceKernelsFor(SimdPath path);

}  // namespace sorvane
