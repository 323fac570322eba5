// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>

#include "dsp/FrameAnalyser.h"
#include "tests/support/TestRandom.h"

namespace sorvane {
namespace {

using Block = std::array<int16_t, kBlockSamples>;

struct Analyser {
  std::unique_ptr<AnalysisState> State = std::make_unique<AnalysisState>();
  std::unique_ptr<FrameAnalysis> Frame = std::make_unique<FrameAnalysis>();
  Analyser() { ResetAnalysis(*State, *Frame); }
  FrameAnalysis Run(const Block& b, bool emphasis = false) {
    AnalyseBlock(*State, b.data(), emphasis, *Frame);
    return *Frame;
  }
};

Block Sine(double hz, double amplitude, int block) {
  Block b{};
  for (int i = 0; i < kBlockSamples; ++i) {
    const int n = block * kBlockSamples + i;
    b[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * n / 22050.0)));
  }
  return b;
}

TEST(AnalyseBlock, DigitalSilenceFromStartUp) {
  Analyser a;
  a.State->ExcitationGain = 0.125;
  const Block silence{};
  FrameAnalysis f{};
  for (int i = 0; i < 4; ++i) f = a.Run(silence);
  EXPECT_EQ(f.Amplitude, 0.0);
  for (double k : f.Reflection) EXPECT_EQ(k, 0.0);
  EXPECT_EQ(a.State->r[0], 0.0);
  EXPECT_EQ(f.ExcitationGain, 1.0);  // 2·0 >= 0 counts as the low band winning
}

TEST(AnalyseBlock, LowToneHoldsTheGainAtOne) {
  Analyser a;
  for (int b = 0; b < 40; ++b) {
    const FrameAnalysis f = a.Run(Sine(1000, 8000, b));
    ASSERT_EQ(f.ExcitationGain, 1.0) << b;
  }
  EXPECT_GT(a.State->r[0], 20000.0);
  EXPECT_GT(a.Frame->Amplitude, 0.0);
}

TEST(AnalyseBlock, HighToneTakesTheGainToItsFloorInSixBlocks) {
  Analyser a;
  double expected = 1.0;
  for (int b = 0; b < 40; ++b) {
    const FrameAnalysis f = a.Run(Sine(6000, 8000, b));
    expected = std::max(expected / 2, kMinExcitationGain);
    ASSERT_EQ(f.ExcitationGain, expected) << b;
  }
}

TEST(ExcitationGain, EqualLevelsCountAsLowWinningAndTheGainStaysInItsSet) {
  EXPECT_EQ(UpdateExcitationGain(0.5, 1.0, 2.0), 1.0);
  EXPECT_EQ(UpdateExcitationGain(1.0, 1.0, 2.0), 1.0);
  EXPECT_EQ(UpdateExcitationGain(1.0, 1.0, std::nextafter(2.0, 3.0)), 0.5);
  EXPECT_EQ(UpdateExcitationGain(kMinExcitationGain, 0.0, 1.0), kMinExcitationGain);
  std::set<double> seen;
  double g = 1.0;
  for (int i = 0; i < 200; ++i) {
    g = UpdateExcitationGain(g, (i * 7919) % 13 < 6 ? 1.0 : 0.0, 1.0);
    seen.insert(g);
  }
  for (double v : seen) EXPECT_EQ(std::exp2(std::round(std::log2(v))), v);
  EXPECT_GE(*seen.begin(), kMinExcitationGain);
  EXPECT_LE(*seen.rbegin(), 1.0);
}

TEST(AnalyseBlock, EmphasisStoresWrappedSixteenBitDifferences) {
  Analyser a;
  Block b{};
  b[0] = 32767;
  b[1] = -32768;
  b[2] = 32767;
  a.Run(b, true);
  const auto& slot = a.State->AnalysisRing[a.State->RingIndex];
  EXPECT_EQ(slot[0], 32767);                // against 0, the start value
  EXPECT_EQ(slot[1], 1);                    // -32768 - 32767 = -65535 wraps to 1
  EXPECT_EQ(slot[2], -1);                   // 32767 - (-32768) = 65535 wraps to -1
  EXPECT_EQ(a.State->EmphasisPrevious, 0);  // the block ends on zeros
}

TEST(AnalyseBlock, EmphasisResumesFromTheLastSampleSeenWhileOn) {
  Analyser a;
  Block b{};
  b.fill(100);
  a.Run(b, true);  // EmphasisPrevious = 100
  b.fill(500);
  a.Run(b, false);  // raw, EmphasisPrevious untouched
  EXPECT_EQ(a.State->EmphasisPrevious, 100);
  b.fill(40);
  a.Run(b, true);
  EXPECT_EQ(a.State->AnalysisRing[a.State->RingIndex][0], 40 - 100);
  // The band filters see raw samples whatever the emphasis.
  EXPECT_EQ(a.State->BandPrevious, 40.0);
}

TEST(AnalyseBlock, RingPutsTheNewestBlockLastAndKeepsCaptureOrder) {
  Analyser a;
  const HannTable& w = HannWindow();
  for (int n = 1; n <= 4; ++n) {
    Block b{};
    b.fill(static_cast<int16_t>(n));
    a.Run(b);
    // The block just stored is always the last quarter of the frame.
    EXPECT_EQ(a.State->AnalysisFrame[660 + 10], n * w[670]);
  }
  EXPECT_EQ(a.State->RingIndex, 0);  // the first block went to slot 1
  for (int b = 0; b < 4; ++b) {
    for (int j = 0; j < kBlockSamples; j += 37) {
      const int i = 220 * b + j;
      EXPECT_EQ(a.State->AnalysisFrame[i], (b + 1) * w[i]) << i;
    }
  }
}

TEST(AnalyseBlock, FirstBlocksSeeZerosInTheOlderQuarters) {
  Analyser a;
  Block b{};
  b.fill(1000);
  a.Run(b);
  for (int i = 0; i < 660; ++i) ASSERT_EQ(a.State->AnalysisFrame[i], 0.0) << i;
  EXPECT_EQ(a.State->RingIndex, 1);
}

}  // namespace
}  // namespace sorvane

namespace sorvane {
namespace {

// The band split runs both filters side by side; it must give exactly what
// the two plain cascades give, sample by sample, including the flushes of
// tiny values (states near 1e-15, silence after sound) and full-scale input.
TEST(SplitBands, EqualsTheTwoPlainCascadesBitForBit) {
  test::TestRandom random(7);
  FilterState high{};
  FilterState low{};
  FilterState plainHigh{};
  FilterState plainLow{};
  double previous = 0.0;
  double plainPrevious = 0.0;
  int flushed = 0;
  for (int block = 0; block < 60; ++block) {
    if (block % 10 == 9) {
      // States at the edge of the flush limit.
      for (int i = 0; i < 6; ++i) {
        const double tiny = (static_cast<double>(random.Below(2001)) - 1000.0) * 2e-18;
        high.w[i] = plainHigh.w[i] = tiny;
        low.w[i] = plainLow.w[i] = -tiny;
      }
    }
    Block x{};
    const int kind = block % 4;  // silence, quiet, loud, full scale
    for (int16_t& s : x) {
      const int32_t r = static_cast<int32_t>(random.Below(65536)) - 32768;
      s = static_cast<int16_t>(kind == 0 ? 0 : kind == 1 ? r / 4096 : kind == 2 ? r / 4 : r);
    }
    std::array<double, kBlockSamples> band{};
    const BandLevels levels = SplitBands(previous, high, low, x.data(), band.data());
    double highSum = 0.0;
    double lowSum = 0.0;
    for (int i = 0; i < kBlockSamples; ++i) {
      const double sample = x[i];
      const double d = sample - plainPrevious;
      plainPrevious = sample;
      const double h = FilterSample(HighBandCoefficients, plainHigh, sample);
      const double l = FilterSample(LowBandCoefficients, plainLow, d);
      ASSERT_EQ(std::memcmp(&band[i], &h, sizeof h), 0) << "block " << block << ", sample " << i;
      highSum = highSum + h * h;
      lowSum = lowSum + l * l;
      if (h == 0.0 || l == 0.0) ++flushed;
    }
    ASSERT_EQ(levels.High, std::sqrt(highSum / kBlockSamples)) << "block " << block;
    ASSERT_EQ(levels.Low, std::sqrt(lowSum / kBlockSamples)) << "block " << block;
    ASSERT_EQ(std::memcmp(&high, &plainHigh, sizeof high), 0) << "block " << block;
    ASSERT_EQ(std::memcmp(&low, &plainLow, sizeof low), 0) << "block " << block;
    ASSERT_EQ(previous, plainPrevious);
  }
  EXPECT_GT(flushed, 0);
}

}  // namespace
}  // namespace sorvane
