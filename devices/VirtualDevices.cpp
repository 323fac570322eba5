// SPDX-License-Identifier: GPL-3.0-or-later
// Virtual devices and their deterministic event loop.
#include "devices/VirtualDevices.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>

namespace sorvane {
namespace {

// Times on the virtual clock stop at the largest one instead of wrapping, so
// that no stall, however long, can reorder the events.
int64_t LaterBy(int64_t time, int64_t samples) {
  if (samples <= 0) return time;
  return time > INT64_MAX - samples ? INT64_MAX : time + samples;
}

}  // namespace

// What the virtual capture and playback device do alike: an operation the
// rig was told to fail fails; Open and Close set the rig's flag for the
// device; buffers are prepared on the device's own queue.
class VirtualDevice : public AudioDevice {
 public:
  VirtualDevice(VirtualAudioRig& rig, bool capture)
      : Rig(rig),
        Capture(capture),
        Opened(capture ? rig.CaptureOpen : rig.PlaybackOpen),
        Buffers(capture ? rig.CaptureBuffers : rig.PlaybackBuffers) {}
  bool Open(const WaveFormat&) override {
    if (Fails(VirtualAudioRig::Op::Open)) return false;
    Opened = true;
    return true;
  }
  bool Prepare(WaveHeader& header) override { return !Fails(VirtualAudioRig::Op::Prepare) && Buffers.Prepare(header); }
  bool Unprepare(WaveHeader& header) override {
    return !Fails(VirtualAudioRig::Op::Unprepare) && Buffers.Unprepare(header);
  }
  bool Close() override {
    Opened = false;
    return true;
  }
  bool IsOpen() const override { return Opened; }

 protected:
  // True once for each failure FailNext asked for.
  bool Fails(VirtualAudioRig::Op op) { return Rig.ConsumeFailure(Capture, op); }

  VirtualAudioRig& Rig;

 private:
  const bool Capture;
  bool& Opened;
  BufferQueue& Buffers;
};

class VirtualCapture final : public VirtualDevice {
 public:
  explicit VirtualCapture(VirtualAudioRig& rig) : VirtualDevice(rig, true) {}
  bool Queue(WaveHeader& header) override {
    return !Fails(VirtualAudioRig::Op::Queue) && Rig.CaptureBuffers.Queue(header);
  }
  bool Start() override {
    if (Fails(VirtualAudioRig::Op::Start)) return false;
    Rig.CaptureStarted = true;
    return true;
  }
  bool Reset() override {
    // Every queued buffer comes back now, in queue order.
    Rig.CaptureBlock = -1;
    Rig.CaptureBuffers.ReturnAll();
    Rig.CaptureStarted = false;
    return true;
  }
};

class VirtualPlayback final : public VirtualDevice {
 public:
  static constexpr uint32_t kPlayChunk = 256;

  explicit VirtualPlayback(VirtualAudioRig& rig) : VirtualDevice(rig, false) {}
  bool Queue(WaveHeader& header) override {
    if (Fails(VirtualAudioRig::Op::Queue)) return false;
    if (!Rig.PlaybackBuffers.Queue(header)) return false;
    const uint32_t samples = header.BufferLength / 2;
    // A buffer starts when it is written or when the one before it ends.
    const int64_t start = std::max(Rig.CurrentTime, Rig.PlaybackEnd);
    Rig.PlaybackEnd = LaterBy(start, samples);
    // The server takes the whole buffer now, a chunk at a time; the queue
    // hands it back with its last sample.
    std::array<int16_t, kPlayChunk> chunk;
    for (uint32_t done = 0; done < samples;) {
      const uint32_t n = std::min(samples - done, kPlayChunk);
      Rig.PlaybackBuffers.PlayUntimed(chunk.data(), n);
      if (Rig.Sink != nullptr) {
        Rig.Sink->Write(chunk.data(), n);
      } else {
        Rig.PlayedSamples.insert(Rig.PlayedSamples.end(), chunk.data(), chunk.data() + n);
      }
      done += n;
    }
    return true;
  }
  bool Start() override { return true; }
  bool Reset() override {
    // Buffers not yet played come back now, still in the order written:
    // the queue holds none (each left it when it was taken), their events
    // wait in the loop.
    Rig.PlaybackBuffers.ReturnAll();
    for (int i = 0; i < Rig.EventCount; ++i) {
      auto& e = Rig.Events[i];
      if (e.Kind == VirtualAudioRig::kPlaybackDone && e.PostTime > Rig.CurrentTime) e.PostTime = Rig.CurrentTime;
    }
    Rig.PlaybackEnd = Rig.CurrentTime;
    return true;
  }
};

VirtualAudioRig::VirtualAudioRig()
    : CaptureBuffers(BufferQueueKind::Capture, &VirtualAudioRig::CaptureBufferDone, this),
      PlaybackBuffers(BufferQueueKind::Playback, &VirtualAudioRig::PlaybackBufferDone, this),
      CaptureDevice(std::make_unique<VirtualCapture>(*this)),
      PlaybackDevice(std::make_unique<VirtualPlayback>(*this)) {}

VirtualAudioRig::~VirtualAudioRig() = default;

void VirtualAudioRig::CaptureBufferDone(void* self, WaveHeader& header) {
  auto& rig = *static_cast<VirtualAudioRig*>(self);
  const int64_t time =
      rig.CaptureBlock >= 0 ? static_cast<int64_t>(kBlockSamples) * (rig.CaptureBlock + 1) : rig.CurrentTime;
  rig.Post(time, kCaptureDone, &header, rig.CaptureBlock);
}

void VirtualAudioRig::PlaybackBufferDone(void* self, WaveHeader& header) {
  auto& rig = *static_cast<VirtualAudioRig*>(self);
  rig.Post(rig.PlaybackEnd, kPlaybackDone, &header, -1);
}

AudioDevice& VirtualAudioRig::Capture() { return *CaptureDevice; }
AudioDevice& VirtualAudioRig::Playback() { return *PlaybackDevice; }

void VirtualAudioRig::SetInput(const int16_t* samples, int64_t count) {
  Input = samples;
  InputCount = count;
}

void VirtualAudioRig::ReservePlayed(int64_t samples) { PlayedSamples.reserve(static_cast<size_t>(samples)); }

void VirtualAudioRig::FailNext(bool capture, Op op) {
  const uint32_t bit = 1u << static_cast<int>(op);
  if (capture) {
    FailCapture |= bit;
  } else {
    FailPlayback |= bit;
  }
}

bool VirtualAudioRig::ConsumeFailure(bool capture, Op op) {
  uint32_t& mask = capture ? FailCapture : FailPlayback;
  const uint32_t bit = 1u << static_cast<int>(op);
  if ((mask & bit) == 0) return false;
  mask &= ~bit;
  return true;
}

void VirtualAudioRig::Stall(int64_t samples) {
  const int64_t due = static_cast<int64_t>(kBlockSamples) * (CommandsRunFor + 1);
  CurrentTime = LaterBy(std::max(CurrentTime, due), samples);
}

void VirtualAudioRig::Post(int64_t time, int32_t kind, WaveHeader* header, int32_t block) {
  assert(EventCount < kMaxEvents);
  Events[EventCount] = Event{time, kind, NextSeq, header, block};
  EventCount = EventCount + 1;
  NextSeq = NextSeq + 1;
}

int VirtualAudioRig::FindEarliest() const {
  int best = -1;
  for (int i = 0; i < EventCount; ++i) {
    const Event& e = Events[i];
    if (best < 0) {
      best = i;
      continue;
    }
    const Event& b = Events[best];
    // Post time first; at equal times playback before capture; then the
    // order in which they were posted.
    const int32_t ek = e.Kind == kPlaybackDone ? 0 : 1;
    const int32_t bk = b.Kind == kPlaybackDone ? 0 : 1;
    if (e.PostTime < b.PostTime || (e.PostTime == b.PostTime && (ek < bk || (ek == bk && e.Seq < b.Seq)))) {
      best = i;
    }
  }
  return best;
}

void VirtualAudioRig::RemoveAt(int index) {
  for (int i = index; i + 1 < EventCount; ++i) Events[i] = Events[i + 1];
  EventCount = EventCount - 1;
}

void VirtualAudioRig::DeviceCaptureAt(int32_t block) {
  if (!CaptureStarted || CaptureBuffers.Queued() == 0) {
    // No buffer with the device: this block's sound is lost.
    LostCount = LostCount + 1;
    if (LostHead < LostRanges.size() && LostRanges.back().second == block - 1) {
      LostRanges.back().second = block;
    } else {
      LostRanges.emplace_back(block, block);
    }
    if (!LostPosted) PostNextLostBlock();
    return;
  }
  const int64_t first = static_cast<int64_t>(kBlockSamples) * block;
  if (Source != nullptr) {
    Source->Fill(first, CaptureSamples.data(), kBlockSamples);
  } else {
    for (int i = 0; i < kBlockSamples; ++i) {
      const int64_t at = first + i;
      CaptureSamples[i] = at < InputCount ? Input[at] : 0;
    }
  }
  // The block fills the oldest queued buffer, which the queue hands back.
  CaptureBlock = block;
  CaptureBuffers.Capture(CaptureSamples.data(), kBlockSamples, first * 1000000 / kSampleRate);
  CaptureBlock = -1;
}

void VirtualAudioRig::PostNextLostBlock() {
  if (LostHead == LostRanges.size()) {
    LostRanges.clear();
    LostHead = 0;
    return;
  }
  auto& range = LostRanges[LostHead];
  const int32_t block = range.first;
  if (range.first == range.second) {
    LostHead = LostHead + 1;
  } else {
    range.first = range.first + 1;
  }
  Post(static_cast<int64_t>(kBlockSamples) * (block + 1), kCaptureLost, nullptr, block);
  LostPosted = true;
}

bool VirtualAudioRig::Step(const EventTarget& target, int32_t limitBlocks, VirtualLoopClient* client,
                           int32_t& lastHandled) {
  const int index = FindEarliest();
  const int64_t handleAt = index >= 0 ? std::max(CurrentTime, Events[index].PostTime) : INT64_MAX;
  if (NextBlock < limitBlocks) {
    const int64_t due = static_cast<int64_t>(kBlockSamples) * (NextBlock + 1);
    // At one instant the device acts before the loop.
    if (due <= handleAt) {
      DeviceCaptureAt(NextBlock);
      NextBlock = NextBlock + 1;
      return true;
    }
  }
  if (index < 0) return false;

  const Event e = Events[index];
  CurrentTime = handleAt;
  if (e.Kind != kPlaybackDone && e.Block >= 0 && CommandsRunFor < e.Block) {
    // The owner's commands for this block come first; a stall among them
    // moves the clock, so look again at what the devices did meanwhile.
    CommandsRunFor = e.Block;
    if (client != nullptr) client->BeforeCapture(*this, e.Block);
    return true;
  }
  RemoveAt(index);
  switch (e.Kind) {
    case kPlaybackDone: target.Handle(target.Context, DeviceKind::Playback, *e.Header); break;
    case kCaptureDone:
      target.Handle(target.Context, DeviceKind::Capture, *e.Header);
      if (e.Block >= 0) {
        lastHandled = e.Block;
        if (client != nullptr) client->AfterCapture(*this, e.Block, CurrentTime);
      }
      break;
    default:
      lastHandled = e.Block;
      LostPosted = false;
      PostNextLostBlock();
      break;
  }
  return true;
}

void VirtualAudioRig::Run(const EventTarget& target, int32_t blocks, VirtualLoopClient* client) {
  int32_t lastHandled = -1;
  while (lastHandled < blocks - 1) {
    if (!Step(target, blocks, client, lastHandled) || StopRequested) return;
  }
  // The playback events posted up to this moment are handled too.
  for (;;) {
    const int index = FindEarliest();
    if (index < 0 || Events[index].Kind != kPlaybackDone || Events[index].PostTime > CurrentTime) break;
    const Event e = Events[index];
    RemoveAt(index);
    target.Handle(target.Context, DeviceKind::Playback, *e.Header);
  }
}

void VirtualAudioRig::Drain(const EventTarget& target) {
  int32_t lastHandled = -1;
  while (Step(target, NextBlock, nullptr, lastHandled)) {
  }
}

}  // namespace sorvane
