// SPDX-License-Identifier: GPL-3.0-or-later
// One stream of the PulseAudio client, capture or playback, as a device of
// the engine: opened on the shared connection, its buffers in a BufferQueue,
// and the stream callbacks that move the frames. Only the PulseAudio
// client's files include it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "audio/BufferQueue.h"
#include "audio/Device.h"
#include "audio/EventQueue.h"
#include "devices/PulseConnection.h"
#include "devices/SoundSystem.h"

namespace sorvane {

// Capture fragments and playback requests of two blocks. The server's
// graph runs at the smallest period its streams ask for, so these set how
// often the whole graph wakes, and with it what the server costs; a shorter
// fragment makes PipeWire run at a shorter period at several times the cost
// (docs/latency.md has the figures). Neither adds to the delay: a capture
// buffer is timed by its first sample, and a playback buffer counts as
// queued until it has been played, so what the server holds lies inside the
// engine's playback queue (up to the target asked, which is all of it that
// a buffer waits for).
// Playback: the server holds four blocks and asks for two at a time, so a
// late callback has two blocks in hand; playback starts once the first
// request is written, and after an underrun with the next. What the server
// holds is that much less in the engine's own hands, which is why it is not
// more.
struct StreamSizes {
  uint32_t CaptureFragmentFrames;
  uint32_t PlaybackTargetFrames;
  uint32_t PlaybackRequestFrames;
};
inline constexpr StreamSizes kNormalSizes{2 * kBlockSamples, 4 * kBlockSamples, 2 * kBlockSamples};
// Low latency: the engine keeps one to three blocks queued for playback, so
// the server holds one block and asks for half a block at a time; capture
// hands over each half block as it comes. The graph then wakes about every
// 5 ms, which costs the server what a low-latency client costs.
inline constexpr StreamSizes kLowLatencySizes{kBlockSamples / 2, kBlockSamples, kBlockSamples / 2};
// The server's latency follows the buffer sizes asked (ADJUST_LATENCY),
// and the stream's clock is interpolated between the server's timing
// updates, which come by themselves, so a callback reads its times without
// asking the server.
inline constexpr pa_stream_flags_t kStreamFlags = static_cast<pa_stream_flags_t>(
    PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);

// One stream, capture or playback, on the shared connection.
class PulseDevice final : public AudioDevice {
 public:
  PulseDevice(DeviceKind kind, PulseConnection& connection, AudioEventQueue& events, const char* deviceName,
              LatencyMode latency)
      : Kind(kind),
        Sizes(latency == LatencyMode::Low ? kLowLatencySizes : kNormalSizes),
        Connection(connection),
        Events(events),
        DeviceName(deviceName != nullptr ? deviceName : ""),
        Buffers(kind == DeviceKind::Capture ? BufferQueueKind::Capture : BufferQueueKind::Playback,
                &PulseDevice::BufferDone, this) {}

  ~PulseDevice() override;

  bool Open(const WaveFormat& format) override;

  bool Prepare(WaveHeader& header) override { return Buffers.Prepare(header); }
  bool Unprepare(WaveHeader& header) override { return Buffers.Unprepare(header); }

  bool Queue(WaveHeader& header) override {
    if (Stream == nullptr) return false;
    return Buffers.Queue(header);
  }

  bool Start() override;

  bool Reset() override;

  bool Close() override;

  bool IsOpen() const override { return Stream != nullptr; }

  DeviceCounters Counters() const;

 private:
  static void BufferDone(void* self, WaveHeader& header) {
    auto* device = static_cast<PulseDevice*>(self);
    device->Events.Post(device->Kind, &header);
  }

  // Lock held. Keeps the callbacks off the buffer queue, hands every queued
  // buffer back and empties the stream, without waiting for the server.
  void StopAndReturnAll();

  // Lock held: drops what the stream has read and nobody took yet.
  void DiscardReadable();

  // Lock held: the stream's callbacks end here, and the stream goes.
  void DropStream();

  void ReportOpenFailure(const WaveFormat& format, const std::string& why) const;

  // The stream callbacks, on the loop's thread with its lock held.

  static void OnRead(pa_stream* stream, size_t, void* self);

  static void OnWrite(pa_stream* stream, size_t requested, void* self);

  static void OnUnderflow(pa_stream*, void* self) {
    static_cast<PulseDevice*>(self)->UnderflowCount.fetch_add(1, std::memory_order_relaxed);
  }

  static void OnOverflow(pa_stream*, void* self) {
    static_cast<PulseDevice*>(self)->OverflowCount.fetch_add(1, std::memory_order_relaxed);
  }

  const DeviceKind Kind;
  const StreamSizes Sizes;
  PulseConnection& Connection;
  AudioEventQueue& Events;
  const std::string DeviceName;
  uint32_t Rate = kSampleRate;
  pa_stream* Stream = nullptr;
  // Capture: whether frames read go to the buffers. Read and written with
  // the loop's lock held only.
  bool Capturing = false;

  // Single producer (the engine's thread) and single consumer (the
  // callbacks, or the engine's thread while it holds the loop's lock).
  BufferQueue Buffers;

  alignas(64) std::atomic<uint64_t> CallbackCount{0};
  std::atomic<uint64_t> FrameCount{0};
  std::atomic<uint64_t> LostFrameCount{0};
  std::atomic<uint64_t> UnderflowCount{0};
  std::atomic<uint64_t> OverflowCount{0};
  std::atomic<uint64_t> LatencyMicros{0};
};

}  // namespace sorvane
