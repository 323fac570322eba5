// SPDX-License-Identifier: GPL-3.0-or-later
// The window and other programs: the mixer started by the volume buttons,
// and a second start of the program.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <QElapsedTimer>
#include <QSignalSpy>

#include "AppTestSupport.h"
#include "app/SingleInstance.h"

namespace sorvane::test {
namespace {

TEST(VolumeControl, StartsTheMixerOnTheRightTabWithoutWaiting) {
  QtTempDir bin;
  const QString log = QDir(bin.path()).filePath(QStringLiteral("args.txt"));
  const QString mixer = bin.filePath(QStringLiteral("pavucontrol"));
  WriteTextFile(mixer, QStringLiteral("#!/bin/sh\necho \"$@\" >> '%1'\nsleep 5\n").arg(log).toUtf8().constData());
  ASSERT_TRUE(QFile::setPermissions(mixer, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  const ScopedEnv path("PATH", bin.path().toUtf8().constData());
  QElapsedTimer timer;
  timer.start();
  EXPECT_TRUE(StartVolumeControl(true));
  EXPECT_TRUE(StartVolumeControl(false));
  EXPECT_LT(timer.elapsed(), 3000);  // did not wait for the mixer
  for (int i = 0; i < 200; ++i) {
    QFile f(log);
    if (f.open(QIODevice::ReadOnly) && f.readAll().count('\n') >= 2) break;
    QTest::qWait(10);
  }
  QFile f(log);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(f.readAll());
  EXPECT_TRUE(text.contains(U("--tab=4")));  // input devices
  EXPECT_TRUE(text.contains(U("--tab=3")));  // output devices
  // No mixer at all: nothing happens, and nothing is reported.
  const ScopedEnv noMixer("PATH", "/nonexistent");
  RecordedBoxes errors;
  EXPECT_FALSE(StartVolumeControl(true));
  EXPECT_TRUE(errors.Texts.empty());
}

// Also from a deep runtime folder, whose socket path is long.
TEST(SingleInstance, SecondStartAsksTheFirstToComeForward) {
  QtTempDir base;
  const QString deep =
      QDir(base.path()).filePath(QString(60, QLatin1Char('d')) + QStringLiteral("/") + QString(60, QLatin1Char('e')));
  ASSERT_TRUE(QDir().mkpath(deep));
  for (const QString& dir : {base.path(), deep}) {
    SCOPED_TRACE(dir.toStdString());
    SingleInstance first(dir);
    ASSERT_TRUE(first.Acquire());
    QWidget window;
    first.SetWindow(&window);
    QSignalSpy raised(&first, &SingleInstance::RaiseRequested);
    {
      SingleInstance second(dir);
      EXPECT_FALSE(second.Acquire());
    }
    EXPECT_TRUE(raised.wait(2000));
    EXPECT_TRUE(window.isVisible());
  }
}

TEST(SingleInstance, LockGoesWithItsOwnerAndAStaleSocketIsReplaced) {
  QtTempDir dir;
  {
    SingleInstance first(dir.path());
    ASSERT_TRUE(first.Acquire());
  }
  // A socket file left behind, as after a crash.
  QFile stale(QDir(dir.path()).filePath(QStringLiteral("sorvane.socket")));
  ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  stale.close();
  SingleInstance again(dir.path());
  EXPECT_TRUE(again.Acquire());
  SingleInstance third(dir.path());
  QSignalSpy raised(&again, &SingleInstance::RaiseRequested);
  EXPECT_FALSE(third.Acquire());
  EXPECT_TRUE(raised.wait(2000));
}

// Once the first has begun to close, a second start (here on its own
// thread, as another process would be) neither brings the window back nor
// gives up: it waits and takes over when the first has gone.
TEST(SingleInstance, WhileTheFirstClosesASecondStartWaitsAndTakesOver) {
  QtTempDir dir;
  auto first = std::make_unique<SingleInstance>(dir.path());
  ASSERT_TRUE(first->Acquire());
  QWidget window;
  first->SetWindow(&window);
  QSignalSpy raised(first.get(), &SingleInstance::RaiseRequested);
  first->SetClosing();
  std::atomic<int> acquired{-1};
  std::thread second([&dir, &acquired] {
    SingleInstance instance(dir.path());
    acquired = instance.Acquire() ? 1 : 0;
  });
  QTest::qWait(700);
  EXPECT_EQ(acquired.load(), -1);
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(raised.count(), 0);
  first.reset();
  second.join();
  EXPECT_EQ(acquired.load(), 1);
}

}  // namespace
}  // namespace sorvane::test
