// SPDX-License-Identifier: GPL-3.0-or-later
// Per-block analysis of the live voice: the band levels that steer the
// excitation gain, the high band that is added back to the output, and the
// reflection coefficients of the last 40 ms. The analyser keeps its own
// state between blocks and hands each block's result forward in a
// FrameAnalysis; later stages read only that record.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "dsp/AudioFormat.h"
#include "dsp/Filter.h"
#include "dsp/Lpc.h"

namespace sorvane {

inline constexpr double kMinExcitationGain = 0.015625;  // 1/64, -36 dB

// The result of analysing one block, as the synthesis and the phrase
// capture use it. The engine keeps the last one until the next analysis.
struct FrameAnalysis {
  Coefficients Reflection;                          // k[0] is never written and stays 0
  double Amplitude;                                 // sqrt(e[26]), 0 when e[26] < 0
  double ExcitationGain;                            // one of 1, 1/2, ..., 1/64
  std::array<double, kBlockSamples> HighBandBlock;  // the block above 3.5 kHz
  double FrameEnergy;                               // r[0] of the 880-sample frame (normalised by 880)
};
static_assert(std::is_trivially_copyable_v<FrameAnalysis>);

// Everything the live analysis keeps between blocks, and its scratch.
// Zero-initialised except ExcitationGain, which starts at 1.
struct AnalysisState {
  std::array<std::array<int16_t, kBlockSamples>, kFrameBlocks> AnalysisRing;
  int32_t RingIndex;          // slot of the newest block
  int32_t EmphasisPrevious;   // last raw sample seen while emphasis was on
  double BandPrevious;        // last raw sample, for the low band's difference
  FilterState HighBandState;  // HighBandCoefficients on the raw samples
  FilterState LowBandState;   // LowBandCoefficients on the first differences
  std::array<double, kFrameLength> AnalysisFrame;
  std::array<double, kCoefficientCount> r;
  std::array<double, kCoefficientCount> e;
  double ExcitationGain;  // the gain as last updated
};
static_assert(std::is_trivially_copyable_v<AnalysisState>);

// The state as the engine creates it, and the result as it stands before
// the first block: zero coefficients and amplitude, gain 1.
void ResetAnalysis(AnalysisState& state, FrameAnalysis& frame);

// Doubles the gain while 2·low >= high (capped at 1), else halves it
// (floored at 1/64). Returns the updated gain.
double UpdateExcitationGain(double gain, double lowLevel, double highLevel);

// The levels (root mean square over the block) of the two bands.
struct BandLevels {
  double High;
  double Low;
};

// The band split of one block of 220 raw samples x: the high band of x and
// the low band of its first difference (continued from bandPrevious, which
// is left at x[219]). Writes the 220 high-band values to highBand.
BandLevels SplitBands(double& bandPrevious, FilterState& high, FilterState& low, const int16_t* x, double* highBand);

// The Hann-windowed frame of four blocks of 220 samples, oldest first:
// frame[220·b + j] = blocks[b][j] · HannWindow[220·b + j].
void WindowBlocks(const int16_t* const* blocks, double* frame);

// Analyses one captured block of 220 samples into frame. `emphasis` stores
// first differences (16-bit wrap-around) in the ring instead of raw samples.
void AnalyseBlock(AnalysisState& state, const int16_t* block, bool emphasis, FrameAnalysis& frame);

}  // namespace sorvane
