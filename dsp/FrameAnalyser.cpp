// SPDX-License-Identifier: GPL-3.0-or-later
// Live frame analysis.
#include "dsp/FrameAnalyser.h"

#include <cmath>
#include <emmintrin.h>

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

namespace {

// The two band filters side by side in the two lanes of a vector (SSE2,
// which every x86-64 processor has): lane 0 the high band, lane 1 the low
// band. Each lane does exactly FilterSample's operations in its order.
typedef double Pair __attribute__((vector_size(16)));
typedef long long PairMask __attribute__((vector_size(16)));

// Flush on both lanes. Almost always both values pass: one predicted
// branch then keeps the mask off the filters' recurrences.
inline Pair FlushPair(Pair v) {
  const Pair magnitude = reinterpret_cast<Pair>(reinterpret_cast<PairMask>(v) & 0x7fffffffffffffffLL);
  const PairMask keep = magnitude >= Pair{kFlushLimit, kFlushLimit};  // false for NaN
  if (__builtin_expect(_mm_movemask_pd(reinterpret_cast<__m128d>(keep)) == 3, 1)) return v;
  return reinterpret_cast<Pair>(reinterpret_cast<PairMask>(v) & keep);
}

}  // namespace

BandLevels SplitBands(double& bandPrevious, FilterState& high, FilterState& low, const int16_t* x,
                      double* highBand) {
  Pair c[16];
  for (int i = 0; i < 16; ++i) c[i] = Pair{HighBandCoefficients.c[i], LowBandCoefficients.c[i]};
  Pair w[6];
  for (int i = 0; i < 6; ++i) w[i] = Pair{high.w[i], low.w[i]};
  Pair sums = {0.0, 0.0};
  for (int i = 0; i < kBlockSamples; ++i) {
    const double sample = x[i];
    const double d = sample - bandPrevious;
    bandPrevious = sample;
    const Pair in = {sample, d};
    // FilterSample's three sections.
    Pair v = c[0] * in + c[1] * w[0] + c[2] * w[1];
    v = FlushPair(v);
    Pair y = c[3] * v + c[4] * w[0] + c[5] * w[1];
    y = FlushPair(y);
    w[1] = w[0];
    w[0] = v;
    v = c[6] * w[2] + y + c[7] * w[3];
    v = FlushPair(v);
    y = c[8] * v + c[9] * w[2] + c[10] * w[3];
    y = FlushPair(y);
    w[3] = w[2];
    w[2] = v;
    v = c[11] * w[4] + y + c[12] * w[5];
    v = FlushPair(v);
    y = c[13] * v + c[14] * w[4] + c[15] * w[5];
    y = FlushPair(y);
    w[5] = w[4];
    w[4] = v;
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
  const BandLevels levels =
      SplitBands(s.BandPrevious, s.HighBandState, s.LowBandState, x, frame.HighBandBlock.data());

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
