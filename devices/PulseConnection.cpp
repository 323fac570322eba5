// SPDX-License-Identifier: GPL-3.0-or-later
// The PulseAudio client's connection: the main loop's start and end, the
// context made and renewed, and the callbacks that watch it.
#include "devices/PulseConnection.h"

#include <chrono>

#include "audio/Realtime.h"

namespace sorvane {

// The properties the mixer shows for the client and for each stream.
pa_proplist* ApplicationProperties() {
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kApplicationName);
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, kApplicationId);
  pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, kApplicationId);
  pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, kMediaRole);
  return props;
}

PulseConnection::PulseConnection(int cancelFd) {
  Loop = pa_threaded_mainloop_new();
  if (Loop == nullptr) return;
  pa_threaded_mainloop_set_name(Loop, "sorvane-sound");
  // Queued before the loop runs, so no lock is needed for them.
  pa_threaded_mainloop_once_unlocked(Loop, &OnLoopThread, this);
  if (cancelFd >= 0) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(Loop);
    CancelEvent = api->io_new(api, cancelFd, PA_IO_EVENT_INPUT, &OnCancel, this);
  }
  if (pa_threaded_mainloop_start(Loop) < 0) {
    pa_threaded_mainloop_free(Loop);
    Loop = nullptr;
  }
}

PulseConnection::~PulseConnection() {
  if (Loop == nullptr) return;
  {
    LoopLock lock(Loop);
    DropContext();
    if (CancelEvent != nullptr) pa_threaded_mainloop_get_api(Loop)->io_free(CancelEvent);
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

bool PulseConnection::Ready(std::string& why, pa_usec_t timeoutUs) {
  if (Loop == nullptr) {
    why = "cannot start libpulse's main loop";
    return false;
  }
  if (Cancelled) {
    why = kCancelledReason;
    return false;
  }
  if (ContextHandle != nullptr && !PA_CONTEXT_IS_GOOD(pa_context_get_state(ContextHandle))) DropContext();
  // A server that let the last wait run out is not waited for again (the
  // streams are opened right after the connection), until a reconnection
  // asks anew.
  if (ContextHandle == nullptr && NoAnswer) {
    why = kNoAnswerReason;
    return false;
  }
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
  if (answered) {
    why = pa_strerror(pa_context_errno(ContextHandle));
  } else if (Cancelled) {
    why = kCancelledReason;
  } else {
    why = kNoAnswerReason;
    NoAnswer = true;
  }
  DropContext();
  return false;
}

bool PulseConnection::Reconnect(std::string& why) {
  DropContext();
  NoAnswer = false;
  if (!Ready(why, kReconnectTimeoutUs)) return false;
  Lost.store(false, std::memory_order_release);
  return true;
}

void PulseConnection::OnLoopThread(pa_threaded_mainloop*, void* self) {
  RequestRealtimeOrReport();
  auto* connection = static_cast<PulseConnection*>(self);
  const std::lock_guard<std::mutex> lock(connection->StartedMutex);
  connection->LoopStarted = true;
  connection->StartedSignal.notify_all();
}

void PulseConnection::OnContextState(pa_context* context, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) connection->Lost.store(true, std::memory_order_release);
  pa_threaded_mainloop_signal(connection->Loop, 0);
}

void PulseConnection::OnCancel(pa_mainloop_api* api, pa_io_event* event, int, pa_io_event_flags_t, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  connection->Cancelled = true;
  api->io_enable(event, PA_IO_EVENT_NULL);
  pa_threaded_mainloop_signal(connection->Loop, 0);
}

void PulseConnection::TimeUp(pa_mainloop_api*, pa_time_event*, const timeval*, void* deadline) {
  auto* d = static_cast<Deadline*>(deadline);
  d->Passed = true;
  pa_threaded_mainloop_signal(d->Loop, 0);
}

void PulseConnection::DropContext() {
  if (ContextHandle == nullptr) return;
  pa_context_set_state_callback(ContextHandle, nullptr, nullptr);
  pa_context_disconnect(ContextHandle);
  pa_context_unref(ContextHandle);
  ContextHandle = nullptr;
}

}  // namespace sorvane
