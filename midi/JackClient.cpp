// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/JackClient.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace sorvane {

void JackSilent(const char*) {}
void JackToStderr(const char* text) { std::fprintf(stderr, "%s\n", text); }

void AwaitJackThreadEnd(pid_t tid) {
  if (tid == 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (syscall(SYS_tgkill, getpid(), tid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace sorvane
