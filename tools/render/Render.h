// SPDX-License-Identifier: GPL-3.0-or-later
// The offline renderer: the real engine on a speech file, driven by a
// script, on the virtual device pair and its clock.
#pragma once

#include <vector>

#include "tools/render/InputWave.h"
#include "tools/render/RenderOptions.h"
#include "tools/render/RunOutputs.h"
#include "tools/render/Script.h"

namespace sorvane {

struct MidiSong;

// Renders on the virtual devices, capture reading from input. Returns the
// exit status. song, when not null, is played after each block's script
// lines.
int RunRender(const RenderOptions& options, InputWave* input, const std::vector<ScriptCommand>& commands,
              const MidiSong* song = nullptr);

}  // namespace sorvane
