// SPDX-License-Identifier: GPL-3.0-or-later
// The queue of caller-owned buffers under every sound device: the rules of
// the device interface (Prepare, Queue, Unprepare, Reset) in one place, free
// of any sound server, so that each backend only moves frames and times.
//
// Two threads share it. The engine's thread prepares, queues and unprepares
// buffers and, once the backend has stopped the server thread from touching
// them, takes every queued buffer back (ReturnAll). The server thread hands
// captured frames in (Capture) or asks for frames to play (Play); that side
// is lock-free (one producer, one consumer, atomics only), allocates
// nothing and makes no system call.
//
// Capture: frames fill the oldest queued buffer; a full buffer is done, with
// FirstSampleAtUs the time its first sample was sampled. Frames that arrive
// while no buffer is queued are counted and lost.
// Playback: the oldest queued buffers' samples are handed out, silence while
// none is queued. Silence played while the caller knows the song to be late
// (the engine has not answered in time) is owed: that many frames, up to
// 20 ms, are skipped from the front of the song when it comes, so that it
// plays where it would have played on time and a late block costs a gap,
// not lasting delay. A buffer is done once it has been played: when the
// stream's clock has passed the time of its last sample, of which at most
// MaxServerHoldUs() of what the server says it still holds is believed (some
// servers report hundreds of ms that they do not hold). Where the server
// gives no times, a buffer is done once its last sample was handed out.
//
// Times are microseconds of one clock chosen by the backend.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "audio/Device.h"

namespace sorvane {

enum class BufferQueueKind : uint8_t { Capture, Playback };

// Receives each finished buffer: on the server thread for buffers the server
// completed (so it must not block or allocate), on the calling thread for
// those ReturnAll hands back.
using BufferDoneHandler = void (*)(void* context, WaveHeader& header);

class BufferQueue {
 public:
  // Header flag bits kept in WaveHeader::Flags.
  static constexpr uint32_t kDone = 0x01;
  static constexpr uint32_t kPrepared = 0x02;
  static constexpr uint32_t kInQueue = 0x10;
  // Buffers queued at once; the engine queues at most 101.
  static constexpr uint32_t kCapacity = 256;
  // The most of a server's reported buffering that a playback buffer waits
  // for, unless the backend says otherwise: six blocks, so that the engine's
  // queue keeps at least four of its ten buffers in hand whatever the
  // server reports. A backend that asked the server to hold less sets that
  // (PipeWire's PulseAudio server reports far more for a stream than it
  // holds: docs/latency.md).
  static constexpr int64_t kDefaultMaxServerHoldUs = 60000;

  BufferQueue(BufferQueueKind kind, BufferDoneHandler done, void* context, uint32_t sampleRate = kSampleRate);
  BufferQueue(const BufferQueue&) = delete;
  BufferQueue& operator=(const BufferQueue&) = delete;

  // Engine thread, while the server thread is off the queue (a stream opens).
  void SetSampleRate(uint32_t sampleRate) { SampleRate = sampleRate; }
  // Engine thread, likewise: the most of the server's reported buffering
  // that is believed.
  void SetMaxServerHoldUs(int64_t us) { MaxHoldUs = us; }
  int64_t MaxServerHoldUs() const { return MaxHoldUs; }
  // Engine thread, likewise: a playback buffer is done once its last sample
  // has been handed out, not played; its FirstSampleAtUs is still when it
  // is played. For a server whose own latency lies outside the engine's
  // queue (a low-latency queue of one to three blocks must all be still to
  // come to cover the jitter of the server's cycles).
  void SetDoneOnHandOut(bool on) { DoneOnHandOut = on; }

  // Engine thread. Refuses a buffer without samples, of odd or zero length,
  // or (Prepare, Unprepare) one that is queued.
  bool Prepare(WaveHeader& header);
  bool Unprepare(WaveHeader& header);
  // Engine thread. Whether Queue would take the header: prepared, not queued,
  // room in the ring. Lets a backend act (restart a stream) before queueing.
  bool Accepts(const WaveHeader& header) const;
  // Engine thread. Adds the header at the back; false when Accepts is false.
  bool Queue(WaveHeader& header);

  // Server thread, capture. input may be null (silence). firstFrameAtUs: when
  // input[0] was sampled.
  void Capture(const int16_t* input, uint32_t frames, int64_t firstFrameAtUs) noexcept;
  // Server thread, playback. nowUs: the stream's clock now; playsAtUs: when
  // output[0] will be played. A time already past counts as no time.
  // songLate: silence played for want of a buffer is owed (see above).
  void Play(int16_t* output, uint32_t frames, int64_t nowUs, int64_t playsAtUs, bool songLate = false) noexcept;
  // The same for a server that gives no times.
  void PlayUntimed(int16_t* output, uint32_t frames) noexcept;

  // Engine thread, with the server thread kept off the queue: hands every
  // queued buffer back as done, oldest first, a partly filled capture buffer
  // with the bytes it holds, the others empty.
  void ReturnAll();

  // Buffers queued and not yet done (engine thread).
  uint32_t Queued() const;
  // The queued buffers, oldest first (engine thread; for inspection).
  std::vector<WaveHeader*> QueuedHeaders() const;
  // Capture: frames lost for want of a buffer. Playback: silent frames.
  uint64_t IdleFrames() const { return IdleFrameCount.load(std::memory_order_relaxed); }
  // Buffers the server completed (not those ReturnAll handed back).
  uint64_t BuffersDone() const { return DoneCount.load(std::memory_order_relaxed); }

 private:
  void Complete(WaveHeader& header) noexcept;
  // The part of the front buffer that the next move covers.
  struct FrontPiece {
    WaveHeader& Header;  // the buffer at the ring position
    uint32_t Length;     // its length in frames
    uint32_t Take;       // frames to move: as many of the left ones as it has room for
  };
  // The piece of the buffer at ring position index for the frames still to
  // move. A buffer that starts with it is stamped with its first sample's
  // time: startUs, plus the moved frames before it.
  FrontPiece NextPiece(uint32_t index, uint32_t moved, uint32_t frames, int64_t startUs) noexcept;
  // Playback: completes, oldest first, the buffers played by nowUs.
  void ReturnPlayed(int64_t nowUs) noexcept;
  // playedFromUs: when output[0] is played, the hold already capped;
  // doneFromUs: when it counts as played.
  void PlayFrames(int16_t* output, uint32_t frames, bool timed, int64_t playedFromUs, int64_t doneFromUs,
                  bool songLate) noexcept;
  // Playback: skips what is owed from the front buffer at ring position
  // head, moved frames into the call; true when that finished the buffer.
  bool SkipOwed(uint32_t head, uint32_t moved, int64_t playedFromUs, int64_t doneFromUs) noexcept;
  int64_t FramesToUs(uint32_t frames) const { return static_cast<int64_t>(frames) * 1000000 / SampleRate; }

  const BufferQueueKind Kind;
  const BufferDoneHandler Done;
  void* const Context;
  int64_t SampleRate;
  int64_t MaxHoldUs = kDefaultMaxServerHoldUs;
  bool DoneOnHandOut = false;

  // Single producer (engine thread, Queue) and single consumer (the server
  // thread, or the engine thread in ReturnAll). Positions run freely.
  WaveHeader* Ring[kCapacity] = {};
  alignas(64) std::atomic<uint32_t> Head{0};  // next to consume
  alignas(64) std::atomic<uint32_t> Tail{0};  // next free
  uint32_t FrontFrames = 0;                   // frames already moved for the front buffer
  // Playback: buffers in [Head, CopyIndex) were handed out whole and wait to
  // be played; PlayedAtUs holds when each one's last sample is played (0:
  // at once).
  uint32_t CopyIndex = 0;
  int64_t PlayedAtUs[kCapacity] = {};
  // Playback: frames of silence played for late song, to be skipped.
  uint32_t OwedFrames = 0;

  std::atomic<uint64_t> IdleFrameCount{0};
  std::atomic<uint64_t> DoneCount{0};
};

}  // namespace sorvane
