// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the live tests: child processes with time limits (the
// PulseAudio command-line player and recorder, the program under test), a
// minimal mono 16-bit WAV reader and writer, and signal search.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sorvane::live {

// Starts argv[0] (searched in PATH) with stdin from /dev/null and stdout and
// stderr appended to logFile (or /dev/null when empty). -1 on failure.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile = "",
            const std::vector<std::string>& extraEnv = {});
// Waits up to timeoutMs for the child; on time-out kills it. Returns its exit
// status, 128 + signal when signalled, -1 on time-out.
int WaitFor(pid_t pid, int timeoutMs);
// Sends sig and waits for the child as WaitFor does.
int StopWith(pid_t pid, int sig, int timeoutMs);

// Owns a spawned child: kills and reaps it on destruction unless it was
// already waited for, so that a failed assertion leaves no process behind.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : ProcessId(pid) {}
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  pid_t Pid() const { return ProcessId; }
  // As StopWith; afterwards the child is gone.
  int Stop(int sig, int timeoutMs);
  // As WaitFor; afterwards the child is gone.
  int Wait(int timeoutMs);

 private:
  pid_t ProcessId;
};

struct RunResult {
  int Status = -1;     // as WaitFor
  double Seconds = 0;  // wall time
  std::string Out;
  std::string Err;
};
// Runs a command to its end, capturing stdout and stderr separately (their
// files go to dir).
RunResult Run(const std::vector<std::string>& argv, const std::string& dir, int timeoutMs,
              const std::vector<std::string>& extraEnv = {});

// An empty directory for the running test's files, beside the test program
// in the build folder: live-files/<suite>.<test>. Emptied at the next run,
// kept after a failure for a look.
std::string TestDir();

bool WriteWav(const std::string& path, const std::vector<int16_t>& samples);
// Reads the data chunk of a mono 16-bit WAV file; false when it cannot.
bool ReadWav(const std::string& path, std::vector<int16_t>& samples);

// Index of the first occurrence of needle in haystack at or after from, or
// -1. Exact sample comparison.
int64_t FindExact(const std::vector<int16_t>& haystack, const std::vector<int16_t>& needle, int64_t from = 0);

// A reproducible, non-repeating test signal (no run of zeros, so an exact
// match cannot be found in silence).
std::vector<int16_t> NoiseSignal(size_t count, uint32_t seed);

double MonotonicSeconds();

}  // namespace sorvane::live
