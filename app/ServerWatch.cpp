// SPDX-License-Identifier: GPL-3.0-or-later
// The sound server going away and coming back: the window suspends the
// engine, says so, and tries to reconnect once a second. A JACK MIDI input
// on a client of its own is watched here too (MidiInput::Watch).
#include "app/MainWindow.h"

#include <cstdio>
#include <string>

#include "app/Captions.h"
#include "app/MidiInput.h"
#include "app/Platform.h"
#include "engine/ServerWatch.h"

namespace sorvane {

void MainWindow::onServerWatchTick() {
  if (CloseRequested) return;
  if (Midi) Midi->Watch();
  std::string reason;
  switch (WatchSoundServer(*EngineData, *Audio, reason)) {
    case ServerWatchStep::Running:
    case ServerWatchStep::Settling: return;
    case ServerWatchStep::Lost: SoundServerLost(); return;
    case ServerWatchStep::Failed: ShowSoundGone(SoundGoneTip(reason)); return;
    case ServerWatchStep::Back:
      std::fprintf(stderr, "sorvane: the sound server is back; the sound goes on\n");
      ShowSoundGone(QString());
      return;
  }
}

// The engine has been suspended.
void MainWindow::SoundServerLost() {
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
