// SPDX-License-Identifier: GPL-3.0-or-later
// Playing the keyboard: mouse on the key buttons, PC keys seen before the
// focused control, Ctrl tracking, and the stuck-key watchdog.

#include <QMouseEvent>
#include <set>

#include "AppTestSupport.h"

namespace sorvane::test {
namespace {

const QColor kRed(255, 0, 0);
const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);

void Mouse(QWidget* target, QEvent::Type type, Qt::MouseButton button) {
  const QPointF pos(5, 5);
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
  QMouseEvent event(type, pos, target->mapToGlobal(pos), button, held, Qt::NoModifier);
  QApplication::sendEvent(target, &event);
}

// Counts key events that reach any widget of the window.
class WidgetKeyCounter : public QObject {
 public:
  int Presses = 0;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) ++Presses;
    return false;
  }
};

class FakeKeys final : public KeyStateSource {
 public:
  std::set<int32_t> Down;
  bool IsKeyDown(int32_t vk) override { return Down.count(vk) != 0; }
};

TEST(KeyMouse, KeyTurnsRedWhileHeldAndBackToItsColour) {
  Window w;
  TColorButton* z = w->Keyboard().Button(1);
  TColorButton* a = w->Keyboard().Button(0);
  Mouse(z, QEvent::MouseButtonPress, Qt::LeftButton);
  EXPECT_EQ(z->Color(), kRed);
  EXPECT_TRUE(Holds(w.Engine(), 1));
  Mouse(z, QEvent::MouseButtonRelease, Qt::LeftButton);
  EXPECT_EQ(z->Color(), kWhite);
  EXPECT_FALSE(Holds(w.Engine(), 1));
  Mouse(a, QEvent::MouseButtonPress, Qt::RightButton);  // any button plays
  EXPECT_EQ(a->Color(), kRed);
  Mouse(a, QEvent::MouseButtonRelease, Qt::RightButton);
  EXPECT_EQ(a->Color(), kBlack);
  Mouse(a, QEvent::MouseButtonPress, Qt::MiddleButton);
  EXPECT_TRUE(Holds(w.Engine(), 0));
}

TEST(KeyMouse, NinthKeyTakesTheFirstKeysVoice) {
  Window w;
  const int keys[] = {1, 3, 4, 6, 8, 9, 11, 13, 15};
  for (int k : keys) Mouse(w->Keyboard().Button(k), QEvent::MouseButtonPress, Qt::LeftButton);
  EXPECT_EQ(w->Keyboard().Button(1)->Color(), kWhite);  // gave up its voice
  EXPECT_FALSE(Holds(w.Engine(), 1));
  for (int k : keys) {
    if (k == 1) continue;
    EXPECT_EQ(w->Keyboard().Button(k)->Color(), kRed) << k;
    EXPECT_TRUE(Holds(w.Engine(), k)) << k;
  }
}

TEST(KeyMouse, SameNoteFromTwoKeysHoldsTwoVoices) {
  Window w;
  Mouse(w->Keyboard().Button(12), QEvent::MouseButtonPress, Qt::LeftButton);  // K
  Mouse(w->Keyboard().Button(20), QEvent::MouseButtonPress, Qt::LeftButton);  // 1
  EXPECT_TRUE(Holds(w.Engine(), 12));
  EXPECT_TRUE(Holds(w.Engine(), 20));
}

struct ShownWindow : Window {
  using Window::Window;
  WidgetKeyCounter Counter;
  ShownWindow() {
    Form->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    Find<QToolButton>(*Form, "about")->setFocus();
    qApp->installEventFilter(&Counter);
  }
  ~ShownWindow() { qApp->removeEventFilter(&Counter); }
};

TEST(KeyInput, TableKeysPlayAndAreConsumed) {
  ShownWindow w;
  w.Key(QEvent::KeyPress, Qt::Key_Z);
  EXPECT_TRUE(Holds(w.Engine(), 1));
  EXPECT_EQ(w->Keyboard().Button(1)->Color(), kRed);
  EXPECT_EQ(w.Counter.Presses, 0);  // the focused control never saw it
  EXPECT_EQ(Find<QLabel>(*w, "unmatchedKey")->text(), QStringLiteral("90"));
  w.Key(QEvent::KeyRelease, Qt::Key_Z);
  EXPECT_FALSE(Holds(w.Engine(), 1));
  EXPECT_EQ(w->Keyboard().Button(1)->Color(), kWhite);
}

TEST(KeyInput, OtherKeysGoOnToTheFocusedControlAndLeaveTheirCode) {
  ShownWindow w;
  w.Key(QEvent::KeyPress, Qt::Key_F1);
  const int seen = w.Counter.Presses;
  EXPECT_GT(seen, 0);
  EXPECT_EQ(Find<QLabel>(*w, "unmatchedKey")->text(), QStringLiteral("112"));
  // The first table entry passes over nothing: the label keeps the last code.
  w.Key(QEvent::KeyPress, Qt::Key_A);
  EXPECT_TRUE(Holds(w.Engine(), 0));
  EXPECT_EQ(Find<QLabel>(*w, "unmatchedKey")->text(), QStringLiteral("112"));
  EXPECT_EQ(w.Counter.Presses, seen);
}

TEST(KeyInput, JapanesePunctuationKeysPlay) {
  ShownWindow w;
  const struct {
    int qtKey;
    int index;
  } keys[] = {{Qt::Key_Comma, 13}, {Qt::Key_Colon, 17}, {Qt::Key_Backslash, 18},   {Qt::Key_BracketRight, 19},
              {Qt::Key_Minus, 37}, {Qt::Key_At, 38},    {Qt::Key_AsciiCircum, 39}, {Qt::Key_BracketLeft, 40}};
  for (const auto& k : keys) {
    w.Key(QEvent::KeyPress, k.qtKey);
    EXPECT_TRUE(Holds(w.Engine(), k.index)) << k.index;
    w.Key(QEvent::KeyRelease, k.qtKey);
  }
}

TEST(KeyInput, PhysicalPositionDecidesTheKeyWhateverTheLayout) {
  ShownWindow w;
  w->SetKeyCodeSource(KeyCodeSource::ScanCode);
  // A German layout puts Y where Z is; the key there still plays Z's key.
  const quint32 zPosition = 44 + kX11KeycodeOffset;
  w.Key(QEvent::KeyPress, Qt::Key_Y, Qt::NoModifier, zPosition);
  EXPECT_TRUE(Holds(w.Engine(), 1));
  EXPECT_FALSE(Holds(w.Engine(), 29));
  // The ISO key left of Z plays the "ro" key.
  w.Key(QEvent::KeyPress, Qt::Key_Less, Qt::NoModifier, 86 + kX11KeycodeOffset);
  EXPECT_TRUE(Holds(w.Engine(), 18));
}

TEST(KeyInput, AutoRepeatNeitherRestartsNorReleasesAHeldKey) {
  ShownWindow w;
  w.Key(QEvent::KeyPress, Qt::Key_Q);
  ASSERT_TRUE(Holds(w.Engine(), 21));
  w.Engine().Pool.Voices[0].Phase = 7.0;
  // A repeat arrives as release + press, both marked as repeats.
  w.Key(QEvent::KeyRelease, Qt::Key_Q, Qt::NoModifier, 0, true);
  w.Key(QEvent::KeyPress, Qt::Key_Q, Qt::NoModifier, 0, true);
  EXPECT_TRUE(Holds(w.Engine(), 21));
  EXPECT_EQ(w.Engine().Pool.Voices[0].Phase, 7.0);
  EXPECT_EQ(w.Counter.Presses, 0);
}

TEST(KeyInput, CtrlIsTrackedFromItsOwnKeyAndFromModifiers) {
  ShownWindow w;
  w.Key(QEvent::KeyPress, Qt::Key_Control, Qt::NoModifier);
  EXPECT_TRUE(w.Engine().CtrlHeld);
  w.Key(QEvent::KeyPress, Qt::Key_X, Qt::ControlModifier);
  EXPECT_TRUE(w.Engine().CtrlHeld);
  EXPECT_TRUE(Holds(w.Engine(), 3));  // Ctrl+X still plays X
  w.Key(QEvent::KeyRelease, Qt::Key_Control, Qt::ControlModifier);
  EXPECT_FALSE(w.Engine().CtrlHeld);
  w.Key(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
  EXPECT_TRUE(w.Engine().CtrlHeld);
  w.Key(QEvent::KeyRelease, Qt::Key_V, Qt::NoModifier);
  EXPECT_FALSE(w.Engine().CtrlHeld);
}

TEST(Watchdog, ReleasesAKeyWhoseKeyUpWasLostWithinFourTicks) {
  ShownWindow w;
  auto keys = std::make_unique<FakeKeys>();
  FakeKeys* state = keys.get();
  w->SetKeyStateSource(std::move(keys));
  state->Down = {0x5A};
  w.Key(QEvent::KeyPress, Qt::Key_Z);
  for (int i = 0; i < 8; ++i) w->onWatchdogTick();
  EXPECT_TRUE(Holds(w.Engine(), 1));  // still physically down
  state->Down.clear();                // its key-up went to another window
  for (int i = 0; i < 3; ++i) w->onWatchdogTick();
  EXPECT_TRUE(Holds(w.Engine(), 1));
  w->onWatchdogTick();
  EXPECT_FALSE(Holds(w.Engine(), 1));
  EXPECT_EQ(w->Keyboard().Button(1)->Color(), kWhite);
}

TEST(Watchdog, KeepsAKeyHeldWithTheMouse) {
  ShownWindow w;
  w->SetKeyStateSource(std::make_unique<FakeKeys>());
  TColorButton* x = w->Keyboard().Button(3);
  Mouse(x, QEvent::MouseButtonPress, Qt::LeftButton);
  x->repaint();
  ASSERT_TRUE(x->IsPressed());
  for (int i = 0; i < 8; ++i) w->onWatchdogTick();
  EXPECT_TRUE(Holds(w.Engine(), 3));
}

TEST(Watchdog, NoticesALostCtrlKeyUp) {
  ShownWindow w;
  auto keys = std::make_unique<FakeKeys>();
  FakeKeys* state = keys.get();
  w->SetKeyStateSource(std::move(keys));
  w.Key(QEvent::KeyPress, Qt::Key_Control);
  state->Down = {kVkControl};
  for (int i = 0; i < 4; ++i) w->onWatchdogTick();
  EXPECT_TRUE(w.Engine().CtrlHeld);
  state->Down.clear();
  for (int i = 0; i < 4; ++i) w->onWatchdogTick();
  EXPECT_FALSE(w.Engine().CtrlHeld);
}

TEST(Watchdog, StaysIdleWhileTheWindowItselfHasTheFocus) {
  ShownWindow w;
  w->SetKeyStateSource(std::make_unique<FakeKeys>());
  w.Key(QEvent::KeyPress, Qt::Key_Z);
  w->setFocusPolicy(Qt::StrongFocus);
  w->setFocus();
  if (QApplication::focusWidget() != w.Form.get()) GTEST_SKIP() << "the platform gives no focus";
  for (int i = 0; i < 8; ++i) w->onWatchdogTick();
  EXPECT_TRUE(Holds(w.Engine(), 1));
  Find<QToolButton>(*w, "exit")->setFocus();  // a control has the focus: the watchdog runs
  for (int i = 0; i < 4; ++i) w->onWatchdogTick();
  EXPECT_FALSE(Holds(w.Engine(), 1));
}

TEST(Watchdog, WithoutTheDisplayServerEventsTellTheKeyStateAndFocusLossReleases) {
  ShownWindow w;
  w->SetKeyStateSource(nullptr);  // the window's own key events
  w.Key(QEvent::KeyPress, Qt::Key_Z);
  for (int i = 0; i < 8; ++i) w->onWatchdogTick();
  EXPECT_TRUE(Holds(w.Engine(), 1));
  // Another application comes to the front while Z is held.
  QWidget other;
  other.show();
  other.activateWindow();
  QApplication::setActiveWindow(&other);
  QTest::qWait(10);
  for (int i = 0; i < 4; ++i) w->onWatchdogTick();
  EXPECT_FALSE(Holds(w.Engine(), 1));
}

}  // namespace
}  // namespace sorvane::test
