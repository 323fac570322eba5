// SPDX-License-Identifier: GPL-3.0-or-later
// libpulse behind the engine's device interface: the sound system of one
// shared connection (PulseConnection.*) and two streams (PulseStream.*).
// See PulseDevices.h for the behaviour.
#include "devices/PulseDevices.h"

#include <memory>
#include <string>

#include "devices/PulseConnection.h"
#include "devices/PulseStream.h"

namespace sorvane {

namespace {

class PulseSoundSystem final : public SoundSystem {
 public:
  PulseSoundSystem(AudioEventQueue& events, const char* captureDevice, const char* playbackDevice, LatencyMode latency,
                   int cancelFd)
      : Connection(cancelFd),
        CaptureDevice(DeviceKind::Capture, Connection, events, captureDevice, latency),
        PlaybackDevice(DeviceKind::Playback, Connection, events, playbackDevice, latency) {
    if (Connection.MainLoop() == nullptr) return;
    LoopLock lock(Connection.MainLoop());
    std::string why;
    Answered = Connection.Ready(why);
  }

  const char* Name() const override { return "PulseAudio"; }
  bool Reachable() const override { return Answered; }
  AudioDevice& Capture() override { return CaptureDevice; }
  AudioDevice& Playback() override { return PlaybackDevice; }
  DeviceCounters Counters(DeviceKind kind) const override {
    return kind == DeviceKind::Capture ? CaptureDevice.Counters() : PlaybackDevice.Counters();
  }
  bool ServerLost() const override { return Connection.ServerLost(); }
  bool Reconnect(std::string& reason) override {
    if (Connection.MainLoop() == nullptr) {
      reason = "cannot start libpulse's main loop";
      return false;
    }
    // The streams of the old context go first, with their buffers.
    if (CaptureDevice.IsOpen() || PlaybackDevice.IsOpen()) {
      reason = "the sound devices are still open";
      return false;
    }
    LoopLock lock(Connection.MainLoop());
    if (!Connection.Reconnect(reason)) return false;
    Answered = true;
    return true;
  }

 private:
  PulseConnection Connection;  // made first, gone last
  PulseDevice CaptureDevice;
  PulseDevice PlaybackDevice;
  bool Answered = false;
};

}  // namespace

std::unique_ptr<SoundSystem> MakePulseSoundSystem(AudioEventQueue& events, const char* captureDevice,
                                                  const char* playbackDevice, LatencyMode latency, int cancelFd) {
  return std::make_unique<PulseSoundSystem>(events, captureDevice, playbackDevice, latency, cancelFd);
}

}  // namespace sorvane
