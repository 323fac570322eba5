// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's live mode: the same engine, script and report as an
// offline render, but on the system's default input and output with the
// real clock. It captures for the requested number of capture events,
// plays through the default output, can keep everything it played as a
// WAV file, and then closes the way the program does (close request, every
// buffer back, close). A headless live vocoder, and the vehicle of the live
// tests.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/render/Render.h"
#include "tools/render/Script.h"

namespace sorvane {

// The sound devices could not be opened or started, or stopped delivering.
inline constexpr int kExitNoSound = 3;

// Runs live (the input file, if any, has only set the default number of
// blocks). Prints a summary on
// stdout: events, drops, lost input, the rate control's queue band, the
// measured input-to-output delay and the close handshake. Returns the exit
// status.
int RunLive(const RenderOptions& options, const std::vector<ScriptCommand>& commands);

}  // namespace sorvane
