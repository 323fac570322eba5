// SPDX-License-Identifier: GPL-3.0-or-later
// Live frame analysis.
#include "dsp/FrameAnalyser.h"

#include <cmath>

namespace sorvane {

void ResetAnalysis(AnalysisState& state, FrameAnalysis& frame) {
  state = {};
  state.ExcitationGain = 1.0;
  frame = {};
  frame.ExcitationGain = state.ExcitationGain;
}

double UpdateExcitationGain(double gain, double lowLevel, double highLevel) {
  if (2.0 * lowLevel >= highLevel) {
    gain = gain * 2.0;
    if (gain > 1.0) gain = 1.0;
  } else {
    gain = gain / 2.0;
    if (gain < kMinExcitationGain) gain = kMinExcitationGain;
  }
  return gain;
}

BandLevels SplitBands(double& bandPrevious, FilterState& high, FilterState& low, const int16_t* x, double* highBand) {
  // The two band filters side by side: lane 0 the high band, lane 1 the
  // low band.
  FilterPairLanes c[16];
  for (int i = 0; i < 16; ++i) c[i] = FilterPairLanes{HighBandCoefficients.c[i], LowBandCoefficients.c[i]};
  FilterPairLanes w[6];
  for (int i = 0; i < 6; ++i) w[i] = FilterPairLanes{high.w[i], low.w[i]};
  FilterPairLanes sums = {0.0, 0.0};
  for (int i = 0; i < kBlockSamples; ++i) {
    const double sample = x[i];
    const double d = sample - bandPrevious;
    bandPrevious = sample;
    const FilterPairLanes y = CascadeSample(c, w, FilterPairLanes{sample, d}, FlushPair);
    highBand[i] = y[0];
    sums = sums + y * y;
  }
  for (int i = 0; i < 6; ++i) {
    high.w[i] = w[i][0];
    low.w[i] = w[i][1];
  }
  constexpr double n = kBlockSamples;
  return {std::sqrt(sums[0] / n), std::sqrt(sums[1] / n)};
}

void WindowBlocks(const int16_t* const* blocks, double* frame) {
  const HannTable& w = HannWindow();
  for (int b = 0; b < kFrameBlocks; ++b) {
    for (int j = 0; j < kBlockSamples; ++j) {
      const int i = kBlockSamples * b + j;
      frame[i] = static_cast<double>(blocks[b][j]) * w[i];
    }
  }
}

void AnalyseBlock(AnalysisState& s, const int16_t* x, bool emphasis, FrameAnalysis& frame) {
  const BandLevels levels = SplitBands(s.BandPrevious, s.HighBandState, s.LowBandState, x, frame.HighBandBlock.data());

  s.RingIndex = s.RingIndex + 1;
  if (s.RingIndex == kFrameBlocks) s.RingIndex = 0;
  auto& slot = s.AnalysisRing[s.RingIndex];
  if (emphasis) {
    for (int i = 0; i < kBlockSamples; ++i) {
      // Formed and stored in 16-bit two's complement: out-of-range
      // differences wrap around.
      slot[i] = static_cast<int16_t>(static_cast<uint16_t>(x[i] - s.EmphasisPrevious));
      s.EmphasisPrevious = x[i];
    }
  } else {
    for (int i = 0; i < kBlockSamples; ++i) slot[i] = x[i];
  }

  // Oldest block first, so the newest block is the last quarter of the frame.
  const int16_t* blocks[kFrameBlocks];
  for (int b = 0; b < kFrameBlocks; ++b) blocks[b] = s.AnalysisRing[(s.RingIndex + 1 + b) % kFrameBlocks].data();
  WindowBlocks(blocks, s.AnalysisFrame.data());

  frame.Amplitude = PredictFrame(s.AnalysisFrame.data(), s.r.data(), s.e.data(), frame.Reflection.data());
  frame.FrameEnergy = s.r[0];
  s.ExcitationGain = UpdateExcitationGain(s.ExcitationGain, levels.Low, levels.High);
  frame.ExcitationGain = s.ExcitationGain;
}

}  // namespace sorvane
