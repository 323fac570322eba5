// SPDX-License-Identifier: GPL-3.0-or-later
// The path by which audio completion events and MIDI messages reach the
// engine's event thread. Sound-card and MIDI callbacks run on their own
// threads and must never block, allocate or call the engine; they post
// "this buffer is done" or a MIDI message here and the event thread, woken
// through an eventfd, runs the handlers one event at a time in the order the
// events were posted. Free of Qt and of
// sound servers: the desktop program watches WakeFd() with a socket notifier,
// the headless live mode polls it. The queue knows nothing of the engine:
// whoever drains it names the handler (EngineEvents in engine/Engine.h for
// the engine's own).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "audio/Device.h"

namespace sorvane {

enum class DeviceKind : uint8_t { Capture, Playback, Midi };

// Handles one completion event: the buffer that device kind finished.
using AudioEventHandler = void (*)(void* context, DeviceKind kind, WaveHeader& header);
// Who handles completion events: a handler and its context.
struct EventTarget {
  AudioEventHandler Handle;
  void* Context;
};

// Multi-producer, single-consumer, bounded. Producers are the capture and
// playback callback threads, the MIDI input's thread and the event thread
// itself (a device reset posts the returned buffers); the consumer is the
// event thread.
class AudioEventQueue {
 public:
  // 202 buffers exist at most, each with at most one pending event; MIDI
  // may fill at most kMidiPending cells, so that a burst of MIDI can never
  // take the cell of a buffer's event. The last kMidiReleaseCells of those
  // take only messages that let go of notes, so that a burst of note-ons
  // and controllers while the event thread is busy cannot make a note stick.
  static constexpr size_t kCapacity = 1024;
  static constexpr size_t kMidiPending = 512;
  static constexpr size_t kMidiReleaseCells = 128;
  static constexpr size_t kMidiMessageBytes = 3;
  static_assert((kCapacity & (kCapacity - 1)) == 0, "capacity must be a power of two");
  static_assert(kCapacity - kMidiPending >= 2 * 101, "every buffer's event must find a cell");

  // Release: the message lets go of notes (MidiLetsGo in keyboard/MidiNotes.h).
  enum class MidiUrgency : uint8_t { Other, Release };

  using Handler = AudioEventHandler;
  // A MIDI message of 1 to 3 bytes, status first.
  using MidiHandler = void (*)(void* context, const uint8_t* bytes, size_t length);

  AudioEventQueue();
  ~AudioEventQueue();
  AudioEventQueue(const AudioEventQueue&) = delete;
  AudioEventQueue& operator=(const AudioEventQueue&) = delete;

  // Any thread. Lock-free: never allocates, blocks or waits for another
  // thread. Makes WakeFd() readable. When the queue is full (a fault: more
  // events than buffers) the event is counted in Overflows() and lost.
  void Post(DeviceKind kind, WaveHeader* header) noexcept;
  // Any thread, the same guarantees: one MIDI channel message of 1 to 3
  // bytes (longer ones are not posted). Counted in MidiDrops() and lost
  // when kMidiPending messages already wait, or kMidiPending -
  // kMidiReleaseCells for one that is not a release.
  void PostMidi(const uint8_t* bytes, size_t length, MidiUrgency urgency = MidiUrgency::Other) noexcept;
  // Event thread: who receives the MIDI messages; null drops them.
  void SetMidiHandler(MidiHandler handler, void* context);

  // An eventfd that is readable while events are pending. It may also be
  // readable, spuriously, when none is; DispatchOne then returns false.
  int WakeFd() const { return WakeDescriptor; }

  // Event thread. Pops the oldest event and hands it to target; false when
  // none was pending. The event is removed before its handler runs, so a
  // handler may dispatch further events from a nested event loop.
  bool DispatchOne(const EventTarget& target) { return DispatchOne(target.Handle, target.Context); }
  // Pops the events posted before the call (not those posted meanwhile,
  // which keep WakeFd() readable for the next pass); returns how many.
  int DispatchAll(const EventTarget& target) { return DispatchAll(target.Handle, target.Context); }

  // The same with the handler and its context apart.
  bool DispatchOne(Handler handler, void* context);
  int DispatchAll(Handler handler, void* context);

  // Event thread: waits up to timeoutMs (negative: forever) until WakeFd()
  // is readable; false on time-out.
  bool Wait(int timeoutMs) const;

  // Event thread: no event is ready to pop.
  bool Empty() const;
  // Any thread: events claimed so far, and events whose handler has
  // returned, both counted from the start. A producer that posted an event
  // and read Posted() after it knows the event's handler has run once
  // Handled() reaches that count.
  size_t Posted() const { return EnqueuePos.load(std::memory_order_acquire); }
  size_t Handled() const { return HandledPos.load(std::memory_order_acquire); }
  uint64_t Overflows() const { return OverflowCount.load(std::memory_order_relaxed); }
  uint64_t MidiDrops() const { return MidiDropCount.load(std::memory_order_relaxed); }

 private:
  struct Cell {
    // Slot protocol: Sequence == position means free for the producer that
    // claimed that position; position + 1 means filled and ready to pop.
    std::atomic<size_t> Sequence;
    DeviceKind Kind;
    WaveHeader* Header;
    std::array<uint8_t, kMidiMessageBytes> Midi;
    uint8_t MidiLength;
  };

  bool Claim(size_t& pos) noexcept;
  void Wake() noexcept;
  void ClearWake() noexcept;

  std::array<Cell, kCapacity> Cells;
  alignas(64) std::atomic<size_t> EnqueuePos{0};
  alignas(64) size_t DequeuePos = 0;  // event thread only
  std::atomic<size_t> HandledPos{0};  // written by the event thread only
  std::atomic<uint64_t> OverflowCount{0};
  std::atomic<size_t> MidiWaiting{0};
  std::atomic<uint64_t> MidiDropCount{0};
  MidiHandler MidiTo = nullptr;  // event thread only
  void* MidiContext = nullptr;
  int WakeDescriptor = -1;
};

}  // namespace sorvane
