// SPDX-License-Identifier: GPL-3.0-or-later
// Bounded multi-producer queue of audio completion events with an eventfd
// wake-up. Each slot carries a sequence number: a producer claims a position
// with one compare-and-swap on EnqueuePos, fills the slot and publishes it by
// storing position + 1; the consumer pops only published slots in position
// order, so events come out in the order their positions were claimed.
#include "audio/EventQueue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace sorvane {

namespace {
constexpr size_t kMask = AudioEventQueue::kCapacity - 1;
}  // namespace

AudioEventQueue::AudioEventQueue() {
  for (size_t i = 0; i < kCapacity; ++i) {
    Cells[i].Sequence.store(i, std::memory_order_relaxed);
    Cells[i].Kind = DeviceKind::Capture;
    Cells[i].Header = nullptr;
    Cells[i].Midi = {};
    Cells[i].MidiLength = 0;
  }
  WakeDescriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  // Without a wake-up the event thread would never learn of any event; this
  // only fails when the process is out of descriptors, at start-up.
  if (WakeDescriptor < 0) std::abort();
}

AudioEventQueue::~AudioEventQueue() {
  if (WakeDescriptor >= 0) close(WakeDescriptor);
}

// Claims the next free position; false when the queue is full.
bool AudioEventQueue::Claim(size_t& pos) noexcept {
  pos = EnqueuePos.load(std::memory_order_relaxed);
  for (;;) {
    const size_t seq = Cells[pos & kMask].Sequence.load(std::memory_order_acquire);
    const intptr_t dif = static_cast<intptr_t>(seq) - static_cast<intptr_t>(pos);
    if (dif == 0) {
      if (EnqueuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) return true;
    } else if (dif < 0) {
      return false;
    } else {
      pos = EnqueuePos.load(std::memory_order_relaxed);
    }
  }
}

void AudioEventQueue::Post(DeviceKind kind, WaveHeader* header) noexcept {
  size_t pos;
  if (!Claim(pos)) {
    OverflowCount.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  Cell* cell = &Cells[pos & kMask];
  cell->Kind = kind;
  cell->Header = header;
  cell->Sequence.store(pos + 1, std::memory_order_release);
  Wake();
}

void AudioEventQueue::PostMidi(const uint8_t* bytes, size_t length, MidiUrgency urgency) noexcept {
  if (length == 0 || length > kMidiMessageBytes) return;
  // A place among the cells this message may use, then a cell.
  const size_t places = urgency == MidiUrgency::Release ? kMidiPending : kMidiPending - kMidiReleaseCells;
  if (MidiWaiting.fetch_add(1, std::memory_order_relaxed) >= places) {
    MidiWaiting.fetch_sub(1, std::memory_order_relaxed);
    MidiDropCount.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  size_t pos;
  if (!Claim(pos)) {
    MidiWaiting.fetch_sub(1, std::memory_order_relaxed);
    MidiDropCount.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  Cell* cell = &Cells[pos & kMask];
  cell->Kind = DeviceKind::Midi;
  cell->Header = nullptr;
  cell->Midi = {};
  for (size_t i = 0; i < length; ++i) cell->Midi[i] = bytes[i];
  cell->MidiLength = static_cast<uint8_t>(length);
  cell->Sequence.store(pos + 1, std::memory_order_release);
  Wake();
}

void AudioEventQueue::SetMidiHandler(MidiHandler handler, void* context) {
  MidiTo = handler;
  MidiContext = context;
}

void AudioEventQueue::Wake() noexcept {
  const uint64_t one = 1;
  // Non-blocking; the counter cannot realistically overflow, and a failed
  // write still leaves an earlier wake-up pending.
  [[maybe_unused]] ssize_t n = write(WakeDescriptor, &one, sizeof one);
}

void AudioEventQueue::ClearWake() noexcept {
  uint64_t count;
  [[maybe_unused]] ssize_t n = read(WakeDescriptor, &count, sizeof count);
}

bool AudioEventQueue::Empty() const {
  const Cell& cell = Cells[DequeuePos & kMask];
  return cell.Sequence.load(std::memory_order_acquire) != DequeuePos + 1;
}

bool AudioEventQueue::DispatchOne(Handler handler, void* context) {
  // Clear the wake-up before looking, so that an event published after the
  // look re-arms it through its own Post.
  ClearWake();
  const size_t pos = DequeuePos;
  Cell& cell = Cells[pos & kMask];
  if (cell.Sequence.load(std::memory_order_acquire) != pos + 1) return false;
  const DeviceKind kind = cell.Kind;
  WaveHeader* header = cell.Header;
  const std::array<uint8_t, kMidiMessageBytes> midi = cell.Midi;
  const uint8_t midiLength = cell.MidiLength;
  cell.Sequence.store(pos + kCapacity, std::memory_order_release);
  DequeuePos = pos + 1;
  if (kind == DeviceKind::Midi) MidiWaiting.fetch_sub(1, std::memory_order_relaxed);
  // Events left behind keep the descriptor readable for the event loop,
  // also when the handler below runs a nested loop that stops early.
  if (!Empty()) Wake();
  if (kind == DeviceKind::Midi) {
    if (MidiTo != nullptr) MidiTo(MidiContext, midi.data(), midiLength);
  } else {
    handler(context, kind, *header);
  }
  // A nested loop in the handler may have handled later events already.
  if (static_cast<intptr_t>(pos + 1 - HandledPos.load(std::memory_order_relaxed)) > 0) {
    HandledPos.store(pos + 1, std::memory_order_release);
  }
  return true;
}

int AudioEventQueue::DispatchAll(Handler handler, void* context) {
  // Only the events claimed before this pass: when the engine falls behind,
  // events posted meanwhile wait for the next turn of the event loop, so
  // input, timers and a termination signal are handled between passes.
  const size_t end = EnqueuePos.load(std::memory_order_acquire);
  int n = 0;
  while (static_cast<intptr_t>(end - DequeuePos) > 0 && DispatchOne(handler, context)) ++n;
  return n;
}

bool AudioEventQueue::Wait(int timeoutMs) const {
  pollfd pfd{WakeDescriptor, POLLIN, 0};
  for (;;) {
    const int r = poll(&pfd, 1, timeoutMs);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace sorvane
