// SPDX-License-Identifier: GPL-3.0-or-later
// The PulseAudio devices on a real (headless) server: the default source is
// the monitor of the null sink vocoder_in, the default sink is vocoder_out.
// Sound goes in with paplay and is recorded with parecord.
#include <signal.h>

#include <algorithm>
#include <array>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio/BufferQueue.h"
#include "audio/EventQueue.h"
#include "devices/PulseDevices.h"
#include "tests/live/LiveSupport.h"

namespace sorvane {
namespace {

using live::MonotonicSeconds;

constexpr int kAreaSamples = 243;

// Caller-owned buffers, as the engine owns its ring.
struct Buffers {
  explicit Buffers(size_t n) : Areas(n), Headers(n) {
    for (size_t i = 0; i < n; ++i) {
      Areas[i].fill(0);
      Headers[i] = WaveHeader{Areas[i].data(), 440, 0, i, 0, 0, nullptr, 0};
    }
  }
  std::vector<std::array<int16_t, kAreaSamples>> Areas;
  std::vector<WaveHeader> Headers;
};

struct Event {
  DeviceKind Kind;
  WaveHeader* Header;
  double At;
};

struct EventLog {
  std::vector<Event> Events;
  static void Handle(void* context, DeviceKind kind, WaveHeader& header) {
    static_cast<EventLog*>(context)->Events.push_back({kind, &header, MonotonicSeconds()});
  }
};

// Runs the event loop for the given time, handing every event to handler.
void RunLoop(AudioEventQueue& queue, double seconds, AudioEventQueue::Handler handler, void* context) {
  const double end = MonotonicSeconds() + seconds;
  for (;;) {
    const double left = end - MonotonicSeconds();
    if (left <= 0) break;
    if (queue.Wait(static_cast<int>(left * 1000) + 1)) queue.DispatchAll(handler, context);
  }
  queue.DispatchAll(handler, context);
}

bool QueueBuffer(AudioDevice& device, WaveHeader& header) { return device.Prepare(header) && device.Queue(header); }

// Opens device and prepares and queues every one of buffers on it.
bool OpenAndQueueAll(AudioDevice& device, Buffers& buffers) {
  if (!device.Open(WaveFormat{})) return false;
  for (auto& h : buffers.Headers) {
    if (!QueueBuffer(device, h)) return false;
  }
  return true;
}

// Runs the event loop until count events have been logged or the time is up.
// A busy machine may hold the audio server up for a while; the order and the
// samples are what the tests judge, not how fast they came.
void RunUntil(AudioEventQueue& queue, EventLog& log, size_t count, double seconds) {
  const double end = MonotonicSeconds() + seconds;
  while (log.Events.size() < count) {
    const double left = end - MonotonicSeconds();
    if (left <= 0) break;
    if (queue.Wait(static_cast<int>(left * 1000) + 1)) queue.DispatchAll(&EventLog::Handle, &log);
  }
}

// Where the pieces of signal (each piece samples long) occur in haystack,
// one after the other and in order, from `from` on: the first found piece's
// index, or -1 if none is found. *end receives the index after the last
// found piece, *missing the number of pieces not found. A busy machine may
// hold the audio server up between two pieces (silence is cut in), or make
// it drop what it held when the stream underflowed; every piece found is
// exact and in its place in the order.
int64_t FindInPieces(const std::vector<int16_t>& haystack, const std::vector<int16_t>& signal, size_t piece,
                     int64_t from, int64_t* end, int* missing) {
  int64_t first = -1;
  int64_t at = from;
  *missing = 0;
  for (size_t i = 0; i < signal.size(); i += piece) {
    const std::vector<int16_t> part(signal.begin() + static_cast<ptrdiff_t>(i),
                                    signal.begin() + static_cast<ptrdiff_t>(std::min(signal.size(), i + piece)));
    const int64_t found = live::FindExact(haystack, part, at);
    if (found < 0) {
      ++*missing;
      continue;
    }
    if (first < 0) first = found;
    at = found + static_cast<int64_t>(part.size());
  }
  *end = at;
  return first;
}

class PulseLive : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "the live tests need their PulseAudio server";
    ASSERT_TRUE(Sound->Reachable());
  }
  DeviceCounters Counters(DeviceKind kind) const { return Sound->Counters(kind); }
  AudioEventQueue Queue;
  std::unique_ptr<SoundSystem> Sound = MakePulseSoundSystem(Queue);
};

TEST_F(PulseLive, OpensBothDefaultDevicesOnlyOnceAndOnlyInTheEngineFormat) {
  AudioDevice* capture = &Sound->Capture();
  AudioDevice* playback = &Sound->Playback();
  WaveFormat stereo;
  stereo.Channels = 2;
  EXPECT_FALSE(capture->Open(stereo));
  EXPECT_FALSE(capture->IsOpen());

  const WaveFormat format;
  ASSERT_TRUE(capture->Open(format));
  ASSERT_TRUE(playback->Open(format));
  EXPECT_TRUE(capture->IsOpen());
  EXPECT_TRUE(playback->IsOpen());
  EXPECT_FALSE(capture->Open(format));
  EXPECT_TRUE(capture->Close());
  EXPECT_TRUE(playback->Close());
  EXPECT_FALSE(capture->IsOpen());
  EXPECT_FALSE(capture->Close());
  // A closed device opens again.
  EXPECT_TRUE(capture->Open(format));
  EXPECT_TRUE(capture->Close());
  EXPECT_TRUE(Queue.Empty());
}

// What a mixer (pavucontrol, pactl) shows of the two streams: the program
// by name, with its icon and role, and what each stream carries.
TEST_F(PulseLive, TheMixerShowsBothStreamsAsSorvaneWithItsIconAndRole) {
  ASSERT_TRUE(Sound->Capture().Open(WaveFormat{}));
  ASSERT_TRUE(Sound->Playback().Open(WaveFormat{}));
  const std::string dir = live::TestDir();
  const live::RunResult in = live::Run({"pactl", "list", "source-outputs"}, dir, 10000);
  const live::RunResult out = live::Run({"pactl", "list", "sink-inputs"}, dir, 10000);
  EXPECT_TRUE(Sound->Capture().Close());
  EXPECT_TRUE(Sound->Playback().Close());
  const std::pair<const live::RunResult*, const char*> streams[] = {{&in, "Voice in"}, {&out, "Song out"}};
  for (const auto& [listing, name] : streams) {
    ASSERT_EQ(listing->Status, 0) << listing->Err;
    const std::vector<std::string> lines = {
        "application.name = \"Sorvane\"", "application.id = \"io.github.sorvane.Sorvane\"",
        "application.icon_name = \"io.github.sorvane.Sorvane\"", "media.role = \"production\"",
        "media.name = \"" + std::string(name) + "\""};
    for (const std::string& line : lines) {
      EXPECT_NE(listing->Out.find(line), std::string::npos) << line << " not in:\n" << listing->Out;
    }
  }
}

TEST_F(PulseLive, QueueRefusesUnpreparedOrTwiceQueuedBuffersAndUnprepareWhileQueued) {
  AudioDevice* capture = &Sound->Capture();
  Buffers buffers(2);
  WaveHeader& h = buffers.Headers[0];
  EXPECT_FALSE(capture->Queue(h)) << "not open";
  ASSERT_TRUE(capture->Open(WaveFormat{}));
  EXPECT_FALSE(capture->Queue(h)) << "not prepared";
  ASSERT_TRUE(capture->Prepare(h));
  ASSERT_TRUE(capture->Queue(h));
  EXPECT_FALSE(capture->Queue(h)) << "already queued";
  EXPECT_FALSE(capture->Unprepare(h)) << "still with the device";
  EXPECT_TRUE(capture->Reset());
  EventLog log;
  EXPECT_EQ(Queue.DispatchAll(&EventLog::Handle, &log), 1);
  EXPECT_TRUE(capture->Unprepare(h));
  EXPECT_TRUE(capture->Close());
}

// The engine's pattern: 101 buffers out, each handed back as it returns.
TEST_F(PulseLive, CaptureFillsTheOldestBufferAndReportsFullBlocksAtTheBlockRate) {
  AudioDevice* capture = &Sound->Capture();
  Buffers buffers(101);
  ASSERT_TRUE(OpenAndQueueAll(*capture, buffers));
  struct Checker {
    AudioDevice* Device;
    Buffers* Ring;
    size_t Next = 0;
    int Events = 0;
    int Errors = 0;
    // The stream's own clock (when each buffer's first sample was taken),
    // not the event loop's: a busy machine delays events, not samples.
    uintptr_t First = 0, Last = 0;
    static void Handle(void* context, DeviceKind kind, WaveHeader& header) {
      auto* self = static_cast<Checker*>(context);
      if (self->Events == 0) self->First = header.FirstSampleAtUs;
      self->Last = header.FirstSampleAtUs;
      ++self->Events;
      const bool ok = kind == DeviceKind::Capture && &header == &self->Ring->Headers[self->Next] &&
                      header.BytesRecorded == 440 && (header.Flags & BufferQueue::kDone) != 0 &&
                      (header.Flags & BufferQueue::kInQueue) == 0;
      if (!ok) ++self->Errors;
      self->Next = (self->Next + 1) % self->Ring->Headers.size();
      if (!self->Device->Unprepare(header) || !QueueBuffer(*self->Device, header)) ++self->Errors;
    }
  } checker{capture, &buffers};
  ASSERT_TRUE(capture->Start());
  RunLoop(Queue, 2.5, &Checker::Handle, &checker);
  const DeviceCounters counters = Counters(DeviceKind::Capture);
  EXPECT_TRUE(capture->Close());

  EXPECT_EQ(checker.Errors, 0);
  ASSERT_GT(checker.Events, 125);  // half the block rate for 2.5 s: a loaded machine's stalls allowed
  const double rate = (checker.Events - 1) / ((checker.Last - checker.First) / 1e6);
  EXPECT_NEAR(rate, 100.0, 1.0) << checker.Events << " events";
  EXPECT_EQ(counters.IdleFrames, 0u) << "input arrived while no buffer was queued";
  EXPECT_EQ(counters.BuffersDone, static_cast<uint64_t>(checker.Events));
}

TEST_F(PulseLive, CaptureDeliversExactlyWhatIsPlayedIntoTheSource) {
  const std::string dir = live::TestDir();
  const std::vector<int16_t> signal = live::NoiseSignal(22050 / 2, 1);
  ASSERT_TRUE(live::WriteWav(dir + "/in.wav", signal));

  AudioDevice* capture = &Sound->Capture();
  Buffers buffers(101);
  ASSERT_TRUE(OpenAndQueueAll(*capture, buffers));
  struct Collector {
    AudioDevice* Device;
    std::vector<int16_t> Samples;
    static void Handle(void* context, DeviceKind, WaveHeader& header) {
      auto* self = static_cast<Collector*>(context);
      self->Samples.insert(self->Samples.end(), header.Data, header.Data + header.BytesRecorded / 2);
      self->Device->Unprepare(header);
      QueueBuffer(*self->Device, header);
    }
  } collector{capture, {}};
  collector.Samples.reserve(22050 * 4);
  ASSERT_TRUE(capture->Start());
  RunLoop(Queue, 0.2, &Collector::Handle, &collector);
  live::ChildProcess player(live::Spawn({"paplay", "-d", "vocoder_in", dir + "/in.wav"}, dir + "/paplay.log"));
  ASSERT_GT(player.Pid(), 0);
  // Half a second of signal; a busy machine may make the player slow.
  RunLoop(Queue, 2.5, &Collector::Handle, &collector);
  EXPECT_EQ(player.Wait(5000), 0);
  RunLoop(Queue, 0.3, &Collector::Handle, &collector);
  const DeviceCounters counters = Counters(DeviceKind::Capture);
  EXPECT_TRUE(capture->Close());
  Queue.DispatchAll(&Collector::Handle, &collector);

  // Every sample, unchanged and in order. A player starved by a busy
  // machine leaves silence between pieces; the capture itself may lose
  // nothing unless its stream reported an overflow.
  int64_t end = 0;
  int missing = 0;
  EXPECT_GE(FindInPieces(collector.Samples, signal, 55, 0, &end, &missing), 0)
      << "the played signal is not in the capture";
  if (counters.Overflows + counters.Underflows == 0) {
    EXPECT_EQ(missing, 0) << "samples lost without an overflow";
  }
  EXPECT_LE(missing, static_cast<int>(signal.size() / 55 / 10));
  EXPECT_EQ(counters.IdleFrames, 0u) << "input arrived while no buffer was queued";
}

// Plays a burst, lets the queue run dry, plays another: the sink must carry
// both bursts sample for sample with silence between them, and each buffer
// must be reported only once its samples have gone out.
TEST_F(PulseLive, PlaybackPlaysQueuedBuffersInOrderAndSilenceWhenStarved) {
  const std::string dir = live::TestDir();
  // The recorder asks for small fragments: with the server's default (up to
  // two seconds on PipeWire) what it has not yet been handed when it is
  // stopped would be missing from the end of the file.
  live::ChildProcess recorder(
      live::Spawn({"parecord", "-d", "vocoder_out.monitor", "--rate=22050", "--channels=1", "--format=s16le",
                   "--latency-msec=20", "--file-format=wav", dir + "/out.wav"},
                  dir + "/parecord.log"));
  ASSERT_GT(recorder.Pid(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  AudioDevice* playback = &Sound->Playback();
  ASSERT_TRUE(playback->Open(WaveFormat{}));
  constexpr int kBurst = 40;
  Buffers buffers(2 * kBurst);
  const int lengths[3] = {220, 242, 198};
  std::vector<int16_t> bursts[2];
  for (int i = 0; i < 2 * kBurst; ++i) {
    const int length = lengths[i % 3];
    const auto part = live::NoiseSignal(length, 100 + i);
    std::copy(part.begin(), part.end(), buffers.Areas[i].begin());
    buffers.Headers[i].BufferLength = 2 * length;
    bursts[i / kBurst].insert(bursts[i / kBurst].end(), part.begin(), part.end());
  }

  EventLog log;
  // Silence the stream played from queueing a burst to its last buffer's
  // done event, that is, after the burst ran out.
  uint64_t silenceBeforeDone[2] = {0, 0};
  for (int b = 0; b < 2; ++b) {
    const double queuedAt = MonotonicSeconds();
    const uint64_t idleAtQueue = Counters(DeviceKind::Playback).IdleFrames;
    for (int i = b * kBurst; i < (b + 1) * kBurst; ++i) ASSERT_TRUE(QueueBuffer(*playback, buffers.Headers[i]));
    const size_t before = log.Events.size();
    const double burstSeconds = bursts[b].size() / 22050.0;
    RunUntil(Queue, log, before + kBurst, burstSeconds + 5.0);
    silenceBeforeDone[b] = Counters(DeviceKind::Playback).IdleFrames - idleAtQueue;
    RunLoop(Queue, 0.3, &EventLog::Handle, &log);
    ASSERT_EQ(log.Events.size(), before + kBurst) << "burst " << b;
    // Not all at once: the last buffer is done only after the others played.
    EXPECT_GT(log.Events.back().At - queuedAt, 0.8 * burstSeconds);
  }
  const DeviceCounters counters = Counters(DeviceKind::Playback);
  // A buffer is done once played, not once handed to the server: the last
  // buffer of a burst comes back only after the server has played what it
  // held, while the stream went on handing it silence (judged in the
  // stream's own frames, which a busy machine does not shift).
  ASSERT_GT(counters.Callbacks, 0u);
  const double serverSeconds = 1e-6 * static_cast<double>(counters.DeviceLatencyMicros) / counters.Callbacks;
  for (int b = 0; b < 2; ++b) {
    EXPECT_GT(static_cast<double>(silenceBeforeDone[b]), 0.5 * serverSeconds * 22050)
        << "burst " << b << "; the server holds " << serverSeconds * 1000 << " ms";
  }
  EXPECT_TRUE(playback->Close());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(recorder.Stop(SIGINT, 5000), 0);

  for (int i = 0; i < 2 * kBurst; ++i) {
    EXPECT_EQ(log.Events[i].Header, &buffers.Headers[i]) << "event " << i;
    EXPECT_EQ(log.Events[i].Kind, DeviceKind::Playback);
  }
  EXPECT_GT(counters.IdleFrames, 0u);

  std::vector<int16_t> recorded;
  ASSERT_TRUE(live::ReadWav(dir + "/out.wav", recorded));
  // Pieces of half a callback: where the client can be late. Pieces may be
  // missing only where the stream reported an underflow.
  int64_t gapStart = 0, bEnd = 0;
  int missingA = 0, missingB = 0;
  const int64_t a = FindInPieces(recorded, bursts[0], 55, 0, &gapStart, &missingA);
  ASSERT_GE(a, 0) << "first burst not found exactly";
  const int64_t b = FindInPieces(recorded, bursts[1], 55, gapStart, &bEnd, &missingB);
  ASSERT_GE(b, 0) << "second burst not found exactly after the first";
  const int pieces = static_cast<int>((bursts[0].size() + 54) / 55 + (bursts[1].size() + 54) / 55);
  if (counters.Overflows + counters.Underflows == 0) {
    EXPECT_EQ(missingA + missingB, 0) << "samples lost without an underflow";
  }
  EXPECT_LE(missingA + missingB, pieces / 10) << "of " << pieces << " pieces";
  EXPECT_GT(b - gapStart, 22050 / 10) << "the starved queue left no gap";
  for (int64_t i = gapStart; i < b; ++i) ASSERT_EQ(recorded[i], 0) << "non-silence in the gap at " << i;
}

TEST_F(PulseLive, CaptureResetReturnsEveryQueuedBufferAtOnceInOrder) {
  AudioDevice* capture = &Sound->Capture();
  Buffers buffers(101);
  ASSERT_TRUE(OpenAndQueueAll(*capture, buffers));
  ASSERT_TRUE(capture->Start());
  EventLog log;
  RunLoop(Queue, 0.25, &EventLog::Handle, &log);
  const size_t filled = log.Events.size();
  ASSERT_GT(filled, 10u);
  ASSERT_LT(filled, 101u);

  ASSERT_TRUE(capture->Reset());
  // The returned buffers are already posted when Reset returns.
  Queue.DispatchAll(&EventLog::Handle, &log);
  ASSERT_EQ(log.Events.size(), 101u);
  // Full buffers, then at most one partly filled, then empty ones.
  int partial = 0;
  for (size_t i = 0; i < 101; ++i) {
    EXPECT_EQ(log.Events[i].Header, &buffers.Headers[i]) << i;
    EXPECT_TRUE((buffers.Headers[i].Flags & BufferQueue::kDone) != 0);
    const uint32_t bytes = buffers.Headers[i].BytesRecorded;
    if (i < filled) {
      EXPECT_EQ(bytes, 440u) << i;
    }
    if (i > 0) {
      EXPECT_LE(bytes, buffers.Headers[i - 1].BytesRecorded) << i;
    }
    if (bytes > 0 && bytes < 440) ++partial;
  }
  EXPECT_LE(partial, 1);
  EXPECT_EQ(buffers.Headers[100].BytesRecorded, 0u);
  // Nothing more comes: capture stopped with the reset.
  RunLoop(Queue, 0.15, &EventLog::Handle, &log);
  EXPECT_EQ(log.Events.size(), 101u);

  // A later queue and start capture again.
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(capture->Unprepare(buffers.Headers[i]));
    ASSERT_TRUE(QueueBuffer(*capture, buffers.Headers[i]));
  }
  ASSERT_TRUE(capture->Start());
  RunLoop(Queue, 0.3, &EventLog::Handle, &log);
  EXPECT_EQ(log.Events.size(), 106u);
  EXPECT_TRUE(capture->Close());
}

TEST_F(PulseLive, PlaybackResetReturnsEveryQueuedBufferAndLaterBuffersPlay) {
  AudioDevice* playback = &Sound->Playback();
  Buffers buffers(60);
  ASSERT_TRUE(OpenAndQueueAll(*playback, buffers));
  EventLog log;
  RunLoop(Queue, 0.15, &EventLog::Handle, &log);
  const size_t played = log.Events.size();
  ASSERT_LT(played, 40u);
  ASSERT_TRUE(playback->Reset());
  Queue.DispatchAll(&EventLog::Handle, &log);
  ASSERT_EQ(log.Events.size(), 60u);
  for (size_t i = 0; i < 60; ++i) EXPECT_EQ(log.Events[i].Header, &buffers.Headers[i]) << i;
  EXPECT_EQ(Counters(DeviceKind::Playback).Queued, 0u);

  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(playback->Unprepare(buffers.Headers[i]));
    ASSERT_TRUE(QueueBuffer(*playback, buffers.Headers[i]));
  }
  RunUntil(Queue, log, 65, 5.0);
  RunLoop(Queue, 0.1, &EventLog::Handle, &log);
  EXPECT_EQ(log.Events.size(), 65u) << "buffers queued after a reset were not played";
  EXPECT_TRUE(playback->Close());
}

TEST_F(PulseLive, CloseWithBuffersQueuedReturnsEveryOneOfThem) {
  AudioDevice* capture = &Sound->Capture();
  AudioDevice* playback = &Sound->Playback();
  ASSERT_TRUE(capture->Open(WaveFormat{}));
  ASSERT_TRUE(playback->Open(WaveFormat{}));
  Buffers in(101), out(30);
  for (auto& h : in.Headers) ASSERT_TRUE(QueueBuffer(*capture, h));
  for (auto& h : out.Headers) ASSERT_TRUE(QueueBuffer(*playback, h));
  ASSERT_TRUE(capture->Start());
  EventLog log;
  RunLoop(Queue, 0.1, &EventLog::Handle, &log);
  EXPECT_TRUE(capture->Close());
  EXPECT_TRUE(playback->Close());
  RunLoop(Queue, 0.1, &EventLog::Handle, &log);

  std::set<WaveHeader*> seen;
  int captureEvents = 0;
  for (const Event& e : log.Events) {
    EXPECT_TRUE(seen.insert(e.Header).second) << "a buffer came back twice";
    if (e.Kind == DeviceKind::Capture) ++captureEvents;
  }
  EXPECT_EQ(captureEvents, 101);
  EXPECT_EQ(log.Events.size(), 131u);
  EXPECT_FALSE(capture->Queue(in.Headers[0]));
}

}  // namespace
}  // namespace sorvane
