// Virtual devices and their deterministic event loop.
#include "audio/VirtualDevices.h"

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

class VirtualCapture final : public AudioDevice {
 public:
  explicit VirtualCapture(VirtualAudioRig& rig) : rig_(rig) {}
  bool Open(const WaveFormat&) override {
    if (rig_.ConsumeFailure(true, VirtualAudioRig::Op::Open)) return false;
    rig_.captureOpen_ = true;
    return true;
  }
  bool Prepare(WaveHeader&) override { return !rig_.ConsumeFailure(true, VirtualAudioRig::Op::Prepare); }
  bool Unprepare(WaveHeader&) override { return !rig_.ConsumeFailure(true, VirtualAudioRig::Op::Unprepare); }
  bool Queue(WaveHeader& header) override {
    if (rig_.ConsumeFailure(true, VirtualAudioRig::Op::Queue)) return false;
    if (rig_.captureCount_ == VirtualAudioRig::kMaxDeviceQueue) return false;
    const int32_t tail = (rig_.captureHead_ + rig_.captureCount_) % VirtualAudioRig::kMaxDeviceQueue;
    rig_.captureQueue_[tail] = &header;
    rig_.captureCount_ = rig_.captureCount_ + 1;
    return true;
  }
  bool Start() override {
    if (rig_.ConsumeFailure(true, VirtualAudioRig::Op::Start)) return false;
    rig_.captureStarted_ = true;
    return true;
  }
  bool Reset() override {
    // Every queued buffer comes back now, in queue order.
    while (rig_.captureCount_ > 0) {
      WaveHeader* h = rig_.captureQueue_[rig_.captureHead_];
      rig_.captureHead_ = (rig_.captureHead_ + 1) % VirtualAudioRig::kMaxDeviceQueue;
      rig_.captureCount_ = rig_.captureCount_ - 1;
      h->BytesRecorded = 0;
      rig_.Post(rig_.clock_, VirtualAudioRig::kCaptureDone, h, -1);
    }
    rig_.captureStarted_ = false;
    return true;
  }
  bool Close() override {
    rig_.captureOpen_ = false;
    return true;
  }
  bool IsOpen() const override { return rig_.captureOpen_; }

 private:
  VirtualAudioRig& rig_;
};

class VirtualPlayback final : public AudioDevice {
 public:
  explicit VirtualPlayback(VirtualAudioRig& rig) : rig_(rig) {}
  bool Open(const WaveFormat&) override {
    if (rig_.ConsumeFailure(false, VirtualAudioRig::Op::Open)) return false;
    rig_.playbackOpen_ = true;
    return true;
  }
  bool Prepare(WaveHeader&) override { return !rig_.ConsumeFailure(false, VirtualAudioRig::Op::Prepare); }
  bool Unprepare(WaveHeader&) override { return !rig_.ConsumeFailure(false, VirtualAudioRig::Op::Unprepare); }
  bool Queue(WaveHeader& header) override {
    if (rig_.ConsumeFailure(false, VirtualAudioRig::Op::Queue)) return false;
    const int64_t samples = header.BufferLength / 2;
    // A buffer starts when it is written or when the one before it ends.
    const int64_t start = std::max(rig_.clock_, rig_.playbackEnd_);
    rig_.playbackEnd_ = LaterBy(start, samples);
    rig_.played_.insert(rig_.played_.end(), header.Data, header.Data + samples);
    rig_.Post(rig_.playbackEnd_, VirtualAudioRig::kPlaybackDone, &header, -1);
    return true;
  }
  bool Start() override { return true; }
  bool Reset() override {
    // Buffers not yet played come back now, still in the order written.
    for (int i = 0; i < rig_.eventCount_; ++i) {
      auto& e = rig_.events_[i];
      if (e.Kind == VirtualAudioRig::kPlaybackDone && e.PostTime > rig_.clock_) e.PostTime = rig_.clock_;
    }
    rig_.playbackEnd_ = rig_.clock_;
    return true;
  }
  bool Close() override {
    rig_.playbackOpen_ = false;
    return true;
  }
  bool IsOpen() const override { return rig_.playbackOpen_; }

 private:
  VirtualAudioRig& rig_;
};

VirtualAudioRig::VirtualAudioRig()
    : capture_(std::make_unique<VirtualCapture>(*this)), playback_(std::make_unique<VirtualPlayback>(*this)) {}

VirtualAudioRig::~VirtualAudioRig() = default;

AudioDevice& VirtualAudioRig::Capture() { return *capture_; }
AudioDevice& VirtualAudioRig::Playback() { return *playback_; }

void VirtualAudioRig::SetInput(const int16_t* samples, int64_t count) {
  input_ = samples;
  inputCount_ = count;
}

void VirtualAudioRig::ReservePlayed(int64_t samples) { played_.reserve(static_cast<size_t>(samples)); }

void VirtualAudioRig::FailNext(bool capture, Op op) {
  const uint32_t bit = 1u << static_cast<int>(op);
  if (capture) {
    failCapture_ |= bit;
  } else {
    failPlayback_ |= bit;
  }
}

bool VirtualAudioRig::ConsumeFailure(bool capture, Op op) {
  uint32_t& mask = capture ? failCapture_ : failPlayback_;
  const uint32_t bit = 1u << static_cast<int>(op);
  if ((mask & bit) == 0) return false;
  mask &= ~bit;
  return true;
}

void VirtualAudioRig::Stall(int64_t samples) {
  const int64_t due = static_cast<int64_t>(kBlockSamples) * (commandsRunFor_ + 1);
  clock_ = LaterBy(std::max(clock_, due), samples);
}

void VirtualAudioRig::Post(int64_t time, int32_t kind, WaveHeader* header, int32_t block) {
  assert(eventCount_ < kMaxEvents);
  events_[eventCount_] = Event{time, kind, seq_, header, block};
  eventCount_ = eventCount_ + 1;
  seq_ = seq_ + 1;
}

int VirtualAudioRig::FindEarliest() const {
  int best = -1;
  for (int i = 0; i < eventCount_; ++i) {
    const Event& e = events_[i];
    if (best < 0) {
      best = i;
      continue;
    }
    const Event& b = events_[best];
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
  for (int i = index; i + 1 < eventCount_; ++i) events_[i] = events_[i + 1];
  eventCount_ = eventCount_ - 1;
}

void VirtualAudioRig::DeviceCaptureAt(int32_t block) {
  const int64_t time = static_cast<int64_t>(kBlockSamples) * (block + 1);
  if (!captureStarted_ || captureCount_ == 0) {
    // No buffer with the device: this block's sound is lost.
    lost_ = lost_ + 1;
    if (lostHead_ < lostRanges_.size() && lostRanges_.back().second == block - 1) {
      lostRanges_.back().second = block;
    } else {
      lostRanges_.emplace_back(block, block);
    }
    if (!lostPosted_) PostNextLostBlock();
    return;
  }
  WaveHeader* h = captureQueue_[captureHead_];
  captureHead_ = (captureHead_ + 1) % kMaxDeviceQueue;
  captureCount_ = captureCount_ - 1;
  const int64_t first = static_cast<int64_t>(kBlockSamples) * block;
  for (int i = 0; i < kBlockSamples; ++i) {
    const int64_t at = first + i;
    h->Data[i] = at < inputCount_ ? input_[at] : 0;
  }
  h->BytesRecorded = kBlockSamples * 2;
  Post(time, kCaptureDone, h, block);
}

void VirtualAudioRig::PostNextLostBlock() {
  if (lostHead_ == lostRanges_.size()) {
    lostRanges_.clear();
    lostHead_ = 0;
    return;
  }
  auto& range = lostRanges_[lostHead_];
  const int32_t block = range.first;
  if (range.first == range.second) {
    lostHead_ = lostHead_ + 1;
  } else {
    range.first = range.first + 1;
  }
  Post(static_cast<int64_t>(kBlockSamples) * (block + 1), kCaptureLost, nullptr, block);
  lostPosted_ = true;
}

bool VirtualAudioRig::Step(EngineState& engine, int32_t limitBlocks, VirtualLoopClient* client,
                           int32_t& lastHandled) {
  const int index = FindEarliest();
  const int64_t handleAt = index >= 0 ? std::max(clock_, events_[index].PostTime) : INT64_MAX;
  if (nextBlock_ < limitBlocks) {
    const int64_t due = static_cast<int64_t>(kBlockSamples) * (nextBlock_ + 1);
    // At one instant the device acts before the loop.
    if (due <= handleAt) {
      DeviceCaptureAt(nextBlock_);
      nextBlock_ = nextBlock_ + 1;
      return true;
    }
  }
  if (index < 0) return false;

  const Event e = events_[index];
  clock_ = handleAt;
  if (e.Kind != kPlaybackDone && e.Block >= 0 && commandsRunFor_ < e.Block) {
    // The owner's commands for this block come first; a stall among them
    // moves the clock, so look again at what the devices did meanwhile.
    commandsRunFor_ = e.Block;
    if (client != nullptr) client->BeforeCapture(*this, e.Block);
    return true;
  }
  RemoveAt(index);
  switch (e.Kind) {
    case kPlaybackDone:
      OnPlaybackDone(engine, *e.Header);
      break;
    case kCaptureDone:
      OnCaptureDone(engine, *e.Header);
      if (e.Block >= 0) {
        lastHandled = e.Block;
        if (client != nullptr) client->AfterCapture(*this, e.Block, clock_);
      }
      break;
    default:
      lastHandled = e.Block;
      lostPosted_ = false;
      PostNextLostBlock();
      break;
  }
  return true;
}

void VirtualAudioRig::Run(EngineState& engine, int32_t blocks, VirtualLoopClient* client) {
  int32_t lastHandled = -1;
  while (lastHandled < blocks - 1) {
    if (!Step(engine, blocks, client, lastHandled)) return;
  }
  // The playback events posted up to this moment are handled too.
  for (;;) {
    const int index = FindEarliest();
    if (index < 0 || events_[index].Kind != kPlaybackDone || events_[index].PostTime > clock_) break;
    const Event e = events_[index];
    RemoveAt(index);
    OnPlaybackDone(engine, *e.Header);
  }
}

void VirtualAudioRig::Drain(EngineState& engine) {
  int32_t lastHandled = -1;
  while (Step(engine, nextBlock_, nullptr, lastHandled)) {
  }
}

}  // namespace sorvane
