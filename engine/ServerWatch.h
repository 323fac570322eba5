// SPDX-License-Identifier: GPL-3.0-or-later
// The sound server going away and coming back, one look at a time: the
// window's timer and the renderer's live loop both call WatchSoundServer
// about once a second (and may call it as often as they like while the
// sound runs), and each says what happened in its own words.
#pragma once

#include <cstdint>
#include <string>

#include "audio/ServerLink.h"
#include "engine/Engine.h"

namespace sorvane {

enum class ServerWatchStep : uint8_t {
  Running,   // the sound runs and the server is there: nothing was done
  Lost,      // the server has just gone: the engine is suspended (SuspendAudio)
  Settling,  // suspended, and the old devices are still giving their buffers back
  Failed,    // suspended; reconnecting or resuming failed: reason says why
  Back,      // reconnected and resumed: the sound goes on
};

// Under the engine's lock: while the sound runs, suspends the engine once
// server has gone; while suspended and settled, renews the connection and
// resumes the engine (ResumeAudio). reason is set only for Failed.
ServerWatchStep WatchSoundServer(EngineState& engine, ServerLink& server, std::string& reason);

}  // namespace sorvane
