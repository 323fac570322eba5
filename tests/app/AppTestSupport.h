// SPDX-License-Identifier: GPL-3.0-or-later
// Shared pieces of the window tests: devices that keep their buffers for
// the test to hand back, a backend made of them, and a main window built
// under a chosen locale whose error boxes are recorded.
#pragma once

#include <stdlib.h>

#include <gtest/gtest.h>

#include <QApplication>
// The window's controls, which the tests find by their object names.
#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <algorithm>
#include <deque>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/AudioBackend.h"
#include "app/KeyboardView.h"
#include "app/MainWindow.h"
#include "app/Platform.h"
#include "audio/BufferQueue.h"
#include "audio/EventQueue.h"
#include "keyboard/widgets/ColorButton.h"
#include "tests/support/Files.h"
#include "tests/support/RecordedBoxes.h"
#include "tests/support/TempDir.h"

namespace sorvane::test {

inline QString U(const char* s) { return QString::fromUtf8(s); }

// A control of the window by its object name; a test that asks for one the
// window lacks fails there.
template <typename Control = QWidget>
Control* Find(QWidget& window, const char* name) {
  auto* control = window.findChild<Control*>(QString::fromLatin1(name));
  if (control == nullptr) throw std::logic_error(std::string("no control named ") + name);
  return control;
}

// Whether a voice of the engine plays key.
inline bool Holds(const EngineState& engine, int32_t key) {
  const auto& keys = engine.Pool.VoiceKeys;
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// The tests' temporary folder, its paths as Qt takes them.
struct QtTempDir : TempDir {
  QString path() const { return QString::fromStdString(Path.string()); }
  QString filePath(const QString& name) const { return QDir(path()).filePath(name); }
};

// Writes text to the file at path, replacing what it held.
inline void WriteTextFile(const QString& path, const char* text) {
  std::ofstream(QFile::encodeName(path).constData()) << text;
}

// Sets an environment variable (or unsets it, given a null value) for the
// life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value)
      : Name(name), Old(qgetenv(name)), WasSet(qEnvironmentVariableIsSet(name)) {
    value != nullptr ? qputenv(name, value) : qunsetenv(name);
  }
  ~ScopedEnv() { WasSet ? qputenv(Name, Old) : qunsetenv(Name); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* Name;
  QByteArray Old;
  bool WasSet;
};

// Runs action on the next modal dialog that opens, once it is showing.
template <typename Dialog, typename Action>
void OnNextModal(Action action) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, action]() {
    if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      action(dialog);
    }
  });
  timer->start();
}

// A device that keeps its buffers on a buffer queue, as a real one does,
// and whose server never runs: CaptureBlock hands a capture buffer back as
// filled; a reset moves the queued buffers to Returned, where the test hands
// them back as done events.
class FakeDevice final : public AudioDevice {
 public:
  bool OpenSucceeds = true;
  bool Opened = false;
  bool Started = false;
  int Resets = 0;
  int Closes = 0;
  BufferQueue Buffers;
  std::deque<WaveHeader*> Returned;

  explicit FakeDevice(BufferQueueKind kind) : Buffers(kind, &FakeDevice::Finished, this) {}

  // The queued buffers, oldest first.
  std::vector<WaveHeader*> Queued() const { return Buffers.QueuedHeaders(); }

  bool Open(const WaveFormat&) override { return Opened = OpenSucceeds; }
  bool Prepare(WaveHeader& header) override { return Buffers.Prepare(header); }
  bool Unprepare(WaveHeader& header) override { return Buffers.Unprepare(header); }
  bool Queue(WaveHeader& header) override { return Buffers.Queue(header); }
  bool Start() override { return Started = true; }
  bool Reset() override {
    ++Resets;
    Buffers.ReturnAll();
    return true;
  }
  bool Close() override {
    ++Closes;
    Opened = false;
    return true;
  }
  bool IsOpen() const override { return Opened; }

 private:
  static void Finished(void* self, WaveHeader& header) { static_cast<FakeDevice*>(self)->Returned.push_back(&header); }
};

// Its sound server can be made to go away (Lost) and to refuse or accept
// the reconnection.
class FakeBackend final : public AudioBackend {
 public:
  FakeDevice CaptureDevice{BufferQueueKind::Capture};
  FakeDevice PlaybackDevice{BufferQueueKind::Playback};
  bool Lost = false;
  bool ServerBack = false;
  int Reconnects = 0;
  // Set before the window is made: the devices have an event queue, the
  // window runs the engine's thread on it and the MIDI input listens there,
  // so a test can post MIDI as a port's thread does.
  bool WithEvents = false;
  AudioEventQueue Events;
  AudioEventQueue* EventQueue() override { return WithEvents ? &Events : nullptr; }
  AudioDevice& Capture() override { return CaptureDevice; }
  AudioDevice& Playback() override { return PlaybackDevice; }
  bool ServerLost() const override { return Lost; }
  bool Reconnect(std::string& reason) override {
    ++Reconnects;
    // The contract: never while a device of the old connection is open.
    EXPECT_FALSE(CaptureDevice.Opened || PlaybackDevice.Opened);
    if (!ServerBack) {
      reason = "connection refused";
      return false;
    }
    Lost = false;
    return true;
  }
};

// A main window on fake devices, created under the given locale.
// The window tests play no MIDI: without this the window would look for a
// MIDI system and print its one line. A test of the MIDI input sets its own.
inline const bool kWindowTestsWithoutMidi = ::setenv("SORVANE_MIDI", "none", 0) == 0;

struct Window {
  RecordedBoxes Errors;
  FakeBackend* Backend = nullptr;
  std::unique_ptr<MainWindow> Form;

  explicit Window(QLocale::Language language = QLocale::English, std::unique_ptr<AudioBackend> backend = nullptr) {
    QLocale::setDefault(QLocale(language, language == QLocale::Japanese ? QLocale::Japan : QLocale::UnitedStates));
    if (!backend) {
      auto fake = std::make_unique<FakeBackend>();
      Backend = fake.get();
      backend = std::move(fake);
    }
    Form = std::make_unique<MainWindow>(std::move(backend));
    // The tests tick the watchdog themselves.
    Form->Watchdog()->stop();
  }
  ~Window() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

  MainWindow& operator*() { return *Form; }
  MainWindow* operator->() { return Form.get(); }
  EngineState& Engine() { return Form->Engine(); }

  // Hands the oldest queued capture buffer back as filled, with voice
  // (a block of it) or with silence.
  void CaptureBlock(const int16_t* voice = nullptr) {
    FakeDevice& device = Backend->CaptureDevice;
    const std::vector<WaveHeader*> queued = device.Queued();
    device.Buffers.Capture(voice, queued.front()->BufferLength / 2, 0);
    WaveHeader* h = device.Returned.back();
    device.Returned.pop_back();
    OnCaptureDone(Engine(), *h);
  }

  // Sends a key event to the window as the platform would deliver it.
  bool Key(QEvent::Type type, int qtKey, Qt::KeyboardModifiers mods = Qt::NoModifier, quint32 scanCode = 0,
           bool autoRepeat = false) {
    QKeyEvent event(type, qtKey, mods, scanCode, 0, 0, QString(), autoRepeat);
    QApplication::sendEvent(Form->windowHandle(), &event);
    return event.isAccepted();
  }
};

}  // namespace sorvane::test
