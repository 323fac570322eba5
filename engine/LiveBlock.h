// SPDX-License-Identifier: GPL-3.0-or-later
// One block of the live signal path, as the engine's capture handler and the
// plugin both run it: the voice analysed, the song synthesised (or the voice
// taken into the phrase being captured), and the analysed set carried into
// the next block's glide. Queues, devices and takes stay with the caller.
#pragma once

#include <cstdint>

#include "engine/Engine.h"

namespace sorvane {

// Runs one block on engine's analysis, synthesis and phrase records:
// capture holds kBlockSamples samples of voice; out receives blockLength
// (198, 220 or 242) samples of song, silence while a phrase is captured.
// A replayed phrase stands in for the voice, which is then not analysed.
// Tells engine.Host when phrase capture changed the phrase buttons.
// Allocates nothing.
void RunLiveBlock(EngineState& engine, const int16_t* capture, int16_t* out, int32_t blockLength);

}  // namespace sorvane
