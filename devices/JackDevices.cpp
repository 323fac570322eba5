// SPDX-License-Identifier: GPL-3.0-or-later
// The capture and playback devices on the JACK client: the device interface
// over each one's buffer queue, and the gate that keeps the process callback
// off a device while the engine's thread resets or closes it. The client is
// in JackConnection.cpp, the process callback in JackProcess.cpp; see
// JackDevices.h for the behaviour.
#include "devices/JackDevices.h"

#include <thread>

namespace sorvane {

JackDevice::JackDevice(JackSoundSystem& system, DeviceKind kind)
    : System(system),
      Kind(kind),
      Buffers(kind == DeviceKind::Capture ? BufferQueueKind::Capture : BufferQueueKind::Playback,
              &JackDevice::BufferDone, this) {}

void JackDevice::BufferDone(void* self, WaveHeader& header) {
  auto* device = static_cast<JackDevice*>(self);
  device->System.Events.Post(device->Kind, &header);
}

bool JackDevice::Open(const WaveFormat& format) {
  if (Opened) return false;
  if (format.FormatTag != 1 || format.Channels != 1 || format.BitsPerSample != 16 ||
      format.SamplesPerSec != static_cast<uint32_t>(kSampleRate)) {
    return false;
  }
  if (System.Client != nullptr && System.ServerGone()) return false;
  std::string reason;
  if (!System.Connect(reason)) return false;
  Opened = true;
  // Playback plays silence until buffers come; capture waits for Start.
  if (Kind == DeviceKind::Playback) Admit();
  if (System.CaptureDevice.Opened && System.PlaybackDevice.Opened) return System.Activate();
  return true;
}

bool JackDevice::Queue(WaveHeader& header) {
  if (!Opened) return false;
  if (Kind == DeviceKind::Playback && !System.Active && !System.ServerGone() && !System.Activate()) return false;
  return Buffers.Queue(header);
}

bool JackDevice::Start() {
  if (!Opened || System.ServerGone()) return false;
  if (!System.Activate()) return false;
  Admit();
  return true;
}

bool JackDevice::Reset() {
  if (!Opened) return false;
  Shut();
  ReturnAllAndRewind();
  if (Kind == DeviceKind::Playback) Admit();
  return true;
}

bool JackDevice::Close() {
  if (!Opened) return false;
  Shut();
  ReturnAllAndRewind();
  Opened = false;
  if (!System.CaptureDevice.Opened && !System.PlaybackDevice.Opened) System.Disconnect();
  return true;
}

bool JackDevice::Enter() noexcept {
  int expected = kGateOpen;
  return Gate.compare_exchange_strong(expected, kGateInside, std::memory_order_acquire, std::memory_order_relaxed);
}

void JackDevice::Leave() noexcept { Gate.store(kGateOpen, std::memory_order_release); }

void JackDevice::Shut() {
  // The callback holds the gate for at most one cycle's work and never
  // blocks inside, so this waits for well under a period; once the server
  // is gone nothing holds it.
  for (;;) {
    int expected = kGateOpen;
    if (Gate.compare_exchange_weak(expected, kGateShut, std::memory_order_acquire, std::memory_order_relaxed) ||
        expected == kGateShut) {
      return;
    }
    std::this_thread::yield();
  }
}

void JackDevice::Admit() { Gate.store(kGateOpen, std::memory_order_release); }

void JackDevice::ReturnAllAndRewind() {
  Buffers.ReturnAll();
  JackSoundSystem& s = System;
  if (Kind == DeviceKind::Capture) {
    if (s.CaptureConverter != nullptr) src_reset(s.CaptureConverter);
    s.CaptureFramesIn = 0;
    s.CaptureFramesOut = 0;
  } else {
    // What the stage and the converter still hold belongs to buffers just
    // handed back: it is dropped, not played after them.
    if (s.PlaybackConverter != nullptr) src_reset(s.PlaybackConverter);
    s.StageCount = 0;
    s.StageUsed = 0;
    s.SongFramesTaken = 0;
    s.SongFramesPlayed = 0;
  }
}

}  // namespace sorvane
