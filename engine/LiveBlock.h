// SPDX-License-Identifier: GPL-3.0-or-later
// One block of the live signal path, as the engine's capture handler and the
// plugin both run it: the voice analysed, the song synthesised (or the voice
// taken into the phrase being captured), the song handed over by the caller,
// and the analysed set carried into the next block's glide. Queues, devices
// and takes stay with the caller.
#pragma once

#include <cstdint>

#include "engine/Engine.h"

namespace sorvane {

// The first part of the live block: capture holds kBlockSamples samples of
// voice; out receives blockLength (198, 220 or 242) samples of song,
// silence while a phrase is captured. A replayed phrase stands in for the
// voice, which is then not analysed. store is the phrase captured into and
// replayed (the engine's own, or one its owner swaps in). A block that can
// only sing zeros is not synthesised (SkipSilentSynthesis). Tells
// engine.Host when phrase capture changed the phrase buttons. Allocates
// nothing.
void SynthesiseLiveBlock(EngineState& engine, PhraseStore& store, const int16_t* capture, int16_t* out,
                         int32_t blockLength);

// The whole live block: SynthesiseLiveBlock, then handOver() (a callable
// returning bool) takes the song in out where it goes; only when it returns
// true are the analysed reflections carried into the next block's glide.
// Returns what handOver returned.
template <typename HandOver>
bool RunLiveBlock(EngineState& engine, PhraseStore& store, const int16_t* capture, int16_t* out, int32_t blockLength,
                  HandOver&& handOver) {
  SynthesiseLiveBlock(engine, store, capture, out, blockLength);
  if (!handOver()) return false;
  CarryReflection(engine.Synth, engine.Frame);
  return true;
}

// The same on the engine's own phrase.
template <typename HandOver>
bool RunLiveBlock(EngineState& engine, const int16_t* capture, int16_t* out, int32_t blockLength, HandOver&& handOver) {
  return RunLiveBlock(engine, engine.Store, capture, out, blockLength, handOver);
}

}  // namespace sorvane
