// SPDX-License-Identifier: GPL-3.0-or-later
// Child processes, WAV files and signal search for the live tests.
#include "tests/live/LiveSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/Files.h"
#include "tests/support/TestRandom.h"
#include "wavfile/Riff.h"
#include "wavfile/WaveFile.h"

extern char** environ;

namespace sorvane::live {

using test::ReadFileText;

namespace {

std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    const bool overridden =
        std::any_of(extra.begin(), extra.end(), [&](const std::string& x) { return x.substr(0, x.find('=')) == name; });
    if (!overridden) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (auto& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

pid_t SpawnWith(const std::vector<std::string>& argv, posix_spawn_file_actions_t* actions,
                const std::vector<std::string>& extraEnv) {
  std::vector<std::string> args = argv;
  std::vector<std::string> env = Environment(extraEnv);
  auto argp = Pointers(args);
  auto envp = Pointers(env);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argp[0], actions, nullptr, argp.data(), envp.data()) != 0) return -1;
  return pid;
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile,
            const std::vector<std::string>& extraEnv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = logFile.empty() ? "/dev/null" : logFile;
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const pid_t pid = SpawnWith(argv, &actions, extraEnv);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitFor(pid_t pid, int timeoutMs) {
  const double deadline = MonotonicSeconds() + timeoutMs / 1000.0;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (r < 0) return -1;
    if (MonotonicSeconds() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int StopWith(pid_t pid, int sig, int timeoutMs) {
  kill(pid, sig);
  return WaitFor(pid, timeoutMs);
}

ChildProcess::~ChildProcess() {
  if (ProcessId > 0) StopWith(ProcessId, SIGKILL, 5000);
}

int ChildProcess::Stop(int sig, int timeoutMs) {
  const int status = StopWith(ProcessId, sig, timeoutMs);
  ProcessId = -1;
  return status;
}

int ChildProcess::Wait(int timeoutMs) {
  const int status = WaitFor(ProcessId, timeoutMs);
  ProcessId = -1;
  return status;
}

RunResult Run(const std::vector<std::string>& argv, const std::string& dir, int timeoutMs,
              const std::vector<std::string>& extraEnv) {
  RunResult result;
  const std::string out = dir + "/stdout";
  const std::string err = dir + "/stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const double start = MonotonicSeconds();
  const pid_t pid = SpawnWith(argv, &actions, extraEnv);
  posix_spawn_file_actions_destroy(&actions);
  if (pid < 0) return result;
  result.Status = WaitFor(pid, timeoutMs);
  result.Seconds = MonotonicSeconds() - start;
  result.Out = ReadFileText(out);
  result.Err = ReadFileText(err);
  return result;
}

std::string TestDir() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(test->test_suite_name()) + "." + test->name();
  std::replace(name.begin(), name.end(), '/', '_');
  std::error_code ignored;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ignored);
  const std::filesystem::path base = exe.empty() ? std::filesystem::current_path() : exe.parent_path();
  const std::filesystem::path dir = base / "live-files" / name;
  std::filesystem::remove_all(dir, ignored);
  std::filesystem::create_directories(dir, ignored);
  return dir.string();
}

bool WriteWav(const std::string& path, const std::vector<int16_t>& samples) {
  return WriteWaveFile(path.c_str(), samples.data(), static_cast<uint32_t>(samples.size() * 2));
}

bool ReadWav(const std::string& path, std::vector<int16_t>& samples) {
  RiffFile file;
  if (RiffOpenRead(file, path.c_str()) != RiffStatus::Ok) return false;
  // Chunks are looked for to the end of the file, not only inside the RIFF
  // chunk: a recorder stopped early may leave its sizes unset.
  RiffChunk riff{}, data{};
  bool found = RiffDescendRiff(file, riff, nullptr, FourCC("WAVE")) == RiffStatus::Ok &&
               RiffDescend(file, data, nullptr, FourCC("data")) == RiffStatus::Ok;
  if (found) {
    // An unset or too large size: take what is there.
    const int64_t there = RiffFileSize(file) - data.DataOffset;
    const int64_t size = data.Size == 0 || data.Size > there ? there : data.Size;
    samples.resize(static_cast<size_t>(size / 2));
    found = RiffRead(file, samples.data(), samples.size() * 2) == static_cast<int64_t>(samples.size() * 2);
  }
  RiffClose(file);
  return found;
}

int64_t FindExact(const std::vector<int16_t>& haystack, const std::vector<int16_t>& needle, int64_t from) {
  if (needle.empty()) return from;
  auto it = std::search(haystack.begin() + std::min<int64_t>(from, haystack.size()), haystack.end(), needle.begin(),
                        needle.end());
  return it == haystack.end() ? -1 : it - haystack.begin();
}

std::vector<int16_t> NoiseSignal(size_t count, uint32_t seed) {
  std::vector<int16_t> s(count);
  test::TestRandom random(seed * 2654435761u + 12345u);
  for (auto& v : s) {
    int16_t value = static_cast<int16_t>(static_cast<int32_t>(random.Next() >> 16) % 16000 - 8000);
    v = value == 0 ? 1 : value;
  }
  return s;
}

double MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace sorvane::live
