// SPDX-License-Identifier: GPL-3.0-or-later
// The sound devices of the desktop program and the way their completion
// events reach the window's event loop. The real backend uses the sound
// card; where it is not built, or for tests, other backends stand in.
#pragma once

#include <memory>
#include <string>

#include "audio/Device.h"
#include "audio/ServerLink.h"
#include "core/Interface.h"
#include "devices/SoundSystem.h"
#include "engine/Engine.h"

namespace sorvane {

class AudioEventQueue;

class AudioBackend : public ServerLink {
 public:
  virtual AudioDevice& Capture() = 0;
  virtual AudioDevice& Playback() = 0;
  // The queue that carries the device events, drained by the engine's
  // thread and shared by the MIDI input; null when there is none.
  virtual AudioEventQueue* EventQueue() { return nullptr; }
  // Whether the sound client itself carries the MIDI input port, posting to
  // EventQueue() (JACK): then no MIDI port of its own is opened.
  virtual bool MidiOnSoundClient() const { return false; }

  // When the sound server goes away and comes back (it was restarted, a
  // headset changed profile), the window suspends the engine and renews the
  // connection; the program keeps running throughout. A backend that can
  // lose its server provides the two calls below and keeps these rules:
  //
  // - Noticing: the server's own thread sees the connection fail (a failed
  //   context or stream, a shutdown callback) and stores true in an atomic
  //   flag; nothing else happens there. It never calls the engine.
  // - While lost, the devices still keep their rules without a server.
  //   Reset() hands back every buffer still queued, each exactly once, as a
  //   done event on the usual path, and from then on nothing touches those
  //   buffers: the dead server never completes them itself. Close() releases
  //   the stream and succeeds; IsOpen() is false after it. No event is
  //   posted for a device after its Close().
  // - Reconnect() runs only after the engine has had every buffer back and
  //   closed both devices, so no event of the old streams is left. The same
  //   device objects are then opened, queued and started on the new
  //   connection, exactly as at start-up.
  //
  // Both calls run on the window's thread, about once a second.

  // True from the moment the connection that the devices use has failed
  // until Reconnect succeeds. Cheap (one atomic load).
  bool ServerLost() const override { return false; }
  // Drops the old server connection and makes a new one. True when
  // connected, and ServerLost is false from then on; false with a short
  // reason (for example "connection refused") while the server is not
  // there yet. Returns within a few tens of milliseconds either way: the
  // window waits for it.
  // The mode the devices were made for; the engine's queue follows it.
  virtual LatencyMode Latency() const { return LatencyMode::Normal; }
  bool Reconnect(std::string& reason) override {
    reason = "this sound backend cannot reconnect";
    return false;
  }
};

// Two devices that cannot be opened, as on a machine without a sound card.
class NoSoundBackend final : public AudioBackend {
 public:
  AudioDevice& Capture() override { return CaptureDevice; }
  AudioDevice& Playback() override { return PlaybackDevice; }

 private:
  UnopenableDevice CaptureDevice;
  UnopenableDevice PlaybackDevice;
};

// The sound card when the program was built with it (the server, devices
// and buffer sizes options chooses), else two devices that cannot be opened.
std::unique_ptr<AudioBackend> MakeSystemAudio(const SoundOptions& options = SoundOptions{});

}  // namespace sorvane
