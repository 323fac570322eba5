// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/JackClient.h"

#include <jack/jack.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace sorvane {

namespace {

void JackSilent(const char*) {}
void JackToStderr(const char* text) { std::fprintf(stderr, "%s\n", text); }

}  // namespace

JackMessagesSilenced::JackMessagesSilenced() {
  jack_set_error_function(&JackSilent);
  jack_set_info_function(&JackSilent);
}

JackMessagesSilenced::~JackMessagesSilenced() {
  jack_set_error_function(&JackToStderr);
  jack_set_info_function(&JackToStderr);
}

void AwaitJackThreadEnd(pid_t tid) {
  if (tid == 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (syscall(SYS_tgkill, getpid(), tid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace sorvane
