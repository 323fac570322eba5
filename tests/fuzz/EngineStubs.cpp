// SPDX-License-Identifier: GPL-3.0-or-later
// The engine calls of the MIDI player, which sits beside the MIDI reader in
// one file. The fuzz tree builds the readers without the engine, so these
// stand in for them; no reader calls them, and a call stops the run.
#include <cstdlib>

#include "engine/Engine.h"

namespace sorvane {

void KeyNoteOn(EngineState&, int32_t, int32_t) { std::abort(); }
void KeyNoteOff(EngineState&, int32_t) { std::abort(); }
void SetMidiControl(EngineState&, MidiControl, int32_t) { std::abort(); }
void SetPitchBend(EngineState&, int32_t) { std::abort(); }

}  // namespace sorvane
