// SPDX-License-Identifier: GPL-3.0-or-later
// Live mode of the renderer: the engine on the sound server's devices, its event
// loop on this thread, the script applied before each capture event, and
// the close handshake at the end.
#include "tools/render/LiveRun.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "engine/Engine.h"
#include "audio/EventQueue.h"
#include "audio/Realtime.h"
#include "devices/SoundSystem.h"
#include "wavfile/WaveFile.h"

namespace sorvane {
namespace {

// Longest wait for any device event before the run is given up as dead:
// the capture device alone posts one every 10 ms.
constexpr int kSilentDeviceTimeoutMs = 2000;
// How often a lost sound server is looked for and, once gone, tried again.
constexpr int kServerWatchMs = 1000;
constexpr double kBlocksPerSecond = static_cast<double>(kSampleRate) / kBlockSamples;
// The delays are counted in bins of 0.1 ms up to 10 s, so that the
// summary's median needs no list that grows with the run.
constexpr int64_t kDelayBinMicros = 100;
constexpr int kDelayBins = 100000;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

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

// Input-to-output delays (µs): their count, least, greatest and a histogram
// for the median and the other percentiles.
struct DelayCounts {
  std::vector<uint32_t> Bins = std::vector<uint32_t>(kDelayBins);
  int64_t Count = 0;
  int64_t Least = 0;
  int64_t Greatest = 0;

  void Add(int64_t delay) {
    Least = Count == 0 ? delay : std::min(Least, delay);
    Greatest = Count == 0 ? delay : std::max(Greatest, delay);
    ++Count;
    ++Bins[static_cast<size_t>(std::clamp<int64_t>(delay / kDelayBinMicros, 0, kDelayBins - 1))];
  }
  // The delay that percent of the delays do not exceed, to the bin: the
  // middle of its bin, within the range seen.
  int64_t Percentile(int percent) const {
    int64_t seen = 0;
    for (int bin = 0; bin < kDelayBins; ++bin) {
      seen += Bins[static_cast<size_t>(bin)];
      if (seen > Count * percent / 100) {
        return std::clamp(bin * kDelayBinMicros + kDelayBinMicros / 2, Least, Greatest);
      }
    }
    return Greatest;
  }
  int64_t Median() const { return Percentile(50); }
};

// Everything the event loop does per event, and what it counts for the
// summary as it goes, so that nothing grows with the run.
struct LiveLoop {
  EngineState* Engine = nullptr;
  const std::vector<ScriptCommand>* Commands = nullptr;
  size_t NextCommand = 0;
  int64_t Blocks = 0;
  double Start = 0;

  int64_t Handled = 0;  // capture events before the close request
  // Blocks of time while the sound server was gone: they count towards
  // the run's blocks, so that a run ends on time whatever the server does.
  int64_t GoneBlocks = 0;
  bool Closing = false;
  int CaptureAfterClose = 0;
  int PlaybackAfterClose = 0;
  RunOutputs* Outputs = nullptr;
  bool PhraseFileFailed = false;
  int Processed = 0, Dropped = 0, Longer = 0, Shorter = 0;
  // After warm-up the rate control first has to grow the queue from where
  // it started; it counts as steered from the first block that finds it in
  // the mode's band (8..12, or 1..3 in the low-latency mode).
  int64_t SteeredFrom = -1;
  int MinQueue = 1 << 30, MaxQueue = -1;
  // The playback device's silent frames when the queue was first steered:
  // what it played silent since is where the queue ran dry.
  const SoundSystem* Sound = nullptr;
  uint64_t SilentAtSteered = 0;
  uint64_t SilentAtClose = 0;  // and when the run asked to close
  // Sampling time (µs) of the capture block rendered into each playback
  // header; 0 when the header holds none.
  std::array<uintptr_t, kRingSize> CaptureTimeOf{};
  // Input-to-output delay of each played block, of all of them and of
  // those rendered after the queue was first steered.
  DelayCounts AllDelays;
  DelayCounts SteeredDelays;

  static void Handle(void* context, DeviceKind kind, WaveHeader& header) {
    auto* self = static_cast<LiveLoop*>(context);
    if (kind == DeviceKind::Capture) {
      self->Capture(header);
    } else {
      self->Playback(header);
    }
  }

  void Capture(WaveHeader& header) {
    if (Engine->Suspended && !Closing) {
      // Handed back by the reset of a suspension: no block of the run.
      OnCaptureDone(*Engine, header);
      return;
    }
    if (Closing) {
      ++CaptureAfterClose;
      OnCaptureDone(*Engine, header);
      return;
    }
    const int64_t block = Handled;
    while (NextCommand < Commands->size() && (*Commands)[NextCommand].Block < block) ++NextCommand;
    while (NextCommand < Commands->size() && (*Commands)[NextCommand].Block == block) {
      const int64_t stall = ApplyCommand(*Engine, (*Commands)[NextCommand], &PhraseFileFailed);
      // A stall is the event thread busy elsewhere, here on the real clock.
      // Whole seconds and the rest apart, so that no product can overflow.
      if (stall > 0) {
        const int64_t samples = std::min(stall, kMaxStallSamples);
        std::this_thread::sleep_for(std::chrono::microseconds(samples / kSampleRate * 1000000 +
                                                              samples % kSampleRate * 1000000 / kSampleRate));
      }
      ++NextCommand;
    }
    const int32_t target = Engine->Ring.PlaybackIndex;
    const uintptr_t sampledAt = header.FirstSampleAtUs;
    OnCaptureDone(*Engine, header);
    const CaptureReport& c = Engine->LastCapture;
    if (!c.Dropped) CaptureTimeOf[target] = sampledAt;
    const auto handledAt = static_cast<int64_t>((Now() - Start) * kSampleRate);
    const ReportLine line{static_cast<int32_t>(block), handledAt,           c.QueuedAtGate,
                          c.Dropped,                  c.Dropped ? 0 : c.BlockLength, Engine->Rate.RateState,
                          Engine->Phrase.PhraseMode};
    Outputs->AddReportLine(line);
    Count(line);
    ++Handled;
  }

  void Count(const ReportLine& l) {
    if (l.Dropped) {
      ++Dropped;
      return;
    }
    ++Processed;
    if (l.Length == kBlockLengthLong) ++Longer;
    if (l.Length == kBlockLengthShort) ++Shorter;
    const QueueBand& band = Engine->Rate.Band;
    if (SteeredFrom < 0 && l.RateState != kWarmUp && l.Queued > band.Low && l.Queued < band.High) {
      SteeredFrom = l.Block;
      if (Sound != nullptr) SilentAtSteered = Sound->Counters(DeviceKind::Playback).IdleFrames;
    }
    if (SteeredFrom >= 0) {
      MinQueue = std::min(MinQueue, l.Queued);
      MaxQueue = std::max(MaxQueue, l.Queued);
    }
  }

  void Playback(WaveHeader& header) {
    const ptrdiff_t index = &header - Engine->Ring.PlaybackHeaders.data();
    if (Closing) {
      ++PlaybackAfterClose;
    } else if (!Engine->Suspended && index >= 0 && index < kRingSize && CaptureTimeOf[index] != 0 && header.FirstSampleAtUs != 0) {
      // Played by the stream (not handed back by a reset): FirstSampleAtUs holds
      // the time its first sample went out.
      const int64_t delay =
          static_cast<int64_t>(header.FirstSampleAtUs) - static_cast<int64_t>(CaptureTimeOf[index]);
      AllDelays.Add(delay);
      if (SteeredFrom >= 0 && Handled > SteeredFrom) SteeredDelays.Add(delay);
    }
    if (index >= 0 && index < kRingSize) CaptureTimeOf[index] = 0;
    OnPlaybackDone(*Engine, header);
  }
};

void PrintSummary(const LiveLoop& loop, const char* server, const DeviceCounters& in, const DeviceCounters& out,
                  double closeSeconds) {
  std::printf("live: sound server: %s\n", server);
  std::printf("live: %lld capture events, %d processed, %d dropped, %d lengthened, %d shortened\n",
              static_cast<long long>(loop.Handled), loop.Processed, loop.Dropped, loop.Longer, loop.Shorter);
  if (loop.SteeredFrom >= 0) {
    std::printf("live: playback queue from block %lld on: %d to %d buffers\n",
                static_cast<long long>(loop.SteeredFrom), loop.MinQueue, loop.MaxQueue);
  } else {
    const QueueBand& band = loop.Engine->Rate.Band;
    std::printf("live: playback queue: never in the %d..%d band\n", band.Low + 1, band.High - 1);
  }
  std::printf("live: input lost for want of a capture buffer: %llu samples\n",
              static_cast<unsigned long long>(in.IdleFrames));
  std::printf("live: input the server dropped: %llu samples\n", static_cast<unsigned long long>(in.LostFrames));
  if (loop.SteeredFrom >= 0) {
    std::printf("live: silence played for want of a playback buffer once steered: %llu samples\n",
                static_cast<unsigned long long>(std::max(loop.SilentAtClose, loop.SilentAtSteered) -
                                                loop.SilentAtSteered));
  }
  std::printf("live: stream over- or underflows: capture %llu, playback %llu\n",
              static_cast<unsigned long long>(in.Overflows + in.Underflows),
              static_cast<unsigned long long>(out.Overflows + out.Underflows));
  if (out.LateBlocks != 0) {
    std::printf("live: blocks whose song left a cycle late: %llu\n", static_cast<unsigned long long>(out.LateBlocks));
  }
  // What the sound system adds on each side, the rest being the engine's
  // block and playback queue.
  auto meanMs = [](const DeviceCounters& c) {
    return c.Callbacks != 0 ? static_cast<double>(c.DeviceLatencyMicros) / static_cast<double>(c.Callbacks) / 1000.0
                            : 0.0;
  };
  std::printf("live: device latency (mean per callback): capture %.1f ms, playback %.1f ms\n", meanMs(in),
              meanMs(out));

  // The delay once the rate control steers the queue.
  const DelayCounts& delays = loop.SteeredDelays.Count > 0 ? loop.SteeredDelays : loop.AllDelays;
  if (delays.Count > 0) {
    std::printf("live: input-to-output delay: median %.1f ms, min %.1f ms, max %.1f ms over %lld blocks\n",
                delays.Median() / 1000.0, delays.Least / 1000.0, delays.Greatest / 1000.0,
                static_cast<long long>(delays.Count));
    std::printf("live: input-to-output delay: 95th percentile %.1f ms\n", delays.Percentile(95) / 1000.0);
  } else {
    std::printf("live: input-to-output delay: not measured (nothing was played)\n");
  }
  std::printf("live: close: %d capture and %d playback buffers came back, closed in %.0f ms\n", loop.CaptureAfterClose,
              loop.PlaybackAfterClose, closeSeconds * 1000);
}

}  // namespace

int RunLive(const RenderOptions& options, const std::vector<ScriptCommand>& commands) {
  const uint64_t maxOutputBytes = static_cast<uint64_t>(options.Blocks) * kBlockLengthLong * 2;
  if (!options.Output.empty() && maxOutputBytes > UINT32_MAX - 64) {
    std::fprintf(stderr, "sorvane-render: --output cannot hold %lld blocks in one WAV file\n",
                 static_cast<long long>(options.Blocks));
    return kExitBadInput;
  }
  // Created before the devices are opened, so that an output that cannot be
  // written is known before any sound is made.
  RunOutputs outputs;
  if (!outputs.Open(options)) return kExitWriteFailed;
  AudioEventQueue queue;
  const std::unique_ptr<SoundSystem> sound = MakeSoundSystem(queue, false, options.Latency);
  // This thread runs the engine's blocks: it asks for real-time priority,
  // as the sound server's own client thread does.
  RequestRealtimeOrReport();
  AudioDevice& capture = sound->Capture();
  RecordingPlayback playback(sound->Playback(), outputs);

  auto engine = std::make_unique<EngineState>();
  LiveHost host;
  CreateEngine(*engine, &host);
  SetLatencyMode(*engine, options.Latency);
  SetOutputLevel(*engine, options.OutputLevelDb);
  engine->CaptureDevice = &capture;
  engine->PlaybackDevice = &playback;

  LiveLoop loop;
  loop.Engine = engine.get();
  loop.Commands = &commands;
  loop.Blocks = options.Blocks;
  loop.Outputs = &outputs;
  loop.Sound = sound.get();

  // Failures are shown by the engine; the run then only closes.
  OpenAudio(*engine);
  const bool started = engine->Running;
  loop.Start = Now();
  loop.Closing = !started;

  // The close handshake: a close request resets both devices; the buffer
  // that brings both queued counts to zero repeats the request, which then
  // succeeds. A run asks once its blocks are done; a device that falls
  // silent makes it ask at once, and a second silence ends the wait.
  //
  // A sound server that goes away suspends the engine, as in the window:
  // every buffer comes back, the devices close, and once a second the
  // connection is renewed and the engine resumed until the sound is back.
  // The time meanwhile counts towards the run's blocks.
  int seenRequests = 0;
  bool asked = false;
  bool deviceSilent = false;
  bool handshakeDone = false;
  double closeStart = Now();
  double lastEvent = Now();
  bool suspended = false;
  double goneAt = 0;
  double lastTry = 0;
  double goneSeconds = 0;
  int goneTimes = 0;
  int64_t handledWhenBack = -1;
  auto blocksDone = [&] {
    const double gone = suspended ? (Now() - goneAt) * kBlocksPerSecond : 0;
    return loop.Handled + loop.GoneBlocks + static_cast<int64_t>(gone);
  };
  auto ask = [&] {
    if (!asked) {
      asked = true;
      loop.SilentAtClose = sound->Counters(DeviceKind::Playback).IdleFrames;
      loop.Closing = true;
      closeStart = Now();
    }
    seenRequests = host.Requests;
    return CloseQuery(*engine);
  };
  for (;;) {
    if ((!asked && (blocksDone() >= loop.Blocks || !started)) || host.Requests != seenRequests) {
      if (ask()) {
        handshakeDone = true;
        break;
      }
    }
    if (started && !asked && !suspended && sound->ServerLost()) {
      SuspendAudio(*engine);
      suspended = true;
      goneAt = lastTry = Now();
      ++goneTimes;
      std::fprintf(stderr, "sorvane-render: the sound server went away; trying again every second\n");
    }
    if (suspended && !asked && Now() - lastTry >= kServerWatchMs / 1000.0) {
      lastTry = Now();
      std::string reason;
      if (SuspendSettled(*engine) && sound->Reconnect(reason) && ResumeAudio(*engine) == nullptr) {
        const double gone = Now() - goneAt;
        suspended = false;
        goneSeconds += gone;
        loop.GoneBlocks += static_cast<int64_t>(gone * kBlocksPerSecond);
        handledWhenBack = loop.Handled;
        lastEvent = Now();
        std::fprintf(stderr, "sorvane-render: the sound server is back after %.1f s; the sound goes on\n", gone);
      }
    }
    // While suspended, wake for the next try.
    const int untilTry = static_cast<int>((lastTry - Now()) * 1000) + kServerWatchMs + 1;
    const int waitMs = suspended ? std::clamp(untilTry, 1, kServerWatchMs) : kServerWatchMs;
    if (!queue.Wait(waitMs)) {
      // A lost server is taken up at the top of the loop; a suspension
      // posts nothing once every buffer is back.
      if (suspended || (started && !asked && sound->ServerLost())) continue;
      if (Now() - lastEvent < kSilentDeviceTimeoutMs / 1000.0) continue;
      lastEvent = Now();
      if (!deviceSilent) std::fprintf(stderr, "sorvane-render: the sound devices stopped delivering\n");
      if (deviceSilent || asked) break;
      deviceSilent = true;
      if (ask()) {
        handshakeDone = true;
        break;
      }
      continue;
    }
    lastEvent = Now();
    // One event at a time, so that the close request follows capture event
    // Blocks - 1 at once.
    while (queue.DispatchOne(&LiveLoop::Handle, &loop)) {
      if ((!asked && blocksDone() >= loop.Blocks) || host.Requests != seenRequests) break;
    }
  }
  if (suspended) goneSeconds += Now() - goneAt;
  const DeviceCounters in = sound->Counters(DeviceKind::Capture);
  const DeviceCounters out = sound->Counters(DeviceKind::Playback);
  loop.Closing = true;
  CloseAudio(*engine);
  // Buffers that only the close itself handed back (a handshake cut short).
  queue.DispatchAll(&LiveLoop::Handle, &loop);
  const double closeSeconds = Now() - closeStart;
  if (!handshakeDone) std::fprintf(stderr, "sorvane-render: closed without every buffer back\n");

  if (started) PrintSummary(loop, sound->Name(), in, out, closeSeconds);
  if (started && goneTimes > 0) {
    const int64_t after = handledWhenBack < 0 ? 0 : loop.Handled - handledWhenBack;
    std::printf("live: sound server gone %d time(s), the sound gone for %.1f s in all; %lld capture events after it "
                "came back\n",
                goneTimes, goneSeconds, static_cast<long long>(after));
  }
  std::fflush(stdout);

  // A run that ends while the server is still gone made no sound at its end.
  int status = (!started || deviceSilent || !handshakeDone || suspended) ? kExitNoSound : kExitOk;
  if (!outputs.Finish()) {
    status = kExitWriteFailed;
  } else if (status == kExitOk && loop.PhraseFileFailed) {
    status = kExitPhraseFileFailed;
  }
  return status;
}

}  // namespace sorvane
