// SPDX-License-Identifier: GPL-3.0-or-later
// Real-time scheduling of the calling thread: the direct SCHED_FIFO route
// (which needs root or an RLIMIT_RTPRIO of kRealtimePriority, as on CI), and
// a forked child where both routes are refused and the stderr line comes
// once. No RealtimeKit daemon is needed: the refused case points libdbus at
// a system bus that does not exist.
#include "audio/Realtime.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace sorvane {
namespace {

bool MaySetFifoDirectly() {
  rlimit limit{};
  getrlimit(RLIMIT_RTPRIO, &limit);
  return geteuid() == 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= kRealtimePriority;
}

TEST(Realtime, ThreadThatAsksRunsFifoAtChosenPriorityAlone) {
  if (!MaySetFifoDirectly()) GTEST_SKIP() << "needs root or RLIMIT_RTPRIO >= kRealtimePriority";
  RealtimeOutcome outcome;
  bool granted = false;
  ThreadScheduling seen;
  int childPolicy = -1;
  std::thread worker([&] {
    granted = RequestRealtime(outcome);
    seen = CallingThreadScheduling();
    // A process started from a real-time thread must start as an ordinary one.
    const pid_t child = fork();
    if (child == 0) _exit(sched_getscheduler(0));
    int status = 0;
    waitpid(child, &status, 0);
    childPolicy = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  });
  worker.join();
  EXPECT_TRUE(granted) << outcome.Reason;
  EXPECT_EQ(outcome.Route, RealtimeRoute::Direct);
  EXPECT_EQ(outcome.Priority, kRealtimePriority);
  EXPECT_EQ(DescribeScheduling(seen), "SCHED_FIFO " + std::to_string(kRealtimePriority));
  EXPECT_EQ(childPolicy, SCHED_OTHER);
  // Only the calling thread changed.
  EXPECT_EQ(CallingThreadScheduling().Policy, SCHED_OTHER);
}

TEST(Realtime, ThreadAlreadyRealtimeIsNeverLowered) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to set SCHED_FIFO 30";
  RealtimeOutcome outcome;
  bool granted = false;
  ThreadScheduling seen;
  std::thread worker([&] {
    sched_param param{};
    param.sched_priority = 30;  // as a sound server may give its own thread
    ASSERT_EQ(pthread_setschedparam(pthread_self(), SCHED_FIFO, &param), 0);
    granted = RequestRealtime(outcome);
    seen = CallingThreadScheduling();
  });
  worker.join();
  EXPECT_TRUE(granted);
  EXPECT_EQ(outcome.Route, RealtimeRoute::AlreadyRealtime);
  EXPECT_EQ(outcome.Priority, 30);
  EXPECT_EQ(DescribeScheduling(seen), "SCHED_FIFO 30");
}

// What the refused child found wrong, as its exit status.
enum ChildFailure : int {
  kChildOk = 0,
  kChildCannotDrop = 10,
  kChildGranted,
  kChildReasonWithoutDirect,
  kChildReasonWithoutDbus,
  kChildNotOrdinary,
};

// In the child: no RLIMIT_RTPRIO and, when run as root, no CAP_SYS_NICE
// (setuid from root to another user clears every capability), and a system
// bus address where nothing listens.
[[noreturn]] void RunRefusedChild(int stderrFd) {
  dup2(stderrFd, STDERR_FILENO);
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_RTPRIO, &none) != 0) _exit(kChildCannotDrop);
  if (geteuid() == 0) {
    constexpr uid_t kNobody = 65534;
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(kChildCannotDrop);
  }
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/sorvane-test-bus", 1);

  RealtimeOutcome outcome;
  if (RequestRealtime(outcome)) _exit(kChildGranted);
  if (outcome.Reason.find("SCHED_FIFO refused") == std::string::npos) {
    _exit(kChildReasonWithoutDirect);
  }
  // The system bus was really tried: libdbus names the socket it failed on.
  if (outcome.Reason.find("sorvane-test-bus") == std::string::npos) _exit(kChildReasonWithoutDbus);
  // Two threads asking at once, as the capture and playback threads do.
  bool firstGranted = true;
  bool secondGranted = true;
  std::thread first([&] { firstGranted = RequestRealtimeOrReport(); });
  std::thread second([&] { secondGranted = RequestRealtimeOrReport(); });
  first.join();
  second.join();
  if (firstGranted || secondGranted) _exit(kChildGranted);
  if (CallingThreadScheduling().Policy != SCHED_OTHER) _exit(kChildNotOrdinary);
  _exit(kChildOk);
}

TEST(Realtime, RefusedEverywhereSaysSoOnceOnStderr) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeFds[0]);
    RunRefusedChild(pipeFds[1]);
  }
  close(pipeFds[1]);
  std::string err;
  char chunk[512];
  for (ssize_t n; (n = read(pipeFds[0], chunk, sizeof chunk)) > 0;) err.append(chunk, n);
  close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kChildOk) << "stderr: " << err;

  const std::string prefix = "sorvane: running without real-time priority: ";
  EXPECT_EQ(err.rfind(prefix, 0), 0u) << err;
  EXPECT_EQ(err.find(prefix, 1), std::string::npos) << "more than one line: " << err;
  EXPECT_NE(err.find("sorvane-test-bus"), std::string::npos) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

}  // namespace
}  // namespace sorvane
