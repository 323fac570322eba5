// SPDX-License-Identifier: GPL-3.0-or-later
// The tests' one source of seeded pseudo-random numbers: the same seed gives
// the same numbers on every run and machine, so a failing case can be
// replayed. The state steps as a 32-bit linear congruential generator, whose
// high bits are the useful ones (Next); operator() mixes it so that every bit
// is, and serves as a standard random bit generator.
#pragma once

#include <cstdint>

namespace sorvane::test {

class TestRandom {
 public:
  using result_type = uint32_t;
  explicit TestRandom(uint32_t seed) : State(seed) {}

  uint32_t Next() { return State = State * 1664525u + 1013904223u; }
  // From 0 to range - 1, from the state's upper bits.
  uint32_t Below(uint32_t range) { return (Next() >> 8) % range; }
  uint8_t Byte() { return static_cast<uint8_t>(Next() >> 24); }

  uint32_t operator()() {
    uint32_t x = Next();
    x = (x ^ (x >> 16)) * 0x85EBCA6Bu;
    x = (x ^ (x >> 13)) * 0xC2B2AE35u;
    return x ^ (x >> 16);
  }
  static constexpr uint32_t min() { return 0; }
  static constexpr uint32_t max() { return UINT32_MAX; }

 private:
  uint32_t State;
};

}  // namespace sorvane::test
