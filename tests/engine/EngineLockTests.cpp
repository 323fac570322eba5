// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's lock lends the priority of the real-time engine thread that
// waits for it to the thread that holds it.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "audio/Realtime.h"
#include "engine/Engine.h"

namespace sorvane {
namespace {

using Clock = std::chrono::steady_clock;

// The calling thread at SCHED_FIFO `priority` (0: left ordinary), then on
// `cpu` only: a real-time thread is real-time before it competes there.
bool ScheduleOn(int cpu, int priority) {
  if (priority > 0) {
    sched_param param{};
    param.sched_priority = priority;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) return false;
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The inversion, on one processor: an ordinary thread (the window's) holds
// the lock and needs 20 ms of processor time to let go; a real-time thread
// of middle priority then spins for up to a second; the engine's thread, of
// the highest priority, waits for the lock. Without inheritance the middle
// thread keeps the holder off the processor and the engine waits about the
// whole second; with it the holder runs at the engine's priority.
TEST(EngineMutex, TheEngineWaitingForTheLockLendsItsPriorityToTheHolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for SCHED_FIFO threads";
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  int cpu = 0;
  while (!CPU_ISSET(cpu, &allowed)) ++cpu;

  EngineMutex lock;
  std::atomic<bool> held{false}, middleRunning{false}, engineHasLock{false}, failed{false};
  std::thread holder([&] {
    if (!ScheduleOn(cpu, 0)) failed = true;
    std::lock_guard<EngineMutex> guard(lock);
    held = true;
    const double start = ThreadCpuSeconds();
    while (ThreadCpuSeconds() - start < 0.020) {
    }
  });
  while (!held && !failed) std::this_thread::yield();
  std::thread middle([&] {
    if (!ScheduleOn(cpu, kRealtimePriority - 1)) failed = true;
    middleRunning = true;
    const auto end = Clock::now() + std::chrono::seconds(1);
    while (!engineHasLock && !failed && Clock::now() < end) {
    }
  });
  while (!middleRunning && !failed) std::this_thread::yield();
  double waited = -1;
  std::thread engine([&] {
    if (!ScheduleOn(cpu, kRealtimePriority)) failed = true;
    const auto start = Clock::now();
    std::lock_guard<EngineMutex> guard(lock);
    waited = std::chrono::duration<double>(Clock::now() - start).count();
    engineHasLock = true;
  });
  engine.join();
  middle.join();
  holder.join();
  ASSERT_FALSE(failed) << "could not set a thread's scheduling";
  EXPECT_LT(waited, 0.5) << "the engine waited " << waited << " s for a holder kept off the processor";
}

}  // namespace
}  // namespace sorvane
