// SPDX-License-Identifier: GPL-3.0-or-later
// The phrase store: a phrase of 300 analysed frames as plain arrays, which
// the synthesis replays. Loading and saving phrase files live in
// PhraseStore.h, apart, so that the synthesis needs no file code.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "dsp/FrameAnalyser.h"
#include "dsp/Lpc.h"

namespace sorvane {

inline constexpr int kPhraseFrames = 300;                     // frames replayed per key, one a block
inline constexpr int kPhraseTableFrames = kPhraseFrames + 1;  // frame 299 glides toward 300
// A phrase file holds 3 s; the replayed high band wraps at its end.
inline constexpr int kPhraseSeconds = 3;
inline constexpr int kPhraseFileSamples = kPhraseSeconds * kSampleRate;
inline constexpr int kPhraseHighBandWrap = kPhraseFileSamples;
static_assert(kPhraseFileSamples == 66150);
// A capture records 300 blocks, which fit in the file's 3 s.
static_assert(kPhraseFrames * kBlockSamples <= kPhraseFileSamples);
// Room for the load's analysis: the window of the last table frame reaches
// kFrameBlocks - 1 blocks past that frame's own block.
inline constexpr int kPhraseSamples = 67031;
static_assert(kPhraseTableFrames * kBlockSamples + (kFrameBlocks - 1) * kBlockSamples <= kPhraseSamples);

struct PhraseStore {
  std::array<Coefficients, kPhraseTableFrames> PhraseReflection;
  std::array<double, kPhraseTableFrames> PhraseAmplitude;
  std::array<double, kPhraseTableFrames> PhraseGain;
  std::array<double, kPhraseSamples> PhraseHighBand;
  std::array<int16_t, kPhraseSamples> PhraseSamples;
};
static_assert(std::is_trivially_copyable_v<PhraseStore>);

}  // namespace sorvane
