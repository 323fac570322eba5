// SPDX-License-Identifier: GPL-3.0-or-later
// The synthesis of one output block: excitation oscillators with the shared
// vibrato, the all-pole lattice with gliding coefficients, the band-pass,
// gain, high band, echo and the saturation to 16 bits.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "dsp/FrameAnalyser.h"
#include "phrase/PhraseTables.h"
#include "synth/Voices.h"

namespace sorvane {

inline constexpr int kModFactorCount = 201;  // offsets -100..+100
inline constexpr int kModFactorCentre = 100;
static_assert(kModFactorCount == 2 * kModFactorCentre + 1);
// The echo delay ranges over 50..200 ms; the buffer holds the longest.
inline constexpr int kMinEchoDelayMs = 50;
inline constexpr int kMaxEchoDelayMs = 200;
inline constexpr int kEchoBufferLength = MsToSamples(kMaxEchoDelayMs);
static_assert(kEchoBufferLength == 4410);
inline constexpr double kLatticeLimit = 262144.0;  // 2^18
inline constexpr double kSampleLimit = 32767.0;
// Every block's glide runs by n / 220, whatever its length.
inline constexpr double kGlideSteps = kBlockSamples;

enum Waveform : int32_t { kImpulse = 0, kSawtooth = 1, kSquare = 2 };

// Pitch bend: the MIDI value, -8192..8191 with 0 at rest, bends by
// value / 8192 of the range, both ways.
inline constexpr int32_t kMinPitchBend = -8192;
inline constexpr int32_t kMaxPitchBend = 8191;
inline constexpr double kPitchBendScale = 8192.0;
inline constexpr int32_t kMinBendRange = 1;
inline constexpr int32_t kMaxBendRange = 12;
inline constexpr int32_t kDefaultBendRange = 2;
inline constexpr int32_t kMaxGlideMs = 1000;

// The settings that the control panel writes and the engine reads.
struct EngineParams {
  int32_t Waveform;  // 0 impulse, 1 sawtooth, 2 square
  int32_t Octave;    // 0 "Ultra Low" .. 3 "High"
  int32_t ModDepth;  // 0..100
  int32_t ModRate;   // 1..20 Hz
  bool ModAlwaysOn;
  int32_t EchoLevel;          // 0..100
  int32_t EchoDelayMs;        // 50..200
  int32_t OutputLevelDb = 0;  // kOutputLevelMinDb..kOutputLevelMaxDb; 0 leaves the song as it is
  // Expression, at rest by default: the pitch bend's full swing in
  // semitones, the glide (portamento) time, and whether a note's velocity
  // sets its level.
  int32_t BendRange = kDefaultBendRange;  // kMinBendRange..kMaxBendRange
  int32_t GlideMs = 0;                    // 0 (no glide)..kMaxGlideMs
  bool VelocityOn = false;
};
static_assert(std::is_trivially_copyable_v<EngineParams>);

// The output level's range, in 1-dB steps.
inline constexpr int32_t kOutputLevelMinDb = -24;
inline constexpr int32_t kOutputLevelMaxDb = 6;

// The song's gain at levelDb: 10^(dB/20); exactly 1 at 0 dB.
double OutputGain(int32_t levelDb);

// Two switches the engine reads straight from their controls.
struct PanelSwitches {
  bool TriangleShape;  // RadioButton1 checked; else the square vibrato
  bool Emphasis;       // CheckBox1 checked
};

// What the synthesis keeps from block to block, and its tables.
struct SynthState {
  int32_t ModCounter;
  std::array<double, kModFactorCount> ModFactorTable;
  PitchTables Pitch;
  Coefficients PrevReflection;  // start of the live glide: the last block's Reflection
  // The live lattice's ring-out: the Reflection set and ExcitationGain of
  // the last live block that had a sounding voice. A live block without one
  // runs the lattice on these, held, so that the residue left by the last
  // note only decays; driven by each new frame's set and gain, it could
  // build up again to full scale while nobody plays. Zero until the first
  // such block.
  Coefficients RingReflection;
  double RingGain;
  std::array<double, kCoefficientCount> LiveLatticeState;
  std::array<double, kEchoBufferLength> EchoBuffer;
  int32_t EchoPos;
  // The pitch bend (kMinPitchBend..kMaxPitchBend, 0 at rest) the engine's
  // thread sets, and the bend the last synthesised block ended on: a block
  // moves from that to this, so a bend never jumps.
  int32_t PitchBend;
  int32_t BlockBend;
};
static_assert(std::is_trivially_copyable_v<SynthState>);

// Element i = 1 / 2^(((i - 100) / 100) / 4), in extended precision.
void BuildModFactorTable(std::array<double, kModFactorCount>& table);

// Zeroes the state and builds its tables.
void ResetSynth(SynthState& state);

// The per-sample lattice guard: |v| < 1e-15 (or NaN) gives 0, else ±2^18 limits.
// The common case, a value inside the limits, is tested first, in one
// unsigned range test on the bits (the magnitudes of doubles order like
// their bit patterns; NaN and infinity fall outside), and costs the
// lattice's chain nothing once predicted.
inline double LatticeGuard(double v) {
  constexpr uint64_t kLow = std::bit_cast<uint64_t>(kFlushLimit);
  constexpr uint64_t kHigh = std::bit_cast<uint64_t>(kLatticeLimit);
  const uint64_t magnitude = std::bit_cast<uint64_t>(v) & 0x7fffffffffffffffULL;
  if (__builtin_expect(magnitude - kLow <= kHigh - kLow, 1)) return v;
  if (!(std::fabs(v) >= kFlushLimit)) return 0.0;
  return v > 0.0 ? kLatticeLimit : -kLatticeLimit;
}

// Stage j of the lattice on any value type T (a double, or voices side by
// side in vector lanes): the forward value x becomes x - k·s guarded, and
// the stage's backward value k·x + s, guarded, is returned for the caller
// to store as s[j + 1]. guard is the lattice guard on T. Always inlined,
// so that on lanes it takes the caller's vector instructions.
template <typename T, typename Guard>
inline __attribute__((always_inline)) T LatticeStage(T& x, T k, T s, Guard guard) {
  x = guard(x - k * s);
  return guard(k * x + s);
}

// One lattice pass on x with coefficients k and backward state s: the
// stages from 26 down to 0, so that stage j reads s[j] before stage j - 1
// overwrites it with this sample's backward value. Returns the output,
// which is also left in s[0].
inline double LatticeFilter(double x, const double* k, double* s) {
  for (int j = kLpcOrder; j >= 0; --j) {
    const double g = LatticeStage(x, k[j], s[j], LatticeGuard);
    if (j < kLpcOrder) s[j + 1] = g;
  }
  s[0] = -x;
  return s[0];
}

// Clamps out to ±32767 in double; the sample is its truncation toward zero.
struct Saturated {
  double Value;
  int16_t Sample;
};
inline Saturated Saturate(double out) {
  if (out > kSampleLimit) return {kSampleLimit, 32767};
  if (out < -kSampleLimit) return {-kSampleLimit, -32767};
  return {out, static_cast<int16_t>(out)};
}

struct SynthInputs {
  const EngineParams& Params;
  const PanelSwitches& Switches;
  bool CtrlHeld;
  bool PhraseReplay;           // false: live path
  const FrameAnalysis& Frame;  // live path: Reflection, Amplitude, gain, high band
  const PhraseStore& Phrase;   // replay path
};

// k[j] = ((B[j] - A[j]) × n) / 220 + A[j], with diff = B - A worked out once.
inline void GlideCoefficients(const double* a, const double* diff, int n, double* k) {
  const double step = static_cast<double>(n);
  for (int j = 0; j < kCoefficientCount; ++j) {
    k[j] = (diff[j] * step) / kGlideSteps + a[j];
  }
}

// diff = B - A, once per block.
inline void Difference(const double* a, const double* b, double* diff) {
  for (int j = 0; j < kCoefficientCount; ++j) diff[j] = b[j] - a[j];
}

// What the vibrato needs from the settings, which hold for a whole block.
struct VibratoSettings {
  int32_t LfoPeriod;  // kSampleRate / ModRate
  int32_t Depth;      // ModDepth
  bool Triangle;      // TriangleShape
  bool Gated;         // neither Ctrl held nor "always on": no effect
};

inline VibratoSettings Vibrato(const SynthInputs& in) {
  return {kSampleRate / in.Params.ModRate, in.Params.ModDepth, in.Switches.TriangleShape,
          !in.CtrlHeld && !in.Params.ModAlwaysOn};
}

// The vibrato's phase increment for the next sample; advances counter
// (ModCounter).
inline double ModulationFactor(int32_t& counter, const VibratoSettings& vib,
                               const std::array<double, kModFactorCount>& table) {
  const int32_t lfoPeriod = vib.LfoPeriod;
  counter = counter + 1;
  if (counter >= lfoPeriod) counter = 0;
  double factor;
  if (vib.Triangle) {
    const double position = static_cast<double>(counter) / static_cast<double>(lfoPeriod);
    const double offset = ((std::fabs(position - 0.5) - 0.25) * static_cast<double>(vib.Depth)) * 4.0;
    int32_t v = static_cast<int32_t>(offset);  // toward zero
    if (v > 100) v = 100;
    if (v < -100) v = -100;
    factor = table[v + kModFactorCentre];
  } else if (counter < lfoPeriod / 2) {
    factor = table[kModFactorCentre];
  } else {
    factor = table[kModFactorCentre - vib.Depth];
  }
  // The gate: the oscillator runs on, but its effect needs Ctrl or "always on".
  if (vib.Gated) factor = table[kModFactorCentre];
  return factor;
}

// The vibrato's phase increment for this sample; advances ModCounter.
inline double ModulationStep(SynthState& st, const SynthInputs& in) {
  return ModulationFactor(st.ModCounter, Vibrato(in), st.ModFactorTable);
}

// What scales a sounding voice's phase step over a block, for the pitch
// bend and the voice's glide: sample n's step is factor × (Start + Slope ×
// n), moving in a straight line from the block's first multiplier to its
// last. At rest Start is exactly 1 and Slope 0, which leaves every step as
// it was.
struct StepRamp {
  double Start;
  double Slope;
};

// The ramp of slot's voice over a block of blockLength samples: from the
// bend the last block ended on to PitchBend, and along the slot's glide (a
// straight line in semitones over GlideMs, so the frequency moves
// exponentially) from its elapsed samples to blockLength more.
StepRamp VoiceStepRamp(const SynthState& state, const VoicePool& pool, const EngineParams& params, int slot,
                       int blockLength);

// The level of slot's excitation: its velocity / 127 with velocity on,
// exactly 1 at 127 and with velocity off.
inline double VoiceLevel(const VoicePool& pool, const EngineParams& params, int slot) {
  const int32_t velocity = pool.Velocities[slot];
  if (!params.VelocityOn || velocity <= 0) return 1.0;
  return static_cast<double>(velocity) / static_cast<double>(kFullVelocity);
}

// The end of every synthesised block: the block's bend becomes where the
// next starts, and the glides of the sounding voices move on by the block.
void AdvanceExpression(SynthState& state, VoicePool& pool, const EngineParams& params, int blockLength);

// Advances one voice's oscillator and returns its excitation contribution
// added to e (the running sum, or 0 for a separate phrase voice).
inline double Oscillate(VoiceSlot& v, int32_t waveform, double a, double period, double factor, double e) {
  v.Phase = v.Phase + factor;
  bool wrapped = false;
  if (v.Phase >= period) {
    v.Phase = v.Phase - period;
    wrapped = true;
  }
  switch (waveform) {
    case kImpulse:
      if (wrapped) v.PulseAmp = a * 20.0;
      e = e + v.PulseAmp;
      v.PulseAmp = v.PulseAmp * 0.75;
      break;
    case kSawtooth:
      if (wrapped) v.PulseAmp = a * 5.0;
      e = e + (v.Phase / period - 0.5) * v.PulseAmp;
      break;
    default:
      if (wrapped) v.PulseAmp = a * 1.0;
      if (v.Phase < period / 2.0) {
        e = e + v.PulseAmp;
      } else {
        e = e - v.PulseAmp;
      }
      break;
  }
  return e;
}

// Renders blockLength (198, 220 or 242) samples into out on the active
// vector path: the plain path's PlainBlock, or vector kernels in stages
// that each run over the whole block (the excitation of every voice; the
// live voice or the replayed voices; the output stage) with exactly its
// bits. After a replayed block every slot's FrameIndex advances.
void SynthesizeBlock(SynthState& state, VoicePool& pool, const SynthInputs& in, int16_t* out, int blockLength);

// The block one sample at a time, straight from the formulas: the vibrato
// step, every sounding slot's oscillator, the live voice (band-pass,
// lattice, band-pass times the gain, high band) or each phrase voice
// (lattice, band-pass times its frame's gain, its high band) added in slot
// order, the output level, the echo, the flush and the saturation.
void PlainBlock(SynthState& state, VoicePool& pool, const SynthInputs& in, int16_t* out, int blockLength);

// After a replayed block: every slot moves on one phrase frame; one that has
// played the last frame is finished.
void AdvancePhraseFrames(VoicePool& pool);

// The end of every block that was handed to the playback device, whatever
// the phrase mode: the analysed set becomes the start of the next glide.
void CarryReflection(SynthState& state, const FrameAnalysis& frame);

// The end of every synthesised block: a live block with a sounding voice
// leaves its set and gain for the ring-out of the blocks without one.
inline void KeepRingOut(SynthState& state, const SynthInputs& in, bool anyActive) {
  if (in.PhraseReplay || !anyActive) return;
  state.RingReflection = in.Frame.Reflection;
  state.RingGain = in.Frame.ExcitationGain;
}

// The live voice of a block without a sounding voice: slot 0's first
// band-pass on its zero input, the lattice on the held ring-out set, the
// second band-pass times the held gain.
void RingOutVoice(SynthState& state, VoiceSlot& slot0, int blockLength, double* voice);

}  // namespace sorvane
