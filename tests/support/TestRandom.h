// SPDX-License-Identifier: GPL-3.0-or-later
// The tests' one source of seeded pseudo-random numbers. The same seed gives
// the same numbers on every run and every machine, so a failing case can be
// replayed. The state steps as a 32-bit linear congruential generator; Next
// hands out the state itself, whose high bits are the useful ones, and
// operator() a mixed word whose every bit is usable, so that it also serves
// as a standard random bit generator.
#pragma once

#include <cstdint>

namespace sorvane::test {

class TestRandom {
 public:
  using result_type = uint32_t;
  explicit TestRandom(uint32_t seed) : State(seed) {}

  // The next state.
  uint32_t Next() {
    State = State * 1664525u + 1013904223u;
    return State;
  }
  // A number from 0 to range - 1, from the state's upper bits.
  uint32_t Below(uint32_t range) { return (Next() >> 8) % range; }
  // A byte, the state's top eight bits.
  uint8_t Byte() { return static_cast<uint8_t>(Next() >> 24); }

  // The next state, mixed so that its low bits are as random as its high.
  uint32_t operator()() {
    uint32_t x = Next();
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    x *= 0xC2B2AE35u;
    x ^= x >> 16;
    return x;
  }
  static constexpr uint32_t min() { return 0; }
  static constexpr uint32_t max() { return UINT32_MAX; }

 private:
  uint32_t State;
};

}  // namespace sorvane::test
