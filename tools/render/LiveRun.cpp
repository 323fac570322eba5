// SPDX-License-Identifier: GPL-3.0-or-later
// Live mode of the renderer: the engine on the PortAudio devices, its event
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

#include "audio/Engine.h"
#include "audio/EventQueue.h"
#include "audio/PortAudioDevices.h"
#include "wavfile/WaveFile.h"

namespace sorvane {
namespace {

// Longest wait for any device event before the run is given up as dead:
// the capture device alone posts one every 10 ms.
constexpr int kSilentDeviceTimeoutMs = 2000;
// Capture events in an hour.
constexpr int64_t kReservedReportBlocks = 3600 * 100;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The playback device, keeping a copy of every block queued on it: what the
// program would write to a take.
class RecordingPlayback final : public AudioDevice {
 public:
  RecordingPlayback(AudioDevice& device, bool keep, int64_t maxSamples) : Device(device), Keep(keep) {
    if (Keep) PlayedSamples.reserve(static_cast<size_t>(maxSamples));
  }
  bool Open(const WaveFormat& format) override { return Device.Open(format); }
  bool Prepare(WaveHeader& header) override { return Device.Prepare(header); }
  bool Unprepare(WaveHeader& header) override { return Device.Unprepare(header); }
  bool Queue(WaveHeader& header) override {
    if (!Device.Queue(header)) return false;
    // Samples are copied before the callback can have played them: the
    // engine filled the buffer before queueing and does not touch it again.
    if (Keep) PlayedSamples.insert(PlayedSamples.end(), header.Data, header.Data + header.BufferLength / 2);
    return true;
  }
  bool Start() override { return Device.Start(); }
  bool Reset() override { return Device.Reset(); }
  bool Close() override { return Device.Close(); }
  bool IsOpen() const override { return Device.IsOpen(); }
  const std::vector<int16_t>& Played() const { return PlayedSamples; }

 private:
  AudioDevice& Device;
  bool Keep;
  std::vector<int16_t> PlayedSamples;
};

class LiveHost final : public EngineHost {
 public:
  void RequestClose() override { ++Requests; }
  int Requests = 0;
};

// Everything the event loop does per event, and what it notes for the
// summary.
struct LiveLoop {
  EngineState* Engine = nullptr;
  const std::vector<ScriptCommand>* Commands = nullptr;
  size_t NextCommand = 0;
  int64_t Blocks = 0;
  double Start = 0;

  int64_t Handled = 0;  // capture events before the close request
  bool Closing = false;
  int CaptureAfterClose = 0;
  int PlaybackAfterClose = 0;
  std::vector<ReportLine> Lines;
  bool PhraseFileFailed = false;
  // Sampling time (µs) of the capture block rendered into each playback
  // header; 0 when the header holds none.
  std::array<uintptr_t, kRingSize> CaptureTimeOf{};
  // Input-to-output delay per played block (µs), with the block number.
  std::vector<std::pair<int64_t, int64_t>> Delays;

  static void Handle(void* context, DeviceKind kind, WaveHeader& header) {
    auto* self = static_cast<LiveLoop*>(context);
    if (kind == DeviceKind::Capture) {
      self->Capture(header);
    } else {
      self->Playback(header);
    }
  }

  void Capture(WaveHeader& header) {
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
    Lines.push_back({static_cast<int32_t>(block), handledAt, c.QueuedAtGate, c.Dropped,
                     c.Dropped ? 0 : c.BlockLength, Engine->Rate.RateState, Engine->Phrase.PhraseMode});
    ++Handled;
  }

  void Playback(WaveHeader& header) {
    const ptrdiff_t index = &header - Engine->Ring.PlaybackHeaders.data();
    if (Closing) {
      ++PlaybackAfterClose;
    } else if (index >= 0 && index < kRingSize && CaptureTimeOf[index] != 0 && header.FirstSampleAtUs != 0) {
      // Played by the stream (not handed back by a reset): FirstSampleAtUs holds
      // the time its first sample went out.
      Delays.emplace_back(Handled, static_cast<int64_t>(header.FirstSampleAtUs) -
                                       static_cast<int64_t>(CaptureTimeOf[index]));
    }
    if (index >= 0 && index < kRingSize) CaptureTimeOf[index] = 0;
    OnPlaybackDone(*Engine, header);
  }
};

void PrintSummary(const LiveLoop& loop, const PortAudioCounters& in, const PortAudioCounters& out,
                  double closeSeconds) {
  int processed = 0, dropped = 0, longer = 0, shorter = 0;
  // After warm-up the rate control first has to grow the queue from where
  // it started; it counts as steered from the first block that finds it in
  // the 8..12 band.
  int64_t steeredFrom = -1;
  int minQueue = 1 << 30, maxQueue = -1;
  for (const ReportLine& l : loop.Lines) {
    if (l.Dropped) {
      ++dropped;
      continue;
    }
    ++processed;
    if (l.Length == kBlockLengthLong) ++longer;
    if (l.Length == kBlockLengthShort) ++shorter;
    if (steeredFrom < 0 && l.RateState != kWarmUp && l.Queued >= 8 && l.Queued <= 12) steeredFrom = l.Block;
    if (steeredFrom >= 0) {
      minQueue = std::min(minQueue, l.Queued);
      maxQueue = std::max(maxQueue, l.Queued);
    }
  }
  std::printf("live: %lld capture events, %d processed, %d dropped, %d lengthened, %d shortened\n",
              static_cast<long long>(loop.Handled), processed, dropped, longer, shorter);
  if (steeredFrom >= 0) {
    std::printf("live: playback queue from block %lld on: %d to %d buffers\n", static_cast<long long>(steeredFrom),
                minQueue, maxQueue);
  } else {
    std::printf("live: playback queue: never in the 8..12 band\n");
  }
  std::printf("live: input lost for want of a capture buffer: %llu samples\n",
              static_cast<unsigned long long>(in.IdleFrames));
  std::printf("live: stream over- or underflows: capture %llu, playback %llu\n",
              static_cast<unsigned long long>(in.StatusFlags), static_cast<unsigned long long>(out.StatusFlags));
  // What the sound system adds on each side, the rest being the engine's
  // block and playback queue.
  auto meanMs = [](const PortAudioCounters& c) {
    return c.Callbacks != 0 ? static_cast<double>(c.DeviceLatencyMicros) / static_cast<double>(c.Callbacks) / 1000.0
                            : 0.0;
  };
  std::printf("live: device latency (mean per callback): capture %.1f ms, playback %.1f ms\n", meanMs(in),
              meanMs(out));

  // The delay once the rate control steers the queue.
  std::vector<int64_t> delays;
  for (const auto& [block, delay] : loop.Delays) {
    if (steeredFrom >= 0 && block > steeredFrom) delays.push_back(delay);
  }
  if (delays.empty()) {
    for (const auto& entry : loop.Delays) delays.push_back(entry.second);
  }
  if (!delays.empty()) {
    std::sort(delays.begin(), delays.end());
    std::printf("live: input-to-output delay: median %.1f ms, min %.1f ms, max %.1f ms over %zu blocks\n",
                delays[delays.size() / 2] / 1000.0, delays.front() / 1000.0, delays.back() / 1000.0,
                delays.size());
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
  PortAudioSystem system;
  AudioEventQueue queue;
  auto capture = MakePortAudioCapture(queue);
  auto playbackDevice = MakePortAudioPlayback(queue);
  RecordingPlayback playback(*playbackDevice, !options.Output.empty(), options.Blocks * kBlockLengthLong);

  auto engine = std::make_unique<EngineState>();
  LiveHost host;
  CreateEngine(*engine, &host);
  engine->CaptureDevice = capture.get();
  engine->PlaybackDevice = &playback;

  LiveLoop loop;
  loop.Engine = engine.get();
  loop.Commands = &commands;
  loop.Blocks = options.Blocks;
  // Room for an hour of report up front; a longer run grows it now and then.
  const auto reserved = static_cast<size_t>(std::min<int64_t>(options.Blocks, kReservedReportBlocks));
  loop.Lines.reserve(reserved);
  loop.Delays.reserve(reserved);

  // Failures are shown by the engine; the run then only closes.
  OpenAudio(*engine);
  const bool started = engine->Running;
  loop.Start = Now();
  loop.Closing = !started;

  // The close handshake: a close request resets both devices; the buffer
  // that brings both queued counts to zero repeats the request, which then
  // succeeds. A run asks once its blocks are done; a device that falls
  // silent makes it ask at once, and a second silence ends the wait.
  int seenRequests = 0;
  bool asked = false;
  bool deviceSilent = false;
  bool handshakeDone = false;
  double closeStart = Now();
  auto ask = [&] {
    if (!asked) {
      asked = true;
      loop.Closing = true;
      closeStart = Now();
    }
    seenRequests = host.Requests;
    return CloseQuery(*engine);
  };
  for (;;) {
    if ((!asked && (loop.Handled >= loop.Blocks || !started)) || host.Requests != seenRequests) {
      if (ask()) {
        handshakeDone = true;
        break;
      }
    }
    if (!queue.Wait(kSilentDeviceTimeoutMs)) {
      if (!deviceSilent) std::fprintf(stderr, "sorvane-render: the sound devices stopped delivering\n");
      if (deviceSilent || asked) break;
      deviceSilent = true;
      if (ask()) {
        handshakeDone = true;
        break;
      }
      continue;
    }
    // One event at a time, so that the close request follows capture event
    // Blocks - 1 at once.
    while (queue.DispatchOne(&LiveLoop::Handle, &loop)) {
      if ((!asked && loop.Handled >= loop.Blocks) || host.Requests != seenRequests) break;
    }
  }
  const PortAudioCounters in = static_cast<PortAudioDevice&>(*capture).Counters();
  const PortAudioCounters out = static_cast<PortAudioDevice&>(*playbackDevice).Counters();
  loop.Closing = true;
  CloseAudio(*engine);
  // Buffers that only the close itself handed back (a handshake cut short).
  queue.DispatchAll(&LiveLoop::Handle, &loop);
  const double closeSeconds = Now() - closeStart;
  if (!handshakeDone) std::fprintf(stderr, "sorvane-render: closed without every buffer back\n");

  if (started) PrintSummary(loop, in, out, closeSeconds);
  std::fflush(stdout);

  int status = (!started || deviceSilent || !handshakeDone) ? kExitNoSound : kExitOk;
  // Written only now: nothing is written to the disk while the sound runs.
  outputs.Write(playback.Played().data(), static_cast<int64_t>(playback.Played().size()));
  for (const ReportLine& line : loop.Lines) outputs.AddReportLine(line);
  if (!outputs.Finish()) {
    status = kExitWriteFailed;
  } else if (status == kExitOk && loop.PhraseFileFailed) {
    status = kExitPhraseFileFailed;
  }
  return status;
}

}  // namespace sorvane
