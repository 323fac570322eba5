// SPDX-License-Identifier: GPL-3.0-or-later
// The engine on the PulseAudio devices and the real clock: a stalled event
// thread, the close handshake while running, and start-up when a device
// cannot be opened.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio/EventQueue.h"
#include "devices/PulseDevices.h"
#include "engine/Engine.h"
#include "tests/live/LiveSupport.h"
#include "tests/support/RecordedBoxes.h"

namespace sorvane {
namespace {

using live::MonotonicSeconds;

struct CloseRequests : EngineHost {
  int Requests = 0;
  void RequestClose() override { ++Requests; }
};

struct CaptureSample {
  double At;
  CaptureReport Report;
  int32_t CaptureQueued;
};

// Dispatches to the engine and notes what each capture event did.
struct Loop {
  EngineState* Engine;
  std::vector<CaptureSample> Captures;
  int CaptureEvents = 0;
  int PlaybackEvents = 0;
  static void Handle(void* context, DeviceKind kind, WaveHeader& header) {
    auto* self = static_cast<Loop*>(context);
    if (kind == DeviceKind::Capture) {
      OnCaptureDone(*self->Engine, header);
      ++self->CaptureEvents;
      if (self->Captures.size() < self->Captures.capacity()) {
        self->Captures.push_back({MonotonicSeconds(), self->Engine->LastCapture, self->Engine->Ring.CaptureQueued});
      }
    } else {
      OnPlaybackDone(*self->Engine, header);
      ++self->PlaybackEvents;
    }
  }
};

class EngineLive : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "the live tests need their PulseAudio server";
    ASSERT_TRUE(Sound->Reachable());
    Engine = std::make_unique<EngineState>();
    CreateEngine(*Engine, &Host);
    Capture = &Sound->Capture();
    Playback = &Sound->Playback();
    Engine->CaptureDevice = Capture;
    Engine->PlaybackDevice = Playback;
    Events.Engine = Engine.get();
    Events.Captures.reserve(2000);
  }
  void TearDown() override {
    if (Capture && Capture->IsOpen()) Capture->Close();
    if (Playback && Playback->IsOpen()) Playback->Close();
    Queue.DispatchAll([](void*, DeviceKind, WaveHeader&) {}, nullptr);
  }

  void RunFor(double seconds) {
    const double end = MonotonicSeconds() + seconds;
    for (double left; (left = end - MonotonicSeconds()) > 0;) {
      if (Queue.Wait(static_cast<int>(left * 1000) + 1)) Queue.DispatchAll(&Loop::Handle, &Events);
    }
  }

  AudioEventQueue Queue;
  std::unique_ptr<SoundSystem> Sound = MakePulseSoundSystem(Queue);
  test::RecordedBoxes Errors;  // installed for the fixture's whole life
  CloseRequests Host;
  std::unique_ptr<EngineState> Engine;
  AudioDevice* Capture = nullptr;
  AudioDevice* Playback = nullptr;
  Loop Events;
};

TEST_F(EngineLive, AStalledEventThreadLosesNoCaptureBufferAndTheQueueRecovers) {
  OpenAudio(*Engine);
  ASSERT_TRUE(Engine->Running);
  const double start = MonotonicSeconds();
  RunFor(1.4);
  const size_t beforeStall = Events.Captures.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  RunFor(1.8);
  const double elapsed = MonotonicSeconds() - start;
  const DeviceCounters counters = Sound->Counters(DeviceKind::Capture);

  EXPECT_TRUE(Errors.Texts.empty()) << Errors.Texts.front();
  EXPECT_EQ(counters.IdleFrames, 0u) << "input was lost: no capture buffer was queued";
  // Every 10-ms block the stream delivered reached the engine, none twice:
  // all its frames went into buffers, and every buffer came as one event
  // (the stream's count, not the wall clock, which a busy machine skews).
  // The stream runs on meanwhile, so the counts are read around the events.
  EXPECT_GE(counters.Frames / 220, counters.BuffersDone);
  EXPECT_LE(counters.Frames / 220, counters.BuffersDone + 1);
  // At the block rate, a loaded machine's stalls allowed for: half of it.
  EXPECT_GT(Events.CaptureEvents, elapsed * 100 * 0.5);
  Queue.DispatchAll(&Loop::Handle, &Events);
  const DeviceCounters after = Sound->Counters(DeviceKind::Capture);
  EXPECT_GE(static_cast<uint64_t>(Events.CaptureEvents), counters.BuffersDone);
  EXPECT_LE(static_cast<uint64_t>(Events.CaptureEvents), after.BuffersDone);
  // The stall's backlog arrives at once; the ring absorbed it.
  ASSERT_GT(Events.Captures.size(), beforeStall + 25);
  for (const CaptureSample& s : Events.Captures) ASSERT_GE(s.CaptureQueued, 101 - 40);
  EXPECT_GE(Engine->Ring.CaptureQueued, 99);
  // Warm-up is over; the last half second is steered back into the band.
  EXPECT_NE(Engine->Rate.RateState, kWarmUp);
  int late = 0, inBand = 0;
  for (const CaptureSample& s : Events.Captures) {
    if (s.At < MonotonicSeconds() - 0.5) continue;
    ++late;
    // Steered toward the band: never lengthened above it nor shortened
    // below it, dropped only at the gate. Mostly in it, though a busy
    // machine's own stalls may push it out again for a moment.
    const int32_t q = s.Report.QueuedAtGate;
    EXPECT_EQ(s.Report.Dropped, q >= 16) << q;
    if (q >= 13) {
      EXPECT_NE(s.Report.BlockLength, 242) << q;
    }
    if (q <= 7) {
      EXPECT_NE(s.Report.BlockLength, 198) << q;
    }
    if (q >= 7 && q <= 13) ++inBand;
  }
  EXPECT_GT(late, 40);
  EXPECT_GT(inBand, late / 2);
}

TEST_F(EngineLive, CloseWhileRunningWaitsForEveryBufferThenCloses) {
  OpenAudio(*Engine);
  ASSERT_TRUE(Engine->Running);
  RunFor(1.2);
  ASSERT_GT(Engine->Ring.PlaybackQueued, 0);
  const int32_t playbackOut = Engine->Ring.PlaybackQueued;
  const int capturesBefore = Events.CaptureEvents;
  const int playbacksBefore = Events.PlaybackEvents;

  EXPECT_FALSE(CloseQuery(*Engine)) << "buffers are out; the first request must be refused";
  const double asked = MonotonicSeconds();
  while (Host.Requests == 0 && MonotonicSeconds() - asked < 2.0) {
    if (Queue.Wait(100)) Queue.DispatchAll(&Loop::Handle, &Events);
  }
  ASSERT_EQ(Host.Requests, 1) << "the last buffer back did not repeat the close request";
  // Idle, at once; a loaded machine gets twice the half second.
  EXPECT_LT(MonotonicSeconds() - asked, 1.0);
  EXPECT_EQ(Events.CaptureEvents - capturesBefore, kRingSize);
  EXPECT_EQ(Events.PlaybackEvents - playbacksBefore, playbackOut);
  EXPECT_EQ(Engine->Ring.CaptureQueued, 0);
  EXPECT_EQ(Engine->Ring.PlaybackQueued, 0);
  EXPECT_TRUE(CloseQuery(*Engine));
  CloseAudio(*Engine);
  EXPECT_FALSE(Capture->IsOpen());
  EXPECT_FALSE(Playback->IsOpen());
  // Nothing arrives after the close.
  EXPECT_EQ(Queue.DispatchAll(&Loop::Handle, &Events), 0);
  EXPECT_TRUE(Errors.Texts.empty());
}

// Start-up when a device cannot be opened: the error box with the device's
// message, no sound, and a close that succeeds at once; fast, and on stderr
// only one line that names the device and says the server's reason.
// The probe prints the boxes and the outcome.
struct OpenFailure {
  const char* Name;
  std::vector<std::string> Environment;
  const char* Message;
  const char* Device;  // "capture" or "playback"
};

class DeviceOpenFailure : public ::testing::TestWithParam<OpenFailure> {};

// PipeWire's PulseAudio server does not refuse a stream whose named device
// is missing: it plays or records on the default device instead.
bool ServerIsPipeWire() {
  const live::RunResult r = live::Run({"pactl", "info"}, live::TestDir(), 10000);
  return r.Out.find("on PipeWire") != std::string::npos;
}

TEST_P(DeviceOpenFailure, ShowsTheMessageRunsWithoutSoundAndClosesAtOnce) {
  const OpenFailure& f = GetParam();
  const bool fallsBack = f.Environment.size() == 1 && ServerIsPipeWire();
  const live::RunResult r = live::Run({SORVANE_OPEN_PROBE}, live::TestDir(), 20000, f.Environment);
  if (fallsBack) {
    EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
    EXPECT_EQ(r.Out.find("box: "), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("running=1"), std::string::npos) << r.Out;
    EXPECT_EQ(r.Err, "");
    return;
  }
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  // A refused open answers at once, nothing waits for a timeout: within
  // 3 s idle, twice that for a loaded machine.
  EXPECT_LT(r.Seconds, 6.0);
  const std::string box = std::string("box: Sorvane ERROR!: ") + f.Message + "\n";
  EXPECT_NE(r.Out.find(box), std::string::npos) << r.Out;
  // Only the first failure is shown: nothing else is opened after it.
  EXPECT_EQ(r.Out.find("box: "), r.Out.rfind("box: ")) << r.Out;
  EXPECT_NE(r.Out.find("running=0 close=1\n"), std::string::npos) << r.Out;
  const std::string line = std::string("live_open_probe: cannot open ");
  EXPECT_EQ(r.Err.rfind(line, 0), 0u) << r.Err;
  EXPECT_NE(r.Err.find(std::string(" ") + f.Device + " device"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find(" at 22050 Hz, mono, 16-bit: "), std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.find('\n'), r.Err.size() - 1) << r.Err;  // one line
}

INSTANTIATE_TEST_SUITE_P(
    Live, DeviceOpenFailure,
    ::testing::Values(
        // No server where libpulse looks: the one named, and the user's
        // runtime folder.
        OpenFailure{
            "NoAudioServer",
            {"PULSE_SERVER=unix:/nonexistent/sorvane-no-server", "XDG_RUNTIME_DIR=/nonexistent/sorvane-no-server"},
            "Problem creating record handle",
            "capture"},
        OpenFailure{
            "MissingSource", {"PULSE_SOURCE=sorvane_no_such_source"}, "Problem creating record handle", "capture"},
        OpenFailure{"MissingSink", {"PULSE_SINK=sorvane_no_such_sink"}, "Problem creating play handle", "playback"}),
    [](const ::testing::TestParamInfo<OpenFailure>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace sorvane
