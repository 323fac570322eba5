// SPDX-License-Identifier: GPL-3.0-or-later
// Counts heap allocations while a test watches: include this in exactly one
// source file of a test program, which then replaces the global operator
// new and delete. Counting runs from StartCountingAllocations to
// StopCountingAllocations, on every thread or on one thread only.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace sorvane::test {

inline std::atomic<bool> CountingAllocations{false};
inline std::atomic<bool> CountingOneThread{false};
inline std::atomic<pthread_t> CountedThread{};
inline std::atomic<long> CountedAllocations{0};

// Counts from zero the allocations of every thread, or with a thread only
// of that one.
inline void StartCountingAllocations(const pthread_t* thread = nullptr) {
  CountedAllocations = 0;
  if (thread != nullptr) CountedThread = *thread;
  CountingOneThread = thread != nullptr;
  CountingAllocations = true;
}

// Stops counting; returns the allocations counted.
inline long StopCountingAllocations() {
  CountingAllocations = false;
  return CountedAllocations.load();
}

}  // namespace sorvane::test

// The replacements pair new with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  using namespace sorvane::test;
  if (CountingAllocations.load(std::memory_order_relaxed) &&
      (!CountingOneThread.load(std::memory_order_relaxed) ||
       pthread_equal(pthread_self(), CountedThread.load()) != 0)) {
    CountedAllocations.fetch_add(1, std::memory_order_relaxed);
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
