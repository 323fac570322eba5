// SPDX-License-Identifier: GPL-3.0-or-later
// The real sound card behind the engine's device interface, through
// PortAudio: the system's default input and default output, each as its own
// stream (input-only and output-only; on the PulseAudio path one duplex
// stream drops or repeats blocks, two streams do not), 22050 Hz, mono,
// 16-bit.
//
// Buffers stay owned by the caller and pass through a BufferQueue, which
// holds the queue rules; the stream's callback hands it the frames captured
// or asks it for the frames to play, with the stream's times, and each
// buffer it completes is posted to the AudioEventQueue. The callbacks only
// move samples and post events: no allocation, no lock, no logging, no
// engine call.
//
// Playback: the output stream starts when the device opens and plays silence
// whenever no buffer is queued (an underrun is not an error), so the first
// queued buffer starts playing at once and a start failure shows up as an
// open failure. A buffer is done when its last sample has been played: the
// callback hands it back once the stream's clock has passed the time the
// stream gave for that sample, so the buffers the engine counts as queued
// include what the sound server still holds, and its buffering adds nothing
// to the delay the playback queue sets. (Where the stream gives no usable
// times, a buffer is done once its last sample is handed to PortAudio.)
// Capture: the input stream runs from Start() until Reset() or
// Close(); input that arrives while no buffer is queued is discarded.
//
// Every buffer a stream completes carries in WaveHeader::FirstSampleAtUs the time
// at which its first sample passed the converter (sampled for capture,
// played for playback), in microseconds of PortAudio's stream clock, which
// both devices share: the difference between an output buffer and the
// capture buffer it was made from is the input-to-output delay.
//
// Reset() and Close() stop the stream first, so the callback no longer
// touches any buffer, and then post every queued buffer as done, oldest
// first, from the calling thread. After Reset() the playback stream runs
// again from the next queued buffer (or Start()); capture needs Start().
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "devices/BufferQueue.h"
#include "devices/Device.h"
#include "engine/EventQueue.h"

struct PaStreamCallbackTimeInfo;

namespace sorvane {

// PortAudio's lifetime: initialised by the constructor, terminated by the
// destructor; devices are opened only while one exists. While PortAudio
// probes the system, ALSA and JACK print many harmless complaints (missing
// cards, no JACK server), and PortAudio prints its own diagnostics when a
// stream cannot be opened or started; all of that is kept off stderr (the
// device's caller reports failures itself), and a missing JACK server is
// never started behind the user's back. What is printed is one line per
// device that cannot be opened, naming the device and PortAudio's reason.
// It also asks the sound servers for
// small client buffers (PULSE_LATENCY_MSEC=20, PIPEWIRE_LATENCY=64/22050),
// unless the user has set those variables, so that the devices add as little as they
// can to the delay that the engine's playback queue sets.
class PortAudioSystem {
 public:
  PortAudioSystem();
  ~PortAudioSystem();
  PortAudioSystem(const PortAudioSystem&) = delete;
  PortAudioSystem& operator=(const PortAudioSystem&) = delete;

  bool Ok() const { return Initialised; }

 private:
  bool Initialised = false;
};

// What a device has seen, for reports and tests. Counted by the callback.
struct PortAudioCounters {
  uint64_t Callbacks;
  uint64_t Frames;          // frames the stream delivered or asked for
  uint64_t IdleFrames;      // capture: discarded, no buffer queued; playback: silence played
  uint64_t StatusFlags;     // callbacks that reported an over- or underflow
  uint64_t BuffersDone;     // buffers completed by the stream (not by a reset)
  // What the sound system adds, summed over the callbacks (µs): capture, the
  // age of each callback's first frame when it is handed over; playback, the
  // time until each callback's first frame is played.
  uint64_t DeviceLatencyMicros;
};

class PortAudioDevice final : public AudioDevice {
 public:
  // Header flag bits this device keeps in WaveHeader::Flags.
  static constexpr uint32_t kDone = BufferQueue::kDone;
  static constexpr uint32_t kPrepared = BufferQueue::kPrepared;
  static constexpr uint32_t kInQueue = BufferQueue::kInQueue;
  // Buffers a device can hold at once; the engine queues at most 101.
  static constexpr uint32_t kRingCapacity = BufferQueue::kCapacity;

  PortAudioDevice(DeviceKind kind, AudioEventQueue& events);
  ~PortAudioDevice() override;

  bool Open(const WaveFormat& format) override;
  bool Prepare(WaveHeader& header) override;
  bool Unprepare(WaveHeader& header) override;
  bool Queue(WaveHeader& header) override;
  bool Start() override;
  bool Reset() override;
  bool Close() override;
  bool IsOpen() const override { return Stream != nullptr; }

  DeviceKind Kind() const { return DeviceKindValue; }
  PortAudioCounters Counters() const;
  // Buffers queued and not yet completed (event thread).
  uint32_t QueuedBuffers() const;

 private:
  static int Callback(const void* input, void* output, unsigned long frames,
                      const PaStreamCallbackTimeInfo* timeInfo, unsigned long statusFlags,
                      void* self);
  // Posts a buffer the queue is done with.
  static void BufferDone(void* self, WaveHeader& header);
  // Stops the stream and posts every queued buffer as done, oldest first.
  bool StopAndReturnAll();
  // Whether the stream still counts as running but its callback has not run
  // for kStuckStreamSeconds: its thread is wedged in PortAudio (the audio
  // server went away under it) and stopping it would wait for ever.
  bool CallbackStuck() const;
  // Shuts the callback out for good: once this returns, the callback does
  // not touch the device again and ends its stream whenever it runs.
  void ShutCallbackOut();

  const DeviceKind DeviceKindValue;
  AudioEventQueue& Events;
  void* Stream = nullptr;  // PaStream
  // The stream's callback reaches the device through its door: kGateOpen,
  // kGateInside while a callback runs, kGateShut once the event thread has
  // shut it out. One per stream, on its own: a stream left to PortAudio
  // keeps its (shut) door after the device has gone or opened another.
  static constexpr int kGateOpen = 0;
  static constexpr int kGateInside = 1;
  static constexpr int kGateShut = 2;
  struct CallbackDoor {
    std::atomic<int> State{kGateOpen};
    PortAudioDevice* Device = nullptr;
  };
  std::unique_ptr<CallbackDoor> Door;
  // The stream's callback was shut out while it seemed stuck: the stream is
  // left to PortAudio, never stopped or closed, and takes no more buffers.
  bool Abandoned = false;
  // When the callback last ran, or the stream was last started (steady
  // clock, ns).
  std::atomic<int64_t> LastCallbackNs{0};

  // Single producer (event thread) and single consumer (the callback, or
  // the event thread while the stream is stopped or shut out).
  BufferQueue Buffers;

  alignas(64) std::atomic<uint64_t> CallbackCount{0};
  std::atomic<uint64_t> FrameCount{0};
  std::atomic<uint64_t> StatusFlagCount{0};
  std::atomic<uint64_t> LatencyMicros{0};
};

// The default input device, reporting filled buffers to events.
std::unique_ptr<AudioDevice> MakePortAudioCapture(AudioEventQueue& events);
// The default output device, reporting played buffers to events.
std::unique_ptr<AudioDevice> MakePortAudioPlayback(AudioEventQueue& events);

}  // namespace sorvane
