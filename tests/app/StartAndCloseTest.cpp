// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up with and without sound, the close handshake (also on a
// termination signal, and with a take running), and the sound server
// going away and coming back.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "AppTestSupport.h"
#include "app/SignalWatcher.h"

namespace sorvane::test {
namespace {

// Hands up to count buffers the device holds back, as the device would.
void HandBack(Window& w, DeviceKind kind, size_t count = SIZE_MAX) {
  FakeDevice& device = kind == DeviceKind::Capture ? w.Backend->CaptureDevice : w.Backend->PlaybackDevice;
  for (; count > 0 && !device.Returned.empty(); --count) {
    WaveHeader& header = *device.Returned.front();
    device.Returned.pop_front();
    (kind == DeviceKind::Capture ? OnCaptureDone : OnPlaybackDone)(w.Engine(), header);
  }
}

// Hands every buffer the devices hold back, capture first, as a reset does.
void HandEverythingBack(Window& w) {
  HandBack(w, DeviceKind::Capture);
  HandBack(w, DeviceKind::Playback);
}

TEST(StartUp, OpensBothDevicesQueuesTheRingAndStartsTheTimer) {
  Window w;
  EXPECT_TRUE(w.Errors.Texts.empty());
  EXPECT_TRUE(w.Backend->CaptureDevice.Opened);
  EXPECT_TRUE(w.Backend->PlaybackDevice.Opened);
  EXPECT_TRUE(w.Backend->CaptureDevice.Started);
  EXPECT_EQ(w.Backend->CaptureDevice.Queued().size(), static_cast<size_t>(kRingSize));
  EXPECT_EQ(w->Watchdog()->interval(), 250);
}

// The box's caption is in the window's language.
TEST(StartUp, WithoutSoundTheErrorIsShownAndTheWindowStillWorksAndClosesAtOnce) {
  for (QLocale::Language language : {QLocale::English, QLocale::Japanese}) {
    Window silent(language, std::make_unique<NoSoundBackend>());
    ASSERT_EQ(silent.Errors.Texts.size(), 1u);
    EXPECT_EQ(silent.Errors.Captions[0], language == QLocale::English ? "Sorvane ERROR!" : "Sorvane エラー");
    EXPECT_EQ(silent.Errors.Texts[0], "Problem creating record handle");
    EXPECT_FALSE(silent->Watchdog()->isActive());
    KeyNoteOn(silent.Engine(), 4);
    EXPECT_EQ(silent->Keyboard().Button(4)->Color(), QColor(255, 0, 0));
    silent->show();
    EXPECT_TRUE(silent->close());
    EXPECT_FALSE(silent->isVisible());
  }
}

TEST(Closing, RefusedWhileBuffersAreOutThenClosedByTheLastOneBack) {
  Window w;
  FakeDevice& capture = w.Backend->CaptureDevice;
  FakeDevice& playback = w.Backend->PlaybackDevice;
  for (int i = 0; i < 3; ++i) w.CaptureBlock();
  ASSERT_EQ(playback.Queued().size(), 3u);
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.Form.get()));

  EXPECT_FALSE(w->close());
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(w.Engine().Closing);
  EXPECT_EQ(capture.Resets, 1);
  EXPECT_EQ(playback.Resets, 1);
  ASSERT_EQ(capture.Returned.size(), static_cast<size_t>(kRingSize));
  ASSERT_EQ(playback.Returned.size(), 3u);

  // The buffers come back; a second request meanwhile is refused again.
  HandBack(w, DeviceKind::Capture, 50);
  EXPECT_FALSE(w->close());
  EXPECT_TRUE(w->isVisible());
  HandBack(w, DeviceKind::Capture);
  EXPECT_TRUE(w->isVisible());
  HandBack(w, DeviceKind::Playback);
  EXPECT_FALSE(w->isVisible());
  EXPECT_FALSE(capture.Opened);
  EXPECT_FALSE(playback.Opened);
  EXPECT_TRUE(w.Errors.Texts.empty());
}

// The one take in directory is complete: its data size is what was played,
// and the file ends where the data chunk does.
void ExpectOneCompleteTake(const QString& directory, uint32_t playedBytes) {
  const QStringList takes = QDir(directory).entryList({QStringLiteral("*.wav")});
  ASSERT_EQ(takes.size(), 1);
  const std::vector<uint8_t> bytes = ReadFileBytes(QDir(directory).filePath(takes[0]).toStdString());
  ASSERT_GE(bytes.size(), 46u);
  EXPECT_EQ(Le32At(bytes, 42), playedBytes);
  EXPECT_EQ(Le32At(bytes, 4), 38 + playedBytes);
  EXPECT_EQ(bytes.size(), 46 + size_t{playedBytes});
}

TEST(Closing, ARunningTakeIsCompletedBeforeTheDevicesClose) {
  QtTempDir dir;
  Window w;
  w->show();
  ToggleTake(w.Engine(), QFile::encodeName(dir.path()).constData());
  ASSERT_TRUE(w.Engine().Take.Recording);
  for (int i = 0; i < 5; ++i) w.CaptureBlock();
  // Close at once: hand everything back.
  w->close();
  HandEverythingBack(w);
  EXPECT_FALSE(w->isVisible());
  EXPECT_FALSE(w.Engine().Take.Recording);
  ExpectOneCompleteTake(dir.path(), 5u * 220u * 2u);
}

volatile sig_atomic_t EarlierHandlerRan = 0;
extern "C" void EarlierHandler(int) { EarlierHandlerRan = 1; }

// The geometry of the window and of every widget in it.

std::vector<QRect> AllGeometry(QWidget& window) {
  std::vector<QRect> rects{window.geometry()};
  for (QWidget* child : window.findChildren<QWidget*>()) rects.push_back(child->geometry());
  return rects;
}

// The sound server goes away during a take and comes back on the second
// try: the window says so without moving a pixel or changing its caption,
// one stderr line each way, and the take goes on.
TEST(ServerLost, ShownWithoutGeometryOrCaptionChangeAndGoneWhenTheSoundIsBack) {
  QtTempDir dir;
  Window w;
  w->ServerWatch()->stop();  // ticked by hand
  FakeDevice& capture = w.Backend->CaptureDevice;
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.Form.get()));
  ToggleTake(w.Engine(), QFile::encodeName(dir.path()).constData());
  for (int i = 0; i < 3; ++i) w.CaptureBlock();
  const std::vector<QRect> before = AllGeometry(*w);

  testing::internal::CaptureStderr();
  w->onServerWatchTick();  // the server is still there
  w.Backend->Lost = true;
  w->onServerWatchTick();
  EXPECT_TRUE(w.Engine().Suspended);
  EXPECT_EQ(capture.Resets, 1);
  EXPECT_FALSE(Find<QToolButton>(*w, "inputVolume")->isEnabled());
  EXPECT_FALSE(Find<QToolButton>(*w, "outputVolume")->isEnabled());
  EXPECT_EQ(Find<QToolButton>(*w, "outputVolume")->toolTip(),
            QStringLiteral("The sound server has gone away; trying again every second."));
  // No reconnection while the old devices still hold buffers.
  w->onServerWatchTick();
  EXPECT_EQ(w.Backend->Reconnects, 0);
  HandEverythingBack(w);
  EXPECT_FALSE(capture.Opened);
  w->onServerWatchTick();  // refused
  EXPECT_EQ(w.Backend->Reconnects, 1);
  EXPECT_TRUE(Find<QToolButton>(*w, "inputVolume")->toolTip().contains(QStringLiteral("connection refused")));
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Sorvane"));
  EXPECT_EQ(AllGeometry(*w), before);
  // Keys still light while the sound is gone.
  KeyNoteOn(w.Engine(), 4);
  EXPECT_EQ(w->Keyboard().Button(4)->Color(), QColor(255, 0, 0));
  KeyNoteOff(w.Engine(), 4);

  w.Backend->ServerBack = true;
  w->onServerWatchTick();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "sorvane: the sound server went away; trying again every second\n"
            "sorvane: the sound server is back; the sound goes on\n");
  EXPECT_FALSE(w.Engine().Suspended);
  EXPECT_TRUE(capture.Started);
  EXPECT_EQ(capture.Queued().size(), static_cast<size_t>(kRingSize));
  EXPECT_TRUE(Find<QToolButton>(*w, "inputVolume")->isEnabled());
  EXPECT_TRUE(Find<QToolButton>(*w, "outputVolume")->isEnabled());
  EXPECT_TRUE(Find<QToolButton>(*w, "outputVolume")->toolTip().isEmpty());
  EXPECT_EQ(AllGeometry(*w), before);
  for (int i = 0; i < 2; ++i) w.CaptureBlock();
  w->close();
  HandEverythingBack(w);
  EXPECT_FALSE(w->isVisible());
  // One take: the three blocks before the gap and the two after it.
  ExpectOneCompleteTake(dir.path(), 5u * 220u * 2u);
  EXPECT_TRUE(w.Errors.Texts.empty());
}

TEST(Closing, TerminationSignalsMakeTheCloseRequestOnTheEventThread) {
  constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
  struct sigaction original[3]{};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(::sigaction(kSignals[i], nullptr, &original[i]), 0);
  const auto set = [](int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  };
  set(SIGTERM, SIG_DFL);
  set(SIGINT, SIG_DFL);
  // A handler that was there before the watcher is there again after it.
  set(SIGHUP, &EarlierHandler);
  for (const int signal : kSignals) {
    SCOPED_TRACE(signal);
    QtTempDir dir;
    Window w;
    SignalWatcher watcher;
    ASSERT_TRUE(watcher.IsActive());
    QObject::connect(&watcher, &SignalWatcher::TerminationRequested, w.Form.get(), &QWidget::close);
    w->show();
    ToggleTake(w.Engine(), QFile::encodeName(dir.path()).constData());
    for (int i = 0; i < 5; ++i) w.CaptureBlock();
    ASSERT_EQ(::raise(signal), 0);
    // The handler itself does nothing but queue the request.
    EXPECT_FALSE(w.Engine().Closing);
    for (int i = 0; i < 200 && !w.Engine().Closing; ++i) QTest::qWait(10);
    ASSERT_TRUE(w.Engine().Closing);
    // Refused while the buffers are out, as the Exit button is; the last one
    // back completes the close and the take.
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w.Engine().Take.Recording);
    HandEverythingBack(w);
    EXPECT_FALSE(w->isVisible());
    EXPECT_FALSE(w.Engine().Take.Recording);
    ExpectOneCompleteTake(dir.path(), 5u * 220u * 2u);
  }
  ASSERT_EQ(::raise(SIGHUP), 0);
  EXPECT_EQ(EarlierHandlerRan, 1);
  // A signal ignored from the start (nohup, a background job) stays ignored.
  set(SIGHUP, SIG_IGN);
  {
    SignalWatcher watcher;
    struct sigaction now {};
    ::sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
  }
  for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &original[i], nullptr);
}

}  // namespace
}  // namespace sorvane::test
