// SPDX-License-Identifier: GPL-3.0-or-later
// Waiting for something another thread or process does, with a time limit.
#pragma once

#include <chrono>
#include <thread>

namespace sorvane::test {

// Calls done() until it returns true, calling pause() between the calls;
// false when `seconds` pass first.
template <typename Done, typename Pause>
bool WaitUntil(Done done, double seconds, Pause pause) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pause();
  }
  return true;
}

// The same, sleeping pauseMs milliseconds between the calls.
template <typename Done>
bool WaitFor(Done done, double seconds, int pauseMs) {
  return WaitUntil(done, seconds, [pauseMs] { std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs)); });
}

}  // namespace sorvane::test
