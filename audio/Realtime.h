// SPDX-License-Identifier: GPL-3.0-or-later
// Real-time scheduling for the threads that move samples and for the
// engine's block work, the way desktop audio clients get it: SCHED_FIFO set
// directly where RLIMIT_RTPRIO or CAP_SYS_NICE allows it, else granted by
// RealtimeKit on the system D-Bus. Where neither is allowed the thread runs
// on as it was and the program says so once on stderr.
//
// Each thread asks once, at its start, on itself: asking makes a D-Bus call
// that can wait up to a second, so never from a sound server's callback.
// No Qt, no sound server.
#pragma once

#include <cstdint>
#include <string>

namespace sorvane {

// The SCHED_FIFO priority asked for, lowered to what the system allows.
// Below the sound servers' own threads (PulseAudio's run at 5 by default,
// JACK's and PipeWire's higher): the server has the hard deadline of the
// sound card, our threads only the next 10-ms block, so the server must
// never wait for us; any real-time priority is still above every ordinary
// thread.
constexpr int kRealtimePriority = 4;
static_assert(kRealtimePriority >= 1, "SCHED_FIFO priorities start at 1");

// Longest the RealtimeKit call (and each property read) may take.
constexpr int kRealtimeKitTimeoutMs = 1000;

enum class RealtimeRoute : uint8_t {
  None,             // refused: the thread is as it was, Reason says why
  Direct,           // SCHED_FIFO set by the thread itself
  RealtimeKit,      // granted by RealtimeKit (which sets SCHED_RR)
  AlreadyRealtime,  // it was real-time before (e.g. a JACK process thread)
};

struct RealtimeOutcome {
  RealtimeRoute Route = RealtimeRoute::None;
  int Priority = 0;    // the thread's real-time priority afterwards, 0 if none
  std::string Reason;  // one line, only when Route is None
};

// Makes the calling thread real-time at kRealtimePriority or the highest
// the system allows below it. A thread that already runs SCHED_FIFO or
// SCHED_RR is left as it is, so a priority given by a sound server is never
// lowered. The scheduling is set with SCHED_RESET_ON_FORK: a process started
// from such a thread starts as an ordinary one.
//
// On the RealtimeKit route the process's RLIMIT_RTTIME is lowered (soft and
// hard) to RealtimeKit's RTTimeUSecMax, as it grants nothing otherwise: a
// real-time thread that then runs that long without sleeping gets SIGXCPU.
// Our threads sleep every few milliseconds.
//
// Returns true when the thread now runs real-time. Thread-safe.
bool RequestRealtime(RealtimeOutcome& outcome);

// Prints "sorvane: running without real-time priority: <reason>" on stderr,
// on the first call in the process only, whichever thread makes it. Returns
// whether this call printed.
bool ReportNoRealtimeOnce(const std::string& reason);

// RequestRealtime, and ReportNoRealtimeOnce when it was refused: the one
// call a sample-moving or engine thread makes at its start.
bool RequestRealtimeOrReport();

// The calling thread's scheduling, for the tests and the program's report.
struct ThreadScheduling {
  int Policy = 0;    // SCHED_OTHER, SCHED_FIFO, SCHED_RR... (without flags)
  int Priority = 0;  // the real-time priority, 0 for the ordinary policies
};
ThreadScheduling CallingThreadScheduling();

// "SCHED_FIFO 4", "SCHED_OTHER"...
std::string DescribeScheduling(const ThreadScheduling& scheduling);

}  // namespace sorvane
