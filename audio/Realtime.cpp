// SPDX-License-Identifier: GPL-3.0-or-later
// Real-time scheduling of the calling thread: SCHED_FIFO directly, else
// through RealtimeKit on the system D-Bus (libdbus-1, one private
// connection per request, closed again before returning).
#include "audio/Realtime.h"

#include <dbus/dbus.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace sorvane {
namespace {

constexpr const char* kRealtimeKitService = "org.freedesktop.RealtimeKit1";
constexpr const char* kRealtimeKitPath = "/org/freedesktop/RealtimeKit1";
constexpr const char* kRealtimeKitInterface = "org.freedesktop.RealtimeKit1";

bool IsRealtimePolicy(int policy) { return policy == SCHED_FIFO || policy == SCHED_RR; }

// sched_setscheduler with pid 0 sets the calling thread only (Linux).
bool SetCallingThreadFifo(int priority, int& error) {
  sched_param param{};
  param.sched_priority = priority;
  if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) return true;
  error = errno;
  return false;
}

// The soft RLIMIT_RTPRIO, which is what an unprivileged thread may set.
long SoftRealtimePriorityLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) != 0) return 0;
  if (limit.rlim_cur == RLIM_INFINITY) return kRealtimePriority;
  return static_cast<long>(limit.rlim_cur);
}

// Tries kRealtimePriority (allowed with CAP_SYS_NICE or a high enough
// RLIMIT_RTPRIO), then the RLIMIT_RTPRIO itself when that is lower but
// still a real-time priority.
bool RequestDirect(RealtimeOutcome& outcome, std::string& reason) {
  int error = 0;
  if (SetCallingThreadFifo(kRealtimePriority, error)) {
    outcome.Priority = kRealtimePriority;
    return true;
  }
  const long limit = SoftRealtimePriorityLimit();
  if (error == EPERM && limit >= 1 && limit < kRealtimePriority &&
      SetCallingThreadFifo(static_cast<int>(limit), error)) {
    outcome.Priority = static_cast<int>(limit);
    return true;
  }
  reason =
      "SCHED_FIFO refused (" + std::string(std::strerror(error)) + ", RLIMIT_RTPRIO " + std::to_string(limit) + ")";
  return false;
}

struct ErrorHolder {
  DBusError Error;
  ErrorHolder() { dbus_error_init(&Error); }
  ~ErrorHolder() { dbus_error_free(&Error); }
  ErrorHolder(const ErrorHolder&) = delete;
  ErrorHolder& operator=(const ErrorHolder&) = delete;
  std::string Text() const { return dbus_error_is_set(&Error) && Error.message ? Error.message : "no answer"; }
};

struct ConnectionCloser {
  void operator()(DBusConnection* connection) const {
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
  }
};
struct MessageUnref {
  void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using ConnectionPtr = std::unique_ptr<DBusConnection, ConnectionCloser>;
using MessagePtr = std::unique_ptr<DBusMessage, MessageUnref>;

// Reads one integer property of RealtimeKit (int32 or int64 on the wire).
bool ReadRealtimeKitProperty(DBusConnection* connection, const char* name, int64_t& value, std::string& reason) {
  MessagePtr call(
      dbus_message_new_method_call(kRealtimeKitService, kRealtimeKitPath, DBUS_INTERFACE_PROPERTIES, "Get"));
  const char* interface = kRealtimeKitInterface;
  if (!call ||
      !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) {
    reason = "RealtimeKit: out of memory";
    return false;
  }
  ErrorHolder error;
  MessagePtr reply(
      dbus_connection_send_with_reply_and_block(connection, call.get(), kRealtimeKitTimeoutMs, &error.Error));
  if (!reply) {
    reason = "RealtimeKit: " + std::string(name) + ": " + error.Text();
    return false;
  }
  DBusMessageIter args;
  DBusMessageIter variant;
  if (!dbus_message_iter_init(reply.get(), &args) || dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_VARIANT) {
    reason = "RealtimeKit: " + std::string(name) + " is not a property";
    return false;
  }
  dbus_message_iter_recurse(&args, &variant);
  switch (dbus_message_iter_get_arg_type(&variant)) {
    case DBUS_TYPE_INT32: {
      dbus_int32_t v = 0;
      dbus_message_iter_get_basic(&variant, &v);
      value = v;
      return true;
    }
    case DBUS_TYPE_INT64: {
      dbus_int64_t v = 0;
      dbus_message_iter_get_basic(&variant, &v);
      value = v;
      return true;
    }
    default: reason = "RealtimeKit: " + std::string(name) + " is not an integer"; return false;
  }
}

// RealtimeKit grants nothing to a process whose RLIMIT_RTTIME hard limit is
// above its RTTimeUSecMax (or unlimited). Only ever lowers the limits.
bool LimitRealtimeRunTime(int64_t maxMicroseconds, std::string& reason) {
  rlimit limit{};
  if (getrlimit(RLIMIT_RTTIME, &limit) != 0) {
    reason = "RLIMIT_RTTIME unreadable (" + std::string(std::strerror(errno)) + ")";
    return false;
  }
  const auto allowed = static_cast<rlim_t>(maxMicroseconds);
  if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > allowed) limit.rlim_max = allowed;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
  }
  if (setrlimit(RLIMIT_RTTIME, &limit) != 0) {
    reason = "RLIMIT_RTTIME not set (" + std::string(std::strerror(errno)) + ")";
    return false;
  }
  return true;
}

bool RequestThroughRealtimeKit(RealtimeOutcome& outcome, std::string& reason) {
  ErrorHolder error;
  // A private connection, so that closing it leaves any shared one alone;
  // libdbus would otherwise end the whole process when the bus goes away.
  ConnectionPtr connection(dbus_bus_get_private(DBUS_BUS_SYSTEM, &error.Error));
  if (!connection) {
    reason = "no system D-Bus for RealtimeKit (" + error.Text() + ")";
    return false;
  }
  dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);

  int64_t maxPriority = 0;
  int64_t maxRunTimeUs = 0;
  if (!ReadRealtimeKitProperty(connection.get(), "MaxRealtimePriority", maxPriority, reason) ||
      !ReadRealtimeKitProperty(connection.get(), "RTTimeUSecMax", maxRunTimeUs, reason)) {
    return false;
  }
  const int priority = static_cast<int>(std::min<int64_t>(kRealtimePriority, maxPriority));
  if (priority < 1) {
    reason = "RealtimeKit allows no real-time priority (MaxRealtimePriority " + std::to_string(maxPriority) + ")";
    return false;
  }
  if (maxRunTimeUs <= 0) {
    reason = "RealtimeKit allows no real-time run time (RTTimeUSecMax " + std::to_string(maxRunTimeUs) + ")";
    return false;
  }
  if (!LimitRealtimeRunTime(maxRunTimeUs, reason)) return false;

  MessagePtr call(
      dbus_message_new_method_call(kRealtimeKitService, kRealtimeKitPath, kRealtimeKitInterface, "MakeThreadRealtime"));
  const dbus_uint64_t threadId = static_cast<dbus_uint64_t>(gettid());
  const dbus_uint32_t wanted = static_cast<dbus_uint32_t>(priority);
  if (!call || !dbus_message_append_args(call.get(), DBUS_TYPE_UINT64, &threadId, DBUS_TYPE_UINT32, &wanted,
                                         DBUS_TYPE_INVALID)) {
    reason = "RealtimeKit: out of memory";
    return false;
  }
  MessagePtr reply(
      dbus_connection_send_with_reply_and_block(connection.get(), call.get(), kRealtimeKitTimeoutMs, &error.Error));
  if (!reply) {
    reason = "RealtimeKit refused (" + error.Text() + ")";
    return false;
  }
  outcome.Priority = CallingThreadScheduling().Priority;
  return true;
}

}  // namespace

bool RequestRealtime(RealtimeOutcome& outcome) {
  outcome = {};
  const ThreadScheduling before = CallingThreadScheduling();
  if (IsRealtimePolicy(before.Policy)) {
    outcome.Route = RealtimeRoute::AlreadyRealtime;
    outcome.Priority = before.Priority;
    return true;
  }
  std::string directReason;
  if (RequestDirect(outcome, directReason)) {
    outcome.Route = RealtimeRoute::Direct;
    return true;
  }
  std::string kitReason;
  if (RequestThroughRealtimeKit(outcome, kitReason)) {
    outcome.Route = RealtimeRoute::RealtimeKit;
    return true;
  }
  outcome.Priority = 0;
  outcome.Reason = directReason + "; " + kitReason;
  return false;
}

bool ReportNoRealtimeOnce(const std::string& reason) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return false;
  // One fprintf: stdio writes the line under its stream lock, whole.
  std::fprintf(stderr, "sorvane: running without real-time priority: %s\n", reason.c_str());
  return true;
}

bool RequestRealtimeOrReport() {
  RealtimeOutcome outcome;
  if (RequestRealtime(outcome)) return true;
  ReportNoRealtimeOnce(outcome.Reason);
  return false;
}

// Asks the kernel (pid 0: the calling thread) rather than
// pthread_getschedparam, which may answer from what glibc cached and so miss
// a change made by sched_setscheduler or by RealtimeKit.
ThreadScheduling CallingThreadScheduling() {
  const int policy = sched_getscheduler(0);
  sched_param param{};
  if (policy < 0 || sched_getparam(0, &param) != 0) return {};
  return {policy & ~SCHED_RESET_ON_FORK, param.sched_priority};
}

std::string DescribeScheduling(const ThreadScheduling& scheduling) {
  switch (scheduling.Policy) {
    case SCHED_FIFO: return "SCHED_FIFO " + std::to_string(scheduling.Priority);
    case SCHED_RR: return "SCHED_RR " + std::to_string(scheduling.Priority);
    case SCHED_OTHER: return "SCHED_OTHER";
    case SCHED_BATCH: return "SCHED_BATCH";
    case SCHED_IDLE: return "SCHED_IDLE";
    default: return "policy " + std::to_string(scheduling.Policy);
  }
}

}  // namespace sorvane
