// SPDX-License-Identifier: GPL-3.0-or-later
// The tests for an idle block and the positions a skipped synthesis moves.
#include "engine/SilentBlocks.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

namespace sorvane {
namespace {

// Whether every value is zero, of either sign: the bits but the sign's,
// or-ed together without a branch, so that the loop runs on vectors.
template <size_t N>
bool AllZero(const std::array<double, N>& values) {
  uint64_t bits = 0;
  for (double v : values) bits |= std::bit_cast<uint64_t>(v) << 1;
  return bits == 0;
}

}  // namespace

bool SynthesisSilent(const EngineState& engine) {
  if (AnyVoiceActive(engine.Pool)) return false;
  const VoiceSlot& slot0 = engine.Pool.Voices[0];
  return AllZero(slot0.PreFilterState.w) && AllZero(slot0.PostFilterState.w) &&
         AllZero(engine.Synth.LiveLatticeState) && AllZero(engine.Synth.EchoBuffer);
}

void SkipSilentSynthesis(EngineState& engine, bool phraseReplay, int16_t* song, int length) {
  std::fill(song, song + length, int16_t{0});
  // The output stage's walk over the echo positions, a sample at a time.
  const int32_t echoDelay = MsToSamples(engine.Params.EchoDelayMs);
  int32_t pos = engine.Synth.EchoPos;
  for (int n = 0; n < length; ++n) {
    pos = pos + 1;
    if (pos >= echoDelay) pos = 0;
  }
  engine.Synth.EchoPos = pos;
  if (phraseReplay) AdvancePhraseFrames(engine.Pool);
}

}  // namespace sorvane
