// Per-block analysis of the live voice: the band levels that steer the
// excitation gain, the high band that is added back to the output, and the
// reflection coefficients of the last 40 ms.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "dsp/Filter.h"
#include "dsp/Lpc.h"

namespace sorvane {

inline constexpr int kBlockSamples = 220;  // one capture block, 10 ms at 22050 Hz
inline constexpr int kRingBlocks = kFrameLength / kBlockSamples;
static_assert(kRingBlocks * kBlockSamples == kFrameLength);

inline constexpr double kMinExcitationGain = 0.015625;  // 1/64, -36 dB

// Everything the live analysis keeps between blocks. Zero-initialised except
// ExcitationGain, which starts at 1.
struct AnalysisState {
  std::array<std::array<int16_t, kBlockSamples>, kRingBlocks> AnalysisRing;
  int32_t RingIndex;          // slot of the newest block
  int32_t EmphasisPrevious;   // last raw sample seen while emphasis was on
  double BandPrevious;        // last raw sample, for the low band's difference
  FilterState HighBandState;  // HighBandCoefficients on the raw samples
  FilterState LowBandState;   // LowBandCoefficients on the first differences
  std::array<double, kFrameLength> AnalysisFrame;
  std::array<double, kCoefficientCount> r;
  std::array<double, kCoefficientCount> e;
  Coefficients Reflection;
  std::array<double, kBlockSamples> HighBandBlock;
  std::array<double, kBlockSamples> LowBandBlock;
  double ExcitationGain;
  double Amplitude;  // of the last analysed block
};
static_assert(std::is_trivially_copyable_v<AnalysisState>);

// The state as the engine creates it.
void ResetAnalysis(AnalysisState& state);

// Doubles the gain while 2·low >= high (capped at 1), else halves it
// (floored at 1/64). Returns the updated gain.
double UpdateExcitationGain(double gain, double lowLevel, double highLevel);

// Analyses one captured block of 220 samples. `emphasis` stores first
// differences (16-bit wrap-around) in the ring instead of raw samples.
FrameAnalysis AnalyseBlock(AnalysisState& state, const int16_t* block, bool emphasis);

}  // namespace sorvane
