// SPDX-License-Identifier: GPL-3.0-or-later
// The sound server going away and coming back: the window suspends the
// engine, says so, and tries to reconnect once a second. A JACK MIDI input
// on a client of its own is watched here too (MidiInput::Watch).
#include "app/MainWindow.h"

#include <cstdio>
#include <mutex>

#include "app/Captions.h"
#include "app/MidiInput.h"
#include "app/Platform.h"

namespace sorvane {

void MainWindow::onServerWatchTick() {
  if (CloseRequested) return;
  if (Midi) Midi->Watch();
  EngineState& engine = *EngineData;
  // The buffers come back on the engine's thread; while the sound is gone
  // it has no blocks to run, so holding its lock here costs nothing.
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  if (!engine.Suspended) {
    if (Audio->ServerLost()) SoundServerLost();
    return;
  }
  // The old devices first give back every buffer and close.
  if (!SuspendSettled(engine)) return;
  std::string reason;
  if (!Audio->Reconnect(reason)) {
    ShowSoundGone(SoundGoneTip(reason));
    return;
  }
  if (const char* failed = ResumeAudio(engine)) {
    ShowSoundGone(SoundGoneTip(failed));
    return;
  }
  std::fprintf(stderr, "sorvane: the sound server is back; the sound goes on\n");
  ShowSoundGone(QString());
}

void MainWindow::SoundServerLost() {
  SuspendAudio(*EngineData);
  // MIDI In was a port of the sound client: the keys it held are let go.
  if (Midi && Midi->System() == MidiSystem::SoundClient) Midi->SourceGone();
  std::fprintf(stderr, "sorvane: the sound server went away; trying again every second\n");
  ShowSoundGone(SoundGoneTip(std::string()));
}

QString MainWindow::SoundGoneTip(const std::string& detail) const {
  QString tip = CaptionText(Caption::SoundServerGone);
  if (!detail.empty()) tip += QStringLiteral("\n(%1)").arg(QString::fromStdString(detail));
  return tip;
}

void MainWindow::ShowSoundGone(const QString& tip) { panel->ShowSoundGone(tip); }

}  // namespace sorvane
