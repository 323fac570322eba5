// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the engine on the chosen sound devices and asks to close, printing
// every error box and the outcome on stdout. The live tests run it where a
// device cannot be opened (no audio server, a missing source or sink).
#include <cstdio>
#include <memory>

#include "audio/EventQueue.h"
#include "core/Reporter.h"
#include "devices/SoundSystem.h"
#include "engine/Engine.h"

namespace {
void PrintBox(void*, const char* caption, const char* text) { std::printf("box: %s: %s\n", caption, text); }
}  // namespace

int main() {
  using namespace sorvane;
  SetErrorBoxHandler(&PrintBox, nullptr);
  AudioEventQueue queue;
  const std::unique_ptr<SoundSystem> sound = MakeSoundSystem(queue);
  auto engine = std::make_unique<EngineState>();
  CreateEngine(*engine, nullptr);
  engine->CaptureDevice = &sound->Capture();
  engine->PlaybackDevice = &sound->Playback();
  OpenAudio(*engine);
  queue.DispatchAll(EngineEvents(*engine));
  const bool canClose = CloseQuery(*engine);
  if (canClose) CloseAudio(*engine);
  std::printf("running=%d close=%d\n", engine->Running ? 1 : 0, canClose ? 1 : 0);
  return 0;
}
