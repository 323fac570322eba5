// SPDX-License-Identifier: GPL-3.0-or-later
// Suspend, reconnect, resume: the steps in the one order that is safe (no
// reconnection while an old buffer is still out).
#include "engine/ServerWatch.h"

#include <mutex>

namespace sorvane {

ServerWatchStep WatchSoundServer(EngineState& engine, ServerLink& server, std::string& reason) {
  // The buffers come back on the engine's thread; while the sound is gone
  // it has no blocks to run, so holding its lock here costs nothing.
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  if (!engine.Suspended) {
    if (!server.ServerLost()) return ServerWatchStep::Running;
    SuspendAudio(engine);
    return ServerWatchStep::Lost;
  }
  // The old devices first give back every buffer and close.
  if (!SuspendSettled(engine)) return ServerWatchStep::Settling;
  if (!server.Reconnect(reason)) return ServerWatchStep::Failed;
  if (const char* failed = ResumeAudio(engine)) {
    reason = failed;
    return ServerWatchStep::Failed;
  }
  return ServerWatchStep::Back;
}

}  // namespace sorvane
