// SPDX-License-Identifier: GPL-3.0-or-later
// Live mode of the renderer: the engine on the sound server's devices, its event
// loop on this thread, the script applied before each capture event, and
// the close handshake at the end.
#include "tools/render/LiveRun.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "audio/EventQueue.h"
#include "audio/Realtime.h"
#include "devices/SoundSystem.h"
#include "engine/Engine.h"
#include "engine/ServerWatch.h"
#include "tools/render/LiveLoop.h"

namespace sorvane {
namespace {

// Longest wait for any device event before the run is given up as dead:
// the capture device alone posts one every 10 ms.
constexpr int kSilentDeviceTimeoutMs = 2000;
// How often a lost sound server is looked for and, once gone, tried again.
constexpr int kServerWatchMs = 1000;
constexpr double kBlocksPerSecond = static_cast<double>(kSampleRate) / kBlockSamples;

// The playback device, appending every block queued on it to the output
// as it goes: what the program would write to a take, and written the way
// a take is, from the event thread between blocks.
class RecordingPlayback final : public ForwardingDevice {
 public:
  RecordingPlayback(AudioDevice& device, RunOutputs& outputs) : ForwardingDevice(device), Outputs(outputs) {}
  bool Queue(WaveHeader& header) override {
    if (!ForwardingDevice::Queue(header)) return false;
    // Samples are copied before the callback can have played them: the
    // engine filled the buffer before queueing and does not touch it again.
    Outputs.Write(header.Data, header.BufferLength / 2);
    return true;
  }

 private:
  RunOutputs& Outputs;
};

class LiveHost final : public EngineHost {
 public:
  void RequestClose() override { ++Requests; }
  int Requests = 0;
};

// One live run, step by step: Open makes the outputs, the devices and the
// engine and starts the sound; Loop handles events until the close
// handshake is done or the devices fall silent; Close closes the engine and
// takes the last buffers back; Report prints the summary and gives the exit
// status.
//
// The close handshake: a close request resets both devices; the buffer
// that brings both queued counts to zero repeats the request, which then
// succeeds. A run asks once its blocks are done; a device that falls
// silent makes it ask at once, and a second silence ends the wait.
//
// A sound server that goes away suspends the engine, as in the window:
// every buffer comes back, the devices close, and once a second the
// connection is renewed and the engine resumed until the sound is back.
// The time meanwhile counts towards the run's blocks.
class LiveSession {
 public:
  LiveSession(const RenderOptions& options, const std::vector<ScriptCommand>& commands)
      : Options(options), Commands(commands) {}
  LiveSession(const LiveSession&) = delete;
  LiveSession& operator=(const LiveSession&) = delete;

  // 0 when the run may start, else the exit status.
  int Open();
  void Loop();
  void Close();
  int Report();

 private:
  // Capture events handled, plus the blocks of time the server was gone.
  int64_t BlocksDone() const {
    const double gone = Suspended ? (Now() - GoneAt) * kBlocksPerSecond : 0;
    return Events.Handled + Events.GoneBlocks + static_cast<int64_t>(gone);
  }
  // Makes (or repeats) the close request; true when the window may close.
  bool AskClose();
  // Suspends on a lost server; once a second while suspended, tries to
  // bring the sound back.
  void WatchServer();
  // Waits for the next events and handles them; false when the run ends.
  bool HandleEvents();

  const RenderOptions& Options;
  const std::vector<ScriptCommand>& Commands;
  RunOutputs Outputs;
  AudioEventQueue Queue;
  std::unique_ptr<SoundSystem> Sound;
  std::unique_ptr<RecordingPlayback> Playback;
  std::unique_ptr<EngineState> Engine;
  LiveHost Host;
  LiveLoop Events;

  bool Started = false;
  int SeenRequests = 0;
  bool Asked = false;
  bool DeviceSilent = false;
  bool HandshakeDone = false;
  double CloseStart = 0;
  double LastEvent = 0;
  double CloseSeconds = 0;
  DeviceCounters In{};  // the devices' counters as the close began
  DeviceCounters Out{};
  // The sound server's absences.
  bool Suspended = false;
  double GoneAt = 0;
  double LastTry = 0;
  double GoneSeconds = 0;
  int GoneTimes = 0;
  int64_t HandledWhenBack = -1;
};

int LiveSession::Open() {
  const uint64_t maxOutputBytes = static_cast<uint64_t>(Options.Blocks) * kBlockLengthLong * 2;
  if (!Options.Output.empty() && maxOutputBytes > UINT32_MAX - 64) {
    std::fprintf(stderr, "sorvane-render: --output cannot hold %lld blocks in one WAV file\n",
                 static_cast<long long>(Options.Blocks));
    return kExitBadInput;
  }
  // Created before the devices are opened, so that an output that cannot be
  // written is known before any sound is made.
  if (!Outputs.Open(Options)) return kExitWriteFailed;
  Sound = MakeSoundSystem(Queue, false, Options.Latency);
  // This thread runs the engine's blocks: it asks for real-time priority,
  // as the sound server's own client thread does.
  RequestRealtimeOrReport();
  Playback = std::make_unique<RecordingPlayback>(Sound->Playback(), Outputs);

  Engine = std::make_unique<EngineState>();
  CreateEngine(*Engine, &Host);
  SetLatencyMode(*Engine, Options.Latency);
  SetOutputLevel(*Engine, Options.OutputLevelDb);
  ApplyExpressionOptions(*Engine, Options);
  Engine->CaptureDevice = &Sound->Capture();
  Engine->PlaybackDevice = Playback.get();

  Events.Engine = Engine.get();
  Events.Commands = &Commands;
  Events.Blocks = Options.Blocks;
  Events.Outputs = &Outputs;
  Events.Sound = Sound.get();

  // Failures are shown by the engine; the run then only closes.
  OpenAudio(*Engine);
  Started = Engine->Running;
  Events.Start = Now();
  Events.Closing = !Started;
  CloseStart = LastEvent = Now();
  return 0;
}

bool LiveSession::AskClose() {
  if (!Asked) {
    Asked = true;
    Events.SilentAtClose = Sound->Counters(DeviceKind::Playback).IdleFrames;
    Events.Closing = true;
    CloseStart = Now();
  }
  SeenRequests = Host.Requests;
  return CloseQuery(*Engine);
}

void LiveSession::WatchServer() {
  if (!Started || Asked) return;
  if (Suspended) {
    if (Now() - LastTry < kServerWatchMs / 1000.0) return;
    LastTry = Now();
  }
  std::string reason;
  switch (WatchSoundServer(*Engine, *Sound, reason)) {
    case ServerWatchStep::Lost:
      Suspended = true;
      GoneAt = LastTry = Now();
      ++GoneTimes;
      std::fprintf(stderr, "sorvane-render: the sound server went away; trying again every second\n");
      break;
    case ServerWatchStep::Back: {
      const double gone = Now() - GoneAt;
      Suspended = false;
      GoneSeconds += gone;
      Events.GoneBlocks += static_cast<int64_t>(gone * kBlocksPerSecond);
      HandledWhenBack = Events.Handled;
      LastEvent = Now();
      std::fprintf(stderr, "sorvane-render: the sound server is back after %.1f s; the sound goes on\n", gone);
      break;
    }
    case ServerWatchStep::Running:
    case ServerWatchStep::Settling:
    case ServerWatchStep::Failed: break;
  }
}

bool LiveSession::HandleEvents() {
  // While suspended, wake for the next try.
  const int untilTry = static_cast<int>((LastTry - Now()) * 1000) + kServerWatchMs + 1;
  const int waitMs = Suspended ? std::clamp(untilTry, 1, kServerWatchMs) : kServerWatchMs;
  if (!Queue.Wait(waitMs)) {
    // A lost server is taken up by the next watch; a suspension posts
    // nothing once every buffer is back.
    if (Suspended || (Started && !Asked && Sound->ServerLost())) return true;
    if (Now() - LastEvent < kSilentDeviceTimeoutMs / 1000.0) return true;
    LastEvent = Now();
    if (!DeviceSilent) std::fprintf(stderr, "sorvane-render: the sound devices stopped delivering\n");
    if (DeviceSilent || Asked) return false;
    DeviceSilent = true;
    if (AskClose()) {
      HandshakeDone = true;
      return false;
    }
    return true;
  }
  LastEvent = Now();
  // One event at a time, so that the close request follows capture event
  // Blocks - 1 at once.
  while (Queue.DispatchOne(&LiveLoop::Handle, &Events)) {
    if ((!Asked && BlocksDone() >= Events.Blocks) || Host.Requests != SeenRequests) break;
  }
  return true;
}

void LiveSession::Loop() {
  for (;;) {
    if ((!Asked && (BlocksDone() >= Events.Blocks || !Started)) || Host.Requests != SeenRequests) {
      if (AskClose()) {
        HandshakeDone = true;
        return;
      }
    }
    WatchServer();
    if (!HandleEvents()) return;
  }
}

void LiveSession::Close() {
  if (Suspended) GoneSeconds += Now() - GoneAt;
  In = Sound->Counters(DeviceKind::Capture);
  Out = Sound->Counters(DeviceKind::Playback);
  Events.Closing = true;
  CloseAudio(*Engine);
  // Buffers that only the close itself handed back (a handshake cut short).
  Queue.DispatchAll(&LiveLoop::Handle, &Events);
  CloseSeconds = Now() - CloseStart;
  if (!HandshakeDone) std::fprintf(stderr, "sorvane-render: closed without every buffer back\n");
}

int LiveSession::Report() {
  if (Started) PrintSummary(Events, Sound->Name(), In, Out, CloseSeconds);
  if (Started && GoneTimes > 0) {
    const int64_t after = HandledWhenBack < 0 ? 0 : Events.Handled - HandledWhenBack;
    std::printf(
        "live: sound server gone %d time(s), the sound gone for %.1f s in all; %lld capture events after it "
        "came back\n",
        GoneTimes, GoneSeconds, static_cast<long long>(after));
  }
  std::fflush(stdout);

  // A run that ends while the server is still gone made no sound at its end.
  int status = (!Started || DeviceSilent || !HandshakeDone || Suspended) ? kExitNoSound : kExitOk;
  if (!Outputs.Finish()) {
    status = kExitWriteFailed;
  } else if (status == kExitOk && Events.PhraseFileFailed) {
    status = kExitPhraseFileFailed;
  }
  return status;
}

}  // namespace

int RunLive(const RenderOptions& options, const std::vector<ScriptCommand>& commands) {
  LiveSession session(options, commands);
  if (const int failed = session.Open()) return failed;
  session.Loop();
  session.Close();
  return session.Report();
}

}  // namespace sorvane
