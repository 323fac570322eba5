// SPDX-License-Identifier: GPL-3.0-or-later
// The sound devices of the desktop program and the way their completion
// events reach the window's event loop. The real backend uses the sound
// card; where it is not built, or for tests, other backends stand in.
#pragma once

#include <memory>

#include "devices/Device.h"
#include "engine/Engine.h"
#include "core/Interface.h"

namespace sorvane {

class AudioEventQueue;

class AudioBackend : public Interface {
 public:

  virtual AudioDevice& Capture() = 0;
  virtual AudioDevice& Playback() = 0;
  // A descriptor that is readable while device events wait to be handled;
  // -1 when the backend delivers its events some other way.
  virtual int WakeFd() const { return -1; }
  // Hands every waiting device event to the engine, in order.
  virtual void DispatchAll(EngineState& /*engine*/) {}
  // The queue that carries the device events, for the MIDI input to share;
  // null when there is none.
  virtual AudioEventQueue* EventQueue() { return nullptr; }
};

// A device that cannot be opened: the program then reports the device
// error and runs without sound.
class UnavailableDevice final : public AudioDevice {
 public:
  bool Open(const WaveFormat&) override { return false; }
  bool Prepare(WaveHeader&) override { return false; }
  bool Unprepare(WaveHeader&) override { return false; }
  bool Queue(WaveHeader&) override { return false; }
  bool Start() override { return false; }
  bool Reset() override { return false; }
  bool Close() override { return false; }
  bool IsOpen() const override { return false; }
};

// Two devices that cannot be opened, as on a machine without a sound card.
class NoSoundBackend final : public AudioBackend {
 public:
  AudioDevice& Capture() override { return CaptureDevice; }
  AudioDevice& Playback() override { return PlaybackDevice; }

 private:
  UnavailableDevice CaptureDevice;
  UnavailableDevice PlaybackDevice;
};

// The sound card when the program was built with it, else two devices that
// cannot be opened.
std::unique_ptr<AudioBackend> MakeSystemAudio();

}  // namespace sorvane
