// The synthesis of one output block: excitation oscillators with the shared
// vibrato, the all-pole lattice with gliding coefficients, the band-pass,
// gain, high band, echo and the saturation to 16 bits.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "dsp/FrameAnalyser.h"
#include "phrase/PhraseStore.h"
#include "synth/Voices.h"

namespace sorvane {

inline constexpr int kSampleRate = 22050;
inline constexpr int kModFactorCount = 201;          // offsets -100..+100
inline constexpr int kModFactorCentre = 100;
inline constexpr int kEchoBufferLength = 200 * kSampleRate / 1000;  // 200 ms
static_assert(kEchoBufferLength == 4410);
inline constexpr double kLatticeLimit = 262144.0;    // 2^18
inline constexpr double kSampleLimit = 32767.0;
inline constexpr int kGlideSteps = 220;              // glide fraction is n / 220
inline constexpr int kMaxBlockSamples = 242;         // 220 + 10 %

enum Waveform : int32_t { kImpulse = 0, kSawtooth = 1, kSquare = 2 };

// The settings that the control panel writes and the engine reads.
struct EngineParams {
  int32_t Waveform;     // 0 impulse, 1 sawtooth, 2 square
  int32_t Octave;       // 0 "Ultra Low" .. 3 "High"
  int32_t ModDepth;     // 0..100
  int32_t ModRate;      // 1..20 Hz
  bool ModAlwaysOn;
  int32_t EchoLevel;    // 0..100
  int32_t EchoDelayMs;  // 50..200
};
static_assert(std::is_trivially_copyable_v<EngineParams>);

// Two switches the engine reads straight from their controls.
struct PanelSwitches {
  bool TriangleShape;  // RadioButton1 checked; else the square vibrato
  bool Emphasis;       // CheckBox1 checked
};

struct SynthState {
  int32_t ModCounter;
  std::array<double, kModFactorCount> ModFactorTable;
  PitchTables Pitch;
  Coefficients PrevReflection;
  std::array<double, kCoefficientCount> LiveLatticeState;
  std::array<double, kEchoBufferLength> EchoBuffer;
  int32_t EchoPos;
  int32_t EchoDelay;  // samples, worked out once per block
  std::array<double, kVoiceCount> VoiceExcitation;
};
static_assert(std::is_trivially_copyable_v<SynthState>);

// Element i = 1 / 2^(((i - 100) / 100) / 4), in extended precision.
void BuildModFactorTable(std::array<double, kModFactorCount>& table);

// Zeroes the state and builds its tables.
void ResetSynth(SynthState& state);

// The per-sample lattice guard: |v| < 1e-15 (or NaN) gives 0, else ±2^18 limits.
inline double LatticeGuard(double v) {
  if (!(std::fabs(v) >= kFlushLimit)) return 0.0;
  if (v > kLatticeLimit) return kLatticeLimit;
  if (v < -kLatticeLimit) return -kLatticeLimit;
  return v;
}

// One lattice pass on x with coefficients k and backward state s. Returns
// the output, which is also left in s[0].
double LatticeFilter(double x, const double* k, double* s);

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
  bool PhraseReplay;              // false: live path
  const AnalysisState& Analysis;  // live path: Reflection, Amplitude, gain, high band
  const PhraseStore& Phrase;      // replay path
};

// Renders blockLength (198, 220 or 242) samples into out. On the replay path
// it also advances every slot's FrameIndex at the end of the block.
void SynthesizeBlock(SynthState& state, VoicePool& pool, const SynthInputs& in, int16_t* out,
                     int blockLength);

}  // namespace sorvane
