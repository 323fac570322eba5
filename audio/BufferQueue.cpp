// SPDX-License-Identifier: GPL-3.0-or-later
// The buffer queue's mechanics: a single-producer, single-consumer ring of
// header pointers whose positions run freely, and the header flags, read
// and written through atomic_ref because both threads look at them.
#include "audio/BufferQueue.h"

#include <algorithm>
#include <cstring>

namespace sorvane {

namespace {

constexpr uint32_t kMask = BufferQueue::kCapacity - 1;
static_assert((BufferQueue::kCapacity & kMask) == 0, "ring size must be a power of two");

std::atomic_ref<uint32_t> FlagsOf(WaveHeader& header) { return std::atomic_ref<uint32_t>(header.Flags); }

uint32_t FlagsOf(const WaveHeader& header) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(header.Flags)).load(std::memory_order_acquire);
}

bool HoldsSamples(const WaveHeader& header) {
  return header.Data != nullptr && header.BufferLength >= 2 && header.BufferLength % 2 == 0;
}

}  // namespace

BufferQueue::BufferQueue(BufferQueueKind kind, BufferDoneHandler done, void* context, uint32_t sampleRate)
    : Kind(kind), Done(done), Context(context), SampleRate(sampleRate) {}

bool BufferQueue::Prepare(WaveHeader& header) {
  if (!HoldsSamples(header)) return false;
  auto flags = FlagsOf(header);
  const uint32_t f = flags.load(std::memory_order_relaxed);
  if ((f & kInQueue) != 0) return false;
  flags.store(f | kPrepared, std::memory_order_relaxed);
  return true;
}

bool BufferQueue::Unprepare(WaveHeader& header) {
  auto flags = FlagsOf(header);
  const uint32_t f = flags.load(std::memory_order_acquire);
  if ((f & kInQueue) != 0) return false;  // still with the device
  flags.store(f & ~kPrepared, std::memory_order_relaxed);
  return true;
}

bool BufferQueue::Accepts(const WaveHeader& header) const {
  if (!HoldsSamples(header)) return false;
  const uint32_t f = FlagsOf(header);
  if ((f & kPrepared) == 0 || (f & kInQueue) != 0) return false;
  return Tail.load(std::memory_order_relaxed) - Head.load(std::memory_order_acquire) < kCapacity;
}

bool BufferQueue::Queue(WaveHeader& header) {
  if (!Accepts(header)) return false;
  if (Kind == BufferQueueKind::Capture) header.BytesRecorded = 0;
  auto flags = FlagsOf(header);
  flags.store((flags.load(std::memory_order_relaxed) & ~kDone) | kInQueue, std::memory_order_relaxed);
  const uint32_t tail = Tail.load(std::memory_order_relaxed);
  Ring[tail & kMask] = &header;
  Tail.store(tail + 1, std::memory_order_release);  // publishes the header and its samples
  return true;
}

void BufferQueue::Complete(WaveHeader& header) noexcept {
  auto flags = FlagsOf(header);
  flags.store((flags.load(std::memory_order_relaxed) & ~kInQueue) | kDone, std::memory_order_relaxed);
  DoneCount.fetch_add(1, std::memory_order_relaxed);
  Done(Context, header);
}

BufferQueue::FrontPiece BufferQueue::NextPiece(uint32_t index, uint32_t moved, uint32_t frames,
                                               int64_t startUs) noexcept {
  WaveHeader& header = *Ring[index & kMask];
  const uint32_t length = header.BufferLength / 2;
  const uint32_t take = std::min(length - FrontFrames, frames - moved);
  if (FrontFrames == 0) header.FirstSampleAtUs = static_cast<uintptr_t>(startUs + FramesToUs(moved));
  return {header, length, take};
}

void BufferQueue::Capture(const int16_t* input, uint32_t frames, int64_t firstFrameAtUs) noexcept {
  uint32_t moved = 0;
  while (moved < frames) {
    const uint32_t head = Head.load(std::memory_order_relaxed);
    if (head == Tail.load(std::memory_order_acquire)) {
      IdleFrameCount.fetch_add(frames - moved, std::memory_order_relaxed);
      return;
    }
    const auto [header, capacity, take] = NextPiece(head, moved, frames, firstFrameAtUs);
    int16_t* to = header.Data + FrontFrames;
    if (input != nullptr) {
      std::memcpy(to, input + moved, take * sizeof(int16_t));
    } else {
      std::memset(to, 0, take * sizeof(int16_t));
    }
    FrontFrames += take;
    moved += take;
    if (FrontFrames == capacity) {
      header.BytesRecorded = capacity * 2;
      FrontFrames = 0;
      Head.store(head + 1, std::memory_order_release);
      Complete(header);
    }
  }
}

void BufferQueue::Play(int16_t* output, uint32_t frames, int64_t nowUs, int64_t playsAtUs, bool songLate) noexcept {
  if (playsAtUs < nowUs) {
    PlayUntimed(output, frames);
    return;
  }
  // A server that reports more than it holds would otherwise have the
  // engine's own queue run dry while its count looked full.
  const int64_t playedFromUs = nowUs + std::min(playsAtUs - nowUs, MaxHoldUs);
  PlayFrames(output, frames, true, playedFromUs, DoneOnHandOut ? nowUs : playedFromUs, songLate);
  ReturnPlayed(nowUs);
}

void BufferQueue::PlayUntimed(int16_t* output, uint32_t frames) noexcept {
  PlayFrames(output, frames, false, 0, 0, false);
  ReturnPlayed(INT64_MAX);
}

bool BufferQueue::SkipOwed(uint32_t head, uint32_t moved, int64_t playedFromUs, int64_t doneFromUs) noexcept {
  WaveHeader& header = *Ring[head & kMask];
  const uint32_t length = header.BufferLength / 2;
  const uint32_t skip = std::min(OwedFrames, length - FrontFrames);
  // Its first sample would have played that much before the frame it now
  // starts with.
  if (FrontFrames == 0) {
    header.FirstSampleAtUs = static_cast<uintptr_t>(playedFromUs + FramesToUs(moved) - FramesToUs(skip));
  }
  FrontFrames += skip;
  OwedFrames -= skip;
  if (FrontFrames < length) return false;
  FrontFrames = 0;
  PlayedAtUs[head & kMask] = doneFromUs + FramesToUs(moved);
  CopyIndex = head + 1;
  return true;
}

void BufferQueue::PlayFrames(int16_t* output, uint32_t frames, bool timed, int64_t playedFromUs, int64_t doneFromUs,
                             bool songLate) noexcept {
  const uint32_t mostOwed = static_cast<uint32_t>(SampleRate / 50);
  uint32_t moved = 0;
  while (moved < frames) {
    const uint32_t head = CopyIndex;
    if (head == Tail.load(std::memory_order_acquire)) {
      // Nothing queued: silence, and the next buffer starts where it left
      // off, or, when the song is late, where it would have been.
      std::memset(output + moved, 0, (frames - moved) * sizeof(int16_t));
      IdleFrameCount.fetch_add(frames - moved, std::memory_order_relaxed);
      if (songLate && timed) OwedFrames = std::min(OwedFrames + (frames - moved), mostOwed);
      return;
    }
    if (OwedFrames > 0 && timed && SkipOwed(head, moved, playedFromUs, doneFromUs)) continue;
    const auto [header, length, take] = NextPiece(head, moved, frames, playedFromUs);
    std::memcpy(output + moved, header.Data + FrontFrames, take * sizeof(int16_t));
    FrontFrames += take;
    moved += take;
    if (FrontFrames == length) {
      FrontFrames = 0;
      // Its last sample is played one sample period before the next one.
      PlayedAtUs[head & kMask] = timed ? doneFromUs + FramesToUs(moved - 1) : 0;
      CopyIndex = head + 1;
    }
  }
}

void BufferQueue::ReturnPlayed(int64_t nowUs) noexcept {
  for (uint32_t head = Head.load(std::memory_order_relaxed); head != CopyIndex; ++head) {
    if (PlayedAtUs[head & kMask] > nowUs) break;
    WaveHeader& header = *Ring[head & kMask];
    Head.store(head + 1, std::memory_order_release);
    Complete(header);
  }
}

void BufferQueue::ReturnAll() {
  uint32_t head = Head.load(std::memory_order_relaxed);
  const uint32_t tail = Tail.load(std::memory_order_acquire);
  bool first = true;
  for (; head != tail; ++head) {
    WaveHeader& header = *Ring[head & kMask];
    if (Kind == BufferQueueKind::Capture) header.BytesRecorded = first ? FrontFrames * 2 : 0;
    first = false;
    Head.store(head + 1, std::memory_order_release);
    auto flags = FlagsOf(header);
    flags.store((flags.load(std::memory_order_relaxed) & ~kInQueue) | kDone, std::memory_order_relaxed);
    Done(Context, header);
  }
  FrontFrames = 0;
  CopyIndex = head;
  OwedFrames = 0;
}

uint32_t BufferQueue::Queued() const {
  return Tail.load(std::memory_order_relaxed) - Head.load(std::memory_order_acquire);
}

std::vector<WaveHeader*> BufferQueue::QueuedHeaders() const {
  std::vector<WaveHeader*> headers;
  const uint32_t tail = Tail.load(std::memory_order_relaxed);
  for (uint32_t head = Head.load(std::memory_order_acquire); head != tail; ++head) {
    headers.push_back(Ring[head & kMask]);
  }
  return headers;
}

}  // namespace sorvane
