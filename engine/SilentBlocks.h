// SPDX-License-Identifier: GPL-3.0-or-later
// What an idle engine may leave out. A block whose synthesis state is all
// zero and in which no voice sounds would sing exact zeros: its synthesis is
// skipped and only the positions it would have moved (the echo's write
// position, the phrase frames of the slots) are moved.
#pragma once

#include <cstdint>

#include "engine/Engine.h"

namespace sorvane {

// True when synthesising the next block could give nothing but zeros and
// change nothing but positions: no voice sounds, and the live lattice, the
// first slot's band-pass filters and the whole echo buffer hold zeros
// (either sign). The voice input plays no part: without a sounding voice
// the live excitation is zero.
bool SynthesisSilent(const EngineState& engine);

// In place of SynthesizeBlock for a block of length samples when
// SynthesisSilent holds: song gets zeros, the echo position moves as the
// output stage moves it, and after a replayed block every slot moves on one
// phrase frame. The state is then what SynthesizeBlock leaves, up to the
// sign of zeros, which no later sample can show.
void SkipSilentSynthesis(EngineState& engine, bool phraseReplay, int16_t* song, int length);

}  // namespace sorvane
