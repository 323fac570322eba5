// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's handlers: device set-up, the suspension while the sound
// server is gone, the block pipeline of every capture event, playback
// completions and the close handshake. The commands of the control panel are
// in EngineControls.cpp.
#include "engine/Engine.h"

#include <cassert>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "core/Reporter.h"
#include "engine/LiveBlock.h"
#include "keyboard/KeyTable.h"

namespace sorvane {
namespace {

// Messages whose box is open right now, innermost last. A box runs a nested
// event loop; a device error that repeats there must not open box in box.
constexpr int kMaxOpenBoxes = 16;
const char* openBoxes[kMaxOpenBoxes];
int openBoxCount = 0;

EngineHost& NoHost() {
  static EngineHost host;
  return host;
}

// Zeroes a large record in place, without a temporary copy on the stack.
template <typename T>
void ZeroRecord(T& record) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memset(static_cast<void*>(&record), 0, sizeof(T));
}

int32_t NextRingIndex(int32_t index) { return index == kRingSize - 1 ? 0 : index + 1; }

// Hands the capture buffer at CaptureIndex to the device. Null on success,
// else the message of the step that failed.
const char* QueueCapture(EngineState& engine) {
  BufferRing& ring = engine.Ring;
  WaveHeader& header = ring.CaptureHeaders[ring.CaptureIndex];
  if (!engine.CaptureDevice->Prepare(header)) return "In Prepare error";
  if (!engine.CaptureDevice->Queue(header)) return "Add buffer error";
  ring.CaptureIndex = NextRingIndex(ring.CaptureIndex);
  ring.CaptureQueued = ring.CaptureQueued + 1;
  return nullptr;
}

// The same, showing the message when it failed; false then.
bool HandBackCapture(EngineState& engine) {
  if (const char* failed = QueueCapture(engine)) {
    ShowError(failed);
    return false;
  }
  return true;
}

// Opens both devices, sets up the ring, queues every capture buffer and
// starts capture. Null on success, else the message of the step that
// failed; the devices stay as that step left them and the engine does not
// run.
const char* StartAudio(EngineState& engine) {
  const WaveFormat format;
  if (engine.CaptureDevice == nullptr || !engine.CaptureDevice->Open(format)) return "Problem creating record handle";
  if (engine.PlaybackDevice == nullptr || !engine.PlaybackDevice->Open(format)) return "Problem creating play handle";
  BufferRing& ring = engine.Ring;
  ring.CaptureQueued = 0;
  ring.PlaybackQueued = 0;
  for (int i = 0; i < kRingSize; ++i) {
    ring.CaptureAreas[i].fill(0);
    ring.CaptureHeaders[i] = {ring.CaptureAreas[i].data(), kCaptureBufferBytes, 0, 0, 0, 0, nullptr, 0};
    ring.PlaybackAreas[i].fill(0);
    ring.PlaybackHeaders[i] = {ring.PlaybackAreas[i].data(), kCaptureBufferBytes, 0, 0, 0, 0, nullptr, 0};
  }
  ring.CaptureIndex = 0;
  ring.PlaybackIndex = 0;
  for (int n = 0; n < kRingSize; ++n) {
    if (const char* failed = QueueCapture(engine)) return failed;
  }
  if (!engine.CaptureDevice->Start()) return "Start error";
  engine.Closing = false;
  engine.CloseReady = false;
  engine.Running = true;
  engine.Host->AudioStarted();
  return nullptr;
}

bool DeviceOpen(const AudioDevice* device) { return device != nullptr && device->IsOpen(); }

// Both devices hand every queued buffer back as a done event.
void ResetOpenDevices(EngineState& engine) {
  if (DeviceOpen(engine.CaptureDevice)) engine.CaptureDevice->Reset();
  if (DeviceOpen(engine.PlaybackDevice)) engine.PlaybackDevice->Reset();
}

}  // namespace

void ShowError(const char* message) {
  for (int i = 0; i < openBoxCount; ++i) {
    if (std::strcmp(openBoxes[i], message) == 0) return;
  }
  const bool tracked = openBoxCount < kMaxOpenBoxes;
  if (tracked) {
    openBoxes[openBoxCount] = message;
    openBoxCount = openBoxCount + 1;
  }
  ShowErrorBox(LanguageJapanese() ? "Sorvane エラー" : "Sorvane ERROR!", message);
  if (tracked) openBoxCount = openBoxCount - 1;
}

int32_t RateControlStep(RateControl& rate, int32_t q) {
  rate.BlockLength = kBlockLengthNormal;
  switch (rate.RateState) {
    case kWarmUp:
      rate.WarmUpCount = rate.WarmUpCount - 1;
      if (rate.WarmUpCount == 0) rate.RateState = kSteady;
      break;
    case kSteady:
      if (q <= rate.Band.Low) {
        rate.RateState = kLengthen;
      } else if (q >= rate.Band.High) {
        rate.RateState = kShorten;
      }
      break;
    case kLengthen:
      if (q >= rate.Band.Target) {
        rate.RateState = kSteady;
      } else {
        rate.BlockLength = kBlockLengthLong;
      }
      break;
    case kShorten:
      if (q <= rate.Band.Target) {
        rate.RateState = kSteady;
      } else {
        rate.BlockLength = kBlockLengthShort;
      }
      break;
    default: break;
  }
  return rate.BlockLength;
}

void CreateEngine(EngineState& engine, EngineHost* host) {
  engine.Host = host != nullptr ? host : &NoHost();
  engine.Running = false;
  engine.Closing = false;
  engine.CloseReady = false;
  engine.Suspended = false;
  engine.Latency = LatencyMode::Normal;
  ResetPhraseState(engine.Phrase);
  ZeroRecord(engine.Store);

  engine.Params = {};
  engine.Params.ModDepth = 30;
  engine.Params.ModRate = 10;
  engine.CtrlHeld = false;
  engine.Params.ModAlwaysOn = false;
  engine.Params.Waveform = kImpulse;
  engine.Params.Octave = 2;  // "Mid"
  engine.Switches.TriangleShape = true;
  engine.Switches.Emphasis = false;
  engine.Rate = {kWarmUp, kWarmUpBlocks, kBlockLengthNormal, BandFor(engine.Latency)};
  ResetAnalysis(engine.Analysis, engine.Frame);
  ResetSynth(engine.Synth);
  engine.Params.EchoLevel = 0;
  engine.Params.EchoDelayMs = 100;
  ResetVoices(engine.Pool);
  ResetTakeRecorder(engine.Take);
  ZeroRecord(engine.Ring);
  engine.LastCapture = {};
  engine.HandledBlocks = 0;
  engine.DroppedBlocks = 0;
}

void SetLatencyMode(EngineState& engine, LatencyMode mode) {
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  engine.Latency = mode;
  engine.Rate.Band = BandFor(mode);
}

void OpenAudio(EngineState& engine) {
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  if (const char* failed = StartAudio(engine)) ShowError(failed);
}

void SuspendAudio(EngineState& engine) {
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  if (engine.Closing || engine.Suspended) return;
  engine.Suspended = true;
  // The drop gate now drops every returned capture buffer without handing
  // it back, exactly as while closing.
  engine.Running = false;
  ResetOpenDevices(engine);
  CloseCheck(engine);
}

bool SuspendSettled(const EngineState& engine) {
  return engine.Suspended && !engine.Closing && engine.Ring.CaptureQueued == 0 && engine.Ring.PlaybackQueued == 0 &&
         !DeviceOpen(engine.CaptureDevice) && !DeviceOpen(engine.PlaybackDevice);
}

const char* ResumeAudio(EngineState& engine) {
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  if (!engine.Suspended) return nullptr;
  // Only once every buffer of the old devices has been handled can no late
  // event of theirs be taken for one of the new devices.
  if (!SuspendSettled(engine)) return "the sound is still stopping";
  // The playback queue starts empty, as at start-up.
  engine.Rate = {kWarmUp, kWarmUpBlocks, kBlockLengthNormal, BandFor(engine.Latency)};
  const char* failed = StartAudio(engine);
  if (failed == nullptr) {
    engine.Suspended = false;
    return nullptr;
  }
  // Back to a settled suspension: what was queued comes back and is
  // dropped, then the devices close, and the next try starts afresh.
  ResetOpenDevices(engine);
  CloseCheck(engine);
  return failed;
}

void OnCaptureDone(EngineState& engine, WaveHeader& header) {
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  BufferRing& ring = engine.Ring;
  ring.CaptureQueued = ring.CaptureQueued - 1;
  if (!engine.CaptureDevice->Unprepare(header)) {
    ShowError("In Un Prepare error");
    return;
  }

  engine.LastCapture = {ring.PlaybackQueued, false, 0};
  if (!engine.Closing && engine.Running) engine.HandledBlocks = engine.HandledBlocks + 1;
  if (engine.Closing || !engine.Running || ring.PlaybackQueued >= engine.Rate.Band.DropDepth) {
    // Dropped: nothing of the block is analysed, played or recorded. Its
    // buffer goes straight back so the capture ring stays full.
    engine.LastCapture.Dropped = true;
    if (!engine.Closing && engine.Running) engine.DroppedBlocks = engine.DroppedBlocks + 1;
    if (!engine.Closing && engine.Running && !HandBackCapture(engine)) return;
    CloseCheck(engine);
    return;
  }

  const int32_t blockLength = RateControlStep(engine.Rate, ring.PlaybackQueued);
  engine.LastCapture.BlockLength = blockLength;
  WaveHeader& out = ring.PlaybackHeaders[ring.PlaybackIndex];
  out.BufferLength = static_cast<uint32_t>(2 * blockLength);
  TakeWriteResult takeResult = TakeWriteResult::Idle;
  // The song goes to the playback device (and a running take) before the
  // reflections are carried: a block that cannot be played ends the
  // handler, and the next block glides again from the same set.
  const bool played = RunLiveBlock(engine, header.Data, out.Data, blockLength, [&] {
    MeterBlock(engine.Levels, header.Data, kBlockSamples, out.Data, blockLength);
    if (!engine.PlaybackDevice->Prepare(out)) {
      ShowError("Out Prepare error");
      return false;
    }
    if (!engine.PlaybackDevice->Queue(out)) {
      ShowError("Wave out error");
      return false;
    }
    if (engine.Take.Recording) {
      takeResult = WriteTakeBlock(engine.Take, out.Data, out.BufferLength);
      if (!engine.Take.Recording) engine.Host->TakeChanged(false);
    }
    ring.PlaybackIndex = NextRingIndex(ring.PlaybackIndex);
    ring.PlaybackQueued = ring.PlaybackQueued + 1;
    return true;
  });
  if (!played) return;

  const bool handedBack = engine.Closing || !engine.Running || HandBackCapture(engine);
  // The error box runs a nested event loop whose device events run this
  // pipeline again: it is shown only now that the block is done and the
  // ring has moved on.
  if (takeResult == TakeWriteResult::Failed) ShowTakeWriteError();
  if (takeResult == TakeWriteResult::Deleted) ShowTakeDeletedError(engine.Take);
  if (!handedBack) return;
  CloseCheck(engine);
}

void OnPlaybackDone(EngineState& engine, WaveHeader& header) {
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  engine.Ring.PlaybackQueued = engine.Ring.PlaybackQueued - 1;
  if (!engine.PlaybackDevice->Unprepare(header)) ShowError("Out Un Prepare error");
  CloseCheck(engine);
}

EventTarget EngineEvents(EngineState& engine) {
  constexpr AudioEventHandler handle = [](void* context, DeviceKind kind, WaveHeader& header) {
    EngineState& target = *static_cast<EngineState*>(context);
    if (kind == DeviceKind::Capture) {
      OnCaptureDone(target, header);
    } else {
      OnPlaybackDone(target, header);
    }
  };
  return {handle, &engine};
}

void CloseCheck(EngineState& engine) {
  if (engine.Ring.CaptureQueued == 0 && engine.Ring.PlaybackQueued == 0) {
    if (engine.Suspended && !engine.Closing) {
      // Every buffer of a suspended sound is back: the devices close, the
      // window stays.
      if (DeviceOpen(engine.CaptureDevice)) engine.CaptureDevice->Close();
      if (DeviceOpen(engine.PlaybackDevice)) engine.PlaybackDevice->Close();
      return;
    }
    engine.CloseReady = true;
    engine.Host->RequestClose();
  }
}

bool CloseQuery(EngineState& engine) {
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  ResetOpenDevices(engine);
  engine.Closing = true;
  if (engine.Ring.CaptureQueued == 0 && engine.Ring.PlaybackQueued == 0) return true;
  return engine.CloseReady;
}

void CloseAudio(EngineState& engine) {
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  EngineStopTake(engine);
  if (engine.CaptureDevice != nullptr && engine.CaptureDevice->IsOpen()) {
    engine.CaptureDevice->Reset();
    engine.CaptureDevice->Close();
  }
  if (engine.PlaybackDevice != nullptr && engine.PlaybackDevice->IsOpen()) {
    engine.PlaybackDevice->Reset();
    engine.PlaybackDevice->Close();
  }
  engine.Running = false;
}

}  // namespace sorvane
