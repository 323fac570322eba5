// SPDX-License-Identifier: GPL-3.0-or-later
// The voices' vector kernels, one set per vector path. Each set is built
// from the same source (VoiceLanes.inc) for its lane width: two doubles for
// SSE2, four for AVX2 and for AVX-512 (which adds a one-step lattice guard).
// Every lane does exactly the scalar operations in the scalar order, so all
// sets give the same bits.
#pragma once

#include "dsp/SimdPath.h"
#include "synth/Synth.h"

namespace sorvane {

struct VoiceKernels {
  // See LatticeVoices in Synth.h.
  void (*LatticeVoices)(int count, const double* const* x, double* const* y, int length, const double* const* a,
                        const double* const* diff, double* const* s);
  // The live voice: the summed excitation through slot 0's band-pass, the
  // lattice gliding from PrevReflection to Reflection, slot 0's second
  // band-pass times the gain; plus the input's high band while a voice sounds.
  void (*LiveVoice)(SynthState& st, VoiceSlot& slot0, const FrameAnalysis& frame, bool anyActive,
                    const double* excitation, int blockLength, double* voice);
  // The oscillators of the block: slot c sounds where active[c], with its
  // amplitude and period; factor[n] is the vibrato step of sample n. Replay:
  // row c of `excitation` gets slot c's own excitation (0 for a silent
  // slot); live: row 0 gets the sum over the sounding slots in slot order.
  // Advances the sounding slots' Phase and PulseAmp.
  void (*ExciteVoices)(VoicePool& pool, const bool* active, const double* amplitude, const double* period,
                       int32_t waveform, const double* factor, int length, bool replay,
                       double (*excitation)[kMaxBlockSamples]);
  // The band-pass of `count` phrase voices side by side: y[c][n] is x[c][n]
  // through VoiceBandCoefficients with state w[c], times gain[c].
  void (*BandPassVoices)(int count, const double* const* x, double* const* y, int length,
                         FilterState* const* w, const double* gain);
  // The output stage: the feedback echo on the stored (limited,
  // untruncated) output values, the flush, the saturation to 16 bits;
  // `level` is EchoLevel. Advances EchoPos.
  void (*OutputStage)(SynthState& st, int32_t echoDelay, double level, const double* voice, int length,
                      int16_t* out);
  // One phrase voice into the sum: voice[n] = (voice[n] + row[n]) plus the
  // phrase's high band at `position`, which advances by `length` and wraps.
  void (*AddVoice)(double* voice, const double* row, const double* highBand, int32_t& position, int length);
};

// The set for a path; the path must be one the processor runs.
const VoiceKernels& VoiceKernelsFor(SimdPath path);

}  // namespace sorvane
