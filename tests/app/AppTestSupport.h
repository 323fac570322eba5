// SPDX-License-Identifier: GPL-3.0-or-later
// Shared pieces of the window tests: devices that keep their buffers for
// the test to hand back, a backend made of them, and a main window built
// under a chosen locale whose error boxes are recorded.
#pragma once

#include <stdlib.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QWindow>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/AudioBackend.h"
#include "app/MainWindow.h"
#include "tests/support/RecordedBoxes.h"

namespace sorvane::test {

// A device that accepts every call and keeps the queued buffers; a reset
// moves them to Returned, where the test hands them back as done events.
class FakeDevice final : public AudioDevice {
 public:
  bool OpenSucceeds = true;
  bool Opened = false;
  bool Started = false;
  int Resets = 0;
  int Closes = 0;
  std::deque<WaveHeader*> Queued;
  std::deque<WaveHeader*> Returned;

  bool Open(const WaveFormat&) override { return Opened = OpenSucceeds; }
  bool Prepare(WaveHeader&) override { return true; }
  bool Unprepare(WaveHeader&) override { return true; }
  bool Queue(WaveHeader& header) override {
    Queued.push_back(&header);
    return true;
  }
  bool Start() override { return Started = true; }
  bool Reset() override {
    ++Resets;
    while (!Queued.empty()) {
      Returned.push_back(Queued.front());
      Queued.pop_front();
    }
    return true;
  }
  bool Close() override {
    ++Closes;
    Opened = false;
    return true;
  }
  bool IsOpen() const override { return Opened; }
};

class FakeBackend final : public AudioBackend {
 public:
  FakeDevice CaptureDevice;
  FakeDevice PlaybackDevice;
  AudioDevice& Capture() override { return CaptureDevice; }
  AudioDevice& Playback() override { return PlaybackDevice; }
};

// A main window on fake devices, created under the given locale.
// The window tests play no MIDI: without this the window would look for a
// MIDI system and print its one line. A test of the MIDI input sets its own.
inline const bool kWindowTestsWithoutMidi = ::setenv("SORVANE_MIDI", "none", 0) == 0;

struct Window {
  RecordedBoxes Errors;
  FakeBackend* Backend = nullptr;
  std::unique_ptr<TForm1> Form;

  explicit Window(QLocale::Language language = QLocale::English, std::unique_ptr<AudioBackend> backend = nullptr) {
    QLocale::setDefault(QLocale(language, language == QLocale::Japanese ? QLocale::Japan : QLocale::UnitedStates));
    if (!backend) {
      auto fake = std::make_unique<FakeBackend>();
      Backend = fake.get();
      backend = std::move(fake);
    }
    Form = std::make_unique<TForm1>(std::move(backend));
    // The tests tick the watchdog themselves.
    Form->Timer1->stop();
  }
  ~Window() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

  TForm1& operator*() { return *Form; }
  TForm1* operator->() { return Form.get(); }
  EngineState& Engine() { return Form->Engine(); }

  // Hands the oldest queued capture buffer back as filled.
  void CaptureBlock() {
    WaveHeader* h = Backend->CaptureDevice.Queued.front();
    Backend->CaptureDevice.Queued.pop_front();
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
