// SPDX-License-Identifier: GPL-3.0-or-later
// A virtual capture and playback device pair on a virtual sample clock, and
// the event loop that drives the engine with them (through the target that
// EngineEvents gives). The offline renderer and the engine's tests run the
// real pipeline on it: capture block i completes
// at 220·(i + 1); playback plays its queue one sample per tick; the loop
// handles posted events one at a time in post-time order, playback before
// capture at equal times, and can be made busy (a stall) before a capture
// event. Everything is deterministic.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "audio/BufferQueue.h"
#include "audio/Device.h"
#include "audio/EventQueue.h"

namespace sorvane {

class VirtualAudioRig;

// What the loop's owner does around each capture event.
class VirtualLoopClient {
 public:
  virtual ~VirtualLoopClient() = default;
  // Runs just before capture event `block` is handled, or where it would
  // have been handled when its sound was lost. May call Stall().
  virtual void BeforeCapture(VirtualAudioRig& rig, int32_t block) = 0;
  // Runs after the engine has handled capture event `block`.
  virtual void AfterCapture(VirtualAudioRig& rig, int32_t block, int64_t handledAt) = 0;
};

// Where the capture device's sound comes from when it is not an array:
// blocks are asked for in increasing order, each at most once (a lost
// block is skipped).
class VirtualCaptureSource {
 public:
  virtual ~VirtualCaptureSource() = default;
  // Fills out with samples first .. first + count - 1 (silence past the end).
  virtual void Fill(int64_t first, int16_t* out, int32_t count) = 0;
};

// Where the playback device's sound goes instead of Played().
class VirtualPlaybackSink {
 public:
  virtual ~VirtualPlaybackSink() = default;
  virtual void Write(const int16_t* samples, int64_t count) = 0;
};

class VirtualAudioRig {
 public:
  VirtualAudioRig();
  ~VirtualAudioRig();
  VirtualAudioRig(const VirtualAudioRig&) = delete;
  VirtualAudioRig& operator=(const VirtualAudioRig&) = delete;

  AudioDevice& Capture();
  AudioDevice& Playback();

  // The sound that capture delivers; blocks beyond it are silence.
  void SetInput(const int16_t* samples, int64_t count);
  // The sound that capture delivers, read as it is needed.
  void SetInputSource(VirtualCaptureSource* source) { Source = source; }
  // Makes room for this many played samples, so that running allocates nothing.
  void ReservePlayed(int64_t samples);
  // Hands what is played to sink instead of keeping it in Played().
  void SetPlaybackSink(VirtualPlaybackSink* sink) { Sink = sink; }

  // Handles events until capture event blocks - 1 has been handled, then the
  // playback events posted up to that moment. Returns at once when the engine
  // is stuck (nothing pending and no capture).
  void Run(const EventTarget& target, int32_t blocks, VirtualLoopClient* client);
  // Handles pending events (device resets, playback) at the current time and
  // after it, without new capture blocks, until none is left.
  void Drain(const EventTarget& target);

  // Inside BeforeCapture: the loop is busy for this many samples. The clock
  // stops at the largest time it can hold rather than wrap.
  void Stall(int64_t samples);
  // Inside a client call: Run returns after this event, the run given up.
  void Stop() { StopRequested = true; }

  int64_t Clock() const { return CurrentTime; }
  // Everything written to the playback device, in queue order.
  const std::vector<int16_t>& Played() const { return PlayedSamples; }
  // Capture blocks lost because no buffer was queued with the device.
  int32_t LostBlocks() const { return LostCount; }
  // Buffers queued with the capture device right now.
  int32_t CaptureDeviceQueued() const { return static_cast<int32_t>(CaptureBuffers.Queued()); }

  // Failure injection for tests: the next call of that operation fails.
  enum class Op { Open, Prepare, Unprepare, Queue, Start };
  void FailNext(bool capture, Op op);

 private:
  friend class VirtualDevice;
  friend class VirtualCapture;
  friend class VirtualPlayback;

  enum Kind : int32_t { kPlaybackDone = 0, kCaptureDone = 1, kCaptureLost = 2 };
  struct Event {
    int64_t PostTime;
    int32_t Kind;
    int64_t Seq;
    WaveHeader* Header;
    int32_t Block;  // capture block index, -1 for a buffer returned by a reset
  };

  void Post(int64_t time, int32_t kind, WaveHeader* header, int32_t block);
  int FindEarliest() const;
  void RemoveAt(int index);
  void DeviceCaptureAt(int32_t block);
  // Where the buffer queues hand their finished buffers: an event at the
  // time the device finished them.
  static void CaptureBufferDone(void* self, WaveHeader& header);
  static void PlaybackBufferDone(void* self, WaveHeader& header);
  // Lost blocks wait in ranges; one of them at a time stands in the event
  // list, the earliest, so a long stall costs no more than a short one.
  void PostNextLostBlock();
  // Handles one event or device action; false when nothing is left before
  // `limitBlocks` capture blocks have been produced.
  bool Step(const EventTarget& target, int32_t limitBlocks, VirtualLoopClient* client, int32_t& lastHandled);
  bool ConsumeFailure(bool capture, Op op);

  static constexpr int kMaxEvents = 1024;

  // Capture device: the block being filled (-1 while a reset returns the
  // buffers) and the samples it is filled from.
  bool CaptureOpen = false;
  bool CaptureStarted = false;
  BufferQueue CaptureBuffers;
  int32_t CaptureBlock = -1;
  std::array<int16_t, kBlockSamples> CaptureSamples{};
  // Playback device. Its virtual server takes each buffer whole as it is
  // queued (the queue hands it back then) and plays one sample a tick; the
  // buffer's event is posted at PlaybackEnd, when its last sample has played.
  bool PlaybackOpen = false;
  int64_t PlaybackEnd = 0;
  BufferQueue PlaybackBuffers;
  std::vector<int16_t> PlayedSamples;

  const int16_t* Input = nullptr;
  int64_t InputCount = 0;
  VirtualCaptureSource* Source = nullptr;
  VirtualPlaybackSink* Sink = nullptr;
  bool StopRequested = false;

  std::array<Event, kMaxEvents> Events{};
  int32_t EventCount = 0;
  int64_t NextSeq = 0;
  int64_t CurrentTime = 0;
  int32_t NextBlock = 0;
  int32_t CommandsRunFor = -1;  // the block whose commands have run
  int32_t LostCount = 0;
  std::vector<std::pair<int32_t, int32_t>> LostRanges;  // first and last block of each run
  size_t LostHead = 0;
  bool LostPosted = false;
  uint32_t FailCapture = 0;
  uint32_t FailPlayback = 0;

  std::unique_ptr<AudioDevice> CaptureDevice;
  std::unique_ptr<AudioDevice> PlaybackDevice;
};

}  // namespace sorvane
