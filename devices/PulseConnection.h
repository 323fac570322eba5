// SPDX-License-Identifier: GPL-3.0-or-later
// The PulseAudio client's connection, shared by its two streams: libpulse's
// threaded main loop and one context, the wait for the server, and the flag
// that the server went away. Only the PulseAudio client's files include it.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace sorvane {

inline constexpr const char* kApplicationName = "Sorvane";
inline constexpr const char* kApplicationId = "io.github.sorvane.Sorvane";
inline constexpr const char* kMediaRole = "production";
inline constexpr const char* kCaptureStreamName = "Voice in";
inline constexpr const char* kPlaybackStreamName = "Song out";

// The longest wait for the server while connecting or opening a stream: a
// server that accepts the connection and then says nothing is given up on
// as soon as the device listing gives up on it.
inline constexpr pa_usec_t kServerTimeoutUs = 2 * PA_USEC_PER_SEC;
// The longest a reconnection waits for a server that went away: its caller
// tries again a second later, and waits on the program's event thread. A
// server that is up answers on its local socket within a few milliseconds.
inline constexpr pa_usec_t kReconnectTimeoutUs = 80 * PA_USEC_PER_MSEC;

// The clock both devices' times are on: monotonic, in microseconds.
inline int64_t NowUs() { return static_cast<int64_t>(pa_rtclock_now()); }

// The properties the mixer shows for the client and for each stream; the
// caller frees them with pa_proplist_free.
pa_proplist* ApplicationProperties();

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
  // cancelFd, when not -1, becomes readable when the program is asked to
  // end: every wait for the server ends then, and none begins again.
  explicit PulseConnection(int cancelFd);

  ~PulseConnection();

  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_threaded_mainloop* MainLoop() const { return Loop; }
  pa_context* Context() const { return ContextHandle; }

  // Lock held. A ready context, connecting anew when there is none or the
  // last one has failed (the server went away), waiting at most timeoutUs
  // for the server; on failure why says why.
  bool Ready(std::string& why, pa_usec_t timeoutUs = kServerTimeoutUs);

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
    while (!done() && !timer.Passed && !Cancelled) pa_threaded_mainloop_wait(Loop);
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
  bool Reconnect(std::string& why);

 private:
  // Runs once on the stream thread, before any of its callbacks: the
  // thread that moves the samples asks to run real-time.
  static void OnLoopThread(pa_threaded_mainloop*, void* self);

  // The state callback of a ready context, on the loop's thread: one flag,
  // and the wake-up of a waiting caller.
  static void OnContextState(pa_context* context, void* self);

  // On the loop's thread, with the lock held: the program is asked to end.
  // The byte stays in the pipe for its owner; the event is switched off so
  // that it does not fire again and again.
  static void OnCancel(pa_mainloop_api* api, pa_io_event* event, int, pa_io_event_flags_t, void* self);

  struct Deadline {
    pa_threaded_mainloop* Loop;
    bool Passed;
  };
  // On the loop's thread, with the lock held.
  static void TimeUp(pa_mainloop_api*, pa_time_event*, const timeval*, void* deadline);

  void DropContext();

  static constexpr const char* kNoAnswerReason = "the server does not answer";
  static constexpr const char* kCancelledReason = "no longer waited for: the program is ending";

  pa_threaded_mainloop* Loop = nullptr;
  pa_context* ContextHandle = nullptr;
  pa_io_event* CancelEvent = nullptr;
  // Both read and written with the loop's lock held.
  bool Cancelled = false;  // the program is ending: no more waits
  bool NoAnswer = false;   // the last wait for the server ran out
  // Set on the loop's thread when the ready context or a ready stream
  // fails; cleared by Reconnect.
  std::atomic<bool> Lost{false};
  // The loop's thread has run its first callback.
  std::mutex StartedMutex;
  std::condition_variable StartedSignal;
  bool LoopStarted = false;
};

}  // namespace sorvane
