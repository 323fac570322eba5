// SPDX-License-Identifier: GPL-3.0-or-later
// A PC key held down on a real X server with the keyboard's auto-repeat on,
// on a busy machine: one steady note from press to release, as for a key
// held with the mouse. Under X a repeat comes as a release and a press with
// one timestamp, and Qt flags the release only when its event reader has
// already read the press, which other programs keeping every processor
// busy delay, as on a loaded desktop. Run by x11_key_repeat.sh, which
// starts that load, on a private Xvfb whose auto-repeat is fast, so that a
// few seconds bring hundreds of repeats.
#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTest>

#include <cstdlib>
#include <functional>
#include <mutex>

#include "AppTestSupport.h"

namespace sorvane::test {
namespace {

constexpr int32_t kKeyZ = 1;  // the Z key's note
// A value no voice's pulse takes by itself: a slot that still carries it
// has not been started afresh.
constexpr double kMark = -12345.5;

// Counts the window's key presses of one key, repeats included.
class PressCounter : public QObject {
 public:
  int Presses = 0;
  QObject* Target = nullptr;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress && watched == Target && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Z)
      ++Presses;
    return false;
  }
};

int SlotOf(const EngineState& engine, int32_t key) {
  for (int i = 0; i < kVoiceCount; ++i) {
    if (engine.Pool.VoiceKeys[i] == key) return i;
  }
  return -1;
}

// Holds the key through `hold` (which presses it and returns) for about
// five seconds, the window's thread handling its events as they come, and counts how often its note was let go or started afresh
// before `release` lets it go.
int NoteRestartsWhileHeld(Window& w, const std::function<void()>& hold, const std::function<void()>& release) {
  EngineState& engine = w.Engine();
  hold();
  QElapsedTimer held;
  held.start();
  while (SlotOf(engine, kKeyZ) < 0 && held.elapsed() < 5000) QApplication::processEvents();
  EXPECT_GE(SlotOf(engine, kKeyZ), 0) << "the key never sounded";
  int restarts = 0;
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 5000) {
    {
      std::lock_guard<EngineMutex> lock(engine.EngineLock);
      const int slot = SlotOf(engine, kKeyZ);
      if (slot >= 0) engine.Pool.Voices[slot].PulseAmp = kMark;
    }
    QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    {
      std::lock_guard<EngineMutex> lock(engine.EngineLock);
      const int slot = SlotOf(engine, kKeyZ);
      if (slot < 0 || engine.Pool.Voices[slot].PulseAmp != kMark) ++restarts;
    }
  }
  release();
  QElapsedTimer released;
  released.start();
  while (SlotOf(engine, kKeyZ) >= 0 && released.elapsed() < 5000) QApplication::processEvents();
  EXPECT_LT(SlotOf(engine, kKeyZ), 0) << "the key was never let go";
  return restarts;
}

void Xdotool(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

TEST(HeldPcKey, IsOneSteadyNoteWhateverTheKeyboardRepeats) {
  ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
  Window w;
  w->show();
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&*w));
  PressCounter counter;
  counter.Target = w->windowHandle();
  QApplication::instance()->installEventFilter(&counter);

  const int byKey = NoteRestartsWhileHeld(
      w, [] { Xdotool("xdotool keydown z"); }, [] { Xdotool("xdotool keyup z"); });
  EXPECT_EQ(byKey, 0) << "the held key's note was let go before its release";
  // The server repeated the key all the while, so the check saw repeats.
  EXPECT_GT(counter.Presses, 50);

  // The same key held with the mouse, which does not repeat.
  TColorButton* z = w->Keyboard().Button(kKeyZ);
  const QPoint centre = z->mapToGlobal(z->rect().center());
  const std::string move = "xdotool mousemove " + std::to_string(centre.x()) + " " + std::to_string(centre.y());
  const int byMouse = NoteRestartsWhileHeld(
      w, [&] { Xdotool(move + " mousedown 1"); }, [] { Xdotool("xdotool mouseup 1"); });
  EXPECT_EQ(byMouse, 0);
}

}  // namespace
}  // namespace sorvane::test
