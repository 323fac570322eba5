// SPDX-License-Identifier: GPL-3.0-or-later
// The keys: mouse on the key buttons, PC keys seen before the focused
// control, and the watchdog that releases keys whose release was missed.
#include "app/MainWindow.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWindow>

#include <mutex>

#include "app/KeyboardView.h"

namespace sorvane {

static_assert(kWatchdogSlots == kVoiceCount);

namespace {

// The comma key: a note key, except with Ctrl alone, which opens the
// preferences.
constexpr int32_t kVkComma = 0xBC;

}  // namespace

void MainWindow::onKeyPressed(int32_t key) { KeyNoteOn(*EngineData, key); }

void MainWindow::onKeyReleased(int32_t key) { KeyNoteOff(*EngineData, key); }

void MainWindow::PcKeyDown(uint16_t& Key, Qt::KeyboardModifiers Shift) {
  SetCtrlHeld(*EngineData, Shift.testFlag(Qt::ControlModifier));
  int32_t passedOver = 0;
  const int32_t index = FindKeyIndex(Key, &passedOver);
  if (passedOver > 0) panel->ShowUnmatchedKey(Key);
  if (index < 0) return;
  KeyNoteOn(*EngineData, index);
  Key = 0;
}

void MainWindow::PcKeyUp(uint16_t& Key, Qt::KeyboardModifiers Shift) {
  SetCtrlHeld(*EngineData, Shift.testFlag(Qt::ControlModifier));
  const int32_t index = FindKeyIndex(Key);
  if (index < 0) return;
  KeyNoteOff(*EngineData, index);
  Key = 0;
}

bool MainWindow::HandleKeyEvent(QKeyEvent* event) {
  const bool down = event->type() == QEvent::KeyPress;
  const int32_t code = VirtualKeyFromEvent(*event, KeySource);
  // The Ctrl key's own events carry the state after the event.
  Qt::KeyboardModifiers shift = event->modifiers();
  if (code == kVkControl) shift.setFlag(Qt::ControlModifier, down);

  if (!down && (event->isAutoRepeat() || ReleaseIsRepeat(code))) {
    // Held keys repeat as key-downs only; the repeat's key-up is no release.
    return code != kVkNone && FindKeyIndex(code) >= 0;
  }
  uint16_t key = static_cast<uint16_t>(code);
  if (down && code == kVkComma &&
      (shift & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier | Qt::MetaModifier)) == Qt::ControlModifier) {
    // Ctrl+Comma plays no note. The dialog opens once the key event is
    // done; a held key's repeats open nothing more.
    if (!event->isAutoRepeat()) QMetaObject::invokeMethod(this, &MainWindow::ShowPreferences, Qt::QueuedConnection);
    return true;
  }
  if (down) {
    EventKeys.KeyDown(code);
    PcKeyDown(key, shift);
  } else {
    EventKeys.KeyUp(code);
    PcKeyUp(key, shift);
  }
  return code != kVkNone && key == 0;
}

bool MainWindow::ReleaseIsRepeat(int32_t code) {
  // Under X a held key repeats as a release and a press with one timestamp.
  // Qt flags the release as a repeat only when the press is already in its
  // queue, which it often is not while this thread is busy; a release that
  // slipped through would end the note and the press start it afresh. The
  // X server's key state tells: a key it still holds down was not let go.
  // Without a display server to ask, the window's own key events are all
  // there is, and they say nothing more than Qt's flag.
  if (OwnKeyState == nullptr || code == kVkNone) return false;
  OwnKeyState->Refresh();
  return OwnKeyState->IsKeyDown(code);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && watched == windowHandle() &&
      windowHandle() != nullptr) {
    return HandleKeyEvent(static_cast<QKeyEvent*>(event));
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::changeEvent(QEvent* event) {
  // Key-ups after a focus change go to another window: count every key up.
  if (event->type() == QEvent::ActivationChange && !isActiveWindow()) EventKeys.FocusLost();
  QWidget::changeEvent(event);
}

bool MainWindow::MainWindowHasFocus() const { return QApplication::focusWidget() == this; }

void MainWindow::onWatchdogTick() {
  if (!WatchdogTick(WatchdogTicks)) return;
  if (MainWindowHasFocus()) return;
  EngineState& engine = *EngineData;
  // The voices and the MIDI notes change on the engine's thread.
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  const WatchdogRelease release =
      WatchdogScan(KeyTable, engine.CtrlHeld, engine.Pool.VoiceKeys, *KeyState, [this](int32_t key) {
        // A key MIDI holds counts as held down.
        return keyboard->IsPressed(key) || Midi->HoldsKey(key);
      });
  if (release.ClearCtrl) SetCtrlHeld(engine, false);
  for (int i = 0; i < release.KeyCount; ++i) KeyNoteOff(engine, release.Keys[i]);
}

}  // namespace sorvane
