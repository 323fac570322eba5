// SPDX-License-Identifier: GPL-3.0-or-later
// The JACK devices on a private JACK server (dummy driver) at 48000 Hz with
// 256-frame periods (both converters at work) and at 22050 Hz with
// 220-frame periods (converters bypassed): the ports and the connections
// made at start, capture at the block rate, a tone played at its pitch on
// both outputs with nothing allocated on the process thread, the times the
// buffers carry against where the samples cross the ports, every buffer
// back on reset and close, and a server that goes away.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "audio/EventQueue.h"
#include "audio/Realtime.h"
#include "devices/JackDevices.h"
#include "tests/support/AllocationCount.h"
#include "tests/support/JackServer.h"
#include "tests/support/Wait.h"

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kFrames = 220;
constexpr double kBufferUs = 1e6 * kFrames / kSampleRate;

struct ServerSetting {
  int Rate;
  int Period;
};

std::string PrintSetting(const testing::TestParamInfo<ServerSetting>& info) {
  return std::to_string(info.param.Rate) + "Hz" + std::to_string(info.param.Period);
}

bool WaitFor(const std::function<bool()>& done, double seconds = 10) { return test::WaitFor(done, seconds, 5); }

struct Buffer {
  std::array<int16_t, kFrames> Samples{};
  WaveHeader Header{Samples.data(), kFrames * 2, 0, 0, 0, 0, nullptr, 0};
};

// The engine's side: every completed buffer, with the JACK clock when it
// was handled; a capture buffer can be queued again at once.
struct EngineSide {
  AudioEventQueue Events;
  std::vector<WaveHeader*> Captured;
  std::vector<WaveHeader*> Played;
  std::vector<int64_t> CapturedAgeUs;  // JACK clock at handling minus FirstSampleAtUs
  JackDevice* Requeue = nullptr;

  static void Handle(void* self, DeviceKind kind, WaveHeader& header) {
    auto* e = static_cast<EngineSide*>(self);
    if (kind == DeviceKind::Capture) {
      e->Captured.push_back(&header);
      e->CapturedAgeUs.push_back(static_cast<int64_t>(jack_get_time()) - static_cast<int64_t>(header.FirstSampleAtUs));
      if (e->Requeue != nullptr) {
        EXPECT_TRUE(e->Requeue->Unprepare(header) && e->Requeue->Prepare(header) && e->Requeue->Queue(header));
      }
    } else {
      e->Played.push_back(&header);
    }
  }
  int Dispatch() { return Events.DispatchAll(&EngineSide::Handle, this); }
  void RunFor(double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      Events.Wait(20);
      Dispatch();
    }
  }
};

bool QueueAll(JackDevice& device, std::vector<Buffer>& buffers) {
  for (Buffer& b : buffers) {
    if (!device.Prepare(b.Header) || !device.Queue(b.Header)) return false;
  }
  return true;
}

// A client of the test's own: an output that sends one impulse when asked,
// and two inputs that record what arrives, each sample with its time.
struct Probe {
  static constexpr size_t kMaxCycles = 4096;
  jack_client_t* Client = nullptr;
  jack_port_t* Out = nullptr;
  jack_port_t* In[2] = {};
  double Rate = 0;
  std::vector<float> Recorded[2];
  std::vector<double> CycleUs;    // start of each recorded cycle
  std::vector<uint32_t> CycleAt;  // its first sample's index in Recorded
  std::atomic<size_t> Samples{0};
  std::atomic<size_t> Cycles{0};
  std::atomic<bool> Recording{false};
  std::atomic<bool> SendImpulse{false};
  std::atomic<double> ImpulseUs{0};

  bool Open(const test::JackServer& server, double seconds, const char* name = "probe") {
    Client = server.Join(name);
    if (Client == nullptr) return false;
    Rate = jack_get_sample_rate(Client);
    Out = jack_port_register(Client, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    In[0] = jack_port_register(Client, "in_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    In[1] = jack_port_register(Client, "in_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    for (auto& r : Recorded) r.assign(static_cast<size_t>(Rate * seconds), 0.0f);
    CycleUs.assign(kMaxCycles, 0);
    CycleAt.assign(kMaxCycles, 0);
    return jack_set_process_callback(Client, &Probe::Process, this) == 0 && jack_activate(Client) == 0;
  }
  ~Probe() {
    if (Client != nullptr) jack_client_close(Client);
  }

  static int Process(jack_nframes_t frames, void* self) {
    auto* p = static_cast<Probe*>(self);
    jack_nframes_t cycleFrames;
    jack_time_t cycleUs, nextUs;
    float periodUs;
    jack_get_cycle_times(p->Client, &cycleFrames, &cycleUs, &nextUs, &periodUs);
    auto* out = static_cast<float*>(jack_port_get_buffer(p->Out, frames));
    std::fill(out, out + frames, 0.0f);
    if (p->SendImpulse.load()) {
      const uint32_t at = frames / 3;
      out[at] = 0.5f;
      p->ImpulseUs = static_cast<double>(cycleUs) + at * 1e6 / p->Rate;
      p->SendImpulse = false;
    }
    const size_t n = p->Samples.load(std::memory_order_relaxed);
    const size_t c = p->Cycles.load(std::memory_order_relaxed);
    if (p->Recording.load() && n + frames <= p->Recorded[0].size() && c < kMaxCycles) {
      for (int i = 0; i < 2; ++i) {
        const auto* in = static_cast<const float*>(jack_port_get_buffer(p->In[i], frames));
        std::copy(in, in + frames, p->Recorded[i].begin() + static_cast<std::ptrdiff_t>(n));
      }
      p->CycleUs[c] = static_cast<double>(cycleUs);
      p->CycleAt[c] = static_cast<uint32_t>(n);
      p->Cycles.store(c + 1, std::memory_order_release);
      p->Samples.store(n + frames, std::memory_order_release);
    }
    return 0;
  }

  // When recorded sample `index` (fractional) crossed the inputs.
  double TimeOf(double index) const {
    const size_t cycles = Cycles.load(std::memory_order_acquire);
    size_t c = 0;
    while (c + 1 < cycles && CycleAt[c + 1] <= index) ++c;
    return CycleUs[c] + (index - CycleAt[c]) * 1e6 / Rate;
  }
};

// Where the largest sample of a band-limited pulse lies, to a fraction of a
// sample (a parabola through the peak and its neighbours).
template <typename T>
double PeakPosition(const T* samples, size_t count) {
  size_t peak = 0;
  for (size_t i = 1; i < count; ++i) {
    if (std::abs(static_cast<double>(samples[i])) > std::abs(static_cast<double>(samples[peak]))) peak = i;
  }
  if (peak == 0 || peak + 1 >= count) return static_cast<double>(peak);
  const double a = samples[peak - 1], b = samples[peak], c = samples[peak + 1];
  const double curve = a - 2 * b + c;
  return curve != 0 ? peak + 0.5 * (a - c) / curve : static_cast<double>(peak);
}

class JackDevices : public testing::TestWithParam<ServerSetting> {
 protected:
  void SetUp() override {
    Work = fs::path(SORVANE_DEVICES_TEST_DIR) / ("jack-" + std::to_string(getpid()));
    fs::create_directories(Work);
    Server = std::make_unique<test::JackServer>(Work / "jackd.log", GetParam().Rate, GetParam().Period);
    ASSERT_TRUE(Server->Ready()) << "jackd did not start; see " << (Work / "jackd.log");
    ASSERT_NO_FATAL_FAILURE(OpenSystem(false));
  }
  void OpenSystem(bool awaitEngine) {
    System.reset();
    JackSoundOptions options;
    options.ServerName = Server->Name;
    options.MidiEvents = &Engine.Events;
    options.AwaitEngine = awaitEngine;
    std::string reason;
    System = OpenJackSoundSystem(Engine.Events, reason, options);
    ASSERT_NE(System, nullptr) << reason;
  }
  void TearDown() override {
    System.reset();
    Server.reset();
    fs::remove_all(Work);
  }

  // Opens both devices as the engine does and starts capture with every
  // buffer of capture queued.
  void OpenAndStart(std::vector<Buffer>& capture) {
    ASSERT_TRUE(System->Capture().Open(WaveFormat{}));
    ASSERT_TRUE(System->Playback().Open(WaveFormat{}));
    ASSERT_TRUE(QueueAll(System->Capture(), capture));
    ASSERT_TRUE(System->Capture().Start());
  }

  // As OpenAndStart, with song queued for playback too, and a tenth of a
  // second run with both going.
  void RunWithBothQueued(std::vector<Buffer>& capture, std::vector<Buffer>& song) {
    ASSERT_NO_FATAL_FAILURE(OpenAndStart(capture));
    ASSERT_TRUE(QueueAll(System->Playback(), song));
    Engine.RunFor(0.1);
  }

  // Buffers for the devices, kept until the client has closed: the process
  // thread may still be filling one when a test body returns.
  std::vector<Buffer>& Buffers(size_t count) { return Storage.emplace_back(count); }

  fs::path Work;
  std::unique_ptr<test::JackServer> Server;
  EngineSide Engine;
  std::deque<std::vector<Buffer>> Storage;  // goes after System
  std::unique_ptr<JackSoundSystem> System;
};

TEST_P(JackDevices, PortsAreConnectedAtStartAndLeftAloneAfter) {
  std::vector<Buffer>& capture = Buffers(8);
  OpenAndStart(capture);
  Probe probe;
  ASSERT_TRUE(probe.Open(*Server, 0.1));
  jack_client_t* c = probe.Client;
  const std::string name = System->ClientName();
  ASSERT_EQ(name, "Sorvane");
  for (const char* port : {"Sorvane:Voice In", "Sorvane:Song Out L", "Sorvane:Song Out R", "Sorvane:MIDI In"}) {
    EXPECT_NE(jack_port_by_name(c, port), nullptr) << port;
  }
  using Names = std::vector<std::string>;
  EXPECT_EQ(Server->ConnectionsOf("Sorvane:Voice In", c), Names{"system:capture_1"});
  EXPECT_EQ(Server->ConnectionsOf("Sorvane:Song Out L", c), Names{"system:playback_1"});
  EXPECT_EQ(Server->ConnectionsOf("Sorvane:Song Out R", c), Names{"system:playback_2"});

  // The user rewires; a reset and a new start must not undo it.
  ASSERT_EQ(jack_disconnect(c, "Sorvane:Song Out L", "system:playback_1"), 0);
  ASSERT_EQ(jack_connect(c, "Sorvane:Song Out L", "probe:in_1"), 0);
  ASSERT_TRUE(System->Capture().Reset());
  ASSERT_TRUE(System->Playback().Reset());
  ASSERT_TRUE(QueueAll(System->Capture(), capture));
  ASSERT_TRUE(System->Capture().Start());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Server->ConnectionsOf("Sorvane:Song Out L", c), Names{"probe:in_1"});

  ASSERT_TRUE(System->Capture().Close());
  EXPECT_NE(jack_port_by_name(c, "Sorvane:Voice In"), nullptr) << "the client closed with a device still open";
  ASSERT_TRUE(System->Playback().Close());
  EXPECT_EQ(jack_port_by_name(c, "Sorvane:Voice In"), nullptr) << "the client stayed after the last close";
}

TEST_P(JackDevices, CaptureCompletesAtTheBlockRate) {
  std::vector<Buffer>& capture = Buffers(101);
  Engine.Requeue = &System->Capture();
  OpenAndStart(capture);
  const auto start = Clock::now();
  Engine.RunFor(3.0);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double perSecond = static_cast<double>(Engine.Captured.size()) / seconds;
  // The dummy driver keeps time by sleeping, so a busy machine slows it:
  // half the block rate is allowed for that, never more than the rate.
  EXPECT_GT(perSecond, 50) << Engine.Captured.size() << " buffers in " << seconds << " s";
  EXPECT_LT(perSecond, 140) << Engine.Captured.size() << " buffers in " << seconds << " s";
  EXPECT_EQ(System->Counters().CaptureIdleFrames, 0u);
  ASSERT_GT(Engine.Captured.size(), 10u);
  // A buffer cannot be done before its last sample was taken: its first
  // sample is at least a buffer's length old when it is handled. JACK's
  // cycle times are smoothed, and on a busy machine the dummy driver's
  // late cycles throw single ones off by milliseconds: the median counts.
  std::vector<int64_t> ages(Engine.CapturedAgeUs.begin() + 5, Engine.CapturedAgeUs.end());
  std::sort(ages.begin(), ages.end());
  EXPECT_GE(ages[ages.size() / 2], static_cast<int64_t>(kBufferUs) - 500);
  EXPECT_LT(ages[ages.size() / 2], 100000);
}

TEST_P(JackDevices, ToneComesOutAtItsPitchOnBothOutputsWithoutAllocating) {
  std::vector<Buffer>& capture = Buffers(101);
  Engine.Requeue = &System->Capture();
  OpenAndStart(capture);
  Probe probe;
  constexpr double kSeconds = 2.0;
  ASSERT_TRUE(probe.Open(*Server, kSeconds));
  ASSERT_EQ(jack_connect(probe.Client, "Sorvane:Song Out L", "probe:in_1"), 0);
  ASSERT_EQ(jack_connect(probe.Client, "Sorvane:Song Out R", "probe:in_2"), 0);

  // 1000 Hz at half scale, phase running on across buffers. This thread
  // refills them without real-time priority: a second queued ahead keeps
  // playback from running dry while a busy machine holds it back.
  constexpr double kTone = 1000.0;
  constexpr double kAmplitude = 16384.0;
  constexpr size_t kAhead = 100;
  std::vector<Buffer>& song = Buffers(kAhead + 10);
  int64_t sampleIndex = 0;
  auto fill = [&](Buffer& b) {
    for (auto& s : b.Samples) {
      s = static_cast<int16_t>(std::lrint(kAmplitude * std::sin(2 * M_PI * kTone * sampleIndex++ / kSampleRate)));
    }
  };
  JackDevice& playback = System->Playback();
  for (size_t i = 0; i < kAhead; ++i) {
    fill(song[i]);
    ASSERT_TRUE(playback.Prepare(song[i].Header) && playback.Queue(song[i].Header));
  }
  size_t next = kAhead;

  const uint64_t silenceBefore = System->Counters().PlaybackIdleFrames;
  const uint64_t xrunsBefore = System->Counters().Xruns;
  // Heap allocations of the process callback's thread.
  const pthread_t processThread = System->ProcessThread();
  test::StartCountingAllocations(&processThread);
  probe.Recording = true;
  while (probe.Samples.load() + 2 * probe.Rate / 10 < probe.Recorded[0].size()) {
    Engine.Events.Wait(20);
    const size_t played = Engine.Played.size();
    Engine.Dispatch();
    for (size_t i = played; i < Engine.Played.size(); ++i) {
      Buffer& b = song[next++ % song.size()];
      ASSERT_TRUE(playback.Unprepare(b.Header));
      fill(b);
      ASSERT_TRUE(playback.Prepare(b.Header) && playback.Queue(b.Header));
    }
  }
  EXPECT_EQ(test::StopCountingAllocations(), 0) << "the process callback allocated";
  EXPECT_EQ(System->Counters().PlaybackIdleFrames, silenceBefore) << "playback ran dry";
  const uint64_t xruns = System->Counters().Xruns - xrunsBefore;

  const size_t recorded = probe.Samples.load();
  const std::vector<float>& left = probe.Recorded[0];
  const std::vector<float>& right = probe.Recorded[1];
  // Both outputs carry the same samples. A cycle the machine ran late can
  // hand the probe one port's buffer before Sorvane wrote it: at most a few
  // ms of a busy run may differ.
  size_t differ = 0;
  for (size_t i = 0; i < recorded; ++i) differ += left[i] != right[i] ? 1 : 0;
  EXPECT_LE(differ, static_cast<size_t>(probe.Rate / 50)) << "the outputs differ in " << differ << " samples";
  // Zero crossings upward, to a fraction of a sample, over the recording
  // after the first 100 ms.
  std::vector<double> crossings;
  double sumSquares = 0;
  const auto from = static_cast<size_t>(probe.Rate / 10);
  for (size_t i = from; i + 1 < recorded; ++i) {
    sumSquares += static_cast<double>(left[i]) * left[i];
    if (left[i] < 0 && left[i + 1] >= 0) crossings.push_back(i + left[i] / (left[i] - left[i + 1]));
  }
  ASSERT_GT(crossings.size(), 1000u);
  const double periods = static_cast<double>(crossings.size() - 1);
  const double measured = periods / (crossings.back() - crossings.front()) * probe.Rate;
  EXPECT_LT(std::abs(1200 * std::log2(measured / kTone)), 1.0) << measured << " Hz";
  // No gap or jump in the tone: every period as long as the others. A cycle
  // the machine ran late (the server reports it as an xrun) can hand the
  // probe a stale or half-written buffer, which spoils the periods at its
  // two edges; nothing else may.
  size_t uneven = 0;
  size_t firstUneven = 0;
  for (size_t i = 1; i < crossings.size(); ++i) {
    if (std::abs(crossings[i] - crossings[i - 1] - probe.Rate / kTone) > 0.05 && uneven++ == 0) firstUneven = i;
  }
  EXPECT_LE(uneven, 4 * xruns) << uneven << " uneven periods, the first at crossing " << firstUneven << " ("
                               << crossings[firstUneven] - crossings[firstUneven - 1] << " samples), with " << xruns
                               << " xruns";
  const double rms = std::sqrt(sumSquares / static_cast<double>(recorded - 1 - from));
  EXPECT_NEAR(rms, kAmplitude / 32768.0 / std::sqrt(2.0), 0.005);
}

TEST_P(JackDevices, BufferTimesAreWhenTheirSamplesCrossThePorts) {
  std::vector<Buffer>& capture = Buffers(101);
  Engine.Requeue = &System->Capture();
  OpenAndStart(capture);
  // Two probes, so that the graph has no loop: one alone feeds Voice In,
  // the other alone hears Song Out; the ports' latencies are then zero and
  // the probes' clock is the ports' clock.
  Probe source;
  Probe sink;
  ASSERT_TRUE(source.Open(*Server, 0.1, "source"));
  ASSERT_TRUE(sink.Open(*Server, 2.0, "sink"));
  jack_client_t* c = sink.Client;
  jack_disconnect(c, "system:capture_1", "Sorvane:Voice In");
  jack_disconnect(c, "Sorvane:Song Out L", "system:playback_1");
  jack_disconnect(c, "Sorvane:Song Out R", "system:playback_2");
  ASSERT_EQ(jack_connect(c, "source:out", "Sorvane:Voice In"), 0);
  ASSERT_EQ(jack_connect(c, "Sorvane:Song Out L", "sink:in_1"), 0);
  ASSERT_TRUE(WaitFor([&] {
    const JackCounters n = System->Counters();
    return n.CaptureLatency == 0 && n.PlaybackLatency == 0;
  })) << "the ports' latencies were not read again";
  Engine.RunFor(0.2);

  // Capture: the impulse's place in the captured buffers against when the
  // probe sent it.
  const size_t before = Engine.Captured.size();
  source.SendImpulse = true;
  Engine.RunFor(0.3);
  double capturedUs = -1;
  for (size_t i = before; i < Engine.Captured.size(); ++i) {
    const WaveHeader& h = *Engine.Captured[i];
    const int16_t* s = h.Data;
    if (*std::max_element(s, s + kFrames) < 2000) continue;
    capturedUs = static_cast<double>(h.FirstSampleAtUs) + PeakPosition(s, kFrames) * 1e6 / kSampleRate;
    break;
  }
  ASSERT_GE(capturedUs, 0) << "the impulse was not captured";
  EXPECT_NEAR(capturedUs, source.ImpulseUs.load(), 60.0);

  // Playback: a buffer with an impulse at sample 100 among silent ones.
  std::vector<Buffer>& song = Buffers(6);
  song[3].Samples[100] = 16384;
  sink.Recording = true;
  ASSERT_TRUE(QueueAll(System->Playback(), song));
  ASSERT_TRUE(WaitFor([&] {
    Engine.Dispatch();
    return Engine.Played.size() == song.size();
  }));
  const double sentUs = static_cast<double>(song[3].Header.FirstSampleAtUs) + 100 * 1e6 / kSampleRate;
  const double heardUs = sink.TimeOf(PeakPosition(sink.Recorded[0].data(), sink.Samples.load()));
  EXPECT_NEAR(heardUs, sentUs, 60.0);
}

// The low-latency mode's cycle waits for the engine to answer a completed
// capture buffer before it plays. An engine that does not answer holds each
// such cycle only up to the deadline; every wait missed is counted, and the
// server's cycles go on.
TEST_P(JackDevices, AWaitForAnEngineThatDoesNotAnswerEndsAndIsCounted) {
  ASSERT_NO_FATAL_FAILURE(OpenSystem(true));
  std::vector<Buffer>& capture = Buffers(10);
  ASSERT_NO_FATAL_FAILURE(OpenAndStart(capture));  // nothing handles the events
  ASSERT_TRUE(WaitFor([&] { return System->Counters().CaptureBuffersDone == capture.size(); }));
  const uint64_t cycles = System->Counters().Cycles;
  EXPECT_TRUE(WaitFor([&] { return System->Counters().Cycles > cycles + 10; })) << "the cycles stopped";
  EXPECT_EQ(System->Counters().EngineWaitsMissed, capture.size());
  EXPECT_FALSE(System->ServerGone());
}

// An engine that answers each capture buffer with a block of song, one of
// them 7 ms late, past the cycle's wait and the song queued: the silence
// played meanwhile is skipped from the song that follows, so that the
// blocks after it are as far behind the voice as those before.
struct LateEngine {
  static constexpr size_t kBlocks = 160;
  static constexpr size_t kLateBlock = 80;
  JackSoundSystem* System = nullptr;
  std::vector<Buffer>* Song = nullptr;
  std::vector<int64_t> CapturedUs = std::vector<int64_t>(kBlocks);
  std::vector<int64_t> DelayUs = std::vector<int64_t>(kBlocks);
  size_t Answered = 0;
  size_t Played = 0;

  static void Handle(void* self, DeviceKind kind, WaveHeader& header) {
    auto* e = static_cast<LateEngine*>(self);
    if (kind == DeviceKind::Playback) {
      e->DelayUs[header.User] = static_cast<int64_t>(header.FirstSampleAtUs) - e->CapturedUs[header.User];
      ++e->Played;
      return;
    }
    JackDevice& capture = e->System->Capture();
    EXPECT_TRUE(capture.Unprepare(header) && capture.Prepare(header) && capture.Queue(header));
    if (e->Answered == kBlocks) return;
    if (e->Answered == kLateBlock) std::this_thread::sleep_for(std::chrono::milliseconds(7));
    Buffer& song = (*e->Song)[e->Answered];
    song.Header.User = e->Answered;
    e->CapturedUs[e->Answered] = static_cast<int64_t>(header.FirstSampleAtUs);
    ++e->Answered;
    EXPECT_TRUE(e->System->Playback().Prepare(song.Header) && e->System->Playback().Queue(song.Header));
  }
};

TEST_P(JackDevices, SongTheEngineWasLateWithPlaysWhereItWouldHaveBeen) {
  ASSERT_NO_FATAL_FAILURE(OpenSystem(true));
  LateEngine late;
  late.System = System.get();
  late.Song = &Buffers(LateEngine::kBlocks);
  ASSERT_NO_FATAL_FAILURE(OpenAndStart(Buffers(4)));
  std::thread engine([&] {
    RealtimeOutcome outcome;
    RequestRealtime(outcome);  // as the engine's own thread; ordinary where refused
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (late.Played < LateEngine::kBlocks && Clock::now() < end) {
      Engine.Events.Wait(20);
      Engine.Events.DispatchAll(&LateEngine::Handle, &late);
    }
  });
  engine.join();
  ASSERT_EQ(late.Played, LateEngine::kBlocks);
  EXPECT_GE(System->Counters().EngineWaitsMissed, 1u);
  auto median = [&](size_t from, size_t to) {
    std::vector<int64_t> d(late.DelayUs.begin() + from, late.DelayUs.begin() + to);
    std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
    return d[d.size() / 2];
  };
  const int64_t before = median(LateEngine::kLateBlock - 40, LateEngine::kLateBlock);
  const int64_t after = median(LateEngine::kLateBlock + 10, LateEngine::kBlocks);
  // Left behind, the song would stay as much later as the silence played:
  // 7 ms less what the queue held (6 and 10 ms measured so). Caught up, it
  // is within a millisecond idle; twice that for a loaded machine.
  EXPECT_NEAR(after, before, 2000) << "the late block left the song behind for good";
}

TEST_P(JackDevices, ResetAndCloseReturnEveryBuffer) {
  std::vector<Buffer>& capture = Buffers(101);
  std::vector<Buffer>& song = Buffers(20);
  ASSERT_NO_FATAL_FAILURE(RunWithBothQueued(capture, song));
  ASSERT_TRUE(System->Capture().Reset());
  ASSERT_TRUE(System->Playback().Reset());
  Engine.Dispatch();
  EXPECT_EQ(Engine.Captured.size(), capture.size());
  EXPECT_EQ(Engine.Played.size(), song.size());
  // Capture stays stopped until started again; playback goes on.
  ASSERT_TRUE(QueueAll(System->Capture(), capture));
  Buffer more;
  ASSERT_TRUE(System->Playback().Prepare(more.Header) && System->Playback().Queue(more.Header));
  Engine.RunFor(0.2);
  EXPECT_EQ(Engine.Captured.size(), capture.size()) << "capture ran after a reset without a start";
  EXPECT_EQ(Engine.Played.size(), song.size() + 1) << "playback did not go on after a reset";

  // Close with buffers queued on both.
  Engine.Captured.clear();
  Engine.Played.clear();
  ASSERT_TRUE(System->Capture().Start());
  ASSERT_TRUE(QueueAll(System->Playback(), song));
  ASSERT_TRUE(System->Capture().Close());
  ASSERT_TRUE(System->Playback().Close());
  Engine.Dispatch();
  EXPECT_EQ(Engine.Captured.size(), capture.size());
  EXPECT_EQ(Engine.Played.size(), song.size());
  for (const Buffer& b : capture) EXPECT_EQ(b.Header.Flags & BufferQueue::kInQueue, 0u);
  EXPECT_FALSE(System->Connected());
}

TEST_P(JackDevices, ServerGoingAwayIsReportedAndEveryBufferComesBack) {
  std::vector<Buffer>& capture = Buffers(101);
  std::vector<Buffer>& song = Buffers(20);
  ASSERT_NO_FATAL_FAILURE(RunWithBothQueued(capture, song));
  // SIGTERM: a server killed outright keeps its slot in JACK's shared
  // registry of servers, which holds eight.
  Server->Stop();
  EXPECT_TRUE(WaitFor([&] { return System->ServerGone(); })) << "the server's end went unnoticed";

  const auto start = Clock::now();
  EXPECT_FALSE(System->Capture().Start());
  ASSERT_TRUE(System->Capture().Reset());
  ASSERT_TRUE(System->Capture().Close());
  ASSERT_TRUE(System->Playback().Close());
  Engine.Dispatch();
  EXPECT_EQ(Engine.Captured.size(), capture.size());
  EXPECT_EQ(Engine.Played.size(), song.size());
  EXPECT_FALSE(System->Capture().Open(WaveFormat{})) << "opened without a server";
  // Nothing waits on the server that is gone: well inside 10 s, loaded or not.
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 10.0);
}

INSTANTIATE_TEST_SUITE_P(Servers, JackDevices, testing::Values(ServerSetting{48000, 256}, ServerSetting{22050, 220}),
                         PrintSetting);

}  // namespace
}  // namespace sorvane
