// SPDX-License-Identifier: GPL-3.0-or-later
// The tests for an idle block and the positions a skipped synthesis moves.
#include "plugin/SilentBlocks.h"

#include <algorithm>

namespace sorvane {
namespace {

template <typename Range>
bool AllZero(const Range& values) {
  return std::all_of(std::begin(values), std::end(values), [](auto v) { return v == 0; });
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
