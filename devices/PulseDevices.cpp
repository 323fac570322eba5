// SPDX-License-Identifier: GPL-3.0-or-later
// libpulse behind the engine's device interface: the shared connection, the
// two streams and their callbacks. See PulseDevices.h for the behaviour.
#include "devices/PulseDevices.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "audio/BufferQueue.h"
#include "audio/Realtime.h"

namespace sorvane {

namespace {

constexpr const char* kApplicationName = "Sorvane";
constexpr const char* kApplicationId = "io.github.sorvane.Sorvane";
constexpr const char* kMediaRole = "production";
constexpr const char* kCaptureStreamName = "Voice in";
constexpr const char* kPlaybackStreamName = "Song out";

// Capture fragments and playback requests of two blocks. The server's
// graph runs at the smallest period its streams ask for, so these set how
// often the whole graph wakes, and with it what the server costs; a shorter
// fragment makes PipeWire run at a shorter period at several times the cost
// (docs/latency.md has the figures). Neither adds to the delay: a capture
// buffer is timed by its first sample, and a playback buffer counts as
// queued until it has been played, so what the server holds lies inside the
// engine's playback queue (up to the target asked, which is all of it that
// a buffer waits for).
// Playback: the server holds four blocks and asks for two at a time, so a
// late callback has two blocks in hand; playback starts once the first
// request is written, and after an underrun with the next. What the server
// holds is that much less in the engine's own hands, which is why it is not
// more.
struct StreamSizes {
  uint32_t CaptureFragmentFrames;
  uint32_t PlaybackTargetFrames;
  uint32_t PlaybackRequestFrames;
};
constexpr StreamSizes kNormalSizes{2 * kBlockSamples, 4 * kBlockSamples, 2 * kBlockSamples};
// Low latency: the engine keeps one to three blocks queued for playback, so
// the server holds one block and asks for half a block at a time; capture
// hands over each half block as it comes. The graph then wakes about every
// 5 ms, which costs the server what a low-latency client costs.
constexpr StreamSizes kLowLatencySizes{kBlockSamples / 2, kBlockSamples, kBlockSamples / 2};
// The server's latency follows the buffer sizes asked (ADJUST_LATENCY),
// and the stream's clock is interpolated between the server's timing
// updates, which come by themselves, so a callback reads its times without
// asking the server.
constexpr pa_stream_flags_t kStreamFlags = static_cast<pa_stream_flags_t>(
    PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
// The longest wait for the server while connecting or opening a stream.
constexpr pa_usec_t kServerTimeoutUs = 5 * PA_USEC_PER_SEC;
// The longest a reconnection waits for a server that went away: its caller
// tries again a second later, and waits on the program's event thread. A
// server that is up answers on its local socket within a few milliseconds.
constexpr pa_usec_t kReconnectTimeoutUs = 80 * PA_USEC_PER_MSEC;

// The clock both devices' times are on: monotonic, in microseconds.
int64_t NowUs() { return static_cast<int64_t>(pa_rtclock_now()); }

// The properties the mixer shows for the client and for each stream.
pa_proplist* ApplicationProperties() {
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kApplicationName);
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, kApplicationId);
  pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, kApplicationId);
  pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, kMediaRole);
  return props;
}

// The main loop's lock, held for a scope.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : Loop(loop) { pa_threaded_mainloop_lock(Loop); }
  ~LoopLock() { pa_threaded_mainloop_unlock(Loop); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* Loop;
};

// The threaded main loop and the context the two devices share.
class PulseConnection {
 public:
  PulseConnection() {
    Loop = pa_threaded_mainloop_new();
    if (Loop == nullptr) return;
    pa_threaded_mainloop_set_name(Loop, "sorvane-sound");
    // Queued before the loop runs, so no lock is needed for it.
    pa_threaded_mainloop_once_unlocked(Loop, &OnLoopThread, this);
    if (pa_threaded_mainloop_start(Loop) < 0) {
      pa_threaded_mainloop_free(Loop);
      Loop = nullptr;
    }
  }

  ~PulseConnection() {
    if (Loop == nullptr) return;
    {
      LoopLock lock(Loop);
      DropContext();
    }
    // libpulse frees what the first callback was queued with only when it
    // runs: a loop stopped before its thread got that far (a connection
    // refused at once on a busy machine) would leak it.
    {
      std::unique_lock<std::mutex> lock(StartedMutex);
      StartedSignal.wait_for(lock, std::chrono::seconds(2), [this] { return LoopStarted; });
    }
    pa_threaded_mainloop_stop(Loop);
    pa_threaded_mainloop_free(Loop);
  }

  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_threaded_mainloop* MainLoop() const { return Loop; }
  pa_context* Context() const { return ContextHandle; }

  // Lock held. A ready context, connecting anew when there is none or the
  // last one has failed (the server went away), waiting at most timeoutUs
  // for the server; on failure why says why.
  bool Ready(std::string& why, pa_usec_t timeoutUs = kServerTimeoutUs) {
    if (Loop == nullptr) {
      why = "cannot start libpulse's main loop";
      return false;
    }
    if (ContextHandle != nullptr && !PA_CONTEXT_IS_GOOD(pa_context_get_state(ContextHandle))) DropContext();
    if (ContextHandle == nullptr) {
      pa_proplist* props = ApplicationProperties();
      ContextHandle = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(Loop), kApplicationName, props);
      pa_proplist_free(props);
      if (ContextHandle == nullptr) {
        why = "cannot make a client context";
        return false;
      }
      pa_context_set_state_callback(ContextHandle, &Signal, this);
      // Never start a server behind the user's back.
      if (pa_context_connect(ContextHandle, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        why = pa_strerror(pa_context_errno(ContextHandle));
        DropContext();
        return false;
      }
    }
    const bool answered = WaitUntil(
        [this] {
          const pa_context_state_t state = pa_context_get_state(ContextHandle);
          return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        timeoutUs);
    if (pa_context_get_state(ContextHandle) == PA_CONTEXT_READY) {
      // From here on a failure is the server going away.
      pa_context_set_state_callback(ContextHandle, &OnContextState, this);
      return true;
    }
    why = answered ? pa_strerror(pa_context_errno(ContextHandle)) : "the server does not answer";
    DropContext();
    return false;
  }

  // Lock held, not on the loop's thread. Waits until done() holds, or at
  // most timeoutUs; whether it holds. Every state callback of the context
  // and the streams wakes it.
  template <typename Done>
  bool WaitUntil(Done done, pa_usec_t timeoutUs = kServerTimeoutUs) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(Loop);
    timeval deadline{};
    pa_timeval_add(pa_gettimeofday(&deadline), timeoutUs);
    Deadline timer{Loop, false};
    pa_time_event* event = api->time_new(api, &deadline, &TimeUp, &timer);
    while (!done() && !timer.Passed) pa_threaded_mainloop_wait(Loop);
    api->time_free(event);
    return done();
  }

  // Wakes WaitUntil: the state callback of the context and the streams.
  template <typename Handle>
  static void Signal(Handle*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseConnection*>(self)->Loop, 0);
  }

  // The state callback of a stream once it is ready: a failed stream is a
  // lost server, as is a failed context.
  static void OnStreamState(pa_stream* stream, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) connection->Lost.store(true, std::memory_order_release);
    pa_threaded_mainloop_signal(connection->Loop, 0);
  }

  bool ServerLost() const { return Lost.load(std::memory_order_acquire); }

  // Lock held, no stream left on the context. Drops the old context and
  // connects a new one, waiting at most kReconnectTimeoutUs.
  bool Reconnect(std::string& why) {
    DropContext();
    if (!Ready(why, kReconnectTimeoutUs)) return false;
    Lost.store(false, std::memory_order_release);
    return true;
  }

 private:
  // Runs once on the stream thread, before any of its callbacks: the
  // thread that moves the samples asks to run real-time.
  static void OnLoopThread(pa_threaded_mainloop*, void* self) {
    RequestRealtimeOrReport();
    auto* connection = static_cast<PulseConnection*>(self);
    const std::lock_guard<std::mutex> lock(connection->StartedMutex);
    connection->LoopStarted = true;
    connection->StartedSignal.notify_all();
  }

  // The state callback of a ready context, on the loop's thread: one flag,
  // and the wake-up of a waiting caller.
  static void OnContextState(pa_context* context, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) connection->Lost.store(true, std::memory_order_release);
    pa_threaded_mainloop_signal(connection->Loop, 0);
  }

  struct Deadline {
    pa_threaded_mainloop* Loop;
    bool Passed;
  };
  // On the loop's thread, with the lock held.
  static void TimeUp(pa_mainloop_api*, pa_time_event*, const timeval*, void* deadline) {
    auto* d = static_cast<Deadline*>(deadline);
    d->Passed = true;
    pa_threaded_mainloop_signal(d->Loop, 0);
  }

  void DropContext() {
    if (ContextHandle == nullptr) return;
    pa_context_set_state_callback(ContextHandle, nullptr, nullptr);
    pa_context_disconnect(ContextHandle);
    pa_context_unref(ContextHandle);
    ContextHandle = nullptr;
  }

  pa_threaded_mainloop* Loop = nullptr;
  pa_context* ContextHandle = nullptr;
  // Set on the loop's thread when the ready context or a ready stream
  // fails; cleared by Reconnect.
  std::atomic<bool> Lost{false};
  // The loop's thread has run its first callback.
  std::mutex StartedMutex;
  std::condition_variable StartedSignal;
  bool LoopStarted = false;
};

// One stream, capture or playback, on the shared connection.
class PulseDevice final : public AudioDevice {
 public:
  PulseDevice(DeviceKind kind, PulseConnection& connection, AudioEventQueue& events, const char* deviceName,
              LatencyMode latency)
      : Kind(kind),
        Sizes(latency == LatencyMode::Low ? kLowLatencySizes : kNormalSizes),
        Connection(connection),
        Events(events),
        DeviceName(deviceName != nullptr ? deviceName : ""),
        Buffers(kind == DeviceKind::Capture ? BufferQueueKind::Capture : BufferQueueKind::Playback,
                &PulseDevice::BufferDone, this) {}

  ~PulseDevice() override {
    // Buffers still queued are not reported: whoever would handle their
    // events goes away with the device.
    if (Stream == nullptr) return;
    LoopLock lock(Connection.MainLoop());
    DropStream();
  }

  bool Open(const WaveFormat& format) override {
    if (Stream != nullptr) return false;
    if (format.FormatTag != 1 || format.Channels != 1 || format.BitsPerSample != 16 || format.SamplesPerSec == 0 ||
        format.SamplesPerSec > PA_RATE_MAX) {
      return false;
    }
    if (Connection.MainLoop() == nullptr) {
      ReportOpenFailure(format, "cannot start libpulse's main loop");
      return false;
    }
    std::string why;
    LoopLock lock(Connection.MainLoop());
    if (!Connection.Ready(why)) {
      ReportOpenFailure(format, why);
      return false;
    }
    Rate = format.SamplesPerSec;
    Buffers.SetSampleRate(Rate);
    // A playback buffer waits for at most what the server was asked to hold.
    Buffers.SetMaxServerHoldUs(static_cast<int64_t>(Sizes.PlaybackTargetFrames) * 1000000 / Rate);
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, Rate, 1};
    const bool capture = Kind == DeviceKind::Capture;
    pa_proplist* props = ApplicationProperties();
    pa_stream* stream = pa_stream_new_with_proplist(
        Connection.Context(), capture ? kCaptureStreamName : kPlaybackStreamName, &sampleFormat, nullptr, props);
    pa_proplist_free(props);
    if (stream == nullptr) {
      ReportOpenFailure(format, pa_strerror(pa_context_errno(Connection.Context())));
      return false;
    }
    pa_stream_set_state_callback(stream, &PulseConnection::Signal<pa_stream>, &Connection);
    const char* device = DeviceName.empty() ? nullptr : DeviceName.c_str();
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    int connected = 0;
    if (capture) {
      attr.fragsize = Sizes.CaptureFragmentFrames * 2;
      pa_stream_set_read_callback(stream, &PulseDevice::OnRead, this);
      connected = pa_stream_connect_record(stream, device, &attr,
                                           static_cast<pa_stream_flags_t>(kStreamFlags | PA_STREAM_START_CORKED));
    } else {
      attr.tlength = Sizes.PlaybackTargetFrames * 2;
      attr.minreq = Sizes.PlaybackRequestFrames * 2;
      attr.prebuf = Sizes.PlaybackRequestFrames * 2;
      pa_stream_set_write_callback(stream, &PulseDevice::OnWrite, this);
      pa_stream_set_underflow_callback(stream, &PulseDevice::OnUnderflow, this);
      pa_stream_set_overflow_callback(stream, &PulseDevice::OnOverflow, this);
      connected = pa_stream_connect_playback(stream, device, &attr, kStreamFlags, nullptr, nullptr);
    }
    Stream = stream;
    Capturing = false;
    const bool ready = connected == 0 && Connection.WaitUntil([stream] {
      const pa_stream_state_t state = pa_stream_get_state(stream);
      return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    }) && pa_stream_get_state(stream) == PA_STREAM_READY;
    if (!ready) {
      const int err = pa_context_errno(Connection.Context());
      DropStream();
      ReportOpenFailure(format, err != 0 ? pa_strerror(err) : "the server does not answer");
      return false;
    }
    pa_stream_set_state_callback(stream, &PulseConnection::OnStreamState, &Connection);
    return true;
  }

  bool Prepare(WaveHeader& header) override { return Buffers.Prepare(header); }
  bool Unprepare(WaveHeader& header) override { return Buffers.Unprepare(header); }

  bool Queue(WaveHeader& header) override {
    if (Stream == nullptr) return false;
    return Buffers.Queue(header);
  }

  bool Start() override {
    if (Stream == nullptr) return false;
    if (Kind == DeviceKind::Playback) return true;
    LoopLock lock(Connection.MainLoop());
    if (pa_stream_get_state(Stream) != PA_STREAM_READY) return false;
    if (Capturing) return true;
    // What was recorded before this start is not this start's input.
    DiscardReadable();
    pa_operation* op = pa_stream_cork(Stream, 0, nullptr, nullptr);
    if (op == nullptr) return false;
    pa_operation_unref(op);
    Capturing = true;
    return true;
  }

  bool Reset() override {
    if (Stream == nullptr) return false;
    LoopLock lock(Connection.MainLoop());
    StopAndReturnAll();
    return true;
  }

  bool Close() override {
    if (Stream == nullptr) return false;
    LoopLock lock(Connection.MainLoop());
    StopAndReturnAll();
    DropStream();
    return true;
  }

  bool IsOpen() const override { return Stream != nullptr; }

  DeviceCounters Counters() const {
    DeviceCounters c{};
    c.Callbacks = CallbackCount.load(std::memory_order_relaxed);
    c.Frames = FrameCount.load(std::memory_order_relaxed);
    c.IdleFrames = Buffers.IdleFrames();
    c.LostFrames = LostFrameCount.load(std::memory_order_relaxed);
    c.Underflows = UnderflowCount.load(std::memory_order_relaxed);
    c.Overflows = OverflowCount.load(std::memory_order_relaxed);
    c.BuffersDone = Buffers.BuffersDone();
    c.DeviceLatencyMicros = LatencyMicros.load(std::memory_order_relaxed);
    c.Queued = Buffers.Queued();
    return c;
  }

 private:
  static void BufferDone(void* self, WaveHeader& header) {
    auto* device = static_cast<PulseDevice*>(self);
    device->Events.Post(device->Kind, &header);
  }

  // Lock held. Keeps the callbacks off the buffer queue, hands every queued
  // buffer back and empties the stream, without waiting for the server.
  void StopAndReturnAll() {
    Capturing = false;
    Buffers.ReturnAll();
    if (pa_stream_get_state(Stream) != PA_STREAM_READY) return;
    if (Kind == DeviceKind::Capture) {
      if (pa_operation* op = pa_stream_cork(Stream, 1, nullptr, nullptr)) pa_operation_unref(op);
      DiscardReadable();
    }
    if (pa_operation* op = pa_stream_flush(Stream, nullptr, nullptr)) pa_operation_unref(op);
  }

  // Lock held: drops what the stream has read and nobody took yet.
  void DiscardReadable() {
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(Stream) > 0 && pa_stream_peek(Stream, &data, &bytes) == 0 && bytes > 0) {
      pa_stream_drop(Stream);
    }
  }

  // Lock held: the stream's callbacks end here, and the stream goes.
  void DropStream() {
    pa_stream_set_state_callback(Stream, nullptr, nullptr);
    pa_stream_set_read_callback(Stream, nullptr, nullptr);
    pa_stream_set_write_callback(Stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(Stream, nullptr, nullptr);
    pa_stream_set_overflow_callback(Stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(Stream))) pa_stream_disconnect(Stream);
    pa_stream_unref(Stream);
    Stream = nullptr;
    Capturing = false;
  }

  void ReportOpenFailure(const WaveFormat& format, const std::string& why) const {
    const bool capture = Kind == DeviceKind::Capture;
    const char* kind = capture ? "capture" : "playback";
    const char* chosen = !DeviceName.empty() ? DeviceName.c_str() : std::getenv(capture ? "PULSE_SOURCE" : "PULSE_SINK");
    const std::string device = chosen != nullptr && chosen[0] != '\0'
                                   ? std::string("the ") + kind + " device \"" + chosen + "\""
                                   : std::string("a ") + kind + " device";
    std::fprintf(stderr, "%s: cannot open %s at %u Hz, mono, 16-bit: PulseAudio: %s\n", program_invocation_short_name,
                 device.c_str(), static_cast<unsigned>(format.SamplesPerSec), why.c_str());
  }

  // The stream callbacks, on the loop's thread with its lock held.

  static void OnRead(pa_stream* stream, size_t, void* self) {
    auto* device = static_cast<PulseDevice*>(self);
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
      const auto frames = static_cast<uint32_t>(bytes / 2);
      device->CallbackCount.fetch_add(1, std::memory_order_relaxed);
      device->FrameCount.fetch_add(frames, std::memory_order_relaxed);
      if (data == nullptr) {
        // A hole: the server dropped what it could not hand over in time.
        device->OverflowCount.fetch_add(1, std::memory_order_relaxed);
        device->LostFrameCount.fetch_add(frames, std::memory_order_relaxed);
      } else if (device->Capturing) {
        // The stream's latency is the age of the first frame not yet read.
        const int64_t now = NowUs();
        pa_usec_t age = 0;
        int negative = 0;
        if (pa_stream_get_latency(stream, &age, &negative) != 0 || negative != 0) age = 0;
        device->LatencyMicros.fetch_add(age, std::memory_order_relaxed);
        device->Buffers.Capture(static_cast<const int16_t*>(data), frames, now - static_cast<int64_t>(age));
      }
      pa_stream_drop(stream);
    }
  }

  static void OnWrite(pa_stream* stream, size_t requested, void* self) {
    auto* device = static_cast<PulseDevice*>(self);
    while (requested >= 2) {
      void* data = nullptr;
      size_t bytes = requested;
      if (pa_stream_begin_write(stream, &data, &bytes) < 0 || data == nullptr) return;
      bytes = std::min(bytes, requested) & ~static_cast<size_t>(1);
      if (bytes == 0) {
        pa_stream_cancel_write(stream);
        return;
      }
      const auto frames = static_cast<uint32_t>(bytes / 2);
      auto* output = static_cast<int16_t*>(data);
      device->CallbackCount.fetch_add(1, std::memory_order_relaxed);
      device->FrameCount.fetch_add(frames, std::memory_order_relaxed);
      // The latency is how long a frame written now waits to be played.
      const int64_t now = NowUs();
      pa_usec_t wait = 0;
      int negative = 0;
      if (pa_stream_get_latency(stream, &wait, &negative) == 0) {
        if (negative != 0) wait = 0;
        device->LatencyMicros.fetch_add(wait, std::memory_order_relaxed);
        device->Buffers.Play(output, frames, now, now + static_cast<int64_t>(wait));
      } else {
        // No timing from the server yet.
        device->Buffers.PlayUntimed(output, frames);
      }
      if (pa_stream_write(stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
      requested -= bytes;
    }
  }

  static void OnUnderflow(pa_stream*, void* self) {
    static_cast<PulseDevice*>(self)->UnderflowCount.fetch_add(1, std::memory_order_relaxed);
  }

  static void OnOverflow(pa_stream*, void* self) {
    static_cast<PulseDevice*>(self)->OverflowCount.fetch_add(1, std::memory_order_relaxed);
  }

  const DeviceKind Kind;
  const StreamSizes Sizes;
  PulseConnection& Connection;
  AudioEventQueue& Events;
  const std::string DeviceName;
  uint32_t Rate = kSampleRate;
  pa_stream* Stream = nullptr;
  // Capture: whether frames read go to the buffers. Read and written with
  // the loop's lock held only.
  bool Capturing = false;

  // Single producer (the engine's thread) and single consumer (the
  // callbacks, or the engine's thread while it holds the loop's lock).
  BufferQueue Buffers;

  alignas(64) std::atomic<uint64_t> CallbackCount{0};
  std::atomic<uint64_t> FrameCount{0};
  std::atomic<uint64_t> LostFrameCount{0};
  std::atomic<uint64_t> UnderflowCount{0};
  std::atomic<uint64_t> OverflowCount{0};
  std::atomic<uint64_t> LatencyMicros{0};
};

class PulseSoundSystem final : public SoundSystem {
 public:
  PulseSoundSystem(AudioEventQueue& events, const char* captureDevice, const char* playbackDevice,
                   LatencyMode latency)
      : CaptureDevice(DeviceKind::Capture, Connection, events, captureDevice, latency),
        PlaybackDevice(DeviceKind::Playback, Connection, events, playbackDevice, latency) {
    if (Connection.MainLoop() == nullptr) return;
    LoopLock lock(Connection.MainLoop());
    std::string why;
    Answered = Connection.Ready(why);
  }

  const char* Name() const override { return "PulseAudio"; }
  bool Reachable() const override { return Answered; }
  AudioDevice& Capture() override { return CaptureDevice; }
  AudioDevice& Playback() override { return PlaybackDevice; }
  DeviceCounters Counters(DeviceKind kind) const override {
    return kind == DeviceKind::Capture ? CaptureDevice.Counters() : PlaybackDevice.Counters();
  }
  bool ServerLost() const override { return Connection.ServerLost(); }
  bool Reconnect(std::string& reason) override {
    if (Connection.MainLoop() == nullptr) {
      reason = "cannot start libpulse's main loop";
      return false;
    }
    // The streams of the old context go first, with their buffers.
    if (CaptureDevice.IsOpen() || PlaybackDevice.IsOpen()) {
      reason = "the sound devices are still open";
      return false;
    }
    LoopLock lock(Connection.MainLoop());
    if (!Connection.Reconnect(reason)) return false;
    Answered = true;
    return true;
  }

 private:
  PulseConnection Connection;  // made first, gone last
  PulseDevice CaptureDevice;
  PulseDevice PlaybackDevice;
  bool Answered = false;
};

}  // namespace

std::unique_ptr<SoundSystem> MakePulseSoundSystem(AudioEventQueue& events, const char* captureDevice,
                                                  const char* playbackDevice, LatencyMode latency) {
  return std::make_unique<PulseSoundSystem>(events, captureDevice, playbackDevice, latency);
}

}  // namespace sorvane
