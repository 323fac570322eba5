// Live frame analysis.
#include "dsp/FrameAnalyser.h"

#include <cmath>

namespace sorvane {

void ResetAnalysis(AnalysisState& state) {
  state = {};
  state.ExcitationGain = 1.0;
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

FrameAnalysis AnalyseBlock(AnalysisState& s, const int16_t* x, bool emphasis) {
  double highSum = 0.0;
  double lowSum = 0.0;
  for (int i = 0; i < kBlockSamples; ++i) {
    const double sample = x[i];
    const double d = sample - s.BandPrevious;
    s.BandPrevious = sample;
    const double h = FilterSample(HighBandCoefficients, s.HighBandState, sample);
    s.HighBandBlock[i] = h;
    highSum = highSum + h * h;
    const double l = FilterSample(LowBandCoefficients, s.LowBandState, d);
    s.LowBandBlock[i] = l;
    lowSum = lowSum + l * l;
  }
  const double highLevel = std::sqrt(highSum / 220.0);
  const double lowLevel = std::sqrt(lowSum / 220.0);

  s.RingIndex = s.RingIndex + 1;
  if (s.RingIndex == kRingBlocks) s.RingIndex = 0;
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
  const HannTable& w = HannWindow();
  for (int b = 0; b < kRingBlocks; ++b) {
    const auto& src = s.AnalysisRing[(s.RingIndex + 1 + b) % kRingBlocks];
    for (int j = 0; j < kBlockSamples; ++j) {
      const int i = kBlockSamples * b + j;
      s.AnalysisFrame[i] = static_cast<double>(src[j]) * w[i];
    }
  }

  Autocorrelate(s.AnalysisFrame.data(), kFrameLength, kLpcOrder, s.r.data());
  LevinsonDurbin(s.r.data(), kLpcOrder, s.Reflection.data(), s.e.data());
  const double e26 = s.e[kLpcOrder];
  s.Amplitude = e26 >= 0.0 ? std::sqrt(e26) : 0.0;
  s.ExcitationGain = UpdateExcitationGain(s.ExcitationGain, lowLevel, highLevel);

  FrameAnalysis result;
  result.Reflection = s.Reflection;
  result.Amplitude = s.Amplitude;
  result.ExcitationGain = s.ExcitationGain;
  return result;
}

}  // namespace sorvane
